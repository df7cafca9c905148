// The reader's walk, shared by its files: the table of keys each kind of table
// takes, the named choices, and the Reader that walks a policy's data (values
// and rules in reader.cpp; [environment], [cwd] and [sandbox] in run_tables.cpp).
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/policy_file.hpp"
#include "policy_file/reader.hpp"

namespace corvane::policy_file {

using Keys = std::vector<std::string_view>;
using Kind = PolicyValue::Kind;

// The keys each table takes: the reader walks these, and the JSON Schema of the
// format is checked against them.
inline const Keys kTopKeys = {"timeout",
                              "max_stdout",
                              "max_stderr",
                              "max_stdin",
                              "on_output_limit",
                              "risky_binaries",
                              "environment",
                              "cwd",
                              "binaries",
                              "sandbox",
                              "allow_writable_policy",
                              "audit",
                              "include"};
inline const Keys kRuleKeys = {"flags",
                               "value_flags",
                               "max_flags",
                               "max_positionals",
                               "numeric_flags",
                               "bundles",
                               "first_arg_bundle",
                               "path_positionals",
                               "inject_double_dash",
                               "double_dash",
                               "positionals",
                               "rest_positionals",
                               "inject_double_dash_after"};
inline const Keys kBinaryOnlyKeys = {"path",   "subcommands", "argv0", "risky",   "sandbox",
                                     "global", "pack",        "widen", "optional"};
// A pack file: a line for a model, and binaries as a policy writes them.
inline const Keys kPackKeys = {"description", "binaries"};
inline const Keys kValueKeys = {
    "attached", "one_of", "pattern", "path", "changes_directory", "replaces_first_positional"};
// A positional's role written as a table: a value limited by a set or a pattern.
inline const Keys kRoleKeys = {"one_of", "pattern"};
// [binaries.NAME.global]: options only, read before the subcommand word.
inline const Keys kGlobalKeys = {"flags", "value_flags", "max_flags"};
inline const Keys kEnvironmentKeys = {"mode", "names", "vars"};
inline const Keys kCwdKeys = {"fixed", "jail", "allow", "default"};
inline const Keys kSandboxKeys = {"workspace",   "read",        "write",
                                  "exec",        "network",     "keep_background",
                                  "best_effort", "private_tmp", "limits"};
inline const Keys kNetworkKeys = {"connect", "bind"};
// Where the trail of decisions and runs goes, and whether it may lie where the
// policy's commands write.
inline const Keys kAuditKeys = {"file", "stderr", "allow_writable"};
// What a binary's own sandbox replaces of the policy's (and a subcommand's of
// its binary's); the workspace and how the process tree ends stay the policy's.
// A private temporary directory is the policy's choice, for every command alike.
inline const Keys kBinarySandboxKeys = {"read", "write", "exec", "network", "limits"};
// What a subcommand's table takes besides the rule keys.
inline const Keys kSubcommandOnlyKeys = {"sandbox"};

inline Keys binary_keys() {
  Keys keys = kRuleKeys;
  keys.insert(keys.end(), kBinaryOnlyKeys.begin(), kBinaryOnlyKeys.end());
  return keys;
}

inline Keys subcommand_keys() {
  Keys keys = kRuleKeys;
  keys.insert(keys.end(), kSubcommandOnlyKeys.begin(), kSubcommandOnlyKeys.end());
  return keys;
}

// A table that refines the policy's [sandbox] (a binary's, then a subcommand's)
// and the key path its mistakes are named under.
struct SandboxLayer {
  const PolicyValue* table;
  std::string key;
};

// How each [sandbox.limits] key reads and which limit it sets. The file says
// "memory" for the address-space limit and "cpu_time" for the CPU seconds.
enum class LimitKind : std::uint8_t { Size, Count, Seconds };
struct LimitKey {
  std::string_view key;
  LimitKind kind;
  std::optional<std::uint64_t> SandboxLimits::* field;
};
inline constexpr LimitKey kLimitKeys[] = {
    {"memory", LimitKind::Size, &SandboxLimits::memory},
    {"cpu_time", LimitKind::Seconds, &SandboxLimits::cpu_seconds},
    {"processes", LimitKind::Count, &SandboxLimits::processes},
    {"file_size", LimitKind::Size, &SandboxLimits::file_size},
    {"open_files", LimitKind::Count, &SandboxLimits::open_files},
};

// Named choices: the word in the file, and what it means.
template <class T>
using Choices = std::vector<std::pair<std::string_view, T>>;
inline const Choices<RiskyBinPolicy> kRisky = {
    {"deny", RiskyBinPolicy::DenyByDefault},
    {"allow_with_warning", RiskyBinPolicy::AllowWithWarning},
    {"disabled", RiskyBinPolicy::Disabled}};
// A binary's own setting: refuse it as risky, or allow it.
inline const Choices<RiskyBinPolicy> kBinaryRisky = {{"deny", RiskyBinPolicy::DenyByDefault},
                                                     {"allow", RiskyBinPolicy::Disabled}};
// What the child sees as argv[0]: the file that runs, or the path it was
// allowed under (how an interpreter finds its virtual environment).
inline const Choices<Argv0> kArgv0 = {{"canonical", Argv0::Canonical},
                                      {"allowed", Argv0::AllowedPath}};
inline const Choices<DoubleDashReading> kDoubleDash = {
    {"ends_options", DoubleDashReading::EndsOptions},
    {"options_continue", DoubleDashReading::OptionsContinue},
    {"argument", DoubleDashReading::Argument}};
inline const Keys kEnvironmentModes = {"allowlist", "empty", "fixed", "locale_only"};

template <class T>
std::string known_list(const Choices<T>& choices) {
  std::string out;
  for (const auto& [name, value] : choices) out += (out.empty() ? "" : ", ") + std::string(name);
  return out;
}

// Python's None: absent wherever a key may be left out.
inline bool is_none(const PolicyValue* v) {
  return v == nullptr || (v->kind == Kind::Other && v->text == "NoneType");
}

// The words of a subcommand name, split at blanks.
inline std::vector<std::string> split_words(std::string_view text) {
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

// The words of a subcommand joined by one blank, as rule sets name them.
inline std::string join_words(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

// Walks one policy's data: check each key, convert each value, build the policy.
class Reader {
 public:
  Reader(const std::optional<std::string>& file, const std::optional<Path>& base_dir,
         const PolicyVariables& variables, const std::vector<Path>& pack_dirs)
      : file_(file), base_dir_(base_dir), variables_(variables), pack_dirs_(pack_dirs) {}

  std::expected<ReadPolicy, PolicyFileError> policy(const PolicyValue& written);

 private:
  bool failed() const { return error_.has_value(); }
  void fail(std::string key, std::string reason) {
    if (!error_) error_ = PolicyFileError{file_, std::move(key), std::move(reason)};
  }

  PolicyValue expand(const PolicyValue& value, const std::string& key) {
    return expand(value, key, variables_);
  }
  PolicyValue expand(const PolicyValue& value, const std::string& key,
                     const PolicyVariables& variables);

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

  PolicyRuleSet rule_set(const PolicyValue& data, const std::string& key,
                         std::vector<std::string> words);
  PositionalRole positional_role(const PolicyValue& value, const std::string& key);
  std::vector<std::pair<std::string, ValueRule>> value_flags(const PolicyValue& value,
                                                             const std::string& key);
  PolicyBinary binary(const std::string& name, const PolicyValue& data, const std::string& key);
  void environment(const PolicyValue* data, ProcPolicyBuilder& builder);
  void cwd(const PolicyValue* data, ProcPolicyBuilder& builder);
  void audit(const PolicyValue* data);
  /// The policy's sandbox, or (with `layers`) a binary's or a subcommand's:
  /// [sandbox] with the keys each layer gives replaced in turn, errors in a key
  /// named under the layer that wrote it.
  std::optional<Sandbox> sandbox(const PolicyValue* data,
                                 const std::vector<SandboxLayer>& layers = {});
  void ports(const PolicyValue& value, SandboxSpec& spec, const std::string& at_key);
  void limit(const PolicyValue& value, const std::string& key, const LimitKey& limit,
             SandboxLimits& limits);
  std::optional<ProcPolicy> build(ProcPolicyBuilder builder, const PolicySettings& settings);

  // Packs (packs.cpp): the file's data with the binaries of its packs taken
  // in, and the check that what it restates of them is narrower.
  struct PackFile {
    std::string name;
    Path file;
    PolicyValue data;  // expanded, keys checked
  };
  // Where one binary of the policy came from.
  struct Origin {
    std::string pack;       // the first pack that gave it
    PolicyValue wide;       // its table as its packs give it
    bool restated = false;  // the file wrote [binaries.NAME] too
    bool widen = false;
    std::vector<std::pair<std::string, std::string>> set_packs;  // subcommand words -> pack
  };
  const PackFile* pack(const std::string& name, const std::string& key);
  PolicyPack& pack_record(const PackFile& pack);
  void take(const PackFile& pack, const std::string& name, const PolicyValue& table,
            const std::string& key);
  PolicyValue with_packs(const PolicyValue& data);
  void name_packs(PolicyBinary& binary, const Origin& origin);
  void check_narrowing(const PolicyValue& data, const std::optional<Sandbox>& box);

  const std::optional<std::string>& file_;
  const std::optional<Path>& base_dir_;
  const PolicyVariables& variables_;
  const std::vector<Path>& pack_dirs_;
  std::optional<PolicyFileError> error_;
  std::deque<PackFile> packs_;             // each pack read once (a deque: pointers stay)
  std::map<std::string, Origin> origins_;  // by binary name, those from packs
  std::vector<std::string> order_;         // their names, in the order the packs give them
  PolicyVariables pack_variables_;         // a pack's ${WORKSPACE}: the policy's
  std::vector<std::string> binary_keys_;   // the key path of each binary, in order
  std::vector<const PolicyValue*> binary_sandboxes_;  // each binary's own [sandbox] or null
  // Each binary's rule sets' own [sandbox] tables (null where none) and their key
  // paths, as its rule sets are listed.
  std::vector<std::vector<SandboxLayer>> subcommand_sandboxes_;
  bool left_out_ = false;  // the binary just read is optional and its file is missing
  PolicySettings settings_;
  bool cwd_written_ = false;
  bool audit_allow_writable_ = false;
  std::vector<std::pair<std::string, std::string>> writable_;
};

}  // namespace corvane::policy_file
