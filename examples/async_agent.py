#!/usr/bin/env python3
"""An asyncio agent loop that runs several tool calls at once.

Each turn the model answers with a batch of tool calls; the agent runs them
concurrently with corvane.arun (no thread per call), each under a deadline of
its own, and hands every result back as text the model can read: the output,
the refusal reason, or the error together with what the command printed before
it was stopped. The model here is a script, so the example runs anywhere.

    pip install . && python3 examples/async_agent.py
"""

from __future__ import annotations

import asyncio
import os
import tempfile
import time
from dataclasses import dataclass
from typing import Dict, List, Sequence

import corvane
from corvane import ArgRules, InjectDoubleDash, ProcPolicy, ProcPolicyBuilder, ProcRequest

CALL_DEADLINE = 0.5  # seconds the agent waits for one tool call


@dataclass
class ToolCall:
    binary: str
    argv: List[str]


@dataclass
class ToolResult:
    call: ToolCall
    status: str  # "ok", "exit <n>", "refused", "failed" or "cancelled"
    text: str
    seconds: float


def toolbox_policy(workdir: str) -> ProcPolicy:
    """Search, count, list and wait, in `workdir` only, with small limits."""
    search = (ArgRules().allowed_flags(["-n", "-i", "-c", "-r"]).max_flags(2).max_positionals(2)
              .inject_double_dash(InjectDoubleDash.AfterFlags))
    return (ProcPolicyBuilder()
            .allow_bin("/usr/bin/grep").arg_rules("/usr/bin/grep", search)
            .allow_bin("/usr/bin/wc").arg_rules("/usr/bin/wc", ArgRules().allowed_flags(["-l"])
                                                .max_flags(1).max_positionals(4).inject_double_dash())
            .allow_bin("/usr/bin/ls").arg_rules("/usr/bin/ls", ArgRules().allowed_flags(["-1"]).max_flags(1))
            .allow_bin("/usr/bin/sleep").arg_rules("/usr/bin/sleep", ArgRules().max_positionals(1))
            .allow_bin("/usr/bin/yes").arg_rules("/usr/bin/yes", ArgRules().max_positionals(1))
            .env_locale_only()
            .cwd(workdir)
            .timeout_secs(5)
            .max_stdout(64 * 1024)
            .build())


async def run_tool(policy: ProcPolicy, call: ToolCall) -> ToolResult:
    """One tool call, always answered with text, never with an exception."""
    start = time.monotonic()

    def result(status: str, text: str) -> ToolResult:
        return ToolResult(call, status, text, time.monotonic() - start)

    try:
        prepared = policy.prepare(ProcRequest(call.binary, call.argv))
    except (ValueError, TypeError) as refusal:
        return result("refused", str(refusal))
    try:
        out = await asyncio.wait_for(corvane.arun(prepared, on_output_limit="kill"), CALL_DEADLINE)
    except asyncio.TimeoutError:  # the child is already killed and reaped
        return result("cancelled", f"no answer within {CALL_DEADLINE}s")
    except corvane.ExecutionError as failure:
        shown = failure.stdout[:60].decode(errors="replace")
        return result("failed", f"{failure}; it printed {len(failure.stdout)} bytes: {shown!r}...")
    status = "ok" if out.success else f"exit {out.exit_code}"
    return result(status, out.stdout_string())


async def run_turn(policy: ProcPolicy, calls: Sequence[ToolCall]) -> List[ToolResult]:
    """All the calls of one turn at once; results in the order of the calls."""
    return list(await asyncio.gather(*(run_tool(policy, call) for call in calls)))


def scripted_model() -> List[List[ToolCall]]:
    """What a model might ask for over two turns."""
    return [
        [ToolCall("/usr/bin/ls", ["-1"]),
         ToolCall("/usr/bin/grep", ["-n", "TODO", "notes.txt"]),
         ToolCall("/usr/bin/wc", ["-l", "notes.txt"]),
         ToolCall("/usr/bin/sleep", ["3"]),                   # slower than the agent waits
         ToolCall("/usr/bin/yes", ["spam"])],                 # floods its output
        [ToolCall("/usr/bin/grep", ["-c", "-i", "todo", "notes.txt"]),
         ToolCall("/bin/sh", ["-c", "cat /etc/shadow"]),      # refused: not allowed
         ToolCall("/usr/bin/grep", ["-f", "/etc/shadow", "x"])],  # refused: flag not allowed
    ]


async def agent(workdir: str) -> Dict[int, List[ToolResult]]:
    policy = toolbox_policy(workdir)
    transcript = {}
    for number, calls in enumerate(scripted_model(), 1):
        transcript[number] = await run_turn(policy, calls)
    return transcript


def main() -> None:
    with tempfile.TemporaryDirectory() as workdir:
        with open(os.path.join(workdir, "notes.txt"), "w") as notes:
            notes.write("deploy checklist\nTODO: rotate the API keys\ntodo: renew the cert\n")
        start = time.monotonic()
        transcript = asyncio.run(agent(workdir))
        for number, results in transcript.items():
            print(f"turn {number}:")
            for r in results:
                command = " ".join([os.path.basename(r.call.binary)] + r.call.argv)
                text = r.text.strip().replace("\n", " | ")
                print(f"  {command:32} {r.status:9} {r.seconds:5.2f}s  {text}")
        print(f"{sum(map(len, transcript.values()))} tool calls in "
              f"{time.monotonic() - start:.1f}s")


if __name__ == "__main__":
    main()
