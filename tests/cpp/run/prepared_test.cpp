// Execution of prepared commands: limits, deadline, the child's contract
// (argv, environment, stdin, descriptors, signals), spawn failures, the blocking
// entry point inside a loop, internal faults, and no leak on any path.
#include "corvane/prepared.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "corvane/event_loop.hpp"
#include "prepared_peer.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using test::child_count;
using test::helper_path;
using test::open_fd_count;

// Every test must leave the process as it found it: no descriptor, no child.
using Exec = test::NoLeakTest;

PreparedCommandTestPeer child(std::vector<std::string> ops) {
  PreparedCommandTestPeer peer;
  peer.bin = helper_path("exec_child");
  peer.argv = std::move(ops);
  return peer;
}

ExecResult run(const PreparedCommandTestPeer& peer) {
  return peer.make().spawn_sync();
}

std::string message(const ExecResult& result) {
  return result ? std::string("<Output>") : to_string(result.error());
}

// --- output limits --------------------------------------------------------

struct LimitCase {
  const char* name;
  std::vector<std::string> ops;
  std::uint64_t max_stdout;
  std::uint64_t max_stderr;
  // Either the captured lengths or the exact error message.
  std::optional<std::pair<std::size_t, std::size_t>> lengths;
  const char* error;
};

class Limits : public Exec, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limits, CapturesUpToTheLimitAndRejectsOneByteMore) {
  const LimitCase& c = GetParam();
  PreparedCommandTestPeer peer = child(c.ops);
  peer.max_stdout = c.max_stdout;
  peer.max_stderr = c.max_stderr;
  const ExecResult result = run(peer);
  if (c.lengths) {
    ASSERT_TRUE(result) << message(result);
    EXPECT_EQ(result->stdout.size(), c.lengths->first);
    EXPECT_EQ(result->stderr.size(), c.lengths->second);
    EXPECT_EQ(result->stdout, std::string(c.lengths->first, 'o'));
    EXPECT_EQ(result->stderr, std::string(c.lengths->second, 'e'));
    EXPECT_TRUE(result->success());
  } else {
    ASSERT_FALSE(result);
    EXPECT_EQ(to_string(result.error()), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Exec, Limits,
    ::testing::Values(
        LimitCase{
            "StdoutExactlyAtLimit", {"out:100000"}, 100000, 10, std::pair{100000, 0}, nullptr},
        LimitCase{"StdoutOneOver",
                  {"out:100001"},
                  100000,
                  10,
                  std::nullopt,
                  "stdout limit exceeded: 100000 bytes"},
        LimitCase{"StdoutOneChunk", {"out:8192"}, 8192, 0, std::pair{8192, 0}, nullptr},
        LimitCase{"StdoutOneChunkPlusOne",
                  {"out:8193"},
                  8192,
                  0,
                  std::nullopt,
                  "stdout limit exceeded: 8192 bytes"},
        LimitCase{"StderrExactlyAtLimit", {"err:70000"}, 0, 70000, std::pair{0, 70000}, nullptr},
        LimitCase{"StderrOneOver",
                  {"err:70001"},
                  0,
                  70000,
                  std::nullopt,
                  "stderr limit exceeded: 70000 bytes"},
        LimitCase{"ZeroLimitsNoOutput", {}, 0, 0, std::pair{0, 0}, nullptr},
        LimitCase{"ZeroStdoutLimitOneByte",
                  {"out:1"},
                  0,
                  0,
                  std::nullopt,
                  "stdout limit exceeded: 0 bytes"},
        LimitCase{"ZeroStderrLimitOneByte",
                  {"err:1"},
                  0,
                  0,
                  std::nullopt,
                  "stderr limit exceeded: 0 bytes"},
        LimitCase{"BothOverStdoutWins",
                  {"out:2000", "err:2000"},
                  1000,
                  1000,
                  std::nullopt,
                  "stdout limit exceeded: 1000 bytes"},
        LimitCase{"StderrOverStdoutFine",
                  {"out:500", "err:2000"},
                  1000,
                  1000,
                  std::nullopt,
                  "stderr limit exceeded: 1000 bytes"},
        LimitCase{"BothStreamsLarge",
                  {"out:300000", "err:200000"},
                  300000,
                  200000,
                  std::pair{300000, 200000},
                  nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the deadline -----------------------------------------------------------

struct TimeoutCase {
  const char* name;
  std::vector<std::string> ops;
  std::uint64_t limit_ms;
  std::uint64_t max_stdout;
  const char* limit_text;
};

class Timeouts : public Exec, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(Timeouts, KillReapAndReportTheLimit) {
  const TimeoutCase& c = GetParam();
  PreparedCommandTestPeer peer = child(c.ops);
  peer.timeout = millis(c.limit_ms);
  peer.max_stdout = c.max_stdout;
  const ExecResult result = run(peer);
  ASSERT_FALSE(result) << "expected a timeout";
  const auto* timeout = std::get_if<exec_error::Timeout>(&result.error());
  ASSERT_NE(timeout, nullptr) << message(result);
  EXPECT_EQ(timeout->limit, millis(c.limit_ms));
  EXPECT_GE(timeout->elapsed, timeout->limit);
  const std::string text = to_string(result.error());
  EXPECT_TRUE(text.starts_with("process timed out after ")) << text;
  EXPECT_TRUE(text.ends_with(std::string(" (limit: ") + c.limit_text + ")")) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Exec, Timeouts,
    ::testing::Values(
        TimeoutCase{"SleepsPastTheLimit", {"sleep:10000"}, 100, 10485760, "100ms"},
        // Over its stdout limit the writer blocks on a full pipe; stderr never ends.
        TimeoutCase{"FloodWithStderrHeldOpen", {"flood-out"}, 150, 1000, "150ms"},
        // The stream stays open while the background process holds it.
        TimeoutCase{"BackgroundHoldsStdout", {"bg-sleep:1500", "exit:0"}, 150, 10485760, "150ms"},
        // Both streams end but the child keeps running: the deadline bounds the wait too.
        TimeoutCase{"ClosesStreamsKeepsRunning",
                    {"close-out", "close-err", "sleep:10000"},
                    150,
                    10485760,
                    "150ms"},
        TimeoutCase{"ZeroTimeout", {"sleep:10000"}, 0, 10485760, "0ns"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Exec, TimeoutOfOneAndAHalfSecondsRendersItsLimit) {
  PreparedCommandTestPeer peer = child({"sleep:10000"});
  peer.timeout = Duration{1, 500'000'000};
  const ExecResult result = run(peer);
  ASSERT_FALSE(result);
  EXPECT_TRUE(to_string(result.error()).ends_with(" (limit: 1.5s)")) << message(result);
}

TEST_F(Exec, UnrepresentableDeadlineNeverPasses) {
  PreparedCommandTestPeer peer = child({"out:3"});
  peer.timeout = Duration{UINT64_MAX, 999'999'999};
  const ExecResult result = run(peer);
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, "ooo");
}

// --- exit status ------------------------------------------------------------

TEST_F(Exec, NonZeroExitIsAnOutput) {
  const ExecResult result = run(child({"out:5", "err:3", "exit:3"}));
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, "ooooo");
  EXPECT_EQ(result->stderr, "eee");
  EXPECT_EQ(result->exit_code(), 3);
  EXPECT_FALSE(result->success());
  EXPECT_EQ(result->status, 3 << 8);
}

TEST_F(Exec, DeathBySignalHasNoExitCode) {
  const ExecResult result = run(child({"out:2", "kill-self:9"}));
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, "oo");
  EXPECT_EQ(result->exit_code(), std::nullopt);
  EXPECT_FALSE(result->success());
  EXPECT_TRUE(WIFSIGNALED(result->status));
  EXPECT_EQ(WTERMSIG(result->status), SIGKILL);
}

TEST_F(Exec, SilentChildSucceedsWithEmptyCapture) {
  const ExecResult result = run(child({}));
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, "");
  EXPECT_EQ(result->stderr, "");
  EXPECT_EQ(result->status, 0);
  EXPECT_EQ(result->exit_code(), 0);
  EXPECT_TRUE(result->success());
}

// --- what the child receives --------------------------------------------------

TEST_F(Exec, EmptyEnvironmentMeansNone) {
  const ExecResult result = run(child({"env"}));
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, "");
}

TEST_F(Exec, EnvironmentIsExactAndSortedByNameBytes) {
  PreparedCommandTestPeer peer = child({"env"});
  // "A" sorts before "A0" by name even though "A=" sorts after "A0=" as a whole
  // entry; bytes above 0x7f sort after ASCII.
  peer.env = {{"B", "2"}, {"a", "y"}, {"A0", "x"}, {"A", "1"}, {"\xc3\xa9", "v"}, {"E", ""}};
  const ExecResult result = run(peer);
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, "A=1\nA0=x\nB=2\nE=\na=y\n\xc3\xa9=v\n");
}

TEST_F(Exec, StdinIsEmpty) {
  const ExecResult result = run(child({"stdin"}));
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, "0");
}

TEST_F(Exec, ArgvZeroIsTheBinaryPathAndArgumentsPassUnchanged) {
  const PreparedCommandTestPeer peer = child({"argv0"});
  const ExecResult result = run(peer);
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, peer.bin.native());

  const ExecResult args = run(child({"args", "--", "", "two words", "*", "$HOME"}));
  ASSERT_TRUE(args) << message(args);
  EXPECT_EQ(args->stdout, "args\n--\n\ntwo words\n*\n$HOME\n");
}

TEST_F(Exec, StartsInTheWorkingDirectory) {
  test::TempDir dir;
  PreparedCommandTestPeer peer = child({"cwd"});
  peer.cwd = dir.path();
  const ExecResult result = run(peer);
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, dir.path().native());
}

TEST_F(Exec, ChildSeesOnlyTheThreeStandardDescriptors) {
  // Deliberately inheritable: even so it must not reach the child.
  const int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  const ExecResult result = run(child({"fds"}));
  ::close(leaked);
  ASSERT_TRUE(result) << message(result);
  EXPECT_EQ(result->stdout, "0 1 2");
}

TEST_F(Exec, SigpipeIsAtItsDefaultEvenWhenTheHostIgnoresAndBlocksIt) {
  struct sigaction ignore{};
  struct sigaction previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  sigset_t block;
  sigset_t old_mask;
  ::sigemptyset(&block);
  ::sigaddset(&block, SIGPIPE);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);

  const ExecResult result = run(child({"sigpipe"}));

  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(result) << message(result);
  ASSERT_TRUE(WIFSIGNALED(result->status)) << "status " << result->status;
  EXPECT_EQ(WTERMSIG(result->status), SIGPIPE);
}

// --- failures to start --------------------------------------------------------

TEST_F(Exec, StartFailuresCarryTheOsErrorText) {
  test::TempDir dir;
  const Path gone_dir = dir / "gone";
  test::make_dirs(gone_dir);
  std::filesystem::remove(gone_dir);
  const Path gone_bin = dir / "tool";
  test::write_script(gone_bin, "exit 0");
  std::filesystem::remove(gone_bin);
  const Path plain_file = dir / "file";
  test::write_file(plain_file, "data", 0644);

  struct Case {
    const char* name;
    Path bin;
    Path cwd;
    const char* expected;
  };
  const Case cases[] = {
      {"vanished cwd", helper_path("exec_child"), gone_dir,
       "failed to spawn process: No such file or directory (os error 2)"},
      {"deleted binary", gone_bin, "/",
       "failed to spawn process: No such file or directory (os error 2)"},
      {"cwd is a file", helper_path("exec_child"), plain_file,
       "failed to spawn process: Not a directory (os error 20)"},
      {"binary lost its execute bits", plain_file, "/",
       "failed to spawn process: Permission denied (os error 13)"},
  };
  for (const Case& c : cases) {
    PreparedCommandTestPeer peer = child({});
    peer.bin = c.bin;
    peer.cwd = c.cwd;
    const ExecResult result = run(peer);
    ASSERT_FALSE(result) << c.name;
    EXPECT_TRUE(std::holds_alternative<exec_error::SpawnFailed>(result.error())) << c.name;
    EXPECT_EQ(to_string(result.error()), c.expected) << c.name;
  }
}

TEST_F(Exec, NulByteAnywhereIsRejectedBeforeAnythingStarts) {
  using namespace std::string_literals;
  std::vector<PreparedCommandTestPeer> peers(5, child({"out:1"}));
  peers[0].bin = Path(helper_path("exec_child").native() + "\0x"s);
  peers[1].argv.push_back("a\0b"s);
  peers[2].cwd = Path("/\0tmp"s);
  peers[3].env = {{"NA\0ME"s, "v"}};
  peers[4].env = {{"NAME", "va\0lue"s}};
  for (const auto& peer : peers) {
    const ExecResult result = run(peer);
    ASSERT_FALSE(result);
    EXPECT_EQ(to_string(result.error()),
              "failed to spawn process: nul byte found in provided data");
  }
}

TEST_F(Exec, PrivateLoopThatCannotBeCreatedIsASpawnFailure) {
  const int code = test::in_child([] {
    // Leave room for exactly the standard streams, so the first new descriptor (the loop) fails.
    ::close_range(3, ~0U, 0);
    const rlimit limit{3, 3};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
    const ExecResult result = child({"out:1"}).make().spawn_sync();
    if (result) return 3;
    return to_string(result.error()) ==
                   "failed to spawn process: failed to create runtime: Too many open files (os "
                   "error 24)"
               ? 0
               : 4;
  });
  EXPECT_EQ(code, 0);
}

TEST_F(Exec, HostThatAutoReapsChildrenStillGetsTheirOutputs) {
  const int code = test::in_child([] {
    // With SIGCHLD ignored the kernel reaps the command at exit; its status is
    // read from the pidfd instead of failing with "No child processes".
    ::signal(SIGCHLD, SIG_IGN);
    for (int i = 0; i < 20; ++i) {
      const ExecResult ok = child({"out:1", "exit:" + std::to_string(i)}).make().spawn_sync();
      if (!ok) return 2;
      if (ok->stdout != "o" || ok->exit_code() != i) return 3;
    }
    PreparedCommandTestPeer slow = child({"sleep:10000"});
    slow.timeout = millis(50);
    const ExecResult timed_out = slow.make().spawn_sync();
    if (timed_out || !std::holds_alternative<exec_error::Timeout>(timed_out.error())) return 4;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST_F(Exec, HostWithoutStandardDescriptorsStillWiresTheChildRight) {
  const int code = test::in_child([] {
    // New pipes now land on 0..2; they must not be confused with the child's own streams.
    ::close(0);
    ::close(1);
    ::close(2);
    const ExecResult result = child({"out:3", "err:2", "stdin", "fds"}).make().spawn_sync();
    if (!result) return 2;
    if (result->stdout != "ooo0" + std::string("0 1 2")) return 3;
    if (result->stderr != "ee") return 4;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

// --- the blocking entry point inside a loop ----------------------------------

TEST_F(Exec, SpawnSyncInsideARunningLoopUsesAWorkerWithItsOwnLoop) {
  auto loop = EventLoop::create();
  ASSERT_TRUE(loop) << loop.error();
  std::optional<ExecResult> ok;
  std::optional<ExecResult> timed_out;
  EventLoop* seen = nullptr;
  (*loop)->add_timer(EventLoop::Clock::now(), [&] {
    seen = EventLoop::current();
    // This single-threaded loop is blocked here; running on it would deadlock.
    ok = child({"out:3", "err:2", "exit:4"}).make().spawn_sync();
    PreparedCommandTestPeer slow = child({"sleep:10000"});
    slow.timeout = millis(50);
    timed_out = slow.make().spawn_sync();
  });
  (*loop)->run();
  EXPECT_EQ(seen, loop->get());
  EXPECT_EQ(EventLoop::current(), nullptr);
  ASSERT_TRUE(ok && *ok) << (ok ? message(*ok) : "no result");
  EXPECT_EQ((*ok)->stdout, "ooo");
  EXPECT_EQ((*ok)->stderr, "ee");
  EXPECT_EQ((*ok)->exit_code(), 4);
  ASSERT_TRUE(timed_out && !*timed_out);
  EXPECT_TRUE(std::holds_alternative<exec_error::Timeout>(timed_out->error()));
}

TEST_F(Exec, WorkerThatCannotStartIsAnInternalFault) {
  const auto nobody = test::unprivileged_identity();
  if (!nobody) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  const int code = test::run_as(nobody->uid, nobody->gid, [] {
    // Threads count against the user's process limit: none may be created now.
    const rlimit limit{0, 0};
    if (::setrlimit(RLIMIT_NPROC, &limit) != 0) return 2;
    set_fault_handler(&throw_internal_fault);
    auto loop = EventLoop::create();
    if (!loop) return 3;
    int outcome = 4;
    (*loop)->add_timer(EventLoop::Clock::now(), [&] {
      try {
        (void)child({"out:1"}).make().spawn_sync();
        outcome = 5;
      } catch (const InternalFault& fault) {
        outcome = std::string(fault.what()) == "failed to spawn thread" ? 0 : 6;
      }
    });
    (*loop)->run();
    return outcome;
  });
  EXPECT_EQ(code, 0);
}

// --- async spawn and the loop's lifetime ---------------------------------------

TEST_F(Exec, SpawnDeliversFromTheLoopNeverFromInsideSpawn) {
  auto loop = EventLoop::create();
  ASSERT_TRUE(loop);
  int calls = 0;
  std::optional<ExecResult> failed;
  PreparedCommandTestPeer bad = child({});
  bad.cwd = Path(std::string("/\0", 2));
  bad.make().spawn(**loop, [&](ExecResult r) {
    ++calls;
    failed = std::move(r);
  });
  EXPECT_EQ(calls, 0);
  (*loop)->run();
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(failed && !*failed);
  EXPECT_EQ(to_string(failed->error()), "failed to spawn process: nul byte found in provided data");
}

TEST_F(Exec, DestroyingALoopKillsAndReapsItsExecutions) {
  const int children = child_count();
  std::vector<std::string> results;
  {
    auto loop = EventLoop::create();
    ASSERT_TRUE(loop);
    for (int i = 0; i < 4; ++i) {
      child({"sleep:10000"}).make().spawn(**loop, [&](ExecResult r) {
        // Called after the child is gone, never before.
        results.push_back(message(r) + (child_count() < children + 4 ? "" : " (child alive)"));
      });
    }
    EXPECT_EQ(child_count(), children + 4);
  }
  // Each `done` ran exactly once, from the loop's destructor.
  EXPECT_EQ(results, std::vector<std::string>(
                         4, "failed to spawn process: interrupted: the event loop was destroyed"));
  EXPECT_EQ(child_count(), children);
}

}  // namespace
}  // namespace corvane
