// The typed errors of the corvane package (corvane.errors), built from the
// core's error values: the same one-line message `_corvane` raises, plus the
// error's fields as attributes and, for execution errors, the partial output.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "corvane/error.hpp"
#include "corvane/rules.hpp"
#include "pyutil.hpp"

namespace corvane::py::native {

/// Takes the error classes from `corvane.errors`; false with an exception set.
[[nodiscard]] bool import_error_types() noexcept;

/// A new corvane.TimedOut / OutputLimitExceeded / SpawnFailed (ExecutionError
/// for anything else) for `error`, carrying what the child wrote before it was
/// stopped; nullptr with an exception set when it cannot be built.
[[nodiscard]] PyObject* make_execution_error(const ExecError& error, std::string_view stdout_bytes,
                                             std::string_view stderr_bytes) noexcept;

/// Raises make_execution_error(...); returns nullptr.
PyObject* raise_execution_error(const ExecError& error, std::string_view stdout_bytes,
                                std::string_view stderr_bytes) noexcept;

/// The refusal's fields as a new dict (name -> str, int or None); nullptr on error.
[[nodiscard]] PyObject* refusal_fields(const Refusal& refusal) noexcept;

/// Raises corvane.Refused for a refusal of the core: its message, its kind,
/// its fields by name and the refused argv index when known. Returns nullptr.
PyObject* raise_refused(const Refusal& refusal) noexcept;

/// Raises corvane.Refused for `violation` (as the core's to_refusal describes
/// it), with the refused argv index when the caller knows it. Returns nullptr.
PyObject* raise_refused(const Violation& violation,
                        std::optional<std::size_t> index = std::nullopt) noexcept;

}  // namespace corvane::py::native
