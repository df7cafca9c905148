"""The subcommands: check, explain and run one request; serve many as JSON lines;
serve the policy as an MCP tool. Each loads the policy, asks the Guard and
prints its answer; a stop signal ends a run with its child killed and reaped."""

from __future__ import annotations

import signal
import sys

from .answers import (EXIT_OK, EXIT_REFUSED, check_json, exit_code_of, explain_json,
                      run_json_here)
from .printing import print_check, print_explain, print_json
from .requests import Session, load_guard, read_stdin_option, request_from_args
from .text import UsageError

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Awaitable, Callable, Dict, List
    import argparse


def _cmd_check(args: argparse.Namespace) -> int:
    request = request_from_args(args, required=True)
    session = Session(load_guard(args.policy, args.var, getattr(args, "audit", None)))
    assert request is not None
    answer = check_json(session.guard, request)
    if args.json:
        print_json(answer, sys.stdout)
    else:
        print_check(answer, sys.stdout)
    return exit_code_of("check", answer)


def _cmd_explain(args: argparse.Namespace) -> int:
    request = request_from_args(args, required=False)
    session = Session(load_guard(args.policy, args.var, getattr(args, "audit", None)))
    answer = explain_json(session.guard, request)
    if args.json:
        print_json(answer, sys.stdout)
    else:
        print_explain(answer, request is None, sys.stdout)
    return exit_code_of("explain", answer)


def _cmd_run(args: argparse.Namespace) -> int:
    request = request_from_args(args, required=True)
    session = Session(load_guard(args.policy, args.var, getattr(args, "audit", None)))
    assert request is not None
    request.timeout = args.timeout
    if args.stdin is not None:
        request.stdin = read_stdin_option(args.stdin, session.guard)
    if args.json:
        answer = _stoppable(lambda: run_json_here(session.guard, request))
        print_json(answer, sys.stdout)
        return exit_code_of("run", answer)
    # Plain text: what the command prints is passed on as it comes, so a long
    # run shows its progress, and stays there when it is stopped part-way.
    sys.stdout.flush()
    sys.stderr.flush()
    targets = (sys.stderr.buffer, sys.stdout.buffer)

    def on_chunk(is_stdout: bool, data: bytes) -> None:
        target = targets[is_stdout]
        target.write(data)
        target.flush()

    answer = _stoppable(lambda: run_json_here(session.guard, request, on_chunk))
    code = exit_code_of("run", answer)
    error = answer.get("error")
    if error in ("Refused", "Interrupted"):
        sys.stderr.write(f"corvane: {'refused: ' if error == 'Refused' else ''}{answer['message']}\n")
        return code
    if error is not None:
        sys.stderr.write(f"corvane: {answer['message']}\n")
    return code


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def _interrupted(number: int) -> Dict[str, Any]:
    name = signal.Signals(number).name
    return {"error": "Interrupted", "signal": number,
            "message": f"interrupted by {name}; commands in flight were stopped"}


class _Stopped(BaseException):
    """A stop signal, raised by its handler into the blocking run it interrupts
    (a BaseException, like KeyboardInterrupt, so that no `except Exception` takes it)."""


def _stoppable(work: Callable[[], Dict[str, Any]]) -> Dict[str, Any]:
    """Calls `work` (a blocking run) on this thread; SIGINT, SIGTERM or SIGHUP stops it.

    A signal handler that raises abandons the run, which kills and reaps the
    child first, so a host that stops corvane never leaves the command running.
    `corvane run` takes this way rather than an asyncio loop: importing asyncio
    alone costs a command's start tens of milliseconds.
    """

    settled = False

    def stop(number: int, _frame: Any) -> None:
        # Once the answer is settled, a late signal must not escape the restoring below.
        if not settled:
            raise _Stopped(number)

    previous = {number: signal.getsignal(number) for number in STOP_SIGNALS}
    try:
        for number in STOP_SIGNALS:
            signal.signal(number, stop)
        return work()
    except _Stopped as stopped:
        settled = True  # the first signal decides; a second one changes nothing
        return _interrupted(stopped.args[0])
    finally:
        settled = True
        for number, handler in previous.items():
            signal.signal(number, handler if handler is not None else signal.SIG_DFL)


def _until_signalled(work: "Awaitable[Dict[str, Any]]") -> Dict[str, Any]:
    """Runs `work` on a fresh asyncio loop; SIGINT, SIGTERM or SIGHUP cancels it.

    Cancelling is what makes arun kill and reap the child, so a host that stops
    corvane never leaves the command running. The answer is then
    {"error": "Interrupted", "signal": N}, and the exit code 128+N.
    """

    import asyncio

    async def guarded() -> Dict[str, Any]:
        loop = asyncio.get_running_loop()
        task = asyncio.ensure_future(work)
        received: List[int] = []

        def stop(number: int) -> None:
            received.append(number)
            task.cancel()

        for number in STOP_SIGNALS:
            loop.add_signal_handler(number, stop, number)
        try:
            return await task
        except asyncio.CancelledError:
            if not received:
                raise
            return _interrupted(received[0])
        finally:
            for number in STOP_SIGNALS:
                loop.remove_signal_handler(number)

    return asyncio.run(guarded())


def _cmd_serve(args: argparse.Namespace) -> int:
    from .serve import serve_lines

    session = Session(load_guard(args.policy, args.var, getattr(args, "audit", None)))
    answer = _until_signalled(serve_lines(session, sys.stdin.buffer, sys.stdout,
                                                  max_in_flight=args.max_in_flight))
    if answer.get("error") is not None:
        sys.stderr.write(f"corvane: {answer['message']}\n")
    if answer.get("error") in ("InputError", "OutputError", "InternalError"):
        return EXIT_REFUSED  # stopped before the end of its input
    return exit_code_of("serve", answer)


def _cmd_mcp(args: argparse.Namespace) -> int:
    try:
        from .. import mcp_server
    except ImportError as missing:
        raise UsageError(
            f"corvane mcp: the MCP SDK is not installed ({missing}); "
            "install it with: pip install 'corvane[mcp]'"
        ) from None
    guard = load_guard(args.policy, args.var, getattr(args, "audit", None))
    mcp_server.serve_stdio(guard, max_output=args.max_output)
    return EXIT_OK



def _cmd_packs(args: argparse.Namespace) -> int:
    import shutil
    import tempfile

    from ..policy_file import load_mapping, pack_names
    from .printing import print_packs

    names = pack_names()
    unknown = [n for n in args.names if n not in names]
    if unknown:
        raise UsageError(f"corvane packs: unknown pack {unknown[0]!r} (known: {', '.join(names)})")
    # Each pack as a policy of its own would load it, in a throwaway workspace:
    # its ${WORKSPACE} and its binaries' sandboxes need one.
    workspace = tempfile.mkdtemp(prefix="corvane-packs-")
    try:
        packs = []
        for name in args.names or names:
            described = load_mapping({"include": [name], "cwd": {"jail": workspace},
                                      "sandbox": {"workspace": workspace, "best_effort": True}}).description
            pack = described["packs"][0]
            packs.append(_as_written({"name": name, "description": pack["description"],
                                      "binaries": described["binaries"], "missing": pack["missing"]},
                                     workspace))
    finally:
        shutil.rmtree(workspace, ignore_errors=True)
    if args.json:
        print_json({"packs": packs}, sys.stdout)
    else:
        print_packs(packs, sys.stdout)
    return EXIT_OK


def _as_written(value: Any, workspace: str) -> Any:
    """`value` with the throwaway workspace a pack was loaded against shown as
    the packs write it, ${WORKSPACE}: a listing names no temporary directory."""
    if isinstance(value, str):
        return value.replace(workspace, "${WORKSPACE}")
    if isinstance(value, list):
        return [_as_written(v, workspace) for v in value]
    if isinstance(value, dict):
        return {k: _as_written(v, workspace) for k, v in value.items()}
    return value


COMMANDS: Dict[str, Callable[[argparse.Namespace], int]] = {
    "packs": _cmd_packs,
    "check": _cmd_check,
    "run": _cmd_run,
    "explain": _cmd_explain,
    "serve": _cmd_serve,
    "mcp": _cmd_mcp,
}
