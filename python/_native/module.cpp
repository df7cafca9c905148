// corvane._native: the package's second extension module. It runs `_corvane`'s
// PreparedCommand objects without holding the interpreter lock, drives the
// core's event loop for asyncio, and builds the package's typed errors. It owns
// no class of the nine: it takes them from `_corvane` at import.
#include "blocking_run.hpp"
#include "call_options.hpp"
#include "corvane/event_loop.hpp"
#include "guard_core.hpp"
#include "policy_file_binding.hpp"
#include "pyutil.hpp"
#include "reactor.hpp"
#include "run_result.hpp"
#include "sandbox_binding.hpp"
#include "shared_types.hpp"
#include "typed_errors.hpp"

namespace corvane::py::native {
namespace {

PyMethodDef g_functions[] = {
    {"run", method(&run), METH_FASTCALL,
     "run(prepared, kill_on_output_limit, sandbox=None, on_chunk=None)\n--\n\n"
     "Run a PreparedCommand with the interpreter lock released; return its Output. With "
     "on_chunk, on_chunk(is_stdout, data) gets the output as it is read, with the lock "
     "held, instead of the Output; an exception from it abandons the run and propagates."},
    {"exit_signal", method(&exit_signal), METH_O,
     "exit_signal(output)\n--\n\nThe signal that ended the run of an Output, or None when it "
     "exited."},
    {"call_options", method(&call_options), METH_FASTCALL,
     "call_options(prepared, timeout, stdin)\n--\n\n"
     "The command with one call's shorter time limit ((secs, nanos) or None) and stdin "
     "(bytes-like or None); corvane.Refused above the policy's limits."},
    {"load_policy_file", method(&load_policy_file), METH_FASTCALL,
     "load_policy_file(path, vars, pack_dirs=None)\n--\n\n(GuardCore, description, "
     "on_output_limit, SandboxHandle or None, audit or None) of the policy in a TOML file, its "
     "packs found in pack_dirs (None: the installed ones); corvane.PolicyError for a mistake in "
     "it."},
    {"load_policy_mapping", method(&load_policy_mapping), METH_FASTCALL,
     "load_policy_mapping(data, base_dir, vars, pack_dirs=None)\n--\n\nThe same for a mapping "
     "shaped like the file, read by the same reader."},
    {"pack_names", method(&pack_names), METH_O,
     "pack_names(dirs)\n--\n\nThe names of the packs in the directories, sorted."},
    {"policy_file_keys", method(&policy_file_keys), METH_NOARGS,
     "policy_file_keys()\n--\n\nThe keys each table of a policy file takes, as the reader "
     "walks them."},
    {"sandbox_build", method(&sandbox_build), METH_FASTCALL,
     "sandbox_build(workspace, read, write, exec, network, keep_background, best_effort, "
     "limits)\n--\n\nBuild a core Sandbox (see corvane.Sandbox)."},
    {"sandbox_available", method(&sandbox_available), METH_NOARGS,
     "sandbox_available()\n--\n\nWhat this machine offers a sandbox."},
    {"sandbox_describe", method(&sandbox_describe), METH_O,
     "sandbox_describe(handle)\n--\n\n(containment, skipped, limits, read, write, exec, network, "
     "keep_background, best_effort) of a built sandbox."},
    {},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "corvane._native",
    "Native half of the corvane package: lock-free and asyncio-driven runs.",
    -1,  // process-wide state (the shared types), so one initialisation per process
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() noexcept {
  // This module links its own copy of the core: its faults must unwind to our
  // method boundaries just as `_corvane`'s do.
  corvane::set_fault_handler(&corvane::throw_internal_fault);
  if (!import_shared_types() || !import_error_types()) return nullptr;
  PyTypeObject* reactor = reactor_type();
  if (reactor == nullptr || guard_core_type() == nullptr) return nullptr;
  PyObject* module = PyModule_Create(&g_module_def);
  if (module == nullptr) return nullptr;
  Py_INCREF(reactor);
  if (PyModule_AddObject(module, "Reactor", reinterpret_cast<PyObject*>(reactor)) < 0) {
    Py_DECREF(reactor);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace
}  // namespace corvane::py::native

PyMODINIT_FUNC PyInit__native() {
  return corvane::py::native::init_module();
}
