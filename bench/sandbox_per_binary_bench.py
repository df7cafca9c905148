#!/usr/bin/env python3
"""Per-call cost of Guard.check on one request (git status, a subcommand rule
set) under a policy with one [sandbox] for every binary, next to the same
policy with a sandbox per binary and per subcommand, and with a private
temporary directory. Prints figures and the ratios; never passes or fails. A
build that does not know a table prints "n/a" for it, so the same script times
an older build for the "before" figure.

    python3 bench/sandbox_per_binary_bench.py [--quick]
"""

import sys
import tempfile

from corvane import Guard, PolicyError
from python_bench import per_call  # this directory is on the path when run as a script

GIT = "/usr/bin/git"
ARGV = ["status", "--short", "src"]


def policy(ws, *, per_binary=False, per_subcommand=False, private_tmp=False):
    git = {"path": GIT, "subcommands": {
        "status": {"flags": ["-s", "--short", "-b"], "max_flags": 3, "max_positionals": 8,
                   "path_positionals": True},
        "log": {"flags": ["--oneline"], "max_positionals": 4}}}
    data = {"cwd": {"jail": ws}, "sandbox": {"workspace": ws},
            "binaries": {"git": git, "make": {"path": "/usr/bin/make",
                                              "subcommands": {"test": {"max_positionals": 0}}}}}
    if private_tmp:
        data["sandbox"]["private_tmp"] = True
    if per_binary:
        git["sandbox"] = {"exec": ["/usr/lib/git-core"]}
        data["binaries"]["make"]["sandbox"] = {"exec": ["/usr/bin", "/bin"]}
    if per_subcommand:
        git["subcommands"]["status"]["sandbox"] = {"limits": {"processes": 64}}
    return Guard.from_dict(data)


def main():
    quick = "--quick" in sys.argv
    calls, repeats = (2_000, 3) if quick else (10_000, 15)
    with tempfile.TemporaryDirectory() as ws:
        rows = [("one [sandbox] for every binary", {}),
                ("a sandbox per binary", {"per_binary": True}),
                ("per binary and per subcommand", {"per_binary": True, "per_subcommand": True}),
                ("one [sandbox], private tmp", {"private_tmp": True})]
        guards = {}
        for name, options in rows:
            try:
                guards[name] = policy(ws, **options)
            except PolicyError:
                continue
            guards[name].check("git", ARGV, cwd=ws)
        # Interleaved, best of each: a machine shared with other work drifts
        # between one policy's timing and the next's.
        best = dict.fromkeys(guards, float("inf"))
        for _ in range(repeats):
            for name, guard in guards.items():
                def call(guard=guard):
                    guard.check("git", ARGV, cwd=ws)

                best[name] = min(best[name], per_call(call, calls, 1))
        base = best[rows[0][0]]
        for name, _ in rows:
            if name not in best:
                print(f"{name:34s}      n/a (this build does not read it)")
            else:
                print(f"{name:34s} {best[name]:8.2f} us/call  {best[name] / base:5.2f}x (target <= 1.1x)")


if __name__ == "__main__":
    main()
