// The policy's own decision (ProcPolicy::prepare in the core), reported as
// corvane.Refused with the violation's kind and fields instead of the plain
// ValueError of `_corvane`; the message is the same.
#include "checked_prepare.hpp"

#include "errors.hpp"
#include "policy.hpp"
#include "shared_types.hpp"
#include "typed_errors.hpp"

namespace corvane::py::native {

PyObject* prepare(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "prepare() takes 2 positional arguments");
      return nullptr;
    }
    const SharedTypes& types = shared_types();
    if (!expect_instance(args[0], types.proc_policy, "policy", "ProcPolicy") ||
        !expect_instance(args[1], types.proc_request, "request", "ProcRequest")) {
      return nullptr;
    }
    auto prepared = unbox<ProcPolicy>(args[0]).prepare(unbox<ProcRequest>(args[1]).clone());
    if (!prepared) return raise_refused(prepared.error());
    return box(types.prepared_command, std::move(*prepared));
  });
}

}  // namespace corvane::py::native
