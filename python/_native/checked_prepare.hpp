// corvane._native.prepare: ProcPolicy.prepare raising the typed Refused.
#pragma once

#include "pyutil.hpp"

namespace corvane::py::native {

/// prepare(policy, request) -> PreparedCommand; a refusal raises corvane.Refused.
PyObject* prepare(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// call_options(prepared, timeout, stdin) -> PreparedCommand: the command with
/// one call's controls (PreparedCommand::with_timeout, with_stdin). `timeout`
/// is None or (secs, nanos); `stdin` None or a bytes-like object. Above the
/// policy's limits raises corvane.Refused; a zero timeout ValueError.
PyObject* call_options(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace corvane::py::native
