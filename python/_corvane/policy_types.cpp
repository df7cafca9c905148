// The policy classes: ArgRules, ProcPolicyBuilder (its own settings record,
// handed to a fresh core builder on every build()) and ProcPolicy.
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "classes.hpp"
#include "corvane/policy.hpp"
#include "enums.hpp"

namespace corvane::py {
namespace {

// ---------------------------------------------------------------- ArgRules

PyObject* arg_rules_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"ArgRules.__new__", {}, 0};
    if (!parse_tuple(kSig, args, kwargs, {})) return nullptr;
    return box(type, ArgRules{});
  });
}

PyObject* arg_rules_subcommand(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"cmd"};
  static constexpr Signature kSig{"ArgRules.subcommand", kParams, 1};
  return one_arg_method<ArgRules, std::string>(
      kSig, self, args, nargs, kwnames, to_text,
      [](ArgRules rules, std::string cmd) { return std::move(rules).subcommand(std::move(cmd)); });
}

PyObject* arg_rules_allowed_flags(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"flags"};
  static constexpr Signature kSig{"ArgRules.allowed_flags", kParams, 1};
  return one_arg_method<ArgRules, std::vector<std::string>>(
      kSig, self, args, nargs, kwnames, to_text_list,
      [](ArgRules rules, std::vector<std::string> flags) {
        return std::move(rules).allowed_flags(std::move(flags));
      });
}

PyObject* arg_rules_max_flags(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"max"};
  static constexpr Signature kSig{"ArgRules.max_flags", kParams, 1};
  return one_arg_method<ArgRules, std::uint64_t>(
      kSig, self, args, nargs, kwnames, to_u64,
      [](ArgRules rules, std::uint64_t n) { return std::move(rules).max_flags(n); });
}

PyObject* arg_rules_max_positionals(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"max"};
  static constexpr Signature kSig{"ArgRules.max_positionals", kParams, 1};
  return one_arg_method<ArgRules, std::uint64_t>(
      kSig, self, args, nargs, kwnames, to_u64,
      [](ArgRules rules, std::uint64_t n) { return std::move(rules).max_positionals(n); });
}

// None (or nothing) selects AfterFlags; otherwise only an InjectDoubleDash member.
bool to_double_dash_mode(PyObject* obj, InjectDoubleDash& out) {
  if (obj == nullptr || obj == Py_None) {
    out = InjectDoubleDash::AfterFlags;
    return true;
  }
  if (!check_instance(obj, inject_double_dash_type(), "InjectDoubleDash")) return false;
  out = static_cast<InjectDoubleDash>(enum_value(obj));
  return true;
}

PyObject* arg_rules_inject_double_dash(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"mode"};
  static constexpr Signature kSig{"ArgRules.inject_double_dash", kParams, 0};
  return one_arg_method<ArgRules, InjectDoubleDash>(
      kSig, self, args, nargs, kwnames, to_double_dash_mode,
      [](ArgRules rules, InjectDoubleDash mode) {
        return std::move(rules).inject_double_dash(mode);
      });
}

PyObject* arg_rules_repr(PyObject* self) noexcept {
  return guard([&]() -> PyObject* {
    const ArgRules& rules = unbox<ArgRules>(self);
    const std::string text = "ArgRules(max_flags=" + std::to_string(rules.max_flags()) +
                             ", max_positionals=" + std::to_string(rules.max_positionals()) + ")";
    return to_py_str(text);
  });
}

PyMethodDef arg_rules_methods[] = {
    {"subcommand", method(&arg_rules_subcommand), METH_FASTCALL | METH_KEYWORDS,
     "subcommand($self, cmd)\n--\n\nSet the required subcommand (first positional must match)."},
    {"allowed_flags", method(&arg_rules_allowed_flags), METH_FASTCALL | METH_KEYWORDS,
     "allowed_flags($self, flags)\n--\n\nSet allowed flags from a list."},
    {"max_flags", method(&arg_rules_max_flags), METH_FASTCALL | METH_KEYWORDS,
     "max_flags($self, max)\n--\n\nSet maximum number of flags."},
    {"max_positionals", method(&arg_rules_max_positionals), METH_FASTCALL | METH_KEYWORDS,
     "max_positionals($self, max)\n--\n\nSet maximum number of positional arguments."},
    {"inject_double_dash", method(&arg_rules_inject_double_dash), METH_FASTCALL | METH_KEYWORDS,
     "inject_double_dash($self, mode=None)\n--\n\nSet double-dash injection mode.\n\nArgs:\n    "
     "mode: Injection mode (default: AfterFlags for secure double-dash insertion)\n\nWhen called "
     "without arguments, defaults to AfterFlags which inserts `--`\nbetween flags and positional "
     "arguments to prevent flag injection."},
    {},
};

constexpr const char* kArgRulesDoc =
    "ArgRules()\n--\n\n"
    R"(Rules for validating arguments to a binary.

Example:
    >>> rules = ArgRules()
    >>> rules = rules.allowed_flags(["-n", "-i", "--color=never"])
    >>> rules = rules.max_flags(3)
    >>> rules = rules.max_positionals(10)
    >>> rules = rules.inject_double_dash(InjectDoubleDash.AfterFlags))";

// ------------------------------------------------------- ProcPolicyBuilder

// The Python builder's own record; a core builder exists only inside build().
struct BuilderSettings {
  EnvPolicy env_policy;
  std::vector<std::string> bins;  // call order, duplicates kept
  std::optional<std::string> cwd;
  std::unordered_map<std::string, ArgRules> rules_by_path;  // keyed by exact text
  std::uint64_t timeout_secs = 30;
  std::uint64_t max_stdout = 10'485'760;
  std::uint64_t max_stderr = 1'048'576;
  RiskyBinPolicy risky_bin_policy = RiskyBinPolicy::DenyByDefault;
};

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"ProcPolicyBuilder.__new__", {}, 0};
    if (!parse_tuple(kSig, args, kwargs, {})) return nullptr;
    return box(type, BuilderSettings{});
  });
}

PyObject* builder_allow_bin(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"path"};
  static constexpr Signature kSig{"ProcPolicyBuilder.allow_bin", kParams, 1};
  return one_arg_method<BuilderSettings, std::string>(kSig, self, args, nargs, kwnames, to_text,
                                                      [](BuilderSettings s, std::string path) {
                                                        s.bins.push_back(std::move(path));
                                                        return s;
                                                      });
}

PyObject* builder_arg_rules(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path", "rules"};
    static constexpr Signature kSig{"ProcPolicyBuilder.arg_rules", kParams, 2};
    PyObject* given[2];
    if (!parse_fastcall(kSig, args, nargs, kwnames, given)) return nullptr;
    std::string path;
    if (!convert_arg("path", given[0], to_text, path)) return nullptr;
    if (!check_instance(given[1], arg_rules_type(), "ArgRules")) {
      prefix_argument_error("rules");
      return nullptr;
    }
    const ArgRules& rules = unbox<ArgRules>(given[1]);
    return derive<BuilderSettings>(self, [&](BuilderSettings s) {
      s.rules_by_path.insert_or_assign(std::move(path), rules);
      return s;
    });
  });
}

PyObject* builder_risky_bin_policy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"policy"};
  static constexpr Signature kSig{"ProcPolicyBuilder.risky_bin_policy", kParams, 1};
  auto to_policy = [](PyObject* obj, RiskyBinPolicy& out) {
    if (!check_instance(obj, risky_bin_policy_type(), "RiskyBinPolicy")) return false;
    out = static_cast<RiskyBinPolicy>(enum_value(obj));
    return true;
  };
  return one_arg_method<BuilderSettings, RiskyBinPolicy>(
      kSig, self, args, nargs, kwnames, to_policy, [](BuilderSettings s, RiskyBinPolicy policy) {
        s.risky_bin_policy = policy;
        return s;
      });
}

PyObject* builder_allow_risky_binaries(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return derive<BuilderSettings>(self, [](BuilderSettings s) {
      s.risky_bin_policy = RiskyBinPolicy::Disabled;
      return s;
    });
  });
}

PyObject* builder_env_empty(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return derive<BuilderSettings>(self, [](BuilderSettings s) {
      s.env_policy = EnvPolicy::Empty{};
      return s;
    });
  });
}

PyObject* builder_env_locale_only(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return derive<BuilderSettings>(self, [](BuilderSettings s) {
      s.env_policy = EnvPolicy::LocaleOnly{};
      return s;
    });
  });
}

PyObject* builder_env_fixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"env"};
  static constexpr Signature kSig{"ProcPolicyBuilder.env_fixed", kParams, 1};
  return one_arg_method<BuilderSettings, EnvMap>(kSig, self, args, nargs, kwnames, to_text_map,
                                                 [](BuilderSettings s, EnvMap env) {
                                                   s.env_policy = EnvPolicy::Fixed{std::move(env)};
                                                   return s;
                                                 });
}

PyObject* builder_env_allowlist(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"keys"};
  static constexpr Signature kSig{"ProcPolicyBuilder.env_allowlist", kParams, 1};
  return one_arg_method<BuilderSettings, std::vector<std::string>>(
      kSig, self, args, nargs, kwnames, to_text_list,
      [](BuilderSettings s, std::vector<std::string> keys) {
        s.env_policy = EnvPolicy::Allowlist{std::unordered_set<std::string>(
            std::make_move_iterator(keys.begin()), std::make_move_iterator(keys.end()))};
        return s;
      });
}

PyObject* builder_cwd(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"path"};
  static constexpr Signature kSig{"ProcPolicyBuilder.cwd", kParams, 1};
  return one_arg_method<BuilderSettings, std::string>(kSig, self, args, nargs, kwnames, to_text,
                                                      [](BuilderSettings s, std::string path) {
                                                        s.cwd = std::move(path);
                                                        return s;
                                                      });
}

PyObject* set_timeout(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return one_arg_method<BuilderSettings, std::uint64_t>(sig, self, args, nargs, kwnames, to_u64,
                                                        [](BuilderSettings s, std::uint64_t secs) {
                                                          s.timeout_secs = secs;
                                                          return s;
                                                        });
}

PyObject* builder_timeout_secs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"secs"};
  static constexpr Signature kSig{"ProcPolicyBuilder.timeout_secs", kParams, 1};
  return set_timeout(kSig, self, args, nargs, kwnames);
}

PyObject* builder_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"secs"};
  static constexpr Signature kSig{"ProcPolicyBuilder.timeout", kParams, 1};
  return set_timeout(kSig, self, args, nargs, kwnames);
}

PyObject* builder_max_stdout(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"max"};
  static constexpr Signature kSig{"ProcPolicyBuilder.max_stdout", kParams, 1};
  return one_arg_method<BuilderSettings, std::uint64_t>(kSig, self, args, nargs, kwnames, to_u64,
                                                        [](BuilderSettings s, std::uint64_t bytes) {
                                                          s.max_stdout = bytes;
                                                          return s;
                                                        });
}

PyObject* builder_max_stderr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"max"};
  static constexpr Signature kSig{"ProcPolicyBuilder.max_stderr", kParams, 1};
  return one_arg_method<BuilderSettings, std::uint64_t>(kSig, self, args, nargs, kwnames, to_u64,
                                                        [](BuilderSettings s, std::uint64_t bytes) {
                                                          s.max_stderr = bytes;
                                                          return s;
                                                        });
}

PyObject* builder_build(PyObject* self, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    const BuilderSettings& s = unbox<BuilderSettings>(self);
    // The Python builder's settings replace the core defaults wholesale.
    ProcPolicyBuilder core = ProcPolicyBuilder{}
                                 .env_policy(s.env_policy)
                                 .risky_bin_policy(s.risky_bin_policy)
                                 .timeout(Duration::from_secs(s.timeout_secs))
                                 .max_stdout(s.max_stdout)
                                 .max_stderr(s.max_stderr);
    if (s.cwd) core = std::move(core).cwd_policy(CwdPolicy::Fixed{Path(*s.cwd)});
    for (const std::string& bin : s.bins) {
      core = std::move(core).allow_bin(Path(bin));
      // Only rules filed under exactly this text travel with the binary.
      if (auto it = s.rules_by_path.find(bin); it != s.rules_by_path.end()) {
        core = std::move(core).arg_rules(Path(bin), it->second);
      }
    }
    auto built = std::move(core).build();
    if (!built) return raise_violation(built.error());
    return box(proc_policy_type(), std::move(*built));
  });
}

PyObject* builder_repr(PyObject* self) noexcept {
  return guard([&] {
    return to_py_str("ProcPolicyBuilder(bins=" + escaped_list(unbox<BuilderSettings>(self).bins) +
                     ")");
  });
}

PyMethodDef builder_methods[] = {
    {"allow_bin", method(&builder_allow_bin), METH_FASTCALL | METH_KEYWORDS,
     "allow_bin($self, path)\n--\n\nAdd an allowed binary."},
    {"arg_rules", method(&builder_arg_rules), METH_FASTCALL | METH_KEYWORDS,
     "arg_rules($self, path, rules)\n--\n\nSet argument rules for a binary."},
    {"risky_bin_policy", method(&builder_risky_bin_policy), METH_FASTCALL | METH_KEYWORDS,
     "risky_bin_policy($self, policy)\n--\n\nSet risky binary policy."},
    {"allow_risky_binaries", method(&builder_allow_risky_binaries), METH_NOARGS,
     "allow_risky_binaries($self)\n--\n\nAllow risky binaries (shells, interpreters, etc.) to be "
     "executed.\n\nThis is a convenience method equivalent to:\n    "
     ".risky_bin_policy(RiskyBinPolicy.Disabled)\n\nWARNING: Only use this if you understand the "
     "security implications."},
    {"env_empty", method(&builder_env_empty), METH_NOARGS,
     "env_empty($self)\n--\n\nSet environment policy to empty (default)."},
    {"env_locale_only", method(&builder_env_locale_only), METH_NOARGS,
     "env_locale_only($self)\n--\n\nSet environment policy to locale only."},
    {"env_fixed", method(&builder_env_fixed), METH_FASTCALL | METH_KEYWORDS,
     "env_fixed($self, env)\n--\n\nSet environment policy to fixed values."},
    {"env_allowlist", method(&builder_env_allowlist), METH_FASTCALL | METH_KEYWORDS,
     "env_allowlist($self, keys)\n--\n\nSet environment policy to allowlist."},
    {"cwd", method(&builder_cwd), METH_FASTCALL | METH_KEYWORDS,
     "cwd($self, path)\n--\n\nSet fixed working directory."},
    {"timeout_secs", method(&builder_timeout_secs), METH_FASTCALL | METH_KEYWORDS,
     "timeout_secs($self, secs)\n--\n\nSet timeout in seconds."},
    {"timeout", method(&builder_timeout), METH_FASTCALL | METH_KEYWORDS,
     "timeout($self, secs)\n--\n\nSet timeout in seconds (convenience alias for timeout_secs)."},
    {"max_stdout", method(&builder_max_stdout), METH_FASTCALL | METH_KEYWORDS,
     "max_stdout($self, max)\n--\n\nSet maximum stdout bytes."},
    {"max_stderr", method(&builder_max_stderr), METH_FASTCALL | METH_KEYWORDS,
     "max_stderr($self, max)\n--\n\nSet maximum stderr bytes."},
    {"build", method(&builder_build), METH_NOARGS,
     "build($self)\n--\n\nBuild the policy.\n\nRaises:\n    ValueError: If policy is invalid "
     "(missing arg_rules, bad paths, etc.)"},
    {},
};

constexpr const char* kBuilderDoc =
    "ProcPolicyBuilder()\n--\n\n"
    R"(Process execution policy builder.

Example:
    >>> policy = (ProcPolicyBuilder()
    ...     .allow_bin("/usr/bin/grep")
    ...     .arg_rules("/usr/bin/grep", ArgRules()
    ...         .allowed_flags(["-n", "-i"])
    ...         .max_flags(2)
    ...         .max_positionals(10))
    ...     .timeout_secs(30)
    ...     .build()))";

// -------------------------------------------------------------- ProcPolicy

PyObject* policy_repr(PyObject*) noexcept {
  return PyUnicode_FromString("ProcPolicy(<built>)");
}

PyMethodDef policy_methods[] = {
    {"prepare", method(&policy_prepare), METH_FASTCALL | METH_KEYWORDS,
     "prepare($self, request)\n--\n\nValidate a request and prepare it for execution.\n\nArgs:\n  "
     "  request: The execution request to validate\n\nReturns:\n    PreparedCommand ready for "
     "execution\n\nRaises:\n    ValueError: If the request violates the policy"},
    {},
};

// ------------------------------------------------------------------- types

PyTypeObject* g_arg_rules = nullptr;
PyTypeObject* g_builder = nullptr;
PyTypeObject* g_policy = nullptr;

}  // namespace

PyTypeObject* arg_rules_type() {
  return make_type("builtins.ArgRules", sizeof(Boxed<ArgRules>),
                   {
                       {Py_tp_doc, const_cast<char*>(kArgRulesDoc)},
                       {Py_tp_new, slot(&arg_rules_new)},
                       {Py_tp_dealloc, slot(&dealloc_boxed<ArgRules>)},
                       {Py_tp_repr, slot(&arg_rules_repr)},
                       {Py_tp_methods, arg_rules_methods},
                   },
                   g_arg_rules);
}

PyTypeObject* proc_policy_builder_type() {
  return make_type("builtins.ProcPolicyBuilder", sizeof(Boxed<BuilderSettings>),
                   {
                       {Py_tp_doc, const_cast<char*>(kBuilderDoc)},
                       {Py_tp_new, slot(&builder_new)},
                       {Py_tp_dealloc, slot(&dealloc_boxed<BuilderSettings>)},
                       {Py_tp_repr, slot(&builder_repr)},
                       {Py_tp_methods, builder_methods},
                   },
                   g_builder);
}

PyTypeObject* proc_policy_type() {
  return make_type("builtins.ProcPolicy", sizeof(Boxed<ProcPolicy>),
                   {
                       {Py_tp_doc, const_cast<char*>("A built process execution policy.")},
                       {Py_tp_new, slot(&no_constructor)},
                       {Py_tp_dealloc, slot(&dealloc_boxed<ProcPolicy>)},
                       {Py_tp_repr, slot(&policy_repr)},
                       {Py_tp_methods, policy_methods},
                   },
                   g_policy);
}

}  // namespace corvane::py
