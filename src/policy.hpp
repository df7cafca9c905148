// The policy builder and the built, immutable policy that judges requests.
#pragma once

#include <cstdint>
#include <expected>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "arg_rules.hpp"
#include "cwd_policy.hpp"
#include "env_policy.hpp"
#include "error.hpp"
#include "path.hpp"
#include "prepared.hpp"
#include "request.hpp"
#include "risky.hpp"

namespace corvane {

class ProcPolicy;

/// Collects a policy's settings by chained calls; validates nothing until build().
class ProcPolicyBuilder {
 public:
  /// No binaries, no rules, Empty environment, Fixed "/tmp", 30 s, 10 MiB
  /// stdout, 1 MiB stderr, DenyByDefault.
  ProcPolicyBuilder() = default;

  /// Appends a binary to allow (no duplicate test).
  [[nodiscard]] ProcPolicyBuilder allow_bin(Path path) &&;
  /// Stores rules under the path, replacing rules under an equal path.
  [[nodiscard]] ProcPolicyBuilder arg_rules(Path path, ArgRules rules) &&;
  [[nodiscard]] ProcPolicyBuilder env_policy(EnvPolicy policy) &&;
  [[nodiscard]] ProcPolicyBuilder cwd_policy(CwdPolicy policy) &&;
  [[nodiscard]] ProcPolicyBuilder timeout(Duration limit) &&;
  [[nodiscard]] ProcPolicyBuilder max_stdout(std::uint64_t bytes) &&;
  [[nodiscard]] ProcPolicyBuilder max_stderr(std::uint64_t bytes) &&;
  [[nodiscard]] ProcPolicyBuilder risky_bin_policy(RiskyBinPolicy policy) &&;

  /// Resolves and checks every allowed binary in call order and requires rules
  /// for each (under the registered path, else the canonical one).
  [[nodiscard]] std::expected<ProcPolicy, Violation> build() &&;

 private:
  EnvPolicy env_policy_;
  std::vector<Path> allowed_bins_;
  CwdPolicy cwd_policy_;
  std::uint64_t max_stdout_ = 10'485'760;
  std::uint64_t max_stderr_ = 1'048'576;
  Duration timeout_ = Duration::from_secs(30);
  std::unordered_map<Path, ArgRules, PathHash, PathEqual> rules_by_path_;
  RiskyBinPolicy risky_bin_policy_ = RiskyBinPolicy::DenyByDefault;
};

/// A built policy: immutable, shareable between threads without locks.
class ProcPolicy {
 public:
  /// Same as ProcPolicyBuilder().
  [[nodiscard]] static ProcPolicyBuilder builder() { return {}; }

  /// Judges a request: absolute, resolve, file check, allow-list, risk, rules,
  /// arguments, environment, working directory; the first failure is returned.
  [[nodiscard]] std::expected<PreparedCommand, Violation> prepare(ProcRequest request) const;

 private:
  friend class ProcPolicyBuilder;
  ProcPolicy() = default;

  EnvPolicy env_policy_;
  CwdPolicy cwd_policy_;
  std::uint64_t max_stdout_ = 0;
  std::uint64_t max_stderr_ = 0;
  Duration timeout_;
  PathSet allowed_canonical_;
  std::unordered_map<Path, ArgRules, PathHash, PathEqual> rules_by_canonical_;
  RiskyBinPolicy risky_bin_policy_ = RiskyBinPolicy::DenyByDefault;
};

}  // namespace corvane
