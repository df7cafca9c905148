// Shared pieces of the fuzz targets: splitting the input into tokens, a strict
// UTF-8 validator written independently of the core, and the invariant check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::fuzz {

/// Stops the run with a message when an invariant is broken; libFuzzer then
/// saves the input that caused it.
inline void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    __builtin_trap();
  }
}

/// The fuzzer's input as a byte string.
inline std::string_view bytes(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

/// `text` cut at every `sep`; an empty input gives no pieces, a trailing
/// separator gives a final empty piece.
inline std::vector<std::string> split(std::string_view text, char sep) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(sep, start);
    if (at == std::string_view::npos) {
      out.emplace_back(text.substr(start));
      return out;
    }
    out.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
}

/// Length of the well-formed sequence at text[i] (Unicode table 3-7), 0 if none.
inline std::size_t utf8_length_at(std::string_view text, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const std::size_t left = text.size() - i;
  const unsigned char b0 = b(0);
  if (b0 <= 0x7F) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return left >= 2 && b(1) >= 0x80 && b(1) <= 0xBF ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3) return 0;
    const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
    return b(1) >= lo && b(1) <= hi && b(2) >= 0x80 && b(2) <= 0xBF ? 3 : 0;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4) return 0;
    const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
    return b(1) >= lo && b(1) <= hi && b(2) >= 0x80 && b(2) <= 0xBF && b(3) >= 0x80 && b(3) <= 0xBF
               ? 4
               : 0;
  }
  return 0;
}

/// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_length_at(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

/// The code points of valid UTF-8 text.
inline std::vector<char32_t> code_points(std::string_view text) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_length_at(text, i);
    require(n != 0, "code_points: text is valid UTF-8");
    const auto b0 = static_cast<unsigned char>(text[i]);
    char32_t c = n == 1 ? b0 : n == 2 ? (b0 & 0x1F) : n == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < n; ++k)
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(c);
    i += n;
  }
  return out;
}

/// UTF-8 encoding of one scalar value.
inline void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace corvane::fuzz
