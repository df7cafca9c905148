// Display form, component-wise equality/hash/prefix, realpath and OS error text.
#include "corvane/path.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <unordered_set>

#include "test_support.hpp"

namespace corvane {
namespace {

using namespace std::string_literals;

struct LossyCase {
  std::string in;
  std::string out;
};

class LossyUtf8 : public ::testing::TestWithParam<LossyCase> {};

TEST_P(LossyUtf8, ReplacesEachMaximalInvalidSubpart) {
  EXPECT_EQ(lossy_utf8(GetParam().in), GetParam().out);
}

const std::string kFffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, LossyUtf8,
    ::testing::Values(LossyCase{"", ""}, LossyCase{"plain/ascii", "plain/ascii"},
                      LossyCase{"caf\xC3\xA9", "caf\xC3\xA9"},
                      LossyCase{"caf\xC3\xA9 \xFF", "caf\xC3\xA9 " + kFffd},
                      // a truncated 3-byte sequence is one replacement, then the next byte
                      LossyCase{"\xE2\x82z", kFffd + "z"},
                      // bytes that can never start a sequence: one replacement each
                      LossyCase{"\x80\x80", kFffd + kFffd}, LossyCase{"\xC0\xAF", kFffd + kFffd},
                      // surrogates encoded in UTF-8 are invalid
                      LossyCase{"\xED\xA0\x80", kFffd + kFffd + kFffd},
                      // above U+10FFFF
                      LossyCase{"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
                      LossyCase{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
                      LossyCase{"\xF0\x9F\x98", kFffd}, LossyCase{"a\0b"s, "a\0b"s}),
    [](const auto& info) { return test::param_name(info.param.in, info.index); });

struct EqualCase {
  const char* a;
  const char* b;
  bool equal;
};

class PathEquality : public ::testing::TestWithParam<EqualCase> {};

TEST_P(PathEquality, ComparesComponentsAndHashesAgree) {
  const auto& c = GetParam();
  EXPECT_EQ(path_equal(c.a, c.b), c.equal) << c.a << " vs " << c.b;
  EXPECT_EQ(path_equal(c.b, c.a), c.equal);
  if (c.equal) {
    EXPECT_EQ(PathHash{}(Path(c.a)), PathHash{}(Path(c.b)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathEquality,
    ::testing::Values(EqualCase{"/usr/bin/grep", "/usr/bin/grep", true},
                      EqualCase{"/usr//bin/grep/", "/usr/bin/grep", true},
                      EqualCase{"/usr/./bin/grep", "/usr/bin/grep", true},
                      EqualCase{"/usr/bin/../bin/grep", "/usr/bin/grep", false},
                      EqualCase{"//usr/bin", "/usr/bin", true}, EqualCase{"/", "//", true},
                      EqualCase{"/", "", false}, EqualCase{"a/b", "/a/b", false},
                      EqualCase{"./a", "a", false}, EqualCase{"./a", "./a/.", true},
                      EqualCase{"a/./b", "a/b", true}, EqualCase{".", "./", true},
                      EqualCase{".", "", false}, EqualCase{"/a/b", "/a/bc", false},
                      EqualCase{"/ab", "/a/b", false}, EqualCase{".hidden", "./hidden", false}),
    [](const auto& info) {
      return test::param_name(std::string(info.param.a) + " " + info.param.b, info.index);
    });

TEST(PathEquality, WorksAsUnorderedKey) {
  std::unordered_set<Path, PathHash, PathEqual> set{"/usr/bin/grep"};
  EXPECT_TRUE(set.contains("/usr//bin/./grep/"));
  EXPECT_FALSE(set.contains("/usr/bin/../bin/grep"));
}

TEST(PathStartsWith, IsComponentWise) {
  EXPECT_TRUE(path_starts_with("/srv/jail", "/srv/jail"));
  EXPECT_TRUE(path_starts_with("/srv/jail/work", "/srv/jail/"));
  EXPECT_FALSE(path_starts_with("/srv/jailbreak", "/srv/jail"));
  EXPECT_FALSE(path_starts_with("/srv", "/srv/jail"));
  EXPECT_TRUE(path_starts_with("/anything", "/"));
}

TEST(IsAbsolute, OnlyLeadingSlash) {
  EXPECT_TRUE(is_absolute("/x"));
  EXPECT_FALSE(is_absolute(""));
  EXPECT_FALSE(is_absolute("./x"));
  EXPECT_FALSE(is_absolute("x/y"));
}

TEST(OsErrorText, StrerrorThenNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(ENOTDIR), "Not a directory (os error 20)");
  EXPECT_EQ(FsError{0}.text(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(FsError{EACCES}.text(), "Permission denied (os error 13)");
}

TEST(RealPath, ResolvesLinksAndReportsErrno) {
  test::TempDir dir;
  test::make_dirs(dir / "a/b");
  test::make_symlink(dir / "a", dir / "link");
  auto resolved = real_path(dir.path() / "link/b/../b/.");
  ASSERT_TRUE(resolved);
  EXPECT_EQ(*resolved, dir / "a/b");

  auto missing = real_path(dir / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ENOENT);

  auto nul = real_path(Path("/tmp\0x"s));
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "file name contained an unexpected NUL byte");
}

}  // namespace
}  // namespace corvane
