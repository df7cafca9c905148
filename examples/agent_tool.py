#!/usr/bin/env python3
"""How an agent framework wraps corvane as a tool.

Most agent frameworks register a tool as a plain function plus a JSON schema of
its parameters; the model calls it with JSON arguments and reads back the text
it returns. `run_command` is such a function: it takes a binary and an argv,
and returns the command's stdout, or one line saying why nothing ran. The
policy is built once, before the agent starts; the model can only propose.

    pip install . && python3 examples/agent_tool.py
"""

from __future__ import annotations

import json
from typing import Any, Callable, Dict

from corvane import ArgRules, InjectDoubleDash, ProcPolicyBuilder, ProcRequest

# What the framework shows the model. The binary must be an absolute path.
TOOL_SCHEMA: Dict[str, Any] = {
    "name": "run_command",
    "description": (
        "Run one program without a shell. `binary` is an absolute path, `argv` "
        "the arguments after the program name. Returns stdout, or the reason "
        "the command was refused or failed."
    ),
    "parameters": {
        "type": "object",
        "properties": {
            "binary": {"type": "string"},
            "argv": {"type": "array", "items": {"type": "string"}},
        },
        "required": ["binary", "argv"],
    },
}


def default_policy():
    """A read-only toolbox: list, count and search files in /tmp."""
    search = (
        ArgRules()
        .allowed_flags(["-n", "-i", "-c", "-l"])
        .max_flags(2)
        .max_positionals(2)
        .inject_double_dash(InjectDoubleDash.AfterFlags)
    )
    return (
        ProcPolicyBuilder()
        .allow_bin("/usr/bin/grep")
        .arg_rules("/usr/bin/grep", search)
        .allow_bin("/usr/bin/ls")
        .arg_rules("/usr/bin/ls", ArgRules().allowed_flags(["-1", "-a"]).max_flags(2))
        .allow_bin("/usr/bin/wc")
        .arg_rules("/usr/bin/wc", ArgRules().allowed_flags(["-l", "-c"]).max_flags(1).max_positionals(4)
                   .inject_double_dash())
        .env_locale_only()
        .cwd("/tmp")
        .timeout_secs(10)
        .max_stdout(256 * 1024)
        .build()
    )


def make_tool(policy) -> Callable[[str, list], str]:
    """Binds a built policy into the function the framework registers."""

    def run_command(binary: str, argv: list) -> str:
        try:
            prepared = policy.prepare(ProcRequest(binary, argv))
        except ValueError as refusal:  # a policy violation: nothing ran
            return f"refused: {refusal}"
        except TypeError as bad:  # the model sent something that is not text / a list of text
            return f"refused: invalid arguments ({bad})"
        try:
            output = prepared.spawn_sync()
        except RuntimeError as failure:  # timeout, output limit, spawn failure
            return f"failed: {failure}"
        if not output.success:
            code = output.exit_code if output.exit_code is not None else "signal"
            return f"exit {code}: {output.stderr_string() or output.stdout_string()}"
        return output.stdout_string()

    return run_command


def call_from_json(tool: Callable[[str, list], str], arguments: str) -> str:
    """What the framework does with the model's JSON arguments."""
    args = json.loads(arguments)
    return tool(args.get("binary"), args.get("argv", []))


if __name__ == "__main__":
    run_command = make_tool(default_policy())
    for call in (
        '{"binary": "/usr/bin/wc", "argv": ["-l", "/etc/passwd"]}',
        '{"binary": "/usr/bin/grep", "argv": ["-c", "root", "/etc/passwd"]}',
        '{"binary": "/bin/sh", "argv": ["-c", "cat /etc/shadow"]}',
        '{"binary": "/usr/bin/grep", "argv": ["-r", "password", "/home"]}',
        '{"binary": "/usr/bin/ls", "argv": "-a /root"}',
    ):
        print(f"{call}\n  -> {call_from_json(run_command, call).strip()[:200]}\n")
