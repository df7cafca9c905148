// The opt-in run API: kill on a broken limit, partial output with an error,
// cancelling an asynchronous run, the blocking run abandoned by its signal
// hook, a loop driven from outside (fd / next_timer / run_ready / idle), and
// the refusal to re-enter a running loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <variant>

#include "base/unique_fd.hpp"
#include "corvane/event_loop.hpp"
#include "corvane/prepared.hpp"
#include "prepared_peer.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Clock = EventLoop::Clock;
using namespace std::chrono_literals;
using RunApi = test::NoLeakTest;

PreparedCommandTestPeer child(std::vector<std::string> ops) {
  PreparedCommandTestPeer peer;
  peer.bin = test::helper_path("exec_child");
  peer.argv = std::move(ops);
  return peer;
}

std::string message(const RunResult& r) {
  return r.result ? std::string("<Output>") : to_string(r.result.error());
}

std::unique_ptr<EventLoop> make_loop() {
  auto loop = EventLoop::create();
  if (!loop) ADD_FAILURE() << loop.error();
  return loop ? std::move(*loop) : nullptr;
}

// --- blocking runs with options -----------------------------------------------

struct RunCase {
  const char* name;
  std::vector<std::string> ops;
  OnOutputLimit on_limit;
  std::uint64_t max_stdout;
  std::uint64_t timeout_ms;
  const char* error;  // the message starts with this
  char stdout_fill;   // every partial stdout byte is this
  const char* partial_stderr;
};

class Runs : public RunApi, public ::testing::WithParamInterface<RunCase> {};

TEST_P(Runs, ReportTheErrorWithWhatWasCapturedBeforeIt) {
  const RunCase& c = GetParam();
  PreparedCommandTestPeer peer = child(c.ops);
  peer.max_stdout = c.max_stdout;
  peer.timeout = millis(c.timeout_ms);
  RunOptions options;
  options.on_output_limit = c.on_limit;
  const auto start = Clock::now();
  const RunResult r = peer.make().run(std::move(options));
  const auto took = Clock::now() - start;
  ASSERT_FALSE(r.result);
  EXPECT_EQ(message(r).substr(0, std::string(c.error).size()), c.error);
  EXPECT_FALSE(r.interrupted);
  // Far below the deadline: the kill did not wait for the other stream.
  if (c.on_limit == OnOutputLimit::Kill) {
    EXPECT_LT(took, 3s);
  }
  EXPECT_FALSE(r.partial_stdout.empty());
  EXPECT_LE(r.partial_stdout.size(), c.max_stdout);
  EXPECT_EQ(std::ranges::count(r.partial_stdout, c.stdout_fill),
            static_cast<std::ptrdiff_t>(r.partial_stdout.size()));
  EXPECT_EQ(r.partial_stderr, c.partial_stderr);
}

INSTANTIATE_TEST_SUITE_P(
    RunApi, Runs,
    ::testing::Values(
        // The default waits for stderr (held open by the sleeping child) until the deadline.
        RunCase{"WaitHoldsUntilTheDeadline",
                {"err:2", "flood-out"},
                OnOutputLimit::Wait,
                100000,
                300,
                "process timed out after",
                'f',
                "ee"},
        RunCase{"KillEndsAFloodAtOnce",
                {"err:2", "flood-out"},
                OnOutputLimit::Kill,
                100000,
                30000,
                "stdout limit exceeded: 100000 bytes",
                'f',
                "ee"},
        RunCase{"TimeoutKeepsBothPrefixes",
                {"out:10", "err:3", "sleep:10000"},
                OnOutputLimit::Wait,
                100000,
                200,
                "process timed out after",
                'o',
                "eee"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunApi, SpawnFailureHasNoPartialOutput) {
  PreparedCommandTestPeer peer = child({});
  peer.cwd = "/nonexistent-directory-for-run-api";
  const RunResult r = peer.make().run({});
  ASSERT_FALSE(r.result);
  EXPECT_EQ(message(r), "failed to spawn process: No such file or directory (os error 2)");
  EXPECT_TRUE(r.partial_stdout.empty() && r.partial_stderr.empty());
}

volatile sig_atomic_t g_usr1_seen = 0;
void on_usr1(int) {
  g_usr1_seen = 1;
}

// Sends SIGUSR1 to `target` every 50 ms until stopped (one signal could land before the wait).
class Pester {
 public:
  explicit Pester(pthread_t target)
      : thread_([this, target] {
          while (!stop_) {
            std::this_thread::sleep_for(50ms);
            ::pthread_kill(target, SIGUSR1);
          }
        }) {}
  ~Pester() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(RunApi, SignalHookAbandonsABlockingRunOrLetsItGoOn) {
  struct sigaction action{};
  struct sigaction previous{};
  action.sa_handler = on_usr1;  // no SA_RESTART; epoll_wait is never restarted anyway
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  for (const bool abandon : {true, false}) {
    int calls = 0;
    RunOptions options;
    g_usr1_seen = 0;
    // Also consulted once before the first wait, when no signal came yet.
    options.on_signal = [&] {
      if (g_usr1_seen == 0) return false;
      ++calls;
      return abandon;
    };
    PreparedCommandTestPeer peer = child({"out:4", abandon ? "sleep:30000" : "sleep:400"});
    const auto start = Clock::now();
    RunResult r;
    {
      Pester pester(::pthread_self());
      r = peer.make().run(std::move(options));
    }
    EXPECT_GE(calls, 1);
    EXPECT_LT(Clock::now() - start, 5s);
    if (abandon) {
      EXPECT_TRUE(r.interrupted);
      EXPECT_EQ(message(r), "failed to spawn process: interrupted");
      EXPECT_EQ(r.partial_stdout, "oooo");
    } else {
      EXPECT_FALSE(r.interrupted);
      ASSERT_TRUE(r.result) << message(r);
      EXPECT_EQ(r.result->stdout, "oooo");
    }
  }
  ::sigaction(SIGUSR1, &previous, nullptr);
}

// --- asynchronous runs ----------------------------------------------------------

TEST_F(RunApi, CancelKillsReapsAndCompletesBeforeReturning) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  std::optional<RunResult> got;
  RunHandle handle = child({"out:3", "sleep:30000"}).make().spawn(*loop, {}, [&](RunResult r) {
    got = std::move(r);
  });
  EXPECT_FALSE(handle.finished());
  bool completed_inside_cancel = false;
  RunHandle copy = handle;
  // Once the child's output is in, cancel from a callback of the same loop.
  loop->add_timer(Clock::now() + 200ms, [&] {
    copy.cancel();
    completed_inside_cancel = got.has_value();
    copy.cancel();  // no effect once completed
  });
  const auto start = Clock::now();
  loop->run();
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(completed_inside_cancel);
  EXPECT_TRUE(handle.finished());
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->interrupted);
  EXPECT_EQ(message(*got), "failed to spawn process: interrupted");
  EXPECT_EQ(got->partial_stdout, "ooo");
  EXPECT_TRUE(RunHandle().finished());
}

TEST_F(RunApi, CancelBeforeAFailedStartIsDeliveredStillInterrupts) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  PreparedCommandTestPeer peer = child({});
  peer.cwd = "/nonexistent-directory-for-run-api";
  std::optional<RunResult> got;
  RunHandle handle = peer.make().spawn(*loop, {}, [&](RunResult r) { got = std::move(r); });
  EXPECT_FALSE(got) << "never delivered from inside spawn";
  handle.cancel();
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->interrupted);
  loop->run();  // the posted failure was withdrawn: nothing is delivered twice
  EXPECT_TRUE(loop->idle());
}

TEST_F(RunApi, LoopDrivenFromOutsideRunsAnExecutionToCompletion) {
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  EXPECT_TRUE(loop->idle());
  EXPECT_FALSE(loop->next_timer());
  std::optional<RunResult> got;
  EventLoop* inside = nullptr;
  (void)child({"out:5", "err:1", "sleep:100"}).make().spawn(*loop, {}, [&](RunResult r) {
    inside = EventLoop::current();
    got = std::move(r);
  });
  EXPECT_FALSE(loop->idle());
  ASSERT_TRUE(loop->next_timer()) << "the deadline is a pending timer";
  int passes = 0;
  while (!loop->idle() && passes < 10000) {
    // The host's own reactor: poll the epoll descriptor until the next timer.
    int timeout = -1;
    if (auto when = loop->next_timer()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*when - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 1000));
    }
    pollfd p{loop->fd(), POLLIN, 0};
    ::poll(&p, 1, timeout);
    loop->run_ready();
    ++passes;
  }
  ASSERT_TRUE(got);
  ASSERT_TRUE(got->result) << message(*got);
  EXPECT_EQ(got->result->stdout, "ooooo");
  EXPECT_EQ(got->result->stderr, "e");
  EXPECT_EQ(inside, loop.get());
  EXPECT_EQ(EventLoop::current(), nullptr);
  EXPECT_LT(passes, 100) << "the loop must be woken by readiness, not spin";
}

// --- re-entrancy --------------------------------------------------------------------

TEST(EventLoopReentry, IsRefusedAsAnInternalFaultAndTheLoopStaysUsable) {
  const FaultHandler previous = set_fault_handler(&throw_internal_fault);
  auto loop = make_loop();
  ASSERT_TRUE(loop);
  for (const bool ready : {false, true}) {
    std::string fault;
    int io_calls = 0;
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    ASSERT_EQ(::write(write_end.get(), "x", 1), 1);
    // A readiness callback re-enters; it is moved out of its slot while it runs.
    ASSERT_TRUE(loop->watch(read_end.get(), EPOLLIN, [&](std::uint32_t) {
      if (++io_calls > 1) {
        loop->unwatch(read_end.get());
        return;
      }
      try {
        if (ready) {
          loop->run_ready();
        } else {
          loop->run();
        }
      } catch (const InternalFault& f) {
        fault = f.what();
      }
    }));
    loop->run();
    EXPECT_EQ(fault, "event loop re-entered from one of its own callbacks");
    EXPECT_EQ(io_calls, 2) << "the callback survives the refused re-entry";
  }
  set_fault_handler(previous);
}

}  // namespace
}  // namespace corvane
