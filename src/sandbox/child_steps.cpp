// The child's half of a sandbox: the steps it takes between clone and exec (ids,
// mounts, capabilities, limits, Landlock, seccomp). This code runs in a vfork-style
// child that shares the parent's memory while the parent is suspended, so it makes
// raw system calls only (no allocation, no lock, no errno), on data the parent built.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <linux/securebits.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdint>

#include "base/child_syscall.hpp"
#include "sandbox/landlock.hpp"
#include "sandbox/launch.hpp"

namespace corvane {

// The child side shares the parent's memory in a vfork-style start: it may not touch
// errno, a lock or the sanitizers' bookkeeping, so it issues system calls itself
// (base/child_syscall.hpp) and gets -errno back.

CORVANE_CHILD_CODE int SandboxLaunch::apply_step(const void* launch) noexcept {
  return static_cast<const SandboxLaunch*>(launch)->apply();
}

namespace {

struct Rlimit64 {
  std::uint64_t cur;
  std::uint64_t max;
};

template <typename T>
CORVANE_CHILD_CODE long as_arg(T* pointer) noexcept {
  return reinterpret_cast<long>(pointer);
}

CORVANE_CHILD_CODE int write_proc_file(const char* path, const char* text,
                                       std::size_t size) noexcept {
  const long fd = child_syscall(SYS_openat, AT_FDCWD, as_arg(path), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return static_cast<int>(-fd);
  const long n = child_syscall(SYS_write, fd, as_arg(text), static_cast<long>(size));
  child_syscall(SYS_close, fd);
  if (n < 0) return static_cast<int>(-n);
  return n == static_cast<long>(size) ? 0 : EIO;
}

CORVANE_CHILD_CODE int add_path_rule(int ruleset, const char* path, std::uint64_t access) noexcept {
  if (access == 0) return 0;
  const long fd = child_syscall(SYS_openat, AT_FDCWD, as_arg(path), O_PATH | O_CLOEXEC);
  if (fd < 0) return static_cast<int>(-fd);
  const PathBeneathAttr rule{access, static_cast<std::int32_t>(fd)};
  const long rc = child_syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, as_arg(&rule), 0);
  child_syscall(SYS_close, fd);
  return rc < 0 ? static_cast<int>(-rc) : 0;
}

CORVANE_CHILD_CODE bool is_proc_root(const char* path) noexcept {
  const char root[] = "/proc";
  for (int i = 0; i < 5; ++i) {
    if (path[i] != root[i]) return false;
  }
  return path[5] == '\0';
}

// A /proc of the command's own PID namespace over the host's, in a mount namespace that
// shares nothing back. Where the kernel refuses a new procfs (a container that masks
// parts of its /proc), `hide` puts an empty read-only directory there instead, and only
// if that fails too does the start fail: a rule that reaches /proc must never reach the
// host's. Returns 0 with `own` set, or an errno.
CORVANE_CHILD_CODE int mount_own_proc(bool try_procfs, bool hide, bool& own) noexcept {
  own = false;
  long rc = child_syscall(SYS_mount, 0, as_arg("/"), 0, MS_REC | MS_PRIVATE, 0);
  if (rc < 0) return static_cast<int>(-rc);
  constexpr long kFlags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
  if (try_procfs)
    rc = child_syscall(SYS_mount, as_arg("proc"), as_arg("/proc"), as_arg("proc"), kFlags, 0);
  own = try_procfs && rc == 0;
  if (own || !hide) return 0;
  rc = child_syscall(SYS_mount, as_arg("tmpfs"), as_arg("/proc"), as_arg("tmpfs"),
                     kFlags | MS_RDONLY, as_arg("size=4k,mode=555"));
  return rc < 0 ? static_cast<int>(-rc) : 0;
}

// Every capability goes: root's (a root host starts the command as root) and those a
// new user namespace gives. no_new_privs, set next and irrevocable, keeps exec from
// granting any capability beyond the permitted set, which is emptied here; locked
// securebits also keep exec as root from granting them. The bounding set is left
// as it is: with no_new_privs it decides nothing, and emptying it costs a credential
// change per capability (about 60 us a start).
CORVANE_CHILD_CODE int drop_capabilities() noexcept {
  constexpr long kSecureBits = SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                               SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED |
                               SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED;
  // EPERM: a caller without CAP_SETPCAP, who has no capability for exec to keep either.
  long rc = child_syscall(SYS_prctl, PR_SET_SECUREBITS, kSecureBits);
  if (rc < 0 && rc != -EPERM) return static_cast<int>(-rc);
  rc = child_syscall(SYS_prctl, PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  if (rc < 0 && rc != -EINVAL) return static_cast<int>(-rc);  // EINVAL: before ambient (4.3)
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  rc = child_syscall(SYS_capset, as_arg(&header), as_arg(none));
  return rc < 0 ? static_cast<int>(-rc) : 0;
}

}  // namespace

// The steps in the order the kernel needs them: ids and mounts while the child still
// has its privileges, then the privileges go, then the limits and rules that need none.
CORVANE_CHILD_CODE int SandboxLaunch::apply() const noexcept {
  long rc = 0;
  if (uid_map_ != nullptr) {
    // setgroups must be denied before an ordinary caller may write its gid map.
    if (const int e = write_proc_file("/proc/self/setgroups", "deny", 4); e != 0) return e;
    if (const int e = write_proc_file("/proc/self/uid_map", uid_map_, uid_map_size_); e != 0)
      return e;
    if (const int e = write_proc_file("/proc/self/gid_map", gid_map_, gid_map_size_); e != 0)
      return e;
  }
  // EPERM: the start path already made the child a session (and group) leader.
  if (new_session_ && (rc = child_syscall(SYS_setsid)) < 0 && rc != -EPERM)
    return static_cast<int>(-rc);
  bool own_proc = false;
  if ((clone_flags_ & CLONE_NEWNS) != 0) {
    if (const int e = mount_own_proc(new_procfs_, proc_covered_, own_proc); e != 0) return e;
  }
  if (const int e = drop_capabilities(); e != 0) return e;
  if ((rc = child_syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1)) < 0) return static_cast<int>(-rc);
  for (int i = 0; i < limit_count_; ++i) {
    const Limit& limit = limits_[i];
    // Soft and hard alike: for CPU time that means SIGKILL at the limit, which a process
    // cannot catch and pid 1 of a namespace cannot ignore. Never above what the caller
    // has: without capabilities a hard limit cannot rise (EPERM), and only then is the
    // caller's read, one system call a limit less on every start.
    const Rlimit64 wanted{limit.value, limit.value};
    rc = child_syscall(SYS_prlimit64, 0, limit.resource, as_arg(&wanted), 0);
    if (rc == -EPERM) {
      Rlimit64 old{};
      if ((rc = child_syscall(SYS_prlimit64, 0, limit.resource, 0, as_arg(&old))) < 0)
        return static_cast<int>(-rc);
      const std::uint64_t value = limit.value < old.max ? limit.value : old.max;
      const Rlimit64 next{value, value};
      rc = child_syscall(SYS_prlimit64, 0, limit.resource, as_arg(&next), 0);
    }
    if (rc < 0) return static_cast<int>(-rc);
  }
  if (base_fd_ >= 0) {
    // prepare() gave a command with rules in /proc a first layer of its own to add them to.
    for (std::size_t i = 0; i < proc_rule_count_; ++i) {
      // Without a /proc of its own the command reads its own entries only: /proc as a
      // whole would show every process of the host, environments included.
      const char* path = proc_rules_[i].path;
      if (!own_proc && is_proc_root(path)) path = "/proc/self/";
      const std::uint64_t access = proc_rules_[i].access;
      int e = add_path_rule(base_fd_, path, access & ~kFsExecute);
      if (e == 0) e = add_path_rule(exec_fd_, path, access & kFsExecute);
      if (e != 0 && e != ENOENT) return e;
    }
    if ((rc = child_syscall(SYS_landlock_restrict_self, base_fd_, 0)) < 0 ||
        (rc = child_syscall(SYS_landlock_restrict_self, exec_fd_, 0)) < 0)
      return static_cast<int>(-rc);
  }
  if (seccomp_ != nullptr &&
      (rc = child_syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, as_arg(seccomp_))) < 0)
    return static_cast<int>(-rc);
  return 0;
}

}  // namespace corvane