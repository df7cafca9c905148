"""Positional roles, options before a subcommand and a "--" placed after the
positionals a program reads first, through policy files: every mistake in the
new keys names its key and reason, describe() and explain() show what was
written, and the attacks each one stops are refused."""

import pytest

from corvane import Guard, PolicyError, Refused

GREP = "/usr/bin/grep"
GIT = "/usr/bin/git"


def grep(**rules):
    return {"binaries": {"grep": {"path": GREP, **rules}}}


def git(global_options, **subcommands):
    return {"binaries": {"git": {"path": GIT, "global": global_options,
                                 "subcommands": subcommands or {"log": {}}}}}


@pytest.mark.parametrize(
    "data, key, reason",
    [
        (grep(positionals="text"), "binaries.grep.positionals",
         "expected a list of roles (\"text\", \"path\" or a table), got string"),
        (grep(positionals=["regex"]), "binaries.grep.positionals[0]",
         "unknown role 'regex' (known: text, path, or a table with one_of or pattern)"),
        (grep(positionals=["text", 3]), "binaries.grep.positionals[1]",
         "expected a role (\"text\", \"path\" or a table), got integer"),
        (grep(positionals=[{}]), "binaries.grep.positionals[0]",
         "a value role needs one_of or pattern (free text is \"text\")"),
        (grep(positionals=[{"path": True}]), "binaries.grep.positionals[0].path",
         "unknown key (known: one_of, pattern)"),
        (grep(positionals=[{"one_of": "get"}]), "binaries.grep.positionals[0].one_of",
         "expected a list of strings, got string"),
        (grep(positionals=["text", {"pattern": "("}]), "binaries.grep",
         'pattern "(" of positional 2 is not a valid regular expression'),
        (grep(rest_positionals=["path"]), "binaries.grep.rest_positionals",
         "expected a role (\"text\", \"path\" or a table), got list"),
        (grep(rest_positionals={"pattern": "a", "x": 1}), "binaries.grep.rest_positionals.x",
         "unknown key (known: one_of, pattern)"),
        (grep(positionals=["text"], path_positionals=True), "binaries.grep",
         "path_positionals and positional roles both given"),
        ({"binaries": {"git": {"path": GIT, "subcommands": {"log": {
            "rest_positionals": "path", "path_positionals": True}}}}},
         "binaries.git.subcommands.log", "path_positionals and positional roles both given"),
        (grep(inject_double_dash_after="one"), "binaries.grep.inject_double_dash_after",
         "expected an integer, got string"),
        (grep(inject_double_dash_after=1, inject_double_dash=False), "binaries.grep",
         "inject_double_dash_after without inject_double_dash inserts nothing"),
        (grep(inject_double_dash_after=1, double_dash="argument", inject_double_dash=False),
         "binaries.grep", "inject_double_dash_after without inject_double_dash"),
        (git(["--no-pager"]), "binaries.git.global", "expected a table, got list"),
        (git({"max_positionals": 1}), "binaries.git.global.max_positionals",
         "unknown key (known: flags, max_flags, value_flags)"),
        (git({"flags": ["no-pager"]}), "binaries.git.global",
         "flag \"no-pager\" does not start with '-'"),
        (git({"value_flags": {"-c": {"pattern": "("}}}), "binaries.git.global",
         "pattern \"(\" of \"-c\" is not a valid regular expression"),
        (git({"value_flags": {"-c": {"one_of": "x"}}}), "binaries.git.global.value_flags.-c.one_of",
         "expected a list of strings, got string"),
        (grep(value_flags={"-e": {"replaces_first_positional": "yes"}}),
         "binaries.grep.value_flags.-e.replaces_first_positional", "expected a boolean, got string"),
        (git({"max_flags": -1}), "binaries.git.global.max_flags", "must be between 0 and 2**64-1, got -1"),
    ],
)
def test_every_mistake_in_the_new_keys_names_key_and_reason(data, key, reason):
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(data)
    assert caught.value.key == key
    assert caught.value.reason.startswith(reason), caught.value.reason


def test_a_file_names_itself_with_the_key(tmp_path):
    path = tmp_path / "policy.toml"
    path.write_text('[binaries.git]\npath = "/usr/bin/git"\n[binaries.git.global]\nbundles = true\n'
                    '[binaries.git.subcommands.log]\n')
    with pytest.raises(PolicyError) as caught:
        Guard.from_toml(path)
    assert str(caught.value).startswith(f"{path}: binaries.git.global.bundles: unknown key")


@pytest.fixture
def work(tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "a.py").write_text("x\n")
    (tmp_path / "sub").mkdir()
    return tmp_path


def guard(work, **binaries):
    return Guard.from_dict({"cwd": {"jail": str(work)}, "binaries": binaries})


def decide(g, bin, argv, work):
    try:
        return g.check(bin, argv, cwd=str(work)).argv
    except Refused as refused:
        return (refused.kind, refused.index)


GREP_ROLES = {"path": GREP, "flags": ["-r", "-n"], "bundles": True,
              "positionals": ["text"], "rest_positionals": "path"}
GREP_TODAY = {"path": GREP, "flags": ["-r", "-n"], "bundles": True, "path_positionals": True}
GREP_ALL_TEXT = {"path": GREP, "flags": ["-r", "-n"], "bundles": True,
                 "positionals": ["text"], "rest_positionals": "text"}
GIT_GLOBAL = {"flags": ["--no-pager"],
              "value_flags": {"-c": {"pattern": "color\\.ui=(never|always)"},
                              "-C": {"changes_directory": True}}}
GIT_LOG = {"subcommands": {"log": {"inject_double_dash": False, "path_positionals": True},
                           "status": {"path_positionals": True}}}

# Each row: the binary's table, the request, and what check() decides. Rows in
# pairs: the attack under a configuration without the protection, then with it.
ATTACKS = [
    (GREP_TODAY, ["-rn", "/api/v1", "src"], ("PathOutsideJail", 1)),  # today: the pattern is a path
    (GREP_ROLES, ["-rn", "/api/v1", "src"], ["-rn", "--", "/api/v1", "src"]),
    (GREP_ALL_TEXT, ["-rn", "root", "/etc/passwd"],
     ["-rn", "--", "root", "/etc/passwd"]),           # files as text: the jail is gone
    (GREP_ROLES, ["-rn", "root", "/etc/passwd"], ("PathOutsideJail", 2)),
    (GREP_ROLES, ["-rn", "root", "../../etc"], ("PathOutsideJail", 2)),
    ({**GREP_ROLES, "value_flags": ["-e"]}, ["-e", "root", "/etc/passwd"],
     ["-e", "root", "--", "/etc/passwd"]),                            # -e not marked: the file is "text"
    ({**GREP_ROLES, "value_flags": {"-e": {"replaces_first_positional": True}}},
     ["-e", "root", "/etc/passwd"], ("PathOutsideJail", 2)),
    ({**GREP_ROLES, "value_flags": {"-e": {"replaces_first_positional": True}}},
     ["/etc/passwd", "-re", "root"], ("PathOutsideJail", 0)),
    (GREP_ROLES, ["-rn", "root", "--", "-"], ["-rn", "root", "--", "-"]),
    ({"path": GIT, **GIT_LOG}, ["--no-pager", "log"], ("SubcommandNotAllowed", 0)),  # today
    ({"path": GIT, "global": GIT_GLOBAL, **GIT_LOG}, ["--no-pager", "log"],
     ["--no-pager", "log"]),
    ({"path": GIT, "global": {"value_flags": {"-c": {}}}, **GIT_LOG},
     ["-c", "core.pager=sh", "log"], ["-c", "core.pager=sh", "log"]),  # bare -c
    ({"path": GIT, "global": GIT_GLOBAL, **GIT_LOG}, ["-c", "core.pager=sh", "log"],
     ("ValueNotAllowed", 1)),
    ({"path": GIT, "global": GIT_GLOBAL, **GIT_LOG}, ["-c", "color.ui=never", "log"],
     ["-c", "color.ui=never", "log"]),
    ({"path": GIT, "global": GIT_GLOBAL, **GIT_LOG}, ["-C", "/etc", "status"],
     ("PathOutsideJail", 1)),
    ({"path": GIT, "global": GIT_GLOBAL, **GIT_LOG}, ["-C", "sub", "status", "../src"],
     ["-C", "sub", "status", "--", "../src"]),
    ({"path": GIT, "global": GIT_GLOBAL, **GIT_LOG}, ["-C", "sub", "status", "../../etc"],
     ("PathOutsideJail", 3)),
    ({"path": GIT, "global": GIT_GLOBAL, **GIT_LOG}, ["log", "-C", "/etc"],
     ("FlagNotAllowed", 1)),
]


@pytest.mark.parametrize("binary, argv, expected", ATTACKS)
def test_attacks(work, binary, argv, expected):
    name = "git" if binary["path"] == GIT else "grep"
    got = decide(guard(work, **{name: binary}), name, argv, work)
    assert (list(got) if isinstance(expected, list) else got) == expected


def test_explain_and_describe_show_roles_and_global_options(work):
    g = guard(work, grep={**GREP_ROLES, "positionals": ["text", {"one_of": ["x"]}]},
              git={"path": GIT, "global": GIT_GLOBAL, **GIT_LOG})
    explained = g.explain("grep", ["-n", "p", "x", "src"], cwd=str(work))
    assert [t["role"] for t in explained["tokens"]] == [
        "flag", "text positional", "value positional", "path positional"]
    refused = g.explain("grep", ["-n", "p", "y"], cwd=str(work))
    assert (refused["kind"], refused["index"], refused["message"]) == (
        "PositionalNotAllowed", 2, "positional 2 not allowed: \"y\" (allowed: x)")
    described = {b["name"]: b for b in g.describe()["binaries"]}
    rules = described["grep"]["rule_sets"][0]
    assert (rules["positionals"], rules["rest_positionals"]) == (
        ["text", {"one_of": ["x"], "pattern": None}], "path")
    assert described["git"]["global"]["flags"] == ["--no-pager"]
    assert "inject_double_dash_after" not in rules
    text = g.tool_description()
    assert "first argument any text (not checked as a path), second argument one of x" in text
    assert "options before the subcommand: flags --no-pager" in text
