// check_binary and the execute test: file types, mode bits, and which caller may run what.
#include "corvane/file_check.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace corvane {
namespace {

using test::TempDir;

std::string outcome(const std::expected<void, Violation>& result) {
  return result ? "ok" : to_string(result.error());
}

struct ExecRow {
  mode_t mode;
  uid_t owner;
  gid_t group;
  uid_t uid;
  gid_t gid;
  bool expected;
};

TEST(ExecutableBy, PlainDisjunctionOfTheFourRules) {
  constexpr uid_t kMe = 1000, kOther = 2000;
  constexpr gid_t kMyGroup = 100, kOtherGroup = 200;
  const std::vector<ExecRow> rows = {
      // Owner-execute counts only for the owner.
      {0100, kMe, kOtherGroup, kMe, kMyGroup, true},
      {0100, kOther, kMyGroup, kMe, kMyGroup, false},
      // Others-execute counts for everyone, the owner included (no precedence).
      {0001, kMe, kMyGroup, kMe, kMyGroup, true},
      {0001, kOther, kOtherGroup, kMe, kMyGroup, true},
      {0601, kMe, kMyGroup, kMe, kMyGroup, true},
      // Group-execute counts only for the primary group.
      {0010, kOther, kMyGroup, kMe, kMyGroup, true},
      {0010, kOther, kOtherGroup, kMe, kMyGroup, false},
      {0070, kMe, kOtherGroup, kMe, kMyGroup, false},
      // No execute bit for this caller's class, whatever else is set.
      {0644, kMe, kMyGroup, kMe, kMyGroup, false},
      {0666, kOther, kOtherGroup, kMe, kMyGroup, false},
      {0000, kMe, kMyGroup, kMe, kMyGroup, false},
      {07666, kMe, kMyGroup, kMe, kMyGroup, false},
      {0100 | S_IFREG, kMe, kMyGroup, kMe, kMyGroup, true},
      // Root needs owner- or group-execute (or others-execute through the general rule).
      {0644, kOther, kOtherGroup, 0, 0, false},
      {0700, kOther, kOtherGroup, 0, 0, true},
      {0010, kOther, kOtherGroup, 0, 0, true},
      {0001, kOther, kOtherGroup, 0, 0, true},
      {0110, kOther, kOtherGroup, 0, 0, true},
      {04666, kOther, kOtherGroup, 0, 0, false},
  };
  for (const ExecRow& r : rows) {
    EXPECT_EQ(executable_by(r.mode, r.owner, r.group, r.uid, r.gid), r.expected)
        << std::oct << "mode 0" << r.mode << std::dec << " owner " << r.owner << " group "
        << r.group << " uid " << r.uid << " gid " << r.gid;
  }
}

TEST(CheckBinary, FileTypes) {
  TempDir dir;
  test::make_dirs(dir / "subdir");
  test::make_symlink(dir / "subdir", dir / "dir-link");
  test::make_symlink("/dev/null", dir / "null-link");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0777), 0);
  test::write_file(dir / "tool", "", 0755);
  test::make_symlink(dir / "tool", dir / "tool-link");
  const std::string root = dir.path().native();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {root, "binary path is a directory: " + root},
      {"/", "binary path is a directory: /"},
      {root + "/subdir", "binary path is a directory: " + root + "/subdir"},
      {root + "/dir-link", "binary path is a directory: " + root + "/dir-link"},
      {"/dev/null", "binary is not a regular file: /dev/null"},
      {root + "/null-link", "binary is not a regular file: " + root + "/null-link"},
      {root + "/fifo", "binary is not a regular file: " + root + "/fifo"},
      {root + "/tool", "ok"},
      {root + "/tool-link", "ok"},
  };
  for (const auto& [given, expected] : cases) {
    EXPECT_EQ(outcome(check_binary(Path(given))), expected) << given;
  }
  const auto dir_result = check_binary(dir.path());
  ASSERT_FALSE(dir_result);
  EXPECT_TRUE(std::holds_alternative<violation::BinIsDirectory>(dir_result.error()));
  const auto dev_result = check_binary(Path("/dev/null"));
  ASSERT_FALSE(dev_result);
  EXPECT_TRUE(std::holds_alternative<violation::BinNotRegularFile>(dev_result.error()));
}

TEST(CheckBinary, UnreadableStatusIsACanonicalizeFailure) {
  TempDir dir;
  test::write_file(dir / "file", "", 0755);
  test::make_symlink(dir / "gone", dir / "dangling");
  const std::string root = dir.path().native();
  const std::string prefix = "failed to canonicalize binary path ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {root + "/gone", prefix + root + "/gone: No such file or directory (os error 2)"},
      {root + "/dangling", prefix + root + "/dangling: No such file or directory (os error 2)"},
      {root + "/file/", prefix + root + "/file/: Not a directory (os error 20)"},
      {"", prefix + ": No such file or directory (os error 2)"},
      {root + "/\xff", prefix + root + "/\xEF\xBF\xBD: No such file or directory (os error 2)"},
      {std::string("/bin/s\0h", 8),
       prefix + std::string("/bin/s\0h", 8) + ": file name contained an unexpected NUL byte"},
  };
  for (const auto& [given, expected] : cases) {
    const auto result = check_binary(Path(given));
    ASSERT_FALSE(result) << given;
    EXPECT_TRUE(std::holds_alternative<violation::BinCanonicalizeFailed>(result.error()));
    EXPECT_EQ(to_string(result.error()), expected);
  }
}

// A regular file in its own directory with an exact mode, owner and group.
struct ModeCase {
  const char* name;
  mode_t mode;
  bool owned_by_caller;  // owner is the unprivileged caller rather than root
  bool callers_group;    // group is the unprivileged caller's primary group
  bool root_passes;
  bool nobody_passes;
};

TEST(CheckBinary, ModesForRootAndOrdinaryCallers) {
  TempDir dir;
  const auto nobody = test::unprivileged_identity();
  // Owner and group ids that are neither root's nor the caller's.
  constexpr uid_t kStranger = 4242;
  constexpr gid_t kStrangerGroup = 4343;
  const std::vector<ModeCase> cases = {
      {"m0644", 0644, false, false, false, false}, {"m0644own", 0644, true, true, false, false},
      {"m0001", 0001, false, false, true, true},   {"m0001own", 0001, true, false, true, true},
      {"m0700", 0700, false, false, true, false},  {"m0700own", 0700, true, false, true, true},
      {"m0010", 0010, false, true, true, true},    {"m0010other", 0010, false, false, true, false},
      {"m0100", 0100, false, false, true, false},  {"m0666", 0666, false, true, false, false},
  };
  for (const ModeCase& c : cases) {
    const Path file = dir / c.name;
    test::write_file(file, "", c.mode);
    const uid_t owner = c.owned_by_caller && nobody ? nobody->uid : kStranger;
    const gid_t group = c.callers_group && nobody ? nobody->gid : kStrangerGroup;
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(file.c_str(), owner, group), 0);
    }
  }
  const auto expected_text = [](const Path& file, bool passes) {
    return passes ? std::string("ok") : "binary is not executable: " + file.native();
  };
  if (::getuid() == 0) {
    for (const ModeCase& c : cases) {
      EXPECT_EQ(outcome(check_binary(dir / c.name)), expected_text(dir / c.name, c.root_passes))
          << c.name << " as root";
    }
  }
  if (!nobody) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  for (const ModeCase& c : cases) {
    const Path file = dir / c.name;
    const std::string expected = expected_text(file, c.nobody_passes);
    const int code = test::run_as(nobody->uid, nobody->gid,
                                  [&] { return outcome(check_binary(file)) == expected ? 0 : 1; });
    EXPECT_EQ(code, 0) << c.name << " as uid " << nobody->uid;
  }
}

TEST(CheckBinary, SupplementaryGroupDoesNotCount) {
  const auto nobody = test::unprivileged_identity();
  if (!nobody) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  TempDir dir;
  constexpr gid_t kTeam = 4444;
  const Path file = dir / "team-tool";
  test::write_file(file, "", 0010);
  ASSERT_EQ(::chown(file.c_str(), 0, kTeam), 0);
  const std::string denied = "binary is not executable: " + file.native();
  const auto check = [&] { return outcome(check_binary(file)) == denied ? 0 : 1; };
  EXPECT_EQ(test::run_as(nobody->uid, nobody->gid, check, kTeam), 0);
  EXPECT_EQ(test::run_as(nobody->uid, nobody->gid, check), 0);
  // The same group as the primary one passes.
  EXPECT_EQ(test::run_as(nobody->uid, kTeam, [&] { return check_binary(file) ? 0 : 1; }), 0);
}

TEST(CheckBinary, RealIdsDecideNotEffectiveOnes) {
  const auto nobody = test::unprivileged_identity();
  if (!nobody) GTEST_SKIP() << "needs root to switch ids";
  TempDir dir;
  const Path file = dir / "root-only";
  test::write_file(file, "", 0700);
  ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
  const std::string denied = "binary is not executable: " + file.native();
  // Real uid nobody, effective uid 0: the effective id must not grant anything.
  const int code = test::run_as(0, 0, [&] {
    if (::setresuid(nobody->uid, 0, 0) != 0) return 3;
    return outcome(check_binary(file)) == denied ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
}

TEST(CheckBinary, UnsearchableDirectoryForOrdinaryCaller) {
  const auto nobody = test::unprivileged_identity();
  if (!nobody) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  TempDir dir;
  test::make_dirs(dir / "closed");
  const Path tool = dir / "closed" / "tool";
  test::write_file(tool, "", 0755);
  ASSERT_EQ(::chmod((dir / "closed").c_str(), 0700), 0);
  const std::string expected =
      "failed to canonicalize binary path " + tool.native() + ": Permission denied (os error 13)";
  EXPECT_EQ(test::run_as(nobody->uid, nobody->gid,
                         [&] { return outcome(check_binary(tool)) == expected ? 0 : 1; }),
            0);
}

TEST(CheckBinary, SeesChangesBetweenCalls) {
  TempDir dir;
  const Path tool = dir / "tool";
  test::write_file(tool, "", 0644);
  EXPECT_EQ(outcome(check_binary(tool)), "binary is not executable: " + tool.native());
  ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
  EXPECT_EQ(outcome(check_binary(tool)), "ok");
  ASSERT_EQ(::unlink(tool.c_str()), 0);
  test::make_dirs(tool);
  EXPECT_EQ(outcome(check_binary(tool)), "binary path is a directory: " + tool.native());
}

}  // namespace
}  // namespace corvane
