// Insertion of the end-of-options separator "--" before the first positional,
// so data that starts with '-' cannot be read as an option.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

/// Whether "--" is inserted before the first positional argument.
enum class InjectDoubleDash : std::uint8_t { Never = 0, AfterFlags = 1 };

/// argv unchanged, or with one "--" in front of its first positional when the
/// mode is AfterFlags and the vector holds a positional but no "--".
[[nodiscard]] std::vector<std::string> inject_double_dash(std::vector<std::string> argv,
                                                          InjectDoubleDash mode);

}  // namespace corvane
