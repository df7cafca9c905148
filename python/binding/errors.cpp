// Error mapping and the internal-fault exception.
#include "errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

// Each extension module that compiles this file raises its own panic type; the
// build names it after the module.
#ifndef CORVANE_PANIC_TYPE_NAME
#define CORVANE_PANIC_TYPE_NAME "_corvane.PanicException"
#endif

namespace corvane::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when corvane meets an internal fault (a broken invariant).\n\n"
    "Derives from BaseException so that `except Exception` does not swallow it.";
constexpr std::string_view kGenericFault = "internal fault in corvane";

// Created on first use and kept for the life of the process.
PyObject* g_panic_type = nullptr;

[[noreturn]] void abort_unreportable() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

PyObject* raise_with_message(PyObject* type, const std::string& message) noexcept {
  PyObject* text = to_py_str(message);
  if (text == nullptr) return nullptr;
  // A str value becomes the exception's single argument.
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace

PyObject* raise_violation(const Violation& violation) noexcept {
  try {
    return raise_with_message(PyExc_ValueError, to_string(violation));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_panic("failed to render a violation");
  }
}

PyObject* raise_exec_error(const ExecError& error) noexcept {
  try {
    return raise_with_message(PyExc_RuntimeError, to_string(error));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_panic("failed to render an execution error");
  }
}

PyObject* raise_panic(std::string_view message) noexcept {
  if (message.empty()) message = kGenericFault;
  if (g_panic_type == nullptr) {
    g_panic_type =
        PyErr_NewExceptionWithDoc(CORVANE_PANIC_TYPE_NAME, kPanicDoc, PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) abort_unreportable();
  }
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) abort_unreportable();
  PyErr_SetObject(g_panic_type, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

void restore_exception(PyObject* exc) noexcept {
  if (exc == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

}  // namespace corvane::py
