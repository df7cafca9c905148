// Waiting on a child through its pidfd: the one waitid loop every part shares.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace corvane {

/// waitid on a pidfd, with __WALL so that clone children are seen (the start
/// path's children carry no exit signal until exec); retries EINTR. Fills
/// `usage` with the child's resource usage when given (the libc wrapper drops
/// it). Returns 0, or the errno.
[[nodiscard]] int wait_pidfd(int pidfd, siginfo_t& info, int options,
                             rusage* usage = nullptr) noexcept;

}  // namespace corvane
