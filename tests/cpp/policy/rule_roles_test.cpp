// Positional roles, options read before the subcommand and a "--" inserted
// after the positionals a program reads first: one table per behaviour, each
// run against a real directory tree so that path roles resolve.
#include <gtest/gtest.h>

#include "corvane/rules.hpp"
#include "rules_outcome.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;
using test::outcome;
constexpr auto Never = InjectDoubleDash::Never;

CommandRules make(std::vector<RuleSet> sets) {
  auto rules = CommandRules::make(std::move(sets));
  EXPECT_TRUE(rules) << (rules ? "" : rules.error().message);
  return std::move(*rules);
}

CommandRules make(std::vector<RuleSet> sets, RuleSet global) {
  auto rules = CommandRules::make(std::move(sets), std::move(global));
  EXPECT_TRUE(rules) << (rules ? "" : rules.error().message);
  return std::move(*rules);
}

std::string join(const Argv& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

struct Case {
  Argv argv;
  std::string expected;
};

// work/ is the jail's root and work/sub the directory commands start in;
// dir/secret lies outside.
class RolesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::make_dirs(dir / "work/sub");
    test::write_file(dir / "work/file.txt", "x", 0644);
    test::write_file(dir / "secret", "x", 0644);
    jail = PathJail{dir / "work/sub", dir / "work"};
  }
  std::string outside(std::size_t index, const std::string& text, const std::string& resolved) {
    return "PathOutsideJail@" + std::to_string(index) +
           ": path outside the working directory jail: \"" + text + "\" (resolves to " + resolved +
           ")";
  }
  void expect(const CommandRules& rules, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
      EXPECT_EQ(outcome(rules.apply(c.argv, &jail)), c.expected) << join(c.argv);
    }
  }
  test::TempDir dir;
  PathJail jail;
};

TEST_F(RolesTest, EachPositionalIsReadByItsRole) {
  // grep: the pattern is free text, the files stay inside.
  auto grep = make({RuleSet()
                        .flags({"-r", "-n"})
                        .bundles()
                        .max_flags(2)
                        .positionals({PositionalRole{}})
                        .rest_positionals({.path = true})
                        .max_positionals(3)});
  expect(grep, {
                   {{"-rn", "/api/v1", ".."}, "ok: -rn -- /api/v1 .."},
                   {{"/etc"}, "ok: -- /etc"},
                   {{"-rn", "foo", "/etc"}, outside(2, "/etc", "/etc")},
                   {{"foo", "../file.txt", "../../secret"},
                    outside(2, "../../secret", (dir / "secret").string())},
                   {{"a", "b", "c", "d"},
                    "TooManyPositionals@3: too many positional arguments: max 3, got 4"},
               });
  // A verb from a set and NAME=value: listed roles without a rest role bound the count.
  auto values =
      make({RuleSet()
                .positionals({{.one_of = Argv{"get", "put"}}, {.pattern = "[A-Z]+=[a-z]*"}})
                .max_positionals(5)});
  expect(values,
         {
             {{"get", "NAME=v"}, "ok: -- get NAME=v"},
             {{"del", "X=y"},
              "PositionalNotAllowed@0: positional 1 not allowed: \"del\" (allowed: get, put)"},
             {{"get", "x=y"},
              "PositionalNotAllowed@1: positional 2 not allowed: \"x=y\" (must match "
              "[A-Z]+=[a-z]*)"},
             {{"get", "A=b", "../../secret"},
              "TooManyPositionals@2: too many positional arguments: max 2, got 3"},
             {{"put", "A=" + std::string(4100, 'a')},
              "ValueTooLong@1: value too long for positional 2: max 4096 bytes, got 4102"},
         });
  // Without roles, path_positionals checks the pattern as a path, as before;
  // and with the files as free text the jail is gone: the path role is what holds it.
  auto today = make({RuleSet().path_positionals().max_positionals(3)});
  expect(today, {{{"/api/v1", "."}, outside(0, "/api/v1", "/api/v1")}});
  auto all_text =
      make({RuleSet().positionals({PositionalRole{}}).rest_positionals({}).max_positionals(3)});
  expect(all_text, {{{"foo", "/etc"}, "ok: -- foo /etc"}});
}

TEST_F(RolesTest, AFlagInPlaceOfThePatternMovesTheRolesUp) {
  // grep -e PATTERN: every positional is a file, wherever -e stands.
  auto grep = [](bool fills) {
    return make({RuleSet()
                     .value_flag("-e", {.replaces_first_positional = fills})
                     .max_flags(2)
                     .positionals({PositionalRole{}})
                     .rest_positionals({.path = true})
                     .max_positionals(3)});
  };
  // Without the mark the file after -e passes as the pattern's free text.
  expect(grep(false), {{{"-e", "root", "/etc/passwd"}, "ok: -e root -- /etc/passwd"}});
  expect(grep(true), {
                         {{"-e", "root", "/etc/passwd"}, outside(2, "/etc/passwd", "/etc/passwd")},
                         {{"../file.txt", "-e", "x", "/etc"}, outside(3, "/etc", "/etc")},
                         {{"/etc/passwd", "-e", "root"}, outside(0, "/etc/passwd", "/etc/passwd")},
                         {{"-e", "x", "../file.txt", "."}, "ok: -e x -- ../file.txt ."},
                         {{"/api/v1", "."}, "ok: -- /api/v1 ."},
                     });
  // A listed role without a rest role: -e leaves no place for a positional.
  auto one = make({RuleSet()
                       .value_flag("-e", {.replaces_first_positional = true})
                       .max_flags(1)
                       .positionals({PositionalRole{}})
                       .max_positionals(3)});
  expect(one,
         {{{"-e", "x", "y"}, "TooManyPositionals@2: too many positional arguments: max 0, got 1"},
          {{"x"}, "ok: -- x"}});
}

TEST_F(RolesTest, APathRoleCountsFromWhereTheProgramIsAtItsPlace) {
  // A move after the path: it must stay inside from its own place and from the last one.
  test::make_dirs(dir / "work/sub/d");
  auto rules = make({RuleSet()
                         .value_flag("-C", {.changes_directory = true})
                         .max_flags(2)
                         .rest_positionals({.path = true})
                         .max_positionals(3)});
  expect(rules, {
                    {{"../../x", "-C", "d"}, outside(0, "../../x", (dir / "x").string())},
                    {{"../file.txt", "-C", "d", "../../file.txt"},
                     "ok: ../file.txt -C d -- ../../file.txt"},
                });
}

TEST_F(RolesTest, ExplainNamesEachPositionalsRole) {
  auto rules = make({RuleSet()
                         .flags({"-n"})
                         .max_flags(1)
                         .max_positionals(4)
                         .positionals({PositionalRole{}, {.one_of = Argv{"x"}}})
                         .rest_positionals({.path = true})});
  RuleTrace trace;
  ASSERT_TRUE(rules.apply({"-n", "p", "x", "f", "g"}, &jail, &trace));
  EXPECT_EQ(trace.roles, (std::vector<TokenRole>{
                             TokenRole::Flag, TokenRole::TextPositional, TokenRole::ValuePositional,
                             TokenRole::PathPositional, TokenRole::PathPositional}));
  EXPECT_EQ(display_name(TokenRole::TextPositional), "text positional");
}

std::vector<RuleSet> git_sets() {
  return {RuleSet({"status"}).path_positionals().max_positionals(4),
          RuleSet({"log"}).inject_double_dash(Never).max_positionals(2)};
}

RuleSet git_global() {
  return RuleSet()
      .flags({"--no-pager"})
      .value_flag("-c", {.pattern = "color\\.ui=(never|always)"})
      .value_flag("-C", {.changes_directory = true})
      .max_flags(3);
}

TEST_F(RolesTest, OptionsBeforeTheSubcommand) {
  auto git = make(git_sets(), git_global());
  expect(git,
         {
             {{"--no-pager", "log"}, "ok: --no-pager log"},
             {{"-c", "color.ui=never", "log", "HEAD"}, "ok: -c color.ui=never log HEAD"},
             {{"-c", "core.pager=sh", "log"},
              "ValueNotAllowed@1: value not allowed for -c: \"core.pager=sh\" (must match "
              "color\\.ui=(never|always))"},
             {{"-C", "..", "status", "file.txt"}, "ok: -C .. status -- file.txt"},
             {{"-C", "/etc", "status"}, outside(1, "/etc", "/etc")},
             {{"-C", "..", "status", "../secret"},
              "PathOutsideJail@3: path outside the working directory jail: \"../secret\" "
              "(resolves to " +
                  (dir / "secret").string() + ", from " + (dir / "work").string() +
                  " where -C moves it)"},
             {{"status", "-C", ".."}, "FlagNotAllowed@1: flag not allowed: -C"},
             {{"--no-pager", "--", "log"}, "FlagNotAllowed@1: flag not allowed: --"},
             {{"--paginate", "log"}, "FlagNotAllowed@0: flag not allowed: --paginate"},
             {{"--no-pager", "--no-pager", "--no-pager", "--no-pager", "log"},
              "TooManyFlags@3: too many flags: max 3, got 4"},
             {{"--no-pager"}, "SubcommandNotAllowed@-: subcommand required (allowed: status, log)"},
             {{"--no-pager", "gc"},
              "SubcommandNotAllowed@1: subcommand not allowed: \"gc\" (allowed: status, log)"},
         });
  // The pattern on -c is what stops a pager: declared bare, any setting passes.
  auto bare = make(git_sets(), RuleSet().value_flag("-c").max_flags(1));
  expect(bare, {{{"-c", "core.pager=sh", "log"}, "ok: -c core.pager=sh log"}});
  // Without the table the subcommand must come first, as before.
  auto today = make(git_sets());
  expect(today, {{{"--no-pager", "log"},
                  "SubcommandNotAllowed@0: subcommand not allowed: \"--no-pager\" (allowed: "
                  "status, log)"}});
  RuleTrace trace;
  ASSERT_TRUE(git.apply({"-C", "..", "status", "x"}, &jail, &trace));
  EXPECT_EQ(trace.roles, (std::vector<TokenRole>{TokenRole::ValueFlag, TokenRole::Value,
                                                 TokenRole::Subcommand, TokenRole::Positional}));
  EXPECT_EQ(outcome(git.apply({"-C", "..", "status"}, nullptr)),
            "JailRequired@-: path rules need a working-directory jail");
}

TEST_F(RolesTest, DoubleDashGoesAfterThePositionalsReadFirst) {
  // zip honours "--" only after its archive name, jq only after its filter.
  auto zip =
      make({RuleSet().flags({"-r"}).max_flags(1).max_positionals(4).inject_double_dash_after(1)});
  expect(zip, {
                  {{"-r", "out.zip", "dir"}, "ok: -r out.zip -- dir"},
                  {{"out.zip", "-r", "dir"}, "ok: out.zip -r -- dir"},
                  {{"out.zip"}, "ok: out.zip"},
                  {{"out.zip", "--", "-T"}, "ok: out.zip -- -T"},
                  {{"--", "out.zip", "a"},
                   "SeparatorTooEarly@0: \"--\" before positional 1: the program reads it as the "
                   "end of its options only after 1 positional"},
              });
  auto two = make({RuleSet().max_positionals(4).inject_double_dash_after(2)});
  expect(two, {{{"a", "b", "c", "d"}, "ok: a b -- c d"},
               {{"a", "--", "c"},
                "SeparatorTooEarly@1: \"--\" before positional 2: the program reads it as the "
                "end of its options only after 2 positionals"}});
  // The default stays before the first positional.
  auto today = make({RuleSet().flags({"-r"}).max_flags(1).max_positionals(4)});
  expect(today, {{{"-r", "out.zip", "dir"}, "ok: -r -- out.zip dir"}});
}

TEST(RoleErrors, MistakesAreFoundWhenBuilt) {
  struct Row {
    std::vector<RuleSet> sets;
    std::optional<RuleSet> global;
    std::string expected;  // "global|words: message"
  };
  const std::vector<Row> rows = {
      {{RuleSet({"log"}).path_positionals().positionals({PositionalRole{}})},
       std::nullopt,
       "log: path_positionals and positional roles both given: name the paths \"path\" in the "
       "roles"},
      {{RuleSet().rest_positionals({.path = true}).path_positionals()},
       std::nullopt,
       ": path_positionals and positional roles both given: name the paths \"path\" in the "
       "roles"},
      {{RuleSet().positionals({PositionalRole{}, {.pattern = "("}})},
       std::nullopt,
       ": pattern \"(\" of positional 2 is not a valid regular expression: Mismatched '(' and ')' "
       "in regular expression"},
      {{RuleSet().inject_double_dash(Never).inject_double_dash_after(1)},
       std::nullopt,
       ": inject_double_dash_after without inject_double_dash inserts nothing"},
      {{RuleSet({"log"})},
       RuleSet({"x"}),
       "global: options before the subcommand have no subcommand of their own"},
      {{RuleSet({"log"})},
       RuleSet().max_positionals(1),
       "global: options before the subcommand take no positionals"},
      {{RuleSet({"log"})},
       RuleSet().first_arg_bundle(),
       "global: options before the subcommand cannot be a first-argument bundle"},
      {{RuleSet({"log"})}, RuleSet().flags({"-p", "-p"}), "global: flag \"-p\" declared twice"},
      {{RuleSet({"log"}).flags({"x"})},
       RuleSet(),
       "log: flag \"x\" has no dash and the rule set reads no first-argument bundle"},
  };
  for (const auto& row : rows) {
    auto rules =
        row.global ? CommandRules::make(row.sets, *row.global) : CommandRules::make(row.sets);
    ASSERT_FALSE(rules) << row.expected;
    const RuleError& e = rules.error();
    EXPECT_EQ((e.global ? std::string("global") : join(e.subcommand)) + ": " + e.message,
              row.expected);
  }
}

}  // namespace
}  // namespace corvane
