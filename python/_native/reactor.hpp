// corvane._native.Reactor: one core EventLoop, driven from a host reactor
// (asyncio) instead of a thread of its own. The host watches fileno() for
// readability, wakes at next_timer(), and calls run_ready() on either; runs
// started on it report through a Python callback from inside run_ready().
#pragma once

#include "pyutil.hpp"

namespace corvane::py::native {

/// The Reactor type of this module (created once; nullptr with an exception set on failure).
PyTypeObject* reactor_type();

}  // namespace corvane::py::native
