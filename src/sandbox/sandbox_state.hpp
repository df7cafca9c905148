// What a built Sandbox holds: shared by its copies and by the launches prepared
// from it, never changed after build but for the remembered starts.
#pragma once

#include <linux/filter.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_fd.hpp"
#include "corvane/sandbox.hpp"
#include "sandbox/landlock.hpp"
#include "sandbox/launch.hpp"
#include "sandbox/start_needs.hpp"

namespace corvane {

struct Sandbox::State {
  struct Rule {
    UniqueFd fd;
    std::uint64_t access;
  };

  SandboxSpec spec;
  int landlock_abi = 0;  // 0: no Landlock ruleset is made
  std::uint64_t handled_fs = 0;
  std::uint64_t handled_net = 0;
  std::uint64_t scoped = 0;
  std::vector<Rule> rules;
  std::vector<NetPortAttr> port_rules;  // one per port, connect and bind rights merged
  // Paths in /proc are opened by the child: with a PID namespace it mounts a /proc of
  // its own first, whose inodes the parent's descriptors would not reach.
  std::vector<std::pair<std::string, std::uint64_t>> proc_rules;
  std::vector<SandboxLaunch::PathRule> proc_rule_views;  // what the child reads of proc_rules
  // A listed path reaches the host's whole /proc (an ancestor, "/", or a link into it),
  // or nothing limits the files at all: inside a PID namespace /proc is replaced.
  bool proc_covered = false;
  bool new_procfs = true;  // false: the test seam's container that refuses one
  // The files and trees the command may write, by inode (as Landlock sees them): no
  // interpreter of the command's start is granted execute among them.
  std::vector<std::pair<dev_t, ino_t>> writable;
  // The trees the command may read files in: a binary among them needs no ruleset of its own.
  std::vector<std::pair<dev_t, ino_t>> readable;
  // Every right but execute, made once and shared by the commands (never changed after
  // build, so concurrent starts may all apply it); -1 without Landlock.
  UniqueFd base_ruleset;
  // The files granted execute for a binary's start, remembered so that a later start of
  // it opens and checks each once instead of reading and placing them again.
  mutable std::mutex starts_mutex;
  mutable std::vector<StartChain> starts;  // the most recent last
  std::vector<sock_filter> filter;
  sock_fprog program{};
  Containment containment = Containment::None;
  // CLONE_NEWIPC with the PID namespace, where the kernel has IPC namespaces: the host's
  // System V objects and POSIX message queues are then out of reach.
  std::uint64_t ipc_flag = 0;
  std::vector<std::string> skipped;
  std::string uid_map;
  std::string gid_map;
};

namespace detail {

// The one way into a Sandbox's state from the rest of the library.
struct SandboxAccess {
  [[nodiscard]] static const std::shared_ptr<const Sandbox::State>& state(
      const Sandbox& sandbox) noexcept {
    return sandbox.state_;
  }
};

}  // namespace detail

}  // namespace corvane
