"""A private temporary directory per run under the workspace preset: with it, a
program that needs a temporary file (sort of a large input, anything writing to
$TMPDIR) works while /tmp itself stays closed; without it they fail. The
directory is the run's alone and gone after the run, however the run ends."""

import asyncio

import pytest

import corvane
from corvane import Guard, PolicyError

pytestmark = pytest.mark.skipif(corvane.Sandbox.available()["landlock_abi"] == 0,
                                reason="the workspace preset needs Landlock")


@pytest.fixture
def ws(tmp_path):
    ws = tmp_path / "ws"
    ws.mkdir()
    # Larger than sort's buffer below: sort must spill to temporary files.
    (ws / "big.txt").write_text("".join(f"{(i * 7919) % 100003:06d}\n" for i in range(200_000)))
    return ws


@pytest.fixture
def host_tmp(tmp_path, monkeypatch):
    """The host's TMPDIR, where runs make their directories: watched by the test."""
    host = tmp_path / "host-tmp"
    host.mkdir()
    monkeypatch.setenv("TMPDIR", str(host))
    return host


def guard(ws, private_tmp):
    sandbox = {"workspace": str(ws)}
    if private_tmp is not None:
        sandbox["private_tmp"] = private_tmp
    return Guard.from_dict({
        "cwd": {"jail": str(ws)},
        "sandbox": sandbox,
        "binaries": {
            "sort": {"path": "/usr/bin/sort", "value_flags": {"-S": {}}, "max_positionals": 1,
                     "path_positionals": True},
            # Builtins only: the shell starts no program (the sandbox's exec is empty).
            "sh": {"path": "/bin/sh", "flags": ["-c"], "max_positionals": 1,
                   "inject_double_dash": False, "risky": "allow"},
        },
    })


WRITE_TMPDIR = 'echo kept > "$TMPDIR/f" && read line < "$TMPDIR/f" && echo "$line"'
WRITE_TMP = "echo x > /tmp/corvane-private-tmp-probe-$$ && echo wrote"

# Each row: the program, its arguments, what it prints when it works, and
# whether it works without the private directory and with it.
ROWS = [
    ("sort spills a large input to temporary files", "sort", ["-S", "64K", "big.txt"],
     b"000000\n", False, True),
    ("a program writes to $TMPDIR", "sh", ["-c", WRITE_TMPDIR], b"kept\n", False, True),
    # The private directory opens nothing else: /tmp stays unwritable.
    ("a program writes to /tmp itself", "sh", ["-c", WRITE_TMP], b"wrote\n", False, False),
]


@pytest.mark.parametrize("private_tmp", [None, True], ids=["without", "with"])
@pytest.mark.parametrize("row, tool, argv, expected, without, with_it", ROWS, ids=[r[0] for r in ROWS])
def test_temporary_files_work_only_with_the_private_directory(ws, host_tmp, private_tmp, row, tool, argv,
                                                              expected, without, with_it):
    out = guard(ws, private_tmp).run(tool, argv, cwd=str(ws))
    works = out.success and out.stdout.startswith(expected)
    assert works == (with_it if private_tmp else without), (row, out.stdout[:80], out.stderr)
    assert list(host_tmp.iterdir()) == []


def test_tmpdir_is_the_runs_own_fresh_directory(ws, host_tmp):
    g = guard(ws, True)
    seen = []
    for _ in range(2):
        # Builtins only: lists what the directory holds, then leaves a file in it.
        script = 'echo "$TMPDIR"; for f in "$TMPDIR"/*; do [ -e "$f" ] && echo "$f"; done; echo > "$TMPDIR/x"'
        out = g.run("sh", ["-c", script], cwd=str(ws))
        assert out.success, out.stderr
        lines = out.stdout.decode().splitlines()
        assert lines[0].startswith(str(host_tmp) + "/corvane-run-")
        assert lines[1:] == []  # empty: nothing of an earlier run
        seen.append(lines[0])
    assert seen[0] != seen[1]
    assert list(host_tmp.iterdir()) == []


def run_until_timeout(g, ws):
    with pytest.raises(corvane.TimedOut):
        g.run("sh", ["-c", 'echo x > "$TMPDIR/f"; while :; do :; done'], cwd=str(ws), timeout=0.3)


def run_cancelled(g, ws):
    async def main():
        task = asyncio.ensure_future(g.arun("sh", ["-c", 'echo x > "$TMPDIR/f"; while :; do :; done'],
                                            cwd=str(ws)))
        await asyncio.sleep(0.3)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())


@pytest.mark.parametrize("end", [run_until_timeout, run_cancelled], ids=["timeout", "cancelled"])
def test_the_directory_is_gone_after_a_run_that_did_not_finish(ws, host_tmp, end):
    end(guard(ws, True), ws)
    assert list(host_tmp.iterdir()) == []


def test_describe_and_explain_show_it(ws):
    g = guard(ws, True)
    assert g.describe()["sandbox"]["private_tmp"] is True
    assert g.explain("sort", ["big.txt"], cwd=str(ws))["prepared"]["sandbox"]["private_tmp"] is True
    assert guard(ws, None).describe()["sandbox"]["private_tmp"] is False
    assert g.sandbox.private_tmp is True
    # The model is told where its temporary files go.
    assert "temporary directory of its own, named by $TMPDIR (not /tmp)" in g.tool_description()
    assert "$TMPDIR" not in guard(ws, None).tool_description()


# Each row: the sandbox tables, the key path and the reason.
MISTAKES = [
    ({"private_tmp": "yes"}, None, "sandbox.private_tmp", "expected a boolean, got string"),
    # The policy's choice for every command: a binary's table does not take it.
    ({"private_tmp": True}, {"private_tmp": False}, "binaries.sort.sandbox.private_tmp", "unknown key"),
]


@pytest.mark.parametrize("extra, own, key, reason", MISTAKES, ids=[m[2] for m in MISTAKES])
def test_mistakes_name_the_key(ws, extra, own, key, reason):
    data = {"cwd": {"jail": str(ws)}, "sandbox": {"workspace": str(ws), **extra},
            "binaries": {"sort": {"path": "/usr/bin/sort"}}}
    if own is not None:
        data["binaries"]["sort"]["sandbox"] = own
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(data)
    assert caught.value.key == key
    assert reason in caught.value.reason
