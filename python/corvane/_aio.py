"""corvane.arun: running commands from asyncio without a thread per run.

Each asyncio loop that runs commands gets one core event loop (a
``_native.Reactor``) for as long as it has runs in flight: the reactor's epoll
descriptor is registered with ``loop.add_reader`` and its next deadline with
``loop.call_later``, and both call ``run_ready()``, which reads the children's
output, reaps them and enforces their time limits without ever blocking. A
thousand concurrent runs cost a thousand children and no thread.

Starting a child is the one step that takes the loop's thread for a while (the
kernel has to set up the new process), so starts are paced: a burst of them is
spread over loop iterations, a few milliseconds' worth per iteration, and the
loop's other callbacks run in between.
"""

import asyncio
import collections
import time
from typing import TYPE_CHECKING, Deque, Dict, Optional

from . import _native
from ._run import kill_on_output_limit

if TYPE_CHECKING:
    from . import Output, PreparedCommand

__all__ = ["arun"]

# How long starting children may hold the loop's thread per loop iteration.
_START_BUDGET = 0.002


class _Run:
    """One arun call: what to start, where its result goes, and its id once started."""

    __slots__ = ("prepared", "kill", "future", "run_id")

    def __init__(self, prepared: "PreparedCommand", kill: bool,
                 future: "asyncio.Future[Output]") -> None:
        self.prepared = prepared
        self.kill = kill
        self.future = future
        self.run_id: Optional[int] = None

    def done(self, output: "Optional[Output]", error: Optional[BaseException]) -> None:
        # Called from inside run_ready() or cancel(): only settle the future.
        if self.future.done():
            return
        if error is not None:
            self.future.set_exception(error)
        elif output is not None:
            self.future.set_result(output)
        else:
            self.future.cancel()


class _Driver:
    """One reactor driven by one asyncio loop; closed as soon as it is idle."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._reactor = _native.Reactor()
        self._fd = self._reactor.fileno()
        self._timer: Optional[asyncio.TimerHandle] = None
        self._timer_when: Optional[float] = None
        self._closed = False
        self._waiting: Deque[_Run] = collections.deque()
        self._spent = 0.0  # time spent starting children in this loop iteration
        self._next_iteration_armed = False
        loop.add_reader(self._fd, self._wake)

    def submit(self, run: _Run) -> None:
        """Starts the run now, or in a later iteration when this one's budget is spent."""
        if not self._waiting and self._spent < _START_BUDGET:
            self._start(run)
            self._settle()
        else:
            self._waiting.append(run)
        self._arm_next_iteration()

    def cancel(self, run: _Run) -> None:
        """Kills and reaps the run's child (if it was started) before returning."""
        if run.run_id is None:
            try:
                self._waiting.remove(run)
            except ValueError:
                pass
        else:
            try:
                self._reactor.cancel(run.run_id)
            finally:
                self._settle()
        self._settle()

    def _start(self, run: _Run) -> None:
        start = time.perf_counter()
        try:
            run.run_id = self._reactor.start(run.prepared, run.kill, run.done)
        except Exception as error:  # a bad argument: the caller's await raises it
            if not run.future.done():
                run.future.set_exception(error)
        finally:
            self._spent += time.perf_counter() - start

    def _arm_next_iteration(self) -> None:
        if not self._next_iteration_armed:
            self._next_iteration_armed = True
            self._loop.call_soon(self._next_iteration)

    def _next_iteration(self) -> None:
        self._next_iteration_armed = False
        self._spent = 0.0
        while self._waiting and self._spent < _START_BUDGET:
            self._start(self._waiting.popleft())
        if self._waiting:
            self._arm_next_iteration()
        self._settle()

    def _wake(self) -> None:
        try:
            self._reactor.run_ready()
        finally:
            self._settle()

    def _settle(self) -> None:
        """After any change: close when idle, else wake at the next deadline."""
        if self._closed:
            return
        if not self._waiting and self._reactor.idle():
            self._close()
            return
        when = self._reactor.next_timer()
        if when == self._timer_when:
            return
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        self._timer_when = when
        if when is not None:
            # The loop's own clock may differ from time.monotonic() (uvloop's
            # does), so the deadline is handed over as a delay.
            self._timer = self._loop.call_later(max(0.0, when - time.monotonic()), self._on_timer)

    def _on_timer(self) -> None:
        self._timer = None
        self._timer_when = None
        self._wake()

    def _close(self) -> None:
        self._closed = True
        if _drivers.get(self._loop) is self:
            del _drivers[self._loop]
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        if not self._loop.is_closed():
            self._loop.remove_reader(self._fd)
        self._reactor.close()


# The driver of each loop with runs in flight.
_drivers: Dict[asyncio.AbstractEventLoop, _Driver] = {}


async def arun(prepared: "PreparedCommand", *, sandbox: Optional[object] = None,
               on_output_limit: str = "wait") -> "Output":
    """Runs ``prepared`` on the running asyncio loop and returns its Output.

    The same execution as ``corvane.run`` (limits, Output, typed errors), driven
    by the loop itself: no thread is used, and any number of runs can be in
    flight at once. Cancelling the awaiting task (``asyncio.wait_for``, a
    ``TaskGroup``, ...) kills and reaps the child before ``CancelledError``
    propagates.
    """
    kill = kill_on_output_limit(on_output_limit, sandbox)
    loop = asyncio.get_running_loop()
    driver = _drivers.get(loop)
    if driver is None:
        driver = _drivers[loop] = _Driver(loop)
    run = _Run(prepared, kill, loop.create_future())
    driver.submit(run)
    try:
        return await run.future
    except asyncio.CancelledError:
        driver.cancel(run)
        raise
