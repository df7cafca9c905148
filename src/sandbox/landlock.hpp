// Landlock through syscall() with constants defined here, so that an older system
// header does not hide what a newer kernel offers: the access rights, the rule
// structures, and the rulesets a sandbox is made of.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "base/unique_fd.hpp"
#include "corvane/path.hpp"
#include "corvane/sandbox.hpp"

namespace corvane {

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
constexpr std::uint64_t kFsRefer = 1ULL << 13;           // ABI 2
constexpr std::uint64_t kFsTruncate = 1ULL << 14;        // ABI 3
constexpr std::uint64_t kFsIoctlDev = 1ULL << 15;        // ABI 5
constexpr std::uint64_t kNetBindTcp = 1ULL << 0;         // ABI 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;      // ABI 4
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

/// The rights Landlock ABI `abi` handles on files (none below 1).
[[nodiscard]] std::uint64_t handled_fs_for(int abi) noexcept;

/// One path rule on `ruleset` for the file `fd`, or nothing for no rights (Landlock
/// refuses an empty one). Returns an errno.
[[nodiscard]] int add_rule(int ruleset, int fd, std::uint64_t access) noexcept;

/// `path` opened O_PATH to carry a rule, or the error naming it.
[[nodiscard]] std::expected<UniqueFd, std::string> open_rule_path(const Path& path);

/// The first Landlock layer of a sandbox, plus read access to `extra_reads` and
/// write access beneath the directory `extra_write` (when not -1).
[[nodiscard]] std::expected<UniqueFd, std::string> base_ruleset(const Sandbox::State& st,
                                                                const std::vector<int>& extra_reads,
                                                                int extra_write = -1);

}  // namespace corvane
