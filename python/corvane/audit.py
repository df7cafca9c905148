"""corvane.audit: a trail of what a Guard decided and ran, one JSON line each.

A line is written for every ``check`` and every ``run``/``arun``/``stream``
of a Guard made with ``guard.with_audit(sink)``, or from a policy file with an
``[audit]`` table; ``sink`` is a file name (lines are appended) or a callable
that takes each line (a str without its newline).
Lines are handed to a writer thread of the trail's own, so recording never
blocks the caller, an asyncio loop included; the callable is called on that
thread. A line that cannot be written (the disk is full, the callable raised,
or more than ``max_pending`` lines wait) is counted in ``failures`` with the
reason in ``last_error``, and the first failure of a trail is reported on
standard error; an audit trail never fails silently.

Every string an agent supplied is escaped: the line is JSON with every
character outside printable ASCII written as an escape, and a byte that was
not UTF-8 (kept by Python as a lone surrogate) as the text ``\\xNN``, so no
argument can end a line or forge another one.
"""

from __future__ import annotations

import atexit
import json
import os
import queue
import sys
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Sequence, Tuple, Union

if TYPE_CHECKING:
    from . import Output, PreparedCommand

__all__ = ["AuditTrail"]

# Where lines go: a file's name or a callable; with_audit() also takes a trail.
Target = Union[str, "os.PathLike[str]", Callable[[str], Any]]
Sink = Union[Target, "AuditTrail"]

# Lines waiting for the writer before a further one is dropped (and counted).
DEFAULT_MAX_PENDING = 10_000

# How long the interpreter's exit waits for the lines still queued.
_EXIT_WAIT = 2.0


def _text(value: Any) -> Any:
    """`value` with every string made valid Unicode: a byte that was not UTF-8 as \\xNN."""
    if isinstance(value, bytes):
        return value.decode("utf-8", "backslashreplace")
    if isinstance(value, str):
        try:
            value.encode("utf-8")
            return value
        except UnicodeEncodeError:
            try:
                return value.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
            except UnicodeEncodeError:  # a surrogate no OS byte made
                return value.encode("utf-8", "backslashreplace").decode("ascii")
    if isinstance(value, dict):
        return {str(_text(k)): _text(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_text(v) for v in value]
    return value


def encode(entry: Dict[str, Any]) -> str:
    """The line of `entry`: ASCII-only JSON, so it holds no newline nor any other
    control character, whatever the agent sent."""
    return json.dumps(_text(entry), ensure_ascii=True, allow_nan=False, separators=(",", ":"))


class AuditTrail:
    """Where a Guard's lines go; see the module's documentation."""

    def __init__(self, sink: Target, *, max_pending: int = DEFAULT_MAX_PENDING) -> None:
        self._fd = -1
        if callable(sink):
            self._write: Callable[[str], Any] = sink
            self.target = getattr(sink, "__qualname__", repr(sink))
        else:
            path = os.fspath(sink)
            # Opened now, so that a trail that cannot be written is an error before
            # anything runs; appended to, so that concurrent writers keep whole lines.
            self._fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)
            self._write = self._append
            self.target = path
        self.failures = 0
        self.last_error: Optional[str] = None
        self._lock = threading.Lock()
        self._queue: "queue.Queue[Optional[str]]" = queue.Queue(max_pending)
        self._thread = threading.Thread(target=self._drain, name="corvane-audit", daemon=True)
        self._thread.start()
        atexit.register(self.close)

    @classmethod
    def standard_error(cls, *, max_pending: int = DEFAULT_MAX_PENDING) -> "AuditTrail":
        """A trail written to this process's standard error (descriptor 2), a
        whole line per write."""
        trail = cls(_write_stderr, max_pending=max_pending)
        trail.target = "standard error"
        return trail

    def record(self, entry: Dict[str, Any]) -> None:
        """Queues the line of `entry`; never blocks."""
        entry = {"time": _now(), **entry}
        try:
            self._queue.put_nowait(encode(entry))
        except queue.Full:
            self._failed(f"more than {self._queue.maxsize} lines waiting to be written; a line was dropped")

    def flush(self, timeout: float = 10.0) -> bool:
        """Waits up to `timeout` seconds for every queued line to be written (or
        to fail); True when none is left."""
        deadline = time.monotonic() + timeout
        with self._queue.all_tasks_done:
            while self._queue.unfinished_tasks:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._queue.all_tasks_done.wait(left)
        return True

    def close(self) -> None:
        """Writes what is queued (waiting a bounded time) and closes the file."""
        atexit.unregister(self.close)
        if self._thread.is_alive():
            self.flush(_EXIT_WAIT)
            try:
                self._queue.put_nowait(None)
            except queue.Full:
                pass  # the writer is stuck: it is a daemon and ends with the process
            self._thread.join(_EXIT_WAIT)
        if self._fd >= 0 and not self._thread.is_alive():
            os.close(self._fd)
            self._fd = -1

    def _append(self, line: str) -> None:
        data = (line + "\n").encode("ascii")
        while data:
            data = data[os.write(self._fd, data):]

    def _drain(self) -> None:
        while True:
            line = self._queue.get()
            try:
                if line is None:
                    return
                self._write(line)
            except Exception as error:  # noqa: BLE001 (any failure is counted and reported)
                self._failed(f"{type(error).__name__}: {error}")
            finally:
                self._queue.task_done()

    def _failed(self, reason: str) -> None:
        with self._lock:
            self.failures += 1
            self.last_error = reason
            first = self.failures == 1
        if first:
            try:
                sys.stderr.write(f"corvane: the audit trail to {self.target} failed: {reason} "
                                 f"(this is reported once; later failures are counted in its "
                                 f"'failures')\n")
                sys.stderr.flush()
            except (OSError, ValueError):
                pass  # no stderr left: the counter still says it

    def __repr__(self) -> str:
        return f"AuditTrail({self.target!r}, failures={self.failures})"


def _write_stderr(line: str) -> None:
    data = (line + "\n").encode("ascii")
    while data:
        data = data[os.write(2, data):]


def _now() -> str:
    seconds = time.time()
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + f".{int(seconds % 1 * 1000):03d}Z"


def request_fields(policy: Optional[str], bin: Any, argv: Any, cwd: Any) -> Dict[str, Any]:
    """What was asked: the agent's own words, escaped when written."""
    return {"policy": policy, "binary": os.fspath(bin) if isinstance(bin, os.PathLike) else bin,
            "argv": list(argv) if isinstance(argv, (list, tuple)) else argv,
            "cwd": os.fspath(cwd) if isinstance(cwd, os.PathLike) else cwd}


def decision_fields(prepared: "Optional[PreparedCommand]", refusal: Optional[BaseException],
                    sandbox: Any) -> Dict[str, Any]:
    """What the Guard decided: the command as it runs, or the refusal's kind and index."""
    if refusal is not None:
        from .errors import Refused

        # Refused by a rule, or a request the Guard could not even take (a NUL byte).
        verdict = "refused" if isinstance(refusal, Refused) else "invalid"
        return {"verdict": verdict, "kind": getattr(refusal, "kind", None),
                "index": getattr(refusal, "index", None), "message": str(refusal)}
    assert prepared is not None
    return {"verdict": "allowed",
            "prepared": {"bin": prepared.bin, "argv": list(prepared.argv), "cwd": prepared.cwd},
            "sandbox": sandbox}


def run_fields(output: "Optional[Output]", error: Optional[BaseException], started: float,
               streamed: "Optional[Tuple[int, int]]" = None) -> Dict[str, Any]:
    """How the run ended: exit code or signal, time, bytes of output and whether
    they were cut. `streamed`: the (stdout, stderr) bytes a stream handed out,
    which its Output and errors no longer hold."""
    from . import _native
    from .errors import ExecutionError, OutputLimitExceeded

    fields: Dict[str, Any] = {"duration": round(time.monotonic() - started, 6)}
    if output is not None:
        counts = streamed or (len(output.stdout), len(output.stderr))
        fields.update(exit_code=output.exit_code, signal=_native.exit_signal(output),
                      stdout_bytes=counts[0], stderr_bytes=counts[1], cut=False)
    elif error is not None:
        fields.update(error=type(error).__name__, message=str(error))
        if isinstance(error, ExecutionError) and streamed is None:
            streamed = (len(error.stdout or b""), len(error.stderr or b""))
        if streamed is not None:
            fields.update(stdout_bytes=streamed[0], stderr_bytes=streamed[1],
                          cut=isinstance(error, OutputLimitExceeded))
    return fields


class Call:
    """One check or run on its way to its line: the request, then the decision,
    then (for a run or a stream) how it ended. The line goes to every trail of
    the Guard (its policy file's and the one with_audit() added)."""

    __slots__ = ("_trails", "_entry", "_sandbox", "_started")

    def __init__(self, trails: Sequence[AuditTrail], op: str, policy: Optional[str], sandbox: Any,
                 bin: Any, argv: Any, cwd: Any) -> None:
        self._trails = trails
        self._entry: Dict[str, Any] = {"op": op, **request_fields(policy, bin, argv, cwd)}
        self._sandbox = sandbox
        self._started = time.monotonic()

    def decided(self, prepared: "Optional[PreparedCommand]", refusal: Optional[BaseException]) -> None:
        self._entry.update(decision_fields(prepared, refusal, self._sandbox))
        if refusal is not None or self._entry["op"] == "check":
            self._record()

    def ran(self, output: "Optional[Output]", error: Optional[BaseException],
            streamed: "Optional[Tuple[int, int]]" = None) -> None:
        self._entry.update(run_fields(output, error, self._started, streamed))
        self._record()

    def _record(self) -> None:
        for trail in self._trails:
            trail.record(self._entry)
