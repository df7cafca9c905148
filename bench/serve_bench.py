#!/usr/bin/env python3
"""How much a few slow requests hold back a flood of quick ones in
`corvane serve --stdio`: five `sleep 2` spread among 995 runs of /bin/true,
against the same five sent first, with the default bound on requests in
flight. Since each request is answered when it ends and a quick one frees its
room at once, the two should take about the time of the slow ones. Prints
figures; never passes or fails.

    python3 bench/serve_bench.py [--quick] [--max-in-flight N]
"""

import json
import os
import subprocess
import sys
import tempfile
import threading
import time

TRUE = "/bin/true" if os.path.exists("/bin/true") else "/usr/bin/true"
SLEEP = "/bin/sleep" if os.path.exists("/bin/sleep") else "/usr/bin/sleep"
POLICY = f"""\
timeout = "30s"
[binaries.true]
path = "{TRUE}"
max_positionals = 0
[binaries.sleep]
path = "{SLEEP}"
max_positionals = 1
"""


def flood(policy, requests, options):
    """Seconds from the first request written to the last answer read."""
    server = subprocess.Popen([sys.executable, "-m", "corvane", "serve", "-p", policy, "--stdio", *options],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    data = b"".join(json.dumps(r).encode() + b"\n" for r in requests)
    # Warm: the server is up and has run one command before the clock starts.
    server.stdin.write(b'{"id": "warm", "op": "run", "bin": "true"}\n')
    server.stdin.flush()
    server.stdout.readline()
    start = time.perf_counter()
    writer = threading.Thread(target=lambda: (server.stdin.write(data), server.stdin.close()))
    writer.start()
    answers = sum(1 for _ in server.stdout)
    elapsed = time.perf_counter() - start
    writer.join()
    server.wait(timeout=30)
    assert answers == len(requests), (answers, len(requests))
    return elapsed


def main():
    quick = "--quick" in sys.argv
    options = []
    if "--max-in-flight" in sys.argv:
        options = ["--max-in-flight", sys.argv[sys.argv.index("--max-in-flight") + 1]]
    total, slow_count, nap = (200, 5, "1") if quick else (1000, 5, "2")
    quick_count = total - slow_count
    fast = [{"id": i, "op": "run", "bin": "true"} for i in range(quick_count)]
    slow = [{"id": f"slow{i}", "op": "run", "bin": "sleep", "argv": [nap]} for i in range(slow_count)]
    spread = list(fast)
    for n, request in enumerate(slow):
        spread.insert((n + 1) * len(spread) // (slow_count + 1), request)
    rows = [
        (f"{slow_count} x sleep {nap} spread among {quick_count} quick runs", spread),
        (f"{slow_count} x sleep {nap} first, then {quick_count} quick runs", slow + fast),
        (f"{quick_count} quick runs alone", fast),
    ]
    with tempfile.TemporaryDirectory() as directory:
        policy = os.path.join(directory, "policy.toml")
        with open(policy, "w") as handle:
            handle.write(POLICY)
        print(f"corvane serve --stdio {' '.join(options) or '(default --max-in-flight)'}")
        for what, requests in rows:
            print(f"{what:52} {flood(policy, requests, options):7.2f} s")


if __name__ == "__main__":
    main()
