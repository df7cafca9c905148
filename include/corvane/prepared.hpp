// PreparedCommand: a request that passed every check of a policy, rewritten
// into exactly what will run. The only value that can start a process.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/error.hpp"
#include "corvane/output.hpp"
#include "corvane/path.hpp"
#include "corvane/request.hpp"
#include "corvane/sandbox.hpp"

namespace corvane {

class EventLoop;

/// An Output, or the reason the execution did not run to its normal end.
using ExecResult = std::expected<Output, ExecError>;

/// Why a per-call control was not applied.
struct CallOptionError {
  enum class Kind : std::uint8_t {
    Invalid,    ///< not a value the control can take (a zero time limit)
    OverLimit,  ///< more than the policy allows: a refusal of the call
  };
  Kind kind;
  std::string name;  ///< the refusal's kind: "TimeoutAboveLimit", "StdinNotAllowed", ...
  std::string message;
};

/// The most bytes one call's stdin may hold: what a pipe can be made to take
/// (/proc/sys/fs/pipe-max-size, 1 MiB when it cannot be read). stdin is written
/// whole into the pipe before the child starts, so no run ever waits to feed it.
[[nodiscard]] std::uint64_t max_stdin_capacity() noexcept;

/// What a run does when a stream breaks its limit.
enum class OnOutputLimit : std::uint8_t {
  Wait,  ///< default: that stream stops being read; the error is reported once both streams ended
  Kill,  ///< kill the child at once and report the limit error without waiting for the other stream
};

/// The stream a chunk of a run's output was read from.
enum class OutputStream : std::uint8_t { Stdout, Stderr };

/// Where a run's child is started.
enum class StartOn : std::uint8_t {
  Caller,  ///< default: inside spawn(), whose thread waits until the child has exec'd
  /// On the process's starter thread: spawn() returns at once and the loop's
  /// thread never waits for the kernel to create a child, however loaded the
  /// machine; the run joins the loop once its child has started. A start
  /// waiting there holds no descriptor (the loop has one eventfd for them all).
  Starter,
};

/// Opt-in extensions of one run; a default-constructed value is the plain behaviour.
struct RunOptions {
  OnOutputLimit on_output_limit = OnOutputLimit::Wait;
  /// With StartOn::Starter, a failed start is still delivered through `done`;
  /// the time limit counts from the moment the child was created, and a start
  /// not made within the limit of spawn() (behind one stuck in the kernel, say)
  /// is given up as a Timeout, its child killed and reaped by the starter should
  /// it come; RunHandle::cancel or destroying the loop withdraws a start that
  /// has not begun, or waits for one under way (it is short) and kills and reaps its child.
  StartOn start_on = StartOn::Caller;
  /// Blocking runs only: called on the thread that drives the run each time a
  /// signal interrupted its wait (epoll_wait returned EINTR), once right
  /// after the child started, before the first wait (a signal that arrived
  /// during the start interrupted no wait), and at least every
  /// EventLoop::kInterruptPoll while the run waits (a signal that landed just
  /// before a wait began interrupted none either). Returning true
  /// abandons the run: the child is killed and reaped, and the RunResult has
  /// `interrupted` set. A run moved to a worker thread (run() called inside a
  /// loop) calls it from that worker.
  std::move_only_function<bool()> on_signal;
  /// Output as it comes: called on the loop's thread with each chunk as it is
  /// read, in the order read. The chunks are delivered instead of captured (the
  /// Output's streams and an error's partial output stay empty, so a long run
  /// holds no copy of what it wrote); the limits still count every byte, and the
  /// chunk that crosses one is cut exactly at it before the limit's error. It
  /// may cancel the run (RunHandle::cancel); no chunk follows the cancel.
  std::move_only_function<void(OutputStream, std::string_view)> on_chunk;
};

/// The result of a run with options: the Output or ExecError, plus what was captured before an
/// error.
struct RunResult {
  ExecResult result;
  std::string
      partial_stdout;  ///< bytes captured before an error; empty when `result` holds an Output
  std::string partial_stderr;  ///< likewise for stderr
  /// Abandoned by on_signal or RunHandle::cancel; `result` then holds
  /// SpawnFailed{"interrupted"} and must not be shown as a real failure. Also
  /// set when the loop was destroyed with the run in flight (its child killed
  /// and reaped first): SpawnFailed{"interrupted: the event loop was destroyed"}.
  bool interrupted = false;
  /// Under a sandbox: the limit the command broke (CPU time, file size) when its end
  /// shows one, e.g. "CPU time limit of 60 s exceeded"; `result` then holds the Output
  /// with the killing signal. Empty without a sandbox.
  std::optional<std::string> sandbox_limit{};
};

namespace detail {
class Execution;
struct PreparedCommandAccess;
}  // namespace detail

/// Lets the owner of an asynchronous run stop it early. Copyable, cheap; outlives the run safely.
class RunHandle {
 public:
  /// A handle to no run: cancel() does nothing and finished() is true.
  RunHandle() noexcept = default;
  /// Kills the child, reaps it, and completes the run at once (its `done` is
  /// called before cancel returns) with `interrupted` set. No effect once the
  /// run completed. Call on the loop's thread.
  void cancel() noexcept;
  /// True once `done` has been called (or the loop was destroyed with the run in it).
  [[nodiscard]] bool finished() const noexcept;

 private:
  friend class PreparedCommand;
  explicit RunHandle(std::weak_ptr<detail::Execution> execution) noexcept
      : execution_(std::move(execution)) {}
  std::weak_ptr<detail::Execution> execution_;
};

/// A new loop to run commands on, or the SpawnFailed that a run reports when
/// none can be made (no descriptor left, say): what spawn_sync() fails with then.
[[nodiscard]] std::expected<std::unique_ptr<EventLoop>, ExecError> create_run_loop();

/// A validated, fully resolved command. Immutable; executing consumes it, and
/// copies are deep. Only ProcPolicy::prepare makes one.
class PreparedCommand {
 public:
  /// The canonical binary path: the file that is executed.
  [[nodiscard]] const Path& bin() const noexcept { return bin_; }
  /// The child's argv[0]: bin(), unless the policy runs the binary as the path
  /// it was allowed under (BinaryOptions::argv0).
  [[nodiscard]] const Path& argv0() const noexcept { return argv0_ ? *argv0_ : bin_; }
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

  /// Like spawn(loop, done), with options; `done` receives a RunResult.
  RunHandle spawn(EventLoop& loop, RunOptions options,
                  std::move_only_function<void(RunResult)> done) &&;

  /// Blocking run with options: private loop, or a worker thread when called
  /// inside a loop. Takes no lock, touches no host state: a host may call it
  /// with its own locks released.
  [[nodiscard]] RunResult run(RunOptions options) &&;

  /// The same command, run inside `sandbox` however it is run (spawn, spawn_sync, run):
  /// opt-in, and without one every run is exactly as before. A command that already
  /// carries a different sandbox (the one of the policy that checked it) is refused:
  /// it runs in that one only, so no caller can swap a policy's sandbox for a weaker one.
  [[nodiscard]] std::expected<PreparedCommand, std::string> with_sandbox(Sandbox sandbox) &&;
  /// Per-call controls, opt-in: without them a run is exactly as before (the
  /// policy's time limit, stdin on /dev/null).
  ///
  /// The same command under a shorter time limit. Only lowers: a limit above
  /// the one the policy gave it is refused (OverLimit), and zero is Invalid.
  [[nodiscard]] std::expected<PreparedCommand, CallOptionError> with_timeout(Duration limit) &&;
  /// The same command with `bytes` on its standard input instead of /dev/null,
  /// all of it written before the child starts (it reads EOF after them).
  /// Refused (OverLimit) above the policy's max_stdin, and whenever the policy
  /// set none.
  [[nodiscard]] std::expected<PreparedCommand, CallOptionError> with_stdin(std::string bytes) &&;
  /// The bytes given to with_stdin, if any.
  [[nodiscard]] const std::optional<std::string>& stdin_bytes() const noexcept { return stdin_; }
  /// The most stdin the policy lets a call give; empty: none may be given.
  [[nodiscard]] std::optional<std::uint64_t> max_stdin() const noexcept { return max_stdin_; }

  /// The sandbox every run of this command applies, if any.
  [[nodiscard]] const std::optional<Sandbox>& sandbox() const noexcept { return sandbox_; }

  friend bool operator==(const PreparedCommand&, const PreparedCommand&) = default;

 private:
  friend class ProcPolicy;
  friend struct detail::PreparedCommandAccess;  // builds commands without a policy (tests)

  PreparedCommand(Path bin, std::vector<std::string> argv, Path cwd, EnvMap env,
                  std::uint64_t max_stdout, std::uint64_t max_stderr, Duration timeout,
                  std::optional<std::uint64_t> max_stdin = std::nullopt)
      : bin_(std::move(bin)),
        argv_(std::move(argv)),
        cwd_(std::move(cwd)),
        env_(std::move(env)),
        max_stdout_(max_stdout),
        max_stderr_(max_stderr),
        timeout_(timeout),
        max_stdin_(max_stdin) {}

  Path bin_;
  std::vector<std::string> argv_;
  Path cwd_;
  EnvMap env_;
  std::uint64_t max_stdout_;
  std::uint64_t max_stderr_;
  Duration timeout_;
  std::optional<Sandbox> sandbox_;
  std::optional<std::uint64_t> max_stdin_;  // set by the policy that checked it
  std::optional<std::string> stdin_;
  std::optional<Path> argv0_;  // set by check() for a binary run as its allowed path
};

}  // namespace corvane
