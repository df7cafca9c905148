// Packs read from C++: the loader finds them in the directories it is given
// (the installed ones by default), takes their binaries in, names the pack
// each came from, and refuses a restatement wider than its pack.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvane/policy_file.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

const std::vector<Path> kPacks = {Path(CORVANE_PACKS_SOURCE_DIR)};

std::string policy(const std::string& extra) {
  return "include = [\"explore\", \"git-read\"]\n" + extra +
         "[cwd]\njail = \"${WORKSPACE}\"\n[sandbox]\nworkspace = \"${WORKSPACE}\"\n";
}

TEST(Packs, IncludedBinariesComeWithTheirPackAndSandbox) {
  if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "the kernel has no Landlock";
  test::TempDir ws;
  auto loaded = load_policy_text(policy(""), "p.toml", {{"WORKSPACE", ws.path().native()}},
                                 std::nullopt, kPacks);
  ASSERT_TRUE(loaded) << loaded.error().message();
  ASSERT_EQ(loaded->settings.packs.size(), 2u);
  EXPECT_EQ(loaded->settings.packs[1].name, "git-read");
  for (const PolicyBinary& b : loaded->settings.binaries) {
    SCOPED_TRACE(b.name);
    EXPECT_EQ(b.pack, b.name == "git" ? "git-read" : "explore");
    // git alone brings a sandbox of its own, where it may execute only git.
    EXPECT_EQ(b.sandbox.has_value(), b.name == "git");
    if (b.sandbox) {
      EXPECT_EQ(b.sandbox->spec().exec, std::vector<Path>{Path("/usr/lib/git-core/git")});
    }
  }
  EXPECT_TRUE(loaded->policy.check(ProcRequest("git", {"log", "-n", "3"}).with_cwd(ws.path())));
  EXPECT_FALSE(loaded->policy.check(ProcRequest("git", {"-c", "core.pager=id", "log"})));
}

TEST(Packs, WideningIsAnErrorNamingTheKeyUnlessSaid) {
  if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "the kernel has no Landlock";
  test::TempDir ws;
  const PolicyVariables vars = {{"WORKSPACE", ws.path().native()}};
  const std::string wider = "[binaries.ls]\nflags = [\"-l\", \"--full-time\"]\n";
  auto refused = load_policy_text(policy(wider), "p.toml", vars, std::nullopt, kPacks);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().key, "binaries.ls.flags");
  EXPECT_NE(refused.error().reason.find("adds the flag '--full-time'"), std::string::npos);
  auto widened =
      load_policy_text(policy(wider + "widen = true\n"), "p.toml", vars, std::nullopt, kPacks);
  ASSERT_TRUE(widened) << widened.error().message();
  EXPECT_TRUE(widened->settings.binaries.back().widened);
}

TEST(Packs, AnUnknownPackNamesTheKeyAndTheKnownOnes) {
  auto loaded =
      load_policy_text("include = [\"explore\", \"nope\"]\n", "p.toml", {}, std::nullopt, kPacks);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().key, "include[1]");
  EXPECT_NE(loaded.error().reason.find("unknown pack 'nope' (known: "), std::string::npos);
  EXPECT_NE(loaded.error().reason.find("git-read"), std::string::npos);
  // Without a directory given, the installed ones are searched.
  EXPECT_TRUE(default_pack_dirs().front().native().ends_with("share/corvane/packs"));
}

}  // namespace
}  // namespace corvane
