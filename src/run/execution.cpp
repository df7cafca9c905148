#include "run/execution.hpp"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <utility>

#include "base/pidfd.hpp"
#include "run/spawn.hpp"

namespace corvane::detail {

namespace {

// Reads per readiness event before yielding to the other stream: a pipe's
// default capacity, so a busy writer cannot starve its sibling.
constexpr int kReadsPerWake = 8;

// What a run reports when its loop is destroyed before it finished.
constexpr const char* kLoopDestroyed = "interrupted: the event loop was destroyed";

// The wait status that waitpid would have reported for this waitid result.
int wait_status(const siginfo_t& info) noexcept {
  switch (info.si_code) {
    case CLD_EXITED:
      return (info.si_status & 0xff) << 8;
    case CLD_KILLED:
      return info.si_status & 0x7f;
    case CLD_DUMPED:
      return (info.si_status & 0x7f) | 0x80;
    default:
      return 0;
  }
}

// Saturating `now + timeout`: empty when the sum cannot be represented, and the deadline never
// passes.
std::optional<Clock::time_point> deadline_after(Clock::time_point now, Duration timeout) {
  timeout = timeout.normalized();
  using std::chrono::nanoseconds;
  const auto room = std::chrono::duration_cast<nanoseconds>(Clock::time_point::max() - now).count();
  if (room < 0) return std::nullopt;
  const auto room_ns = static_cast<std::uint64_t>(room);
  if (timeout.nanos > room_ns) return std::nullopt;
  if (timeout.secs > (room_ns - timeout.nanos) / 1'000'000'000ULL) return std::nullopt;
  const std::uint64_t total = timeout.secs * 1'000'000'000ULL + timeout.nanos;
  return now +
         std::chrono::duration_cast<Clock::duration>(nanoseconds(static_cast<std::int64_t>(total)));
}

}  // namespace

Execution::~Execution() {
  // Only reached before completion when the loop was destroyed mid-run. A
  // forked copy of the host dropping its copy of the loop must leave the
  // creator's child alone (its pidfd names the same process), and must not
  // run the creator's callback either.
  if (foreign()) return;
  reclaim_start();
  kill_and_reap();
  // Every run's `done` is called exactly once: a run the loop can no longer
  // finish ends as abandoned, with its child already gone.
  if (phase_ != Phase::Done)
    complete(std::unexpected(exec_error::SpawnFailed{kLoopDestroyed}), true);
}

void Execution::begin(const std::shared_ptr<Execution>& self, Clock::time_point started) {
  Execution& ex = *self;
  auto fail = [&ex, &self](int error) {
    ex.stop_watching();
    ex.kill_and_reap();
    post_failure(self, os_error_text(error));
  };
  if (auto r = ex.loop_.watch(ex.pidfd_.get(), EPOLLIN, [self](std::uint32_t) { self->on_exit(); });
      !r) {
    return fail(r.error());
  }
  ex.pidfd_watched_ = true;
  for (Reader* reader : {&ex.out_, &ex.err_}) {
    auto r = ex.loop_.watch(reader->fd.get(), EPOLLIN,
                            [self, reader](std::uint32_t) { self->on_readable(*reader); });
    if (!r) return fail(r.error());
    reader->watched = true;
  }
  if (auto deadline = deadline_after(started, ex.timeout_)) {
    ex.timer_ = ex.loop_.add_timer(*deadline, [self] { self->on_deadline(); });
  }
}

void Execution::begin_in_background(const std::shared_ptr<Execution>& self, PreparedCommand cmd) {
  Execution& ex = *self;
  auto inbox = StartInbox::of(ex.loop_);
  if (!inbox) return post_failure(self, os_error_text(inbox.error()));
  auto job = std::make_shared<StartJob>(std::move(cmd), **inbox, self);
  if (auto r = (*inbox)->enter(); !r) return post_failure(self, os_error_text(r.error()));
  ex.inbox_ = *inbox;
  ex.phase_ = Phase::Starting;
  ex.job_ = job;
  // A start that waits too long (a backlog, or one stuck in the kernel ahead
  // of it) still ends within the time limit.
  if (auto deadline = deadline_after(ex.start_, ex.timeout_)) {
    ex.timer_ = ex.loop_.add_timer(*deadline, [self] { self->on_start_deadline(); });
  }
  detail::submit_start(job);
}

void Execution::post_failure(const std::shared_ptr<Execution>& self, std::string message) {
  self->reaped_ = true;
  self->timer_ = self->loop_.add_timer(
      Clock::time_point::min(), [self, message = std::move(message)]() mutable {
        self->timer_.reset();
        self->complete(std::unexpected(exec_error::SpawnFailed{std::move(message)}));
      });
}

void Execution::cancel() noexcept {
  if (phase_ == Phase::Done || foreign()) return;
  // Completing drops the loop's callbacks, which own this object.
  const std::shared_ptr<Execution> keep = shared_from_this();
  reclaim_start();
  stop_watching();
  if (!reaped_) {
    if (phase_ == Phase::Killing || kill_child() == 0) {
      reap_blocking(pidfd_.get());
      reaped_ = true;
    }
  }
  complete(std::unexpected(exec_error::SpawnFailed{"interrupted"}), true);
}

void Execution::kill_and_reap() noexcept {
  if (reaped_ || !pidfd_) return;
  kill_and_reap_child(pidfd_, group_);
  reaped_ = true;
}

void Execution::on_started() {
  if (phase_ != Phase::Starting || foreign()) return;
  const std::shared_ptr<Execution> keep = shared_from_this();
  std::shared_ptr<StartJob> job = std::move(job_);
  if (timer_) {
    loop_.cancel_timer(*timer_);
    timer_.reset();
  }
  phase_ = Phase::Running;
  if (!detail::settle_start(*job) || !job->result) internal_fault("a finished start has no result");
  leave_inbox(*job);
  auto& started = *job->result;
  if (!started) {
    reaped_ = true;
    complete(std::unexpected(exec_error::SpawnFailed{std::move(started.error())}));
    return;
  }
  adopt(std::move(*started));
  start_ = job->began;
  begin(keep, job->started);
}

void Execution::on_start_deadline() {
  timer_.reset();
  if (phase_ != Phase::Starting || foreign()) return;
  if (detail::give_up_start(*job_) == detail::GaveUp::Done) {
    on_started();  // it has just finished: its own deadline takes over
    return;
  }
  const std::shared_ptr<Execution> keep = shared_from_this();
  leave_inbox(*job_);
  job_.reset();
  phase_ = Phase::Running;
  reaped_ = true;  // no child here
  const Duration elapsed = Duration::from_chrono(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_));
  complete(std::unexpected(exec_error::Timeout{elapsed, timeout_}));
}

void Execution::reclaim_start() noexcept {
  if (!job_) return;
  std::shared_ptr<StartJob> job = std::move(job_);
  phase_ = Phase::Running;
  const bool ran = detail::settle_start(*job);
  leave_inbox(*job);
  if (ran && job->result && *job->result) {
    adopt(std::move(**job->result));
  } else {
    reaped_ = true;  // no child was made
  }
}

void Execution::leave_inbox(StartJob& job) noexcept {
  if (inbox_ != nullptr) std::exchange(inbox_, nullptr)->leave(job);
}

void Execution::adopt(Child child) noexcept {
  pidfd_ = std::move(child.pidfd);
  group_ = child.group;
  sandbox_ = std::move(child.sandbox);
  tmp_ = std::move(child.tmp);
  out_.fd = std::move(child.out);
  err_.fd = std::move(child.err);
  reaped_ = false;
}

void Execution::on_readable(Reader& reader) {
  if (phase_ != Phase::Running || reader.state != Reader::State::Reading) return;
  for (int i = 0; i < kReadsPerWake; ++i) {
    const ssize_t n = ::read(reader.fd.get(), reader.scratch.data(), reader.scratch.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      finish_reader(reader,
                    exec_error::SpawnFailed{std::string(reader.is_stdout ? "stdout read error: "
                                                                         : "stderr read error: ") +
                                            os_error_text(errno)});
      return;
    }
    if (n == 0) {
      finish_reader(reader, std::nullopt);
      return;
    }
    const auto count = static_cast<std::uint64_t>(n);
    const bool over = reader.seen + count > reader.limit;
    // Keep the stream cut exactly at its limit: an error's partial output is
    // then everything the limit allowed. An Output never comes of this run,
    // so the capture still stays within the limit.
    const auto take = static_cast<std::size_t>(over ? reader.limit - reader.seen : count);
    reader.seen += take;
    if (on_chunk_) {
      if (take > 0) {
        // The callback may cancel the run, which drops the loop's hold on it.
        const std::shared_ptr<Execution> keep = shared_from_this();
        on_chunk_(reader.is_stdout ? OutputStream::Stdout : OutputStream::Stderr,
                  std::string_view(reader.scratch.data(), take));
        if (phase_ != Phase::Running) return;
      }
    } else {
      reader.captured.append(reader.scratch.data(), take);
    }
    if (over) {
      ExecError error = reader.is_stdout ? ExecError(exec_error::StdoutLimitExceeded{reader.limit})
                                         : ExecError(exec_error::StderrLimitExceeded{reader.limit});
      if (on_limit_ == OnOutputLimit::Kill) {
        reader.state = Reader::State::Failed;
        begin_kill(std::move(error));
      } else {
        finish_reader(reader, std::move(error));
      }
      return;
    }
    // A short read almost always means the pipe is drained; skip the EAGAIN read.
    if (static_cast<std::size_t>(n) < kReadChunk) return;
  }
}

void Execution::finish_reader(Reader& reader, std::optional<ExecError> error) {
  reader.state = error ? Reader::State::Failed : Reader::State::Ended;
  reader.error = std::move(error);
  if (reader.watched) {
    reader.watched = false;
    loop_.unwatch(reader.fd.get());
  }
  if (out_.state == Reader::State::Reading || err_.state == Reader::State::Reading) return;
  if (out_.error || err_.error) {
    begin_kill(out_.error ? std::move(*out_.error) : std::move(*err_.error));
  } else if (reaped_) {
    finish_normally();
  } else if (has_exited()) {
    // The streams end as the child exits, an instant before the kernel makes
    // the exit waitable: look now instead of waiting for the pidfd's own
    // wake-up, which would cost the host one more pass of its loop.
    on_exit();
  }
  // Otherwise both streams ended with the child still running: wait for its
  // exit, still under the deadline, so no path waits without bound.
}

[[nodiscard]] bool Execution::has_exited() const noexcept {
  siginfo_t info{};
  return wait_pidfd(pidfd_.get(), info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

void Execution::on_exit() {
  siginfo_t info{};
  // A sandbox's background processes end with the command: a PID namespace sees to
  // that itself, a process group is killed here, before the child is reaped and its
  // group id could be taken by another process.
  if (group_ > 0) ::kill(-group_, SIGKILL);
  rusage usage{};
  const int error = sandbox_ ? wait_pidfd(pidfd_.get(), info, WEXITED | WNOHANG, &usage)
                             : wait_pidfd(pidfd_.get(), info, WEXITED | WNOHANG);
  if (error == 0 && info.si_pid == 0) return;  // readable yet not waitable: wait for the next event
  reaped_ = true;
  pidfd_watched_ = false;
  loop_.unwatch(pidfd_.get());
  if (phase_ == Phase::Killing) {
    // After a kill the recorded error is the result; a failed wait is not reported.
    complete(std::unexpected(std::move(*pending_)));
    return;
  }
  if (error == 0) {
    status_ = wait_status(info);
    if (sandbox_) {
      const auto cpu = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
      sandbox_limit_ = sandbox_->limit_breach(info, cpu);
    }
  } else if (auto status = error == ECHILD ? reaped_exit_status(pidfd_.get()) : std::nullopt) {
    // Someone else reaped it (a host that ignores SIGCHLD or waits for every child).
    status_ = *status;
  } else {
    wait_error_ = error;
  }
  if (out_.state == Reader::State::Ended && err_.state == Reader::State::Ended) finish_normally();
}

void Execution::on_deadline() {
  timer_.reset();
  if (phase_ != Phase::Running) return;
  const Duration elapsed = Duration::from_chrono(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_));
  begin_kill(exec_error::Timeout{elapsed, timeout_});
}

void Execution::begin_kill(ExecError error) {
  for (Reader* reader : {&out_, &err_}) {
    if (reader->watched) {
      reader->watched = false;
      loop_.unwatch(reader->fd.get());
    }
  }
  if (timer_) {
    loop_.cancel_timer(*timer_);
    timer_.reset();
  }
  if (!reaped_ && kill_child() == 0) {
    // Without a sandbox, processes the child started are not signalled; only the
    // child itself is. A sandbox's PID namespace ends with the child; its process
    // group is killed with it.
    phase_ = Phase::Killing;
    pending_ = std::move(error);
    return;
  }
  complete(std::unexpected(std::move(error)));
}

void Execution::finish_normally() {
  if (wait_error_) {
    complete(
        std::unexpected(exec_error::SpawnFailed{"wait error: " + os_error_text(*wait_error_)}));
    return;
  }
  complete(Output{std::move(out_.captured), std::move(err_.captured), status_});
}

void Execution::stop_watching() noexcept {
  for (Reader* reader : {&out_, &err_}) {
    if (reader->watched) {
      reader->watched = false;
      loop_.unwatch(reader->fd.get());
    }
  }
  if (pidfd_watched_) {
    pidfd_watched_ = false;
    loop_.unwatch(pidfd_.get());
  }
  if (timer_) {
    loop_.cancel_timer(*timer_);
    timer_.reset();
  }
}

void Execution::complete(ExecResult result, bool interrupted) {
  phase_ = Phase::Done;
  stop_watching();
  if (!reaped_) {
    // Only when a kill could not be sent (a set-uid child of an unprivileged
    // host): reap it if it has exited, else a background reaper owns it from
    // here, so it never stays a zombie and the caller never waits for it.
    siginfo_t info{};
    if (wait_pidfd(pidfd_.get(), info, WEXITED | WNOHANG) == 0 && info.si_pid == 0)
      reap_in_background(std::move(pidfd_));
    reaped_ = true;
  }
  out_.fd.reset();
  err_.fd.reset();
  pidfd_.reset();
  // The sandbox holds descriptors too; a cancelled timer may keep this object a while.
  sandbox_.reset();
  // The caller learns of the end only once the run's temporary directory is gone.
  tmp_.reset();
  RunResult run_result{std::move(result), {}, {}, interrupted};
  if (!run_result.result) {
    run_result.partial_stdout = std::move(out_.captured);
    run_result.partial_stderr = std::move(err_.captured);
  } else {
    run_result.sandbox_limit = std::move(sandbox_limit_);
  }
  Done done = std::move(done_);
  done(std::move(run_result));
}

int Execution::kill_child() noexcept {
  const int rc = sys_pidfd_kill(pidfd_.get());
  if (group_ > 0) ::kill(-group_, SIGKILL);
  return rc;
}

}  // namespace corvane::detail
