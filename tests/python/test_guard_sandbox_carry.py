"""A command checked by a policy with a sandbox carries that sandbox: every way of
running it applies it, another sandbox is refused, and corvane.Sandbox takes
only arguments of the right type (a string is not a switch)."""

import asyncio
import pathlib

import pytest

import _corvane
import corvane
from corvane import Guard, Sandbox


needs_landlock = pytest.mark.skipif(Sandbox.available()["landlock_abi"] == 0,
                                    reason="this kernel has no Landlock")

ATTACK = ["-n", "1e id", "data.txt"]  # sed's `e` runs its argument with a shell


pytestmark = pytest.mark.usefixtures("no_leaks")


@pytest.fixture
def workspace(tmp_path):
    (tmp_path / "data.txt").write_text("hello\n")
    return tmp_path


def sed_guard(workspace, sandboxed):
    policy = {
        "cwd": {"fixed": str(workspace)},
        "environment": {"mode": "fixed", "vars": {"PATH": "/usr/bin:/bin"}},
        "binaries": {"sed": {"path": "/usr/bin/sed", "flags": ["-n"], "max_positionals": 2}},
    }
    if sandboxed:
        policy["sandbox"] = {"workspace": str(workspace)}
    return Guard.from_dict(policy)


# Every route from a Guard to a running command.
ROUTES = {
    "Guard.run": lambda g: g.run("/usr/bin/sed", ATTACK),
    "Guard.arun": lambda g: asyncio.run(g.arun("/usr/bin/sed", ATTACK)),
    "check().spawn_sync()": lambda g: g.check("/usr/bin/sed", ATTACK).spawn_sync(),
    "corvane.run(check())": lambda g: corvane.run(g.check("/usr/bin/sed", ATTACK)),
    "corvane.run(check(), sandbox=guard.sandbox)":
        lambda g: corvane.run(g.check("/usr/bin/sed", ATTACK), sandbox=g.sandbox),
    "corvane.arun(check())": lambda g: asyncio.run(corvane.arun(g.check("/usr/bin/sed", ATTACK))),
}


@needs_landlock
@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("sandboxed", [False, True], ids=["no sandbox", "sandbox"])
def test_every_route_runs_a_checked_command_in_its_policys_sandbox(workspace, route, sandboxed):
    # Without a sandbox in the policy the attack works on every route: the rows
    # with one show that each route, not only Guard.run, stops it.
    out = ROUTES[route](sed_guard(workspace, sandboxed))
    assert (b"uid=" in out.stdout) == (not sandboxed), (route, out.stdout, out.stderr)


@needs_landlock
@pytest.mark.parametrize("run", ["run", "arun"])
def test_another_sandbox_is_refused_for_a_checked_command(workspace, run):
    guard = sed_guard(workspace, sandboxed=True)
    # Wider than the policy's: it would let sed execute the shell.
    wider = Sandbox.workspace(workspace, exec=["/usr/bin", "/bin"])
    with pytest.raises(ValueError) as caught:
        if run == "run":
            corvane.run(guard.check("/usr/bin/sed", ATTACK), sandbox=wider)
        else:
            asyncio.run(corvane.arun(guard.check("/usr/bin/sed", ATTACK), sandbox=wider))
    assert str(caught.value) == ("argument 'sandbox': the command carries the sandbox of the "
                                 "policy that checked it and runs in no other")
    # One built from the same description is the same sandbox.
    same = Sandbox.workspace(workspace)
    assert b"uid=" not in corvane.run(guard.check("/usr/bin/sed", ATTACK), sandbox=same).stdout
    # A command of a policy without one still takes any sandbox.
    plain = sed_guard(workspace, sandboxed=False).check("/usr/bin/sed", ATTACK)
    assert b"uid=" not in corvane.run(plain, sandbox=same).stdout


def test_the_checked_command_looks_the_same_as_before(workspace):
    # The sandbox rides inside the command: _corvane's class, repr and methods are unchanged.
    if Sandbox.available()["landlock_abi"] == 0:
        pytest.skip("this kernel has no Landlock")
    prepared = sed_guard(workspace, sandboxed=True).check("/usr/bin/sed", ATTACK)
    assert type(prepared) is _corvane.PreparedCommand
    assert repr(prepared) == "PreparedCommand('/usr/bin/sed', [\"-n\", \"--\", \"1e id\", \"data.txt\"])"
    assert [n for n in dir(prepared) if not n.startswith("_")] == ["argv", "bin", "cwd", "spawn_sync"]


# Each argument of Sandbox with a value of the wrong type (a string where a switch
# belongs turned the protection off: bool("false") is True), and the error it raises.
BAD_ARGUMENTS = [
    (dict(network="false"), TypeError, "network: expected a bool, not str"),
    (dict(keep_background="false"), TypeError, "keep_background: expected a bool, not str"),
    (dict(best_effort="no"), TypeError, "best_effort: expected a bool, not str"),
    (dict(network=0), TypeError, "network: expected a bool, not int"),
    (dict(read=b"/usr"), TypeError, "read: expected a list of paths, not one path"),
    (dict(write=pathlib.Path("/tmp")), TypeError, "write: expected a list of paths, not one path"),
    (dict(exec=None), TypeError, "exec: expected a list of paths, not NoneType"),
    (dict(read=["/usr", 7]), TypeError, "read[1]: expected a path (str, bytes or os.PathLike), not int"),
    (dict(memory=True), TypeError, "memory: expected an int or None, not bool"),
    (dict(cpu_seconds=1.5), TypeError, "cpu_seconds: expected an int or None, not float"),
    (dict(processes="256"), TypeError, "processes: expected an int or None, not str"),
    (dict(file_size=-1), ValueError, "file_size: must not be negative"),
    (dict(open_files=2**64), ValueError, "open_files: must be below 2**64"),
]


@pytest.mark.parametrize("options, error, message", BAD_ARGUMENTS,
                         ids=[next(iter(o)) + "=" + repr(next(iter(o.values()))) for o, _, _ in BAD_ARGUMENTS])
@pytest.mark.parametrize("make", ["Sandbox", "Sandbox.workspace"])
def test_a_wrong_argument_raises_and_names_itself(tmp_path, make, options, error, message):
    with pytest.raises(error) as caught:
        if make == "Sandbox":
            Sandbox(**options)
        else:
            Sandbox.workspace(tmp_path, **options)
    assert str(caught.value) == message


def test_the_right_types_are_taken_as_given(tmp_path):
    box = Sandbox.workspace(str(tmp_path).encode(), read=(p for p in [pathlib.Path("/usr")]),
                            exec=[b"/bin"], network=True, keep_background=False,
                            best_effort=True, memory=None, open_files=64)
    assert box.read[-1] == "/usr" and box.exec == ("/bin",) and box.write[0] == str(tmp_path)
    assert (box.network, box.keep_background, box.best_effort) == (True, False, True)
    assert box.limits["memory"] is None and box.limits["open_files"] == 64
    with pytest.raises(TypeError) as caught:
        Sandbox.workspace(5)
    assert str(caught.value) == "path: expected a path (str, bytes or os.PathLike), not int"
