// Resolution of a binary path to its canonical form, the key of every policy lookup.
#include "corvane/canonical.hpp"

#include <cerrno>
#include <utility>

namespace corvane {

std::expected<Path, Violation> canonicalize_binary(const Path& path) {
  // Relative paths would resolve against whatever the working directory happens to be.
  if (!is_absolute(path)) return std::unexpected(violation::BinNotAbsolute{display(path)});
  auto resolved = real_path(path);
  if (resolved) return std::move(*resolved);
  if (resolved.error().code == ENOENT)
    return std::unexpected(violation::BinNotFound{display(path)});
  return std::unexpected(violation::BinCanonicalizeFailed{display(path), resolved.error().text()});
}

}  // namespace corvane
