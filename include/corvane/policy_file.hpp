// Policy files: a whole policy written as TOML (or handed over as the same
// tree of data), read, checked and built into a ProcPolicy with its extended
// rules and sandbox. Every mistake comes back naming the file, the dotted key
// path and the reason; nothing is silently ignored.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/error.hpp"
#include "corvane/path.hpp"
#include "corvane/policy.hpp"
#include "corvane/prepared.hpp"
#include "corvane/rules.hpp"
#include "corvane/sandbox.hpp"

namespace corvane {

/// The values of ${NAME} in a policy's strings ("$$" is a literal "$").
using PolicyVariables = std::map<std::string, std::string>;

/// A policy as a tree of data, the shape of the TOML file. A binding converts
/// its own mappings into this and hands them to the same reader as a file.
struct PolicyValue {
  enum class Kind : std::uint8_t { Boolean, Integer, Float, String, List, Table, Other };
  Kind kind = Kind::Table;
  bool boolean = false;
  /// Integer: its sign (the magnitude is in `text`, any size, so that a value
  /// out of range is reported as written).
  bool negative = false;
  /// String: the UTF-8 text; Integer: the decimal digits; Other: the type's name
  /// (a value no policy key takes, such as a date; an Other named "NoneType", a
  /// binding's null, counts as left out where a table or list may be).
  std::string text{};
  double number = 0;                 ///< Float
  std::vector<PolicyValue> items{};  ///< List
  /// Table, in the order written; keys are strings unless the source had others.
  std::vector<std::pair<PolicyValue, PolicyValue>> entries{};

  [[nodiscard]] static PolicyValue string(std::string text);
  [[nodiscard]] static PolicyValue integer(std::int64_t value);
  [[nodiscard]] static PolicyValue table() { return {}; }
  /// The entry under a string key, or nullptr.
  [[nodiscard]] const PolicyValue* find(std::string_view key) const noexcept;
};

/// A mistake in a policy: the file (nullopt for data given directly), the
/// dotted key path ("binaries.git.subcommands.log.flags[2]", empty for the
/// whole policy) and the reason.
struct PolicyFileError {
  std::optional<std::string> file;
  std::string key;
  std::string reason;
  /// "file: key: reason", leaving out the parts that are empty.
  [[nodiscard]] std::string message() const;
};

/// One rule set of a binary as the policy wrote it (the subcommand empty for
/// the binary's own rules).
struct PolicyRuleSet {
  std::vector<std::string> subcommand{};
  std::vector<std::string> flags{};
  std::vector<std::pair<std::string, ValueRule>> value_flags{};
  std::uint64_t max_flags = 32;
  std::uint64_t max_positionals = 32;
  bool numeric_flags = false;
  bool bundles = false;
  bool first_arg_bundle = false;
  bool path_positionals = false;
  bool inject_double_dash = true;
  DoubleDashReading double_dash = DoubleDashReading::EndsOptions;
  /// `positionals` and `rest_positionals`: empty and nullopt when not written.
  std::vector<PositionalRole> positionals{};
  std::optional<PositionalRole> rest_positionals{};
  std::uint64_t inject_double_dash_after = 0;
  /// A subcommand's own sandbox ([...subcommands.NAME.sandbox] applied to its
  /// binary's), the one the commands this rule set allows carry; nullopt: the binary's.
  std::optional<Sandbox> sandbox{};
  /// The pack this rule set came from ("" when the policy wrote it).
  std::string pack{};
};

/// One [binaries.NAME] table.
struct PolicyBinary {
  std::string name;
  Path path;  ///< as written, relative ones joined to the file's directory
  std::vector<PolicyRuleSet> rule_sets{};
  /// [binaries.NAME.global]: the options read before the subcommand word.
  std::optional<PolicyRuleSet> global{};
  Argv0 argv0 = Argv0::Canonical;
  std::optional<RiskyBinPolicy> risky{};  ///< nullopt: the policy's own setting
  /// Its own sandbox ([binaries.NAME.sandbox] applied to [sandbox]), the one its
  /// commands carry; nullopt: the policy's.
  std::optional<Sandbox> sandbox{};
  /// The pack it came from ("" when the policy wrote it); when packs share a
  /// binary (git), the first, and each rule set names its own.
  std::string pack{};
  /// The policy restated it wider than its pack, saying `widen = true`.
  bool widened = false;
};

/// A pack a policy took binaries from: `include = [...]` or a binary's `pack = "..."`.
struct PolicyPack {
  std::string name;
  std::string description;  ///< one line, for a model
  Path file;
  std::vector<std::string> binaries{};  ///< those the policy took from it
  /// Those left out because their program is not on this machine.
  std::vector<std::string> missing{};
};

/// Everything a policy file set, with the defaults filled in: what the built
/// policy was made from, for a host to show ("what may I run?").
struct PolicySettings {
  std::vector<PolicyBinary> binaries{};
  Duration timeout = Duration::from_secs(30);
  std::uint64_t max_stdout = 10'485'760;
  std::uint64_t max_stderr = 1'048'576;
  std::optional<std::uint64_t> max_stdin{};  ///< nullopt: no call may give stdin
  OnOutputLimit on_output_limit = OnOutputLimit::Wait;
  RiskyBinPolicy risky_binaries = RiskyBinPolicy::DenyByDefault;
  /// "empty", "locale_only", "fixed" or "allowlist"; the names it lets through
  /// (allowlist) or sets (fixed, sorted).
  std::string environment_mode = "empty";
  std::vector<std::string> environment_names{};
  /// "fixed", "jail" or "allow"; the directories it names (the fixed one, the
  /// jail's root, or the allowed ones in order) and the default.
  std::string cwd_mode = "fixed";
  std::vector<Path> cwd_dirs{Path("/tmp")};
  Path default_cwd{"/tmp"};
  std::optional<Path> sandbox_workspace{};
  /// [audit]: the file the trail of decisions and runs is appended to
  /// (relative paths joined to the policy file's directory), and whether it
  /// also goes to standard error. The core only reads them; the host writes.
  std::optional<Path> audit_file{};
  bool audit_stderr = false;
  std::vector<PolicyPack> packs{};
};

/// A policy read from a file or data: the built policy, the sandbox every
/// command it allows carries (also inside `policy`), how runs treat an output
/// limit, and the settings it was made from.
struct LoadedPolicy {
  ProcPolicy policy;
  std::optional<Sandbox> sandbox;
  PolicySettings settings;
};

/// The directories searched for the packs a policy names (`include = ["explore"]`
/// finds explore.toml in the first that has it): where `cmake --install` put
/// them, share/corvane/packs under the install prefix.
[[nodiscard]] std::vector<Path> default_pack_dirs();

/// The names of the packs in `dirs` (each NAME.toml), sorted, each once.
[[nodiscard]] std::vector<std::string> pack_names(const std::vector<Path>& dirs);

/// Reads and builds the policy in a TOML file. Relative paths in it resolve
/// against the file's directory; ${NAME} in its strings is variables[NAME]. A
/// file its own commands may rewrite (under its sandbox's write paths, or,
/// without a sandbox that confines files, in the directories its [cwd] names)
/// is refused unless it sets allow_writable_policy = true.
[[nodiscard]] std::expected<LoadedPolicy, PolicyFileError> load_policy(
    const Path& file, const PolicyVariables& variables = {});
/// The same, finding the packs it names in `pack_dirs`.
[[nodiscard]] std::expected<LoadedPolicy, PolicyFileError> load_policy(
    const Path& file, const PolicyVariables& variables, const std::vector<Path>& pack_dirs);

/// Reads and builds the policy in TOML `text`; `origin` names it in messages.
/// Relative paths need `base_dir`. The placement check of load_policy() is the
/// caller's: there is no file to check.
[[nodiscard]] std::expected<LoadedPolicy, PolicyFileError> load_policy_text(
    std::string_view text, std::string_view origin, const PolicyVariables& variables = {},
    const std::optional<Path>& base_dir = std::nullopt);
[[nodiscard]] std::expected<LoadedPolicy, PolicyFileError> load_policy_text(
    std::string_view text, std::string_view origin, const PolicyVariables& variables,
    const std::optional<Path>& base_dir, const std::vector<Path>& pack_dirs);

/// Builds the policy in a tree of data shaped like the file (errors name no
/// file). Relative paths need `base_dir`.
[[nodiscard]] std::expected<LoadedPolicy, PolicyFileError> load_policy_value(
    const PolicyValue& data, const PolicyVariables& variables = {},
    const std::optional<Path>& base_dir = std::nullopt);
[[nodiscard]] std::expected<LoadedPolicy, PolicyFileError> load_policy_value(
    const PolicyValue& data, const PolicyVariables& variables, const std::optional<Path>& base_dir,
    const std::vector<Path>& pack_dirs);

/// The tables of a policy file and the keys each takes, as the reader walks
/// them ("" is the top level; "binaries.*" a binary, "binaries.*.subcommands.*"
/// a subcommand, "*.value_flags.*" a value flag's options): what a schema of
/// the format must agree with.
[[nodiscard]] const std::vector<std::pair<std::string_view, std::vector<std::string_view>>>&
policy_file_keys();

}  // namespace corvane
