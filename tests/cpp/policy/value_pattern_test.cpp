// Value patterns: what a policy may write (and what is refused when it is
// built), that matching keeps ECMAScript's answers, and that neither a long
// agent value nor a pattern at the bounds can run a thread out of stack.
#include "policy/value_pattern.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <regex>

#include "corvane/rules.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;

std::string repeat(std::string_view unit, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += unit;
  return out;
}

// The stack the bounded rows run on: 256 KB, a quarter of what the default
// executor overflows below and less than any thread a host runs the rules on.
// A sanitizer's frames are several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kSmallStack = 1024 * 1024;
#else
constexpr std::size_t kSmallStack = 256 * 1024;
#endif

// Runs `work` on a thread with a stack of `stack_bytes`: an overflow there is a
// SIGSEGV, which the death tests below observe from outside.
void on_small_stack(std::size_t stack_bytes, const std::function<void()>& work) {
  pthread_attr_t attr;
  ASSERT_EQ(::pthread_attr_init(&attr), 0);
  ASSERT_EQ(::pthread_attr_setstacksize(&attr, stack_bytes), 0);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()>*>(&work)),
            0);
  ::pthread_attr_destroy(&attr);
  ::pthread_join(thread, nullptr);
}

// "ok" or the reason a pattern is refused.
std::string built(std::string_view pattern) {
  auto compiled = ValuePattern::compile(pattern);
  return compiled ? "ok" : compiled.error();
}

TEST(ValuePattern, WhatAPolicyMayWrite) {
  const std::string states =
      "compiles to more than 4096 automaton states: use smaller repetition counts";
  struct Row {
    std::string pattern;
    std::string expected;  // "ok", or the start of the reason
  };
  const Row rows[] = {
      // The shipped policies' patterns.
      {"[^/]+", "ok"},
      {"[-+]?[0-9]{1,9}[ckMG]?", "ok"},
      // A counted repetition just inside the state bound, and past it.
      {".{0,2000}", "ok"},
      {".{0,2100}", states},
      // Past libstdc++'s own ceiling: the same reason, not the library's.
      {".{0,100000}", states},
      {"(?:(?:a{1000}){1000}){1000}", states},
      // A count past INT_MAX would overflow the library's own reading of it.
      {"(?:|a){68044444444444444444444}aaa", states},
      {"a{1,99999999999}", states},
      // An escaped brace is a literal, not a count.
      {"\\{12345678901}", "ok"},
      // No linear-time match: refused whatever the value.
      {"(a)\\1", "uses a back-reference, which has no linear-time match"},
      {"(?=.*x).*", "uses a lookahead, which has no linear-time match"},
      {"(?!-).*", "uses a lookahead, which has no linear-time match"},
      // The compiler recurses per term and per group: the length bounds it.
      {repeat("(", 511) + "a" + repeat(")", 511), "ok"},
      {repeat("a", 1025), "is longer than 1024 bytes"},
      {"[0-9", "is not a valid regular expression: "},
      // The library's scanner reads one byte past a pattern that ends in "(".
      {"f((((", "is not a valid regular expression: "},
  };
  for (const auto& row : rows) {
    EXPECT_TRUE(built(row.pattern).starts_with(row.expected))
        << row.pattern.substr(0, 40) << ": " << built(row.pattern);
  }
}

TEST(ValuePattern, MatchesTheWholeValueAsECMAScriptDoes) {
  struct Row {
    const char* pattern;
    const char* value;
    bool expected;
  };
  const Row rows[] = {
      {"[^/]+", "*.cpp", true},
      {"[^/]+", "src/*.cpp", false},
      {"[^/]+", "", false},
      {"[0-9]{1,6}", "123456", true},
      {"[0-9]{1,6}", "1234567", false},
      {"foo|bar", "bar", true},
      {"foo|bar", "foobar", false},  // whole value, not a search
      {"(x|a)*", "xaax", true},
      {"\\d+\\.\\w+", "12.ab_c", true},
      {"a*?", "aaa", true},  // a lazy quantifier still matches the whole value
      {"^a$", "a", true},
      {"\\bfoo\\b", "foo", true},
      {"[[:alpha:]]+", "abc1", false},
      {".", "\n", false},  // "." stops at a line terminator, as in ECMAScript
  };
  for (const auto& row : rows) {
    auto pattern = ValuePattern::compile(row.pattern);
    ASSERT_TRUE(pattern) << row.pattern << ": " << pattern.error();
    EXPECT_EQ(pattern->matches(row.value), row.expected) << row.pattern << " ~ " << row.value;
    // The same answer as the library's default executor gives.
    EXPECT_EQ(std::regex_match(row.value, std::regex(row.pattern, std::regex::ECMAScript)),
              row.expected)
        << row.pattern;
  }
}

// A whole-value match with the library's default executor recurses once per
// character: 100 KB against the shipped grep rule's pattern ran the host out
// of stack. This row shows the attack on that executor, so that the rows
// after it show something.
TEST(ValuePatternDeathTest, TheDefaultExecutorOverflowsOnALongValue) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string value(100 * 1024, 'a');
  EXPECT_EXIT(
      {
        on_small_stack(4 * kSmallStack, [&] {
          (void)std::regex_match(value, std::regex("[^/]+", std::regex::ECMAScript));
        });
        std::exit(0);
      },
      [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); }, "");
}

TEST(ValuePatternDeathTest, NoValueOrPatternAtTheBoundsRunsOutOfStack) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Row {
    std::string pattern;
    std::string value;
    bool expected;
  };
  // The deepest shapes within the bounds: a match walks one epsilon closure,
  // which visits each state once; these maximise the closure or the nesting.
  const Row rows[] = {
      // A megabyte against the shipped pattern: no recursion per character.
      {"[^/]+", std::string(1024 * 1024, 'a'), true},
      {"[^/]+(x|a)*", std::string(1024 * 1024, 'a'), true},
      // Empty alternatives chained to the state bound: one long epsilon path.
      {"(?:|a){680}", std::string(4096, 'b'), false},
      {"(?:|a){680}", "", true},
      // Capturing groups nested as deep as the length allows.
      {repeat("(", 511) + "a" + repeat(")", 511), "a", true},
      {"((((((((|a){2}){2}){2}){2}){2}){2}){2})", std::string(300, 'a'), false},
      {"(?:a*){1000}", std::string(1024, 'a'), true},
  };
  for (const auto& row : rows) {
    EXPECT_EXIT(
        {
          bool matched = !row.expected;
          on_small_stack(kSmallStack, [&] {
            auto pattern = ValuePattern::compile(row.pattern);
            if (!pattern) std::exit(4);  // a row must be within the bounds
            matched = pattern->matches(row.value);
          });
          std::exit(matched == row.expected ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "")
        << row.pattern.substr(0, 40);
  }
}

// A pattern-limited value is bounded before it is matched, with its own refusal.
TEST(ValuePattern, RuleRefusesALongValueBeforeMatching) {
  auto rules =
      CommandRules::make({RuleSet()
                              .value_flag("--include", {.attached = true, .pattern = "[^/]+"})
                              .value_flag("-e", {.attached = true})
                              .max_flags(2)
                              .max_positionals(1)});
  ASSERT_TRUE(rules) << rules.error().message;
  const std::string at_bound(kMaxPatternValueBytes, 'a');
  const std::string past_bound(kMaxPatternValueBytes + 1, 'a');
  const std::string huge(100 * 1024, 'a');
  struct Row {
    Argv argv;
    std::string expected;  // "ok" or "<kind>@<index>: <message>"
  };
  const Row rows[] = {
      {{"--include", at_bound}, "ok"},
      {{"--include", past_bound},
       "ValueTooLong@1: value too long for --include: max 4096 bytes, got 4097"},
      {{"--include=" + huge},
       "ValueTooLong@0: value too long for --include: max 4096 bytes, got 102400"},
      // Beyond the bound is still refused for what it is, not only for its length.
      {{"--include", "a/b"},
       "ValueNotAllowed@1: value not allowed for --include: \"a/b\" (must match [^/]+)"},
      // Only a pattern costs time per byte: a value without one is not bounded here.
      {{"-e", huge}, "ok"},
  };
  for (const auto& row : rows) {
    auto r = rules->apply(row.argv, nullptr);
    const std::string got = r ? "ok"
                              : r.error().kind + "@" +
                                    std::to_string(r.error().index.value_or(99)) + ": " +
                                    r.error().message;
    EXPECT_EQ(got, row.expected);
  }
  // The refusal's fields, for a caller that reads them rather than the message.
  auto r = rules->apply({"--include", past_bound}, nullptr);
  ASSERT_FALSE(r);
  ASSERT_EQ(r.error().fields.size(), 3u);
  EXPECT_EQ(r.error().fields[1].first, "max");
  EXPECT_EQ(std::get<std::uint64_t>(r.error().fields[1].second), kMaxPatternValueBytes);
  EXPECT_EQ(std::get<std::uint64_t>(r.error().fields[2].second), kMaxPatternValueBytes + 1);
}

TEST(ValuePattern, RuleSetBuildNamesThePatternAndTheFlag) {
  auto rules = CommandRules::make({RuleSet().value_flag("-m", {.pattern = "(a)\\1"})});
  ASSERT_FALSE(rules);
  EXPECT_EQ(rules.error().message,
            "pattern \"(a)\\\\1\" of \"-m\" uses a back-reference, which has no linear-time match");
}

}  // namespace
}  // namespace corvane
