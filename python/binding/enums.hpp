// The enumeration classes RiskyBinPolicy, InjectDoubleDash and RiskCategory.
#pragma once

#include <cstdint>

#include "pyutil.hpp"

namespace corvane::py {

/// Instances of the three enumeration types hold their member's value.
using EnumBox = Boxed<std::uint8_t>;

/// The member value of an enumeration instance.
[[nodiscard]] inline std::uint8_t enum_value(PyObject* member) noexcept {
  return unbox<std::uint8_t>(member);
}

}  // namespace corvane::py
