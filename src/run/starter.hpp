// The starter thread: one thread per process that runs start tasks, so that a
// loop's thread that hands its starts over never waits for the kernel to
// create a child. A vfork-style start suspends the thread that calls it until
// the child has exec'd, which on a loaded machine takes milliseconds; here
// only the starter waits, and the loop keeps serving its other runs.
//
// A task goes through Queued, Running and Done, in that order. The owner
// learns that it is Done from the task's finished() (which typically wakes
// the owner's loop), and reads the task's results only after settle_start()
// returned true: the starter's lock orders those writes before the owner's
// reads. A task may be destroyed on the starter thread, when the owner let go
// of it first, so it must own nothing that only one thread may release.
#pragma once

#include <cstddef>
#include <memory>

namespace corvane::detail {

class Starter;
enum class GaveUp : unsigned char;

/// One piece of work for the starter thread. Owned by shared_ptr: the queue
/// holds one reference and the owner another.
class StarterTask {
 public:
  StarterTask() = default;
  StarterTask(const StarterTask&) = delete;
  StarterTask& operator=(const StarterTask&) = delete;
  virtual ~StarterTask() = default;

  /// The work itself: on the starter thread with every signal blocked, or on
  /// the submitting thread when no starter thread could be created.
  virtual void run() noexcept = 0;
  /// Called once after run(), under the starter's lock and before
  /// settle_start() can report the task done; it only wakes the owner (a write
  /// to an eventfd, say) and never calls back into the starter.
  virtual void finished() noexcept = 0;
  /// Called instead of finished() for a task its owner gave up on while it
  /// ran (give_up_start): undoes what run() made, killing and reaping a child
  /// it started. On the starter thread, outside the lock.
  virtual void discard() noexcept = 0;

 private:
  friend class Starter;
  friend bool settle_start(StarterTask& task) noexcept;
  friend GaveUp give_up_start(StarterTask& task) noexcept;
  enum class State : unsigned char { New, Queued, Running, Abandoned, Done, Withdrawn };
  State state_ = State::New;
  Starter* starter_ = nullptr;  // the process's starter that took the task
};

/// Queues `task` for the starter thread, which is started on first use (and
/// afresh in a forked copy of the process). When the thread cannot be
/// created, the task runs here and now instead: the start still happens, only
/// on the caller's thread; the next submit tries to create the thread again.
void submit_start(const std::shared_ptr<StarterTask>& task) noexcept;

/// Test seam: the next `count` attempts to create the starter thread fail, as
/// they do when the system has no thread to give.
void fail_next_starter_threads(int count) noexcept;

/// Makes sure `task` neither runs nor will: a queued task is withdrawn, and a
/// running one is waited for (a start is short and bounded). Returns true
/// when the task ran to its end, so its results are there to read; false
/// when it was withdrawn before it began.
[[nodiscard]] bool settle_start(StarterTask& task) noexcept;

/// What became of a task its owner gave up on.
enum class GaveUp : unsigned char {
  Withdrawn,  ///< it had not begun and never will
  Discarded,  ///< it is running; the starter discards its results when it ends
  Done,       ///< it had ended: its results are there to read, as after settle_start()
};

/// Lets go of `task` without waiting for it, for an owner that must not wait
/// even for a start under way (one stuck in the kernel, say).
[[nodiscard]] GaveUp give_up_start(StarterTask& task) noexcept;

/// Starts a detached thread running main(arg) with every signal blocked, so
/// that no signal meant for the host ever lands on it. False when it cannot be created.
[[nodiscard]] bool start_quiet_thread(void* (*main)(void*), void* arg,
                                      std::size_t stack_bytes) noexcept;

}  // namespace corvane::detail
