// A host that dies while its child is still starting: the child must not go on
// to run the command as an orphan. The death signal cannot cover a host that
// died before the child set it, so the start checks for that before exec; a
// set-up step recreates exactly that order (it clears the signal, kills the
// host and waits until the host is gone) with and without a PID namespace,
// where the child cannot ask for its parent's pid.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "run/spawn.hpp"

namespace corvane {
namespace {

struct StepContext {
  int host_pidfd;
  std::atomic<int>* kill_host;
};

// Runs in the child: the host dies here, before the start re-arms its signal.
// A thread of the host does the killing: from inside a new PID namespace the
// host cannot be signalled, but the child shares the host's memory.
CORVANE_CHILD_CODE int kill_the_host_first(const void* arg) noexcept {
  const auto* context = static_cast<const StepContext*>(arg);
  child_syscall(SYS_prctl, PR_SET_PDEATHSIG, 0);
  context->kill_host->store(1, std::memory_order_release);
  struct pollfd host{context->host_pidfd, POLLIN, 0};
  if (child_syscall(SYS_poll, reinterpret_cast<long>(&host), 1, 10'000) != 1) return ETIMEDOUT;
  return 0;
}

// The host: starts `sleep` with the step above and is killed inside the start.
[[noreturn]] void host_main(std::uint64_t clone_flags) {
  static std::atomic<int> kill_host{0};
  std::thread([] {
    for (int i = 0; i < 10'000 && kill_host.load(std::memory_order_acquire) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(::getpid(), SIGKILL);
  }).detach();
  const long self = ::syscall(SYS_pidfd_open, ::getpid(), 0);
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const int out = ::fcntl(null_fd, F_DUPFD_CLOEXEC, 3);
  if (self < 0 || out < 0) ::_exit(2);
  const StepContext context{static_cast<int>(self), &kill_host};
  const ChildSetup setup{clone_flags, &kill_the_host_first, &context};
  char bin[] = "/usr/bin/sleep";
  char seconds[] = "600";
  char* const argv[] = {bin, seconds, nullptr};
  char* const envp[] = {nullptr};
  const SpawnRequest request{bin, argv, envp, "/", out, out, &setup};
  (void)spawn_child(request);
  ::_exit(3);  // the step failed: the host was never killed
}

// Our one child, from /proc (the orphan of a killed child comes to us as subreaper).
std::optional<pid_t> only_child() {
  std::optional<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    std::string state;
    pid_t parent = 0;
    if (rest >> state >> parent && parent == ::getpid()) found = std::stoi(name);
  }
  return found;
}

class HostDeath : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
  void TearDown() override { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

TEST_F(HostDeath, AChildWhoseHostDiedBeforeItsSignalWasSetNeverRunsTheCommand) {
  const struct {
    const char* name;
    std::uint64_t clone_flags;
  } rows[] = {
      {"parent seen by getppid", 0},
      {"pid namespace, parent seen through a pidfd",
       ::geteuid() == 0 ? std::uint64_t{CLONE_NEWPID}
                        : std::uint64_t{CLONE_NEWUSER | CLONE_NEWPID}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const pid_t host = ::fork();
    ASSERT_GE(host, 0);
    if (host == 0) host_main(row.clone_flags);
    int status = 0;
    ASSERT_EQ(::waitpid(host, &status, 0), host);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "host status " << status;

    // The host's child is ours now. Running the command, it would still be
    // running after the wait below; stopped before exec, it exits at once with 127.
    const auto child = only_child();
    ASSERT_TRUE(child) << "the host's child is gone without a trace";
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, *child, 0));
    ASSERT_GE(pidfd, 0);
    struct pollfd watch{pidfd, POLLIN, 0};
    const bool ended = ::poll(&watch, 1, 10'000) == 1;
    if (!ended) ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    siginfo_t info{};
    ASSERT_EQ(wait_pidfd(pidfd, info, WEXITED), 0);
    ::close(pidfd);
    EXPECT_TRUE(ended) << "the command ran as an orphan of the dead host";
    EXPECT_EQ(info.si_code, CLD_EXITED);
    EXPECT_EQ(info.si_status, 127);
  }
}

}  // namespace
}  // namespace corvane
