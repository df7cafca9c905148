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

# The native half checks, as it loads, that _corvane's objects have the layout it
# reads; a mismatched build must fail here, at import, not crash on a first run.
from . import _native  # noqa: F401, E402

# Everything beyond the extension's classes is imported the first time it is
# asked for: `corvane run` pays for what it uses, not for asyncio, the model's
# text or the sandbox's tables (the time of a command's start is the point).
_LAZY = {
    "ExecutionError": "errors", "OutputLimitExceeded": "errors", "Refused": "errors",
    "SpawnFailed": "errors", "TimedOut": "errors",
    "Sandbox": "sandbox", "SandboxLimitExceeded": "sandbox",
    "run": "_run", "arun": "_aio", "stream": "_aio", "Stream": "_aio", "StreamChunk": "_aio",
    "PolicyError": "policy_file",
    "Guard": "guard",
    "format_result": "tool",
}

__doc__ = _corvane.__doc__


def __getattr__(name: str) -> object:
    where = _LAZY.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(f".{where}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> "list[str]":
    return sorted(set(globals()) | set(_LAZY))

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
