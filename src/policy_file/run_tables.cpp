// The tables of where and how a command runs: [environment], [cwd] and
// [sandbox] (with its network ports and limits), read into the policy's
// settings and the core's types; and [audit], where the host keeps its trail.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "policy_file/values.hpp"
#include "policy_file/walk.hpp"

namespace corvane::policy_file {

// ---------------------------------------------------------------- environment and directory

void Reader::environment(const PolicyValue* data, ProcPolicyBuilder& builder) {
  PolicySettings& settings = settings_;
  if (is_none(data) || !table(*data, "environment", kEnvironmentKeys)) return;
  const PolicyValue* mode_value = data->find("mode");
  const std::string mode =
      mode_value == nullptr ? "empty" : string(*mode_value, "environment.mode");
  if (failed()) return;
  if (std::find(kEnvironmentModes.begin(), kEnvironmentModes.end(), mode) ==
      kEnvironmentModes.end()) {
    return fail("environment.mode", "unknown mode " + quote_text(mode) +
                                        " (known: allowlist, empty, fixed, locale_only)");
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
    settings.environment_names =
        names == nullptr ? std::vector<std::string>{} : strings(*names, "environment.names");
    builder = std::move(builder).env_policy(EnvPolicy::Allowlist{
        {settings.environment_names.begin(), settings.environment_names.end()}});
  } else if (mode == "fixed") {
    EnvMap vars;
    if (const PolicyValue* raw = data->find("vars")) {
      if (raw->kind != Kind::Table)
        return fail("environment.vars", "expected a table, got " + type_name(*raw));
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

void Reader::audit(const PolicyValue* data) {
  if (is_none(data) || !table(*data, "audit", kAuditKeys)) return;
  if (const PolicyValue* file = data->find("file"))
    settings_.audit_file = path(*file, "audit.file");
  settings_.audit_stderr = boolean(data->find("stderr"), "audit.stderr", false);
  audit_allow_writable_ = boolean(data->find("allow_writable"), "audit.allow_writable", false);
  // A table that sends the trail nowhere is a mistake, not a way to switch it off.
  if (!failed() && !settings_.audit_file && !settings_.audit_stderr) {
    fail("audit", "names no destination: set file = \"PATH\" or stderr = true");
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
  settings.default_cwd =
      given_default != nullptr ? path(*given_default, "cwd.default") : settings.cwd_dirs.front();
  if (jail != nullptr) {
    builder = std::move(builder).cwd_policy(
        CwdPolicy::Jailed{settings.cwd_dirs.front(), settings.default_cwd});
  } else {
    builder = std::move(builder).cwd_policy(CwdPolicy::Allowlist{
        {settings.cwd_dirs.begin(), settings.cwd_dirs.end()}, settings.default_cwd});
  }
}

// ---------------------------------------------------------------- sandbox

// The TCP ports of a network table the reader has checked the keys of.
void Reader::ports(const PolicyValue& value, SandboxSpec& spec, const std::string& at_key) {
  SandboxPorts ports;
  for (const auto& [name, list] : value.entries) {
    const std::string key = join(at_key, name.text);
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
      if (items[i].kind != Kind::Integer)
        return fail(at, "expected a port (int), not " + python_type_name(items[i]));
      const auto port = as_u64(items[i]);
      if (!port || *port > 65535)
        return fail(at, "a port is between 1 and 65535, got " + written(items[i]));
      out.push_back(static_cast<std::uint16_t>(*port));
    }
  }
  spec.network = false;
  spec.ports = std::move(ports);
}

void Reader::limit(const PolicyValue& value, const std::string& key, const LimitKey& limit,
                   SandboxLimits& limits) {
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

std::optional<Sandbox> Reader::sandbox(const PolicyValue* base,
                                       const std::vector<SandboxLayer>& layers) {
  if (is_none(base) || !table(*base, "sandbox", kSandboxKeys)) return std::nullopt;
  // A binary's table is the policy's with the keys it gives replaced (a limit
  // at a time), and a subcommand's is its binary's so changed again: each can
  // widen exec, read, write or the network only by saying so.
  PolicyValue merged = *base;
  for (const SandboxLayer& layer : layers) {
    if (!table(*layer.table, layer.key, kBinarySandboxKeys)) return std::nullopt;
    for (const auto& [name, value] : layer.table->entries) {
      auto slot = std::find_if(merged.entries.begin(), merged.entries.end(),
                               [&](const auto& e) { return e.first.text == name.text; });
      if (slot == merged.entries.end()) {
        merged.entries.emplace_back(name, value);
      } else if (name.text == "limits" && value.kind == Kind::Table &&
                 slot->second.kind == Kind::Table) {
        for (const auto& [limit_name, limit_value] : value.entries) {
          auto l = std::find_if(slot->second.entries.begin(), slot->second.entries.end(),
                                [&](const auto& e) { return e.first.text == limit_name.text; });
          if (l == slot->second.entries.end()) {
            slot->second.entries.emplace_back(limit_name, limit_value);
          } else {
            l->second = limit_value;
          }
        }
      } else {
        slot->second = value;
      }
    }
  }
  const PolicyValue* data = layers.empty() ? base : &merged;
  // The key path of a key of the sandbox: the most specific layer that wrote it.
  auto at = [&](std::string_view key, std::string_view sub = {}) {
    for (auto layer = layers.rbegin(); layer != layers.rend(); ++layer) {
      const PolicyValue* given = layer->table->find(key);
      if (given != nullptr && (key != "limits" || sub.empty() ||
                               (given->kind == Kind::Table && given->find(sub) != nullptr)))
        return join(join(layer->key, key), sub);
    }
    return join(join("sandbox", key), sub);
  };
  // (key, path) of every path given, to name the key of a path the sandbox refuses.
  std::vector<std::pair<std::string, std::string>> named_paths;
  std::vector<Path> lists[3];
  const std::string_view list_names[3] = {"read", "write", "exec"};
  for (int n = 0; n < 3; ++n) {
    const std::string key = at(list_names[n]);
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
  spec.private_tmp = boolean(data->find("private_tmp"), at("private_tmp"), false);
  // true, false, or a table of TCP ports; the ports are read once every path is.
  const PolicyValue* network_value = data->find("network");
  const bool port_table = network_value != nullptr && network_value->kind == Kind::Table;
  if (network_value != nullptr && network_value->kind == Kind::Boolean) {
    spec.network = network_value->boolean;
  } else if (network_value != nullptr && !port_table) {
    fail(at("network"), "expected a boolean, got " + type_name(*network_value) +
                            " (or a table of TCP ports: connect, bind)");
  } else if (port_table) {
    table(*network_value, at("network"), kNetworkKeys);
  }
  SandboxLimits limits;
  if (const PolicyValue* given = data->find("limits");
      given != nullptr && table(*given, at("limits"), [] {
        Keys keys;
        for (const auto& l : kLimitKeys) keys.push_back(l.key);
        return keys;
      }())) {
    for (const auto& [name, value] : given->entries) {
      const auto* l = std::find_if(std::begin(kLimitKeys), std::end(kLimitKeys),
                                   [&](const LimitKey& k) { return k.key == name.text; });
      limit(value, at("limits", name.text), *l, limits);
    }
  }
  if (const PolicyValue* workspace = data->find("workspace")) {
    settings_.sandbox_workspace = path(*workspace, "sandbox.workspace");
    named_paths.insert(named_paths.begin(),
                       {"sandbox.workspace", settings_.sandbox_workspace->native()});
  }
  if (port_table && !failed()) ports(*network_value, spec, at("network"));
  if (failed()) return std::nullopt;
  if (settings_.sandbox_workspace) {
    SandboxSpec preset = SandboxSpec::workspace(*settings_.sandbox_workspace);
    preset.network = spec.network;
    preset.ports = std::move(spec.ports);
    preset.keep_background = spec.keep_background;
    preset.best_effort = spec.best_effort;
    preset.private_tmp = spec.private_tmp;
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
      fail(connect ? at("network", "connect")
           : bind  ? at("network", "bind")
                   : at("network"),
           message);
      return std::nullopt;
    }
    std::string key = layers.empty() ? std::string("sandbox") : layers.back().key;
    for (const auto& [where, p] : named_paths) {
      if (message.ends_with(p) || message.find(p + ":") != std::string::npos) {
        key = where;
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
    for (const auto& [where, p] : named_paths) {
      if (where.starts_with(at("write")) && p == w.native()) {
        key = where;
        break;
      }
    }
    writable_.emplace_back(key, w.native());
  }
  return std::move(*built);
}

}  // namespace corvane::policy_file
