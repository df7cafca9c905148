// The extended rule model's configuration: the refusal vocabulary it shares
// with Violation, the rule-set setters, and CommandRules::make(), which checks
// every name and pattern once and compiles the lookups that reading argv
// (rules_reader.cpp) relies on.
#include "corvane/rules.hpp"

#include "policy/rule_text.hpp"
#include "policy/value_pattern.hpp"

namespace corvane {

using rule_text::is_flag_token;
using rule_text::join;

namespace {

template <class... Ts>
struct overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace

// ---------------------------------------------------------------- refusals

std::string_view violation_kind(const Violation& v) noexcept {
  return kind(v);
}

std::vector<std::pair<std::string, RefusalField>> violation_fields(const Violation& v) {
  using namespace violation;
  using Fields = std::vector<std::pair<std::string, RefusalField>>;
  return std::visit(
      overloaded{
          [](const BinNotAbsolute& e) { return Fields{{"path", e.path}}; },
          [](const BinNotFound& e) { return Fields{{"path", e.path}}; },
          [](const BinCanonicalizeFailed& e) {
            return Fields{{"path", e.path}, {"reason", e.reason}};
          },
          [](const BinNotAllowed& e) {
            return Fields{{"requested", e.requested}, {"resolved", e.resolved}};
          },
          [](const RiskyBinDenied& e) {
            return Fields{{"category", std::string(display_name(e.category))}, {"path", e.path}};
          },
          [](const BinIsDirectory& e) { return Fields{{"path", e.path}}; },
          [](const BinNotRegularFile& e) { return Fields{{"path", e.path}}; },
          [](const BinNotExecutable& e) { return Fields{{"path", e.path}}; },
          [](const ArgRulesRequired& e) { return Fields{{"path", e.path}}; },
          [](const SubcommandMismatch& e) {
            return Fields{{"expected", e.expected},
                          {"got", e.got ? RefusalField(*e.got) : RefusalField(std::monostate{})}};
          },
          [](const FlagNotAllowed& e) { return Fields{{"flag", e.flag}}; },
          [](const TooManyFlags& e) { return Fields{{"max", e.max}, {"got", e.got}}; },
          [](const TooManyPositionals& e) { return Fields{{"max", e.max}, {"got", e.got}}; },
          [](const EnvVarForbidden& e) {
            return Fields{{"name", e.name}, {"reason", std::string(e.reason)}};
          },
          [](const CwdForbidden& e) { return Fields{{"path", e.path}, {"reason", e.reason}}; },
      },
      v);
}

std::string_view kind(const Refusal& r) noexcept {
  return r.kind;
}
std::string message(const Refusal& r) {
  return r.message;
}
std::string_view kind(const RuleError&) noexcept {
  return "RuleError";
}
std::string message(const RuleError& e) {
  return e.message;
}

Refusal to_refusal(Violation v, std::optional<std::size_t> index) {
  Refusal r{std::string(violation_kind(v)), index, to_string(v), violation_fields(v), std::nullopt};
  r.violation = std::move(v);
  return r;
}

std::string_view display_name(TokenRole role) noexcept {
  switch (role) {
    case TokenRole::Subcommand:
      return "subcommand";
    case TokenRole::Flag:
      return "flag";
    case TokenRole::ValueFlag:
      return "value flag";
    case TokenRole::Value:
      return "value";
    case TokenRole::Attached:
      return "flag with value";
    case TokenRole::Numeric:
      return "numeric flag";
    case TokenRole::Bundle:
      return "bundle";
    case TokenRole::Separator:
      return "separator";
    case TokenRole::Positional:
      return "positional";
    case TokenRole::TextPositional:
      return "text positional";
    case TokenRole::PathPositional:
      return "path positional";
    case TokenRole::ValuePositional:
      return "value positional";
  }
  return "unknown";
}

std::string_view role_name(const PositionalRole& role) noexcept {
  if (role.one_of || role.pattern) return "value";
  return role.path ? "path" : "text";
}

std::string_view display_name(DoubleDashReading reading) noexcept {
  switch (reading) {
    case DoubleDashReading::EndsOptions:
      return "ends_options";
    case DoubleDashReading::OptionsContinue:
      return "options_continue";
    case DoubleDashReading::Argument:
      return "argument";
  }
  return "unknown";
}

// ---------------------------------------------------------------- building

RuleSet& RuleSet::flags(std::vector<std::string> names) & {
  for (auto& name : names) flag_order_.push_back(std::move(name));
  return *this;
}

RuleSet& RuleSet::value_flag(std::string name, ValueRule rule) & {
  value_order_.emplace_back(std::move(name), std::move(rule));
  return *this;
}

RuleSet& RuleSet::max_flags(std::size_t n) & {
  max_flags_ = n;
  return *this;
}

RuleSet& RuleSet::max_positionals(std::size_t n) & {
  max_positionals_ = n;
  return *this;
}

RuleSet& RuleSet::numeric_flags(bool on) & {
  numeric_ = on;
  return *this;
}

RuleSet& RuleSet::bundles(bool on) & {
  bundles_ = on;
  return *this;
}

RuleSet& RuleSet::first_arg_bundle(bool on) & {
  first_arg_bundle_ = on;
  return *this;
}

RuleSet& RuleSet::path_positionals(bool on) & {
  path_positionals_ = on;
  return *this;
}

RuleSet& RuleSet::inject_double_dash(InjectDoubleDash mode) & {
  inject_ = mode;
  return *this;
}

RuleSet& RuleSet::double_dash(DoubleDashReading reading) & {
  double_dash_ = reading;
  return *this;
}

RuleSet& RuleSet::positionals(std::vector<PositionalRole> roles) & {
  roles_ = std::move(roles);
  return *this;
}

RuleSet& RuleSet::rest_positionals(PositionalRole role) & {
  rest_ = std::move(role);
  return *this;
}

RuleSet& RuleSet::inject_double_dash_after(std::size_t n) & {
  inject_after_ = n;
  return *this;
}

// The forms for a temporary: the same change, the rule set handed on by value.
RuleSet RuleSet::flags(std::vector<std::string> names) && {
  this->flags(std::move(names));
  return std::move(*this);
}

RuleSet RuleSet::value_flag(std::string name, ValueRule rule) && {
  this->value_flag(std::move(name), std::move(rule));
  return std::move(*this);
}

RuleSet RuleSet::max_flags(std::size_t n) && {
  this->max_flags(n);
  return std::move(*this);
}

RuleSet RuleSet::max_positionals(std::size_t n) && {
  this->max_positionals(n);
  return std::move(*this);
}

RuleSet RuleSet::numeric_flags(bool on) && {
  this->numeric_flags(on);
  return std::move(*this);
}

RuleSet RuleSet::bundles(bool on) && {
  this->bundles(on);
  return std::move(*this);
}

RuleSet RuleSet::first_arg_bundle(bool on) && {
  this->first_arg_bundle(on);
  return std::move(*this);
}

RuleSet RuleSet::path_positionals(bool on) && {
  this->path_positionals(on);
  return std::move(*this);
}

RuleSet RuleSet::inject_double_dash(InjectDoubleDash mode) && {
  this->inject_double_dash(mode);
  return std::move(*this);
}

RuleSet RuleSet::double_dash(DoubleDashReading reading) && {
  this->double_dash(reading);
  return std::move(*this);
}

RuleSet RuleSet::positionals(std::vector<PositionalRole> roles) && {
  this->positionals(std::move(roles));
  return std::move(*this);
}

RuleSet RuleSet::rest_positionals(PositionalRole role) && {
  this->rest_positionals(std::move(role));
  return std::move(*this);
}

RuleSet RuleSet::inject_double_dash_after(std::size_t n) && {
  this->inject_double_dash_after(n);
  return std::move(*this);
}

namespace {

// A declared name is a dashed token ("-n", "--long", "--color=never") or, for
// the first-argument bundle, one letter without a dash.
std::optional<std::string> name_problem(const std::string& name, bool first_arg_bundle,
                                        bool takes_value) {
  if (name.empty()) return "empty flag name";
  if (name == "--") return "\"--\" is the separator, not a flag";
  if (is_flag_token(name)) {
    if (takes_value && name.find('=') != std::string::npos) {
      return "value flag " + escape_quoted(name) + " contains '='";
    }
    return std::nullopt;
  }
  if (name.size() == 1 && name != "-") {
    if (first_arg_bundle) return std::nullopt;
    return "flag " + escape_quoted(name) +
           " has no dash and the rule set reads no first-argument bundle";
  }
  return "flag " + escape_quoted(name) + " does not start with '-'";
}

}  // namespace

namespace {

// The set and the compiled pattern of a value rule; why the pattern is malformed otherwise.
std::expected<RuleSet::CompiledValue, std::string> compile_value(ValueRule rule) {
  RuleSet::CompiledValue compiled{std::move(rule), {}, nullptr};
  const ValueRule& r = compiled.rule;
  if (r.one_of) compiled.one_of.insert(r.one_of->begin(), r.one_of->end());
  if (r.pattern) {
    auto pattern = ValuePattern::compile(*r.pattern);
    if (!pattern) return std::unexpected(pattern.error());
    compiled.pattern = std::make_shared<const ValuePattern>(std::move(*pattern));
  }
  return compiled;
}

}  // namespace

// Checks one rule set's names and patterns and compiles its lookups; whether
// it checks paths is added to `needs_jail`.
std::optional<std::string> CommandRules::compile(RuleSet& set, bool& needs_jail) {
  set.flags_.clear();
  set.values_.clear();
  set.compiled_roles_.clear();
  for (const auto& name : set.flag_order_) {
    if (auto problem = name_problem(name, set.first_arg_bundle_, false)) return problem;
    if (!set.flags_.insert(name).second) return "flag " + escape_quoted(name) + " declared twice";
  }
  for (const auto& [name, rule] : set.value_order_) {
    if (auto problem = name_problem(name, set.first_arg_bundle_, true)) return problem;
    if (set.flags_.contains(name) || set.values_.contains(name)) {
      return "flag " + escape_quoted(name) + " declared twice";
    }
    auto compiled = compile_value(rule);
    if (!compiled) {
      return "pattern " + escape_quoted(*rule.pattern) + " of " + escape_quoted(name) + " " +
             compiled.error();
    }
    if (rule.path || rule.changes_directory) needs_jail = true;
    set.values_.emplace(name, std::move(*compiled));
  }
  if (set.path_positionals_) needs_jail = true;
  if (set.has_positional_roles()) {
    // Two answers to one question: which positionals are paths.
    if (set.path_positionals_) {
      return std::string(
          "path_positionals and positional roles both given: name the paths \"path\" in the roles");
    }
    std::vector<PositionalRole> roles = set.roles_;
    if (set.rest_) roles.push_back(*set.rest_);
    for (std::size_t k = 0; k < roles.size(); ++k) {
      const bool rest = set.rest_ && k + 1 == roles.size();
      const std::string which =
          rest ? std::string("rest_positionals") : "positional " + std::to_string(k + 1);
      auto compiled = compile_value(
          ValueRule{.one_of = roles[k].one_of, .pattern = roles[k].pattern, .path = roles[k].path});
      if (!compiled) {
        return "pattern " + escape_quoted(*roles[k].pattern) + " of " + which + " " +
               compiled.error();
      }
      if (roles[k].path) needs_jail = true;
      set.compiled_roles_.push_back(std::move(*compiled));
    }
  }
  // An inserted "--" protects only a program that stops reading options there.
  if (set.inject_ == InjectDoubleDash::AfterFlags &&
      set.double_dash_ != DoubleDashReading::EndsOptions) {
    return "inject_double_dash protects nothing when the program reads \"--\" as " +
           std::string(display_name(set.double_dash_));
  }
  if (set.inject_after_ > 0 && set.inject_ != InjectDoubleDash::AfterFlags) {
    return std::string("inject_double_dash_after without inject_double_dash inserts nothing");
  }
  return std::nullopt;
}

std::expected<CommandRules, RuleError> CommandRules::make(std::vector<RuleSet> sets) {
  CommandRules rules;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    RuleSet& set = sets[i];
    auto fail = [&](std::string message) {
      return std::unexpected(RuleError{set.subcommand_, std::move(message)});
    };
    for (const auto& word : set.subcommand_) {
      if (word.empty() || word == "--") {
        return fail("subcommand word " + escape_quoted(word) + " is not allowed");
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (sets[j].subcommand_ == set.subcommand_) {
        return fail(set.subcommand_.empty() ? std::string("a second rule set without a subcommand")
                                            : "a second rule set for subcommand " +
                                                  escape_quoted(join(set.subcommand_, " ")));
      }
    }
    if (auto problem = compile(set, rules.needs_jail_)) return fail(std::move(*problem));
    if (set.subcommand_.empty()) rules.has_root_set_ = true;
  }
  rules.sets_ = std::move(sets);
  return rules;
}

std::expected<CommandRules, RuleError> CommandRules::make(std::vector<RuleSet> sets,
                                                          RuleSet global_options) {
  auto fail = [](std::string message) {
    return std::unexpected(RuleError{{}, std::move(message), true});
  };
  // Only options come before the subcommand word; the first other word is it.
  if (!global_options.subcommand_.empty()) {
    return fail("options before the subcommand have no subcommand of their own");
  }
  if (global_options.first_arg_bundle_) {
    return fail("options before the subcommand cannot be a first-argument bundle");
  }
  if (global_options.path_positionals_ || global_options.has_positional_roles() ||
      global_options.max_positionals_ > 0) {
    return fail("options before the subcommand take no positionals");
  }
  auto rules = make(std::move(sets));
  if (!rules) return rules;
  global_options.inject_ = InjectDoubleDash::Never;
  if (auto problem = compile(global_options, rules->needs_jail_)) return fail(std::move(*problem));
  rules->global_ = std::move(global_options);
  return rules;
}

}  // namespace corvane
