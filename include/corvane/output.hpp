// Output: what one execution that ran to its normal end produced.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

/// Captured bytes of both streams and the wait status of the reaped child.
struct Output {
  std::string stdout;       // never longer than the command's max_stdout
  std::string stderr;       // never longer than the command's max_stderr
  std::int32_t status = 0;  // the wait status as waitid/waitpid report it

  /// Bits 8..15 of status when the child exited normally; absent after a signal.
  [[nodiscard]] std::optional<std::int32_t> exit_code() const noexcept;
  /// True exactly when status is 0.
  [[nodiscard]] bool success() const noexcept { return status == 0; }
  /// stdout as lossy UTF-8 (each invalid sequence becomes U+FFFD).
  [[nodiscard]] std::string stdout_string() const;
  /// stderr as lossy UTF-8.
  [[nodiscard]] std::string stderr_string() const;
};

}  // namespace corvane
