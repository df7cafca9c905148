"""Typed use of the running API that the type checker must accept."""

import asyncio
from typing import List, Literal, Optional, Tuple

import corvane
from corvane import ExecutionError, Output, PreparedCommand, Refused, TimedOut


def run_all(prepared: PreparedCommand) -> bytes:
    try:
        out: Output = corvane.run(prepared, on_output_limit="kill")
    except TimedOut as timed_out:
        seconds: float = timed_out.elapsed + timed_out.limit
        return timed_out.stdout + timed_out.stderr + str(seconds).encode()
    except corvane.OutputLimitExceeded as over:
        stream: str = over.stream
        return over.stdout[: over.limit] + stream.encode()
    except ExecutionError as failed:
        return failed.stderr
    return out.stdout


async def gather(commands: List[PreparedCommand]) -> List[Output]:
    return list(await asyncio.gather(*(corvane.arun(c, sandbox=None) for c in commands)))


def describe(refused: Refused) -> str:
    index = refused.index if refused.index is not None else -1
    return f"{refused.kind} {index} {sorted(refused.fields)} {refused}"


async def streamed(guard: corvane.Guard) -> Tuple[bytes, Optional[int]]:
    seen = b""
    async with guard.stream("ls", ["-l"], timeout=5) as chunks:
        async for chunk in chunks:
            which: Literal["stdout", "stderr"] = chunk.stream
            seen += chunk.data if which == "stdout" else b""
    return seen, chunks.exit_code


def stream_of(command: PreparedCommand) -> corvane.Stream:
    return corvane.stream(command, on_output_limit="kill")
