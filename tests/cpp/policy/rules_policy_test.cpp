// The extended model inside a policy: try_build's duplicate-rules errors,
// check() agreeing with prepare() for ArgRules binaries, the working directory
// decided before path rules, and what explain() reports.
#include <gtest/gtest.h>

#include "corvane/policy.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;

std::string outcome(const std::expected<PreparedCommand, Refusal>& r) {
  if (r) {
    std::string out = "ok:";
    for (const auto& a : r->argv()) out += " " + a;
    return out;
  }
  return r.error().kind + "@" + (r.error().index ? std::to_string(*r.error().index) : "-") + ": " +
         r.error().message;
}

CommandRules rules(std::vector<RuleSet> sets) {
  return std::move(*CommandRules::make(std::move(sets)));
}

class RulesPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::write_script(dir / "tool", "exit 0");
    test::write_script(dir / "other", "exit 0");
    test::make_symlink(dir / "tool", dir / "tool-link");
    test::make_dirs(dir / "ws/src");
    test::write_file(dir / "ws/src/a.txt", "x", 0644);
  }
  Path p(std::string_view name) const { return dir / name; }
  test::TempDir dir;
};

TEST_F(RulesPolicyTest, SecondRulesForOneBinaryIsAnError) {
  auto set = [] { return rules({RuleSet()}); };
  struct Case {
    ProcPolicyBuilder builder;
    std::string expected;
  };
  std::vector<Case> cases;
  cases.push_back({ProcPolicy::builder()
                       .allow_bin(p("tool"))
                       .command_rules(p("tool"), set())
                       .command_rules(p("tool"), set()),
                   "DuplicateRules: a second set of rules for binary " + p("tool").string()});
  cases.push_back(
      {ProcPolicy::builder()
           .allow_bin(p("tool"))
           .arg_rules(p("tool"), ArgRules())
           .command_rules(p("tool"), set()),
       "DuplicateRules: both argument rules and command rules for binary " + p("tool").string()});
  cases.push_back({ProcPolicy::builder()
                       .allow_bin(p("tool"))
                       .allow_bin(p("tool-link"))
                       .command_rules(p("tool"), set())
                       .arg_rules(p("tool-link"), ArgRules()),
                   "DuplicateRules: rules for " + p("tool").string() + " and " +
                       p("tool-link").string() + " both apply to " + p("tool").string()});
  cases.push_back({ProcPolicy::builder().allow_bin(p("other")).command_rules(p("tool"), set()),
                   "ArgRulesRequired: argument rules required for binary: " + p("other").string()});
  // The same path allowed twice with one set of rules is not a duplicate.
  cases.push_back({ProcPolicy::builder().allow_bin(p("tool")).allow_bin(p("tool")).command_rules(
                       p("tool"), set()),
                   "built"});
  for (auto& c : cases) {
    auto built = std::move(c.builder).try_build();
    EXPECT_EQ(built ? std::string("built") : built.error().kind + ": " + built.error().message,
              c.expected);
  }
}

TEST_F(RulesPolicyTest, CheckAgreesWithPrepareForArgRules) {
  auto policy =
      *ProcPolicy::builder()
           .allow_bin(p("tool"))
           .arg_rules(
               p("tool"),
               ArgRules().subcommand("run").allowed_flags({"-n"}).max_flags(1).max_positionals(1))
           .try_build();
  struct Case {
    Argv argv;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"run", "x"}, "ok: run x"},
      {{"-z", "run"}, "FlagNotAllowed@0: flag not allowed: -z"},
      {{"-n", "-n"}, "TooManyFlags@1: too many flags: max 1, got 2"},
      {{"-n", "walk"},
       "SubcommandMismatch@1: subcommand mismatch: expected run, got Some(\"walk\")"},
      {{"run", "a", "b"}, "TooManyPositionals@2: too many positional arguments: max 1, got 2"},
  };
  for (const auto& c : cases) {
    auto checked = policy.check(ProcRequest(p("tool"), c.argv));
    EXPECT_EQ(outcome(checked), c.expected);
    auto prepared = policy.prepare(ProcRequest(p("tool"), c.argv));
    ASSERT_EQ(checked.has_value(), prepared.has_value());
    if (!prepared) {
      EXPECT_EQ(checked.error().message, to_string(prepared.error()));
    }
  }
  auto missing = policy.check(ProcRequest("tool", {}));
  EXPECT_EQ(missing.error().kind, "BinNotAbsolute");
  EXPECT_EQ(std::get<std::string>(missing.error().fields.at(0).second), "tool");
}

TEST_F(RulesPolicyTest, PathRulesUseTheDecidedWorkingDirectory) {
  const Path ws = p("ws");
  auto policy =
      *ProcPolicy::builder()
           .allow_bin(p("tool"))
           .command_rules(p("tool"), rules({RuleSet()
                                                .flags({"-n"})
                                                .max_flags(1)
                                                .max_positionals(2)
                                                .path_positionals()
                                                .inject_double_dash(InjectDoubleDash::AfterFlags)}))
           .cwd_policy(CwdPolicy::Jailed{ws, ws})
           .try_build();
  struct Case {
    std::optional<Path> cwd;
    Argv argv;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, {"-n", "src/a.txt"}, "ok: -n -- src/a.txt"},
      // From a subdirectory the jail is still the root, not the subdirectory.
      {ws / "src", {"../src/a.txt", "."}, "ok: -- ../src/a.txt ."},
      {ws / "src",
       {"../../tool"},
       "PathOutsideJail@0: path outside the working directory jail: \"../../tool\" (resolves to " +
           p("tool").string() + ")"},
      // The working directory is decided first, so its refusal wins over the flag's.
      {dir.path(),
       {"-z"},
       "CwdForbidden@-: working directory forbidden: " + dir.path().string() +
           " (not within jail root " + ws.string() + ")"},
  };
  for (const auto& c : cases) {
    ProcRequest request(p("tool"), c.argv);
    if (c.cwd) request = std::move(request).with_cwd(*c.cwd);
    EXPECT_EQ(outcome(policy.check(std::move(request))), c.expected);
  }
  // prepare() knows only ArgRules: the extended model is decided by check(),
  // and prepare() says so instead of claiming the binary has no rules.
  EXPECT_EQ(to_string(policy.prepare(ProcRequest(p("tool"), {})).error()),
            "argument rules required for binary: " + p("tool").string() +
                " (its rules are command rules, which check() applies)");

  // A fixed directory is its own jail.
  auto fixed =
      *ProcPolicy::builder()
           .allow_bin(p("tool"))
           .command_rules(p("tool"),
                          rules({RuleSet().max_positionals(1).path_positionals().inject_double_dash(
                              InjectDoubleDash::Never)}))
           .cwd_policy(CwdPolicy::Fixed{ws / "src"})
           .try_build();
  EXPECT_EQ(outcome(fixed.check(ProcRequest(p("tool"), {"a.txt"}))), "ok: a.txt");
  EXPECT_EQ(outcome(fixed.check(ProcRequest(p("tool"), {"../x"}))),
            "PathOutsideJail@0: path outside the working directory jail: \"../x\" (resolves to " +
                (ws / "x").string() + ")");
}

TEST_F(RulesPolicyTest, ExplainNamesTheStepAndTheReading) {
  auto policy =
      *ProcPolicy::builder()
           .allow_bin(p("tool"))
           .allow_bin(p("other"))
           .command_rules(p("tool"), rules({RuleSet({"log"}).value_flag("-n").max_flags(1)}))
           .arg_rules(p("other"), ArgRules())
           .try_build();
  struct Case {
    Path bin;
    Argv argv;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {p("tool"), {"log", "-n", "3"}, "allowed command_rules [log] subcommand,value flag,value"},
      {p("tool"), {"log", "-n", "--"}, "arguments command_rules [log] subcommand,value flag"},
      {p("tool"), {"gc"}, "arguments command_rules [] "},
      {p("other"), {"-x"}, "arguments arg_rules [] "},
      {p("missing"), {}, "binary  [] "},
  };
  for (const auto& c : cases) {
    auto ex = policy.explain(ProcRequest(c.bin, c.argv));
    std::string got = std::string(display_name(ex.stage)) + " " + ex.rules + " [";
    if (ex.trace.subcommand) {
      for (const auto& w : *ex.trace.subcommand) got += w;
    }
    got += "] ";
    for (std::size_t i = 0; i < ex.trace.roles.size(); ++i) {
      got += (i ? "," : "") + std::string(display_name(ex.trace.roles[i]));
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(ex.result.has_value(), policy.check(ProcRequest(c.bin, c.argv)).has_value());
  }
}

}  // namespace
}  // namespace corvane
