// A sandbox per subcommand (BinaryOptions::subcommand_sandboxes): the rule set
// that allowed a command decides the sandbox it carries, so "make test" may
// start its recipe's shell while "make lint" of the same binary may not.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "corvane/policy.hpp"
#include "corvane/sandbox.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

class SandboxPerSubcommand : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
    // Both targets run a shell: what differs is only whether the sandbox lets them.
    test::write_file(dir_ / "Makefile", "test:\n\t@sh -c 'echo ran-$$((6*7))'\nlint: test\n", 0644);
  }

  Sandbox box(std::vector<Path> exec) const {
    SandboxSpec spec = SandboxSpec::workspace(dir_.path());
    spec.exec = std::move(exec);
    auto built = Sandbox::build(std::move(spec));
    if (!built) ADD_FAILURE() << built.error();
    return std::move(*built);
  }

  std::expected<ProcPolicy, Refusal> policy(BinaryOptions options) const {
    auto rules = CommandRules::make({RuleSet({"test"}), RuleSet({"lint"})});
    return ProcPolicy::builder()
        .allow_bin("/usr/bin/make")
        .command_rules("/usr/bin/make", std::move(*rules))
        .cwd_policy(CwdPolicy::Fixed{dir_.path()})
        .env_policy(EnvPolicy::Fixed{{{"PATH", "/usr/bin:/bin"}}})
        .sandbox(box({}))
        .binary_options("/usr/bin/make", std::move(options))
        .try_build();
  }

  test::TempDir dir_;
};

// Each row: make's options, then for each target whether its shell runs.
TEST_F(SandboxPerSubcommand, TheRuleSetThatAllowedDecidesTheSandbox) {
  const Sandbox shells = box({Path("/usr/bin"), Path("/bin")});
  const Sandbox none = box({});
  const struct {
    const char* name;
    BinaryOptions options;
    bool test_runs;
    bool lint_runs;
  } rows[] = {
      {"the policy's for both", {}, false, false},
      {"the binary's for both", {.sandbox = shells}, true, true},
      {"test's own over the policy's", {.subcommand_sandboxes = {{{"test"}, shells}}}, true, false},
      {"test's own narrows the binary's",
       {.sandbox = shells, .subcommand_sandboxes = {{{"test"}, none}}},
       false,
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto built = policy(row.options);
    ASSERT_TRUE(built) << built.error().message;
    for (const auto& [target, runs] : {std::pair{"test", row.test_runs}, {"lint", row.lint_runs}}) {
      SCOPED_TRACE(target);
      auto cmd = built->check(ProcRequest("/usr/bin/make", {target}));
      ASSERT_TRUE(cmd) << cmd.error().message;
      // explain() carries what check() does.
      EXPECT_EQ(built->explain(ProcRequest("/usr/bin/make", {target})).result->sandbox(),
                cmd->sandbox());
      const ExecResult out = std::move(*cmd).spawn_sync();
      ASSERT_TRUE(out) << to_string(out.error());
      EXPECT_EQ(out->stdout.find("ran-42") != std::string::npos, runs) << out->stderr;
    }
  }
}

TEST_F(SandboxPerSubcommand, ASandboxForWordsNoRuleSetHasIsRefused) {
  auto built = policy({.subcommand_sandboxes = {{{"tset"}, box({})}}});
  ASSERT_FALSE(built);
  EXPECT_EQ(built.error().kind, "OptionsForUnknownSubcommand");
  EXPECT_EQ(built.error().message,
            "a sandbox for subcommand \"tset\" of /usr/bin/make, which has no command rules for "
            "it");
}

}  // namespace
}  // namespace corvane
