"""Value patterns through Guard and the policy files: a long value for a
pattern-limited flag of a shipped policy is refused (it once crashed the host
in the matcher, so it runs in a subprocess here, where a crash fails the test
rather than pytest), and a pattern with no linear-time match is a PolicyError."""

import json
import os
import subprocess
import sys

import pytest

from corvane import Guard, PolicyError

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The hand-written explorer (its grep's --include and --exclude-dir patterns
# have no length bound of their own, so the matcher's bound is what decides).
EXPLORER = os.path.join(ROOT, "tests", "policies", "code_explorer.toml")

# Checks each argv of grep under the shipped explorer policy and prints, per
# argv, the refusal's kind or "ok".
CHECKER = r"""
import json, sys
from corvane import Guard, Refused
guard = Guard.from_toml(sys.argv[1])
kinds = []
for argv in json.load(sys.stdin):
    try:
        guard.check("/usr/bin/grep", argv)
        kinds.append("ok")
    except Refused as refused:
        kinds.append(refused.kind)
print(json.dumps(kinds))
"""

LONG = "a" * (100 * 1024)

# (argv of grep, the refusal's kind or "ok")
ROWS = [
    # The value that overflowed the matcher's stack, attached and as the next token.
    (["-r", "--include=" + LONG, "corvane", "."], "ValueTooLong"),
    (["-r", "--include", LONG, "corvane", "."], "ValueTooLong"),
    (["-r", "--exclude-dir=" + LONG, "corvane", "."], "ValueTooLong"),
    # At the bound the value is matched, and the pattern still decides.
    (["-r", "--include=" + "a" * 4096, "corvane", "."], "ok"),
    (["-r", "--include=a/" + "a" * 4000, "corvane", "."], "ValueNotAllowed"),
    # A long value for a flag without a pattern is not this bound's business.
    (["-e", LONG, "README.md"], "ok"),
]


def test_long_values_against_the_shipped_grep_rules_do_not_crash_the_host():
    done = subprocess.run([sys.executable, "-c", CHECKER, EXPLORER],
                          input=json.dumps([argv for argv, _ in ROWS]), capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    assert json.loads(done.stdout) == [kind for _, kind in ROWS]


@pytest.mark.parametrize("pattern, reason", [
    ("(a)\\1", "uses a back-reference, which has no linear-time match"),
    ("(?=x).", "uses a lookahead, which has no linear-time match"),
    (".{0,100000}", "compiles to more than 4096 automaton states"),
    ("x" * 1025, "is longer than 1024 bytes"),
])
def test_a_pattern_without_a_bounded_match_is_a_policy_error(pattern, reason):
    data = {"binaries": {"grep": {"path": "/usr/bin/grep", "max_flags": 1,
                                  "value_flags": {"-m": {"pattern": pattern}}}}}
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(data)
    assert reason in str(caught.value)
