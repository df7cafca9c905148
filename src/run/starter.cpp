// The starter thread and its queue.
#include "run/starter.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace corvane::detail {

namespace {

// How many of the next attempts to create the starter thread fail (the test seam).
std::atomic<int> g_refused_threads{0};

bool refuse_thread() noexcept {
  int left = g_refused_threads.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_refused_threads.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
      return true;
  }
  return false;
}

}  // namespace

class Starter {
 public:
  // The starter of this process. A forked copy inherits the creator's
  // instance with no thread behind it, and possibly a lock held at the fork:
  // it never touches that one and makes its own.
  static Starter& instance() noexcept {
    static std::atomic<Starter*> current{nullptr};
    for (;;) {
      Starter* found = current.load(std::memory_order_acquire);
      if (found != nullptr && found->owner_ == ::getpid()) return *found;
      // The inherited instance is left alone (never freed): its lock may be held.
      auto* fresh = new Starter();
      if (current.compare_exchange_strong(found, fresh, std::memory_order_acq_rel)) return *fresh;
      delete fresh;
    }
  }

  void submit(const std::shared_ptr<StarterTask>& task) noexcept {
    {
      const std::lock_guard lock(mutex_);
      task->starter_ = this;
      if (thread_started()) {
        task->state_ = StarterTask::State::Queued;
        queue_.push_back(task);
        work_.notify_one();
        return;
      }
      task->state_ = StarterTask::State::Running;
    }
    task->run();
    const std::lock_guard lock(mutex_);
    task->finished();
    task->state_ = StarterTask::State::Done;
  }

  bool settle(StarterTask& task) noexcept {
    std::shared_ptr<StarterTask> withdrawn;  // released after the lock
    std::unique_lock lock(mutex_);
    switch (task.state_) {
      case StarterTask::State::Running:
      case StarterTask::State::Abandoned:
        done_.wait(lock, [&] { return task.state_ == StarterTask::State::Done; });
        return true;
      case StarterTask::State::Done:
        return true;
      case StarterTask::State::New:
      case StarterTask::State::Queued:
      case StarterTask::State::Withdrawn:
        withdrawn = withdraw(task);
        return false;
    }
    return false;
  }

  GaveUp give_up(StarterTask& task) noexcept {
    std::shared_ptr<StarterTask> withdrawn;  // released after the lock
    const std::lock_guard lock(mutex_);
    switch (task.state_) {
      case StarterTask::State::Running:
      case StarterTask::State::Abandoned:
        task.state_ = StarterTask::State::Abandoned;
        return GaveUp::Discarded;
      case StarterTask::State::Done:
        return GaveUp::Done;
      case StarterTask::State::New:
      case StarterTask::State::Queued:
      case StarterTask::State::Withdrawn:
        withdrawn = withdraw(task);
        return GaveUp::Withdrawn;
    }
    return GaveUp::Withdrawn;
  }

  [[nodiscard]] bool owned_here() const noexcept { return owner_ == ::getpid(); }

 private:
  Starter() = default;

  // Starts the thread on first use; false when it cannot be created. A failure
  // is not final: a shortage of threads or memory passes, and the next submit
  // tries again rather than leaving every later start on its caller's thread.
  // Called with the lock held.
  bool thread_started() noexcept {
    if (running_) return true;
    if (refuse_thread()) return false;
    // A start builds the child's argv and environment and lends it a stack of its own.
    running_ = start_quiet_thread(&Starter::main, this, 512 * 1024);
    return running_;
  }

  static void* main(void* arg) {
    auto& self = *static_cast<Starter*>(arg);
    std::unique_lock lock(self.mutex_);
    for (;;) {
      self.work_.wait(lock, [&] { return !self.queue_.empty(); });
      std::shared_ptr<StarterTask> task = std::move(self.queue_.front());
      self.queue_.pop_front();
      task->state_ = StarterTask::State::Running;
      lock.unlock();
      task->run();
      lock.lock();
      if (task->state_ == StarterTask::State::Abandoned) {
        lock.unlock();
        task->discard();
        lock.lock();
      } else {
        task->finished();
      }
      task->state_ = StarterTask::State::Done;
      self.done_.notify_all();
      // The owner may have let go already: the task is then destroyed here, unlocked.
      lock.unlock();
      task.reset();
      lock.lock();
    }
  }

  // Takes a task that has not begun out of the queue for good; the queue's
  // reference comes back so that the caller drops it after unlocking. Called with the lock held.
  std::shared_ptr<StarterTask> withdraw(StarterTask& task) noexcept {
    std::shared_ptr<StarterTask> queued;
    if (task.state_ == StarterTask::State::Queued) {
      auto it =
          std::ranges::find_if(queue_, [&](const auto& entry) { return entry.get() == &task; });
      if (it != queue_.end()) {
        queued = std::move(*it);
        queue_.erase(it);
      }
    }
    task.state_ = StarterTask::State::Withdrawn;
    return queued;
  }

  const pid_t owner_ = ::getpid();
  std::mutex mutex_;
  std::condition_variable work_;  // the queue has a task
  std::condition_variable done_;  // a task became Done
  std::deque<std::shared_ptr<StarterTask>> queue_;
  bool running_ = false;  // the thread exists
};

bool start_quiet_thread(void* (*main)(void*), void* arg, std::size_t stack_bytes) noexcept {
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  // The new thread inherits the mask; this one gets its own back at once.
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_attr_t attr;
  pthread_t thread;
  bool started = false;
  if (::pthread_attr_init(&attr) == 0) {
    ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    ::pthread_attr_setstacksize(&attr, stack_bytes);
    started = ::pthread_create(&thread, &attr, main, arg) == 0;
    ::pthread_attr_destroy(&attr);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

void submit_start(const std::shared_ptr<StarterTask>& task) noexcept {
  Starter::instance().submit(task);
}

void fail_next_starter_threads(int count) noexcept {
  g_refused_threads.store(count, std::memory_order_relaxed);
}

bool settle_start(StarterTask& task) noexcept {
  // A task never submitted, or taken by the starter of the process this one
  // was forked from (which has no thread here), will not run in this process.
  Starter* starter = task.starter_;
  if (starter == nullptr || !starter->owned_here()) return false;
  return starter->settle(task);
}

GaveUp give_up_start(StarterTask& task) noexcept {
  Starter* starter = task.starter_;
  if (starter == nullptr || !starter->owned_here()) return GaveUp::Withdrawn;
  return starter->give_up(task);
}

}  // namespace corvane::detail
