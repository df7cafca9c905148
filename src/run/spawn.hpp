// Starting a child: clone3 with CLONE_PIDFD in the vfork style (the child runs
// on a small stack of its own in the parent's memory while the parent waits),
// so the pidfd exists before the child can exit and no PID is ever used to
// name it. The child does its own set-up with raw system calls only, then execs;
// a failed step comes back to the parent as an errno, the child already reaped.
//
// The child's exit signal is 0 until exec: a "clone child", which waitpid(-1)
// in a host thread cannot take and which waitid only sees with __WALL (or
// __WCLONE), also through P_PIDFD, so every wait on it passes __WALL. exec
// makes the exit signal SIGCHLD again, so a host that ignores SIGCHLD (the
// kernel reaps at exit) or reaps every child itself can still take the
// command's exit: the pidfd keeps naming the right process throughout (it is
// never confused with a reused PID), and reaped_exit_status reads the status
// the reaper took.
//
// Seam for isolation steps (ChildSetup): a caller may ask for extra clone
// flags (CLONE_NEWUSER, CLONE_NEWPID, CLONE_NEWNET, ...) and give one step
// that runs in the child after its descriptors 0-2, session and directory are
// set, and before the descriptors above 2 are closed (so a step may use one the
// parent prepared, such as a Landlock ruleset; they are close-on-exec) and exec. That step runs
// under the same rules as the rest of the child:
//   - it shares the parent's memory, and the parent is suspended until the
//     child execs or exits, so the step must do everything itself (a new user
//     namespace writes its own /proc/self/uid_map, for example);
//   - raw system calls only (base/child_syscall.hpp): no malloc, no locks, no
//     stdio, no exceptions, no libc wrapper that sets errno or may take a lock;
//     prepare every buffer in the parent and pass it through `context`; mark
//     the step CORVANE_CHILD_CODE so no sanitizer bookkeeping runs in it;
//   - it runs on a stack of kChildStackBytes with every signal blocked and at its default;
//   - it returns 0, or an errno that fails the start with SpawnStage::Setup.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>

#include "base/child_syscall.hpp"
#include "base/pidfd.hpp"
#include "base/unique_fd.hpp"

namespace corvane {

/// Bytes of stack the child runs on before exec (its set-up step included).
inline constexpr std::size_t kChildStackBytes = 32 * 1024;

/// Extra work for the child between its start and exec; see the file comment for its rules.
struct ChildSetup {
  /// Extra clone3 flags, or-ed into CLONE_VM | CLONE_VFORK | CLONE_PIDFD.
  std::uint64_t clone_flags = 0;
  /// Runs in the child with raw system calls only; returns 0 or an errno. Null: no step.
  int (*run)(const void* context) noexcept = nullptr;
  /// Passed to `run`; everything it points to is prepared by the parent.
  const void* context = nullptr;
};

/// What the child runs and where its streams go. Every pointer stays valid for the call.
struct SpawnRequest {
  const char* path;         ///< absolute path of the program
  char* const* argv;        ///< null-terminated
  char* const* envp;        ///< null-terminated, the complete environment
  const char* cwd;          ///< directory to start in
  int stdout_fd;            ///< becomes descriptor 1; must be above 2
  int stderr_fd;            ///< becomes descriptor 2; must be above 2
  const ChildSetup* setup;  ///< optional
  /// Becomes descriptor 0 when set (must be above 2); -1: /dev/null.
  int stdin_fd = -1;
};

/// The step of the start that failed.
enum class SpawnStage : std::uint8_t {
  Clone,
  Stdin,
  Streams,
  Session,
  Chdir,
  CloseFds,
  Setup,
  Exec
};

/// Why a start failed: the errno and the step it came from.
struct SpawnError {
  int error;
  SpawnStage stage;
};

/// A started child: the pidfd is its identity; the pid is for display only.
struct SpawnedChild {
  pid_t pid;
  UniqueFd pidfd;
};

/// Starts the child. The child has stdin on /dev/null (or stdin_fd), the two streams on 1
/// and 2, no other descriptor, a new session (no controlling terminal), every
/// catchable signal at its default and an empty signal mask. On failure
/// nothing is left running and nothing is left unreaped.
///
/// The child dies with SIGKILL when the thread that called this exits, so a
/// command never outlives its host however the host dies; a host that died
/// during the start is seen before exec. Call it from a thread that outlives
/// the child (the starter thread, or a thread that waits for it). What the
/// signal does not reach: a set-uid program the host ran without a sandbox
/// (the kernel clears the signal at such an exec), and the background
/// processes of a command that is not pid 1 of its own PID namespace.
[[nodiscard]] std::expected<SpawnedChild, SpawnError> spawn_child(
    const SpawnRequest& request) noexcept;

/// The wait status of an exited child that someone else reaped (the kernel for
/// a host that ignores SIGCHLD, or a host thread in waitpid(-1)), read from its
/// pidfd; empty when the kernel keeps no exit information (before 6.15).
[[nodiscard]] std::optional<int> reaped_exit_status(int pidfd) noexcept;

/// Hands an exited-or-running child to the process-wide reaper thread, which
/// reaps it whenever it exits and closes its pidfd. For a child that could not
/// be killed (a set-uid program of an unprivileged host): it is never left a
/// zombie, and nobody waits for it. The thread starts on first use, blocks
/// every signal, and is started afresh in a forked copy of the process.
void reap_in_background(UniqueFd pidfd) noexcept;

}  // namespace corvane
