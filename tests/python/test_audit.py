"""The audit trail: one JSON line per decision and per run, never blocking the
caller, never silent when it fails, and never forged by what an agent sends."""

import asyncio
import json
import os
import subprocess
import sys
import threading

import pytest

import corvane
from corvane.audit import AuditTrail

from conftest import write_script

HEAD = "PATH=/usr/bin:/bin\n"


@pytest.fixture
def guard(tmp_path):
    tools = {
        "say": write_script(tmp_path, "say", HEAD + 'printf "%s\\n" "$@"'),
        "slow": write_script(tmp_path, "slow", HEAD + "sleep 5"),
        "loud": write_script(tmp_path, "loud", HEAD + "head -c 5000 /dev/zero"),
        "selfkill": write_script(tmp_path, "selfkill", HEAD + "kill -TERM $$"),
    }
    return corvane.Guard.from_dict({
        "timeout": "1s", "max_stdout": 1000, "on_output_limit": "kill", "cwd": {"fixed": str(tmp_path)},
        "binaries": {name: {"path": path, "flags": ["-n"], "max_positionals": 4,
                            "inject_double_dash": False} for name, path in tools.items()},
    })


class Lines(list):
    """A callable sink keeping the lines it is handed."""

    def __call__(self, line):
        self.append(line)


def audited(guard):
    lines = Lines()
    return guard.with_audit(lines), lines


def written(audited_guard, lines):
    assert audited_guard.audit.flush()
    audited_guard.audit.close()
    return [json.loads(line) for line in lines]


def call(guard, op, argv):
    try:
        if op == "check":
            guard.check(argv[0], argv[1:])
        else:
            guard.run(argv[0], argv[1:])
    except (ValueError, corvane.ExecutionError):  # Refused is a ValueError, as is a lone surrogate
        pass


# Each row: the call, and fields its one line must hold.
CALLS = [
    ("check-allowed", "check", ["say", "x"],
     {"op": "check", "verdict": "allowed", "binary": "say", "argv": ["x"]}),
    ("check-refused", "check", ["say", "x", "-z"],
     {"verdict": "refused", "kind": "FlagNotAllowed", "index": 1}),
    ("run-ok", "run", ["say", "hello"],
     {"op": "run", "verdict": "allowed", "exit_code": 0, "signal": None, "stdout_bytes": 6, "cut": False}),
    ("run-refused", "run", ["ls"], {"op": "run", "verdict": "refused", "kind": "BinNotAllowed"}),
    ("run-timed-out", "run", ["slow"], {"verdict": "allowed", "error": "TimedOut", "cut": False}),
    ("run-output-cut", "run", ["loud"], {"error": "OutputLimitExceeded", "cut": True}),
    ("run-signalled", "run", ["selfkill"], {"exit_code": None, "signal": 15}),
]


@pytest.mark.parametrize("op, argv, fields", [row[1:] for row in CALLS], ids=[row[0] for row in CALLS])
def test_every_call_is_one_line_with_its_fields(guard, op, argv, fields):
    with_trail, lines = audited(guard)
    call(with_trail, op, argv)
    (line,) = written(with_trail, lines)
    assert {key: line.get(key) for key in fields} == fields
    assert line["time"].endswith("Z") and line["cwd"] is None and "policy" in line
    if line["verdict"] == "allowed":
        assert line["prepared"]["bin"].endswith("/" + argv[0]) and "sandbox" in line
    if op == "run" and line["verdict"] == "allowed":
        assert line["duration"] >= 0 and "stderr_bytes" in line


def test_a_guard_without_a_trail_writes_none_and_the_copy_is_separate(guard):
    with_trail, lines = audited(guard)
    guard.run("say", ["x"])
    assert guard.audit is None and with_trail.audit is not None
    assert written(with_trail, lines) == []


# Arguments an agent may send to forge a line of its own.
FORGERIES = [
    ("newline-and-object", '\n{"op": "run", "verdict": "allowed", "binary": "rm"}'),
    ("carriage-return", '\r{"verdict": "allowed"}\r\n'),
    ("line-separator", '\u2028{"verdict": "allowed"}\u0085'),
    ("invalid-utf8", os.fsdecode(b'\xff\xfe\n{"x": 1}')),
    ("lone-surrogate", "\ud800"),
]


@pytest.mark.parametrize("text", [row[1] for row in FORGERIES], ids=[row[0] for row in FORGERIES])
def test_an_argument_cannot_forge_a_line(guard, tmp_path, text):
    path = tmp_path / "audit.log"
    with_trail = guard.with_audit(str(path))
    call(with_trail, "check", ["say", text])
    call(with_trail, "run", ["say", text])
    with_trail.audit.close()
    data = path.read_bytes()
    assert data.isascii() and data.count(b"\n") == 2 and b"\r" not in data
    first, second = (json.loads(line) for line in data.decode("ascii").splitlines())
    assert first["op"] == "check" and second["op"] == "run"
    # What was sent, readable: a byte that is not UTF-8 as \xNN text.
    expected = text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace") \
        if text != "\ud800" else "\\ud800"
    assert first["argv"] == [expected] and second["argv"] == [expected]
    json.dumps(first, ensure_ascii=False).encode("utf-8")  # valid Unicode throughout


def test_recording_does_not_wait_for_a_slow_sink(guard):
    release = threading.Event()
    lines = Lines()

    def stuck(line):
        release.wait(30)
        lines.append(line)

    with_trail = guard.with_audit(stuck)

    async def runs():
        return await asyncio.gather(*(with_trail.arun("say", [str(i)]) for i in range(5)))

    try:
        outputs = asyncio.run(asyncio.wait_for(runs(), 20))  # while the sink is stuck
        assert [o.stdout for o in outputs] == [f"{i}\n".encode() for i in range(5)]
        assert with_trail.run("say", ["x"]).stdout == b"x\n"
        assert lines == []
    finally:
        release.set()
    assert len(written(with_trail, lines)) == 6


# Each row: a sink that fails, and the reason its failure gives.
FAILING = [
    ("disk-full", lambda tmp: "/dev/full", "OSError"),
    ("callable-raises", lambda tmp: (lambda line: 1 / 0), "ZeroDivisionError"),
]


@pytest.mark.parametrize("make, reason", [row[1:] for row in FAILING], ids=[row[0] for row in FAILING])
def test_a_failed_write_is_counted_and_reported_once(guard, tmp_path, capfd, make, reason):
    if reason == "OSError" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with_trail = guard.with_audit(make(tmp_path))
    for _ in range(3):
        with_trail.run("say", ["x"])
    assert with_trail.audit.flush()
    with_trail.audit.close()
    assert with_trail.audit.failures == 3 and reason in with_trail.audit.last_error
    err = capfd.readouterr().err
    assert err.count("corvane: the audit trail to") == 1 and reason in err


def test_lines_beyond_the_pending_bound_are_dropped_and_counted(guard, capfd):
    entered, release = threading.Event(), threading.Event()
    trail = AuditTrail(lambda line: (entered.set(), release.wait(30)), max_pending=2)
    with_trail = guard.with_audit(trail)
    try:
        with_trail.check("say", ["x"])
        assert entered.wait(30)
        for _ in range(5):
            with_trail.check("say", ["x"])
        # One is being written, two wait: the other three were dropped.
        assert trail.failures == 3 and "lines waiting" in trail.last_error
    finally:
        release.set()
        trail.close()
    assert "failed: more than 2 lines waiting" in capfd.readouterr().err


def cli(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "corvane", *args], input=stdin, capture_output=True,
                          timeout=60)


@pytest.fixture
def policy(tmp_path):
    say = write_script(tmp_path, "say", HEAD + 'printf "%s\\n" "$@"')
    path = tmp_path / "policy.toml"
    path.write_text(f'[binaries.say]\npath = "{say}"\nmax_positionals = 2\n')
    return str(path)


# Each row: the command line (before the trail's file), its input, and the ops written.
COMMANDS = [
    ("run", ["run", "--", "say", "hi"], None, [("run", "allowed")]),
    ("check", ["check", "--", "say", "-x"], None, [("check", "refused")]),
    ("serve", ["serve", "--stdio"],
     b'{"id": 1, "op": "run", "bin": "say", "argv": ["a"]}\n{"id": 2, "op": "check", "bin": "ls"}\n',
     [("check", "refused"), ("run", "allowed")]),
]


@pytest.mark.parametrize("argv, stdin, ops", [row[1:] for row in COMMANDS], ids=[row[0] for row in COMMANDS])
def test_the_command_writes_the_trail(policy, tmp_path, argv, stdin, ops):
    log = tmp_path / "trail.log"
    done = cli(argv[0], "-p", policy, "--audit", str(log), *argv[1:], stdin=stdin)
    assert done.returncode in (0, 1), done.stderr
    lines = [json.loads(line) for line in log.read_text().splitlines()]
    assert sorted((line["op"], line["verdict"]) for line in lines) == sorted(ops)
    assert {line["policy"] for line in lines} == {policy}


def test_a_trail_that_cannot_be_opened_is_a_usage_error(policy, tmp_path):
    done = cli("run", "-p", policy, "--audit", str(tmp_path / "no" / "such" / "dir"), "--", "say", "x")
    assert done.returncode == 125 and b"--audit" in done.stderr and done.stdout == b""


def test_the_mcp_server_writes_the_trail(policy, tmp_path):
    pytest.importorskip("mcp", reason="the MCP SDK is not installed")
    import anyio
    from mcp import ClientSession, StdioServerParameters, stdio_client

    log = tmp_path / "trail.log"

    async def main():
        server = StdioServerParameters(command=sys.executable, env=dict(os.environ),
                                       args=["-m", "corvane", "mcp", "-p", policy, "--audit", str(log)])
        async with stdio_client(server) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                await session.call_tool("run_command", {"binary": "say", "args": ["hi"]})
                await session.call_tool("run_command", {"binary": "ls"})

    anyio.run(main)
    lines = [json.loads(line) for line in log.read_text().splitlines()]
    assert [(line["binary"], line["verdict"]) for line in lines] == [("say", "allowed"), ("ls", "refused")]
    printed = "".join(arg + "\n" for arg in lines[0]["prepared"]["argv"])  # what say printed
    assert lines[0]["exit_code"] == 0 and lines[0]["stdout_bytes"] == len(printed)
