// What a binary needs to execute: its ELF interpreter or the `#!` line of a script
// (and the program an `env` line names), where each file lies among the sandbox's
// trees, and the remembered start of a binary that a later start checks unchanged.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/unique_fd.hpp"
#include "corvane/path.hpp"

namespace corvane {

// What an executable needs executed to start: its ELF interpreter, or the `#!`
// interpreter line of a script split into the path and its optional argument.
struct StartNeeds {
  std::optional<std::string> interpreter;
  std::string argument;
};

[[nodiscard]] StartNeeds start_needs(const Path& file);

/// The programs an `env` interpreter line's argument names, found on the system's PATH.
[[nodiscard]] std::vector<Path> env_targets(std::string_view argument);

using Inodes = std::vector<std::pair<dev_t, ino_t>>;

// Where the file `fd` names (opened from a path, its links resolved) lies among the listed
// trees: compared by inode, as Landlock does, so a bind mount of a listed tree counts too.
struct Placement {
  bool writable = false;
  bool readable = false;
};

/// Where the file `fd` (opened from `file`) lies among the listed trees.
[[nodiscard]] Placement placement(int fd, const Path& file, const Inodes& writable,
                                  const Inodes& readable, bool stop_when_readable);

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

/// The descriptors of a remembered start's files, each checked unchanged; nothing
/// when any is gone or changed.
[[nodiscard]] std::optional<std::vector<UniqueFd>> reopen_start(const StartChain& chain);

}  // namespace corvane
