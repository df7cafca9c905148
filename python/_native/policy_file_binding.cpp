// corvane._native's door to the core's policy-file reader: a file (or a Python
// mapping converted into the reader's tree of data, nothing checked here) goes
// in; a GuardCore, the policy's description as plain data and its sandbox come
// out, or corvane.PolicyError with the reader's file, key path and reason.
#include "policy_file_binding.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvane/policy_file.hpp"
#include "errors.hpp"
#include "guard_core.hpp"
#include "py_ref.hpp"
#include "sandbox_binding.hpp"

namespace corvane::py::native {
namespace {

// ---------------------------------------------------------------- Python to the reader's data

bool is_instance_of(PyObject* obj, const char* abc, bool& out) {
  Ref module(PyImport_ImportModule("collections.abc"));
  if (!module) return false;
  Ref cls(PyObject_GetAttrString(module.get(), abc));
  if (!cls) return false;
  const int r = PyObject_IsInstance(obj, cls.get());
  if (r < 0) return false;
  out = r == 1;
  return true;
}

bool utf8(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// A value as the reader takes it: the kinds a file can hold, anything else an
// Other named by its type, which the reader refuses wherever it meets one.
bool convert(PyObject* obj, PolicyValue& out) {
  using Kind = PolicyValue::Kind;
  if (PyBool_Check(obj)) {
    out.kind = Kind::Boolean;
    out.boolean = obj == Py_True;
    return true;
  }
  if (PyLong_Check(obj)) {
    out.kind = Kind::Integer;
    // An int subclass may print itself otherwise; the digits are the value.
    Ref plain(PyNumber_Long(obj));
    Ref digits(plain ? PyObject_Str(plain.get()) : nullptr);
    if (!digits || !utf8(digits.get(), out.text)) return false;
    out.negative = !out.text.empty() && out.text.front() == '-';
    if (out.negative) out.text.erase(0, 1);
    return true;
  }
  if (PyFloat_Check(obj)) {
    out.kind = Kind::Float;
    out.number = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  if (PyUnicode_Check(obj)) {
    out.kind = Kind::String;
    return utf8(obj, out.text);
  }
  bool mapping = false, sequence = false;
  if (!is_instance_of(obj, "Mapping", mapping)) return false;
  if (!mapping && !PyBytes_Check(obj) && !PyByteArray_Check(obj) &&
      !is_instance_of(obj, "Sequence", sequence)) {
    return false;
  }
  if (!mapping && !sequence) {
    // Bytes are a sequence to Python, but never one the reader takes.
    out.kind = Kind::Other;
    out.text = PyBytes_Check(obj) || PyByteArray_Check(obj) ? "list" : Py_TYPE(obj)->tp_name;
    if (const auto dot = out.text.rfind('.'); dot != std::string::npos) out.text.erase(0, dot + 1);
    return true;
  }
  if (Py_EnterRecursiveCall(" while converting a policy")) return false;
  bool ok = true;
  if (mapping) {
    out.kind = Kind::Table;
    Ref items(PyMapping_Items(obj));
    ok = static_cast<bool>(items);
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      PolicyValue key, value;
      ok = PyTuple_Check(pair) && PyTuple_GET_SIZE(pair) == 2 &&
           convert(PyTuple_GET_ITEM(pair, 0), key) && convert(PyTuple_GET_ITEM(pair, 1), value);
      if (ok) out.entries.emplace_back(std::move(key), std::move(value));
    }
  } else {
    out.kind = Kind::List;
    Ref fast(PySequence_Fast(obj, "expected a sequence"));
    ok = static_cast<bool>(fast);
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
      out.items.emplace_back();
      ok = convert(PySequence_Fast_GET_ITEM(fast.get(), i), out.items.back());
    }
  }
  Py_LeaveRecursiveCall();
  return ok;
}

// vars: None, or a mapping of str to str (TypeError otherwise, naming the type at fault).
bool variables_from(PyObject* obj, PolicyVariables& out) {
  if (obj == Py_None) return true;
  bool mapping = false;
  if (!is_instance_of(obj, "Mapping", mapping)) return false;
  auto wrong = [](PyObject* bad) {
    PyErr_Format(PyExc_TypeError, "vars: expected a mapping of names to strings, not %s",
                 Py_TYPE(bad)->tp_name);
    return false;
  };
  if (!mapping) return wrong(obj);
  Ref items(PyMapping_Items(obj));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
    PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
    if (!PyUnicode_Check(name)) return wrong(name);
    if (!PyUnicode_Check(value)) return wrong(value);
    std::string n, v;
    if (!utf8(name, n) || !utf8(value, v)) return false;
    out.insert_or_assign(std::move(n), std::move(v));
  }
  return true;
}

bool path_from(PyObject* obj, Path& out) {
  Ref fs(PyOS_FSPath(obj));
  if (!fs) return false;
  Ref bytes(PyBytes_Check(fs.get()) ? Ref::borrow(fs.get())
                                    : Ref(PyUnicode_EncodeFSDefault(fs.get())));
  if (!bytes) return false;
  out = Path(std::string(PyBytes_AS_STRING(bytes.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
  return true;
}

// ---------------------------------------------------------------- the reader's answers to Python

PyObject* str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
PyObject* path_str(const Path& p) {
  return PyUnicode_DecodeFSDefaultAndSize(p.native().data(),
                                          static_cast<Py_ssize_t>(p.native().size()));
}
PyObject* none() {
  Py_RETURN_NONE;
}
PyObject* boolean(bool b) {
  return PyBool_FromLong(b ? 1 : 0);
}

// dict[key] = value, consuming the new reference `value` (nullptr: the error is already set).
bool set(PyObject* dict, const char* key, PyObject* value) {
  Ref v(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

template <class T, class F>
PyObject* list_of(const std::vector<T>& items, F&& to_python) {
  Ref out(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_python(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

PyObject* strings(const std::vector<std::string>& items) {
  return list_of(items, [](const std::string& s) { return str(s); });
}
PyObject* paths(const std::vector<Path>& items) {
  return list_of(items, path_str);
}

std::string words(const std::vector<std::string>& subcommand) {
  std::string out;
  for (const std::string& w : subcommand) out += (out.empty() ? "" : " ") + w;
  return out;
}

PyObject* value_flag(const std::pair<std::string, ValueRule>& flag) {
  const ValueRule& rule = flag.second;
  Ref d(PyDict_New());
  if (!d || !set(d.get(), "name", str(flag.first)) ||
      !set(d.get(), "attached", boolean(rule.attached)) ||
      !set(d.get(), "one_of", rule.one_of ? strings(*rule.one_of) : none()) ||
      !set(d.get(), "pattern", rule.pattern ? str(*rule.pattern) : none()) ||
      !set(d.get(), "path", boolean(rule.path)) ||
      !set(d.get(), "changes_directory", boolean(rule.changes_directory))) {
    return nullptr;
  }
  // Shown when set, so that a value flag without it describes itself as before.
  if (rule.replaces_first_positional && !set(d.get(), "replaces_first_positional", boolean(true))) {
    return nullptr;
  }
  return d.release();
}

// A positional's role as the file writes it: "text", "path" or {one_of, pattern}.
PyObject* positional_role(const PositionalRole& role) {
  if (!role.one_of && !role.pattern) return str(role_name(role));
  Ref d(PyDict_New());
  if (!d || !set(d.get(), "one_of", role.one_of ? strings(*role.one_of) : none()) ||
      !set(d.get(), "pattern", role.pattern ? str(*role.pattern) : none())) {
    return nullptr;
  }
  return d.release();
}

PyObject* rule_set(const PolicyRuleSet& s, const std::optional<Path>& workspace) {
  Ref d(PyDict_New());
  if (!d || !set(d.get(), "subcommand", s.subcommand.empty() ? none() : str(words(s.subcommand))) ||
      !set(d.get(), "flags", strings(s.flags)) ||
      !set(d.get(), "value_flags", list_of(s.value_flags, value_flag)) ||
      !set(d.get(), "max_flags", PyLong_FromUnsignedLongLong(s.max_flags)) ||
      !set(d.get(), "max_positionals", PyLong_FromUnsignedLongLong(s.max_positionals)) ||
      !set(d.get(), "numeric_flags", boolean(s.numeric_flags)) ||
      !set(d.get(), "bundles", boolean(s.bundles)) ||
      !set(d.get(), "first_arg_bundle", boolean(s.first_arg_bundle)) ||
      !set(d.get(), "path_positionals", boolean(s.path_positionals)) ||
      !set(d.get(), "inject_double_dash", boolean(s.inject_double_dash)) ||
      !set(d.get(), "double_dash", str(display_name(s.double_dash)))) {
    return nullptr;
  }
  // Shown when written, so that a rule set without them describes itself as before.
  if (!s.positionals.empty() &&
      !set(d.get(), "positionals", list_of(s.positionals, positional_role))) {
    return nullptr;
  }
  if (s.rest_positionals &&
      !set(d.get(), "rest_positionals", positional_role(*s.rest_positionals))) {
    return nullptr;
  }
  if (s.inject_double_dash_after > 0 &&
      !set(d.get(), "inject_double_dash_after",
           PyLong_FromUnsignedLongLong(s.inject_double_dash_after))) {
    return nullptr;
  }
  // A subcommand's own sandbox, whole as its commands get it; shown only when it has one.
  if (s.sandbox && !set(d.get(), "sandbox", sandbox_description(*s.sandbox, workspace)))
    return nullptr;
  // The pack it came from, shown when there is one.
  if (!s.pack.empty() && !set(d.get(), "pack", str(s.pack))) return nullptr;
  return d.release();
}

// The options before the subcommand: what a rule set shows of flags.
PyObject* global_options(const PolicyRuleSet& s) {
  Ref d(PyDict_New());
  if (!d || !set(d.get(), "flags", strings(s.flags)) ||
      !set(d.get(), "value_flags", list_of(s.value_flags, value_flag)) ||
      !set(d.get(), "max_flags", PyLong_FromUnsignedLongLong(s.max_flags))) {
    return nullptr;
  }
  return d.release();
}

PyObject* binary(const PolicyBinary& b, const std::optional<Path>& workspace) {
  std::vector<std::string> subcommands;
  for (const PolicyRuleSet& s : b.rule_sets) {
    if (!s.subcommand.empty()) subcommands.push_back(words(s.subcommand));
  }
  Ref d(PyDict_New());
  if (!d || !set(d.get(), "name", str(b.name)) || !set(d.get(), "path", path_str(b.path)) ||
      !set(d.get(), "subcommands", strings(subcommands)) ||
      !set(d.get(), "rule_sets",
           list_of(b.rule_sets, [&](const PolicyRuleSet& s) { return rule_set(s, workspace); }))) {
    return nullptr;
  }
  // Shown when set, so that a policy without them describes itself as before.
  if (b.argv0 == Argv0::AllowedPath && !set(d.get(), "argv0", str("allowed"))) return nullptr;
  if (b.global && !set(d.get(), "global", global_options(*b.global))) return nullptr;
  if (b.risky &&
      !set(d.get(), "risky", str(*b.risky == RiskyBinPolicy::DenyByDefault ? "deny" : "allow"))) {
    return nullptr;
  }
  if (!b.pack.empty() && !set(d.get(), "pack", str(b.pack))) return nullptr;
  if (b.widened && !set(d.get(), "widened_from", str(b.pack))) return nullptr;
  // The binary's own sandbox, whole as its commands get it; without one they get the policy's.
  if (b.sandbox && !set(d.get(), "sandbox", sandbox_description(*b.sandbox, workspace))) {
    return nullptr;
  }
  return d.release();
}

PyObject* environment(const PolicySettings& s) {
  Ref d(PyDict_New());
  if (!d || !set(d.get(), "mode", str(s.environment_mode))) return nullptr;
  if ((s.environment_mode == "allowlist" || s.environment_mode == "fixed") &&
      !set(d.get(), "names", strings(s.environment_names))) {
    return nullptr;
  }
  return d.release();
}

PyObject* cwd(const PolicySettings& s) {
  Ref d(PyDict_New());
  if (!d || !set(d.get(), "mode", str(s.cwd_mode))) return nullptr;
  if (s.cwd_mode == "fixed")
    return set(d.get(), "dir", path_str(s.cwd_dirs.front())) ? d.release() : nullptr;
  const bool ok = s.cwd_mode == "jail" ? set(d.get(), "root", path_str(s.cwd_dirs.front()))
                                       : set(d.get(), "dirs", paths(s.cwd_dirs));
  return ok && set(d.get(), "default", path_str(s.default_cwd)) ? d.release() : nullptr;
}

PyObject* pack(const PolicyPack& p) {
  Ref d(PyDict_New());
  if (!d || !set(d.get(), "name", str(p.name)) ||
      !set(d.get(), "description", str(p.description)) || !set(d.get(), "file", path_str(p.file)) ||
      !set(d.get(), "binaries", strings(p.binaries)) ||
      !set(d.get(), "missing", strings(p.missing))) {
    return nullptr;
  }
  return d.release();
}

PyObject* ports(const std::vector<std::uint16_t>& items) {
  return list_of(items, [](std::uint16_t p) { return PyLong_FromLong(p); });
}

}  // namespace

PyObject* sandbox_description(const Sandbox& box, const std::optional<Path>& workspace) {
  const SandboxSpec& spec = box.spec();
  Ref network(spec.ports ? Py_BuildValue("{s:N,s:N}", "connect", ports(spec.ports->connect), "bind",
                                         ports(spec.ports->bind))
                         : boolean(spec.network));
  const SandboxLimits& l = spec.limits;
  auto limit = [](const std::optional<std::uint64_t>& v) {
    return v ? PyLong_FromUnsignedLongLong(*v) : none();
  };
  Ref limits(PyDict_New());
  Ref d(PyDict_New());
  if (!network || !limits || !d || !set(limits.get(), "memory", limit(l.memory)) ||
      !set(limits.get(), "cpu_seconds", limit(l.cpu_seconds)) ||
      !set(limits.get(), "processes", limit(l.processes)) ||
      !set(limits.get(), "file_size", limit(l.file_size)) ||
      !set(limits.get(), "open_files", limit(l.open_files))) {
    return nullptr;
  }
  if (!set(d.get(), "workspace", workspace ? path_str(*workspace) : none()) ||
      !set(d.get(), "read", paths(spec.read)) || !set(d.get(), "write", paths(spec.write)) ||
      !set(d.get(), "exec", paths(spec.exec)) || !set(d.get(), "network", network.release()) ||
      !set(d.get(), "keep_background", boolean(spec.keep_background)) ||
      !set(d.get(), "best_effort", boolean(spec.best_effort)) ||
      !set(d.get(), "private_tmp", boolean(spec.private_tmp)) ||
      !set(d.get(), "containment", str(containment_name(box.containment()))) ||
      !set(d.get(), "skipped", strings(box.skipped())) ||
      !set(d.get(), "limits", limits.release())) {
    return nullptr;
  }
  return d.release();
}

namespace {

PyObject* sandbox(const LoadedPolicy& loaded) {
  if (!loaded.sandbox) return none();
  return sandbox_description(*loaded.sandbox, loaded.settings.sandbox_workspace);
}

std::string_view risky_name(RiskyBinPolicy p) {
  switch (p) {
    case RiskyBinPolicy::DenyByDefault:
      return "deny";
    case RiskyBinPolicy::AllowWithWarning:
      return "allow_with_warning";
    case RiskyBinPolicy::Disabled:
      break;
  }
  return "disabled";
}

PyObject* description(const LoadedPolicy& loaded) {
  const PolicySettings& s = loaded.settings;
  Ref d(PyDict_New());
  const double timeout = static_cast<double>(s.timeout.secs) + s.timeout.nanos / 1e9;
  auto binary_of = [&](const PolicyBinary& b) { return binary(b, s.sandbox_workspace); };
  if (!d || !set(d.get(), "binaries", list_of(s.binaries, binary_of)) ||
      !set(d.get(), "timeout", PyFloat_FromDouble(timeout)) ||
      !set(d.get(), "max_stdout", PyLong_FromUnsignedLongLong(s.max_stdout)) ||
      !set(d.get(), "max_stderr", PyLong_FromUnsignedLongLong(s.max_stderr)) ||
      !set(d.get(), "max_stdin",
           s.max_stdin ? PyLong_FromUnsignedLongLong(*s.max_stdin) : none()) ||
      !set(d.get(), "on_output_limit",
           str(s.on_output_limit == OnOutputLimit::Kill ? "kill" : "wait")) ||
      !set(d.get(), "risky_binaries", str(risky_name(s.risky_binaries))) ||
      !set(d.get(), "environment", environment(s)) || !set(d.get(), "cwd", cwd(s)) ||
      !set(d.get(), "sandbox", sandbox(loaded))) {
    return nullptr;
  }
  // The packs it took binaries from, shown when there are some.
  if (!s.packs.empty() && !set(d.get(), "packs", list_of(s.packs, pack))) return nullptr;
  return d.release();
}

// Where the host writes its trail ([audit]): {"file": path or None, "stderr": bool}, or None.
PyObject* audit(const PolicySettings& s) {
  if (!s.audit_file && !s.audit_stderr) return none();
  return Py_BuildValue("{s:N,s:N}", "file", s.audit_file ? path_str(*s.audit_file) : none(),
                       "stderr", boolean(s.audit_stderr));
}

// (GuardCore, description, on_output_limit, SandboxHandle or None, audit or None),
// or corvane.PolicyError.
PyObject* answer(std::expected<LoadedPolicy, PolicyFileError> loaded) {
  if (!loaded) {
    const PolicyFileError& e = loaded.error();
    Ref module(PyImport_ImportModule("corvane.policy_file"));
    Ref cls(module ? PyObject_GetAttrString(module.get(), "PolicyError") : nullptr);
    Ref reason(str(e.reason));
    Ref args(reason ? PyTuple_Pack(1, reason.get()) : nullptr);
    Ref kwargs(cls && args ? Py_BuildValue("{s:N,s:N}", "key", str(e.key), "file",
                                           e.file ? path_str(Path(*e.file)) : none())
                           : nullptr);
    if (!kwargs) return nullptr;
    Ref error(PyObject_Call(cls.get(), args.get(), kwargs.get()));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
  }
  Ref desc(description(*loaded));
  Ref box(loaded->sandbox ? make_sandbox_handle(*loaded->sandbox) : none());
  Ref trail(audit(loaded->settings));
  if (!desc || !box || !trail) return nullptr;
  Ref core(make_guard_core(std::move(loaded->policy)));
  if (!core) return nullptr;
  const char* on_limit = loaded->settings.on_output_limit == OnOutputLimit::Kill ? "kill" : "wait";
  return Py_BuildValue("(OOsOO)", core.get(), desc.get(), on_limit, box.get(), trail.get());
}

// pack_dirs: None (the installed ones), or a sequence of directories.
bool pack_dirs_from(PyObject* obj, std::vector<Path>& out) {
  if (obj == Py_None) {
    out = default_pack_dirs();
    return true;
  }
  Ref fast(PySequence_Fast(obj, "pack_dirs: expected a sequence of directories"));
  if (!fast) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
    out.emplace_back();
    if (!path_from(PySequence_Fast_GET_ITEM(fast.get(), i), out.back())) return false;
  }
  return true;
}

}  // namespace

PyObject* load_policy_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard([&]() -> PyObject* {
    if (nargs != 2 && nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "load_policy_file() takes 2 or 3 positional arguments");
      return nullptr;
    }
    Path file;
    PolicyVariables variables;
    std::vector<Path> pack_dirs;
    if (!path_from(args[0], file) || !variables_from(args[1], variables) ||
        !pack_dirs_from(nargs == 3 ? args[2] : Py_None, pack_dirs)) {
      return nullptr;
    }
    std::expected<LoadedPolicy, PolicyFileError> loaded = std::unexpected(PolicyFileError{});
    Py_BEGIN_ALLOW_THREADS loaded = load_policy(file, variables, pack_dirs);
    Py_END_ALLOW_THREADS return answer(std::move(loaded));
  });
}

PyObject* load_policy_mapping(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard([&]() -> PyObject* {
    if (nargs != 3 && nargs != 4) {
      PyErr_SetString(PyExc_TypeError, "load_policy_mapping() takes 3 or 4 positional arguments");
      return nullptr;
    }
    PolicyVariables variables;
    std::vector<Path> pack_dirs;
    if (!variables_from(args[2], variables) ||
        !pack_dirs_from(nargs == 4 ? args[3] : Py_None, pack_dirs)) {
      return nullptr;
    }
    std::optional<Path> base_dir;
    if (args[1] != Py_None) {
      base_dir.emplace();
      if (!path_from(args[1], *base_dir)) return nullptr;
    }
    PolicyValue data;
    if (!convert(args[0], data)) return nullptr;
    return answer(load_policy_value(data, variables, base_dir, pack_dirs));
  });
}

PyObject* policy_file_keys(PyObject*, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    Ref out(PyDict_New());
    if (!out) return nullptr;
    for (const auto& [table, keys] : corvane::policy_file_keys()) {
      std::vector<std::string> names(keys.begin(), keys.end());
      Ref name(str(table));
      Ref list(strings(names));
      if (!name || !list || PyDict_SetItem(out.get(), name.get(), list.get()) < 0) return nullptr;
    }
    return out.release();
  });
}

PyObject* pack_names(PyObject*, PyObject* dirs) noexcept {
  return guard([&]() -> PyObject* {
    std::vector<Path> paths;
    if (!pack_dirs_from(dirs, paths)) return nullptr;
    return strings(corvane::pack_names(paths));
  });
}

}  // namespace corvane::py::native
