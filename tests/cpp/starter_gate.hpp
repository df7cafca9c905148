// A starter task that holds the starter thread until released, shared by the starter tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "run/starter.hpp"

namespace corvane::test {

// Holds the starter thread in its run() until released, so that the tasks
// queued behind it stay queued.
class StarterGate final : public detail::StarterTask {
 public:
  void run() noexcept override {
    entered = true;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return open_; });
  }
  void finished() noexcept override { ++finished_calls; }
  void discard() noexcept override { ++discard_calls; }
  void release() {
    const std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

  std::atomic<bool> entered{false};
  std::atomic<int> finished_calls{0};
  std::atomic<int> discard_calls{0};

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace corvane::test
