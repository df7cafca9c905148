"""corvane.run: the blocking run without the interpreter lock, and the option
conversion it shares with corvane.arun."""

from __future__ import annotations

from . import _native
from .sandbox import Sandbox, handle_of

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional
    from . import Output, PreparedCommand

_ON_OUTPUT_LIMIT = {"wait": False, "kill": True}


def kill_on_output_limit(on_output_limit: str) -> bool:
    """Checks the on_output_limit option of run and arun; True for "kill"."""
    try:
        return _ON_OUTPUT_LIMIT[on_output_limit]
    except (KeyError, TypeError):
        raise ValueError(
            f"on_output_limit must be 'wait' or 'kill', not {on_output_limit!r}") from None


def run(prepared: "PreparedCommand", *, sandbox: "Optional[Sandbox]" = None,
        on_output_limit: str = "wait") -> "Output":
    """Runs ``prepared`` to completion and returns its Output.

    The same execution as ``prepared.spawn_sync()`` (limits, Output, messages),
    but the interpreter lock is released while the child runs, so other threads
    run Python meanwhile and several threads can run commands in parallel.
    Failures raise the typed errors of ``corvane.errors``.

    ``on_output_limit="kill"`` stops the child as soon as a stream passes its
    limit instead of waiting for both streams to end. ``sandbox`` (a
    ``corvane.Sandbox``) confines the command with the kernel; a limit of it
    that the command broke raises ``corvane.SandboxLimitExceeded``.
    """
    kill = kill_on_output_limit(on_output_limit)
    return _native.run(prepared, kill, handle_of(sandbox))
