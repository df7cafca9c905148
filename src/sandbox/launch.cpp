// The parent's half of one command's sandbox: the namespaces and limits it starts
// with, and the second Landlock layer, execute alone, for its binary and whatever
// the kernel runs to start it.
#include "sandbox/launch.hpp"

#include <linux/sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "sandbox/landlock.hpp"
#include "sandbox/sandbox_state.hpp"
#include "sandbox/start_needs.hpp"

namespace corvane {

std::expected<SandboxLaunch, std::string> prepare_launch(const Sandbox& sandbox, const Path& bin,
                                                         int private_tmp) {
  using State = Sandbox::State;
  const std::shared_ptr<const State>& state = detail::SandboxAccess::state(sandbox);
  const State& st = *state;
  SandboxLaunch launch;
  launch.keep_ = state;
  launch.containment_ = st.containment;
  launch.new_session_ = st.containment == Containment::ProcessGroup;
  if (st.containment == Containment::PidNamespace) launch.clone_flags_ = CLONE_NEWPID | st.ipc_flag;
  if (st.containment == Containment::UserPidNamespace) {
    launch.clone_flags_ = CLONE_NEWUSER | CLONE_NEWPID | st.ipc_flag;
    launch.uid_map_ = st.uid_map.c_str();
    launch.uid_map_size_ = st.uid_map.size();
    launch.gid_map_ = st.gid_map.c_str();
    launch.gid_map_size_ = st.gid_map.size();
  }
  if (!st.proc_rule_views.empty()) {
    launch.proc_rules_ = st.proc_rule_views.data();
    launch.proc_rule_count_ = st.proc_rule_views.size();
  }
  // A /proc of the namespace's own shows the command's processes and nothing of the host.
  // Only where some rule reaches /proc: a mount namespace costs a start several times over.
  launch.proc_covered_ = st.proc_covered;
  launch.new_procfs_ = st.new_procfs;
  if ((st.proc_covered || !st.proc_rule_views.empty()) && launch.clone_flags_ != 0)
    launch.clone_flags_ |= CLONE_NEWNS;
  if (!st.filter.empty()) launch.seccomp_ = &st.program;
  const SandboxLimits& l = st.spec.limits;
  for (const auto& [resource, value] :
       {std::pair{RLIMIT_AS, l.memory}, std::pair{RLIMIT_CPU, l.cpu_seconds},
        std::pair{RLIMIT_NPROC, l.processes}, std::pair{RLIMIT_FSIZE, l.file_size},
        std::pair{RLIMIT_NOFILE, l.open_files}}) {
    if (value) launch.limits_[launch.limit_count_++] = {static_cast<int>(resource), *value};
  }
  if (st.landlock_abi == 0) return launch;

  const RulesetAttr exec_attr{st.handled_fs & kFsExecute, 0, 0};
  const long exec_fd = ::syscall(SYS_landlock_create_ruleset, &exec_attr, sizeof exec_attr, 0U);
  if (exec_fd < 0) return std::unexpected("sandbox ruleset: " + os_error_text(errno));
  launch.exec_ruleset_ = UniqueFd(static_cast<int>(exec_fd));
  launch.exec_fd_ = launch.exec_ruleset_.get();
  for (const State::Rule& rule : st.rules) {
    if (const int e = add_rule(launch.exec_fd_, rule.fd.get(), rule.access & kFsExecute); e != 0)
      return std::unexpected("sandbox rule: " + os_error_text(e));
  }
  // The execute right: the binary, then what the kernel runs to start it, a few levels
  // deep (a script's interpreter may itself be a script, or `env` naming the real one).
  // Starting a file also reads it; one outside the readable trees is read by this
  // command's own first layer.
  std::vector<UniqueFd> extra_reads;
  std::optional<StartChain> known;
  {
    const std::lock_guard lock(st.starts_mutex);
    const auto it = std::find_if(st.starts.begin(), st.starts.end(),
                                 [&bin](const StartChain& c) { return c.bin == bin; });
    if (it != st.starts.end()) known = *it;
  }
  std::optional<std::vector<UniqueFd>> reopened;
  if (known) reopened = reopen_start(*known);
  if (reopened) {
    for (std::size_t i = 0; i < reopened->size(); ++i) {
      UniqueFd& fd = (*reopened)[i];
      if (const int e = add_rule(launch.exec_fd_, fd.get(), kFsExecute & st.handled_fs); e != 0)
        return std::unexpected("sandbox rule for " + corvane::display(known->files[i].path) + ": " +
                               os_error_text(e));
      if (!known->files[i].readable) extra_reads.push_back(std::move(fd));
    }
  } else {
    StartChain chain{bin, {}};
    bool complete = true;  // every interpreter found and granted: worth remembering
    std::vector<Path> pending{bin};
    for (int depth = 0; depth < 5 && !pending.empty(); ++depth) {
      std::vector<Path> next;
      for (const Path& file : pending) {
        auto fd = open_rule_path(file);
        // A missing interpreter is left for exec to report, as it would without a sandbox.
        if (!fd && depth > 0) {
          complete = false;
          continue;
        }
        if (!fd) return std::unexpected(std::move(fd.error()));
        // The policy chose the binary; its interpreters come from lines the command's
        // author wrote, perhaps the agent: none is granted where the agent may write one.
        const Placement where = placement(fd->get(), file, st.writable, st.readable, depth == 0);
        if (depth > 0 && where.writable) {
          complete = false;
          continue;
        }
        struct stat seen{};
        if (::fstat(fd->get(), &seen) != 0) complete = false;
        if (const int e = add_rule(launch.exec_fd_, fd->get(), kFsExecute & st.handled_fs); e != 0)
          return std::unexpected("sandbox rule for " + corvane::display(file) + ": " +
                                 os_error_text(e));
        chain.files.push_back({file, seen.st_dev, seen.st_ino, seen.st_mtim, seen.st_ctim,
                               seen.st_size, where.readable});
        StartNeeds needs = start_needs(file);
        if (!where.readable) extra_reads.push_back(std::move(*fd));
        if (!needs.interpreter || needs.interpreter->empty()) continue;
        Path interp(*needs.interpreter);
        if (interp.filename() == "env" && !needs.argument.empty()) {
          for (Path& target : env_targets(needs.argument)) next.push_back(std::move(target));
        }
        next.push_back(std::move(interp));
      }
      pending = std::move(next);
    }
    if (complete && pending.empty()) {
      const std::lock_guard lock(st.starts_mutex);
      std::erase_if(st.starts, [&bin](const StartChain& c) { return c.bin == bin; });
      if (st.starts.size() >= kRememberedStarts) st.starts.erase(st.starts.begin());
      st.starts.push_back(std::move(chain));
    }
  }

  // The shared first layer never changes; rules the child adds itself (in /proc), reads
  // outside the listed trees and the run's own temporary directory go into a copy of
  // this command's own.
  if (extra_reads.empty() && st.proc_rule_views.empty() && private_tmp < 0) {
    launch.base_fd_ = st.base_ruleset.get();
    return launch;
  }
  std::vector<int> reads;
  for (const UniqueFd& fd : extra_reads) reads.push_back(fd.get());
  auto own = base_ruleset(st, reads, private_tmp);
  if (!own) return std::unexpected(std::move(own.error()));
  launch.own_base_ = std::move(*own);
  launch.base_fd_ = launch.own_base_.get();
  return launch;
}

SandboxLaunch::~SandboxLaunch() = default;

std::uint64_t SandboxLaunch::clone_flags() const noexcept {
  return clone_flags_;
}
Containment SandboxLaunch::containment() const noexcept {
  return containment_;
}

}  // namespace corvane
