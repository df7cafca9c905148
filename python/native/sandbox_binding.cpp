// corvane._native's half of corvane.Sandbox. The Python class checks the types of
// its options and hands plain values here; every decision (paths, features,
// presets, containment) is the core's.
#include "sandbox_binding.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "py_ref.hpp"

namespace corvane::py::native {
namespace {

PyTypeObject* g_sandbox_handle = nullptr;

bool paths_from(PyObject* seq, const char* name, std::vector<Path>& out) {
  if (!PyTuple_Check(seq)) {
    PyErr_Format(PyExc_TypeError, "%s: expected a tuple of bytes", name);
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
    PyObject* item = PyTuple_GET_ITEM(seq, i);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(item) || PyBytes_AsStringAndSize(item, &data, &size) < 0) {
      PyErr_Format(PyExc_TypeError, "%s: expected a tuple of bytes", name);
      return false;
    }
    out.emplace_back(std::string(data, static_cast<std::size_t>(size)));
  }
  return true;
}

// One limit: Ellipsis keeps the core's default, None the inherited limit.
bool limit_from(PyObject* item, std::optional<std::uint64_t>& limit) {
  if (item == Py_Ellipsis) return true;
  if (item == Py_None) {
    limit.reset();
    return true;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(item);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  limit = value;
  return true;
}

PyObject* paths_to_tuple(const std::vector<Path>& paths) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(paths.size()));
  if (tuple == nullptr) return nullptr;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string& bytes = paths[i].native();
    PyObject* item = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (item == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item);
  }
  return tuple;
}

PyObject* optional_int(const std::optional<std::uint64_t>& value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*value);
}

}  // namespace

PyTypeObject* sandbox_handle_type() {
  return make_type("corvane._native.SandboxHandle", sizeof(Boxed<Sandbox>),
                   {
                       {Py_tp_doc, const_cast<char*>("A built core Sandbox (opaque).")},
                       {Py_tp_new, slot(&no_constructor)},
                       {Py_tp_dealloc, slot(&dealloc_boxed<Sandbox>)},
                   },
                   g_sandbox_handle);
}

PyObject* sandbox_build(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard([&]() -> PyObject* {
    if (nargs != 7) {
      PyErr_SetString(PyExc_TypeError, "sandbox_build() takes 7 positional arguments");
      return nullptr;
    }
    SandboxSpec spec;
    if (!paths_from(args[0], "read", spec.read) || !paths_from(args[1], "write", spec.write) ||
        !paths_from(args[2], "exec", spec.exec)) {
      return nullptr;
    }
    const int network = PyObject_IsTrue(args[3]);
    const int keep_background = PyObject_IsTrue(args[4]);
    const int best_effort = PyObject_IsTrue(args[5]);
    if (network < 0 || keep_background < 0 || best_effort < 0) return nullptr;
    spec.network = network != 0;
    spec.keep_background = keep_background != 0;
    spec.best_effort = best_effort != 0;
    PyObject* limits = args[6];
    if (!PyTuple_Check(limits) || PyTuple_GET_SIZE(limits) != 5) {
      PyErr_SetString(PyExc_TypeError, "limits: expected a tuple of 5");
      return nullptr;
    }
    SandboxLimits& l = spec.limits;
    std::optional<std::uint64_t>* fields[] = {&l.address_space, &l.cpu_seconds, &l.processes,
                                              &l.file_size, &l.open_files};
    for (Py_ssize_t i = 0; i < 5; ++i) {
      if (!limit_from(PyTuple_GET_ITEM(limits, i), *fields[i])) return nullptr;
    }
    auto built = Sandbox::build(std::move(spec));
    if (!built) {
      PyErr_SetString(PyExc_ValueError, built.error().c_str());
      return nullptr;
    }
    PyTypeObject* type = sandbox_handle_type();
    if (type == nullptr) return nullptr;
    return box(type, std::move(*built));
  });
}

PyObject* sandbox_preset(PyObject*, PyObject* workspace) noexcept {
  return guard([&]() -> PyObject* {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(workspace) || PyBytes_AsStringAndSize(workspace, &data, &size) < 0) {
      PyErr_SetString(PyExc_TypeError, "workspace: expected bytes");
      return nullptr;
    }
    const SandboxSpec spec =
        SandboxSpec::workspace(Path(std::string(data, static_cast<std::size_t>(size))));
    Ref read(paths_to_tuple(spec.read));
    if (!read) return nullptr;
    Ref write(paths_to_tuple(spec.write));
    if (!write) return nullptr;
    return PyTuple_Pack(2, read.get(), write.get());
  });
}

PyObject* sandbox_available(PyObject*, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    const SandboxSupport s = Sandbox::available();
    return Py_BuildValue("{s:i,s:O,s:O,s:O,s:O}", "landlock_abi", s.landlock_abi, "seccomp",
                         s.seccomp ? Py_True : Py_False, "pid_namespace",
                         s.pid_namespace ? Py_True : Py_False, "user_namespace",
                         s.user_namespace ? Py_True : Py_False, "privileged",
                         s.privileged ? Py_True : Py_False);
  });
}

PyObject* sandbox_describe(PyObject*, PyObject* handle) noexcept {
  return guard([&]() -> PyObject* {
    PyTypeObject* type = sandbox_handle_type();
    if (type == nullptr) return nullptr;
    if (Py_TYPE(handle) != type) {
      PyErr_SetString(PyExc_TypeError, "expected a SandboxHandle");
      return nullptr;
    }
    const Sandbox& sandbox = unbox<Sandbox>(handle);
    const std::string_view containment = containment_name(sandbox.containment());
    Ref name(PyUnicode_FromStringAndSize(containment.data(),
                                         static_cast<Py_ssize_t>(containment.size())));
    if (!name) return nullptr;
    Ref skipped(PyTuple_New(static_cast<Py_ssize_t>(sandbox.skipped().size())));
    if (!skipped) return nullptr;
    for (std::size_t i = 0; i < sandbox.skipped().size(); ++i) {
      PyObject* item = PyUnicode_FromString(sandbox.skipped()[i].c_str());
      if (item == nullptr) return nullptr;
      PyTuple_SET_ITEM(skipped.get(), static_cast<Py_ssize_t>(i), item);
    }
    const SandboxLimits& l = sandbox.spec().limits;
    Ref limits(PyTuple_New(5));
    if (!limits) return nullptr;
    const std::optional<std::uint64_t>* fields[] = {&l.address_space, &l.cpu_seconds,
                                                    &l.processes, &l.file_size, &l.open_files};
    for (Py_ssize_t i = 0; i < 5; ++i) {
      PyObject* item = optional_int(*fields[i]);
      if (item == nullptr) return nullptr;
      PyTuple_SET_ITEM(limits.get(), i, item);
    }
    return PyTuple_Pack(3, name.get(), skipped.get(), limits.get());
  });
}

bool attach_sandbox(PyObject* handle, PreparedCommand& command) noexcept {
  if (handle == Py_None) return true;
  PyTypeObject* type = sandbox_handle_type();
  if (type == nullptr) return false;
  if (Py_TYPE(handle) != type) {
    PyErr_SetString(PyExc_TypeError, "argument 'sandbox': expected a corvane.Sandbox or None");
    return false;
  }
  command = std::move(command).with_sandbox(unbox<Sandbox>(handle));
  return true;
}

PyObject* make_sandbox_limit_error(const std::string& message, const Output& output) {
  Ref module(PyImport_ImportModule("corvane.sandbox"));
  if (!module) return nullptr;
  Ref cls(PyObject_GetAttrString(module.get(), "SandboxLimitExceeded"));
  if (!cls) return nullptr;
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return nullptr;
  Ref args(PyTuple_Pack(1, text.get()));
  if (!args) return nullptr;
  Ref out(PyBytes_FromStringAndSize(output.stdout.data(),
                                    static_cast<Py_ssize_t>(output.stdout.size())));
  Ref err(PyBytes_FromStringAndSize(output.stderr.data(),
                                    static_cast<Py_ssize_t>(output.stderr.size())));
  if (!out || !err) return nullptr;
  Ref kwargs(Py_BuildValue("{s:O,s:O,s:i}", "stdout", out.get(), "stderr", err.get(), "status",
                           output.status));
  if (!kwargs) return nullptr;
  return PyObject_Call(cls.get(), args.get(), kwargs.get());
}

}  // namespace corvane::py::native
