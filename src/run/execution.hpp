// The execution state machine: one run in flight on an EventLoop, from its start
// (at once, or through the starter thread) to the single call of its `done`,
// draining both pipes under their limits and the deadline on the way.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.hpp"
#include "corvane/event_loop.hpp"
#include "corvane/prepared.hpp"
#include "run/command_start.hpp"
#include "run/start_job.hpp"

namespace corvane::detail {

inline constexpr std::size_t kReadChunk = 8192;

// One execution in flight. Owned by the loop callbacks that refer to it, so a
// loop destroyed mid-run destroys it, and its destructor kills and reaps. A
// RunHandle only observes it (weakly).
class Execution : public std::enable_shared_from_this<Execution> {
 public:
  using Done = std::move_only_function<void(RunResult)>;

  Execution(EventLoop& loop, Done done, Clock::time_point start, Duration timeout,
            std::uint64_t max_stdout, std::uint64_t max_stderr, OnOutputLimit on_limit, Child child)
      : loop_(loop),
        done_(std::move(done)),
        start_(start),
        timeout_(timeout.normalized()),
        on_limit_(on_limit),
        pidfd_(std::move(child.pidfd)),
        group_(child.group),
        sandbox_(std::move(child.sandbox)),
        tmp_(std::move(child.tmp)),
        out_(std::move(child.out), max_stdout, true),
        err_(std::move(child.err), max_stderr, false) {}

  Execution(const Execution&) = delete;
  Execution& operator=(const Execution&) = delete;

  ~Execution();

  // Registers the three descriptors and arms the deadline, `timeout` after
  // `started`. On failure the child is killed and reaped, and the OS error is
  // delivered as the result.
  static void begin(const std::shared_ptr<Execution>& self, Clock::time_point started);

  // Hands the start to the starter thread; the run joins the loop in on_started().
  static void begin_in_background(const std::shared_ptr<Execution>& self, PreparedCommand cmd);

  // Delivers SpawnFailed{message} from the loop's thread on its next pass,
  // never from inside spawn(); a cancel before then delivers the interruption instead.
  static void post_failure(const std::shared_ptr<Execution>& self, std::string message);

  // Kills and reaps the child and completes at once as interrupted.
  void cancel() noexcept;

  [[nodiscard]] bool finished() const noexcept { return phase_ == Phase::Done; }

  // Chunks go to `on_chunk` instead of the capture (RunOptions::on_chunk); set before begin.
  void stream_to(std::move_only_function<void(OutputStream, std::string_view)> on_chunk) {
    on_chunk_ = std::move(on_chunk);
  }

 private:
  friend class StartInbox;  // hands back a finished start through on_started()
  void kill_and_reap() noexcept;
  // The starter has finished this run's start: take its child, or deliver its failure.
  void on_started();
  // The time limit passed with the start still with the starter: give it up
  // without waiting (the starter kills and reaps a child it makes after all).
  void on_start_deadline();
  // A start still with the starter thread is withdrawn if it has not begun;
  // otherwise it is waited for, and its child taken over, so that the caller
  // kills and reaps it like any other.
  void reclaim_start() noexcept;
  // Only once the starter is past posting the job (the start settled or given up).
  void leave_inbox(StartJob& job) noexcept;
  void adopt(Child child) noexcept;

  struct Reader {
    Reader(UniqueFd pipe, std::uint64_t max, bool out) noexcept
        : fd(std::move(pipe)), limit(max), is_stdout(out) {}

    UniqueFd fd;
    std::uint64_t limit;
    bool is_stdout;
    bool watched = false;
    enum class State : std::uint8_t { Reading, Ended, Failed } state = State::Reading;
    std::optional<ExecError> error;
    std::uint64_t seen = 0;  // bytes read within the limit, captured or streamed
    std::string captured;
    std::array<char, kReadChunk> scratch{};
  };

  enum class Phase : std::uint8_t { Starting, Running, Killing, Done };

  void on_readable(Reader& reader);
  // A finished reader stops reading, but its pipe stays open until completion:
  // a writer past its limit blocks instead of dying of SIGPIPE.
  void finish_reader(Reader& reader, std::optional<ExecError> error);
  // True when the child has exited and is waiting to be reaped; reaps nothing.
  [[nodiscard]] bool has_exited() const noexcept;
  void on_exit();
  void on_deadline();
  // Kill, and complete with `error` once the child is reaped (at once if the kill was not sent).
  void begin_kill(ExecError error);
  void finish_normally();
  void stop_watching() noexcept;
  void complete(ExecResult result, bool interrupted = false);
  // SIGKILL to the child and, under a sandbox's process group, to its group; 0 when
  // the child was signalled.
  int kill_child() noexcept;

  // True in a forked copy of the process that started the child.
  [[nodiscard]] bool foreign() const noexcept { return ::getpid() != owner_; }

  pid_t owner_ = ::getpid();
  EventLoop& loop_;
  Done done_;
  Clock::time_point start_;
  Duration timeout_;
  OnOutputLimit on_limit_;
  std::move_only_function<void(OutputStream, std::string_view)> on_chunk_;
  UniqueFd pidfd_;
  pid_t group_;
  std::optional<Sandbox> sandbox_;
  std::optional<PrivateTmp> tmp_;  // removed once the child is reaped, before `done`
  std::optional<std::string> sandbox_limit_;
  bool pidfd_watched_ = false;
  bool reaped_ = false;
  int status_ = 0;
  std::optional<int> wait_error_;
  Reader out_;
  Reader err_;
  std::optional<EventLoop::TimerId> timer_;
  Phase phase_ = Phase::Running;
  std::optional<ExecError> pending_;
  std::shared_ptr<StartJob> job_;  // while the starter thread has the start
  StartInbox* inbox_ = nullptr;    // where it comes back meanwhile
};

}  // namespace corvane::detail
