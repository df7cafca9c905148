// The starter job: a start handed to the starter thread (starter.hpp), and the
// inbox through which one loop gets its finished starts back.
#pragma once

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/unique_fd.hpp"
#include "corvane/event_loop.hpp"
#include "corvane/prepared.hpp"
#include "run/command_start.hpp"
#include "run/starter.hpp"

namespace corvane::detail {

class Execution;
class StartInbox;

using Clock = EventLoop::Clock;

// A start handed to the starter thread: the command goes in, the started child
// (or the SpawnFailed text) comes out, and the job is posted to its loop's
// StartInbox once it has. Plain memory otherwise: it may be destroyed on either thread.
class StartJob final : public detail::StarterTask {
 public:
  StartJob(PreparedCommand cmd, detail::StartInbox& inbox, std::weak_ptr<detail::Execution> run)
      : owner(std::move(run)), cmd_(std::move(cmd)), inbox_(inbox) {}

  void run() noexcept override {
    began = Clock::now();
    try {
      result.emplace(start_child(cmd_));
    } catch (const std::bad_alloc&) {
      result.emplace(std::unexpected(os_error_text(ENOMEM)));
    }
    started = Clock::now();
  }

  void finished() noexcept override;

  // The owner gave up while the start was under way: nobody will take the child.
  void discard() noexcept override {
    if (!result || !*result) return;
    kill_and_reap_child((*result)->pidfd, (*result)->group);
    result.reset();
  }

  // Read by the loop's thread only once detail::settle_start() said the job ran.
  std::optional<std::expected<Child, std::string>> result;
  Clock::time_point began;    // when the start began: a Timeout's elapsed time counts from here
  Clock::time_point started;  // when the child existed: its deadline counts from here

  // The run waiting for this start; touched on the loop's thread only.
  std::weak_ptr<detail::Execution> owner;
  // The inbox's list of finished starts, under the inbox's lock.
  StartJob* prev = nullptr;
  StartJob* next = nullptr;
  bool posted = false;

 private:
  PreparedCommand cmd_;
  detail::StartInbox& inbox_;
};

// Where the starter thread hands one loop's finished starts back: a single
// eventfd for the whole loop, however many starts wait, so that a start in the
// queue holds no descriptor (a queue of thousands would otherwise hold the
// descriptors their own children need). The loop watches it only while starts
// are out, so an idle loop stays idle; finished starts wait in an intrusive
// list, so posting one never allocates.
//
// The loop owns it and it outlives every run on the loop. The starter touches
// it only from a job's finished(), under the starter's lock, and a run always
// settles or gives up its start (which waits for, or excludes, that call)
// before it leaves the inbox.
class StartInbox {
 public:
  // The inbox of `loop`, made on first use; the errno when it cannot be.
  static std::expected<StartInbox*, int> of(EventLoop& loop) {
    std::shared_ptr<StartInbox>& slot = loop.start_inbox();
    if (!slot) {
      UniqueFd ready(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
      if (!ready) return std::unexpected(errno);
      slot = std::make_shared<StartInbox>(loop, std::move(ready));
    }
    // A forked copy of the process must not ring, or lock, the creator's inbox.
    if (slot->foreign()) return std::unexpected(EPERM);
    return slot.get();
  }

  StartInbox(EventLoop& loop, UniqueFd ready) noexcept : loop_(loop), ready_(std::move(ready)) {}
  StartInbox(const StartInbox&) = delete;
  StartInbox& operator=(const StartInbox&) = delete;

  // Loop thread: one more start is out; the first one has the loop watch the eventfd.
  [[nodiscard]] std::expected<void, int> enter() {
    if (out_ == 0) {
      if (auto r = loop_.watch(ready_.get(), EPOLLIN, [this](std::uint32_t) { drain(); }); !r)
        return r;
    }
    ++out_;
    return {};
  }

  // Loop thread: a run is done with its start (taken, withdrawn or given up).
  void leave(StartJob& job) noexcept {
    {
      const std::lock_guard lock(mutex_);
      if (job.posted) unlink(job);
    }
    if (--out_ == 0) loop_.unwatch(ready_.get());
  }

  // Starter thread, from the job's finished(): queues it and rings the loop.
  void post(StartJob& job) noexcept {
    bool ring = false;
    {
      const std::lock_guard lock(mutex_);
      job.posted = true;
      job.prev = tail_;
      job.next = nullptr;
      (tail_ != nullptr ? tail_->next : head_) = &job;
      tail_ = &job;
      // A list that was not empty has rung already, and drain() takes all of it.
      ring = job.prev == nullptr;
    }
    const std::uint64_t one = 1;
    if (ring) (void)!::write(ready_.get(), &one, sizeof one);
  }

 private:
  void drain();

  // The run of the next finished start, or null once none is left.
  std::shared_ptr<Execution> take() noexcept {
    const std::lock_guard lock(mutex_);
    while (head_ != nullptr) {
      StartJob& job = *head_;
      unlink(job);
      if (auto run = job.owner.lock()) return run;
    }
    return nullptr;
  }

  void unlink(StartJob& job) noexcept {
    (job.prev != nullptr ? job.prev->next : head_) = job.next;
    (job.next != nullptr ? job.next->prev : tail_) = job.prev;
    job.prev = job.next = nullptr;
    job.posted = false;
  }

  [[nodiscard]] bool foreign() const noexcept { return ::getpid() != owner_; }

  EventLoop& loop_;
  UniqueFd ready_;
  const pid_t owner_ = ::getpid();
  std::size_t out_ = 0;  // starts out; loop thread only
  std::mutex mutex_;     // guards the list and the jobs' links
  StartJob* head_ = nullptr;
  StartJob* tail_ = nullptr;
};

}  // namespace corvane::detail
