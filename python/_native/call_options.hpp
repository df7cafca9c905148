// corvane._native.call_options: one call's controls on a prepared command.
#pragma once

#include "pyutil.hpp"

namespace corvane::py::native {

/// call_options(prepared, timeout, stdin) -> PreparedCommand: the command with
/// one call's controls (PreparedCommand::with_timeout, with_stdin). `timeout`
/// is None or (secs, nanos); `stdin` None or a bytes-like object. Above the
/// policy's limits raises corvane.Refused; a zero timeout ValueError.
PyObject* call_options(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace corvane::py::native
