#include "sandbox/landlock.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "sandbox/sandbox_state.hpp"

namespace corvane {

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

// One path rule, or nothing for no rights (Landlock refuses an empty one). Returns an errno.
int add_rule(int ruleset, int fd, std::uint64_t access) noexcept {
  if (access == 0) return 0;
  const PathBeneathAttr rule{access, fd};
  return ::syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0U) == 0 ? 0 : errno;
}

std::expected<UniqueFd, std::string> open_rule_path(const Path& path) {
  if (!path.is_absolute())
    return std::unexpected("sandbox path is not absolute: " + corvane::display(path));
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

// The first Landlock layer: every handled right but execute, with the listed paths'
// rules, the network and the scopes, plus read access to `extra_reads` (a binary or
// interpreter outside the listed trees) and write access beneath `extra_write` (a
// run's private temporary directory). Execute is the second layer's alone: a layer
// restricts only the rights it handles, and an access must pass every layer.
std::expected<UniqueFd, std::string> base_ruleset(const Sandbox::State& st,
                                                  const std::vector<int>& extra_reads,
                                                  int extra_write) {
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
  if (extra_write >= 0) {
    if (const int e = add_rule(ruleset.get(), extra_write, kWriteRights & st.handled_fs); e != 0)
      return std::unexpected("sandbox rule for the private temporary directory: " +
                             os_error_text(e));
  }
  // The TCP ports the network is open on; handled_net makes every other one refused.
  for (const NetPortAttr& rule : st.port_rules) {
    if (::syscall(SYS_landlock_add_rule, ruleset.get(), kRuleNetPort, &rule, 0U) != 0)
      return std::unexpected("sandbox rule for port " + std::to_string(rule.port) + ": " +
                             os_error_text(errno));
  }
  return ruleset;
}

}  // namespace corvane
