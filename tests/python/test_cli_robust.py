"""`corvane serve`, `corvane mcp` and the one-shot commands fed what a hostile or
broken host sends: ids JSON cannot carry back, nesting deeper than the reader's
stack, lines of any length, bytes that are not UTF-8, command lines that are not
text. Every answer must be one strict JSON line, and the server must go on."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import corvane

if not hasattr(corvane, "Guard"):
    pytest.skip("corvane.Guard (policy files) is not in this build", allow_module_level=True)

from corvane.cli import MAX_REQUEST_LINE  # noqa: E402
from conftest import close_pipes  # noqa: E402
from test_cli import SCRIPT_HEAD, write_policy  # noqa: E402

GOOD = b'{"id": 99, "op": "check", "bin": "say", "argv": ["ok"]}'


def strict_json(line):
    """`line` (bytes) as JSON the strictest reader accepts: UTF-8, no NaN or
    Infinity, no lone surrogate behind an escape."""

    def refuse(constant):
        raise AssertionError(f"not JSON: {constant}")

    value = json.loads(line.decode("utf-8"), parse_constant=refuse)

    def walk(item):
        if isinstance(item, str):
            item.encode("utf-8")  # a "\ud800" escape decodes to a lone surrogate
        elif isinstance(item, dict):
            for key, inner in item.items():
                walk(key)
                walk(inner)
        elif isinstance(item, list):
            for inner in item:
                walk(inner)

    walk(value)
    return value


@pytest.fixture
def policy(scripts):
    return write_policy(scripts.dir, {scripts("say", SCRIPT_HEAD + 'printf "%s\\n" "$@"'): []})


def serve(policy, data, timeout=60):
    """Feeds `data` to a real server and closes its input; its answers, parsed strictly."""
    server = subprocess.run([sys.executable, "-m", "corvane", "serve", "-p", policy, "--stdio"],
                            input=data, capture_output=True, timeout=timeout)
    assert server.stderr == b"", server.stderr.decode(errors="replace")[-2000:]
    assert server.returncode == 0
    assert server.stdout.endswith(b"\n")
    return [strict_json(line) for line in server.stdout.split(b"\n")[:-1]]


def nested(depth):
    return b"[" * depth + b"]" * depth


# Python 3.13's JSON reader parses deep nesting instead of running out of recursion,
# so there the line is refused for its shape rather than its depth.
DEEP = "nested" if sys.version_info < (3, 13) else ""

# Each row: a line a server may be sent, and what its answer must say (a subset).
BAD_LINES = [
    ("lone-surrogate-id", rb'{"id": "\ud800", "op": "check", "bin": "say"}',
     {"error": "BadRequest", "id": None}, '"\\ud800"'),
    ("nan-id", b'{"id": NaN, "op": "check", "bin": "say"}', {"error": "BadRequest", "id": None}, "NaN"),
    ("infinite-id", b'{"id": -Infinity, "op": "explain"}', {"error": "BadRequest", "id": None}, "-Infinity"),
    ("deep-line", nested(2000), {"error": "BadRequest"}, DEEP),
    ("deep-env", b'{"id": 5, "op": "check", "bin": "say", "env": ' + b'{"a": ' * 2000 + b"1" + b"}" * 2001,
     {"error": "BadRequest"}, DEEP),
    ("over-long-line", b'{"id": 6, "op": "explain", "bin": "say", "argv": ["'
     + b"a" * (MAX_REQUEST_LINE + 1) + b'"]}', {"error": "BadRequest"}, "longer than"),
    ("invalid-utf8", b'{"id": 7, "op": "check", "bin": "say", "argv": ["\xff"]}', {"error": "BadRequest"}, "UTF-8"),
    # Read as UTF-16 by a reader that guesses encodings; the wire is UTF-8.
    ("utf16-line", '{"id": 8, "op": "check", "bin": "say"}'.encode("utf-16-le"), {"error": "BadRequest"}, "JSON"),
    # Never "repaired" into another argument (U+FFFD) and run.
    ("surrogate-argument", rb'{"id": 9, "op": "check", "bin": "say", "argv": ["\udcff"]}',
     {"error": "BadRequest", "id": 9}, "Unicode"),
    ("not-an-object", b"[1, 2]", {"error": "BadRequest"}, "object"),
]


@pytest.mark.parametrize("line, shape, says", [row[1:] for row in BAD_LINES], ids=[row[0] for row in BAD_LINES])
def test_a_bad_line_is_answered_and_the_server_goes_on(policy, line, shape, says):
    first, second = serve(policy, line + b"\n" + GOOD + b"\n")
    for key, value in shape.items():
        assert first.get(key) == value, first
    assert says in first["message"]
    assert first["exit"] == 2
    assert second["id"] == 99 and second["allowed"] is True


def test_a_crashing_line_holds_back_no_later_request(policy):
    # More requests behind the bad one than the server keeps in flight: none may wait forever.
    answers = serve(policy, nested(2000) + b"\n" + (GOOD + b"\n") * 100)
    assert answers[0]["error"] == "BadRequest"
    assert [a.get("id") for a in answers[1:]] == [99] * 100


class Answers:
    """The lines a server writes, collected on a thread, so that every wait is bounded."""

    def __init__(self, server):
        self.lines = []
        self.thread = threading.Thread(target=lambda: self.lines.extend(server.stdout), daemon=True)
        self.thread.start()

    def wait_for(self, done, seconds=60):
        deadline = time.monotonic() + seconds
        while not done([strict_json(line) for line in self.lines]):
            assert time.monotonic() < deadline, f"no such answer in {self.lines!r:.2000}"
            time.sleep(0.05)


def peak_memory(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM"))


# Each row: chunks as reads return them, and the lines that come out (a number: a
# TooLong line of that size) with a bound of 4 bytes.
SPLITS = [
    ("at-the-bound", [b"abcd\n"], [b"abcd"]),
    ("one-over", [b"abcde\n"], [5]),
    ("over-across-reads", [b"ab", b"cdef", b"gh\nxy\n"], [8, b"xy"]),
    ("bound-reached-in-a-later-read", [b"abc", b"de\nf\n"], [5, b"f"]),
    ("unterminated-end", [b"ab\nabcdefg"], [b"ab", 7]),
    ("kept-after-dropped", [b"abcdefgh\nab", b"cd\n"], [8, b"abcd"]),
]


@pytest.mark.parametrize("chunks, lines", [row[1:] for row in SPLITS], ids=[row[0] for row in SPLITS])
def test_lines_are_cut_at_the_bound_across_reads(chunks, lines):
    from corvane._lines import LineSplitter, TooLong

    splitter = LineSplitter(4)
    got = [line for chunk in chunks for line in splitter.feed(chunk)] + splitter.end()
    assert [line.size if isinstance(line, TooLong) else line for line in got] == lines


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator keeps freed memory in quarantine")
@pytest.mark.parametrize("how", ["serve", "mcp"])
def test_an_over_long_line_is_never_held_whole(policy, how):
    if how == "mcp":
        pytest.importorskip("mcp", reason="the MCP SDK is not installed")
        argv = ["mcp", "-p", policy]
        ready = (b'{"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"protocolVersion": '
                 b'"2025-06-18", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}}\n'
                 b'{"jsonrpc": "2.0", "method": "notifications/initialized"}\n')
        good = b'{"jsonrpc": "2.0", "id": 99, "method": "tools/list"}\n'
    else:
        argv, good = ["serve", "-p", policy, "--stdio"], GOOD + b"\n"
        ready = b'{"id": 1, "op": "check", "bin": "say"}\n'
    size = 96 << 20
    server = subprocess.Popen([sys.executable, "-m", "corvane", *argv], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        answers = Answers(server)
        server.stdin.write(ready)
        server.stdin.flush()
        answers.wait_for(lambda got: got)  # started, its policy loaded: the baseline
        before = peak_memory(server.pid)
        chunk = b"a" * (1 << 20)
        server.stdin.write(b'{"jsonrpc": "2.0", "id": 7, "method": "tools/list", "params": {"x": "')
        for _ in range(size >> 20):
            server.stdin.write(chunk)
        server.stdin.write(b'"}}\n' + good)
        server.stdin.flush()
        answers.wait_for(lambda got: got[-1].get("id") == 99)
        grown = peak_memory(server.pid) - before
        server.stdin.close()
        assert server.wait(timeout=60) == 0
        answers.thread.join(timeout=30)
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        close_pipes(server)
    parsed = [strict_json(a) for a in answers.lines]
    assert parsed[-1]["id"] == 99
    too_long = [a for a in parsed if "longer than" in json.dumps(a)]
    assert len(too_long) == 1, parsed
    assert grown < size // 4, f"the server grew by {grown >> 20} MiB reading a {size >> 20} MiB line"


# ---------------------------------------------------------------------------
# Command lines that are not text

# Each row: the command line (bytes where the OS gives bytes), and the exit code.
NOT_UTF8 = [
    ("run-argument", ["run", "--", "say", b"caf\xe9"], 125, "argument 1"),
    ("check-argument", ["check", "--", "say", b"caf\xe9"], 2, "argument 1"),
    ("explain-argument", ["explain", "--", "say", b"caf\xe9"], 2, "argument 1"),
    ("program-name", ["check", "--", b"s\xffy"], 2, "program"),
    ("env-value", ["run", "--env", b"LANG=caf\xe9", "--", "say"], 125, "--env"),
    ("env-name", ["check", "--env", b"L\xffNG=C", "--", "say"], 2, "--env"),
    ("cwd", ["explain", "--cwd", b"/tmp/\xff", "--", "say"], 2, "--cwd"),
    ("unknown-option", ["run", b"--caf\xe9", "--", "say"], 125, "--caf\\xe9"),
]


@pytest.mark.parametrize("argv, code, says", [row[1:] for row in NOT_UTF8], ids=[row[0] for row in NOT_UTF8])
@pytest.mark.parametrize("as_json", [True, False], ids=["json", "text"])
def test_a_command_line_that_is_not_text_is_a_usage_error(policy, argv, code, says, as_json):
    sub, rest = argv[0], argv[1:]
    own = [sub, "-p", policy] + (["--json"] if as_json else [])
    done = subprocess.run([sys.executable, "-m", "corvane", *own, *rest], capture_output=True, timeout=60)
    assert done.returncode == code, done.stderr.decode(errors="replace")
    if as_json:
        answer = strict_json(done.stdout)
        assert answer["error"] == "UsageError"
        assert "not valid UTF-8" in answer["message"] or "unrecognized" in answer["message"]
        assert says in answer["message"]
    else:
        assert done.stdout == b""
        message = done.stderr.decode("utf-8")  # one line (and a hint), no traceback
        assert says in message.splitlines()[0] and "Traceback" not in message


def test_a_policy_file_name_that_is_not_text_is_shown_in_utf8(tmp_path):
    path = os.path.join(os.fsencode(tmp_path), b"caf\xe9.toml")  # opened as it is; named in errors
    done = subprocess.run([sys.executable, "-m", "corvane", "check", "-p", path, "--json", "--", "ls"],
                          capture_output=True, timeout=60)
    answer = strict_json(done.stdout)
    assert done.returncode == 2 and answer["error"] == "PolicyError"
    assert answer["file"].endswith("caf\\xe9.toml") and "caf\\xe9.toml" in answer["message"]


# ---------------------------------------------------------------------------
# Faults of the server's own: each answers or ends the server with a message, never a hang

@pytest.mark.parametrize("stdin, stdout, message", [
    ("write-only", "pipe", "cannot read requests"),  # read(2) fails: EBADF
    ("requests", "/dev/full", "cannot write answers"),  # write(2) fails: ENOSPC
], ids=["input-fails", "output-fails"])
def test_a_failing_stream_ends_the_server_with_a_message(policy, tmp_path, stdin, stdout, message):
    if stdout != "pipe" and not os.path.exists(stdout):
        pytest.skip(f"no {stdout} here")
    requests = tmp_path / "requests"
    requests.write_bytes((GOOD + b"\n") * 100)  # more than the server keeps in flight
    source = (os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC) if stdin == "write-only"
              else os.open(requests, os.O_RDONLY | os.O_CLOEXEC))
    sink = os.open(os.devnull if stdout == "pipe" else stdout, os.O_WRONLY | os.O_CLOEXEC)
    try:
        done = subprocess.run([sys.executable, "-m", "corvane", "serve", "-p", policy, "--stdio"],
                              stdin=source, stdout=sink, stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(source)
        os.close(sink)
    assert done.returncode == 1
    assert done.stderr.decode().splitlines() == [f"corvane: {message}: "
                                                 + ("Bad file descriptor" if stdin == "write-only"
                                                    else "No space left on device")]


class FaultyGuard:
    """A Guard whose explain() fails as no request should make it fail."""

    def describe(self):
        return {"binaries": [{"name": "say", "path": "/bin/say"}]}

    def explain(self, bin, argv, cwd=None, env=None):
        if argv == ["boom"]:
            raise RuntimeError("an internal fault")
        return {"allowed": True, "message": "ok"}


def test_a_fault_of_ours_is_answered_and_the_server_goes_on():
    import asyncio
    import io

    from corvane.cli import Session, serve_lines

    read, write = os.pipe()
    os.write(write, b'{"id": 1, "op": "explain", "bin": "say", "argv": ["boom"]}\n'
                    b'{"id": 2, "op": "explain", "bin": "say", "argv": ["fine"]}\n')
    os.close(write)
    out = io.StringIO()
    try:
        assert asyncio.run(asyncio.wait_for(serve_lines(Session(FaultyGuard()), read, out), 30)) == {}
    finally:
        os.close(read)
    first, second = [strict_json(line.encode()) for line in out.getvalue().splitlines()]
    assert first["id"] == 1 and first["error"] == "InternalError" and "an internal fault" in first["message"]
    assert second == {"id": 2, "allowed": True, "message": "ok", "exit": 0}


@pytest.mark.skipif(sys.version_info < (3, 11),
                    reason="on 3.10 the MCP SDK's task group ends a Ctrl-C with exit 1, not 130")
def test_mcp_stopped_with_its_input_open_exits(policy):
    pytest.importorskip("mcp", reason="the MCP SDK is not installed")
    server = subprocess.Popen([sys.executable, "-m", "corvane", "mcp", "-p", policy],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        answers = Answers(server)
        server.stdin.write(b'{"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"protocolVersion": '
                           b'"2025-06-18", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}}\n')
        server.stdin.flush()
        answers.wait_for(lambda got: got and got[0]["id"] == 1)  # serving, and waiting for more
        server.send_signal(signal.SIGINT)
        assert server.wait(timeout=30) == 128 + signal.SIGINT  # not held by a thread reading stdin
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        close_pipes(server)
        server.stdin.close()


def test_a_reader_that_fails_ends_the_server_instead_of_leaving_it_waiting():
    import asyncio
    import io

    from corvane.cli import Session, serve_lines

    class NoDescriptor:
        def fileno(self):
            raise io.UnsupportedOperation("fileno")

    ended = asyncio.run(asyncio.wait_for(serve_lines(Session(FaultyGuard()), NoDescriptor(), io.StringIO()), 30))
    assert ended["error"] == "InternalError" and "reader failed: fileno" in ended["message"]
