// Runs when descriptors or threads are short: a start waiting for the starter
// holds no descriptor, a start needs no descriptor beyond its pipes and pidfd,
// and a starter thread that could not be created is created on a later start
// instead of never.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "corvane/event_loop.hpp"
#include "corvane/prepared.hpp"
#include "prepared_peer.hpp"
#include "run/starter.hpp"
#include "starter_gate.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using Pressure = test::NoLeakTest;

using Gate = test::StarterGate;

// Records the thread it ran on.
class WhereRan final : public detail::StarterTask {
 public:
  void run() noexcept override { thread = ::gettid(); }
  void finished() noexcept override { done = true; }
  void discard() noexcept override {}
  std::atomic<pid_t> thread{0};
  std::atomic<bool> done{false};
};

PreparedCommand printing(const char* ops) {
  PreparedCommandTestPeer peer;
  peer.bin = test::helper_path("exec_child");
  peer.argv = {ops};
  return peer.make();
}

TEST_F(Pressure, AQueuedStartHoldsNoDescriptor) {
  constexpr int kQueued = 64;
  auto loop = EventLoop::create();
  ASSERT_TRUE(loop);
  auto gate = std::make_shared<Gate>();
  detail::submit_start(gate);
  const int before = test::open_fd_count();
  std::vector<std::optional<RunResult>> got(kQueued);
  for (auto& slot : got) {
    RunOptions options;
    options.start_on = StartOn::Starter;
    (void)printing("out:2").spawn(**loop, std::move(options),
                                  [&slot](RunResult r) { slot = std::move(r); });
  }
  // One eventfd for the loop, whatever the number of starts waiting behind the gate.
  EXPECT_LE(test::open_fd_count(), before + 1);
  gate->release();
  (*loop)->run();
  for (const auto& r : got) {
    ASSERT_TRUE(r && r->result) << (r ? to_string(r->result.error()) : "no result");
    EXPECT_EQ(r->result->stdout, "oo");
  }
}

// Fills the descriptor table (under a small limit) up to `free` numbers, then
// starts a child on the caller's thread with a loop made beforehand. Exit code
// 0 when the outcome is `expected` ("ok", or the failure's text).
int start_with_free_descriptors(int free, const std::string& expected) {
  const rlimit small{64, 64};
  if (::setrlimit(RLIMIT_NOFILE, &small) != 0) return 10;
  auto loop = EventLoop::create();
  if (!loop) return 11;
  std::vector<int> hog;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) hog.push_back(fd);
  if (static_cast<int>(hog.size()) < free) return 12;
  for (int i = 0; i < free; ++i) {
    ::close(hog.back());
    hog.pop_back();
  }
  std::optional<RunResult> got;
  (void)printing("out:1").spawn(**loop, RunOptions{}, [&](RunResult r) { got = std::move(r); });
  (*loop)->run();
  if (!got) return 13;
  const std::string outcome = got->result ? "ok" : to_string(got->result.error());
  if (outcome != expected) {
    std::fprintf(stderr, "free %d: %s\n", free, outcome.c_str());
    return 1;
  }
  return 0;
}

struct FreeCase {
  const char* name;
  int free;
  const char* expected;
};

class StartAtTheLimit : public Pressure, public ::testing::WithParamInterface<FreeCase> {};

TEST_P(StartAtTheLimit, NeedsOnlyItsOwnDescriptors) {
  const FreeCase& c = GetParam();
  EXPECT_EQ(test::in_child([&] { return start_with_free_descriptors(c.free, c.expected); }), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Pressure, StartAtTheLimit,
    ::testing::Values(
        // Two pipes and the pidfd: the child opens /dev/null in its copy of the
        // table, made before the pidfd takes its number here.
        FreeCase{"ExactlyEnough", 5, "ok"},
        FreeCase{"OneShort", 4, "failed to spawn process: Too many open files (os error 24)"}),
    [](const auto& info) { return std::string(info.param.name); });

// A fresh starter in a forked copy of this process, whose first thread
// creation is refused. Exit code 0 when the refused start ran on the caller's
// thread and the next one on a starter thread created then.
int starter_after_a_refused_thread() {
  detail::fail_next_starter_threads(1);
  auto first = std::make_shared<WhereRan>();
  detail::submit_start(first);
  if (!first->done || first->thread != ::gettid()) return 1;
  auto second = std::make_shared<WhereRan>();
  detail::submit_start(second);
  for (int i = 0; i < 10000 && !second->done; ++i) std::this_thread::sleep_for(1ms);
  if (!second->done) return 2;
  return second->thread != ::gettid() ? 0 : 3;  // 3: still on the caller, never tried again
}

TEST(StarterThread, IsCreatedAgainAfterACreationFailed) {
  EXPECT_EQ(test::in_child(starter_after_a_refused_thread), 0);
}

// A run whose start fell back to the caller's thread still reports through
// the loop, never from inside spawn(), and the next run uses the new thread.
int runs_after_a_refused_thread() {
  detail::fail_next_starter_threads(1);
  auto loop = EventLoop::create();
  if (!loop) return 10;
  std::optional<RunResult> got[2];
  for (auto& slot : got) {
    RunOptions options;
    options.start_on = StartOn::Starter;
    (void)printing("out:3").spawn(**loop, std::move(options),
                                  [&slot](RunResult r) { slot = std::move(r); });
    if (slot) return 1;
  }
  (*loop)->run();
  for (const auto& r : got) {
    if (!r || !r->result || r->result->stdout != "ooo") return 2;
  }
  return 0;
}

TEST(StarterThread, RunsStartedWithoutItStillReportThroughTheLoop) {
  EXPECT_EQ(test::in_child(runs_after_a_refused_thread), 0);
}

}  // namespace
}  // namespace corvane
