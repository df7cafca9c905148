// One call's controls on a prepared command (a shorter time limit, stdin), with
// the core's refusal of a value above the policy's reported as corvane.Refused.
#include "call_options.hpp"

#include "corvane/prepared.hpp"
#include "corvane/rules.hpp"
#include "errors.hpp"
#include "shared_types.hpp"
#include "typed_errors.hpp"

namespace corvane::py::native {

namespace {

PyObject* raise_call_option(const CallOptionError& error) noexcept {
  if (error.kind == CallOptionError::Kind::Invalid) {
    PyErr_SetString(PyExc_ValueError, error.message.c_str());
    return nullptr;
  }
  return raise_refused(Refusal{error.name, std::nullopt, error.message, {}, std::nullopt});
}

}  // namespace

PyObject* call_options(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "call_options() takes 3 positional arguments");
      return nullptr;
    }
    const SharedTypes& types = shared_types();
    if (!expect_instance(args[0], types.prepared_command, "prepared", "PreparedCommand")) {
      return nullptr;
    }
    PreparedCommand command = unbox<PreparedCommand>(args[0]);
    if (args[1] != Py_None) {
      unsigned long long secs = 0;
      unsigned long nanos = 0;
      if (!PyArg_ParseTuple(args[1], "Kk:call_options", &secs, &nanos)) return nullptr;
      auto limited =
          std::move(command).with_timeout(Duration{secs, static_cast<std::uint32_t>(nanos)});
      if (!limited) return raise_call_option(limited.error());
      command = std::move(*limited);
    }
    if (args[2] != Py_None) {
      Py_buffer view;
      if (PyObject_GetBuffer(args[2], &view, PyBUF_SIMPLE) != 0) return nullptr;
      std::string bytes(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
      PyBuffer_Release(&view);
      auto fed = std::move(command).with_stdin(std::move(bytes));
      if (!fed) return raise_call_option(fed.error());
      command = std::move(*fed);
    }
    return box(types.prepared_command, std::move(command));
  });
}

}  // namespace corvane::py::native
