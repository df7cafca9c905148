"""corvane.arun when descriptors run out: many concurrent runs under a lowered
soft limit, each scenario in a subprocess of its own so the limit touches
nothing else. Runs that cannot get their descriptors fail with SpawnFailed,
the others succeed, nothing is left behind, and runs afterwards succeed again."""

import json
import os
import shutil
import subprocess
import sys

import pytest

# The sanitizers' runtimes need descriptors of their own (ASan's, and UBSan's check
# of a pointer's memory, which writes it through a pipe), so a process run out of
# descriptors on purpose measures them, not corvane.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="descriptor budgets are not corvane's under the sanitizers")

PRESSURE = r"""
import asyncio, gc, json, os, resource, subprocess, sys
import corvane
from corvane import ArgRules, ProcPolicyBuilder, ProcRequest

limit, count, program, argv = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4:]
resource.setrlimit(resource.RLIMIT_NOFILE, (limit, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
rules = ArgRules().max_positionals(len(argv))
command = (ProcPolicyBuilder().allow_bin(program).arg_rules(program, rules).timeout_secs(30)
           .build().prepare(ProcRequest(program, argv)))

def fds():
    return len(os.listdir("/proc/self/fd"))

def children():
    me, found = str(os.getpid()), 0
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as handle:
                found += handle.read().rsplit(")", 1)[1].split()[1] == me
        except (OSError, IndexError):
            pass
    return found

async def with_corvane():
    try:
        await corvane.arun(command)
        return "ok"
    except Exception as error:
        return f"{type(error).__name__}: {error}"

async def with_asyncio():
    try:
        process = await asyncio.create_subprocess_exec(
            program, *argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        await process.communicate()
        return "ok"
    except OSError as error:
        return f"OSError: {error}"

async def batch(one, size):
    base = fds()  # inside the running loop, before any run
    return base, await asyncio.gather(*[one() for _ in range(size)])

report = {"asyncio": asyncio.run(batch(with_asyncio, count))[1].count("ok")}
gc.collect()
fds_before, children_before = fds(), children()
report["base"], results = asyncio.run(batch(with_corvane, count))
report["ok"] = results.count("ok")
report["failures"] = sorted(set(r for r in results if r != "ok"))
gc.collect()
report["fds_left"] = fds() - fds_before
report["children_left"] = children() - children_before
report["later"] = sorted(set(asyncio.run(batch(with_corvane, 8))[1]))
print(json.dumps(report))
"""

EMFILE = "SpawnFailed: failed to spawn process: Too many open files (os error 24)"
LIMIT = 128


def scenario(script, *args):
    done = subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True,
                          text=True, timeout=120, env=os.environ.copy())
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def program(name):
    return os.path.realpath(shutil.which(name))


# `true` ends at once, so descriptors come back while later runs start; `sleep`
# holds every started child's descriptors until the batch is over. How many
# more than the floor below succeed depends on how fast children end, which a
# loaded machine changes: only the floor is claimed, and asyncio's own count
# is kept in the report for comparison.
@pytest.mark.parametrize("argv, count", [
    (["true"], 4 * LIMIT),
    (["sleep", "0.5"], 2 * LIMIT),
], ids=["true", "sleep"])
def test_runs_beyond_the_limit_degrade_gracefully(argv, count):
    report = scenario(PRESSURE, LIMIT, count, program(argv[0]), *argv[1:])
    # The worst case, no child ending before the last one starts: the loop's
    # own descriptors (`base`, which counts the listing's too) and the
    # reactor's two (epoll, one eventfd) are taken; each started child holds
    # three (pidfd, two pipe read ends), and one more start needs five (two
    # pipes and its pidfd). Every start that fits in what is left must succeed.
    floor = 1 + (LIMIT - report["base"] - 2 - 5) // 3
    assert report["ok"] >= floor, report
    assert set(report["failures"]) <= {EMFILE}, report
    assert report["fds_left"] == 0, "descriptor leaked"
    assert report["children_left"] == 0, "child left behind"
    assert report["later"] == ["ok"], report


EXHAUSTED = r"""
import asyncio, json, os, resource, sys
import corvane
from corvane import ArgRules, ProcPolicyBuilder, ProcRequest, arun  # imported while files open

free = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
program = os.path.realpath("/bin/true")
command = (ProcPolicyBuilder().allow_bin(program).arg_rules(program, ArgRules()).build()
           .prepare(ProcRequest(program, [])))

def outcome(call):
    try:
        call()
        return "ok"
    except Exception as error:
        return f"{type(error).__name__}: {error}"

async def main():
    hog = []
    try:
        while True:
            hog.append(os.open("/dev/null", os.O_RDONLY | os.O_CLOEXEC))
    except OSError:
        pass
    for _ in range(free):
        os.close(hog.pop())
    report = {"run": outcome(lambda: corvane.run(command))}
    try:
        await arun(command)
        report["arun"] = "ok"
    except Exception as error:
        report["arun"] = f"{type(error).__name__}: {error}"
    for fd in hog:
        os.close(fd)
    await arun(command)  # the loop is not left broken
    return report

print(json.dumps(asyncio.run(main())))
"""


# With no descriptor, no room for the run's loop; with one, none for the
# start's inbox; with three, not both pipes: arun fails as corvane.run does.
@pytest.mark.parametrize("free, message", [
    (0, "failed to spawn process: failed to create runtime: Too many open files (os error 24)"),
    (1, "failed to spawn process: Too many open files (os error 24)"),
    (3, "failed to spawn process: Too many open files (os error 24)"),
])
def test_arun_without_descriptors_fails_like_run(free, message):
    report = scenario(EXHAUSTED, free)
    assert report == {"run": f"SpawnFailed: {message}", "arun": f"SpawnFailed: {message}"}
