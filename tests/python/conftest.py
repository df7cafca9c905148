"""Shared helpers for the Python tests: small scripts in a temporary directory
and policies that allow exactly those scripts."""

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
