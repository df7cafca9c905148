// The C++ API as a host meets it: one build and one decision for either rule
// model, one way to read any error, builders filled in place, an empty policy
// for a member, and the "--" default that RuleSet shares with policy files.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "corvane/event_loop.hpp"
#include "corvane/policy.hpp"
#include "corvane/rules.hpp"
#include "corvane/sandbox.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;

CommandRules rules(std::vector<RuleSet> sets) {
  auto made = CommandRules::make(std::move(sets));
  EXPECT_TRUE(made) << (made ? "" : message(made.error()));
  return std::move(*made);
}

class HostApi : public ::testing::Test {
 protected:
  void SetUp() override {
    test::write_script(dir / "tool", "exit 0");
    test::write_script(dir / "other", "exit 0");
    test::make_symlink(dir / "tool", dir / "tool-link");
  }
  Path p(std::string_view name) const { return dir / name; }
  std::string s(std::string_view name) const { return (dir / name).string(); }
  test::TempDir dir;
};

std::string outcome(const std::expected<PreparedCommand, Refusal>& r) {
  if (!r) return r.error().kind + ": " + r.error().message;
  std::string out = "ok:";
  for (const auto& a : r->argv()) out += " " + a;
  return out;
}

// Each row: how the rules are registered, and what build() then check() and
// prepare() say for one request ("-n x").
TEST_F(HostApi, BuildTakesEitherRuleModelAndCheckDecides) {
  struct Row {
    std::string name;
    std::function<ProcPolicyBuilder(ProcPolicyBuilder)> setup;
    std::string build;  // empty: builds
    std::string check;
    std::string prepare;
    std::string strict = "";  // try_build()'s refusal kind; empty: decides as check
  };
  auto command = [] { return rules({RuleSet().flags({"-n"}).max_flags(1).max_positionals(1)}); };
  auto args = [] { return ArgRules().allowed_flags({"-n"}).max_flags(1).max_positionals(1); };
  const std::string by_check = " (its rules are command rules, which check() applies)";
  const std::vector<Row> rows = {
      {"command rules under the registered path",
       [&](ProcPolicyBuilder b) {
         return std::move(b).allow_bin(p("tool")).command_rules(p("tool"), command());
       },
       "", "ok: -n -- x",
       "ArgRulesRequired: argument rules required for binary: " + s("tool") + by_check},
      {"command rules under the canonical path",
       [&](ProcPolicyBuilder b) {
         return std::move(b).allow_bin(p("tool-link")).command_rules(p("tool"), command());
       },
       "", "ok: -n -- x",
       "ArgRulesRequired: argument rules required for binary: " + s("tool") + by_check},
      {"argument rules as specified",
       [&](ProcPolicyBuilder b) {
         return std::move(b).allow_bin(p("tool")).arg_rules(p("tool"), args());
       },
       "", "ok: -n x", "ok: -n x"},
      {"registered path wins over canonical, across models",
       [&](ProcPolicyBuilder b) {
         return std::move(b)
             .allow_bin(p("tool-link"))
             .command_rules(p("tool-link"), command())
             .arg_rules(p("tool"), args());
       },
       "", "ok: -n -- x",
       "ArgRulesRequired: argument rules required for binary: " + s("tool") + by_check},
      {"a later binary replaces the earlier rules, across models",
       [&](ProcPolicyBuilder b) {
         return std::move(b)
             .allow_bin(p("tool-link"))
             .command_rules(p("tool-link"), command())
             .allow_bin(p("tool"))
             .arg_rules(p("tool"), args());
       },
       "", "ok: -n x", "ok: -n x", "DuplicateRules"},
      {"no rules of either model",
       [&](ProcPolicyBuilder b) { return std::move(b).allow_bin(p("tool")); },
       "argument rules required for binary: " + s("tool"), "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto built = row.setup(ProcPolicy::builder()).build();
    if (!row.build.empty()) {
      ASSERT_FALSE(built);
      EXPECT_EQ(message(built.error()), row.build);
      continue;
    }
    ASSERT_TRUE(built) << message(built.error());
    EXPECT_EQ(outcome(built->check(ProcRequest(p("tool"), {"-n", "x"}))), row.check);
    auto prepared = built->prepare(ProcRequest(p("tool"), {"-n", "x"}));
    EXPECT_EQ(prepared ? outcome(std::move(*prepared))
                       : std::string(kind(prepared.error())) + ": " + message(prepared.error()),
              row.prepare);
    // try_build() decides alike, or refuses the conflict that build() resolves by order.
    auto strict = row.setup(ProcPolicy::builder()).try_build();
    EXPECT_EQ(strict ? outcome(strict->check(ProcRequest(p("tool"), {"-n", "x"})))
                     : std::string(kind(strict.error())),
              row.strict.empty() ? row.check : row.strict);
  }
}

TEST(ErrorReading, EveryErrorHasAKindAndAMessage) {
  struct Row {
    std::string kind;
    std::string message;
    std::string expected_kind;
    std::string expected_message;
  };
  auto row = [](const auto& error, std::string k, std::string m) {
    return Row{std::string(kind(error)), message(error), std::move(k), std::move(m)};
  };
  auto bad_rules = CommandRules::make({RuleSet().flags({"-n", "-n"})});
  ASSERT_FALSE(bad_rules);
  auto sandbox = Sandbox::build(SandboxSpec{.read = {Path("relative")}});
  ASSERT_FALSE(sandbox);
  const std::vector<Row> rows = {
      row(Violation{violation::FlagNotAllowed{"-x"}}, "FlagNotAllowed", "flag not allowed: -x"),
      row(ExecError{exec_error::StdoutLimitExceeded{5}}, "StdoutLimitExceeded",
          "stdout limit exceeded: 5 bytes"),
      row(ExecError{exec_error::Timeout{{1, 0}, {1, 0}}}, "Timeout",
          "process timed out after 1s (limit: 1s)"),
      row(to_refusal(violation::BinNotFound{"/x"}, 0), "BinNotFound", "binary not found: /x"),
      row(bad_rules.error(), "RuleError", "flag \"-n\" declared twice"),
      row(sandbox.error(), "SandboxError", "sandbox path is not absolute: relative"),
      row(OsError("Too many open files (os error 24)"), "OsError",
          "Too many open files (os error 24)"),
  };
  for (const auto& r : rows) {
    EXPECT_EQ(r.kind, r.expected_kind);
    EXPECT_EQ(r.message, r.expected_message);
  }
  // The typed texts are still the strings they were.
  const std::string& text = sandbox.error();
  EXPECT_EQ(text, "sandbox path is not absolute: relative");
}

TEST_F(HostApi, BuildersFillInPlaceAsTheyChain) {
  const std::vector<std::string> flags = {"-a", "-b", "-c"};
  ProcPolicyBuilder builder;
  ArgRules arg_rules;
  RuleSet set;
  for (const auto& flag : flags) {
    arg_rules.allowed_flags({flag}).max_flags(1);  // allowed_flags replaces: only "-c" stays
    set.flags({flag});                             // flags adds: all three
  }
  set.max_flags(3).max_positionals(0);
  builder.allow_bin(p("tool")).arg_rules(p("tool"), arg_rules).timeout(Duration::from_secs(7));
  builder.allow_bin(p("other")).command_rules(p("other"), rules({std::move(set)}));
  auto policy = std::move(builder).try_build();
  ASSERT_TRUE(policy) << message(policy.error());
  EXPECT_EQ(outcome(policy->check(ProcRequest(p("tool"), {"-c"}))), "ok: -c");
  EXPECT_EQ(outcome(policy->check(ProcRequest(p("tool"), {"-a"}))),
            "FlagNotAllowed: flag not allowed: -a");
  EXPECT_EQ(outcome(policy->check(ProcRequest(p("other"), {"-a", "-b", "-c"}))), "ok: -a -b -c");
  auto chained = policy->check(ProcRequest(p("tool"), {}));
  ASSERT_TRUE(chained);
  EXPECT_EQ(chained->timeout(), Duration::from_secs(7));
}

TEST_F(HostApi, ADefaultPolicyRefusesLikeAnEmptyBuild) {
  struct Holder {
    ProcPolicy policy;  // filled in later
  } holder;
  auto empty = ProcPolicy::builder().build();
  ASSERT_TRUE(empty);
  const std::string refused =
      "binary not allowed: " + s("tool") + " (resolved to " + s("tool") + ")";
  for (const ProcPolicy* policy : {&holder.policy, &*empty}) {
    EXPECT_EQ(message(policy->prepare(ProcRequest(p("tool"), {})).error()), refused);
    EXPECT_EQ(message(policy->check(ProcRequest(p("tool"), {})).error()), refused);
  }
  holder.policy =
      *ProcPolicy::builder().allow_bin(p("tool")).arg_rules(p("tool"), ArgRules()).build();
  EXPECT_TRUE(holder.policy.prepare(ProcRequest(p("tool"), {})));
}

// RuleSet's "--" default is the policy files' own: on, and refused together
// with a reading of "--" that it cannot protect.
TEST(RuleSetDefault, InsertsDashesAsPolicyFilesDo) {
  auto plain = rules({RuleSet().flags({"-n"}).max_flags(1).max_positionals(1)});
  auto argv = plain.apply({"-n", "-file"}, nullptr);
  ASSERT_FALSE(argv);  // "-file" is read as a flag, not an operand
  argv = plain.apply({"-n", "file"}, nullptr);
  ASSERT_TRUE(argv);
  EXPECT_EQ(*argv, (Argv{"-n", "--", "file"}));
  EXPECT_EQ(RuleSet().inject_double_dash(), InjectDoubleDash::AfterFlags);
  EXPECT_EQ(ArgRules().inject_double_dash(), InjectDoubleDash::Never);
  auto find = CommandRules::make({RuleSet().double_dash(DoubleDashReading::OptionsContinue)});
  ASSERT_FALSE(find);
  EXPECT_EQ(
      message(find.error()),
      "inject_double_dash protects nothing when the program reads \"--\" as options_continue");
}

}  // namespace
}  // namespace corvane
