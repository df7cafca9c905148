// EventLoop: a small single-threaded epoll reactor that executions run on.
// It watches descriptors for readiness and runs timers on the monotonic clock.
// Also home of the internal-fault hook that execution shares with it.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "corvane/error.hpp"

namespace corvane {

namespace detail {
class StartInbox;
}  // namespace detail

/// Receives the message of an internal fault: a broken invariant, never an
/// error value. It must not return; it ends the process or unwinds (throws)
/// to the host's own boundary, which turns it into the host's panic.
using FaultHandler = void (*)(const char* message);

/// Installs the process-wide fault handler and returns the previous one;
/// null restores the default, which aborts the process.
FaultHandler set_fault_handler(FaultHandler handler) noexcept;

/// Reports an internal fault through the installed handler; aborts if it returns.
[[noreturn]] void internal_fault(const char* message);

/// What throw_internal_fault throws; what() is the fault's message.
class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A ready-made handler for hosts that unwind to their own boundary: throws InternalFault.
[[noreturn]] void throw_internal_fault(const char* message);

/// A single-threaded reactor: fd readiness callbacks and monotonic timers.
/// Not thread-safe: register, cancel and run from the thread that runs it.
/// Fork-safe: in a forked copy of the process the loop never touches the
/// shared epoll instance (watch fails with EPERM, unwatch and destruction only
/// drop the copies), and executions in it never signal or reap.
/// Destroying the loop destroys every pending callback, and with them whatever
/// they own: an execution in flight kills and reaps its child, then calls its
/// `done` as abandoned (RunResult::interrupted). Such a `done` runs inside the
/// destructor: it must not start new work on this loop.
class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using IoCallback = std::move_only_function<void(std::uint32_t epoll_events)>;
  using TimerCallback = std::move_only_function<void()>;
  using TimerId = std::uint64_t;

  /// A new loop, or the OS error text ("<strerror> (os error N)").
  [[nodiscard]] static std::expected<std::unique_ptr<EventLoop>, OsError> create();

  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  ~EventLoop();

  /// Calls `cb` with the ready events whenever `fd` is ready (level-triggered);
  /// returns the errno on failure. `fd` must not be watched already.
  [[nodiscard]] std::expected<void, int> watch(int fd, std::uint32_t events, IoCallback cb);
  /// Stops watching `fd` (safe from inside its own callback); no effect if not watched.
  void unwatch(int fd) noexcept;

  /// Runs `cb` once, no earlier than `when`. Timers run after the readiness
  /// callbacks of the same wake-up, due ones in order of `when`.
  TimerId add_timer(Clock::time_point when, TimerCallback cb);
  /// Cancels a pending timer (no effect if it already ran).
  void cancel_timer(TimerId id) noexcept;

  /// Runs until nothing is watched and no timer is pending. Re-entering it (or
  /// run_ready) from one of this loop's own callbacks is an internal fault.
  void run();
  /// Like run(), and calls `on_interrupt` on this thread each time a signal
  /// interrupted the wait (epoll_wait returned EINTR), before waiting again,
  /// and at least every kInterruptPoll while it waits: a signal that lands just
  /// before a wait starts interrupts nothing, and would otherwise go unseen.
  void run(std::move_only_function<void()> on_interrupt);

  /// The longest a run(on_interrupt) waits without asking its hook.
  static constexpr std::chrono::milliseconds kInterruptPoll{100};

  // Driving the loop from a host's own reactor: watch fd() for readability,
  // wake at next_timer(), and call run_ready() on either.

  /// The epoll descriptor: readable whenever some watched descriptor is ready.
  [[nodiscard]] int fd() const noexcept;
  /// When the earliest pending timer is due, or nullopt when none is pending.
  [[nodiscard]] std::optional<Clock::time_point> next_timer() const noexcept;
  /// Runs the callbacks that are ready now and the timers that are due, without
  /// blocking. current() is this loop meanwhile; re-entry is refused as for run().
  void run_ready();
  /// True when nothing is watched and no timer is pending.
  [[nodiscard]] bool idle() const noexcept;

  /// The loop running on this thread, or null when the thread is inside none.
  [[nodiscard]] static EventLoop* current() noexcept;

  /// Where the starter thread hands this loop's finished starts back (see
  /// run/start_job.hpp): empty until the first such start, then kept until the
  /// loop goes, after every callback (and so every run) is destroyed.
  [[nodiscard]] std::shared_ptr<detail::StartInbox>& start_inbox() noexcept;

 private:
  EventLoop();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane
