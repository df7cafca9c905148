"""corvane.arun: running commands from asyncio without a thread per run.

Each asyncio loop that runs commands gets one core event loop (a
``_native.Reactor``) for as long as it has runs in flight: the reactor's epoll
descriptor is registered with ``loop.add_reader`` and its next deadline with
``loop.call_later``, and both call ``run_ready()``, which reads the children's
output, reaps them and enforces their time limits without ever blocking. A
thousand concurrent runs cost a thousand children and no thread.

Children are started by the core's starter thread, so ``start()`` returns at
once and the loop's thread never waits for the kernel to create a process; the
run joins the reactor once its child exists. A start waiting for its turn holds
no descriptor (the reactor has one eventfd for all of them); a running child
holds three (its pidfd and two pipes), and a run that finds none left fails with
``SpawnFailed``, as ``corvane.run`` does, while the others go on.
"""

import asyncio
import time
from typing import TYPE_CHECKING, Any, Dict, Optional

from . import _native
from ._run import kill_on_output_limit
from .sandbox import Sandbox, handle_of

if TYPE_CHECKING:
    from . import Output, PreparedCommand

__all__ = ["arun"]


class _Run:
    """One arun call: what to start, where its result goes, and its id once started."""

    __slots__ = ("prepared", "kill", "sandbox", "future", "run_id")

    def __init__(self, prepared: "PreparedCommand", kill: bool, sandbox: Any,
                 future: "asyncio.Future[Output]") -> None:
        self.prepared = prepared
        self.kill = kill
        self.sandbox = sandbox  # the native handle, or None
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
        loop.add_reader(self._fd, self._wake)

    def submit(self, run: _Run) -> None:
        """Hands the run's start to the starter thread; returns at once."""
        try:
            run.run_id = self._reactor.start(run.prepared, run.kill, run.done, run.sandbox)
        except Exception as error:  # noqa: BLE001 (a bad argument: the caller's await raises it)
            if not run.future.done():
                run.future.set_exception(error)
        self._settle()

    def cancel(self, run: _Run) -> None:
        """Kills and reaps the run's child (if it was started) before returning."""
        if run.run_id is not None:
            try:
                self._reactor.cancel(run.run_id)
            finally:
                self._settle()

    def _wake(self) -> None:
        try:
            self._reactor.run_ready()
        finally:
            self._settle()

    def _settle(self) -> None:
        """After any change: close when idle, else make sure of a wake-up by the next deadline."""
        if self._closed:
            return
        if self._reactor.idle():
            self._close()
            return
        when = self._reactor.next_timer()
        # A wake-up no later than the deadline is enough: an early one finds
        # nothing due and books the next. Runs one after another, each with a
        # later deadline, then share one timer instead of booking and
        # cancelling one each.
        if when is None or (self._timer_when is not None and self._timer_when <= when):
            return
        if self._timer is not None:
            self._timer.cancel()
        self._timer_when = when
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


async def arun(prepared: "PreparedCommand", *, sandbox: "Optional[Sandbox]" = None,
               on_output_limit: str = "wait") -> "Output":
    """Runs ``prepared`` on the running asyncio loop and returns its Output.

    The same execution as ``corvane.run`` (limits, Output, typed errors), driven
    by the loop itself: no thread is used, and any number of runs can be in
    flight at once. Cancelling the awaiting task (``asyncio.wait_for``, a
    ``TaskGroup``, ...) kills and reaps the child before ``CancelledError``
    propagates.
    """
    kill = kill_on_output_limit(on_output_limit)
    handle = handle_of(sandbox)
    loop = asyncio.get_running_loop()
    driver = _drivers.get(loop)
    if driver is None:
        driver = _drivers[loop] = _Driver(loop)
    run = _Run(prepared, kill, handle, loop.create_future())
    driver.submit(run)
    try:
        return await run.future
    except asyncio.CancelledError:
        driver.cancel(run)
        raise
