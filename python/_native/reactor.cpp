// The Reactor type. Every run started on it is a core execution on the
// reactor's EventLoop: no thread per run, only the child and its descriptors;
// the children are started by the core's one starter thread, so start()
// returns at once. The methods are called with the interpreter lock held, from the
// one thread of the host loop; run_ready() only does non-blocking work.
#include "reactor.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "corvane/event_loop.hpp"
#include "corvane/prepared.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "run_result.hpp"
#include "sandbox_binding.hpp"
#include "shared_types.hpp"
#include "typed_errors.hpp"

namespace corvane::py::native {
namespace {

struct ReactorState {
  ReactorState() = default;
  ReactorState(ReactorState&&) = default;
  // A closed reactor drops its runs' callbacks uncalled: the core reports
  // them abandoned from the loop's destructor, and Python is told nothing.
  ~ReactorState() {
    closing = true;
    loop.reset();
  }

  // Declared before the loop so that they outlive it: destroying the loop
  // destroys the runs' callbacks, and with them their executions.
  std::unordered_map<std::uint64_t, RunHandle> runs;
  std::uint64_t next_id = 1;
  bool closing = false;
  std::unique_ptr<EventLoop> loop;
  /// True inside run_ready() and cancel(), whose callbacks must not close the loop.
  bool dispatching = false;
};

/// Marks the reactor as dispatching for its lifetime.
class Dispatching {
 public:
  explicit Dispatching(ReactorState& st) noexcept : st_(st), outer_(st.dispatching) {
    st.dispatching = true;
  }
  Dispatching(const Dispatching&) = delete;
  Dispatching& operator=(const Dispatching&) = delete;
  ~Dispatching() { st_.dispatching = outer_; }

 private:
  ReactorState& st_;
  bool outer_;
};

ReactorState& state(PyObject* self) noexcept {
  return unbox<ReactorState>(self);
}

// The loop, or nullptr with ValueError set once the reactor was closed.
EventLoop* open_loop(PyObject* self) noexcept {
  EventLoop* loop = state(self).loop.get();
  if (loop == nullptr) PyErr_SetString(PyExc_ValueError, "the reactor is closed");
  return loop;
}

PyObject* reactor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
      PyErr_SetString(PyExc_TypeError, "Reactor() takes no arguments");
      return nullptr;
    }
    // No descriptor left for the loop fails the first run on it as any run
    // that cannot start does: corvane.SpawnFailed, with corvane.run's message.
    auto loop = create_run_loop();
    if (!loop) return raise_execution_error(loop.error(), {}, {});
    ReactorState value;
    value.loop = std::move(*loop);
    return box(type, std::move(value));
  });
}

// Calls `callback(output, error)`; a failing callback is reported as
// unraisable, since the core's loop must not see an exception.
void deliver(PyObject* callback, RunResult&& result) noexcept {
  PyObject* output = nullptr;
  PyObject* error = nullptr;
  bool ok = true;
  try {
    if (!result.interrupted) ok = convert_result(std::move(result), output, error);
  } catch (...) {
    ok = false;
    raise_panic("failed to convert a run's result");
  }
  if (ok) {
    Ref returned(PyObject_CallFunctionObjArgs(callback, output != nullptr ? output : Py_None,
                                              error != nullptr ? error : Py_None, nullptr));
    ok = static_cast<bool>(returned);
  }
  Py_XDECREF(output);
  Py_XDECREF(error);
  if (!ok) PyErr_WriteUnraisable(callback);
}

// Calls `on_chunk(is_stdout, data)`; a failure is reported as unraisable, as
// for `done`, and the run goes on.
void deliver_chunk(PyObject* on_chunk, OutputStream stream, std::string_view data) noexcept {
  Ref bytes(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
  Ref returned;
  if (bytes) {
    returned = Ref(PyObject_CallFunctionObjArgs(
        on_chunk, stream == OutputStream::Stdout ? Py_True : Py_False, bytes.get(), nullptr));
  }
  if (!returned) PyErr_WriteUnraisable(on_chunk);
}

// start(prepared, kill_on_output_limit, callback[, sandbox[, on_chunk]]) -> run id
PyObject* reactor_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard([&]() -> PyObject* {
    if (nargs < 3 || nargs > 5) {
      PyErr_SetString(PyExc_TypeError, "start() takes 3 to 5 positional arguments");
      return nullptr;
    }
    EventLoop* loop = open_loop(self);
    if (loop == nullptr) return nullptr;
    if (!expect_instance(args[0], shared_types().prepared_command, "prepared", "PreparedCommand")) {
      return nullptr;
    }
    const int kill = PyObject_IsTrue(args[1]);
    if (kill < 0) return nullptr;
    if (!PyCallable_Check(args[2])) {
      PyErr_SetString(PyExc_TypeError, "argument 'callback': expected a callable");
      return nullptr;
    }
    PyObject* on_chunk = nargs == 5 && args[4] != Py_None ? args[4] : nullptr;
    if (on_chunk != nullptr && !PyCallable_Check(on_chunk)) {
      PyErr_SetString(PyExc_TypeError, "argument 'on_chunk': expected a callable or None");
      return nullptr;
    }
    ReactorState& st = state(self);
    RunOptions options;
    if (on_chunk != nullptr) {
      // Called from run_ready() or cancel(), with the interpreter lock held.
      options.on_chunk = [on_chunk = Ref::borrow(on_chunk)](OutputStream stream,
                                                            std::string_view data) {
        deliver_chunk(on_chunk.get(), stream, data);
      };
    }
    options.on_output_limit = kill != 0 ? OnOutputLimit::Kill : OnOutputLimit::Wait;
    // The host loop's thread never waits for the kernel to create a child.
    options.start_on = StartOn::Starter;
    PreparedCommand command = unbox<PreparedCommand>(args[0]);
    if (nargs >= 4 && !attach_sandbox(args[3], command)) return nullptr;
    const std::uint64_t id = st.next_id++;
    // The core calls `done` from run_ready() or cancel(), both entered from
    // Python with the interpreter lock held, and never from inside spawn().
    RunHandle handle = std::move(command).spawn(
        *loop, std::move(options), [&st, id, callback = Ref::borrow(args[2])](RunResult result) {
          st.runs.erase(id);
          if (st.closing) return;
          deliver(callback.get(), std::move(result));
        });
    st.runs.emplace(id, handle);
    return PyLong_FromUnsignedLongLong(id);
  });
}

// cancel(run id): kills and reaps the child; its callback gets (None, None)
// before this returns. No effect on a run that already finished.
PyObject* reactor_cancel(PyObject* self, PyObject* arg) noexcept {
  return guard([&]() -> PyObject* {
    const unsigned long long id = PyLong_AsUnsignedLongLong(arg);
    if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    ReactorState& st = state(self);
    if (auto found = st.runs.find(id); found != st.runs.end()) {
      RunHandle handle = found->second;  // the callback erases the entry
      Dispatching dispatching(st);
      handle.cancel();
    }
    Py_RETURN_NONE;
  });
}

PyObject* reactor_run_ready(PyObject* self, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    EventLoop* loop = open_loop(self);
    if (loop == nullptr) return nullptr;
    Dispatching dispatching(state(self));
    loop->run_ready();
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* reactor_fileno(PyObject* self, PyObject*) noexcept {
  EventLoop* loop = open_loop(self);
  if (loop == nullptr) return nullptr;
  return PyLong_FromLong(loop->fd());
}

// The earliest timer as a time.monotonic() value (both read CLOCK_MONOTONIC),
// or None when no timer is pending.
PyObject* reactor_next_timer(PyObject* self, PyObject*) noexcept {
  EventLoop* loop = open_loop(self);
  if (loop == nullptr) return nullptr;
  const auto when = loop->next_timer();
  if (!when) Py_RETURN_NONE;
  return PyFloat_FromDouble(std::chrono::duration<double>(when->time_since_epoch()).count());
}

PyObject* reactor_idle(PyObject* self, PyObject*) noexcept {
  EventLoop* loop = state(self).loop.get();
  return PyBool_FromLong(loop == nullptr || (loop->idle() && state(self).runs.empty()));
}

// Closes the loop's descriptor now; runs still in flight are killed and reaped
// and their callbacks are dropped uncalled.
PyObject* reactor_close(PyObject* self, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    if (state(self).dispatching) {
      PyErr_SetString(PyExc_RuntimeError, "a reactor cannot be closed from one of its callbacks");
      return nullptr;
    }
    state(self).closing = true;
    std::unique_ptr<EventLoop> loop = std::move(state(self).loop);
    loop.reset();
    state(self).runs.clear();
    Py_RETURN_NONE;
  });
}

PyMethodDef reactor_methods[] = {
    {"start", method(&reactor_start), METH_FASTCALL,
     "start($self, prepared, kill_on_output_limit, callback, sandbox=None, on_chunk=None, /)"
     "\n--\n\n"
     "Start a run; callback(output, error) is called from run_ready() or cancel(). With "
     "on_chunk, on_chunk(is_stdout, data) gets the output as it is read instead of the "
     "Output. Returns the run's id."},
    {"cancel", method(&reactor_cancel), METH_O,
     "cancel($self, run_id, /)\n--\n\nKill and reap the run's child; its callback gets "
     "(None, None)."},
    {"run_ready", method(&reactor_run_ready), METH_NOARGS,
     "run_ready($self, /)\n--\n\nRun what is ready and the timers that are due; never blocks."},
    {"fileno", method(&reactor_fileno), METH_NOARGS,
     "fileno($self, /)\n--\n\nThe descriptor to watch for readability."},
    {"next_timer", method(&reactor_next_timer), METH_NOARGS,
     "next_timer($self, /)\n--\n\nWhen to call run_ready() at the latest, as a "
     "time.monotonic() value, or None."},
    {"idle", method(&reactor_idle), METH_NOARGS,
     "idle($self, /)\n--\n\nTrue when no run is in flight and nothing is pending."},
    {"close", method(&reactor_close), METH_NOARGS,
     "close($self, /)\n--\n\nClose the loop, killing and reaping any run in flight."},
    {},
};

PyTypeObject* g_reactor = nullptr;

}  // namespace

PyTypeObject* reactor_type() {
  return make_type("corvane._native.Reactor", sizeof(Boxed<ReactorState>),
                   {
                       {Py_tp_doc, const_cast<char*>("A core event loop driven by a host loop.")},
                       {Py_tp_new, slot(&reactor_new)},
                       {Py_tp_dealloc, slot(&dealloc_boxed<ReactorState>)},
                       {Py_tp_methods, reactor_methods},
                   },
                   g_reactor);
}

}  // namespace corvane::py::native
