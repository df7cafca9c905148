// The extended rule model, opt-in beside ArgRules: flags that take a value,
// several rule sets per binary chosen by subcommand, numeric and bundled short
// flags, a first argument read as a bundle, and positionals that must stay
// inside the working-directory jail or have a role each (free text, a path,
// a limited value), and options read before the subcommand word. ArgRules
// classifies every token on its
// own, so the token after a flag that takes a value is not tied to that flag;
// this model reads argv the way the program's own option parser does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "corvane/double_dash.hpp"
#include "corvane/error.hpp"
#include "corvane/path.hpp"

namespace corvane {

class ValuePattern;  // a compiled value pattern (internal)

/// One field of a refusal: absent, text or a number.
using RefusalField = std::variant<std::monostate, std::string, std::uint64_t>;

/// Why the extended path refused a request or a configuration: a stable kind
/// (a Violation's variant name, or one of the extended model's kinds), the
/// argv index it refused when one is known, the one-line message and the
/// fields the message was made from.
struct Refusal {
  std::string kind;
  std::optional<std::size_t> index;
  std::string message;
  std::vector<std::pair<std::string, RefusalField>> fields;
  /// The plain violation this refusal wraps, if it is one.
  std::optional<Violation> violation;
};

/// The variant name of a violation: "BinNotAllowed", "FlagNotAllowed", ... (kind(v)).
[[nodiscard]] std::string_view violation_kind(const Violation& v) noexcept;
/// The refusal's own kind.
[[nodiscard]] std::string_view kind(const Refusal& r) noexcept;
/// The refusal's one-line message.
[[nodiscard]] std::string message(const Refusal& r);
/// The fields of a violation by name, in declaration order.
[[nodiscard]] std::vector<std::pair<std::string, RefusalField>> violation_fields(
    const Violation& v);
/// A refusal that wraps `v`, with its kind, fields and exact message.
[[nodiscard]] Refusal to_refusal(Violation v, std::optional<std::size_t> index = std::nullopt);

/// How the program itself reads a "--" among its arguments.
enum class DoubleDashReading : std::uint8_t {
  /// The end of the options: every later token is an operand (getopt and most tools).
  EndsOptions,
  /// Skipped, and later dashed words are options again: find honours "--" only
  /// before its starting points, and its expression ("-exec") follows them.
  OptionsContinue,
  /// Not special at all: an ordinary operand, and later dashed words are options.
  Argument,
};

/// "ends_options", "options_continue", "argument".
[[nodiscard]] std::string_view display_name(DoubleDashReading reading) noexcept;

/// What a flag's value must satisfy; every constraint present must hold.
struct ValueRule {
  /// Also accept the value attached: "--name=VALUE" for a long flag, "-fVALUE" for a short one.
  bool attached = false;
  /// The value must be one of these, when set.
  std::optional<std::vector<std::string>> one_of = std::nullopt;
  /// The whole value must match this ECMAScript regular expression, when set (no
  /// back-references or lookaheads; see value_pattern.hpp for the bounds).
  std::optional<std::string> pattern = std::nullopt;
  /// The value must be a path that resolves inside the working-directory jail.
  bool path = false;
  /// The value moves the program to another directory (tar, git and make "-C"):
  /// it must itself resolve inside the jail, and every path argument, before or
  /// after it, must stay inside from there too.
  bool changes_directory = false;
  /// The value is what the first positional would have been (grep and sed -e
  /// and -f, jq -f): with the flag anywhere in argv, the positional roles start
  /// at the second, so grep's files are never read as its pattern's free text.
  bool replaces_first_positional = false;
};

/// What one positional may be. Nothing set: free text (a pattern, a script),
/// never path-checked. `path`: it must resolve inside the working-directory
/// jail. `one_of` / `pattern`: a value limited as a value flag's is (a URL
/// scheme, NAME=value); every constraint present must hold.
struct PositionalRole {
  std::optional<std::vector<std::string>> one_of = std::nullopt;
  std::optional<std::string> pattern = std::nullopt;
  bool path = false;
};

/// "text", "path" or "value": how explain() and describe() name a role.
[[nodiscard]] std::string_view role_name(const PositionalRole& role) noexcept;

/// The rules for one subcommand path of a binary (or for the binary itself
/// when the path is empty). A new value accepts only the bare subcommand.
/// Each setter changes a named value in place, or hands a temporary on by value.
class RuleSet {
 public:
  RuleSet() = default;
  /// A rule set for argv that starts with these exact words ("status"; "remote", "-v").
  explicit RuleSet(std::vector<std::string> subcommand) : subcommand_(std::move(subcommand)) {}

  /// Adds flags that take no value, as whole tokens ("-n", "--color=never"); a
  /// one-letter name without a dash ("c") is a letter of the first-argument bundle.
  [[nodiscard]] RuleSet flags(std::vector<std::string> names) &&;
  RuleSet& flags(std::vector<std::string> names) &;
  /// Adds a flag that takes a value (the next token, or attached when the rule says so).
  [[nodiscard]] RuleSet value_flag(std::string name, ValueRule rule = {}) &&;
  RuleSet& value_flag(std::string name, ValueRule rule = {}) &;
  /// Inclusive upper bound on flags (a bundle counts each letter, a value flag once).
  [[nodiscard]] RuleSet max_flags(std::size_t n) &&;
  RuleSet& max_flags(std::size_t n) &;
  /// Inclusive upper bound on positionals after the subcommand.
  [[nodiscard]] RuleSet max_positionals(std::size_t n) &&;
  RuleSet& max_positionals(std::size_t n) &;
  /// Accepts "-5", "-20": a dash and digits only (head, tail, grep context).
  [[nodiscard]] RuleSet numeric_flags(bool on = true) &&;
  RuleSet& numeric_flags(bool on = true) &;
  /// Accepts "-rn" when each letter is an allowed short flag; a value flag may end the bundle.
  [[nodiscard]] RuleSet bundles(bool on = true) &&;
  RuleSet& bundles(bool on = true) &;
  /// Reads a first argument without a dash as a bundle of letters ("cf", "aux").
  [[nodiscard]] RuleSet first_arg_bundle(bool on = true) &&;
  RuleSet& first_arg_bundle(bool on = true) &;
  /// Requires every positional to resolve inside the working-directory jail.
  [[nodiscard]] RuleSet path_positionals(bool on = true) &&;
  RuleSet& path_positionals(bool on = true) &;
  /// The role of each positional in order; those beyond the list take
  /// rest_positionals(), or are refused without it. Neither given: every
  /// positional is what path_positionals() says (and both together is an error).
  [[nodiscard]] RuleSet positionals(std::vector<PositionalRole> roles) &&;
  RuleSet& positionals(std::vector<PositionalRole> roles) &;
  /// The role of every positional beyond the positionals() list.
  [[nodiscard]] RuleSet rest_positionals(PositionalRole role) &&;
  RuleSet& rest_positionals(PositionalRole role) &;
  /// Where an inserted "--" goes: after this many positionals (0, the
  /// default: before the first). zip reads "--" only after its archive name
  /// and jq only after its filter, so theirs is 1; a caller's own "--" before
  /// that many positionals is refused, since the program would not read it as
  /// the end of its options.
  [[nodiscard]] RuleSet inject_double_dash_after(std::size_t n) &&;
  RuleSet& inject_double_dash_after(std::size_t n) &;
  /// Whether "--" goes before the first positional, after the subcommand and
  /// any value. On (AfterFlags) by default, as in policy files: a program
  /// that does not stop reading options at "--" (double_dash()) needs Never,
  /// and CommandRules::make() refuses the combination rather than guess.
  [[nodiscard]] RuleSet inject_double_dash(InjectDoubleDash mode) &&;
  RuleSet& inject_double_dash(InjectDoubleDash mode) &;
  /// How the program reads a "--" (by default as the end of its options).
  [[nodiscard]] RuleSet double_dash(DoubleDashReading reading) &&;
  RuleSet& double_dash(DoubleDashReading reading) &;

  [[nodiscard]] const std::vector<std::string>& subcommand() const noexcept { return subcommand_; }
  [[nodiscard]] std::size_t max_flags() const noexcept { return max_flags_; }
  [[nodiscard]] std::size_t max_positionals() const noexcept { return max_positionals_; }
  [[nodiscard]] bool numeric_flags() const noexcept { return numeric_; }
  [[nodiscard]] bool bundles() const noexcept { return bundles_; }
  [[nodiscard]] bool first_arg_bundle() const noexcept { return first_arg_bundle_; }
  [[nodiscard]] bool path_positionals() const noexcept { return path_positionals_; }
  [[nodiscard]] InjectDoubleDash inject_double_dash() const noexcept { return inject_; }
  [[nodiscard]] DoubleDashReading double_dash() const noexcept { return double_dash_; }
  [[nodiscard]] const std::vector<PositionalRole>& positional_roles() const noexcept {
    return roles_;
  }
  [[nodiscard]] const std::optional<PositionalRole>& rest_positionals() const noexcept {
    return rest_;
  }
  [[nodiscard]] std::size_t inject_double_dash_after() const noexcept { return inject_after_; }
  /// True when positionals() or rest_positionals() was given.
  [[nodiscard]] bool has_positional_roles() const noexcept { return !roles_.empty() || rest_; }

  /// A value rule made ready for lookups (set and compiled pattern); internal.
  struct CompiledValue {
    ValueRule rule;
    std::unordered_set<std::string> one_of;
    std::shared_ptr<const ValuePattern> pattern;  // null when the rule has none
  };
  /// The positional roles made ready, the rest role last when given; internal.
  [[nodiscard]] const std::vector<CompiledValue>& compiled_roles() const noexcept {
    return compiled_roles_;
  }

 private:
  friend class CommandRules;

  std::vector<std::string> subcommand_;
  std::vector<std::string> flag_order_;
  std::vector<std::pair<std::string, ValueRule>> value_order_;
  std::unordered_set<std::string> flags_;
  std::unordered_map<std::string, CompiledValue> values_;
  std::vector<PositionalRole> roles_;
  std::optional<PositionalRole> rest_;
  // roles_ then rest_, compiled by CommandRules::make() (the last is rest_ when given).
  std::vector<CompiledValue> compiled_roles_;
  std::size_t inject_after_ = 0;
  std::size_t max_flags_ = 0;
  std::size_t max_positionals_ = 0;
  bool numeric_ = false;
  bool bundles_ = false;
  bool first_arg_bundle_ = false;
  bool path_positionals_ = false;
  InjectDoubleDash inject_ = InjectDoubleDash::AfterFlags;
  DoubleDashReading double_dash_ = DoubleDashReading::EndsOptions;
};

/// A mistake in a rule model, found when it is built.
struct RuleError {
  /// The subcommand path of the rule set at fault (empty: the binary's own rules).
  std::vector<std::string> subcommand;
  /// The one-line reason.
  std::string message;
  /// True when the fault is in the options read before the subcommand.
  bool global = false;
};

/// "RuleError".
[[nodiscard]] std::string_view kind(const RuleError& e) noexcept;
/// The one-line reason.
[[nodiscard]] std::string message(const RuleError& e);

/// How one token of argv was read; explain() reports these.
enum class TokenRole : std::uint8_t {
  Subcommand,  ///< a word of the chosen subcommand path
  Flag,        ///< an allowed flag without a value
  ValueFlag,   ///< a flag whose value is the next token(s)
  Value,       ///< the value of an earlier flag, never classified itself
  Attached,    ///< a flag with its value in the same token
  Numeric,     ///< a numeric flag such as "-5"
  Bundle,      ///< several short flags in one token
  Separator,   ///< the caller's "--"
  Positional,  ///< an ordinary argument
  // A positional of a rule set that gives roles, named by its role.
  TextPositional,   ///< free text, not path-checked
  PathPositional,   ///< a path inside the jail
  ValuePositional,  ///< a value limited by a set or a pattern
};

/// "subcommand", "flag", "value flag", "value", ...
[[nodiscard]] std::string_view display_name(TokenRole role) noexcept;

/// How the rules read argv, for explain(): filled as far as the decision went.
struct RuleTrace {
  /// The subcommand path of the rule set that applied, once one was chosen.
  std::optional<std::vector<std::string>> subcommand;
  /// One role per token of the input argv that was read before the decision.
  std::vector<TokenRole> roles;
};

/// Everything a path check needs: the directory the child starts in (resolved)
/// and the root its paths must stay inside (resolved).
struct PathJail {
  Path cwd;
  Path root;
};

/// All rule sets of one binary. Immutable once made; safe to share between threads.
class CommandRules {
 public:
  /// Checks and compiles the rule sets: the same subcommand path twice, a flag
  /// declared twice, a malformed name or pattern are errors.
  [[nodiscard]] static std::expected<CommandRules, RuleError> make(std::vector<RuleSet> sets);
  /// The same, with the binary's own options read before the subcommand word
  /// (git's --no-pager, -c NAME=VALUE, -C DIR): flags and value flags only, a
  /// changes_directory value moving every later path. Without them the
  /// subcommand must come first.
  [[nodiscard]] static std::expected<CommandRules, RuleError> make(std::vector<RuleSet> sets,
                                                                   RuleSet global_options);

  /// The rule sets in the order given.
  [[nodiscard]] const std::vector<RuleSet>& rule_sets() const noexcept { return sets_; }
  /// The options read before the subcommand, when the binary has them.
  [[nodiscard]] const std::optional<RuleSet>& global_options() const noexcept { return global_; }
  /// True when some rule set checks paths (the caller must then supply a jail).
  [[nodiscard]] bool needs_jail() const noexcept { return needs_jail_; }

  /// The vector to run, or the first fault reading left to right (then the
  /// counts). `jail` is required when needs_jail(); `trace`, when given,
  /// receives how each token was read, also when the result is a refusal.
  [[nodiscard]] std::expected<std::vector<std::string>, Refusal> apply(
      std::vector<std::string> argv, const PathJail* jail, RuleTrace* trace = nullptr) const;

 private:
  CommandRules() = default;
  static std::optional<std::string> compile(RuleSet& set, bool& needs_jail);
  std::vector<RuleSet> sets_;
  std::optional<RuleSet> global_;
  bool needs_jail_ = false;
  bool has_root_set_ = false;
};

/// Where `text` leads from the jail's cwd, or the reason it leaves the jail
/// root. Missing trailing components are allowed (an output file), ".." after
/// a missing component is not.
[[nodiscard]] std::expected<Path, std::string> resolve_in_jail(const std::string& text,
                                                               const PathJail& jail);

}  // namespace corvane
