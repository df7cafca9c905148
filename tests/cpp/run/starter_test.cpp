// Runs whose child is started on the starter thread: the same results as a
// start on the caller's thread, a spawn() that returns while the starter is
// busy, a run stopped at each point of a start still with the starter, and a
// forked copy of the host.
#include "run/starter.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "corvane/event_loop.hpp"
#include "corvane/prepared.hpp"
#include "prepared_peer.hpp"
#include "starter_gate.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using StarterRuns = test::NoLeakTest;

using Gate = test::StarterGate;

// Tells when the starter has reached it, and so finished everything queued before it.
class Marker final : public detail::StarterTask {
 public:
  void run() noexcept override {}
  void finished() noexcept override { reached = true; }
  void discard() noexcept override {}
  std::atomic<bool> reached{false};
};

void drain_starter() {
  auto marker = std::make_shared<Marker>();
  detail::submit_start(marker);
  const auto give_up = EventLoop::Clock::now() + 10s;
  while (!marker->reached && EventLoop::Clock::now() < give_up) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(marker->reached) << "the starter did not drain";
}

PreparedCommandTestPeer child(std::vector<std::string> ops) {
  PreparedCommandTestPeer peer;
  peer.bin = test::helper_path("exec_child");
  peer.argv = std::move(ops);
  return peer;
}

// The message without the measured time, which differs between two runs.
std::string shape(const RunResult& r) {
  if (r.result) {
    return "exit " + std::to_string(r.result->status) + " out=" + r.result->stdout +
           " err=" + r.result->stderr;
  }
  const std::string text = to_string(r.result.error());
  return text.substr(0, text.find(" after ")) + " partial=" + r.partial_stdout.substr(0, 8) + "/" +
         r.partial_stderr;
}

RunResult run_on_loop(PreparedCommand cmd, RunOptions options) {
  auto loop = EventLoop::create();
  if (!loop)
    return RunResult{std::unexpected(exec_error::SpawnFailed{loop.error()}), {}, {}, false};
  std::optional<RunResult> got;
  (void)std::move(cmd).spawn(**loop, std::move(options), [&](RunResult r) { got = std::move(r); });
  EXPECT_FALSE(got) << "never delivered from inside spawn";
  (*loop)->run();
  return got ? std::move(*got) : RunResult{};
}

struct SameCase {
  const char* name;
  std::vector<std::string> ops;
  const char* cwd;
  std::uint64_t max_stdout;
  std::uint64_t timeout_ms;
  OnOutputLimit on_limit;
};

class SameResults : public StarterRuns, public ::testing::WithParamInterface<SameCase> {};

TEST_P(SameResults, AsAStartOnTheCallersThread) {
  const SameCase& c = GetParam();
  PreparedCommandTestPeer peer = child(c.ops);
  peer.cwd = c.cwd;
  peer.max_stdout = c.max_stdout;
  peer.timeout = millis(c.timeout_ms);
  std::string shapes[2];
  for (const StartOn where : {StartOn::Caller, StartOn::Starter}) {
    RunOptions options;
    options.on_output_limit = c.on_limit;
    options.start_on = where;
    shapes[where == StartOn::Starter] = shape(run_on_loop(peer.make(), std::move(options)));
  }
  EXPECT_EQ(shapes[1], shapes[0]);
}

INSTANTIATE_TEST_SUITE_P(
    StarterRuns, SameResults,
    ::testing::Values(
        SameCase{"Output", {"out:5", "err:2", "exit:3"}, "/", 1000, 5000, OnOutputLimit::Wait},
        SameCase{
            "FailedStart", {}, "/nonexistent-dir-for-starter", 1000, 5000, OnOutputLimit::Wait},
        // The deadline is armed once the run joins the loop, counted from the start.
        SameCase{"Timeout", {"out:2", "sleep:30000"}, "/", 1000, 200, OnOutputLimit::Wait},
        SameCase{"KilledAtTheLimit", {"flood-out"}, "/", 5000, 30000, OnOutputLimit::Kill}),
    [](const auto& info) { return std::string(info.param.name); });

// A run of exec_child printing "ooo", whose start waits behind a starter held by `gate`.
struct QueuedRun {
  std::unique_ptr<EventLoop> loop = std::move(*EventLoop::create());
  std::shared_ptr<Gate> gate = std::make_shared<Gate>();
  std::optional<RunResult> got;
  RunHandle handle;

  QueuedRun() {
    detail::submit_start(gate);
    RunOptions options;
    options.start_on = StartOn::Starter;
    handle = child({"out:3"}).make().spawn(*loop, std::move(options),
                                           [this](RunResult r) { got = std::move(r); });
  }

  // Lets the starter go on and checks the run's own result.
  void finish() {
    gate->release();
    loop->run();
    ASSERT_TRUE(got && got->result);
    EXPECT_EQ(got->result->stdout, "ooo");
  }
};

TEST_F(StarterRuns, SpawnReturnsAtOnceWhileTheStarterIsBusy) {
  QueuedRun run;
  // The start is queued behind the gate: with a start on this thread, spawn() could not have
  // returned.
  for (int i = 0; i < 5; ++i) run.loop->run_ready();
  EXPECT_FALSE(run.got);
  EXPECT_FALSE(run.handle.finished());
  EXPECT_FALSE(run.loop->idle());
  run.finish();
}

// Where the start is when the run is stopped: queued behind a busy starter
// (the child must never be made), or made but not yet joined to the loop
// (the child must be killed and reaped). Stopped by cancel(), by destroying
// the loop, or by the time limit, which also ends a start stuck in the queue.
enum class Stop : std::uint8_t { Cancel, DestroyLoop, TimeLimit };

struct StopCase {
  const char* name;
  bool queued;
  Stop how;
};

class StopStart : public StarterRuns, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopStart, LeavesNoChildAndNoDescriptor) {
  const StopCase& c = GetParam();
  test::TempDir dir;
  const Path marker = dir / "started";
  auto loop = EventLoop::create();
  ASSERT_TRUE(loop);
  auto gate = std::make_shared<Gate>();
  if (c.queued) detail::submit_start(gate);
  PreparedCommandTestPeer peer;
  peer.bin = "/bin/sh";
  peer.argv = {"-c", "echo > " + marker.native() + "; exec sleep 30"};
  peer.timeout = millis(200);
  RunOptions options;
  options.start_on = StartOn::Starter;
  std::optional<RunResult> got;
  RunHandle handle =
      peer.make().spawn(**loop, std::move(options), [&](RunResult r) { got = std::move(r); });
  if (!c.queued) drain_starter();  // the child exists; the loop has not seen it yet
  switch (c.how) {
    case Stop::Cancel:
      handle.cancel();
      ASSERT_TRUE(got) << "delivered before cancel() returned";
      EXPECT_TRUE(got->interrupted);
      EXPECT_TRUE((*loop)->idle());
      break;
    case Stop::DestroyLoop:
      loop->reset();
      EXPECT_TRUE(handle.finished());
      break;
    case Stop::TimeLimit: {
      (*loop)->run();  // a queued start is given up with the starter still held
      ASSERT_TRUE(got && !got->result);
      const std::string text = to_string(got->result.error());
      EXPECT_TRUE(text.starts_with("process timed out after ") && text.ends_with("(limit: 200ms)"))
          << text;
      break;
    }
  }
  gate->release();
  drain_starter();
  if (c.queued) {
    EXPECT_NE(::access(marker.native().c_str(), F_OK), 0) << "a withdrawn start ran";
  }
}

INSTANTIATE_TEST_SUITE_P(StarterRuns, StopStart,
                         ::testing::Values(StopCase{"CancelQueued", true, Stop::Cancel},
                                           StopCase{"CancelStarted", false, Stop::Cancel},
                                           StopCase{"DestroyLoopQueued", true, Stop::DestroyLoop},
                                           StopCase{"DestroyLoopStarted", false, Stop::DestroyLoop},
                                           StopCase{"TimeLimitQueued", true, Stop::TimeLimit},
                                           StopCase{"TimeLimitStarted", false, Stop::TimeLimit}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Starter, ATaskGivenUpWhileRunningIsDiscardedNotFinished) {
  auto gate = std::make_shared<Gate>();
  detail::submit_start(gate);
  for (int i = 0; i < 10000 && !gate->entered; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(gate->entered);
  EXPECT_EQ(detail::give_up_start(*gate), detail::GaveUp::Discarded);
  gate->release();
  drain_starter();
  EXPECT_EQ(gate->discard_calls, 1);
  EXPECT_EQ(gate->finished_calls, 0);
  EXPECT_EQ(detail::give_up_start(*gate), detail::GaveUp::Done);
}

TEST_F(StarterRuns, AForkedCopyStartsItsOwnAndLeavesTheParentsQueueAlone) {
  auto run = std::make_unique<QueuedRun>();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The copy of the queued run is dropped without waiting on the parent's
    // starter (which has no thread here), and a new run gets a starter of its own.
    run.reset();
    auto mine = EventLoop::create();
    if (!mine) ::_exit(2);
    RunOptions again;
    again.start_on = StartOn::Starter;
    std::optional<RunResult> r;
    (void)child({"out:2"}).make().spawn(**mine, std::move(again),
                                        [&](RunResult result) { r = std::move(result); });
    (*mine)->run();
    ::_exit(r && r->result && r->result->stdout == "oo" ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  run->finish();
}

}  // namespace
}  // namespace corvane
