// A binary's own options in a policy: the path it was allowed under as argv[0]
// (the file executed stays the checked one), its own risky-name setting, and
// the mistakes try_build() refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "corvane/canonical.hpp"
#include "corvane/policy.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;

CommandRules any_args() {
  return std::move(*CommandRules::make({RuleSet().flags({"-c"}).max_flags(1).max_positionals(4)}));
}

class BinaryOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A venv-like layout: a link to a shell, which names itself by $0.
    test::make_dirs(dir / "env/bin");
    test::make_symlink(shell, dir / "env/bin/sh");
    test::make_symlink(shell, dir / "other-link");
  }
  Path p(std::string_view name) const { return dir / name; }
  const Path shell = *canonicalize_binary(Path("/bin/sh"));
  test::TempDir dir;
};

// Each row: the options, the path asked for, and argv[0] of the checked command.
struct Argv0Row {
  std::string name;
  std::optional<BinaryOptions> options;
  std::string requested;  // relative to the temp directory, or absolute
  std::string argv0;      // "bin": the canonical path; else relative to the temp directory
};

TEST_F(BinaryOptionsTest, Argv0IsTheAllowedPathOnlyWhenAsked) {
  const BinaryOptions as_allowed{Argv0::AllowedPath, RiskyBinPolicy::Disabled};
  const std::vector<Argv0Row> rows = {
      {"default", std::nullopt, "env/bin/sh", "bin"},
      {"canonical", BinaryOptions{Argv0::Canonical, RiskyBinPolicy::Disabled}, "env/bin/sh", "bin"},
      {"allowed", as_allowed, "env/bin/sh", "env/bin/sh"},
      // Another link to the same file gets the allowed path, never its own: a
      // directory of the agent's choosing cannot become the interpreter's venv.
      {"other link", as_allowed, "other-link", "env/bin/sh"},
      {"by canonical path", as_allowed, "", "env/bin/sh"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto builder = ProcPolicy::builder()
                       .allow_bin(p("env/bin/sh"))
                       .command_rules(p("env/bin/sh"), any_args())
                       .risky_bin_policy(RiskyBinPolicy::Disabled);
    if (row.options) builder = std::move(builder).binary_options(p("env/bin/sh"), *row.options);
    auto policy = std::move(builder).try_build();
    ASSERT_TRUE(policy.has_value()) << policy.error().message;
    const Path requested = row.requested.empty() ? shell : p(row.requested);
    auto cmd = policy->check(ProcRequest(requested, {"-c", "echo \"$0\""}));
    ASSERT_TRUE(cmd.has_value()) << cmd.error().message;
    EXPECT_EQ(cmd->bin(), shell);
    const Path expected = row.argv0 == "bin" ? shell : p(row.argv0);
    EXPECT_EQ(cmd->argv0(), expected);
    // The child is told that name: the shell prints its $0.
    auto out = std::move(*cmd).spawn_sync();
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->stdout, display(expected) + "\n");
  }
}

TEST_F(BinaryOptionsTest, ARepointedLinkAfterTheCheckStillRunsTheCheckedFile) {
  test::write_script(p("payload"), "echo pwned");
  auto policy = ProcPolicy::builder()
                    .allow_bin(p("env/bin/sh"))
                    .command_rules(p("env/bin/sh"), any_args())
                    .binary_options(p("env/bin/sh"), {Argv0::AllowedPath, RiskyBinPolicy::Disabled})
                    .try_build();
  ASSERT_TRUE(policy.has_value());
  auto cmd = policy->check(ProcRequest(p("env/bin/sh"), {"-c", "echo checked"}));
  ASSERT_TRUE(cmd.has_value());
  std::filesystem::remove(p("env/bin/sh").native());
  test::make_symlink(p("payload"), p("env/bin/sh"));
  // What a runner that executed the launcher path would now start:
  auto relaunched = policy->check(ProcRequest(p("env/bin/sh"), {}));
  ASSERT_FALSE(relaunched.has_value());
  EXPECT_EQ(relaunched.error().kind, "BinNotAllowed");
  auto out = std::move(*cmd).spawn_sync();
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->stdout, "checked\n");
}

// Each row: the policy's risky setting, the shell link's own, and the outcome for
// the link and for an interpreter allowed beside it (both risky names).
struct RiskyRow {
  RiskyBinPolicy policy;
  std::optional<RiskyBinPolicy> own;
  bool shell_allowed;
  bool other_allowed;
};

TEST_F(BinaryOptionsTest, ABinarysRiskySettingAppliesToThatBinaryOnly) {
  test::write_script(p("python3"), "exit 0");
  const std::vector<RiskyRow> rows = {
      {RiskyBinPolicy::DenyByDefault, std::nullopt, false, false},
      {RiskyBinPolicy::DenyByDefault, RiskyBinPolicy::Disabled, true, false},
      {RiskyBinPolicy::DenyByDefault, RiskyBinPolicy::AllowWithWarning, true, false},
      {RiskyBinPolicy::Disabled, RiskyBinPolicy::DenyByDefault, false, true},
      {RiskyBinPolicy::Disabled, std::nullopt, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(static_cast<int>(row.policy)) + "/" +
                 (row.own ? std::to_string(static_cast<int>(*row.own)) : "-"));
    auto builder = ProcPolicy::builder()
                       .allow_bin(p("env/bin/sh"))
                       .command_rules(p("env/bin/sh"), any_args())
                       .allow_bin(p("python3"))
                       .command_rules(p("python3"), any_args())
                       .risky_bin_policy(row.policy);
    if (row.own) {
      builder = std::move(builder).binary_options(p("env/bin/sh"), {Argv0::Canonical, row.own});
    }
    auto policy = std::move(builder).try_build();
    ASSERT_TRUE(policy.has_value());
    auto shell_cmd = policy->check(ProcRequest(p("env/bin/sh"), {}));
    auto other = policy->check(ProcRequest(p("python3"), {}));
    EXPECT_EQ(shell_cmd.has_value(), row.shell_allowed);
    EXPECT_EQ(other.has_value(), row.other_allowed);
    if (!shell_cmd) {
      EXPECT_EQ(shell_cmd.error().kind, "RiskyBinDenied");
    }
    EXPECT_EQ(policy->explain(ProcRequest(p("env/bin/sh"), {})).risky, row.own);
  }
}

TEST_F(BinaryOptionsTest, PrepareReadsNoOptions) {
  // build() and prepare() stay exactly as they were: options are for check().
  auto policy = ProcPolicy::builder()
                    .allow_bin(p("env/bin/sh"))
                    .arg_rules(p("env/bin/sh"), ArgRules())
                    .binary_options(p("env/bin/sh"), {Argv0::AllowedPath, RiskyBinPolicy::Disabled})
                    .build();
  ASSERT_TRUE(policy.has_value());
  auto prepared = policy->prepare(ProcRequest(p("env/bin/sh"), {}));
  ASSERT_FALSE(prepared.has_value());
  EXPECT_TRUE(std::holds_alternative<violation::RiskyBinDenied>(prepared.error()));
}

// Each row: a builder's mistake and the kind and message try_build() refuses it with.
TEST_F(BinaryOptionsTest, MistakesAreRefusedByTryBuild) {
  struct Row {
    std::string name;
    std::function<ProcPolicyBuilder(ProcPolicyBuilder)> setup;
    std::string kind;
    std::string message;
  };
  const BinaryOptions allowed{Argv0::AllowedPath, std::nullopt};
  const std::vector<Row> rows = {
      {"options for a binary not allowed",
       [&](ProcPolicyBuilder b) { return std::move(b).binary_options(p("nowhere"), allowed); },
       "OptionsForUnknownBinary",
       "options for binary " + display(p("nowhere")) + ", which is not allowed"},
      {"two paths to one file run differently",
       [&](ProcPolicyBuilder b) {
         return std::move(b).allow_bin(p("other-link")).binary_options(p("env/bin/sh"), allowed);
       },
       "ConflictingBinaryOptions",
       "binaries that resolve to " + display(shell) + " have different options (" +
           display(p("other-link")) + ")"},
      {"each with its own argv0",
       [&](ProcPolicyBuilder b) {
         return std::move(b)
             .allow_bin(p("other-link"))
             .binary_options(p("env/bin/sh"), allowed)
             .binary_options(p("other-link"), allowed);
       },
       "ConflictingBinaryOptions",
       "binaries that resolve to " + display(shell) + " have different options (" +
           display(p("other-link")) + ")"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // Rules under the canonical path, so both links reach one file legitimately.
    auto policy =
        row.setup(ProcPolicy::builder().allow_bin(p("env/bin/sh")).command_rules(shell, any_args()))
            .try_build();
    ASSERT_FALSE(policy.has_value());
    EXPECT_EQ(policy.error().kind, row.kind);
    EXPECT_EQ(policy.error().message, row.message);
  }
  // The same options under both paths are no conflict... when they give no argv0.
  auto same = ProcPolicy::builder()
                  .allow_bin(p("env/bin/sh"))
                  .allow_bin(p("other-link"))
                  .command_rules(shell, any_args())
                  .binary_options(shell, {Argv0::Canonical, RiskyBinPolicy::Disabled})
                  .try_build();
  ASSERT_TRUE(same.has_value()) << same.error().message;
  EXPECT_TRUE(same->check(ProcRequest(p("other-link"), {})).has_value());
}

}  // namespace
}  // namespace corvane
