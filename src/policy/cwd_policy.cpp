// Working-directory checks. Every check resolves the paths afresh through the
// operating system, so a symbolic link cannot smuggle a directory past the
// comparison; nothing is cached between requests.
#include "corvane/cwd_policy.hpp"

#include <string>
#include <type_traits>
#include <utility>

namespace corvane {

namespace {

std::unexpected<Violation> forbidden(const Path& path, std::string reason) {
  return std::unexpected<Violation>(violation::CwdForbidden{display(path), std::move(reason)});
}

std::expected<Path, Violation> validate_jailed(const CwdPolicy::Jailed& jail,
                                               const Path& candidate) {
  // The root goes first: with a broken root no answer about the candidate means anything.
  auto root = real_path(jail.root);
  if (!root) {
    return forbidden(jail.root, "failed to canonicalize jail root: " + root.error().text());
  }
  auto resolved = real_path(candidate);
  if (!resolved) {
    return forbidden(candidate, "failed to canonicalize cwd: " + resolved.error().text());
  }
  // Whole components, so a sibling such as "<root>break" never passes as inside.
  if (path_starts_with(*resolved, *root)) return std::move(*resolved);
  return forbidden(candidate, "not within jail root " + display(jail.root));
}

std::expected<Path, Violation> validate_allowlist(const CwdPolicy::Allowlist& list,
                                                  const Path& candidate) {
  auto resolved = real_path(candidate);
  if (!resolved) {
    return forbidden(candidate, "failed to canonicalize cwd: " + resolved.error().text());
  }
  for (const Path& entry : list.allowed) {
    // A missing or unreadable entry only means it cannot match.
    auto allowed = real_path(entry);
    if (allowed && path_equal(*allowed, *resolved)) return std::move(*resolved);
  }
  return forbidden(candidate, "not in allowlist");
}

}  // namespace

std::expected<Path, Violation> CwdPolicy::validate(const std::optional<Path>& requested) const {
  return std::visit(
      [&](const auto& policy) -> std::expected<Path, Violation> {
        using T = std::decay_t<decltype(policy)>;
        if constexpr (std::is_same_v<T, Fixed>) {
          // Deliberately unresolved and unchecked; a missing directory surfaces at spawn.
          return policy.dir;
        } else if constexpr (std::is_same_v<T, Jailed>) {
          return validate_jailed(policy, requested ? *requested : policy.default_dir);
        } else {
          static_assert(std::is_same_v<T, Allowlist>);
          return validate_allowlist(policy, requested ? *requested : policy.default_dir);
        }
      },
      variant_);
}

std::expected<Path, Violation> CwdPolicy::validate_anchored(
    const std::optional<Path>& requested) const {
  if (!requested || is_absolute(*requested)) return validate(requested);
  // A relative directory from an agent means "from where you run me", which
  // the host's own directory (wherever the host was started) is not.
  const Path* base = std::visit(
      [](const auto& policy) -> const Path* {
        using T = std::decay_t<decltype(policy)>;
        if constexpr (std::is_same_v<T, Fixed>) {
          return nullptr;
        } else {
          return &policy.default_dir;
        }
      },
      variant_);
  if (base == nullptr) return validate(requested);
  // Joined, not normalised: the kernel resolves ".." and links, and the jail
  // or allowlist judges where that really is.
  return validate(*base / *requested);
}

}  // namespace corvane
