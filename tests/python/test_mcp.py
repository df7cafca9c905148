"""`corvane mcp`, driven by the MCP SDK's own stdio client as an agent host drives it."""

import os
import sys
import textwrap
import time
from pathlib import Path

import pytest

import corvane

if not hasattr(corvane, "Guard"):
    pytest.skip("corvane.Guard (policy files) is not in this build", allow_module_level=True)

pytest.importorskip("mcp", reason="the MCP SDK is not installed (pip install 'corvane[mcp]')")

import anyio  # noqa: E402  (comes with the SDK)
from mcp import ClientSession, StdioServerParameters, stdio_client  # noqa: E402

from test_cli import SCRIPT_HEAD, write_policy  # noqa: E402


@pytest.fixture
def policy(scripts):
    """A policy with a few helper programs; scripts.dir is where they live."""
    here = Path(scripts.dir)
    tools = {
        scripts("say", SCRIPT_HEAD + 'printf "%s\\n" "$@"'): ["-n"],
        scripts("fail", SCRIPT_HEAD + "echo oops >&2; exit 4"): [],
        scripts("slow", SCRIPT_HEAD + f"echo $$ > {here}/slow.pid; echo started; sleep 30"): [],
        scripts("big", SCRIPT_HEAD + "head -c 1500 /dev/zero | tr '\\0' x"): [],
        scripts("flood", SCRIPT_HEAD + "exec yes"): [],
        # Each of two calls waits for the other to start: both succeed only if they overlap.
        scripts("meet", SCRIPT_HEAD + textwrap.dedent(f"""\
            touch {here}/$1; i=0
            while [ ! -e {here}/$2 ] && [ $i -lt 60 ]; do sleep 0.05; i=$((i+1)); done
            [ -e {here}/$2 ] && echo "$1 met $2" """)): [],
    }
    return write_policy(scripts.dir, tools, timeout="2s",
                        extra='max_stdout = 2048\non_output_limit = "kill"')


def session_run(policy, body, max_output=None):
    """Starts `corvane mcp` on `policy` and runs `body(session)` against it."""
    args = ["-m", "corvane", "mcp", "-p", policy]
    if max_output is not None:
        args += ["--max-output", str(max_output)]

    async def main():
        server = StdioServerParameters(command=sys.executable, args=args, env=dict(os.environ))
        async with stdio_client(server) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                return await body(session)

    return anyio.run(main)


def text_of(result):
    return "\n".join(block.text for block in result.content)


def test_the_tool_schema_comes_from_the_policy(policy):
    async def body(session):
        return (await session.list_tools()).tools

    tools = session_run(policy, body)
    assert [t.name for t in tools] == ["run_command"]
    schema = tools[0].input_schema
    assert schema["properties"]["binary"]["enum"] == ["big", "fail", "flood", "meet", "say", "slow"]
    assert schema["properties"]["args"]["items"] == {"type": "string"}
    assert schema["required"] == ["binary"] and "cwd" in schema["properties"]
    assert "say" in tools[0].description and "-n" in tools[0].description
    assert "time limit 2s" in tools[0].description


CALLS = [
    ("allowed", {"binary": "say", "args": ["-n", "hi"]}, False, "exit code: 0\n--- stdout ---\n-n\nhi"),
    ("nonzero-exit", {"binary": "fail"}, False, "exit code: 4\n--- stderr ---\noops"),
    ("refused-flag", {"binary": "say", "args": ["-r"]}, True, "refused: flag not allowed: -r"),
    ("refused-binary", {"binary": "/bin/sh", "args": ["-c", "id"]}, True, "refused: binary not allowed: /bin/sh"),
    ("bad-args", {"binary": "say", "args": "hi"}, True, "refused: `args` must be a list of strings"),
    ("timeout", {"binary": "slow"}, True, "failed: process timed out after"),
    ("truncated", {"binary": "big"}, False, "exit code: 0\n--- stdout ---\n" + "x" * 1000
     + "\n[stdout truncated: 500 more bytes not shown]"),
    ("over-limit", {"binary": "flood"}, True, "failed: stdout limit exceeded: 2048 bytes\n"),
]


def test_calls(policy):
    async def body(session):
        return [await session.call_tool("run_command", arguments) for _, arguments, _, _ in CALLS]

    results = session_run(policy, body, max_output=1000)
    for (name, _, is_error, expected), result in zip(CALLS, results):
        assert bool(result.is_error) == is_error, name
        assert text_of(result).startswith(expected), (name, text_of(result))
    timed_out = text_of(results[-3])
    assert timed_out.splitlines()[1:] == ["--- stdout ---", "started"]  # what it printed before
    flooded = text_of(results[-1]).splitlines()
    assert flooded[-1] == "[stdout truncated: the command was stopped at the limit of 2048 bytes]"


def test_two_calls_at_once(policy):
    async def body(session):
        results = {}

        async def call(me, other):
            results[me] = await session.call_tool("run_command", {"binary": "meet", "args": [me, other]})

        async with anyio.create_task_group() as group:
            group.start_soon(call, "a", "b")
            group.start_soon(call, "b", "a")
        return results

    results = session_run(policy, body)
    assert text_of(results["a"]) == "exit code: 0\n--- stdout ---\na met b"
    assert text_of(results["b"]) == "exit code: 0\n--- stdout ---\nb met a"


def test_a_cancelled_call_kills_its_child(policy, scripts):
    pid_file = Path(scripts.dir, "slow.pid")

    async def body(session):
        with anyio.move_on_after(0.5):  # the client gives up and tells the server so
            await session.call_tool("run_command", {"binary": "slow"})
        pid = int(pid_file.read_text())
        deadline = time.monotonic() + 1.5  # well inside the 2 s policy limit
        while time.monotonic() < deadline and _alive(pid):
            await anyio.sleep(0.02)
        return pid, _alive(pid)

    pid, alive = session_run(policy, body)
    assert not alive, f"child {pid} outlived its cancelled call"


def _alive(pid):
    """True while `pid` exists and is not a zombie awaiting its reaper."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return False
    return state != "Z"


@pytest.mark.skipif(corvane.Sandbox.available()["landlock_abi"] == 0, reason="the kernel has no Landlock")
def test_calls_run_in_the_policys_sandbox(scripts, tmp_path_factory):
    outside = tmp_path_factory.mktemp("outside")
    plant = scripts("plant", SCRIPT_HEAD + f"echo planted > {outside}/planted")
    # The policy lives outside the workspace its commands may write.
    policy = write_policy(tmp_path_factory.mktemp("policy"), {plant: []},
                          extra=f'sandbox = {{ workspace = "{scripts.dir}" }}')

    async def body(session):
        tools = (await session.list_tools()).tools
        return tools[0].description, await session.call_tool("run_command", {"binary": "plant"})

    description, result = session_run(policy, body)
    assert f"kernel sandbox: it can write only to {scripts.dir}, /dev/null;" in description
    assert "Permission denied" in text_of(result)
    assert not (outside / "planted").exists()
