// The policy-file reader: the values, the rules of each binary, the top-level
// keys and the build, each written once. A mistake is kept as the first one
// met and the walk goes on harmlessly to the end of the step, so that the code
// reads as the file does, key after key.
#include "policy_file/reader.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "policy_file/values.hpp"
#include "policy_file/walk.hpp"

namespace corvane::policy_file {

// ---------------------------------------------------------------- values

PolicyValue Reader::expand(const PolicyValue& value, const std::string& key,
                           const PolicyVariables& variables) {
  PolicyValue out;
  switch (value.kind) {
    case Kind::String: {
      if (value.text.find('$') == std::string::npos) return value;
      auto text = policy_file::expand(value.text, variables);
      if (!text) {
        fail(key, std::move(text.error()));
        return value;
      }
      return PolicyValue::string(std::move(*text));
    }
    case Kind::Table:
      out.kind = Kind::Table;
      for (const auto& [name, item] : value.entries) {
        out.entries.emplace_back(
            name, expand(item, name.kind == Kind::String ? join(key, name.text) : key, variables));
      }
      return out;
    case Kind::List:
      out.kind = Kind::List;
      for (std::size_t i = 0; i < value.items.size(); ++i) {
        out.items.push_back(expand(value.items[i], key + "[" + std::to_string(i) + "]", variables));
      }
      return out;
    default:
      return value;
  }
}

bool Reader::named(const PolicyValue& value, const std::string& key) {
  for (const auto& [name, item] : value.entries) {
    if (name.kind != Kind::String) {
      fail(key, "keys must be strings, got " + type_name(name));
      return false;
    }
  }
  return true;
}

bool Reader::table(const PolicyValue& value, const std::string& key, const Keys& known) {
  if (value.kind != Kind::Table) {
    fail(key, "expected a table, got " + type_name(value));
    return false;
  }
  for (const auto& [name, item] : value.entries) {
    if (name.kind != Kind::String) {
      fail(key, "keys must be strings, got " + type_name(name));
      return false;
    }
    if (std::find(known.begin(), known.end(), name.text) == known.end()) {
      Keys sorted = known;
      std::sort(sorted.begin(), sorted.end());
      std::string list;
      for (std::string_view k : sorted) list += (list.empty() ? "" : ", ") + std::string(k);
      fail(join(key, name.text), "unknown key (known: " + list + ")");
      return false;
    }
  }
  return true;
}

bool Reader::boolean(const PolicyValue* value, const std::string& key, bool otherwise) {
  if (value == nullptr) return otherwise;
  if (value->kind != Kind::Boolean) {
    fail(key, "expected a boolean, got " + type_name(*value));
    return otherwise;
  }
  return value->boolean;
}

std::uint64_t Reader::count(const PolicyValue* value, const std::string& key,
                            std::uint64_t otherwise) {
  if (value == nullptr) return otherwise;
  auto n = read_count(*value);
  if (!n) fail(key, std::move(n.error()));
  return n.value_or(otherwise);
}

std::uint64_t Reader::size(const PolicyValue& value, const std::string& key) {
  auto n = read_size(value);
  if (!n) fail(key, std::move(n.error()));
  return n.value_or(0);
}

Duration Reader::duration(const PolicyValue& value, const std::string& key) {
  auto d = read_duration(value);
  if (!d) fail(key, std::move(d.error()));
  return d.value_or(Duration{});
}

std::string Reader::string(const PolicyValue& value, const std::string& key) {
  if (value.kind != Kind::String) {
    fail(key, "expected a string, got " + type_name(value));
    return {};
  }
  return value.text;
}

std::vector<std::string> Reader::strings(const PolicyValue& value, const std::string& key) {
  std::vector<std::string> out;
  if (value.kind != Kind::List) {
    fail(key, "expected a list of strings, got " + type_name(value));
    return out;
  }
  for (std::size_t i = 0; i < value.items.size(); ++i) {
    out.push_back(string(value.items[i], key + "[" + std::to_string(i) + "]"));
  }
  return out;
}

Path Reader::path(const PolicyValue& value, const std::string& key) {
  const std::string text = string(value, key);
  if (failed()) return {};
  if (text.empty()) {
    fail(key, "empty path");
  } else if (text.find('\0') != std::string::npos) {
    fail(key, "path contains a NUL character");
  } else if (text.front() == '/') {
    return Path(text);
  } else if (!base_dir_) {
    fail(key, "relative path " + quote_text(text) + " needs a base directory (pass base_dir)");
  } else {
    return *base_dir_ / text;
  }
  return {};
}

template <class T>
T Reader::choice(const PolicyValue* value, const std::string& key, std::string_view otherwise,
                 const Choices<T>& choices, std::string_view what) {
  const std::string word = value == nullptr ? std::string(otherwise) : string(*value, key);
  for (const auto& [name, meaning] : choices) {
    if (name == word) return meaning;
  }
  if (!failed()) {
    fail(key, std::string(what) + " " + quote_text(word) + " (known: " + known_list(choices) + ")");
  }
  return choices.front().second;
}

// ---------------------------------------------------------------- rules

std::vector<std::pair<std::string, ValueRule>> Reader::value_flags(const PolicyValue& value,
                                                                   const std::string& key) {
  std::vector<std::pair<std::string, ValueRule>> out;
  if (value.kind != Kind::Table) {
    for (std::string& name : strings(value, key)) out.emplace_back(std::move(name), ValueRule{});
    return out;
  }
  if (!named(value, key)) return out;
  for (const auto& [name, options] : value.entries) {
    const std::string at = join(key, name.text);
    if (!table(options, at, kValueKeys)) return out;
    ValueRule rule;
    rule.attached = boolean(options.find("attached"), join(at, "attached"), false);
    if (const PolicyValue* one_of = options.find("one_of"); !is_none(one_of)) {
      rule.one_of = strings(*one_of, join(at, "one_of"));
    }
    if (const PolicyValue* pattern = options.find("pattern"); !is_none(pattern)) {
      rule.pattern = string(*pattern, join(at, "pattern"));
    }
    rule.path = boolean(options.find("path"), join(at, "path"), false);
    rule.changes_directory =
        boolean(options.find("changes_directory"), join(at, "changes_directory"), false);
    rule.replaces_first_positional = boolean(options.find("replaces_first_positional"),
                                             join(at, "replaces_first_positional"), false);
    out.emplace_back(name.text, std::move(rule));
  }
  return out;
}

PolicyRuleSet Reader::rule_set(const PolicyValue& data, const std::string& key,
                               std::vector<std::string> words) {
  PolicyRuleSet set;
  set.subcommand = std::move(words);
  if (const PolicyValue* flags = data.find("flags"))
    set.flags = strings(*flags, join(key, "flags"));
  if (const PolicyValue* flags = data.find("value_flags")) {
    set.value_flags = value_flags(*flags, join(key, "value_flags"));
  }
  set.max_flags = count(data.find("max_flags"), join(key, "max_flags"), set.max_flags);
  set.max_positionals =
      count(data.find("max_positionals"), join(key, "max_positionals"), set.max_positionals);
  set.numeric_flags =
      boolean(data.find("numeric_flags"), join(key, "numeric_flags"), set.numeric_flags);
  set.bundles = boolean(data.find("bundles"), join(key, "bundles"), set.bundles);
  set.first_arg_bundle =
      boolean(data.find("first_arg_bundle"), join(key, "first_arg_bundle"), set.first_arg_bundle);
  set.path_positionals =
      boolean(data.find("path_positionals"), join(key, "path_positionals"), set.path_positionals);
  set.inject_double_dash = boolean(data.find("inject_double_dash"), join(key, "inject_double_dash"),
                                   set.inject_double_dash);
  set.double_dash = choice(data.find("double_dash"), join(key, "double_dash"), "ends_options",
                           kDoubleDash, "unknown reading");
  if (const PolicyValue* roles = data.find("positionals")) {
    const std::string at = join(key, "positionals");
    if (roles->kind != Kind::List) {
      fail(at,
           "expected a list of roles (\"text\", \"path\" or a table), got " + type_name(*roles));
    } else {
      for (std::size_t i = 0; i < roles->items.size(); ++i) {
        set.positionals.push_back(
            positional_role(roles->items[i], at + "[" + std::to_string(i) + "]"));
      }
    }
  }
  if (const PolicyValue* rest = data.find("rest_positionals")) {
    set.rest_positionals = positional_role(*rest, join(key, "rest_positionals"));
  }
  set.inject_double_dash_after =
      count(data.find("inject_double_dash_after"), join(key, "inject_double_dash_after"), 0);
  return set;
}

PositionalRole Reader::positional_role(const PolicyValue& value, const std::string& key) {
  PositionalRole role;
  if (value.kind == Kind::String) {
    if (value.text == "path") {
      role.path = true;
    } else if (value.text != "text") {
      fail(key, "unknown role " + quote_text(value.text) +
                    " (known: text, path, or a table with one_of or pattern)");
    }
    return role;
  }
  if (value.kind != Kind::Table) {
    fail(key, "expected a role (\"text\", \"path\" or a table), got " + type_name(value));
    return role;
  }
  if (!table(value, key, kRoleKeys)) return role;
  if (const PolicyValue* one_of = value.find("one_of"); !is_none(one_of)) {
    role.one_of = strings(*one_of, join(key, "one_of"));
  }
  if (const PolicyValue* pattern = value.find("pattern"); !is_none(pattern)) {
    role.pattern = string(*pattern, join(key, "pattern"));
  }
  // An empty table would be free text that looks like a limit.
  if (!failed() && !role.one_of && !role.pattern) {
    fail(key, "a value role needs one_of or pattern (free text is \"text\")");
  }
  return role;
}

PolicyBinary Reader::binary(const std::string& name, const PolicyValue& data,
                            const std::string& key) {
  PolicyBinary out{name, {}};
  std::vector<SandboxLayer>& boxes = subcommand_sandboxes_.emplace_back();
  static const Keys keys = binary_keys();
  if (!table(data, key, keys)) return out;
  const PolicyValue* path_value = data.find("path");
  if (path_value == nullptr) {
    fail(join(key, "path"), "missing: every binary needs a path");
    return out;
  }
  out.path = path(*path_value, join(key, "path"));
  // The binary's own keys form the rule set without a subcommand; with
  // subcommands and none of those keys, a subcommand is required.
  const PolicyValue* subcommands = data.find("subcommands");
  if (is_none(subcommands) ||
      std::any_of(kRuleKeys.begin(), kRuleKeys.end(),
                  [&](std::string_view k) { return data.find(k) != nullptr; })) {
    out.rule_sets.push_back(rule_set(data, key, {}));
    boxes.push_back({nullptr, {}});  // the binary's own sandbox is its [sandbox]
  }
  if (!is_none(subcommands)) {
    const std::string at = join(key, "subcommands");
    if (subcommands->kind != Kind::Table) {
      fail(at, "expected a table, got " + type_name(*subcommands));
    } else if (named(*subcommands, at)) {
      for (const auto& [sub_name, sub] : subcommands->entries) {
        const std::string sub_key = join(at, sub_name.text);
        std::vector<std::string> words = split_words(sub_name.text);
        if (words.empty()) fail(sub_key, "empty subcommand name");
        if (failed()) break;
        static const Keys sub_keys = subcommand_keys();
        table(sub, sub_key, sub_keys);
        out.rule_sets.push_back(rule_set(sub, sub_key, std::move(words)));
        boxes.push_back(
            {sub.kind == Kind::Table ? sub.find("sandbox") : nullptr, join(sub_key, "sandbox")});
      }
    }
  }
  if (const PolicyValue* global = data.find("global"); !is_none(global) && !failed()) {
    const std::string at = join(key, "global");
    if (table(*global, at, kGlobalKeys)) {
      PolicyRuleSet options = rule_set(*global, at, {});
      options.max_positionals = 0;
      options.inject_double_dash = false;
      out.global = std::move(options);
    }
  }
  // A binary that may not be there yet (a workspace's virtual environment) is
  // left out while its file is missing, instead of refusing the whole policy.
  std::error_code ec;
  left_out_ = boolean(data.find("optional"), join(key, "optional"), false) &&
              !std::filesystem::exists(out.path, ec);
  out.argv0 = choice(data.find("argv0"), join(key, "argv0"), "canonical", kArgv0, "unknown value");
  if (const PolicyValue* risky = data.find("risky")) {
    out.risky = choice(risky, join(key, "risky"), "", kBinaryRisky, "unknown value");
  }
  return out;
}

// ---------------------------------------------------------------- the policy

namespace {

RuleSet to_rule_set(const PolicyRuleSet& s) {
  RuleSet set = RuleSet(s.subcommand).flags(s.flags);
  for (const auto& [name, rule] : s.value_flags) set = std::move(set).value_flag(name, rule);
  set.max_flags(s.max_flags)
      .max_positionals(s.max_positionals)
      .numeric_flags(s.numeric_flags)
      .bundles(s.bundles)
      .first_arg_bundle(s.first_arg_bundle)
      .path_positionals(s.path_positionals)
      .inject_double_dash(s.inject_double_dash ? InjectDoubleDash::AfterFlags
                                               : InjectDoubleDash::Never)
      .inject_double_dash_after(s.inject_double_dash_after)
      .double_dash(s.double_dash)
      .positionals(s.positionals);
  if (s.rest_positionals) set.rest_positionals(*s.rest_positionals);
  return set;
}

}  // namespace

std::optional<ProcPolicy> Reader::build(ProcPolicyBuilder builder, const PolicySettings& settings) {
  for (std::size_t i = 0; i < settings.binaries.size(); ++i) {
    const PolicyBinary& b = settings.binaries[i];
    std::vector<RuleSet> sets;
    for (const PolicyRuleSet& s : b.rule_sets) sets.push_back(to_rule_set(s));
    auto rules = b.global ? CommandRules::make(std::move(sets), to_rule_set(*b.global))
                          : CommandRules::make(std::move(sets));
    if (!rules) {
      std::string words;
      for (const std::string& w : rules.error().subcommand) words += (words.empty() ? "" : " ") + w;
      const std::string at = rules.error().global ? join(binary_keys_[i], "global")
                             : words.empty()      ? binary_keys_[i]
                                             : join(join(binary_keys_[i], "subcommands"), words);
      fail(at, rules.error().message);
      return std::nullopt;
    }
    builder =
        std::move(builder).allow_named_bin(b.name, b.path).command_rules(b.path, std::move(*rules));
  }
  for (const PolicyBinary& b : settings.binaries) {
    BinaryOptions options{b.argv0, b.risky, b.sandbox};
    for (const PolicyRuleSet& s : b.rule_sets) {
      if (s.sandbox) options.subcommand_sandboxes.emplace_back(s.subcommand, *s.sandbox);
    }
    if (options != BinaryOptions{}) {
      builder = std::move(builder).binary_options(b.path, std::move(options));
    }
  }
  auto policy = std::move(builder).try_build();
  if (policy) return std::move(*policy);
  const Refusal& r = policy.error();
  if (r.kind == "StdinTooLarge") {
    fail("max_stdin", r.message);
    return std::nullopt;
  }
  // A refusal of the whole policy names a binary's path; the later of two
  // binaries is the one that repeats the earlier.
  std::string named;
  for (const auto& [name, value] : r.fields) {
    if (name == "path" || name == "requested") {
      if (const auto* s = std::get_if<std::string>(&value)) named = *s;
      break;
    }
  }
  for (std::size_t i = settings.binaries.size(); !named.empty() && i-- > 0;) {
    const Path& p = settings.binaries[i].path;
    std::error_code ec;
    if (p.native() == named || std::filesystem::weakly_canonical(p, ec).native() == named) {
      fail(join(binary_keys_[i], "path"), r.message);
      return std::nullopt;
    }
  }
  fail("binaries", r.message);
  return std::nullopt;
}

std::expected<ReadPolicy, PolicyFileError> Reader::policy(const PolicyValue& written) {
  for (const auto& [name, value] : variables_) {
    if (!is_variable_name(name)) {
      fail("", "malformed variable name " + quote_text(name) +
                   " (letters, digits and _, not starting with a digit)");
      return std::unexpected(*error_);
    }
  }
  const PolicyValue expanded = expand(written, "");
  if (failed() || !table(expanded, "", kTopKeys)) return std::unexpected(*error_);
  const PolicyValue data = with_packs(expanded);
  if (failed()) return std::unexpected(*error_);
  PolicySettings& settings = settings_;
  // A Guard answers agents, which name binaries as the policy does and send
  // directories relative to where their commands run.
  ProcPolicyBuilder builder = ProcPolicyBuilder().anchor_relative_cwd();
  const bool allow_writable =
      boolean(data.find("allow_writable_policy"), "allow_writable_policy", false);
  if (const PolicyValue* v = data.find("timeout")) settings.timeout = duration(*v, "timeout");
  if (const PolicyValue* v = data.find("max_stdout")) settings.max_stdout = size(*v, "max_stdout");
  if (const PolicyValue* v = data.find("max_stderr")) settings.max_stderr = size(*v, "max_stderr");
  if (const PolicyValue* v = data.find("max_stdin")) settings.max_stdin = size(*v, "max_stdin");
  if (const PolicyValue* v = data.find("on_output_limit"); v != nullptr && !failed()) {
    const std::string word = string(*v, "on_output_limit");
    if (!failed() && word != "wait" && word != "kill") {
      fail("on_output_limit", "must be 'wait' or 'kill', not " + quote_text(word));
    }
    settings.on_output_limit = word == "kill" ? OnOutputLimit::Kill : OnOutputLimit::Wait;
  }
  settings.risky_binaries =
      choice(data.find("risky_binaries"), "risky_binaries", "deny", kRisky, "unknown value");
  environment(data.find("environment"), builder);
  cwd(data.find("cwd"), builder);
  audit(data.find("audit"));
  if (const PolicyValue* binaries = data.find("binaries")) {
    if (binaries->kind != Kind::Table) {
      fail("binaries", "expected a table, got " + type_name(*binaries));
    } else if (named(*binaries, "binaries")) {
      for (const auto& [name, entry] : binaries->entries) {
        if (failed()) break;
        binary_keys_.push_back(join("binaries", name.text));
        settings.binaries.push_back(binary(name.text, entry, binary_keys_.back()));
        binary_sandboxes_.push_back(entry.kind == Kind::Table ? entry.find("sandbox") : nullptr);
        if (std::exchange(left_out_, false)) {
          settings.binaries.pop_back();
          binary_keys_.pop_back();
          binary_sandboxes_.pop_back();
          subcommand_sandboxes_.pop_back();
        }
      }
    }
  }
  if (failed()) return std::unexpected(*error_);
  std::optional<Sandbox> box = sandbox(data.find("sandbox"));
  if (failed()) return std::unexpected(*error_);
  // Each binary's own sandbox, built here once, not per command.
  for (std::size_t i = 0; i < binary_sandboxes_.size() && !failed(); ++i) {
    const PolicyValue* own = binary_sandboxes_[i];
    if (is_none(own)) continue;
    const std::string key = join(binary_keys_[i], "sandbox");
    if (!box) {
      auto origin = origins_.find(settings.binaries[i].name);
      fail(key, origin == origins_.end()
                    ? "a binary's sandbox changes the policy's [sandbox], which this policy does "
                      "not have"
                    : "the pack " + quote_text(origin->second.pack) +
                          " contains this binary with its own sandbox, which changes the "
                          "policy's [sandbox]: give the policy one (workspace = ...)");
      break;
    }
    settings.binaries[i].sandbox = sandbox(data.find("sandbox"), {{own, key}});
  }
  // Each subcommand's own, refining its binary's (or the policy's when the binary has none).
  for (std::size_t i = 0; i < subcommand_sandboxes_.size() && !failed(); ++i) {
    PolicyBinary& b = settings.binaries[i];
    for (std::size_t n = 0; n < subcommand_sandboxes_[i].size() && !failed(); ++n) {
      const SandboxLayer& own = subcommand_sandboxes_[i][n];
      if (is_none(own.table)) continue;
      const std::string& key = own.key;
      if (!box) {
        fail(key,
             "a subcommand's sandbox changes the policy's [sandbox], which this policy does "
             "not have");
        break;
      }
      std::vector<SandboxLayer> layers;
      if (!is_none(binary_sandboxes_[i]))
        layers.push_back({binary_sandboxes_[i], join(binary_keys_[i], "sandbox")});
      layers.push_back(own);
      b.rule_sets[n].sandbox = sandbox(data.find("sandbox"), layers);
    }
  }
  if (failed()) return std::unexpected(*error_);
  check_narrowing(data, box);
  if (failed()) return std::unexpected(*error_);
  builder = std::move(builder)
                .timeout(settings.timeout)
                .max_stdout(settings.max_stdout)
                .max_stderr(settings.max_stderr)
                .risky_bin_policy(settings.risky_binaries);
  if (settings.max_stdin) builder = std::move(builder).max_stdin(*settings.max_stdin);
  // The policy's sandbox rides on every command check() allows.
  if (box) builder = std::move(builder).sandbox(*box);
  auto built = build(std::move(builder), settings);
  if (!built) return std::unexpected(*error_);
  return ReadPolicy{LoadedPolicy{std::move(*built), std::move(box), std::move(settings_)},
                    allow_writable, cwd_written_, audit_allow_writable_, std::move(writable_)};
}

std::string join(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (b.empty()) return std::string(a);
  return std::string(a) + "." + std::string(b);
}

std::expected<ReadPolicy, PolicyFileError> read_policy(const PolicyValue& data,
                                                       const std::optional<std::string>& file,
                                                       const std::optional<Path>& base_dir,
                                                       const PolicyVariables& variables,
                                                       const std::vector<Path>& pack_dirs) {
  return Reader(file, base_dir, variables, pack_dirs).policy(data);
}

}  // namespace corvane::policy_file

namespace corvane {

const std::vector<std::pair<std::string_view, std::vector<std::string_view>>>& policy_file_keys() {
  using namespace policy_file;
  static const auto table = [] {
    Keys limits;
    for (const auto& l : kLimitKeys) limits.push_back(l.key);
    return std::vector<std::pair<std::string_view, Keys>>{
        {"", kTopKeys},
        {"environment", kEnvironmentKeys},
        {"cwd", kCwdKeys},
        {"audit", kAuditKeys},
        {"binaries.*", binary_keys()},
        {"binaries.*.subcommands.*", subcommand_keys()},
        {"binaries.*.global", kGlobalKeys},
        {"*.positionals[]", kRoleKeys},
        {"*.value_flags.*", kValueKeys},
        {"sandbox", kSandboxKeys},
        {"sandbox.network", kNetworkKeys},
        {"sandbox.limits", limits},
        {"binaries.*.sandbox", kBinarySandboxKeys},
        {"binaries.*.sandbox.network", kNetworkKeys},
        {"binaries.*.sandbox.limits", limits},
        {"binaries.*.subcommands.*.sandbox", kBinarySandboxKeys},
        {"binaries.*.subcommands.*.sandbox.network", kNetworkKeys},
        {"binaries.*.subcommands.*.sandbox.limits", limits},
    };
  }();
  return table;
}

}  // namespace corvane
