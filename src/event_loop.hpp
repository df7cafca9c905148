// EventLoop: a small single-threaded epoll reactor that executions run on.
// It watches descriptors for readiness and runs timers on the monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>

namespace corvane {

/// A single-threaded reactor: fd readiness callbacks and monotonic timers.
/// Not thread-safe: register, cancel and run from the thread that runs it.
class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using IoCallback = std::move_only_function<void(std::uint32_t epoll_events)>;
  using TimerCallback = std::move_only_function<void()>;
  using TimerId = std::uint64_t;

  /// A new loop, or the OS error text ("<strerror> (os error N)").
  [[nodiscard]] static std::expected<std::unique_ptr<EventLoop>, std::string> create();

  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  ~EventLoop();

  /// Calls `cb` with the ready events whenever `fd` is ready; returns the errno on failure.
  [[nodiscard]] std::expected<void, int> watch(int fd, std::uint32_t events, IoCallback cb);
  /// Stops watching `fd` (safe from inside its own callback).
  void unwatch(int fd) noexcept;

  /// Runs `cb` once, no earlier than `when`.
  TimerId add_timer(Clock::time_point when, TimerCallback cb);
  /// Cancels a pending timer (no effect if it already ran).
  void cancel_timer(TimerId id) noexcept;

  /// Runs until nothing is watched and no timer is pending.
  void run();

  /// The loop running on this thread, or null when the thread is inside none.
  [[nodiscard]] static EventLoop* current() noexcept;

 private:
  EventLoop();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane
