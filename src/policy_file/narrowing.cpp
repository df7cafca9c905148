// Whether what a policy restates of a pack's binary is narrower than the
// pack: each flag, value, count, positional role, reading of "--", program
// and sandbox right compared with the pack's. Anything wider is an error
// naming the key and what it widens, unless the binary says `widen = true`
// (which the description then shows).
#include <algorithm>
#include <tuple>

#include "policy/value_pattern.hpp"
#include "policy_file/values.hpp"
#include "policy_file/walk.hpp"

namespace corvane::policy_file {
namespace {

// (key below the binary's, what it widens), or nothing when narrower or equal.
using Wider = std::optional<std::pair<std::string, std::string>>;

// Whether a rule's set and pattern (a value flag's or a positional role's) let `value` through.
template <class Rule>
bool allows(const Rule& rule, const std::string& value) {
  if (rule.one_of &&
      std::find(rule.one_of->begin(), rule.one_of->end(), value) == rule.one_of->end()) {
    return false;
  }
  if (rule.pattern) {
    auto pattern = ValuePattern::compile(*rule.pattern);
    return pattern && value.size() <= kMaxPatternValueBytes && pattern->matches(value);
  }
  return true;
}

Wider wider_value(const ValueRule& narrow, const ValueRule& wide, const std::string& key) {
  if (narrow.attached != wide.attached)
    return {{join(key, "attached"), "reads the value otherwise than the pack"}};
  if (wide.path && !narrow.path)
    return {{join(key, "path"), "no longer checks the value as a path"}};
  if (wide.changes_directory != narrow.changes_directory)
    return {{join(key, "changes_directory"), "reads the value otherwise than the pack"}};
  if (wide.replaces_first_positional != narrow.replaces_first_positional)
    return {{join(key, "replaces_first_positional"), "reads the value otherwise than the pack"}};
  if (!wide.one_of && !wide.pattern) return std::nullopt;  // the pack's value is free
  // A set of values is checked value by value; a pattern cannot be compared
  // with another, so only the pack's own is narrow enough.
  if (narrow.one_of) {
    for (const std::string& value : *narrow.one_of) {
      if (!allows(wide, value)) {
        return {{join(key, "one_of"),
                 "allows the value " + quote_text(value) + ", which the pack's rule refuses"}};
      }
    }
    return std::nullopt;
  }
  if (wide.one_of) return {{join(key, "one_of"), "allows any value where the pack lists some"}};
  if (narrow.pattern != wide.pattern) {
    return {{join(key, "pattern"),
             "changes the pack's pattern (a pattern narrows only to a one_of list of values)"}};
  }
  return std::nullopt;
}

// The role of the i-th positional: its role, the rest role, or nothing (refused).
std::optional<PositionalRole> role_at(const PolicyRuleSet& set, std::size_t i) {
  if (set.positionals.empty() && !set.rest_positionals) {
    PositionalRole role;
    role.path = set.path_positionals;
    return role;
  }
  if (i < set.positionals.size()) return set.positionals[i];
  return set.rest_positionals;
}

std::optional<std::string> wider_role(const PositionalRole& narrow, const PositionalRole& wide) {
  if (wide.path) {
    if (narrow.path) return std::nullopt;
    return "no longer checks positionals as paths";
  }
  if (!wide.one_of && !wide.pattern) return std::nullopt;  // free text: any role is narrower
  if (narrow.one_of) {
    for (const std::string& value : *narrow.one_of) {
      if (!allows(wide, value))
        return "allows the value " + quote_text(value) + ", which the pack's role refuses";
    }
    return std::nullopt;
  }
  if (narrow.pattern && narrow.pattern == wide.pattern && !wide.one_of) return std::nullopt;
  return "allows values the pack's role refuses (a pattern narrows only to a one_of list)";
}

Wider wider_positionals(const PolicyRuleSet& narrow, const PolicyRuleSet& wide,
                        const std::string& key) {
  const bool roles = !narrow.positionals.empty() || narrow.rest_positionals;
  const std::size_t n =
      std::max(narrow.positionals.size(), wide.positionals.size()) + 1;  // +1: the rest roles
  for (std::size_t i = 0; i < n; ++i) {
    const auto mine = role_at(narrow, i);
    const auto theirs = role_at(wide, i);
    const std::string at = !roles ? join(key, "path_positionals")
                           : i < narrow.positionals.size()
                               ? join(key, "positionals") + "[" + std::to_string(i) + "]"
                               : join(key, "rest_positionals");
    if (mine && !theirs) return {{at, "allows a positional the pack refuses"}};
    if (!mine) continue;
    if (auto reason = wider_role(*mine, *theirs)) return {{at, *reason}};
  }
  return std::nullopt;
}

Wider wider_set(const PolicyRuleSet& narrow, const PolicyRuleSet& wide, const std::string& key) {
  for (const std::string& flag : narrow.flags) {
    if (std::find(wide.flags.begin(), wide.flags.end(), flag) == wide.flags.end())
      return {{join(key, "flags"), "adds the flag " + quote_text(flag)}};
  }
  for (const auto& [name, rule] : narrow.value_flags) {
    auto it = std::find_if(wide.value_flags.begin(), wide.value_flags.end(),
                           [&](const auto& f) { return f.first == name; });
    if (it == wide.value_flags.end())
      return {{join(key, "value_flags"), "adds the value flag " + quote_text(name)}};
    if (auto wider = wider_value(rule, it->second, join(join(key, "value_flags"), name)))
      return wider;
  }
  auto raises = [&](std::string_view what, std::uint64_t n, std::uint64_t w) -> Wider {
    if (n <= w) return std::nullopt;
    return {{join(key, what),
             "raises it from the pack's " + std::to_string(w) + " to " + std::to_string(n)}};
  };
  if (auto wider = raises("max_flags", narrow.max_flags, wide.max_flags)) return wider;
  if (auto wider = raises("max_positionals", narrow.max_positionals, wide.max_positionals))
    return wider;
  const std::pair<std::string_view, std::pair<bool, bool>> switches[] = {
      {"numeric_flags", {narrow.numeric_flags, wide.numeric_flags}},
      {"bundles", {narrow.bundles, wide.bundles}},
      {"first_arg_bundle", {narrow.first_arg_bundle, wide.first_arg_bundle}}};
  for (const auto& [name, values] : switches) {
    if (values.first && !values.second)
      return {{join(key, name), "turns on what the pack leaves off"}};
  }
  if (auto wider = wider_positionals(narrow, wide, key)) return wider;
  if (narrow.inject_double_dash != wide.inject_double_dash ||
      narrow.inject_double_dash_after != wide.inject_double_dash_after)
    return {{join(key, "inject_double_dash"), "reads '--' otherwise than the pack"}};
  if (narrow.double_dash != wide.double_dash)
    return {{join(key, "double_dash"), "reads '--' otherwise than the pack"}};
  return std::nullopt;
}

bool within(const Path& path, const std::vector<Path>& trees) {
  const std::string p = path.lexically_normal().native();
  for (const Path& tree : trees) {
    std::string t = tree.lexically_normal().native();
    while (t.size() > 1 && t.back() == '/') t.pop_back();
    if (p == t || t == "/" || (p.starts_with(t) && p[t.size()] == '/')) return true;
  }
  return false;
}

Wider wider_sandbox(const std::optional<Sandbox>& narrow, const std::optional<Sandbox>& wide) {
  if (!wide) return std::nullopt;  // the pack's binary runs without one: nothing is wider
  if (!narrow) return {{"sandbox", "runs without the pack's sandbox"}};
  const SandboxSpec& n = narrow->spec();
  const SandboxSpec& w = wide->spec();
  std::vector<Path> readable = w.read;
  readable.insert(readable.end(), w.write.begin(), w.write.end());
  const std::tuple<std::string_view, const std::vector<Path>*, const std::vector<Path>*> lists[] = {
      {"read", &n.read, &readable}, {"write", &n.write, &w.write}, {"exec", &n.exec, &w.exec}};
  for (const auto& [name, mine, theirs] : lists) {
    for (const Path& p : *mine) {
      if (!within(p, *theirs)) {
        return {{join("sandbox", name), "grants " + display(p) + ", outside what the pack grants"}};
      }
    }
  }
  if (n.network && !w.network) return {{"sandbox.network", "opens the network"}};
  if (!n.network && !w.network && n.ports) {
    std::vector<std::uint16_t> none;
    const auto& [wc, wb] =
        w.ports ? std::tie(w.ports->connect, w.ports->bind) : std::tie(none, none);
    for (const auto& [mine, theirs, name] :
         {std::tuple{&n.ports->connect, &wc, "connect"}, {&n.ports->bind, &wb, "bind"}}) {
      for (std::uint16_t port : *mine) {
        if (std::find(theirs->begin(), theirs->end(), port) == theirs->end()) {
          return {{join("sandbox.network", name),
                   "opens the port " + std::to_string(port) + ", which the pack does not"}};
        }
      }
    }
  }
  for (const LimitKey& limit : kLimitKeys) {
    const auto& mine = n.limits.*limit.field;
    const auto& theirs = w.limits.*limit.field;
    if (theirs && (!mine || *mine > *theirs))
      return {{join("sandbox.limits", limit.key), "raises the pack's limit"}};
  }
  return std::nullopt;
}

Wider wider_binary(const PolicyBinary& narrow, const PolicyBinary& wide) {
  if (narrow.path != wide.path)
    return {{"path", "names another program than the pack's " + display(wide.path)}};
  if (narrow.argv0 != wide.argv0) return {{"argv0", "runs it otherwise than the pack"}};
  if (narrow.risky == RiskyBinPolicy::Disabled && wide.risky != RiskyBinPolicy::Disabled)
    return {{"risky", "allows what the pack refuses as risky"}};
  if (narrow.global && !wide.global)
    return {{"global", "adds options before the subcommand, which the pack does not have"}};
  if (narrow.global) {
    if (auto wider = wider_set(*narrow.global, *wide.global, "global")) return wider;
  }
  for (const PolicyRuleSet& set : narrow.rule_sets) {
    const std::string key =
        set.subcommand.empty() ? "" : join("subcommands", join_words(set.subcommand));
    auto it = std::find_if(wide.rule_sets.begin(), wide.rule_sets.end(),
                           [&](const PolicyRuleSet& s) { return s.subcommand == set.subcommand; });
    if (it == wide.rule_sets.end()) {
      return {{key, set.subcommand.empty() ? "adds rules without a subcommand"
                                           : "adds a subcommand the pack does not have"}};
    }
    if (auto wider = wider_set(set, *it, key)) return wider;
  }
  return std::nullopt;
}

}  // namespace

void Reader::name_packs(PolicyBinary& binary, const Origin& origin) {
  binary.pack = origin.pack;
  for (PolicyRuleSet& set : binary.rule_sets) {
    const std::string words = join_words(set.subcommand);
    for (const auto& [written, pack] : origin.set_packs) {
      if (written == words) set.pack = pack;
    }
  }
}

void Reader::check_narrowing(const PolicyValue& data, const std::optional<Sandbox>& box) {
  for (std::size_t i = 0; i < settings_.binaries.size() && !failed(); ++i) {
    PolicyBinary& narrow = settings_.binaries[i];
    auto found = origins_.find(narrow.name);
    if (found == origins_.end()) continue;
    const Origin& origin = found->second;
    name_packs(narrow, origin);
    if (!origin.restated) continue;
    const std::string& key = binary_keys_[i];
    PolicyBinary wide = binary(narrow.name, origin.wide, key);
    // The pack's own rule sets' sandbox tables, read beside the policy's binaries.
    const std::vector<SandboxLayer> wide_sets = std::move(subcommand_sandboxes_.back());
    subcommand_sandboxes_.pop_back();
    left_out_ = false;
    std::vector<SandboxLayer> layers;
    if (const PolicyValue* own = origin.wide.find("sandbox"); !is_none(own)) {
      layers.push_back({own, join(key, "sandbox")});
    }
    std::optional<Sandbox> wide_box = box;
    if (box && !layers.empty()) wide_box = sandbox(data.find("sandbox"), layers);
    if (failed()) return;
    const std::optional<Sandbox>& narrow_box = narrow.sandbox ? narrow.sandbox : box;
    Wider wider = wider_binary(narrow, wide);
    if (!wider) wider = wider_sandbox(narrow_box, wide_box);
    // Each rule set runs in its own sandbox where it has one: compared with
    // what the pack's same rule set runs in.
    for (std::size_t n = 0; n < narrow.rule_sets.size() && !wider && box && !failed(); ++n) {
      const PolicyRuleSet& set = narrow.rule_sets[n];
      std::optional<Sandbox> theirs = wide_box;
      bool theirs_own = false;
      for (std::size_t w = 0; w < wide.rule_sets.size() && w < wide_sets.size(); ++w) {
        if (wide.rule_sets[w].subcommand != set.subcommand || is_none(wide_sets[w].table)) continue;
        std::vector<SandboxLayer> set_layers = layers;
        set_layers.push_back(wide_sets[w]);
        theirs = sandbox(data.find("sandbox"), set_layers);
        theirs_own = true;
      }
      if (!set.sandbox && !theirs_own) continue;  // the binary's comparison covers it
      if (Wider w = wider_sandbox(set.sandbox ? set.sandbox : narrow_box, theirs)) {
        wider = {{join(join("subcommands", join_words(set.subcommand)), w->first), w->second}};
      }
    }
    if (failed()) return;
    if (!wider) continue;
    if (origin.widen) {
      narrow.widened = true;
      continue;
    }
    fail(join(key, wider->first), wider->second + ": wider than the pack " +
                                      quote_text(origin.pack) +
                                      " (narrow it, or write widen = true to mean it)");
  }
}

}  // namespace corvane::policy_file
