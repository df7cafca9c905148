// canonicalize_binary: the canonical form, and which violation each failure becomes.
#include "corvane/canonical.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace corvane {
namespace {

using test::TempDir;

// Message of the violation, or "ok:<canonical path>" on success.
std::string outcome(const std::expected<Path, Violation>& result) {
  return result ? "ok:" + result->native() : to_string(result.error());
}

TEST(CanonicalizeBinary, RelativePathsAreRejectedBeforeAnyLookup) {
  // "." and "tmp" exist relative to "/", so a lookup would succeed there.
  const std::string saved = std::filesystem::current_path().native();
  ASSERT_EQ(::chdir("/"), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ls", "binary path must be absolute: ls"},
      {"", "binary path must be absolute: "},
      {"./ls", "binary path must be absolute: ./ls"},
      {"bin/tool", "binary path must be absolute: bin/tool"},
      {".", "binary path must be absolute: ."},
      {"tmp", "binary path must be absolute: tmp"},
      {"tmp/\xff", "binary path must be absolute: tmp/\xEF\xBF\xBD"},
      {std::string("a\0b", 3), std::string("binary path must be absolute: a\0b", 33)},
  };
  for (const auto& [given, message] : cases) {
    const auto result = canonicalize_binary(Path(given));
    ASSERT_FALSE(result) << given;
    EXPECT_TRUE(std::holds_alternative<violation::BinNotAbsolute>(result.error())) << given;
    EXPECT_EQ(to_string(result.error()), message);
  }
  ASSERT_EQ(::chdir(saved.c_str()), 0);
}

TEST(CanonicalizeBinary, ResolvesLinksDotsAndSeparators) {
  TempDir dir;
  const Path tool = dir / "tool";
  test::write_file(tool, "", 0755);
  test::make_dirs(dir / "sub");
  test::make_symlink(tool, dir / "direct");
  test::make_symlink("direct", dir / "chained");  // relative, through another link
  test::make_symlink("..", dir / "sub" / "up");
  const std::string root = dir.path().native();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {root + "/tool", root + "/tool"},
      {root + "/sub/../tool", root + "/tool"},
      {root + "//./sub/.//..//tool", root + "/tool"},
      {root + "/direct", root + "/tool"},
      {root + "/chained", root + "/tool"},
      {root + "/sub/up/sub/up/chained", root + "/tool"},
      {root + "/sub/", root + "/sub"},
      {"/", "/"},
      {"/..", "/"},
  };
  for (const auto& [given, canonical] : cases) {
    EXPECT_EQ(outcome(canonicalize_binary(Path(given))), "ok:" + canonical) << given;
  }
}

TEST(CanonicalizeBinary, MissingPathsAreNotFound) {
  TempDir dir;
  test::make_symlink(dir / "nothing", dir / "dangling");
  test::make_symlink("dangling", dir / "to-dangling");
  const std::string root = dir.path().native();
  const std::vector<std::string> cases = {
      "/no/such/file",
      root + "/nothing",
      root + "/dangling",
      root + "/to-dangling",
      root + "/missing/dir/../tool",
      root + "/\xff\xfe",
  };
  for (const std::string& given : cases) {
    const auto result = canonicalize_binary(Path(given));
    ASSERT_FALSE(result) << given;
    EXPECT_TRUE(std::holds_alternative<violation::BinNotFound>(result.error())) << given;
    EXPECT_EQ(to_string(result.error()), "binary not found: " + display(Path(given)));
  }
  EXPECT_EQ(to_string(canonicalize_binary(Path(root + "/\xff\xfe")).error()),
            "binary not found: " + root + "/\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(CanonicalizeBinary, OtherErrorsCarryTheOsText) {
  TempDir dir;
  const Path file = dir / "file";
  test::write_file(file, "", 0755);
  test::make_symlink(dir / "loop-b", dir / "loop-a");
  test::make_symlink(dir / "loop-a", dir / "loop-b");
  const std::string root = dir.path().native();
  const std::string too_long = root + "/" + std::string(300, 'n');
  const std::string not_dir = "Not a directory (os error 20)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/etc/passwd/x", not_dir},
      {root + "/file/", not_dir},
      {root + "/file/x", not_dir},
      {root + "/file/..", not_dir},
      {root + "/loop-a", "Too many levels of symbolic links (os error 40)"},
      {root + "/loop-a/x", "Too many levels of symbolic links (os error 40)"},
      {too_long, "File name too long (os error 36)"},
      {std::string("/usr/bin/l\0s", 12), "file name contained an unexpected NUL byte"},
      {std::string("/no/such\0/\xff", 11), "file name contained an unexpected NUL byte"},
  };
  for (const auto& [given, reason] : cases) {
    const auto result = canonicalize_binary(Path(given));
    ASSERT_FALSE(result) << given;
    const auto* failed = std::get_if<violation::BinCanonicalizeFailed>(&result.error());
    ASSERT_NE(failed, nullptr) << given;
    EXPECT_EQ(failed->reason, reason) << given;
    EXPECT_EQ(to_string(result.error()),
              "failed to canonicalize binary path " + display(Path(given)) + ": " + reason);
  }
  EXPECT_EQ(to_string(canonicalize_binary(Path(std::string("/no/such\0/\xff", 11))).error()),
            std::string("failed to canonicalize binary path /no/such\0/", 45) +
                "\xEF\xBF\xBD: file name contained an unexpected NUL byte");
}

TEST(CanonicalizeBinary, UnsearchableDirectoryIsPermissionDeniedForOrdinaryCaller) {
  const auto nobody = test::unprivileged_identity();
  if (!nobody) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  TempDir dir;
  test::make_dirs(dir / "closed");
  const Path tool = dir / "closed" / "tool";
  test::write_file(tool, "", 0755);
  ASSERT_EQ(::chmod((dir / "closed").c_str(), 0700), 0);
  const std::string expected =
      "failed to canonicalize binary path " + tool.native() + ": Permission denied (os error 13)";
  // Codes: 0 the expected message, 1 another violation, 2 success.
  const int code = test::run_as(nobody->uid, nobody->gid, [&] {
    const auto result = canonicalize_binary(tool);
    if (result) return 2;
    return to_string(result.error()) == expected ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
  // Root searches the same directory regardless of its mode.
  EXPECT_EQ(outcome(canonicalize_binary(tool)), "ok:" + tool.native());
}

TEST(CanonicalizeBinary, SeesChangesBetweenCalls) {
  TempDir dir;
  const Path tool = dir / "tool";
  const Path link = dir / "link";
  EXPECT_EQ(outcome(canonicalize_binary(tool)), "binary not found: " + tool.native());
  test::write_file(tool, "", 0755);
  test::make_symlink(tool, link);
  EXPECT_EQ(outcome(canonicalize_binary(link)), "ok:" + tool.native());
  ASSERT_EQ(::unlink(tool.c_str()), 0);
  EXPECT_EQ(outcome(canonicalize_binary(link)), "binary not found: " + link.native());
}

}  // namespace
}  // namespace corvane
