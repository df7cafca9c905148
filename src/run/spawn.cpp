// The child's start: clone3 (CLONE_VM | CLONE_VFORK | CLONE_PIDFD, exit signal
// 0) onto a stack in the parent's frame, and the child's side, which may only
// use raw system calls: it shares the parent's memory, including the calling
// thread's libc state, while the parent is suspended.
#include "run/spawn.hpp"

#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <mutex>

#include "run/starter.hpp"

namespace corvane {
namespace {

// The kernel's layout of struct sigaction for rt_sigaction on x86-64.
struct KernelSigaction {
  unsigned long handler;
  unsigned long flags;
  unsigned long restorer;
  std::uint64_t mask;
};

constexpr long kSigsetBytes = 8;
constexpr int kLastSignal = 64;

// Shared between the parent and the child (CLONE_VM): the request in, the failure out.
struct ChildFrame {
  const SpawnRequest* request;
  int error;
  SpawnStage stage;
  pid_t host_pid;  // the host as the child's getppid() names it
  int host_pidfd;  // the host process in a new PID namespace, where getppid() is 0; else -1
};

// Whether the host died before the child's death signal was set: the child
// was then handed to another parent, and the signal will never come. The
// parent's pidfd is readable once every thread of the host has exited.
CORVANE_CHILD_CODE bool host_gone(const ChildFrame& frame) noexcept {
  if (frame.host_pidfd < 0) return child_syscall(SYS_getppid) != frame.host_pid;
  struct pollfd host{frame.host_pidfd, POLLIN, 0};
  return child_syscall(SYS_poll, reinterpret_cast<long>(&host), 1, 0) != 0;
}

CORVANE_CHILD_CODE int child_fail(ChildFrame* frame, SpawnStage stage, long rc) noexcept {
  frame->stage = stage;
  frame->error = static_cast<int>(-rc);
  return 127;
}

// Returns the exit code on failure (the frame then holds the errno); on success it never returns.
CORVANE_CHILD_CODE int child_main(void* arg) noexcept {
  auto* frame = static_cast<ChildFrame*>(arg);
  const SpawnRequest& req = *frame->request;
  long rc = 0;

  // The command dies with its host, however the host dies (SIGKILL, a crash):
  // nobody would be left to enforce its time limit or read its output. The
  // signal comes when the thread that started it exits; the starter thread
  // lives as long as the process, and a blocking run's thread waits for its child.
  if ((rc = child_syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL)) < 0)
    return child_fail(frame, SpawnStage::Session, rc);

  // Every catchable signal at its default: a handler of the host would run the
  // host's code in this shared memory, and an ignored SIGPIPE or SIGXFSZ would
  // be inherited across exec. Signals stay blocked until just before exec.
  const KernelSigaction default_action{0, 0, 0, 0};
  for (int sig = 1; sig <= kLastSignal; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    child_syscall(SYS_rt_sigaction, sig, reinterpret_cast<long>(&default_action), 0, kSigsetBytes);
  }

  // A new session: no controlling terminal, so /dev/tty cannot reach the user's keyboard.
  if ((rc = child_syscall(SYS_setsid)) < 0) return child_fail(frame, SpawnStage::Session, rc);

  if (req.stdin_fd >= 0) {
    // The parent already filled this pipe and closed its write end.
    if ((rc = child_syscall(SYS_dup3, req.stdin_fd, 0, 0)) < 0)
      return child_fail(frame, SpawnStage::Stdin, rc);
  } else if ((rc = child_syscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"),
                                 O_RDONLY)) < 0) {
    return child_fail(frame, SpawnStage::Stdin, rc);
  } else if (rc != 0) {
    const long null_fd = rc;
    if ((rc = child_syscall(SYS_dup3, null_fd, 0, 0)) < 0)
      return child_fail(frame, SpawnStage::Stdin, rc);
    child_syscall(SYS_close, null_fd);
  }
  if ((rc = child_syscall(SYS_dup3, req.stdout_fd, 1, 0)) < 0)
    return child_fail(frame, SpawnStage::Streams, rc);
  if ((rc = child_syscall(SYS_dup3, req.stderr_fd, 2, 0)) < 0)
    return child_fail(frame, SpawnStage::Streams, rc);

  if ((rc = child_syscall(SYS_chdir, reinterpret_cast<long>(req.cwd))) < 0)
    return child_fail(frame, SpawnStage::Chdir, rc);

  // Before the descriptors above 2 go: a step may use one the parent prepared for it
  // (a sandbox's Landlock ruleset).
  if (req.setup != nullptr && req.setup->run != nullptr) {
    if (const int error = req.setup->run(req.setup->context); error != 0)
      return child_fail(frame, SpawnStage::Setup, -static_cast<long>(error));
  }

  // Set again: the kernel clears it when a step changes the process's ids.
  if ((rc = child_syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL)) < 0)
    return child_fail(frame, SpawnStage::Session, rc);
  // A host that died before the death signal was set (checked as late as
  // possible, so that the host's exit has had the whole start to complete).
  // Nobody reads the failure: the parent is gone.
  if (host_gone(*frame)) return child_fail(frame, SpawnStage::Session, -ESRCH);

  // Even descriptors the host made inheritable: the command gets 0, 1 and 2 only.
  rc = child_syscall(SYS_close_range, 3, ~0L & 0xffffffffL, 0);
  if (rc == -ENOSYS || rc == -EINVAL) {
    // Kernels before close_range: close every number below the descriptor limit.
    struct rlimit limit{};
    rc = child_syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, 0, reinterpret_cast<long>(&limit));
    if (rc < 0) return child_fail(frame, SpawnStage::CloseFds, rc);
    for (rlim_t fd = 3; fd < limit.rlim_cur; ++fd) child_syscall(SYS_close, static_cast<long>(fd));
  } else if (rc < 0) {
    return child_fail(frame, SpawnStage::CloseFds, rc);
  }

  const std::uint64_t empty_mask = 0;
  child_syscall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&empty_mask), 0,
                kSigsetBytes);
  rc = child_syscall(SYS_execve, reinterpret_cast<long>(req.path), reinterpret_cast<long>(req.argv),
                     reinterpret_cast<long>(req.envp));
  return child_fail(frame, SpawnStage::Exec, rc);
}

// clone3 whose child starts on the new stack by calling fn(arg) and exits with
// its return value; the parent gets the pid or -errno. Written out because the
// child must never return through a frame of the parent's stack.
[[gnu::noinline]] long clone3_call(clone_args* args, int (*fn)(void*) noexcept,
                                   void* arg) noexcept {
  long ret;
  register int (*r12)(void*) noexcept asm("r12") = fn;
  register void* r13 asm("r13") = arg;
  asm volatile(
      "syscall\n\t"
      "testq %%rax, %%rax\n\t"
      "jnz 1f\n\t"
      // Child: the kernel put the stack pointer at the top of the new stack.
      "xorl %%ebp, %%ebp\n\t"
      "andq $-16, %%rsp\n\t"
      "movq %%r13, %%rdi\n\t"
      "callq *%%r12\n\t"
      "movl %%eax, %%edi\n\t"
      "movl %[exit_nr], %%eax\n\t"
      "syscall\n\t"
      "hlt\n\t"
      "1:\n\t"
      : "=a"(ret)
      : "a"(static_cast<long>(SYS_clone3)), "D"(args), "S"(sizeof(clone_args)), "r"(r12),
        "r"(r13), [exit_nr] "i"(SYS_exit)
      : "rcx", "r11", "memory", "cc");
  return ret;
}

// PIDFD_GET_INFO (kernel 6.15+), declared here for older headers: the first,
// fixed-size version of the structure, which ends with the exit status.
struct PidfdInfo {
  std::uint64_t mask;
  std::uint64_t cgroupid;
  std::uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
  std::int32_t exit_code;
};
static_assert(sizeof(PidfdInfo) == 64);
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);
constexpr std::uint64_t kPidfdInfoExit = 1U << 3;

// Owns the pidfds of children that outlived their run and reaps each as it exits.
class Reaper {
 public:
  void adopt(UniqueFd pidfd) noexcept {
    const std::lock_guard lock(mutex_);
    // First use, or a forked copy of the process: the thread does not exist
    // here, and the inherited epoll instance is the creator's own. A start that
    // failed (no descriptor or thread to spare then) is tried again.
    if (owner_ != ::getpid() || !epoll_) start();
    if (!epoll_) return;  // could not start: the descriptor closes, the child stays unreaped
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = pidfd.get();
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, pidfd.get(), &event) == 0)
      (void)pidfd.release();  // the thread closes it after the reap
  }

 private:
  void start() noexcept {
    owner_ = ::getpid();
    epoll_.reset();  // a forked copy drops its copy; the creator's instance lives on
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_) return;
    const bool started = detail::start_quiet_thread(
        &Reaper::run, reinterpret_cast<void*>(static_cast<std::intptr_t>(epoll_.get())), 64 * 1024);
    if (!started) epoll_.reset();
  }

  static void* run(void* arg) {
    const int epoll = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
    for (;;) {
      epoll_event events[16];
      const int n = ::epoll_wait(epoll, events, 16, -1);
      if (n < 0 && errno != EINTR) return nullptr;
      for (int i = 0; i < n; ++i) {
        const int pidfd = events[i].data.fd;
        siginfo_t info{};
        const int error = wait_pidfd(pidfd, info, WEXITED | WNOHANG);
        if (error != 0 || info.si_pid != 0) {
          ::epoll_ctl(epoll, EPOLL_CTL_DEL, pidfd, nullptr);
          ::close(pidfd);
        }
      }
    }
  }

  std::mutex mutex_;
  pid_t owner_ = 0;
  UniqueFd epoll_;
};

// Never destroyed: its thread may still run while the process exits.
Reaper& reaper() noexcept {
  static Reaper* const instance = new Reaper();
  return *instance;
}

}  // namespace

void reap_in_background(UniqueFd pidfd) noexcept {
  reaper().adopt(std::move(pidfd));
}

std::optional<int> reaped_exit_status(int pidfd) noexcept {
  // The reaper records the status as it releases the process; a reaper that is
  // between claiming and releasing it is waited for, briefly and boundedly.
  for (int attempt = 0; attempt < 200; ++attempt) {
    PidfdInfo info{};
    info.mask = kPidfdInfoExit;
    if (::ioctl(pidfd, kPidfdGetInfo, &info) == 0) {
      if ((info.mask & kPidfdInfoExit) != 0) return info.exit_code;
    } else if (errno != ESRCH) {
      return std::nullopt;  // a kernel without PIDFD_GET_INFO or without exit information
    }
    const timespec pause{0, 500'000};
    ::nanosleep(&pause, nullptr);
  }
  return std::nullopt;
}

std::expected<SpawnedChild, SpawnError> spawn_child(const SpawnRequest& request) noexcept {
  alignas(16) unsigned char stack[kChildStackBytes];
  const std::uint64_t extra_flags = request.setup != nullptr ? request.setup->clone_flags : 0;
  // Inside a new PID namespace the child's getppid() is 0 whoever its parent
  // is, so it watches the host through a pidfd made here instead.
  UniqueFd host;
  if ((extra_flags & CLONE_NEWPID) != 0) {
    const long fd = ::syscall(SYS_pidfd_open, ::getpid(), 0);
    if (fd < 0) return std::unexpected(SpawnError{errno, SpawnStage::Clone});
    host.reset(static_cast<int>(fd));
  }
  ChildFrame frame{&request, 0, SpawnStage::Exec, ::getpid(), host.get()};
  int pidfd = -1;
  clone_args args{};
  args.flags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD | extra_flags;
  args.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
  args.exit_signal = 0;
  args.stack = reinterpret_cast<std::uint64_t>(stack);
  args.stack_size = sizeof stack;

  // Every signal blocked, libc's own included, until the child has reset its
  // handlers: none of the host's handlers may run on the child's side.
  const std::uint64_t all = ~std::uint64_t{0};
  std::uint64_t previous = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &previous, kSigsetBytes);
  const long pid = clone3_call(&args, child_main, &frame);
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &previous, nullptr, kSigsetBytes);

  if (pid < 0) return std::unexpected(SpawnError{static_cast<int>(-pid), SpawnStage::Clone});
  UniqueFd owned(pidfd);
  if (frame.error != 0) {
    // The child has exited (CLONE_VFORK resumed us); reap it before reporting.
    siginfo_t info{};
    (void)wait_pidfd(owned.get(), info, WEXITED);
    return std::unexpected(SpawnError{frame.error, frame.stage});
  }
  return SpawnedChild{static_cast<pid_t>(pid), std::move(owned)};
}

}  // namespace corvane
