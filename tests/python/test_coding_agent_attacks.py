"""The coding-agent policy, attacked with real children: with sed added to the
hand-written one, sed's "e" command and a repository's core.fsmonitor run
nothing, while "make test" (whose recipe runs a shell) and pytest in the
workspace's virtual environment both work, inside the sandbox, each run with a
/tmp of its own. Each attack is shown to work under the old shape of the
policy, one [sandbox] whose exec served the test runners; the shipped agent,
made of packs, passes the same rows."""

import os
import subprocess
import sys

import pytest

import corvane
from corvane import Guard, Refused
from corvane.policy_file import tomllib

# The hand-written coding agent (one [binaries] table per tool, as the shipped
# one was before it was made of packs), whose tables these tests take apart.
HAND_WRITTEN = os.path.join(os.path.dirname(__file__), "..", "policies", "coding_agent.toml")

pytestmark = [
    pytest.mark.skipif(corvane.Sandbox.available()["landlock_abi"] == 0,
                       reason="the coding agent's sandbox needs Landlock"),
    pytest.mark.skipif(sys.prefix != sys.base_prefix,
                       reason="a venv made from inside a venv borrows the base's packages, without pytest"),
]

TEST_FILE = """\
import os
import sys


def test_runs_as_the_venv():
    assert sys.prefix.endswith(".venv")


def test_tmp_path_is_the_runs_private_directory(tmp_path):
    assert str(tmp_path).startswith(os.environ["TMPDIR"])
    (tmp_path / "f").write_text("x")


def test_tmp_itself_is_closed():
    try:
        open("/tmp/corvane-agent-probe", "w")
    except PermissionError:
        return
    raise AssertionError("/tmp was writable")
"""


@pytest.fixture(scope="module")
def ws(tmp_path_factory):
    """A repository with a commit, a Makefile whose test target runs a shell,
    tests, and a virtual environment made from this interpreter (its packages
    too, so pytest is there without installing anything)."""
    ws = tmp_path_factory.mktemp("agent") / "ws"
    ws.mkdir()
    git = ["git", "-C", str(ws), "-c", "user.name=t", "-c", "user.email=t@t"]
    subprocess.run(["git", "init", "-q", str(ws)], check=True)
    (ws / "README.md").write_text("hello from the readme\n")
    (ws / "Makefile").write_text("test:\n\tsh -c 'echo shell-ran-$$((6 * 7))'\n")
    (ws / "tests").mkdir()
    (ws / "tests" / "test_agent.py").write_text(TEST_FILE)
    subprocess.run([*git, "add", "."], check=True)
    subprocess.run([*git, "commit", "-qm", "first"], check=True)
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
                    str(ws / ".venv")], check=True)
    return ws


def agent(ws, *, old_shape=False):
    """The shipped policy with sed added; `old_shape` puts the test runners' exec
    right on the whole policy, as one [sandbox] table did."""
    with open(HAND_WRITTEN, "rb") as f:
        data = tomllib.load(f)
    data["binaries"]["sed"] = {"path": "/usr/bin/sed", "flags": ["-n"], "max_positionals": 2}
    # An interpreter installed outside the system's tree (pyenv's, say) reads its
    # standard library there: the venv's interpreter is given that to read.
    if not sys.base_prefix.startswith("/usr/"):
        data["binaries"]["python3"]["sandbox"]["read"] = [sys.base_prefix]
    if old_shape:
        data["sandbox"]["exec"] = data["binaries"]["make"].pop("sandbox")["exec"]
        data["sandbox"]["read"] = data["binaries"]["python3"].pop("sandbox").get("read", [])
    return Guard.from_dict(data, vars={"WORKSPACE": str(ws)})


@pytest.fixture
def fsmonitor(ws):
    subprocess.run(["git", "-C", str(ws), "config", "core.fsmonitor", 'sh -c "id > fsmon.txt"'], check=True)
    yield ws / "fsmon.txt"
    subprocess.run(["git", "-C", str(ws), "config", "--unset", "core.fsmonitor"], check=True)
    (ws / "fsmon.txt").unlink(missing_ok=True)


@pytest.mark.parametrize("old_shape", [True, False], ids=["old shape", "shipped"])
def test_sed_e_runs_a_program_only_in_the_old_shape(ws, old_shape):
    out = agent(ws, old_shape=old_shape).run("sed", ["-n", "1e id", "README.md"], cwd=str(ws))
    assert (b"uid=" in out.stdout) == old_shape, (out.stdout, out.stderr)


@pytest.mark.parametrize("old_shape", [True, False], ids=["old shape", "shipped"])
def test_git_fsmonitor_runs_a_program_only_in_the_old_shape(ws, fsmonitor, old_shape):
    agent(ws, old_shape=old_shape).run("git", ["status", "--short"], cwd=str(ws))
    assert fsmonitor.exists() == old_shape


# The test runners work under both shapes, and in the shipped one inside their own sandbox.
RUNNERS = [
    ("make test runs its recipe's shell", "make", ["test"], b"shell-ran-42"),
    ("pytest in the venv", "python3", ["-m", "pytest", "-q", "-p", "no:cacheprovider", "tests"], b"3 passed"),
]


@pytest.mark.parametrize("old_shape", [True, False], ids=["old shape", "shipped"])
@pytest.mark.parametrize("row, tool, argv, expected", RUNNERS, ids=[r[0] for r in RUNNERS])
def test_the_test_runners_work_sandboxed(ws, old_shape, row, tool, argv, expected):
    guard = agent(ws, old_shape=old_shape)
    prepared = guard.explain(tool, argv, cwd=str(ws))["prepared"]
    assert prepared["sandbox"]["exec"] == ["/usr/bin", "/bin"]
    assert prepared["sandbox"]["private_tmp"] is True
    out = guard.run(tool, argv, cwd=str(ws), env={"PATH": "/usr/bin:/bin"})
    assert out.exit_code == 0, (out.stdout, out.stderr)
    assert expected in out.stdout


def test_the_interpreter_is_allowed_for_pytest_only(ws):
    guard = agent(ws)
    for argv in (["-c", "print(1)"], ["-m", "pip"], ["-m", "pytest", "-p", "evil"],
                 ["-m", "pytest", "/etc"]):
        with pytest.raises(Refused):
            guard.check("python3", argv, cwd=str(ws))


# Each row: whether the workspace has a venv, and whether the policy then allows python3.
@pytest.mark.parametrize("with_venv", [True, False], ids=["venv there", "no venv yet"])
def test_an_optional_binary_is_left_out_while_its_file_is_missing(ws, tmp_path, with_venv):
    bare = tmp_path / "bare"
    bare.mkdir()
    guard = Guard.from_toml(HAND_WRITTEN, vars={"WORKSPACE": str(ws if with_venv else bare)})
    names = [b["name"] for b in guard.describe()["binaries"]]
    assert ("python3" in names) == with_venv
    assert "make" in names


def test_optional_must_be_a_boolean(ws):
    with pytest.raises(corvane.PolicyError) as caught:
        Guard.from_dict({"cwd": {"jail": str(ws)},
                         "binaries": {"cat": {"path": "/usr/bin/cat", "optional": "yes"}}})
    assert (caught.value.key, caught.value.reason) == ("binaries.cat.optional", "expected a boolean, got string")


# The shipped coding agent, made of packs, against the same attacks and runners.
SHIPPED = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "policies", "coding_agent.toml")


def shipped_agent(ws):
    with open(SHIPPED, "rb") as f:
        data = tomllib.load(f)
    if not sys.base_prefix.startswith("/usr/"):
        data["sandbox"]["read"] = [sys.base_prefix]
    return Guard.from_dict(data, vars={"WORKSPACE": str(ws)})


def test_the_shipped_agent_runs_no_program_through_sed_or_git_config(ws, fsmonitor):
    guard = shipped_agent(ws)
    with pytest.raises(Refused):
        guard.check("sed", ["-n", "1e id", "README.md"], cwd=str(ws))
    out = guard.run("git", ["status", "--short"], cwd=str(ws))
    assert out.exit_code == 0, out.stderr
    assert not fsmonitor.exists()


@pytest.mark.parametrize("row, tool, argv, expected", RUNNERS, ids=[r[0] for r in RUNNERS])
def test_the_shipped_agents_test_runners_work_sandboxed_with_a_private_tmp(ws, row, tool, argv, expected):
    guard = shipped_agent(ws)
    prepared = guard.explain(tool, argv, cwd=str(ws))["prepared"]
    assert prepared["sandbox"]["private_tmp"] is True
    assert prepared["sandbox"]["network"] is False
    out = guard.run(tool, argv, cwd=str(ws))
    assert out.exit_code == 0, (out.stdout, out.stderr)
    assert expected in out.stdout


def test_the_shipped_agents_interpreter_is_allowed_for_pytest_only(ws, tmp_path):
    guard = shipped_agent(ws)
    for argv in (["-c", "print(1)"], ["-m", "pip"], ["-m", "pytest", "-p", "evil"],
                 ["-m", "pytest", "/etc"]):
        with pytest.raises(Refused):
            guard.check("python3", argv, cwd=str(ws))
    # A project without a venv yet: the interpreter is left out, the rest loads.
    (tmp_path / "bare").mkdir()
    names = [b["name"] for b in shipped_agent(tmp_path / "bare").describe()["binaries"]]
    assert "python3" not in names and "make" in names
