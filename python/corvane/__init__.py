"""Process execution guard for agentic systems.

The nine classes live in the ``_corvane`` extension module; this package
re-exports them under the name the documentation uses, and adds running
without holding the interpreter lock (``run``), from asyncio (``arun``), and
the typed errors those raise.
"""

import _corvane
from _corvane import (
    ArgRules,
    InjectDoubleDash,
    Output,
    PreparedCommand,
    ProcPolicy,
    ProcPolicyBuilder,
    ProcRequest,
    RiskCategory,
    RiskyBinPolicy,
)

from .errors import ExecutionError, OutputLimitExceeded, Refused, SpawnFailed, TimedOut
from .sandbox import Sandbox, SandboxLimitExceeded
from ._run import run
from .policy_file import PolicyError
from .guard import Guard
from .tool import format_result

__doc__ = _corvane.__doc__


def __getattr__(name: str) -> object:
    # arun brings asyncio in, whose import alone costs a command-line start tens
    # of milliseconds: it is imported the first time it is asked for.
    if name in ("arun", "stream", "Stream", "StreamChunk"):
        from . import _aio

        value = getattr(_aio, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = [
    "RiskyBinPolicy",
    "InjectDoubleDash",
    "RiskCategory",
    "ArgRules",
    "ProcRequest",
    "Output",
    "PreparedCommand",
    "ProcPolicyBuilder",
    "ProcPolicy",
    "run",
    "arun",
    "stream",
    "Stream",
    "StreamChunk",
    "Refused",
    "ExecutionError",
    "TimedOut",
    "OutputLimitExceeded",
    "SpawnFailed",
    "Guard",
    "PolicyError",
    "Sandbox",
    "SandboxLimitExceeded",
    "format_result",
]

del _corvane
