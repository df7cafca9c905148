// GuardCore: a policy the core's policy-file reader built; check() and explain()
// hand the core's answers back as _corvane's PreparedCommand, corvane.Refused,
// or a plain dict.
#include "guard_core.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "corvane/policy.hpp"
#include "errors.hpp"
#include "policy_file_binding.hpp"
#include "py_ref.hpp"
#include "sandbox_binding.hpp"
#include "shared_types.hpp"
#include "typed_errors.hpp"

namespace corvane::py::native {
namespace {

PyObject* words_tuple(const std::vector<std::string>& words) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(words.size()));
  if (t == nullptr) return nullptr;
  for (std::size_t i = 0; i < words.size(); ++i) {
    PyObject* w = to_py_str(words[i]);
    if (w == nullptr) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), w);
  }
  return t;
}

// ---------------------------------------------------------------- answers

PyObject* index_value(const std::optional<std::size_t>& index) {
  if (index) return PyLong_FromSize_t(*index);
  Py_RETURN_NONE;
}

const ProcPolicy& policy_of(PyObject* self) {
  return unbox<ProcPolicy>(self);
}

bool expect_request(PyObject* arg) {
  return expect_instance(arg, shared_types().proc_request, "request", "ProcRequest");
}

PyObject* guard_check(PyObject* self, PyObject* request) noexcept {
  return guard([&]() -> PyObject* {
    if (!expect_request(request)) return nullptr;
    auto prepared = policy_of(self).check(unbox<ProcRequest>(request).clone());
    if (!prepared) return raise_refused(prepared.error());
    return box(shared_types().prepared_command, std::move(*prepared));
  });
}

// dict[key] = value, consuming the new reference `value` (nullptr: the error is already set).
bool set(PyObject* dict, const char* key, PyObject* value) {
  Ref v(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* none() {
  Py_RETURN_NONE;
}

PyObject* guard_explain(PyObject* self, PyObject* request) noexcept {
  return guard([&]() -> PyObject* {
    if (!expect_request(request)) return nullptr;
    Explanation ex = policy_of(self).explain(unbox<ProcRequest>(request).clone());
    Ref out(PyDict_New());
    Ref roles(PyList_New(0));
    if (!out || !roles) return nullptr;
    for (TokenRole role : ex.trace.roles) {
      Ref name(to_py_str(display_name(role)));
      if (!name || PyList_Append(roles.get(), name.get()) < 0) return nullptr;
    }
    PyObject* d = out.get();
    if (!set(d, "stage", to_py_str(display_name(ex.stage))) ||
        !set(d, "rules", ex.rules.empty() ? none() : to_py_str(ex.rules)) ||
        !set(d, "canonical", ex.canonical ? to_py_str(display(*ex.canonical)) : none()) ||
        !set(d, "subcommand", ex.trace.subcommand ? words_tuple(*ex.trace.subcommand) : none()) ||
        !set(d, "roles", roles.release())) {
      return nullptr;
    }
    if (ex.result) {
      // PreparedCommand shows no environment to Python; explain() lists its names.
      Ref names(PyList_New(0));
      if (!names) return nullptr;
      for (const auto& entry : ex.result->env()) {
        Ref name(to_py_str(entry.first));
        if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
      }
      const bool renamed = !path_equal(ex.result->argv0(), ex.result->bin());
      if (PyList_Sort(names.get()) < 0 || !set(d, "env_names", names.release()) ||
          !set(d, "argv0", renamed ? to_py_str(display(ex.result->argv0())) : none()) ||
          !set(d, "sandbox",
               ex.result->sandbox() ? sandbox_description(*ex.result->sandbox(), std::nullopt)
                                    : none()) ||
          !set(d, "prepared", box(shared_types().prepared_command, std::move(*ex.result))) ||
          !set(d, "refusal", none())) {
        return nullptr;
      }
      return out.release();
    }
    const Refusal& r = ex.result.error();
    Ref refusal(PyDict_New());
    if (!refusal || !set(refusal.get(), "message", to_py_str(r.message)) ||
        !set(refusal.get(), "kind", to_py_str(r.kind)) ||
        !set(refusal.get(), "index", index_value(r.index)) ||
        !set(refusal.get(), "fields", refusal_fields(r)) || !set(d, "prepared", none()) ||
        !set(d, "refusal", refusal.release())) {
      return nullptr;
    }
    return out.release();
  });
}

PyMethodDef guard_methods[] = {
    {"check", method(&guard_check), METH_O,
     "check($self, request, /)\n--\n\nThe PreparedCommand, or corvane.Refused with the rule's "
     "kind, argv index and message."},
    {"explain", method(&guard_explain), METH_O,
     "explain($self, request, /)\n--\n\nWhat check() decides and how: stage, rules, "
     "subcommand, token roles, and the prepared command or the refusal."},
    {},
};

PyTypeObject* g_guard_core = nullptr;

}  // namespace

PyTypeObject* guard_core_type() {
  return make_type(
      "corvane._native.GuardCore", sizeof(Boxed<ProcPolicy>),
      {
          {Py_tp_doc, const_cast<char*>("A policy built with the extended rule model.")},
          {Py_tp_new, slot(&no_constructor)},
          {Py_tp_dealloc, slot(&dealloc_boxed<ProcPolicy>)},
          {Py_tp_methods, guard_methods},
      },
      g_guard_core);
}

PyObject* make_guard_core(ProcPolicy policy) {
  PyTypeObject* type = guard_core_type();
  if (type == nullptr) return nullptr;
  return box(type, std::move(policy));
}

}  // namespace corvane::py::native
