// The reactor: timer order and cancellation, readiness callbacks and their
// removal from inside themselves, readiness before timers, the thread marker,
// ownership of pending callbacks, and the internal-fault hook.
#include "corvane/event_loop.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "base/unique_fd.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Clock = EventLoop::Clock;
using namespace std::chrono_literals;

std::unique_ptr<EventLoop> make_loop() {
  auto loop = EventLoop::create();
  if (!loop) ADD_FAILURE() << loop.error();
  return loop ? std::move(*loop) : nullptr;
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe make_pipe() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

TEST(EventLoop, TimersFireByDueTimeNeverEarlyAndInsertionOrderBreaksTies) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  std::vector<std::string> order;
  const auto base = Clock::now();
  auto record = [&](std::string name, Clock::time_point when) {
    loop->add_timer(when, [&order, name, when] {
      EXPECT_GE(Clock::now(), when) << name << " fired early";
      order.push_back(name);
    });
  };
  record("late", base + 30ms);
  record("early", base + 10ms);
  record("tie-first", base + 20ms);
  record("tie-second", base + 20ms);
  record("past", base - 1s);
  loop->run();
  EXPECT_EQ(order, (std::vector<std::string>{"past", "early", "tie-first", "tie-second", "late"}));
}

TEST(EventLoop, CancelledTimersNeverRun) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  std::vector<int> fired;
  const auto now = Clock::now();
  const auto doomed = loop->add_timer(now + 20ms, [&] { fired.push_back(2); });
  const auto first = loop->add_timer(now, [&] {
    fired.push_back(1);
    loop->cancel_timer(doomed);  // from inside another timer
  });
  loop->add_timer(now + 5ms, [&] { fired.push_back(3); });
  loop->run();
  loop->cancel_timer(first);  // already ran: no effect
  loop->cancel_timer(12345);  // never existed: no effect
  EXPECT_EQ(fired, (std::vector<int>{1, 3}));
}

TEST(EventLoop, TimerCallbackCanAddTimers) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  int count = 0;
  std::function<void()> again = [&] {
    if (++count < 5) loop->add_timer(Clock::now(), [&] { again(); });
  };
  loop->add_timer(Clock::now(), [&] { again(); });
  loop->run();
  EXPECT_EQ(count, 5);
}

TEST(EventLoop, ReadinessCallbackRunsUntilUnwatchedFromInside) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  Pipe pipe = make_pipe();
  ASSERT_EQ(::write(pipe.write.get(), "abcdef", 6), 6);
  std::string got;
  auto owned = std::make_shared<int>(7);
  std::weak_ptr<int> watcher = owned;
  ASSERT_TRUE(loop->watch(pipe.read.get(), EPOLLIN, [&, owned](std::uint32_t events) {
    EXPECT_TRUE(events & EPOLLIN);
    char c = 0;
    // One byte per call: level-triggered readiness must call again.
    if (::read(pipe.read.get(), &c, 1) == 1) got.push_back(c);
    if (got.size() == 6) loop->unwatch(pipe.read.get());
  }));
  owned.reset();
  loop->run();
  EXPECT_EQ(got, "abcdef");
  EXPECT_TRUE(watcher.expired()) << "unwatch must release what the callback owns";
}

TEST(EventLoop, RewatchingInsideTheCallbackHandsOverToTheNewCallback) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  Pipe pipe = make_pipe();
  ASSERT_EQ(::write(pipe.write.get(), "xy", 2), 2);
  std::vector<std::string> calls;
  const int fd = pipe.read.get();
  ASSERT_TRUE(loop->watch(fd, EPOLLIN, [&](std::uint32_t) {
    calls.push_back("old");
    loop->unwatch(fd);
    ASSERT_TRUE(loop->watch(fd, EPOLLIN, [&](std::uint32_t) {
      calls.push_back("new");
      char buf[4];
      (void)::read(fd, buf, sizeof buf);
      loop->unwatch(fd);
    }));
  }));
  loop->run();
  EXPECT_EQ(calls, (std::vector<std::string>{"old", "new"}));
}

TEST(EventLoop, WatchRejectsBadAndDuplicateDescriptors) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  Pipe pipe = make_pipe();
  EXPECT_EQ(loop->watch(-1, EPOLLIN, [](std::uint32_t) {}).error(), EBADF);
  ASSERT_TRUE(loop->watch(pipe.read.get(), EPOLLIN, [](std::uint32_t) {}));
  EXPECT_EQ(loop->watch(pipe.read.get(), EPOLLIN, [](std::uint32_t) {}).error(), EEXIST);
  const int closed = ::dup(pipe.write.get());
  ::close(closed);
  EXPECT_EQ(loop->watch(closed, EPOLLIN, [](std::uint32_t) {}).error(), EBADF);
  loop->unwatch(pipe.read.get());
  loop->unwatch(pipe.read.get());  // twice: no effect
  loop->run();                     // nothing left: returns at once
}

TEST(EventLoop, ReadinessRunsBeforeTimersOfTheSameWakeUp) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  Pipe pipe = make_pipe();
  ASSERT_EQ(::write(pipe.write.get(), "z", 1), 1);
  std::vector<std::string> order;
  // Both are due before run() first waits.
  loop->add_timer(Clock::now(), [&] { order.push_back("timer"); });
  ASSERT_TRUE(loop->watch(pipe.read.get(), EPOLLIN, [&](std::uint32_t) {
    order.push_back("io");
    loop->unwatch(pipe.read.get());
  }));
  loop->run();
  EXPECT_EQ(order, (std::vector<std::string>{"io", "timer"}));
}

TEST(EventLoop, CurrentIsSetOnlyWhileRunning) {
  auto loop = make_loop();
  auto other = make_loop();
  ASSERT_TRUE(loop && other);
  EXPECT_EQ(EventLoop::current(), nullptr);
  EventLoop* outer = nullptr;
  EventLoop* inner = nullptr;
  EventLoop* after_inner = nullptr;
  loop->add_timer(Clock::now(), [&] {
    outer = EventLoop::current();
    other->add_timer(Clock::now(), [&] { inner = EventLoop::current(); });
    other->run();
    after_inner = EventLoop::current();
  });
  loop->run();
  EXPECT_EQ(outer, loop.get());
  EXPECT_EQ(inner, other.get());
  EXPECT_EQ(after_inner, loop.get());
  EXPECT_EQ(EventLoop::current(), nullptr);
}

TEST(EventLoop, DestroyingTheLoopReleasesPendingCallbacksAndDescriptors) {
  const int fds = test::open_fd_count();
  auto owned = std::make_shared<int>(1);
  std::weak_ptr<int> watcher = owned;
  {
    auto loop = make_loop();
    ASSERT_TRUE(loop);
    Pipe pipe = make_pipe();
    ASSERT_TRUE(loop->watch(pipe.read.get(), EPOLLIN, [owned](std::uint32_t) {}));
    loop->add_timer(Clock::now() + 1h, [owned] {});
    owned.reset();
    EXPECT_FALSE(watcher.expired());
  }
  EXPECT_TRUE(watcher.expired());
  EXPECT_EQ(test::open_fd_count(), fds);
}

TEST(UniqueFd, ClosesOnResetAndDestructionAndMovesOwnership) {
  const int fds = test::open_fd_count();
  {
    UniqueFd a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(a);
    UniqueFd b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    EXPECT_EQ(test::open_fd_count(), fds + 1);
    b.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(test::open_fd_count(), fds + 1);
    a = std::move(b);
    EXPECT_EQ(b.get(), -1);
  }
  EXPECT_EQ(test::open_fd_count(), fds);
}

TEST(InternalFault, GoesThroughTheInstalledHandlerAndAbortsByDefault) {
  const FaultHandler previous = set_fault_handler(&throw_internal_fault);
  try {
    internal_fault("broken invariant");
    ADD_FAILURE() << "internal_fault returned";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "broken invariant");
  }
  EXPECT_EQ(set_fault_handler(previous), &throw_internal_fault);

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    set_fault_handler(nullptr);
    ::signal(SIGABRT, SIG_DFL);
    internal_fault("no handler");
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << "status " << status;
}

}  // namespace
}  // namespace corvane
