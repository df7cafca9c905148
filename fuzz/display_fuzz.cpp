// Fuzz target: the display form of a path and the escaped (double-quoted) form
// of a text. For any bytes in, both must be valid UTF-8; the display form must
// replace each maximal invalid subpart by one U+FFFD and leave valid text alone;
// the escaped form must decode back to the display form and show no control,
// format, separator or private-use character raw.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "corvane/error.hpp"
#include "corvane/path.hpp"
#include "fuzz_support.hpp"

using namespace corvane;
using corvane::fuzz::require;

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// True when `prefix` (not itself a whole sequence) can be completed to one.
bool completable(std::string_view prefix) {
  static constexpr std::array<char, 4> kFill{'\x80', '\x90', '\xA0', '\xBF'};
  for (std::size_t len = prefix.size() + 1; len <= 4; ++len) {
    const std::size_t missing = len - prefix.size();
    std::size_t combos = 1;
    for (std::size_t k = 0; k < missing; ++k) combos *= kFill.size();
    for (std::size_t c = 0; c < combos; ++c) {
      char candidate[4];
      std::copy(prefix.begin(), prefix.end(), candidate);
      for (std::size_t k = 0, rest = c; k < missing; ++k, rest /= kFill.size()) {
        candidate[prefix.size() + k] = kFill[rest % kFill.size()];
      }
      if (fuzz::utf8_length_at(std::string_view(candidate, len), 0) == len) return true;
    }
  }
  return false;
}

// Lossy decoding restated: valid sequences copied, and each maximal subpart (the
// longest start of a valid sequence, at least one byte) replaced by U+FFFD.
std::string reference_lossy(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    if (const std::size_t n = fuzz::utf8_length_at(in, i); n != 0) {
      out.append(in.substr(i, n));
      i += n;
      continue;
    }
    std::size_t skip = 1;
    for (std::size_t k = std::min<std::size_t>(3, in.size() - i); k >= 1; --k) {
      if (completable(in.substr(i, k))) {
        skip = k;
        break;
      }
    }
    out += kReplacement;
    i += skip;
  }
  return out;
}

// Characters that are not printable (Cc, Cf, Co, Cn, Zl, Zp, Zs other than the
// space) or that extend a grapheme: a sample whose properties never change.
bool must_be_escaped(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;  // Cc
  if (c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F ||
      c == 0x3000)
    return true;                                // Zs
  if (c == 0x2028 || c == 0x2029) return true;  // Zl, Zp
  if (c == 0xAD || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
      (c >= 0x2060 && c <= 0x2064) || c == 0xFEFF || c == 0xE0001)
    return true;                                                                // Cf
  if ((c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000) return true;                // Co
  if ((c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE) return true;      // Cn
  if ((c >= 0x300 && c <= 0x36F) || (c >= 0xFE00 && c <= 0xFE0F)) return true;  // Grapheme_Extend
  return false;
}

// Characters that are printable and are never escaped.
bool must_stay_raw(char32_t c) {
  if (c >= 0x20 && c <= 0x7E) return c != '"' && c != '\\';
  return c == 0xE9 || c == 0x416 || c == 0x4E2D || c == 0x1F600 || c == 0xFFFD;
}

// Decodes the escaped form back to text, checking its syntax on the way.
std::string unescape(std::string_view quoted) {
  require(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"',
          "escape_quoted: enclosed in double quotes");
  const auto cps = fuzz::code_points(quoted.substr(1, quoted.size() - 2));
  std::string out;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const char32_t c = cps[i];
    require(c != '"', "escape_quoted: no raw double quote inside");
    require(!must_be_escaped(c), "escape_quoted: no raw control/format/separator character");
    if (c != '\\') {
      fuzz::append_utf8(out, c);
      continue;
    }
    require(i + 1 < cps.size(), "escape_quoted: backslash ends the text");
    switch (cps[++i]) {
      case '\\':
        out += '\\';
        continue;
      case '"':
        out += '"';
        continue;
      case 't':
        out += '\t';
        continue;
      case 'r':
        out += '\r';
        continue;
      case 'n':
        out += '\n';
        continue;
      case '0':
        out += '\0';
        continue;
      case 'u':
        break;
      default:
        require(false, "escape_quoted: unknown escape");
    }
    require(i + 1 < cps.size() && cps[++i] == '{', "escape_quoted: \\u{");
    char32_t value = 0;
    std::size_t digits = 0;
    while (i + 1 < cps.size() && cps[i + 1] != '}') {
      const char32_t h = cps[++i];
      const bool lower_hex = (h >= '0' && h <= '9') || (h >= 'a' && h <= 'f');
      require(lower_hex, "escape_quoted: lower-case hexadecimal digits");
      require(!(digits == 0 && h == '0' && i + 1 < cps.size() && cps[i + 1] != '}'),
              "escape_quoted: no leading zero");
      value = value * 16 + static_cast<char32_t>(h <= '9' ? h - '0' : h - 'a' + 10);
      require(++digits <= 6, "escape_quoted: at most six digits");
    }
    require(digits > 0 && i + 1 < cps.size(), "escape_quoted: closing brace");
    ++i;
    require(value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF),
            "escape_quoted: a scalar value");
    require(value != '\t' && value != '\r' && value != '\n' && value != 0 && value != '"' &&
                value != '\\',
            "escape_quoted: short escapes used where they exist");
    require(!must_stay_raw(value), "escape_quoted: printable character escaped");
    fuzz::append_utf8(out, value);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in = fuzz::bytes(data, size);

  const std::string shown = display(Path(std::string(in)));
  require(fuzz::valid_utf8(shown), "display: valid UTF-8");
  require(shown == reference_lossy(in), "display: one U+FFFD per maximal invalid subpart");
  if (fuzz::valid_utf8(in)) require(shown == in, "display: valid text unchanged");
  require(lossy_utf8(shown) == shown, "lossy_utf8: idempotent");

  const std::string quoted = escape_quoted(in);
  require(fuzz::valid_utf8(quoted), "escape_quoted: valid UTF-8");
  require(unescape(quoted) == shown, "escape_quoted: decodes back to the display form");
  return 0;
}
