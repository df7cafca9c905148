"""corvane.Sandbox: what an allowed command may do once it runs, enforced by the
kernel (Landlock, a seccomp socket filter, resource limits, a PID namespace).

The checks and presets are the C++ core's; this class converts its options and
presents the result. Pass one to ``corvane.run`` or ``corvane.arun``.
"""

from __future__ import annotations

import os

from . import _native
from .errors import ExecutionError

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterable, Mapping, Optional, Tuple, Union

__all__ = ["Sandbox", "SandboxLimitExceeded"]

if TYPE_CHECKING:  # names for annotations only: evaluating them would cost every start
    PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
    # network=: True, False, or TCP ports {"connect": [443], "bind": [8000]}.
    Network = Union[bool, Mapping[str, Iterable[int]]]

# Stands for "the core's default" among the limits (None means "inherited").
_DEFAULT: Any = ...


_LIMITS = ("memory", "cpu_seconds", "processes", "file_size", "open_files")


class Sandbox:
    """A kernel sandbox for a run; see docs/sandbox.md.

    ``read``, ``write`` and ``exec`` list paths the command may read, write, and
    execute besides its own binary and interpreters (with ``exec`` empty the
    command may start no new process, threads aside); ``network`` (False)
    allows sockets, and a mapping ``{"connect": [443], "bind": [8000]}``
    allows TCP to and on those ports only (no UDP; Landlock ABI 4; the kernel
    checks ports, not hosts, so port 443 reaches every host); ``keep_background``
    (False) lets processes outlive the run;
    ``best_effort`` (False) skips a kernel feature the machine lacks instead of
    raising; ``private_tmp`` (False) gives every run a fresh directory of its
    own under the host's temporary directory, writable by that command alone,
    named by ``TMPDIR`` and removed with its contents when the run ends.
    Limits: ``memory`` (address space, bytes), ``cpu_seconds``, ``processes``,
    ``file_size`` (bytes) and ``open_files``; leave one out for the default,
    pass None to keep the inherited limit.

    Raises TypeError for an argument of the wrong type (the switches take True
    or False only: ``network="false"`` is an error, not a true value), and
    ValueError naming a path that does not exist, a negative limit, a port
    outside 1-65535 or a missing feature.
    """

    __slots__ = ("_handle",)

    def __init__(self, *, read: Iterable[PathLike] = (), write: Iterable[PathLike] = (),
                 exec: Iterable[PathLike] = (), network: Network = False,
                 keep_background: bool = False, best_effort: bool = False,
                 private_tmp: bool = False, memory: Optional[int] = _DEFAULT,
                 cpu_seconds: Optional[int] = _DEFAULT, processes: Optional[int] = _DEFAULT,
                 file_size: Optional[int] = _DEFAULT,
                 open_files: Optional[int] = _DEFAULT) -> None:
        self._build(None, read, write, exec, network, keep_background, best_effort, private_tmp,
                    (memory, cpu_seconds, processes, file_size, open_files))

    def _build(self, workspace: Optional[PathLike], read: Any, write: Any, exec: Any,
               network: Any, keep_background: Any, best_effort: Any, private_tmp: Any,
               limits: Tuple[Any, ...]) -> None:
        # Every argument is checked where the binding converts it for the core.
        self._handle = _native.sandbox_build(workspace, read, write, exec, network,
                                             keep_background, best_effort, private_tmp, limits)

    @classmethod
    def workspace(cls, path: PathLike, *, read: Iterable[PathLike] = (),
                  write: Iterable[PathLike] = (), exec: Iterable[PathLike] = (),
                  network: Network = False, keep_background: bool = False,
                  best_effort: bool = False, private_tmp: bool = False,
                  memory: Optional[int] = _DEFAULT,
                  cpu_seconds: Optional[int] = _DEFAULT, processes: Optional[int] = _DEFAULT,
                  file_size: Optional[int] = _DEFAULT,
                  open_files: Optional[int] = _DEFAULT) -> "Sandbox":
        """The common case in one line: the system's read-only tree plus ``path``
        writable (the core's preset), with any extra paths and options."""
        self = cls.__new__(cls)
        self._build(path, read, write, exec, network, keep_background, best_effort, private_tmp,
                    (memory, cpu_seconds, processes, file_size, open_files))
        return self

    @staticmethod
    def available() -> Dict[str, Any]:
        """What this machine offers: ``landlock_abi`` (0 when missing), ``seccomp``,
        ``pid_namespace``, ``user_namespace`` and ``privileged``."""
        return _native.sandbox_available()

    def _described(self) -> "_native.SandboxDescription":
        return _native.sandbox_describe(self._handle)

    @property
    def read(self) -> Tuple[str, ...]:
        return tuple(os.fsdecode(p) for p in self._described()[3])

    @property
    def write(self) -> Tuple[str, ...]:
        return tuple(os.fsdecode(p) for p in self._described()[4])

    @property
    def exec(self) -> Tuple[str, ...]:
        return tuple(os.fsdecode(p) for p in self._described()[5])

    @property
    def network(self) -> Union[bool, Dict[str, Tuple[int, ...]]]:
        """True, False, or the TCP ports: ``{"connect": (443,), "bind": ()}``."""
        return self._described()[6]

    @property
    def keep_background(self) -> bool:
        return self._described()[7]

    @property
    def best_effort(self) -> bool:
        return self._described()[8]

    @property
    def private_tmp(self) -> bool:
        """Whether every run gets a private temporary directory (TMPDIR)."""
        return self._described()[9]

    @property
    def containment(self) -> str:
        """How the process tree ends with the run: "pid namespace", "user and pid
        namespace", "process group" or "none"."""
        return self._described()[0]

    @property
    def skipped(self) -> Tuple[str, ...]:
        """Features skipped under ``best_effort`` because the machine lacks them."""
        return self._described()[1]

    @property
    def limits(self) -> Dict[str, Optional[int]]:
        """The limits in force, None where the inherited one is kept."""
        return dict(zip(_LIMITS, self._described()[2], strict=True))

    def __repr__(self) -> str:
        return (f"Sandbox(read={self.read!r}, write={self.write!r}, exec={self.exec!r}, "
                f"network={self.network!r}, keep_background={self.keep_background!r}, "
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
