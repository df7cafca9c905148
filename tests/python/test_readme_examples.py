"""The README's Python examples and the programs under examples/, run as tests so
that the documentation a new user meets cannot drift from the module."""

import importlib.util
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

from corvane import ArgRules, ProcPolicyBuilder

REPO = Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text(encoding="utf-8")
EXAMPLES = REPO / "examples"


def fenced_blocks(language):
    return re.findall(r"^```" + language + r"\n(.*?)^```$", README, flags=re.S | re.M)


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"corvane_example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


PYTHON_BLOCKS = fenced_blocks("python")


def test_readme_has_the_documented_examples():
    assert len(PYTHON_BLOCKS) >= 2
    assert len(fenced_blocks("cpp")) == 2  # the ones the C++ suite compiles
    quick_start = fenced_blocks("sh")[0]
    assert quick_start.splitlines() == [
        "python3 -m pip install . && python3 examples/agent_demo.py",
        "bash scripts/test.sh",
    ]
    for path in ("examples/agent_demo.py", "examples/agent_tool.py", "examples/async_agent.py",
                 "scripts/test.sh"):
        assert (REPO / path).is_file(), path


@pytest.mark.parametrize("index", range(len(PYTHON_BLOCKS)), ids=lambda i: f"block{i + 1}")
def test_readme_python_block_runs(index, capsys):
    if "--system-site-packages" in PYTHON_BLOCKS[index] and sys.prefix != sys.base_prefix:
        # A venv made from inside a venv borrows the base interpreter's packages,
        # where this test environment's pytest is not.
        pytest.skip("the example's venv cannot borrow pytest from inside another venv")
    code = compile(PYTHON_BLOCKS[index], f"README.md python block {index + 1}", "exec")
    exec(code, {"__name__": "readme_example"})  # the blocks assert their own claims
    printed = capsys.readouterr().out
    if index == 0:
        # The messages the first block's comments promise.
        lines = printed.splitlines()
        assert lines[0].startswith("binary not allowed: /bin/sh (resolved to /")
        assert lines[1:3] == ["flag not allowed: -r", "too many flags: max 2, got 3"]
        assert re.fullmatch(r"process timed out after 1(\.\d+)?s \(limit: 1s\)", lines[3])


@pytest.fixture(scope="module")
def demo_rows():
    return {row.intent: row for row in load_example("agent_demo").run_demo()}


def test_demo_runs_as_a_script_and_prints_the_table(tmp_path):
    # From an unrelated directory, with nothing set up beyond the installed module.
    done = subprocess.run([sys.executable, str(EXAMPLES / "agent_demo.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    lines = done.stdout.splitlines()
    assert any(line.startswith("#  | agent proposes") for line in lines)
    numbered = [line.split("|")[0].strip() for line in lines if re.match(r"\d+ +\|", line)]
    assert numbered == [str(n) for n in range(1, 13)]
    assert "12 proposals: 7 allowed, 5 refused." in lines
    assert any(line.startswith("The policy allows <tmp>/project/run_tests") for line in lines)


def test_demo_verdicts_and_outcomes(demo_rows):
    rows = demo_rows
    assert len(rows) == 12

    search = rows["search the notes"]
    assert (search.verdict, search.outcome) == ("allowed", "exit 0: 2:TODO: rotate the API keys")
    assert search.detail.endswith("grep -n -- TODO notes.txt")  # the injected separator

    as_data = rows["pattern starting with '-', as data"]
    assert as_data.outcome == "exit 0: 3:never run rm -rf / on the build host"

    refused = {
        "pattern starting with '-'": "flag not allowed: -f/etc/shadow",
        "too many flags": "too many flags: max 2, got 3",
    }
    for intent, message in refused.items():
        assert (rows[intent].verdict, rows[intent].detail, rows[intent].outcome) == ("refused", message, "not run")
    # Refused either way: not allowed, or (where /bin/sh is bash) the same file as the allowed shell.
    assert rows["open a shell"].detail.startswith(
        ("binary not allowed: /bin/bash (resolved to /", "risky binary denied (shell): /"))
    pipeline, disguised = rows["shell pipeline"], rows["shell disguised as ls (symlink)"]
    assert pipeline.detail.startswith("risky binary denied (shell): /")
    assert disguised.detail == pipeline.detail  # judged by the file the link resolves to

    env = rows["loader and runtime injection"]
    assert "LD_PRELOAD" in env.request and "PYTHONPATH" in env.request
    assert env.outcome == "exit 0: LANG=C.UTF-8"

    listing = rows["list files, asking for /etc as cwd"]
    assert listing.detail.endswith("(cwd <tmp>)")
    assert listing.outcome == "exit 0: ls | notes.txt"

    timed_out = re.compile(r"error: process timed out after 1(\.\d+)?s \(limit: 1s\)")
    assert timed_out.fullmatch(rows["runaway output that never ends"].outcome)
    assert timed_out.fullmatch(rows["sleep past the time limit"].outcome)
    assert rows["output flood that ends"].outcome == "error: stdout limit exceeded: 65536 bytes"


def test_demo_sandbox_stops_what_the_policy_allowed():
    demo = load_example("agent_demo")
    runs = demo.sandbox_demo()
    if runs is None:
        pytest.skip("the kernel has no Landlock")
    # The same allowed test runner: free without the sandbox, contained with it.
    assert [(r.sandboxed, r.read_secret, r.planted) for r in runs] == [
        (False, True, True), (True, False, False)]
    assert all("tests passed" in r.stdout for r in runs)


@pytest.fixture(scope="module")
def agent_tool():
    return load_example("agent_tool")


def test_agent_tool_returns_stdout_or_the_reason(agent_tool):
    run_command = agent_tool.make_tool(agent_tool.default_policy())
    assert run_command("/usr/bin/grep", ["-c", "^root:", "/etc/passwd"]) == "1\n"
    assert run_command("/usr/bin/grep", ["-c", "^no such user:", "/etc/passwd"]) == "exit 1: 0\n"
    assert run_command("/bin/sh", ["-c", "id"]).startswith("refused: binary not allowed: /bin/sh (resolved to /")
    assert run_command("/usr/bin/grep", ["-r", "x", "/"]) == "refused: flag not allowed: -r"
    assert run_command("/usr/bin/ls", "-a") == (
        "refused: invalid arguments (argument 'argv': Can't extract `str` to `Vec`)")
    assert agent_tool.call_from_json(run_command, '{"binary": "/usr/bin/wc", "argv": ["-l", "/etc/passwd"]}') \
        .endswith(" /etc/passwd\n")
    assert agent_tool.call_from_json(run_command, '{"argv": []}').startswith("refused: invalid arguments (")
    json.dumps(agent_tool.TOOL_SCHEMA)  # what the framework sends must serialise


def test_agent_tool_reports_execution_errors(agent_tool):
    slow = (ProcPolicyBuilder()
            .allow_bin("/usr/bin/sleep")
            .arg_rules("/usr/bin/sleep", ArgRules().max_positionals(1))
            .timeout_secs(1)
            .build())
    message = agent_tool.make_tool(slow)("/usr/bin/sleep", ["5"])
    assert re.fullmatch(r"failed: process timed out after 1(\.\d+)?s \(limit: 1s\)", message)


def test_async_agent_runs_a_turn_of_calls_at_once(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLES / "async_agent.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    rows = {}
    for line in done.stdout.splitlines():
        match = re.match(r"  (.+?) +(ok|exit \d+|refused|failed|cancelled) +([\d.]+)s  (.*)$", line)
        if match:
            rows[match.group(1)] = (match.group(2), float(match.group(3)), match.group(4))
    assert {k: v[0] for k, v in rows.items()} == {
        "ls -1": "ok", "grep -n TODO notes.txt": "ok", "wc -l notes.txt": "ok",
        "sleep 3": "cancelled", "yes spam": "failed",
        "grep -c -i todo notes.txt": "ok", "sh -c cat /etc/shadow": "refused",
        "grep -f /etc/shadow x": "refused"}
    assert rows["grep -n TODO notes.txt"][2] == "2:TODO: rotate the API keys"
    assert rows["grep -c -i todo notes.txt"][2] == "2"
    assert rows["grep -f /etc/shadow x"][2] == "flag not allowed: -f"
    assert rows["yes spam"][2].startswith("stdout limit exceeded: 65536 bytes; it printed ")
    assert "'spam\\nspam\\n" in rows["yes spam"][2]  # the partial output reaches the model
    # The calls of a turn ran at once: the quick ones did not wait for the sleep.
    assert rows["ls -1"][1] < 0.5 <= rows["sleep 3"][1]
    assert re.fullmatch(r"8 tool calls in \d+\.\ds", done.stdout.splitlines()[-1])
