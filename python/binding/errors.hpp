// How failures reach Python: violations as ValueError, execution errors as
// RuntimeError, and C++ faults as PanicException or MemoryError, so that no
// C++ exception ever unwinds into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string_view>

#include "corvane/error.hpp"
#include "pyutil.hpp"

namespace corvane::py {

/// Raises ValueError with the violation's message as its only argument; returns nullptr.
PyObject* raise_violation(const Violation& violation) noexcept;

/// Raises RuntimeError with the execution error's message as its only argument; returns nullptr.
PyObject* raise_exec_error(const ExecError& error) noexcept;

/// Raises PanicException(message); aborts the process if even that fails. Returns nullptr.
PyObject* raise_panic(std::string_view message) noexcept;

/// Clears the pending exception and returns it normalised (new reference), or nullptr.
[[nodiscard]] PyObject* take_exception() noexcept;

/// Makes `exc` (reference stolen) the pending exception.
void restore_exception(PyObject* exc) noexcept;

/// Runs `body`; a C++ exception escaping it becomes MemoryError (std::bad_alloc)
/// or PanicException (anything else) and the call returns nullptr.
template <class F>
[[nodiscard]] PyObject* guard(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic({});
  }
}

}  // namespace corvane::py
