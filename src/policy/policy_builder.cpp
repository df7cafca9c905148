// Building a policy: the builder's setters, build() for the specified model and
// try_build(), which also reads the extended rules, names and per-binary options.
#include <algorithm>

#include "corvane/canonical.hpp"
#include "corvane/file_check.hpp"
#include "corvane/policy.hpp"

namespace corvane {

namespace {

Refusal duplicate_rules(std::string message, const Path& path) {
  return Refusal{
      "DuplicateRules", std::nullopt, std::move(message), {{"path", display(path)}}, std::nullopt};
}

}  // namespace

ProcPolicyBuilder& ProcPolicyBuilder::allow_bin(Path path) & {
  allowed_bins_.push_back(std::move(path));
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::arg_rules(Path path, ArgRules rules) & {
  rules_by_path_.insert_or_assign(std::move(path), std::move(rules));
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::env_policy(EnvPolicy policy) & {
  env_policy_ = std::move(policy);
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::cwd_policy(CwdPolicy policy) & {
  cwd_policy_ = std::move(policy);
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::timeout(Duration limit) & {
  timeout_ = limit.normalized();
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::max_stdout(std::uint64_t bytes) & {
  max_stdout_ = bytes;
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::max_stderr(std::uint64_t bytes) & {
  max_stderr_ = bytes;
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::risky_bin_policy(RiskyBinPolicy policy) & {
  risky_bin_policy_ = policy;
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::command_rules(Path path, CommandRules rules) & {
  command_rules_.emplace_back(std::move(path),
                              std::make_shared<const CommandRules>(std::move(rules)));
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::allow_named_bin(std::string name, Path path) & {
  bin_names_.emplace_back(std::move(name), path);
  allowed_bins_.push_back(std::move(path));
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::anchor_relative_cwd(bool on) & {
  anchor_cwd_ = on;
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::max_stdin(std::uint64_t bytes) & {
  max_stdin_ = bytes;
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::sandbox(Sandbox sandbox) & {
  sandbox_ = std::move(sandbox);
  return *this;
}

ProcPolicyBuilder& ProcPolicyBuilder::binary_options(Path path, BinaryOptions options) & {
  for (auto& entry : binary_options_) {
    if (path_equal(entry.first, path)) {
      entry.second = options;
      return *this;
    }
  }
  binary_options_.emplace_back(std::move(path), options);
  return *this;
}

// The forms for a temporary: the same change, the builder handed on by value.
ProcPolicyBuilder ProcPolicyBuilder::allow_bin(Path path) && {
  this->allow_bin(std::move(path));
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::arg_rules(Path path, ArgRules rules) && {
  this->arg_rules(std::move(path), std::move(rules));
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::env_policy(EnvPolicy policy) && {
  this->env_policy(std::move(policy));
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::cwd_policy(CwdPolicy policy) && {
  this->cwd_policy(std::move(policy));
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::timeout(Duration limit) && {
  this->timeout(limit);
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::max_stdout(std::uint64_t bytes) && {
  this->max_stdout(bytes);
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::max_stderr(std::uint64_t bytes) && {
  this->max_stderr(bytes);
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::risky_bin_policy(RiskyBinPolicy policy) && {
  this->risky_bin_policy(policy);
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::command_rules(Path path, CommandRules rules) && {
  this->command_rules(std::move(path), std::move(rules));
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::allow_named_bin(std::string name, Path path) && {
  this->allow_named_bin(std::move(name), std::move(path));
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::anchor_relative_cwd(bool on) && {
  this->anchor_relative_cwd(on);
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::max_stdin(std::uint64_t bytes) && {
  this->max_stdin(bytes);
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::sandbox(Sandbox sandbox) && {
  this->sandbox(std::move(sandbox));
  return std::move(*this);
}

ProcPolicyBuilder ProcPolicyBuilder::binary_options(Path path, BinaryOptions options) && {
  this->binary_options(std::move(path), options);
  return std::move(*this);
}

void ProcPolicyBuilder::move_settings_into(ProcPolicy& policy) {
  policy.env_policy_ = std::move(env_policy_);
  policy.cwd_policy_ = std::move(cwd_policy_);
  policy.max_stdout_ = max_stdout_;
  policy.max_stderr_ = max_stderr_;
  policy.timeout_ = timeout_;
  policy.risky_bin_policy_ = risky_bin_policy_;
  policy.sandbox_ = std::move(sandbox_);
  policy.anchor_cwd_ = anchor_cwd_;
  policy.max_stdin_ = max_stdin_;
}

ProcPolicyBuilder::RulesAt ProcPolicyBuilder::rules_at(const Path& path) const {
  RulesAt at;
  if (const auto args = rules_by_path_.find(path); args != rules_by_path_.end())
    at.args = &args->second;
  for (const auto& [registered, rules] : command_rules_) {
    if (path_equal(registered, path)) {
      at.command = &rules;
      break;
    }
  }
  return at;
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
    RulesAt rules = rules_at(registered);
    if (!rules.found()) rules = rules_at(*canonical);
    if (!rules.found()) {
      return std::unexpected(violation::ArgRulesRequired{display(registered)});
    }
    policy.allowed_canonical_.insert(*canonical);
    // A later binary that resolves to the same file replaces the earlier rules,
    // whichever model either is: one file is judged by one set.
    if (rules.args != nullptr) {
      policy.command_rules_by_canonical_.erase(*canonical);
      policy.rules_by_canonical_.insert_or_assign(std::move(*canonical), *rules.args);
    } else {
      policy.rules_by_canonical_.erase(*canonical);
      policy.command_rules_by_canonical_.insert_or_assign(std::move(*canonical), *rules.command);
    }
  }
  move_settings_into(policy);
  return policy;
}

std::expected<ProcPolicy, Refusal> ProcPolicyBuilder::try_build() && {
  // A call's stdin is written whole into a pipe before its child starts.
  if (const std::uint64_t cap = max_stdin_capacity(); max_stdin_ && *max_stdin_ > cap) {
    return std::unexpected(Refusal{"StdinTooLarge",
                                   std::nullopt,
                                   "max_stdin of " + std::to_string(*max_stdin_) +
                                       " bytes is above " + std::to_string(cap) +
                                       ", the most a pipe can hold here",
                                   {},
                                   std::nullopt});
  }
  for (std::size_t i = 0; i < command_rules_.size(); ++i) {
    const Path& path = command_rules_[i].first;
    for (std::size_t j = 0; j < i; ++j) {
      if (path_equal(command_rules_[j].first, path)) {
        return std::unexpected(
            duplicate_rules("a second set of rules for binary " + display(path), path));
      }
    }
    if (rules_by_path_.contains(path)) {
      return std::unexpected(duplicate_rules(
          "both argument rules and command rules for binary " + display(path), path));
    }
  }
  auto find_options = [&](const Path& key) -> const BinaryOptions* {
    for (const auto& [path, options] : binary_options_) {
      if (path_equal(path, key)) return &options;
    }
    return nullptr;
  };

  ProcPolicy policy;
  // Which registered path's rules apply to each canonical binary, so that two
  // different sets of rules reaching one file are caught.
  std::unordered_map<Path, Path, PathHash, PathEqual> source_of;
  // The file each registered path is, so that names can be told apart by file.
  std::unordered_map<Path, Path, PathHash, PathEqual> canonical_of;
  for (const Path& registered : allowed_bins_) {
    auto canonical = canonicalize_binary(registered);
    if (!canonical) return std::unexpected(to_refusal(std::move(canonical.error())));
    if (auto checked = check_binary(*canonical); !checked) {
      return std::unexpected(to_refusal(std::move(checked.error())));
    }
    canonical_of.insert_or_assign(registered, *canonical);
    // Options under the path as registered, else under its canonical form, as rules are found.
    const BinaryOptions* options = find_options(registered);
    if (!options) options = find_options(*canonical);
    ProcPolicy::BinarySettings settings;
    if (options) {
      if (options->argv0 == Argv0::AllowedPath) settings.argv0 = registered;
      settings.risky = options->risky;
      settings.sandbox = options->sandbox;
      settings.subcommand_sandboxes = options->subcommand_sandboxes;
    }
    // As in build(): rules under the path as registered win over rules under its canonical form.
    Path key = registered;
    RulesAt rules = rules_at(key);
    if (!rules.found()) {
      key = *canonical;
      rules = rules_at(key);
    }
    if (!rules.found()) {
      return std::unexpected(to_refusal(violation::ArgRulesRequired{display(registered)}));
    }
    // A subcommand's sandbox belongs to one of the binary's rule sets; one for
    // words no rule set has would never apply.
    for (const auto& [words, box] : settings.subcommand_sandboxes) {
      const bool known =
          rules.command != nullptr &&
          std::any_of((*rules.command)->rule_sets().begin(), (*rules.command)->rule_sets().end(),
                      [&](const RuleSet& set) { return set.subcommand() == words; });
      if (!known) {
        std::string named;
        for (const std::string& w : words) named += (named.empty() ? "" : " ") + w;
        return std::unexpected(Refusal{"OptionsForUnknownSubcommand",
                                       std::nullopt,
                                       "a sandbox for subcommand " + escape_quoted(named) + " of " +
                                           display(registered) +
                                           ", which has no command rules for it",
                                       {{"path", display(registered)}, {"subcommand", named}},
                                       std::nullopt});
      }
    }
    if (auto seen = source_of.find(*canonical); seen != source_of.end()) {
      if (!path_equal(seen->second, key)) {
        return std::unexpected(duplicate_rules("rules for " + display(seen->second) + " and " +
                                                   display(key) + " both apply to " +
                                                   display(*canonical),
                                               *canonical));
      }
      // One file is run one way: two allowed paths for it cannot each be its argv[0].
      const auto before = policy.settings_by_canonical_.find(*canonical);
      const ProcPolicy::BinarySettings none;
      const auto& earlier = before == policy.settings_by_canonical_.end() ? none : before->second;
      const bool same_argv0 = earlier.argv0.has_value() == settings.argv0.has_value() &&
                              (!settings.argv0 || path_equal(*earlier.argv0, *settings.argv0));
      if (!same_argv0 || earlier.risky != settings.risky || earlier.sandbox != settings.sandbox ||
          earlier.subcommand_sandboxes != settings.subcommand_sandboxes) {
        return std::unexpected(Refusal{"ConflictingBinaryOptions",
                                       std::nullopt,
                                       "binaries that resolve to " + display(*canonical) +
                                           " have different options (" + display(registered) + ")",
                                       {{"path", display(registered)}},
                                       std::nullopt});
      }
      continue;
    }
    source_of.emplace(*canonical, key);
    policy.allowed_canonical_.insert(*canonical);
    if (settings.argv0 || settings.risky || settings.sandbox ||
        !settings.subcommand_sandboxes.empty()) {
      policy.settings_by_canonical_.emplace(*canonical, std::move(settings));
    }
    if (rules.command != nullptr) {
      policy.command_rules_by_canonical_.emplace(std::move(*canonical), *rules.command);
    } else {
      policy.rules_by_canonical_.emplace(std::move(*canonical), *rules.args);
    }
  }
  // Options nobody asked for are a mistake in the policy, not something to drop silently.
  for (const auto& [path, options] : binary_options_) {
    const bool allowed =
        canonical_of.contains(path) ||
        std::any_of(canonical_of.begin(), canonical_of.end(),
                    [&](const auto& entry) { return path_equal(entry.second, path); });
    if (!allowed) {
      return std::unexpected(
          Refusal{"OptionsForUnknownBinary",
                  std::nullopt,
                  "options for binary " + display(path) + ", which is not allowed",
                  {{"path", display(path)}},
                  std::nullopt});
    }
  }
  // Two names for one file are fine (/bin/ls and /usr/bin/ls); one name for two
  // files is kept, and refused when asked for, so that neither is picked silently.
  for (const auto& [name, registered] : bin_names_) {
    auto& paths = policy.paths_by_name_[name];
    const Path& file = canonical_of.at(registered);
    const bool known = std::any_of(paths.begin(), paths.end(), [&](const Path& p) {
      return path_equal(canonical_of.at(p), file);
    });
    if (!known) paths.push_back(registered);
  }
  move_settings_into(policy);
  return policy;
}

}  // namespace corvane
