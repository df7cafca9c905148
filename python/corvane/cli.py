"""The `corvane` command: check, run or explain one request against a policy file,
or serve many requests to a host written in another language (JSON lines on
stdio, or the Model Context Protocol).

Every decision is the Guard's; this module only turns command lines and JSON
into Guard calls and the Guard's answers back into text, JSON and exit codes.
"""

from __future__ import annotations

import argparse
import base64
import json
import math
import os
import shlex
import signal
import sys
import threading
from typing import (TYPE_CHECKING, Any, Awaitable, Callable, Dict, List, Mapping, NoReturn,
                    Optional, Sequence, TextIO)

from ._lines import Line, TooLong, read_lines

if TYPE_CHECKING:
    import asyncio

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

EXIT_CODES_HELP = """\
exit codes:
  check, explain:  0 allowed, 1 refused, 2 usage or policy-file error
  run:             the command's own exit code (128+N when signal N ended it);
                   124 timed out or over an output limit (the command was stopped),
                   125 usage or policy-file error, 126 refused by the policy,
                   127 could not be started
  serve, mcp:      0 when the input ends, 2 usage or policy-file error;
                   serve: 1 when its input or output failed (the message says which)"""

# The longest request line `serve` reads, in bytes. Longer lines are answered with
# BadRequest without being held: the bound keeps one request from making the server
# grow with its length (a request's token list costs the Guard's explain() about a
# hundred times its size). A command line longer than this would not fit the
# kernel's usual argument space of 2 MiB either, once its JSON escaping is counted.
MAX_REQUEST_LINE = 1 << 20


def is_text(text: str) -> bool:
    """Whether `text` is Unicode that UTF-8 can carry (no lone surrogate)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def shown(text: str, from_os: bool = True) -> str:
    """`text` fit for a message and for strict JSON: a byte that was not UTF-8 (which
    Python keeps from the OS as a lone surrogate) as \\xNN, any other lone surrogate
    as \\uNNNN. With `from_os` False every lone surrogate is shown as \\uNNNN, as
    a JSON escape wrote it."""
    if is_text(text):
        return text

    def escaped(char: str) -> str:
        code = ord(char)
        if not 0xD800 <= code <= 0xDFFF:
            return char
        if from_os and 0xDC80 <= code <= 0xDCFF:
            return f"\\x{code - 0xDC00:02x}"
        return f"\\u{code:04x}"

    return "".join(escaped(char) for char in text)


class UsageError(Exception):
    """A command line that cannot be carried out; reported like argparse reports its own."""


class _Parser(argparse.ArgumentParser):
    """argparse that raises instead of exiting, so `--json` and run's exit code apply."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{self.prog}: {message}")


def _add_policy(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-p", "--policy", required=True, metavar="POLICY",
        help="the TOML policy file that decides every request",
    )
    parser.add_argument(
        "--var", action="append", default=[], metavar="NAME=VALUE",
        help="a value for ${NAME} in the policy file (e.g. --var WORKSPACE=\"$PWD\"); repeat for more",
    )


def _add_request(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--cwd", metavar="DIR",
        help="the working directory to request; a relative one counts from the policy's "
             "default directory, not this shell's (the policy decides whether it is allowed)",
    )
    parser.add_argument(
        "--env", action="append", default=[], metavar="NAME=VALUE",
        help="an environment variable to request; repeat for more (the policy filters them)",
    )


def _add_json(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--json", action="store_true",
        help="print one JSON object on stdout instead of text (for programs)",
    )


def build_parser() -> argparse.ArgumentParser:
    """The command line of `corvane`, with the help texts a person learns it from."""
    formatter = argparse.RawDescriptionHelpFormatter
    parser = _Parser(
        prog="corvane",
        formatter_class=formatter,
        description=(
            "Run programs that an agent asks for, only as a policy file allows.\n\n"
            "A request is a binary and its arguments (optionally a working directory\n"
            "and environment variables). The policy refuses it with a one-line reason,\n"
            "or rewrites it into a fully resolved command that runs without a shell,\n"
            "with an environment and working directory the policy computes, empty\n"
            "stdin, and bounded run time and output."
        ),
        epilog=(
            "examples:\n"
            "  corvane check -p policy.toml -- grep -n TODO notes.txt\n"
            "  corvane run -p policy.toml --cwd ~/project -- git status\n"
            "  corvane explain -p policy.toml\n"
            "  corvane serve -p policy.toml --stdio\n"
            "  corvane mcp -p policy.toml\n\n"
            "Give the command after '--' so that its own options are not read as\n"
            "corvane's. Run 'corvane COMMAND --help' for the details of each.\n\n"
            + EXIT_CODES_HELP
        ),
    )
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    sub = parser.add_subparsers(dest="subcommand", metavar="COMMAND", parser_class=_Parser)

    check = sub.add_parser(
        "check", formatter_class=formatter,
        help="decide a request without running it",
        description=(
            "Decide a request without running anything. Prints the command exactly as\n"
            "it would run (canonical binary, arguments after validation, working\n"
            "directory, names of the environment variables), or the one-line reason\n"
            "it is refused."
        ),
        epilog="example:\n  corvane check -p policy.toml -- grep -n TODO notes.txt\n\n"
               "exit codes: 0 allowed, 1 refused, 2 usage or policy-file error",
    )
    run = sub.add_parser(
        "run", formatter_class=formatter,
        help="decide a request and run it",
        description=(
            "Decide a request and, if it is allowed, run it. The command's stdout and\n"
            "stderr go to corvane's own, and corvane exits with the command's exit\n"
            "code. A refusal or a failure to run is one line on stderr, with an exit\n"
            "code of its own (below). The policy bounds the run time and the captured\n"
            "output; the command's stdin is empty.\n\n"
            "With --json, nothing but one JSON object is printed: exit_code, signal,\n"
            "success, stdout, stderr (text; stdout_base64/stderr_base64 are added when\n"
            "the bytes are not UTF-8), or error and message."
        ),
        epilog="example:\n  corvane run -p policy.toml --cwd ~/project -- git log -5\n\n" + EXIT_CODES_HELP,
    )
    explain = sub.add_parser(
        "explain", formatter_class=formatter,
        help="show what the policy allows, or why it decides a request as it does",
        description=(
            "Without a command: list what the policy allows (binaries and their rules,\n"
            "time and output limits). With a command after '--': say which rule\n"
            "allows or refuses it and why."
        ),
        epilog="examples:\n  corvane explain -p policy.toml\n"
               "  corvane explain -p policy.toml -- grep -r key /\n\n"
               "exit codes: 0 allowed (or no command given), 1 refused, 2 usage or policy-file error",
    )
    run.add_argument(
        "--timeout", type=float, metavar="SECONDS",
        help="a shorter time limit for this run (a longer one than the policy's is refused)",
    )
    run.add_argument(
        "--stdin", metavar="FILE",
        help="give the command FILE's bytes as its standard input ('-': this command's own); "
             "the policy's max_stdin bounds them (without it, stdin stays empty)",
    )
    for command in (check, run, explain):
        _add_policy(command)
        _add_request(command)
        _add_json(command)
        command.add_argument(
            "command", nargs="*", metavar="BIN ARG",
            help="the program (a name the policy allows, or its path) and its arguments, after '--'",
        )

    serve = sub.add_parser(
        "serve", formatter_class=formatter,
        help="answer JSON-line requests on stdin, one per line, in order",
        description=(
            "Keep one process and the loaded policy for many requests. Reads one JSON\n"
            "object per line on stdin and writes one JSON object per line on stdout,\n"
            "in the order of the requests (runs overlap; answers keep their order).\n\n"
            "request:  {\"id\": 7, \"op\": \"run\", \"bin\": \"grep\", \"argv\": [\"-n\", \"x\", \"f\"],\n"
            "           \"cwd\": \"/srv/work\", \"env\": {\"LANG\": \"C.UTF-8\"}}\n"
            "          op is check, run or explain (explain without bin describes the\n"
            "          policy); id is optional and copied into the answer. A run may\n"
            "          also give \"timeout\" (seconds, at most the policy's) and its\n"
            "          stdin as text (\"stdin\") or base64 (\"stdin_b64\"). Any other\n"
            "          key is refused.\n"
            "answer:   the object that 'corvane OP --json' prints, plus the id, plus\n"
            "          \"exit\": the exit code that 'corvane OP' would have given.\n"
            "A line that is not a valid request is answered with\n"
            "{\"error\": \"BadRequest\", \"message\": ...} and the server goes on; a line\n"
            "longer than 1 MiB is answered so without being read."
        ),
        epilog="example:\n  printf '%s\\n' '{\"op\":\"run\",\"bin\":\"ls\",\"argv\":[]}' | corvane serve -p policy.toml --stdio",
    )
    _add_policy(serve)
    serve.add_argument("--stdio", action="store_true", required=True,
                       help="serve on stdin/stdout (the only transport)")

    mcp = sub.add_parser(
        "mcp", formatter_class=formatter,
        help="serve the policy as an MCP tool over stdio",
        description=(
            "Speak the Model Context Protocol on stdin/stdout, offering one tool,\n"
            "run_command, whose schema and description come from the policy: the model\n"
            "sees which binaries it may run and with which flags. A refusal or a\n"
            "failure comes back as a tool error with the one-line reason, so the model\n"
            "can correct itself. Needs the optional SDK: pip install 'corvane[mcp]'."
        ),
        epilog=(
            "example:\n  corvane mcp -p policy.toml --max-output 16384\n\n"
            "client configuration (the usual mcpServers form):\n"
            "  {\"mcpServers\": {\"corvane\": {\"command\": \"corvane\",\n"
            "                                \"args\": [\"mcp\", \"-p\", \"/abs/path/policy.toml\"]}}}"
        ),
    )
    _add_policy(mcp)
    mcp.add_argument(
        "--max-output", type=_size, default=64 * 1024, metavar="BYTES",
        help="most bytes of each stream shown to the model (default 65536); "
             "the rest is cut and the cut is marked",
    )
    return parser


def _size(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a byte count: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a byte count: {text!r}")
    return value


# ---------------------------------------------------------------------------
# Turning the Guard's answers into plain data


def _bytes_fields(name: str, data: bytes) -> Dict[str, Any]:
    """`name` as text; the exact bytes beside it in base64 when decoding lost some."""
    try:
        return {name: data.decode("utf-8")}
    except UnicodeDecodeError:
        return {
            name: data.decode("utf-8", "replace"),
            name + "_base64": base64.b64encode(data).decode("ascii"),
        }


def output_signal(output: Any) -> Optional[int]:
    """The signal that ended the child, None when it exited."""
    from . import _native

    return _native.exit_signal(output)


def output_json(output: Any) -> Dict[str, Any]:
    """An Output as the fields of the Python API (bytes become text)."""
    data: Dict[str, Any] = {
        "allowed": True,
        "exit_code": output.exit_code,
        "signal": output_signal(output),
        "success": output.success,
    }
    data.update(_bytes_fields("stdout", output.stdout))
    data.update(_bytes_fields("stderr", output.stderr))
    return data


def refusal_json(refused: Any) -> Dict[str, Any]:
    """A Refused as plain data."""
    return {
        "allowed": False,
        "error": "Refused",
        "message": str(refused),
        "kind": getattr(refused, "kind", None),
        "index": getattr(refused, "index", None),
        "fields": _plain(getattr(refused, "fields", None) or {}),
    }


def execution_error_json(error: Any) -> Dict[str, Any]:
    """An ExecutionError (TimedOut, OutputLimitExceeded, SpawnFailed) as plain data."""
    data: Dict[str, Any] = {"allowed": True, "error": type(error).__name__, "message": str(error)}
    for name in ("elapsed", "limit", "stream"):
        if hasattr(error, name):
            data[name] = _plain(getattr(error, name))
    data.update(_bytes_fields("stdout", getattr(error, "stdout", b"") or b""))
    data.update(_bytes_fields("stderr", getattr(error, "stderr", b"") or b""))
    return data


def policy_error_json(error: Any) -> Dict[str, Any]:
    return {
        "error": "PolicyError",
        "message": str(error),
        "file": getattr(error, "file", None),
        "key": getattr(error, "key", None),
        "reason": getattr(error, "reason", None),
    }


def _plain(value: Any) -> Any:
    """Anything the Guard returns, reduced to what json.dumps accepts."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, Mapping):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [_plain(v) for v in value]
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    return str(value)


def check_json(guard: Any, request: "Request") -> Dict[str, Any]:
    """`check` as data: the prepared command, or the refusal.

    explain() carries the same decision as check() plus what check's
    PreparedCommand does not show (the names of the environment it computed),
    so one call answers both.
    """
    explained = guard.explain(request.bin, request.argv, cwd=request.cwd, env=request.env)
    if not explained["allowed"]:
        return {
            "allowed": False,
            "error": "Refused",
            "message": explained["message"],
            "kind": explained.get("kind"),
            "index": explained.get("index"),
            "fields": _plain(explained.get("fields") or {}),
        }
    prepared: Dict[str, Any] = _plain(explained["prepared"])
    return {"allowed": True, "prepared": prepared}


async def run_json(guard: Any, request: "Request") -> Dict[str, Any]:
    """`run` as data: the Output, the refusal or the execution error."""
    from . import ExecutionError, Refused

    try:
        output = await guard.arun(request.bin, request.argv, cwd=request.cwd, env=request.env,
                                  timeout=request.timeout, stdin=request.stdin)
    except (Refused, ExecutionError) as error:
        return failure_json(error)
    return output_json(output)


def run_json_here(guard: Any, request: "Request") -> Dict[str, Any]:
    """`run_json` with a blocking run on this thread (no asyncio needed)."""
    from . import ExecutionError, Refused

    try:
        output = guard.run(request.bin, request.argv, cwd=request.cwd, env=request.env,
                           timeout=request.timeout, stdin=request.stdin)
    except (Refused, ExecutionError) as error:
        return failure_json(error)
    except (TypeError, ValueError) as bad:  # a value no run can take: a zero --timeout
        return {"error": "BadRequest", "message": str(bad)}
    return output_json(output)


def failure_json(error: Exception) -> Dict[str, Any]:
    """The answer for a refusal (a ValueError) or an execution error."""
    return refusal_json(error) if isinstance(error, ValueError) else execution_error_json(error)


def explain_json(guard: Any, request: Optional["Request"]) -> Dict[str, Any]:
    """`explain` as data: the policy's description, or the Guard's account of one request."""
    if request is None:
        described: Dict[str, Any] = _plain(guard.describe())
        return described
    explained: Dict[str, Any] = _plain(
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
        if error in ("PolicyError", "UsageError", "BadRequest", "InternalError"):
            return RUN_USAGE
        if error == "Interrupted":
            return 128 + int(answer["signal"])
        if error is not None:
            return RUN_EXEC_ERROR
        if answer.get("exit_code") is not None:
            return int(answer["exit_code"])
        # Ended by a signal: the shell's convention, 128+N.
        return 128 + int(answer.get("signal") or 0)
    if error in ("PolicyError", "UsageError", "BadRequest", "InternalError"):
        return EXIT_USAGE
    if error == "Interrupted":
        return 128 + int(answer["signal"])
    return EXIT_OK if answer.get("allowed", True) else EXIT_REFUSED


# ---------------------------------------------------------------------------
# Requests


class Request:
    """One request as the command line or a JSON line gives it."""

    __slots__ = ("bin", "argv", "cwd", "env", "timeout", "stdin")

    def __init__(self, bin: str, argv: Sequence[str], cwd: Optional[str] = None,
                 env: Optional[Mapping[str, str]] = None, timeout: Optional[float] = None,
                 stdin: Optional[bytes] = None) -> None:
        self.bin = bin
        self.argv = list(argv)
        self.cwd = cwd
        self.env = dict(env) if env else None
        self.timeout = timeout  # a run's own, shorter limit
        self.stdin = stdin


def _request_from_args(args: argparse.Namespace, required: bool) -> Optional[Request]:
    if not args.command:
        if required:
            raise UsageError(f"corvane {args.subcommand}: give the command after '--', "
                             f"e.g. corvane {args.subcommand} -p POLICY -- ls -l")
        if args.cwd is not None or args.env:
            raise UsageError(f"corvane {args.subcommand}: --cwd and --env need a command after '--'")
        return None
    env: Dict[str, str] = {}
    for item in args.env:
        name, sep, value = item.partition("=")
        if not sep or not name:
            raise UsageError(f"corvane {args.subcommand}: --env takes NAME=VALUE, got {item!r}")
        env[name] = value
    return Request(args.command[0], args.command[1:], args.cwd, env)


def _read_stdin_option(path: str, guard: Any) -> bytes:
    """The bytes `--stdin` names. Read up to one byte past the policy's max_stdin,
    so that a endless source (/dev/zero) ends and the Guard still sees it is too big."""
    bound = (guard.describe().get("max_stdin") or 0) + 1
    try:
        if path == "-":
            return sys.stdin.buffer.read(bound)
        with open(path, "rb") as source:
            return source.read(bound)
    except OSError as error:
        raise UsageError(f"corvane run: --stdin {path}: {error.strerror or error}") from None


def request_from_json(line: Mapping[str, Any]) -> Optional[Request]:
    """A serve request's command; None for an explain without a binary. ValueError if malformed."""
    bin = line.get("bin")
    argv = line.get("argv", [])
    cwd = line.get("cwd")
    env = line.get("env")
    unknown = sorted(set(line) - _REQUEST_KEYS, key=str)
    if unknown:
        # As an MCP tool refuses an unknown argument: a misspelt "timeout" must not
        # silently run under the policy's limit.
        raise ValueError(f"unknown key {shown(str(unknown[0]), False)!r} in the request "
                         f"(known: {', '.join(sorted(_REQUEST_KEYS))})")
    if bin is None and line.get("op") == "explain" and not argv:
        return None
    if not isinstance(bin, str):
        raise ValueError("'bin' must be a string")
    if not isinstance(argv, list) or not all(isinstance(a, str) for a in argv):
        raise ValueError("'argv' must be a list of strings")
    if cwd is not None and not isinstance(cwd, str):
        raise ValueError("'cwd' must be a string")
    if env is not None and (not isinstance(env, dict)
                            or not all(isinstance(k, str) and isinstance(v, str) for k, v in env.items())):
        raise ValueError("'env' must be an object of strings")
    # A "\\ud800" escape is valid JSON but no text: refused here with the field that
    # holds it, never repaired into some other argument and run.
    texts = [("'bin'", bin)] + [(f"'argv' item {i}", a) for i, a in enumerate(argv)]
    texts += [("'cwd'", cwd)] if cwd is not None else []
    for name, value in (env or {}).items():
        texts += [("a name in 'env'", name), (f"'env' value of {shown(name, False)}", value)]
    for what, text in texts:
        if not is_text(text):
            raise ValueError(f"{what} is not valid Unicode: '{shown(text, False)}'")
    return Request(bin, argv, cwd, env, *_run_options(line))


_REQUEST_KEYS = {"id", "op", "bin", "argv", "cwd", "env", "timeout", "stdin", "stdin_b64"}


def _run_options(line: Mapping[str, Any]) -> "tuple[Optional[float], Optional[bytes]]":
    """A serve request's timeout and stdin, converted; the Guard decides whether they apply."""
    timeout = line.get("timeout")
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))):
        raise ValueError("'timeout' must be a number of seconds")
    text, encoded = line.get("stdin"), line.get("stdin_b64")
    if text is not None and encoded is not None:
        raise ValueError("give 'stdin' or 'stdin_b64', not both")
    stdin: Optional[bytes] = None
    if text is not None:
        if not isinstance(text, str) or not is_text(text):
            raise ValueError("'stdin' must be a string of valid Unicode (use 'stdin_b64' for bytes)")
        stdin = text.encode("utf-8")
    elif encoded is not None:
        if not isinstance(encoded, str):
            raise ValueError("'stdin_b64' must be a base64 string")
        try:
            stdin = base64.b64decode(encoded, validate=True)
        except ValueError:
            raise ValueError("'stdin_b64' is not valid base64") from None
    return timeout, stdin


def _require_text(args: argparse.Namespace) -> None:
    """UsageError for a word of the command line that is not UTF-8 text.

    The Guard takes text, and a byte that is not UTF-8 (which Python keeps from
    argv as a lone surrogate) has no text to pass on. Every word is checked but
    the policy's file name, which is opened as the bytes it is.
    """
    for name, value in vars(args).items():
        words = value if isinstance(value, list) else [value]
        for index, word in enumerate(words):
            if name == "policy" or not isinstance(word, str) or is_text(word):
                continue
            if name == "command":
                what = "the program name" if index == 0 else f"argument {index} of the command"
            else:
                what = f"--{name.replace('_', '-')} value"
            raise UsageError(f"corvane {args.subcommand}: {what} is not valid UTF-8: '{shown(word)}'")


class Session:
    """A loaded Guard. It takes a binary's name or path and a directory relative
    to the policy's own as they come: the core reads both."""

    def __init__(self, guard: Any) -> None:
        self.guard = guard


def render_seconds(seconds: Any) -> str:
    return f"{seconds:g}s" if isinstance(seconds, (int, float)) else str(seconds)


def render_size(count: Any) -> str:
    if not isinstance(count, int):
        return str(count)
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size and count % size == 0:
            return f"{count // size} {unit}"
    return f"{count} bytes"


def _value_flag_text(flag: Mapping[str, Any]) -> str:
    if flag.get("one_of"):
        shape = "|".join(str(v) for v in flag["one_of"])
    elif flag.get("pattern"):
        shape = f"matching {flag['pattern']}"
    elif flag.get("changes_directory"):
        shape = "a directory inside the working directory, from which paths then count"
    elif flag.get("path"):
        shape = "a path inside the working directory"
    else:
        shape = "any value"
    return f"{flag.get('name', '')} <{shape}>"


def rule_set_text(rules: Mapping[str, Any]) -> str:
    """One rule set of describe(), as one line a person or a model reads."""
    flags = rules.get("flags") or []
    parts = ["flags " + " ".join(flags) if flags else "no plain flags"]
    value_flags = rules.get("value_flags") or []
    if value_flags:
        parts.append("flags taking the next argument as value: "
                     + ", ".join(_value_flag_text(v) for v in value_flags))
    if rules.get("numeric_flags"):
        parts.append("numeric flags such as -5")
    if rules.get("bundles"):
        parts.append("bundled single-letter flags such as -la")
    if rules.get("first_arg_bundle"):
        parts.append("the first argument read as flag letters without a dash")
    if "max_flags" in rules and "max_positionals" in rules:
        flags_, others = rules["max_flags"], rules["max_positionals"]
        parts.append(f"at most {flags_} flag{'s' if flags_ != 1 else ''} and "
                     f"{others} other argument{'s' if others != 1 else ''}")
    if rules.get("path_positionals"):
        parts.append("path arguments must stay inside the working directory")
    if rules.get("double_dash") == "options_continue":
        parts.append("\"--\" does not end its options")
    elif rules.get("double_dash") == "argument":
        parts.append("\"--\" is an ordinary argument")
    return "; ".join(parts)


def binary_lines(entry: Mapping[str, Any]) -> List[str]:
    """A binary of describe() with its rule sets, one line per rule set."""
    sets = entry.get("rule_sets") or []
    subcommands = [s.get("subcommand") for s in sets if s.get("subcommand")]
    lines = []
    for rules in sets:
        sub = rules.get("subcommand")
        if sub:
            lines.append(f"{sub}: {rule_set_text(rules)}")
        elif subcommands:
            lines.append(f"without a subcommand: {rule_set_text(rules)}")
        else:
            lines.append(rule_set_text(rules))
    if subcommands and len(subcommands) == len(sets):
        lines.insert(0, "the first argument must be a subcommand: " + ", ".join(subcommands))
    return lines


def limits_line(described: Mapping[str, Any]) -> str:
    """The run limits of describe(), as one line."""
    parts = []
    if "timeout" in described:
        parts.append(f"time limit {render_seconds(described['timeout'])}")
    if "max_stdout" in described:
        parts.append(f"stdout at most {render_size(described['max_stdout'])}")
    if "max_stderr" in described:
        parts.append(f"stderr at most {render_size(described['max_stderr'])}")
    return ", ".join(parts)


def cwd_line(described: Mapping[str, Any]) -> str:
    """Where commands run, from describe(), as one sentence ("" when not described)."""
    cwd = described.get("cwd") or {}

    def show(path: Any) -> str:
        return os.path.normpath(str(path))  # a jail written "../.." reads badly

    mode = cwd.get("mode")
    if mode == "fixed":
        return f"Commands run in {show(cwd.get('dir'))}; no other directory can be chosen."
    if mode == "jail":
        return (f"Commands run in {show(cwd.get('default'))} unless `cwd` names another "
                f"directory inside {show(cwd.get('root'))} (a relative one counts from "
                f"{show(cwd.get('default'))}).")
    if mode == "allow":
        dirs = ", ".join(show(d) for d in cwd.get("dirs") or [])
        return (f"Commands run in {show(cwd.get('default'))} unless `cwd` names one of: {dirs} "
                f"(a relative one counts from {show(cwd.get('default'))}).")
    return ""


def sandbox_line(described: Mapping[str, Any]) -> str:
    """The kernel sandbox of describe(), as one sentence ("" without one)."""
    box = described.get("sandbox")
    if not box:
        return ""
    writable = ", ".join(os.path.normpath(p) for p in box.get("write") or []) or "nothing"
    net = box.get("network")
    if isinstance(net, Mapping):
        # The kernel checks ports, not hosts: a connect port is open towards every host.
        named = [f"{verb} port{'s' if len(net[key]) > 1 else ''} "
                 + ", ".join(str(p) for p in net[key]) + where
                 for key, verb, where in (("connect", "connecting to", " of any host"),
                                          ("bind", "listening on", ""))
                 if net.get(key)]
        network = "limited to TCP: " + (", ".join(named) or "no port")
    else:
        network = "allowed" if net else "blocked"
    return (f"Every command runs in a kernel sandbox: it can write only to {writable}; it "
            f"cannot read outside the policy's read list; network access is {network}.")


def load_guard(path: str, assignments: Sequence[str] = ()) -> Any:
    """The Guard of a policy file with the --var values; PolicyError names file,
    key and reason."""
    from . import Guard

    variables: Dict[str, str] = {}
    for assignment in assignments:
        name, equals, value = assignment.partition("=")
        if not equals:
            raise UsageError(f"corvane: --var {assignment!r}: expected NAME=VALUE")
        if name in variables:
            raise UsageError(f"corvane: --var {name} given twice")
        variables[name] = value
    return Guard.from_toml(path, vars=variables)


# ---------------------------------------------------------------------------
# Text for people


def json_line(data: Any) -> bytes:
    """`data` as one line of strict JSON in UTF-8, whatever it holds: a string that
    is not valid Unicode (a path from a non-UTF-8 file name, say) is written as
    shown(), a NaN or an infinity as null, so that every reader can take the line.
    RecursionError for data nested deeper than the encoder goes."""
    try:
        text = json.dumps(data, ensure_ascii=False, allow_nan=False)
        return (text + "\n").encode("utf-8")
    except ValueError:  # UnicodeEncodeError is one
        return (json.dumps(_strict(data), ensure_ascii=False, allow_nan=False) + "\n").encode("utf-8")


def _strict(value: Any) -> Any:
    if isinstance(value, str):
        return shown(value)
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, Mapping):
        return {shown(k) if isinstance(k, str) else k: _strict(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict(v) for v in value]
    return value


def _print_json(data: Mapping[str, Any], out: TextIO) -> None:
    line = json_line(data)
    if hasattr(out, "buffer"):
        _write_bytes(out, line)  # the bytes as they are, whatever the stream's encoding
    else:
        out.write(line.decode("utf-8"))


def _quote(argv: Sequence[str]) -> str:
    return " ".join(shlex.quote(a) for a in argv)


def _print_check(answer: Mapping[str, Any], out: TextIO) -> None:
    if not answer["allowed"]:
        out.write(f"refused: {answer['message']}\n")
        return
    prepared = answer["prepared"]
    out.write("allowed\n")
    out.write(f"  bin:  {prepared['bin']}\n")
    out.write(f"  argv: {_quote(prepared['argv'])}\n")
    out.write(f"  cwd:  {prepared['cwd']}\n")
    out.write(f"  env:  {', '.join(prepared.get('env') or []) or '(empty)'}\n")


def _print_explain(answer: Mapping[str, Any], described: bool, out: TextIO) -> None:
    if described:
        out.write("allowed binaries:\n")
        for entry in answer.get("binaries", []):
            out.write(f"  {entry.get('name', '')}  ({entry.get('path', '')})\n")
            for line in binary_lines(entry):
                out.write(f"      {line}\n")
        out.write(f"limits: {limits_line(answer)}\n")
        if cwd_line(answer):
            out.write(f"working directory: {cwd_line(answer)}\n")
        if sandbox_line(answer):
            out.write(f"sandbox: {sandbox_line(answer)}\n")
        for key in ("on_output_limit", "risky_binaries", "environment", "sandbox"):
            if answer.get(key) is not None:
                out.write(f"{key}: {json.dumps(answer[key], ensure_ascii=False)}\n")
        return
    verdict = "allowed" if answer.get("allowed") else "refused"
    message = answer.get("message", "")
    out.write(f"{verdict}: {message}\n" if not message.startswith("allowed") else f"{message}\n")
    for key in ("binary", "rule_set", "stage", "kind", "index"):
        if answer.get(key) is not None:
            out.write(f"  {key + ':':10}{answer[key]}\n")
    tokens = answer.get("tokens") or []
    if tokens:
        out.write("  argv read as:\n")
        for token in tokens:
            out.write(f"    {token.get('index')}: {shlex.quote(str(token.get('token')))}  ({token.get('role')})\n")
    prepared = answer.get("prepared")
    if prepared:
        out.write(f"  will run:  {prepared.get('bin')} {_quote(prepared.get('argv', []))}\n")
        out.write(f"  in:        {prepared.get('cwd')}\n")
        out.write(f"  env:       {', '.join(prepared.get('env') or []) or '(empty)'}\n")


def _write_bytes(stream: TextIO, data: bytes) -> None:
    stream.flush()
    stream.buffer.write(data)
    stream.buffer.flush()


# ---------------------------------------------------------------------------
# Subcommands


def _cmd_check(args: argparse.Namespace) -> int:
    request = _request_from_args(args, required=True)
    session = Session(load_guard(args.policy, args.var))
    assert request is not None
    answer = check_json(session.guard, request)
    if args.json:
        _print_json(answer, sys.stdout)
    else:
        _print_check(answer, sys.stdout)
    return exit_code_of("check", answer)


def _cmd_explain(args: argparse.Namespace) -> int:
    request = _request_from_args(args, required=False)
    session = Session(load_guard(args.policy, args.var))
    answer = explain_json(session.guard, request)
    if args.json:
        _print_json(answer, sys.stdout)
    else:
        _print_explain(answer, request is None, sys.stdout)
    return exit_code_of("explain", answer)


def _cmd_run(args: argparse.Namespace) -> int:
    request = _request_from_args(args, required=True)
    session = Session(load_guard(args.policy, args.var))
    assert request is not None
    request.timeout = args.timeout
    if args.stdin is not None:
        request.stdin = _read_stdin_option(args.stdin, session.guard)
    answer = _stoppable(lambda: run_json_here(session.guard, request))
    code = exit_code_of("run", answer)
    if args.json:
        _print_json(answer, sys.stdout)
        return code
    error = answer.get("error")
    if error in ("Refused", "Interrupted"):
        sys.stderr.write(f"corvane: {'refused: ' if error == 'Refused' else ''}{answer['message']}\n")
        return code
    # What the command printed, also when it was stopped part-way.
    _write_bytes(sys.stdout, _raw(answer, "stdout"))
    _write_bytes(sys.stderr, _raw(answer, "stderr"))
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


def _raw(answer: Mapping[str, Any], name: str) -> bytes:
    encoded = answer.get(name + "_base64")
    if encoded is not None:
        return base64.b64decode(encoded)
    return str(answer.get(name, "")).encode("utf-8")


def _cmd_serve(args: argparse.Namespace) -> int:
    session = Session(load_guard(args.policy, args.var))
    answer = _until_signalled(serve_lines(session, sys.stdin.buffer, sys.stdout))
    if answer.get("error") is not None:
        sys.stderr.write(f"corvane: {answer['message']}\n")
    if answer.get("error") in ("InputError", "OutputError", "InternalError"):
        return EXIT_REFUSED  # stopped before the end of its input
    return exit_code_of("serve", answer)


def _cmd_mcp(args: argparse.Namespace) -> int:
    try:
        from . import mcp_server
    except ImportError as missing:
        raise UsageError(
            f"corvane mcp: the MCP SDK is not installed ({missing}); "
            "install it with: pip install 'corvane[mcp]'"
        ) from None
    guard = load_guard(args.policy, args.var)
    mcp_server.serve_stdio(guard, max_output=args.max_output)
    return EXIT_OK


# ---------------------------------------------------------------------------
# serve --stdio


def _request_message(line: "Line") -> Dict[str, Any]:
    """The JSON object of a request line; ValueError saying why it is none."""
    if isinstance(line, TooLong):
        raise ValueError(f"a request line of {line.size} bytes is longer than the limit of "
                         f"{line.limit} bytes; it was not read")
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as bad:
        raise ValueError(f"not UTF-8: byte {line[bad.start]:#04x} at offset {bad.start}") from None
    try:
        message = json.loads(text)
    except RecursionError:
        # The reader recurses per level; this is the bound of its stack, reached safely.
        raise ValueError("not a request: arrays or objects nested too deeply to read") from None
    except ValueError as bad:
        raise ValueError(f"not JSON: {bad}") from None
    if not isinstance(message, dict):
        raise ValueError("a request is a JSON object")
    return message


def _echoable(ident: Any) -> Any:
    """`ident` if strict JSON can carry it back in the answer; ValueError naming it if not."""
    try:
        json.dumps(ident, ensure_ascii=False, allow_nan=False).encode("utf-8")
        return ident
    except UnicodeEncodeError:
        why = "not valid Unicode"
    except ValueError:
        why = "not a finite number"
    except RecursionError:
        why = "nested too deeply"
    try:
        text = json.dumps(ident)  # ASCII, NaN as NaN: the id as the request wrote it
    except (ValueError, RecursionError):
        text = "(an array or object)"
    if len(text) > 100:
        text = text[:100] + "..."
    raise ValueError(f"the request's id {text} cannot be sent back in strict JSON: it is {why}")


async def answer_line(session: Session, line: "Line") -> Dict[str, Any]:
    """The answer to one JSON-line request (or to a TooLong line); never raises.

    A request is answered whatever it holds: a bad one with BadRequest, one that
    trips a fault of ours with InternalError, so that one line never costs the
    server the answers to the lines after it.
    """
    known: Dict[str, Any] = {}  # the request's id, once it is known to be echoable
    try:
        answer = await _answer(session, line, known)
    except Exception as error:  # noqa: BLE001 (any fault: the server must go on)
        answer = {"error": "InternalError",
                  "message": f"corvane failed on this request: {type(error).__name__}: {error}"[:1000],
                  "exit": EXIT_USAGE}
    if "id" in known:
        answer = {"id": known["id"], **answer}
    return answer


async def _answer(session: Session, line: "Line", known: Dict[str, Any]) -> Dict[str, Any]:
    try:
        message = _request_message(line)
        if message.get("id") is not None:
            known["id"] = _echoable(message["id"])
        op = message.get("op")
        if op not in ("check", "run", "explain"):
            raise ValueError("'op' must be one of check, run, explain")
        request = request_from_json(message)
    except ValueError as bad:
        answer: Dict[str, Any] = {"error": "BadRequest", "message": str(bad)}
        op = "bad"
    else:
        try:
            if op == "check":
                assert request is not None
                answer = check_json(session.guard, request)
            elif op == "explain":
                answer = explain_json(session.guard, request)
            else:
                assert request is not None
                answer = await run_json(session.guard, request)
        except (TypeError, ValueError) as bad:
            # What the Guard cannot even take as a request (a NUL byte in an argument,
            # say); its refusals are answers, not exceptions, by now.
            answer = {"error": "BadRequest", "message": str(bad)}
            op = "bad"
    answer["exit"] = exit_code_of(op, answer) if op != "bad" else EXIT_USAGE
    return answer


def answer_bytes(answer: Dict[str, Any]) -> bytes:
    """The line that carries `answer`; an InternalError line, with its id, if it cannot
    be written (nested deeper than the encoder goes)."""
    try:
        return json_line(answer)
    except (RecursionError, TypeError, ValueError) as error:
        failed: Dict[str, Any] = {"error": "InternalError",
                                  "message": f"the answer could not be written as JSON: {error}",
                                  "exit": EXIT_USAGE}
        return json_line({"id": answer["id"], **failed} if "id" in answer else failed)


async def serve_lines(session: Session, source: Any, out: TextIO, max_in_flight: int = 64,
                      max_line: int = MAX_REQUEST_LINE) -> Dict[str, Any]:
    """Reads requests from `source` (a binary file) until EOF; writes answers in request order.

    Requests are started as they arrive, so a slow command does not hold back the
    start of the next; at most `max_in_flight` are pending at once. Cancelling
    this coroutine cancels every pending request, which kills their children.
    Returns {} at the end of the input, or an InputError/OutputError answer when
    the input or the output failed (the pending runs are then stopped).
    """
    import asyncio
    from concurrent.futures import CancelledError as FutureCancelled

    loop = asyncio.get_running_loop()
    lines: "asyncio.Queue[Optional[Line]]" = asyncio.Queue(max_in_flight)
    pending: "asyncio.Queue[Optional[asyncio.Task[bytes]]]" = asyncio.Queue(max_in_flight)
    started: "set[asyncio.Task[bytes]]" = set()
    failed: List[Dict[str, Any]] = []  # why the server stopped before the end of its input

    def read_input() -> None:
        # A thread of its own (not the loop's executor, which asyncio.run would join)
        # reading the raw descriptor (a buffered file's lock would stall interpreter
        # shutdown): works on pipes, files and ttys alike, and a stopped server does
        # not wait for its next input line.
        def put(line: Optional[Line]) -> bool:
            putting = lines.put(line)
            try:
                future = asyncio.run_coroutine_threadsafe(putting, loop)
            except RuntimeError:
                # The loop is closed: the coroutine never ran, and unclosed it would
                # warn on standard error when collected.
                putting.close()
                return False
            try:
                future.result()
            except (RuntimeError, FutureCancelled):
                return False  # the server has stopped: nobody takes lines any more
            return True

        try:
            fd = source.fileno() if hasattr(source, "fileno") else int(source)
            error = read_lines(fd, max_line, put)
            if error is not None:
                failed.append({"error": "InputError",
                               "message": f"cannot read requests: {error.strerror or error}"})
        except Exception as error:  # noqa: BLE001 (the server must end, not wait for lines)
            failed.append({"error": "InternalError", "message": f"the request reader failed: {error}"})
        finally:
            put(None)  # the end, however the reading ended

    this = asyncio.current_task()
    host_gone: List[bool] = []

    def stop(failure: Optional[Dict[str, Any]]) -> None:
        # Nobody is left to answer (or the answers cannot be written): stop every run.
        # Later writes (the interpreter's own flush at exit) go nowhere.
        if failure is None:
            host_gone.append(True)
        else:
            failed.append(failure)
        try:
            null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
            os.dup2(null, out.fileno())
            os.close(null)
        except (OSError, AttributeError, ValueError):
            pass  # not a descriptor of its own: nothing to redirect
        if this is not None:
            this.cancel()

    async def write_in_order() -> None:
        while True:
            task = await pending.get()
            if task is None:
                return
            try:
                line = await task
            except Exception as error:  # noqa: BLE001 (answer_line answers all; a last net)
                line = answer_bytes({"error": "InternalError", "exit": EXIT_USAGE,
                                     "message": f"corvane failed on this request: {error}"})
            finally:
                started.discard(task)
            try:
                if hasattr(out, "buffer"):
                    _write_bytes(out, line)
                else:
                    out.write(line.decode("utf-8"))
                    out.flush()
            except BrokenPipeError:
                stop(None)  # the host stopped reading: a normal end
                return
            except OSError as error:
                stop({"error": "OutputError", "message": f"cannot write answers: {error.strerror or error}"})
                return

    def writer_ended(writer: "asyncio.Task[None]") -> None:
        # A writer that died would leave the reader waiting for room forever.
        if not writer.cancelled() and writer.exception() is not None:
            stop({"error": "InternalError", "message": f"the answer writer failed: {writer.exception()}"})

    async def answer(line: Line) -> bytes:
        # Written to bytes here, not in the writer: an answer waiting behind a slow
        # run is held as its compact line, not as the objects it was made of.
        return answer_bytes(await answer_line(session, line))

    threading.Thread(target=read_input, name="corvane-serve-stdin", daemon=True).start()
    writer = asyncio.create_task(write_in_order())
    writer.add_done_callback(writer_ended)
    try:
        while True:
            line = await lines.get()
            if line is None:
                break
            task = asyncio.create_task(answer(line))
            started.add(task)
            await pending.put(task)
        await pending.put(None)
        await writer
    except asyncio.CancelledError:
        if not (host_gone or failed):
            raise
    finally:
        writer.cancel()
        for task in started:
            task.cancel()
    return failed[0] if failed else {}


# ---------------------------------------------------------------------------
# Entry point


_COMMANDS = {
    "check": _cmd_check,
    "run": _cmd_run,
    "explain": _cmd_explain,
    "serve": _cmd_serve,
    "mcp": _cmd_mcp,
}


def _split_command(argv: List[str]) -> "tuple[List[str], Optional[List[str]]]":
    """corvane's own arguments, and the command after the first '--' (None without one)."""
    if "--" in argv:
        at = argv.index("--")
        return argv[:at], argv[at + 1:]
    return argv, None


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line `argv` (default sys.argv[1:]); returns the exit code."""
    from . import PolicyError

    arguments = list(sys.argv[1:] if argv is None else argv)
    own, command = _split_command(arguments)
    wants_json = "--json" in own
    is_run = bool(own) and own[0] == "run"
    usage_code = RUN_USAGE if is_run else EXIT_USAGE
    parser = build_parser()
    try:
        args = parser.parse_args(own)
        if args.version:
            from importlib.metadata import PackageNotFoundError, version

            try:
                print(f"corvane {version('corvane')}")
            except PackageNotFoundError:
                print("corvane (not installed)")
            return EXIT_OK
        if args.subcommand is None:
            parser.print_help(sys.stderr)
            return EXIT_USAGE
        if command is not None:
            if getattr(args, "command", None) is None:
                raise UsageError(f"corvane {args.subcommand}: takes no command")
            if args.command:
                raise UsageError(f"corvane {args.subcommand}: give the whole command after '--', "
                                 f"not part of it before")
            args.command = command
        _require_text(args)
        return _COMMANDS[args.subcommand](args)
    except UsageError as error:
        if wants_json:
            _print_json({"error": "UsageError", "message": str(error)}, sys.stdout)
        else:
            sys.stderr.write(f"{shown(str(error))}\nTry 'corvane --help'.\n")
        return usage_code
    except PolicyError as error:
        if wants_json:
            _print_json(policy_error_json(error), sys.stdout)
        else:
            sys.stderr.write(f"corvane: {shown(str(error))}\n")
        return usage_code
    except KeyboardInterrupt:
        return 128 + signal.SIGINT


def console_main() -> NoReturn:
    """The `corvane` console script."""
    sys.exit(main())
