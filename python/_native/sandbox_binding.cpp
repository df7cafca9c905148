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

// The name of `obj`'s type, for a TypeError in the style of the rest of the API.
const char* type_name(PyObject* obj) noexcept {
  return Py_TYPE(obj)->tp_name;
}

// One path as the core takes it: str (file system encoding), bytes or os.PathLike.
bool path_from(PyObject* item, const std::string& name, std::vector<Path>& out) {
  Ref fs(PyOS_FSPath(item));
  if (!fs) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: expected a path (str, bytes or os.PathLike), not %s",
                 name.c_str(), type_name(item));
    return false;
  }
  Ref bytes(PyBytes_Check(fs.get()) ? Ref::borrow(fs.get())
                                    : Ref(PyUnicode_EncodeFSDefault(fs.get())));
  if (!bytes) return false;
  out.emplace_back(std::string(PyBytes_AS_STRING(bytes.get()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
  return true;
}

// A list (any iterable) of paths. One path where a list belongs is refused
// rather than read as a list of its characters.
bool paths_from(PyObject* seq, const char* name, std::vector<Path>& out) {
  if (PyUnicode_Check(seq) || PyBytes_Check(seq) || PyObject_HasAttrString(seq, "__fspath__")) {
    PyErr_Format(PyExc_TypeError, "%s: expected a list of paths, not one path", name);
    return false;
  }
  Ref iter(PyObject_GetIter(seq));
  if (!iter) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: expected a list of paths, not %s", name, type_name(seq));
    return false;
  }
  for (Py_ssize_t i = 0;; ++i) {
    Ref item(PyIter_Next(iter.get()));
    if (!item) return !PyErr_Occurred();
    if (!path_from(item.get(), std::string(name) + "[" + std::to_string(i) + "]", out))
      return false;
  }
}

// A switch: True or False only, so that "false" or 0.0 cannot turn a protection off.
bool switch_from(PyObject* obj, const char* name, bool& out) {
  if (!PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s: expected a bool, not %s", name, type_name(obj));
    return false;
  }
  out = obj == Py_True;
  return true;
}

// One limit: Ellipsis keeps the core's default, None the inherited limit.
bool limit_from(PyObject* item, const char* name, std::optional<std::uint64_t>& limit) {
  if (item == Py_Ellipsis) return true;
  if (item == Py_None) {
    limit.reset();
    return true;
  }
  if (PyBool_Check(item) || !PyLong_Check(item)) {
    PyErr_Format(PyExc_TypeError, "%s: expected an int or None, not %s", name, type_name(item));
    return false;
  }
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(item, &overflow);
  if (signed_value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && signed_value < 0)) {
    PyErr_Format(PyExc_ValueError, "%s: must not be negative", name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(item);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s: must be below 2**64", name);
    return false;
  }
  limit = value;
  return true;
}

// One list of TCP ports: ints (not bools) that fit a port; the core refuses port 0.
bool ports_from(PyObject* seq, const std::string& name, std::vector<std::uint16_t>& out) {
  if (PyUnicode_Check(seq) || PyBytes_Check(seq) || PyLong_Check(seq)) {
    PyErr_Format(PyExc_TypeError, "%s: expected a list of ports, not %s", name.c_str(),
                 type_name(seq));
    return false;
  }
  Ref iter(PyObject_GetIter(seq));
  if (!iter) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: expected a list of ports, not %s", name.c_str(),
                 type_name(seq));
    return false;
  }
  for (Py_ssize_t i = 0;; ++i) {
    Ref item(PyIter_Next(iter.get()));
    if (!item) return !PyErr_Occurred();
    const std::string at = name + "[" + std::to_string(i) + "]";
    if (PyBool_Check(item.get()) || !PyLong_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "%s: expected a port (int), not %s", at.c_str(),
                   type_name(item.get()));
      return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || value > 65535) {
      Ref text(PyObject_Repr(item.get()));
      if (!text) return false;
      PyErr_Format(PyExc_ValueError, "%s: a port is between 1 and 65535, got %U", at.c_str(),
                   text.get());
      return false;
    }
    out.push_back(static_cast<std::uint16_t>(value));
  }
}

// The network: True or False, or a mapping with "connect" and "bind" lists of TCP
// ports (either may be left out), which leaves the rest of the network off.
bool network_from(PyObject* obj, SandboxSpec& spec) {
  if (PyBool_Check(obj)) return switch_from(obj, "network", spec.network);
  // A list or a string has __getitem__ too: only a true mapping is one.
  if (!PyMapping_Check(obj) || PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "network: expected a bool, not %s", type_name(obj));
    return false;
  }
  Ref keys(PyMapping_Keys(obj));
  if (!keys) return false;
  SandboxPorts ports;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    const bool is_text = PyUnicode_Check(key) != 0;
    const bool connect = is_text && PyUnicode_CompareWithASCIIString(key, "connect") == 0;
    const bool bind = is_text && PyUnicode_CompareWithASCIIString(key, "bind") == 0;
    if (!connect && !bind) {
      Ref text(PyObject_Repr(key));
      if (!text) return false;
      PyErr_Format(PyExc_TypeError, "network: unknown key %U (known: bind, connect)", text.get());
      return false;
    }
    Ref list(PyObject_GetItem(obj, key));
    if (!list) return false;
    if (!ports_from(list.get(), connect ? "network.connect" : "network.bind",
                    connect ? ports.connect : ports.bind))
      return false;
  }
  spec.network = false;
  spec.ports = std::move(ports);
  return true;
}

PyObject* ports_to_tuple(const std::vector<std::uint16_t>& ports) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(ports.size()));
  if (tuple == nullptr) return nullptr;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    PyObject* item = PyLong_FromLong(ports[i]);
    if (item == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item);
  }
  return tuple;
}

// The network as the Python side shows it: True, False or {"connect": (...), "bind": (...)}.
PyObject* network_to_python(const SandboxSpec& spec) {
  if (!spec.ports) return PyBool_FromLong(spec.network ? 1 : 0);
  Ref connect(ports_to_tuple(spec.ports->connect));
  Ref bind(ports_to_tuple(spec.ports->bind));
  if (!connect || !bind) return nullptr;
  return Py_BuildValue("{s:O,s:O}", "connect", connect.get(), "bind", bind.get());
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
    if (nargs != 9) {
      PyErr_SetString(PyExc_TypeError, "sandbox_build() takes 9 positional arguments");
      return nullptr;
    }
    SandboxSpec spec;
    if (args[0] != Py_None) {
      std::vector<Path> workspace;
      if (!path_from(args[0], "path", workspace)) return nullptr;
      spec = SandboxSpec::workspace(std::move(workspace.front()));
    }
    if (!paths_from(args[1], "read", spec.read) || !paths_from(args[2], "write", spec.write) ||
        !paths_from(args[3], "exec", spec.exec) || !network_from(args[4], spec) ||
        !switch_from(args[5], "keep_background", spec.keep_background) ||
        !switch_from(args[6], "best_effort", spec.best_effort) ||
        !switch_from(args[7], "private_tmp", spec.private_tmp)) {
      return nullptr;
    }
    PyObject* limits = args[8];
    if (!PyTuple_Check(limits) || PyTuple_GET_SIZE(limits) != 5) {
      PyErr_SetString(PyExc_TypeError, "limits: expected a tuple of 5");
      return nullptr;
    }
    SandboxLimits& l = spec.limits;
    std::optional<std::uint64_t>* fields[] = {&l.memory, &l.cpu_seconds, &l.processes, &l.file_size,
                                              &l.open_files};
    const char* names[] = {"memory", "cpu_seconds", "processes", "file_size", "open_files"};
    for (Py_ssize_t i = 0; i < 5; ++i) {
      if (!limit_from(PyTuple_GET_ITEM(limits, i), names[i], *fields[i])) return nullptr;
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
    const std::optional<std::uint64_t>* fields[] = {&l.memory, &l.cpu_seconds, &l.processes,
                                                    &l.file_size, &l.open_files};
    for (Py_ssize_t i = 0; i < 5; ++i) {
      PyObject* item = optional_int(*fields[i]);
      if (item == nullptr) return nullptr;
      PyTuple_SET_ITEM(limits.get(), i, item);
    }
    const SandboxSpec& spec = sandbox.spec();
    Ref read(paths_to_tuple(spec.read));
    Ref write(paths_to_tuple(spec.write));
    Ref exec(paths_to_tuple(spec.exec));
    Ref network(network_to_python(spec));
    if (!read || !write || !exec || !network) return nullptr;
    return Py_BuildValue(
        "(OOOOOOOOOO)", name.get(), skipped.get(), limits.get(), read.get(), write.get(),
        exec.get(), network.get(), spec.keep_background ? Py_True : Py_False,
        spec.best_effort ? Py_True : Py_False, spec.private_tmp ? Py_True : Py_False);
  });
}

PyObject* make_sandbox_handle(Sandbox sandbox) {
  PyTypeObject* type = sandbox_handle_type();
  if (type == nullptr) return nullptr;
  return box(type, std::move(sandbox));
}

const Sandbox* sandbox_of(PyObject* handle, const char* argument) noexcept {
  PyTypeObject* type = sandbox_handle_type();
  if (type == nullptr) return nullptr;
  if (Py_TYPE(handle) != type) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a corvane.Sandbox or None", argument);
    return nullptr;
  }
  return &unbox<Sandbox>(handle);
}

bool attach_sandbox(PyObject* handle, PreparedCommand& command) {
  if (handle == Py_None) return true;
  const Sandbox* sandbox = sandbox_of(handle, "sandbox");
  if (sandbox == nullptr) return false;
  auto boxed = std::move(command).with_sandbox(*sandbox);
  if (!boxed) {
    PyErr_Format(PyExc_ValueError, "argument 'sandbox': %s", boxed.error().c_str());
    return false;
  }
  command = std::move(*boxed);
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
