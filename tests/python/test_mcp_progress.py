"""MCP progress: a client that sends a progress token hears about a long run's
output while it runs, and gets the same result a client without one gets."""

import pytest

import corvane

from conftest import write_script

pytest.importorskip("mcp", reason="the MCP SDK is not installed (pip install 'corvane[mcp]')")

import anyio  # noqa: E402  (comes with the SDK)
from mcp.client.client import Client  # noqa: E402

from corvane.mcp_server import build_server  # noqa: E402

HEAD = "PATH=/usr/bin:/bin\n"


@pytest.fixture
def server(tmp_path):
    tools = {
        # Three lines, far enough apart in time that each is its own notification.
        "ticks": HEAD + "for i in 1 2 3; do echo tick $i; sleep 0.6; done; echo done >&2",
        "slow": HEAD + "echo started; sleep 30",
        "quiet": HEAD + "exit 3",
    }
    guard = corvane.Guard.from_dict({
        "timeout": "3s", "cwd": {"fixed": str(tmp_path)},
        "binaries": {name: {"path": write_script(tmp_path, name, body), "max_positionals": 0}
                     for name, body in tools.items()},
    })
    return build_server(guard)


def call(server, arguments, progress):
    heard = []

    async def on_progress(done, total, message):
        heard.append((done, total, message))

    async def main():
        # "legacy": JSON-RPC over memory streams, the framing a stdio client uses.
        async with Client(server, mode="legacy") as client:
            return await client.call_tool("run_command", arguments,
                                          progress_callback=on_progress if progress else None)

    result = anyio.run(main)
    return result.is_error, "\n".join(block.text for block in result.content), heard


# Each row: the call, its result (error or not, the text's start and end) and the
# progress a client asking for it may hear: each (bytes so far, the message's end)
# it can report. Output that comes within PROGRESS_INTERVAL of the last report is
# told in the next one, so a loaded machine may merge steps; the last one always comes.
RUNS = [
    ({"binary": "ticks"}, False,
     ("exit code: 0\n--- stdout ---\ntick 1\ntick 2\ntick 3\n--- stderr ---\ndone", ""),
     {7: "last line: tick 1", 14: "last line: tick 2", 21: "last line: tick 3", 26: "last line: done"}),
    ({"binary": "slow", "timeout": 1}, True,
     ("failed: process timed out after 1.", "(limit: 1s)\n--- stdout ---\nstarted"),
     {8: "last line: started"}),
    ({"binary": "quiet"}, False, ("exit code: 3", "exit code: 3"), {}),
]


@pytest.mark.parametrize("arguments, is_error, text, steps", RUNS, ids=[r[0]["binary"] for r in RUNS])
def test_progress_comes_with_the_output_and_the_result_is_unchanged(server, arguments, is_error, text,
                                                                     steps):
    for asked in (False, True):
        got_error, got_text, heard = call(server, arguments, progress=asked)
        assert got_error == is_error and got_text.startswith(text[0]) and got_text.endswith(text[1]), got_text
        if not asked:
            assert heard == []
    done = [int(count) for count, _, _ in heard]
    assert done == sorted(set(done)) and set(done) <= set(steps)
    assert (done[-1:], len(done) >= min(2, len(steps))) == (list(steps)[-1:], True)
    assert all(total is None and message.endswith(steps[int(count)]) for count, total, message in heard)
