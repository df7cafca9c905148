// The argument parser and the conversions. Check order: positional count, then
// keywords, then missing parameters; conversion happens afterwards, in
// parameter order, in the methods themselves.
#include "args.hpp"

#include <algorithm>

#include "errors.hpp"

namespace corvane::py {
namespace {

bool raise_too_many(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  const auto count = static_cast<Py_ssize_t>(sig.params.size());
  if (sig.required == sig.params.size()) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given",
                 sig.function, count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.function,
                 static_cast<Py_ssize_t>(sig.required), count, given, verb);
  }
  return false;
}

// Index of the parameter named `key`, -1 when none; -2 when `key` is not a str.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return -2;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, std::span<PyObject*> out) {
  const Py_ssize_t index = find_param(sig, key);
  if (index == -2) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
    return false;
  }
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function,
                 key);
    return false;
  }
  auto& slot_ref = out[static_cast<std::size_t>(index)];
  if (slot_ref != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                 sig.params[static_cast<std::size_t>(index)]);
    return false;
  }
  slot_ref = value;
  return true;
}

bool check_missing(const Signature& sig, std::span<PyObject*> out) {
  const char* missing[2] = {nullptr, nullptr};
  std::size_t count = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    if (count < 2) missing[count] = sig.params[i];
    ++count;
  }
  if (count == 0) return true;
  if (count == 1) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", sig.function,
                 missing[0]);
  } else {
    // No method has more than two parameters, so two names cover every case.
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional arguments: '%s' and '%s'",
                 sig.function, static_cast<Py_ssize_t>(count), missing[0], missing[1]);
  }
  return false;
}

PyObject* type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  return PyType_GetQualName(type);
#else
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

}  // namespace

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (static_cast<std::size_t>(nargs) > sig.params.size()) return raise_too_many(sig, nargs);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > sig.params.size()) return raise_too_many(sig, nargs);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = i < static_cast<std::size_t>(nargs)
                 ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i))
                 : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

void raise_conversion_error(PyObject* obj, const char* target) noexcept {
  PyObject* name = type_qualname(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(obj)->tp_name,
                 target);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", name, target);
  Py_DECREF(name);
}

bool prefix_argument_error(const char* param) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* original = take_exception();
  if (original == nullptr) return false;
  PyObject* text = PyObject_Str(original);
  if (text == nullptr) {
    Py_DECREF(original);
    return false;
  }
  PyObject* message = PyUnicode_FromFormat("argument '%s': %U", param, text);
  Py_DECREF(text);
  PyObject* wrapped = message == nullptr ? nullptr : PyObject_CallOneArg(PyExc_TypeError, message);
  Py_XDECREF(message);
  if (wrapped == nullptr) {
    Py_DECREF(original);
    return false;
  }
  if (PyObject* cause = PyException_GetCause(original); cause != nullptr) {
    PyException_SetCause(wrapped, cause);  // steals the reference
  }
  Py_DECREF(original);
  restore_exception(wrapped);
  return false;
}

bool to_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_conversion_error(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;  // lone surrogate: CPython's UnicodeEncodeError
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool to_text_list(PyObject* obj, std::vector<std::string>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_conversion_error(obj, "Sequence");
    return false;
  }
  // The length is only a capacity hint; a sequence may fail to report it, or
  // report more than it yields, so the reservation is also capped.
  std::vector<std::string> items;
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    items.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), 4096));
  }
  PyObject* iter = PyObject_GetIter(obj);
  if (iter == nullptr) return false;
  bool ok = true;
  while (PyObject* item = PyIter_Next(iter)) {
    std::string text;
    ok = to_text(item, text);
    Py_DECREF(item);
    if (!ok) break;
    items.push_back(std::move(text));
  }
  Py_DECREF(iter);
  if (!ok || PyErr_Occurred() != nullptr) return false;
  out = std::move(items);
  return true;
}

bool to_text_map(PyObject* obj, EnvMap& out) {
  if (!PyDict_Check(obj)) {
    raise_conversion_error(obj, "PyDict");
    return false;
  }
  EnvMap map;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // to_text runs no Python code, so the dict cannot change under PyDict_Next.
  while (PyDict_Next(obj, &pos, &key, &value)) {
    std::string k;
    std::string v;
    if (!to_text(key, k) || !to_text(value, v)) return false;
    map.insert_or_assign(std::move(k), std::move(v));
  }
  out = std::move(map);
  return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  out = value;
  return true;
}

bool check_instance(PyObject* obj, PyTypeObject* type, const char* target) {
  if (type != nullptr && Py_IS_TYPE(obj, type)) return true;
  if (type == nullptr) PyErr_Clear();
  raise_conversion_error(obj, target);
  return false;
}

}  // namespace corvane::py
