// A child for the sandbox tests: each operation is one attack, and prints whether it
// worked, so a test runs it once without the sandbox (it must work) and once inside.
//   connect:PORT  TCP connection to 127.0.0.1:PORT        -> "connected"
//   signal:PID    kill(PID, 0)                             -> "signalled"
//   forks:N       start N processes that wait              -> the number started
//   alloc:MB      allocate MB mebibytes                    -> "allocated"
//   spin          burn CPU until killed
//   survive       double fork with a new session; the grandchild keeps stdout for 60 s
//   background    a plain background child keeps stdout for 30 s
//   lock-survive:PATH:MODE  double fork with a new session; the grandchild writes its pid
//                 to PATH and holds an flock on it for 60 s, its stdout and stderr on
//                 /dev/null; once it holds the lock, print
//                 "locked" and exit (MODE exit) or sleep 60 s (MODE wait)
//   euid          setuid(0), then print the effective uid
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
  return 1;
}

int do_connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("connect");
  std::puts("connected");
  return 0;
}

int do_forks(int count) {
  std::vector<pid_t> started;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = ::fork();
    if (pid < 0) break;
    if (pid == 0) {
      ::pause();
      std::_Exit(0);
    }
    started.push_back(pid);
  }
  std::printf("%zu\n", started.size());
  for (const pid_t pid : started) ::kill(pid, SIGKILL);
  for (const pid_t pid : started) ::waitpid(pid, nullptr, 0);
  return 0;
}

int do_alloc(long mebibytes) {
  auto* block = static_cast<volatile char*>(std::malloc(static_cast<std::size_t>(mebibytes) << 20));
  if (block == nullptr) return fail("malloc");
  block[0] = 1;
  std::puts("allocated");
  std::free(const_cast<char*>(block));
  return 0;
}

int do_survive() {
  const pid_t child = ::fork();
  if (child < 0) return fail("fork");
  if (child == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      ::sleep(60);
      std::_Exit(0);
    }
    std::_Exit(grandchild < 0 ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::puts("forked");
  return 0;
}

int do_lock_survive(const std::string& spec) {
  const auto colon = spec.rfind(':');
  const std::string path = spec.substr(0, colon);
  const bool wait = spec.substr(colon + 1) == "wait";
  const pid_t child = ::fork();
  if (child < 0) return fail("fork");
  if (child == 0) {
    ::setsid();
    if (::fork() == 0) {
      // Detached like a daemon: the run's pipes are not held, only the lock.
      const int null_fd = ::open("/dev/null", O_RDWR);
      ::dup2(null_fd, 1);
      ::dup2(null_fd, 2);
      const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) std::_Exit(1);
      const std::string pid = std::to_string(::getpid());
      (void)!::write(fd, pid.data(), pid.size());
      ::sleep(60);
      std::_Exit(0);
    }
    std::_Exit(0);
  }
  ::waitpid(child, nullptr, 0);
  // Wait (boundedly) until the grandchild holds the lock.
  for (int i = 0; i < 500; ++i) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) ::close(fd);
    if (held) break;
    ::usleep(10000);
  }
  std::puts("locked");
  if (wait) ::sleep(60);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string op = argv[1];
  const auto colon = op.find(':');
  const std::string name = op.substr(0, colon);
  const std::string value = colon == std::string::npos ? "" : op.substr(colon + 1);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (name == "connect") return do_connect(std::atoi(value.c_str()));
  if (name == "signal") {
    if (::kill(static_cast<pid_t>(std::atol(value.c_str())), 0) != 0) return fail("kill");
    std::puts("signalled");
    return 0;
  }
  if (name == "forks") return do_forks(std::atoi(value.c_str()));
  if (name == "alloc") return do_alloc(std::atol(value.c_str()));
  if (name == "spin") {
    for (;;) asm volatile("");  // a loop the compiler may not remove
  }
  if (name == "survive") return do_survive();
  if (name == "lock-survive") return do_lock_survive(value);
  if (name == "background") {
    if (::fork() == 0) {
      ::sleep(30);
      std::_Exit(0);
    }
    std::puts("started");
    return 0;
  }
  if (name == "euid") {
    (void)::setuid(0);
    std::printf("euid=%u\n", static_cast<unsigned>(::geteuid()));
    return 0;
  }
  return 2;
}
