#!/usr/bin/env python3
"""What running commands costs the rest of a Python program, in one run:

1. the lag of a 10 ms asyncio heartbeat while 64 corvane.arun calls of mixed
   commands are kept in flight (p99 and worst);
2. the wall time of 8 x `sleep 1` through corvane.run from 8 threads;
3. corvane.arun of /bin/true per call, against asyncio.create_subprocess_exec +
   communicate and against the C floor measured by spawn_bench (posix_spawn,
   pipes read to EOF, waitpid) when that program is built;
4. how long on_output_limit="kill" takes to stop `yes` at a 64 KiB limit;
5. how many of 2048 concurrent /bin/true succeed at the default soft limit of
   1024 descriptors, through corvane.arun and through create_subprocess_exec
   (in a subprocess, so the limit touches nothing else).

Prints figures next to their targets; it never passes or fails.

    python3 bench/async_bench.py [--quick] [--spawn-bench PATH]
"""

import asyncio
import glob
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import threading
import time

import corvane
from corvane import ArgRules, ProcPolicyBuilder, ProcRequest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TRUE = os.path.realpath("/bin/true")
QUICK = "--quick" in sys.argv


def prepared(path, argv=(), flags=(), timeout=10, max_stdout=10 << 20):
    rules = ArgRules().allowed_flags(list(flags)).max_flags(len(flags)).max_positionals(4)
    policy = (ProcPolicyBuilder().allow_bin(path).arg_rules(path, rules)
              .timeout_secs(timeout).max_stdout(max_stdout).build())
    return policy.prepare(ProcRequest(path, list(argv)))


def quantile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * (len(ordered) - 1) + 0.5))]


# ------------------------------------------------------ 1. heartbeat lag


def mixed_commands():
    """Quick, sleeping, capturing, over-the-limit and timing-out commands."""
    return [
        (prepared("/usr/bin/echo", ["hello"]), "wait"),
        (prepared("/usr/bin/sleep", ["0.05"]), "wait"),
        (prepared("/usr/bin/head", ["-c", "1000000", "/dev/zero"], flags=["-c"]), "wait"),
        (prepared("/usr/bin/yes", max_stdout=65536), "kill"),
        (prepared("/usr/bin/sleep", ["2"], timeout=1), "wait"),
    ]


async def stdlib_run(command, mode):
    """The same command through asyncio.create_subprocess_exec, for comparison."""
    process = await asyncio.create_subprocess_exec(
        command.bin, *command.argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, env={})
    try:
        await asyncio.wait_for(process.communicate(), 1)
    except asyncio.TimeoutError:
        process.kill()
        await process.wait()


async def corvane_run(command, mode):
    try:
        await corvane.arun(command, on_output_limit=mode)
    except corvane.ExecutionError:
        pass


async def heartbeat_lag(seconds, in_flight, run=corvane_run):
    commands = mixed_commands()
    if run is stdlib_run:  # without a limit, yes would flood until the timeout
        commands = [c for c in commands if c[1] != "kill"]
    lags = []
    done = 0
    stop = asyncio.Event()

    async def heartbeat():
        loop = asyncio.get_running_loop()
        while not stop.is_set():
            due = loop.time() + 0.010
            await asyncio.sleep(0.010)
            lags.append(loop.time() - due)

    async def worker(index):
        nonlocal done
        while not stop.is_set():
            command, mode = commands[(index + done) % len(commands)]
            await run(command, mode)
            done += 1

    beat = asyncio.create_task(heartbeat())
    workers = [asyncio.create_task(worker(i)) for i in range(in_flight)]
    await asyncio.sleep(seconds)
    stop.set()
    # Each worker ends after its current command (at most the 1 s time limit).
    await asyncio.gather(beat, *workers)
    return lags, done


# ------------------------------------------------ 2. threads running sleep


def threaded_sleeps(threads):
    command = prepared("/usr/bin/sleep", ["1"])
    workers = [threading.Thread(target=corvane.run, args=(command,)) for _ in range(threads)]
    start = time.monotonic()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return time.monotonic() - start


# ------------------------------------------------------ 3. /bin/true per call


async def arun_true(command):
    await corvane.arun(command)


async def stdlib_true(_):
    process = await asyncio.create_subprocess_exec(
        TRUE, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env={})
    await process.communicate()


async def per_call(rounds, calls):
    """Median per-call time (ms) of each way; rounds interleaved against drift,
    and medians because a loaded machine gives every way a long tail."""
    command = prepared(TRUE)
    ways = {"arun": arun_true, "stdlib": stdlib_true}
    samples = {name: [] for name in ways}
    for _ in range(rounds):
        for name, call in ways.items():
            for _ in range(calls):
                start = time.perf_counter()
                await call(command)
                samples[name].append((time.perf_counter() - start) * 1e3)
    return {name: statistics.median(values) for name, values in samples.items()}


def c_floor(explicit):
    """The floor per call (ms) from spawn_bench, or None when it is not built."""
    candidates = [explicit] if explicit else sorted(
        glob.glob(os.path.join(ROOT, "build", "*", "bench", "spawn_bench")), key=os.path.getmtime)
    for path in reversed(candidates):
        if path and os.access(path, os.X_OK):
            done = subprocess.run([path, "--benchmark_filter=_True/"], capture_output=True,
                                  text=True, timeout=600)
            found = re.search(r"^\s*floor\s+([\d.]+) ms", done.stdout, flags=re.M)
            if found:
                return float(found.group(1)), path
    return None, None


# --------------------------------------------------- 4. kill on output limit


async def kill_flood(repeats):
    command = prepared("/usr/bin/yes", max_stdout=65536)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        try:
            await corvane.arun(command, on_output_limit="kill")
        except corvane.OutputLimitExceeded:
            pass
        times.append((time.perf_counter() - start) * 1e3)
    return times


# ----------------------------------------------- 5. at the descriptor limit


async def successes(one, count):
    """How many of `count` concurrent calls of one() succeed, and the errors of the others."""

    async def attempt():
        try:
            await one(None)
            return "ok"
        except (corvane.ExecutionError, OSError) as error:
            return type(error).__name__

    results = await asyncio.gather(*[attempt() for _ in range(count)])
    return {kind: results.count(kind) for kind in sorted(set(results))}


def at_the_limit_child(limit, count):
    """In the subprocess: lower the soft limit, run both ways, print JSON."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (limit, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    command = prepared(TRUE)
    print(json.dumps({"corvane": asyncio.run(successes(lambda _: corvane.arun(command), count)),
                      "asyncio": asyncio.run(successes(stdlib_true, count))}))


def at_the_limit(limit=1024, count=2048):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--at-the-limit", str(limit),
                           str(count)], capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        return None
    return json.loads(done.stdout)


def main():
    if "--at-the-limit" in sys.argv:
        at = sys.argv.index("--at-the-limit")
        at_the_limit_child(int(sys.argv[at + 1]), int(sys.argv[at + 2]))
        return
    explicit = sys.argv[sys.argv.index("--spawn-bench") + 1] if "--spawn-bench" in sys.argv else None
    seconds, rounds, calls = (2, 3, 50) if QUICK else (5, 7, 200)

    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print(f"heartbeat (10 ms) lag over {seconds}s, p99 / worst:")
    for label, in_flight, run, target in [
            ("nothing in flight (the machine's own noise)", 0, corvane_run, ""),
            ("64 corvane.arun of mixed commands", 64, corvane_run,
             "   (target <= 5 ms / <= 20 ms)"),
            ("64 create_subprocess_exec of the same", 64, stdlib_run, "")]:
        lags, done = asyncio.run(heartbeat_lag(seconds, in_flight, run))
        lags_ms = [lag * 1e3 for lag in lags]
        print(f"  {label:45} {quantile(lags_ms, 0.99):6.2f} / {max(lags_ms):6.2f} ms"
              f"  ({done} runs){target}")

    wall = threaded_sleeps(8)
    print(f"8 x sleep 1 through corvane.run from 8 threads: {wall:.3f} s   (target <= 1.2 s)")

    figures = asyncio.run(per_call(rounds, calls))
    floor, floor_path = c_floor(explicit)
    print(f"/bin/true per call (median over {rounds} interleaved rounds of {calls} calls):")
    print(f"  corvane.arun                          {figures['arun']:.3f} ms")
    print(f"  create_subprocess_exec + communicate  {figures['stdlib']:.3f} ms")
    print(f"  ratio to the standard library         {figures['arun'] / figures['stdlib']:.2f}x"
          "   (target <= 0.6x)")
    if floor:
        print(f"  C floor (spawn_bench, its median)     {floor:.3f} ms")
        print(f"  ratio to the C floor                  {figures['arun'] / floor:.2f}x"
              "   (target <= 1.3x)")
    else:
        print("  C floor: build bench/spawn_bench (scripts/test.sh does) or pass --spawn-bench")

    kills = asyncio.run(kill_flood(10 if QUICK else 30))
    print(f"on_output_limit='kill', yes at 64 KiB: start to error median "
          f"{statistics.median(kills):.2f} ms, worst {max(kills):.2f} ms   (target: breach + 100 ms)")

    figures = at_the_limit()
    print("2048 concurrent /bin/true at a soft limit of 1024 descriptors, successes:")
    if figures is None:
        print("  (the subprocess failed)")
    else:
        for way, label in [("corvane", "corvane.arun"), ("asyncio", "create_subprocess_exec")]:
            counts = figures[way]
            others = ", ".join(f"{n} {kind}" for kind, n in counts.items() if kind != "ok")
            print(f"  {label:37} {counts.get('ok', 0):5}"
                  f"{'   (' + others + ')' if others else ''}")
        print("  (target: corvane.arun no fewer than create_subprocess_exec)")


if __name__ == "__main__":
    main()
