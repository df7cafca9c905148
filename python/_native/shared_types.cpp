// Taking the shared types from `_corvane`, with the checks that keep a stale or
// foreign `_corvane` from ever being read with the wrong layout.
#include "shared_types.hpp"

#include <cstring>

#include "args.hpp"
#include "corvane/arg_rules.hpp"
#include "corvane/policy.hpp"
#include "corvane/prepared.hpp"
#include "corvane/request.hpp"

namespace corvane::py::native {
namespace {

SharedTypes g_types;

// Borrows `_corvane.<name>` into `out` after checking that it is the heap type
// "builtins.<name>" whose instances are exactly `basicsize` bytes.
bool take_type(PyObject* module, const char* name, std::size_t basicsize, PyTypeObject*& out) {
  PyObject* attr = PyObject_GetAttrString(module, name);
  if (attr == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "corvane._native: _corvane has no class %s", name);
    return false;
  }
  bool ok = PyType_Check(attr);
  if (ok) {
    auto* type = reinterpret_cast<PyTypeObject*>(attr);
    ok = std::strncmp(type->tp_name, "builtins.", 9) == 0 &&
         std::strcmp(type->tp_name + 9, name) == 0 &&
         PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
         !PyType_HasFeature(type, Py_TPFLAGS_BASETYPE) &&
         type->tp_basicsize == static_cast<Py_ssize_t>(basicsize) && type->tp_itemsize == 0;
  }
  if (!ok) {
    Py_DECREF(attr);
    PyErr_Format(PyExc_ImportError,
                 "corvane._native: _corvane.%s does not match the layout this module was built "
                 "for; reinstall corvane so that both modules come from the same build",
                 name);
    return false;
  }
  // The module keeps its classes for the life of the process; holding our own
  // reference as well makes that independent of what anyone does to it.
  out = reinterpret_cast<PyTypeObject*>(attr);
  return true;
}

}  // namespace

bool import_shared_types() noexcept {
  PyObject* module = PyImport_ImportModule("_corvane");
  if (module == nullptr) return false;
  SharedTypes types;
  const bool ok =
      take_type(module, "ArgRules", sizeof(Boxed<ArgRules>), types.arg_rules) &&
      take_type(module, "ProcRequest", sizeof(Boxed<ProcRequest>), types.proc_request) &&
      take_type(module, "Output", sizeof(Boxed<OutputRecord>), types.output) &&
      take_type(module, "PreparedCommand", sizeof(Boxed<PreparedCommand>),
                types.prepared_command) &&
      take_type(module, "ProcPolicy", sizeof(Boxed<ProcPolicy>), types.proc_policy);
  Py_DECREF(module);
  if (!ok) {
    Py_XDECREF(types.arg_rules);
    Py_XDECREF(types.proc_request);
    Py_XDECREF(types.output);
    Py_XDECREF(types.prepared_command);
    Py_XDECREF(types.proc_policy);
    return false;
  }
  g_types = types;
  return true;
}

const SharedTypes& shared_types() noexcept {
  return g_types;
}

bool expect_instance(PyObject* obj, PyTypeObject* type, const char* param,
                     const char* target) noexcept {
  if (check_instance(obj, type, target)) return true;
  return prefix_argument_error(param);
}

}  // namespace corvane::py::native
