// Sandbox: what an allowed command may do once it runs, enforced by the kernel.
// Built once in the parent (descriptors, Landlock rights, the seccomp program,
// resource limits); every run of a command that carries one prepares the
// command's own part (the execute right follows its binary) and applies it in
// the child between start and exec, by a few system calls that allocate nothing.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/error.hpp"
#include "corvane/path.hpp"
#include "corvane/request.hpp"

namespace corvane {

namespace detail {
struct SandboxAccess;
}  // namespace detail

/// Resource limits set with setrlimit in the child (soft and hard); nullopt keeps the inherited
/// one.
struct SandboxLimits {
  std::optional<std::uint64_t> memory = 4ULL << 30;  ///< bytes of virtual memory
  std::optional<std::uint64_t> cpu_seconds = 60;     ///< CPU time of each process
  std::optional<std::uint64_t> processes = 256;  ///< processes of the user (not binding on root)
  std::optional<std::uint64_t> file_size = 1ULL << 30;  ///< largest file the command may write
  std::optional<std::uint64_t> open_files = 1024;       ///< descriptors of each process

  friend bool operator==(const SandboxLimits&, const SandboxLimits&) = default;
};

/// TCP ports a sandbox whose network is off still lets the command use. The kernel
/// checks each connect and bind by port alone: port 443 reaches every host.
struct SandboxPorts {
  std::vector<std::uint16_t> connect{};  ///< ports it may connect to (on any address)
  std::vector<std::uint16_t> bind{};     ///< ports it may bind (to listen on)

  friend bool operator==(const SandboxPorts&, const SandboxPorts&) = default;
};

/// The description of a sandbox: what the command may read, write and execute, and its limits.
struct SandboxSpec {
  std::vector<Path> read{};   ///< files and trees the command may read (and list)
  std::vector<Path> write{};  ///< files and trees it may read, create, change and remove
  /// Programs (or trees of programs) it may execute besides its own binary, that
  /// binary's ELF interpreter and the `#!` interpreter of a script. Empty: seccomp also
  /// refuses new processes (threads still work), executable memfds and exec by descriptor.
  std::vector<Path> exec{};
  bool network = false;  ///< false: no TCP, no socket but UNIX ones
  /// With `network` false: TCP over IPv4 and IPv6 to and on these ports only (Landlock
  /// ABI 4), no other socket but UNIX ones. Port 0 and `network` true are errors.
  std::optional<SandboxPorts> ports{};
  bool keep_background = false;  ///< false: every process the command started ends with it
  bool best_effort = false;      ///< true: a missing kernel feature is skipped, not an error
  /// true: every run gets a directory of its own, made fresh (mode 0700) under the
  /// host's temporary directory (its TMPDIR, else /tmp), writable by that command
  /// alone, named by TMPDIR in its environment (replacing any the environment
  /// policy passes) and removed with its contents when the run ends, however it ends.
  bool private_tmp = false;
  SandboxLimits limits{};

  /// The system's read-only tree (those of /usr, /bin, /lib*, /etc, /opt that
  /// exist, /dev/null, /dev/zero and the random devices) plus `workspace` writable.
  [[nodiscard]] static SandboxSpec workspace(Path workspace);

  friend bool operator==(const SandboxSpec&, const SandboxSpec&) = default;
};

/// How the command's process tree is ended.
enum class Containment : std::uint8_t {
  None,              ///< keep_background: nothing beyond the command itself is killed
  PidNamespace,      ///< the command is pid 1 of a new PID namespace: its end kills the rest
  UserPidNamespace,  ///< the same, inside a new user namespace (callers without privilege)
  ProcessGroup,      ///< fallback: a new session, killed as a group (setsid escapes it)
};

/// "pid namespace", "user and pid namespace", "process group" or "none".
[[nodiscard]] std::string_view containment_name(Containment containment) noexcept;

/// What this machine offers a sandbox (after the CORVANE_SANDBOX_DISABLE test seam).
struct SandboxSupport {
  int landlock_abi = 0;         ///< 0 when Landlock is missing
  bool seccomp = false;         ///< seccomp filters
  bool pid_namespace = false;   ///< a new PID namespace can be made by this caller
  bool user_namespace = false;  ///< a new user namespace can be made by this caller
  bool ipc_namespace = false;   ///< an IPC namespace can come with the PID namespace
  /// A /proc of its own can be mounted in the PID namespace (assumed; a container that
  /// masks parts of its /proc refuses it, and the test seam "procfs" stands for one).
  bool new_procfs = true;
  bool privileged = false;  ///< CAP_SYS_ADMIN: PID namespaces need no user namespace

  /// One line naming every feature and whether it is there.
  [[nodiscard]] std::string describe() const;
};

/// A built sandbox: immutable and cheap to copy (copies share its descriptors).
class Sandbox {
 public:
  /// Validates `spec` and prepares everything that does not depend on the command. A path
  /// that does not exist is an error naming it; so is a kernel feature the sandbox needs
  /// and this machine lacks, unless `spec.best_effort`.
  [[nodiscard]] static std::expected<Sandbox, SandboxError> build(SandboxSpec spec);
  /// What this machine supports (probed once; the test seam is read on every call).
  [[nodiscard]] static SandboxSupport available();

  /// The description this sandbox was built from.
  [[nodiscard]] const SandboxSpec& spec() const noexcept;
  /// How the process tree is contained on this machine.
  [[nodiscard]] Containment containment() const noexcept;
  /// Features the sandbox asked for and this machine lacks (best effort only; empty otherwise).
  [[nodiscard]] const std::vector<std::string>& skipped() const noexcept;

  /// The limit the end of the command shows was broken (CPU time, file size), as a
  /// message, from what waitid reported and the CPU time its rusage gave (user + system);
  /// nothing for any other end. Ask only about a kill the supervisor did not send itself.
  [[nodiscard]] std::optional<std::string> limit_breach(const siginfo_t& exit,
                                                        std::chrono::microseconds cpu_used) const;

  /// Sandboxes are equal when they were built from equal descriptions.
  friend bool operator==(const Sandbox& a, const Sandbox& b) noexcept;

  struct State;

 private:
  friend struct detail::SandboxAccess;
  explicit Sandbox(std::shared_ptr<const State> state) noexcept : state_(std::move(state)) {}
  std::shared_ptr<const State> state_;
};

}  // namespace corvane
