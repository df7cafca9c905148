// corvane._native.prepare: ProcPolicy.prepare raising the typed Refused.
#pragma once

#include "pyutil.hpp"

namespace corvane::py::native {

/// prepare(policy, request) -> PreparedCommand; a refusal raises corvane.Refused.
PyObject* prepare(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace corvane::py::native
