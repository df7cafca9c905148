// Lexical classification of an argument vector into flags, positionals and the
// end-of-options separator. Knows no program; never rejects anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane {

namespace arg_type {
/// An option token, kept whole ("--color=never", "-abc", "-1").
struct Flag {
  std::string text;
  friend bool operator==(const Flag&, const Flag&) = default;
};
/// An ordinary argument, including "-", "" and everything after the first "--".
struct Positional {
  std::string text;
  friend bool operator==(const Positional&, const Positional&) = default;
};
/// The first "--" of the vector.
struct DoubleDash {
  friend bool operator==(const DoubleDash&, const DoubleDash&) = default;
};
}  // namespace arg_type

/// The classification of one argument.
using ArgType = std::variant<arg_type::Flag, arg_type::Positional, arg_type::DoubleDash>;

/// One classified element and its index in the vector.
struct ClassifiedArg {
  ArgType type;
  std::size_t index;
  friend bool operator==(const ClassifiedArg&, const ClassifiedArg&) = default;
};

/// The kind of one token, without a copy of its text.
enum class ArgKind : std::uint8_t { Flag, Positional, DoubleDash };

/// The kind of `token` given whether the first "--" has already been seen.
/// parse_argv and the checks that only need counts share this one rule, so
/// they can never disagree.
[[nodiscard]] constexpr ArgKind classify_token(std::string_view token,
                                               bool separator_seen) noexcept {
  if (separator_seen) return ArgKind::Positional;
  if (token == "--") return ArgKind::DoubleDash;
  // Only an ASCII hyphen-minus in the first byte counts; "-" alone is data (stdin by convention).
  if (token.size() >= 2 && token.front() == '-') return ArgKind::Flag;
  return ArgKind::Positional;
}

/// One entry per element, in order; entry k carries index k.
[[nodiscard]] std::vector<ClassifiedArg> parse_argv(std::span<const std::string> argv);

}  // namespace corvane
