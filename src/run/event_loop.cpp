// The epoll reactor: readiness callbacks keyed by descriptor, timers ordered by
// deadline, and the thread-local marker that tells a thread it is inside a loop.
#include "corvane/event_loop.hpp"

#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <unordered_map>

#include "base/fault.hpp"
#include "base/unique_fd.hpp"
#include "corvane/path.hpp"

namespace corvane {

namespace {

thread_local EventLoop* t_current = nullptr;

// Marks the thread as inside `loop` for the duration of run(), restoring the
// previous marker so that a loop run from another loop's callback unwinds right.
class CurrentGuard {
 public:
  explicit CurrentGuard(EventLoop* loop) noexcept : previous_(std::exchange(t_current, loop)) {}
  ~CurrentGuard() { t_current = previous_; }
  CurrentGuard(const CurrentGuard&) = delete;
  CurrentGuard& operator=(const CurrentGuard&) = delete;

 private:
  EventLoop* previous_;
};

// Marks a loop as running for the scope. A loop entered again from one of its
// own callbacks would dispatch callbacks that are mid-call (moved out of their
// slot), so the second entry is refused before it touches anything.
class RunningGuard {
 public:
  explicit RunningGuard(bool& running) : running_(running) {
    if (running_) {
      internal_fault("event loop re-entered from one of its own callbacks",
                     "a callback must return to the loop that runs it, not run it again "
                     "(add_timer() schedules more work; PreparedCommand::run() inside a loop "
                     "moves itself to a worker)");
    }
    running_ = true;
  }
  ~RunningGuard() { running_ = false; }
  RunningGuard(const RunningGuard&) = delete;
  RunningGuard& operator=(const RunningGuard&) = delete;

 private:
  bool& running_;
};

}  // namespace

struct EventLoop::Impl {
  struct Watch {
    std::uint32_t generation;
    IoCallback callback;
  };

  UniqueFd epoll;
  // Declared before the watches and timers, so destroyed after them: the runs
  // they own refer to it until they are gone.
  std::shared_ptr<detail::StartInbox> start_inbox;
  // Keyed by descriptor; the generation in the epoll data tells a stale event
  // (the fd was unwatched and watched again in the same batch) from a live one.
  std::unordered_map<int, Watch> watches;
  std::uint32_t next_generation = 0;

  std::map<std::pair<Clock::time_point, TimerId>, TimerCallback> timers;
  std::unordered_map<TimerId, Clock::time_point> timer_due;
  TimerId next_timer = 1;

  void dispatch(const epoll_event& event) {
    const int fd = static_cast<int>(event.data.u64 & 0xffffffffU);
    const auto generation = static_cast<std::uint32_t>(event.data.u64 >> 32);
    auto it = watches.find(fd);
    if (it == watches.end() || it->second.generation != generation) return;
    // The callback may unwatch its own fd; run it from a local so erasing the
    // entry never destroys a function that is still executing. The local goes
    // back even when the callback unwinds (a fault handler that throws).
    struct Restore {
      Impl& impl;
      int fd;
      std::uint32_t generation;
      IoCallback callback;
      ~Restore() {
        auto again = impl.watches.find(fd);
        if (again != impl.watches.end() && again->second.generation == generation)
          again->second.callback = std::move(callback);
      }
    } restore{*this, fd, generation, std::move(it->second.callback)};
    restore.callback(event.events);
  }

  // One pass: wait up to `timeout_ms` for readiness, run the ready callbacks,
  // then the due timers. Returns false when the wait was interrupted by a signal.
  bool pass(int timeout_ms) {
    std::array<epoll_event, 64> events{};
    const int n =
        ::epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), timeout_ms);
    if (n < 0) {
      if (errno == EINTR) return false;
      internal_fault("epoll_wait failed");
    }
    // Readiness first, timers afterwards: work that completes in the same
    // wake-up in which its deadline is found passed wins.
    for (int i = 0; i < n; ++i) dispatch(events[static_cast<std::size_t>(i)]);
    fire_due_timers();
    return true;
  }

  [[nodiscard]] bool idle() const noexcept { return watches.empty() && timers.empty(); }

  bool running = false;
  // The process that created the loop. A forked copy of the process shares
  // the epoll instance itself, so EPOLL_CTL_DEL there would remove the
  // creator's own watches: a foreign process only drops its copies.
  pid_t owner = ::getpid();
  [[nodiscard]] bool foreign() const noexcept { return ::getpid() != owner; }

  void fire_due_timers() {
    const Clock::time_point now = Clock::now();
    while (!timers.empty() && timers.begin()->first.first <= now) {
      auto node = timers.extract(timers.begin());
      timer_due.erase(node.key().second);
      node.mapped()();
    }
  }

  // Milliseconds until the first timer, rounded up so a timer never fires early; -1 for none.
  [[nodiscard]] int wait_timeout() const {
    if (timers.empty()) return -1;
    const Clock::time_point when = timers.begin()->first.first;
    const Clock::time_point now = Clock::now();
    // Compared before subtracting: a timer posted at time_point::min() would overflow.
    if (when <= now) return 0;
    const auto left = when - now;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
  }
};

EventLoop::EventLoop() : impl_(std::make_unique<Impl>()) {}

EventLoop::~EventLoop() {
  // Callbacks own the executions in flight; destroy them before the epoll fd
  // goes, and through a moved-out map so that their destructors see a consistent
  // loop. A destroyed run calls its `done`, which may watch or add a timer
  // again: drop those too, until nothing is left.
  while (!impl_->idle()) {
    auto watches = std::move(impl_->watches);
    auto timers = std::move(impl_->timers);
    impl_->watches.clear();
    impl_->timers.clear();
    impl_->timer_due.clear();
    watches.clear();
    timers.clear();
  }
}

std::expected<std::unique_ptr<EventLoop>, OsError> EventLoop::create() {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error_text(errno));
  std::unique_ptr<EventLoop> loop(new EventLoop());
  loop->impl_->epoll.reset(fd);
  return loop;
}

std::expected<void, int> EventLoop::watch(int fd, std::uint32_t events, IoCallback cb) {
  if (fd < 0) return std::unexpected(EBADF);
  // Adding to the creator's epoll instance from a forked copy would wake the creator.
  if (impl_->foreign()) return std::unexpected(EPERM);
  if (impl_->watches.contains(fd)) return std::unexpected(EEXIST);
  const std::uint32_t generation = impl_->next_generation++;
  epoll_event event{};
  event.events = events;
  event.data.u64 = (static_cast<std::uint64_t>(generation) << 32) | static_cast<std::uint32_t>(fd);
  if (::epoll_ctl(impl_->epoll.get(), EPOLL_CTL_ADD, fd, &event) != 0)
    return std::unexpected(errno);
  impl_->watches.emplace(fd, Impl::Watch{generation, std::move(cb)});
  return {};
}

void EventLoop::unwatch(int fd) noexcept {
  auto it = impl_->watches.find(fd);
  if (it == impl_->watches.end()) return;
  if (!impl_->foreign()) ::epoll_ctl(impl_->epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
  // Erasing destroys the callback; move it out first so that whatever it owns
  // is destroyed after the map no longer refers to it.
  IoCallback doomed = std::move(it->second.callback);
  impl_->watches.erase(it);
}

EventLoop::TimerId EventLoop::add_timer(Clock::time_point when, TimerCallback cb) {
  const TimerId id = impl_->next_timer++;
  impl_->timers.emplace(std::pair{when, id}, std::move(cb));
  impl_->timer_due.emplace(id, when);
  return id;
}

void EventLoop::cancel_timer(TimerId id) noexcept {
  auto it = impl_->timer_due.find(id);
  if (it == impl_->timer_due.end()) return;
  auto node = impl_->timers.extract(std::pair{it->second, id});
  impl_->timer_due.erase(it);
  // `node` (and the callback in it) is destroyed here, after the maps are consistent.
}

void EventLoop::run() {
  run(nullptr);
}

void EventLoop::run(std::move_only_function<void()> on_interrupt) {
  RunningGuard running(impl_->running);
  CurrentGuard guard(this);
  const int poll_ms = static_cast<int>(kInterruptPoll.count());
  Clock::time_point asked = Clock::now();
  while (!impl_->idle()) {
    // The time left is recomputed on every pass, so an EINTR never restarts a full wait.
    int timeout_ms = impl_->wait_timeout();
    if (on_interrupt && (timeout_ms < 0 || timeout_ms > poll_ms)) timeout_ms = poll_ms;
    const bool interrupted = !impl_->pass(timeout_ms);
    if (!on_interrupt) continue;
    const Clock::time_point now = Clock::now();
    if (interrupted || now - asked >= kInterruptPoll) {
      asked = now;
      on_interrupt();
    }
  }
}

void EventLoop::run_ready() {
  RunningGuard running(impl_->running);
  CurrentGuard guard(this);
  impl_->pass(0);
}

int EventLoop::fd() const noexcept {
  return impl_->epoll.get();
}

std::optional<EventLoop::Clock::time_point> EventLoop::next_timer() const noexcept {
  if (impl_->timers.empty()) return std::nullopt;
  return impl_->timers.begin()->first.first;
}

bool EventLoop::idle() const noexcept {
  return impl_->idle();
}

EventLoop* EventLoop::current() noexcept {
  return t_current;
}

std::shared_ptr<detail::StartInbox>& EventLoop::start_inbox() noexcept {
  return impl_->start_inbox;
}

}  // namespace corvane
