// A small owner of one strong Python reference, for the native module's code
// paths that build several objects and must release them on every exit.
#pragma once

#include <utility>

#include "pyutil.hpp"

namespace corvane::py::native {

/// Owns one strong reference (or none); releases it on destruction.
class Ref {
 public:
  Ref() noexcept = default;
  /// Takes ownership of a new reference (nullptr allowed).
  explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  /// A new strong reference to a borrowed object.
  [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  /// Gives up ownership and returns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  [[nodiscard]] explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace corvane::py::native
