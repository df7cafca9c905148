"""Guard.stream: output as it comes, each chunk tagged with its stream, under
arun's limits and typed errors, and every way of leaving early kills and reaps
the child and leaves no descriptor behind."""

import asyncio
import json
import os
import select
import subprocess
import sys
import time

import pytest

import corvane
from corvane import Guard, OutputLimitExceeded, Refused, StreamChunk, TimedOut
from corvane import _aio

from conftest import write_script

pytestmark = pytest.mark.usefixtures("no_leaks")


@pytest.fixture(autouse=True)
def no_reactor_left(no_leaks):
    yield
    assert _aio._drivers == {}, "a reactor outlived its runs"


@pytest.fixture
def helper(tmp_path):
    """A Guard allowing one script with `body` as `helper`, and the script's directory."""

    def make(body, **limits):
        path = write_script(tmp_path, "helper", body)
        data = {"timeout": 10, "binaries": {"helper": {"path": path, "max_positionals": 3}}}
        data.update(limits)
        return Guard.from_dict(data)

    make.dir = tmp_path
    return make


async def collect(stream):
    """Every chunk's bytes joined per stream, and the error that ended it (or None)."""
    seen = {"stdout": b"", "stderr": b""}
    try:
        async for chunk in stream:
            assert type(chunk) is StreamChunk
            seen[chunk.stream] += chunk.data
    except corvane.ExecutionError as error:
        return seen, error
    return seen, None


async def release(fifo):
    """Opens the FIFO once the child has it open for reading: that lets it go on."""
    while True:
        try:
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC))
            return
        except OSError:  # ENXIO: no reader yet
            await asyncio.sleep(0.01)


def test_chunks_arrive_while_the_child_runs(helper):
    # The child blocks on a FIFO that is opened only once both of its first
    # writes came through: output held back until the exit would never come.
    fifo = helper.dir / "go"
    os.mkfifo(fifo)
    # (The policy puts "--" before the arguments: the FIFO is the last one.)
    guard = helper('printf out; printf err >&2; for f; do :; done; cat "$f"; printf end')

    async def main():
        stream = guard.stream("helper", [str(fifo)])
        seen = {"stdout": b"", "stderr": b""}
        released = False
        async for chunk in stream:
            seen[chunk.stream] += chunk.data
            if not released and seen == {"stdout": b"out", "stderr": b"err"}:
                released = True
                await release(fifo)
        return seen, stream.output

    seen, output = asyncio.run(asyncio.wait_for(main(), 8))
    assert seen == {"stdout": b"outend", "stderr": b"err"}
    # Delivered as chunks instead of kept: the Output only says how it ended.
    assert (output.exit_code, output.stdout, output.stderr) == (0, b"", b"")


@pytest.mark.parametrize("body, call, limits, seen, error", [
    # Every byte of a large output arrives, in order.
    ("seq 1 200000", {}, {},
     {"stdout": b"".join(b"%d\n" % i for i in range(1, 200001)), "stderr": b""}, None),
    ("printf 0123456789", {}, {"max_stdout": 4},
     {"stdout": b"0123", "stderr": b""}, ("stdout", 4)),
    ("printf ok; printf 0123456789 >&2", {}, {"max_stderr": 3},
     {"stdout": b"ok", "stderr": b"012"}, ("stderr", 3)),
    # The call's own time limit, below the policy's, ends the run after what it wrote.
    ("printf early; exec sleep 5", {"timeout": 0.3}, {},
     {"stdout": b"early", "stderr": b""}, TimedOut),
    ("printf x; exit 3", {}, {}, {"stdout": b"x", "stderr": b""}, None),
], ids=["large output", "stdout limit", "stderr limit", "timeout", "exit status"])
def test_limits_and_ends(helper, body, call, limits, seen, error):
    guard = helper(body, **limits)
    stream = guard.stream("helper", [], **call)
    got, raised = asyncio.run(collect(stream))
    assert got == seen
    if error is None:
        assert raised is None
        assert stream.exit_code == (3 if "exit 3" in body else 0)
    elif error is TimedOut:
        assert type(raised) is TimedOut
    else:
        assert type(raised) is OutputLimitExceeded
        assert (raised.stream, raised.limit) == error
    if raised is not None:
        with pytest.raises(RuntimeError):
            stream.output


@pytest.mark.parametrize("name, argv, call, kind", [
    ("rm", [], {}, "BinNotAllowed"),
    ("helper", ["a", "b", "c", "d"], {}, None),
    ("helper", [], {"timeout": 60}, "TimeoutAboveLimit"),
])
def test_a_refusal_comes_before_anything_starts(helper, name, argv, call, kind):
    marker = helper.dir / "ran"
    guard = helper(f'touch "{marker}"')
    with pytest.raises(Refused) as refused:
        guard.stream(name, argv, **call)
    if kind is not None:
        assert refused.value.kind == kind
    assert not marker.exists()


async def leave_by_break(stream):
    async for chunk in stream:
        return int(chunk.data)


async def leave_by_aclose(stream):
    chunk = await stream.__anext__()
    await stream.aclose()
    assert [c async for c in stream] == []  # nothing follows the close
    return int(chunk.data)


async def leave_by_context(stream):
    async with stream:
        async for chunk in stream:
            pid = int(chunk.data)
            # Still referenced after the block: the exit itself must stop it.
            break
    assert _aio._drivers == {}
    return pid


async def leave_by_task_cancel(stream):
    pids = []

    async def consume():
        async for chunk in stream:
            pids.append(int(chunk.data))

    task = asyncio.ensure_future(consume())
    while not pids:
        await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    return pids[0]


@pytest.mark.parametrize("leave", [leave_by_break, leave_by_aclose, leave_by_context,
                                   leave_by_task_cancel])
def test_leaving_early_kills_and_reaps(helper, leave):
    guard = helper("echo $$; exec sleep 30")

    async def main():
        pid = await leave(guard.stream("helper", []))
        # Reaped, not just killed: a zombie would still answer signal 0.
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)

    asyncio.run(asyncio.wait_for(main(), 8))


def test_corvane_run_passes_the_output_on_as_it_comes(tmp_path):
    # The same FIFO gate, through the command line: both streams must show
    # their first bytes while the child still waits.
    script = write_script(tmp_path, "helper",
                          'printf out; printf err >&2; for f; do :; done; cat "$f"; printf end')
    fifo = tmp_path / "go"
    os.mkfifo(fifo)
    policy = tmp_path / "policy.toml"
    policy.write_text(f'timeout = "10s"\n[binaries.helper]\npath = {json.dumps(script)}\n'
                      "max_positionals = 3\n")
    process = subprocess.Popen([sys.executable, "-m", "corvane", "run", "-p", str(policy), "--",
                                "helper", str(fifo)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    try:
        for pipe, first in ((process.stdout, b"out"), (process.stderr, b"err")):
            assert select.select([pipe], [], [], 10)[0], "nothing came while the child ran"
            assert os.read(pipe.fileno(), 3) == first
        deadline = time.monotonic() + 10
        while True:
            try:
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC))
                break
            except OSError:
                assert time.monotonic() < deadline, "the child never opened the FIFO"
                time.sleep(0.01)
        out, err = process.communicate(timeout=10)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert (out, err, process.returncode) == (b"end", b"", 0)


def test_a_failing_reader_of_the_command_line_run_stops_it(helper):
    # `corvane run ... | head -c1`: the write that fails ends the run, child reaped.
    guard = helper("echo $$; exec sleep 30")
    pids = []

    def on_chunk(is_stdout, data):
        pids.append(int(data))
        raise BrokenPipeError

    with pytest.raises(BrokenPipeError):
        guard._run_streamed("helper", [], on_chunk)
    with pytest.raises(ProcessLookupError):
        os.kill(pids[0], 0)
