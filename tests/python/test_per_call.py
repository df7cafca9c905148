"""One call's own controls: a shorter time limit and bytes on stdin, each only
within what the policy allows, through Guard.run/arun, `corvane run`, serve and
the MCP tool. Without them a run is as before: the policy's limit, empty stdin."""

import asyncio
import base64
import datetime
import json
import os
import subprocess
import sys

import pytest

import corvane
from corvane import Guard, Refused

MiB = 1 << 20
BINARIES = {
    "cat": {"path": "/usr/bin/cat", "max_positionals": 0},
    "wc": {"path": "/usr/bin/wc", "flags": ["-c"], "max_positionals": 0},
    "sleep": {"path": "/usr/bin/sleep", "max_positionals": 1},
    "readlink": {"path": "/usr/bin/readlink", "max_positionals": 1},
}


def policy(max_stdin=MiB, sandbox=None, timeout=10):
    data = {"timeout": timeout, "binaries": BINARIES}
    if max_stdin is not None:
        data["max_stdin"] = max_stdin
    if sandbox is not None:
        data["sandbox"] = {"workspace": str(sandbox)}
    return data


@pytest.fixture
def guard():
    return Guard.from_dict(policy())


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def both(guard, *args, **kwargs):
    """The Output of run() and of arun() for the same call (each must agree)."""
    ran = guard.run(*args, **kwargs)
    aran = asyncio.run(guard.arun(*args, **kwargs))
    assert (ran.exit_code, ran.stdout) == (aran.exit_code, aran.stdout)
    return ran


# ---------------------------------------------------------------- stdin


@pytest.mark.parametrize("call, stdout", [
    # The bytes reach the command, NUL and all (not text).
    (("cat", [], b"a\0b\nline"), b"a\0b\nline"),
    # A whole policy-sized input fits: written before the start, never fed later.
    (("wc", ["-c"], b"x" * MiB), b"1048576\n"),
    # Given but empty: EOF at once, as from /dev/null.
    (("cat", [], b""), b""),
    # bytearray and memoryview are bytes-like too.
    (("cat", [], bytearray(b"ba")), b"ba"),
    (("cat", [], memoryview(b"mv")), b"mv"),
], ids=["nul-bytes", "one-mib", "empty", "bytearray", "memoryview"])
def test_stdin_reaches_the_command(guard, call, stdout):
    bin, argv, data = call
    before = open_fds()
    assert both(guard, bin, argv, stdin=data).stdout == stdout
    assert open_fds() == before


def test_default_stdin_is_still_dev_null(guard):
    assert guard.run("readlink", ["/proc/self/fd/0"]).stdout == b"/dev/null\n"
    assert guard.run("readlink", ["/proc/self/fd/0"], stdin=b"x").stdout.startswith(b"pipe:")


@pytest.mark.parametrize("data, max_stdin, kind, message", [
    (b"x" * 11, 10, "StdinAboveLimit", "stdin of 11 bytes is above the policy's max_stdin of 10 bytes"),
    (b"x" * (MiB + 1), MiB, "StdinAboveLimit",
     "stdin of 1048577 bytes is above the policy's max_stdin of 1048576 bytes"),
    (b"x", None, "StdinNotAllowed", "stdin not allowed: the policy sets no max_stdin"),
    (b"", None, "StdinNotAllowed", "stdin not allowed: the policy sets no max_stdin"),
], ids=["over-small-bound", "over-one-mib", "no-max-stdin", "empty-but-no-max-stdin"])
def test_stdin_beyond_the_policy_is_refused(data, max_stdin, kind, message):
    guard = Guard.from_dict(policy(max_stdin=max_stdin))
    for call in (lambda: guard.run("cat", [], stdin=data),
                 lambda: asyncio.run(guard.arun("cat", [], stdin=data))):
        with pytest.raises(Refused) as refused:
            call()
        assert (refused.value.kind, str(refused.value)) == (kind, message)


def test_a_max_stdin_no_pipe_can_hold_is_a_policy_error():
    with open("/proc/sys/fs/pipe-max-size") as f:
        cap = int(f.read())
    Guard.from_dict(policy(max_stdin=cap))
    with pytest.raises(corvane.PolicyError, match=f"max_stdin of {cap + 1} bytes is above {cap}"):
        Guard.from_dict(policy(max_stdin=cap + 1))


@pytest.mark.parametrize("stdin, error", [("text", TypeError), (42, TypeError)], ids=["str", "int"])
def test_stdin_must_be_bytes(guard, stdin, error):
    with pytest.raises(error):
        guard.run("cat", [], stdin=stdin)


def test_stdin_inside_a_sandbox(tmp_path):
    guard = Guard.from_dict(policy(sandbox=tmp_path))
    before = open_fds()
    out = both(guard, "wc", ["-c"], stdin=b"y" * 300_000)
    assert out.stdout == b"300000\n"
    assert open_fds() == before


# ---------------------------------------------------------------- timeout


@pytest.mark.parametrize("timeout", [0.3, datetime.timedelta(milliseconds=300)], ids=["float", "timedelta"])
def test_a_shorter_timeout_ends_the_run(guard, timeout):
    for call in (lambda: guard.run("sleep", ["5"], timeout=timeout),
                 lambda: asyncio.run(guard.arun("sleep", ["5"], timeout=timeout))):
        with pytest.raises(corvane.TimedOut) as ended:
            call()
        # The limit the run reports is the call's, not the policy's 10s.
        assert ended.value.limit == pytest.approx(0.3)


@pytest.mark.parametrize("timeout, error, message", [
    (20, Refused, "timeout of 20s is above the policy's limit of 10s"),
    (10.5, Refused, "timeout of 10.5s is above the policy's limit of 10s"),
    (datetime.timedelta(days=1), Refused, "timeout of 86400s is above the policy's limit of 10s"),
    (2.0**80, Refused, "is above the policy's limit of 10s"),
    (0, ValueError, "timeout must be above zero"),
    (-1, ValueError, "timeout must be above zero"),
    (float("nan"), ValueError, "finite"),
    ("5", TypeError, "timeout must be seconds"),
    (True, TypeError, "timeout must be seconds"),
], ids=["int", "float", "timedelta", "huge", "zero", "negative", "nan", "str", "bool"])
def test_a_timeout_the_call_may_not_take(guard, timeout, error, message):
    with pytest.raises(error) as caught:
        guard.run("sleep", ["0"], timeout=timeout)
    assert message in str(caught.value)
    if error is Refused:
        assert caught.value.kind == "TimeoutAboveLimit"


def test_the_policys_own_limit_may_be_given(guard):
    assert guard.run("sleep", ["0"], timeout=10).exit_code == 0


# ---------------------------------------------------------------- the command and serve


def cli(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "corvane", *args], input=stdin,
                          capture_output=True, timeout=60)


@pytest.fixture
def toml(tmp_path):
    lines = ["timeout = 10", "max_stdin = 100"]
    for name, entry in BINARIES.items():
        lines.append(f"[binaries.{name}]")
        lines += [f"{k} = {json.dumps(v)}" for k, v in entry.items()]
    path = tmp_path / "policy.toml"
    path.write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.mark.parametrize("args, stdin, code, stdout, stderr", [
    (["--stdin", "-", "--", "cat"], b"piped", 0, b"piped", b""),
    (["--stdin", "-", "--", "cat"], b"x" * 101, 126, b"",
     b"corvane: refused: stdin of 101 bytes is above the policy's max_stdin of 100 bytes\n"),
    # An endless source is read only one byte past the bound, then refused.
    (["--stdin", "/dev/zero", "--", "cat"], None, 126, b"",
     b"corvane: refused: stdin of 101 bytes is above the policy's max_stdin of 100 bytes\n"),
    (["--timeout", "0", "--", "sleep", "0"], None, 125, b"", b"corvane: timeout must be above zero\n"),
    # Without --stdin the command's stdin stays empty, whatever corvane's own holds.
    (["--", "cat"], b"not passed on", 0, b"", b""),
    (["--timeout", "20", "--", "sleep", "0"], None, 126, b"",
     b"corvane: refused: timeout of 20s is above the policy's limit of 10s\n"),
    (["--timeout", "0.2", "--", "sleep", "5"], None, 124, b"", None),
], ids=["stdin-dash", "stdin-over", "endless-stdin", "zero-timeout", "no-stdin", "timeout-over", "timeout-lowers"])
def test_corvane_run(toml, args, stdin, code, stdout, stderr):
    done = cli("run", "-p", toml, *args, stdin=stdin)
    assert (done.returncode, done.stdout) == (code, stdout), done.stderr
    if stderr is not None:
        assert done.stderr == stderr


def test_corvane_run_stdin_from_a_file(toml, tmp_path):
    (tmp_path / "in").write_bytes(b"from a file")
    done = cli("run", "-p", toml, "--stdin", str(tmp_path / "in"), "--", "cat")
    assert (done.returncode, done.stdout) == (0, b"from a file"), done.stderr


SERVE = [
    ({"bin": "cat", "stdin": "héllo"}, {"stdout": "héllo", "exit_code": 0}),
    ({"bin": "cat", "stdin_b64": base64.b64encode(b"\xff\0").decode()},
     {"stdout_base64": base64.b64encode(b"\xff\0").decode()}),
    ({"bin": "sleep", "argv": ["5"], "timeout": 0.2}, {"error": "TimedOut"}),
    ({"bin": "sleep", "argv": ["0"], "timeout": 11}, {"error": "Refused", "kind": "TimeoutAboveLimit"}),
    ({"bin": "cat", "stdin": "x" * 101}, {"error": "Refused", "kind": "StdinAboveLimit"}),
    ({"bin": "sleep", "argv": ["0"], "timeout": 0}, {"error": "BadRequest"}),
    ({"bin": "sleep", "argv": ["0"], "timeout": "1"}, {"error": "BadRequest"}),
    ({"bin": "cat", "stdin": "a", "stdin_b64": "YQ=="}, {"error": "BadRequest"}),
    ({"bin": "cat", "stdin_b64": "not base64!"}, {"error": "BadRequest"}),
    ({"bin": "cat", "timout": 1},
     {"error": "BadRequest", "message": "unknown key 'timout' in the request (known: argv, bin, cwd, "
                                        "env, id, op, stdin, stdin_b64, timeout)"}),
]


def test_serve_takes_timeout_and_stdin_and_refuses_unknown_keys(toml):
    lines = "".join(json.dumps({"id": i, "op": "run", **req}) + "\n" for i, (req, _) in enumerate(SERVE))
    done = cli("serve", "-p", toml, "--stdio", stdin=lines.encode())
    # Each is answered when its run ends: matched by id.
    answers = sorted((json.loads(line) for line in done.stdout.decode().splitlines()), key=lambda a: a["id"])
    assert [a["id"] for a in answers] == list(range(len(SERVE))), done.stderr
    for (request, expected), answer in zip(SERVE, answers):
        assert {k: answer.get(k) for k in expected} == expected, (request, answer)


def test_serve_refuses_an_unknown_key_for_every_op(toml):
    line = json.dumps({"id": 1, "op": "check", "bin": "cat", "sandbox": False}) + "\n"
    answer = json.loads(cli("serve", "-p", toml, "--stdio", stdin=line.encode()).stdout)
    assert (answer["id"], answer["error"]) == (1, "BadRequest")
    assert answer["message"].startswith("unknown key 'sandbox'")


def test_the_mcp_tool(toml):
    pytest.importorskip("mcp", reason="the MCP SDK is not installed")
    from test_mcp import session_run, text_of

    async def body(session):
        schema = (await session.list_tools()).tools[0].input_schema
        fed = await session.call_tool("run_command", {"binary": "cat", "stdin": "to cat"})
        short = await session.call_tool("run_command", {"binary": "sleep", "args": ["5"], "timeout": 0.2})
        over = await session.call_tool("run_command", {"binary": "sleep", "args": ["0"], "timeout": 60})
        return schema, fed, short, over

    schema, fed, short, over = session_run(toml, body)
    assert {"timeout", "stdin"} <= set(schema["properties"])
    assert not fed.is_error and "to cat" in text_of(fed)
    assert short.is_error and "timed out" in text_of(short).lower()
    assert over.is_error and "above the policy's limit of 10s" in text_of(over)
