"""The Guard's answers as plain data, and the exit code each one gives.

`corvane OP --json` prints these objects, `serve` sends them as its answers,
and the text of `corvane OP` is made from them, so the three never disagree.
"""

from __future__ import annotations

import os
from collections.abc import Mapping


from ..errors import ExecutionError, Refused, refusal_record
from ..tool import exit_signal

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Optional, Union
    from .. import Output
    from ..guard import Guard
    from .requests import Request

# Exit codes of check and explain (and of run, serve and mcp before they start work).
EXIT_OK = 0
EXIT_REFUSED = 1
EXIT_USAGE = 2  # a wrong command line or a policy file that does not load

# `run` passes the child's exit code through (0-255, 128+N after signal N), so its own
# outcomes use the band that wrappers such as env, nice and timeout made conventional,
# where a script does not mistake them for "grep found nothing" (1) or "usage" (2).
RUN_EXEC_ERROR = 124  # the command started but was stopped: timed out or output limit
RUN_USAGE = 125  # a wrong command line or a policy file that does not load
RUN_REFUSED = 126  # the policy refused the request; nothing ran
RUN_SPAWN_FAILED = 127  # the command was allowed but could not be started

# The answers that say the request itself could not be taken (or that we failed).
_NOT_A_DECISION = ("PolicyError", "UsageError", "BadRequest", "InternalError")


def _bytes_fields(name: str, data: bytes) -> Dict[str, Any]:
    """`name` as text; the exact bytes beside it in base64 when decoding lost some."""
    try:
        return {name: data.decode("utf-8")}
    except UnicodeDecodeError:
        import base64  # only for output that is not text: it imports re

        return {
            name: data.decode("utf-8", "replace"),
            name + "_base64": base64.b64encode(data).decode("ascii"),
        }


def plain(value: Any) -> Any:
    """Anything the Guard returns, reduced to what json.dumps accepts."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, Mapping):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [plain(v) for v in value]
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    return str(value)


def output_json(output: Output) -> Dict[str, Any]:
    """An Output as the fields of the Python API (bytes become text)."""
    data: Dict[str, Any] = {
        "allowed": True,
        "exit_code": output.exit_code,
        "signal": exit_signal(output),
        "success": output.success,
    }
    data.update(_bytes_fields("stdout", output.stdout))
    data.update(_bytes_fields("stderr", output.stderr))
    return data


def refusal_json(refusal: Union[Refused, Mapping[str, Any]]) -> Dict[str, Any]:
    """A refusal (raised, or the refusal of an explain) as plain data."""
    record = refusal_record(refusal)
    record["fields"] = plain(record["fields"])
    return {"allowed": False, "error": "Refused", **record}


def execution_error_json(error: ExecutionError) -> Dict[str, Any]:
    """An ExecutionError (TimedOut, OutputLimitExceeded, SpawnFailed) as plain data."""
    data: Dict[str, Any] = {"allowed": True, "error": type(error).__name__, "message": str(error)}
    for name in ("elapsed", "limit", "stream"):  # what TimedOut and OutputLimitExceeded add
        if hasattr(error, name):
            data[name] = plain(getattr(error, name))
    data.update(_bytes_fields("stdout", error.stdout or b""))
    data.update(_bytes_fields("stderr", error.stderr or b""))
    return data


def failure_json(error: Union[Refused, ExecutionError]) -> Dict[str, Any]:
    """The answer for a refusal or an execution error."""
    return refusal_json(error) if isinstance(error, Refused) else execution_error_json(error)


def policy_error_json(error: Exception) -> Dict[str, Any]:
    return {
        "error": "PolicyError",
        "message": str(error),
        "file": getattr(error, "file", None),
        "key": getattr(error, "key", None),
        "reason": getattr(error, "reason", None),
    }


def check_json(guard: Guard, request: Request) -> Dict[str, Any]:
    """`check` as data: the prepared command, or the refusal.

    explain() carries the same decision as check() plus what check's
    PreparedCommand does not show (the names of the environment it computed),
    so one call answers both.
    """
    explained = guard.explain(request.bin, request.argv, cwd=request.cwd, env=request.env)
    if guard.audit is not None:
        # explain() is a question about the policy, not a decision: the trail's line
        # comes from check(), which decides the same.
        try:
            guard.check(request.bin, request.argv, cwd=request.cwd, env=request.env)
        except (Refused, TypeError, ValueError):
            pass
    if not explained["allowed"]:
        return refusal_json(explained)
    prepared: Dict[str, Any] = plain(explained["prepared"])
    return {"allowed": True, "prepared": prepared}


async def run_json(guard: Guard, request: Request) -> Dict[str, Any]:
    """`run` as data: the Output, the refusal or the execution error."""
    try:
        output = await guard.arun(request.bin, request.argv, cwd=request.cwd, env=request.env,
                                  timeout=request.timeout, stdin=request.stdin)
    except (Refused, ExecutionError) as error:
        return failure_json(error)
    return output_json(output)


def run_json_here(guard: Guard, request: Request,
                  on_chunk: Optional[Callable[[bool, bytes], None]] = None) -> Dict[str, Any]:
    """`run_json` with a blocking run on this thread (no asyncio needed). With
    `on_chunk(is_stdout, data)`, the output goes there as it is read instead of
    into the answer."""
    try:
        if on_chunk is None:
            output = guard.run(request.bin, request.argv, cwd=request.cwd, env=request.env,
                               timeout=request.timeout, stdin=request.stdin)
        else:
            output = guard._run_streamed(request.bin, request.argv, on_chunk, cwd=request.cwd,
                                         env=request.env, timeout=request.timeout,
                                         stdin=request.stdin)
    except (Refused, ExecutionError) as error:
        return failure_json(error)
    except (TypeError, ValueError) as bad:  # a value no run can take: a zero --timeout
        return {"error": "BadRequest", "message": str(bad)}
    return output_json(output)


def explain_json(guard: Guard, request: Optional[Request]) -> Dict[str, Any]:
    """`explain` as data: the policy's description, or the Guard's account of one request."""
    if request is None:
        described: Dict[str, Any] = plain(guard.describe())
        return described
    explained: Dict[str, Any] = plain(
        guard.explain(request.bin, request.argv, cwd=request.cwd, env=request.env))
    return explained


def exit_code_of(op: str, answer: Mapping[str, Any]) -> int:
    """The exit code `corvane OP` gives for an answer of `OP --json`."""
    error = answer.get("error")
    if op == "run":
        if error == "Refused":
            return RUN_REFUSED
        if error == "SpawnFailed":
            return RUN_SPAWN_FAILED
        if error in _NOT_A_DECISION:
            return RUN_USAGE
        if error == "Interrupted":
            return 128 + int(answer["signal"])
        if error is not None:
            return RUN_EXEC_ERROR
        if answer.get("exit_code") is not None:
            return int(answer["exit_code"])
        # Ended by a signal: the shell's convention, 128+N.
        return 128 + int(answer.get("signal") or 0)
    if error in _NOT_A_DECISION:
        return EXIT_USAGE
    if error == "Interrupted":
        return 128 + int(answer["signal"])
    return EXIT_OK if answer.get("allowed", True) else EXIT_REFUSED
