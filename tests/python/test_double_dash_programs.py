"""How find, zip, jq and git really read "--", checked by running them under
the rules a policy gives each: a positional that starts with '-' (a file named
"-delete", "-T" or "--help") stays an operand, benign calls still work, and the
rows with the wrong reading configured show what the right one prevents."""

import os
import shutil
import subprocess
import zipfile

import pytest

from corvane import Guard, Refused


def installed(path):
    return pytest.mark.skipif(not os.access(path, os.X_OK), reason=f"{path} is not installed")


def run(binary, argv, work):
    """The command's exit code and output, or the refusal's kind, under a Guard
    that allows only `binary` in the jail `work`."""
    name = os.path.basename(binary["path"])
    g = Guard.from_dict({"cwd": {"jail": str(work)}, "binaries": {name: binary},
                         "environment": {"mode": "fixed", "vars": {"PATH": "/usr/bin:/bin"}}})
    try:
        out = g.run(name, argv, cwd=str(work))
    except Refused as refused:
        return refused.kind
    return out.exit_code, out.stdout_string() + out.stderr_string()


# find: "--" ends only its own few options; the expression still follows the
# starting points, so nothing is inserted and a "--" leaves later words options.
FIND = {"path": "/usr/bin/find", "flags": ["-print"], "value_flags": {"-name": {}},
        "rest_positionals": "path", "inject_double_dash": False, "double_dash": "options_continue"}
FIND_MISREAD = {**FIND, "double_dash": "ends_options"}  # the wrong reading of "--"

FIND_ROWS = [
    # (rules, argv, what happens, the files left)
    (FIND, [".", "-name", "*.txt"], (0, "./a.txt\n"), True),
    (FIND, ["-delete"], "FlagNotAllowed", True),
    (FIND, ["--", "-delete"], "FlagNotAllowed", True),
    (FIND, ["./-delete"], (0, "./-delete\n"), True),
    (FIND_MISREAD, ["--", "-delete"], (0, ""), False),  # every file deleted
]


@installed("/usr/bin/find")
@pytest.mark.parametrize("rules, argv, expected, files_left", FIND_ROWS)
def test_find(tmp_path, rules, argv, expected, files_left):
    (tmp_path / "a.txt").write_text("a")
    (tmp_path / "-delete").write_text("d")
    assert run(rules, argv, tmp_path) == expected
    assert (tmp_path / "a.txt").exists() == files_left


# zip refuses "--" before its archive name and honours it after.
ZIP = {"path": "/usr/bin/zip", "flags": ["-q", "-T"], "inject_double_dash_after": 1,
       "positionals": ["path"], "rest_positionals": "path"}
ZIP_BEFORE = {**ZIP, "inject_double_dash_after": 0}  # the "--" before the archive

ZIP_ROWS = [
    # (rules, argv, exit code or refusal, the archive's names)
    (ZIP, ["-q", "out.zip", "a.txt"], 0, ["a.txt"]),
    (ZIP, ["-q", "out.zip", "--", "-T"], 0, ["-T"]),
    (ZIP, ["-q", "out.zip", "--", "--help"], 0, ["--help"]),
    (ZIP, ["-q", "--", "out.zip", "a.txt"], "SeparatorTooEarly", None),
    (ZIP, ["-q", "out.zip", "-X"], "FlagNotAllowed", None),
    (ZIP_BEFORE, ["-q", "out.zip", "a.txt"], 16, None),  # "can't use -- before archive name"
]


@installed("/usr/bin/zip")
@pytest.mark.parametrize("rules, argv, expected, names", ZIP_ROWS)
def test_zip(tmp_path, rules, argv, expected, names):
    for name in ("a.txt", "-T", "--help"):
        (tmp_path / name).write_text(name)
    got = run(rules, argv, tmp_path)
    assert (got if isinstance(got, str) else got[0]) == expected, got
    archive = tmp_path / "out.zip"
    assert (sorted(zipfile.ZipFile(archive).namelist()) if archive.exists() else None) == names


# jq 1.6 reads a "--" before its filter as no filter at all, and after it as
# the end of its options: the files that follow are files.
JQ = {"path": "/usr/bin/jq", "flags": ["-c", "-n"], "inject_double_dash_after": 1,
      "positionals": ["text"], "rest_positionals": "path"}
JQ_BEFORE = {**JQ, "inject_double_dash_after": 0}

JQ_ROWS = [
    (JQ, ["-c", ".a", "f.json"], (0, "1\n")),
    (JQ, ["-c", ".", "--", "--help"], (0, '{"a":2}\n')),
    (JQ, ["-c", ".", "--", "-n"], (0, '{"a":3}\n')),
    (JQ, [".", "-n"], (0, "null\n")),  # written without "--", -n is jq's own option
    (JQ, ["--", ".", "f.json"], "SeparatorTooEarly"),
    (JQ, ["-c", ".", "/etc/passwd"], "PathOutsideJail"),
    (JQ_BEFORE, ["-c", ".a", "f.json"], 2),  # usage: no filter
]


@installed("/usr/bin/jq")
@pytest.mark.parametrize("rules, argv, expected", JQ_ROWS)
def test_jq(tmp_path, rules, argv, expected):
    (tmp_path / "f.json").write_text('{"a":1}')
    (tmp_path / "--help").write_text('{"a":2}')
    (tmp_path / "-n").write_text('{"a":3}')
    got = run(rules, argv, tmp_path)
    assert (got[0] if isinstance(expected, int) else got) == expected, got


# git: revisions come before a "--" and paths after it, so nothing is
# inserted for log; a caller's "--" makes what follows a path, never an option.
GIT_LOG = {"path": "/usr/bin/git", "global": {"flags": ["--no-pager"]},
           "subcommands": {"log": {"flags": ["--oneline"], "inject_double_dash": False,
                                   "path_positionals": True}}}
GIT_INJECTED = {**GIT_LOG, "subcommands": {"log": {"flags": ["--oneline"],
                                                   "path_positionals": True}}}

GIT_ROWS = [
    (GIT_LOG, ["--no-pager", "log", "--oneline", "HEAD"], (0, "first")),
    (GIT_LOG, ["log", "--oneline", "--", "--output=out.txt"], (0, "")),
    (GIT_LOG, ["log", "--output=out.txt"], "FlagNotAllowed"),
    (GIT_INJECTED, ["log", "--oneline", "HEAD"], (0, "")),  # HEAD read as a path: nothing shown
]


@installed("/usr/bin/git")
@pytest.mark.parametrize("rules, argv, expected", GIT_ROWS)
def test_git(tmp_path, rules, argv, expected):
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "GIT_CONFIG_NOSYSTEM": "1"}
    setup = [["init", "-q"], ["-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q",
                                 "--allow-empty", "-m", "first"]]
    for args in setup:
        subprocess.run([shutil.which("git") or "git", *args], cwd=tmp_path, env=env, check=True)
    got = run(rules, argv, tmp_path)
    if isinstance(got, tuple):
        got = (got[0], "first" if "first" in got[1] else got[1])
    assert got == expected
    assert not (tmp_path / "out.txt").exists()
