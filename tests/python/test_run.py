"""corvane.run and the typed errors: the same execution as spawn_sync with the
interpreter lock released, Ctrl-C that kills and reaps, on_output_limit, the
partial output on errors, the import-time layout check of corvane._native, and
the stubs that type checkers see."""

import os
import pickle
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import corvane
from corvane import ProcPolicyBuilder, ProcRequest
from corvane import ExecutionError, OutputLimitExceeded, Refused, SpawnFailed, TimedOut

from conftest import policy_for

HERE = os.path.dirname(os.path.abspath(__file__))


pytestmark = pytest.mark.usefixtures("no_leaks")


def prepared(path, argv=(), **limits):
    builder = ProcPolicyBuilder()
    for name, value in limits.items():
        builder = getattr(builder, name)(value)
    return policy_for(path, builder=builder).prepare(ProcRequest(path, list(argv)))


# Each row: a script body, limits, the typed error (None: an Output), and the
# attributes and partial output that error must carry.
CASES = {
    "output": ("printf 'out'; printf 'err' >&2; exit 3", {}, None, {}),
    "timeout keeps what was printed": (
        "printf 'before'; printf 'e' >&2; exec sleep 5", {"timeout_secs": 1}, TimedOut,
        {"limit": 1.0, "stdout": b"before", "stderr": b"e"}),
    # The stream is kept up to its limit, the write that broke it cut there.
    "stderr limit keeps the stream up to the limit": (
        "printf 'o'; printf '01234' >&2; sleep 0.2; printf '56789abc' >&2", {"max_stderr": 10},
        OutputLimitExceeded,
        {"stream": "stderr", "limit": 10, "stdout": b"o", "stderr": b"0123456789"}),
    "spawn failure": ("", {}, SpawnFailed, {"stdout": b"", "stderr": b""}),
}


@pytest.mark.parametrize("body, limits, error, attributes", CASES.values(), ids=CASES.keys())
def test_run_matches_spawn_sync_and_types_its_errors(scripts, body, limits, error, attributes):
    path = scripts("job", body)
    command = prepared(path, **limits)
    if error is SpawnFailed:
        os.unlink(path)  # allowed and prepared, gone by the time it starts
    expected = None
    if error is not TimedOut:  # its text holds the elapsed time; matched by pattern below
        try:
            expected = command.spawn_sync()
        except RuntimeError as raised:
            expected = raised
    if error is None:
        out = corvane.run(command)
        assert type(out) is corvane.Output
        assert (out.stdout, out.stderr, out.exit_code, out.success) == \
            (expected.stdout, expected.stderr, expected.exit_code, expected.success)
        return
    with pytest.raises(error) as info:
        corvane.run(command)
    exc = info.value
    # The same text and base class as _corvane's error, so old handlers still match.
    assert isinstance(exc, RuntimeError) and isinstance(exc, ExecutionError)
    if error is TimedOut:
        assert re.fullmatch(r"process timed out after 1(\.\d+)?s \(limit: 1s\)", str(exc))
        assert 1.0 <= exc.elapsed < 3.0
    else:
        assert str(exc) == str(expected)
    for name, value in attributes.items():
        assert getattr(exc, name) == value, name
    # Pickling keeps the fields (results cross process pools).
    copy = pickle.loads(pickle.dumps(exc))
    assert (type(copy), str(copy), vars(copy)) == (type(exc), str(exc), vars(exc))


def test_kill_on_output_limit_stops_a_flood_that_wait_lets_run_into_the_timeout():
    yes = "/usr/bin/yes"
    command = prepared(yes, timeout_secs=1, max_stdout=65536)
    # Waiting: the flood fills the pipe and blocks until the time limit kills it.
    with pytest.raises(TimedOut):
        corvane.run(command, on_output_limit="wait")
    start = time.monotonic()
    with pytest.raises(OutputLimitExceeded) as info:
        corvane.run(command, on_output_limit="kill")
    assert time.monotonic() - start < 0.9  # well inside the time limit it would otherwise use
    exc = info.value
    assert (exc.stream, exc.limit, str(exc)) == ("stdout", 65536, "stdout limit exceeded: 65536 bytes")
    assert 0 < len(exc.stdout) <= 65536 and exc.stdout == b"y\n" * (len(exc.stdout) // 2)


def test_eight_threads_run_in_parallel():
    command = prepared("/usr/bin/sleep", ["0.4"])
    spans = []

    def work():
        start = time.monotonic()
        corvane.run(command)
        spans.append((start, time.monotonic()))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(spans) == 8
    # Every run started before any ended: all eight children ran at once.
    assert max(s for s, _ in spans) < min(e for _, e in spans)


CTRL_C_SCRIPT = textwrap.dedent("""
    import signal, sys, corvane
    from corvane import ArgRules, ProcPolicyBuilder, ProcRequest
    # Started from a background job, the interpreter inherits SIGINT ignored and
    # keeps it so; give it the usual handler, as at a terminal.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    policy = (ProcPolicyBuilder().allow_bin("/usr/bin/sleep")
              .arg_rules("/usr/bin/sleep", ArgRules().max_positionals(1)).timeout_secs(60).build())
    command = policy.prepare(ProcRequest("/usr/bin/sleep", [sys.argv[1]]))
    print("running", flush=True)
    try:
        corvane.run(command)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
""")


def sleeps_with_argument(argument):
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as handle:
                if handle.read().split(b"\0") == [b"/usr/bin/sleep", argument.encode(), b""]:
                    found.append(int(entry))
        except OSError:
            pass
    return found


def test_ctrl_c_kills_and_reaps_the_child_and_raises_keyboard_interrupt():
    marker = f"30.{os.getpid()}"  # a sleep argument no other process uses
    program = subprocess.Popen([sys.executable, "-c", CTRL_C_SCRIPT, marker],
                               stdout=subprocess.PIPE, text=True)
    try:
        assert program.stdout.readline() == "running\n"
        deadline = time.monotonic() + 5
        while not sleeps_with_argument(marker) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert sleeps_with_argument(marker), "the child never started"
        program.send_signal(signal.SIGINT)
        out, _ = program.communicate(timeout=1)
    finally:
        program.kill()
        program.wait()
    assert out == "KeyboardInterrupt\n"
    assert sleeps_with_argument(marker) == []


@pytest.mark.parametrize("call, error, message", [
    (lambda c: corvane.run(c, on_output_limit="stop"), ValueError,
     "on_output_limit must be 'wait' or 'kill', not 'stop'"),
    (lambda c: corvane.run(c, sandbox=object()), TypeError, "sandbox: "),
    (lambda c: corvane.run(ProcRequest("/bin/true", [])), TypeError,
     "argument 'prepared': 'ProcRequest' object cannot be converted to 'PreparedCommand'"),
])
def test_run_rejects_bad_arguments(true_bin, call, error, message):
    with pytest.raises(error) as info:
        call(prepared(true_bin))
    assert str(info.value).startswith(message)


# Refused is built by the native layer from the core's violation; the fields are
# the violation's own, by name, and the index the refused argument's.
REFUSALS = [
    (["-x"], {"flags": ["-n"], "max_flags": 2}, "FlagNotAllowed", {"flag": "-x"}, 0,
     "flag not allowed: -x"),
    (["-n", "-n", "-n"], {"flags": ["-n"], "max_flags": 2}, "TooManyFlags",
     {"max": 2, "got": 3}, 2, "too many flags: max 2, got 3"),
    (["stash"], {"subcommands": {"status": {"max_positionals": 2}}}, "SubcommandNotAllowed",
     {"got": "stash", "allowed": "status"}, 0, 'subcommand not allowed: "stash" (allowed: status)'),
]


@pytest.mark.parametrize("argv, rules, kind, fields, index, message", REFUSALS,
                         ids=[r[2] for r in REFUSALS])
def test_refused_carries_kind_and_fields(true_bin, argv, rules, kind, fields, index, message):
    guard = corvane.Guard.from_dict({"binaries": {"tool": {"path": true_bin, **rules}}})
    with pytest.raises(Refused) as info:
        guard.check("tool", argv)
    exc = info.value
    assert isinstance(exc, ValueError)  # what code written against _corvane catches
    assert (str(exc), exc.kind, exc.fields, exc.index) == (message, kind, fields, index)


def test_native_refuses_a_foreign_corvane_layout():
    # A stand-in _corvane whose PreparedCommand is a plain Python class: reading
    # it with the native layout would crash, so the import must fail instead.
    script = textwrap.dedent("""
        import sys, types
        fake = types.ModuleType("_corvane")
        for name in ("RiskyBinPolicy", "InjectDoubleDash", "RiskCategory", "ArgRules",
                     "ProcRequest", "Output", "PreparedCommand", "ProcPolicyBuilder", "ProcPolicy"):
            setattr(fake, name, type(name, (), {}))
        sys.modules["_corvane"] = fake
        try:
            import corvane
        except ImportError as error:
            print(error)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("corvane._native: _corvane.ArgRules does not match the layout")


def test_stubs_accept_typed_use_and_reject_calls_that_fail_at_run_time(tmp_path):
    api = pytest.importorskip("mypy.api")
    good, bad = (os.path.join(HERE, name) for name in ("typed_async_usage.py", "typed_misuse.py"))
    stdout, stderr, _ = api.run(["--strict", "--no-incremental", "--cache-dir", str(tmp_path),
                                 "--no-error-summary", good, bad])
    report = stdout + stderr
    with open(bad) as handle:
        marked = {n for n, line in enumerate(handle, 1) if line.rstrip().endswith("# rejected")}
    flagged = {int(m) for m in re.findall(r"typed_misuse\.py:(\d+): error", report)}
    assert flagged == marked, report
    assert "typed_async_usage.py" not in report, report
