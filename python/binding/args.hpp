// Argument parsing and conversion shared by every method and constructor: one
// parser for fast calls and for (tuple, dict) calls, the conversions from Python
// objects to core values, and the "argument 'p': " wrapping of their TypeErrors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "corvane/request.hpp"
#include "pyutil.hpp"

namespace corvane::py {

/// A parameter list: the name used in messages ("Class.method"), the parameter
/// names in order, and how many leading parameters are required.
struct Signature {
  const char* function;
  std::span<const char* const> params;
  std::size_t required;
};

/// Matches a fast call's arguments to `sig`; `out` receives borrowed references
/// (nullptr for an omitted optional parameter). False with TypeError set on a
/// count or keyword error.
[[nodiscard]] bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames, std::span<PyObject*> out);

/// The same for an argument tuple and an optional keyword dict (constructors).
[[nodiscard]] bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs,
                               std::span<PyObject*> out);

// Conversions: each returns false with the bare (unprefixed) error set.

/// A str (or subclass) as UTF-8.
[[nodiscard]] bool to_text(PyObject* obj, std::string& out);
/// A non-str sequence of str, in iteration order.
[[nodiscard]] bool to_text_list(PyObject* obj, std::vector<std::string>& out);
/// A dict (or subclass) of str to str.
[[nodiscard]] bool to_text_map(PyObject* obj, EnvMap& out);
/// An int or an object with __index__, in 0..2**64-1.
[[nodiscard]] bool to_u64(PyObject* obj, std::uint64_t& out);
/// An instance of `type`; the failure names `target`.
[[nodiscard]] bool check_instance(PyObject* obj, PyTypeObject* type, const char* target);

/// Sets TypeError "'<qualname of obj's type>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* obj, const char* target) noexcept;

/// After a failed conversion of parameter `param`: a pending TypeError is
/// replaced by one prefixed "argument '<param>': " that keeps its cause; any
/// other exception is left as it is. Always returns false.
bool prefix_argument_error(const char* param) noexcept;

/// Runs `convert(obj, out)` and prefixes its TypeError with the parameter name.
template <class Out, class Convert>
[[nodiscard]] bool convert_arg(const char* param, PyObject* obj, Convert convert, Out& out) {
  if (convert(obj, out)) return true;
  return prefix_argument_error(param);
}

}  // namespace corvane::py
