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
  }
  return "unknown";
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
    set.flags_.clear();
    set.values_.clear();
    for (const auto& name : set.flag_order_) {
      if (auto problem = name_problem(name, set.first_arg_bundle_, false)) return fail(*problem);
      if (!set.flags_.insert(name).second)
        return fail("flag " + escape_quoted(name) + " declared twice");
    }
    for (const auto& [name, rule] : set.value_order_) {
      if (auto problem = name_problem(name, set.first_arg_bundle_, true)) return fail(*problem);
      if (set.flags_.contains(name) || set.values_.contains(name)) {
        return fail("flag " + escape_quoted(name) + " declared twice");
      }
      RuleSet::CompiledValue compiled{rule, {}, nullptr};
      if (rule.one_of) compiled.one_of.insert(rule.one_of->begin(), rule.one_of->end());
      if (rule.pattern) {
        auto pattern = ValuePattern::compile(*rule.pattern);
        if (!pattern) {
          return fail("pattern " + escape_quoted(*rule.pattern) + " of " + escape_quoted(name) +
                      " " + pattern.error());
        }
        compiled.pattern = std::make_shared<const ValuePattern>(std::move(*pattern));
      }
      if (rule.path) rules.needs_jail_ = true;
      set.values_.emplace(name, std::move(compiled));
    }
    if (set.path_positionals_) rules.needs_jail_ = true;
    for (const auto& value : set.value_order_) {
      if (value.second.changes_directory) rules.needs_jail_ = true;
    }
    // An inserted "--" protects only a program that stops reading options there.
    if (set.inject_ == InjectDoubleDash::AfterFlags &&
        set.double_dash_ != DoubleDashReading::EndsOptions) {
      return fail("inject_double_dash protects nothing when the program reads \"--\" as " +
                  std::string(display_name(set.double_dash_)));
    }
    if (set.subcommand_.empty()) rules.has_root_set_ = true;
  }
  rules.sets_ = std::move(sets);
  return rules;
}

}  // namespace corvane
