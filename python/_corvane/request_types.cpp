// The request and execution classes: ProcRequest, PreparedCommand and Output,
// and ProcPolicy.prepare, which joins them to the policy.
#include <pthread.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "classes.hpp"
#include "corvane/output.hpp"
#include "corvane/path.hpp"
#include "corvane/policy.hpp"
#include "corvane/prepared.hpp"
#include "corvane/request.hpp"

namespace corvane::py {
namespace {

PyObject* text_list(const std::vector<std::string>& items) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_py_str(items[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// ------------------------------------------------------------- ProcRequest

PyObject* request_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"bin", "argv"};
    static constexpr Signature kSig{"ProcRequest.__new__", kParams, 2};
    PyObject* given[2];
    if (!parse_tuple(kSig, args, kwargs, given)) return nullptr;
    std::string bin;
    std::vector<std::string> argv;
    if (!convert_arg("bin", given[0], to_text, bin)) return nullptr;
    if (!convert_arg("argv", given[1], to_text_list, argv)) return nullptr;
    return box(type, ProcRequest(Path(std::move(bin)), std::move(argv)));
  });
}

PyObject* request_with_cwd(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"cwd"};
  static constexpr Signature kSig{"ProcRequest.with_cwd", kParams, 1};
  return one_arg_method<ProcRequest, std::string>(
      kSig, self, args, nargs, kwnames, to_text, [](ProcRequest request, std::string cwd) {
        return std::move(request).with_cwd(Path(std::move(cwd)));
      });
}

PyObject* request_with_env(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  static constexpr const char* kParams[] = {"env"};
  static constexpr Signature kSig{"ProcRequest.with_env", kParams, 1};
  return one_arg_method<ProcRequest, EnvMap>(
      kSig, self, args, nargs, kwnames, to_text_map,
      [](ProcRequest request, EnvMap env) { return std::move(request).with_env(std::move(env)); });
}

PyObject* request_with_env_var(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"key", "value"};
    static constexpr Signature kSig{"ProcRequest.with_env_var", kParams, 2};
    PyObject* given[2];
    if (!parse_fastcall(kSig, args, nargs, kwnames, given)) return nullptr;
    std::string key;
    std::string value;
    if (!convert_arg("key", given[0], to_text, key)) return nullptr;
    if (!convert_arg("value", given[1], to_text, value)) return nullptr;
    return derive<ProcRequest>(self, [&](ProcRequest request) {
      return std::move(request).with_env_var(std::move(key), std::move(value));
    });
  });
}

PyObject* request_get_bin(PyObject* self, void*) noexcept {
  return guard([&] { return to_py_str(display(unbox<ProcRequest>(self).bin)); });
}

PyObject* request_get_argv(PyObject* self, void*) noexcept {
  return guard([&] { return text_list(unbox<ProcRequest>(self).argv); });
}

PyObject* request_repr(PyObject* self) noexcept {
  return guard([&] {
    const ProcRequest& request = unbox<ProcRequest>(self);
    return to_py_str("ProcRequest('" + display(request.bin) + "', " + escaped_list(request.argv) +
                     ")");
  });
}

PyMethodDef request_methods[] = {
    {"with_cwd", method(&request_with_cwd), METH_FASTCALL | METH_KEYWORDS,
     "with_cwd($self, cwd)\n--\n\nSet the working directory."},
    {"with_env", method(&request_with_env), METH_FASTCALL | METH_KEYWORDS,
     "with_env($self, env)\n--\n\nSet environment variables from a dict."},
    {"with_env_var", method(&request_with_env_var), METH_FASTCALL | METH_KEYWORDS,
     "with_env_var($self, key, value)\n--\n\nAdd a single environment variable."},
    {},
};

PyGetSetDef request_getset[] = {
    {"bin", request_get_bin, nullptr, "Get the binary path.", nullptr},
    {"argv", request_get_argv, nullptr, "Get the arguments.", nullptr},
    {},
};

constexpr const char* kRequestDoc =
    "ProcRequest(bin, argv)\n--\n\n"
    R"(A proposed process execution request.

Example:
    >>> request = ProcRequest("/usr/bin/grep", ["-n", "pattern", "file.txt"])
    >>> request = request.with_cwd("/tmp"))";

// ---------------------------------------------------------- PreparedCommand

PyObject* prepared_spawn_sync(PyObject* self, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    // The interpreter lock stays held for the whole run, by design.
    PreparedCommand copy = unbox<PreparedCommand>(self);
    // Ctrl-C must not wait for the command: when a signal interrupts the wait
    // on this thread (the one holding the lock), Python's handlers run, and if
    // one raised (KeyboardInterrupt) the child is killed and reaped and the
    // exception propagates. On another thread (a worker of a nested run) the
    // hook leaves Python alone.
    const pthread_t caller = ::pthread_self();
    bool raised = false;
    RunOptions options;
    options.on_signal = [caller, &raised] {
      if (::pthread_equal(::pthread_self(), caller) == 0) return false;
      raised = PyErr_CheckSignals() != 0;
      return raised;
    };
    RunResult run = std::move(copy).run(std::move(options));
    if (raised) return nullptr;
    ExecResult& result = run.result;
    if (!result) return raise_exec_error(result.error());
    return box(output_type(), OutputRecord::from(std::move(*result)));
  });
}

PyObject* prepared_get_bin(PyObject* self, void*) noexcept {
  return guard([&] { return to_py_str(display(unbox<PreparedCommand>(self).bin())); });
}

PyObject* prepared_get_argv(PyObject* self, void*) noexcept {
  return guard([&] { return text_list(unbox<PreparedCommand>(self).argv()); });
}

PyObject* prepared_get_cwd(PyObject* self, void*) noexcept {
  return guard([&] { return to_py_str(display(unbox<PreparedCommand>(self).cwd())); });
}

PyObject* prepared_repr(PyObject* self) noexcept {
  return guard([&] {
    const PreparedCommand& command = unbox<PreparedCommand>(self);
    return to_py_str("PreparedCommand('" + display(command.bin()) + "', " +
                     escaped_list(command.argv()) + ")");
  });
}

PyMethodDef prepared_methods[] = {
    {"spawn_sync", method(&prepared_spawn_sync), METH_NOARGS,
     "spawn_sync($self)\n--\n\nExecute the command synchronously.\n\nReturns:\n    Output from "
     "the command\n\nRaises:\n    RuntimeError: If execution fails (timeout, limit exceeded, "
     "spawn failed)"},
    {},
};

PyGetSetDef prepared_getset[] = {
    {"bin", prepared_get_bin, nullptr, "Get the binary path.", nullptr},
    {"argv", prepared_get_argv, nullptr, "Get the validated arguments.", nullptr},
    {"cwd", prepared_get_cwd, nullptr, "Get the working directory.", nullptr},
    {},
};

// ------------------------------------------------------------------ Output

PyObject* output_stdout_string(PyObject* self, PyObject*) noexcept {
  return guard([&] { return to_py_str(lossy_utf8(unbox<OutputRecord>(self).stdout_bytes)); });
}

PyObject* output_stderr_string(PyObject* self, PyObject*) noexcept {
  return guard([&] { return to_py_str(lossy_utf8(unbox<OutputRecord>(self).stderr_bytes)); });
}

PyObject* bytes_of(const std::string& data) noexcept {
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* output_get_stdout(PyObject* self, void*) noexcept {
  return bytes_of(unbox<OutputRecord>(self).stdout_bytes);
}

PyObject* output_get_stderr(PyObject* self, void*) noexcept {
  return bytes_of(unbox<OutputRecord>(self).stderr_bytes);
}

PyObject* output_get_exit_code(PyObject* self, void*) noexcept {
  const auto& code = unbox<OutputRecord>(self).exit_code;
  if (!code) Py_RETURN_NONE;
  return PyLong_FromLong(*code);
}

PyObject* output_get_success(PyObject* self, void*) noexcept {
  return PyBool_FromLong(unbox<OutputRecord>(self).success);
}

PyObject* output_repr(PyObject* self) noexcept {
  return guard([&] {
    const OutputRecord& record = unbox<OutputRecord>(self);
    const std::string code =
        record.exit_code ? "Some(" + std::to_string(*record.exit_code) + ")" : "None";
    return to_py_str(std::string("Output(success=") + (record.success ? "true" : "false") +
                     ", exit_code=" + code +
                     ", stdout_len=" + std::to_string(record.stdout_bytes.size()) +
                     ", stderr_len=" + std::to_string(record.stderr_bytes.size()) + ")");
  });
}

PyMethodDef output_methods[] = {
    {"stdout_string", method(&output_stdout_string), METH_NOARGS,
     "stdout_string($self)\n--\n\nGet stdout as string (lossy UTF-8)."},
    {"stderr_string", method(&output_stderr_string), METH_NOARGS,
     "stderr_string($self)\n--\n\nGet stderr as string (lossy UTF-8)."},
    {},
};

PyGetSetDef output_getset[] = {
    {"stdout", output_get_stdout, nullptr, "Get raw stdout bytes.", nullptr},
    {"stderr", output_get_stderr, nullptr, "Get raw stderr bytes.", nullptr},
    {"exit_code", output_get_exit_code, nullptr, "Get exit code (if available).", nullptr},
    {"success", output_get_success, nullptr, "Check if process exited successfully.", nullptr},
    {},
};

PyTypeObject* g_request = nullptr;
PyTypeObject* g_prepared = nullptr;
PyTypeObject* g_output = nullptr;

}  // namespace

PyObject* policy_prepare(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"request"};
    static constexpr Signature kSig{"ProcPolicy.prepare", kParams, 1};
    PyObject* given[1];
    if (!parse_fastcall(kSig, args, nargs, kwnames, given)) return nullptr;
    if (!check_instance(given[0], proc_request_type(), "ProcRequest")) {
      prefix_argument_error("request");
      return nullptr;
    }
    auto prepared = unbox<ProcPolicy>(self).prepare(unbox<ProcRequest>(given[0]).clone());
    if (!prepared) return raise_violation(prepared.error());
    return box(prepared_command_type(), std::move(*prepared));
  });
}

PyTypeObject* proc_request_type() {
  return make_type("builtins.ProcRequest", sizeof(Boxed<ProcRequest>),
                   {
                       {Py_tp_doc, const_cast<char*>(kRequestDoc)},
                       {Py_tp_new, slot(&request_new)},
                       {Py_tp_dealloc, slot(&dealloc_boxed<ProcRequest>)},
                       {Py_tp_repr, slot(&request_repr)},
                       {Py_tp_methods, request_methods},
                       {Py_tp_getset, request_getset},
                   },
                   g_request);
}

PyTypeObject* prepared_command_type() {
  return make_type("builtins.PreparedCommand", sizeof(Boxed<PreparedCommand>),
                   {
                       {Py_tp_doc, const_cast<char*>("A validated command ready for execution.\n\n"
                                                     "This can only be created via "
                                                     "ProcPolicy.prepare().")},
                       {Py_tp_new, slot(&no_constructor)},
                       {Py_tp_dealloc, slot(&dealloc_boxed<PreparedCommand>)},
                       {Py_tp_repr, slot(&prepared_repr)},
                       {Py_tp_methods, prepared_methods},
                       {Py_tp_getset, prepared_getset},
                   },
                   g_prepared);
}

PyTypeObject* output_type() {
  return make_type(
      "builtins.Output", sizeof(Boxed<OutputRecord>),
      {
          {Py_tp_doc, const_cast<char*>("Output from a successfully executed command.")},
          {Py_tp_new, slot(&no_constructor)},
          {Py_tp_dealloc, slot(&dealloc_boxed<OutputRecord>)},
          {Py_tp_repr, slot(&output_repr)},
          {Py_tp_methods, output_methods},
          {Py_tp_getset, output_getset},
      },
      g_output);
}

}  // namespace corvane::py
