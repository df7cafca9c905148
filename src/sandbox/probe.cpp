// Probing the machine: what Landlock ABI, seccomp, namespaces and privilege this
// process has, once, and the test seam that makes it behave as a machine without them.
#include <linux/capability.h>
#include <linux/sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string_view>

#include "base/pidfd.hpp"
#include "corvane/sandbox.hpp"
#include "sandbox/landlock.hpp"

namespace corvane {

namespace {

int landlock_abi_of_kernel() noexcept {
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

bool has_cap_sys_admin() noexcept {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
  if (::syscall(SYS_capget, &header, data.data()) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) != 0;
}

// Whether this caller may create a child with these namespace flags: tried with a
// child that exits at once. It makes no libc call, so it is safe in a threaded host.
bool can_clone_with(std::uint64_t flags) noexcept {
  int pidfd = -1;
  clone_args args{};
  args.flags = flags | CLONE_PIDFD;
  args.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
  args.exit_signal = 0;  // no SIGCHLD reaches the host for this probe
  const long pid = ::syscall(SYS_clone3, &args, sizeof args);
  if (pid == 0) ::syscall(SYS_exit_group, 0);
  if (pid < 0) return false;
  siginfo_t info{};
  (void)wait_pidfd(pidfd, info, WEXITED);
  ::close(pidfd);
  return true;
}

SandboxSupport probe_machine() noexcept {
  SandboxSupport s;
  s.landlock_abi = landlock_abi_of_kernel();
  s.seccomp = ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
  s.privileged = has_cap_sys_admin();
  s.user_namespace = can_clone_with(CLONE_NEWUSER);
  const std::uint64_t pid_flags = s.privileged ? CLONE_NEWPID : CLONE_NEWUSER | CLONE_NEWPID;
  s.pid_namespace = can_clone_with(pid_flags);
  s.ipc_namespace = s.pid_namespace && can_clone_with(pid_flags | CLONE_NEWIPC);
  return s;
}

// The test seam: CORVANE_SANDBOX_DISABLE=landlock,landlock-network,landlock-scope,
// seccomp,userns,pidns,ipcns,procfs,privilege makes this process behave as a machine
// without them.
bool seam_disables(std::string_view list, std::string_view name) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    if (list.substr(0, comma) == name) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

std::string SandboxSupport::describe() const {
  std::string text = "landlock: ";
  text += landlock_abi > 0 ? "ABI " + std::to_string(landlock_abi) : std::string("no");
  text += seccomp ? ", seccomp: yes" : ", seccomp: no";
  text += pid_namespace ? ", pid namespace: yes" : ", pid namespace: no";
  text += user_namespace ? ", user namespace: yes" : ", user namespace: no";
  text += ipc_namespace ? ", ipc namespace: yes" : ", ipc namespace: no";
  text += privileged ? ", privileged: yes" : ", privileged: no";
  return text;
}

SandboxSupport Sandbox::available() {
  static const SandboxSupport machine = probe_machine();
  SandboxSupport s = machine;
  const char* seam = std::getenv("CORVANE_SANDBOX_DISABLE");
  if (seam == nullptr) return s;
  const std::string_view off(seam);
  if (seam_disables(off, "landlock")) s.landlock_abi = 0;
  if (seam_disables(off, "landlock-network")) s.landlock_abi = std::min(s.landlock_abi, 3);
  if (seam_disables(off, "landlock-scope")) s.landlock_abi = std::min(s.landlock_abi, 5);
  if (seam_disables(off, "seccomp")) s.seccomp = false;
  if (seam_disables(off, "privilege")) {
    // Behave as an ordinary caller: PID namespaces then come with a user namespace.
    s.privileged = false;
    s.pid_namespace = s.pid_namespace && s.user_namespace;
  }
  if (seam_disables(off, "userns")) {
    s.user_namespace = false;
    if (!s.privileged) s.pid_namespace = false;
  }
  if (seam_disables(off, "pidns")) s.pid_namespace = false;
  if (seam_disables(off, "ipcns") || !s.pid_namespace) s.ipc_namespace = false;
  if (seam_disables(off, "procfs")) s.new_procfs = false;
  return s;
}

}  // namespace corvane
