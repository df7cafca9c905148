// Recognition of shells, interpreters, spawners and privilege tools by file
// name, and the policy that decides what happens to them.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "corvane/error.hpp"
#include "corvane/path.hpp"

namespace corvane {

// RiskCategory is declared in error.hpp: it is part of the RiskyBinDenied violation.

/// What a policy does with a binary whose name is risky.
enum class RiskyBinPolicy : std::uint8_t { DenyByDefault = 0, AllowWithWarning = 1, Disabled = 2 };

/// The names of one category, in the order they are compared.
struct RiskyNames {
  RiskCategory category;
  std::span<const std::string_view> names;
};

/// The name table, categories in the order Shell, Interpreter, Spawner, Privilege.
[[nodiscard]] std::span<const RiskyNames> risky_names() noexcept;

/// The category a file name belongs to: final component, base up to the first
/// '.', trailing ASCII digits stripped; stem or whole name matched exactly.
[[nodiscard]] std::optional<RiskCategory> categorize_risky(const Path& path);

/// RiskyBinDenied under DenyByDefault for a risky name; success otherwise.
[[nodiscard]] std::expected<void, Violation> check_risky(const Path& path, RiskyBinPolicy policy);

}  // namespace corvane
