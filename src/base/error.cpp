// Messages of Violation and ExecError, and the duration and escaped-text
// renderings they use. Every text here is matched by callers byte for byte.
#include "corvane/error.hpp"

#include <cstdio>
#include <iterator>

#include "base/unicode_tables.hpp"
#include "corvane/path.hpp"

namespace corvane {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

// `value` as `width` digits with trailing zeros removed (value is non-zero).
std::string fraction(std::uint64_t value, int width) {
  std::string digits = std::to_string(value);
  digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
  digits.erase(digits.find_last_not_of('0') + 1);
  return digits;
}

std::string with_fraction(std::uint64_t whole, std::uint64_t rest, int width,
                          std::string_view unit) {
  std::string out = std::to_string(whole);
  if (rest != 0) {
    out += '.';
    out += fraction(rest, width);
  }
  out += unit;
  return out;
}

// Decodes one code point from valid UTF-8 at s[i], advancing i.
char32_t decode(std::string_view s, std::size_t& i) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
  char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (int k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += static_cast<std::size_t>(len);
  return c;
}

}  // namespace

Duration Duration::from_chrono(std::chrono::nanoseconds ns) noexcept {
  if (ns.count() <= 0) return {};
  const auto count = static_cast<std::uint64_t>(ns.count());
  return {count / 1'000'000'000u, static_cast<std::uint32_t>(count % 1'000'000'000u)};
}

std::string render(Duration d) {
  d = d.normalized();
  if (d.secs > 0) return with_fraction(d.secs, d.nanos, 9, "s");
  if (d.nanos >= 1'000'000) return with_fraction(d.nanos / 1'000'000, d.nanos % 1'000'000, 6, "ms");
  if (d.nanos >= 1'000) return with_fraction(d.nanos / 1'000, d.nanos % 1'000, 3, "\u00B5s");
  return std::to_string(d.nanos) + "ns";
}

std::string escape_quoted(std::string_view text) {
  const std::string valid = lossy_utf8(text);
  std::string out;
  out.reserve(valid.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < valid.size()) {
    const std::size_t start = i;
    const char32_t c = decode(valid, i);
    switch (c) {
      case U'"':
        out += "\\\"";
        continue;
      case U'\\':
        out += "\\\\";
        continue;
      case U'\t':
        out += "\\t";
        continue;
      case U'\r':
        out += "\\r";
        continue;
      case U'\n':
        out += "\\n";
        continue;
      case U'\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (needs_unicode_escape(c)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    } else {
      out.append(valid, start, i - start);
    }
  }
  out += '"';
  return out;
}

std::string_view display_name(RiskCategory category) noexcept {
  switch (category) {
    case RiskCategory::Shell:
      return "shell";
    case RiskCategory::Interpreter:
      return "interpreter";
    case RiskCategory::Spawner:
      return "spawner";
    case RiskCategory::Privilege:
      return "privilege";
  }
  return "unknown";
}

std::string to_string(const Violation& v) {
  using namespace violation;
  return std::visit(
      Overloaded{
          [](const BinNotAbsolute& e) { return "binary path must be absolute: " + e.path; },
          [](const BinNotFound& e) { return "binary not found: " + e.path; },
          [](const BinCanonicalizeFailed& e) {
            return "failed to canonicalize binary path " + e.path + ": " + e.reason;
          },
          [](const BinNotAllowed& e) {
            return "binary not allowed: " + e.requested + " (resolved to " + e.resolved + ")";
          },
          [](const RiskyBinDenied& e) {
            return "risky binary denied (" + std::string(display_name(e.category)) + "): " + e.path;
          },
          [](const BinIsDirectory& e) { return "binary path is a directory: " + e.path; },
          [](const BinNotRegularFile& e) { return "binary is not a regular file: " + e.path; },
          [](const BinNotExecutable& e) { return "binary is not executable: " + e.path; },
          [](const ArgRulesRequired& e) { return "argument rules required for binary: " + e.path; },
          [](const SubcommandMismatch& e) {
            return "subcommand mismatch: expected " + e.expected + ", got " +
                   (e.got ? "Some(" + escape_quoted(*e.got) + ")" : std::string("None"));
          },
          [](const FlagNotAllowed& e) { return "flag not allowed: " + e.flag; },
          [](const TooManyFlags& e) {
            return "too many flags: max " + std::to_string(e.max) + ", got " +
                   std::to_string(e.got);
          },
          [](const TooManyPositionals& e) {
            return "too many positional arguments: max " + std::to_string(e.max) + ", got " +
                   std::to_string(e.got);
          },
          [](const EnvVarForbidden& e) {
            return "environment variable forbidden: " + e.name + " (" + std::string(e.reason) + ")";
          },
          [](const CwdForbidden& e) {
            return "working directory forbidden: " + e.path + " (" + e.reason + ")";
          },
      },
      v);
}

std::string_view kind(const Violation& v) noexcept {
  static constexpr std::string_view names[] = {
      "BinNotAbsolute",     "BinNotFound",        "BinCanonicalizeFailed", "BinNotAllowed",
      "RiskyBinDenied",     "BinIsDirectory",     "BinNotRegularFile",     "BinNotExecutable",
      "ArgRulesRequired",   "SubcommandMismatch", "FlagNotAllowed",        "TooManyFlags",
      "TooManyPositionals", "EnvVarForbidden",    "CwdForbidden"};
  static_assert(std::size(names) == std::variant_size_v<Violation>);
  return names[v.index()];
}

std::string_view kind(const ExecError& e) noexcept {
  static constexpr std::string_view names[] = {"Timeout", "StdoutLimitExceeded",
                                               "StderrLimitExceeded", "SpawnFailed", "ExitCode"};
  static_assert(std::size(names) == std::variant_size_v<ExecError>);
  return names[e.index()];
}

std::string_view kind(const OsError&) noexcept {
  return "OsError";
}
std::string_view kind(const SandboxError&) noexcept {
  return "SandboxError";
}
std::string message(const Violation& v) {
  return to_string(v);
}
std::string message(const ExecError& e) {
  return to_string(e);
}
std::string message(const OsError& e) {
  return e;
}
std::string message(const SandboxError& e) {
  return e;
}

std::string to_string(const ExecError& e) {
  using namespace exec_error;
  return std::visit(
      Overloaded{
          [](const Timeout& t) {
            return "process timed out after " + render(t.elapsed) + " (limit: " + render(t.limit) +
                   ")";
          },
          [](const StdoutLimitExceeded& l) {
            return "stdout limit exceeded: " + std::to_string(l.limit) + " bytes";
          },
          [](const StderrLimitExceeded& l) {
            return "stderr limit exceeded: " + std::to_string(l.limit) + " bytes";
          },
          [](const SpawnFailed& s) { return "failed to spawn process: " + s.message; },
          [](const ExitCode& c) { return "process exited with code " + std::to_string(c.code); },
      },
      e);
}

}  // namespace corvane
