// Sandbox: the parent builds the Landlock ruleset, the seccomp program and the
// limits; the child applies them with a handful of system calls before exec.
// Landlock and seccomp are called through syscall() with constants defined here,
// so that an older system header does not hide what a newer kernel offers.
#include "corvane/sandbox.hpp"

#include <elf.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/magic.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/mount.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <tuple>

#include "sandbox/seccomp_filter.hpp"
#include "run/spawn.hpp"

namespace corvane {

namespace {

// Landlock's access rights, by the ABI version that introduced them.
constexpr std::uint64_t kFsExecute = 1ULL << 0;
constexpr std::uint64_t kFsWriteFile = 1ULL << 1;
constexpr std::uint64_t kFsReadFile = 1ULL << 2;
constexpr std::uint64_t kFsReadDir = 1ULL << 3;
constexpr std::uint64_t kFsRemoveDir = 1ULL << 4;
constexpr std::uint64_t kFsRemoveFile = 1ULL << 5;
constexpr std::uint64_t kFsMakeChar = 1ULL << 6;
constexpr std::uint64_t kFsMakeDir = 1ULL << 7;
constexpr std::uint64_t kFsMakeReg = 1ULL << 8;
constexpr std::uint64_t kFsMakeSock = 1ULL << 9;
constexpr std::uint64_t kFsMakeFifo = 1ULL << 10;
constexpr std::uint64_t kFsMakeBlock = 1ULL << 11;
constexpr std::uint64_t kFsMakeSym = 1ULL << 12;
constexpr std::uint64_t kFsRefer = 1ULL << 13;     // ABI 2
constexpr std::uint64_t kFsTruncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t kFsIoctlDev = 1ULL << 15;  // ABI 5
constexpr std::uint64_t kNetBindTcp = 1ULL << 0;     // ABI 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;  // ABI 4
constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0;  // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;        // ABI 6
constexpr unsigned kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;
constexpr int kRuleNetPort = 2;  // ABI 4

// Rights that make sense on a file rather than a directory (others are EINVAL there).
constexpr std::uint64_t kFileRights =
    kFsExecute | kFsWriteFile | kFsReadFile | kFsTruncate | kFsIoctlDev;
constexpr std::uint64_t kReadRights = kFsReadFile | kFsReadDir;
constexpr std::uint64_t kExecRights = kFsReadFile | kFsReadDir | kFsExecute;
// Device nodes are left out: making one needs a privilege a sandbox should not lend.
constexpr std::uint64_t kWriteRights = kReadRights | kFsWriteFile | kFsRemoveDir | kFsRemoveFile |
                                       kFsMakeDir | kFsMakeReg | kFsMakeSock | kFsMakeFifo |
                                       kFsMakeSym | kFsRefer | kFsTruncate | kFsIoctlDev;

struct RulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};

struct [[gnu::packed]] PathBeneathAttr {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
};

struct NetPortAttr {
  std::uint64_t allowed_access;
  std::uint64_t port;
};

struct Rlimit64 {
  std::uint64_t cur;
  std::uint64_t max;
};

std::uint64_t handled_fs_for(int abi) noexcept {
  if (abi < 1) return 0;
  std::uint64_t rights = kFsExecute | kFsWriteFile | kFsReadFile | kFsReadDir | kFsRemoveDir |
                         kFsRemoveFile | kFsMakeChar | kFsMakeDir | kFsMakeReg | kFsMakeSock |
                         kFsMakeFifo | kFsMakeBlock | kFsMakeSym;
  if (abi >= 2) rights |= kFsRefer;
  if (abi >= 3) rights |= kFsTruncate;
  if (abi >= 5) rights |= kFsIoctlDev;
  return rights;
}

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
  while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                  WEXITED | __WALL) != 0 &&
         errno == EINTR) {
  }
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

// One path rule, or nothing for no rights (Landlock refuses an empty one). Returns an errno.
int add_rule(int ruleset, int fd, std::uint64_t access) noexcept {
  if (access == 0) return 0;
  const PathBeneathAttr rule{access, fd};
  return ::syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0U) == 0 ? 0 : errno;
}

std::expected<UniqueFd, std::string> open_rule_path(const Path& path) {
  if (!path.is_absolute()) return std::unexpected("sandbox path is not absolute: " + corvane::display(path));
  if (path.native().find('\0') != std::string::npos)
    return std::unexpected("sandbox path holds a nul byte: " + corvane::display(path));
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return std::unexpected("sandbox path does not exist: " + corvane::display(path));
    return std::unexpected("sandbox path " + corvane::display(path) + ": " + os_error_text(errno));
  }
  return UniqueFd(fd);
}

bool is_directory(int fd) noexcept {
  struct stat st{};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// The ELF program interpreter (PT_INTERP) of an executable, or nothing.
template <typename Ehdr, typename Phdr>
std::optional<std::string> elf_interpreter(int fd, const Ehdr& eh) {
  if (eh.e_phentsize != sizeof(Phdr) || eh.e_phnum > 4096) return std::nullopt;
  // The table in one read: every start reads the loader's too, and each system call
  // counts against the start's time.
  std::vector<Phdr> table(eh.e_phnum);
  const std::size_t bytes = table.size() * sizeof(Phdr);
  if (::pread(fd, table.data(), bytes, static_cast<off_t>(eh.e_phoff)) !=
      static_cast<ssize_t>(bytes))
    return std::nullopt;
  for (const Phdr& ph : table) {
    if (ph.p_type != PT_INTERP) continue;
    if (ph.p_filesz < 2 || ph.p_filesz > PATH_MAX) return std::nullopt;
    std::string interp(static_cast<std::size_t>(ph.p_filesz), '\0');
    if (::pread(fd, interp.data(), interp.size(), static_cast<off_t>(ph.p_offset)) !=
        static_cast<ssize_t>(interp.size()))
      return std::nullopt;
    interp.resize(std::strlen(interp.c_str()));
    return interp;
  }
  return std::nullopt;
}

// What an executable needs executed to start: its ELF interpreter, or the `#!`
// interpreter line of a script split into the path and its optional argument.
struct StartNeeds {
  std::optional<std::string> interpreter;
  std::string argument;
};

StartNeeds start_needs(const Path& file) {
  StartNeeds needs;
  // O_NONBLOCK: an interpreter line may name a FIFO, whose open would wait for a writer.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return needs;  // unreadable (execute-only): the file itself is all we can name
  UniqueFd owner(fd);
  std::array<char, 256> head{};  // the kernel reads no more of a `#!` line either
  const ssize_t n = ::pread(fd, head.data(), head.size(), 0);
  if (n <= 0) return needs;
  const std::string_view text(head.data(), static_cast<std::size_t>(n));
  if (text.size() >= 2 && text.substr(0, 2) == "#!") {
    std::string_view line = text.substr(2, text.find('\n') == std::string_view::npos
                                               ? std::string_view::npos
                                               : text.find('\n') - 2);
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return needs;
    line.remove_prefix(first);
    const auto end = line.find_first_of(" \t");
    needs.interpreter = std::string(line.substr(0, end));
    if (end != std::string_view::npos) {
      std::string_view arg = line.substr(end);
      const auto a = arg.find_first_not_of(" \t");
      const auto b = arg.find_last_not_of(" \t\r");
      if (a != std::string_view::npos) needs.argument = std::string(arg.substr(a, b - a + 1));
    }
    return needs;
  }
  if (text.size() >= EI_NIDENT && std::memcmp(text.data(), ELFMAG, SELFMAG) == 0) {
    if (text[EI_CLASS] == ELFCLASS64 && text.size() >= sizeof(Elf64_Ehdr)) {
      Elf64_Ehdr eh;
      std::memcpy(&eh, text.data(), sizeof eh);
      needs.interpreter = elf_interpreter<Elf64_Ehdr, Elf64_Phdr>(fd, eh);
    } else if (text[EI_CLASS] == ELFCLASS32 && text.size() >= sizeof(Elf32_Ehdr)) {
      Elf32_Ehdr eh;
      std::memcpy(&eh, text.data(), sizeof eh);
      needs.interpreter = elf_interpreter<Elf32_Ehdr, Elf32_Phdr>(fd, eh);
    }
  }
  return needs;
}

// Where the program an `env` interpreter line names gets its execute right: the
// system's directories. Never the request's PATH: the agent sets it, and would
// point it at a file it wrote.
constexpr std::array<const char*, 6> kSystemPath = {
    "/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"};

// The programs an `env` interpreter line names (`#!/usr/bin/env -S node --flag`): the
// path it gives, or every match on the system's PATH, since the command's own PATH
// may reach the system's directories in another order (env skips a file it may not
// execute and tries the next).
std::vector<Path> env_targets(std::string_view argument) {
  std::string_view name;
  while (!argument.empty()) {
    const auto end = argument.find_first_of(" \t");
    const std::string_view word = argument.substr(0, end);
    if (!word.empty() && word[0] != '-' && word.find('=') == std::string_view::npos) {
      name = word;
      break;
    }
    if (end == std::string_view::npos) break;
    argument.remove_prefix(end + 1);
  }
  if (name.empty()) return {};
  if (name.find('/') != std::string_view::npos) return {Path(std::string(name))};
  std::vector<Path> found;
  for (const char* dir : kSystemPath) {
    Path candidate = Path(dir) / Path(std::string(name));
    if (::access(candidate.c_str(), X_OK) == 0) found.push_back(std::move(candidate));
  }
  return found;
}

std::string decimal(std::uint64_t value) { return std::to_string(value); }

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

using Inodes = std::vector<std::pair<dev_t, ino_t>>;

// Where the file `fd` names (opened from a path, its links resolved) lies among the listed
// trees: compared by inode, as Landlock does, so a bind mount of a listed tree counts too.
struct Placement {
  bool writable = false;
  bool readable = false;
};

// One walk up the file's directories serves both questions; `stop_when_readable` ends it
// at the first readable tree for a file whose writability does not matter. The path comes
// from the descriptor (one readlink where realpath would read every component's link).
Placement placement(int fd, const Path& file, const Inodes& writable, const Inodes& readable,
                    bool stop_when_readable) {
  Placement where;
  std::string path;
  std::array<char, 40> link{};
  std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", fd);
  std::array<char, PATH_MAX> target{};
  const ssize_t n = ::readlink(link.data(), target.data(), target.size());
  if (n > 0 && static_cast<std::size_t>(n) < target.size() && target[0] == '/') {
    path.assign(target.data(), static_cast<std::size_t>(n));
  } else {
    char* resolved = ::realpath(file.c_str(), nullptr);  // no /proc: resolve it here
    if (resolved == nullptr) return where;  // gone: exec reports it
    path = resolved;
    std::free(resolved);
  }
  const auto listed = [](const Inodes& inodes, const struct stat& st) {
    return std::find(inodes.begin(), inodes.end(), std::pair{st.st_dev, st.st_ino}) !=
           inodes.end();
  };
  while (!path.empty()) {
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
      where.writable = where.writable || listed(writable, st);
      where.readable = where.readable || listed(readable, st);
      if (where.writable || (where.readable && stop_when_readable)) break;
    }
    if (path == "/") break;
    const auto slash = path.rfind('/');
    path.resize(slash == 0 ? 1 : slash);
  }
  return where;
}

// A file granted execute for a start, as it was when it was read: a start reuses the
// grant only for the same inode unchanged (a rewritten script may name another
// interpreter; a file replaced by rename is another inode).
struct StartFile {
  Path path;
  dev_t dev = 0;
  ino_t ino = 0;
  timespec mtime{};
  timespec ctime{};
  off_t size = 0;
  bool readable = false;  // within a readable tree: needs no read rule of the command's own

  [[nodiscard]] bool same_as(const struct stat& st) const noexcept {
    return st.st_dev == dev && st.st_ino == ino && st.st_size == size &&
           st.st_mtim.tv_sec == mtime.tv_sec && st.st_mtim.tv_nsec == mtime.tv_nsec &&
           st.st_ctim.tv_sec == ctime.tv_sec && st.st_ctim.tv_nsec == ctime.tv_nsec;
  }
};

struct StartChain {
  Path bin;
  std::vector<StartFile> files;
};

// How many binaries a sandbox remembers the start of (policies name a handful).
constexpr std::size_t kRememberedStarts = 16;

// Opens every file of a remembered start and checks it is unchanged; the descriptors
// then carry the rules, so nothing can change between the check and the grant. Nothing
// when any file is gone or changed: the start is read afresh.
std::optional<std::vector<UniqueFd>> reopen_start(const StartChain& chain) {
  std::vector<UniqueFd> fds;
  fds.reserve(chain.files.size());
  for (const StartFile& file : chain.files) {
    const int fd = ::open(file.path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    fds.emplace_back(fd);
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !file.same_as(st)) return std::nullopt;
  }
  return fds;
}

std::string seccomp_feature(SeccompClosing closing) {
  const bool network = closing.network || closing.network_but_tcp;
  if (!network && !closing.new_programs) return "seccomp (closing the kernel keyrings)";
  if (!closing.new_programs) return "seccomp (closing the network)";
  if (!network) return "seccomp (closing new programs)";
  return "seccomp (closing the network and new programs)";
}

}  // namespace

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

namespace {

// The first Landlock layer: every handled right but execute, with the listed paths'
// rules, the network and the scopes, plus read access to `extra_reads` (a binary or
// interpreter outside the listed trees). Execute is the second layer's alone: a layer
// restricts only the rights it handles, and an access must pass every layer.
std::expected<UniqueFd, std::string> base_ruleset(const Sandbox::State& st,
                                                  const std::vector<int>& extra_reads) {
  const RulesetAttr attr{st.handled_fs & ~kFsExecute, st.handled_net, st.scoped};
  const long fd = ::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0U);
  if (fd < 0) return std::unexpected("sandbox ruleset: " + os_error_text(errno));
  UniqueFd ruleset(static_cast<int>(fd));
  for (const Sandbox::State::Rule& rule : st.rules) {
    if (const int e = add_rule(ruleset.get(), rule.fd.get(), rule.access & ~kFsExecute); e != 0)
      return std::unexpected("sandbox rule: " + os_error_text(e));
  }
  for (const int file : extra_reads) {
    if (const int e = add_rule(ruleset.get(), file, kFsReadFile & st.handled_fs); e != 0)
      return std::unexpected("sandbox rule: " + os_error_text(e));
  }
  // The TCP ports the network is open on; handled_net makes every other one refused.
  for (const NetPortAttr& rule : st.port_rules) {
    if (::syscall(SYS_landlock_add_rule, ruleset.get(), kRuleNetPort, &rule, 0U) != 0)
      return std::unexpected("sandbox rule for port " + std::to_string(rule.port) + ": " +
                             os_error_text(errno));
  }
  return ruleset;
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
          return std::unexpected(std::string("sandbox ") + name + " port 0 is not a port (1-65535)");
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
    if (!spec.network && support.landlock_abi >= 4) state->handled_net = kNetBindTcp | kNetConnectTcp;
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

const SandboxSpec& Sandbox::spec() const noexcept { return state_->spec; }
Containment Sandbox::containment() const noexcept { return state_->containment; }
const std::vector<std::string>& Sandbox::skipped() const noexcept { return state_->skipped; }

bool operator==(const Sandbox& a, const Sandbox& b) noexcept {
  return a.state_ == b.state_ || a.state_->spec == b.state_->spec;
}

std::expected<SandboxLaunch, std::string> Sandbox::prepare(const Path& bin,
                                                           const EnvMap& /*env*/) const {
  const State& st = *state_;
  SandboxLaunch launch;
  launch.keep_ = state_;
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
       {std::pair{RLIMIT_AS, l.address_space}, std::pair{RLIMIT_CPU, l.cpu_seconds},
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
        return std::unexpected("sandbox rule for " + corvane::display(known->files[i].path) +
                               ": " + os_error_text(e));
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
          return std::unexpected("sandbox rule for " + corvane::display(file) + ": " + os_error_text(e));
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

  // The shared first layer never changes; rules the child adds itself (in /proc) and reads
  // outside the listed trees go into a copy of this command's own.
  if (extra_reads.empty() && st.proc_rule_views.empty()) {
    launch.base_fd_ = st.base_ruleset.get();
    return launch;
  }
  std::vector<int> reads;
  for (const UniqueFd& fd : extra_reads) reads.push_back(fd.get());
  auto own = base_ruleset(st, reads);
  if (!own) return std::unexpected(std::move(own.error()));
  launch.own_base_ = std::move(*own);
  launch.base_fd_ = launch.own_base_.get();
  return launch;
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

SandboxLaunch::~SandboxLaunch() = default;

std::uint64_t SandboxLaunch::clone_flags() const noexcept { return clone_flags_; }
Containment SandboxLaunch::containment() const noexcept { return containment_; }

// The child side shares the parent's memory in a vfork-style start: it may not touch
// errno, a lock or the sanitizers' bookkeeping, so it issues system calls itself
// (spawn.hpp's child_syscall) and gets -errno back.

CORVANE_CHILD_CODE int SandboxLaunch::apply_step(const void* launch) noexcept {
  return static_cast<const SandboxLaunch*>(launch)->apply();
}

namespace {

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

CORVANE_CHILD_CODE int add_path_rule(int ruleset, const char* path,
                                     std::uint64_t access) noexcept {
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
