"""The `corvane` command: check, run or explain one request against a policy file,
or serve many requests to a host written in another language (JSON lines on
stdio, or the Model Context Protocol).

Every decision is the Guard's; this package only turns command lines and JSON
into Guard calls and the Guard's answers back into text, JSON and exit codes:
``parser`` (the command line), ``requests`` (requests checked for shape),
``answers`` (answers as data, exit codes), ``printing`` (answers as text),
``commands`` (the subcommands), ``serve`` (the JSON-line server). The text a
model reads is ``corvane.tool``'s.
"""

from __future__ import annotations

import signal
import sys

from .text import UsageError

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, List, NoReturn, Optional, Sequence, Tuple

# What `corvane.cli` offered as one module, where it lives now: the command's
# pieces, and the text of corvane.tool that its explain prints. Each is imported
# when first asked for, so that a command's start loads only what it runs.
_LAZY = {
    **dict.fromkeys(["EXIT_OK", "EXIT_REFUSED", "EXIT_USAGE", "RUN_EXEC_ERROR", "RUN_REFUSED",
                     "RUN_SPAWN_FAILED", "RUN_USAGE", "check_json", "execution_error_json",
                     "exit_code_of", "explain_json", "failure_json", "output_json",
                     "policy_error_json", "refusal_json", "run_json", "run_json_here"], "answers"),
    **dict.fromkeys(["COMMANDS", "STOP_SIGNALS"], "commands"),
    "print_json": "printing",
    **dict.fromkeys(["EXIT_CODES_HELP", "build_parser"], "parser"),
    **dict.fromkeys(["Request", "Session", "load_guard", "request_from_json", "require_text"],
                    "requests"),
    **dict.fromkeys(["answer_bytes", "answer_line", "serve_lines"], "serve"),
    **dict.fromkeys(["is_text", "json_line", "shown"], "text"),
    "MAX_REQUEST_LINE": ".._lines",
    **dict.fromkeys(["binary_lines", "cwd_line", "limits_line", "render_seconds", "render_size",
                     "rule_set_text", "sandbox_line"], "..tool"),
}
_RENAMED = {"output_signal": ("..tool", "exit_signal")}

__all__ = [
    "main", "console_main", "build_parser", "UsageError", "EXIT_CODES_HELP", "STOP_SIGNALS",
    "EXIT_OK", "EXIT_REFUSED", "EXIT_USAGE", "RUN_EXEC_ERROR", "RUN_USAGE", "RUN_REFUSED",
    "RUN_SPAWN_FAILED", "MAX_REQUEST_LINE",
    "Request", "Session", "load_guard", "request_from_json",
    "check_json", "run_json", "run_json_here", "explain_json", "output_json", "refusal_json",
    "execution_error_json", "failure_json", "policy_error_json", "exit_code_of", "output_signal",
    "answer_line", "answer_bytes", "serve_lines",
    "is_text", "shown", "json_line",
    "render_seconds", "render_size", "rule_set_text", "binary_lines", "limits_line", "cwd_line",
    "sandbox_line",
]


def __getattr__(name: str) -> object:
    from importlib import import_module

    where, attribute = _RENAMED.get(name, (_LAZY.get(name, ""), name))
    if not where:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    relative = where if where.startswith("..") else "." + where
    value = getattr(import_module(relative, __name__), attribute)
    globals()[name] = value
    return value


def _split_command(argv: List[str]) -> Tuple[List[str], Optional[List[str]]]:
    """corvane's own arguments, and the command after the first '--' (None without one)."""
    if "--" in argv:
        at = argv.index("--")
        return argv[:at], argv[at + 1:]
    return argv, None


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line `argv` (default sys.argv[1:]); returns the exit code."""
    from ..policy_file import PolicyError
    from .answers import EXIT_OK, EXIT_USAGE, RUN_USAGE
    from .commands import COMMANDS
    from .quick import quick_args
    from .requests import require_text
    from .text import shown

    arguments = list(sys.argv[1:] if argv is None else argv)
    own, command = _split_command(arguments)
    wants_json = "--json" in own
    is_run = bool(own) and own[0] == "run"
    usage_code = RUN_USAGE if is_run else EXIT_USAGE
    try:
        # argparse's Namespace, or the quick reading's namespace of the same fields.
        args: Any = quick_args(own)
        if args is None:
            from .parser import build_parser

            parser = build_parser()
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
        require_text(args)
        return COMMANDS[args.subcommand](args)
    except UsageError as error:
        if wants_json:
            from .printing import print_json

            print_json({"error": "UsageError", "message": str(error)}, sys.stdout)
        else:
            sys.stderr.write(f"{shown(str(error))}\nTry 'corvane --help'.\n")
        return usage_code
    except PolicyError as error:
        if wants_json:
            from .answers import policy_error_json
            from .printing import print_json

            print_json(policy_error_json(error), sys.stdout)
        else:
            sys.stderr.write(f"corvane: {shown(str(error))}\n")
        return usage_code
    except KeyboardInterrupt:
        return 128 + signal.SIGINT


def console_main() -> NoReturn:
    """The `corvane` console script."""
    sys.exit(main())
