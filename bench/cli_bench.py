#!/usr/bin/env python3
"""What a host in another language pays per command: `corvane run` of /bin/true
end to end (interpreter start, policy load, check, run, exit), against the
cheapest comparable Python start (`python -c` running /bin/true through
subprocess), plus one `corvane serve --stdio` request and one MCP `run_command`
round trip on a server that is already up. Prints figures; never passes or fails.

    python3 bench/cli_bench.py [--quick]
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

TRUE = "/bin/true" if os.path.exists("/bin/true") else "/usr/bin/true"
POLICY = f"""\
timeout = "5s"
[binaries.true]
path = "{TRUE}"
max_positionals = 0
"""


def timed(fn, count):
    """Median and best wall time of `fn()` in milliseconds over `count` calls."""
    times = []
    for _ in range(count):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1000.0)
    return statistics.median(times), min(times)


# An installed package starts from compiled bytecode; a checkout run with
# PYTHONDONTWRITEBYTECODE would compile every module on every start instead.
CHILD_ENV = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}


def start_process(argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, env=CHILD_ENV)


def serve_round_trips(policy, count):
    """Per-request time of `corvane serve --stdio`, one request in flight at a time."""
    server = subprocess.Popen([sys.executable, "-m", "corvane", "serve", "-p", policy, "--stdio"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = (json.dumps({"op": "run", "bin": TRUE, "argv": []}) + "\n").encode()

    def one():
        server.stdin.write(line)
        server.stdin.flush()
        answer = json.loads(server.stdout.readline())
        assert answer["exit_code"] == 0, answer

    try:
        one()  # warm up
        return timed(one, count)
    finally:
        server.stdin.close()
        server.wait(timeout=10)


def mcp_round_trips(policy, count):
    """Per-call time of run_command /bin/true through the SDK's stdio client."""
    try:
        import anyio
        from mcp import ClientSession, StdioServerParameters, stdio_client
    except ImportError:
        return None

    async def main():
        server = StdioServerParameters(command=sys.executable, args=["-m", "corvane", "mcp", "-p", policy],
                                       env=dict(os.environ))
        async with stdio_client(server) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                name = "true"
                await session.call_tool("run_command", {"binary": name})
                times = []
                for _ in range(count):
                    start = time.perf_counter()
                    result = await session.call_tool("run_command", {"binary": name})
                    times.append((time.perf_counter() - start) * 1000.0)
                    assert not result.is_error, result
                return statistics.median(times), min(times)

    return anyio.run(main)


def main():
    quick = "--quick" in sys.argv
    starts = 5 if quick else 30
    trips = 50 if quick else 500
    with tempfile.TemporaryDirectory() as directory:
        CHILD_ENV.setdefault("PYTHONPYCACHEPREFIX", os.path.join(directory, "pycache"))
        policy = os.path.join(directory, "policy.toml")
        with open(policy, "w") as handle:
            handle.write(POLICY)
        cli = [sys.executable, "-m", "corvane", "run", "-p", policy, "--", TRUE]
        peer = [sys.executable, "-c", f"import subprocess; subprocess.run([{TRUE!r}], timeout=5)"]
        bare = [sys.executable, "-c", "pass"]
        start_process(cli)  # warm the page cache
        rows = [
            ("python -c pass (interpreter start alone)", timed(lambda: start_process(bare), starts)),
            ("python -c subprocess.run(/bin/true)", timed(lambda: start_process(peer), starts)),
            ("corvane run -p POLICY -- /bin/true", timed(lambda: start_process(cli), starts)),
            ("corvane serve --stdio: one run request", serve_round_trips(policy, trips)),
            ("corvane mcp: one run_command call", mcp_round_trips(policy, trips)),
        ]
    print(f"{'what':48} {'median ms':>10} {'best ms':>9}")
    for what, figures in rows:
        if figures is None:
            print(f"{what:48} {'(mcp not installed)':>20}")
        else:
            print(f"{what:48} {figures[0]:10.2f} {figures[1]:9.2f}")
    peer_ms, cli_ms = rows[1][1][0], rows[2][1][0]
    print(f"corvane run / python -c subprocess (medians of {starts}): {cli_ms / peer_ms:.2f}x "
          f"(+{cli_ms - peer_ms:.1f} ms: importing corvane, argparse and tomllib, loading the policy)")


if __name__ == "__main__":
    main()
