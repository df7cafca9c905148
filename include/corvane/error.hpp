// The two error values of the core, Violation (a policy refuses a configuration or
// a request) and ExecError (running a prepared command failed), and their messages.
// The messages are the external interface: callers match them byte for byte.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvane {

/// Whole seconds (unsigned 64-bit, as the Python API allows 2**64-1) plus nanoseconds below one
/// second.
struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;

  [[nodiscard]] static constexpr Duration from_secs(std::uint64_t s) noexcept { return {s, 0}; }
  /// A non-negative chrono duration; negative values clamp to zero.
  [[nodiscard]] static Duration from_chrono(std::chrono::nanoseconds ns) noexcept;
  /// The same length with nanos below one second: whole seconds carried over,
  /// saturating at the largest Duration. Every entry point normalises, since
  /// the fields are public and {1, 1'500'000'000} is a valid aggregate.
  [[nodiscard]] constexpr Duration normalized() const noexcept {
    constexpr std::uint32_t kNanosPerSec = 1'000'000'000;
    constexpr std::uint64_t kMaxSecs = ~std::uint64_t{0};
    const std::uint64_t carry = nanos / kNanosPerSec;
    if (secs > kMaxSecs - carry) return {kMaxSecs, kNanosPerSec - 1};
    return {secs + carry, nanos % kNanosPerSec};
  }
  friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

/// 30s, 1.5s, 250ms, 12µs, 0ns: the unit form, every non-zero fractional digit
/// kept. Total: the value is normalised first.
[[nodiscard]] std::string render(Duration d);

/// The text in double quotes with '"' and '\\' escaped, \t \r \n \0, and \u{hex} for
/// characters that are not printable or that extend a grapheme. Invalid UTF-8
/// is first replaced by U+FFFD, so the result is always valid UTF-8.
[[nodiscard]] std::string escape_quoted(std::string_view text);

/// Kinds of risky binary, recognised by file name (see risky.hpp).
enum class RiskCategory : std::uint8_t { Shell = 0, Interpreter = 1, Spawner = 2, Privilege = 3 };

/// "shell", "interpreter", "spawner" or "privilege".
[[nodiscard]] std::string_view display_name(RiskCategory category) noexcept;

namespace violation {
struct BinNotAbsolute {
  std::string path;
};
struct BinNotFound {
  std::string path;
};
struct BinCanonicalizeFailed {
  std::string path;
  std::string reason;
};
struct BinNotAllowed {
  std::string requested;
  std::string resolved;
};
struct RiskyBinDenied {
  RiskCategory category;
  std::string path;
};
struct BinIsDirectory {
  std::string path;
};
struct BinNotRegularFile {
  std::string path;
};
struct BinNotExecutable {
  std::string path;
};
struct ArgRulesRequired {
  std::string path;
};
struct SubcommandMismatch {
  std::string expected;
  std::optional<std::string> got;
};
struct FlagNotAllowed {
  std::string flag;
};
struct TooManyFlags {
  std::uint64_t max;
  std::uint64_t got;
};
struct TooManyPositionals {
  std::uint64_t max;
  std::uint64_t got;
};
/// Part of the vocabulary only: the environment policy drops forbidden names silently.
struct EnvVarForbidden {
  std::string name;
  std::string_view reason;
};
struct CwdForbidden {
  std::string path;
  std::string reason;
};
}  // namespace violation

/// Why a policy refuses a configuration or a request; the variant order is fixed.
using Violation = std::variant<
    violation::BinNotAbsolute, violation::BinNotFound, violation::BinCanonicalizeFailed,
    violation::BinNotAllowed, violation::RiskyBinDenied, violation::BinIsDirectory,
    violation::BinNotRegularFile, violation::BinNotExecutable, violation::ArgRulesRequired,
    violation::SubcommandMismatch, violation::FlagNotAllowed, violation::TooManyFlags,
    violation::TooManyPositionals, violation::EnvVarForbidden, violation::CwdForbidden>;

namespace exec_error {
struct Timeout {
  Duration elapsed;
  Duration limit;
};
struct StdoutLimitExceeded {
  std::uint64_t limit;
};
struct StderrLimitExceeded {
  std::uint64_t limit;
};
struct SpawnFailed {
  std::string message;
};
/// Part of the vocabulary only: a non-zero exit is reported through Output.
struct ExitCode {
  std::int32_t code;
  std::string detail;
};
}  // namespace exec_error

/// Why running a prepared command failed; the variant order is fixed.
using ExecError =
    std::variant<exec_error::Timeout, exec_error::StdoutLimitExceeded,
                 exec_error::StderrLimitExceeded, exec_error::SpawnFailed, exec_error::ExitCode>;

/// The one-line message of a violation.
[[nodiscard]] std::string to_string(const Violation& v);
/// The one-line message of an execution error.
[[nodiscard]] std::string to_string(const ExecError& e);

/// The errors that are only text. Each is the message itself, a std::string,
/// so code that reads the text keeps working; its type gives it a kind.

/// The system refused a resource ("<strerror> (os error N)"): EventLoop::create().
struct OsError : std::string {
  OsError() = default;
  // Implicit: every site that fails with a text fails with this kind.
  OsError(std::string text)
      : std::string(std::move(text)) {}  // NOLINT(google-explicit-constructor)
};

/// A sandbox that cannot be built as described, or not on this machine: Sandbox::build().
struct SandboxError : std::string {
  SandboxError() = default;
  SandboxError(std::string text)
      : std::string(std::move(text)) {}  // NOLINT(google-explicit-constructor)
};

// One way to read any error of the core, whichever call returned it: kind()
// is a stable name to match on (a variant's alternative, a refusal's kind),
// message() the one line to show. The overloads for Refusal and RuleError
// are in rules.hpp.

/// "BinNotAllowed", "FlagNotAllowed", ...: the alternative's name.
[[nodiscard]] std::string_view kind(const Violation& v) noexcept;
/// "Timeout", "StdoutLimitExceeded", "StderrLimitExceeded", "SpawnFailed", "ExitCode".
[[nodiscard]] std::string_view kind(const ExecError& e) noexcept;
/// "OsError".
[[nodiscard]] std::string_view kind(const OsError& e) noexcept;
/// "SandboxError".
[[nodiscard]] std::string_view kind(const SandboxError& e) noexcept;
/// to_string(v).
[[nodiscard]] std::string message(const Violation& v);
/// to_string(e).
[[nodiscard]] std::string message(const ExecError& e);
/// The text itself.
[[nodiscard]] std::string message(const OsError& e);
/// The text itself.
[[nodiscard]] std::string message(const SandboxError& e);

}  // namespace corvane
