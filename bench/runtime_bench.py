#!/usr/bin/env python3
"""What an agent's runtime pays, in one run:

1. start-up: `corvane run -p POLICY -- true` end to end (interpreter start,
   policy load, check, run, exit) against `python -c` running the same
   command through subprocess.run, and an interpreter that does nothing;
2. a large output: `head -c 50MiB /dev/zero` taken whole through
   Guard.arun and chunk by chunk through Guard.stream.

Prints figures; it never passes or fails.

    python3 bench/runtime_bench.py [--quick]
"""

import asyncio
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import corvane

QUICK = "--quick" in sys.argv
STARTS = 8 if QUICK else 30
ROUNDS = 3 if QUICK else 7
SIZE = (8 if QUICK else 50) << 20
TRUE = shutil.which("true") or "/bin/true"
HEAD = shutil.which("head") or "/usr/bin/head"

# An installed package starts from compiled bytecode; a checkout run with
# PYTHONDONTWRITEBYTECODE would compile every module on every start instead.
CHILD_ENV = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}


def figures(times):
    return statistics.median(times), min(times)


def starts(directory):
    """Median and best milliseconds of each way to start the command, taken in turn."""
    policy = os.path.join(directory, "policy.toml")
    with open(policy, "w") as handle:
        handle.write(f'timeout = "5s"\n[binaries.true]\npath = "{TRUE}"\nmax_positionals = 0\n')
    ways = {
        "python -c pass (the interpreter alone)": [sys.executable, "-c", "pass"],
        "python -c subprocess.run(['true'])": [
            sys.executable, "-c", f"import subprocess; subprocess.run([{TRUE!r}], timeout=5)"],
        "corvane run -p POLICY -- true": [sys.executable, "-m", "corvane", "run", "-p", policy,
                                          "--", "true"],
    }
    env = dict(CHILD_ENV, PYTHONPYCACHEPREFIX=os.path.join(directory, "pycache"))
    for argv in ways.values():  # compile, and warm the page cache
        subprocess.run(argv, check=True, env=env)
    times = {what: [] for what in ways}
    for _ in range(STARTS):
        for what, argv in ways.items():
            began = time.perf_counter()
            subprocess.run(argv, check=True, env=env)
            times[what].append((time.perf_counter() - began) * 1000.0)
    return {what: figures(spent) for what, spent in times.items()}


async def large_output(guard):
    """Median and best seconds to take SIZE bytes through arun and through stream."""

    async def by_arun():
        return len((await guard.arun("head", ["-c", str(SIZE), "/dev/zero"])).stdout)

    async def by_stream():
        taken = 0
        async for chunk in guard.stream("head", ["-c", str(SIZE), "/dev/zero"]):
            taken += len(chunk.data)
        return taken

    times = {"arun": [], "stream": []}
    for _ in range(ROUNDS):
        for what, way in (("arun", by_arun), ("stream", by_stream)):
            began = time.perf_counter()
            assert await way() == SIZE
            times[what].append(time.perf_counter() - began)
    return {what: figures(spent) for what, spent in times.items()}


def main():
    with tempfile.TemporaryDirectory() as directory:
        started = starts(directory)
    guard = corvane.Guard.from_dict({
        "timeout": "60s", "max_stdout": SIZE,
        "binaries": {"head": {"path": HEAD, "value_flags": {"-c": {"pattern": "[0-9]+"}},
                              "max_positionals": 1}},
    })
    output = asyncio.run(large_output(guard))

    print(f"start-up, {STARTS} starts each, in turn      {'median ms':>10} {'best ms':>9}")
    for what, (median, best) in started.items():
        print(f"  {what:44} {median:10.1f} {best:9.1f}")
    peer = started["python -c subprocess.run(['true'])"]
    cli = started["corvane run -p POLICY -- true"]
    print(f"  corvane run / python -c subprocess.run: {cli[0] / peer[0]:.2f}x median, "
          f"{cli[1] / peer[1]:.2f}x best")

    print(f"\n{SIZE >> 20} MiB of output, {ROUNDS} rounds each        {'median s':>10} {'best s':>9} {'MiB/s':>8}")
    for what, (median, best) in output.items():
        print(f"  Guard.{what:38} {median:10.3f} {best:9.3f} {(SIZE >> 20) / median:8.0f}")
    print(f"  stream / arun: {output['stream'][0] / output['arun'][0]:.2f}x median")


if __name__ == "__main__":
    main()
