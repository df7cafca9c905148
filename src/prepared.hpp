// PreparedCommand: a request that passed every check of a policy, rewritten
// into exactly what will run. The only value that can start a process.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

#include "error.hpp"
#include "output.hpp"
#include "path.hpp"
#include "request.hpp"

namespace corvane {

class EventLoop;

/// An Output, or the reason the execution did not run to its normal end.
using ExecResult = std::expected<Output, ExecError>;

/// A validated, fully resolved command. Immutable; executing consumes it, and
/// copies are deep. Only ProcPolicy::prepare makes one.
class PreparedCommand {
 public:
  /// The canonical binary path; the child's argv[0].
  [[nodiscard]] const Path& bin() const noexcept { return bin_; }
  /// The validated arguments after the program name (with an inserted "--").
  [[nodiscard]] const std::vector<std::string>& argv() const noexcept { return argv_; }
  /// The directory the child starts in.
  [[nodiscard]] const Path& cwd() const noexcept { return cwd_; }
  /// The child's complete environment.
  [[nodiscard]] const EnvMap& env() const noexcept { return env_; }
  [[nodiscard]] std::uint64_t max_stdout() const noexcept { return max_stdout_; }
  [[nodiscard]] std::uint64_t max_stderr() const noexcept { return max_stderr_; }
  [[nodiscard]] Duration timeout() const noexcept { return timeout_; }

  /// Starts the child on `loop` and calls `done` exactly once, from the loop's
  /// thread, with the Output or the ExecError. Never blocks.
  void spawn(EventLoop& loop, std::move_only_function<void(ExecResult)> done) &&;

  /// Runs to completion and returns the result: on a private loop, or on a
  /// worker thread with its own loop when this thread is already inside one.
  [[nodiscard]] ExecResult spawn_sync() &&;

  friend bool operator==(const PreparedCommand&, const PreparedCommand&) = default;

 private:
  friend class ProcPolicy;
  friend struct PreparedCommandTestPeer;  // lets tests build commands directly

  PreparedCommand(Path bin, std::vector<std::string> argv, Path cwd, EnvMap env,
                  std::uint64_t max_stdout, std::uint64_t max_stderr, Duration timeout)
      : bin_(std::move(bin)), argv_(std::move(argv)), cwd_(std::move(cwd)), env_(std::move(env)),
        max_stdout_(max_stdout), max_stderr_(max_stderr), timeout_(timeout) {}

  Path bin_;
  std::vector<std::string> argv_;
  Path cwd_;
  EnvMap env_;
  std::uint64_t max_stdout_;
  std::uint64_t max_stderr_;
  Duration timeout_;
};

}  // namespace corvane
