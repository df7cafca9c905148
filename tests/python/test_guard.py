"""corvane.Guard: refusals carry the core's kind, index and fields; the
smuggling attacks that pass the lexical rules fail under value flags; run,
arun, describe and explain; and the attacks against each example policy."""

import asyncio
import os

import pytest

import corvane
from corvane import ArgRules, Guard, InjectDoubleDash, ProcPolicyBuilder, ProcRequest, Refused

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLES = os.path.join(ROOT, "examples", "policies")
# The hand-written policies the shipped ones (made of packs) replaced: one
# [binaries] table per tool, and no sandbox for the explorer.
HAND_WRITTEN = os.path.join(ROOT, "tests", "policies")

TAR = {
    "path": "/usr/bin/tar",
    "flags": ["-c", "c"],
    "value_flags": ["-f", "f"],
    "first_arg_bundle": True,
    "max_flags": 4,
    "max_positionals": 4,
}


def refusal(guard, bin, argv, **kwargs):
    with pytest.raises(Refused) as caught:
        guard.check(bin, argv, **kwargs)
    return caught.value


def test_tar_checkpoint_smuggle_runs_under_lexical_rules_and_is_refused_by_guard(tmp_path):
    attack = ["-c", "-f", "--", "--checkpoint=1", "--checkpoint-action=exec=touch PWNED", "/etc/hostname"]
    # The lexical rules allow exactly -c and -f, yet tar runs the command.
    policy = (ProcPolicyBuilder().allow_bin("/usr/bin/tar").cwd(str(tmp_path))
              .arg_rules("/usr/bin/tar", ArgRules().allowed_flags(["-c", "-f"]).max_flags(6)
                         .max_positionals(6).inject_double_dash(InjectDoubleDash.AfterFlags))
              .build())
    policy.prepare(ProcRequest("/usr/bin/tar", attack)).spawn_sync()
    assert (tmp_path / "PWNED").exists()
    (tmp_path / "PWNED").unlink()

    guard = Guard.from_dict({"binaries": {"tar": TAR}, "cwd": {"fixed": str(tmp_path)}})
    err = refusal(guard, "/usr/bin/tar", attack)
    assert (str(err), err.kind, err.index, err.fields) == (
        'flag -f takes a value, but "--" follows it', "ValueMissing", 2, {"flag": "-f"})
    assert not (tmp_path / "PWNED").exists()
    # The honest request still works, with "--" after the archive's name.
    (tmp_path / "dir").mkdir()
    assert guard.check("/usr/bin/tar", ["cf", "out.tar", "dir"]).argv == ["cf", "out.tar", "--", "dir"]


@pytest.mark.parametrize(
    "bin, argv, kind, index, fields",
    [
        ("/usr/bin/grep", ["-e", "--", "--version"], "ValueMissing", 1, {"flag": "-e"}),
        ("/usr/bin/grep", ["-e"], "ValueMissing", 0, {"flag": "-e"}),
        ("/usr/bin/grep", ["-rz", "x"], "FlagNotAllowed", 0, {"flag": "-z"}),
        ("/usr/bin/git", ["-C", "status", "gc"], "SubcommandNotAllowed", 0,
         {"got": "-C", "allowed": "status, log -n"}),
        ("/usr/bin/git", [], "SubcommandNotAllowed", None, {"got": None, "allowed": "status, log -n"}),
        ("/usr/bin/git", ["status", "-s", "-s"], "TooManyFlags", 2, {"max": 1, "got": 2}),
        ("/usr/bin/cat", ["-", "/etc/passwd"], "PathOutsideJail", 1,
         {"path": "/etc/passwd", "reason": "resolves to /etc/passwd"}),
        ("/usr/bin/ls", [], "BinNotAllowed", None, {"requested": "/usr/bin/ls", "resolved": "/usr/bin/ls"}),
        # A Guard reads a relative binary as a name, and this is none of the policy's.
        ("usr/bin/ls", [], "BinNotAllowed", None, {"requested": "usr/bin/ls", "resolved": None}),
    ],
)
def test_refusals_carry_kind_index_and_fields(tmp_path, bin, argv, kind, index, fields):
    (tmp_path / "a" / "b").mkdir(parents=True)
    guard = Guard.from_dict({
        "cwd": {"jail": str(tmp_path), "default": str(tmp_path / "a" / "b")},
        "binaries": {
            "grep": {"path": "/usr/bin/grep", "flags": ["-r", "-n"], "value_flags": ["-e"], "bundles": True},
            "git": {"path": "/usr/bin/git", "subcommands": {"status": {"flags": ["-s"], "max_flags": 1},
                                                              "log -n": {}}},
            "cat": {"path": "/usr/bin/cat", "path_positionals": True},
        },
    })
    err = refusal(guard, bin, argv)
    assert (err.kind, err.index, err.fields) == (kind, index, fields)
    assert guard.explain(bin, argv)["message"] == str(err)


def test_run_arun_describe_and_explain(tmp_path):
    (tmp_path / "notes.txt").write_text("hello\n")
    guard = Guard.from_dict({
        "cwd": {"jail": str(tmp_path)},
        "environment": {"mode": "fixed", "vars": {"LANG": "C"}},
        "on_output_limit": "kill",
        "binaries": {"cat": {"path": "/usr/bin/cat", "flags": ["-n"], "max_flags": 1, "max_positionals": 2,
                             "path_positionals": True},
                     "git": {"path": "/usr/bin/git",
                             "subcommands": {"log": {"value_flags": {"--format": {"attached": True,
                                                                                  "one_of": ["oneline"]}}}}}},
    })
    assert guard.run("/usr/bin/cat", ["-n", "notes.txt"]).stdout == b"     1\thello\n"
    assert asyncio.run(guard.arun("/usr/bin/cat", ["notes.txt"])).stdout == b"hello\n"
    with pytest.raises(Refused, match="path outside the working directory jail"):
        guard.run("/usr/bin/cat", ["/etc/hostname"])

    described = guard.describe()
    assert described["binaries"][1] == {
        "name": "git", "path": "/usr/bin/git", "subcommands": ["log"],
        "rule_sets": [{"subcommand": "log", "flags": [],
                       "value_flags": [{"name": "--format", "attached": True, "one_of": ["oneline"],
                                        "pattern": None, "path": False, "changes_directory": False}],
                       "max_flags": 32, "max_positionals": 32, "numeric_flags": False, "bundles": False,
                       "first_arg_bundle": False, "path_positionals": False, "inject_double_dash": True,
                       "double_dash": "ends_options"}]}
    assert (described["timeout"], described["on_output_limit"], described["sandbox"]) == (30.0, "kill", None)
    described["binaries"].clear()
    assert guard.describe()["binaries"], "describe() hands out a copy"

    allowed = guard.explain("/usr/bin/git", ["log", "--format=oneline", "x"])
    assert allowed == {
        "allowed": True, "message": "allowed by rule set 'log' of /usr/bin/git", "kind": None, "index": None,
        "fields": {}, "stage": "allowed", "rules": "command_rules", "rule_set": "log", "binary": "/usr/bin/git",
        "tokens": [{"index": 0, "token": "log", "role": "subcommand"},
                   {"index": 1, "token": "--format=oneline", "role": "flag with value"},
                   {"index": 2, "token": "x", "role": "positional"}],
        "prepared": {"bin": "/usr/bin/git", "argv": ["log", "--format=oneline", "--", "x"],
                     "cwd": str(tmp_path), "env": ["LANG"]}}
    refused = guard.explain("/usr/bin/git", ["log", "--format=%H%n"])
    assert (refused["allowed"], refused["kind"], refused["index"], refused["stage"], refused["prepared"]) == (
        False, "ValueNotAllowed", 1, "arguments", None)
    assert refused["message"] == 'value not allowed for --format: "%H%n" (allowed: oneline)'
    with pytest.raises(TypeError):
        guard.check("/usr/bin/cat", "notes.txt")
    with pytest.raises(TypeError):
        Guard()


# Each example policy against the same classes of attack: a value flag that
# swallows "--", options after a value, moved subcommands, paths outside the
# workspace, and the dangerous options that are simply not listed.
ATTACKS = [
    ("grep", ["-e", "--", "--version"], "ValueMissing"),
    ("grep", ["-e", "x", "--include=*.py", "-f", "/etc/shadow"], "FlagNotAllowed"),
    ("grep", ["-rn", "x", "/etc"], "PathOutsideJail"),
    ("grep", ["-m", "--", "x"], "ValueMissing"),
    ("find", [".", "-name", "--", "-delete"], "ValueMissing"),
    ("find", [".", "-name", "x", "-exec", "id", ";"], "FlagNotAllowed"),
    ("find", [".", "-delete"], "FlagNotAllowed"),
    ("find", ["/", "-name", "shadow"], "PathOutsideJail"),
    ("find", [".", "-newer", "/etc/shadow"], "PathOutsideJail"),
    ("find", ["-L", "."], "FlagNotAllowed"),
    ("git", ["-C", "/", "status"], "SubcommandNotAllowed"),
    ("git", ["-c", "core.pager=id", "log"], "SubcommandNotAllowed"),
    ("git", ["log", "--output=/tmp/x"], "FlagNotAllowed"),
    ("git", ["log", "-n", "--", "--output=/tmp/x"], "ValueMissing"),
    ("git", ["diff", "--no-index", "/etc/passwd", "x"], "FlagNotAllowed"),
    ("git", ["push"], "SubcommandNotAllowed"),
    ("git", ["status", "../../.."], "PathOutsideJail"),
    ("cat", ["/etc/passwd"], "PathOutsideJail"),
    ("cat", ["../../../../etc/passwd"], "PathOutsideJail"),
    ("ls", ["-la", "/"], "PathOutsideJail"),
    ("head", ["-n", "--", "/etc/passwd"], "ValueMissing"),
]
# Where the shipped policies, made of packs, refuse otherwise: git reads -C as
# a directory to move to, which must be in the jail, and -c only with a few
# display settings.
PACKS_REFUSE = {
    ("git", ("-C", "/", "status")): "PathOutsideJail",
    ("git", ("-c", "core.pager=id", "log")): "ValueNotAllowed",
}
ALLOWED = [
    ("grep", ["-rn", "Guard", "python/corvane"], ["-rn", "--", "Guard", "python/corvane"]),
    ("grep", ["-e", "--version", "-5", "README.md"], ["-e", "--version", "-5", "--", "README.md"]),
    ("find", [".", "-maxdepth", "1", "-name", "*.md", "-type", "f"], None),
    ("git", ["log", "-5", "--oneline"], None),
    ("git", ["remote", "-v"], None),
    ("git", ["status", "-s", "src"], ["status", "-s", "--", "src"]),
    ("ls", ["-la", "src"], ["-la", "--", "src"]),
    ("head", ["-20", "README.md"], ["-20", "--", "README.md"]),
]


def load_example(name, directory=EXAMPLES):
    # A sandbox needs Landlock: without it the policy refuses to load.
    sandboxed = name == "coding_agent.toml" or directory == EXAMPLES
    if sandboxed and corvane.Sandbox.available()["landlock_abi"] == 0:
        pytest.skip("the kernel has no Landlock")
    if name != "coding_agent.toml":
        return Guard.from_toml(os.path.join(directory, name))
    # As it is meant to be used: a copy outside the workspace, which is this repository.
    import shutil
    import tempfile

    copy = os.path.join(tempfile.mkdtemp(), name)
    shutil.copyfile(os.path.join(directory, name), copy)
    return Guard.from_toml(copy, vars={"WORKSPACE": ROOT})


EXAMPLE_FILES = [(d, n) for d in (EXAMPLES, HAND_WRITTEN) for n in ("code_explorer.toml", "coding_agent.toml")]


@pytest.fixture(scope="module", params=EXAMPLE_FILES,
                ids=[("" if d == EXAMPLES else "hand-written ") + n for d, n in EXAMPLE_FILES])
def example(request):
    directory, name = request.param
    return load_example(name, directory)


@pytest.mark.parametrize("tool, argv, kind", ATTACKS)
def test_example_policies_refuse_attacks(example, tool, argv, kind):
    if example.describe().get("packs"):
        kind = PACKS_REFUSE.get((tool, tuple(argv)), kind)
    assert refusal(example, f"/usr/bin/{tool}", argv).kind == kind


@pytest.mark.parametrize("tool, argv, expected", ALLOWED)
def test_example_policies_allow_the_work(example, tool, argv, expected):
    prepared = example.check(f"/usr/bin/{tool}", argv)
    assert prepared.argv == (expected if expected is not None else argv)
    assert prepared.cwd == ROOT


def test_example_policies_run_for_real(example):
    out = example.run("/usr/bin/grep", ["-c", "-e", "corvane", "README.md"])
    assert out.success and int(out.stdout) > 0
    assert example.run("/usr/bin/ls", ["examples/policies"]).stdout.split() == [
        b"code_explorer.toml", b"coding_agent.toml"]


def test_coding_agent_test_runner_is_make_test_only():
    agent = load_example("coding_agent.toml", HAND_WRITTEN)
    assert agent.check("/usr/bin/make", ["test"]).argv == ["test"]
    for argv, kind in [(["test", "SHELL=/bin/sh"], "TooManyPositionals"),
                       (["-f", "evil.mk", "test"], "SubcommandNotAllowed"),
                       (["install"], "SubcommandNotAllowed"),
                       (["test", "-e"], "FlagNotAllowed")]:
        assert refusal(agent, "/usr/bin/make", argv).kind == kind
    explorer = Guard.from_toml(os.path.join(HAND_WRITTEN, "code_explorer.toml"))
    assert refusal(explorer, "/usr/bin/make", ["test"]).kind == "BinNotAllowed"


def test_shipped_coding_agent_runs_make_with_named_targets_only():
    agent = load_example("coding_agent.toml")
    for argv in (["test"], ["install"], ["-k", "check", "lint"]):
        assert [a for a in agent.check("/usr/bin/make", argv).argv if a != "--"] == argv
    for argv, kind in [(["test", "SHELL=/bin/sh"], "PositionalNotAllowed"),
                       (["-f", "evil.mk", "test"], "FlagNotAllowed"),
                       (["test", "../elsewhere"], "PositionalNotAllowed"),
                       (["test", "-e"], "FlagNotAllowed")]:
        assert refusal(agent, "/usr/bin/make", argv).kind == kind
    assert refusal(load_example("code_explorer.toml"), "/usr/bin/make", ["test"]).kind == "BinNotAllowed"


def test_readme_guard_example_prints_what_it_says(capsys):
    import re

    with open(os.path.join(ROOT, "docs", "python.md"), encoding="utf-8") as handle:
        guide = handle.read()
    match = re.search(r"^```python\n((?:(?!^```).)*?Guard\.from_dict.*?)^```\n\nprints\n\n"
                      r"(?:<!-- output -->\n)?```\n(.*?)^```$", guide, flags=re.S | re.M)
    assert match, "the Python guide's Guard example and its output"
    exec(compile(match.group(1), "docs/python.md Guard example", "exec"), {"__name__": "readme_example"})
    assert capsys.readouterr().out == match.group(2)


needs_landlock = pytest.mark.skipif(corvane.Sandbox.available()["landlock_abi"] == 0,
                                    reason="the kernel has no Landlock")


@pytest.fixture
def poisoned_project(tmp_path):
    """A project whose Makefile, which the agent may have written, reads a
    secret beside the project and plants a file there when the agent runs its
    test command; policies/ beside it takes a copy of the policy."""
    (tmp_path / "policies").mkdir()
    (tmp_path / "repo").mkdir()
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret").write_text("s3cret\n")
    (tmp_path / "repo" / "Makefile").write_text(
        "test:\n\t-cat ../outside/secret\n\t-echo pwned > ../outside/planted\n"
        "\techo ran > test-report\n")
    return tmp_path


# The packs' own sandboxes cannot be taken out of the shipped file: the
# hand-written policy's row without a sandbox shows the attack working.
@needs_landlock
@pytest.mark.parametrize("directory, sandboxed, run", [
    (HAND_WRITTEN, False, "run"), (HAND_WRITTEN, True, "run"), (HAND_WRITTEN, True, "arun"),
    (EXAMPLES, True, "run"), (EXAMPLES, True, "arun"),
], ids=["hand-written unsandboxed", "hand-written run", "hand-written arun", "shipped run", "shipped arun"])
def test_coding_agent_sandbox_stops_an_attack_through_the_test_runner(poisoned_project, directory, sandboxed, run):
    policy = poisoned_project / "policies" / "coding_agent.toml"
    with open(os.path.join(directory, "coding_agent.toml"), encoding="utf-8") as f:
        policy.write_text(f.read())
    workspace = {"WORKSPACE": str(poisoned_project / "repo")}
    if sandboxed:
        guard = Guard.from_toml(policy, vars=workspace)
    else:
        from corvane.policy_file import tomllib

        with open(policy, "rb") as f:
            data = tomllib.load(f)
        # No sandbox at all: the policy's, and make's own that changes it.
        del data["sandbox"]
        for binary in data["binaries"].values():
            binary.pop("sandbox", None)
        guard = Guard.from_dict(data, base_dir=str(policy.parent), vars=workspace)
    assert (guard.sandbox is not None) == sandboxed
    env = {"PATH": "/usr/bin:/bin"}
    if run == "run":
        out = guard.run("/usr/bin/make", ["test"], env=env)
    else:
        out = asyncio.run(guard.arun("/usr/bin/make", ["test"], env=env))
    assert out.success, out.stderr
    # The tests themselves ran and wrote inside the workspace either way.
    assert (poisoned_project / "repo" / "test-report").read_text() == "ran\n"
    assert (b"s3cret" in out.stdout) == (not sandboxed), out.stderr
    assert (poisoned_project / "outside" / "planted").exists() == (not sandboxed)
