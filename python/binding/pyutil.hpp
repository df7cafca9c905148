// Shared plumbing of the extension module: the Python header, the box that
// holds one C++ value per instance, and the typed accessors of the nine types.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "layouts.hpp"

namespace corvane::py {

/// The value held by an instance of a type whose instances are Boxed<T>.
template <class T>
[[nodiscard]] T& unbox(PyObject* self) noexcept {
  return reinterpret_cast<Boxed<T>*>(self)->value;
}

/// A new instance of `type` holding `value`, or nullptr with an exception set.
/// The value is constructed in place before the object is handed out, so no
/// instance can ever be seen without one.
template <class T>
[[nodiscard]] PyObject* box(PyTypeObject* type, T&& value) {
  using V = std::remove_cvref_t<T>;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  try {
    new (&reinterpret_cast<Boxed<V>*>(self)->value) V(std::forward<T>(value));
  } catch (...) {
    // The value was never built: free the memory without running its destructor.
    type->tp_free(self);
    Py_DECREF(type);
    throw;
  }
  return self;
}

/// tp_dealloc of a Boxed<T> heap type.
template <class T>
void dealloc_boxed(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Boxed<T>*>(self)->value.~T();
  type->tp_free(self);
  // Instances of heap types own a reference to their type.
  Py_DECREF(type);
}

/// A new str from UTF-8 text; invalid sequences (never expected) become U+FFFD.
[[nodiscard]] inline PyObject* to_py_str(std::string_view text) noexcept {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

/// tp_new of the classes that Python may not instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

/// The heap type `name` ("builtins.X") with `slots`, created on the first call
/// and cached in `cache`; nullptr with an exception set when creation fails.
PyTypeObject* make_type(const char* name, std::size_t basicsize,
                        std::initializer_list<PyType_Slot> slots, PyTypeObject*& cache);

/// Flags shared by all nine types: no subclassing, no dict, no weakrefs, immutable.
inline constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                            | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;

/// A function pointer in the form a PyType_Slot or PyMethodDef stores it.
template <class F>
[[nodiscard]] void* slot(F* fn) noexcept {
  return reinterpret_cast<void*>(fn);
}
template <class F>
[[nodiscard]] PyCFunction method(F* fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Type objects: created once per process on first request; nullptr with an
// exception set when creation fails (a later request tries again).
PyTypeObject* risky_bin_policy_type();
PyTypeObject* inject_double_dash_type();
PyTypeObject* risk_category_type();
PyTypeObject* arg_rules_type();
PyTypeObject* proc_request_type();
PyTypeObject* output_type();
PyTypeObject* prepared_command_type();
PyTypeObject* proc_policy_builder_type();
PyTypeObject* proc_policy_type();

}  // namespace corvane::py
