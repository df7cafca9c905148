// TOML text to the reader's tree of data. The one place that knows the TOML
// library: nothing of it reaches a header, so the installed package needs it
// only where the library itself is built.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "corvane/policy_file.hpp"

namespace corvane::policy_file {

/// The document in `text`, tables in the order their keys were first written,
/// or why it is not valid TOML (with the line and column).
[[nodiscard]] std::expected<PolicyValue, std::string> parse_toml(std::string_view text);

}  // namespace corvane::policy_file
