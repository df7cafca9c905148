// Conversion of the core's RunResult into Python objects.
#include "run_result.hpp"

#include "errors.hpp"
#include "shared_types.hpp"
#include "typed_errors.hpp"

namespace corvane::py::native {

bool convert_result(RunResult&& result, PyObject*& output, PyObject*& error) {
  output = nullptr;
  error = nullptr;
  if (result.result) {
    output = box(shared_types().output, OutputRecord::from(std::move(*result.result)));
    return output != nullptr;
  }
  error = make_execution_error(result.result.error(), result.partial_stdout,
                               result.partial_stderr);
  return error != nullptr;
}

PyObject* convert_result(RunResult&& result) {
  PyObject* output = nullptr;
  PyObject* error = nullptr;
  if (!convert_result(std::move(result), output, error)) return nullptr;
  if (error != nullptr) restore_exception(error);
  return output;
}

}  // namespace corvane::py::native
