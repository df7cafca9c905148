"""The packs attacked where their rules and the program read argv apart.

Each row is an attack a hostile agent sends to a policy made of packs; it is
first shown to work where the protection is missing (a naive rule set that
reads argv token by token, or the placement the program would see), then
refused or contained under the pack."""

import os
import subprocess
import tarfile

import pytest

import corvane
from corvane import Guard, Refused

SECRET = "s3cret-outside-the-workspace"
LANDLOCK = corvane.Sandbox.available()["landlock_abi"] > 0


@pytest.fixture
def world(tmp_path):
    """tmp/ws is the workspace, tmp/outside holds a secret."""
    ws, outside = tmp_path / "ws", tmp_path / "outside"
    ws.mkdir()
    outside.mkdir()
    (outside / "secret").write_text(SECRET + "\n")
    (ws / "notes.txt").write_text("notes\n")
    return tmp_path


def pack_guard(world, include, sandbox=True):
    ws = str(world / "ws")
    policy = {"include": include, "timeout": "10s",
              "environment": {"mode": "fixed", "vars": {"PATH": "/usr/bin:/bin", "HOME": ws}},
              "cwd": {"jail": ws}}
    if sandbox:
        policy["sandbox"] = {"workspace": ws}
    return Guard.from_dict(policy)


def attempt(guard, name, argv):
    try:
        out = guard.run(name, argv)
    except Refused:
        return None
    return out.stdout.decode(errors="replace") + out.stderr.decode(errors="replace")


# ------------------------------------------------ an option after the positionals

# A program that permutes its argv (GNU getopt, git's and jq's parsers) reads an
# option after a positional as an option, and so do the rules; an inserted
# "--" in front of the first positional made it, and its value, operands that
# were never checked: grep's -e value became a file to read.


def test_a_value_after_the_positionals_is_not_made_a_file_to_read(world):
    outside = str(world / "outside" / "secret")
    argv = ["s3cret", "notes.txt", "-e", outside]
    # With "--" before the first positional, grep reads the secret: the attack's
    # mechanism, as the program sees it.
    naive = subprocess.run(["grep", "--", *argv], cwd=world / "ws", capture_output=True, text=True)
    assert SECRET in naive.stdout
    out = attempt(pack_guard(world, ["explore"], sandbox=False), "grep", argv)
    assert out is None or SECRET not in out, out


# (pack, binary, argv, the option's value): under the pack the value stays
# where the program reads it as one, before any inserted "--".
OPTIONS_AFTER_POSITIONALS = [
    # inject_double_dash_after: zip's "--" after the archive, -x after a file
    ("archives", "zip", ["o.zip", "notes.txt", "-x", "VALUE"], "/etc/passwd"),
    # a free value on a binary whose positionals are plain paths
    ("explore", "stat", ["notes.txt", "-c", "VALUE"], "/etc/shadow"),
]


@pytest.mark.parametrize("pack, name, argv, value", OPTIONS_AFTER_POSITIONALS,
                         ids=[r[1] for r in OPTIONS_AFTER_POSITIONALS])
def test_an_option_after_the_positionals_stays_an_option(world, pack, name, argv, value):
    if not os.path.exists("/usr/bin/" + name):
        pytest.skip(f"/usr/bin/{name} is not installed on this machine")
    argv = [value if a == "VALUE" else a for a in argv]
    explained = pack_guard(world, [pack]).explain(name, argv)
    if not explained["allowed"]:
        return
    prepared = explained["prepared"]["argv"]
    if "--" in prepared:
        assert prepared.index(value) < prepared.index("--"), prepared


# ------------------------------------------------ tar's -C moves it

# tar changes directory at -C and reads every later name from there: a name
# that is a real directory in the workspace but a link to the system's tree
# under the -C directory archives the system's file.


@pytest.mark.skipif(not LANDLOCK, reason="the archives pack's sandbox needs Landlock")
@pytest.mark.parametrize("form", [["-C", "sub"], ["--directory=sub"]], ids=["-C", "--directory"])
def test_tar_reads_names_from_the_directory_it_moved_to(world, form):
    ws = world / "ws"
    (ws / "etc").mkdir()
    (ws / "sub").mkdir()
    (ws / "sub" / "etc").symlink_to("/etc")
    argv = ["-c", "-f", "o.tar", *form, "etc/hostname"]
    # Unguarded, the archive holds the system's file.
    subprocess.run(["tar", "-c", "-f", str(world / "naive.tar"), "-C", str(ws / "sub"),
                    "etc/hostname"], check=True, capture_output=True)
    with tarfile.open(world / "naive.tar") as naive:
        assert "etc/hostname" in naive.getnames()
    attempt(pack_guard(world, ["archives"]), "tar", argv)
    if (ws / "o.tar").exists():
        with tarfile.open(ws / "o.tar") as archive:
            assert "etc/hostname" not in archive.getnames()


# ------------------------------------------------ links followed on the program's own

# gzip -r -f compresses the file a link in the tree names (and removes the
# link): a link planted in the workspace to a system file puts that file's
# contents into the workspace. Names the agent gives are checked; the names
# a recursion finds are not, so the pack has no -r.


@pytest.mark.skipif(not LANDLOCK, reason="the archives pack's sandbox needs Landlock")
def test_gzip_does_not_recurse_into_a_link_to_the_system(world):
    ws = world / "ws"
    (ws / "d").mkdir()
    (ws / "d" / "link").symlink_to("/etc/hostname")
    naive = world / "naive"
    (naive / "d").mkdir(parents=True)
    (naive / "d" / "link").symlink_to("/etc/hostname")
    subprocess.run(["gzip", "-r", "-f", "d"], cwd=naive, capture_output=True)
    assert (naive / "d" / "link.gz").exists()
    attempt(pack_guard(world, ["archives"]), "gzip", ["-r", "-f", "d"])
    assert not (ws / "d" / "link.gz").exists()
