"""The code blocks of the README and of docs/, and the programs under examples/,
run as tests so that the documentation a new user meets cannot drift from the
module. Each block runs by its language; one that cannot run says why on the
line before it (<!-- not-run: REASON -->), and anything else fails here."""

import importlib.util
import json
import os
import re
import shlex
import stat
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import pytest

import corvane

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]

# Fewer runnable blocks than this means an example was dropped (or a fence
# broken so that it is no longer found): raise it when adding examples.
MIN_BLOCKS_RUN = 24

FENCE = re.compile(r"^```([\w+-]*)\n(.*?)^```$", re.DOTALL | re.MULTILINE)
MARKER = re.compile(r"<!-- (example|not-run|file|output)(?:: (.*?))? -->")


@dataclass(frozen=True)
class Block:
    page: Path
    line: int
    lang: str
    text: str
    marker: str | None  # example, not-run, file, output
    argument: str | None  # the example's name, the reason, the file name

    @property
    def where(self):
        return f"{self.page.relative_to(REPO)}:{self.line}"


def page_blocks(page):
    text = page.read_text(encoding="utf-8")
    blocks = []
    for fence in FENCE.finditer(text):
        # A marker is the whole line directly above the fence.
        above = text[:fence.start()].rstrip("\n").rsplit("\n", 1)[-1].strip()
        marker = MARKER.fullmatch(above)
        blocks.append(Block(page, text.count("\n", 0, fence.start()) + 1, fence.group(1), fence.group(2),
                            marker.group(1) if marker else None, marker.group(2) if marker else None))
    return blocks


BLOCKS = [block for page in PAGES for block in page_blocks(page)]


def blocks_of(lang):
    return [b for b in BLOCKS if b.lang == lang and b.marker != "not-run"]


def named(name):
    [block] = [b for b in BLOCKS if b.marker == "example" and b.argument == name]
    return block


def block_id(block):
    return block.where


def following_output(block):
    blocks = page_blocks(block.page)
    after = blocks[blocks.index(block) + 1:]
    return after[0] if after and after[0].marker == "output" else None


def corvane_lines(text):
    """The block's command lines, continuations joined, comments and blanks left out."""
    joined = text.replace("\\\n", " ")
    return [line for line in joined.splitlines() if line.strip() and not line.lstrip().startswith("#")]


def runs_corvane(line):
    return re.search(r"(^|\|)\s*corvane\s", line) is not None


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"corvane_example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


# How a block of each language is tested; a block no row covers fails the inventory.
def runnable(block):
    if block.marker == "not-run":
        return False
    if block.lang == "sh":
        return block.marker == "example" or all(runs_corvane(line) for line in corvane_lines(block.text))
    if block.lang == "cmake":
        return block.marker == "example" and block.argument == "cmake_consumer"
    if block.lang == "":
        return block.marker == "output"
    return block.lang in ("python", "toml", "json", "cpp")


def test_every_block_runs_or_says_why_not():
    unexplained = [f"{b.where} ({b.lang or 'plain'})" for b in BLOCKS
                   if not runnable(b) and b.marker != "not-run"]
    assert not unexplained, f"blocks that neither run nor carry <!-- not-run: REASON -->: {unexplained}"
    for block in BLOCKS:
        if block.marker == "not-run":
            assert block.argument and len(block.argument) > 10, f"{block.where}: a not-run block gives its reason"
        if block.marker == "output":
            blocks = page_blocks(block.page)
            before = blocks[blocks.index(block) - 1]
            assert before.lang == "python", f"{block.where}: an output block follows the Python block printing it"
    names = [b.argument for b in BLOCKS if b.marker == "example"]
    assert len(names) == len(set(names)), f"example names are unique: {sorted(names)}"
    run = [b for b in BLOCKS if runnable(b)]
    counts = {}
    for block in run:
        counts[block.lang or "output"] = counts.get(block.lang or "output", 0) + 1
    print(f"documentation blocks run: {len(run)} of {len(BLOCKS)}: {counts}")
    assert len(run) >= MIN_BLOCKS_RUN, counts
    assert counts.get("cpp", 0) >= 2  # compiled and run by the C++ suite
    assert counts.get("python", 0) >= 10


def test_readme_quick_start_is_the_two_commands():
    assert named("quick_start").page.name == "README.md"
    assert named("quick_start").text.splitlines() == [
        "python3 -m pip install . && python3 examples/agent_demo.py",
        "bash scripts/test.sh",
    ]
    for path in ("examples/agent_demo.py", "examples/agent_tool.py", "examples/async_agent.py",
                 "scripts/test.sh"):
        assert (REPO / path).is_file(), path


def test_cmake_consumer_is_the_one_the_test_command_builds():
    block = named("cmake_consumer")
    assert block.text == (REPO / "tests/cmake_consumer/CMakeLists.txt").read_text(encoding="utf-8")


def heading_anchors(page):
    """The anchors a renderer gives the page's headings: lower case, punctuation dropped."""
    anchors = set()
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    for heading in re.findall(r"^#+ (.+)$", text, flags=re.MULTILINE):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        anchors.add(slug)
    return anchors


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(REPO)))
def test_links_between_pages_resolve(page):
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue  # a web address
        path, _, anchor = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        assert linked.exists(), f"{page.name}: {target}: no such file"
        if anchor:
            assert anchor in heading_anchors(linked), f"{page.name}: {target}: no such heading"


# What a named Python block prints, where the output depends on the machine
# (the file /bin/sh resolves to) and so cannot be an output block.
PRINTED = {
    "nine_classes": lambda lines: (
        lines[0].startswith("binary not allowed: /bin/sh (resolved to /")
        and lines[1:3] == ["flag not allowed: -r", "too many flags: max 2, got 3"]
        and re.fullmatch(r"process timed out after 1(\.\d+)?s \(limit: 1s\)", lines[3]) is not None),
}


@pytest.mark.parametrize("block", blocks_of("python"), ids=block_id)
def test_python_block_runs(block, tmp_path, monkeypatch, capsys):
    if "--system-site-packages" in block.text and sys.prefix != sys.base_prefix:
        # A venv made from inside a venv borrows the base interpreter's packages,
        # where this test environment's pytest is not.
        pytest.skip("the example's venv cannot borrow pytest from inside another venv")
    for file in page_blocks(block.page):
        if file.marker == "file":
            (tmp_path / file.argument).write_text(file.text, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    code = compile(block.text, block.where, "exec")
    exec(code, {"__name__": "doc_example"})  # the blocks assert their own claims
    printed = capsys.readouterr().out
    output = following_output(block)
    if output is not None:
        assert printed == output.text
    if block.marker == "example" and block.argument in PRINTED:
        assert PRINTED[block.argument](printed.splitlines()), printed


def toml_reader():
    try:
        import tomllib
    except ImportError:
        tomllib = pytest.importorskip("tomli")
    return tomllib


@pytest.mark.parametrize("block", blocks_of("toml"), ids=block_id)
def test_toml_block_is_a_policy(block, tmp_path):
    toml_reader().loads(block.text)
    if "${WORKSPACE}" in block.text:
        from corvane import Guard
        # Beside the workspace, not in it: a policy never governs its own file.
        (tmp_path / "workspace").mkdir()
        (tmp_path / "policy.toml").write_text(block.text, encoding="utf-8")
        guard = Guard.from_toml(tmp_path / "policy.toml", vars={"WORKSPACE": str(tmp_path / "workspace")})
        assert guard.describe()["cwd"]["root"] == str(tmp_path / "workspace")


@pytest.mark.parametrize("block", blocks_of("json"), ids=block_id)
def test_json_block_parses(block):
    try:
        json.loads(block.text)
    except json.JSONDecodeError:
        for line in block.text.splitlines():
            assert isinstance(json.loads(line), dict), line


@pytest.fixture(scope="module")
def corvane_on_path():
    """A PATH on which `corvane` is the package under test, whatever is installed."""
    with tempfile.TemporaryDirectory() as bindir:
        shim = Path(bindir, "corvane")
        shim.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} -m corvane "$@"\n')
        shim.chmod(shim.stat().st_mode | stat.S_IXUSR)
        yield dict(os.environ, PATH=f"{bindir}:{os.environ['PATH']}")


USAGE_ERROR = {"run": 125, "check": 2, "explain": 2, "serve": 2, "packs": 2}


@pytest.mark.parametrize("block", [b for b in blocks_of("sh") if b.marker is None], ids=block_id)
def test_shell_block_runs(block, corvane_on_path):
    for line in corvane_lines(block.text):
        done = subprocess.run(["bash", "-c", line], cwd=REPO, env=corvane_on_path,
                              capture_output=True, text=True, timeout=60, check=False)
        command = re.search(r"corvane\s+(\w+)", line).group(1)
        assert "Traceback" not in done.stderr, done.stderr
        assert done.returncode != USAGE_ERROR[command], (line, done.stderr)
        promised = re.search(r"#.*\bexit (\d+)", line)
        if promised:
            assert done.returncode == int(promised.group(1)), (line, done.stderr)
        if command == "serve":
            answers = [json.loads(answer) for answer in done.stdout.splitlines()]
            requests = re.findall(r"'(\{.*?\})'", line)
            # Each answered when its run ends: every id once, in any order.
            assert sorted(a.get("id") for a in answers) == sorted(json.loads(r)["id"] for r in requests)
            assert not [a for a in answers if a.get("error") in ("BadRequest", "InternalError", "PolicyError")]


@pytest.fixture(scope="module")
def demo_rows():
    return {row.intent: row for row in load_example("agent_demo").run_demo()}


def test_demo_runs_as_a_script_and_prints_the_table(tmp_path):
    # From an unrelated directory, with nothing set up beyond the installed module.
    done = subprocess.run([sys.executable, str(EXAMPLES / "agent_demo.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60, check=False)
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


def test_agent_tool_answers_each_call_with_the_models_text(agent_tool):
    import asyncio

    guard = corvane.Guard.from_toml(agent_tool.POLICY)
    calls = agent_tool.TURN + ['{"binary": "grep", "args": [7]}', "not json", '["ls"]']
    answers = asyncio.run(agent_tool.one_turn(guard, calls))
    assert answers[0].startswith("exit code: 0\n--- stdout ---\n") and "agent_tool.py\n" in answers[0]
    assert re.fullmatch(r"exit code: 0\n--- stdout ---\n\d+\n?", answers[1])
    assert answers[2].startswith('refused: binary not allowed: "sh" (not the name of an allowed binary')
    assert answers[3].startswith("refused: path outside the working directory jail")
    assert answers[4] == "refused: invalid arguments (argv must be a sequence of strings, not a single string)"
    assert answers[5].startswith("refused: invalid arguments (")
    assert answers[6].startswith("refused: the arguments are not JSON (")
    assert answers[7].startswith("refused: invalid arguments (give 'binary'")


def test_agent_tool_shapes_are_the_guards_tool(agent_tool):
    guard = corvane.Guard.from_toml(agent_tool.POLICY)
    declaration = json.loads(json.dumps(agent_tool.chat_tool(guard)))  # what is sent must serialise
    assert declaration["type"] == "function"
    assert declaration["function"] == {"name": "run_command", "description": guard.tool_description(),
                                       "parameters": guard.tool_schema()}
    server = agent_tool.mcp_client_entry()["mcpServers"]["corvane"]
    assert server["command"] == "corvane" and Path(server["args"][2]).is_absolute()
    # The arguments are a command line corvane takes, naming a policy that loads.
    from corvane.cli import build_parser

    parsed = build_parser().parse_args(server["args"])
    assert parsed.subcommand == "mcp" and corvane.Guard.from_toml(parsed.policy).describe()


# Each row: the call, and the start of what the model reads.
FAILURES = [
    ("timed-out", {"binary": "sleep", "args": ["5"]}, "failed: process timed out after 1"),
    ("timeout-above-the-policy", {"binary": "sleep", "args": ["0"], "timeout": 9},
     "refused: timeout of 9s is above the policy's limit of 1s"),
    ("stdin-without-max_stdin", {"binary": "sleep", "args": ["0"], "stdin": "x"}, "refused: "),
]


@pytest.mark.parametrize("arguments, start", [row[1:] for row in FAILURES], ids=[row[0] for row in FAILURES])
def test_agent_tool_reports_execution_errors(agent_tool, arguments, start):
    import asyncio

    sleep = "/usr/bin/sleep" if os.path.exists("/usr/bin/sleep") else "/bin/sleep"
    guard = corvane.Guard.from_dict({"timeout": "1s", "binaries": {"sleep": {"path": sleep, "max_positionals": 1}}})
    assert asyncio.run(agent_tool.run_command(guard, arguments)).startswith(start)


def test_agent_tool_runs_as_a_script(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLES / "agent_tool.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert '"mcpServers"' in done.stdout and '"type": "function"' in done.stdout
    assert done.stdout.count("  -> refused: ") == 3


def test_async_agent_runs_a_turn_of_calls_at_once(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLES / "async_agent.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60, check=False)
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
