// A loop destroyed with runs in flight keeps the promise of every run: the
// child killed and reaped, then `done` called once, as abandoned; and a loop
// re-entered without a fault handler says why before the process aborts.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "corvane/event_loop.hpp"
#include "corvane/policy.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using LoopLifetime = test::NoLeakTest;

PreparedCommand sleeper() {
  auto policy = ProcPolicy::builder()
                    .allow_bin("/usr/bin/sleep")
                    .arg_rules("/usr/bin/sleep", ArgRules().max_positionals(1))
                    .build();
  EXPECT_TRUE(policy) << (policy ? "" : message(policy.error()));
  auto cmd = policy->prepare(ProcRequest("/usr/bin/sleep", {"1000"}));
  EXPECT_TRUE(cmd) << (cmd ? "" : message(cmd.error()));
  return std::move(*cmd);
}

struct Start {
  const char* name;
  StartOn start_on;
};

class LoopDestroyed : public LoopLifetime, public ::testing::WithParamInterface<Start> {};

TEST_P(LoopDestroyed, CallsDoneOnceAfterTheChildIsReaped) {
  int calls = 0;
  std::optional<RunResult> got;
  int children_in_done = -1;
  RunHandle handle;
  {
    auto loop = EventLoop::create();
    ASSERT_TRUE(loop) << message(loop.error());
    RunOptions options;
    options.start_on = GetParam().start_on;
    handle = sleeper().spawn(**loop, std::move(options), [&](RunResult r) {
      ++calls;
      children_in_done = test::child_count();
      got = std::move(r);
    });
    (*loop)->run_ready();  // the run is under way, not finished
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(handle.finished());
  }
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(handle.finished());
  EXPECT_EQ(children_in_done, children_at_start()) << "done ran before the child was reaped";
  ASSERT_TRUE(got && !got->result);
  EXPECT_TRUE(got->interrupted);
  EXPECT_EQ(kind(got->result.error()), "SpawnFailed");
  EXPECT_EQ(message(got->result.error()),
            "failed to spawn process: interrupted: the event loop was destroyed");
}

INSTANTIATE_TEST_SUITE_P(Runs, LoopDestroyed,
                         ::testing::Values(Start{"OnTheCaller", StartOn::Caller},
                                           Start{"OnTheStarter", StartOn::Starter}),
                         [](const auto& info) { return std::string(info.param.name); });

// A `done` that schedules more work on the dying loop: the work is dropped
// with the loop, never run, and nothing leaks.
TEST_F(LoopLifetime, WorkScheduledFromAnAbandonedDoneIsDropped) {
  int calls = 0;
  bool timer_ran = false;
  {
    auto loop = EventLoop::create();
    ASSERT_TRUE(loop);
    EventLoop& l = **loop;
    sleeper().spawn(l, [&](ExecResult) {
      ++calls;
      l.add_timer(EventLoop::Clock::now(), [&] { timer_ran = true; });
    });
  }
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(timer_ran);
}

TEST(LoopFault, ReentryWithoutAHandlerPrintsWhatHappenedAndWhatToDo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto loop = EventLoop::create();
        (*loop)->add_timer(EventLoop::Clock::now(), [&] { (*loop)->run(); });
        (*loop)->run();
      },
      "^corvane: internal fault: event loop re-entered from one of its own callbacks; "
      "a callback must return to the loop that runs it, not run it again \\(add_timer\\(\\) "
      "schedules more work; PreparedCommand::run\\(\\) inside a loop moves itself to a "
      "worker\\)\n$");
}

}  // namespace
}  // namespace corvane
