"""The `corvane` command, driven as a subprocess the way a host in another language
drives it: exit codes, --json answers, the serve loop, and the example client."""

import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import corvane

from conftest import close_pipes

if not hasattr(corvane, "Guard"):
    pytest.skip("corvane.Guard (policy files) is not in this build", allow_module_level=True)

REPO = Path(__file__).resolve().parents[2]
SCRIPT_HEAD = "PATH=/usr/bin:/bin\n"


def write_policy(directory, binaries, timeout="2s", extra=""):
    """A TOML policy allowing `binaries` ({path: [allowed flags]}), each under its file name."""
    lines = [f'timeout = "{timeout}"', extra]
    for path, flags in binaries.items():
        lines += [f"[binaries.{Path(path).name}]", f"path = {json.dumps(str(path))}",
                  f"flags = {json.dumps(flags)}", "max_positionals = 8",
                  "inject_double_dash = false"]  # the helpers print their argv as given
    policy = Path(directory, "policy.toml")
    policy.write_text("\n".join(lines) + "\n")
    return str(policy)


def cli(*args, stdin=None, timeout=30):
    """Runs `python -m corvane ARGS`; returns the CompletedProcess (bytes)."""
    return subprocess.run([sys.executable, "-m", "corvane", *args], input=stdin,
                          capture_output=True, timeout=timeout)


@pytest.fixture
def toolbox(scripts):
    """Helper programs and a policy that allows them; scripts.dir is their directory."""
    made = {
        "say": scripts("say", SCRIPT_HEAD + 'printf "%s\\n" "$@"; printf "to stderr\\n" >&2'),
        "code": scripts("code", SCRIPT_HEAD + 'exit "$1"'),
        "selfkill": scripts("selfkill", SCRIPT_HEAD + "kill -TERM $$"),
        "slow": scripts("slow", SCRIPT_HEAD + "echo started; sleep 30"),
        "flood": scripts("flood", SCRIPT_HEAD + "head -c 70000 /dev/zero"),
        "binary": scripts("binary", SCRIPT_HEAD + r"printf '\377\376ok'"),
        "broken": scripts("broken", "", mode=0o755),
    }
    # An interpreter line that names no file: the binary checks pass, exec fails.
    Path(made["broken"]).write_text("#!/nonexistent/interpreter\n")
    flags = {path: (["-n"] if name == "say" else []) for name, path in made.items()}
    made["policy"] = write_policy(scripts.dir, flags, timeout="1s", extra="max_stdout = 65536")
    made["dir"] = scripts.dir
    return made


# Each row: the command line, its exit code, and what --json must say (a subset).
EXIT_PATHS = [
    ("check-allowed", ["check", "--", "say", "-n", "x"], 0, {"allowed": True}),
    ("check-refused", ["check", "--", "say", "-r", "x"], 1,
     {"allowed": False, "error": "Refused", "message": "flag not allowed: -r"}),
    ("check-not-listed", ["check", "--", "/bin/sh", "-c", "id"], 1, {"allowed": False}),
    ("run-ok", ["run", "--", "say", "hello"], 0,
     {"exit_code": 0, "success": True, "stdout": "hello\n", "stderr": "to stderr\n"}),
    ("run-exit-code", ["run", "--", "code", "3"], 3, {"exit_code": 3, "signal": None, "success": False}),
    # 128+N after signal N, and --json names N.
    ("run-signal", ["run", "--", "selfkill"], 128 + signal.SIGTERM,
     {"exit_code": None, "signal": signal.SIGTERM, "success": False}),
    ("run-refused", ["run", "--", "say", "-r"], 126, {"allowed": False, "error": "Refused"}),
    ("run-timeout", ["run", "--", "slow"], 124,
     {"error": "TimedOut", "stdout": "started\n", "limit": 1.0}),
    ("run-output-limit", ["run", "--", "flood"], 124,
     {"error": "OutputLimitExceeded", "stream": "stdout", "limit": 65536}),
    ("run-spawn-failed", ["run", "--", "broken"], 127, {"error": "SpawnFailed"}),
    ("explain-policy", ["explain"], 0, {}),
    ("explain-refused", ["explain", "--", "say", "-r"], 1, {"allowed": False}),
    ("explain-allowed", ["explain", "--", "say", "-n"], 0, {"allowed": True}),
]


@pytest.mark.parametrize("argv,code,shape", [r[1:] for r in EXIT_PATHS], ids=[r[0] for r in EXIT_PATHS])
def test_exit_codes_and_json_answers(toolbox, argv, code, shape):
    sub, rest = argv[0], argv[1:]
    plain = cli(sub, "-p", toolbox["policy"], *rest)
    assert plain.returncode == code, plain.stderr
    answered = cli(sub, "-p", toolbox["policy"], "--json", *rest)
    assert answered.returncode == code, answered.stderr
    answer = json.loads(answered.stdout)  # exactly one JSON object, nothing else
    assert {k: answer.get(k) for k in shape} == shape
    if sub == "run" and "error" not in answer:
        assert set(answer) >= {"exit_code", "signal", "success", "stdout", "stderr"}
    if sub == "run" and answer.get("error") in ("TimedOut", "OutputLimitExceeded", "SpawnFailed"):
        reason = answer["message"].split(" after ")[0]  # a timeout's elapsed time differs per run
        assert plain.stderr.decode().splitlines()[-1].startswith("corvane: " + reason)


def test_text_output_is_the_childs_and_refusals_go_to_stderr(toolbox):
    ran = cli("run", "-p", toolbox["policy"], "--", "binary")
    assert ran.stdout == b"\xff\xfeok"  # the child's bytes, unchanged
    answer = json.loads(cli("run", "-p", toolbox["policy"], "--json", "--", "binary").stdout)
    assert answer["stdout_base64"] == "//5vaw=="
    refused = cli("run", "-p", toolbox["policy"], "--", "say", "-r")
    assert refused.stdout == b""
    assert refused.stderr == b"corvane: refused: flag not allowed: -r\n"


def test_check_shows_the_prepared_command(toolbox):
    said = cli("check", "-p", toolbox["policy"], "--json", "--", "say", "-n", "x")
    prepared = json.loads(said.stdout)["prepared"]
    assert prepared["bin"] == os.path.realpath(toolbox["say"])  # the short name resolved
    assert prepared["argv"][0] == "-n" and prepared["argv"][-1] == "x"
    assert isinstance(prepared["cwd"], str) and isinstance(prepared["env"], list)
    text = cli("check", "-p", toolbox["policy"], "--", "say", "-n", "x").stdout.decode()
    assert text.startswith("allowed\n") and f"bin:  {prepared['bin']}" in text


BAD_POLICIES = [
    ("missing", None),
    ("not-toml", "this is = = not toml"),
    ("unknown-key", 'colour = "blue"\n'),
    ("no-such-binary", '[binaries.tool]\npath = "/nonexistent/tool"\n'),
]


@pytest.mark.parametrize("name,content", BAD_POLICIES, ids=[b[0] for b in BAD_POLICIES])
@pytest.mark.parametrize("sub,code", [("check", 2), ("run", 125), ("explain", 2)])
def test_bad_policy_file(tmp_path, name, content, sub, code):
    policy = tmp_path / "bad.toml"
    if content is not None:
        policy.write_text(content)
    command = ["--", "/bin/true"] if sub != "explain" else []
    plain = cli(sub, "-p", str(policy), *command)
    assert plain.returncode == code
    assert plain.stdout == b"" and str(policy) in plain.stderr.decode()
    answered = cli(sub, "-p", str(policy), "--json", *command)
    assert answered.returncode == code
    answer = json.loads(answered.stdout)
    assert answer["error"] == "PolicyError" and answer["file"] is not None


USAGE = [
    (["check", "-p", "P"], 2),  # no command
    (["run", "-p", "P"], 125),
    (["run", "-p", "P", "--env", "NOEQUALS", "--", "x"], 125),
    (["run", "-p", "P", "say", "--", "x"], 125),  # half the command before '--'
    (["check", "--", "x"], 2),  # no policy
    (["frobnicate"], 2),
    (["serve", "-p", "P"], 2),  # --stdio is the only transport, and it must be said
]


@pytest.mark.parametrize("argv,code", USAGE)
def test_usage_errors(toolbox, argv, code):
    argv = [toolbox["policy"] if a == "P" else a for a in argv]
    done = cli(*argv)
    assert done.returncode == code and done.stdout == b""
    assert done.stderr.startswith(b"corvane")


def test_help_teaches_the_command():
    top = cli("--help")
    assert top.returncode == 0
    text = top.stdout.decode()
    for word in ("check", "run", "explain", "serve", "mcp", "exit codes", "126 refused"):
        assert word in text
    for sub in ("check", "run", "explain", "serve", "mcp"):
        helped = cli(sub, "--help")
        assert helped.returncode == 0 and b"example" in helped.stdout


def test_run_leaves_asyncio_unimported(toolbox):
    # Importing asyncio alone would cost every `corvane run` tens of milliseconds.
    probe = ("import runpy, sys\n"
             "sys.argv = ['corvane', 'run', '-p', sys.argv[1], '--', sys.argv[2], 'hi']\n"
             "try:\n    runpy.run_module('corvane', run_name='__main__')\n"
             "except SystemExit:\n    pass\n"
             "sys.stderr.write(str('asyncio' in sys.modules))\n")
    done = subprocess.run([sys.executable, "-c", probe, toolbox["policy"], toolbox["say"]],
                          capture_output=True, timeout=30)
    assert (done.stdout, done.stderr) == (b"hi\n", b"to stderr\nFalse")


def test_console_script_is_installed(toolbox):
    script = Path(sys.executable).with_name("corvane")
    if not script.exists():
        pytest.skip("the corvane console script is not installed beside this interpreter")
    done = subprocess.run([str(script), "run", "-p", toolbox["policy"], "--", "code", "5"], timeout=30)
    assert done.returncode == 5


def test_serve_answers_every_request_while_runs_overlap(toolbox, scripts):
    # Each of the first two waits for the other to start: both finish only if they overlap.
    flag = Path(scripts.dir)
    waiter = scripts("waiter", SCRIPT_HEAD + textwrap.dedent(f"""\
        touch {flag}/$1; i=0
        while [ ! -e {flag}/$2 ] && [ $i -lt 50 ]; do sleep 0.05; i=$((i+1)); done
        [ -e {flag}/$2 ] && echo "$1 saw $2" """))
    policy = write_policy(scripts.dir, {waiter: [], toolbox["say"]: ["-n"]}, timeout="10s")
    lines = [
        {"id": 1, "op": "run", "bin": "waiter", "argv": ["a", "b"]},
        {"id": 2, "op": "run", "bin": "waiter", "argv": ["b", "a"]},
        {"id": "three", "op": "check", "bin": "say", "argv": ["-r"]},
        "not json",
        {"op": "run", "bin": "say", "argv": 7},
        {"id": 6, "op": "explain"},
        {"id": 7, "op": "delete", "bin": "say"},
    ]
    stdin = "\n".join(x if isinstance(x, str) else json.dumps(x) for x in lines) + "\n\n"
    done = cli("serve", "-p", policy, "--stdio", stdin=stdin.encode())
    assert done.returncode == 0, done.stderr
    # Answered as each ends: matched by id; those without one in their own order.
    answers = [json.loads(line) for line in done.stdout.decode().splitlines()]
    assert sorted(str(a.get("id")) for a in answers) == sorted(str(i) for i in [1, 2, "three", None, None, 6, 7])
    by_id = {a["id"]: a for a in answers if "id" in a}
    assert by_id[1]["stdout"] == "a saw b\n" and by_id[2]["stdout"] == "b saw a\n"
    assert by_id["three"]["allowed"] is False and by_id["three"]["exit"] == 1
    no_id = [a for a in answers if "id" not in a]
    assert [a["error"] for a in no_id] == ["BadRequest", "BadRequest"]
    assert "not JSON" in no_id[0]["message"] and "'argv'" in no_id[1]["message"]
    assert "binaries" in by_id[6] and by_id[7]["error"] == "BadRequest"


NODE_ROWS = [
    (["say", "hello from node"], "say: exit 0: hello from node"),
    (["say", "-x"], "say: refused: flag not allowed: -x"),
    (["slow"], "slow: failed (TimedOut): started"),
]


@pytest.mark.parametrize("argv,line", NODE_ROWS)
def test_node_example_client(toolbox, argv, line):
    node = shutil.which("node")
    if node is None:
        pytest.skip("node is not installed")
    done = subprocess.run(
        [node, str(REPO / "examples" / "cli_client.mjs"), toolbox["policy"], *argv],
        capture_output=True, timeout=60,
        env={**os.environ, "CORVANE": f"{sys.executable} -m corvane"},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == line + "\n"


@pytest.mark.parametrize("how", ["run", "serve"])
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_stopping_corvane_stops_its_commands(scripts, how, sig):
    pid_file = Path(scripts.dir, "pid")
    slow = scripts("slow", SCRIPT_HEAD + f"echo $$ > {pid_file}; sleep 30")
    policy = write_policy(scripts.dir, {slow: []}, timeout="20s")
    if how == "run":
        argv = ["run", "-p", policy, "--", slow]
    else:
        argv = ["serve", "-p", policy, "--stdio"]
    runner = subprocess.Popen([sys.executable, "-m", "corvane", *argv],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        if how == "serve":  # the input stays open: the server is waiting for more
            runner.stdin.write(json.dumps({"op": "run", "bin": slow}).encode() + b"\n")
            runner.stdin.flush()
        deadline = time.monotonic() + 20
        while not (pid_file.exists() and pid_file.read_text().strip()) and time.monotonic() < deadline:
            time.sleep(0.02)
        child = int(pid_file.read_text())
        runner.send_signal(sig)
        assert runner.wait(timeout=10) == 128 + sig
        assert b"interrupted by " + signal.Signals(sig).name.encode() in runner.stderr.read()
        assert not Path(f"/proc/{child}").exists()  # killed and reaped before corvane exited
    finally:
        if runner.poll() is None:
            runner.kill()
            runner.wait()
        close_pipes(runner)


def test_the_mcp_extra_stays_optional(toolbox):
    # Without the SDK, `corvane mcp` says how to get it; `import corvane` never needs it.
    probe = textwrap.dedent(f"""\
        import sys
        import corvane, corvane.cli
        assert "mcp" not in sys.modules, "import corvane imported mcp"
        sys.modules["mcp"] = None  # as if it were not installed
        sys.exit(corvane.cli.main(["mcp", "-p", {toolbox["policy"]!r}]))
        """)
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, timeout=30)
    assert done.returncode == 2, done.stderr
    assert b"pip install 'corvane[mcp]'" in done.stderr


def test_readme_command_examples_run():
    # The commands the documentation shows, from the repository root, as a reader pastes
    # them; a comment that says "refused" promises exit 1 ("exit N" names another code).
    readme = (REPO / "docs" / "cli-and-mcp.md").read_text(encoding="utf-8")
    section = readme[readme.index("## The `corvane` command"):]
    start = section.index("```sh\n") + len("```sh\n")
    block = section[start:section.index("```", start)]
    assert len(block.splitlines()) == 5
    for raw in block.splitlines():
        command, _, comment = raw.partition("  #")
        named = re.search(r"exit (\d+)", comment)
        expected = int(named.group(1)) if named else (1 if "refused" in comment else 0)
        argv = shlex.split(command)
        assert argv[0] == "corvane"
        done = subprocess.run([sys.executable, "-m", "corvane", *argv[1:]], cwd=REPO,
                              capture_output=True, timeout=60)
        assert done.returncode == expected, (raw, done.stderr)
        assert done.stdout or done.stderr


def test_readme_serve_example_runs():
    script = Path(sys.executable).with_name("corvane")
    if not script.exists():
        pytest.skip("the corvane console script is not installed beside this interpreter")
    readme = (REPO / "docs" / "cli-and-mcp.md").read_text(encoding="utf-8")
    block = next(b for b in re.findall(r"^```sh\n(.*?)^```$", readme, flags=re.S | re.M) if "serve" in b)
    path = f"{script.parent}{os.pathsep}{os.environ.get('PATH', '')}"
    done = subprocess.run(["bash", "-c", block], cwd=REPO, capture_output=True, timeout=60,
                          env={**os.environ, "PATH": path})
    assert done.returncode == 0, done.stderr
    # Each is answered when it ends: matched by id.
    first, second = sorted((json.loads(line) for line in done.stdout.decode().splitlines()),
                           key=lambda answer: answer["id"])
    assert first["id"] == 1 and first["exit_code"] == 0 and "cli_client.mjs" in first["stdout"]
    assert second["id"] == 2 and second["allowed"] is False and second["exit"] == 1


def test_serve_stops_quietly_when_the_host_stops_reading(toolbox):
    server = subprocess.Popen([sys.executable, "-m", "corvane", "serve", "-p", toolbox["policy"], "--stdio"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        request = json.dumps({"op": "run", "bin": "say", "argv": ["x"]}).encode() + b"\n"
        server.stdin.write(request)
        server.stdin.flush()
        assert json.loads(server.stdout.readline())["stdout"] == "x\n"
        server.stdout.close()
        server.stdin.write(request)  # its answer has nowhere to go
        server.stdin.flush()
        assert server.wait(timeout=20) == 0  # while its input is still open
        assert server.stderr.read() == b""  # and without a traceback
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        close_pipes(server)


@pytest.mark.skipif(corvane.Sandbox.available()["landlock_abi"] == 0, reason="the kernel has no Landlock")
@pytest.mark.parametrize("sandboxed", [False, True])
def test_run_applies_the_policys_sandbox(scripts, tmp_path_factory, sandboxed):
    outside = tmp_path_factory.mktemp("outside")
    plant = scripts("plant", SCRIPT_HEAD + f"echo planted > {outside}/planted; echo done")
    sandbox = f'sandbox = {{ workspace = {json.dumps(scripts.dir)} }}' if sandboxed else ""
    # The policy lives outside the workspace its commands may write.
    policy = write_policy(tmp_path_factory.mktemp("policy"), {plant: []}, extra=sandbox)
    done = cli("run", "-p", policy, "--", "plant")
    assert done.returncode == 0 and done.stdout == b"done\n"
    assert (outside / "planted").exists() == (not sandboxed), done.stderr
    assert (b"Permission denied" in done.stderr) == sandboxed
    described = cli("explain", "-p", policy)
    assert (b"sandbox: Every command runs in a kernel sandbox" in described.stdout) == sandboxed
