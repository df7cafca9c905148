#!/usr/bin/env python3
"""Load from Python: several threads preparing and running commands against one
shared policy, each a fixed number of times. Every result is checked against
what the command must give; the figures printed are throughput, not a verdict.
tests/python/test_load.py runs the same load and adds the leak checks.

    python3 bench/load_bench.py [THREADS] [PER_THREAD]
"""

import os
import sys
import threading
import time

from corvane import ArgRules, ProcPolicyBuilder, ProcRequest

ECHO = os.path.realpath("/bin/echo")
FALSE = os.path.realpath("/bin/false")


def shared_policy():
    echo_rules = ArgRules().allowed_flags(["-n"]).max_flags(1).max_positionals(2)
    return (ProcPolicyBuilder()
            .allow_bin(ECHO).arg_rules(ECHO, echo_rules)
            .allow_bin(FALSE).arg_rules(FALSE, ArgRules())
            .env_locale_only()
            .timeout_secs(30)
            .build())


def one_operation(policy, tag, k):
    """Runs operation k of one thread. Returns (whether a child ran, None when
    the result is right or else a description of what was wrong)."""
    kind = k % 5
    try:
        if kind == 0:
            out = policy.prepare(ProcRequest(ECHO, [tag])).spawn_sync()
            ok = out.success and out.stdout == (tag + "\n").encode() and out.stderr == b""
            return True, None if ok else f"echo {tag}: {out!r} {out.stdout!r}"
        if kind == 1:
            out = policy.prepare(ProcRequest(ECHO, ["-n", tag, "x"])).spawn_sync()
            ok = out.exit_code == 0 and out.stdout_string() == tag + " x"
            return True, None if ok else f"echo -n {tag}: {out!r} {out.stdout!r}"
        if kind == 2:
            out = policy.prepare(ProcRequest(FALSE, [])).spawn_sync()
            ok = out.exit_code == 1 and not out.success
            return True, None if ok else f"false: {out!r}"
        if kind == 3:
            policy.prepare(ProcRequest(ECHO, ["-e", tag]))
            return False, f"-e {tag}: accepted"
        prepared = policy.prepare(ProcRequest("/bin/../bin/echo", [tag]))
        ok = prepared.bin == ECHO and prepared.argv == [tag] and prepared.cwd == "/tmp"
        return False, None if ok else f"prepared {prepared!r}"
    except ValueError as error:
        if kind == 3 and error.args == ("flag not allowed: -e",):
            return False, None
        return False, f"kind {kind} {tag}: ValueError {error.args!r}"
    except RuntimeError as error:
        return True, f"kind {kind} {tag}: RuntimeError {error.args!r}"


def run(threads=8, per_thread=300, policy=None):
    """Runs the load; returns a dict of figures and the list of wrong results."""
    policy = policy if policy is not None else shared_policy()
    problems = []
    spawned = [0] * threads
    barrier = threading.Barrier(threads + 1)

    def worker(t):
        barrier.wait()
        for k in range(per_thread):
            did_spawn, problem = one_operation(policy, f"t{t}-{k}", k)
            spawned[t] += did_spawn
            if problem is not None:
                problems.append(problem)

    pool = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for thread in pool:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in pool:
        thread.join()
    seconds = time.perf_counter() - start
    operations = threads * per_thread
    return {
        "threads": threads,
        "operations": operations,
        "spawns": sum(spawned),
        "seconds": seconds,
        "operations_per_s": operations / seconds,
        "spawns_per_s": sum(spawned) / seconds,
    }, problems


def describe(figures):
    return ("{threads} threads, {operations} operations ({spawns} runs) in {seconds:.2f} s: "
            "{operations_per_s:.0f} operations/s, {spawns_per_s:.0f} runs/s").format(**figures)


def main(argv):
    threads = int(argv[1]) if len(argv) > 1 else 8
    per_thread = int(argv[2]) if len(argv) > 2 else 300
    figures, problems = run(threads, per_thread)
    print("load: " + describe(figures))
    for problem in problems[:10]:
        print("wrong result: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
