"""The typed errors of the corvane package.

They subclass what ``_corvane`` raises for the same failures (``ValueError`` for
a refused request, ``RuntimeError`` for a failed run) and keep its message text
exactly, so code written against ``_corvane`` keeps working; the attributes add
what that text only describes.
"""

from __future__ import annotations

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Mapping, Optional, Tuple, Union


__all__ = ["Refused", "ExecutionError", "TimedOut", "OutputLimitExceeded", "SpawnFailed"]


class _Picklable:
    """Rebuilds from the message plus the attributes (the keyword-only fields
    are not in ``args``, so the default exception pickling would drop them)."""

    def __reduce__(self) -> Tuple[Any, ...]:
        # A mixin: `args` is the exception's, which a checker does not see here.
        return (type(self), getattr(self, "args"), dict(vars(self)))  # noqa: B009


class Refused(_Picklable, ValueError):
    """A policy refused the request; ``str(exc)`` is the one-line reason.

    ``kind`` names the violation (``"BinNotAllowed"``, ``"FlagNotAllowed"``, ...),
    ``index`` is the refused argv index when one is known and ``fields`` holds the
    violation's details by name (e.g. ``{"flag": "-x"}``).
    """

    kind: str
    index: Optional[int]
    fields: Dict[str, object]

    def __init__(self, message: str, *, kind: str = "", index: Optional[int] = None,
                 fields: Optional[Dict[str, object]] = None) -> None:
        super().__init__(message)
        self.kind = kind
        self.index = index
        self.fields = dict(fields) if fields is not None else {}


def refusal_record(refusal: Union[Refused, Mapping[str, Any]]) -> Dict[str, Any]:
    """A refusal as plain data: its message, kind, argv index and fields. Takes the
    raised Refused or the refusal of the core's explain (a mapping of those
    four), so that every answer that carries a refusal carries the same keys."""
    if isinstance(refusal, Refused):
        return {"message": str(refusal), "kind": refusal.kind, "index": refusal.index,
                "fields": dict(refusal.fields)}
    return {"message": refusal["message"], "kind": refusal.get("kind"),
            "index": refusal.get("index"), "fields": dict(refusal.get("fields") or {})}


class ExecutionError(_Picklable, RuntimeError):
    """Running a prepared command failed; ``str(exc)`` is the one-line reason.

    ``stdout`` and ``stderr`` hold what the child wrote before it was stopped
    (possibly nothing), so a caller can still show it.
    """

    stdout: bytes
    stderr: bytes

    def __init__(self, message: str, *, stdout: bytes = b"", stderr: bytes = b"") -> None:
        super().__init__(message)
        self.stdout = stdout
        self.stderr = stderr


class TimedOut(ExecutionError):
    """The command ran past its time limit and was killed (times in seconds)."""

    elapsed: float
    limit: float

    def __init__(self, message: str, *, elapsed: float = 0.0, limit: float = 0.0,
                 stdout: bytes = b"", stderr: bytes = b"") -> None:
        super().__init__(message, stdout=stdout, stderr=stderr)
        self.elapsed = elapsed
        self.limit = limit


class OutputLimitExceeded(ExecutionError):
    """A stream (``"stdout"`` or ``"stderr"``) wrote more than ``limit`` bytes."""

    stream: str
    limit: int

    def __init__(self, message: str, *, stream: str = "stdout", limit: int = 0,
                 stdout: bytes = b"", stderr: bytes = b"") -> None:
        super().__init__(message, stdout=stdout, stderr=stderr)
        self.stream = stream
        self.limit = limit


class SpawnFailed(ExecutionError):
    """The child could not be started (or the run could not be set up)."""
