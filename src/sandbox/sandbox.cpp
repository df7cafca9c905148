// Sandbox: the parent builds the Landlock ruleset, the seccomp program and the
// limits; the child applies them with a handful of system calls before exec.
// Probing the machine is in probe.cpp, Landlock in landlock.cpp, what a binary
// needs to execute in start_needs.cpp, one command's part in launch.cpp and the
// child's steps in child_steps.cpp.
#include "corvane/sandbox.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

#include "sandbox/landlock.hpp"
#include "sandbox/sandbox_state.hpp"
#include "sandbox/seccomp_filter.hpp"

namespace corvane {

namespace {

bool is_directory(int fd) noexcept {
  struct stat st{};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string decimal(std::uint64_t value) {
  return std::to_string(value);
}

// Where a procfs is mounted other than at /proc and beneath it (a bind of the host's
// /proc for a tool, say): the command's own /proc replaces /proc only.
std::vector<Path> other_proc_mounts() {
  std::vector<Path> found;
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    // "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [TAGS...] - FSTYPE SOURCE OPTIONS"
    std::istringstream fields(line);
    std::string id, parent, device, root, point, word;
    fields >> id >> parent >> device >> root >> point;
    while (fields >> word && word != "-") {
    }
    if (!(fields >> word) || word != "proc") continue;
    // Octal escapes for blanks and backslashes, as the kernel writes them.
    std::string decoded;
    for (std::size_t i = 0; i < point.size(); ++i) {
      const auto octal = [&point](std::size_t at) {
        return at < point.size() && point[at] >= '0' && point[at] <= '7' ? point[at] - '0' : -1;
      };
      if (point[i] == '\\' && octal(i + 1) >= 0 && octal(i + 2) >= 0 && octal(i + 3) >= 0) {
        decoded += static_cast<char>(octal(i + 1) * 64 + octal(i + 2) * 8 + octal(i + 3));
        i += 3;
      } else {
        decoded += point[i];
      }
    }
    Path mount(decoded);
    if (!path_starts_with(mount, Path("/proc"))) found.push_back(std::move(mount));
  }
  return found;
}

std::string seccomp_feature(SeccompClosing closing) {
  const bool network = closing.network || closing.network_but_tcp;
  if (!network && !closing.new_programs) return "seccomp (closing the kernel keyrings)";
  if (!closing.new_programs) return "seccomp (closing the network)";
  if (!network) return "seccomp (closing new programs)";
  return "seccomp (closing the network and new programs)";
}

}  // namespace

std::string_view containment_name(Containment containment) noexcept {
  switch (containment) {
    case Containment::None:
      return "none";
    case Containment::PidNamespace:
      return "pid namespace";
    case Containment::UserPidNamespace:
      return "user and pid namespace";
    case Containment::ProcessGroup:
      return "process group";
  }
  return "none";
}

SandboxSpec SandboxSpec::workspace(Path workspace) {
  SandboxSpec spec;
  for (const char* dir : {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32", "/etc",
                          "/opt", "/dev/zero", "/dev/urandom", "/dev/random"}) {
    struct stat st{};
    if (::stat(dir, &st) == 0) spec.read.emplace_back(dir);
  }
  spec.write.push_back(std::move(workspace));
  spec.write.emplace_back("/dev/null");
  return spec;
}

std::expected<Sandbox, SandboxError> Sandbox::build(SandboxSpec spec) {
  const SandboxSupport support = available();
  auto state = std::make_shared<State>();

  struct stat root{};
  if (::stat("/", &root) != 0) return std::unexpected("sandbox: / " + os_error_text(errno));
  const auto add_rules = [&state, &root](const std::vector<Path>& paths,
                                         std::uint64_t rights) -> std::expected<void, std::string> {
    for (const Path& path : paths) {
      auto fd = open_rule_path(path);
      if (!fd) return std::unexpected(std::move(fd.error()));
      if (path_starts_with(path, Path("/proc"))) {
        const std::uint64_t access = is_directory(fd->get()) ? rights : rights & kFileRights;
        state->proc_rules.emplace_back(
            path_equal(path, Path("/proc")) ? "/proc" : path.lexically_normal().native(), access);
        continue;
      }
      struct stat st{};
      struct statfs fs{};
      if (::fstat(fd->get(), &st) != 0 || ::fstatfs(fd->get(), &fs) != 0)
        return std::unexpected("sandbox path " + corvane::display(path) + ": " +
                               os_error_text(errno));
      if ((st.st_dev == root.st_dev && st.st_ino == root.st_ino) || fs.f_type == PROC_SUPER_MAGIC)
        state->proc_covered = true;
      if ((rights & kFsWriteFile) != 0) state->writable.emplace_back(st.st_dev, st.st_ino);
      if ((rights & kFsReadFile) != 0) state->readable.emplace_back(st.st_dev, st.st_ino);
      const std::uint64_t access = S_ISDIR(st.st_mode) ? rights : rights & kFileRights;
      state->rules.push_back(State::Rule{std::move(*fd), access});
    }
    return {};
  };
  // Every path is checked, even where Landlock is missing: a typo is the caller's error.
  if (auto r = add_rules(spec.read, kReadRights); !r) return std::unexpected(r.error());
  if (auto r = add_rules(spec.write, kWriteRights); !r) return std::unexpected(r.error());
  if (auto r = add_rules(spec.exec, kExecRights); !r) return std::unexpected(r.error());
  for (const Path& mount : other_proc_mounts()) {
    for (const auto* list : {&spec.read, &spec.write, &spec.exec}) {
      for (const Path& path : *list) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        const Path real = resolved != nullptr ? Path(resolved) : path;
        std::free(resolved);
        if (path_starts_with(mount, real) || path_starts_with(real, mount))
          return std::unexpected("sandbox path " + corvane::display(path) +
                                 " reaches the host's processes, a /proc mounted at " +
                                 corvane::display(mount));
      }
    }
  }

  const auto missing = [&spec, &state](std::string feature) -> std::optional<std::string> {
    if (!spec.best_effort) {
      return "sandbox needs " + feature + ", which this machine does not offer";
    }
    state->skipped.push_back(std::move(feature));
    return std::nullopt;
  };

  if (spec.ports && spec.network)
    return std::unexpected(std::string("sandbox: ports are given with the whole network open"));
  if (spec.ports) {
    for (const auto& [list, access, name] :
         {std::tuple{&spec.ports->connect, kNetConnectTcp, "connect"},
          std::tuple{&spec.ports->bind, kNetBindTcp, "bind"}}) {
      for (const std::uint16_t port : *list) {
        if (port == 0)
          return std::unexpected(std::string("sandbox ") + name +
                                 " port 0 is not a port (1-65535)");
        auto same = std::ranges::find(state->port_rules, port, &NetPortAttr::port);
        if (same == state->port_rules.end()) {
          state->port_rules.push_back({access, port});
        } else {
          same->allowed_access |= access;
        }
      }
    }
  }
  // Ports open TCP only where Landlock can check them; elsewhere (best effort) the
  // network stays closed as a whole.
  const bool tcp_ports = spec.ports && support.landlock_abi >= 4;
  if (spec.ports && !tcp_ports) {
    state->port_rules.clear();
    if (auto e = missing("Landlock ABI 4 (TCP port rules)")) return std::unexpected(*e);
  }

  if (support.landlock_abi > 0) {
    state->landlock_abi = support.landlock_abi;
    state->handled_fs = handled_fs_for(support.landlock_abi);
    if (!spec.network && support.landlock_abi >= 4)
      state->handled_net = kNetBindTcp | kNetConnectTcp;
    if (support.landlock_abi >= 6) state->scoped = kScopeAbstractUnix | kScopeSignal;
    for (State::Rule& rule : state->rules) rule.access &= state->handled_fs;
    for (auto& rule : state->proc_rules) rule.second &= state->handled_fs;
    auto base = base_ruleset(*state, {});
    if (!base) return std::unexpected(std::move(base.error()));
    state->base_ruleset = std::move(*base);
  } else {
    state->rules.clear();
    state->proc_rules.clear();
    state->proc_covered = true;  // the host's /proc would be open to the command
    if (auto e = missing("Landlock (file system and execute rules)")) return std::unexpected(*e);
  }

  // Without an exec list the command may start no program after its own start; Landlock
  // cannot hold that alone (the ELF loader runs any file it can read, a memfd has no path).
  // The keyrings are closed in every sandbox: uid 0 reaches root's without a capability.
  const SeccompClosing closing{.network = !spec.network && !tcp_ports,
                               .network_but_tcp = tcp_ports,
                               .new_programs = spec.exec.empty(),
                               .keyrings = true};
  {
    if (support.seccomp) {
      state->filter = seccomp_filter(closing);
      state->program.len = static_cast<unsigned short>(state->filter.size());
      state->program.filter = state->filter.data();
    } else if (auto e = missing(seccomp_feature(closing))) {
      return std::unexpected(*e);
    }
  }

  if (!spec.keep_background) {
    if (support.pid_namespace && support.privileged) {
      state->containment = Containment::PidNamespace;
    } else if (support.pid_namespace && support.user_namespace) {
      state->containment = Containment::UserPidNamespace;
      // The child maps its own ids, the one mapping an ordinary caller may write.
      state->uid_map = decimal(::geteuid()) + " " + decimal(::geteuid()) + " 1\n";
      state->gid_map = decimal(::getegid()) + " " + decimal(::getegid()) + " 1\n";
    } else {
      state->containment = Containment::ProcessGroup;
    }
  }
  if (support.ipc_namespace) state->ipc_flag = CLONE_NEWIPC;
  state->new_procfs = support.new_procfs;
  // Other processes must be out of reach of the command's signals: a PID namespace
  // hides them, Landlock's scoping forbids them.
  const bool pid_hidden = state->containment == Containment::PidNamespace ||
                          state->containment == Containment::UserPidNamespace;
  if (!pid_hidden && (state->scoped & kScopeSignal) == 0) {
    if (auto e = missing("a PID namespace or Landlock ABI 6 (signal scoping)"))
      return std::unexpected(*e);
  }

  for (const auto& [path, access] : state->proc_rules) {
    if (access != 0) state->proc_rule_views.push_back({path.c_str(), access});
  }
  state->spec = std::move(spec);
  return Sandbox(std::move(state));
}

const SandboxSpec& Sandbox::spec() const noexcept {
  return state_->spec;
}
Containment Sandbox::containment() const noexcept {
  return state_->containment;
}
const std::vector<std::string>& Sandbox::skipped() const noexcept {
  return state_->skipped;
}

bool operator==(const Sandbox& a, const Sandbox& b) noexcept {
  return a.state_ == b.state_ || a.state_->spec == b.state_->spec;
}

std::optional<std::string> Sandbox::limit_breach(const siginfo_t& exit,
                                                 std::chrono::microseconds cpu_used) const {
  if (exit.si_code != CLD_KILLED && exit.si_code != CLD_DUMPED) return std::nullopt;
  const SandboxLimits& l = state_->spec.limits;
  if (l.cpu_seconds) {
    // The command as pid 1 of a namespace ignores SIGXCPU and meets the SIGKILL of the
    // hard limit instead; its CPU time tells that kill apart from others. The limit
    // counts CPU time by scheduler ticks, which on a busy or virtual machine run well
    // ahead of the run time rusage reports (0.72 s seen at a 1 s limit), hence the
    // wide margin; the supervisor asks only about a kill it did not send.
    const auto limit = std::chrono::microseconds(std::chrono::seconds(*l.cpu_seconds));
    const bool spent = cpu_used * 2 >= limit;
    if (exit.si_status == SIGXCPU || (exit.si_status == SIGKILL && spent))
      return "CPU time limit of " + decimal(*l.cpu_seconds) + " s exceeded";
  }
  if (exit.si_status == SIGXFSZ && l.file_size)
    return "file size limit of " + decimal(*l.file_size) + " bytes exceeded";
  return std::nullopt;
}

}  // namespace corvane
