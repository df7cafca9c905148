// The shipped example policies, made of packs, load from C++ as from Python and
// decide the same requests the same way (the Python rows are in
// test_shipped_policies_attack.py); so do the hand-written policies under
// tests/policies they replaced, which other tests take apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvane/policy_file.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

const Path kExamples = CORVANE_EXAMPLES_DIR;
// code_explorer.toml jails commands to the directory two levels above it.
const Path kRoot = kExamples.parent_path().parent_path();
const Path kHandWritten = kRoot / "tests" / "policies";
const std::vector<Path> kPacks = {Path(CORVANE_PACKS_SOURCE_DIR)};

// Each shipped file and its hand-written counterpart; only the first has a sandbox.
const struct {
  Path dir;
  bool sandboxed;
} kPolicies[] = {{kExamples, true}, {kHandWritten, false}};

std::string outcome(const std::expected<PreparedCommand, Refusal>& r) {
  if (!r) return r.error().kind + ": " + r.error().message;
  std::string argv;
  for (const std::string& a : r->argv()) argv += " " + a;
  return "ok: " + r->bin().native() + argv + " in " + r->cwd().native();
}

TEST(ShippedPolicies, CodeExplorerRefusesAndPrepares) {
  for (const auto& [dir, sandboxed] : kPolicies) {
    SCOPED_TRACE(dir.native());
    if (sandboxed && Sandbox::available().landlock_abi == 0) continue;  // refuses to load
    auto loaded = load_policy(dir / "code_explorer.toml", {}, kPacks);
    ASSERT_TRUE(loaded) << loaded.error().message();
    const ProcPolicy& policy = loaded->policy;
    struct Row {
      std::string bin;
      std::vector<std::string> argv;
      std::string expected;
    };
    const std::string root = kRoot.native();
    const Row rows[] = {
        {"ls", {"-la", "src"}, "ok: /usr/bin/ls -la -- src in " + root},
        {"grep", {"-rn", "-e", "TODO", "src"}, "ok: /usr/bin/grep -rn -e TODO -- src in " + root},
        {"cat", {"/etc/passwd"}, "PathOutsideJail: "},
        {"find", {".", "-exec", "sh"}, "FlagNotAllowed: flag not allowed: -exec"},
        {"rm", {"-rf", "/"}, "BinNotAllowed: "},
        {"head", {"-n", "5;rm"}, "ValueNotAllowed: "},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(row.bin);
      const std::string got = outcome(policy.check(ProcRequest(row.bin, row.argv)));
      EXPECT_EQ(got.substr(0, row.expected.size()), row.expected) << got;
    }
    EXPECT_EQ(loaded->settings.on_output_limit, OnOutputLimit::Kill);
    EXPECT_EQ(loaded->settings.timeout, Duration::from_secs(10));
    EXPECT_EQ(loaded->sandbox.has_value(), sandboxed);
  }
}

TEST(ShippedPolicies, CodingAgentLoadsOnlyFromOutsideItsWorkspace) {
  if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "the kernel has no Landlock";
  for (const auto& policies : kPolicies) {
    const Path file = policies.dir / "coding_agent.toml";
    SCOPED_TRACE(file.native());
    // The repository holds the file: a workspace there could rewrite it.
    auto inside = load_policy(file, {{"WORKSPACE", kRoot.native()}}, kPacks);
    ASSERT_FALSE(inside);
    EXPECT_EQ(inside.error().key, "sandbox.workspace");
    EXPECT_TRUE(inside.error().reason.starts_with("the policy file ")) << inside.error().reason;
    test::TempDir ws;
    auto loaded = load_policy(file, {{"WORKSPACE", ws.path().native()}}, kPacks);
    ASSERT_TRUE(loaded) << loaded.error().message();
    ASSERT_TRUE(loaded->sandbox);
    EXPECT_EQ(loaded->settings.default_cwd, ws.path());
    EXPECT_EQ(loaded->settings.sandbox_workspace, ws.path());
  }
}

}  // namespace
}  // namespace corvane
