"""corvane.Sandbox: what an allowed command may do once it runs, enforced by the
kernel (Landlock, a seccomp socket filter, resource limits, a PID namespace).

The checks and presets are the C++ core's; this class converts its options and
presents the result. Pass one to ``corvane.run`` or ``corvane.arun``.
"""

import os
from typing import Any, Dict, Iterable, Optional, Tuple, Union

from . import _native
from .errors import ExecutionError

__all__ = ["Sandbox", "SandboxLimitExceeded"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Stands for "the core's default" among the limits (None means "inherited").
_DEFAULT: Any = ...

_LIMITS = ("memory", "cpu_seconds", "processes", "file_size", "open_files")


def _paths(name: str, values: Iterable[PathLike]) -> Tuple[bytes, ...]:
    if isinstance(values, (str, bytes, os.PathLike)):
        raise TypeError(f"{name}: expected a list of paths, not one path")
    return tuple(os.fsencode(value) for value in values)


def _limit(name: str, value: Any) -> Any:
    if value is _DEFAULT or value is None:
        return value
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name}: expected an int or None, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name}: must not be negative")
    return value


class Sandbox:
    """A kernel sandbox for a run; see the README's Sandbox section.

    ``read``, ``write`` and ``exec`` list paths the command may read, write, and
    execute besides its own binary and interpreters (with ``exec`` empty the
    command may start no new process, threads aside); ``network`` (False)
    allows sockets; ``keep_background`` (False) lets processes outlive the run;
    ``best_effort`` (False) skips a kernel feature the machine lacks instead of
    raising. Limits: ``memory`` (address space, bytes), ``cpu_seconds``,
    ``processes``, ``file_size`` (bytes) and ``open_files``; leave one out for
    the default, pass None to keep the inherited limit.

    Raises ValueError naming a path that does not exist or a missing feature.
    """

    __slots__ = ("_handle", "_read", "_write", "_exec", "_network", "_keep_background",
                 "_best_effort")

    def __init__(self, *, read: Iterable[PathLike] = (), write: Iterable[PathLike] = (),
                 exec: Iterable[PathLike] = (), network: bool = False,
                 keep_background: bool = False, best_effort: bool = False,
                 memory: Optional[int] = _DEFAULT, cpu_seconds: Optional[int] = _DEFAULT,
                 processes: Optional[int] = _DEFAULT, file_size: Optional[int] = _DEFAULT,
                 open_files: Optional[int] = _DEFAULT) -> None:
        self._read = _paths("read", read)
        self._write = _paths("write", write)
        self._exec = _paths("exec", exec)
        self._network = bool(network)
        self._keep_background = bool(keep_background)
        self._best_effort = bool(best_effort)
        limits = tuple(_limit(name, value) for name, value in zip(
            _LIMITS, (memory, cpu_seconds, processes, file_size, open_files)))
        self._handle = _native.sandbox_build(self._read, self._write, self._exec,
                                             self._network, self._keep_background,
                                             self._best_effort, limits)

    @classmethod
    def workspace(cls, path: PathLike, *, read: Iterable[PathLike] = (),
                  write: Iterable[PathLike] = (), **options: Any) -> "Sandbox":
        """The common case in one line: the system's read-only tree plus ``path``
        writable (the core's preset), with any extra paths and options."""
        preset_read, preset_write = _native.sandbox_preset(os.fsencode(path))
        return cls(read=preset_read + _paths("read", read),
                   write=preset_write + _paths("write", write), **options)

    @staticmethod
    def available() -> Dict[str, Any]:
        """What this machine offers: ``landlock_abi`` (0 when missing), ``seccomp``,
        ``pid_namespace``, ``user_namespace`` and ``privileged``."""
        return _native.sandbox_available()

    @property
    def read(self) -> Tuple[str, ...]:
        return tuple(os.fsdecode(p) for p in self._read)

    @property
    def write(self) -> Tuple[str, ...]:
        return tuple(os.fsdecode(p) for p in self._write)

    @property
    def exec(self) -> Tuple[str, ...]:
        return tuple(os.fsdecode(p) for p in self._exec)

    @property
    def network(self) -> bool:
        return self._network

    @property
    def keep_background(self) -> bool:
        return self._keep_background

    @property
    def containment(self) -> str:
        """How the process tree ends with the run: "pid namespace", "user and pid
        namespace", "process group" or "none"."""
        return _native.sandbox_describe(self._handle)[0]

    @property
    def skipped(self) -> Tuple[str, ...]:
        """Features skipped under ``best_effort`` because the machine lacks them."""
        return _native.sandbox_describe(self._handle)[1]

    @property
    def limits(self) -> Dict[str, Optional[int]]:
        """The limits in force, None where the inherited one is kept."""
        return dict(zip(_LIMITS, _native.sandbox_describe(self._handle)[2]))

    def __repr__(self) -> str:
        return (f"Sandbox(read={self.read!r}, write={self.write!r}, exec={self.exec!r}, "
                f"network={self._network!r}, keep_background={self._keep_background!r}, "
                f"containment={self.containment!r})")


class SandboxLimitExceeded(ExecutionError):
    """The command broke a limit of its sandbox (CPU time, file size) and was
    ended by the kernel; ``str(exc)`` names it, e.g. "CPU time limit of 60 s
    exceeded", and ``status`` is the wait status."""

    status: int

    def __init__(self, message: str, *, stdout: bytes = b"", stderr: bytes = b"",
                 status: int = 0) -> None:
        super().__init__(message, stdout=stdout, stderr=stderr)
        self.status = status


def handle_of(sandbox: Optional[Sandbox]) -> Any:
    """The native handle a run takes for ``sandbox`` (None for none)."""
    if sandbox is None:
        return None
    if not isinstance(sandbox, Sandbox):
        raise TypeError(f"sandbox: expected a corvane.Sandbox or None, not "
                        f"{type(sandbox).__name__}")
    return sandbox._handle
