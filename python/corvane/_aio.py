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
import collections
import time
from typing import TYPE_CHECKING, Any, Deque, Dict, Literal, NamedTuple, Optional

from . import _native
from ._run import kill_on_output_limit
from .sandbox import Sandbox, handle_of

if TYPE_CHECKING:
    from . import Output, PreparedCommand

__all__ = ["arun", "stream", "Stream", "StreamChunk"]


class _Run:
    """One arun call: what to start, where its result goes, and its id once started."""

    __slots__ = ("prepared", "kill", "sandbox", "future", "run_id", "on_chunk")

    def __init__(self, prepared: "PreparedCommand", kill: bool, sandbox: Any,
                 future: "asyncio.Future[Output]") -> None:
        self.prepared = prepared
        self.kill = kill
        self.sandbox = sandbox  # the native handle, or None
        self.future = future
        self.run_id: Optional[int] = None
        self.on_chunk: Any = None  # on_chunk(is_stdout, data) to have the output as it comes

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
            run.run_id = self._reactor.start(run.prepared, run.kill, run.done, run.sandbox,
                                             run.on_chunk)
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


def _driver(loop: asyncio.AbstractEventLoop) -> _Driver:
    driver = _drivers.get(loop)
    if driver is None:
        driver = _drivers[loop] = _Driver(loop)
    return driver


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
    driver = _driver(loop)
    run = _Run(prepared, kill, handle, loop.create_future())
    driver.submit(run)
    try:
        return await run.future
    except asyncio.CancelledError:
        driver.cancel(run)
        raise


class StreamChunk(NamedTuple):
    """Bytes a command wrote, as they were read: ``stream`` says which pipe."""

    stream: Literal["stdout", "stderr"]
    data: bytes


class _Feed:
    """What the reactor holds of a stream: its queue and its waiter, never the
    Stream itself, so a Stream nobody holds is collected, and stops its run."""

    __slots__ = ("chunks", "wake", "counts")

    def __init__(self) -> None:
        self.chunks: Deque[StreamChunk] = collections.deque()
        self.wake: "Optional[asyncio.Future[None]]" = None
        self.counts = [0, 0]  # bytes read from stdout and stderr, for the audit line

    def on_chunk(self, is_stdout: bool, data: bytes) -> None:
        # Called from inside run_ready(): only queue and wake.
        self.counts[not is_stdout] += len(data)
        self.chunks.append(StreamChunk("stdout" if is_stdout else "stderr", data))
        self.notify()

    def on_done(self, future: "asyncio.Future[Output]") -> None:
        if not future.cancelled():
            future.exception()  # read by the iteration, unless the stream was abandoned
        self.notify()

    def notify(self) -> None:
        if self.wake is not None and not self.wake.done():
            self.wake.set_result(None)


class Closed(Exception):
    """How an audit line names a stream its caller stopped before the command ended."""


class Stream:
    """The output of one run as it comes: ``async for chunk in stream``.

    The run starts at the first iteration, on the running loop, exactly as
    ``arun`` starts it. Each chunk is a StreamChunk. The iteration ends when
    the command has exited and everything it wrote was yielded; ``output`` is
    then its Output (exit code and status; its stdout and stderr are empty, as
    they went out as chunks). A run that fails raises ``arun``'s typed error
    after yielding everything read before it (an output limit's chunk is cut
    exactly at the limit; the error's partial output is then empty).

    Chunks wait in memory until they are taken; they never exceed the
    policy's max_stdout plus max_stderr, which bound the run's output.

    Leaving the loop early (``break``, an exception), ``aclose()``, leaving
    ``async with`` or cancelling the task kills and reaps the child at once.
    Without ``async with``, a stream still referenced after a ``break`` is
    stopped when it is collected: call ``aclose()`` to stop it at once.
    """

    __slots__ = ("_prepared", "_kill", "_sandbox", "_run", "_driver", "_feed", "_output",
                 "_ended", "_on_end")

    def __init__(self, prepared: "PreparedCommand", kill: bool, sandbox: Any) -> None:
        self._prepared: "Optional[PreparedCommand]" = prepared
        self._kill = kill
        self._sandbox = sandbox
        self._run: Optional[_Run] = None
        self._driver: Optional[_Driver] = None
        self._feed = _Feed()
        self._output: "Optional[Output]" = None
        self._ended = False
        # on_end(output, error, (stdout bytes, stderr bytes)), called once however
        # the stream ends: a Guard's audit line.
        self._on_end: Any = None

    def __aiter__(self) -> "Stream":
        return self

    async def __anext__(self) -> StreamChunk:
        if self._run is None and not self._ended:
            self._start()
        feed = self._feed
        while True:
            if feed.chunks:
                return feed.chunks.popleft()
            run = self._run
            if run is None or run.future.done():
                return self._finish()
            feed.wake = wake = asyncio.get_running_loop().create_future()
            try:
                await wake
            except asyncio.CancelledError as cancelled:
                self._stop(cancelled)
                raise
            finally:
                feed.wake = None

    @property
    def output(self) -> "Output":
        """The run's Output once the iteration has ended (streams empty)."""
        if self._output is None:
            raise RuntimeError("the stream has not ended with an exit yet")
        return self._output

    @property
    def exit_code(self) -> Optional[int]:
        """``output.exit_code``: the exit code, None after a signal."""
        return self.output.exit_code

    async def aclose(self) -> None:
        """Kills and reaps the child if it still runs; no chunk follows."""
        self._stop()

    async def __aenter__(self) -> "Stream":
        return self

    async def __aexit__(self, *exc: object) -> None:
        self._stop()

    def __del__(self) -> None:
        try:
            self._stop()
        except Exception:  # noqa: BLE001 (a loop already closed: its reactor reaped the child)
            pass

    def _start(self) -> None:
        prepared, self._prepared = self._prepared, None
        assert prepared is not None
        loop = asyncio.get_running_loop()
        run = _Run(prepared, self._kill, self._sandbox, loop.create_future())
        run.on_chunk = self._feed.on_chunk
        run.future.add_done_callback(self._feed.on_done)
        self._run = run
        self._driver = _driver(loop)
        self._driver.submit(run)

    def _finish(self) -> StreamChunk:
        run, self._run = self._run, None
        self._ended = True
        if run is not None and not run.future.cancelled():
            error = run.future.exception()
            if error is not None:
                self._end(None, error)
                raise error
            self._output = run.future.result()
            self._end(self._output, None)
        raise StopAsyncIteration

    def _stop(self, cause: Optional[BaseException] = None) -> None:
        run, driver = self._run, self._driver
        self._ended = True
        self._prepared = None
        self._feed.chunks.clear()
        if run is not None and run.future.done() and not run.future.cancelled():
            # The command had ended; the caller only left before the end was read.
            error = run.future.exception()
            self._end(None if error is not None else run.future.result(), error)
            return
        try:
            if run is not None and driver is not None and not run.future.done():
                self._run = None
                driver.cancel(run)
        finally:
            self._end(None, cause or Closed("the stream was closed before the command ended"
                                            if run is not None else
                                            "the stream was closed before the command started"))

    def _end(self, output: "Optional[Output]", error: Optional[BaseException]) -> None:
        on_end, self._on_end = self._on_end, None
        if on_end is not None:
            on_end(output, error, (self._feed.counts[0], self._feed.counts[1]))


def stream(prepared: "PreparedCommand", *, sandbox: "Optional[Sandbox]" = None,
           on_output_limit: str = "wait") -> Stream:
    """Runs ``prepared`` like ``arun`` and yields its output as it comes: see Stream."""
    return Stream(prepared, kill_on_output_limit(on_output_limit), handle_of(sandbox))
