// corvane._native's half of corvane.Sandbox: building the core's Sandbox from the
// options the Python class checked, its preset, what the machine offers, attaching
// a sandbox to a run, and the error of a limit the command broke.
#pragma once

#include <string>

#include "corvane/prepared.hpp"
#include "pyutil.hpp"

namespace corvane::py::native {

/// The opaque SandboxHandle type (instances are Boxed<Sandbox>), created on first use.
[[nodiscard]] PyTypeObject* sandbox_handle_type();

/// sandbox_build(workspace, read, write, exec, network, keep_background, best_effort,
/// limits): the core's workspace preset for `workspace` (a path, or None for none)
/// extended by the lists of paths (str, bytes or os.PathLike); the switches True or
/// False; limits a 5-tuple (address space, CPU seconds, processes, file size, open
/// files) of int, None (inherited) or Ellipsis (the core's default). Every argument is
/// type-checked here, where it is converted: TypeError naming it. ValueError with the
/// core's message when the sandbox cannot be built.
PyObject* sandbox_build(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// sandbox_available() -> dict of what this machine offers.
PyObject* sandbox_available(PyObject* module, PyObject* unused) noexcept;

/// sandbox_describe(handle) -> (containment, skipped, limits, read, write, exec, network,
/// keep_background, best_effort) of a built sandbox.
PyObject* sandbox_describe(PyObject* module, PyObject* handle) noexcept;

/// A new SandboxHandle holding `sandbox`; nullptr with an exception set on failure.
[[nodiscard]] PyObject* make_sandbox_handle(Sandbox sandbox);

/// The sandbox of `handle` (a SandboxHandle); nullptr with TypeError naming `argument`.
[[nodiscard]] const Sandbox* sandbox_of(PyObject* handle, const char* argument) noexcept;

/// Puts the sandbox of `handle` (a SandboxHandle, or None for none) on `command`; false
/// with TypeError set for anything else, or ValueError when the command carries another
/// (the sandbox of the policy that checked it).
[[nodiscard]] bool attach_sandbox(PyObject* handle, PreparedCommand& command);

/// A new corvane.SandboxLimitExceeded for a run whose command broke a sandbox limit,
/// carrying its output; nullptr with an exception set when it cannot be built.
[[nodiscard]] PyObject* make_sandbox_limit_error(const std::string& message, const Output& output);

}  // namespace corvane::py::native
