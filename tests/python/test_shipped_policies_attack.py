"""The shipped policies' [binaries] attacked the way a hostile agent would:
absolute paths, "..", symbolic links, "-C", git's implicit "diff --no-index",
"--" tricks, options smuggled through values, and options that run other
programs or write files. Each policy's rules are put over a workspace built
here (a git repository beside a secret and a link pointing at it), so that
every route has something real to reach.

The shipped policies are made of packs; the hand-written ones they replaced
(tests/policies, one [binaries] table per tool) face the same rows. Every
attack is refused, or allowed and contained, with the reason. Where a row
attacks a rule key, the same attack runs with that key taken out of the
hand-written explorer (which has no sandbox) and is shown to work."""

import copy
import os
import subprocess
import tarfile

import pytest

import corvane
from corvane import Guard, Refused
from corvane.policy_file import PolicyError, tomllib

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "policies")
HAND_WRITTEN = os.path.join(os.path.dirname(__file__), "..", "policies")
EXPLORER, AGENT = os.path.join(EXAMPLES, "code_explorer.toml"), os.path.join(EXAMPLES, "coding_agent.toml")
HAND_EXPLORER, HAND_AGENT = (os.path.join(HAND_WRITTEN, "code_explorer.toml"),
                             os.path.join(HAND_WRITTEN, "coding_agent.toml"))
SHIPPED = [EXPLORER, AGENT, HAND_EXPLORER, HAND_AGENT]
SHIPPED_IDS = ["explorer", "agent", "hand-written explorer", "hand-written agent"]
SECRET = "s3cret-outside-the-jail"


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    """ws/ is the jail, a git repository; outside/secret lies beside it, and
    ws/escape and ws/escape_dir are links that lead to it."""
    root = tmp_path_factory.mktemp("attack")
    ws, outside = root / "ws", root / "outside"
    (ws / "src").mkdir(parents=True)
    outside.mkdir()
    (outside / "secret").write_text(SECRET + "\n")
    (ws / "notes.txt").write_text("notes\n")
    (ws / "src" / "a.txt").write_text("a\n")
    (ws / "escape").symlink_to(outside / "secret")
    (ws / "escape_dir").symlink_to(outside)
    subprocess.run(["git", "init", "-q", str(ws)], check=True)
    return root


def policy_data(path, world):
    """The file as a mapping, its rules untouched, its jail (and sandbox
    workspace) moved to the test's workspace."""
    with open(path, "rb") as f:
        data = tomllib.load(f)
    data["cwd"] = {"jail": str(world / "ws")}
    if "sandbox" in data:
        data["sandbox"] = dict(data["sandbox"], workspace=str(world / "ws"))
    return data


def shipped(path, world, *, without=()):
    """The policy in `path`; `without` names rule keys to take out, as
    (binary, subcommand or None, key), to run an attack with a feature off."""
    if path != HAND_EXPLORER and corvane.Sandbox.available()["landlock_abi"] == 0:
        pytest.skip("the policy's sandbox needs Landlock")
    data = policy_data(path, world)
    for binary, sub, key in without:
        table = data["binaries"][binary]
        if sub is not None:
            table = table["subcommands"][sub]
        del table[key]
    return Guard.from_dict(data, vars={"WORKSPACE": str(world / "ws")})


def kind_of(guard, tool, argv):
    with pytest.raises(Refused) as caught:
        guard.check(f"/usr/bin/{tool}", argv)
    return caught.value.kind


OUT = "{outside}"  # replaced by the outside directory's absolute path

# (route, tool, argv, kind): refused by both shipped policies.
REFUSED = [
    # Absolute paths.
    ("absolute", "cat", [OUT + "/secret"], "PathOutsideJail"),
    ("absolute", "head", ["-n", "5", OUT + "/secret"], "PathOutsideJail"),
    ("absolute", "grep", ["-r", "s3cret", "/"], "PathOutsideJail"),
    ("absolute", "ls", ["-la", OUT], "PathOutsideJail"),
    ("absolute", "find", [OUT, "-name", "secret"], "PathOutsideJail"),
    ("absolute", "git", ["status", "/etc"], "PathOutsideJail"),
    ("absolute", "git", ["log", "-p", OUT + "/secret"], "PathOutsideJail"),
    # Climbing out.
    ("dotdot", "cat", ["../outside/secret"], "PathOutsideJail"),
    ("dotdot", "find", ["..", "-name", "secret"], "PathOutsideJail"),
    ("dotdot", "git", ["diff", "../outside/secret", "notes.txt"], "PathOutsideJail"),
    # Symbolic links inside the jail that lead out of it.
    ("symlink", "cat", ["escape"], "PathOutsideJail"),
    ("symlink", "head", ["-5", "escape"], "PathOutsideJail"),
    ("symlink", "ls", ["escape_dir/"], "PathOutsideJail"),
    ("symlink", "grep", ["-r", "s3cret", "escape_dir"], "PathOutsideJail"),
    ("symlink", "find", ["escape_dir", "-type", "f"], "PathOutsideJail"),
    ("symlink", "find", [".", "-newer", "escape"], "PathOutsideJail"),
    ("symlink", "git", ["diff", "escape_dir/secret", "notes.txt"], "PathOutsideJail"),
    # Moving the program: no shipped rule set declares a -C, so none is read as one.
    ("-C", "git", ["-C", OUT, "status"], "SubcommandNotAllowed"),
    ("-C", "git", ["--git-dir=" + OUT, "log"], "SubcommandNotAllowed"),
    ("-C", "grep", ["-C", OUT, "x", "notes.txt"], "ValueNotAllowed"),  # grep's -C is a context length
    # git reads a path outside the work tree as "diff --no-index" and prints it.
    ("no-index", "git", ["diff", OUT + "/secret", "/dev/null"], "PathOutsideJail"),
    ("no-index", "git", ["diff", "--", OUT + "/secret", "/dev/null"], "PathOutsideJail"),
    ("no-index", "git", ["diff", "--stat", "notes.txt", OUT + "/secret"], "PathOutsideJail"),
    ("no-index", "git", ["diff", "--no-index", "notes.txt", "src/a.txt"], "FlagNotAllowed"),
    # "--" tricks: find reads its expression as options after "--"; a "--"
    # where a value belongs would make the rest options; after a real "--"
    # paths are still paths.
    ("dashes", "find", ["--", ".", "-maxdepth", "0", "-exec", "sh", "-c", "id", ";"], "FlagNotAllowed"),
    ("dashes", "find", ["--", ".", "-delete"], "FlagNotAllowed"),
    ("dashes", "find", [".", "-name", "--", "-delete"], "ValueMissing"),
    ("dashes", "grep", ["-e", "--", "--include=x", OUT], "ValueMissing"),
    ("dashes", "git", ["log", "-n", "--", "--output=/tmp/x"], "ValueMissing"),
    ("dashes", "cat", ["--", OUT + "/secret"], "PathOutsideJail"),
    ("dashes", "git", ["log", "--", OUT], "PathOutsideJail"),
    # Options smuggled through values.
    ("value", "grep", ["--include=../../*", "-r", "x"], "ValueNotAllowed"),
    ("value", "grep", ["-m", "1 --files-with-matches", "x"], "ValueNotAllowed"),
    ("value", "grep", ["-rne--version", "x"], "FlagNotAllowed"),
    ("value", "find", [".", "-maxdepth", "-exec"], "ValueNotAllowed"),
    ("value", "find", [".", "-type", "f,d"], "ValueNotAllowed"),
    ("value", "git", ["log", "--format=format:%H"], "ValueNotAllowed"),
    ("value", "head", ["-n", "-5"], "ValueNotAllowed"),
    # Options that run other programs or write files.
    ("runs/writes", "find", [".", "-exec", "id", ";"], "FlagNotAllowed"),
    ("runs/writes", "find", [".", "-execdir", "id", ";"], "FlagNotAllowed"),
    ("runs/writes", "find", [".", "-fprint", "out"], "FlagNotAllowed"),
    ("runs/writes", "find", ["-L", "."], "FlagNotAllowed"),
    ("runs/writes", "grep", ["-f", OUT + "/secret", "notes.txt"], "FlagNotAllowed"),
    ("runs/writes", "git", ["diff", "--output=out.txt"], "FlagNotAllowed"),
    ("runs/writes", "git", ["diff", "--ext-diff"], "FlagNotAllowed"),
    ("runs/writes", "git", ["log", "--textconv", "-p"], "FlagNotAllowed"),
    ("runs/writes", "git", ["-c", "core.pager=sh", "log"], "SubcommandNotAllowed"),
    ("runs/writes", "git", ["commit", "-m", "x"], "SubcommandNotAllowed"),
    ("runs/writes", "ls", ["--color=always", "-l"], "FlagNotAllowed"),
]

# Where the policies made of packs decide a REFUSED row otherwise, by route
# and argv: the kind they refuse it with, or None where a pack allows it on
# purpose (and says why), per file.
PACKS_DECIDE = {
    # git-read reads -C as a directory to move to, which must lie in the jail.
    ("-C", "git -C {outside} status"): {EXPLORER: "PathOutsideJail", AGENT: "PathOutsideJail"},
    ("-C", "git --git-dir={outside} log"): {EXPLORER: "FlagNotAllowed", AGENT: "FlagNotAllowed"},
    # -c takes a few display settings only.
    ("runs/writes", "git -c core.pager=sh log"): {EXPLORER: "ValueNotAllowed", AGENT: "ValueNotAllowed"},
    # --format only chooses what log prints; "-n -5" is all lines but the last five.
    ("value", "git log --format=format:%H"): {EXPLORER: None, AGENT: None},
    ("value", "head -n -5"): {EXPLORER: None, AGENT: None},
    # The agent commits (git-write), with hooks unable to start.
    ("runs/writes", "git commit -m x"): {AGENT: None},
}

# The coding agent's test runner, and the explorer, which has none.
MAKE_REFUSED = [
    (["-C", OUT, "test"], "SubcommandNotAllowed"),
    (["test", "-C", OUT], "FlagNotAllowed"),
    (["-f", "evil.mk", "test"], "SubcommandNotAllowed"),
    (["test", "SHELL=/bin/sh"], "TooManyPositionals"),
    (["test", "--", "-f", "evil.mk"], "TooManyPositionals"),
    (["--eval=x:", "test"], "SubcommandNotAllowed"),
]

# Allowed, with what bounds them.
CONTAINED = [
    ("git", ["diff", "HEAD~1", "--stat"],
     "a revision names nothing on disk, so it passes the path check; git reads only the repository"),
    ("git", ["show", "HEAD:src/a.txt"], "a path inside a revision stays in the repository's objects"),
    ("git", ["log", "-p", "-n", "3"],
     "git runs what the repository's own config names (diff.external, core.fsmonitor): no allowed "
     "command of the explorer writes a file, and the coding agent's every command is sandboxed"),
    ("find", [".", "-name", "-exec"], "a value is never read as an option"),
    ("grep", ["-e", "--version", "-r", "."], "a pattern given with -e is never an option"),
]


def fill(argv, world):
    return [a.replace(OUT, str(world / "outside")) for a in argv]


@pytest.mark.parametrize("path", SHIPPED, ids=SHIPPED_IDS)
@pytest.mark.parametrize("route, tool, argv, kind", REFUSED,
                         ids=[f"{r[0]}:{r[1]} {' '.join(r[2])}" for r in REFUSED])
def test_shipped_policy_refuses(world, path, route, tool, argv, kind):
    kind = PACKS_DECIDE.get((route, " ".join([tool, *argv])), {}).get(path, kind)
    guard = shipped(path, world)
    if kind is None:
        prepared = guard.check(f"/usr/bin/{tool}", fill(argv, world))
        assert [a for a in prepared.argv if a != "--"] == fill(argv, world)
    else:
        assert kind_of(guard, tool, fill(argv, world)) == kind


# The same rows against the agent made of packs, whose make takes named targets.
MAKE_REFUSED_BY_PACKS = [
    (["-C", OUT, "test"], "FlagNotAllowed"),
    (["test", "-C", OUT], "FlagNotAllowed"),
    (["-f", "evil.mk", "test"], "FlagNotAllowed"),
    (["test", "SHELL=/bin/sh"], "PositionalNotAllowed"),
    (["test", "--", "-f", "evil.mk"], "PositionalNotAllowed"),
    (["--eval=x:", "test"], "FlagNotAllowed"),
]


@pytest.mark.parametrize("agent, rows", [(HAND_AGENT, MAKE_REFUSED), (AGENT, MAKE_REFUSED_BY_PACKS)],
                         ids=["hand-written", "packs"])
def test_shipped_test_runner_is_make_test_only(world, agent, rows):
    for argv, kind in rows:
        assert kind_of(shipped(agent, world), "make", fill(argv, world)) == kind, argv
    for explorer in (EXPLORER, HAND_EXPLORER):
        assert kind_of(shipped(explorer, world), "make", ["test"]) == "BinNotAllowed"


@pytest.mark.parametrize("agent", [AGENT, HAND_AGENT], ids=["packs", "hand-written"])
def test_shipped_test_runner_is_contained_by_the_sandbox(world, agent):
    # make test runs the project's code, which the agent may have written: the
    # rules cannot bound it, the sandbox does (test_guard attacks it through a Makefile).
    agent = shipped(agent, world)
    assert [a for a in agent.check("/usr/bin/make", ["test"]).argv if a != "--"] == ["test"]
    assert agent.sandbox is not None and agent.describe()["sandbox"]["network"] is False
    assert str(world / "ws") in agent.describe()["sandbox"]["write"]


@pytest.mark.parametrize("path", SHIPPED, ids=SHIPPED_IDS)
@pytest.mark.parametrize("tool, argv, reason", CONTAINED, ids=[f"{r[0]} {' '.join(r[1])}" for r in CONTAINED])
def test_shipped_policy_allows_contained(world, path, tool, argv, reason):
    prepared = shipped(path, world).check(f"/usr/bin/{tool}", argv)
    assert [a for a in prepared.argv if a != "--"] == argv, reason


# ---------------------------------------------------------------------------
# The attacks on the new rule keys, with the key taken out and with it in.

FIND_SHELL = ["--", ".", "-maxdepth", "0", "-exec", "sh", "-c", "echo pwned", ";"]


@pytest.mark.parametrize("route, without, tool, argv, leak", [
    ("find reads options after --", [("find", None, "double_dash")], "find", FIND_SHELL, b"pwned"),
    ("git diff outside is --no-index", [("git", "diff", "path_positionals")], "git",
     ["diff", OUT + "/secret", "/dev/null"], SECRET.encode()),
    ("git diff through a link", [("git", "diff", "path_positionals")], "git",
     ["diff", "escape_dir/secret", "/dev/null"], SECRET.encode()),
])
def test_attack_runs_without_the_key_and_is_refused_with_it(world, route, without, tool, argv, leak):
    argv = fill(argv, world)
    # The hand-written explorer has no sandbox: the rules are all that stands in the way.
    weakened = shipped(HAND_EXPLORER, world, without=without)
    out = weakened.run(f"/usr/bin/{tool}", argv)
    assert leak in out.stdout, (route, out.stdout, out.stderr)
    for path in SHIPPED:
        with pytest.raises(Refused):
            shipped(path, world).check(f"/usr/bin/{tool}", argv)


def tar_policy(world, *, moves):
    dir_rule = {"attached": True, "changes_directory": True} if moves else {"attached": True, "path": True}
    return Guard.from_dict({
        "cwd": {"jail": str(world / "ws")},
        "binaries": {"tar": {"path": "/usr/bin/tar", "flags": ["-c"], "path_positionals": True,
                             "value_flags": {"-f": {"path": True}, "-C": dir_rule}}},
    })


def test_directory_moving_value_judges_paths_from_where_it_moves(world, tmp_path):
    # The agent works in src/: "../outside/secret" from there is inside the
    # jail, but tar reads it from the jail's root after -C.
    archive = world / "ws" / "src" / "out.tar"
    argv = ["-c", "-f", "out.tar", "-C", str(world / "ws"), "../outside/secret"]
    out = tar_policy(world, moves=False).run("/usr/bin/tar", argv, cwd=str(world / "ws" / "src"))
    try:
        assert out.success, out.stderr
        with tarfile.open(archive) as tar:
            assert tar.extractfile(tar.getmembers()[0]).read().decode().strip() == SECRET
    finally:
        archive.unlink(missing_ok=True)
    with pytest.raises(Refused) as caught:
        tar_policy(world, moves=True).check("/usr/bin/tar", argv, cwd=str(world / "ws" / "src"))
    assert (caught.value.kind, caught.value.index) == ("PathOutsideJail", 5)
    assert "where -C moves it" in str(caught.value)


@pytest.mark.parametrize("change, key, reason", [
    ({"double_dash": "sometimes"}, "binaries.find.double_dash",
     "unknown reading 'sometimes' (known: ends_options, options_continue, argument)"),
    ({"double_dash": True}, "binaries.find.double_dash", "expected a string, got boolean"),
    ({"inject_double_dash": True}, "binaries.find",
     "inject_double_dash protects nothing when the program reads \"--\" as options_continue"),
    ({"value_flags": {"-C": {"changes_directory": "yes"}}}, "binaries.find.value_flags.-C.changes_directory",
     "expected a boolean, got string"),
])
def test_rule_keys_are_checked(world, change, key, reason):
    data = policy_data(HAND_EXPLORER, world)
    data["binaries"]["find"].update(copy.deepcopy(change))
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(data)
    assert (caught.value.key, caught.value.reason) == (key, reason)
