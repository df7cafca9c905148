// A policy's sandbox travels with the commands it allows: check() and explain()
// put it on the command, every run applies it, and no other sandbox replaces it.
// prepare() of the nine classes never carries one.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "corvane/policy.hpp"
#include "corvane/sandbox.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using test::TempDir;

class SandboxCarry : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
    test::write_file(dir_ / "data.txt", "hello\n", 0644);
  }

  Sandbox sandbox(bool network) const {
    SandboxSpec spec = SandboxSpec::workspace(dir_.path());
    spec.network = network;
    auto built = Sandbox::build(std::move(spec));
    if (!built) ADD_FAILURE() << built.error();
    return std::move(*built);
  }

  // sed allowed with its script free: its `e` command runs a shell unless the
  // sandbox stops the shell from executing.
  ProcPolicy policy(std::optional<Sandbox> box) const {
    ProcPolicyBuilder builder =
        ProcPolicy::builder()
            .allow_bin("/usr/bin/sed")
            .arg_rules("/usr/bin/sed",
                       ArgRules().allowed_flags({"-n"}).max_flags(1).max_positionals(2))
            .cwd_policy(CwdPolicy::Fixed{dir_.path()})
            .env_policy(EnvPolicy::Fixed{{{"PATH", "/usr/bin:/bin"}}});
    if (box) builder = std::move(builder).sandbox(*box);
    auto built = std::move(builder).build();
    EXPECT_TRUE(built);
    return std::move(*built);
  }

  // The checked attack command of `policy`.
  static PreparedCommand checked(const ProcPolicy& policy) {
    auto command = policy.check(attack());
    EXPECT_TRUE(command);
    return std::move(*command);
  }

  // The command of an allowed request, or nothing (the failure is reported).
  template <class E>
  static std::optional<PreparedCommand> allowed(std::expected<PreparedCommand, E> result) {
    EXPECT_TRUE(result);
    if (!result) return std::nullopt;
    return std::move(*result);
  }

  static ProcRequest attack() { return ProcRequest("/usr/bin/sed", {"-n", "1e id", "data.txt"}); }

  TempDir dir_;
};

// Each way of obtaining the command, and what it must carry.
TEST_F(SandboxCarry, CheckAndExplainCarryThePolicysSandboxAndPrepareDoesNot) {
  const Sandbox box = sandbox(false);
  const ProcPolicy boxed = policy(box);
  const ProcPolicy plain = policy(std::nullopt);
  const struct {
    const char* route;
    std::optional<PreparedCommand> command;
    bool carries;
  } rows[] = {
      {"check", allowed(boxed.check(attack())), true},
      {"explain", allowed(boxed.explain(attack()).result), true},
      {"prepare", allowed(boxed.prepare(attack())), false},
      {"check without a sandbox", allowed(plain.check(attack())), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.route);
    ASSERT_TRUE(row.command);
    EXPECT_EQ(row.command->sandbox().has_value(), row.carries);
    if (row.carries) {
      EXPECT_EQ(*row.command->sandbox(), box);
    }
    // The attack runs a shell exactly when the command carries no sandbox.
    const ExecResult out = PreparedCommand(*row.command).spawn_sync();
    ASSERT_TRUE(out) << to_string(out.error());
    EXPECT_EQ(out->stdout.find("uid=") == std::string::npos, row.carries) << out->stdout;
  }
}

// with_sandbox on a carried command: the same sandbox is accepted, another refused.
TEST_F(SandboxCarry, ACarriedSandboxIsNeverReplaced) {
  const Sandbox box = sandbox(false);
  const ProcPolicy boxed = policy(box);
  auto same = checked(boxed).with_sandbox(sandbox(false));
  ASSERT_TRUE(same) << same.error();
  EXPECT_EQ(same->sandbox(), box);
  auto other = checked(boxed).with_sandbox(sandbox(true));
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error(),
            "the command carries the sandbox of the policy that checked it and runs in no other");
  // A command without one takes any.
  auto plain = checked(policy(std::nullopt)).with_sandbox(sandbox(true));
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_TRUE(plain->sandbox()->spec().network);
}

}  // namespace
}  // namespace corvane
