"""Policy files: every mistake names the file, the key path and the reason;
durations, sizes and relative paths are read as documented; the shipped JSON
Schema agrees with the reader."""

import json
import os

import pytest

import corvane
from corvane import Guard, PolicyError
from corvane.policy_file import SCHEMA_PATH

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "policies")


def grep(**extra):
    return {"path": "/usr/bin/grep", **extra}


@pytest.mark.parametrize(
    "data, key, reason",
    [
        ({"timeout_s": 3}, "timeout_s", "unknown key (known: allow_writable_policy, audit, binaries, cwd, environment, include, max_stderr, "
                                        "max_stdin, max_stdout, on_output_limit, risky_binaries, sandbox, timeout)"),
        ({"binaries": {"grep": grep(flag=["-n"])}}, "binaries.grep.flag", "unknown key"),
        ({"binaries": {"grep": grep(value_flags={"-e": {"choices": ["a"]}})}},
         "binaries.grep.value_flags.-e.choices", "unknown key"),
        ({"binaries": {"grep": grep(max_flags="3")}}, "binaries.grep.max_flags", "expected an integer, got string"),
        ({"binaries": {"grep": grep(max_flags=-1)}}, "binaries.grep.max_flags", "must be between 0 and 2**64-1, got -1"),
        ({"binaries": {"grep": grep(flags="-n")}}, "binaries.grep.flags", "expected a list of strings, got string"),
        ({"binaries": {"grep": grep(flags=["-n", 5])}}, "binaries.grep.flags[1]", "expected a string, got integer"),
        ({"binaries": {"grep": grep(bundles=1)}}, "binaries.grep.bundles", "expected a boolean, got integer"),
        ({"binaries": {"grep": {"flags": []}}}, "binaries.grep.path", "missing: every binary needs a path"),
        ({"binaries": {"grep": "/usr/bin/grep"}}, "binaries.grep", "expected a table, got string"),
        ({"binaries": {"nope": {"path": "/usr/bin/does-not-exist"}}}, "binaries.nope.path",
         "binary not found: /usr/bin/does-not-exist"),
        ({"binaries": {"grep": grep(flags=["-n", "-n"])}}, "binaries.grep", 'flag "-n" declared twice'),
        ({"binaries": {"grep": grep(flags=["-e"], value_flags=["-e"])}}, "binaries.grep", 'flag "-e" declared twice'),
        ({"binaries": {"git": {"path": "/usr/bin/git", "subcommands": {"remote -v": {}, "remote  -v": {}}}}},
         "binaries.git.subcommands.remote -v", 'a second rule set for subcommand "remote -v"'),
        ({"binaries": {"git": {"path": "/usr/bin/git", "subcommands": {" ": {}}}}},
         "binaries.git.subcommands. ", "empty subcommand name"),
        ({"binaries": {"grep": grep(value_flags={"-m": {"pattern": "[0-9"}})}}, "binaries.grep",
         'pattern "[0-9" of "-m" is not a valid regular expression'),
        ({"binaries": {"grep": grep(flags=["n"])}}, "binaries.grep",
         'flag "n" has no dash and the rule set reads no first-argument bundle'),
        ({"binaries": {"a": grep(), "b": {"path": "/usr/bin/../bin/grep"}}}, "binaries.b.path",
         "rules for /usr/bin/grep and /usr/bin/../bin/grep both apply to /usr/bin/grep"),
        ({"binaries": {"grep": {"path": "grep"}}}, "binaries.grep.path",
         "relative path 'grep' needs a base directory (pass base_dir)"),
        ({"timeout": True}, "timeout", 'expected a duration such as "1.5s" or seconds, got boolean'),
        ({"timeout": "3 fortnights"}, "timeout", "not a duration: '3 fortnights' (units: ns, us, ms, s, m, h)"),
        ({"timeout": "0.5ns"}, "timeout", "finer than a nanosecond: '0.5ns'"),
        ({"max_stdout": "10 parsecs"}, "max_stdout", "not a size: '10 parsecs' (units: B, KB, MB, GB, KiB, MiB, GiB)"),
        ({"max_stdout": "0.5B"}, "max_stdout", "not a whole number of bytes: '0.5B'"),
        ({"on_output_limit": "drop"}, "on_output_limit", "must be 'wait' or 'kill', not 'drop'"),
        ({"risky_binaries": "yes"}, "risky_binaries", "unknown value 'yes' (known: deny, allow_with_warning, disabled)"),
        ({"environment": {"mode": "inherit"}}, "environment.mode",
         "unknown mode 'inherit' (known: allowlist, empty, fixed, locale_only)"),
        ({"environment": {"mode": "empty", "names": ["PATH"]}}, "environment.names", "only the allowlist mode takes names"),
        ({"environment": {"mode": "fixed", "vars": {"A": 1}}}, "environment.vars.A", "expected a string, got integer"),
        ({"cwd": {"fixed": "/tmp", "jail": "/tmp"}}, "cwd", "needs exactly one of fixed, jail or allow"),
        ({"cwd": {"fixed": "/tmp", "default": "/tmp"}}, "cwd.default", "a fixed directory takes no default"),
        ({"cwd": {"allow": []}}, "cwd.allow", "expected a non-empty list of directories"),
        ({"sandbox": {"workspace": "/no/such/workspace"}}, "sandbox.workspace",
         "sandbox path does not exist: /no/such/workspace"),
        ({"sandbox": {"read": ["/usr", "/no/such/dir"]}}, "sandbox.read[1]",
         "sandbox path does not exist: /no/such/dir"),
        ({"sandbox": {"exec": "/usr/bin"}}, "sandbox.exec", "expected a list of strings, got string"),
        ({"sandbox": {"write": ["ws"]}}, "sandbox.write[0]", "relative path 'ws' needs a base directory"),
        ({"sandbox": {"network": "no"}}, "sandbox.network", "expected a boolean, got string"),
        ({"sandbox": {"mounts": []}}, "sandbox.mounts", "unknown key"),
        ({"sandbox": {"limits": {"cpu": 5}}}, "sandbox.limits.cpu", "unknown key"),
        ({"sandbox": {"limits": {"memory": "4 gigs"}}}, "sandbox.limits.memory", "not a size: '4 gigs'"),
        ({"sandbox": {"limits": {"cpu_time": "1.5s"}}}, "sandbox.limits.cpu_time",
         "the CPU time limit is counted in whole seconds"),
        ({"sandbox": {"limits": {"processes": "many"}}}, "sandbox.limits.processes",
         "expected an integer, got string"),
        ({"binaries": {1: grep()}}, "binaries", "keys must be strings, got integer"),
    ],
)
def test_every_mistake_names_key_and_reason(data, key, reason):
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(data)
    err = caught.value
    assert err.file is None
    assert err.key == key
    assert err.reason.startswith(reason), err.reason
    assert str(err).startswith(f"{key}: {reason}" if key else reason)
    assert isinstance(err, ValueError)


def test_file_errors_name_the_file(tmp_path):
    path = tmp_path / "policy.toml"
    path.write_text('[binaries.grep]\npath = "/usr/bin/grep"\nmax_flags = "many"\n')
    with pytest.raises(PolicyError) as caught:
        Guard.from_toml(path)
    assert str(caught.value) == f"{path}: binaries.grep.max_flags: expected an integer, got string"
    assert caught.value.file == str(path)

    path.write_text('[binaries.grep]\npath = "/usr/bin/grep"\n[binaries.grep]\n')
    with pytest.raises(PolicyError, match=r"^.*policy\.toml: not valid TOML: ") as caught:
        Guard.from_toml(path)
    assert caught.value.key == ""

    with pytest.raises(PolicyError, match="cannot read: No such file or directory"):
        Guard.from_toml(tmp_path / "missing.toml")


def test_values_and_relative_paths(tmp_path):
    (tmp_path / "ws").mkdir()
    (tmp_path / "tool").write_text("#!/bin/sh\necho ran \"$@\"\n")
    (tmp_path / "tool").chmod(0o755)
    (tmp_path / "p.toml").write_text(
        'timeout = "1.5s"\nmax_stdout = "10MiB"\nmax_stderr = "1.5KiB"\n'
        '[cwd]\njail = "ws"\n[binaries.tool]\npath = "tool"\nmax_positionals = 1\n')
    guard = Guard.from_toml(tmp_path / "p.toml")
    described = guard.describe()
    assert (described["timeout"], described["max_stdout"], described["max_stderr"]) == (1.5, 10 * 2**20, 1536)
    assert described["binaries"][0]["path"] == str(tmp_path / "tool")
    assert described["cwd"] == {"mode": "jail", "root": str(tmp_path / "ws"), "default": str(tmp_path / "ws")}
    prepared = guard.check(str(tmp_path / "tool"), ["x"])
    assert prepared.cwd == str(tmp_path / "ws")
    assert guard.run(str(tmp_path / "tool"), ["x"]).stdout == b"ran -- x\n"

    durations = {"250ms": 0.25, 2: 2.0, 0.5: 0.5, "1m": 60.0, "3us": 3e-6}
    for value, seconds in durations.items():
        assert Guard.from_dict({"timeout": value}).describe()["timeout"] == pytest.approx(seconds)


def test_schema_agrees_with_the_reader():
    jsonschema = pytest.importorskip("jsonschema")
    with open(SCHEMA_PATH) as f:
        schema = json.load(f)
    tomllib = pytest.importorskip("tomllib")
    hand_written = os.path.join(os.path.dirname(__file__), "..", "policies")
    for path in sorted(os.path.join(d, n) for d in (EXAMPLES, hand_written) for n in os.listdir(d)):
        with open(path, "rb") as f:
            jsonschema.validate(tomllib.load(f), schema)
    for bad in ({"binaries": {"x": {"path": "/p", "flag": []}}}, {"timeout": "3 fortnights"},
                {"cwd": {"fixed": "/a", "jail": "/b"}}, {"binaries": {"x": {"flags": []}}}):
        with pytest.raises(jsonschema.ValidationError):
            jsonschema.validate(bad, schema)
    assert "policy.schema.json" in os.listdir(os.path.dirname(corvane.__file__))


def test_sandbox_table_values_and_description(tmp_path):
    (tmp_path / "ws").mkdir()
    (tmp_path / "p.toml").write_text(
        '[sandbox]\nworkspace = "ws"\nread = ["."]\nnetwork = true\nbest_effort = true\n'
        '[sandbox.limits]\nmemory = "2GiB"\ncpu_time = "1m"\nprocesses = "inherit"\nfile_size = 4096\n')
    guard = Guard.from_toml(tmp_path / "p.toml")
    box = guard.describe()["sandbox"]
    assert box["workspace"] == str(tmp_path / "ws")
    assert box["write"][0] == str(tmp_path / "ws") and os.path.normpath(box["read"][-1]) == str(tmp_path)
    assert "/usr" in box["read"] and box["network"] is True and box["best_effort"] is True
    assert box["limits"] == {"memory": 2**31, "cpu_seconds": 60, "processes": None,
                             "file_size": 4096, "open_files": 1024}
    assert guard.sandbox is not None and guard.sandbox.limits == box["limits"]
    plain = Guard.from_dict({})
    assert plain.describe()["sandbox"] is None and plain.sandbox is None
