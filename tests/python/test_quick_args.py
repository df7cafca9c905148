"""The quick reading of check, run and explain command lines gives exactly the
namespace argparse gives, or leaves the line to argparse; and `corvane run`
then starts without importing argparse."""

import pytest

from corvane.cli.parser import UsageError, build_parser
from corvane.cli.quick import quick_args

from test_startup import loaded_after

# Each row: corvane's own words (before '--'), and whether the quick reading takes them.
LINES = [
    ("run -p p.toml", True),
    ("run --policy=p.toml --json --timeout 2.5 --stdin - --audit a.jsonl", True),
    ("check -p p.toml --var A=1 --var=B=2 --env X=1 --env=Y=2 --cwd src", True),
    ("explain -p p.toml --cwd=sub/dir", True),
    ("run -p first.toml -p second.toml", True),  # the last one counts, as with argparse
    ("run --timeout 1e-3 -p p.toml", True),
    ("run -pp.toml", False),  # attached short value
    ("run -p=p.toml", False),  # argparse reads "=p.toml"
    ("run --pol p.toml", False),  # an abbreviation
    ("run -p p.toml --timeout -1", False),  # a value like an option
    ("run -p p.toml --timeout soon", False),
    ("run -p p.toml --cwd", False),
    ("run -p p.toml --cwd=", False),
    ("run -p p.toml --json=yes", False),
    ("run -p p.toml extra", False),
    ("run", False),  # no policy
    ("explain -p p.toml --audit a.jsonl", False),  # explain keeps no trail
    ("check -p p.toml --stdin f", False),  # only run takes stdin
    ("run -p p.toml --help", False),
    ("--version", False),
    ("serve -p p.toml --stdio", False),
]


def argparse_reading(own):
    try:
        return vars(build_parser().parse_args(own))
    except UsageError:
        return None


@pytest.mark.parametrize("line, taken", LINES, ids=[line for line, _ in LINES])
def test_the_quick_reading_is_argparses_or_none(line, taken):
    own = line.split()
    quick = quick_args(own)
    assert (quick is not None) == taken
    if quick is not None:
        assert vars(quick) == argparse_reading(own)


def test_corvane_run_imports_no_more_than_subprocess_does(tmp_path):
    """Without site (which may load much on its own), `corvane run` loads of the
    standard library only what `import subprocess` loads as well, but runpy and
    __future__ (a few lines, which `from __future__ import annotations` loads)."""
    policy = tmp_path / "policy.toml"
    policy.write_text('[binaries.true]\npath = "/bin/true"\nmax_positionals = 0\n')
    loaded = loaded_after("import runpy, sys\n"
                          "sys.argv = ['corvane', 'run', '-p', sys.argv[1], '--', 'true']\n"
                          "try:\n    runpy.run_module('corvane', run_name='__main__')\n"
                          "except SystemExit:\n    pass", str(policy), flags=["-S"])
    peer = loaded_after("import subprocess\nsubprocess.run(['true'])", flags=["-S"])
    assert "corvane.cli.commands" in loaded
    ours = {m for m in loaded if m.split(".")[0] not in ("corvane", "_corvane", "runpy", "importlib",
                                                              "__future__")}
    assert ours - peer == set()


@pytest.mark.parametrize("subcommand", ["check", "run", "explain"])
def test_the_quick_table_names_argparses_options(subcommand):
    """The quick reading's table and the parser are written apart: an option
    added to one only would go unseen by the rows above."""
    from corvane.cli.quick import _OPTIONS

    sub = next(a for a in build_parser()._actions if a.dest == "subcommand").choices[subcommand]
    theirs = {(s, a.dest) for a in sub._actions for s in a.option_strings if a.dest != "help"}
    assert {(name, field) for name, (field, _) in _OPTIONS[subcommand].items()} == theirs
