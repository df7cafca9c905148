#!/usr/bin/env python3
"""Per-call cost of Guard.check (a policy file's rules, judged by the core's
extended rule model) next to ProcPolicy.prepare with ArgRules on the same
request, both from Python. Prints figures and the ratio; never passes or fails.

    python3 bench/guard_bench.py [--quick]
"""

import sys

from corvane import ArgRules, Guard, InjectDoubleDash, ProcPolicyBuilder, ProcRequest
from python_bench import per_call  # this directory is on the path when run as a script

GREP = "/usr/bin/grep"
ARGV = ["-n", "-e", "pattern", "file.txt"]


def main():
    quick = "--quick" in sys.argv
    calls, repeats = (2_000, 3) if quick else (20_000, 7)
    policy = (ProcPolicyBuilder().allow_bin(GREP)
              .arg_rules(GREP, ArgRules().allowed_flags(["-n", "-i", "-l", "-e"]).max_flags(4)
                         .max_positionals(10).inject_double_dash(InjectDoubleDash.AfterFlags))
              .build())
    guard = Guard.from_dict({"binaries": {"grep": {
        "path": GREP, "flags": ["-n", "-i", "-l"], "value_flags": ["-e"], "bundles": True,
        "numeric_flags": True, "max_flags": 4, "max_positionals": 10}}})
    # Both accept; only the extended rules put "--" after -e's value rather than before it.
    assert guard.check(GREP, ARGV).argv == ["-n", "-e", "pattern", "--", "file.txt"]
    assert policy.prepare(ProcRequest(GREP, ARGV)).argv == ["-n", "-e", "--", "pattern", "file.txt"]

    prepare = per_call(lambda: policy.prepare(ProcRequest(GREP, ARGV)), calls, repeats)
    check = per_call(lambda: guard.check(GREP, ARGV), calls, repeats)
    print(f"ProcPolicy.prepare (ArgRules):   {prepare:8.2f} us/call")
    print(f"Guard.check (extended rules):    {check:8.2f} us/call")
    print(f"ratio Guard.check / prepare:     {check / prepare:8.2f}x (target <= 1.2x)")


if __name__ == "__main__":
    main()
