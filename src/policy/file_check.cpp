// File-type and execute-permission checks on the file a binary path names.
#include "corvane/file_check.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace corvane {

bool executable_by(mode_t mode, uid_t owner, gid_t group, uid_t uid, gid_t gid) noexcept {
  // A plain disjunction, unlike the kernel's owner-then-group-then-other
  // precedence: an owner without owner-execute still passes on others-execute.
  return ((mode & S_IXUSR) != 0 && uid == owner) || (mode & S_IXOTH) != 0 ||
         ((mode & S_IXGRP) != 0 && gid == group) || (uid == 0 && (mode & (S_IXUSR | S_IXGRP)) != 0);
}

std::expected<void, Violation> check_binary(const Path& path) {
  std::string shown = display(path);
  const std::string& bytes = path.native();
  if (bytes.find('\0') != std::string::npos) {
    return std::unexpected(violation::BinCanonicalizeFailed{std::move(shown), FsError{0}.text()});
  }
  struct stat st{};
  if (::stat(bytes.c_str(), &st) != 0) {
    const int err = errno;
    return std::unexpected(violation::BinCanonicalizeFailed{std::move(shown), FsError{err}.text()});
  }
  switch (st.st_mode & S_IFMT) {
    case S_IFREG:
      break;
    case S_IFDIR:
      return std::unexpected(violation::BinIsDirectory{std::move(shown)});
    default:
      return std::unexpected(violation::BinNotRegularFile{std::move(shown)});
  }
  // Real ids, not effective ones: the guard judges on behalf of the user who
  // started the host, even inside a set-id program.
  if (!executable_by(st.st_mode, st.st_uid, st.st_gid, ::getuid(), ::getgid())) {
    return std::unexpected(violation::BinNotExecutable{std::move(shown)});
  }
  return {};
}

}  // namespace corvane
