// Pieces shared by the class files: the method signature the fast-call
// methods use, the escaped list form of representations, the one-argument
// method pattern, and ProcPolicy.prepare (defined beside ProcRequest).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "corvane/error.hpp"
#include "errors.hpp"
#include "pyutil.hpp"

namespace corvane::py {

/// A METH_FASTCALL | METH_KEYWORDS method.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

/// "[" + elements in double-quoted escaped form joined by ", " + "]".
[[nodiscard]] inline std::string escaped_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ", ";
    out += escape_quoted(items[i]);
  }
  out += ']';
  return out;
}

/// A new instance of `self`'s type holding `change(copy of self's value)`.
template <class T, class Change>
[[nodiscard]] PyObject* derive(PyObject* self, Change&& change) {
  T copy = unbox<T>(self);
  return box(Py_TYPE(self), change(std::move(copy)));
}

/// A method of one parameter: parse, convert with `convert` into a `Arg`,
/// then return derive<T>(self, apply(value, arg)).
template <class T, class Arg, class Convert, class Apply>
[[nodiscard]] PyObject* one_arg_method(const Signature& sig, PyObject* self, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames, Convert convert,
                                       Apply apply) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* given[1];
    if (!parse_fastcall(sig, args, nargs, kwnames, given)) return nullptr;
    Arg arg{};
    if (!convert_arg(sig.params[0], given[0], convert, arg)) return nullptr;
    return derive<T>(self, [&](T value) { return apply(std::move(value), std::move(arg)); });
  });
}

/// ProcPolicy.prepare(request).
PyObject* policy_prepare(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;

}  // namespace corvane::py
