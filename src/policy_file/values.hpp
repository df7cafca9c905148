// The scalar values of a policy file: how a value is named in a message, how
// sizes and durations read, and ${NAME} variables. The texts match what users
// of the Python package have always seen, which is why values are quoted the
// way that language writes them.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/error.hpp"
#include "corvane/policy_file.hpp"

namespace corvane::policy_file {

/// "boolean", "integer", "float", "string", "list", "table", or the type named by an Other.
[[nodiscard]] std::string type_name(const PolicyValue& value);
/// The same value as the Python side names its type ("bool", "int", "str", "dict", ...).
[[nodiscard]] std::string python_type_name(const PolicyValue& value);

/// `text` quoted as Python's repr() quotes a str.
[[nodiscard]] std::string quote_text(std::string_view text);
/// A number or a string as repr() writes it (other values by their type name).
[[nodiscard]] std::string written(const PolicyValue& value);

/// An integer value that fits 64 bits unsigned, or nullopt.
[[nodiscard]] std::optional<std::uint64_t> as_u64(const PolicyValue& integer) noexcept;

/// What reading a size or a duration gives: the value, or the reason it is none.
template <class T>
using Reading = std::expected<T, std::string>;

/// A size: a non-negative integer of bytes, or a string such as "10MiB".
[[nodiscard]] Reading<std::uint64_t> read_size(const PolicyValue& value);
/// A duration: seconds as a number, or a string such as "1.5s" or "250ms".
[[nodiscard]] Reading<Duration> read_duration(const PolicyValue& value);
/// A count: a non-negative integer below 2**64.
[[nodiscard]] Reading<std::uint64_t> read_count(const PolicyValue& value);

/// True for a name of letters, digits and "_" that does not start with a digit.
[[nodiscard]] bool is_variable_name(std::string_view name) noexcept;
/// `text` with ${NAME} replaced by variables[NAME] and $$ by $, or the reason it cannot be.
[[nodiscard]] Reading<std::string> expand(std::string_view text, const PolicyVariables& variables);

}  // namespace corvane::policy_file
