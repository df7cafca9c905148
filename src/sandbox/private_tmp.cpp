// A run's private temporary directory. The command may write anything inside it
// (links to anywhere, directories it made unreadable, trees deeper than any
// descriptor limit), and it may still be running when an unsignalled child
// outlives its run; the removal therefore works only through descriptors of
// directories it opened itself without following a link, never by a path the
// command could have redirected, and gives up after a bounded amount of work.
#include "sandbox/private_tmp.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "corvane/path.hpp"

namespace corvane {

namespace {

// Descriptors held open at once while removing: a directory deeper than this is
// moved up to the top and emptied from there on a later pass.
constexpr int kMaxDepth = 32;
// Passes over one directory whose entries keep changing under the removal (a
// process that outlived its run still writing): after these it is left.
constexpr int kMaxPasses = 64;

struct Dirent64 {
  std::uint64_t ino;
  std::int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

bool is_dot(const char* name) noexcept {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A directory the command made unreadable or unwritable is made the owner's
// again before it is emptied; through its own descriptor, never by a name.
UniqueFd open_own_dir(int dir, const char* name) noexcept {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd sub(::openat(dir, name, kFlags));
  if (!sub && errno == EACCES) {
    const UniqueFd at(::openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!at) return sub;
    // O_PATH descriptors take no fchmod; their /proc link names that very inode.
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", at.get());
    if (::chmod(link, S_IRWXU) != 0) return sub;
    sub.reset(::openat(at.get(), ".", kFlags));
  }
  if (sub) (void)::fchmod(sub.get(), S_IRWXU);
  return sub;
}

class Remover {
 public:
  Remover(int top, dev_t dev) noexcept : top_(top), dev_(dev) {}

  // Empties `dir`, `depth` levels below the top; true when it is left empty. Another
  // pass only while the last one removed something: an entry that cannot go (a mount
  // point) must not make every level above it repeat its passes.
  bool clear(int dir, int depth) noexcept {
    for (int pass = 0; pass < kMaxPasses; ++pass) {
      if (::lseek(dir, 0, SEEK_SET) < 0) return false;
      bool left = false;
      bool removed = false;
      const unsigned moved_before = moved_;
      alignas(8) char buf[2048];
      for (;;) {
        const long n = ::syscall(SYS_getdents64, dir, buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) break;
        for (long at = 0; at < n;) {
          const auto* entry = reinterpret_cast<const Dirent64*>(buf + at);
          at += entry->reclen;
          if (is_dot(entry->name)) continue;
          if (remove_entry(dir, entry->name, depth)) {
            removed = true;
          } else {
            left = true;
          }
        }
      }
      // What was moved up to the top during a pass there may lie behind where it read.
      if (!left && (depth != 0 || moved_ == moved_before)) return true;
      if (!removed) return false;
    }
    return false;
  }

 private:
  // True when the entry is gone from `dir` (removed, moved up, or already gone).
  bool remove_entry(int dir, const char* name, int depth) noexcept {
    struct stat st{};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return gone(::unlinkat(dir, name, 0));
    // Another file system mounted here is not the run's to empty.
    if (st.st_dev != dev_) return false;
    if (depth >= kMaxDepth) {
      char moved[48];
      std::snprintf(moved, sizeof moved, ".corvane-deep-%u", moved_++);
      return ::renameat(dir, name, top_, moved) == 0;
    }
    const UniqueFd sub = open_own_dir(dir, name);
    if (!sub) {
      // Swapped for a link or a file since the stat: that is removed, not followed.
      if (errno == ELOOP || errno == ENOTDIR) return gone(::unlinkat(dir, name, 0));
      return errno == ENOENT;
    }
    struct stat opened{};
    if (::fstat(sub.get(), &opened) != 0 || opened.st_dev != dev_) return false;
    clear(sub.get(), depth + 1);
    return gone(::unlinkat(dir, name, AT_REMOVEDIR));
  }

  static bool gone(int rc) noexcept { return rc == 0 || errno == ENOENT; }

  int top_;
  dev_t dev_;
  unsigned moved_ = 0;
};

}  // namespace

bool clear_directory(int dir) noexcept {
  struct stat st{};
  if (::fstat(dir, &st) != 0) return false;
  (void)::fchmod(dir, S_IRWXU);
  return Remover(dir, st.st_dev).clear(dir, 0);
}

std::string host_tmp_dir() {
  const char* given = std::getenv("TMPDIR");
  return given != nullptr && given[0] == '/' ? std::string(given) : std::string("/tmp");
}

std::expected<PrivateTmp, std::string> PrivateTmp::create(const std::string& parent) {
  PrivateTmp tmp;
  tmp.parent_.reset(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!tmp.parent_)
    return std::unexpected("private temporary directory in " + parent + ": " +
                           os_error_text(errno));
  for (int attempt = 0;; ++attempt) {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
      return std::unexpected("private temporary directory: " + os_error_text(errno));
    char name[40];
    std::snprintf(name, sizeof name, "corvane-run-%016llx",
                  static_cast<unsigned long long>(random));
    if (::mkdirat(tmp.parent_.get(), name, S_IRWXU) == 0) {
      tmp.name_ = name;
      break;
    }
    if (errno != EEXIST || attempt == 8)
      return std::unexpected("private temporary directory in " + parent + ": " +
                             os_error_text(errno));
  }
  tmp.dir_.reset(::openat(tmp.parent_.get(), tmp.name_.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!tmp.dir_) {
    const int error = errno;
    (void)::unlinkat(tmp.parent_.get(), tmp.name_.c_str(), AT_REMOVEDIR);
    return std::unexpected("private temporary directory: " + os_error_text(error));
  }
  // The umask may have taken bits away; the command's own user needs all three.
  (void)::fchmod(tmp.dir_.get(), S_IRWXU);
  tmp.path_ = (parent.ends_with('/') ? parent : parent + "/") + tmp.name_;
  return tmp;
}

PrivateTmp& PrivateTmp::operator=(PrivateTmp&& other) noexcept {
  if (this != &other) {
    remove();
    parent_ = std::move(other.parent_);
    dir_ = std::move(other.dir_);
    name_ = std::move(other.name_);
    path_ = std::move(other.path_);
  }
  return *this;
}

void PrivateTmp::remove() noexcept {
  if (!dir_) return;
  // Emptied through the descriptor made with it: the command cannot move the
  // directory itself (its parent is not among the places it may write), so the
  // name removed last is still the one made here.
  (void)clear_directory(dir_.get());
  dir_.reset();
  (void)::unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR);
  parent_.reset();
}

}  // namespace corvane
