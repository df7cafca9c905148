#!/usr/bin/env python3
"""corvane.stream against corvane.arun on a large output, in one run:

1. the wall time to take all of `head -c N /dev/zero` (64 MiB by default)
   through arun (one Output at the end) and through stream (chunks as read);
2. how soon the first chunk arrives through stream, against arun's only
   answer, for a command that writes a line and then works for half a second.

Prints figures; it never passes or fails.

    python3 bench/stream_bench.py [--quick]
"""

import asyncio
import os
import statistics
import sys
import tempfile
import time

import corvane
from corvane import ArgRules, ProcPolicyBuilder, ProcRequest

QUICK = "--quick" in sys.argv
SIZE = (8 if QUICK else 64) << 20
ROUNDS = 3 if QUICK else 7


def prepared(path, argv, max_stdout=SIZE):
    policy = (ProcPolicyBuilder().allow_bin(path)
              .arg_rules(path, ArgRules().allowed_flags(["-c"]).max_flags(1).max_positionals(3))
              .timeout_secs(60).max_stdout(max_stdout).build())
    return policy.prepare(ProcRequest(path, list(argv)))


async def by_arun(command):
    output = await corvane.arun(command)
    return len(output.stdout)


async def by_stream(command):
    taken = 0
    async for chunk in corvane.stream(command):
        taken += len(chunk.data)
    return taken


async def first_answer(way, command):
    start = time.perf_counter()
    if way == "arun":
        await corvane.arun(command)
    else:
        async with corvane.stream(command) as stream:
            async for _ in stream:
                break
    return time.perf_counter() - start


def main():
    print(f"1. all of {SIZE >> 20} MiB from head -c, best and median of {ROUNDS}")
    for name, way in (("arun", by_arun), ("stream", by_stream)):
        times = []
        for _ in range(ROUNDS):
            command = prepared("/usr/bin/head", ["-c", str(SIZE), "/dev/zero"])
            start = time.perf_counter()
            taken = asyncio.run(way(command))
            times.append(time.perf_counter() - start)
            assert taken == SIZE, taken
        rate = SIZE / min(times) / (1 << 20)
        print(f"   {name:7} best {min(times) * 1000:7.1f} ms  median "
              f"{statistics.median(times) * 1000:7.1f} ms  ({rate:,.0f} MiB/s)")

    print("2. first answer from a script that prints a line, then works for 0.5 s")
    with tempfile.TemporaryDirectory() as directory:
        script = os.path.join(directory, "work")
        with open(script, "w") as handle:
            handle.write("#!/bin/sh\necho started\nsleep 0.5\n")
        os.chmod(script, 0o755)
        for way in ("arun", "stream"):
            took = asyncio.run(first_answer(way, prepared(script, [])))
            print(f"   {way:7} {took * 1000:7.1f} ms")


if __name__ == "__main__":
    main()
