// The child's start, attacked from the host's side: a host that ignores or
// blocks signals, owns a terminal, reaps every child itself or reuses PIDs; the
// set-up seam (a failing step, extra clone flags); environment names that
// would smuggle a variable.
#include "run/spawn.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "corvane/event_loop.hpp"
#include "corvane/prepared.hpp"
#include "prepared_peer.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Spawn = test::NoLeakTest;

PreparedCommandTestPeer command(std::string bin, std::vector<std::string> argv) {
  PreparedCommandTestPeer peer;
  peer.bin = Path(bin);
  peer.argv = std::move(argv);
  return peer;
}

// The value of "Name:" in the child's /proc/self/status, as `cat` printed it.
std::string status_field(const std::string& status, const std::string& name) {
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(name + ":", 0) == 0) {
      std::string value = line.substr(name.size() + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      return value;
    }
  }
  return "<missing>";
}

TEST_F(Spawn, ChildStartsWithEverySignalAtItsDefaultAndNothingBlocked) {
  const int code = test::in_child([] {
    // What Python and other hosts do: ignore some, handle some, block some.
    for (int sig : {SIGPIPE, SIGXFSZ, SIGTERM, SIGHUP, SIGRTMIN + 3}) ::signal(sig, SIG_IGN);
    ::signal(SIGUSR1, [](int) {});
    sigset_t blocked;
    ::sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGCHLD, SIGUSR2}) ::sigaddset(&blocked, sig);
    ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    const ExecResult r = command("/bin/cat", {"/proc/self/status"}).make().spawn_sync();
    if (!r) return 2;
    if (status_field(r->stdout, "SigIgn") != "0000000000000000") return 3;
    if (status_field(r->stdout, "SigBlk") != "0000000000000000") return 4;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST_F(Spawn, ChildHasItsOwnSessionAndCannotReachTheHostsTerminal) {
  const int code = test::in_child([] {
    // Give this host a controlling terminal, as an interactive shell has.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return 10;
    if (::setsid() < 0) return 11;
    const int slave = ::open(::ptsname(master), O_RDWR | O_CLOEXEC);
    if (slave < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) return 12;
    // Without a session of its own, `cat /dev/tty` would read the keyboard
    // (here: block until the deadline).
    PreparedCommandTestPeer tty = command("/bin/cat", {"/dev/tty"});
    tty.timeout = millis(3000);
    const ExecResult r = tty.make().spawn_sync();
    if (!r) return 2;
    if (r->exit_code() != 1 || r->stderr.find("No such device or address") == std::string::npos)
      return 3;
    const ExecResult stat = command("/bin/cat", {"/proc/self/stat"}).make().spawn_sync();
    if (!stat) return 4;
    // Fields after the command name: state ppid pgrp session tty_nr.
    std::istringstream fields(stat->stdout.substr(stat->stdout.rfind(')') + 2));
    std::string state, ppid, pgrp, session, tty_nr;
    fields >> state >> ppid >> pgrp >> session >> tty_nr;
    const std::string pid = stat->stdout.substr(0, stat->stdout.find(' '));
    if (session != pid || pgrp != pid) return 5;
    if (tty_nr != "0") return 6;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST_F(Spawn, HostThreadReapingEveryChildCannotTakeTheStatus) {
  const int code = test::in_child([] {
    // A host thread in waitpid(-1) takes every child it can; the command's
    // status must still come back right, every time.
    std::atomic<bool> stop{false};
    std::thread thief([&] {
      while (!stop) {
        if (::waitpid(-1, nullptr, WNOHANG) <= 0) ::usleep(100);
      }
    });
    int failures = 0;
    for (int i = 0; i < 100; ++i) {
      PreparedCommandTestPeer peer = command(test::helper_path("exec_child").native(),
                                             {"out:2", "exit:" + std::to_string(i % 7)});
      const ExecResult r = peer.make().spawn_sync();
      if (!r || r->stdout != "oo" || r->exit_code() != i % 7) ++failures;
    }
    stop = true;
    thief.join();
    return failures == 0 ? 0 : 2;
  });
  EXPECT_EQ(code, 0);
}

// Makes the next PID of this namespace `pid` (root only); false when not possible.
bool next_pid_is(pid_t pid) {
  std::ofstream last("/proc/sys/kernel/ns_last_pid");
  if (!last) return false;
  last << (pid - 1);
  last.flush();
  return static_cast<bool>(last);
}

TEST_F(Spawn, PidfdNeverReachesAStrangerThatReusedThePid) {
  if (::geteuid() != 0 || !std::ofstream("/proc/sys/kernel/ns_last_pid"))
    GTEST_SKIP() << "needs root to steer PID reuse";
  const int code = test::in_child([] {
    // The kernel reaps at exit: the PID is free again the moment the child ends.
    ::signal(SIGCHLD, SIG_IGN);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return 10;
    const int out = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 3);
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    char* envp[] = {nullptr};
    const SpawnRequest request{"/bin/true", argv, envp, "/", out, out, nullptr};
    auto child = spawn_child(request);
    if (!child) return 11;
    ::close(out);
    ::close(fds[1]);
    char byte;
    while (::read(fds[0], &byte, 1) > 0) {
    }
    // Wait until the PID is gone, then plant a stranger on it.
    for (int i = 0; i < 2000 && ::kill(child->pid, 0) == 0; ++i) ::usleep(500);
    ::signal(SIGCHLD, SIG_DFL);
    pid_t stranger = -1;
    // Other processes on a loaded machine may take the PID first: try again.
    for (int attempt = 0; attempt < 200 && stranger != child->pid; ++attempt) {
      if (stranger > 0) {
        ::kill(stranger, SIGKILL);
        ::waitpid(stranger, nullptr, 0);
      }
      if (!next_pid_is(child->pid)) return 12;
      stranger = ::fork();
      if (stranger == 0) {
        ::pause();
        ::_exit(0);
      }
    }
    if (stranger != child->pid) return 13;
    // The pidfd still names the command: the kill cannot reach the stranger.
    const long sent = ::syscall(SYS_pidfd_send_signal, child->pidfd.get(), SIGKILL, nullptr, 0);
    const bool refused = sent != 0 && errno == ESRCH;
    const bool stranger_alive = ::waitpid(stranger, nullptr, WNOHANG) == 0;
    ::kill(stranger, SIGKILL);
    ::waitpid(stranger, nullptr, 0);
    if (!refused) return 2;
    if (!stranger_alive) return 3;
    return 0;
  });
  if (code == 13) GTEST_SKIP() << "other processes kept taking the PID: reuse could not be steered";
  EXPECT_EQ(code, 0);
}

TEST_F(Spawn, ForkedCopyOfTheHostLeavesItsParentsRunAlone) {
  auto loop = EventLoop::create();
  ASSERT_TRUE(loop);
  std::optional<ExecResult> got;
  PreparedCommandTestPeer peer =
      command(test::helper_path("exec_child").native(), {"sleep:300", "out:3"});
  std::move(peer.make()).spawn(**loop, [&](ExecResult r) { got = std::move(r); });
  // A host that forks with a run in flight and drops its copy in the child.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    loop->reset();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  // Neither killed (the copy's destructor) nor deaf (its watches removed from the shared epoll).
  (*loop)->run();
  ASSERT_TRUE(got);
  ASSERT_TRUE(*got) << to_string(got->error());
  EXPECT_EQ((*got)->stdout, "ooo");
  EXPECT_EQ((*got)->status, 0);
}

TEST_F(Spawn, ChildThatCannotBeKilledTimesOutAtOnceAndIsReapedWhenItExits) {
  const auto nobody = test::unprivileged_identity();
  if (!nobody) GTEST_SKIP() << "needs root to make a set-uid program";
  test::TempDir dir;
  const Path helper = dir / "setuid_child";
  std::filesystem::copy_file(test::helper_path("exec_child"), helper);
  ASSERT_EQ(::chown(helper.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(helper.c_str(), 04755), 0);
  const int code = test::run_as(nobody->uid, nobody->gid, [&] {
    PreparedCommandTestPeer peer = command(helper.native(), {"become-root", "sleep:1000"});
    peer.timeout = millis(100);
    const auto start = std::chrono::steady_clock::now();
    const ExecResult r = peer.make().spawn_sync();
    const auto took = std::chrono::steady_clock::now() - start;
    if (r || !std::holds_alternative<exec_error::Timeout>(r.error())) return 2;
    if (took > std::chrono::milliseconds(900)) return 3;  // did not wait for the child
    if (test::child_count() != 1) return 4;               // still running, owned by the reaper
    for (int i = 0; i < 400 && test::child_count() != 0; ++i) ::usleep(10'000);
    return test::child_count() == 0 ? 0 : 5;  // exited and reaped: no zombie
  });
  EXPECT_EQ(code, 0);
}

// --- the set-up seam --------------------------------------------------------------

struct SetupProbe {
  long pid_inside = 0;
  int fail_with = 0;
};

CORVANE_CHILD_CODE int probe_step(const void* context) noexcept {
  // Raw system calls and plain stores only: this runs in the child.
  auto* probe = static_cast<SetupProbe*>(const_cast<void*>(context));
  probe->pid_inside = child_syscall(SYS_getpid);
  return probe->fail_with;
}

struct SeamCase {
  const char* name;
  std::uint64_t clone_flags;
  int fail_with;
  const char* cwd;
  const char* path;
  int error;         // 0: started
  SpawnStage stage;  // when it failed
};

class Seam : public Spawn, public ::testing::WithParamInterface<SeamCase> {};

TEST_P(Seam, StepRunsInTheChildAndFailuresComeBackReaped) {
  const SeamCase& c = GetParam();
  if ((c.clone_flags & CLONE_NEWPID) != 0 && ::geteuid() != 0) GTEST_SKIP() << "needs root";
  SetupProbe probe{0, c.fail_with};
  const ChildSetup setup{c.clone_flags, probe_step, &probe};
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(::fcntl(fds[1], F_DUPFD_CLOEXEC, 3));
  ::close(fds[1]);
  char* argv[] = {const_cast<char*>(c.path), nullptr};
  char* envp[] = {nullptr};
  const SpawnRequest request{c.path, argv, envp, c.cwd, write_end.get(), write_end.get(), &setup};
  auto child = spawn_child(request);
  if (c.error != 0) {
    ASSERT_FALSE(child);
    EXPECT_EQ(child.error().error, c.error);
    EXPECT_EQ(child.error().stage, c.stage);
    return;  // the fixture checks the child was reaped and no descriptor stayed open
  }
  ASSERT_TRUE(child) << child.error().error;
  EXPECT_NE(probe.pid_inside, 0) << "the step did not run";
  if ((c.clone_flags & CLONE_NEWPID) != 0) {
    EXPECT_EQ(probe.pid_inside, 1) << "first process of its own PID namespace";
  } else {
    EXPECT_EQ(probe.pid_inside, child->pid);
  }
  siginfo_t info{};
  EXPECT_EQ(wait_pidfd(child->pidfd.get(), info, WEXITED), 0);
  EXPECT_EQ(info.si_code, CLD_EXITED);
}

INSTANTIATE_TEST_SUITE_P(
    Spawn, Seam,
    ::testing::Values(
        SeamCase{"StepRuns", 0, 0, "/", "/bin/true", 0, SpawnStage::Exec},
        SeamCase{"ExtraCloneFlags", CLONE_NEWPID, 0, "/", "/bin/true", 0, SpawnStage::Exec},
        SeamCase{"StepFails", 0, EACCES, "/", "/bin/true", EACCES, SpawnStage::Setup},
        SeamCase{"ChdirFails", 0, 0, "/nonexistent-dir", "/bin/true", ENOENT, SpawnStage::Chdir},
        SeamCase{"ExecFails", 0, 0, "/", "/nonexistent-bin", ENOENT, SpawnStage::Exec}),
    [](const auto& info) { return std::string(info.param.name); });

// --- environment names ------------------------------------------------------------

TEST_F(Spawn, EnvironmentNameThatIsEmptyOrHoldsEqualsNeverStarts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"LD_PRELOAD=/x.so:",
       "environment variable name is empty or contains '=': \"LD_PRELOAD=/x.so:\""},
      {"", "environment variable name is empty or contains '=': \"\""},
      {"=", "environment variable name is empty or contains '=': \"=\""},
  };
  for (const auto& [name, text] : cases) {
    PreparedCommandTestPeer peer = command("/usr/bin/env", {});
    peer.env = {{"PATH", "/bin"}, {name, "value"}};
    const ExecResult r = peer.make().spawn_sync();
    ASSERT_FALSE(r) << "started with name " << name << ": " << r->stdout;
    EXPECT_EQ(to_string(r.error()), "failed to spawn process: " + text);
  }
}

}  // namespace
}  // namespace corvane
