// PreparedCommand's runs on a loop and its per-call controls. How a command starts
// is in command_start.cpp, the run in flight in execution.cpp, the blocking entry
// point in blocking_run.cpp.
#include "corvane/prepared.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "corvane/event_loop.hpp"
#include "run/command_start.hpp"
#include "run/execution.hpp"

namespace corvane {

using detail::Clock;
using detail::Execution;

void RunHandle::cancel() noexcept {
  if (auto execution = execution_.lock()) execution->cancel();
}

bool RunHandle::finished() const noexcept {
  auto execution = execution_.lock();
  return !execution || execution->finished();
}

RunHandle PreparedCommand::spawn(EventLoop& loop, RunOptions options,
                                 std::move_only_function<void(RunResult)> done) && {
  if (options.start_on == StartOn::Starter) {
    auto execution = std::make_shared<Execution>(loop, std::move(done), Clock::now(), timeout_,
                                                 max_stdout_, max_stderr_, options.on_output_limit,
                                                 Child{UniqueFd(), UniqueFd(), UniqueFd()});
    if (options.on_chunk) execution->stream_to(std::move(options.on_chunk));
    Execution::begin_in_background(execution, std::move(*this));
    return RunHandle(execution);
  }
  const Clock::time_point start = Clock::now();
  auto child = start_child(*this);
  const bool started = child.has_value();
  auto execution = std::make_shared<Execution>(
      loop, std::move(done), start, timeout_, max_stdout_, max_stderr_, options.on_output_limit,
      started ? std::move(*child) : Child{UniqueFd(), UniqueFd(), UniqueFd()});
  if (options.on_chunk) execution->stream_to(std::move(options.on_chunk));
  if (started) {
    Execution::begin(execution, Clock::now());
  } else {
    Execution::post_failure(execution, std::move(child.error()));
  }
  return RunHandle(execution);
}

std::expected<PreparedCommand, std::string> PreparedCommand::with_sandbox(Sandbox sandbox) && {
  if (sandbox_ && !(*sandbox_ == sandbox)) {
    return std::unexpected(
        "the command carries the sandbox of the policy that checked it and runs in no other");
  }
  sandbox_ = std::move(sandbox);
  return std::move(*this);
}

std::uint64_t max_stdin_capacity() noexcept {
  constexpr std::uint64_t kDefault = 1'048'576;  // the kernel's default pipe-max-size
  const int fd = ::open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kDefault;
  char text[32] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  std::uint64_t value = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  // F_SETPIPE_SZ takes an int.
  return value == 0 ? kDefault : std::min<std::uint64_t>(value, 1U << 30);
}

std::expected<PreparedCommand, CallOptionError> PreparedCommand::with_timeout(Duration limit) && {
  limit = limit.normalized();
  if (limit == Duration{}) {
    return std::unexpected(CallOptionError{CallOptionError::Kind::Invalid, "InvalidTimeout",
                                           "timeout must be above zero"});
  }
  if (limit > timeout_) {
    return std::unexpected(CallOptionError{
        CallOptionError::Kind::OverLimit, "TimeoutAboveLimit",
        "timeout of " + render(limit) + " is above the policy's limit of " + render(timeout_)});
  }
  timeout_ = limit;
  return std::move(*this);
}

std::expected<PreparedCommand, CallOptionError> PreparedCommand::with_stdin(std::string bytes) && {
  if (!max_stdin_) {
    return std::unexpected(CallOptionError{CallOptionError::Kind::OverLimit, "StdinNotAllowed",
                                           "stdin not allowed: the policy sets no max_stdin"});
  }
  if (bytes.size() > *max_stdin_) {
    return std::unexpected(CallOptionError{CallOptionError::Kind::OverLimit, "StdinAboveLimit",
                                           "stdin of " + std::to_string(bytes.size()) +
                                               " bytes is above the policy's max_stdin of " +
                                               std::to_string(*max_stdin_) + " bytes"});
  }
  stdin_ = std::move(bytes);
  return std::move(*this);
}

void PreparedCommand::spawn(EventLoop& loop, std::move_only_function<void(ExecResult)> done) && {
  (void)std::move(*this).spawn(loop, RunOptions{}, [done = std::move(done)](RunResult r) mutable {
    done(std::move(r.result));
  });
}

}  // namespace corvane
