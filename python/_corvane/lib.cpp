// The _corvane extension module: single-phase initialisation, registration of
// the nine classes in their fixed order, and the once-per-process rule.
#include <exception>
#include <new>

#include "corvane/event_loop.hpp"
#include "errors.hpp"
#include "pyutil.hpp"

namespace corvane::py {
namespace {

constexpr const char* kModuleDoc = R"(Process execution guard for agentic systems.

corvane provides a safe wrapper around process spawning, preventing
command injection via argv-style execution with strict validation.

Example:
    >>> from corvane import ProcPolicyBuilder, ProcRequest, ArgRules, InjectDoubleDash
    >>>
    >>> # Build a policy
    >>> policy = (ProcPolicyBuilder()
    ...     .allow_bin("/usr/bin/grep")
    ...     .arg_rules("/usr/bin/grep", ArgRules()
    ...         .allowed_flags(["-n", "-i", "-l"])
    ...         .max_flags(3)
    ...         .max_positionals(10)
    ...         .inject_double_dash(InjectDoubleDash.AfterFlags))
    ...     .timeout_secs(30)
    ...     .build())
    >>>
    >>> # Create and execute a request
    >>> request = ProcRequest("/usr/bin/grep", ["-n", "pattern", "file.txt"])
    >>> prepared = policy.prepare(request)
    >>> output = prepared.spawn_sync()
    >>> print(output.stdout_string()))";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_corvane",
    kModuleDoc,
    0,  // no per-module state; a non-negative size makes re-imports call us again
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module of the one successful initialisation, kept for the process's life.
PyObject* g_module = nullptr;

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};

constexpr ClassEntry kClasses[] = {
    {"RiskyBinPolicy", risky_bin_policy_type},  {"InjectDoubleDash", inject_double_dash_type},
    {"RiskCategory", risk_category_type},       {"ArgRules", arg_rules_type},
    {"ProcRequest", proc_request_type},         {"Output", output_type},
    {"PreparedCommand", prepared_command_type}, {"ProcPolicyBuilder", proc_policy_builder_type},
    {"ProcPolicy", proc_policy_type},
};

// Replaces the pending exception by RuntimeError("An error occurred while
// initializing class <name>") whose cause is the original.
void wrap_class_error(const char* name) noexcept {
  PyObject* cause = take_exception();
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
  if (cause == nullptr) return;
  PyObject* error = take_exception();
  PyException_SetCause(error, cause);  // steals the reference
  restore_exception(error);
}

PyTypeObject* create_class(const ClassEntry& entry) noexcept {
  PyTypeObject* type = nullptr;
  try {
    type = entry.type();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic({});
  }
  if (type == nullptr) wrap_class_error(entry.name);
  return type;
}

// Sets the class as a module attribute and appends its name to __all__.
bool register_class(PyObject* module, const ClassEntry& entry) noexcept {
  PyTypeObject* type = create_class(entry);
  if (type == nullptr) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  if (!PyList_Check(all)) {
    Py_DECREF(all);
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  PyObject* name = PyUnicode_FromString(entry.name);
  const bool ok = name != nullptr && PyList_Append(all, name) == 0 &&
                  PyObject_SetAttr(module, name, reinterpret_cast<PyObject*>(type)) == 0;
  Py_XDECREF(name);
  Py_DECREF(all);
  return ok;
}

PyObject* init_module() noexcept {
  if (g_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "_corvane may only be initialized once per interpreter process");
    return nullptr;
  }
  // Internal faults of the core unwind to our method boundary, where guard()
  // turns them into PanicException instead of ending the interpreter.
  corvane::set_fault_handler(&corvane::throw_internal_fault);
  PyObject* module = PyModule_Create2(&g_module_def, 1013);
  if (module == nullptr) return nullptr;
  for (const ClassEntry& entry : kClasses) {
    if (!register_class(module, entry)) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  g_module = module;
  Py_INCREF(module);
  return module;
}

}  // namespace
}  // namespace corvane::py

PyMODINIT_FUNC PyInit__corvane() {
  return corvane::py::init_module();
}
