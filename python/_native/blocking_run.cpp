// The blocking run. The command is copied out of its Python object while the
// interpreter lock is held; after that the run touches no Python state, so the
// lock is released for its whole duration. It is taken back only when a signal
// interrupts the wait, to let Python's handlers run: an exception from them
// (KeyboardInterrupt on Ctrl-C) abandons the run, which kills and reaps the
// child before the exception propagates.
#include "blocking_run.hpp"

#include <pthread.h>

#include <string_view>

#include "corvane/prepared.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "run_result.hpp"
#include "sandbox_binding.hpp"
#include "shared_types.hpp"

namespace corvane::py::native {
namespace {

/// Releases the interpreter lock for its lifetime and takes it back on every
/// exit, including a C++ exception unwinding through it.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : state_(PyEval_SaveThread()), owner_(::pthread_self()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(state_); }

  /// Runs the signal handlers with the lock held; the exception one of them
  /// raised (new reference), or nullptr. PyErr_CheckSignals does nothing off
  /// the main thread, where Python never runs handlers. A run moved to a core
  /// worker thread (called from inside a core loop) reports its signals from
  /// that worker, which has no Python thread state: it is left alone.
  [[nodiscard]] PyObject* check_signals() noexcept {
    if (::pthread_equal(::pthread_self(), owner_) == 0) return nullptr;
    PyEval_RestoreThread(state_);
    PyObject* raised = PyErr_CheckSignals() < 0 ? take_exception() : nullptr;
    state_ = PyEval_SaveThread();
    return raised;
  }

  /// Calls `on_chunk(is_stdout, data)` with the lock held; the exception it
  /// raised (new reference), or nullptr.
  [[nodiscard]] PyObject* deliver(PyObject* on_chunk, OutputStream stream,
                                  std::string_view data) noexcept {
    // A run moved to a core worker thread has no thread state of its own here.
    const bool owner = ::pthread_equal(::pthread_self(), owner_) != 0;
    PyGILState_STATE gil{};
    if (owner) {
      PyEval_RestoreThread(state_);
    } else {
      gil = PyGILState_Ensure();
    }
    PyObject* raised = nullptr;
    Ref bytes(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
    Ref returned;
    if (bytes) {
      returned = Ref(PyObject_CallFunctionObjArgs(
          on_chunk, stream == OutputStream::Stdout ? Py_True : Py_False, bytes.get(), nullptr));
    }
    if (!returned) raised = take_exception();
    bytes = Ref();
    returned = Ref();
    if (owner) {
      state_ = PyEval_SaveThread();
    } else {
      PyGILState_Release(gil);
    }
    return raised;
  }

 private:
  PyThreadState* state_;
  pthread_t owner_;
};

}  // namespace

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard([&]() -> PyObject* {
    if (nargs < 2 || nargs > 4) {
      PyErr_SetString(PyExc_TypeError, "run() takes 2 to 4 positional arguments");
      return nullptr;
    }
    if (!expect_instance(args[0], shared_types().prepared_command, "prepared", "PreparedCommand")) {
      return nullptr;
    }
    const int kill = PyObject_IsTrue(args[1]);
    if (kill < 0) return nullptr;
    PreparedCommand command = unbox<PreparedCommand>(args[0]);
    if (nargs >= 3 && !attach_sandbox(args[2], command)) return nullptr;
    PyObject* on_chunk = nargs == 4 && args[3] != Py_None ? args[3] : nullptr;
    if (on_chunk != nullptr && !PyCallable_Check(on_chunk)) {
      PyErr_SetString(PyExc_TypeError, "argument 'on_chunk': expected a callable or None");
      return nullptr;
    }
    RunOptions options;
    options.on_output_limit = kill != 0 ? OnOutputLimit::Kill : OnOutputLimit::Wait;
    Ref interruption;
    RunResult result;
    {
      ReleasedLock unlocked;
      options.on_signal = [&] {
        // A chunk's failure abandons the run at the next poll, as a signal's does.
        if (!interruption) interruption = Ref(unlocked.check_signals());
        return static_cast<bool>(interruption);
      };
      if (on_chunk != nullptr) {
        options.on_chunk = [&](OutputStream stream, std::string_view data) {
          if (!interruption) interruption = Ref(unlocked.deliver(on_chunk, stream, data));
        };
      }
      result = std::move(command).run(std::move(options));
    }
    if (interruption) {
      restore_exception(interruption.release());
      return nullptr;
    }
    return convert_result(std::move(result));
  });
}

}  // namespace corvane::py::native
