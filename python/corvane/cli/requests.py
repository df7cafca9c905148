"""Requests as the command line or a JSON line gives them, checked for shape and
text before the Guard sees them; and the Guard they go to."""

from __future__ import annotations

import sys

from .text import UsageError, is_text, shown

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Mapping, Optional, Sequence, Tuple
    import argparse

    from ..guard import Guard


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


def request_from_args(args: argparse.Namespace, required: bool) -> Optional[Request]:
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


def read_stdin_option(path: str, guard: Guard) -> bytes:
    """The bytes `--stdin` names. Read up to one byte past the policy's max_stdin,
    so that an endless source (/dev/zero) ends and the Guard still sees it is too big."""
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


def _run_options(line: Mapping[str, Any]) -> Tuple[Optional[float], Optional[bytes]]:
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
        import base64  # only for serve's stdin_b64: it imports re

        try:
            stdin = base64.b64decode(encoded, validate=True)
        except ValueError:
            raise ValueError("'stdin_b64' is not valid base64") from None
    return timeout, stdin


def require_text(args: argparse.Namespace) -> None:
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

    def __init__(self, guard: Guard) -> None:
        self.guard = guard



def load_guard(path: str, assignments: Sequence[str] = (), audit: Optional[str] = None) -> Guard:
    """The Guard of a policy file with the --var values (and the --audit trail);
    PolicyError names file, key and reason."""
    from .. import Guard

    variables: Dict[str, str] = {}
    for assignment in assignments:
        name, equals, value = assignment.partition("=")
        if not equals:
            raise UsageError(f"corvane: --var {assignment!r}: expected NAME=VALUE")
        if name in variables:
            raise UsageError(f"corvane: --var {name} given twice")
        variables[name] = value
    guard = Guard.from_toml(path, vars=variables)
    if audit is None:
        return guard
    try:
        return guard.with_audit(audit)
    except OSError as error:
        raise UsageError(f"corvane: --audit {audit}: {error.strerror or error}") from None

