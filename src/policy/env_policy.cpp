// The child's environment: built from the policy alone, then stripped of every
// forbidden name, whatever supplied it.
#include "corvane/env_policy.hpp"

#include <type_traits>
#include <unordered_set>

namespace corvane {

namespace {

EnvMap starting_map(const EnvPolicy::Variant& variant, const EnvMap& request_env) {
  return std::visit(
      [&](const auto& policy) -> EnvMap {
        using T = std::decay_t<decltype(policy)>;
        if constexpr (std::is_same_v<T, EnvPolicy::Empty>) {
          return {};
        } else if constexpr (std::is_same_v<T, EnvPolicy::LocaleOnly>) {
          return {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}};
        } else if constexpr (std::is_same_v<T, EnvPolicy::Fixed>) {
          return policy.vars;
        } else {
          static_assert(std::is_same_v<T, EnvPolicy::Allowlist>);
          EnvMap out;
          for (const auto& entry : request_env) {
            if (policy.names.contains(entry.first)) out.insert(entry);
          }
          return out;
        }
      },
      variant);
}

bool is_forbidden(std::string_view name) {
  static const std::unordered_set<std::string_view> forbidden(FORBIDDEN_ENV_VARS.begin(),
                                                              FORBIDDEN_ENV_VARS.end());
  return forbidden.contains(name);
}

}  // namespace

EnvMap EnvPolicy::apply(const EnvMap& request_env) const {
  EnvMap env = starting_map(variant_, request_env);
  // The policy's own map or allowlist is no exception: a forbidden name never
  // reaches a child, even when the policy's author put it there.
  // Walking the (usually tiny) map removes exactly the listed names without
  // hashing all 47 of them on every request.
  std::erase_if(env, [](const auto& entry) { return is_forbidden(entry.first); });
  return env;
}

}  // namespace corvane
