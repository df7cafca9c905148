// corvane._native.run: the blocking run, with the interpreter lock released
// while the child runs so that other threads keep running Python.
#pragma once

#include "pyutil.hpp"

namespace corvane::py::native {

/// run(prepared, kill_on_output_limit) -> Output; raises the typed errors.
PyObject* run(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace corvane::py::native
