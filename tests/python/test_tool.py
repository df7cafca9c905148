"""corvane.tool: what a model reads, one implementation for Guard, the command
and the MCP server. Rule sets read as what they allow, and a result reads the
same whichever way it was produced."""

import pytest

import corvane
from corvane import Guard, Refused, TimedOut, format_result
from corvane.tool import rule_set_text

from conftest import write_script


def rules(**given):
    base = {"flags": [], "value_flags": [], "max_flags": 32, "max_positionals": 32,
            "numeric_flags": False, "bundles": False, "first_arg_bundle": False}
    return {**base, **given}


# Each row: a rule set of describe() and the line a model reads for it.
RULE_SETS = [
    # No argument can be a flag: a count of flags would say some are allowed.
    ("flagless", rules(), "no flags; at most 32 arguments"),
    ("flagless-one", rules(max_positionals=1), "no flags; at most 1 argument"),
    ("plain-flags", rules(flags=["-n"], max_flags=1, max_positionals=2),
     "flags -n; at most 1 flag and 2 other arguments"),
    ("value-flag-only", rules(value_flags=[{"name": "-e"}], max_flags=2),
     "no plain flags; flags taking the next argument as value: -e <any value>; "
     "at most 2 flags and 32 other arguments"),
    ("numeric-only", rules(numeric_flags=True, max_flags=1, max_positionals=1),
     "no plain flags; numeric flags such as -5; at most 1 flag and 1 other argument"),
    ("bundles-only", rules(bundles=True, max_flags=3),
     "no plain flags; bundled single-letter flags such as -la; at most 3 flags and 32 other arguments"),
]


@pytest.mark.parametrize("given, line", [r[1:] for r in RULE_SETS], ids=[r[0] for r in RULE_SETS])
def test_a_rule_set_reads_as_what_it_allows(given, line):
    assert rule_set_text(given) == line


def test_a_flagless_binary_is_described_and_refused_alike():
    guard = Guard.from_dict({"binaries": {"pwd": {"path": "/usr/bin/pwd"}}})
    assert "- pwd:\n  - no flags; at most 32 arguments\n" in guard.tool_description()
    with pytest.raises(Refused, match="flag not allowed: -L"):
        guard.check("pwd", ["-L"])


def test_the_guard_and_the_mcp_server_offer_one_tool(tmp_path):
    pytest.importorskip("mcp", reason="the MCP SDK is not installed")
    from test_mcp import session_run

    policy = tmp_path / "policy.toml"
    policy.write_text('[binaries.true]\npath = "/bin/true"\n\n'
                      '[binaries.echo]\npath = "/usr/bin/echo"\nflags = ["-n"]\n')
    guard = Guard.from_toml(policy)

    async def listing(session):
        return (await session.list_tools()).tools

    tools = session_run(str(policy), listing)
    assert guard.tool_schema()["properties"]["binary"]["enum"] == ["echo", "true"]
    assert [(t.input_schema, t.description) for t in tools] == [
        (guard.tool_schema(), guard.tool_description())]


@pytest.fixture
def guard(tmp_path):
    tools = {
        "say": write_script(tmp_path, "say", "printf hello; printf err >&2"),
        "killed": write_script(tmp_path, "killed", "kill -TERM $$"),
        "slow": write_script(tmp_path, "slow", "printf started; sleep 5"),
    }
    return Guard.from_dict({"timeout": "1s", "binaries": {
        name: {"path": path, "max_positionals": 1} for name, path in tools.items()}})


# Each row: a call, the most bytes shown per stream, and the text a model reads
# ("*" stands for the measured time).
RESULTS = [
    ("output", ("say", []), 1000, "exit code: 0\n--- stdout ---\nhello\n--- stderr ---\nerr"),
    ("clipped", ("say", []), 2,
     "exit code: 0\n--- stdout ---\nhe\n[stdout truncated: 3 more bytes not shown]\n"
     "--- stderr ---\ner\n[stderr truncated: 1 more bytes not shown]"),
    ("signal", ("killed", []), 1000, "killed by signal 15"),
    ("refused", ("say", ["-x"]), 1000, "refused: flag not allowed: -x"),
    ("timed-out", ("slow", []), 1000, "failed: process timed out after *s (limit: 1s)\n--- stdout ---\nstarted"),
]


@pytest.mark.parametrize("call, max_output, text", [r[1:] for r in RESULTS], ids=[r[0] for r in RESULTS])
def test_format_result_reads_every_outcome(guard, call, max_output, text):
    try:
        result = guard.run(*call)
    except (Refused, TimedOut) as error:
        result = error
    shown = format_result(result, max_output=max_output)
    head, star, tail = text.partition("*")
    assert (shown.startswith(head) and shown.endswith(tail)) if star else shown == text, shown
    assert corvane.format_result is format_result
