"""A stream's audit line: written once it ends, however it ends, with how the
command ended and the bytes the stream handed out (which its Output and its
errors no longer hold)."""

import asyncio
import gc
import json

import pytest

import corvane

from conftest import write_script

HEAD = "PATH=/usr/bin:/bin\n"


@pytest.fixture
def guard(tmp_path):
    tools = {
        "say": HEAD + "printf abc; printf de >&2",
        "slow": HEAD + "printf started; sleep 5",
        "loud": HEAD + "head -c 5000 /dev/zero",
        "selfkill": HEAD + "kill -TERM $$",
    }
    return corvane.Guard.from_dict({
        "timeout": "1s", "max_stdout": 1000, "on_output_limit": "kill", "cwd": {"fixed": str(tmp_path)},
        "binaries": {name: {"path": write_script(tmp_path, name, body), "max_positionals": 0}
                     for name, body in tools.items()},
    })


async def take_all(stream):
    async for _ in stream:
        pass


async def leave_after_first(stream):
    async for _ in stream:
        break
    await stream.aclose()


async def cancel_after_first(stream):
    async def consume():
        async for _ in stream:
            started.set()

    started = asyncio.Event()
    task = asyncio.ensure_future(consume())
    await started.wait()
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)


async def drop_unstarted(stream):
    del stream
    gc.collect()


# Each row: the binary, how the caller treats the stream, and the fields its line must hold.
ENDINGS = [
    ("exit", "say", take_all,
     {"exit_code": 0, "signal": None, "stdout_bytes": 3, "stderr_bytes": 2, "cut": False}),
    ("signal", "selfkill", take_all, {"exit_code": None, "signal": 15}),
    ("timeout", "slow", take_all, {"error": "TimedOut", "stdout_bytes": 7, "cut": False}),
    ("output-limit", "loud", take_all, {"error": "OutputLimitExceeded", "stdout_bytes": 1000, "cut": True}),
    ("left-early", "slow", leave_after_first, {"error": "Closed", "stdout_bytes": 7}),
    ("cancelled", "slow", cancel_after_first, {"error": "CancelledError", "stdout_bytes": 7}),
    ("never-started", "slow", drop_unstarted, {"error": "Closed", "message": (
        "the stream was closed before the command started")}),
]


@pytest.mark.parametrize("name, caller, fields", [e[1:] for e in ENDINGS], ids=[e[0] for e in ENDINGS])
def test_a_stream_writes_one_line_when_it_ends(guard, name, caller, fields):
    lines = []
    audited = guard.with_audit(lines.append)

    async def main():
        try:
            await caller(audited.stream(name, []))
        except corvane.ExecutionError:
            pass

    asyncio.run(main())
    assert audited.audit.flush()
    assert len(lines) == 1, lines
    line = json.loads(lines[0])
    assert (line["op"], line["verdict"], line["binary"]) == ("stream", "allowed", name)
    assert {key: line.get(key) for key in fields} == fields
    assert line["duration"] >= 0


def test_a_refused_stream_writes_its_refusal_at_once(guard):
    lines = []
    audited = guard.with_audit(lines.append)
    with pytest.raises(corvane.Refused):
        audited.stream("say", ["extra"])
    assert audited.audit.flush()
    guard_lines = [json.loads(line) for line in lines]
    assert [(line["op"], line["verdict"], line["kind"]) for line in guard_lines] == [
        ("stream", "refused", "TooManyPositionals")]
