// corvane._native.GuardCore: a whole policy built from plain data (the form
// corvane.policy_file produces) with the core's extended rule model, and the
// core's check() and explain() on it. Nothing here decides anything: data
// becomes builder calls, and the core's answers become Python objects.
#pragma once

#include "pyutil.hpp"

namespace corvane::py::native {

/// The GuardCore type (created once; nullptr with an exception set on failure).
PyTypeObject* guard_core_type();

/// build_guard(data: dict) -> GuardCore. data["binaries"] holds (path, rule sets,
/// name) for each binary; check() and explain() take the name for the path, and a
/// relative working directory from the policy's default directory.
/// data["sandbox"] (a SandboxHandle or None) is carried by every command check()
/// and explain() allow. A mistake in the rules raises
/// ValueError(message, ("rules", binary_index, subcommand_words)); one the
/// policy finds at build raises ValueError(message, ("policy", kind, path)).
PyObject* build_guard(PyObject* module, PyObject* data) noexcept;

}  // namespace corvane::py::native
