"""corvane.Sandbox with corvane.run and corvane.arun: the same attacks as the core's
tests, through the Python layer (each works without the sandbox and fails in it),
the options and their errors, and the test seam for a machine without a feature."""

import asyncio

import pytest

import corvane
from corvane import ArgRules, ProcPolicyBuilder, ProcRequest, Sandbox, SandboxLimitExceeded

from conftest import policy_for

needs_landlock = pytest.mark.skipif(Sandbox.available()["landlock_abi"] == 0,
                                    reason="this kernel has no Landlock")


pytestmark = pytest.mark.usefixtures("no_leaks")


@pytest.fixture
def workspace(tmp_path):
    ws = tmp_path / "ws"
    ws.mkdir()
    (ws / "data.txt").write_text("hello\n")
    return ws


def sed(ws, script):
    rules = ArgRules().allowed_flags(["-n"]).max_flags(1).max_positionals(2)
    policy = policy_for("/usr/bin/sed", rules=rules)
    return policy.prepare(ProcRequest("/usr/bin/sed", ["-n", script, str(ws / "data.txt")]))


@needs_landlock
def test_sed_e_command_runs_a_program_without_the_sandbox_and_not_with_it(workspace):
    assert b"uid=" in corvane.run(sed(workspace, "1e id")).stdout
    boxed = corvane.run(sed(workspace, "1e id"), sandbox=Sandbox.workspace(workspace))
    assert b"uid=" not in boxed.stdout
    # What the command is allowed to do still works.
    assert corvane.run(sed(workspace, "1p"), sandbox=Sandbox.workspace(workspace)).stdout == (
        b"hello\n")


@needs_landlock
def test_a_background_pipe_holder_no_longer_turns_arun_into_a_timeout(scripts, workspace):
    path = scripts("bg", "sleep 30 & echo started")
    policy = policy_for(path, builder=ProcPolicyBuilder().timeout_secs(1))
    with pytest.raises(corvane.TimedOut):
        asyncio.run(corvane.arun(policy.prepare(ProcRequest(path, []))))
    box = Sandbox.workspace(workspace, read=[scripts.dir], exec=["/usr/bin/sleep"])
    out = asyncio.run(corvane.arun(policy.prepare(ProcRequest(path, [])), sandbox=box))
    assert out.stdout == b"started\n"


@needs_landlock
def test_a_broken_cpu_limit_raises_sandbox_limit_exceeded(scripts, workspace):
    path = scripts("spin", "while :; do :; done")
    policy = policy_for(path, builder=ProcPolicyBuilder().timeout_secs(30))
    box = Sandbox.workspace(workspace, read=[scripts.dir], cpu_seconds=1)
    with pytest.raises(SandboxLimitExceeded) as caught:
        corvane.run(policy.prepare(ProcRequest(path, [])), sandbox=box)
    assert str(caught.value) == "CPU time limit of 1 s exceeded"
    assert isinstance(caught.value, corvane.ExecutionError)
    assert caught.value.status == 9  # SIGKILL: the command is pid 1 of its namespace


def test_options_and_their_errors(workspace):
    box = Sandbox.workspace(workspace, processes=None, open_files=64, best_effort=True)
    assert box.write[0] == str(workspace)
    assert "/usr" in box.read
    assert box.limits == {"memory": 4 << 30, "cpu_seconds": 60, "processes": None,
                          "file_size": 1 << 30, "open_files": 64}
    assert box.containment in ("pid namespace", "user and pid namespace", "process group")
    rows = [
        (dict(read=["/no/such/dir"]), ValueError, "sandbox path does not exist: /no/such/dir"),
        (dict(write=["relative"]), ValueError, "sandbox path is not absolute: relative"),
        (dict(read="/usr"), TypeError, "read: expected a list of paths, not one path"),
        (dict(memory=-1), ValueError, "memory: must not be negative"),
        (dict(cpu_seconds="60"), TypeError, "cpu_seconds: expected an int or None, not str"),
    ]
    for options, error, message in rows:
        with pytest.raises(error) as caught:
            Sandbox(**options)
        assert str(caught.value) == message


def test_a_missing_feature_is_named_unless_best_effort(monkeypatch):
    monkeypatch.setenv("CORVANE_SANDBOX_DISABLE", "landlock")
    assert Sandbox.available()["landlock_abi"] == 0
    with pytest.raises(ValueError) as caught:
        Sandbox()
    assert str(caught.value) == (
        "sandbox needs Landlock (file system and execute rules), which this machine does not offer")
    assert Sandbox(best_effort=True).skipped == ("Landlock (file system and execute rules)",)
