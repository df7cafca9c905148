"""corvane.arun: running commands from asyncio without a thread per run.

Each asyncio loop that runs commands gets one core event loop (a
``_native.Reactor``) for as long as it has runs in flight: the reactor's epoll
descriptor is registered with ``loop.add_reader`` and its next deadline with
``loop.call_later``, and both call ``run_ready()``, which reads the children's
output, reaps them and enforces their time limits without ever blocking. A
thousand concurrent runs cost a thousand children and no thread.
"""

import asyncio
import time
from typing import TYPE_CHECKING, Dict, Optional

from . import _native
from ._run import kill_on_output_limit

if TYPE_CHECKING:
    from . import Output, PreparedCommand

__all__ = ["arun"]


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

    def start(self, prepared: "PreparedCommand", kill: bool,
              future: "asyncio.Future[Output]") -> int:
        def done(output: "Optional[Output]", error: Optional[BaseException]) -> None:
            # Called from inside run_ready() or cancel(): only settle the future.
            if future.done():
                return
            if error is not None:
                future.set_exception(error)
            elif output is not None:
                future.set_result(output)
            else:
                future.cancel()

        try:
            run_id = self._reactor.start(prepared, kill, done)
        finally:
            self._settle()
        return run_id

    def cancel(self, run_id: int) -> None:
        """Kills and reaps the run's child before returning."""
        try:
            self._reactor.cancel(run_id)
        finally:
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
        if self._reactor.idle():
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
    future: "asyncio.Future[Output]" = loop.create_future()
    run_id = driver.start(prepared, kill, future)
    try:
        return await future
    except asyncio.CancelledError:
        driver.cancel(run_id)
        raise
