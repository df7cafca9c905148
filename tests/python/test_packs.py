"""The shipped packs, used and attacked.

A policy made only of packs and a workspace must run what an agent really
sends (and print what it should), and refuse or contain each attack. Every
attack is first run under a naive policy, the same binary allowed by the
flags the attack uses and nothing else (no path checks, no sandbox), and
shown to work there: the row proves the pack is what stops it. Tools not on
this machine skip their rows and say so."""

import http.server
import os
import subprocess
import sys
import tarfile
import threading
import zipfile

import pytest

import corvane
from corvane import Guard, Refused, TimedOut
from corvane.policy_file import PolicyError, pack_names

SECRET = "s3cret-outside-the-workspace"
LANDLOCK = corvane.Sandbox.available()["landlock_abi"] > 0
pytestmark = pytest.mark.skipif(not LANDLOCK, reason="the packs' sandboxes need Landlock")


def installed(path):
    return os.path.exists(path)


@pytest.fixture
def world(tmp_path):
    """root/ws is the workspace, a git repository with one commit; root/outside
    holds a secret, which ws/escape and ws/escape_dir lead to."""
    ws, outside = tmp_path / "ws", tmp_path / "outside"
    (ws / "src").mkdir(parents=True)
    outside.mkdir()
    (outside / "secret").write_text(SECRET + "\n")
    (ws / "notes.txt").write_text("notes\n")
    (ws / "lines.txt").write_text("b\na\nc\na\n")
    (ws / "src" / "main.py").write_text("import os\n# TODO: call /api/v1\n")
    (ws / "data.json").write_text('{"name": "corvane", "tags": ["a", "b"]}\n')
    (ws / "Makefile").write_text("test:\n\t@echo tests-ran\nleak:\n\ttouch ../outside/pwned\n")
    (ws / "escape").symlink_to(outside / "secret")
    (ws / "escape_dir").symlink_to(outside)
    git = ["git", "-C", str(ws), "-c", "user.name=t", "-c", "user.email=t@t"]
    subprocess.run(["git", "init", "-q", str(ws)], check=True)
    subprocess.run([*git, "add", "notes.txt", "src"], check=True)
    subprocess.run([*git, "commit", "-qm", "first commit"], check=True)
    for name, value in (("user.name", "agent"), ("user.email", "agent@example.com")):
        subprocess.run(["git", "-C", str(ws), "config", name, value], check=True)
    with tarfile.open(ws / "a.tar", "w") as tar:
        tar.add(ws / "notes.txt", arcname="notes.txt")
    with zipfile.ZipFile(ws / "a.zip", "w") as z:
        z.write(ws / "notes.txt", arcname="zipped.txt")
    return tmp_path


ENV = {"mode": "fixed", "vars": {"PATH": "/usr/bin:/bin", "LANG": "C"}}


def packs_guard(world, include):
    ws = str(world / "ws")
    env = {"mode": "fixed", "vars": dict(ENV["vars"], HOME=ws)}
    return Guard.from_dict({"include": include, "timeout": "10s", "environment": env,
                            "cwd": {"jail": "${WORKSPACE}"}, "sandbox": {"workspace": "${WORKSPACE}"}},
                           vars={"WORKSPACE": ws})


EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "policies", "coding_agent.toml")


def example_guard(world):
    """The shipped coding agent made only of packs and ${WORKSPACE}."""
    return Guard.from_toml(EXAMPLE, vars={"WORKSPACE": str(world / "ws")})


def naive_guard(world, bin_path, argv, path_checks=False):
    """The binary allowed by the flags the request uses: what a policy written
    from a tool's manual page without knowing how it reads its argv allows
    (with `path_checks`, its positionals kept inside the workspace too)."""
    ws = str(world / "ws")
    flags = sorted({a for a in argv if a.startswith("-") and a != "--"})
    env = {"mode": "fixed", "vars": dict(ENV["vars"], HOME=ws)}
    return Guard.from_dict({"timeout": "3s", "environment": env, "cwd": {"fixed": ws},
                            "binaries": {os.path.basename(bin_path): {
                                "path": bin_path, "flags": flags, "max_flags": 64,
                                "max_positionals": 64, "inject_double_dash": False,
                                "path_positionals": path_checks}}})


def filled(world, argv):
    return [a.replace("ROOT", str(world)) for a in argv]


# ---------------------------------------------------------------- commands agents send

# (pack, binary path, argv, text the output must hold[, exit code when not 0])
BENIGN = [
    ("explore", "/usr/bin/ls", ["-la", "src"], "main.py"),
    ("explore", "/usr/bin/cat", ["-n", "notes.txt"], "1\tnotes"),
    ("explore", "/usr/bin/head", ["-n", "1", "lines.txt"], "b\n"),
    ("explore", "/usr/bin/tail", ["-n", "+4", "lines.txt"], "a\n"),
    ("explore", "/usr/bin/wc", ["-l", "lines.txt"], "4 lines.txt"),
    ("explore", "/usr/bin/grep", ["-rn", "TODO", "src"], "src/main.py:2:"),
    ("explore", "/usr/bin/grep", ["-rn", "/api/v1", "src"], "main.py:2:# TODO"),
    ("explore", "/usr/bin/grep", ["-n", "-e", "import", "-e", "TODO", "src/main.py"], "2:# TODO"),
    ("explore", "/usr/bin/find", [".", "-name", "*.py", "-type", "f"], "./src/main.py"),
    ("explore", "/usr/bin/stat", ["-c", "%s", "notes.txt"], "6"),
    ("explore", "/usr/bin/file", ["-b", "notes.txt"], "ASCII text"),
    ("explore", "/usr/bin/du", ["-sh", "src"], "src"),
    ("explore", "/usr/bin/rg", ["-n", "TODO", "src"], "main.py"),
    ("explore", "/usr/bin/tree", ["-L", "1"], "src"),
    ("text", "/usr/bin/sed", ["-n", "2p;$p", "lines.txt"], "a\na\n"),
    ("text", "/usr/bin/sed", ["-E", "s/([a-z]+)/<\\1>/", "notes.txt"], "<notes>"),
    ("text", "/usr/bin/sed", ["-e", "s/n/N/", "-e", "s/s$/S/", "notes.txt"], "NoteS"),
    ("text", "/usr/bin/sed", ["-n", "/TODO/p", "src/main.py"], "# TODO"),
    ("text", "/usr/bin/sort", ["-u", "lines.txt"], "a\nb\nc\n"),
    ("text", "/usr/bin/uniq", ["-c", "notes.txt"], "1 notes"),
    ("text", "/usr/bin/cut", ["-d", "/", "-f", "2", "src/main.py"], "api"),
    ("text", "/usr/bin/diff", ["-u", "notes.txt", "lines.txt"], "+++ lines.txt", 1),
    ("text", "/usr/bin/jq", ["-r", ".name", "data.json"], "corvane"),
    ("build-test", "/usr/bin/make", ["test"], "tests-ran"),
    ("archives", "/usr/bin/tar", ["-czf", "out.tgz", "src"], ""),
    ("archives", "/usr/bin/tar", ["tf", "a.tar"], "notes.txt"),
    ("archives", "/usr/bin/tar", ["-xf", "a.tar", "-C", "src"], ""),
    ("archives", "/usr/bin/zip", ["-r", "out.zip", "src"], "adding: src/main.py"),
    ("archives", "/usr/bin/unzip", ["-o", "a.zip", "-d", "src"], "src/zipped.txt"),
    ("archives", "/usr/bin/gzip", ["-k", "notes.txt"], ""),
    ("git-read", "/usr/bin/git", ["status", "--short"], "?? data.json"),
    ("git-read", "/usr/bin/git", ["log", "--oneline", "-n", "5"], "first commit"),
    ("git-read", "/usr/bin/git", ["--no-pager", "-c", "color.ui=never", "log", "-n", "1"], "first commit"),
    ("git-read", "/usr/bin/git", ["-C", "src", "ls-files"], "main.py"),
    ("git-read", "/usr/bin/git", ["log", "--format=%s"], "first commit"),
    ("git-read", "/usr/bin/git", ["show", "--stat", "HEAD"], "notes.txt"),
    ("git-read", "/usr/bin/git", ["diff", "HEAD", "--", "notes.txt"], ""),
    ("git-read", "/usr/bin/git", ["blame", "-L", "1,1", "notes.txt"], "notes"),
    ("git-read", "/usr/bin/git", ["grep", "-n", "/api/v1"], "src/main.py:2:"),
    ("git-read", "/usr/bin/git", ["branch", "--show-current"], ""),
    ("git-read", "/usr/bin/git", ["ls-files"], "src/main.py"),
    ("git-read", "/usr/bin/git", ["rev-parse", "--is-inside-work-tree"], "true"),
]


@pytest.mark.parametrize("policy", ["pack", "coding agent"])
@pytest.mark.parametrize("pack, path, argv, expected, code", [(*r, 0)[:5] for r in BENIGN],
                         ids=[f"{r[0]}:{os.path.basename(r[1])} {' '.join(r[2])}" for r in BENIGN])
def test_a_pack_runs_what_agents_send(world, policy, pack, path, argv, expected, code):
    if not installed(path):
        pytest.skip(f"{path} is not installed on this machine")
    guard = packs_guard(world, [pack]) if policy == "pack" else example_guard(world)
    out = guard.run(os.path.basename(path), argv)
    assert out.exit_code == code, out.stderr
    assert expected in out.stdout.decode()


# ---------------------------------------------------------------- attacks


def took_effect(marker):
    """Evidence that the attack ran a program: the file it creates exists."""
    return lambda world, out: (world / marker).exists()


def shows_secret(world, out):
    return out is not None and SECRET in (out.stdout + out.stderr).decode(errors="replace")


def timed_out(world, out):
    return out == "timed out"


def evil_script(name):
    def setup(world):
        script = world / "ws" / name
        script.write_text(f"#!/bin/sh\ntouch {world}/pwned\nexec cat\n")
        script.chmod(0o755)
    return setup


def big_input(world):
    evil_script("evil.sh")(world)
    (world / "ws" / "big.txt").write_text("".join(f"{i}\n" for i in range(200000, 0, -1)))


def git_config(*lines):
    def setup(world):
        with open(world / "ws" / ".git" / "config", "a") as f:
            f.write("".join(line.replace("ROOT", str(world)) + "\n" for line in lines))
    return setup


def outside_makefile(world):
    (world / "outside" / "Makefile").write_text(f"all:\n\ttouch {world}/pwned\n")


def commit_hook(world):
    (world / "ws" / "notes.txt").write_text("changed\n")
    hook = world / "ws" / ".git" / "hooks" / "pre-commit"
    hook.write_text(f"#!/bin/sh\ntouch {world}/pwned\n")
    hook.chmod(0o755)


def diff_driver(key):
    """notes.txt changed, and a diff driver for .txt files whose `key` runs a program."""
    def setup(world):
        (world / "ws" / "notes.txt").write_text("changed\n")
        (world / "ws" / ".gitattributes").write_text("*.txt diff=evil\n")
        git_config('[diff "evil"]', f"\t{key} = touch ROOT/pwned; cat")(world)
    return setup


def outside_repo(world):
    subprocess.run(["git", "init", "-q", str(world / "outside")], check=True)


def files0(world):
    (world / "ws" / "names").write_bytes(str(world / "outside" / "secret").encode() + b"\0")


# (id, pack, binary path, argv (ROOT: the directory holding ws/ and outside/),
#  setup (or "path checks": the naive rule set checks positionals as paths), evidence that
#  the attack worked)
ATTACKS = [
    # paths outside the workspace: absolute, "..", a link to a file, a link followed by -R
    ("absolute path", "explore", "/usr/bin/cat", ["ROOT/outside/secret"], None, shows_secret),
    ("dot-dot path", "explore", "/usr/bin/head", ["../outside/secret"], None, shows_secret),
    ("link to a file outside", "explore", "/usr/bin/cat", ["escape"], None, shows_secret),
    # with -e the first positional is a file, never the pattern's free text
    ("grep -e then a file outside", "explore", "/usr/bin/grep", ["-e", "s3cret", "ROOT/outside/secret"], None,
     shows_secret),
    ("grep -R follows links in the tree", "explore", "/usr/bin/grep", ["-R", "s3cret", "."], None,
     shows_secret),
    ("names read from a file", "explore", "/usr/bin/wc", ["--files0-from=names"], files0,
     lambda world, out: out is not None and b"outside/secret" in out.stdout),
    # programs run by find's primaries, a "--" ahead of them, a value flag's value smuggled
    ("find -exec", "explore", "/usr/bin/find", [".", "-exec", "touch", "ROOT/pwned", ";"], None,
     took_effect("pwned")),
    ("find -- then -exec", "explore", "/usr/bin/find", ["--", ".", "-exec", "touch", "ROOT/pwned", ";"],
     None, took_effect("pwned")),
    ("find -fprint writes outside", "explore", "/usr/bin/find", [".", "-fprint", "ROOT/pwned"], None,
     took_effect("pwned")),
    # exhaustion: waiting for more input until the time limit
    ("tail -f", "explore", "/usr/bin/tail", ["-f", "notes.txt"], None, timed_out),
    # text: a program run on temporary files, writes and reads outside
    ("sort --compress-program", "text", "/usr/bin/sort",
     ["-S", "64K", "--compress-program=./evil.sh", "big.txt"], big_input, took_effect("pwned")),
    ("sort -o outside", "text", "/usr/bin/sort", ["-o", "ROOT/pwned", "notes.txt"], None,
     took_effect("pwned")),
    ("uniq writes its second file", "text", "/usr/bin/uniq", ["notes.txt", "ROOT/pwned"], None,
     took_effect("pwned")),
    # -L takes a value: a rule set that does not know it reads "--" as the end
    # of options, and the option after it as a file it checks (and finds inside)
    ("an option smuggled past a value", "text", "/usr/bin/diff",
     ["-L", "--", "--to-file=ROOT/outside/secret", "notes.txt"], "path checks", shows_secret),
    ("diff against a file outside", "text", "/usr/bin/diff", ["notes.txt", "ROOT/outside/secret"], None,
     shows_secret),
    # sed: a command that runs a program, one that writes a file, one that reads one
    ("sed e", "text", "/usr/bin/sed", ["-n", "1e touch ROOT/pwned", "notes.txt"], None, took_effect("pwned")),
    ("sed s///w", "text", "/usr/bin/sed", ["s/n/N/w ROOT/pwned", "notes.txt"], None, took_effect("pwned")),
    ("sed r", "text", "/usr/bin/sed", ["1r ROOT/outside/secret", "notes.txt"], None, shows_secret),
    ("sed -e e", "text", "/usr/bin/sed", ["-n", "-e", "1e touch ROOT/pwned", "notes.txt"], None,
     took_effect("pwned")),
    ("jq --rawfile", "text", "/usr/bin/jq", ["-n", "--rawfile", "x", "ROOT/outside/secret", "$x"], None,
     shows_secret),
    # archives: a program run per member, writes outside, a program run to test an archive
    ("tar --to-command", "archives", "/usr/bin/tar", ["-xf", "a.tar", "--to-command=touch ROOT/pwned"], None,
     took_effect("pwned")),
    ("tar -C outside", "archives", "/usr/bin/tar", ["-xf", "a.tar", "-C", "ROOT/outside"], None,
     took_effect("outside/notes.txt")),
    ("unzip -d outside", "archives", "/usr/bin/unzip", ["a.zip", "-d", "ROOT/outside"], None,
     took_effect("outside/zipped.txt")),
    ("zip -TT", "archives", "/usr/bin/zip", ["-T", "-TT", "touch ROOT/pwned", "b.zip", "notes.txt"], None,
     took_effect("pwned")),
    # build-test: a variable that replaces the shell, a makefile from elsewhere, and a
    # recipe that writes outside (the rules allow the target: the sandbox contains it)
    ("make SHELL=", "build-test", "/usr/bin/make", ["SHELL=ROOT/ws/evil.sh", "test"], evil_script("evil.sh"),
     took_effect("pwned")),
    ("make -f outside", "build-test", "/usr/bin/make", ["-f", "ROOT/outside/Makefile"], outside_makefile,
     took_effect("pwned")),
    ("a recipe writing outside", "build-test", "/usr/bin/make", ["leak"], None, took_effect("outside/pwned")),
    # fetch: a scheme that reads a local file, a download written outside
    ("curl file://", "fetch", "/usr/bin/curl", ["-s", "file://ROOT/outside/secret"], None, shows_secret),
    ("curl -o outside", "fetch", "/usr/bin/curl", ["-s", "-o", "ROOT/pwned", "file://ROOT/ws/notes.txt"], None,
     took_effect("pwned")),
    # git-write: a hook of the repository's own
    ("repository's pre-commit hook", "git-write", "/usr/bin/git", ["commit", "-a", "-m", "change"], commit_hook,
     took_effect("pwned")),
    # git: options before the subcommand, repository configuration, paths outside the work tree
    ("git -c core.fsmonitor", "git-read", "/usr/bin/git",
     ["-c", "core.fsmonitor=touch ROOT/pwned", "status"], None, took_effect("pwned")),
    ("git -C outside", "git-read", "/usr/bin/git", ["-C", "ROOT/outside", "status", "--porcelain"],
     outside_repo, lambda world, out: out is not None and b"secret" in out.stdout),
    ("repository's core.fsmonitor", "git-read", "/usr/bin/git", ["status"],
     git_config("[core]", "\tfsmonitor = touch ROOT/pwned"), took_effect("pwned")),
    ("repository's textconv", "git-read", "/usr/bin/git", ["diff"], diff_driver("textconv"),
     took_effect("pwned")),
    ("repository's diff driver", "git-read", "/usr/bin/git", ["diff"], diff_driver("command"),
     took_effect("pwned")),
    ("repository's alias", "git-read", "/usr/bin/git", ["st"],
     git_config("[alias]", "\tst = !touch ROOT/pwned"), took_effect("pwned")),
    ("implicit diff --no-index", "git-read", "/usr/bin/git", ["diff", "ROOT/outside/secret", "notes.txt"],
     None, shows_secret),
    ("git log --output", "git-read", "/usr/bin/git", ["log", "--output=ROOT/pwned"], None,
     took_effect("pwned")),
    ("git grep -O runs a pager", "git-read", "/usr/bin/git",
     ["grep", "--open-files-in-pager=touch ROOT/pwned", "notes"], None, took_effect("pwned")),
]


def attempt(guard, path, argv):
    """The output, None when refused, "timed out" when it ran into the limit."""
    try:
        return guard.run(os.path.basename(path), argv)
    except Refused:
        return None
    except TimedOut:
        return "timed out"


@pytest.mark.parametrize("mode", ["naive", "pack", "coding agent"])
@pytest.mark.parametrize("name, pack, path, argv, setup, worked", ATTACKS, ids=[r[0] for r in ATTACKS])
def test_an_attack_works_naively_and_not_under_its_pack(world, mode, name, pack, path, argv, setup, worked):
    if not installed(path):
        pytest.skip(f"{path} is not installed on this machine")
    path_checks = setup == "path checks"
    if setup is not None and not path_checks:
        setup(world)
    argv = filled(world, argv)
    if mode == "naive":
        out = attempt(naive_guard(world, path, argv, path_checks), path, argv)
        assert worked(world, out), f"the attack did not work without the pack: {out}"
    else:
        guard = packs_guard(world, [pack]) if mode == "pack" else example_guard(world)
        out = attempt(guard, path, argv)
        assert not worked(world, out), f"the {mode} let the attack through: {out}"


# ---------------------------------------------------------------- including and narrowing


def with_packs(world, include=("explore", "git-read"), **extra):
    ws = str(world / "ws")
    return {"include": list(include), "cwd": {"jail": ws}, "sandbox": {"workspace": ws}, **extra}


# (what, the policy's own keys besides the packs, key path of the error, words of its reason)
MISTAKES = [
    ("an unknown pack", {"include": ["explore", "nope"]}, "include[1]", "unknown pack 'nope' (known: "),
    ("a malformed pack name", {"include": ["../explore"]}, "include[0]", "malformed pack name"),
    ("a pack without the binary", {"binaries": {"sed": {"pack": "explore"}}}, "binaries.sed.pack",
     "the pack 'explore' has no binary 'sed'"),
    ("widen on the policy's own binary", {"binaries": {"true": {"path": "/usr/bin/true", "widen": True}}},
     "binaries.true.widen", "only a binary taken from a pack"),
    ("a flag added", {"binaries": {"grep": {"flags": ["-n", "-R"]}}}, "binaries.grep.flags",
     "adds the flag '-R': wider than the pack 'explore'"),
    ("a value flag added", {"binaries": {"grep": {"value_flags": {"-f": {"path": True}}}}},
     "binaries.grep.value_flags", "adds the value flag '-f'"),
    ("a count raised", {"binaries": {"ls": {"max_flags": 99}}}, "binaries.ls.max_flags",
     "raises it from the pack's 8 to 99"),
    ("path checks turned off", {"binaries": {"cat": {"path_positionals": False}}},
     "binaries.cat.path_positionals", "no longer checks positionals as paths"),
    ("a value's pattern replaced", {"binaries": {"head": {"value_flags": {"-n": {"pattern": ".*"}}}}},
     "binaries.head.value_flags.-n.pattern", "changes the pack's pattern"),
    ("a value the pattern refuses", {"binaries": {"head": {"value_flags": {"-n": {"one_of": ["5", "all"]}}}}},
     "binaries.head.value_flags.-n.one_of", "allows the value 'all'"),
    ("a subcommand added", {"binaries": {"git": {"subcommands": {"push": {}}}}},
     "binaries.git.subcommands.push", "adds a subcommand the pack does not have"),
    ("another program", {"binaries": {"cat": {"path": "/usr/bin/tac"}}}, "binaries.cat.path",
     "names another program than the pack's /usr/bin/cat"),
    ("programs for git", {"binaries": {"git": {"sandbox": {"exec": ["/usr/bin"]}}}},
     "binaries.git.sandbox.exec", "grants /usr/bin, outside what the pack grants"),
    ("the network for git", {"binaries": {"git": {"sandbox": {"network": True}}}},
     "binaries.git.sandbox.network", "opens the network"),
    ("programs for one git subcommand",
     {"binaries": {"git": {"subcommands": {"status": {"sandbox": {"exec": ["/usr/bin"]}}}}}},
     "binaries.git.subcommands.status.sandbox.exec", "grants /usr/bin, outside what the pack grants"),
]


@pytest.mark.parametrize("what, extra, key, reason", MISTAKES, ids=[m[0] for m in MISTAKES])
def test_a_pack_mistake_names_its_key_and_reason(world, what, extra, key, reason):
    data = with_packs(world)
    data.update({k: v for k, v in extra.items() if k == "include"})
    data.update({k: v for k, v in extra.items() if k != "include"})
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(data)
    assert caught.value.key == key
    assert reason in caught.value.reason


def test_seds_own_sandbox_contains_e_where_its_grammar_is_taken_away(world):
    """The grammar of sed's script is one layer; its sandbox, with no program
    to execute, is the other: widened to take any script, "e" still runs
    nothing (the same run naively is the sed e row above)."""
    data = with_packs(world, include=["text"],
                      binaries={"sed": {"positionals": ["text"], "widen": True}})
    guard = Guard.from_dict(data)
    out = guard.run("sed", ["-n", f"1e touch {world}/pwned", "notes.txt"])
    assert out.exit_code != 0 and not (world / "pwned").exists()


def test_git_write_does_an_agents_day_of_commits(world):
    guard = packs_guard(world, ["git-read", "git-write"])
    (world / "ws" / "notes.txt").write_text("changed\n")
    session = [
        (["switch", "-c", "feature"], ""),
        (["add", "notes.txt", "data.json"], ""),
        (["commit", "-m", "Change the notes"], "Change the notes"),
        (["log", "--oneline"], "Change the notes"),
        (["checkout", "-b", "other"], ""),
        (["stash", "list"], ""),
        (["branch", "--show-current"], "other"),
    ]
    for argv, expected in session:
        out = guard.run("git", argv)
        assert out.exit_code == 0, (argv, out.stderr)
        assert expected in (out.stdout + out.stderr).decode(), argv
    (world / "ws" / "notes.txt").write_text("edited\n")
    for argv in (["stash", "push", "-m", "wip"], ["stash", "list"], ["stash", "pop"], ["restore", "notes.txt"]):
        out = guard.run("git", argv)
        assert out.exit_code == 0, (argv, out.stderr)
    assert (world / "ws" / "notes.txt").read_text() == "changed\n"
    for argv in (["push"], ["reset", "--hard"], ["commit", "--amend"], ["switch", "--orphan", "x"],
                 ["checkout", "-b", "-D"], ["-c", "core.hooksPath=/tmp", "commit", "-m", "x"]):
        with pytest.raises(Refused):
            guard.check("git", argv)


@pytest.mark.skipif(sys.prefix != sys.base_prefix,
                    reason="a venv made from inside a venv borrows the base's packages, without pytest")
def test_build_test_runs_pytest_from_the_workspaces_venv(world):
    ws = world / "ws"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
                    str(ws / ".venv")], check=True)
    (ws / "tests").mkdir()
    (ws / "tests" / "test_where.py").write_text(
        "import sys\n\ndef test_in_venv():\n    assert sys.prefix.endswith('.venv')\n")
    # The launcher pip would write for pytest.
    script = ws / ".venv" / "bin" / "pytest"
    script.write_text(f"#!{ws}/.venv/bin/python3\nimport sys\nfrom pytest import console_main\n"
                      "sys.exit(console_main())\n")
    script.chmod(0o755)
    data = with_packs(world, include=["build-test"])
    # The base interpreter's own tree, wherever this machine keeps it (pyenv's is not under /usr).
    data["sandbox"]["read"] = [os.path.realpath(sys.base_prefix)]
    guard = Guard.from_dict(data)
    for bin, argv in (("python3", ["-m", "pytest", "-q", "-p", "no:cacheprovider", "tests"]),
                      ("pytest", ["-q", "-p", "no:cacheprovider", "tests/test_where.py"])):
        out = guard.run(bin, argv)
        assert out.exit_code == 0, out.stdout + out.stderr
        assert b"1 passed" in out.stdout
    for argv in (["-c", "print(1)"], ["-m", "pip"], ["-m", "pytest", "-p", "evil"],
                 ["-m", "pytest", "--rootdir=/"]):
        with pytest.raises(Refused):
            guard.check("python3", argv)


def test_fetch_allows_https_into_the_workspace_and_nothing_else(world):
    guard = packs_guard(world, ["fetch"])
    allowed = [("curl", ["-sSf", "-o", "x.json", "https://example.com/a.json"]),
               ("wget", ["-q", "-O", "page.html", "https://example.com/"])]
    refused = [("curl", ["http://example.com/"]), ("curl", ["https://example.com:8443/"]),
               ("curl", ["https://example.com/[1-100000]"]), ("curl", ["-L", "https://example.com/"]),
               ("curl", ["-T", "notes.txt", "https://example.com/"]), ("wget", ["-i", "urls.txt"]),
               ("wget", ["-P", "/tmp", "https://example.com/"])]
    for bin, argv in allowed:
        guard.check(bin, argv)
    for bin, argv in refused:
        with pytest.raises(Refused):
            guard.check(bin, argv)


def test_fetch_connects_to_port_443_only_even_where_the_rules_are_widened(world):
    """The URL pattern is one layer; the port rule of curl's own sandbox the
    other: with any URL allowed, a server on another port is out of reach."""
    server = http.server.HTTPServer(("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_port}/"
        # Reachable without the sandbox. Bounded, and without the sanitizer
        # runtimes a sanitized test run preloads: curl deadlocks under them.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        assert subprocess.run(["curl", "-s", "-m", "20", "-o", os.devnull, url], env=env,
                              timeout=60).returncode == 0
        data = with_packs(world, include=["fetch"],
                          binaries={"curl": {"rest_positionals": "text", "widen": True}})
        out = Guard.from_dict(data).run("curl", ["-s", "-o", "page.html", url])
        assert out.exit_code == 7  # curl: could not connect
    finally:
        server.shutdown()
        server.server_close()


def test_the_explorer_made_of_packs_reads_its_repository_and_writes_nothing_by_its_rules():
    explorer = Guard.from_toml(os.path.join(os.path.dirname(EXAMPLE), "code_explorer.toml"))
    described = explorer.describe()
    assert [p["name"] for p in described["packs"]] == ["explore", "git-read"]
    out = explorer.run("grep", ["-c", "include", "examples/policies/code_explorer.toml"])
    assert out.exit_code == 0 and int(out.stdout) > 0
    for bin, argv in (("cat", ["/etc/passwd"]), ("git", ["commit", "-m", "x"]), ("sed", ["-n", "p", "README.md"])):
        with pytest.raises(Refused):
            explorer.check(bin, argv)


def test_the_coding_agent_pins_git_to_the_workspace(world):
    """A core.worktree written into .git/config points git at a system
    directory the sandbox lets it read: the packs cannot stop that, the
    environment of the coding agent made of them does."""
    git_config("[core]", "\tworktree = /etc")(world)
    naive = naive_guard(world, "/usr/bin/git", ["status", "--porcelain"])
    assert b"?? passwd" in naive.run("git", ["status", "--porcelain"]).stdout
    out = example_guard(world).run("git", ["status", "--porcelain"])
    assert out.exit_code == 0 and b"passwd" not in out.stdout and b"data.json" in out.stdout


def test_a_pack_whose_binary_has_a_sandbox_needs_the_policys(world):
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict({"include": ["git-read"], "cwd": {"jail": str(world / "ws")}})
    assert caught.value.key == "binaries.git.sandbox"
    assert "the pack 'git-read' contains this binary with its own sandbox" in caught.value.reason


def test_a_narrowed_pack_allows_only_what_is_left(world):
    guard = Guard.from_dict(with_packs(world, binaries={
        "ls": {"flags": ["-l"], "max_flags": 1},
        "head": {"value_flags": {"-n": {"one_of": ["5"]}}},
        "git": {"subcommands": {"status": {}, "log": {"max_flags": 1}}},
        "grep": {"sandbox": {"limits": {"processes": 8}}},
    }))
    ws = str(world / "ws")
    allowed = [("ls", ["-l"]), ("head", ["-n", "5", "notes.txt"]), ("git", ["status"]),
               ("git", ["log", "--oneline"]), ("cat", ["notes.txt"])]
    refused = [("ls", ["-a"]), ("ls", ["-l", "-l"]), ("head", ["-n", "6", "notes.txt"]),
               ("git", ["diff"]), ("git", ["log", "--oneline", "--stat"])]
    for bin, argv in allowed:
        guard.check(bin, argv, cwd=ws)
    for bin, argv in refused:
        with pytest.raises(Refused):
            guard.check(bin, argv, cwd=ws)
    described = {b["name"]: b for b in guard.describe()["binaries"]}
    assert described["ls"]["pack"] == "explore" and "widened_from" not in described["ls"]
    assert [s["subcommand"] for s in described["git"]["rule_sets"]] == ["status", "log"]
    assert described["grep"]["sandbox"]["limits"]["processes"] == 8


def test_widening_is_explicit_and_shown(world):
    guard = Guard.from_dict(with_packs(world, binaries={"ls": {"flags": ["-l", "--full-time"], "widen": True}}))
    guard.check("ls", ["--full-time"], cwd=str(world / "ws"))
    entry = next(b for b in guard.describe()["binaries"] if b["name"] == "ls")
    assert entry["widened_from"] == "explore"
    assert "widened from pack explore" in guard.tool_description()


def test_describe_and_explain_name_the_pack(world):
    guard = Guard.from_dict(with_packs(world, binaries={"true": {"path": "/usr/bin/true", "max_flags": 0,
                                                                "max_positionals": 0}}))
    packs = {p["name"]: p for p in guard.describe()["packs"]}
    assert set(packs) == {"explore", "git-read"}
    assert packs["explore"]["description"] and "grep" in packs["explore"]["binaries"]
    assert sorted(packs["explore"]["missing"]) == sorted(
        b for b in ("rg", "tree") if not installed(f"/usr/bin/{b}"))
    explained = guard.explain("git", ["log", "-n", "2"], cwd=str(world / "ws"))
    assert explained["pack"] == "git-read" and "(pack git-read)" in explained["message"]
    assert "pack" not in guard.explain("true", [])


def test_one_binary_taken_from_a_pack_not_included(world):
    guard = Guard.from_dict({"cwd": {"jail": str(world / "ws")},
                             "binaries": {"grep": {"pack": "explore", "max_flags": 2}}})
    assert [b["name"] for b in guard.describe()["binaries"]] == ["grep"]
    guard.check("grep", ["-n", "x", "notes.txt"])
    with pytest.raises(Refused):
        guard.check("grep", ["-n", "-i", "-w", "x", "notes.txt"])


def test_every_shipped_pack_loads_and_is_listed(world):
    names = pack_names()
    assert {"explore", "text", "git-read", "git-write", "build-test", "archives", "fetch"} <= set(names)
    for name in names:
        described = packs_guard(world, [name]).describe()
        assert described["packs"][0]["name"] == name
    out = subprocess.run([sys.executable, "-m", "corvane", "packs"],
                         capture_output=True, text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(
                             p for p in (os.path.dirname(os.path.dirname(corvane.__file__)),
                                         os.environ.get("PYTHONPATH")) if p)})
    assert out.returncode == 0, out.stderr
    for name in names:
        assert f"\n{name}: " in "\n" + out.stdout
    # The workspace is shown as the packs write it, never as the directory they were read against.
    assert "may execute /usr/bin, /bin, ${WORKSPACE}" in out.stdout and "corvane-packs-" not in out.stdout
