// corvane._native.GuardCore: a whole policy the core's policy-file reader built,
// and the core's check() and explain() on it. Nothing here decides anything:
// the core's answers become Python objects.
#pragma once

#include "corvane/policy.hpp"
#include "pyutil.hpp"

namespace corvane::py::native {

/// The GuardCore type (created once; nullptr with an exception set on failure).
PyTypeObject* guard_core_type();

/// A new GuardCore holding `policy`; nullptr with an exception set on failure.
PyObject* make_guard_core(ProcPolicy policy);

}  // namespace corvane::py::native
