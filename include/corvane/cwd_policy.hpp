// Where the child starts: a fixed directory, anything inside a jail root, or
// one of an allow-list of directories.
#pragma once

#include <expected>
#include <optional>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <variant>

#include "corvane/error.hpp"
#include "corvane/path.hpp"

namespace corvane {

/// Paths compared component-wise.
using PathSet = std::unordered_set<Path, PathHash, PathEqual>;

/// How the child's working directory is chosen and checked.
class CwdPolicy {
 public:
  /// Always this directory, unresolved; the request's directory is ignored.
  struct Fixed {
    Path dir;
  };
  /// The request's directory (else default_dir) must resolve inside root.
  struct Jailed {
    Path root;
    Path default_dir;
  };
  /// The request's directory (else default_dir) must resolve to an allowed one.
  struct Allowlist {
    PathSet allowed;
    Path default_dir;
  };
  using Variant = std::variant<Fixed, Jailed, Allowlist>;

  CwdPolicy() : variant_(Fixed{"/tmp"}) {}
  CwdPolicy(Variant v) : variant_(std::move(v)) {}  // NOLINT: implicit by design
  /// From one alternative directly, so `CwdPolicy p = CwdPolicy::Jailed{...};` works.
  template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, CwdPolicy> &&
             !std::is_same_v<std::remove_cvref_t<T>, Variant> &&
             std::is_constructible_v<Variant, T &&>)
  CwdPolicy(T&& alternative)  // NOLINT: implicit by design
      : variant_(std::forward<T>(alternative)) {}

  [[nodiscard]] const Variant& variant() const noexcept { return variant_; }

  /// The directory the child starts in, or CwdForbidden.
  [[nodiscard]] std::expected<Path, Violation> validate(const std::optional<Path>& requested) const;

  /// validate(), with a relative request directory taken from the policy's
  /// default directory (where a request without one runs) rather than from the
  /// host process's working directory. The result is checked exactly as an
  /// absolute request would be, so ".." and symbolic links stay inside the
  /// jail or the allowlist. Fixed ignores the request either way.
  [[nodiscard]] std::expected<Path, Violation> validate_anchored(
      const std::optional<Path>& requested) const;

 private:
  Variant variant_;
};

}  // namespace corvane
