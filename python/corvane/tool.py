"""What a model reads: the tool that runs commands under a Guard, described from
the policy, and the text of its results.

One module for every place a model meets the policy: ``Guard.tool_schema()``
and ``Guard.tool_description()``, the MCP server's ``run_command`` tool,
``corvane explain``'s listing and ``corvane.format_result``. Everything here
presents what ``Guard.describe()`` and the runs return; nothing decides. It
needs neither asyncio nor the MCP SDK.
"""

from __future__ import annotations

import os
from collections.abc import Mapping


from . import _native
from .errors import ExecutionError, OutputLimitExceeded, Refused

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Protocol, Tuple, Union
    from . import Output

__all__ = ["TOOL_NAME", "tool_schema", "tool_description", "format_result", "DEFAULT_MAX_OUTPUT"]

TOOL_NAME = "run_command"

# The most bytes of each stream a result shows by default; the rest is cut and
# the cut is marked, so one noisy command does not fill a model's context.
DEFAULT_MAX_OUTPUT = 64 * 1024


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
    if flag.get("replaces_first_positional"):
        shape += ", in place of the first argument"
    return f"{flag.get('name', '')} <{shape}>"


def _role_text(role: Any) -> str:
    """One positional's role from describe(), as words."""
    if role == "text":
        return "any text (not checked as a path)"
    if role == "path":
        return "a path inside the working directory"
    if isinstance(role, Mapping):
        shapes = []
        if role.get("one_of"):
            shapes.append("one of " + "|".join(str(v) for v in role["one_of"]))
        if role.get("pattern"):
            shapes.append(f"matching {role['pattern']}")
        return " and ".join(shapes)
    return str(role)


def _roles_text(rules: Mapping[str, Any]) -> Optional[str]:
    """What the positionals are, in order, when the rule set says (None otherwise)."""
    roles = rules.get("positionals") or []
    rest = rules.get("rest_positionals")
    if not roles and rest is None:
        return None
    ordinals = ["first", "second", "third"]
    parts = [f"{ordinals[i] if i < len(ordinals) else f'argument {i + 1}'} argument "
             f"{_role_text(role)}" for i, role in enumerate(roles)]
    if rest is not None:
        parts.append(("the others " if roles else "arguments ") + _role_text(rest))
    else:
        parts.append("no others")
    return ", ".join(parts)


def _plural(count: Any, noun: str) -> str:
    return f"{count} {noun}{'s' if count != 1 else ''}"


def rule_set_text(rules: Mapping[str, Any]) -> str:
    """One rule set of describe(), as one line a person or a model reads."""
    flags = rules.get("flags") or []
    value_flags = rules.get("value_flags") or []
    # Whether any argument can be read as a flag at all; without one, a count of
    # flags would tell the reader that some are allowed.
    takes_flags = bool(flags or value_flags or rules.get("numeric_flags") or rules.get("bundles")
                       or rules.get("first_arg_bundle"))
    parts = ["flags " + " ".join(flags) if flags else
             "no plain flags" if takes_flags else "no flags"]
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
        if takes_flags:
            parts.append(f"at most {_plural(rules['max_flags'], 'flag')} and "
                         f"{_plural(rules['max_positionals'], 'other argument')}")
        else:
            parts.append(f"at most {_plural(rules['max_positionals'], 'argument')}")
    if rules.get("path_positionals"):
        parts.append("path arguments must stay inside the working directory")
    roles = _roles_text(rules)
    if roles:
        parts.append(roles)
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
    options = entry.get("global")
    if subcommands and len(subcommands) == len(sets):
        first = ("after these options, the next argument must be a subcommand: " if options else
                 "the first argument must be a subcommand: ")
        lines.insert(0, first + ", ".join(subcommands))
    if options:
        # Options only: rule_set_text() counts no arguments without max_positionals.
        lines.insert(0, f"options before the subcommand: {rule_set_text(options)}; "
                        f"at most {_plural(options.get('max_flags'), 'option')}")
    if entry.get("widened_from"):
        lines.append(f"widened from pack {entry['widened_from']}")
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
    writable, network = sandbox_terms(box)
    return (f"Every command runs in a kernel sandbox: it can write only to {writable}; it "
            f"cannot read outside the policy's read list; network access is {network}.")


def own_sandbox_line(entry: Mapping[str, Any]) -> str:
    """A binary's own sandbox from describe(), as one sentence ("" without one)."""
    box = entry.get("sandbox")
    if not box:
        return ""
    writable, network = sandbox_terms(box)
    programs = ", ".join(os.path.normpath(p) for p in box.get("exec") or [])
    starts = f"it may start programs under {programs}" if programs else "it may start no other program"
    return f"runs in its own sandbox: it can write only to {writable}; {starts}; network access is {network}"


def sandbox_terms(box: Mapping[str, Any]) -> Tuple[str, str]:
    """Where a sandbox of describe() may write, and its network access, as words."""
    writable = ", ".join(os.path.normpath(p) for p in box.get("write") or []) or "nothing"
    if box.get("private_tmp"):
        writable += " and a temporary directory of its own, named by $TMPDIR (not /tmp)"
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
    return writable, network


def description_text(described: Mapping[str, Any]) -> str:
    """The tool's description for a policy's describe(): how it runs commands
    and what the policy allows."""
    lines = [
        "Run one program directly, without a shell (no pipes, globbing, redirection or "
        "variable expansion; each argument is passed as it is). Only the binaries and "
        "arguments below are allowed; anything else is refused with a one-line reason, "
        "so read it and correct the call. stdin is empty.",
        "",
        "Allowed binaries (`binary`) and their rules:",
    ]
    for entry in described.get("binaries", []):
        lines.append(f"- {entry.get('name', '')}:")
        lines += [f"  - {line}" for line in binary_lines(entry)]
        if own_sandbox_line(entry):
            lines.append(f"  - {own_sandbox_line(entry)}")
    limits = limits_line(described)
    if limits:
        lines += ["", f"Limits: {limits}."]
    if cwd_line(described):
        lines += [cwd_line(described)]
    if sandbox_line(described):
        lines += [sandbox_line(described)]
    lines += ["", "Returns the exit code, then stdout and stderr."]
    return "\n".join(lines)


def binary_names(described: Mapping[str, Any]) -> List[str]:
    """The policy's own names for its binaries (a call takes them, or paths)."""
    return [str(entry.get("name", "")) for entry in described.get("binaries", [])]


def schema_for(names: List[str]) -> Dict[str, Any]:
    """The JSON Schema of a call: `binary` from `names`, `args`, optional `cwd`,
    `timeout` and `stdin`."""
    return {
        "type": "object",
        "properties": {
            "binary": {
                "type": "string",
                "enum": sorted(names),
                "description": "The program to run: the name of one of the allowed binaries.",
            },
            "args": {
                "type": "array",
                "items": {"type": "string"},
                "description": "The arguments after the program name, one string each.",
                "default": [],
            },
            "cwd": {
                "type": "string",
                "description": ("The directory to run in, if the policy lets the caller choose one; "
                                "a relative one counts from where commands run by default."),
            },
            "timeout": {
                "type": "number",
                "description": "Seconds this run may take, if fewer than the policy's limit.",
            },
            "stdin": {
                "type": "string",
                "description": ("Text given to the program as its standard input (empty without "
                                "it), if the policy allows stdin, up to its max_stdin bytes."),
            },
        },
        "required": ["binary"],
        "additionalProperties": False,
    }


if TYPE_CHECKING:
    class Describes(Protocol):
        """What the tool is made from: a Guard, or anything that describes a policy as it does."""

        def describe(self) -> Dict[str, Any]: ...


def tool_schema(guard: Describes) -> Dict[str, Any]:
    """The JSON Schema of one call of the tool under `guard` (its input schema)."""
    return schema_for(binary_names(guard.describe()))


def tool_description(guard: Describes) -> str:
    """The tool's description under `guard`: what the model may run and how."""
    return description_text(guard.describe())


def exit_signal(output: Output) -> Optional[int]:
    """The signal that ended the child, None when it exited."""
    return _native.exit_signal(output)


def _clip(data: bytes, limit: int) -> Tuple[str, int]:
    """Text of at most `limit` bytes of `data`, and how many bytes were cut."""
    if len(data) <= limit:
        return data.decode("utf-8", "replace"), 0
    return data[:limit].decode("utf-8", "ignore"), len(data) - limit


def _stream_text(name: str, data: bytes, limit: int, stopped_at: Optional[int] = None) -> List[str]:
    if not data and stopped_at is None:
        return []
    text, cut = _clip(data, limit)
    lines = [f"--- {name} ---"] + ([text.rstrip("\n")] if text else [])
    if cut:
        lines.append(f"[{name} truncated: {cut} more bytes not shown]")
    if stopped_at is not None:
        lines.append(f"[{name} truncated: the command was stopped at the limit of {stopped_at} bytes]")
    return lines


def output_text(output: Output, max_output: int = DEFAULT_MAX_OUTPUT, *,
                streamed: Optional[Tuple[bytes, bytes]] = None) -> str:
    """A finished run as the model reads it; `streamed`: the (stdout, stderr) a
    stream handed out, which its Output no longer holds."""
    if output.exit_code is not None:
        head = f"exit code: {output.exit_code}"
    else:
        number = exit_signal(output)
        head = f"killed by signal {number}" if number is not None else "killed by a signal"
    stdout, stderr = streamed if streamed is not None else (output.stdout, output.stderr)
    lines = [head]
    lines += _stream_text("stdout", stdout, max_output)
    lines += _stream_text("stderr", stderr, max_output)
    return "\n".join(lines)


def failure_text(error: ExecutionError, max_output: int = DEFAULT_MAX_OUTPUT) -> str:
    """A run that was stopped or never started: the reason, then what it printed before."""
    over = error.stream if isinstance(error, OutputLimitExceeded) else None
    limit = error.limit if isinstance(error, OutputLimitExceeded) else None
    lines = [f"failed: {error}"]
    lines += _stream_text("stdout", error.stdout or b"", max_output, limit if over == "stdout" else None)
    lines += _stream_text("stderr", error.stderr or b"", max_output, limit if over == "stderr" else None)
    return "\n".join(lines)


def refusal_text(refused: Union[Refused, str]) -> str:
    """A refused call as the model reads it: the one-line reason to correct it by."""
    return f"refused: {refused}"


def format_result(result: Union[Output, Refused, ExecutionError], *,
                  max_output: int = DEFAULT_MAX_OUTPUT) -> str:
    """What a model reads for one call: an Output (exit code or signal, then the
    streams), a Refused (the reason) or an ExecutionError (the reason, then what
    the command printed before it was stopped). Each stream shows at most
    `max_output` bytes; a cut is marked."""
    if isinstance(result, Refused):
        return refusal_text(result)
    if isinstance(result, ExecutionError):
        return failure_text(result, max_output)
    return output_text(result, max_output)
