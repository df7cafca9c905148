#!/usr/bin/env python3
"""Per-call cost of Guard.check on grep with positional roles (the pattern
free text, the files jailed paths) next to the same request under today's
rules (every positional a jailed path), and of git with options before the
subcommand next to the subcommand alone. Run it against an older build too
(PYTHONPATH) for the figures before: a build without roles prints only the
rows it can load. Prints figures; never passes or fails.

    python3 bench/roles_bench.py [--quick]
"""

import os
import sys
import tempfile

from corvane import Guard, PolicyError
from python_bench import per_call  # this directory is on the path when run as a script

GREP = "/usr/bin/grep"
GIT = "/usr/bin/git"
GREP_ARGV = ["-rn", "pattern", "src"]
BASE = {"path": GREP, "flags": ["-r", "-n", "-i"], "value_flags": ["-m"], "bundles": True,
        "max_flags": 4, "max_positionals": 8}

ROWS = [
    ("grep, every positional a path (today)", "grep", GREP_ARGV, {**BASE, "path_positionals": True}),
    ("grep, positional roles text + path", "grep", GREP_ARGV,
     {**BASE, "positionals": ["text"], "rest_positionals": "path"}),
    ("grep, no path checks (today)", "grep", GREP_ARGV, BASE),
    ("grep, roles text + text", "grep", GREP_ARGV,
     {**BASE, "positionals": ["text"], "rest_positionals": "text"}),
    ("git log, subcommand first (today)", "git", ["log", "-n", "5"],
     {"path": GIT, "subcommands": {"log": {"value_flags": ["-n"]}}}),
    ("git --no-pager log, global options", "git", ["--no-pager", "log", "-n", "5"],
     {"path": GIT, "global": {"flags": ["--no-pager"]}, "subcommands": {"log": {"value_flags": ["-n"]}}}),
]


def main():
    quick = "--quick" in sys.argv
    calls, repeats = (2_000, 3) if quick else (20_000, 7)
    work = tempfile.mkdtemp()
    os.mkdir(os.path.join(work, "src"))
    for label, name, argv, binary in ROWS:
        try:
            guard = Guard.from_dict({"cwd": {"jail": work}, "binaries": {name: binary}})
        except PolicyError as error:
            print(f"{label:40s}      n/a ({error.key}: not in this build)")
            continue
        guard.check(name, argv)
        call = lambda g=guard, n=name, a=argv: g.check(n, a)  # noqa: E731
        print(f"{label:40s} {per_call(call, calls, repeats):8.2f} us/call")


if __name__ == "__main__":
    main()
