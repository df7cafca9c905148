// corvane._native's half of corvane.Sandbox: building the core's Sandbox from the
// options the Python class checked, its preset, what the machine offers, attaching
// a sandbox to a run, and the error of a limit the command broke.
#pragma once

#include "pyutil.hpp"

#include <string>

#include "prepared.hpp"

namespace corvane::py::native {

/// The opaque SandboxHandle type (instances are Boxed<Sandbox>), created on first use.
[[nodiscard]] PyTypeObject* sandbox_handle_type();

/// sandbox_build(read, write, exec, network, keep_background, best_effort, limits):
/// paths as bytes; limits a 5-tuple (address space, CPU seconds, processes, file size,
/// open files) of int, None (inherited) or Ellipsis (the core's default). ValueError
/// with the core's message when the sandbox cannot be built.
PyObject* sandbox_build(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// sandbox_preset(workspace: bytes) -> (read, write): the core's workspace preset.
PyObject* sandbox_preset(PyObject* module, PyObject* workspace) noexcept;

/// sandbox_available() -> dict of what this machine offers.
PyObject* sandbox_available(PyObject* module, PyObject* unused) noexcept;

/// sandbox_describe(handle) -> (containment, skipped, limits) of a built sandbox.
PyObject* sandbox_describe(PyObject* module, PyObject* handle) noexcept;

/// Puts the sandbox of `handle` (a SandboxHandle, or None for none) on `command`;
/// false with TypeError set for anything else.
[[nodiscard]] bool attach_sandbox(PyObject* handle, PreparedCommand& command) noexcept;

/// A new corvane.SandboxLimitExceeded for a run whose command broke a sandbox limit,
/// carrying its output; nullptr with an exception set when it cannot be built.
[[nodiscard]] PyObject* make_sandbox_limit_error(const std::string& message, const Output& output);

}  // namespace corvane::py::native
