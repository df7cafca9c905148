"""Hosts that handle signals and children their own way: Ctrl-C during a
blocking run, a host that ignores SIGCHLD, and a host thread that reaps every
child with os.wait(). Each runs in a fresh interpreter, so the test process's
own signal state and children stay untouched."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

HEADER = textwrap.dedent(
    """
    import os, signal, sys, threading, time
    from _corvane import ArgRules, ProcPolicyBuilder, ProcRequest

    # Started from a background job, the interpreter inherits SIGINT ignored and
    # keeps it so; give it the usual handler, as at a terminal.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    def prepare(path, argv):
        rules = ArgRules().max_flags(0).max_positionals(4)
        policy = ProcPolicyBuilder().allow_bin(path).arg_rules(path, rules).build()
        return policy.prepare(ProcRequest(path, argv))

    def children():
        # This process's children, zombies included.
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry, "rb") as handle:
                    fields = handle.read().rsplit(b")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == os.getpid():
                found.append(entry)
        return found
    """
)


def child_pids(pid):
    """PIDs and names of the children of process `pid`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as handle:
                text = handle.read().decode(errors="replace")
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        if int(text.rsplit(")", 1)[1].split()[1]) == pid:
            found.append((int(entry), name))
    return found


def test_ctrl_c_ends_a_blocking_run_at_once_and_kills_the_child():
    sleep_bin = os.path.realpath("/bin/sleep")
    code = HEADER + textwrap.dedent(
        """
        prepared = prepare(%r, ["30"])
        try:
            prepared.spawn_sync()
        except KeyboardInterrupt:
            print("KeyboardInterrupt", len(children()), flush=True)
        else:
            print("not interrupted", flush=True)
        """ % sleep_bin
    )
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        # The command has exec'd once `sleep` is a child of the interpreter.
        deadline = time.monotonic() + 20
        while not any(name == "sleep" for _, name in child_pids(proc.pid)):
            assert time.monotonic() < deadline, "the command never started"
            assert proc.poll() is None, proc.stderr.read()
            time.sleep(0.01)
        time.sleep(0.05)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=25)
        took = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert out.split() == ["KeyboardInterrupt", "0"], err
    # Without the hook the interrupt waits for the 30-second command.
    assert took < 2.0


@pytest.mark.parametrize("host", ["ignores_sigchld", "reaps_with_os_wait"])
def test_hosts_that_take_children_still_get_every_output(host, tmp_path):
    script = tmp_path / "tell"
    script.write_text('#!/bin/sh\necho "out $1"\necho "err $1" >&2\nexit "$2"\n')
    script.chmod(0o755)
    code = HEADER + textwrap.dedent(
        """
        host = %r
        stop = False
        if host == "ignores_sigchld":
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        else:
            def thief():
                while not stop:
                    try:
                        os.wait()
                    except ChildProcessError:
                        time.sleep(0.0005)
            threading.Thread(target=thief, daemon=True).start()
        bad = []
        for i in range(200):
            out = prepare(%r, [str(i), str(i %% 5)]).spawn_sync()
            got = (out.stdout, out.stderr, out.exit_code)
            want = (b"out %%d\\n" %% i, b"err %%d\\n" %% i, i %% 5)
            if got != want:
                bad.append((i, got))
        stop = True
        print("bad", bad[:3], len(bad))
        """ % (host, str(script))
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "bad [] 0"
