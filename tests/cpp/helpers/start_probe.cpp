// A child for the sandbox's "no further programs" tests: each operation is one way of
// starting a process or a program by raw system calls (so the C library's own
// fallbacks do not hide which call the kernel saw), and prints what it got.
//   fork | vfork | clone | clone3   start a process that exits at once    -> "started"
//   thread                          a thread that prints, joined           -> "thread"
//   memfd-at:PATH                   copy PATH into a memfd, run it as `PATH -c 'echo ran'`
//                                   by execveat(fd, "", AT_EMPTY_PATH)    -> "ran"
//   memfd-proc:PATH                 the same through /proc/self/fd/N      -> "ran"
//   self-at                         run this very binary again by its descriptor
//                                   (execveat AT_EMPTY_PATH), as `say`    -> "said"
//   sealed-memfd                    a memfd sealed non-executable          -> "sealed"
//   say                             print "said"
//   io-uring                        set up an io_uring (it can open sockets) -> "ring"
//   socket:inet | socket:unix       make a TCP or a UNIX socket            -> "socket"
// A refused operation prints "<op>: <error>" on stderr and exits 1.
#include <fcntl.h>
#include <linux/io_uring.h>
#include <linux/memfd.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr unsigned kMfdNoexecSeal = 0x0008U;  // kernel 6.3; older headers lack it

int fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), std::strerror(errno));
  return 1;
}

// The parent's side of a start: wait for the child, then report.
int started(long pid, const char* op) {
  if (pid < 0) return fail(op);
  int status = 0;
  ::waitpid(static_cast<pid_t>(pid), &status, __WALL);
  std::puts("started");
  return 0;
}

int start(const std::string& op) {
  long pid = -1;
  if (op == "fork") {
    pid = ::syscall(SYS_fork);
  } else if (op == "vfork") {
    // The child borrows this stack: it may only leave by a raw exit.
    pid = ::syscall(SYS_vfork);
  } else if (op == "clone") {
    pid = ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
  } else {
    clone_args args{};
    args.exit_signal = SIGCHLD;
    pid = ::syscall(SYS_clone3, &args, sizeof args);
  }
  if (pid == 0) ::syscall(SYS_exit, 0);
  return started(pid, op.c_str());
}

// A memfd holding a copy of `path`; -1 with errno on failure.
int memfd_copy(const char* path) {
  const int fd = static_cast<int>(::syscall(SYS_memfd_create, "copy", MFD_CLOEXEC));
  if (fd < 0) return -1;
  const int in = ::open(path, O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  char buf[65536];
  ssize_t n = 0;
  while ((n = ::read(in, buf, sizeof buf)) > 0) {
    if (::write(fd, buf, static_cast<std::size_t>(n)) != n) return -1;
  }
  ::close(in);
  return n < 0 ? -1 : fd;
}

int run_copy(const std::string& op, const char* path) {
  const int fd = memfd_copy(path);
  if (fd < 0) return fail(op + ": memfd");
  char arg0[] = "copy";
  char arg1[] = "-c";
  char arg2[] = "echo ran";
  char* argv[] = {arg0, arg1, arg2, nullptr};
  char* envp[] = {nullptr};
  if (op == "memfd-at") {
    ::syscall(SYS_execveat, fd, "", argv, envp, AT_EMPTY_PATH);
  } else {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    ::execve(proc.c_str(), argv, envp);
  }
  return fail(op + ": exec");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string op = argv[1];
  if (op == "say") {
    std::puts("said");
    return 0;
  }
  if (op == "fork" || op == "vfork" || op == "clone" || op == "clone3") return start(op);
  if (op == "thread") {
    std::thread([] { std::puts("thread"); }).join();
    return 0;
  }
  if (op.starts_with("memfd-at:") || op.starts_with("memfd-proc:")) {
    const auto colon = op.find(':');
    return run_copy(op.substr(0, colon), op.c_str() + colon + 1);
  }
  if (op == "self-at") {
    const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("self-at: open");
    char arg0[] = "start_probe";
    char arg1[] = "say";
    char* args[] = {arg0, arg1, nullptr};
    char* envp[] = {nullptr};
    ::syscall(SYS_execveat, fd, "", args, envp, AT_EMPTY_PATH);
    return fail("self-at");
  }
  if (op == "sealed-memfd") {
    const long fd = ::syscall(SYS_memfd_create, "sealed", MFD_CLOEXEC | kMfdNoexecSeal);
    if (fd < 0) return fail("sealed-memfd");
    std::puts("sealed");
    return 0;
  }
  if (op == "io-uring") {
    io_uring_params params{};
    if (::syscall(SYS_io_uring_setup, 1, &params) < 0) return fail("io-uring");
    std::puts("ring");
    return 0;
  }
  if (op == "socket:inet" || op == "socket:unix") {
    if (::socket(op == "socket:inet" ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) < 0)
      return fail(op);
    std::puts("socket");
    return 0;
  }
  std::fprintf(stderr, "unknown operation %s\n", op.c_str());
  return 2;
}
