// The policy builder and the built, immutable policy that judges requests.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "corvane/arg_rules.hpp"
#include "corvane/cwd_policy.hpp"
#include "corvane/env_policy.hpp"
#include "corvane/error.hpp"
#include "corvane/path.hpp"
#include "corvane/prepared.hpp"
#include "corvane/request.hpp"
#include "corvane/risky.hpp"
#include "corvane/rules.hpp"
#include "corvane/sandbox.hpp"

namespace corvane {

class ProcPolicy;

/// What a checked binary's child sees as argv[0].
enum class Argv0 : std::uint8_t {
  /// The canonical path of the file that runs (the default).
  Canonical,
  /// The path the binary was allowed under, while the file that runs is still
  /// the canonical one checked: an interpreter in a virtual environment finds
  /// the environment from argv[0] (a venv's "bin/python3" links to the base
  /// interpreter, and only the link's directory holds the venv).
  AllowedPath,
};

/// How one allowed binary is run and judged beyond its rules. Opt-in, read by
/// try_build() and check()/explain() only.
struct BinaryOptions {
  Argv0 argv0 = Argv0::Canonical;
  /// This binary's risky-name policy instead of the policy's own: one
  /// interpreter allowed with narrow rules, every other risky binary still refused.
  std::optional<RiskyBinPolicy> risky = std::nullopt;
  /// The sandbox this binary's commands carry instead of the policy's
  /// (ProcPolicyBuilder::sandbox): a test runner that must start a shell gets
  /// exec rights no other binary has. It replaces the policy's whole, so build
  /// it from the policy's SandboxSpec with what differs changed.
  std::optional<Sandbox> sandbox = std::nullopt;
  /// Sandboxes for some of the binary's CommandRules rule sets, by subcommand
  /// path: a command that rule set allowed carries it instead of the binary's
  /// own (or the policy's), so "git commit" may run hooks "git status" may not.
  /// Whole sandboxes, as `sandbox` is. try_build() refuses a path that names no
  /// rule set of the binary's.
  std::vector<std::pair<std::vector<std::string>, Sandbox>> subcommand_sandboxes{};

  friend bool operator==(const BinaryOptions&, const BinaryOptions&) = default;
};

/// Collects a policy's settings by chained calls; validates nothing until build().
/// Every setter has two forms: on a temporary it returns the builder by value
/// (`ProcPolicy::builder().allow_bin(a).build()`), on a named builder it
/// changes it in place and returns a reference, so a loop can fill one
/// (`for (...) b.allow_bin(p);` then `std::move(b).build()`).
class ProcPolicyBuilder {
 public:
  /// No binaries, no rules, Empty environment, Fixed "/tmp", 30 s, 10 MiB
  /// stdout, 1 MiB stderr, DenyByDefault.
  ProcPolicyBuilder() = default;

  /// Appends a binary to allow (no duplicate test).
  [[nodiscard]] ProcPolicyBuilder allow_bin(Path path) &&;
  ProcPolicyBuilder& allow_bin(Path path) &;
  /// Stores rules under the path, replacing rules under an equal path.
  [[nodiscard]] ProcPolicyBuilder arg_rules(Path path, ArgRules rules) &&;
  ProcPolicyBuilder& arg_rules(Path path, ArgRules rules) &;
  [[nodiscard]] ProcPolicyBuilder env_policy(EnvPolicy policy) &&;
  ProcPolicyBuilder& env_policy(EnvPolicy policy) &;
  [[nodiscard]] ProcPolicyBuilder cwd_policy(CwdPolicy policy) &&;
  ProcPolicyBuilder& cwd_policy(CwdPolicy policy) &;
  [[nodiscard]] ProcPolicyBuilder timeout(Duration limit) &&;
  ProcPolicyBuilder& timeout(Duration limit) &;
  [[nodiscard]] ProcPolicyBuilder max_stdout(std::uint64_t bytes) &&;
  ProcPolicyBuilder& max_stdout(std::uint64_t bytes) &;
  [[nodiscard]] ProcPolicyBuilder max_stderr(std::uint64_t bytes) &&;
  ProcPolicyBuilder& max_stderr(std::uint64_t bytes) &;
  [[nodiscard]] ProcPolicyBuilder risky_bin_policy(RiskyBinPolicy policy) &&;
  ProcPolicyBuilder& risky_bin_policy(RiskyBinPolicy policy) &;
  /// Lets a call give its command up to `bytes` of stdin (PreparedCommand::with_stdin);
  /// without it no call may give any. try_build() refuses more than
  /// max_stdin_capacity() (StdinTooLarge); build() leaves that to the run.
  [[nodiscard]] ProcPolicyBuilder max_stdin(std::uint64_t bytes) &&;
  ProcPolicyBuilder& max_stdin(std::uint64_t bytes) &;
  /// Registers the extended rule model for a binary, instead of ArgRules. Both
  /// builds accept it as the binary's rules and check()/explain() apply it;
  /// prepare(), which speaks only ArgRules' violations, refuses such a binary
  /// with ArgRulesRequired saying that its rules are command rules.
  [[nodiscard]] ProcPolicyBuilder command_rules(Path path, CommandRules rules) &&;
  ProcPolicyBuilder& command_rules(Path path, CommandRules rules) &;
  /// allow_bin(path), and lets check() and explain() take `name` for it: the
  /// name a tool-calling host shows a model ("ls" for /usr/bin/ls). Once any
  /// binary has a name, a request's binary that is not an absolute path is
  /// read as a name: an unknown one is BinNotAllowed naming it, one given to
  /// two different files is refused as ambiguous. build() and prepare() treat
  /// it as allow_bin(path).
  [[nodiscard]] ProcPolicyBuilder allow_named_bin(std::string name, Path path) &&;
  ProcPolicyBuilder& allow_named_bin(std::string name, Path path) &;
  /// Makes check() and explain() resolve a relative request directory from the
  /// policy's default directory (CwdPolicy::validate_anchored) instead of the
  /// host's working directory. prepare() keeps the host's.
  [[nodiscard]] ProcPolicyBuilder anchor_relative_cwd(bool on = true) &&;
  ProcPolicyBuilder& anchor_relative_cwd(bool on = true) &;
  /// Puts every command check() and explain() allow inside `sandbox`: the command
  /// carries it (PreparedCommand::sandbox), so every way of running it applies it
  /// and no other sandbox can replace it (a binary's own, BinaryOptions::sandbox,
  /// stands in for it on that binary's commands). prepare() never reads it.
  [[nodiscard]] ProcPolicyBuilder sandbox(Sandbox sandbox) &&;
  ProcPolicyBuilder& sandbox(Sandbox sandbox) &;
  /// Options for the binary allowed under `path` (or the one whose canonical
  /// path it is), replacing earlier ones under an equal path. try_build()
  /// refuses options for a path that is not allowed.
  [[nodiscard]] ProcPolicyBuilder binary_options(Path path, BinaryOptions options) &&;
  ProcPolicyBuilder& binary_options(Path path, BinaryOptions options) &;

  /// Resolves and checks every allowed binary in call order and requires rules
  /// for each, ArgRules or CommandRules (under the registered path, else the
  /// canonical one; ArgRules first when one path has both). A later binary
  /// that resolves to the same file replaces the earlier one's rules. Names,
  /// binary options and the stdin cap are try_build()'s: build() reads no
  /// names or options and looks for no conflicts.
  [[nodiscard]] std::expected<ProcPolicy, Violation> build() &&;

  /// The strict build, for policies that use the extended settings: every
  /// allowed binary needs ArgRules or CommandRules, and two sets of rules for one
  /// binary (the same path twice, both kinds, or two paths that resolve to
  /// the same file) are an error instead of the later silently winning.
  [[nodiscard]] std::expected<ProcPolicy, Refusal> try_build() &&;

 private:
  // The settings both build paths hand over unchanged.
  void move_settings_into(ProcPolicy& policy);
  // The rules registered under exactly `path`, of either model (null when none).
  struct RulesAt {
    const ArgRules* args = nullptr;
    const std::shared_ptr<const CommandRules>* command = nullptr;
    [[nodiscard]] bool found() const noexcept { return args != nullptr || command != nullptr; }
  };
  [[nodiscard]] RulesAt rules_at(const Path& path) const;
  EnvPolicy env_policy_;
  std::vector<Path> allowed_bins_;
  CwdPolicy cwd_policy_;
  std::uint64_t max_stdout_ = 10'485'760;
  std::uint64_t max_stderr_ = 1'048'576;
  Duration timeout_ = Duration::from_secs(30);
  std::unordered_map<Path, ArgRules, PathHash, PathEqual> rules_by_path_;
  RiskyBinPolicy risky_bin_policy_ = RiskyBinPolicy::DenyByDefault;
  std::vector<std::pair<Path, std::shared_ptr<const CommandRules>>> command_rules_;
  std::optional<Sandbox> sandbox_;
  std::vector<std::pair<std::string, Path>> bin_names_;
  bool anchor_cwd_ = false;
  std::optional<std::uint64_t> max_stdin_;
  std::vector<std::pair<Path, BinaryOptions>> binary_options_;
};

/// Which step of check() decided a request.
enum class CheckStage : std::uint8_t { Binary, Arguments, Environment, WorkingDirectory, Allowed };

/// "binary", "arguments", "environment", "working_directory" or "allowed".
[[nodiscard]] std::string_view display_name(CheckStage stage) noexcept;

/// What check() decided and how: the step that decided, the kind of rules the
/// binary has and how the rules read argv. explain() returns it.
struct Explanation {
  std::expected<PreparedCommand, Refusal> result;
  CheckStage stage = CheckStage::Binary;
  /// The binary's canonical path, once resolved.
  std::optional<Path> canonical;
  /// "arg_rules" or "command_rules" once the binary's rules were found, else empty.
  std::string rules;
  /// How the extended rules read argv (empty for ArgRules).
  RuleTrace trace;
  /// The binary's own risky-name policy, when its options set one.
  std::optional<RiskyBinPolicy> risky;
};

/// A built policy: immutable, shareable between threads without locks.
class ProcPolicy {
 public:
  /// A policy that allows nothing: every request is refused as BinNotAllowed,
  /// exactly as by a policy built from an empty builder. For a member that is
  /// given its real policy later (by assignment from a build).
  ProcPolicy() = default;

  /// Same as ProcPolicyBuilder().
  [[nodiscard]] static ProcPolicyBuilder builder() { return {}; }

  /// Judges a request: absolute, resolve, file check, allow-list, risk, rules,
  /// arguments, environment, working directory; the first failure is returned.
  /// Reads ArgRules only: a binary whose rules are CommandRules is refused as
  /// ArgRulesRequired naming them; check() decides requests under either model.
  [[nodiscard]] std::expected<PreparedCommand, Violation> prepare(ProcRequest request) const;

  /// prepare() that also applies the extended rule model and refuses with a
  /// Refusal (kind, argv index, message). For a binary with ArgRules the
  /// result is exactly prepare()'s, unless the policy reads binary names or
  /// anchors relative directories (allow_named_bin, anchor_relative_cwd). For a binary with
  /// CommandRules the working directory is decided before the arguments, because path rules resolve
  /// against it: binary, environment, working directory, arguments.
  [[nodiscard]] std::expected<PreparedCommand, Refusal> check(ProcRequest request) const;

  /// check(), with the step and the rules that decided and how argv was read.
  [[nodiscard]] Explanation explain(ProcRequest request) const;

 private:
  friend class ProcPolicyBuilder;

  /// The canonical path of an allowed binary: absolute, resolve, file check, allow-list, risk.
  [[nodiscard]] std::expected<Path, Violation> admit_binary(const Path& bin) const;
  /// admit_binary(), also telling `ex` the binary's own risky setting once it is known.
  [[nodiscard]] std::expected<Path, Violation> admit_binary(const Path& bin, Explanation* ex) const;
  /// The path a request's binary stands for: itself, or the binary it names.
  [[nodiscard]] std::expected<Path, Refusal> bin_by_name(const Path& bin) const;
  /// The working directory check() uses: validate(), anchored when the policy says so.
  [[nodiscard]] std::expected<Path, Violation> check_cwd(
      const std::optional<Path>& requested) const;
  /// check() and explain() in one; `ex` may be null.
  [[nodiscard]] std::expected<PreparedCommand, Refusal> judge(ProcRequest request,
                                                              Explanation* ex) const;
  /// A binary's options as they apply to its canonical file; internal.
  struct BinarySettings {
    std::optional<Path> argv0;  // the allowed path, when the child sees it as argv[0]
    std::optional<RiskyBinPolicy> risky;
    std::optional<Sandbox> sandbox;  // carried instead of the policy's
    // Carried instead of both, by the subcommand path of the rule set that allowed.
    std::vector<std::pair<std::vector<std::string>, Sandbox>> subcommand_sandboxes;
  };
  /// The settings of a canonical binary, or null.
  [[nodiscard]] const BinarySettings* settings_of(const Path& canonical) const;

  EnvPolicy env_policy_;
  CwdPolicy cwd_policy_;
  std::uint64_t max_stdout_ = 10'485'760;
  std::uint64_t max_stderr_ = 1'048'576;
  Duration timeout_ = Duration::from_secs(30);
  PathSet allowed_canonical_;
  std::unordered_map<Path, ArgRules, PathHash, PathEqual> rules_by_canonical_;
  RiskyBinPolicy risky_bin_policy_ = RiskyBinPolicy::DenyByDefault;
  std::unordered_map<Path, std::shared_ptr<const CommandRules>, PathHash, PathEqual>
      command_rules_by_canonical_;
  std::optional<Sandbox> sandbox_;  // carried by every command check() allows
  // Each name with the registered paths of the distinct files it names (one,
  // or more when ambiguous), in registration order.
  std::unordered_map<std::string, std::vector<Path>> paths_by_name_;
  bool anchor_cwd_ = false;
  std::optional<std::uint64_t> max_stdin_;  // handed to every command it makes
  std::unordered_map<Path, BinarySettings, PathHash, PathEqual> settings_by_canonical_;
};

}  // namespace corvane
