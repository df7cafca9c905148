// Two readings a rule set declares for its program: how the program reads a
// "--" (find keeps reading its expression as options after one), and a value
// that moves the program to another directory (tar, git and make "-C"), from
// where its path arguments must still stay inside the jail. Each attack row
// has a twin with the declaration left out, where the same argv passes.
#include <gtest/gtest.h>

#include "corvane/rules.hpp"
#include "rules_outcome.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;
constexpr auto After = InjectDoubleDash::AfterFlags;

using test::outcome;

// ---------------------------------------------------------------- "--"

// find as the shipped policies allow it: no -exec, nothing inserted.
RuleSet find_rules(DoubleDashReading reading) {
  return RuleSet()
      .flags({"-print", "-o"})
      .value_flag("-name")
      .value_flag("-maxdepth", {.pattern = "[0-9]{1,3}"})
      .max_flags(12)
      .max_positionals(8)
      .inject_double_dash(InjectDoubleDash::Never)
      .double_dash(reading);
}

struct DashCase {
  const char* name;
  DoubleDashReading reading;
  std::size_t max_positionals;
  Argv argv;
  std::string expected;
};

class DoubleDashTest : public ::testing::TestWithParam<DashCase> {};

TEST_P(DoubleDashTest, ReadsDashesAsTheProgramDoes) {
  const auto& c = GetParam();
  auto rules = CommandRules::make({find_rules(c.reading).max_positionals(c.max_positionals)});
  ASSERT_TRUE(rules) << rules.error().message;
  EXPECT_EQ(outcome(rules->apply(c.argv, nullptr)), c.expected);
}

const Argv kFindShell = {"--", ".", "-maxdepth", "0", "-exec", "sh", "-c", "id", ";"};

INSTANTIATE_TEST_SUITE_P(
    Rules, DoubleDashTest,
    ::testing::Values(
        // The attack with the reading left at its default: every word after
        // "--" is taken for a path, and find runs a shell.
        DashCase{"find_shell_read_as_operands", DoubleDashReading::EndsOptions, 8, kFindShell,
                 "ok: -- . -maxdepth 0 -exec sh -c id ;"},
        DashCase{"find_shell_refused_at_exec", DoubleDashReading::OptionsContinue, 8, kFindShell,
                 "FlagNotAllowed@4: flag not allowed: -exec"},
        // Words after "--" are still read with their values and counted as flags.
        DashCase{"find_expression_after_dashes",
                 DoubleDashReading::OptionsContinue,
                 1,
                 {"--", ".", "-name", "-exec", "-print"},
                 "ok: -- . -name -exec -print"},
        DashCase{"find_second_dashes_is_a_word_of_the_expression",
                 DoubleDashReading::OptionsContinue,
                 8,
                 {"--", ".", "--", "-exec"},
                 "FlagNotAllowed@2: flag not allowed: --"},
        // A program that does not know "--" gets it as an operand, counted as one.
        DashCase{"plain_dashes_are_an_operand",
                 DoubleDashReading::Argument,
                 1,
                 {"--", "x"},
                 "TooManyPositionals@1: too many positional arguments: max 1, got 2"},
        DashCase{"plain_dashes_end_nothing",
                 DoubleDashReading::Argument,
                 8,
                 {"--", "-exec"},
                 "FlagNotAllowed@1: flag not allowed: -exec"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DoubleDashConfig, InsertingDashesNeedsAProgramThatStopsThere) {
  struct Case {
    DoubleDashReading reading;
    InjectDoubleDash inject;
    std::string expected;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {DoubleDashReading::EndsOptions, After, ""},
      {DoubleDashReading::OptionsContinue, InjectDoubleDash::Never, ""},
      {DoubleDashReading::OptionsContinue, After,
       "inject_double_dash protects nothing when the program reads \"--\" as options_continue"},
      {DoubleDashReading::Argument, After,
       "inject_double_dash protects nothing when the program reads \"--\" as argument"},
  };
  for (const auto& c : cases) {
    auto rules =
        CommandRules::make({RuleSet({"sub"}).double_dash(c.reading).inject_double_dash(c.inject)});
    EXPECT_EQ(rules ? std::string() : rules.error().message, c.expected);
    if (!rules) {
      EXPECT_EQ(rules.error().subcommand, Argv{"sub"});
    }
  }
}

// ---------------------------------------------------------------- a value that moves the program

class MovingValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::make_dirs(dir / "work/sub");
    test::make_dirs(dir / "outside");
    test::write_file(dir / "secret.txt", "s3cret", 0644);
    test::write_file(dir / "work/a.txt", "a", 0644);
    test::make_symlink(dir / "outside", dir / "work/link");
    // The agent works in a subdirectory: "../x" from there is still inside.
    jail = PathJail{dir / "work/sub", dir / "work"};
  }

  // tar as a policy could allow it; `moves` declares -C (and its long and
  // bundled forms) as moving the program, or leaves it a plain path.
  static CommandRules tar(bool moves) {
    const ValueRule dir_rule{.attached = true, .path = !moves, .changes_directory = moves};
    auto rules = CommandRules::make({RuleSet()
                                         .flags({"-c", "c"})
                                         .value_flag("-f", {.path = true})
                                         .value_flag("f", {.path = true})
                                         .value_flag("-C", dir_rule)
                                         .value_flag("C", dir_rule)
                                         .value_flag("--directory", dir_rule)
                                         .first_arg_bundle()
                                         .path_positionals()
                                         .max_flags(8)
                                         .max_positionals(4)
                                         .inject_double_dash(After)});
    EXPECT_TRUE(rules) << rules.error().message;
    return std::move(*rules);
  }

  std::string outside(std::size_t index, const std::string& text, const std::string& reason) const {
    return "PathOutsideJail@" + std::to_string(index) +
           ": path outside the working directory jail: \"" + text + "\" (" + reason + ")";
  }
  std::string from_work(const std::string& flag) const {
    return ", from " + (dir / "work").string() + " where " + flag + " moves it";
  }

  test::TempDir dir;
  PathJail jail;
};

TEST_F(MovingValueTest, LaterAndEarlierPathsResolveFromWhereTheProgramMoved) {
  const std::string work = (dir / "work").string();
  const std::string escaped = "resolves to " + (dir / "secret.txt").string();
  struct Case {
    const char* name;
    bool moves;
    Argv argv;
    std::string expected;
  };
  const std::vector<Case> cases = {
      // The archive takes ../secret.txt from the jail's parent: without the
      // declaration the path is judged from the starting directory and passes.
      {"tar_secret_judged_from_cwd",
       false,
       {"-c", "-f", "out.tar", "-C", work, "../secret.txt"},
       "ok: -c -f out.tar -C " + work + " -- ../secret.txt"},
      {"tar_secret_judged_from_move",
       true,
       {"-c", "-f", "out.tar", "-C", work, "../secret.txt"},
       outside(5, "../secret.txt", escaped + from_work("-C"))},
      {"old_style_bundle_moves",
       true,
       {"cfC", "out.tar", "..", "../secret.txt"},
       outside(3, "../secret.txt", escaped + from_work("C"))},
      {"attached_long_form_moves",
       true,
       {"--directory=..", "../secret.txt"},
       outside(1, "../secret.txt", escaped + from_work("--directory"))},
      // git and make move before they read any argument: an earlier path is
      // judged again from the final directory ("make -f ../evil.mk -C ..").
      {"earlier_path_judged_again",
       true,
       {"-c", "-f", "../out.tar", "-C", ".."},
       outside(2, "../out.tar", "resolves to " + (dir / "out.tar").string() + from_work("-C"))},
      // Each move is relative to the one before: two ".." leave the jail.
      {"moves_add_up",
       true,
       {"-C", "..", "-C", ".."},
       outside(3, "..", "resolves to " + dir.path().string() + from_work("-C"))},
      {"move_through_symlink",
       true,
       {"-C", "../link"},
       outside(1, "../link", "resolves to " + (dir / "outside").string())},
      {"move_to_absolute_outside", true, {"-C", "/etc"}, outside(1, "/etc", "resolves to /etc")},
      // The work itself: a move inside and paths that stay inside from it.
      {"move_inside_allowed",
       true,
       {"-c", "-f", "out.tar", "-C", "..", "a.txt", "sub"},
       "ok: -c -f out.tar -C .. -- a.txt sub"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(tar(c.moves).apply(c.argv, &jail)), c.expected) << c.name;
  }
}

TEST_F(MovingValueTest, AMovingValueAloneNeedsTheJail) {
  auto rules = CommandRules::make({RuleSet().value_flag("-C", {.changes_directory = true})});
  ASSERT_TRUE(rules);
  EXPECT_TRUE(rules->needs_jail());
  EXPECT_EQ(outcome(rules->apply({"-C", "."}, nullptr)),
            "JailRequired@-: path rules need a working-directory jail");
  EXPECT_EQ(outcome(rules->apply({"-C", "../.."}, &jail)),
            outside(1, "../..", "resolves to " + dir.path().string()));
}

}  // namespace
}  // namespace corvane
