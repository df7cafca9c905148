"""A virtual environment's interpreter run as that environment (argv0 = "allowed"),
and one risky binary allowed by its own setting while the others stay refused."""

import os
import subprocess
import sys

import pytest

import corvane
from corvane import Guard, PolicyError

PRINT_PREFIX = "import sys; print(sys.prefix)"


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A workspace holding a venv made by this interpreter (its site-packages too,
    so that pytest is importable without installing anything)."""
    ws = tmp_path_factory.mktemp("ws")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
                    str(ws / ".venv")], check=True)
    assert os.path.islink(ws / ".venv" / "bin" / "python3")
    return ws


def policy(ws, risky_binaries="deny", **python):
    return {
        "risky_binaries": risky_binaries,
        "cwd": {"jail": str(ws)},
        "binaries": {
            "python3": {"path": str(ws / ".venv" / "bin" / "python3"), **python},
            "sh": {"path": "/bin/sh", "flags": ["-c"]},
        },
    }


def inline(**extra):
    # Only for the tests: "-c" lets a row print what the interpreter thinks it is.
    return {"value_flags": ["-c"], "risky": "allow", **extra}


def prefix_of(guard, bin="python3"):
    return guard.run(bin, ["-c", PRINT_PREFIX]).stdout.decode().strip()


# Each row: the binary's argv0 setting, and whether the child runs as the venv.
@pytest.mark.parametrize("argv0, as_venv", [(None, False), ("canonical", False), ("allowed", True)])
def test_the_venv_interpreter_runs_as_the_venv_only_when_asked(venv, argv0, as_venv):
    extra = {} if argv0 is None else {"argv0": argv0}
    guard = Guard.from_dict(policy(venv, **inline(**extra)))
    base = subprocess.run([os.path.realpath(venv / ".venv" / "bin" / "python3"), "-c", PRINT_PREFIX],
                          capture_output=True, text=True, check=True).stdout.strip()
    assert prefix_of(guard) == (str(venv / ".venv") if as_venv else base)
    explained = guard.explain("python3", ["-c", "0"])
    # The file executed is the checked one either way; only argv[0] differs.
    assert explained["prepared"]["bin"] == os.path.realpath(venv / ".venv" / "bin" / "python3")
    assert explained["prepared"].get("argv0") == (str(venv / ".venv" / "bin" / "python3") if as_venv else None)
    assert guard.describe()["binaries"][0].get("argv0") == ("allowed" if as_venv else None)


@pytest.mark.skipif(sys.prefix != sys.base_prefix,
                    reason="a venv made from inside a venv borrows the base's packages, without pytest")
def test_pytest_runs_in_the_venv_with_narrow_rules(venv):
    tests = venv / "tests"
    tests.mkdir(exist_ok=True)
    (tests / "test_where.py").write_text(
        "import sys\n\ndef test_in_venv():\n    assert sys.prefix.endswith('.venv')\n")
    only_pytest = {"risky": "allow", "argv0": "allowed", "subcommands": {
        "-m pytest": {"flags": ["-q"], "value_flags": {"-p": {"one_of": ["no:cacheprovider"]}},
                      "max_positionals": 4, "path_positionals": True}}}
    guard = Guard.from_dict(policy(venv, **only_pytest))
    out = guard.run("python3", ["-m", "pytest", "-q", "-p", "no:cacheprovider", "tests"], cwd=venv)
    assert out.exit_code == 0, out.stdout + out.stderr
    assert b"1 passed" in out.stdout
    # The interpreter is allowed for pytest only, not for any code.
    for argv in (["-c", PRINT_PREFIX], ["-m", "pip"], ["-m", "pytest", "-p", "evil"]):
        with pytest.raises(corvane.Refused):
            guard.check("python3", argv)


# Each row: the policy-wide setting, the python binary's own, and which of the two
# risky binaries (python3, sh) the policy then allows.
RISKY_ROWS = [
    ("deny", None, (False, False)),
    ("deny", "allow", (True, False)),   # one interpreter, and the shell stays refused
    ("disabled", None, (True, True)),
    ("disabled", "deny", (False, True)),  # a binary may also be narrower than its policy
]


@pytest.mark.parametrize("policy_wide, own, allowed", RISKY_ROWS)
def test_a_binarys_own_risky_setting_applies_to_that_binary_only(venv, policy_wide, own, allowed):
    python = {"value_flags": ["-c"]}
    if own is not None:
        python["risky"] = own
    guard = Guard.from_dict(policy(venv, policy_wide, **python))
    got = []
    for bin, argv in (("python3", ["-c", "0"]), ("sh", ["-c"])):
        try:
            guard.check(bin, argv)
            got.append(True)
        except corvane.Refused as refused:
            assert refused.kind == "RiskyBinDenied"
            got.append(False)
    assert tuple(got) == allowed
    assert guard.describe()["binaries"][0].get("risky") == own


@pytest.mark.skipif(corvane.Sandbox.available()["landlock_abi"] == 0, reason="no Landlock")
def test_inside_the_sandbox_the_venv_is_still_the_venv(venv):
    data = policy(venv, **inline(argv0="allowed"))
    # The base interpreter's own library, wherever this machine keeps it.
    data["sandbox"] = {"workspace": str(venv), "read": [os.path.realpath(sys.base_prefix)]}
    guard = Guard.from_dict(data)
    assert prefix_of(guard) == str(venv / ".venv")
    with pytest.raises(corvane.Refused):
        guard.check("sh", ["-c"])


def test_a_link_of_the_agents_own_gets_the_allowed_path_as_argv0(venv, tmp_path):
    # The agent makes another "venv" in the workspace, linking the same interpreter,
    # with a pyvenv.cfg of its own, and asks for the allowed file by that path.
    evil = venv / "evil"
    (evil / "bin").mkdir(parents=True, exist_ok=True)
    (evil / "pyvenv.cfg").write_text((venv / ".venv" / "pyvenv.cfg").read_text())
    link = evil / "bin" / "python3"
    if not link.exists():
        link.symlink_to(os.path.realpath(venv / ".venv" / "bin" / "python3"))
    # Run by its own path, the interpreter takes the agent's environment...
    direct = subprocess.run([str(link), "-c", PRINT_PREFIX], capture_output=True, text=True, env={})
    assert direct.stdout.strip() == str(evil)
    # ...but the policy names argv[0] itself: the path it allowed, never the one asked for.
    guard = Guard.from_dict(policy(venv, **inline(argv0="allowed")))
    assert prefix_of(guard, str(link)) == str(venv / ".venv")


def test_a_launcher_repointed_after_the_check_does_not_change_what_runs(tmp_path):
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / ".venv")], check=True)
    launcher = tmp_path / ".venv" / "bin" / "python3"
    guard = Guard.from_dict(policy(tmp_path, **inline(argv0="allowed")))
    prepared = guard.check("python3", ["-c", PRINT_PREFIX])
    # The workspace is writable: the link now leads to a script of the agent's.
    script = tmp_path / "payload"
    script.write_text("#!/bin/sh\necho pwned\n")
    script.chmod(0o755)
    launcher.unlink()
    launcher.symlink_to(script)
    # Executing the launcher path, as a runner that re-opened it would, runs the payload;
    assert subprocess.run([str(launcher)], capture_output=True, text=True).stdout == "pwned\n"
    # the checked command executes the file that was checked, still as the venv.
    out = corvane.run(prepared)
    assert out.stdout.decode().strip() == str(tmp_path / ".venv")


# Each row: the python binary's extra keys, the key path and the reason of the PolicyError.
MISTAKES = [
    ({"argv0": "venv"}, "binaries.python3.argv0", "unknown value 'venv' (known: canonical, allowed)"),
    ({"argv0": True}, "binaries.python3.argv0", "expected a string, got boolean"),
    ({"risky": "allow_with_warning"}, "binaries.python3.risky", "unknown value 'allow_with_warning' (known: deny, allow)"),
    ({"risky": 1}, "binaries.python3.risky", "expected a string, got integer"),
    ({"subcommands": {"-m pytest": {"argv0": "allowed"}}}, "binaries.python3.subcommands.-m pytest.argv0",
     "unknown key (known: bundles, double_dash, first_arg_bundle, flags, inject_double_dash, "
     "inject_double_dash_after, max_flags, max_positionals, numeric_flags, path_positionals, positionals, "
     "rest_positionals, value_flags)"),
]


@pytest.mark.parametrize("extra, key, reason", MISTAKES)
def test_mistakes_in_the_new_keys_name_file_key_and_reason(venv, tmp_path, extra, key, reason):
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(policy(venv, **extra))
    assert (caught.value.key, caught.value.reason) == (key, reason)
    # In a file, the message names the file too.
    file = tmp_path / "p.toml"
    value = extra.get("argv0", extra.get("risky"))
    if isinstance(value, str):
        name = "argv0" if "argv0" in extra else "risky"
        file.write_text(f'[binaries.python3]\npath = "{venv}/.venv/bin/python3"\n{name} = "{value}"\n')
        with pytest.raises(PolicyError) as in_file:
            Guard.from_toml(file)
        assert str(in_file.value) == f"{file}: {key}: {reason}"
