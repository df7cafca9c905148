// [binaries.NAME.sandbox] read from C++: the hand-written coding agent
// (tests/policies, the shape the shipped one had before packs) gives the exec
// right to make alone, each binary's sandbox is built once with the
// policy, and the command check() makes carries the one of its binary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvane/policy_file.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

const Path kPolicies =
    Path(CORVANE_EXAMPLES_DIR).parent_path().parent_path() / "tests" / "policies";

TEST(BinarySandbox, CodingAgentGivesExecToTheTestRunnerAlone) {
  if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "the kernel has no Landlock";
  test::TempDir ws;
  auto loaded = load_policy(kPolicies / "coding_agent.toml", {{"WORKSPACE", ws.path().native()}});
  ASSERT_TRUE(loaded) << loaded.error().message();
  ASSERT_TRUE(loaded->sandbox);
  EXPECT_TRUE(loaded->sandbox->spec().exec.empty());
  const std::vector<Path> runner_exec = {Path("/usr/bin"), Path("/bin")};
  for (const PolicyBinary& b : loaded->settings.binaries) {
    SCOPED_TRACE(b.name);
    const auto cmd = loaded->policy.check(
        ProcRequest(b.name, b.name == "make"  ? std::vector<std::string>{"test"}
                            : b.name == "git" ? std::vector<std::string>{"status"}
                                              : std::vector<std::string>{}));
    ASSERT_TRUE(cmd) << cmd.error().message;
    if (b.name == "make") {
      ASSERT_TRUE(b.sandbox);
      EXPECT_EQ(b.sandbox->spec().exec, runner_exec);
      // Everything but exec is the policy's.
      SandboxSpec rest = b.sandbox->spec();
      rest.exec.clear();
      EXPECT_EQ(rest, loaded->sandbox->spec());
      EXPECT_EQ(cmd->sandbox(), b.sandbox);
    } else {
      EXPECT_FALSE(b.sandbox);
      EXPECT_EQ(cmd->sandbox(), loaded->sandbox);
    }
  }
}

// Each row: a policy whose binary table changes the policy's sandbox, and the
// key and reason of its mistake (empty: it loads).
TEST(BinarySandbox, MistakesNameTheBinarysKey) {
  const struct {
    const char* toml;
    const char* key;
    const char* reason;
  } rows[] = {
      {"[sandbox]\n[binaries.ls]\npath = \"/usr/bin/ls\"\nsandbox = { exec = [\"/bin\"] }\n", "",
       ""},
      {"[binaries.ls]\npath = \"/usr/bin/ls\"\nsandbox = { exec = [\"/bin\"] }\n",
       "binaries.ls.sandbox", "which this policy does not have"},
      {"[sandbox]\n[binaries.ls]\npath = \"/usr/bin/ls\"\nsandbox = { keep_background = true }\n",
       "binaries.ls.sandbox.keep_background", "unknown key"},
      {"[sandbox]\nread = [\"/etc\"]\n[binaries.ls]\npath = \"/usr/bin/ls\"\n"
       "sandbox = { read = [\"/no/such\"] }\n",
       "binaries.ls.sandbox.read[0]", "/no/such"},
      {"[sandbox]\nlimits = { memory = \"1GiB\" }\n[binaries.ls]\npath = \"/usr/bin/ls\"\n"
       "sandbox = { limits = { processes = -1 } }\n",
       "binaries.ls.sandbox.limits.processes", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.toml);
    auto loaded = load_policy_text(row.toml, "p.toml");
    if (std::string(row.key).empty()) {
      EXPECT_TRUE(loaded) << loaded.error().message();
      continue;
    }
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().key, row.key);
    EXPECT_NE(loaded.error().reason.find(row.reason), std::string::npos) << loaded.error().reason;
  }
}

}  // namespace
}  // namespace corvane
