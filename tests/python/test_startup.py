"""What a command's start imports: `import corvane` and `corvane run` load only
what they use, and every public name is still there when asked for."""

import os
import subprocess
import sys

import pytest

import corvane


def loaded_after(code, *argv, flags=()):
    """The names of the modules loaded once `code` has run (`flags`: the interpreter's).
    The modules under test are found where this process found them, also under
    -S, which leaves site-packages (where pip installs them) off the path."""
    import _corvane

    where = [os.path.dirname(os.path.dirname(corvane.__file__)), os.path.dirname(_corvane.__file__)]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(where + [os.environ.get("PYTHONPATH", "")])}
    probe = code + "\nimport sys\nsys.stderr.write(' '.join(sorted(sys.modules)))\n"
    done = subprocess.run([sys.executable, *flags, "-c", probe, *argv], capture_output=True, timeout=60,
                          env=env)
    return set(done.stderr.decode().split())


# Each row: what is run, and modules it must not have loaded.
STARTS = [
    ("import-corvane", "import corvane",
     {"corvane.guard", "corvane.policy_file", "corvane.tool", "corvane.sandbox", "tomllib", "asyncio"}),
    ("corvane-run", "import runpy, sys\n"
                    "sys.argv = ['corvane', 'run', '-p', sys.argv[1], '--', 'true']\n"
                    "try:\n    runpy.run_module('corvane', run_name='__main__')\n"
                    "except SystemExit:\n    pass",
     {"asyncio", "json", "shlex", "corvane.cli.serve", "corvane.mcp_server", "corvane._aio"}),
]


@pytest.mark.parametrize("code, absent", [row[1:] for row in STARTS], ids=[row[0] for row in STARTS])
def test_a_start_loads_only_what_it_uses(tmp_path, code, absent):
    policy = tmp_path / "policy.toml"
    true = "/bin/true" if __import__("os").path.exists("/bin/true") else "/usr/bin/true"
    policy.write_text(f'[binaries.true]\npath = "{true}"\nmax_positionals = 0\n')
    loaded = loaded_after(code, str(policy))
    assert "corvane" in loaded
    assert absent & loaded == set()


def test_every_public_name_is_there_when_asked_for():
    fresh = subprocess.run(
        [sys.executable, "-c",
         "import corvane\n"
         "missing = [n for n in corvane.__all__ if getattr(corvane, n, None) is None]\n"
         "from corvane import Guard, arun, format_result, PolicyError, Sandbox, TimedOut\n"
         "import corvane.cli as cli\n"
         "missing += [n for n in cli.__all__ if getattr(cli, n, None) is None]\n"
         "print(missing, sorted(set(corvane.__all__) - set(dir(corvane))))"],
        capture_output=True, timeout=60)
    assert fresh.stdout.decode().split("\n")[0] == "[] []", fresh.stderr.decode()


def test_an_unknown_name_is_still_an_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'Gaurd'"):
        corvane.Gaurd  # noqa: B018
    with pytest.raises(ImportError):
        from corvane.cli import nothing_here  # noqa: F401
