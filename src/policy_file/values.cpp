// Sizes, durations and counts read exactly (decimal arithmetic on the digits as
// written, so "0.1s" is 100 ms and "0.5B" is refused), values named in messages,
// and ${NAME} variables.
#include "policy_file/values.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "base/unicode_tables.hpp"

namespace corvane::policy_file {
namespace {

constexpr std::string_view kMaxU64 = "18446744073709551615";

// A non-negative decimal number: digits * 10**-scale.
struct Decimal {
  std::string digits;
  std::size_t scale = 0;
};

std::string strip_zeros(std::string digits) {
  const auto first = digits.find_first_not_of('0');
  return first == std::string::npos ? "0" : digits.substr(first);
}

bool above_u64(const std::string& digits) {
  const std::string d = strip_zeros(digits);
  return d.size() > kMaxU64.size() || (d.size() == kMaxU64.size() && d > kMaxU64);
}

std::uint64_t to_u64(const std::string& digits) {
  std::uint64_t out = 0;
  for (char c : digits) out = out * 10 + static_cast<std::uint64_t>(c - '0');
  return out;
}

Decimal times(Decimal d, std::uint64_t unit) {
  // Schoolbook, one digit at a time: unit is at most an hour in nanoseconds,
  // so digit * unit + carry stays far below 2**64.
  std::string out;
  std::uint64_t carry = 0;
  for (auto it = d.digits.rbegin(); it != d.digits.rend(); ++it) {
    const std::uint64_t x = static_cast<std::uint64_t>(*it - '0') * unit + carry;
    out.push_back(static_cast<char>('0' + x % 10));
    carry = x / 10;
  }
  for (; carry > 0; carry /= 10) out.push_back(static_cast<char>('0' + carry % 10));
  d.digits.assign(out.rbegin(), out.rend());
  return d;
}

// The whole part, or nullopt when a fraction is left.
std::optional<std::string> whole(const Decimal& d) {
  const std::size_t n = d.digits.size();
  const std::size_t cut = d.scale >= n ? 0 : n - d.scale;
  if (d.digits.find_first_not_of('0', cut) != std::string::npos) return std::nullopt;
  return strip_zeros(d.digits.substr(0, cut));
}

// The shortest digits that read back as `x` (finite, not negative) and the
// power of ten of the first one.
std::pair<std::string, int> shortest(double x) {
  std::array<char, 64> buf{};
  const auto end =
      std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::scientific).ptr;
  const std::string_view text(buf.data(), static_cast<std::size_t>(end - buf.data()));
  const auto e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  return {digits, exponent};
}

std::string float_repr(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  const std::string sign = std::signbit(x) ? "-" : "";
  auto [digits, exponent] = shortest(std::fabs(x));
  const int point = exponent + 1;  // digits before the decimal point
  const int n = static_cast<int>(digits.size());
  if (point > -4 && point <= 16) {
    if (point <= 0)
      return sign + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    if (point >= n)
      return sign + digits + std::string(static_cast<std::size_t>(point - n), '0') + ".0";
    return sign + digits.substr(0, static_cast<std::size_t>(point)) + "." +
           digits.substr(static_cast<std::size_t>(point));
  }
  std::string out = sign + digits.substr(0, 1);
  if (n > 1) out += "." + digits.substr(1);
  std::array<char, 16> e{};
  std::snprintf(e.data(), e.size(), "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  return out + e.data();
}

// The exact value of a finite, non-negative double, as its shortest text says it.
Decimal float_decimal(double x) {
  auto [digits, exponent] = shortest(x);
  const long scale = static_cast<long>(digits.size()) - 1 - exponent;
  if (scale < 0) return {digits + std::string(static_cast<std::size_t>(-scale), '0'), 0};
  return {digits, static_cast<std::size_t>(scale)};
}

// One UTF-8 character at text[i]: its code point and length (a stray byte reads as itself).
std::pair<char32_t, std::size_t> decode(std::string_view text, std::size_t i) {
  const auto b = static_cast<unsigned char>(text[i]);
  const std::size_t len = b < 0x80 ? 1 : b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
  if (len == 1 || i + len > text.size()) return {b, 1};
  char32_t c = b & (0x7f >> len);
  for (std::size_t k = 1; k < len; ++k)
    c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
  return {c, len};
}

// What Python's str.isspace() accepts, which its regular expressions' \s follows.
bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20) || c == 0x85 || c == 0xa0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
         c == 0x205f || c == 0x3000;
}

// "<number><unit>" with blanks around either: the digits (and fraction) and the unit.
std::optional<std::pair<Decimal, std::string_view>> number_and_unit(std::string_view text) {
  std::size_t i = 0;
  auto skip_space = [&] {
    while (i < text.size()) {
      auto [c, len] = decode(text, i);
      if (!is_space(c)) break;
      i += len;
    }
  };
  auto digits = [&] {
    const std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return text.substr(start, i - start);
  };
  skip_space();
  Decimal d;
  const std::string_view integral = digits();
  if (integral.empty()) return std::nullopt;
  d.digits = integral;
  if (i + 1 < text.size() && text[i] == '.' && text[i + 1] >= '0' && text[i + 1] <= '9') {
    ++i;
    const std::string_view fraction = digits();
    d.digits += fraction;
    d.scale = fraction.size();
  }
  skip_space();
  const std::size_t unit_start = i;
  while (i < text.size()) {
    if ((text[i] >= 'a' && text[i] <= 'z') || (text[i] >= 'A' && text[i] <= 'Z')) {
      ++i;
    } else if (text.substr(i, 2) == "\xc2\xb5") {  // µ
      i += 2;
    } else {
      break;
    }
  }
  const std::string_view unit = text.substr(unit_start, i - unit_start);
  skip_space();
  if (i != text.size()) return std::nullopt;
  return std::pair{std::move(d), unit};
}

constexpr std::pair<std::string_view, std::uint64_t> kSizeUnits[] = {{"", 1},
                                                                     {"B", 1},
                                                                     {"KB", 1000},
                                                                     {"MB", 1000000},
                                                                     {"GB", 1000000000},
                                                                     {"KiB", 1ULL << 10},
                                                                     {"MiB", 1ULL << 20},
                                                                     {"GiB", 1ULL << 30}};
constexpr std::pair<std::string_view, std::uint64_t> kDurationUnits[] = {
    {"ns", 1},         {"us", 1000},          {"\xc2\xb5s", 1000},    {"ms", 1000000},
    {"s", 1000000000}, {"m", 60000000000ULL}, {"h", 3600000000000ULL}};

template <std::size_t N>
std::optional<std::uint64_t> unit_of(const std::pair<std::string_view, std::uint64_t> (&units)[N],
                                     std::string_view name) {
  for (const auto& [unit, factor] : units) {
    if (unit == name) return factor;
  }
  return std::nullopt;
}

std::string integer_text(const PolicyValue& v) {
  return (v.negative ? "-" : "") + v.text;
}

Reading<std::uint64_t> count_of(bool negative, const std::string& digits,
                                const std::string& shown) {
  if ((negative && strip_zeros(digits) != "0") || above_u64(digits)) {
    return std::unexpected("must be between 0 and 2**64-1, got " + shown);
  }
  return to_u64(digits);
}

}  // namespace

std::string type_name(const PolicyValue& value) {
  switch (value.kind) {
    case PolicyValue::Kind::Boolean:
      return "boolean";
    case PolicyValue::Kind::Integer:
      return "integer";
    case PolicyValue::Kind::Float:
      return "float";
    case PolicyValue::Kind::String:
      return "string";
    case PolicyValue::Kind::List:
      return "list";
    case PolicyValue::Kind::Table:
      return "table";
    case PolicyValue::Kind::Other:
      break;
  }
  return value.text;
}

std::string python_type_name(const PolicyValue& value) {
  switch (value.kind) {
    case PolicyValue::Kind::Boolean:
      return "bool";
    case PolicyValue::Kind::Integer:
      return "int";
    case PolicyValue::Kind::Float:
      return "float";
    case PolicyValue::Kind::String:
      return "str";
    case PolicyValue::Kind::List:
      return "list";
    case PolicyValue::Kind::Table:
      return "dict";
    case PolicyValue::Kind::Other:
      break;
  }
  return value.text;
}

std::string quote_text(std::string_view text) {
  const bool single = text.find('\'') != std::string_view::npos;
  const char quote = single && text.find('"') == std::string_view::npos ? '"' : '\'';
  std::string out(1, quote);
  for (std::size_t i = 0; i < text.size();) {
    auto [c, len] = decode(text, i);
    std::array<char, 16> hex{};
    if (c == static_cast<char32_t>(quote) || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f || (c >= 0x80 && needs_unicode_escape(c))) {
      const auto n = static_cast<unsigned>(c);
      std::snprintf(hex.data(), hex.size(),
                    c <= 0xff     ? "\\x%02x"
                    : c <= 0xffff ? "\\u%04x"
                                  : "\\U%08x",
                    n);
      out += hex.data();
    } else {
      out.append(text.substr(i, len));
    }
    i += len;
  }
  out += quote;
  return out;
}

std::string written(const PolicyValue& value) {
  switch (value.kind) {
    case PolicyValue::Kind::Integer:
      return integer_text(value);
    case PolicyValue::Kind::Float:
      return float_repr(value.number);
    case PolicyValue::Kind::String:
      return quote_text(value.text);
    case PolicyValue::Kind::Boolean:
      return value.boolean ? "True" : "False";
    default:
      return type_name(value);
  }
}

std::optional<std::uint64_t> as_u64(const PolicyValue& integer) noexcept {
  if (integer.kind != PolicyValue::Kind::Integer || integer.negative || above_u64(integer.text)) {
    return std::nullopt;
  }
  return to_u64(integer.text);
}

Reading<std::uint64_t> read_count(const PolicyValue& value) {
  if (value.kind != PolicyValue::Kind::Integer)
    return std::unexpected("expected an integer, got " + type_name(value));
  return count_of(value.negative, value.text, integer_text(value));
}

Reading<std::uint64_t> read_size(const PolicyValue& value) {
  if (value.kind == PolicyValue::Kind::Integer) return read_count(value);
  if (value.kind != PolicyValue::Kind::String) {
    return std::unexpected("expected a size such as 1048576 or \"10MiB\", got " + type_name(value));
  }
  const auto parsed = number_and_unit(value.text);
  const auto factor = parsed ? unit_of(kSizeUnits, parsed->second) : std::nullopt;
  if (!factor)
    return std::unexpected("not a size: " + quote_text(value.text) +
                           " (units: B, KB, MB, GB, KiB, MiB, GiB)");
  const auto bytes = whole(times(parsed->first, *factor));
  if (!bytes) return std::unexpected("not a whole number of bytes: " + quote_text(value.text));
  return count_of(false, *bytes, *bytes);
}

Reading<Duration> read_duration(const PolicyValue& value) {
  Decimal nanos;
  if (value.kind == PolicyValue::Kind::Integer || value.kind == PolicyValue::Kind::Float) {
    const bool is_float = value.kind == PolicyValue::Kind::Float;
    const bool negative =
        is_float ? value.number < 0 : value.negative && strip_zeros(value.text) != "0";
    if ((is_float && !std::isfinite(value.number)) || negative) {
      return std::unexpected("must be a finite, non-negative number of seconds, got " +
                             written(value));
    }
    nanos = times(is_float ? float_decimal(std::fabs(value.number)) : Decimal{value.text, 0},
                  1000000000);
  } else if (value.kind == PolicyValue::Kind::String) {
    const auto parsed = number_and_unit(value.text);
    const auto factor = parsed ? unit_of(kDurationUnits, parsed->second) : std::nullopt;
    if (!factor)
      return std::unexpected("not a duration: " + quote_text(value.text) +
                             " (units: ns, us, ms, s, m, h)");
    nanos = times(parsed->first, *factor);
  } else {
    return std::unexpected("expected a duration such as \"1.5s\" or seconds, got " +
                           type_name(value));
  }
  const auto total = whole(nanos);
  if (!total) return std::unexpected("finer than a nanosecond: " + written(value));
  const std::size_t n = total->size();
  const std::string secs = n > 9 ? total->substr(0, n - 9) : "0";
  const std::string rest = n > 9 ? total->substr(n - 9) : *total;
  if (above_u64(secs)) return std::unexpected("too long: " + written(value));
  return Duration{to_u64(secs), static_cast<std::uint32_t>(to_u64(rest))};
}

bool is_variable_name(std::string_view name) noexcept {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
      return false;
    }
  }
  return true;
}

Reading<std::string> expand(std::string_view text, const PolicyVariables& variables) {
  // ${NAME} is a variable and $$ a literal $; any other $ (a pattern's anchor,
  // say) stays as written. A value goes in as it is, never expanded again.
  std::string out;
  std::size_t at = 0;
  for (std::size_t dollar; (dollar = text.find('$', at)) != std::string_view::npos;) {
    out.append(text.substr(at, dollar - at));
    const char after = dollar + 1 < text.size() ? text[dollar + 1] : '\0';
    if (after == '$') {
      out += '$';
      at = dollar + 2;
    } else if (after == '{') {
      const std::size_t end = text.find('}', dollar + 2);
      const std::string_view name = end == std::string_view::npos
                                        ? std::string_view()
                                        : text.substr(dollar + 2, end - dollar - 2);
      if (end == std::string_view::npos || !is_variable_name(name)) {
        const std::string_view shown = end == std::string_view::npos
                                           ? text.substr(dollar)
                                           : text.substr(dollar, end + 1 - dollar);
        return std::unexpected(
            "malformed variable " + quote_text(shown) +
            ": write ${NAME} with a name of letters, digits and _, or $$ for a literal $");
      }
      const auto found = variables.find(std::string(name));
      if (found == variables.end()) {
        std::string given;
        for (const auto& entry : variables) given += (given.empty() ? "" : ", ") + entry.first;
        return std::unexpected("undefined variable ${" + std::string(name) +
                               "} (variables given: " + (given.empty() ? "none" : given) + ")");
      }
      out += found->second;
      at = end + 1;
    } else {
      out += '$';
      at = dollar + 1;
    }
  }
  out.append(text.substr(at));
  return out;
}

}  // namespace corvane::policy_file
