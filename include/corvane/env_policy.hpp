// The child's complete environment: computed from the policy and the request,
// never inherited, with a fixed list of dangerous names always removed.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <variant>

#include "corvane/request.hpp"

namespace corvane {

/// Names removed from every computed environment, exact and case-sensitive.
inline constexpr std::array<std::string_view, 47> FORBIDDEN_ENV_VARS = {
    // dynamic loader (Linux)
    "LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT", "LD_DEBUG", "LD_PROFILE",
    // dynamic loader (Apple systems)
    "DYLD_INSERT_LIBRARIES", "DYLD_LIBRARY_PATH", "DYLD_FRAMEWORK_PATH",
    "DYLD_FALLBACK_LIBRARY_PATH",
    // language runtimes
    "PYTHONPATH", "PYTHONSTARTUP", "PYTHONHOME", "RUBYLIB", "RUBYOPT", "PERL5LIB", "PERL5OPT",
    "PERLLIB", "NODE_PATH", "NODE_OPTIONS",
    // shells
    "BASH_ENV", "ENV", "SHELLOPTS", "BASHOPTS", "IFS", "CDPATH", "GLOBIGNORE", "PROMPT_COMMAND",
    "PS1", "PS2", "PS4",
    // programs started on a user's behalf
    "EDITOR", "VISUAL", "PAGER", "BROWSER", "SHELL",
    // proxies
    "HTTP_PROXY", "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY", "NO_PROXY", "http_proxy", "https_proxy",
    "ftp_proxy", "all_proxy", "no_proxy",
    // version control
    "GIT_EXEC_PATH", "GIT_TEMPLATE_DIR"};

/// How the child's environment is computed.
class EnvPolicy {
 public:
  /// No variables at all.
  struct Empty {};
  /// Exactly LANG and LC_ALL, both "C.UTF-8".
  struct LocaleOnly {};
  /// The policy's own map; the request's variables are ignored.
  struct Fixed {
    EnvMap vars;
  };
  /// The request's variables whose names are in the set.
  struct Allowlist {
    std::unordered_set<std::string> names;
  };
  using Variant = std::variant<Empty, LocaleOnly, Fixed, Allowlist>;

  EnvPolicy() = default;
  EnvPolicy(Variant v) : variant_(std::move(v)) {}  // NOLINT: implicit by design
  /// From one alternative directly, so `EnvPolicy p = EnvPolicy::Fixed{...};` works.
  template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, EnvPolicy> &&
             !std::is_same_v<std::remove_cvref_t<T>, Variant> &&
             std::is_constructible_v<Variant, T &&>)
  EnvPolicy(T&& alternative)  // NOLINT: implicit by design
      : variant_(std::forward<T>(alternative)) {}

  [[nodiscard]] const Variant& variant() const noexcept { return variant_; }

  /// The child's environment for a request's variables; never fails, never reads
  /// the host's environment, and no forbidden name survives.
  [[nodiscard]] EnvMap apply(const EnvMap& request_env) const;

 private:
  Variant variant_;
};

}  // namespace corvane
