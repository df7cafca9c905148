// One command's sandbox, prepared in the parent from a built Sandbox and applied in
// the child by the start path's set-up step (child_steps.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "base/unique_fd.hpp"
#include "corvane/path.hpp"
#include "corvane/sandbox.hpp"

namespace corvane {

/// One command's sandbox, prepared in the parent. The child calls apply() after
/// its own file actions and right before exec; nothing else is needed there.
class SandboxLaunch {
 public:
  SandboxLaunch(SandboxLaunch&&) noexcept = default;
  SandboxLaunch& operator=(SandboxLaunch&&) noexcept = default;
  ~SandboxLaunch();

  /// Flags the start path adds to clone3 (CLONE_NEWPID, CLONE_NEWIPC, CLONE_NEWUSER,
  /// CLONE_NEWNS), or 0.
  [[nodiscard]] std::uint64_t clone_flags() const noexcept;
  /// How the tree is contained; ProcessGroup means the supervisor kills -pid at the end.
  [[nodiscard]] Containment containment() const noexcept;
  /// Child side, after the child's descriptors 0-2 and directory are set and before
  /// descriptors above 2 are closed (the rulesets are among them): raw system calls only,
  /// no allocation, no libc state touched, safe in a vfork-style child sharing the
  /// parent's memory. Returns 0 or an errno; on an error the child must not exec.
  [[nodiscard]] int apply() const noexcept;
  /// apply() on `launch` (a SandboxLaunch*), in the shape of the start path's set-up step.
  static int apply_step(const void* launch) noexcept;

  /// A resource limit for the child.
  struct Limit {
    int resource;
    std::uint64_t value;
  };
  /// A Landlock rule on a path the child opens itself (paths in /proc).
  struct PathRule {
    const char* path;
    std::uint64_t access;
  };

 private:
  friend std::expected<SandboxLaunch, std::string> prepare_launch(const Sandbox& sandbox,
                                                                  const Path& bin, int private_tmp);
  SandboxLaunch() = default;

  // Plain data only below `keep_` and the rulesets: the child reads these and nothing else.
  std::shared_ptr<const void> keep_;  // the Sandbox's state, where the pointers below point
  // Landlock in two layers: every right but execute (the Sandbox's own ruleset, shared by
  // its commands, or one of this command's where it needs rules of its own), then execute
  // alone (this command's binary, its interpreters and the exec list).
  UniqueFd own_base_;
  UniqueFd exec_ruleset_;
  int base_fd_ = -1;
  int exec_fd_ = -1;
  const void* seccomp_ = nullptr;  // struct sock_fprog*, or null
  Limit limits_[5] = {};
  int limit_count_ = 0;
  const PathRule* proc_rules_ = nullptr;
  std::size_t proc_rule_count_ = 0;
  bool new_session_ = false;
  const char* uid_map_ = nullptr;
  std::size_t uid_map_size_ = 0;
  const char* gid_map_ = nullptr;
  std::size_t gid_map_size_ = 0;
  Containment containment_ = Containment::None;
  std::uint64_t clone_flags_ = 0;
  bool proc_covered_ = false;  // a rule reaches the whole /proc: hide it if no own one can be had
  bool new_procfs_ = true;     // false: the test seam's kernel that refuses a new procfs
};

/// The per-command part of `sandbox`: the execute right for `bin` (canonical), its ELF
/// interpreter and the `#!` interpreter of a script (an `env NAME` interpreter is looked
/// up on the system's PATH, never on the command's, which the agent controls), except
/// for an interpreter under a writable path. An error names the file that could not be
/// read. What a binary's start needs is remembered (per sandbox, a few binaries): a
/// later start only checks those files unchanged, and reads them again if any is not.
/// `private_tmp`, when not -1, is the run's own temporary directory, opened: the
/// command may write beneath it (and nowhere else the sandbox does not list).
[[nodiscard]] std::expected<SandboxLaunch, std::string> prepare_launch(const Sandbox& sandbox,
                                                                       const Path& bin,
                                                                       int private_tmp = -1);

}  // namespace corvane
