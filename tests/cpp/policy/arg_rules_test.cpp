// Argument rules: defaults, whole-token flag matching, the subcommand, counts,
// the order in which faults are reported, their messages, and the insertion.
#include "corvane/arg_rules.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "corvane/arg_parser.hpp"
#include "corvane/error.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;

ArgRules grep_rules() {
  return ArgRules().allowed_flags({"-n", "-i", "-l"}).max_flags(3).max_positionals(10);
}

ArgRules status_rules() {
  return ArgRules().subcommand("status").allowed_flags({"-s"}).max_flags(1).max_positionals(0);
}

// Outcome of validate as one comparable line: "ok: a|b|c" or the violation's message.
std::string outcome(const ArgRules& rules, Argv argv) {
  auto r = rules.validate(std::move(argv));
  if (!r) return to_string(r.error());
  std::string s = "ok:";
  for (const auto& t : *r) s += " [" + t + "]";
  return s;
}

struct RulesCase {
  const char* name;
  ArgRules rules;
  Argv argv;
  std::string expected;  // outcome() form
};

class ValidateTest : public ::testing::TestWithParam<RulesCase> {};

TEST_P(ValidateTest, GivesExpectedOutcome) {
  const auto& c = GetParam();
  EXPECT_EQ(outcome(c.rules, c.argv), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Defaults, ValidateTest,
    ::testing::Values(RulesCase{"EmptyPasses", ArgRules(), {}, "ok:"},
                      RulesCase{"LoneSeparatorPasses", ArgRules(), {"--"}, "ok: [--]"},
                      RulesCase{
                          "AnyFlagTooMany", ArgRules(), {"-n"}, "too many flags: max 0, got 1"},
                      RulesCase{"AnyPositionalTooMany",
                                ArgRules(),
                                {"file"},
                                "too many positional arguments: max 0, got 1"},
                      RulesCase{"LoneDashIsPositional",
                                ArgRules(),
                                {"-"},
                                "too many positional arguments: max 0, got 1"},
                      RulesCase{"EmptyStringIsPositional",
                                ArgRules(),
                                {""},
                                "too many positional arguments: max 0, got 1"},
                      RulesCase{"SecondSeparatorIsPositional",
                                ArgRules(),
                                {"--", "--"},
                                "too many positional arguments: max 0, got 1"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Flags, ValidateTest,
    ::testing::Values(
        RulesCase{"ListedFlagPasses",
                  grep_rules(),
                  {"-n", "pattern", "file.txt"},
                  "ok: [-n] [pattern] [file.txt]"},
        RulesCase{"UnlistedFlag", grep_rules(), {"-x", "pattern"}, "flag not allowed: -x"},
        RulesCase{
            "FirstUnlistedReported", grep_rules(), {"-n", "-y", "-x"}, "flag not allowed: -y"},
        RulesCase{"CountBeforeMembership",
                  grep_rules(),
                  {"-n", "-n", "-n", "-n", "p"},
                  "too many flags: max 3, got 4"},
        RulesCase{"CountWinsOverUnlisted", ArgRules(), {"-zzz"}, "too many flags: max 0, got 1"},
        RulesCase{"CombinedShortsNotSplit", grep_rules(), {"-ni", "p"}, "flag not allowed: -ni"},
        RulesCase{"ValueNotSplitAtEquals",
                  ArgRules().allowed_flags({"--color"}).max_flags(1),
                  {"--color=never"},
                  "flag not allowed: --color=never"},
        RulesCase{"NoPrefixMatch",
                  ArgRules().allowed_flags({"--color=never"}).max_flags(1),
                  {"--color"},
                  "flag not allowed: --color"},
        RulesCase{"WholeTokenWithValueListed",
                  ArgRules().allowed_flags({"--color=never"}).max_flags(1),
                  {"--color=never"},
                  "ok: [--color=never]"},
        RulesCase{"NegativeNumberIsAFlag", ArgRules().max_flags(1), {"-1"}, "flag not allowed: -1"},
        RulesCase{"FlagAfterSeparatorIsPositional",
                  ArgRules().max_positionals(1),
                  {"--", "-x"},
                  "ok: [--] [-x]"},
        RulesCase{
            "SeparatorNotCounted", ArgRules().max_positionals(1), {"--", "a"}, "ok: [--] [a]"},
        RulesCase{"PositionalCountAfterSeparator",
                  ArgRules().max_positionals(1),
                  {"a", "--", "-b", "--"},
                  "too many positional arguments: max 1, got 3"},
        RulesCase{"AtBothLimits",
                  grep_rules().max_flags(2).max_positionals(2),
                  {"-n", "-i", "a", "b"},
                  "ok: [-n] [-i] [a] [b]"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Subcommand, ValidateTest,
    ::testing::Values(
        RulesCase{"Matches", status_rules(), {"status"}, "ok: [status]"},
        RulesCase{"MatchesAfterFlag", status_rules(), {"-s", "status"}, "ok: [-s] [status]"},
        RulesCase{"MatchesAfterSeparator", status_rules(), {"--", "status"}, "ok: [--] [status]"},
        RulesCase{"Differs",
                  status_rules(),
                  {"log"},
                  "subcommand mismatch: expected status, got Some(\"log\")"},
        RulesCase{
            "AbsentNoArgs", status_rules(), {}, "subcommand mismatch: expected status, got None"},
        RulesCase{"AbsentOnlyFlag",
                  status_rules(),
                  {"-s"},
                  "subcommand mismatch: expected status, got None"},
        RulesCase{"AbsentOnlySeparator",
                  status_rules(),
                  {"--"},
                  "subcommand mismatch: expected status, got None"},
        RulesCase{"NotCountedButOthersAre",
                  status_rules(),
                  {"status", "x"},
                  "too many positional arguments: max 0, got 1"},
        RulesCase{"ExactBytes",
                  status_rules(),
                  {"Status"},
                  "subcommand mismatch: expected status, got Some(\"Status\")"},
        RulesCase{"GotIsEscaped",
                  status_rules(),
                  {"a\"b\\c\nd"},
                  "subcommand mismatch: expected status, got Some(\"a\\\"b\\\\c\\nd\")"},
        RulesCase{"GotMayBeEmpty",
                  status_rules(),
                  {""},
                  "subcommand mismatch: expected status, got Some(\"\")"},
        RulesCase{"LaterCallReplaces", status_rules().subcommand("log"), {"log"}, "ok: [log]"}),
    [](const auto& info) { return std::string(info.param.name); });

// When several faults apply, the earliest check in the fixed order is reported.
INSTANTIATE_TEST_SUITE_P(
    CheckOrder, ValidateTest,
    ::testing::Values(RulesCase{"TooManyFlagsBeforeUnlisted",
                                status_rules(),
                                {"-x", "-y", "log", "a", "b"},
                                "too many flags: max 1, got 2"},
                      RulesCase{"UnlistedBeforeSubcommand",
                                status_rules(),
                                {"-x", "log", "a", "b"},
                                "flag not allowed: -x"},
                      RulesCase{"UnlistedBeforeMissingSubcommand",
                                status_rules(),
                                {"-x"},
                                "flag not allowed: -x"},
                      RulesCase{"SubcommandBeforePositionalCount",
                                status_rules(),
                                {"log", "a", "b"},
                                "subcommand mismatch: expected status, got Some(\"log\")"},
                      RulesCase{"UnlistedBeforePositionalCount",
                                grep_rules().max_positionals(0),
                                {"-x", "a"},
                                "flag not allowed: -x"},
                      RulesCase{"FlagCountBeforePositionalCount",
                                ArgRules(),
                                {"a", "-x"},
                                "too many flags: max 0, got 1"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Insertion, ValidateTest,
    ::testing::Values(RulesCase{"AfterFlags",
                                grep_rules().inject_double_dash(InjectDoubleDash::AfterFlags),
                                {"-n", "pattern", "file.txt"},
                                "ok: [-n] [--] [pattern] [file.txt]"},
                      RulesCase{"BeforeSubcommand",
                                status_rules().max_positionals(1).inject_double_dash(
                                    InjectDoubleDash::AfterFlags),
                                {"-s", "status", "file"},
                                "ok: [-s] [--] [status] [file]"},
                      RulesCase{"ExistingSeparatorKept",
                                grep_rules().inject_double_dash(InjectDoubleDash::AfterFlags),
                                {"-n", "--", "-x"},
                                "ok: [-n] [--] [-x]"},
                      RulesCase{"FlagsOnlyUnchanged",
                                grep_rules().inject_double_dash(InjectDoubleDash::AfterFlags),
                                {"-n", "-i"},
                                "ok: [-n] [-i]"},
                      RulesCase{"NeverByDefault", grep_rules(), {"pattern"}, "ok: [pattern]"},
                      RulesCase{"NoInsertionOnFailure",
                                ArgRules().inject_double_dash(InjectDoubleDash::AfterFlags),
                                {"x"},
                                "too many positional arguments: max 0, got 1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ArgRules, DefaultsAllowNothing) {
  const ArgRules r;
  EXPECT_FALSE(r.subcommand().has_value());
  EXPECT_TRUE(r.allowed_flags().empty());
  EXPECT_EQ(r.max_flags(), 0u);
  EXPECT_EQ(r.max_positionals(), 0u);
  EXPECT_EQ(r.inject_double_dash(), InjectDoubleDash::Never);
}

TEST(ArgRules, AllowedFlagsLastCallWins) {
  const auto r = ArgRules().allowed_flags({"-a"}).allowed_flags({"-b"}).max_flags(1);
  EXPECT_EQ(r.allowed_flags(), (std::unordered_set<std::string>{"-b"}));
  EXPECT_EQ(outcome(r, {"-a"}), "flag not allowed: -a");
  EXPECT_EQ(outcome(r, {"-b"}), "ok: [-b]");

  const auto emptied = ArgRules().allowed_flags({"-a"}).allowed_flags({}).max_flags(1);
  EXPECT_TRUE(emptied.allowed_flags().empty());
  EXPECT_EQ(outcome(emptied, {"-a"}), "flag not allowed: -a");
}

TEST(ArgRules, DuplicateFlagsCollapse) {
  const auto r = ArgRules().allowed_flags({"-a", "-a", "-b"});
  EXPECT_EQ(r.allowed_flags().size(), 2u);
}

TEST(ArgRules, CopiesAreIndependent) {
  const ArgRules original = grep_rules();
  ArgRules copy = original;
  copy = std::move(copy).allowed_flags({"-z"}).subcommand("x").max_flags(9);
  EXPECT_EQ(original.allowed_flags(), (std::unordered_set<std::string>{"-n", "-i", "-l"}));
  EXPECT_FALSE(original.subcommand().has_value());
  EXPECT_EQ(original.max_flags(), 3u);
}

TEST(ArgRules, LargestLimitsAcceptEverything) {
  constexpr auto big = std::numeric_limits<std::size_t>::max();
  const auto r = ArgRules().allowed_flags({"-v"}).max_flags(big).max_positionals(big);
  EXPECT_EQ(outcome(r, {"-v", "-v", "a", "", "-"}), "ok: [-v] [-v] [a] [] [-]");
}

TEST(ArgRules, ViolationCarriesFields) {
  auto r = status_rules().validate({"-s", "log", "x"});
  ASSERT_FALSE(r.has_value());
  const auto* m = std::get_if<violation::SubcommandMismatch>(&r.error());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->expected, "status");
  EXPECT_EQ(m->got, std::optional<std::string>("log"));

  auto f = ArgRules().max_positionals(2).validate({"a", "b", "c"});
  ASSERT_FALSE(f.has_value());
  const auto* p = std::get_if<violation::TooManyPositionals>(&f.error());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->max, 2u);
  EXPECT_EQ(p->got, 3u);
}

// Reference outcome computed from parse_argv, step by step, as a structured
// line that does not depend on message rendering.
std::string reference(const ArgRules& rules, const Argv& argv) {
  std::vector<std::string> flags;
  std::vector<std::string> positionals;
  for (const auto& c : parse_argv(argv)) {
    if (const auto* f = std::get_if<arg_type::Flag>(&c.type)) flags.push_back(f->text);
    if (const auto* p = std::get_if<arg_type::Positional>(&c.type)) positionals.push_back(p->text);
  }
  std::size_t pcount = positionals.size();
  if (flags.size() > rules.max_flags()) return "TooManyFlags " + std::to_string(flags.size());
  for (const auto& f : flags) {
    if (!rules.allowed_flags().contains(f)) return "FlagNotAllowed " + f;
  }
  if (rules.subcommand()) {
    if (positionals.empty()) return "SubcommandMismatch none";
    if (positionals.front() != *rules.subcommand())
      return "SubcommandMismatch " + positionals.front();
    --pcount;
  }
  if (pcount > rules.max_positionals()) return "TooManyPositionals " + std::to_string(pcount);
  return "ok";
}

std::string structured(const std::expected<Argv, Violation>& r) {
  if (r) return "ok";
  const Violation& v = r.error();
  if (const auto* x = std::get_if<violation::TooManyFlags>(&v))
    return "TooManyFlags " + std::to_string(x->got);
  if (const auto* x = std::get_if<violation::FlagNotAllowed>(&v))
    return "FlagNotAllowed " + x->flag;
  if (const auto* x = std::get_if<violation::SubcommandMismatch>(&v)) {
    return "SubcommandMismatch " + x->got.value_or("none");
  }
  if (const auto* x = std::get_if<violation::TooManyPositionals>(&v)) {
    return "TooManyPositionals " + std::to_string(x->got);
  }
  return "unexpected variant " + std::to_string(v.index());
}

TEST(ArgRulesProperty, MatchesReferenceAndOnlyInserts) {
  std::mt19937 rng(424242u);
  const std::vector<std::string> alpha{"-",        "--",           "",
                                       "-x",       "--long=v",     "a",
                                       "-1",       "---",          "b",
                                       "-n",       "\xFF",         "-\xFF",
                                       "\xC3\xA9", "\xE2\x80\x94", std::string("-\0", 2),
                                       "x-y"};
  std::uniform_int_distribution<std::size_t> len(0, 7);
  std::uniform_int_distribution<std::size_t> pick(0, alpha.size() - 1);
  std::uniform_int_distribution<std::size_t> limit(0, 4);
  std::bernoulli_distribution coin(0.5);

  int passed = 0;
  for (int round = 0; round < 4000; ++round) {
    std::vector<std::string> listed;
    for (const auto& t : alpha) {
      if (coin(rng)) listed.push_back(t);
    }
    ArgRules rules =
        ArgRules()
            .allowed_flags(listed)
            .max_flags(limit(rng))
            .max_positionals(limit(rng))
            .inject_double_dash(coin(rng) ? InjectDoubleDash::AfterFlags : InjectDoubleDash::Never);
    if (coin(rng)) rules = std::move(rules).subcommand(coin(rng) ? "a" : "");

    Argv argv(len(rng));
    for (auto& t : argv) t = alpha[pick(rng)];

    const auto result = rules.validate(argv);
    ASSERT_EQ(structured(result), reference(rules, argv)) << "round " << round;
    if (!result) continue;
    ++passed;

    // Success returns the input, or the input with exactly one "--" added.
    const Argv& out = *result;
    ASSERT_EQ(out, inject_double_dash(argv, rules.inject_double_dash())) << "round " << round;
    if (out.size() == argv.size()) {
      ASSERT_EQ(out, argv) << "round " << round;
    } else {
      ASSERT_EQ(out.size(), argv.size() + 1) << "round " << round;
      const auto diff = std::mismatch(argv.begin(), argv.end(), out.begin());
      const auto at = static_cast<std::size_t>(diff.second - out.begin());
      ASSERT_EQ(out[at], "--") << "round " << round;
      Argv without = out;
      without.erase(without.begin() + static_cast<std::ptrdiff_t>(at));
      ASSERT_EQ(without, argv) << "round " << round;
    }
  }
  // Random rules must let a fair share through, or the success branch goes untested.
  EXPECT_GT(passed, 400);
}

}  // namespace
}  // namespace corvane
