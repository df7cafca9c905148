"""A sandbox per binary, attacked: under one [sandbox] whose exec serves the
test runner, git's core.fsmonitor and sed's "e" command run programs; with the
exec right given to make alone they run nothing, while make still runs its
shell. Then how a binary's table changes the policy's, and its mistakes."""

import copy
import os
import subprocess

import pytest

import corvane
from corvane import Guard, PolicyError
from corvane.policy_file import tomllib

# The hand-written coding agent, one [binaries] table per tool, as the shipped
# one was before it was made of packs.
POLICIES = os.path.join(os.path.dirname(__file__), "..", "policies")

pytestmark = pytest.mark.skipif(corvane.Sandbox.available()["landlock_abi"] == 0,
                                reason="the sandbox needs Landlock")


@pytest.fixture
def ws(tmp_path):
    """A git repository with a commit, a change, and a Makefile whose test target runs a shell."""
    ws = tmp_path / "ws"
    ws.mkdir()
    git = ["git", "-C", str(ws), "-c", "user.name=t", "-c", "user.email=t@t"]
    subprocess.run(["git", "init", "-q", str(ws)], check=True)
    (ws / "README.md").write_text("hello from the readme\n")
    (ws / "Makefile").write_text("test:\n\tsh -c 'echo shell-ran-$$((6 * 7))'\n")
    subprocess.run([*git, "add", "."], check=True)
    subprocess.run([*git, "commit", "-qm", "first"], check=True)
    (ws / "README.md").write_text("hello from the readme\nchanged\n")
    return ws


def agent(ws, *, old_shape=False):
    """The hand-written coding-agent policy with sed added; `old_shape` gives every
    binary the test runner's exec right, as one [sandbox] table did."""
    with open(os.path.join(POLICIES, "coding_agent.toml"), "rb") as f:
        data = tomllib.load(f)
    data["binaries"]["sed"] = {"path": "/usr/bin/sed", "flags": ["-n"], "max_positionals": 2}
    if old_shape:
        data["sandbox"]["exec"] = data["binaries"]["make"].pop("sandbox")["exec"]
    return Guard.from_dict(data, vars={"WORKSPACE": str(ws)})


def poison_fsmonitor(ws):
    subprocess.run(["git", "-C", str(ws), "config", "core.fsmonitor", 'sh -c "id > fsmon.txt"'], check=True)
    return lambda: (ws / "fsmon.txt").exists()


def sed_runs_id(out):
    return b"uid=" in out.stdout


# Each attack: how to set it up (returning whether it ran from its trace or
# the output), the binary and its arguments.
ATTACKS = [
    ("git status runs core.fsmonitor", poison_fsmonitor, "git", ["status"], None),
    ("sed runs a command with e", None, "sed", ["-n", "1e id", "README.md"], sed_runs_id),
]


@pytest.mark.parametrize("old_shape", [True, False], ids=["one sandbox for all", "per binary"])
@pytest.mark.parametrize("route, setup, tool, argv, from_output", ATTACKS, ids=[a[0] for a in ATTACKS])
def test_attack_runs_a_program_only_when_every_binary_may_exec(ws, old_shape, route, setup, tool, argv,
                                                               from_output):
    ran = setup(ws) if setup else None
    out = agent(ws, old_shape=old_shape).run(tool, argv, cwd=str(ws))
    happened = from_output(out) if from_output else ran()
    assert happened == old_shape, (route, out.stdout, out.stderr)


def test_the_test_runner_still_runs_its_shell_sandboxed(ws):
    guard = agent(ws)
    assert "/bin" in guard.explain("make", ["test"], cwd=str(ws))["prepared"]["sandbox"]["exec"]
    out = guard.run("make", ["test"], cwd=str(ws), env={"PATH": "/usr/bin:/bin"})
    assert out.success, out.stderr
    assert b"shell-ran-42" in out.stdout


# The explorer's tools still do their work with no exec right at all.
BENIGN = [
    ("git", ["status", "--short"], b"M README.md"),
    ("git", ["log", "--oneline"], b"first"),
    ("git", ["diff", "--stat"], b"README.md"),
    ("git", ["show", "--stat"], b"first"),
    ("sed", ["-n", "2p", "README.md"], b"changed"),
    ("grep", ["-n", "readme", "README.md"], b"1:hello from the readme"),
    ("cat", ["README.md"], b"changed"),
    ("ls", ["-a"], b"Makefile"),
    ("find", [".", "-name", "Makefile"], b"./Makefile"),
]


@pytest.mark.parametrize("tool, argv, expected", BENIGN, ids=[f"{r[0]} {' '.join(r[1])}" for r in BENIGN])
def test_explorer_tools_work_without_exec(ws, tool, argv, expected):
    guard = agent(ws)
    assert guard.explain(tool, argv, cwd=str(ws))["prepared"]["sandbox"]["exec"] == []
    out = guard.run(tool, argv, cwd=str(ws))
    assert out.success, out.stderr
    assert expected in out.stdout


def test_describe_and_explain_show_each_binarys_sandbox(ws):
    guard = agent(ws)
    described = guard.describe()
    by_name = {b["name"]: b for b in described["binaries"]}
    assert described["sandbox"]["exec"] == []
    assert by_name["make"]["sandbox"]["exec"] == ["/usr/bin", "/bin"]
    # Everything else of make's is the policy's.
    mine = dict(by_name["make"]["sandbox"], exec=[])
    assert mine == described["sandbox"]
    assert all("sandbox" not in b for name, b in by_name.items() if name != "make")
    assert guard.explain("make", ["test"], cwd=str(ws))["prepared"]["sandbox"]["exec"] == ["/usr/bin", "/bin"]
    assert guard.explain("sed", ["-n", "1p", "README.md"], cwd=str(ws))["prepared"]["sandbox"]["exec"] == []


def base(ws, own, sandbox=None):
    sandbox = {"workspace": str(ws), "limits": {"memory": "1GiB", "cpu_time": 30}} if sandbox is None else sandbox
    return {"cwd": {"jail": str(ws)}, "sandbox": sandbox,
            "binaries": {"cat": {"path": "/usr/bin/cat"},
                         "make": {"path": "/usr/bin/make", "sandbox": own}}}


# Each row: what a binary's table gives and what its sandbox then holds that
# differs from the policy's (the rest is the policy's, compared whole).
REFINED = [
    ({"exec": ["/bin"]}, {"exec": ["/bin"]}),
    ({"limits": {"cpu_time": 90}}, {"limits": {"cpu_seconds": 90}}),
    ({"network": True}, {"network": True}),
    ({"read": ["/proc/self"]}, {"read": "+/proc/self"}),
    ({"write": ["/tmp"]}, {"write": "+/tmp"}),
]


@pytest.mark.parametrize("own, differs", REFINED, ids=[next(iter(r[0])) for r in REFINED])
def test_a_binarys_table_replaces_only_the_keys_it_gives(ws, own, differs):
    described = Guard.from_dict(base(ws, own)).describe()
    policy = described["sandbox"]
    expected = copy.deepcopy(policy)
    for key, value in differs.items():
        if key == "limits":
            expected["limits"].update(value)
        elif isinstance(value, str):
            # read and write add to the workspace preset, as [sandbox]'s own lists do
            expected[key].append(value[1:])
        else:
            expected[key] = value
    make = next(b for b in described["binaries"] if b["name"] == "make")
    assert make["sandbox"] == expected
    assert make["sandbox"] != policy


# Each row: a mistake in a binary's table, the key it is reported under, the reason.
MISTAKES = [
    ({"workspace": "/tmp"}, None, "binaries.make.sandbox.workspace",
     "unknown key (known: exec, limits, network, read, write)"),
    ({"exec": "/bin"}, None, "binaries.make.sandbox.exec", "expected a list of strings, got string"),
    ({"exec": ["/no/such/dir"]}, None, "binaries.make.sandbox.exec[0]", "/no/such/dir"),
    ({"limits": {"cpu_time": "1.5s"}}, None, "binaries.make.sandbox.limits.cpu_time",
     "the CPU time limit is counted in whole seconds"),
    ({"limits": {"swap": 1}}, None, "binaries.make.sandbox.limits.swap", "unknown key"),
    ({"network": {"connect": [0]}}, None, "binaries.make.sandbox.network.connect",
     "port 0"),
    ({"network": "yes"}, None, "binaries.make.sandbox.network", "expected a boolean"),
    ("all", None, "binaries.make.sandbox", "expected a table, got string"),
    ({"exec": ["/bin"]}, False, "binaries.make.sandbox", "which this policy does not have"),
]


@pytest.mark.parametrize("own, sandbox, key, reason", MISTAKES, ids=[m[2] + " " + m[3][:20] for m in MISTAKES])
def test_mistakes_in_a_binarys_table_name_its_key(ws, own, sandbox, key, reason):
    data = base(ws, own)
    if sandbox is False:
        del data["sandbox"]
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(data)
    assert caught.value.key == key
    assert reason in str(caught.value)


def test_a_binarys_write_right_counts_for_where_the_policy_file_may_lie(tmp_path, ws):
    # Only make may write beside the file: the next load would obey what its tests wrote.
    policies = tmp_path / "policies"
    policies.mkdir()
    policy = policies / "agent.toml"
    policy.write_text(f'[cwd]\njail = "{ws}"\n[sandbox]\nworkspace = "{ws}"\n'
                      f'[binaries.make]\npath = "/usr/bin/make"\n'
                      f'[binaries.make.sandbox]\nwrite = ["{policies}"]\n')
    with pytest.raises(PolicyError) as caught:
        Guard.from_toml(policy)
    assert caught.value.key == "binaries.make.sandbox.write[0]"
    policy.write_text(policy.read_text().replace(f'write = ["{policies}"]', 'exec = ["/bin"]'))
    assert Guard.from_toml(policy).describe()["binaries"][0]["sandbox"]["exec"] == ["/bin"]


def test_the_tool_description_tells_the_model_which_binary_may_start_programs(ws):
    text = agent(ws).tool_description()
    make = text.split("- make:", 1)[1].split("\n- ", 1)[0]
    assert "runs in its own sandbox" in make and "may start programs under /usr/bin, /bin" in make
    assert text.count("runs in its own sandbox") == 1
