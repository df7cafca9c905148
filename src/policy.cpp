// Building a policy (every allowed binary resolved, checked and given rules)
// and preparing requests against it.
#include "policy.hpp"

#include "canonical.hpp"
#include "file_check.hpp"

namespace corvane {

ProcPolicyBuilder ProcPolicyBuilder::allow_bin(Path path) && {
  allowed_bins_.push_back(std::move(path));
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::arg_rules(Path path, ArgRules rules) && {
  rules_by_path_.insert_or_assign(std::move(path), std::move(rules));
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::env_policy(EnvPolicy policy) && {
  env_policy_ = std::move(policy);
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::cwd_policy(CwdPolicy policy) && {
  cwd_policy_ = std::move(policy);
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::timeout(Duration limit) && {
  timeout_ = limit.normalized();
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::max_stdout(std::uint64_t bytes) && {
  max_stdout_ = bytes;
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::max_stderr(std::uint64_t bytes) && {
  max_stderr_ = bytes;
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::risky_bin_policy(RiskyBinPolicy policy) && {
  risky_bin_policy_ = policy;
  return std::move(*this);
}

std::expected<ProcPolicy, Violation> ProcPolicyBuilder::build() && {
  ProcPolicy policy;
  for (const Path& registered : allowed_bins_) {
    auto canonical = canonicalize_binary(registered);
    if (!canonical) return std::unexpected(std::move(canonical.error()));
    if (auto checked = check_binary(*canonical); !checked) {
      return std::unexpected(std::move(checked.error()));
    }
    // Rules under the path as registered win over rules under its canonical form.
    auto rules = rules_by_path_.find(registered);
    if (rules == rules_by_path_.end()) rules = rules_by_path_.find(*canonical);
    if (rules == rules_by_path_.end()) {
      return std::unexpected(violation::ArgRulesRequired{display(registered)});
    }
    policy.allowed_canonical_.insert(*canonical);
    // A later binary that resolves to the same file replaces the earlier rules.
    policy.rules_by_canonical_.insert_or_assign(std::move(*canonical), rules->second);
  }
  policy.env_policy_ = std::move(env_policy_);
  policy.cwd_policy_ = std::move(cwd_policy_);
  policy.max_stdout_ = max_stdout_;
  policy.max_stderr_ = max_stderr_;
  policy.timeout_ = timeout_;
  policy.risky_bin_policy_ = risky_bin_policy_;
  return policy;
}

std::expected<PreparedCommand, Violation> ProcPolicy::prepare(ProcRequest request) const {
  // Refuse a relative path before touching the file system at all.
  if (!is_absolute(request.bin)) return std::unexpected(violation::BinNotAbsolute{display(request.bin)});

  auto canonical = canonicalize_binary(request.bin);
  if (!canonical) return std::unexpected(std::move(canonical.error()));
  if (auto checked = check_binary(*canonical); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (!allowed_canonical_.contains(*canonical)) {
    return std::unexpected(violation::BinNotAllowed{display(request.bin), display(*canonical)});
  }
  if (auto risk = check_risky(*canonical, risky_bin_policy_); !risk) {
    return std::unexpected(std::move(risk.error()));
  }
  const auto rules = rules_by_canonical_.find(*canonical);
  if (rules == rules_by_canonical_.end()) {
    return std::unexpected(violation::ArgRulesRequired{display(*canonical)});
  }
  auto argv = rules->second.validate(std::move(request.argv));
  if (!argv) return std::unexpected(std::move(argv.error()));
  EnvMap env = env_policy_.apply(request.env);
  auto cwd = cwd_policy_.validate(request.cwd);
  if (!cwd) return std::unexpected(std::move(cwd.error()));
  return PreparedCommand(std::move(*canonical), std::move(*argv), std::move(*cwd), std::move(env),
                         max_stdout_, max_stderr_, timeout_);
}

}  // namespace corvane
