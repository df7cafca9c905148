// Packs: vetted binaries a policy takes in by name (`include = ["explore"]`,
// or one binary with `pack = "text"`), read from TOML files shipped with the
// library. A pack's ${WORKSPACE} is the policy's sandbox workspace. The policy
// may restate a pack's binary to narrow it: what it restates is laid over the
// pack's table here, and the result compared with the pack's in narrowing.cpp.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <system_error>

#include "policy_file/toml_document.hpp"
#include "policy_file/values.hpp"
#include "policy_file/walk.hpp"

namespace corvane::policy_file {
namespace {

bool valid_pack_name(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return name.front() != '-' && name.front() != '_';
}

bool same(const PolicyValue& a, const PolicyValue& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Kind::Boolean:
      return a.boolean == b.boolean;
    case Kind::Integer:
      return a.negative == b.negative && a.text == b.text;
    case Kind::Float:
      return a.number == b.number;
    case Kind::List:
      if (a.items.size() != b.items.size()) return false;
      for (std::size_t i = 0; i < a.items.size(); ++i) {
        if (!same(a.items[i], b.items[i])) return false;
      }
      return true;
    case Kind::Table:
      if (a.entries.size() != b.entries.size()) return false;
      for (const auto& [key, value] : a.entries) {
        const PolicyValue* other = b.find(key.text);
        if (other == nullptr || !same(value, *other)) return false;
      }
      return true;
    default:
      return a.text == b.text;
  }
}

PolicyValue* slot(PolicyValue& table, std::string_view key) {
  for (auto& [name, value] : table.entries) {
    if (name.kind == Kind::String && name.text == key) return &value;
  }
  return nullptr;
}

// value_flags written as a list of names: the same as a table of free values.
PolicyValue flag_table(const PolicyValue& value) {
  if (value.kind != Kind::List) return value;
  PolicyValue out;
  for (const PolicyValue& item : value.items) {
    if (item.kind != Kind::String) return value;  // the reader reports it
    out.entries.emplace_back(item, PolicyValue::table());
  }
  return out;
}

// What a file restates of a pack's binary, laid over the pack's table key by
// key. The subcommands and value flags it lists are those it keeps, each laid
// over the pack's of the same name ("log" = {} keeps git log as the pack has
// it); a table is laid over the pack's (a sandbox's keys, its limits one at a
// time); any other value replaces the pack's.
PolicyValue overlay(const PolicyValue& base, const PolicyValue& over) {
  if (base.kind != Kind::Table || over.kind != Kind::Table) return over;
  PolicyValue out = base;
  for (const auto& [key, value] : over.entries) {
    if (key.kind == Kind::String && (key.text == "pack" || key.text == "widen")) continue;
    PolicyValue* mine = key.kind == Kind::String ? slot(out, key.text) : nullptr;
    if (mine == nullptr) {
      out.entries.emplace_back(key, value);
    } else if (key.text == "subcommands" || key.text == "value_flags") {
      const PolicyValue theirs = flag_table(*mine);
      PolicyValue kept = flag_table(value);
      if (theirs.kind == Kind::Table && kept.kind == Kind::Table) {
        for (auto& [name, entry] : kept.entries) {
          if (const PolicyValue* pack = theirs.find(name.text); pack != nullptr) {
            entry = overlay(*pack, entry);
          }
        }
      }
      *mine = std::move(kept);
    } else {
      *mine = overlay(*mine, value);
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- reading packs

const Reader::PackFile* Reader::pack(const std::string& name, const std::string& key) {
  for (const PackFile& p : packs_) {
    if (p.name == name) return &p;
  }
  if (!valid_pack_name(name)) {
    fail(key, "malformed pack name " + quote_text(name) +
                  " (lower-case letters, digits, - and _, starting with a letter or digit)");
    return nullptr;
  }
  for (const Path& dir : pack_dirs_) {
    const Path file = dir / (name + ".toml");
    auto text = read_file(file);
    if (!text && text.error() == ENOENT) continue;
    const std::string what = "pack " + quote_text(name) + " (" + file.native() + ")";
    if (!text) {
      std::string reason = os_error_text(text.error());
      fail(key, what + ": cannot read: " + reason.substr(0, reason.rfind(" (os error ")));
      return nullptr;
    }
    auto document = parse_toml(*text);
    if (!document) {
      fail(key, what + ": not valid TOML: " + document.error());
      return nullptr;
    }
    // The pack's keys are named below the key that named the pack.
    const std::string at = join(key, name);
    PolicyValue data = expand(*document, at, pack_variables_);
    if (failed() && !pack_variables_.contains("WORKSPACE")) {
      error_->reason += " (a pack's ${WORKSPACE} is the policy's [sandbox] workspace)";
    }
    if (failed() || !table(data, at, kPackKeys)) return nullptr;
    const PolicyValue* description = data.find("description");
    if (description == nullptr || description->kind != Kind::String) {
      fail(join(at, "description"), "every pack needs a one-line description");
      return nullptr;
    }
    const PolicyValue* binaries = data.find("binaries");
    if (binaries == nullptr || binaries->kind != Kind::Table || !named(*binaries, at)) {
      if (!failed()) fail(join(at, "binaries"), "every pack needs a table of binaries");
      return nullptr;
    }
    packs_.push_back(PackFile{name, file, std::move(data)});
    return &packs_.back();
  }
  std::string known;
  for (const std::string& n : pack_names(pack_dirs_)) known += (known.empty() ? "" : ", ") + n;
  fail(key,
       "unknown pack " + quote_text(name) + " (known: " + (known.empty() ? "none" : known) + ")");
  return nullptr;
}

PolicyPack& Reader::pack_record(const PackFile& pack) {
  for (PolicyPack& p : settings_.packs) {
    if (p.name == pack.name) return p;
  }
  settings_.packs.push_back(
      PolicyPack{pack.name, pack.data.find("description")->text, pack.file, {}, {}});
  return settings_.packs.back();
}

void Reader::take(const PackFile& pack, const std::string& name, const PolicyValue& table,
                  const std::string& key) {
  std::vector<std::string> sets;
  const PolicyValue* subcommands = table.kind == Kind::Table ? table.find("subcommands") : nullptr;
  if (is_none(subcommands) ||
      std::any_of(kRuleKeys.begin(), kRuleKeys.end(),
                  [&](std::string_view k) { return table.find(k) != nullptr; })) {
    sets.emplace_back();
  }
  if (subcommands != nullptr && subcommands->kind == Kind::Table) {
    for (const auto& entry : subcommands->entries)
      sets.push_back(join_words(split_words(entry.first.text)));
  }
  auto found = origins_.find(name);
  if (found == origins_.end()) {
    Origin& origin = origins_[name];
    origin.pack = pack.name;
    origin.wide = table;
    for (std::string& words : sets) origin.set_packs.emplace_back(std::move(words), pack.name);
    if (std::find(order_.begin(), order_.end(), name) == order_.end()) order_.push_back(name);
    pack_record(pack).binaries.push_back(name);
    return;
  }
  // Two packs give the same binary (git-read and git-write): their subcommands
  // join, and everything else must be the same in both.
  Origin& origin = found->second;
  const std::string what = "packs " + quote_text(origin.pack) + " and " + quote_text(pack.name) +
                           " give " + join("binaries", name);
  for (const PolicyValue* a : {static_cast<const PolicyValue*>(&origin.wide), &table}) {
    const PolicyValue* b = a == &table ? &origin.wide : &table;
    for (const auto& [k, value] : a->entries) {
      if (k.text == "subcommands") continue;
      const PolicyValue* other = b->find(k.text);
      if (other == nullptr || !same(value, *other))
        return fail(key, what + " differently (" + k.text + ")");
    }
  }
  PolicyValue* have = slot(origin.wide, "subcommands");
  if (have == nullptr || subcommands == nullptr || have->kind != Kind::Table ||
      subcommands->kind != Kind::Table) {
    return fail(key, what + " differently (subcommands)");
  }
  for (const auto& [sub, rules] : subcommands->entries) {
    if (const PolicyValue* earlier = have->find(sub.text)) {
      if (!same(*earlier, rules))
        return fail(key, what + " differently (subcommands." + sub.text + ")");
      continue;
    }
    have->entries.emplace_back(sub, rules);
    origin.set_packs.emplace_back(join_words(split_words(sub.text)), pack.name);
  }
  pack_record(pack).binaries.push_back(name);
}

PolicyValue Reader::with_packs(const PolicyValue& data) {
  const PolicyValue* include = data.find("include");
  const PolicyValue* binaries = data.find("binaries");
  bool any = !is_none(include);
  if (binaries != nullptr && binaries->kind == Kind::Table) {
    for (const auto& [name, entry] : binaries->entries) {
      any = any || (entry.kind == Kind::Table &&
                    (entry.find("pack") != nullptr || entry.find("widen") != nullptr));
    }
  }
  if (!any) return data;
  // A pack's ${WORKSPACE} is the policy's workspace.
  if (const PolicyValue* box = data.find("sandbox"); box != nullptr && box->kind == Kind::Table) {
    if (const PolicyValue* ws = box->find("workspace"); ws != nullptr && ws->kind == Kind::String) {
      const Path workspace = path(*ws, "sandbox.workspace");
      if (failed()) return data;
      pack_variables_["WORKSPACE"] = workspace.native();
    }
  }
  if (!is_none(include)) {
    const std::vector<std::string> names = strings(*include, "include");
    for (std::size_t i = 0; i < names.size() && !failed(); ++i) {
      const std::string key = "include[" + std::to_string(i) + "]";
      const PackFile* p = pack(names[i], key);
      if (p == nullptr) break;
      pack_record(*p);
      for (const auto& [name, table] : p->data.find("binaries")->entries) {
        if (failed()) break;
        take(*p, name.text, table, key);
      }
    }
  }
  if (failed()) return data;
  // The file's own binaries: one taken from a pack by `pack = "..."`, one that
  // restates an included pack's, or its own.
  std::vector<std::pair<PolicyValue, PolicyValue>> own;
  if (binaries != nullptr && binaries->kind == Kind::Table && named(*binaries, "binaries")) {
    for (const auto& [name, entry] : binaries->entries) {
      const std::string key = join("binaries", name.text);
      const PolicyValue* from = entry.kind == Kind::Table ? entry.find("pack") : nullptr;
      if (from != nullptr) {
        const std::string at = join(key, "pack");
        const std::string pack_name = string(*from, at);
        const PackFile* p = failed() ? nullptr : pack(pack_name, at);
        if (p == nullptr) return data;
        const PolicyValue* table = p->data.find("binaries")->find(name.text);
        if (table == nullptr) {
          std::string has;
          for (const auto& b : p->data.find("binaries")->entries)
            has += (has.empty() ? "" : ", ") + b.first.text;
          fail(at, "the pack " + quote_text(pack_name) + " has no binary " + quote_text(name.text) +
                       " (it has: " + has + ")");
          return data;
        }
        // The pack named here gives the binary, whatever the included ones do.
        origins_.erase(name.text);
        for (PolicyPack& record : settings_.packs) std::erase(record.binaries, name.text);
        take(*p, name.text, *table, at);
      }
      auto origin = origins_.find(name.text);
      const PolicyValue* widen = entry.kind == Kind::Table ? entry.find("widen") : nullptr;
      if (origin == origins_.end()) {
        if (widen != nullptr) {
          fail(join(key, "widen"), "only a binary taken from a pack can widen it");
          return data;
        }
        own.emplace_back(name, entry);
        continue;
      }
      origin->second.restated = true;
      origin->second.widen = boolean(widen, join(key, "widen"), false);
      own.emplace_back(name, overlay(origin->second.wide, entry));
    }
  }
  if (failed()) return data;
  // The packs' binaries first, in the order the packs give them, then the
  // file's; a pack's program this machine does not have is left out.
  PolicyValue merged;
  for (const std::string& name : order_) {
    const Origin& origin = origins_.at(name);
    if (origin.restated) continue;
    const PolicyValue* path = origin.wide.find("path");
    struct stat st{};
    if (path != nullptr && path->kind == Kind::String && path->text.starts_with('/') &&
        ::stat(path->text.c_str(), &st) != 0) {
      for (PolicyPack& record : settings_.packs) {
        if (std::erase(record.binaries, name) > 0) record.missing.push_back(name);
      }
      continue;
    }
    merged.entries.emplace_back(PolicyValue::string(name), origin.wide);
  }
  for (auto& entry : own) merged.entries.push_back(std::move(entry));
  PolicyValue out = data;
  if (PolicyValue* b = slot(out, "binaries")) {
    *b = std::move(merged);
  } else {
    out.entries.emplace_back(PolicyValue::string("binaries"), std::move(merged));
  }
  return out;
}

}  // namespace corvane::policy_file

namespace corvane {

std::vector<std::string> pack_names(const std::vector<Path>& dirs) {
  std::set<std::string> names;
  for (const Path& dir : dirs) {
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      const Path& file = it->path();
      if (file.extension() == ".toml" && policy_file::valid_pack_name(file.stem().native()))
        names.insert(file.stem().native());
    }
  }
  return {names.begin(), names.end()};
}

}  // namespace corvane
