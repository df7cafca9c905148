"""The [audit] table of a policy file: read by the core's reader, written by
every Guard made from the policy (and the command beside its --audit), and
refused where the policy's own commands could forge or erase it."""

import json
import os
import subprocess
import sys

import pytest

import corvane

from conftest import write_script

HEAD = "PATH=/usr/bin:/bin\n"


def lines_of(path):
    with open(path) as handle:
        return [json.loads(line) for line in handle]


def flushed(guard):
    for trail in guard.audit_trails:
        assert trail.flush()
        trail.close()


# Each row: the [audit] table, the key the mistake is named under, the start of the reason.
MISTAKES = [
    ({}, "audit", "names no destination"),
    ({"stderr": False}, "audit", "names no destination"),
    ({"file": 3}, "audit.file", "expected a string"),
    ({"file": ""}, "audit.file", "empty path"),
    ({"file": "trail.jsonl"}, "audit.file", "relative path"),  # a mapping without base_dir
    ({"stderr": "yes"}, "audit.stderr", "expected a boolean"),
    ({"file": "/tmp/x", "allow_writable": 1}, "audit.allow_writable", "expected a boolean"),
    ({"files": "/tmp/x"}, "audit.files", "unknown key (known: allow_writable, file, stderr)"),
    ({"file": "/nonexistent-dir/trail.jsonl"}, "audit.file", "cannot open the audit file"),
]


@pytest.mark.parametrize("table, key, reason", MISTAKES, ids=[m[2] + "-" + m[1] for m in MISTAKES])
def test_a_mistake_in_audit_names_its_key(table, key, reason):
    with pytest.raises(corvane.PolicyError) as caught:
        corvane.Guard.from_dict({"audit": table})
    assert (caught.value.key, caught.value.reason[:len(reason)]) == (key, reason)


def write_policy(directory, audit, cwd="", extra=""):
    policy = directory / "policy.toml"
    policy.write_text(f'[binaries.wipe]\npath = "{directory}/wipe"\nmax_positionals = 1\n'
                      f'inject_double_dash = false\n{cwd}\n[audit]\n{audit}\n{extra}')
    return policy


# Each row: where the trail is, relative to the jail the agent's commands work in;
# whether [audit] allows a writable place; whether the load is refused.
PLACES = [
    ("outside", "../trail.jsonl", False, False),
    ("inside", "trail.jsonl", False, True),
    ("inside-allowed", "trail.jsonl", True, False),
    ("link-inside", "link.jsonl", False, True),  # the agent could point the link elsewhere
]


@pytest.mark.parametrize("where, name, allowed, refused", PLACES, ids=[p[0] for p in PLACES])
def test_a_trail_the_agent_could_erase_is_refused(tmp_path, where, name, allowed, refused):
    jail = tmp_path / "jail"
    jail.mkdir()
    write_script(tmp_path, "wipe", HEAD + ': > "$1"')
    os.symlink(tmp_path / "elsewhere.jsonl", jail / "link.jsonl")
    policy = write_policy(tmp_path, f'file = "jail/{name}"\nallow_writable = {str(allowed).lower()}',
                          cwd=f'[cwd]\njail = "{jail}"')
    if refused:
        with pytest.raises(corvane.PolicyError) as caught:
            corvane.Guard.from_toml(policy)
        assert caught.value.key == "audit.file" and "forge or erase" in caught.value.reason
        return
    guard = corvane.Guard.from_toml(policy)
    guard.run("wipe", ["scratch"])
    # The attack: the agent empties the trail in its directory with a command
    # the policy allows. It succeeds only where the trail was let inside the jail.
    guard.run("wipe", ["trail.jsonl"])
    flushed(guard)
    trail = os.path.normpath(jail / name)
    assert [line["argv"] for line in lines_of(trail)] == ([["trail.jsonl"]] if where == "inside-allowed"
                                                         else [["scratch"], ["trail.jsonl"]])


def test_a_relative_trail_counts_from_the_policy_file(tmp_path, monkeypatch):
    write_script(tmp_path, "wipe", HEAD + "true")
    policy = write_policy(tmp_path, 'file = "logs/../trail.jsonl"')
    (tmp_path / "logs").mkdir()
    monkeypatch.chdir("/")
    guard = corvane.Guard.from_toml(policy)
    guard.check("wipe", ["x"])
    # A Guard's own trail is written beside the policy's, never instead of it.
    own = []
    with_own = guard.with_audit(own.append)
    with_own.check("wipe", ["y"])
    with_own.with_audit(None).check("wipe", ["z"])
    flushed(with_own)
    assert [line["argv"] for line in lines_of(tmp_path / "trail.jsonl")] == [["x"], ["y"], ["z"]]
    assert [json.loads(line)["argv"] for line in own] == [["y"]]


def test_the_command_writes_the_policys_trail_and_its_own(tmp_path):
    write_script(tmp_path, "wipe", HEAD + "echo wiped")
    policy = write_policy(tmp_path, 'file = "trail.jsonl"\nstderr = true')
    own = tmp_path / "own.jsonl"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-m", "corvane", "run", "-p", str(policy), "--audit",
                           str(own), "--", "wipe", "a"], capture_output=True, env=env, timeout=60)
    assert done.returncode == 0 and done.stdout == b"wiped\n", done.stderr
    on_stderr = [json.loads(line) for line in done.stderr.decode().splitlines()]
    for lines in (lines_of(tmp_path / "trail.jsonl"), lines_of(own), on_stderr):
        assert [(line["op"], line["argv"], line["exit_code"], line["stdout_bytes"]) for line in lines] == [
            ("run", ["a"], 0, 6)]
