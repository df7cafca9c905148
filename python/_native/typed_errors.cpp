// Construction of corvane.errors' exceptions from the core's error values. The
// message is the core's own text (the same `_corvane` raises); the attributes
// only expose the fields the core already decided, nothing is re-derived here.
#include "typed_errors.hpp"

#include <string>
#include <type_traits>
#include <variant>

#include "corvane/rules.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace corvane::py::native {
namespace {

struct ErrorTypes {
  PyObject* refused = nullptr;
  PyObject* execution_error = nullptr;
  PyObject* timed_out = nullptr;
  PyObject* output_limit_exceeded = nullptr;
  PyObject* spawn_failed = nullptr;
};
ErrorTypes g_errors;

double seconds(Duration d) noexcept {
  return static_cast<double>(d.secs) + static_cast<double>(d.nanos) / 1e9;
}

PyObject* bytes_of(std::string_view data) noexcept {
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

// Sets dict[key] = value, consuming the new reference `value`.
bool put(PyObject* dict, const char* key, PyObject* value) noexcept {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}
bool put(PyObject* dict, const char* key, std::string_view text) noexcept {
  return put(dict, key, to_py_str(text));
}
bool put(PyObject* dict, const char* key, std::uint64_t number) noexcept {
  return put(dict, key, PyLong_FromUnsignedLongLong(number));
}

// cls(message, **kwargs), or nullptr with an exception set.
PyObject* construct(PyObject* cls, const std::string& message, PyObject* kwargs) noexcept {
  Ref text(to_py_str(message));
  if (!text) return nullptr;
  Ref args(PyTuple_Pack(1, text.get()));
  if (!args) return nullptr;
  return PyObject_Call(cls, args.get(), kwargs);
}

bool take_class(PyObject* module, const char* name, PyObject*& out) {
  out = PyObject_GetAttrString(module, name);
  if (out == nullptr) return false;
  if (!PyType_Check(out) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(out),
                                              reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    PyErr_Format(PyExc_ImportError, "corvane._native: corvane.errors.%s is not an exception class",
                 name);
    return false;
  }
  return true;
}

}  // namespace

bool import_error_types() noexcept {
  Ref module(PyImport_ImportModule("corvane.errors"));
  if (!module) return false;
  return take_class(module.get(), "Refused", g_errors.refused) &&
         take_class(module.get(), "ExecutionError", g_errors.execution_error) &&
         take_class(module.get(), "TimedOut", g_errors.timed_out) &&
         take_class(module.get(), "OutputLimitExceeded", g_errors.output_limit_exceeded) &&
         take_class(module.get(), "SpawnFailed", g_errors.spawn_failed);
}

PyObject* make_execution_error(const ExecError& error, std::string_view stdout_bytes,
                               std::string_view stderr_bytes) noexcept {
  return guard([&]() -> PyObject* {
    Ref kwargs(PyDict_New());
    if (!kwargs || !put(kwargs.get(), "stdout", bytes_of(stdout_bytes)) ||
        !put(kwargs.get(), "stderr", bytes_of(stderr_bytes))) {
      return nullptr;
    }
    PyObject* cls = g_errors.execution_error;
    bool ok = true;
    if (const auto* timeout = std::get_if<exec_error::Timeout>(&error)) {
      cls = g_errors.timed_out;
      ok = put(kwargs.get(), "elapsed", PyFloat_FromDouble(seconds(timeout->elapsed))) &&
           put(kwargs.get(), "limit", PyFloat_FromDouble(seconds(timeout->limit)));
    } else if (const auto* out = std::get_if<exec_error::StdoutLimitExceeded>(&error)) {
      cls = g_errors.output_limit_exceeded;
      ok = put(kwargs.get(), "stream", "stdout") && put(kwargs.get(), "limit", out->limit);
    } else if (const auto* err = std::get_if<exec_error::StderrLimitExceeded>(&error)) {
      cls = g_errors.output_limit_exceeded;
      ok = put(kwargs.get(), "stream", "stderr") && put(kwargs.get(), "limit", err->limit);
    } else if (std::holds_alternative<exec_error::SpawnFailed>(error)) {
      cls = g_errors.spawn_failed;
    }
    if (!ok) return nullptr;
    return construct(cls, to_string(error), kwargs.get());
  });
}

PyObject* raise_execution_error(const ExecError& error, std::string_view stdout_bytes,
                                std::string_view stderr_bytes) noexcept {
  PyObject* exc = make_execution_error(error, stdout_bytes, stderr_bytes);
  if (exc != nullptr) restore_exception(exc);
  return nullptr;
}

PyObject* refusal_fields(const Refusal& refusal) noexcept {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : refusal.fields) {
    PyObject* item = nullptr;
    if (const auto* text = std::get_if<std::string>(&value)) {
      item = to_py_str(*text);
    } else if (const auto* number = std::get_if<std::uint64_t>(&value)) {
      item = PyLong_FromUnsignedLongLong(*number);
    } else {
      Py_INCREF(Py_None);
      item = Py_None;
    }
    if (!put(dict.get(), name.c_str(), item)) return nullptr;
  }
  return dict.release();
}

PyObject* raise_refused(const Refusal& refusal) noexcept {
  return guard([&]() -> PyObject* {
    Ref kwargs(PyDict_New());
    if (!kwargs || !put(kwargs.get(), "kind", std::string_view(refusal.kind)) ||
        !put(kwargs.get(), "fields", refusal_fields(refusal))) {
      return nullptr;
    }
    if (refusal.index && !put(kwargs.get(), "index", PyLong_FromSize_t(*refusal.index)))
      return nullptr;
    PyObject* exc = construct(g_errors.refused, refusal.message, kwargs.get());
    if (exc != nullptr) restore_exception(exc);
    return nullptr;
  });
}

PyObject* raise_refused(const Violation& violation, std::optional<std::size_t> index) noexcept {
  return guard([&]() -> PyObject* { return raise_refused(to_refusal(violation, index)); });
}

}  // namespace corvane::py::native
