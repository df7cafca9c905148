// Insertion of "--" before the first positional argument.
#include "corvane/double_dash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "corvane/arg_parser.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;

struct InjectCase {
  const char* name;
  InjectDoubleDash mode;
  Argv input;
  Argv expected;
};

class InjectTest : public ::testing::TestWithParam<InjectCase> {};

TEST_P(InjectTest, ProducesExpectedVector) {
  const auto& c = GetParam();
  EXPECT_EQ(inject_double_dash(c.input, c.mode), c.expected);
}

constexpr auto After = InjectDoubleDash::AfterFlags;
constexpr auto Never = InjectDoubleDash::Never;

INSTANTIATE_TEST_SUITE_P(
    Table, InjectTest,
    ::testing::Values(
        InjectCase{"AfterLeadingFlag",
                   After,
                   {"-n", "pattern", "file.txt"},
                   {"-n", "--", "pattern", "file.txt"}},
        InjectCase{
            "AtFrontWhenFirstIsPositional", After, {"pattern", "-n"}, {"--", "pattern", "-n"}},
        InjectCase{"AfterAllLeadingFlags",
                   After,
                   {"-a", "-b", "x", "-c", "y"},
                   {"-a", "-b", "--", "x", "-c", "y"}},
        InjectCase{"FlagsOnlyUnchanged", After, {"-n", "-i"}, {"-n", "-i"}},
        InjectCase{"EmptyUnchanged", After, {}, {}},
        InjectCase{
            "SeparatorBeforePositionalUnchanged", After, {"-n", "--", "x"}, {"-n", "--", "x"}},
        InjectCase{"SeparatorAfterPositionalUnchanged", After, {"x", "--"}, {"x", "--"}},
        InjectCase{"LoneSeparatorUnchanged", After, {"--"}, {"--"}},
        InjectCase{"LoneDashIsPositional", After, {"-"}, {"--", "-"}},
        InjectCase{"EmptyStringIsPositional", After, {""}, {"--", ""}},
        InjectCase{
            "InFrontOfSubcommand", After, {"-s", "status", "file"}, {"-s", "--", "status", "file"}},
        InjectCase{"NonAsciiDashIsPositional",
                   After,
                   {"-v", "\xE2\x80\x94x"},
                   {"-v", "--", "\xE2\x80\x94x"}},
        InjectCase{"NeverLeavesPositional", Never, {"pattern"}, {"pattern"}},
        InjectCase{"NeverLeavesFlagAndPositional", Never, {"-n", "pattern"}, {"-n", "pattern"}},
        InjectCase{"NeverLeavesEmpty", Never, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InjectDoubleDash, ModeNumbersAreFixed) {
  EXPECT_EQ(static_cast<int>(InjectDoubleDash::Never), 0);
  EXPECT_EQ(static_cast<int>(InjectDoubleDash::AfterFlags), 1);
}

std::vector<std::string> alphabet() {
  return {"-",
          "--",
          "",
          "-x",
          "--long=v",
          "a",
          "---",
          "-1",
          "x-y",
          "\xFF",
          "-\xFF",
          "\xC3\xA9",
          "\xE2\x80\x94",
          "-abc",
          std::string("-\0", 2),
          std::string("\0", 1)};
}

TEST(InjectDoubleDashProperty, InsertsAtMostOneSeparatorAndNeverReorders) {
  std::mt19937 rng(7331u);
  const auto alpha = alphabet();
  std::uniform_int_distribution<std::size_t> len(0, 8);
  std::uniform_int_distribution<std::size_t> pick(0, alpha.size() - 1);
  int inserted_rounds = 0;
  for (int round = 0; round < 5000; ++round) {
    Argv argv(len(rng));
    for (auto& t : argv) t = alpha[pick(rng)];

    EXPECT_EQ(inject_double_dash(argv, Never), argv);
    const Argv out = inject_double_dash(argv, After);
    // The result always holds a separator or needs none, so a second pass is a no-op.
    ASSERT_EQ(inject_double_dash(out, After), out) << "round " << round;

    const auto classified = parse_argv(argv);
    const auto first_pos = std::find_if(classified.begin(), classified.end(), [](const auto& c) {
      return std::holds_alternative<arg_type::Positional>(c.type);
    });
    const bool has_sep = std::ranges::any_of(classified, [](const auto& c) {
      return std::holds_alternative<arg_type::DoubleDash>(c.type);
    });

    if (first_pos == classified.end() || has_sep) {
      ASSERT_EQ(out, argv) << "round " << round;
      continue;
    }
    ++inserted_rounds;
    ASSERT_EQ(out.size(), argv.size() + 1) << "round " << round;
    const std::size_t at = first_pos->index;
    ASSERT_EQ(out[at], "--") << "round " << round;
    Argv without = out;
    without.erase(without.begin() + static_cast<std::ptrdiff_t>(at));
    ASSERT_EQ(without, argv) << "round " << round;
    // The inserted token is now the separator, and it sits right before the data.
    const auto reclassified = parse_argv(out);
    ASSERT_TRUE(std::holds_alternative<arg_type::DoubleDash>(reclassified[at].type));
  }
  // The alphabet must exercise the inserting branch, not only the unchanged ones.
  EXPECT_GT(inserted_rounds, 1000);
}

}  // namespace
}  // namespace corvane
