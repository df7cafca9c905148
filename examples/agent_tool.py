#!/usr/bin/env python3
"""How an agent framework wraps corvane as a tool.

The policy is a file, loaded once before the agent starts; the model can only
propose. The Guard gives everything the tool needs: the JSON Schema of a call
(`guard.tool_schema()`), the text that tells the model what it may run
(`guard.tool_description()`), and the text it reads back for each call
(`corvane.format_result`). Calls run on the event loop with `guard.arun`, so
a turn's calls overlap and none blocks the loop.

The same tool in the two shapes frameworks take: a function for a chat API's
function calling (`chat_tool`), and the entry a desktop client's MCP
configuration needs to start `corvane mcp` (`mcp_client_entry`).

    pip install . && python3 examples/agent_tool.py
"""

from __future__ import annotations

import asyncio
import json
import sys
from pathlib import Path
from typing import Any, Dict, List

import corvane
from corvane.tool import TOOL_NAME

POLICY = Path(__file__).resolve().parent / "policies" / "code_explorer.toml"


def chat_tool(guard: corvane.Guard) -> Dict[str, Any]:
    """The tool as a chat API's function-calling declaration."""
    return {"type": "function",
            "function": {"name": TOOL_NAME, "description": guard.tool_description(),
                         "parameters": guard.tool_schema()}}


def mcp_client_entry(policy: Path = POLICY) -> Dict[str, Any]:
    """What a desktop client's MCP configuration holds to start the same tool."""
    return {"mcpServers": {"corvane": {"command": "corvane",
                                       "args": ["mcp", "-p", str(Path(policy).resolve())]}}}


async def run_command(guard: corvane.Guard, arguments: Dict[str, Any]) -> str:
    """One call as the model made it; the text it reads back, never an exception."""
    if not isinstance(arguments, dict) or not isinstance(arguments.get("binary"), str):
        return "refused: invalid arguments (give 'binary' as a string and 'args' as a list of strings)"
    stdin = arguments.get("stdin")
    try:
        output = await guard.arun(arguments["binary"], arguments.get("args", []),
                                  cwd=arguments.get("cwd"), timeout=arguments.get("timeout"),
                                  stdin=stdin.encode() if isinstance(stdin, str) else stdin)
    except (corvane.Refused, corvane.ExecutionError) as error:
        return corvane.format_result(error)
    except (TypeError, ValueError) as bad:  # not text, not a list, a NUL byte...
        return f"refused: invalid arguments ({bad})"
    return corvane.format_result(output)


async def one_turn(guard: corvane.Guard, calls: List[str]) -> List[str]:
    """A turn's calls, as JSON argument strings, run at once."""
    async def one(arguments: str) -> str:
        try:
            parsed = json.loads(arguments)
        except ValueError as bad:
            return f"refused: the arguments are not JSON ({bad})"
        return await run_command(guard, parsed)

    return list(await asyncio.gather(*(one(c) for c in calls)))


TURN = [
    '{"binary": "ls", "args": ["examples"]}',
    '{"binary": "grep", "args": ["-c", "def ", "examples/agent_tool.py"]}',
    '{"binary": "sh", "args": ["-c", "cat /etc/shadow"]}',
    '{"binary": "grep", "args": ["-r", "password", "/"]}',
    '{"binary": "ls", "args": "-a /root"}',
]


def main() -> int:
    guard = corvane.Guard.from_toml(POLICY)
    print("function-calling declaration (description shortened):")
    declaration = chat_tool(guard)
    declaration["function"]["description"] = declaration["function"]["description"][:120] + "..."
    print(json.dumps(declaration, indent=2))
    print("\nMCP client configuration:")
    print(json.dumps(mcp_client_entry(), indent=2))
    print("\none turn of calls:")
    for call, answer in zip(TURN, asyncio.run(one_turn(guard, TURN)), strict=True):
        print(f"{call}\n  -> {answer.strip()[:200]}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
