#include "base/pidfd.hpp"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace corvane {

int wait_pidfd(int pidfd, siginfo_t& info, int options, rusage* usage) noexcept {
  for (;;) {
    if (::syscall(SYS_waitid, P_PIDFD, pidfd, &info, options | __WALL, usage) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace corvane
