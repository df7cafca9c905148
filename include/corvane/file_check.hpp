// The file a canonical binary path names must be a regular file that the
// process's real user may execute.
#pragma once

#include <sys/types.h>

#include <expected>

#include "corvane/error.hpp"
#include "corvane/path.hpp"

namespace corvane {

/// The execute test on a file's mode bits, owner and group, for a caller with the
/// given real user and group ids (no supplementary groups; uid 0 needs 0o110).
[[nodiscard]] bool executable_by(mode_t mode, uid_t owner, gid_t group, uid_t uid,
                                 gid_t gid) noexcept;

/// stat(2) following links, then file type and execute permission for the real
/// uid/gid. Violations carry the path passed in.
[[nodiscard]] std::expected<void, Violation> check_binary(const Path& path);

}  // namespace corvane
