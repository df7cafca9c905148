// Resolution of a binary path to the one canonical path that policies key on.
#pragma once

#include <expected>

#include "corvane/error.hpp"
#include "corvane/path.hpp"

namespace corvane {

/// The canonical path of `path` (realpath semantics). BinNotAbsolute when it does
/// not begin with '/', BinNotFound on ENOENT, BinCanonicalizeFailed otherwise;
/// every violation carries the path as given.
[[nodiscard]] std::expected<Path, Violation> canonicalize_binary(const Path& path);

}  // namespace corvane
