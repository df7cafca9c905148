"""Policy files with variables (${NAME} given at load, from Python and from the
command line), and a policy file that its own commands could rewrite, which is
refused at load unless it opts out."""

import os
import subprocess
import sys

import pytest

import corvane
from corvane import Guard, PolicyError

from test_cli import cli

needs_landlock = pytest.mark.skipif(corvane.Sandbox.available()["landlock_abi"] == 0,
                                    reason="the kernel has no Landlock")


def with_value(value):
    """A policy whose one value flag allows `value`: free text describe() shows as written."""
    return {"binaries": {"grep": {"path": "/usr/bin/grep", "value_flags": {"-e": {"one_of": [value]}}}}}


def value_of(guard):
    return guard.describe()["binaries"][0]["rule_sets"][0]["value_flags"][0]["one_of"][0]


# Each row: the string as written, the variables, and what it becomes.
EXPANSIONS = [
    ("${A}", {"A": "x"}, "x"),
    ("pre-${A}-post", {"A": "x"}, "pre-x-post"),
    ("${A}${B}", {"A": "x", "B": "y"}, "xy"),
    ("[a-z]+$", {}, "[a-z]+$"),                 # a pattern's anchor is not a variable
    ("a$b", {}, "a$b"),
    ("$$", {}, "$"),
    ("$${A}", {"A": "x"}, "${A}"),               # the escape comes first
    ("${A}", {"A": "${B}", "B": "no"}, "${B}"),  # a value is never expanded again
    ("${A}", {"A": ""}, ""),
]


@pytest.mark.parametrize("written, variables, expected", EXPANSIONS)
def test_variables_expand_in_every_string(written, variables, expected):
    assert value_of(Guard.from_dict(with_value(written), vars=variables)) == expected


def test_a_variable_makes_a_path_the_core_checks_against(tmp_path):
    (tmp_path / "ws").mkdir()
    (tmp_path / "ws" / "notes.txt").write_text("hello\n")
    policy = tmp_path / "p.toml"
    policy.write_text('[cwd]\njail = "${WS}"\n[binaries.cat]\npath = "/usr/bin/cat"\n'
                      'path_positionals = true\n')
    guard = Guard.from_toml(policy, vars={"WS": str(tmp_path / "ws")})
    assert guard.run("/usr/bin/cat", ["notes.txt"]).stdout == b"hello\n"
    with pytest.raises(corvane.Refused):
        guard.check("/usr/bin/cat", [str(policy)])
    # A relative value resolves against the file's directory, like any relative path.
    assert Guard.from_toml(policy, vars={"WS": "ws"}).describe()["cwd"]["root"] == str(tmp_path / "ws")


# Each row: the policy, the variables, the key path and the reason of the PolicyError.
MISTAKES = [
    ({"cwd": {"jail": "${WS}"}}, None, "cwd.jail", "undefined variable ${WS} (variables given: none)"),
    ({"cwd": {"jail": "${WS}"}}, {"WORK": "/"}, "cwd.jail",
     "undefined variable ${WS} (variables given: WORK)"),
    (with_value("${1X}"), {}, "binaries.grep.value_flags.-e.one_of[0]",
     "malformed variable '${1X}': write ${NAME} with a name of letters, digits and _, or $$ for a literal $"),
    (with_value("a${WS"), {"WS": "/"}, "binaries.grep.value_flags.-e.one_of[0]",
     "malformed variable '${WS': write ${NAME} with a name of letters, digits and _, or $$ for a literal $"),
    (with_value("${}"), {}, "binaries.grep.value_flags.-e.one_of[0]",
     "malformed variable '${}': write ${NAME} with a name of letters, digits and _, or $$ for a literal $"),
    ({"sandbox": {"read": ["/usr", "${R}"]}}, {}, "sandbox.read[1]",
     "undefined variable ${R} (variables given: none)"),
    ({}, {"A-B": "x"}, "", "malformed variable name 'A-B' (letters, digits and _, not starting with a digit)"),
]


@pytest.mark.parametrize("data, variables, key, reason", MISTAKES)
def test_an_undefined_or_malformed_variable_is_a_policy_error(data, variables, key, reason):
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(data, vars=variables)
    assert (caught.value.key, caught.value.reason) == (key, reason)


def test_variable_mistakes_name_the_file_and_wrong_types_are_type_errors(tmp_path):
    policy = tmp_path / "p.toml"
    policy.write_text('[cwd]\nfixed = "${WS}"\n')
    with pytest.raises(PolicyError) as caught:
        Guard.from_toml(policy)
    assert str(caught.value) == f"{policy}: cwd.fixed: undefined variable ${{WS}} (variables given: none)"
    for variables, named in ([("WS", "/")], "list"), ({"WS": 1}, "int"), ({1: "/"}, "int"):
        with pytest.raises(TypeError) as wrong:
            Guard.from_toml(policy, vars=variables)
        assert str(wrong.value) == f"vars: expected a mapping of names to strings, not {named}"


# The command line: --var on each command that loads a policy, and its mistakes.
CLI_ROWS = [
    (["check", "--var", "WS={ws}"], 0, None),
    (["explain", "--var", "WS={ws}"], 0, None),
    (["run", "--var", "WS={ws}"], 0, None),
    (["check"], 2, "cwd.fixed: undefined variable ${{WS}} (variables given: none)"),
    (["run"], 125, "cwd.fixed: undefined variable ${{WS}} (variables given: none)"),
    (["check", "--var", "WS"], 2, "corvane: --var 'WS': expected NAME=VALUE"),
    (["check", "--var", "WS=/", "--var", "WS={ws}"], 2, "corvane: --var WS given twice"),
]


@pytest.mark.parametrize("argv, code, message", CLI_ROWS)
def test_the_command_line_gives_variables(tmp_path, argv, code, message):
    ws = tmp_path / "ws"
    ws.mkdir()
    policy = tmp_path / "p.toml"
    policy.write_text('[cwd]\nfixed = "${WS}"\n[binaries.pwd]\npath = "/usr/bin/pwd"\nmax_positionals = 0\n')
    done = cli(argv[0], "-p", str(policy), *[a.format(ws=ws) for a in argv[1:]], "--", "pwd")
    assert done.returncode == code, done.stderr
    if message is None:
        assert str(ws).encode() in done.stdout
    else:
        assert message.format(ws=ws).encode() in done.stderr


def test_serve_and_mcp_take_variables(tmp_path):
    ws = tmp_path / "ws"
    ws.mkdir()
    policy = tmp_path / "p.toml"
    policy.write_text('[cwd]\nfixed = "${WS}"\n[binaries.pwd]\npath = "/usr/bin/pwd"\nmax_positionals = 0\n')
    done = subprocess.run([sys.executable, "-m", "corvane", "serve", "-p", str(policy), "--var",
                           f"WS={ws}", "--stdio"], input=b'{"op":"run","bin":"pwd"}\n',
                          capture_output=True, timeout=30)
    assert done.returncode == 0 and f'"stdout": "{ws}\\n"'.encode() in done.stdout, done
    # mcp loads the policy before it needs the SDK's session: a missing variable stops it first.
    assert cli("mcp", "-p", str(policy)).returncode == 2


# ---------------------------------------------------------------- the policy's own file

EVIL = ('allow_writable_policy = true\nrisky_binaries = "disabled"\n'
        '[binaries.sh]\npath = "/bin/sh"\nflags = ["-c"]\nmax_positionals = 1\n')


@needs_landlock
@pytest.mark.parametrize("placement, opt_out", [
    ("inside the workspace", True), ("inside the workspace", False), ("outside", False),
])
def test_a_sandboxed_command_rewrites_the_policy_only_where_the_load_allowed_it(tmp_path, placement, opt_out):
    ws = tmp_path / "ws"
    ws.mkdir()
    policy = (ws if placement == "inside the workspace" else tmp_path) / "policy.toml"
    # The agent wrote both the Makefile and the policy it wants to run under next.
    (ws / "evil.toml").write_text(EVIL)
    (ws / "Makefile").write_text(f"test:\n\t-cp evil.toml {policy}\n")
    policy.write_text(("allow_writable_policy = true\n" if opt_out else "") +
                      '[environment]\nmode = "allowlist"\nnames = ["PATH"]\n'
                      '[cwd]\njail = "${WS}"\n[sandbox]\nworkspace = "${WS}"\nexec = ["/usr/bin", "/bin"]\n'
                      '[binaries.make]\npath = "/usr/bin/make"\n[binaries.make.subcommands.test]\n'
                      'max_positionals = 0\n')
    variables = {"WS": str(ws)}
    if placement == "inside the workspace" and not opt_out:
        with pytest.raises(PolicyError) as caught:
            Guard.from_toml(policy, vars=variables)
        assert caught.value.key == "sandbox.workspace"
        assert caught.value.reason.startswith(f"the policy file {policy} lies under {ws}, where the "
                                              "policy's own commands may write")
        return
    guard = Guard.from_toml(policy, vars=variables)
    guard.run("/usr/bin/make", ["test"], env={"PATH": "/usr/bin:/bin"})
    rewritten = policy.read_text() == EVIL
    assert rewritten == opt_out
    # The next load obeys what the sandboxed command wrote: no sandbox, and a shell.
    after = Guard.from_toml(policy, vars=variables)
    assert (after.sandbox is None) == opt_out
    if opt_out:
        assert b"uid=" in after.run("/bin/sh", ["-c", "id"]).stdout


def placed(tmp_path, shape):
    """(file to load, policy text) for one placement of the policy file."""
    ws, outside = tmp_path / "ws", tmp_path / "outside"
    (ws / "sub").mkdir(parents=True)
    outside.mkdir()
    text = {
        "workspace": f'[sandbox]\nworkspace = "{ws}"\n',
        "write path": f'[sandbox]\nwrite = ["{outside}"]\n',
        "write is the file": f'[sandbox]\nwrite = ["{outside}/p.toml"]\n',
        "jail": f'[cwd]\njail = "{ws}"\n',
        "allow": f'[cwd]\nallow = ["{ws}"]\n',
        "fixed": f'[cwd]\nfixed = "{ws}"\n',
        "default cwd": "",
        "jail, sandbox elsewhere": f'[cwd]\njail = "{ws}"\n[sandbox]\nworkspace = "{outside}"\n',
        "jail, landlock skipped": f'[cwd]\njail = "{ws}"\n[sandbox]\nworkspace = "{outside}"\nbest_effort = true\n',
    }
    where = {"write path": outside, "write is the file": outside,
             "jail, sandbox elsewhere": ws / "sub", "jail, landlock skipped": ws / "sub"}.get(shape, ws / "sub")
    file = where / "p.toml"
    file.write_text(text[shape])
    return file


# Each row: how the policy makes a place writable, and the key that is named (None: it loads).
PLACEMENTS = [
    ("workspace", "sandbox.workspace"),
    ("write path", "sandbox.write[0]"),
    ("write is the file", "sandbox.write[0]"),
    ("jail", "cwd.jail"),
    ("allow", "cwd.allow[0]"),
    ("fixed", "cwd.fixed"),
    ("default cwd", None),                 # the built-in /tmp is named by no file
    ("jail, sandbox elsewhere", None),     # the sandbox bounds every write
    ("jail, landlock skipped", "cwd.jail"),  # a sandbox that bounds no file is none
]


@pytest.mark.parametrize("shape, key", PLACEMENTS)
def test_where_a_policy_file_may_lie(tmp_path, monkeypatch, shape, key):
    if shape in ("workspace", "write path", "write is the file", "jail, sandbox elsewhere") and \
            corvane.Sandbox.available()["landlock_abi"] == 0:
        pytest.skip("the kernel has no Landlock")
    if shape == "jail, landlock skipped":
        monkeypatch.setenv("CORVANE_SANDBOX_DISABLE", "landlock")
    file = placed(tmp_path, shape)
    if key is None:
        Guard.from_toml(file)
        return
    with pytest.raises(PolicyError) as caught:
        Guard.from_toml(file)
    assert caught.value.key == key and caught.value.file == str(file)
    # The opt-out loads it all the same.
    file.write_text("allow_writable_policy = true\n" + file.read_text())
    Guard.from_toml(file)


# Symbolic links: each row names the path given to the loader and where the link sits.
@pytest.mark.parametrize("route", ["link to the file in the jail", "link in the jail to a file outside",
                                   "jail named through a link", "link to the file outside"])
def test_links_are_followed_to_every_place_that_decides_the_file(tmp_path, route):
    ws, outside = tmp_path / "ws", tmp_path / "outside"
    ws.mkdir()
    outside.mkdir()
    (tmp_path / "ws-link").symlink_to(ws)
    jail = tmp_path / "ws-link" if route == "jail named through a link" else ws
    text = f'[cwd]\njail = "{jail}"\n'
    if route in ("link to the file in the jail", "jail named through a link"):
        (ws / "p.toml").write_text(text)
        given = outside / "p.toml"
        given.symlink_to(ws / "p.toml")
        if route == "jail named through a link":
            given = ws / "p.toml"
    else:
        (outside / "p.toml").write_text(text)
        given = (ws if route == "link in the jail to a file outside" else tmp_path) / "link.toml"
        given.symlink_to(outside / "p.toml")
    if route == "link to the file outside":
        Guard.from_toml(given)
        return
    with pytest.raises(PolicyError) as caught:
        Guard.from_toml(given)
    assert caught.value.key == "cwd.jail"
    if route == "link in the jail to a file outside":
        assert caught.value.reason.startswith(f"the link {given} on the way to the policy file lies under")
    else:
        assert caught.value.reason.startswith(f"the policy file {os.path.realpath(given)} lies under")


def test_the_shipped_coding_agent_loads_from_outside_its_workspace_only(tmp_path):
    if corvane.Sandbox.available()["landlock_abi"] == 0:
        pytest.skip("the kernel has no Landlock")
    shipped = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "policies", "coding_agent.toml")
    repository = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(shipped))))
    with pytest.raises(PolicyError) as caught:  # the repository holds the file
        Guard.from_toml(shipped, vars={"WORKSPACE": repository})
    assert caught.value.key == "sandbox.workspace"
    guard = Guard.from_toml(shipped, vars={"WORKSPACE": str(tmp_path)})
    assert guard.describe()["cwd"]["root"] == str(tmp_path) and guard.sandbox is not None
