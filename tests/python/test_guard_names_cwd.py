"""A Guard reads a request as an agent sends it: a binary by the policy's name
for it, and a relative working directory from the policy's own directory, never
from the host's. The same through the command, serve and the MCP tool.

Every test runs with the host in a directory of its own that also holds a
"src": a host-relative reading finds a real directory there, outside the jail,
instead of failing for a missing one."""

import asyncio
import json
import os
import subprocess
import sys

import pytest

import corvane
from corvane import Refused

if not hasattr(corvane, "Guard"):
    pytest.skip("corvane.Guard (policy files) is not in this build", allow_module_level=True)

from corvane import Guard  # noqa: E402

LS = "/usr/bin/ls"


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """ws/ is the jail (ws/src holds a marker file, ws/src/escape leads out of
    it); the host runs in outside/, which has a src/ of its own."""
    ws, outside = tmp_path / "ws", tmp_path / "outside"
    (ws / "src").mkdir(parents=True)
    (ws / "src" / "in-src").write_text("")
    (outside / "src").mkdir(parents=True)
    (outside / "src" / "in-host-src").write_text("")
    (ws / "src" / "escape").symlink_to(outside)
    policy = {
        "cwd": {"jail": str(ws)},
        "binaries": {"ls": {"path": LS, "flags": ["-1"], "max_flags": 1, "max_positionals": 1}},
    }
    (tmp_path / "policy.toml").write_text(
        f'[cwd]\njail = {json.dumps(str(ws))}\n'
        f'[binaries.ls]\npath = "{LS}"\nflags = ["-1"]\nmax_flags = 1\nmax_positionals = 1\n')
    monkeypatch.chdir(outside)
    tree = type("Tree", (), {})()
    tree.ws, tree.outside, tree.toml = str(ws), str(outside), str(tmp_path / "policy.toml")
    tree.guard = Guard.from_dict(policy)
    return tree


def prepared_of(guard, method, bin, cwd):
    """Where each door of the Guard says (or shows, by running ls) the command ran."""
    if method == "check":
        p = guard.check(bin, ["-1"], cwd=cwd)
        return p.bin, p.cwd
    if method == "explain":
        ex = guard.explain(bin, ["-1"], cwd=cwd)
        assert ex["allowed"], ex["message"]
        return ex["prepared"]["bin"], ex["prepared"]["cwd"]
    if method == "run":
        out = guard.run(bin, ["-1"], cwd=cwd)
    else:
        out = asyncio.run(guard.arun(bin, ["-1"], cwd=cwd))
    assert out.exit_code == 0, out.stderr
    return "ran", out.stdout.decode().split()


# A name and a relative directory through each door; run and arun show by the
# child's own listing that it started in the jail's src, not in the host's.
@pytest.mark.parametrize("method", ["check", "explain", "run", "arun"])
def test_a_name_and_a_relative_cwd_through_every_door(tree, method):
    got = prepared_of(tree.guard, method, "ls", "src")
    if method in ("run", "arun"):
        assert got == ("ran", ["escape", "in-src"])
    else:
        assert got == (LS, os.path.join(tree.ws, "src"))


def refusal(guard, bin, cwd=None):
    with pytest.raises(Refused) as caught:
        guard.check(bin, [], cwd=cwd)
    return caught.value


@pytest.mark.parametrize(
    "bin, cwd, kind, message",
    [
        # An absolute path is judged as before: names add to paths, they do not replace them.
        (LS, None, None, None),
        # Not "binary path must be absolute": the agent asked for a name the policy lacks.
        ("lss", None, "BinNotAllowed", 'binary not allowed: "lss" (not the name of an allowed binary; names: ls)'),
        # ".." is resolved by the kernel, then judged as an absolute directory would be.
        ("ls", "src/../..", "CwdForbidden", "working directory forbidden: {ws}/src/../.. (not within jail root {ws})"),
        # A link inside the jail that leads out is judged where it leads.
        ("ls", "src/escape/src", "CwdForbidden",
         "working directory forbidden: {ws}/src/escape/src (not within jail root {ws})"),
    ],
    ids=["path", "unknown-name", "dotdot-escape", "link-escape"],
)
def test_what_check_allows_and_refuses(tree, bin, cwd, kind, message):
    if kind is None:
        assert tree.guard.check(bin, [], cwd=cwd).bin == LS
        return
    err = refusal(tree.guard, bin, cwd)
    assert (err.kind, str(err)) == (kind, message.format(ws=tree.ws))


def cli(*args, stdin=None):
    """`python -m corvane ARGS` from the current (host) directory."""
    return subprocess.run([sys.executable, "-m", "corvane", *args], input=stdin,
                          capture_output=True, timeout=60)


# The command line and serve take the Guard's reading as it is.
@pytest.mark.parametrize(
    "bin, cwd, code, answer",
    [
        ("ls", "src", 0, {"allowed": True, "bin": LS, "cwd": "{ws}/src"}),
        ("lss", None, 1, {"allowed": False, "kind": "BinNotAllowed",
                          "message": 'binary not allowed: "lss" (not the name of an allowed binary; names: ls)'}),
        ("ls", "..", 1, {"allowed": False, "kind": "CwdForbidden",
                         "message": "working directory forbidden: {ws}/.. (not within jail root {ws})"}),
    ],
    ids=["name-and-relative-cwd", "unknown-name", "dotdot-escape"],
)
def test_the_command_and_serve(tree, bin, cwd, code, answer):
    expected = {k: v.format(ws=tree.ws) if isinstance(v, str) else v for k, v in answer.items()}

    def shape(got):
        flat = {**got, **(got.get("prepared") or {})}
        return {k: flat.get(k) for k in expected}

    done = cli("check", "-p", tree.toml, "--json", *(["--cwd", cwd] if cwd else []), "--", bin)
    assert done.returncode == code, done.stderr
    assert shape(json.loads(done.stdout)) == expected
    line = json.dumps({"id": 1, "op": "check", "bin": bin, "argv": [], "cwd": cwd}) + "\n"
    served = cli("serve", "-p", tree.toml, "--stdio", stdin=line.encode())
    assert served.returncode == 0, served.stderr
    assert shape(json.loads(served.stdout.decode().splitlines()[0])) == expected


def test_the_mcp_tool(tree):
    pytest.importorskip("mcp", reason="the MCP SDK is not installed")
    from test_mcp import session_run, text_of

    async def body(session):
        ran = await session.call_tool("run_command", {"binary": "ls", "args": ["-1"], "cwd": "src"})
        escaped = await session.call_tool("run_command", {"binary": "ls", "cwd": ".."})
        return ran, escaped

    ran, escaped = session_run(tree.toml, body)
    listed = text_of(ran)
    assert not ran.is_error and "in-src" in listed and "in-host-src" not in listed, listed
    assert escaped.is_error and "not within jail root" in text_of(escaped)
