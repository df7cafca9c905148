"""The command line of `corvane`, with the help texts a person learns it from."""

from __future__ import annotations

import argparse
from typing import NoReturn

from ..tool import DEFAULT_MAX_OUTPUT
from .text import UsageError

# Requests between read and answered at once in serve, unless --max-in-flight says
# otherwise: enough to keep a host's parallel work going, few enough that a flood of
# requests holds a bounded number of children and answers.
DEFAULT_MAX_IN_FLIGHT = 64

# In step with the codes of answers.py, which says why each is what it is.
EXIT_CODES_HELP = """\
exit codes:
  check, explain:  0 allowed, 1 refused, 2 usage or policy-file error
  run:             the command's own exit code (128+N when signal N ended it);
                   124 timed out or over an output limit (the command was stopped),
                   125 usage or policy-file error, 126 refused by the policy,
                   127 could not be started
  serve, mcp:      0 when the input ends, 2 usage or policy-file error;
                   serve: 1 when its input or output failed (the message says which)"""


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


def _add_audit(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--audit", metavar="FILE",
        help="append one JSON line per decision and per run to FILE (created 0600 if missing)",
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
            "  corvane mcp -p policy.toml\n"
            "  corvane packs\n\n"
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
    for command in (check, run):
        _add_audit(command)
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
        help="answer JSON-line requests on stdin, one per line, each when it ends",
        description=(
            "Keep one process and the loaded policy for many requests. Reads one JSON\n"
            "object per line on stdin and writes one JSON object per line on stdout.\n"
            "Runs overlap, and each request is answered as soon as its run ends, so a\n"
            "quick command is not held behind a slow one: give each request an id and\n"
            "match answers by it. Answers without an id keep the order of their\n"
            "requests among themselves. While --max-in-flight requests are unanswered,\n"
            "no further line is read.\n\n"
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
        epilog=("example:\n  printf '%s\\n' '{\"op\":\"run\",\"bin\":\"ls\",\"argv\":[]}' "
                "| corvane serve -p policy.toml --stdio"),
    )
    _add_policy(serve)
    _add_audit(serve)
    serve.add_argument("--stdio", action="store_true", required=True,
                       help="serve on stdin/stdout (the only transport)")
    serve.add_argument(
        "--max-in-flight", type=_count, default=DEFAULT_MAX_IN_FLIGHT, metavar="N",
        help=f"most requests running or waiting to be answered at once (default "
             f"{DEFAULT_MAX_IN_FLIGHT}); no further line is read while that many are",
    )

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
    _add_audit(mcp)

    packs = sub.add_parser(
        "packs", formatter_class=formatter,
        help="list the packs a policy can include, and what each allows",
        description=(
            "List the packs shipped with corvane: vetted rules (and each binary's own\n"
            "sandbox) for the tools agents use, which a policy file takes in with\n"
            "include = [\"explore\", \"git-read\"]. Each is shown with its description\n"
            "and the rules of every binary; programs this machine does not have are\n"
            "named as left out."
        ),
        epilog="examples:\n  corvane packs\n  corvane packs git-read --json",
    )
    packs.add_argument("names", nargs="*", metavar="NAME", help="only these packs")
    _add_json(packs)
    mcp.add_argument(
        "--max-output", type=_size, default=DEFAULT_MAX_OUTPUT, metavar="BYTES",
        help="most bytes of each stream shown to the model (default 65536); "
             "the rest is cut and the cut is marked",
    )
    return parser


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive count: {text!r}")
    return value


def _size(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a byte count: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a byte count: {text!r}")
    return value

