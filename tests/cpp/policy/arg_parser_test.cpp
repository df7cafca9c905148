// Classification of argument vectors into flags, positionals and the separator.
#include "corvane/arg_parser.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace corvane {
namespace arg_type {
// Readable failure output instead of byte dumps.
void PrintTo(const Flag& f, std::ostream* os) {
  *os << "Flag(" << ::testing::PrintToString(f.text) << ")";
}
void PrintTo(const Positional& p, std::ostream* os) {
  *os << "Positional(" << ::testing::PrintToString(p.text) << ")";
}
void PrintTo(const DoubleDash&, std::ostream* os) {
  *os << "DoubleDash";
}
}  // namespace arg_type

namespace {

using arg_type::DoubleDash;
using arg_type::Flag;
using arg_type::Positional;

struct ClassifyCase {
  const char* name;
  std::vector<std::string> argv;
  std::vector<ArgType> expected;
};

class ClassifyTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTest, ClassifiesEachElementAtItsIndex) {
  const auto& c = GetParam();
  const auto got = parse_argv(c.argv);
  ASSERT_EQ(got.size(), c.expected.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].index, k);
    EXPECT_EQ(got[k].type, c.expected[k]) << "element " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClassifyTest,
    ::testing::Values(
        ClassifyCase{"Empty", {}, {}},
        ClassifyCase{"FlagThenPositionals",
                     {"-n", "pattern", "file.txt"},
                     {Flag{"-n"}, Positional{"pattern"}, Positional{"file.txt"}}},
        ClassifyCase{"OnlyFirstSeparatorCounts",
                     {"--", "-n", "--"},
                     {DoubleDash{}, Positional{"-n"}, Positional{"--"}}},
        ClassifyCase{"FlagAfterSeparatorIsPositional",
                     {"a", "--", "-b"},
                     {Positional{"a"}, DoubleDash{}, Positional{"-b"}}},
        ClassifyCase{"LoneDashAndEmptyArePositional", {"-", ""}, {Positional{"-"}, Positional{""}}},
        ClassifyCase{"NegativeNumberIsFlag", {"-1"}, {Flag{"-1"}}},
        ClassifyCase{"CombinedShortsKeptWhole", {"-ni"}, {Flag{"-ni"}}},
        ClassifyCase{"LongWithValueKeptWhole", {"--color=never"}, {Flag{"--color=never"}}},
        ClassifyCase{"TripleDashIsFlag", {"---"}, {Flag{"---"}}},
        ClassifyCase{
            "InnerDashDoesNotCount", {"x-y", "a=-b"}, {Positional{"x-y"}, Positional{"a=-b"}}},
        ClassifyCase{"LeadingSpaceIsPositional", {" -x"}, {Positional{" -x"}}},
        // U+2014 and U+2212 look like dashes but are not the ASCII hyphen-minus.
        ClassifyCase{"NonAsciiDashesArePositional",
                     {"\xE2\x80\x94x",
                      "\xE2\x88\x92"
                      "1"},
                     {Positional{"\xE2\x80\x94x"}, Positional{"\xE2\x88\x92"
                                                              "1"}}},
        ClassifyCase{"DashThenInvalidUtf8IsFlag", {"-\xFF"}, {Flag{"-\xFF"}}},
        ClassifyCase{"DashThenNulIsFlag", {std::string("-\0", 2)}, {Flag{std::string("-\0", 2)}}},
        ClassifyCase{"DashDashWithTrailingNulIsFlag",
                     {std::string("--\0", 3)},
                     {Flag{std::string("--\0", 3)}}},
        ClassifyCase{"SeparatorAfterFlags",
                     {"-a", "--b", "--", "--c", "-", ""},
                     {Flag{"-a"}, Flag{"--b"}, DoubleDash{}, Positional{"--c"}, Positional{"-"},
                      Positional{""}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseArgv, DoesNotAlterInput) {
  const std::vector<std::string> argv{"-n", "--", "x"};
  const auto copy = argv;
  (void)parse_argv(argv);
  EXPECT_EQ(argv, copy);
}

TEST(ParseArgv, RepeatedCallsAgree) {
  const std::vector<std::string> argv{"-n", "p", "--", "-x", "--"};
  EXPECT_EQ(parse_argv(argv), parse_argv(argv));
}

// Tokens that sit on the boundaries of the rules, including bytes that are not UTF-8.
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
          " -",
          "\xFF",
          "-\xFF",
          "\xC3\xA9",
          "\xE2\x80\x94",
          "-abc",
          "--\xFF",
          std::string("-\0", 2),
          std::string("\0", 1),
          "=",
          "--="};
}

std::vector<std::string> random_argv(std::mt19937& rng, const std::vector<std::string>& alpha) {
  std::uniform_int_distribution<std::size_t> len(0, 8);
  std::uniform_int_distribution<std::size_t> pick(0, alpha.size() - 1);
  std::vector<std::string> argv(len(rng));
  for (auto& t : argv) t = alpha[pick(rng)];
  return argv;
}

TEST(ParseArgvProperty, OneEntryPerElementMatchingTheLexicalRules) {
  std::mt19937 rng(20240611u);
  const auto alpha = alphabet();
  for (int round = 0; round < 5000; ++round) {
    const auto argv = random_argv(rng, alpha);
    const auto got = parse_argv(argv);
    ASSERT_EQ(got.size(), argv.size());
    bool seen = false;
    for (std::size_t k = 0; k < argv.size(); ++k) {
      ASSERT_EQ(got[k].index, k);
      const std::string& t = argv[k];
      ArgType want;
      if (seen) {
        want = Positional{t};
      } else if (t == "--") {
        want = DoubleDash{};
        seen = true;
      } else if (t.size() >= 2 && t[0] == '-') {
        want = Flag{t};
      } else {
        want = Positional{t};
      }
      ASSERT_EQ(got[k].type, want) << "round " << round << " element " << k;
    }
  }
}

}  // namespace
}  // namespace corvane
