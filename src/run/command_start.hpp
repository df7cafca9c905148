// Starting a PreparedCommand: what the child needs (argv, environment, its pipes
// and stdin, the sandbox's per-command part) is made in the parent, the start
// itself is spawn.cpp's, and what comes out is a Child the supervisor owns.
#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>

#include "base/unique_fd.hpp"
#include "corvane/prepared.hpp"
#include "corvane/sandbox.hpp"
#include "sandbox/private_tmp.hpp"

namespace corvane {

// A started child: its pidfd is its identity from here on.
struct Child {
  UniqueFd pidfd;
  UniqueFd out;
  UniqueFd err;
  pid_t group = 0;                   // a process group killed with the child, or 0
  std::optional<Sandbox> sandbox{};  // to name a broken limit at the end
  // The run's own temporary directory (a sandbox with private_tmp): removed once
  // the child is gone, or with this Child when it never started.
  std::optional<PrivateTmp> tmp{};
};

/// Builds the child's argv, environment and pipes and starts it; the SpawnFailed
/// message on failure, with nothing left running.
[[nodiscard]] std::expected<Child, std::string> start_child(const PreparedCommand& cmd);

/// SIGKILL through the pidfd; 0, or -1 with errno set.
int sys_pidfd_kill(int pidfd) noexcept;

/// Reaps a child already sent SIGKILL (the wait is short).
void reap_blocking(int pidfd) noexcept;

/// Kills `pidfd`'s child and its process group `group` (if not 0), then reaps it or
/// hands it to the background reaper.
void kill_and_reap_child(UniqueFd& pidfd, pid_t group) noexcept;

}  // namespace corvane
