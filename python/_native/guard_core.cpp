// GuardCore: plain data to ProcPolicyBuilder calls (with CommandRules for every
// binary) and try_build(); check() and explain() hand the core's answers back
// as _corvane's PreparedCommand, corvane.Refused, or a plain dict.
#include "guard_core.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "corvane/policy.hpp"
#include "py_ref.hpp"
#include "sandbox_binding.hpp"
#include "shared_types.hpp"
#include "typed_errors.hpp"

namespace corvane::py::native {
namespace {

// ---------------------------------------------------------------- reading the policy data
// The data comes from corvane.policy_file, which has already checked the file;
// a mismatch here is a programming error and says which entry it was.

bool type_error(const char* what) {
  PyErr_Format(PyExc_TypeError, "build_guard: %s", what);
  return false;
}

bool read_str(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) return type_error("expected str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool read_path(PyObject* obj, Path& out) {
  // Paths arrive as os.fsencode() bytes, so every file name survives unchanged.
  if (!PyBytes_Check(obj)) return type_error("expected bytes for a path");
  out = Path(std::string(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))));
  return true;
}

bool read_u64(PyObject* obj, std::uint64_t& out) {
  if (!PyLong_Check(obj)) return type_error("expected int");
  out = PyLong_AsUnsignedLongLong(obj);
  return !PyErr_Occurred();
}

bool read_bool(PyObject* obj, bool& out) {
  if (!PyBool_Check(obj)) return type_error("expected bool");
  out = obj == Py_True;
  return true;
}

PyObject* item(PyObject* dict, const char* key) {
  PyObject* value = PyDict_Check(dict) ? PyDict_GetItemString(dict, key) : nullptr;
  if (value == nullptr) PyErr_Format(PyExc_KeyError, "build_guard: missing %s", key);
  return value;
}

template <class F>
bool each(PyObject* seq, F&& f) {
  Ref fast(PySequence_Fast(seq, "build_guard: expected a sequence"));
  if (!fast) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!f(PySequence_Fast_GET_ITEM(fast.get(), i))) return false;
  }
  return true;
}

bool read_strs(PyObject* seq, std::vector<std::string>& out) {
  return each(seq, [&](PyObject* o) {
    std::string s;
    if (!read_str(o, s)) return false;
    out.push_back(std::move(s));
    return true;
  });
}

bool read_value_flag(PyObject* tuple, RuleSet& set) {
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != 6) return type_error("value flag tuple");
  std::string name;
  ValueRule rule;
  if (!read_str(PyTuple_GET_ITEM(tuple, 0), name) || !read_bool(PyTuple_GET_ITEM(tuple, 1), rule.attached)) {
    return false;
  }
  if (PyObject* one_of = PyTuple_GET_ITEM(tuple, 2); one_of != Py_None) {
    rule.one_of.emplace();
    if (!read_strs(one_of, *rule.one_of)) return false;
  }
  if (PyObject* pattern = PyTuple_GET_ITEM(tuple, 3); pattern != Py_None) {
    rule.pattern.emplace();
    if (!read_str(pattern, *rule.pattern)) return false;
  }
  if (!read_bool(PyTuple_GET_ITEM(tuple, 4), rule.path) ||
      !read_bool(PyTuple_GET_ITEM(tuple, 5), rule.changes_directory)) {
    return false;
  }
  set = std::move(set).value_flag(std::move(name), std::move(rule));
  return true;
}

bool read_rule_set(PyObject* dict, std::vector<RuleSet>& out) {
  std::vector<std::string> words, flags;
  PyObject* obj = item(dict, "subcommand");
  if (obj == nullptr || !read_strs(obj, words)) return false;
  RuleSet set(std::move(words));
  if ((obj = item(dict, "flags")) == nullptr || !read_strs(obj, flags)) return false;
  set = std::move(set).flags(std::move(flags));
  if ((obj = item(dict, "value_flags")) == nullptr ||
      !each(obj, [&](PyObject* t) { return read_value_flag(t, set); })) {
    return false;
  }
  std::uint64_t max_flags = 0, max_positionals = 0;
  bool numeric = false, bundles = false, first_arg = false, paths = false, inject = false;
  struct {
    const char* key;
    bool* target;
  } switches[] = {{"numeric_flags", &numeric},   {"bundles", &bundles},
                  {"first_arg_bundle", &first_arg}, {"path_positionals", &paths},
                  {"inject_double_dash", &inject}};
  for (auto& s : switches) {
    if ((obj = item(dict, s.key)) == nullptr || !read_bool(obj, *s.target)) return false;
  }
  std::string double_dash;
  if ((obj = item(dict, "double_dash")) == nullptr || !read_str(obj, double_dash)) return false;
  static constexpr DoubleDashReading readings[] = {DoubleDashReading::EndsOptions,
                                                   DoubleDashReading::OptionsContinue,
                                                   DoubleDashReading::Argument};
  const auto reading =
      std::find_if(std::begin(readings), std::end(readings),
                   [&](DoubleDashReading r) { return display_name(r) == double_dash; });
  if (reading == std::end(readings)) return type_error("double_dash reading");
  if ((obj = item(dict, "max_flags")) == nullptr || !read_u64(obj, max_flags)) return false;
  if ((obj = item(dict, "max_positionals")) == nullptr || !read_u64(obj, max_positionals)) return false;
  out.push_back(std::move(set)
                    .max_flags(max_flags)
                    .max_positionals(max_positionals)
                    .numeric_flags(numeric)
                    .bundles(bundles)
                    .first_arg_bundle(first_arg)
                    .path_positionals(paths)
                    .inject_double_dash(inject ? InjectDoubleDash::AfterFlags : InjectDoubleDash::Never)
                    .double_dash(*reading));
  return true;
}

// (argv0, risky) of the binary at `path`: "canonical" or "allowed", and the
// risky-policy number or None for the policy's own.
bool read_binary_options(PyObject* tuple, const Path& path, ProcPolicyBuilder& builder) {
  std::string argv0;
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != 2 ||
      !read_str(PyTuple_GET_ITEM(tuple, 0), argv0)) {
    return type_error("binary options tuple");
  }
  BinaryOptions options;
  if (argv0 == "allowed") {
    options.argv0 = Argv0::AllowedPath;
  } else if (argv0 != "canonical") {
    return type_error("argv0 must be 'canonical' or 'allowed'");
  }
  if (PyObject* risky = PyTuple_GET_ITEM(tuple, 1); risky != Py_None) {
    std::uint64_t number = 0;
    if (!read_u64(risky, number)) return false;
    if (number > 2) return type_error("risky must be 0, 1 or 2");
    options.risky = static_cast<RiskyBinPolicy>(number);
  }
  if (options.argv0 != Argv0::Canonical || options.risky) {
    builder = std::move(builder).binary_options(path, options);
  }
  return true;
}

bool read_env(PyObject* tuple, ProcPolicyBuilder& builder) {
  std::string kind;
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != 2 || !read_str(PyTuple_GET_ITEM(tuple, 0), kind)) {
    return type_error("env tuple");
  }
  PyObject* data = PyTuple_GET_ITEM(tuple, 1);
  if (kind == "empty") {
    builder = std::move(builder).env_policy(EnvPolicy::Empty{});
  } else if (kind == "locale_only") {
    builder = std::move(builder).env_policy(EnvPolicy::LocaleOnly{});
  } else if (kind == "allowlist") {
    std::vector<std::string> names;
    if (!read_strs(data, names)) return false;
    builder = std::move(builder).env_policy(EnvPolicy::Allowlist{{names.begin(), names.end()}});
  } else if (kind == "fixed") {
    if (!PyDict_Check(data)) return type_error("fixed environment must be a dict");
    EnvMap vars;
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(data, &pos, &key, &value)) {
      std::string k, v;
      if (!read_str(key, k) || !read_str(value, v)) return false;
      vars.insert_or_assign(std::move(k), std::move(v));
    }
    builder = std::move(builder).env_policy(EnvPolicy::Fixed{std::move(vars)});
  } else {
    return type_error("unknown environment kind");
  }
  return true;
}

bool read_cwd(PyObject* tuple, ProcPolicyBuilder& builder) {
  std::string kind;
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != 3 || !read_str(PyTuple_GET_ITEM(tuple, 0), kind)) {
    return type_error("cwd tuple");
  }
  Path default_dir;
  if (!read_path(PyTuple_GET_ITEM(tuple, 2), default_dir)) return false;
  if (kind == "fixed") {
    builder = std::move(builder).cwd_policy(CwdPolicy::Fixed{std::move(default_dir)});
  } else if (kind == "jailed") {
    Path root;
    if (!read_path(PyTuple_GET_ITEM(tuple, 1), root)) return false;
    builder = std::move(builder).cwd_policy(CwdPolicy::Jailed{std::move(root), std::move(default_dir)});
  } else if (kind == "allowlist") {
    PathSet allowed;
    if (!each(PyTuple_GET_ITEM(tuple, 1), [&](PyObject* o) {
          Path p;
          if (!read_path(o, p)) return false;
          allowed.insert(std::move(p));
          return true;
        })) {
      return false;
    }
    builder = std::move(builder).cwd_policy(CwdPolicy::Allowlist{std::move(allowed), std::move(default_dir)});
  } else {
    return type_error("unknown cwd kind");
  }
  return true;
}

// ValueError(message, location): corvane.policy_file turns the location into a key path.
PyObject* raise_located(const std::string& message, PyObject* location) {
  if (location == nullptr) return nullptr;
  Ref text(to_py_str(message));
  Ref loc(location);
  if (!text) return nullptr;
  Ref args(PyTuple_Pack(2, text.get(), loc.get()));
  if (args) PyErr_SetObject(PyExc_ValueError, args.get());
  return nullptr;
}

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

const ProcPolicy& policy_of(PyObject* self) { return unbox<ProcPolicy>(self); }

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

PyObject* none() { Py_RETURN_NONE; }

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
          !set(d, "prepared", box(shared_types().prepared_command, std::move(*ex.result))) ||
          !set(d, "refusal", none())) {
        return nullptr;
      }
      return out.release();
    }
    const Refusal& r = ex.result.error();
    Ref refusal(PyDict_New());
    if (!refusal || !set(refusal.get(), "message", to_py_str(r.message)) ||
        !set(refusal.get(), "kind", to_py_str(r.kind)) || !set(refusal.get(), "index", index_value(r.index)) ||
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
  return make_type("corvane._native.GuardCore", sizeof(Boxed<ProcPolicy>),
                   {
                       {Py_tp_doc, const_cast<char*>("A policy built with the extended rule model.")},
                       {Py_tp_new, slot(&no_constructor)},
                       {Py_tp_dealloc, slot(&dealloc_boxed<ProcPolicy>)},
                       {Py_tp_methods, guard_methods},
                   },
                   g_guard_core);
}

PyObject* build_guard(PyObject*, PyObject* data) noexcept {
  return guard([&]() -> PyObject* {
    PyTypeObject* type = guard_core_type();
    if (type == nullptr) return nullptr;
    // A Guard answers agents, which name binaries as the policy does and send
    // directories relative to where their commands run.
    ProcPolicyBuilder builder = ProcPolicyBuilder().anchor_relative_cwd();
    PyObject* binaries = item(data, "binaries");
    if (binaries == nullptr) return nullptr;
    std::size_t bin_index = 0;
    const bool read = each(binaries, [&](PyObject* entry) {
      Path path;
      std::string name;
      if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 3) return type_error("binary tuple");
      if (!read_path(PyTuple_GET_ITEM(entry, 0), path) || !read_str(PyTuple_GET_ITEM(entry, 2), name)) {
        return false;
      }
      std::vector<RuleSet> sets;
      if (!each(PyTuple_GET_ITEM(entry, 1), [&](PyObject* d) { return read_rule_set(d, sets); })) {
        return false;
      }
      auto rules = CommandRules::make(std::move(sets));
      if (!rules) {
        raise_located(rules.error().message,
                      Py_BuildValue("(snN)", "rules", static_cast<Py_ssize_t>(bin_index),
                                    words_tuple(rules.error().subcommand)));
        return false;
      }
      builder = std::move(builder)
                    .allow_named_bin(std::move(name), path)
                    .command_rules(path, std::move(*rules));
      ++bin_index;
      return true;
    });
    if (!read) return nullptr;
    PyObject* obj = nullptr;
    // One (argv0, risky) per binary, in the order of "binaries"; optional.
    PyObject* options = PyDict_Check(data) ? PyDict_GetItemString(data, "binary_options") : nullptr;
    if (options != nullptr) {
      Ref bins(PySequence_Fast(binaries, "build_guard: expected a sequence"));
      Ref opts(PySequence_Fast(options, "build_guard: expected a sequence"));
      if (!bins || !opts) return nullptr;
      if (PySequence_Fast_GET_SIZE(opts.get()) != PySequence_Fast_GET_SIZE(bins.get())) {
        return PyErr_Format(PyExc_TypeError, "build_guard: one binary_options entry per binary");
      }
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(bins.get()); ++i) {
        Path path;
        if (!read_path(PyTuple_GET_ITEM(PySequence_Fast_GET_ITEM(bins.get(), i), 0), path) ||
            !read_binary_options(PySequence_Fast_GET_ITEM(opts.get(), i), path, builder)) {
          return nullptr;
        }
      }
    }
    std::uint64_t number = 0;
    if ((obj = item(data, "env")) == nullptr || !read_env(obj, builder)) return nullptr;
    if ((obj = item(data, "cwd")) == nullptr || !read_cwd(obj, builder)) return nullptr;
    if ((obj = item(data, "timeout")) == nullptr) return nullptr;
    std::uint64_t secs = 0, nanos = 0;
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 2 || !read_u64(PyTuple_GET_ITEM(obj, 0), secs) ||
        !read_u64(PyTuple_GET_ITEM(obj, 1), nanos) || nanos >= 1'000'000'000u) {
      if (!PyErr_Occurred()) type_error("timeout must be (secs, nanos)");
      return nullptr;
    }
    builder = std::move(builder).timeout(Duration{secs, static_cast<std::uint32_t>(nanos)});
    if ((obj = item(data, "max_stdout")) == nullptr || !read_u64(obj, number)) return nullptr;
    builder = std::move(builder).max_stdout(number);
    if ((obj = item(data, "max_stderr")) == nullptr || !read_u64(obj, number)) return nullptr;
    builder = std::move(builder).max_stderr(number);
    // Optional: without it no call may give stdin.
    if ((obj = PyDict_GetItemString(data, "max_stdin")) != nullptr && obj != Py_None) {
      if (!read_u64(obj, number)) return nullptr;
      builder = std::move(builder).max_stdin(number);
    }
    if ((obj = item(data, "risky")) == nullptr || !read_u64(obj, number)) return nullptr;
    if (number > 2) return PyErr_Format(PyExc_ValueError, "build_guard: risky must be 0, 1 or 2");
    builder = std::move(builder).risky_bin_policy(static_cast<RiskyBinPolicy>(number));
    // The policy's sandbox rides on every command check() allows.
    if ((obj = item(data, "sandbox")) == nullptr) return nullptr;
    if (obj != Py_None) {
      const Sandbox* sandbox = sandbox_of(obj, "sandbox");
      if (sandbox == nullptr) return nullptr;
      builder = std::move(builder).sandbox(*sandbox);
    }

    auto policy = std::move(builder).try_build();
    if (!policy) {
      const Refusal& r = policy.error();
      std::string path;
      for (const auto& [name, value] : r.fields) {
        if (name == "path" || name == "requested") {
          if (const auto* s = std::get_if<std::string>(&value)) path = *s;
          break;
        }
      }
      return raise_located(r.message, Py_BuildValue("(sss)", "policy", r.kind.c_str(), path.c_str()));
    }
    return box(type, std::move(*policy));
  });
}

}  // namespace corvane::py::native
