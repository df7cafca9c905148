// Conversion of the core's RunResult into Python objects.
#include "run_result.hpp"

#include "errors.hpp"
#include "sandbox_binding.hpp"
#include "shared_types.hpp"
#include "typed_errors.hpp"

namespace corvane::py::native {

bool convert_result(RunResult&& result, PyObject*& output, PyObject*& error) {
  output = nullptr;
  error = nullptr;
  if (result.result && result.sandbox_limit) {
    // The kernel ended the command for breaking a sandbox limit: an error, not an Output.
    error = make_sandbox_limit_error(*result.sandbox_limit, *result.result);
    return error != nullptr;
  }
  if (result.result) {
    output = box(shared_types().output, OutputRecord::from(std::move(*result.result)));
    return output != nullptr;
  }
  error = make_execution_error(result.result.error(), result.partial_stdout, result.partial_stderr);
  return error != nullptr;
}

PyObject* exit_signal(PyObject* /*module*/, PyObject* output) noexcept {
  if (!expect_instance(output, shared_types().output, "output", "Output")) return nullptr;
  const auto& signal = unbox<OutputRecord>(output).signal;
  if (!signal) Py_RETURN_NONE;
  return PyLong_FromLong(*signal);
}

PyObject* convert_result(RunResult&& result) {
  PyObject* output = nullptr;
  PyObject* error = nullptr;
  if (!convert_result(std::move(result), output, error)) return nullptr;
  if (error != nullptr) restore_exception(error);
  return output;
}

}  // namespace corvane::py::native
