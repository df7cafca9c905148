"""A sandbox per subcommand in policy files: [binaries.make.subcommands.test.sandbox]
refines make's own table, which refines [sandbox]. The rule set that allowed a
command decides which one it runs in, and describe()/explain() show it."""

import pytest

import corvane
from corvane import Guard, PolicyError

pytestmark = pytest.mark.skipif(corvane.Sandbox.available()["landlock_abi"] == 0,
                                reason="the sandbox needs Landlock")

SHELLS = ["/usr/bin", "/bin"]


@pytest.fixture
def ws(tmp_path):
    ws = tmp_path / "ws"
    ws.mkdir()
    # Both targets run the same shell line.
    (ws / "Makefile").write_text("test:\n\t@sh -c 'echo ran-$$((6*7))'\nlint: test\n")
    return ws


def policy(ws, make_box=None, test_box=None):
    make = {"path": "/usr/bin/make",
            "subcommands": {"test": {"max_positionals": 0}, "lint": {"max_positionals": 0}}}
    if make_box is not None:
        make["sandbox"] = make_box
    if test_box is not None:
        make["subcommands"]["test"]["sandbox"] = test_box
    return {"environment": {"mode": "fixed", "vars": {"PATH": "/usr/bin:/bin"}},
            "cwd": {"jail": str(ws)}, "sandbox": {"workspace": str(ws)},
            "binaries": {"make": make}}


# Each row: make's table, test's table, and whether each target's shell runs.
ROWS = [
    ("neither: the policy's, no exec", None, None, False, False),
    ("test's own opens exec for test alone", None, {"exec": SHELLS}, True, False),
    ("make's own for both", {"exec": SHELLS}, None, True, True),
    ("test's refines make's: limits only, exec kept", {"exec": SHELLS}, {"limits": {"processes": 64}},
     True, True),
    ("test's takes make's exec away", {"exec": SHELLS}, {"exec": []}, False, True),
]


@pytest.mark.parametrize("row, make_box, test_box, test_runs, lint_runs", ROWS, ids=[r[0] for r in ROWS])
def test_the_rule_set_that_allowed_decides_the_sandbox(ws, row, make_box, test_box, test_runs, lint_runs):
    guard = Guard.from_dict(policy(ws, make_box, test_box))
    for target, runs in (("test", test_runs), ("lint", lint_runs)):
        out = guard.run("make", [target], cwd=str(ws))
        assert (b"ran-42" in out.stdout) == runs, (target, out.stdout, out.stderr)
        exec_list = guard.explain("make", [target], cwd=str(ws))["prepared"]["sandbox"]["exec"]
        assert (exec_list == SHELLS) == runs


def test_describe_shows_each_rule_sets_own_sandbox(ws):
    described = Guard.from_dict(policy(ws, {"exec": SHELLS}, {"limits": {"processes": 64}})).describe()
    make = described["binaries"][0]
    sets = {s["subcommand"]: s for s in make["rule_sets"]}
    assert "sandbox" not in sets["lint"]  # it carries make's own, shown on the binary
    assert make["sandbox"]["exec"] == SHELLS
    assert sets["test"]["sandbox"]["exec"] == SHELLS
    assert sets["test"]["sandbox"]["limits"]["processes"] == 64
    assert make["sandbox"]["limits"]["processes"] != 64


# Each row: make's table, test's table, whether [sandbox] is there, the key and the reason.
MISTAKES = [
    (None, {"workspace": "/tmp"}, True, "binaries.make.subcommands.test.sandbox.workspace", "unknown key"),
    (None, {"exec": ["/no/such/dir"]}, True, "binaries.make.subcommands.test.sandbox.exec[0]", "/no/such/dir"),
    (None, {"limits": {"cpu_time": "1.5s"}}, True, "binaries.make.subcommands.test.sandbox.limits.cpu_time",
     "whole seconds"),
    # A mistake in make's own table is named there, even when test's refines it.
    ({"network": "yes"}, {"exec": []}, True, "binaries.make.sandbox.network", "expected a boolean"),
    (None, {"exec": []}, False, "binaries.make.subcommands.test.sandbox", "which this policy does not have"),
]


@pytest.mark.parametrize("make_box, test_box, with_policy_box, key, reason", MISTAKES, ids=[m[3] for m in MISTAKES])
def test_mistakes_name_the_subcommands_key(ws, make_box, test_box, with_policy_box, key, reason):
    data = policy(ws, make_box, test_box)
    if not with_policy_box:
        del data["sandbox"]
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(data)
    assert caught.value.key == key
    assert reason in caught.value.reason
