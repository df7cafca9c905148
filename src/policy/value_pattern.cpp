// Value patterns on libstdc++'s std::regex with its breadth-first executor
// (the __polynomial flag): the set of live automaton states advances one input
// character at a time, so a match costs O(value x states) time and recurses
// only through one epsilon closure, which visits each state at most once. The
// pattern's own size is bounded here, when it is compiled, and so is all the
// stack a match or a compile can use. Back-references have no breadth-first
// form (the flag refuses them) and a lookahead scans the rest of the value
// from every position it is tried at, so both are refused.
#include "policy/value_pattern.hpp"

#include <regex>

#if !defined(__GLIBCXX__)
#error \
    "value patterns rely on libstdc++'s breadth-first regex executor (regex_constants::__polynomial)"
#endif

namespace corvane {

struct ValuePattern::Compiled {
  std::regex regex;
};

namespace {

constexpr auto kSyntax = std::regex::ECMAScript;

// The automaton as libstdc++ builds it, to count its states and look at its
// transitions before it is used; the same compiler basic_regex runs.
using Automaton = std::__detail::_NFA<std::regex_traits<char>>;

std::shared_ptr<const Automaton> build_automaton(const std::string& pattern) {
  std::__detail::_Compiler<std::regex_traits<char>> compiler(
      pattern.data(), pattern.data() + pattern.size(), std::locale(), kSyntax);
  return compiler._M_get_nfa();
}

// The longest repetition count the compiler is given: libstdc++ 12 reads a count
// into an int without an overflow check (undefined behaviour past INT_MAX), and
// any count past the state bound is refused below anyway.
constexpr std::size_t kMaxCountDigits = 5;

// Whether a counted repetition ("{N}", "{N,}", "{N,M}") has a count longer than
// kMaxCountDigits: found by scanning, before the compiler parses it. An escaped
// brace is a literal and has no count.
bool has_huge_count(std::string_view pattern) noexcept {
  bool escaped = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (escaped) {
      escaped = false;
      continue;
    }
    if (c == '\\') {
      escaped = true;
      continue;
    }
    if (c != '{') continue;
    for (std::size_t at = i + 1; at < pattern.size();) {
      std::size_t digits = 0;
      while (at < pattern.size() && pattern[at] >= '0' && pattern[at] <= '9') {
        ++digits;
        ++at;
      }
      if (digits > kMaxCountDigits) return true;
      if (at >= pattern.size() || pattern[at] != ',') break;
      ++at;  // the upper bound of "{N,M}"
    }
  }
  return false;
}

std::string too_large() {
  return "compiles to more than " + std::to_string(kMaxPatternStates) +
         " automaton states: use smaller repetition counts";
}

}  // namespace

std::expected<ValuePattern, std::string> ValuePattern::compile(std::string_view pattern) {
  if (pattern.size() > kMaxPatternBytes) {
    return std::unexpected("is longer than " + std::to_string(kMaxPatternBytes) + " bytes");
  }
  // The scanner reads the byte after a pattern that ends in "(": a std::string
  // always has one there (its terminator), a view into other memory may not.
  const std::string text(pattern);
  if (has_huge_count(text)) return std::unexpected(too_large());
  // std::regex reports a malformed pattern by throwing; it stops here.
  try {
    const auto automaton = build_automaton(text);
    if (automaton->size() > kMaxPatternStates) return std::unexpected(too_large());
    for (const auto& state : *automaton) {
      switch (state._M_opcode()) {
        case std::__detail::_S_opcode_backref:
          return std::unexpected(
              std::string("uses a back-reference, which has no linear-time match"));
        case std::__detail::_S_opcode_subexpr_lookahead:
          return std::unexpected(std::string("uses a lookahead, which has no linear-time match"));
        default:
          break;
      }
    }
    auto compiled = std::make_shared<Compiled>(
        Compiled{std::regex(text, kSyntax | std::regex_constants::__polynomial)});
    return ValuePattern(std::move(compiled));
  } catch (const std::regex_error& e) {
    // libstdc++'s own ceiling on states (far above ours) ends a huge repetition early.
    if (e.code() == std::regex_constants::error_space) return std::unexpected(too_large());
    return std::unexpected(std::string("is not a valid regular expression: ") + e.what());
  }
}

bool ValuePattern::matches(std::string_view value) const noexcept {
  try {
    return std::regex_match(value.data(), value.data() + value.size(), compiled_->regex);
  } catch (...) {
    return false;  // out of memory: refusing the value is the safe answer
  }
}

}  // namespace corvane
