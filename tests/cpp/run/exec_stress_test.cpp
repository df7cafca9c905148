// Many executions at once: 64 concurrent on one loop, 2,000 in a rolling
// window with timeouts and broken limits mixed in, and blocking calls from
// several threads; descriptors and children must return to where they started.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "corvane/event_loop.hpp"
#include "corvane/prepared.hpp"
#include "prepared_peer.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using test::child_count;
using test::helper_path;
using test::open_fd_count;

// The expected outcome of one execution, by kind.
enum class Kind { Output, Timeout, StdoutLimit, StderrLimit, ExitCode };

struct Job {
  PreparedCommandTestPeer peer;
  Kind kind;
  std::string expected_stdout;
  int expected_exit = 0;
};

Job make_job(int i) {
  PreparedCommandTestPeer peer;
  peer.bin = helper_path("exec_child");
  peer.timeout = Duration{5, 0};
  switch (i % 5) {
    case 0:
      peer.argv = {"out:" + std::to_string(i % 3000)};
      return {peer, Kind::Output, std::string(static_cast<std::size_t>(i % 3000), 'o')};
    case 1:
      peer.argv = {"sleep:5000"};
      peer.timeout = millis(20 + static_cast<std::uint64_t>(i % 30));
      return {peer, Kind::Timeout, ""};
    case 2:
      peer.argv = {"out:5000"};
      peer.max_stdout = 4999;
      return {peer, Kind::StdoutLimit, ""};
    case 3:
      peer.argv = {"err:300"};
      peer.max_stderr = 0;
      return {peer, Kind::StderrLimit, ""};
    default:
      peer.argv = {"out:1", "exit:" + std::to_string(i % 256)};
      return {peer, Kind::ExitCode, "o", i % 256};
  }
}

// Empty when `result` is what `job` expects, else a description of the mismatch.
std::string mismatch(const Job& job, const ExecResult& result) {
  const std::string got = result ? "Output" : to_string(result.error());
  switch (job.kind) {
    case Kind::Output:
      if (result && result->success() && result->stdout == job.expected_stdout) return "";
      break;
    case Kind::ExitCode:
      if (result && result->exit_code() == job.expected_exit &&
          result->stdout == job.expected_stdout)
        return "";
      break;
    case Kind::Timeout:
      if (!result && std::holds_alternative<exec_error::Timeout>(result.error())) return "";
      break;
    case Kind::StdoutLimit:
      if (!result && to_string(result.error()) == "stdout limit exceeded: 4999 bytes") return "";
      break;
    case Kind::StderrLimit:
      if (!result && to_string(result.error()) == "stderr limit exceeded: 0 bytes") return "";
      break;
  }
  return "kind " + std::to_string(static_cast<int>(job.kind)) + " got " + got;
}

using ExecStress = test::NoLeakTest;

TEST_F(ExecStress, SixtyFourAtOnceOnOneLoop) {
  auto loop = EventLoop::create();
  ASSERT_TRUE(loop) << loop.error();
  constexpr int kCount = 64;
  std::vector<Job> jobs;
  std::vector<int> calls(kCount, 0);
  std::vector<std::optional<ExecResult>> results(kCount);
  for (int i = 0; i < kCount; ++i) jobs.push_back(make_job(i));
  for (int i = 0; i < kCount; ++i) {
    jobs[static_cast<std::size_t>(i)].peer.make().spawn(**loop, [&, i](ExecResult r) {
      ++calls[static_cast<std::size_t>(i)];
      results[static_cast<std::size_t>(i)] = std::move(r);
    });
  }
  // All of them are alive at the same time before the loop first runs.
  EXPECT_EQ(child_count(), children_at_start() + kCount);
  (*loop)->run();
  for (std::size_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(calls[i], 1) << "execution " << i;
    EXPECT_EQ(mismatch(jobs[i], *results[i]), "") << "execution " << i;
  }
}

TEST_F(ExecStress, TwoThousandInARollingWindowLeaveNothingBehind) {
  auto loop = EventLoop::create();
  ASSERT_TRUE(loop) << loop.error();
  constexpr int kTotal = 2000;
  constexpr int kWindow = 32;
  int started = 0;
  int finished = 0;
  std::vector<std::string> failures;
  std::map<Kind, int> per_kind;
  std::function<void()> start_next = [&] {
    const int i = started++;
    Job job = make_job(i);
    PreparedCommand cmd = job.peer.make();
    std::move(cmd).spawn(**loop, [&, job = std::move(job), i](ExecResult r) {
      ++finished;
      ++per_kind[job.kind];
      if (std::string why = mismatch(job, r); !why.empty()) {
        failures.push_back(std::to_string(i) + ": " + why);
      }
      if (started < kTotal) start_next();
    });
  };
  for (int i = 0; i < kWindow; ++i) start_next();
  (*loop)->run();
  EXPECT_EQ(finished, kTotal);
  EXPECT_TRUE(failures.empty()) << failures.size() << " wrong, first: " << failures.front();
  for (Kind kind :
       {Kind::Output, Kind::Timeout, Kind::StdoutLimit, Kind::StderrLimit, Kind::ExitCode}) {
    EXPECT_EQ(per_kind[kind], kTotal / 5);
  }
}

TEST_F(ExecStress, BlockingCallsFromSeveralThreadsAreIndependent) {
  constexpr int kThreads = 4;
  constexpr int kEach = 40;
  std::vector<std::vector<std::string>> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int k = 0; k < kEach; ++k) {
        const Job job = make_job(t * kEach + k);
        const ExecResult result = job.peer.make().spawn_sync();
        if (std::string why = mismatch(job, result); !why.empty()) {
          failures[static_cast<std::size_t>(t)].push_back(why);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(failures[static_cast<std::size_t>(t)].empty())
        << "thread " << t << ": " << failures[static_cast<std::size_t>(t)].front();
  }
}

}  // namespace
}  // namespace corvane
