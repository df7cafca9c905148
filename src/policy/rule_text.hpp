// Small text helpers shared by building rule sets and reading argv with them.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::rule_text {

inline std::string join(const std::vector<std::string>& words, std::string_view sep) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += sep;
    out += words[i];
  }
  return out;
}

/// A token an option parser reads as a flag: a dash and at least one more character.
inline bool is_flag_token(std::string_view token) {
  return token.size() >= 2 && token.front() == '-';
}

inline bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace corvane::rule_text
