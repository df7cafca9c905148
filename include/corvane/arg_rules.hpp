// Per-binary argument rules: an allow-list of whole flag tokens, counts, an
// optional required subcommand and the double-dash mode.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "corvane/double_dash.hpp"
#include "corvane/error.hpp"

namespace corvane {

/// Which argument vectors one binary accepts. A new value accepts only the
/// empty vector (and a lone "--"); every relaxation is explicit. Each setter
/// changes a named value in place, or hands a temporary on by value.
class ArgRules {
 public:
  ArgRules() = default;

  /// Requires the first positional to equal `cmd` exactly.
  [[nodiscard]] ArgRules subcommand(std::string cmd) &&;
  ArgRules& subcommand(std::string cmd) &;
  /// Replaces the set of allowed flag tokens (the last call wins).
  [[nodiscard]] ArgRules allowed_flags(std::vector<std::string> flags) &&;
  ArgRules& allowed_flags(std::vector<std::string> flags) &;
  /// Inclusive upper bound on flag tokens.
  [[nodiscard]] ArgRules max_flags(std::size_t n) &&;
  ArgRules& max_flags(std::size_t n) &;
  /// Inclusive upper bound on positionals, a matched subcommand not counted.
  [[nodiscard]] ArgRules max_positionals(std::size_t n) &&;
  ArgRules& max_positionals(std::size_t n) &;
  /// Sets the double-dash mode.
  [[nodiscard]] ArgRules inject_double_dash(InjectDoubleDash mode) &&;
  ArgRules& inject_double_dash(InjectDoubleDash mode) &;

  [[nodiscard]] const std::optional<std::string>& subcommand() const noexcept {
    return subcommand_;
  }
  [[nodiscard]] const std::unordered_set<std::string>& allowed_flags() const noexcept {
    return allowed_flags_;
  }
  [[nodiscard]] std::size_t max_flags() const noexcept { return max_flags_; }
  [[nodiscard]] std::size_t max_positionals() const noexcept { return max_positionals_; }
  [[nodiscard]] InjectDoubleDash inject_double_dash() const noexcept { return inject_double_dash_; }

  /// The vector to execute, or the first violation in the order flag count,
  /// flag membership, subcommand, positional count.
  [[nodiscard]] std::expected<std::vector<std::string>, Violation> validate(
      std::vector<std::string> argv) const;

 private:
  std::optional<std::string> subcommand_;
  std::unordered_set<std::string> allowed_flags_;
  std::size_t max_flags_ = 0;
  std::size_t max_positionals_ = 0;
  InjectDoubleDash inject_double_dash_ = InjectDoubleDash::Never;
};

}  // namespace corvane
