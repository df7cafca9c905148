// The Python form of a finished run: an Output of `_corvane`, or one of the
// typed errors carrying the partial output.
#pragma once

#include "corvane/prepared.hpp"
#include "pyutil.hpp"

namespace corvane::py::native {

/// A new Output for a run that ended normally; otherwise raises its typed error
/// (an interrupted run raises SpawnFailed("interrupted")) and returns nullptr.
[[nodiscard]] PyObject* convert_result(RunResult&& result);

/// Like convert_result, without raising: `output` receives the new Output or
/// `error` the new exception object; false (exception set) when neither could
/// be built.
[[nodiscard]] bool convert_result(RunResult&& result, PyObject*& output, PyObject*& error);

/// `_native.exit_signal(output)`: the signal that ended the run of an Output,
/// or None when it exited (Output itself has no attribute for it).
[[nodiscard]] PyObject* exit_signal(PyObject* module, PyObject* output) noexcept;

}  // namespace corvane::py::native
