"""Load: 8 threads preparing and running commands against one shared policy for
a fixed count. Every result must be right, and afterwards no child is left,
the descriptor count is back where it started and resident memory is flat.
The throughput figures are printed to the terminal (also without -s)."""

import gc
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))

import load_bench  # noqa: E402

from conftest import child_pids, fd_count, rss_bytes, under_address_sanitizer  # noqa: E402

THREADS = 8
PER_THREAD = 300


def test_eight_threads_share_one_policy(capsys):
    policy = load_bench.shared_policy()
    # A warm-up round fills the allocator's and the interpreter's caches.
    _, problems = load_bench.run(THREADS, 30, policy)
    assert problems == []
    gc.collect()
    fds, children, rss = fd_count(), child_pids(), rss_bytes()

    figures, problems = load_bench.run(THREADS, PER_THREAD, policy)

    assert problems == [], f"{len(problems)} wrong results, first: {problems[0]}"
    assert figures["operations"] == THREADS * PER_THREAD
    assert figures["spawns"] == THREADS * PER_THREAD * 3 // 5
    gc.collect()
    assert child_pids() == children, "child process left behind"
    assert fd_count() == fds, "descriptor leaked"
    grown = rss_bytes() - rss
    if not under_address_sanitizer():
        assert grown < 8 * (1 << 20), f"resident memory grew by {grown} bytes"
    with capsys.disabled():
        print(f"\n[load] {load_bench.describe(figures)}; RSS change {grown // 1024} KiB")
