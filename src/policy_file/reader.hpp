// The walk over a policy's tree of data: every key checked against the table
// of keys it may hold, every value converted, the policy built. The first
// mistake met is the one reported, in the order the keys are read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/policy_file.hpp"

namespace corvane::policy_file {

/// "a.b" from "a" and "b", leaving out empty parts.
[[nodiscard]] std::string join(std::string_view a, std::string_view b);

/// What the reader found besides the policy: the places the policy lets its
/// commands write, each with the key that named it, for the placement check.
struct ReadPolicy {
  LoadedPolicy loaded;
  bool allow_writable = false;
  bool cwd_written = false;           ///< [cwd] was in the file (the built-in /tmp is no file's)
  bool audit_allow_writable = false;  ///< [audit] allow_writable: skip its placement check
  std::vector<std::pair<std::string, std::string>> writable;  ///< (key, path) under the sandbox
};

/// Reads `data` (expanding ${NAME} first, then taking in the packs it names
/// from `pack_dirs`) into a built policy.
[[nodiscard]] std::expected<ReadPolicy, PolicyFileError> read_policy(
    const PolicyValue& data, const std::optional<std::string>& file,
    const std::optional<Path>& base_dir, const PolicyVariables& variables,
    const std::vector<Path>& pack_dirs);

/// The whole file, or the errno that stopped reading it.
[[nodiscard]] std::expected<std::string, int> read_file(const Path& file);

/// Refuses an audit file ([audit] file) the policy's own commands may write:
/// they could forge or erase the trail of what they did. Data given without a
/// file is checked too: the trail is a file whatever the policy came from.
[[nodiscard]] std::optional<PolicyFileError> check_audit_placement(
    const ReadPolicy& read, const std::optional<std::string>& file);

/// Refuses a policy file its own commands may rewrite: each load obeys whatever
/// they wrote. See load_policy().
[[nodiscard]] std::optional<PolicyFileError> check_placement(const ReadPolicy& read,
                                                             const std::string& file);

}  // namespace corvane::policy_file
