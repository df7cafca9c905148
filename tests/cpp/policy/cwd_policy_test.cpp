// CwdPolicy::validate against real directory trees: containment by whole
// components after symbolic links are resolved, and the exact rejection texts.
#include "corvane/cwd_policy.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_support.hpp"

namespace corvane {
namespace {

using test::make_dirs;
using test::make_symlink;
using test::TempDir;

const std::string kMissing = "No such file or directory (os error 2)";

// Checks the variant, both fields and the rendered message.
void expect_forbidden(const std::expected<Path, Violation>& result, const std::string& path,
                      const std::string& reason) {
  ASSERT_FALSE(result.has_value()) << "accepted as " << result->native();
  const auto* cwd = std::get_if<violation::CwdForbidden>(&result.error());
  ASSERT_NE(cwd, nullptr) << to_string(result.error());
  EXPECT_EQ(cwd->path, path);
  EXPECT_EQ(cwd->reason, reason);
  EXPECT_EQ(to_string(result.error()),
            "working directory forbidden: " + path + " (" + reason + ")");
}

void expect_accepted(const std::expected<Path, Violation>& result, const Path& expected) {
  ASSERT_TRUE(result.has_value()) << to_string(result.error());
  EXPECT_EQ(result->native(), expected.native());
}

// Switches the process's working directory for one test and restores it.
class ChdirGuard {
 public:
  explicit ChdirGuard(const Path& dir) : saved_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (saved_ < 0 || ::chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir;
  }
  ~ChdirGuard() {
    if (saved_ >= 0) {
      if (::fchdir(saved_) != 0) ADD_FAILURE() << "cannot restore working directory";
      ::close(saved_);
    }
  }
  ChdirGuard(const ChdirGuard&) = delete;
  ChdirGuard& operator=(const ChdirGuard&) = delete;

 private:
  int saved_;
};

// t/jail/{a,b,work}, t/jail/file.txt, t/jailbreak, t/outside, and links
// t/jail/escape -> t/outside, t/jail/alias -> t/jail/inner, t/jail-link -> t/jail.
class CwdTree : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"jail/a", "jail/b", "jail/inner", "jailbreak", "outside"}) {
      make_dirs(t / dir);
    }
    test::write_file(t / "jail/file.txt", "x", 0644);
    make_symlink(t / "outside", t / "jail/escape");
    make_symlink(t / "jail/inner", t / "jail/alias");
    make_symlink(t / "jail", t / "jail-link");
    make_symlink(t / "nowhere", t / "jail/dangling");
  }
  [[nodiscard]] std::string d(std::string_view rel) const { return display(t / rel); }

  TempDir t;
};

TEST(CwdFixed, ReturnsItsPathUnresolvedAndIgnoresTheRequest) {
  const std::string nul("/no\0such", 8);
  for (const Path& dir :
       {Path("/tmp"), Path("rel/dir/../x"), Path("/does/not/exist/"), Path(nul)}) {
    const CwdPolicy policy{CwdPolicy::Fixed{dir}};
    for (const std::optional<Path>& req :
         {std::optional<Path>{}, std::optional<Path>{"/etc"}, std::optional<Path>{Path(nul)}}) {
      expect_accepted(policy.validate(req), dir);
    }
  }
}

TEST(CwdFixed, DefaultPolicyIsTmp) {
  expect_accepted(CwdPolicy{}.validate(std::nullopt), "/tmp");
  expect_accepted(CwdPolicy{}.validate(Path("/etc")), "/tmp");
}

TEST_F(CwdTree, FixedDoesNotResolveExistingPathsOrLinks) {
  ChdirGuard guard(t.path());
  for (const Path& dir :
       {t / "jail-link", t / "jail/a/../b/", Path("jail/./a"), Path("jail-link")}) {
    expect_accepted(CwdPolicy(CwdPolicy::Fixed{dir}).validate(t / "jail"), dir);
  }
}

// Accepted candidates of a jail at t/jail, with the canonical result.
TEST_F(CwdTree, JailedAcceptsCanonicalPathsInsideRoot) {
  const CwdPolicy policy{CwdPolicy::Jailed{t / "jail", t / "jail/inner"}};
  const struct {
    const char* request;
    const char* result;
  } cases[] = {
      {"jail", "jail"},  // the root itself counts as inside
      {"jail/", "jail"},
      {"jail/./inner//", "jail/inner"},
      {"jail/a/../b", "jail/b"},
      {"jail/alias", "jail/inner"},        // a link that stays inside
      {"jail-link/a", "jail/a"},           // reached through a link to the root
      {"jail/file.txt", "jail/file.txt"},  // not required to be a directory
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    expect_accepted(policy.validate(t / c.request), t / c.result);
  }
  expect_accepted(policy.validate(std::nullopt), t / "jail/inner");
}

TEST_F(CwdTree, JailedRejectsPathsOutsideRootByWholeComponents) {
  const CwdPolicy policy{CwdPolicy::Jailed{t / "jail", t / "jail"}};
  const std::string reason = "not within jail root " + d("jail");
  for (const char* request :
       {"jailbreak", "jail/..", "jail/escape", "outside", "jail/a/../../outside"}) {
    SCOPED_TRACE(request);
    expect_forbidden(policy.validate(t / request), d(request), reason);
  }
  expect_forbidden(policy.validate(Path("/")), "/", reason);
}

TEST_F(CwdTree, JailedRootThatIsASymlinkIsComparedByItsTarget) {
  // Configured through the link: both spellings of a directory inside are accepted,
  // and the reason still names the root as configured.
  const CwdPolicy policy{CwdPolicy::Jailed{t / "jail-link", t / "jail-link"}};
  expect_accepted(policy.validate(t / "jail/a"), t / "jail/a");
  expect_accepted(policy.validate(t / "jail-link/b"), t / "jail/b");
  expect_accepted(policy.validate(std::nullopt), t / "jail");
  expect_forbidden(policy.validate(t / "jailbreak"), d("jailbreak"),
                   "not within jail root " + d("jail-link"));

  // A root configured with a trailing separator and ".." is reported verbatim.
  const Path odd = t / "jail/a/../";
  expect_forbidden(CwdPolicy(CwdPolicy::Jailed{odd, odd}).validate(t / "outside"), d("outside"),
                   "not within jail root " + display(odd));
}

TEST_F(CwdTree, JailedMissingRootIsReportedBeforeTheCandidate) {
  const Path root = t / "no-jail";
  const std::string reason = "failed to canonicalize jail root: " + kMissing;
  const CwdPolicy policy{CwdPolicy::Jailed{root, t / "also-missing"}};
  expect_forbidden(policy.validate(t / "jail"), display(root), reason);     // candidate exists
  expect_forbidden(policy.validate(t / "missing"), display(root), reason);  // both fail
  expect_forbidden(policy.validate(std::nullopt), display(root), reason);
}

TEST_F(CwdTree, JailedCandidateThatCannotBeCanonicalised) {
  const CwdPolicy policy{CwdPolicy::Jailed{t / "jail", t / "jail/gone"}};
  expect_forbidden(policy.validate(std::nullopt), d("jail/gone"),
                   "failed to canonicalize cwd: " + kMissing);
  expect_forbidden(policy.validate(t / "jail/dangling"), d("jail/dangling"),
                   "failed to canonicalize cwd: " + kMissing);
  expect_forbidden(policy.validate(t / "jail/file.txt/sub"), d("jail/file.txt/sub"),
                   "failed to canonicalize cwd: Not a directory (os error 20)");
  // The path is reported as the request held it, not in a resolved form.
  expect_forbidden(policy.validate(t / "jail/./a/../gone/"), d("jail/./a/../gone/"),
                   "failed to canonicalize cwd: " + kMissing);
}

TEST_F(CwdTree, NulBytesAreReportedWithTheirOwnText) {
  const std::string with_nul = (t / "jail").native() + std::string("\0x", 2);
  const std::string reason_cwd =
      "failed to canonicalize cwd: file name contained an unexpected NUL byte";
  expect_forbidden(CwdPolicy(CwdPolicy::Jailed{t / "jail", t / "jail"}).validate(Path(with_nul)),
                   with_nul, reason_cwd);
  expect_forbidden(CwdPolicy(CwdPolicy::Jailed{Path(with_nul), t / "jail"}).validate(t / "jail"),
                   with_nul,
                   "failed to canonicalize jail root: file name contained an unexpected NUL byte");
  const CwdPolicy listed{CwdPolicy::Allowlist{{t / "jail"}, t / "jail"}};
  expect_forbidden(listed.validate(Path(with_nul)), with_nul, reason_cwd);
  // An entry with a NUL byte is just one that cannot match.
  const CwdPolicy nul_entry{CwdPolicy::Allowlist{{Path(with_nul), t / "jail"}, t / "jail"}};
  expect_accepted(nul_entry.validate(std::nullopt), t / "jail");
}

TEST_F(CwdTree, PathsInMessagesUseTheDisplayForm) {
  const Path bad = t.path() / Path(std::string("caf\xe9"));
  make_dirs(bad);
  const std::string shown = display(t.path()) + "/caf\xef\xbf\xbd";
  expect_forbidden(CwdPolicy(CwdPolicy::Jailed{t / "jail", t / "jail"}).validate(bad), shown,
                   "not within jail root " + d("jail"));
  expect_forbidden(CwdPolicy(CwdPolicy::Jailed{bad, bad}).validate(t / "outside"), d("outside"),
                   "not within jail root " + shown);
  // The returned path keeps the raw bytes.
  expect_accepted(CwdPolicy(CwdPolicy::Jailed{bad, bad}).validate(std::nullopt), bad);
}

TEST_F(CwdTree, RelativeCandidatesResolveAgainstTheProcessDirectory) {
  // "a" exists inside the jail but not in the process directory t/outside; the
  // candidate is not joined to the root.
  make_dirs(t / "outside/inner");
  ChdirGuard guard(t / "outside");
  const CwdPolicy jail{CwdPolicy::Jailed{t / "jail", t / "jail"}};
  expect_forbidden(jail.validate(Path("a")), "a", "failed to canonicalize cwd: " + kMissing);
  expect_forbidden(jail.validate(Path("inner")), "inner", "not within jail root " + d("jail"));
  expect_accepted(jail.validate(Path("../jail/a")), t / "jail/a");

  // A relative root and relative allowlist entries resolve the same way.
  const CwdPolicy rel_root{CwdPolicy::Jailed{Path(".."), Path(".")}};
  expect_accepted(rel_root.validate(std::nullopt), t / "outside");
  const CwdPolicy list{CwdPolicy::Allowlist{{Path("inner"), Path("a")}, Path("./inner/")}};
  expect_accepted(list.validate(std::nullopt), t / "outside/inner");
  expect_forbidden(list.validate(t / "jail/a"), d("jail/a"), "not in allowlist");
}

TEST_F(CwdTree, JailedAtFilesystemRootAcceptsAnyExistingPath) {
  const CwdPolicy policy{CwdPolicy::Jailed{Path("/"), Path("/")}};
  expect_accepted(policy.validate(t / "jail/alias"), t / "jail/inner");
  expect_accepted(policy.validate(std::nullopt), Path("/"));
}

TEST_F(CwdTree, AllowlistAcceptsOnlyListedDirectories) {
  const CwdPolicy policy{
      CwdPolicy::Allowlist{{t / "jail/a", t / "jail/b/", t / "missing"}, t / "jail/b"}};
  const struct {
    const char* request;
    const char* result;  // nullptr: rejected
  } cases[] = {
      {"jail/a", "jail/a"},      {"jail/a/.", "jail/a"},  {"jail/./b//", "jail/b"},
      {"jail-link/a", "jail/a"},  // the candidate is resolved before comparison
      {"jail/a/../b", "jail/b"}, {"jail/inner", nullptr}, {"jail", nullptr},
      {"jail/escape", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    if (c.result != nullptr) {
      expect_accepted(policy.validate(t / c.request), t / c.result);
    } else {
      expect_forbidden(policy.validate(t / c.request), d(c.request), "not in allowlist");
    }
  }
  make_dirs(t / "jail/a/sub");
  expect_forbidden(policy.validate(t / "jail/a/sub"), d("jail/a/sub"), "not in allowlist");
  expect_accepted(policy.validate(std::nullopt), t / "jail/b");
  // An unlisted candidate that does not exist fails on canonicalisation first.
  expect_forbidden(policy.validate(t / "missing"), d("missing"),
                   "failed to canonicalize cwd: " + kMissing);
}

TEST_F(CwdTree, AllowlistEntriesAreCanonicalisedToo) {
  // An entry that is a link admits its target; a file may be listed.
  const CwdPolicy policy{CwdPolicy::Allowlist{
      {t / "jail/alias", t / "jail/file.txt", t / "jail/dangling"}, t / "jail"}};
  expect_accepted(policy.validate(t / "jail/inner"), t / "jail/inner");
  expect_accepted(policy.validate(t / "jail/file.txt"), t / "jail/file.txt");
  expect_forbidden(policy.validate(std::nullopt), d("jail"), "not in allowlist");
}

TEST_F(CwdTree, AllowlistKeepsLookingPastEntriesThatFail) {
  PathSet allowed{t / "jail/b"};
  // Only meaningful if some failing entry is tried before the good one; the
  // set's order depends on the temporary names, so add entries until it is.
  for (int i = 0; i < 64 && path_equal(*allowed.begin(), t / "jail/b"); ++i) {
    allowed.insert(t / ("missing-" + std::to_string(i)));
  }
  ASSERT_FALSE(path_equal(*allowed.begin(), t / "jail/b"));
  const CwdPolicy policy{CwdPolicy::Allowlist{allowed, t / "jail/b"}};
  expect_accepted(policy.validate(std::nullopt), t / "jail/b");
  expect_forbidden(policy.validate(t / "jail/a"), d("jail/a"), "not in allowlist");
}

TEST_F(CwdTree, EmptyAllowlistRejectsEverything) {
  const CwdPolicy policy{CwdPolicy::Allowlist{{}, t / "jail"}};
  expect_forbidden(policy.validate(std::nullopt), d("jail"), "not in allowlist");
  expect_forbidden(policy.validate(t / "jail/a"), d("jail/a"), "not in allowlist");
  const CwdPolicy gone{CwdPolicy::Allowlist{{}, t / "gone"}};
  expect_forbidden(gone.validate(std::nullopt), d("gone"),
                   "failed to canonicalize cwd: " + kMissing);
}

// A root that an ordinary user cannot search fails with the operating system's own text.
TEST_F(CwdTree, UnsearchableRootAndEntriesForAnOrdinaryUser) {
  const auto who = test::unprivileged_identity();
  if (!who) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  make_dirs(t / "locked/jail");
  ASSERT_EQ(::chmod((t / "locked").c_str(), 0700), 0);
  const std::string locked_root = d("locked/jail");
  const int rc = test::run_as(who->uid, who->gid, [&] {
    int failures = 0;
    const auto jailed =
        CwdPolicy(CwdPolicy::Jailed{t / "locked/jail", t / "outside"}).validate(std::nullopt);
    const std::string want = "working directory forbidden: " + locked_root +
                             " (failed to canonicalize jail root: Permission denied (os error 13))";
    if (jailed || to_string(jailed.error()) != want) failures |= 1;
    // The unsearchable entry is skipped; the readable one still matches.
    const auto listed =
        CwdPolicy(CwdPolicy::Allowlist{{t / "locked/jail", t / "outside"}, t / "outside"})
            .validate(std::nullopt);
    if (!listed || listed->native() != (t / "outside").native()) failures |= 2;
    return failures;
  });
  EXPECT_EQ(rc, 0);
}

}  // namespace
}  // namespace corvane
