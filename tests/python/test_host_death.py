"""A command never outlives its host: a host process that starts long-running
commands (blocking, concurrent, sandboxed in a PID namespace or a process
group) is killed with SIGKILL, and every command it ran is gone within a
bounded wait. The first row is the control: a child the host starts without
corvane survives the same death, so the rows after it show something."""

import os
import signal
import subprocess
import sys
import time
import uuid

import pytest

import corvane

from conftest import write_script

HOST = r"""
import asyncio, os, subprocess, sys
import corvane
from corvane import ArgRules, ProcPolicyBuilder, ProcRequest, Sandbox

mode, workspace = sys.argv[1:]
markers = os.environ["MARKERS"].split()

def prepared(bin, argv):
    rules = ArgRules().max_positionals(2)
    policy = (ProcPolicyBuilder().timeout_secs(3600).allow_bin(bin).arg_rules(bin, rules)
              .build())
    return policy.prepare(ProcRequest(bin, argv))

def sleep(marker):
    return prepared("/usr/bin/sleep", [marker])

def sandbox():
    return Sandbox.workspace(os.path.join(workspace, "ws"),
                             exec=["/usr/bin", "/bin", os.path.join(workspace, "bin")],
                             best_effort=True)

if mode == "unguarded":
    subprocess.Popen(["/usr/bin/sleep", markers[0]], stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
    asyncio.run(asyncio.sleep(3600))
elif mode == "blocking":
    corvane.run(sleep(markers[0]))
elif mode == "concurrent":
    async def both():
        await asyncio.gather(*(corvane.arun(sleep(m)) for m in markers))
    asyncio.run(both())
elif mode == "pid namespace":
    # The script starts one sleep in the background and becomes the other: pid 1
    # of the namespace, whose end takes the background one with it.
    box = sandbox()
    assert box.containment.endswith("pid namespace"), box.containment
    corvane.run(prepared(os.path.join(workspace, "bin", "two_sleeps"), markers), sandbox=box)
elif mode == "process group":
    box = sandbox()
    assert box.containment == "process group", box.containment
    corvane.run(sleep(markers[0]), sandbox=box)
"""


def alive_with(markers):
    """Pids of the live (not zombie) processes whose argv holds one of `markers`."""
    wanted = {m.encode() for m in markers}
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
            with open(f"/proc/{name}/stat", "rb") as f:
                state = f.read().rsplit(b")", 1)[1].split()[0]
        except OSError:
            continue
        if wanted.intersection(argv) and state not in (b"Z", b"X"):
            found.append(int(name))
    return found


def wait_for(predicate, seconds):
    """Polls `predicate` until it holds or `seconds` pass; returns its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.05)


def sandbox_mode_available(mode):
    if mode == "pid namespace":
        return corvane.Sandbox.available()["pid_namespace"]
    return True


# (host mode, environment for the host, commands it runs, do they outlive it)
ROWS = [
    ("unguarded", {}, 1, True),
    ("blocking", {}, 1, False),
    ("concurrent", {}, 2, False),
    ("pid namespace", {}, 2, False),
    # Without namespaces the sandbox contains the command in a process group;
    # the direct command still dies with the host.
    ("process group", {"CORVANE_SANDBOX_DISABLE": "pidns,userns"}, 1, False),
]


@pytest.mark.parametrize("mode, env, count, survives", ROWS, ids=[r[0] for r in ROWS])
def test_commands_die_with_a_killed_host(tmp_path, mode, env, count, survives):
    if not sandbox_mode_available(mode):
        pytest.skip("no PID namespace on this machine")
    # Unique sleep durations name this row's commands among every process (the
    # host gets them in its environment, so that its own argv holds none).
    (tmp_path / "ws").mkdir()
    (tmp_path / "bin").mkdir()
    write_script(tmp_path / "bin", "two_sleeps", '/usr/bin/sleep "$1" &\nexec /usr/bin/sleep "$2"')
    tag = uuid.uuid4().int % 10**9
    markers = [f"86400.{tag:09d}{i}" for i in range(count)]
    host = subprocess.Popen([sys.executable, "-c", HOST, mode, str(tmp_path)],
                            env={**os.environ, **env, "MARKERS": " ".join(markers)},
                            stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        started = wait_for(lambda: len(alive_with(markers)) == count or host.poll() is not None, 20)
        assert started and host.poll() is None, host.communicate()
        assert len(alive_with(markers)) == count
        host.send_signal(signal.SIGKILL)
        host.communicate()
        if survives:
            # Give the kernel the same time the other rows get, then see the orphan.
            time.sleep(0.5)
            assert len(alive_with(markers)) == count
        else:
            assert wait_for(lambda: not alive_with(markers), 10), alive_with(markers)
    finally:
        if host.poll() is None:
            host.kill()
            host.communicate()
        for pid in alive_with(markers):
            os.kill(pid, signal.SIGKILL)
