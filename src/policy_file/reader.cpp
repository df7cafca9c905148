// The policy-file reader: one table of keys per kind of table, the defaults,
// the checks and the build, each written once. A mistake is kept as the first
// one met and the walk goes on harmlessly to the end of the step, so that the
// code reads as the file does, key after key.
#include "policy_file/reader.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "policy_file/values.hpp"

namespace corvane::policy_file {
namespace {

using Keys = std::vector<std::string_view>;
using Kind = PolicyValue::Kind;

// The keys each table takes: the reader walks these, and the JSON Schema of the
// format is checked against them.
const Keys kTopKeys = {"timeout",          "max_stdout", "max_stderr", "max_stdin",
                       "on_output_limit",  "risky_binaries", "environment", "cwd",
                       "binaries",         "sandbox",    "allow_writable_policy"};
const Keys kRuleKeys = {"flags",         "value_flags",      "max_flags",        "max_positionals",
                        "numeric_flags", "bundles",          "first_arg_bundle", "path_positionals",
                        "inject_double_dash", "double_dash"};
const Keys kBinaryOnlyKeys = {"path", "subcommands", "argv0", "risky"};
const Keys kValueKeys = {"attached", "one_of", "pattern", "path", "changes_directory"};
const Keys kEnvironmentKeys = {"mode", "names", "vars"};
const Keys kCwdKeys = {"fixed", "jail", "allow", "default"};
const Keys kSandboxKeys = {"workspace", "read",       "write",       "exec",
                           "network",   "keep_background", "best_effort", "limits"};
const Keys kNetworkKeys = {"connect", "bind"};

Keys binary_keys() {
  Keys keys = kRuleKeys;
  keys.insert(keys.end(), kBinaryOnlyKeys.begin(), kBinaryOnlyKeys.end());
  return keys;
}

// How each [sandbox.limits] key reads and which limit it sets. The file says
// "memory" for the address-space limit and "cpu_time" for the CPU seconds.
enum class LimitKind : std::uint8_t { Size, Count, Seconds };
struct LimitKey {
  std::string_view key;
  LimitKind kind;
  std::optional<std::uint64_t> SandboxLimits::*field;
};
constexpr LimitKey kLimitKeys[] = {
    {"memory", LimitKind::Size, &SandboxLimits::address_space},
    {"cpu_time", LimitKind::Seconds, &SandboxLimits::cpu_seconds},
    {"processes", LimitKind::Count, &SandboxLimits::processes},
    {"file_size", LimitKind::Size, &SandboxLimits::file_size},
    {"open_files", LimitKind::Count, &SandboxLimits::open_files},
};

// Named choices: the word in the file, and what it means.
template <class T>
using Choices = std::vector<std::pair<std::string_view, T>>;
const Choices<OnOutputLimit> kOnOutputLimit = {{"wait", OnOutputLimit::Wait}, {"kill", OnOutputLimit::Kill}};
const Choices<RiskyBinPolicy> kRisky = {{"deny", RiskyBinPolicy::DenyByDefault},
                                        {"allow_with_warning", RiskyBinPolicy::AllowWithWarning},
                                        {"disabled", RiskyBinPolicy::Disabled}};
// A binary's own setting: refuse it as risky, or allow it.
const Choices<RiskyBinPolicy> kBinaryRisky = {{"deny", RiskyBinPolicy::DenyByDefault},
                                              {"allow", RiskyBinPolicy::Disabled}};
// What the child sees as argv[0]: the file that runs, or the path it was
// allowed under (how an interpreter finds its virtual environment).
const Choices<Argv0> kArgv0 = {{"canonical", Argv0::Canonical}, {"allowed", Argv0::AllowedPath}};
const Choices<DoubleDashReading> kDoubleDash = {{"ends_options", DoubleDashReading::EndsOptions},
                                                {"options_continue", DoubleDashReading::OptionsContinue},
                                                {"argument", DoubleDashReading::Argument}};
const Keys kEnvironmentModes = {"allowlist", "empty", "fixed", "locale_only"};

template <class T>
std::string known_list(const Choices<T>& choices) {
  std::string out;
  for (const auto& [name, value] : choices) out += (out.empty() ? "" : ", ") + std::string(name);
  return out;
}

bool is_none(const PolicyValue* v) { return v == nullptr || (v->kind == Kind::Other && v->text == "NoneType"); }

std::vector<std::string> split_words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f')) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

class Reader {
 public:
  Reader(const std::optional<std::string>& file, const std::optional<Path>& base_dir,
         const PolicyVariables& variables)
      : file_(file), base_dir_(base_dir), variables_(variables) {}

  std::expected<ReadPolicy, PolicyFileError> policy(const PolicyValue& written);

 private:
  bool failed() const { return error_.has_value(); }
  void fail(std::string key, std::string reason) {
    if (!error_) error_ = PolicyFileError{file_, std::move(key), std::move(reason)};
  }

  PolicyValue expand(const PolicyValue& value, const std::string& key);

  bool table(const PolicyValue& value, const std::string& key, const Keys& known);
  bool named(const PolicyValue& value, const std::string& key);
  bool boolean(const PolicyValue* value, const std::string& key, bool otherwise);
  std::uint64_t count(const PolicyValue* value, const std::string& key, std::uint64_t otherwise);
  std::uint64_t size(const PolicyValue& value, const std::string& key);
  Duration duration(const PolicyValue& value, const std::string& key);
  std::string string(const PolicyValue& value, const std::string& key);
  std::vector<std::string> strings(const PolicyValue& value, const std::string& key);
  Path path(const PolicyValue& value, const std::string& key);
  template <class T>
  T choice(const PolicyValue* value, const std::string& key, std::string_view otherwise,
           const Choices<T>& choices, std::string_view what);

  PolicyRuleSet rule_set(const PolicyValue& data, const std::string& key, std::vector<std::string> words);
  std::vector<std::pair<std::string, ValueRule>> value_flags(const PolicyValue& value, const std::string& key);
  PolicyBinary binary(const std::string& name, const PolicyValue& data, const std::string& key);
  void environment(const PolicyValue* data, ProcPolicyBuilder& builder);
  void cwd(const PolicyValue* data, ProcPolicyBuilder& builder);
  std::optional<Sandbox> sandbox(const PolicyValue* data);
  void ports(const PolicyValue& value, SandboxSpec& spec);
  void limit(const PolicyValue& value, const std::string& key, const LimitKey& limit, SandboxLimits& limits);
  std::optional<ProcPolicy> build(ProcPolicyBuilder builder, const PolicySettings& settings);

  const std::optional<std::string>& file_;
  const std::optional<Path>& base_dir_;
  const PolicyVariables& variables_;
  std::optional<PolicyFileError> error_;
  std::vector<std::string> binary_keys_;  // the key path of each binary, in order
  PolicySettings settings_;
  bool cwd_written_ = false;
  std::vector<std::pair<std::string, std::string>> writable_;
};

// ---------------------------------------------------------------- values

PolicyValue Reader::expand(const PolicyValue& value, const std::string& key) {
  PolicyValue out;
  switch (value.kind) {
    case Kind::String: {
      if (value.text.find('$') == std::string::npos) return value;
      auto text = policy_file::expand(value.text, variables_);
      if (!text) {
        fail(key, std::move(text.error()));
        return value;
      }
      return PolicyValue::string(std::move(*text));
    }
    case Kind::Table:
      out.kind = Kind::Table;
      for (const auto& [name, item] : value.entries) {
        out.entries.emplace_back(name, expand(item, name.kind == Kind::String ? join(key, name.text) : key));
      }
      return out;
    case Kind::List:
      out.kind = Kind::List;
      for (std::size_t i = 0; i < value.items.size(); ++i) {
        out.items.push_back(expand(value.items[i], key + "[" + std::to_string(i) + "]"));
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

std::uint64_t Reader::count(const PolicyValue* value, const std::string& key, std::uint64_t otherwise) {
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
    rule.changes_directory = boolean(options.find("changes_directory"), join(at, "changes_directory"), false);
    out.emplace_back(name.text, std::move(rule));
  }
  return out;
}

PolicyRuleSet Reader::rule_set(const PolicyValue& data, const std::string& key, std::vector<std::string> words) {
  PolicyRuleSet set;
  set.subcommand = std::move(words);
  if (const PolicyValue* flags = data.find("flags")) set.flags = strings(*flags, join(key, "flags"));
  if (const PolicyValue* flags = data.find("value_flags")) {
    set.value_flags = value_flags(*flags, join(key, "value_flags"));
  }
  set.max_flags = count(data.find("max_flags"), join(key, "max_flags"), set.max_flags);
  set.max_positionals = count(data.find("max_positionals"), join(key, "max_positionals"), set.max_positionals);
  set.numeric_flags = boolean(data.find("numeric_flags"), join(key, "numeric_flags"), set.numeric_flags);
  set.bundles = boolean(data.find("bundles"), join(key, "bundles"), set.bundles);
  set.first_arg_bundle = boolean(data.find("first_arg_bundle"), join(key, "first_arg_bundle"), set.first_arg_bundle);
  set.path_positionals = boolean(data.find("path_positionals"), join(key, "path_positionals"), set.path_positionals);
  set.inject_double_dash =
      boolean(data.find("inject_double_dash"), join(key, "inject_double_dash"), set.inject_double_dash);
  set.double_dash = choice(data.find("double_dash"), join(key, "double_dash"), "ends_options", kDoubleDash,
                           "unknown reading");
  return set;
}

PolicyBinary Reader::binary(const std::string& name, const PolicyValue& data, const std::string& key) {
  PolicyBinary out{name, {}};
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
  if (is_none(subcommands) || std::any_of(kRuleKeys.begin(), kRuleKeys.end(),
                                          [&](std::string_view k) { return data.find(k) != nullptr; })) {
    out.rule_sets.push_back(rule_set(data, key, {}));
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
        table(sub, sub_key, kRuleKeys);
        out.rule_sets.push_back(rule_set(sub, sub_key, std::move(words)));
      }
    }
  }
  out.argv0 = choice(data.find("argv0"), join(key, "argv0"), "canonical", kArgv0, "unknown value");
  if (const PolicyValue* risky = data.find("risky")) {
    out.risky = choice(risky, join(key, "risky"), "", kBinaryRisky, "unknown value");
  }
  return out;
}

// ---------------------------------------------------------------- environment and directory

void Reader::environment(const PolicyValue* data, ProcPolicyBuilder& builder) {
  PolicySettings& settings = settings_;
  if (is_none(data) || !table(*data, "environment", kEnvironmentKeys)) return;
  const PolicyValue* mode_value = data->find("mode");
  const std::string mode = mode_value == nullptr ? "empty" : string(*mode_value, "environment.mode");
  if (failed()) return;
  if (std::find(kEnvironmentModes.begin(), kEnvironmentModes.end(), mode) == kEnvironmentModes.end()) {
    return fail("environment.mode",
                "unknown mode " + quote_text(mode) + " (known: allowlist, empty, fixed, locale_only)");
  }
  if (data->find("names") != nullptr && mode != "allowlist") {
    return fail("environment.names", "only the allowlist mode takes names");
  }
  if (data->find("vars") != nullptr && mode != "fixed") {
    return fail("environment.vars", "only the fixed mode takes vars");
  }
  settings.environment_mode = mode;
  if (mode == "allowlist") {
    const PolicyValue* names = data->find("names");
    settings.environment_names = names == nullptr ? std::vector<std::string>{} : strings(*names, "environment.names");
    builder = std::move(builder).env_policy(
        EnvPolicy::Allowlist{{settings.environment_names.begin(), settings.environment_names.end()}});
  } else if (mode == "fixed") {
    EnvMap vars;
    if (const PolicyValue* raw = data->find("vars")) {
      if (raw->kind != Kind::Table) return fail("environment.vars", "expected a table, got " + type_name(*raw));
      for (const auto& [name, value] : raw->entries) {
        vars.insert_or_assign(name.text, string(value, join("environment.vars", name.text)));
      }
    }
    for (const auto& entry : vars) settings.environment_names.push_back(entry.first);
    std::sort(settings.environment_names.begin(), settings.environment_names.end());
    builder = std::move(builder).env_policy(EnvPolicy::Fixed{std::move(vars)});
  } else if (mode == "locale_only") {
    builder = std::move(builder).env_policy(EnvPolicy::LocaleOnly{});
  }
}

void Reader::cwd(const PolicyValue* data, ProcPolicyBuilder& builder) {
  PolicySettings& settings = settings_;
  if (is_none(data)) {
    builder = std::move(builder).cwd_policy(CwdPolicy::Fixed{settings.default_cwd});
    return;
  }
  cwd_written_ = true;
  if (!table(*data, "cwd", kCwdKeys)) return;
  const PolicyValue* fixed = data->find("fixed");
  const PolicyValue* jail = data->find("jail");
  const PolicyValue* allow = data->find("allow");
  const PolicyValue* given_default = data->find("default");
  if ((fixed != nullptr) + (jail != nullptr) + (allow != nullptr) != 1) {
    return fail("cwd", "needs exactly one of fixed, jail or allow");
  }
  if (fixed != nullptr) {
    if (given_default != nullptr) return fail("cwd.default", "a fixed directory takes no default");
    settings.cwd_dirs = {path(*fixed, "cwd.fixed")};
    settings.default_cwd = settings.cwd_dirs.front();
    builder = std::move(builder).cwd_policy(CwdPolicy::Fixed{settings.default_cwd});
    return;
  }
  if (jail != nullptr) {
    settings.cwd_mode = "jail";
    settings.cwd_dirs = {path(*jail, "cwd.jail")};
  } else {
    settings.cwd_mode = "allow";
    if (allow->kind != Kind::List || allow->items.empty()) {
      return fail("cwd.allow", "expected a non-empty list of directories");
    }
    settings.cwd_dirs.clear();
    for (std::size_t i = 0; i < allow->items.size(); ++i) {
      settings.cwd_dirs.push_back(path(allow->items[i], "cwd.allow[" + std::to_string(i) + "]"));
    }
  }
  settings.default_cwd = given_default != nullptr ? path(*given_default, "cwd.default") : settings.cwd_dirs.front();
  if (jail != nullptr) {
    builder = std::move(builder).cwd_policy(CwdPolicy::Jailed{settings.cwd_dirs.front(), settings.default_cwd});
  } else {
    builder = std::move(builder).cwd_policy(
        CwdPolicy::Allowlist{{settings.cwd_dirs.begin(), settings.cwd_dirs.end()}, settings.default_cwd});
  }
}

// ---------------------------------------------------------------- sandbox

// The TCP ports of a network table the reader has checked the keys of.
void Reader::ports(const PolicyValue& value, SandboxSpec& spec) {
  SandboxPorts ports;
  for (const auto& [name, list] : value.entries) {
    const std::string key = join("sandbox.network", name.text);
    auto& out = name.text == "connect" ? ports.connect : ports.bind;
    // Any list the file can write; a table's keys are its items, as iterating it gives.
    std::vector<PolicyValue> items = list.items;
    if (list.kind == Kind::Table) {
      for (const auto& entry : list.entries) items.push_back(entry.first);
    } else if (list.kind != Kind::List) {
      return fail(key, "expected a list of ports, not " + python_type_name(list));
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      const std::string at = key + "[" + std::to_string(i) + "]";
      if (items[i].kind != Kind::Integer) return fail(at, "expected a port (int), not " + python_type_name(items[i]));
      const auto port = as_u64(items[i]);
      if (!port || *port > 65535) return fail(at, "a port is between 1 and 65535, got " + written(items[i]));
      out.push_back(static_cast<std::uint16_t>(*port));
    }
  }
  spec.network = false;
  spec.ports = std::move(ports);
}

void Reader::limit(const PolicyValue& value, const std::string& key, const LimitKey& limit, SandboxLimits& limits) {
  // "inherit" keeps the limit the host runs under.
  if (value.kind == Kind::String && value.text == "inherit") {
    (limits.*limit.field).reset();
    return;
  }
  if (limit.kind == LimitKind::Size) {
    limits.*limit.field = size(value, key);
  } else if (limit.kind == LimitKind::Count) {
    limits.*limit.field = count(&value, key, 0);
  } else {
    const Duration d = duration(value, key);
    if (!failed() && d.nanos != 0) {
      fail(key, "the CPU time limit is counted in whole seconds, got " + written(value));
    }
    limits.*limit.field = d.secs;
  }
}

std::optional<Sandbox> Reader::sandbox(const PolicyValue* data) {
  if (is_none(data) || !table(*data, "sandbox", kSandboxKeys)) return std::nullopt;
  // (key, path) of every path given, to name the key of a path the sandbox refuses.
  std::vector<std::pair<std::string, std::string>> named_paths;
  std::vector<Path> lists[3];
  const std::string_view list_names[3] = {"read", "write", "exec"};
  for (int n = 0; n < 3; ++n) {
    const std::string key = join("sandbox", list_names[n]);
    const PolicyValue* raw = data->find(list_names[n]);
    if (raw == nullptr) continue;
    strings(*raw, key);
    if (failed()) return std::nullopt;
    for (std::size_t i = 0; i < raw->items.size(); ++i) {
      const std::string at = key + "[" + std::to_string(i) + "]";
      lists[n].push_back(path(raw->items[i], at));
      named_paths.emplace_back(at, lists[n].back().native());
    }
  }
  SandboxSpec spec;
  spec.keep_background = boolean(data->find("keep_background"), "sandbox.keep_background", false);
  spec.best_effort = boolean(data->find("best_effort"), "sandbox.best_effort", false);
  // true, false, or a table of TCP ports; the ports are read once every path is.
  const PolicyValue* network_value = data->find("network");
  const bool port_table = network_value != nullptr && network_value->kind == Kind::Table;
  if (network_value != nullptr && network_value->kind == Kind::Boolean) {
    spec.network = network_value->boolean;
  } else if (network_value != nullptr && !port_table) {
    fail("sandbox.network",
         "expected a boolean, got " + type_name(*network_value) + " (or a table of TCP ports: connect, bind)");
  } else if (port_table) {
    table(*network_value, "sandbox.network", kNetworkKeys);
  }
  SandboxLimits limits;
  if (const PolicyValue* given = data->find("limits"); given != nullptr && table(*given, "sandbox.limits", [] {
        Keys keys;
        for (const auto& l : kLimitKeys) keys.push_back(l.key);
        return keys;
      }())) {
    for (const auto& [name, value] : given->entries) {
      const auto* l = std::find_if(std::begin(kLimitKeys), std::end(kLimitKeys),
                                   [&](const LimitKey& k) { return k.key == name.text; });
      limit(value, join("sandbox.limits", name.text), *l, limits);
    }
  }
  if (const PolicyValue* workspace = data->find("workspace")) {
    settings_.sandbox_workspace = path(*workspace, "sandbox.workspace");
    named_paths.insert(named_paths.begin(), {"sandbox.workspace", settings_.sandbox_workspace->native()});
  }
  if (port_table && !failed()) ports(*network_value, spec);
  if (failed()) return std::nullopt;
  if (settings_.sandbox_workspace) {
    SandboxSpec preset = SandboxSpec::workspace(*settings_.sandbox_workspace);
    preset.network = spec.network;
    preset.ports = std::move(spec.ports);
    preset.keep_background = spec.keep_background;
    preset.best_effort = spec.best_effort;
    spec = std::move(preset);
  }
  spec.limits = limits;
  spec.read.insert(spec.read.end(), lists[0].begin(), lists[0].end());
  spec.write.insert(spec.write.end(), lists[1].begin(), lists[1].end());
  spec.exec.insert(spec.exec.end(), lists[2].begin(), lists[2].end());
  auto built = Sandbox::build(std::move(spec));
  if (!built) {
    // The sandbox's refusals name the port or the path at fault; the key is the
    // one that gave it.
    const std::string& message = built.error();
    if (port_table && message.find(" port") != std::string::npos) {
      const bool connect = message.find("sandbox connect port") != std::string::npos;
      const bool bind = message.find("sandbox bind port") != std::string::npos;
      fail(connect ? "sandbox.network.connect" : bind ? "sandbox.network.bind" : "sandbox.network", message);
      return std::nullopt;
    }
    std::string key = "sandbox";
    for (const auto& [at, p] : named_paths) {
      if (message.ends_with(p) || message.find(p + ":") != std::string::npos) {
        key = at;
        break;
      }
    }
    fail(key, message);
    return std::nullopt;
  }
  // Where the commands may write, each with the key that granted it (the
  // preset's own paths count as the workspace's).
  for (const Path& w : built->spec().write) {
    std::string key = "sandbox.workspace";
    for (const auto& [at, p] : named_paths) {
      if (at.starts_with("sandbox.write") && p == w.native()) {
        key = at;
        break;
      }
    }
    writable_.emplace_back(key, w.native());
  }
  return std::move(*built);
}

// ---------------------------------------------------------------- the policy

std::optional<ProcPolicy> Reader::build(ProcPolicyBuilder builder, const PolicySettings& settings) {
  for (std::size_t i = 0; i < settings.binaries.size(); ++i) {
    const PolicyBinary& b = settings.binaries[i];
    std::vector<RuleSet> sets;
    for (const PolicyRuleSet& s : b.rule_sets) {
      RuleSet set = RuleSet(s.subcommand).flags(s.flags);
      for (const auto& [name, rule] : s.value_flags) set = std::move(set).value_flag(name, rule);
      sets.push_back(std::move(set)
                         .max_flags(s.max_flags)
                         .max_positionals(s.max_positionals)
                         .numeric_flags(s.numeric_flags)
                         .bundles(s.bundles)
                         .first_arg_bundle(s.first_arg_bundle)
                         .path_positionals(s.path_positionals)
                         .inject_double_dash(s.inject_double_dash ? InjectDoubleDash::AfterFlags
                                                                  : InjectDoubleDash::Never)
                         .double_dash(s.double_dash));
    }
    auto rules = CommandRules::make(std::move(sets));
    if (!rules) {
      std::string words;
      for (const std::string& w : rules.error().subcommand) words += (words.empty() ? "" : " ") + w;
      fail(words.empty() ? binary_keys_[i] : join(join(binary_keys_[i], "subcommands"), words),
           rules.error().message);
      return std::nullopt;
    }
    builder = std::move(builder).allow_named_bin(b.name, b.path).command_rules(b.path, std::move(*rules));
  }
  for (const PolicyBinary& b : settings.binaries) {
    if (b.argv0 != Argv0::Canonical || b.risky) {
      builder = std::move(builder).binary_options(b.path, BinaryOptions{b.argv0, b.risky});
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
      fail("", "malformed variable name " + quote_text(name) + " (letters, digits and _, not starting with a digit)");
      return std::unexpected(*error_);
    }
  }
  const PolicyValue data = expand(written, "");
  if (failed() || !table(data, "", kTopKeys)) return std::unexpected(*error_);
  PolicySettings& settings = settings_;
  // A Guard answers agents, which name binaries as the policy does and send
  // directories relative to where their commands run.
  ProcPolicyBuilder builder = ProcPolicyBuilder().anchor_relative_cwd();
  const bool allow_writable = boolean(data.find("allow_writable_policy"), "allow_writable_policy", false);
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
  if (const PolicyValue* binaries = data.find("binaries")) {
    if (binaries->kind != Kind::Table) {
      fail("binaries", "expected a table, got " + type_name(*binaries));
    } else if (named(*binaries, "binaries")) {
      for (const auto& [name, entry] : binaries->entries) {
        if (failed()) break;
        binary_keys_.push_back(join("binaries", name.text));
        settings.binaries.push_back(binary(name.text, entry, binary_keys_.back()));
      }
    }
  }
  if (failed()) return std::unexpected(*error_);
  std::optional<Sandbox> box = sandbox(data.find("sandbox"));
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
  return ReadPolicy{LoadedPolicy{std::move(*built), std::move(box), std::move(settings_)}, allow_writable,
                    cwd_written_, std::move(writable_)};
}

}  // namespace

std::string join(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (b.empty()) return std::string(a);
  return std::string(a) + "." + std::string(b);
}

std::expected<ReadPolicy, PolicyFileError> read_policy(const PolicyValue& data,
                                                       const std::optional<std::string>& file,
                                                       const std::optional<Path>& base_dir,
                                                       const PolicyVariables& variables) {
  return Reader(file, base_dir, variables).policy(data);
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
        {"binaries.*", binary_keys()},
        {"binaries.*.subcommands.*", kRuleKeys},
        {"*.value_flags.*", kValueKeys},
        {"sandbox", kSandboxKeys},
        {"sandbox.network", kNetworkKeys},
        {"sandbox.limits", limits},
    };
  }();
  return table;
}

}  // namespace corvane
