// The regular expression a flag's value must match as a whole. The policy
// author writes the pattern; the agent writes the value, so matching must stay
// linear in the value and its stack depth must not depend on the value at all:
// std::regex's default executor recurses once per input character, and a value
// of about 100 KB overflows the host's stack.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace corvane {

/// Longest pattern accepted: the pattern compiler recurses once per term and per group.
inline constexpr std::size_t kMaxPatternBytes = 1024;
/// Most automaton states a pattern may compile to: bounds a match's stack depth
/// (one epsilon closure walks each state at most once) and its time per value byte.
inline constexpr std::size_t kMaxPatternStates = 4096;
/// Longest value matched against a pattern; a longer one is refused before matching.
inline constexpr std::size_t kMaxPatternValueBytes = 4096;

/// An ECMAScript regular expression matched against whole values in time
/// linear in the value (times the pattern's size). Back-references and
/// lookaheads are refused when it is compiled: neither has a linear-time match.
class ValuePattern {
 public:
  /// Compiles `pattern`, or says why it cannot be used: the reason continues a
  /// sentence about the pattern ("is not a valid regular expression: ...").
  [[nodiscard]] static std::expected<ValuePattern, std::string> compile(std::string_view pattern);

  /// Whether the whole of `value` matches. The caller bounds the value's length
  /// (kMaxPatternValueBytes) so that the time stays bounded too.
  [[nodiscard]] bool matches(std::string_view value) const noexcept;

 private:
  struct Compiled;
  explicit ValuePattern(std::shared_ptr<const Compiled> compiled)
      : compiled_(std::move(compiled)) {}
  std::shared_ptr<const Compiled> compiled_;
};

}  // namespace corvane
