"""corvane.run: the blocking run without the interpreter lock, and the option
conversion it shares with corvane.arun."""

from typing import TYPE_CHECKING, Optional

from . import _native

if TYPE_CHECKING:
    from . import Output, PreparedCommand

_ON_OUTPUT_LIMIT = {"wait": False, "kill": True}


def kill_on_output_limit(on_output_limit: str, sandbox: Optional[object]) -> bool:
    """Checks the options common to run and arun; True for "kill"."""
    if sandbox is not None:
        raise TypeError("sandbox: no sandbox type is available in this version; pass None")
    try:
        return _ON_OUTPUT_LIMIT[on_output_limit]
    except (KeyError, TypeError):
        raise ValueError(
            f"on_output_limit must be 'wait' or 'kill', not {on_output_limit!r}") from None


def run(prepared: "PreparedCommand", *, sandbox: Optional[object] = None,
        on_output_limit: str = "wait") -> "Output":
    """Runs ``prepared`` to completion and returns its Output.

    The same execution as ``prepared.spawn_sync()`` (limits, Output, messages),
    but the interpreter lock is released while the child runs, so other threads
    run Python meanwhile and several threads can run commands in parallel.
    Failures raise the typed errors of ``corvane.errors``.

    ``on_output_limit="kill"`` stops the child as soon as a stream passes its
    limit instead of waiting for both streams to end.
    """
    kill = kill_on_output_limit(on_output_limit, sandbox)
    return _native.run(prepared, kill)
