"""Shared helpers for the Python tests: small scripts in a temporary directory,
policies that allow exactly those scripts, and the leak check."""

import gc
import os
import stat

import pytest

import _corvane
from _corvane import ArgRules, ProcPolicyBuilder, ProcRequest


def write_script(directory, name, body, mode=0o755):
    """Writes an executable /bin/sh script and returns its path as text."""
    path = os.path.join(str(directory), name)
    with open(path, "w") as handle:
        handle.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, mode)
    return path


def open_rules(max_flags=10, max_positionals=10):
    """Rules that accept a few plain arguments and no flag lists at all."""
    return ArgRules().max_flags(max_flags).max_positionals(max_positionals)


def policy_for(path, rules=None, builder=None):
    """A built policy allowing one binary under `path` with `rules`."""
    builder = builder if builder is not None else ProcPolicyBuilder()
    rules = rules if rules is not None else open_rules()
    return builder.allow_bin(path).arg_rules(path, rules).build()


def run(path, argv=(), builder=None, rules=None):
    """Prepares and runs `path` with `argv` under a policy that allows it."""
    policy = policy_for(path, rules=rules, builder=builder)
    return policy.prepare(ProcRequest(path, list(argv))).spawn_sync()


@pytest.fixture
def scripts(tmp_path):
    """A factory for scripts in a private temporary directory."""

    def make(name, body, mode=0o755):
        return write_script(tmp_path, name, body, mode)

    make.dir = str(tmp_path)
    return make


@pytest.fixture
def true_bin():
    path = "/bin/true" if os.path.exists("/bin/true") else "/usr/bin/true"
    assert os.stat(path).st_mode & stat.S_IXUSR
    return path


@pytest.fixture
def module():
    return _corvane


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def child_pids():
    """Children of this process, zombies included, from /proc/<pid>/stat."""
    me = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as handle:
                stat = handle.read()
        except OSError:
            continue
        # The command name may hold spaces and parentheses: fields start after the last ")".
        if int(stat[stat.rindex(b")") + 2:].split()[1]) == me:
            found.append(int(entry))
    return found


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_address_sanitizer():
    """True when AddressSanitizer is loaded: its quarantine keeps freed memory
    resident, so resident memory says nothing about leaks there."""
    with open("/proc/self/maps") as handle:
        return "libasan" in handle.read()


def close_pipes(process):
    """Closes a finished Popen's pipes, as its `with` block would."""
    for pipe in (process.stdin, process.stdout, process.stderr):
        if pipe is not None:
            pipe.close()


@pytest.fixture
def no_leaks():
    """Fails the test if it leaves a descriptor open or a child unreaped.

    A module opts in with ``pytestmark = pytest.mark.usefixtures("no_leaks")``.
    The collector runs on both sides: earlier tests' garbage must not close its
    descriptors during this one, and an object this test dropped in a cycle (a
    Sandbox in the frame pytest.raises keeps) holds descriptors until collected.
    """
    gc.collect()
    fds, children = fd_count(), child_pids()
    yield
    gc.collect()
    assert child_pids() == children, "child process left behind"
    assert fd_count() == fds, "descriptor leaked"
