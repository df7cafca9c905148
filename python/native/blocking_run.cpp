// The blocking run. The command is copied out of its Python object while the
// interpreter lock is held; after that the run touches no Python state, so the
// lock is released for its whole duration.
#include "blocking_run.hpp"

#include "errors.hpp"
#include "prepared.hpp"
#include "shared_types.hpp"
#include "typed_errors.hpp"

namespace corvane::py::native {
namespace {

/// Releases the interpreter lock for its lifetime; takes it back on every exit,
/// including a C++ exception unwinding through it.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "run() takes 2 positional arguments");
      return nullptr;
    }
    if (!expect_instance(args[0], shared_types().prepared_command, "prepared",
                         "PreparedCommand")) {
      return nullptr;
    }
    const int kill = PyObject_IsTrue(args[1]);
    if (kill < 0) return nullptr;
    if (kill != 0) {
      PyErr_SetString(PyExc_NotImplementedError, "on_output_limit='kill' is not available yet");
      return nullptr;
    }
    PreparedCommand command = unbox<PreparedCommand>(args[0]);
    ExecResult result;
    {
      ReleasedLock unlocked;
      result = std::move(command).spawn_sync();
    }
    if (!result) return raise_execution_error(result.error(), {}, {});
    return box(shared_types().output, OutputRecord::from(std::move(*result)));
  });
}

}  // namespace corvane::py::native
