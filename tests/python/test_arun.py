"""corvane.arun: many runs in flight on one asyncio loop without a thread per
run, every kind of result, and cancellation that leaves no child and no
descriptor behind; on the default loop and on uvloop when it is installed."""

import asyncio
import os
import sys
import threading

import pytest

import corvane
from corvane import OutputLimitExceeded, ProcPolicyBuilder, ProcRequest, SpawnFailed, TimedOut
from corvane import _aio

from conftest import child_pids, open_rules, policy_for


try:
    import uvloop
except ImportError:
    uvloop = None
else:
    # uvloop's first loop opens descriptors that stay open for the process's
    # life; opening it here keeps them out of the per-test descriptor count.
    uvloop.new_event_loop().close()


def uvloop_factory():
    if uvloop is None:
        pytest.skip("uvloop is not installed")
    return uvloop.new_event_loop()


LOOPS = {"asyncio": asyncio.new_event_loop, "uvloop": uvloop_factory}


@pytest.fixture(params=LOOPS.values(), ids=LOOPS.keys())
def run_on_loop(request):
    """Runs a coroutine to completion on a fresh loop of the parametrised kind."""
    factory = request.param

    def run(coroutine):
        loop = factory()
        try:
            return loop.run_until_complete(coroutine)
        finally:
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()

    return run


@pytest.fixture(autouse=True)
def no_reactor_left(no_leaks):
    yield
    assert _aio._drivers == {}, "a reactor outlived its runs"


def command(path, argv, rules=None, **limits):
    builder = ProcPolicyBuilder()
    for name, value in limits.items():
        builder = getattr(builder, name)(value)
    return policy_for(path, rules=rules, builder=builder).prepare(ProcRequest(path, [str(a) for a in argv]))


def test_two_hundred_mixed_runs_at_once(scripts, run_on_loop):
    gone = scripts("gone", "exit 0")
    kinds = [
        lambda i: (command("/usr/bin/echo", [i]), f"{i}\n".encode()),
        lambda i: (command("/usr/bin/sleep", ["0.3"]), b""),
        lambda i: (command("/usr/bin/head", ["-c", 5000, "/dev/zero"], max_stdout=1000,
                           rules=open_rules().allowed_flags(["-c"])),
                   OutputLimitExceeded),
        lambda i: (command("/usr/bin/sleep", [5], timeout_secs=1), TimedOut),
        lambda i: (command(gone, []), SpawnFailed),
    ]
    jobs = [kinds[i % len(kinds)](i) for i in range(200)]
    os.unlink(gone)  # allowed and prepared, missing when it is started
    threads_before = threading.active_count()

    async def main():
        tasks = [asyncio.ensure_future(corvane.arun(job)) for job, _ in jobs]
        await asyncio.sleep(0.1)
        threads_during = threading.active_count()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        return threads_during, results

    threads_during, results = run_on_loop(main())
    assert threads_during == threads_before  # no thread per run
    for i, ((_, expected), got) in enumerate(zip(jobs, results)):
        if isinstance(expected, bytes):
            assert type(got) is corvane.Output, (i, got)
            assert (got.stdout, got.success) == (expected, True), i
        else:
            assert type(got) is expected, (i, got)
    limits = [r for r in results if isinstance(r, OutputLimitExceeded)]
    assert {(r.stream, r.limit, str(r)) for r in limits} == \
        {("stdout", 1000, "stdout limit exceeded: 1000 bytes")}
    assert all(set(r.stdout) <= {0} and len(r.stdout) <= 1000 for r in limits)
    assert all(1.0 <= r.elapsed < 3.0 for r in results if isinstance(r, TimedOut))


async def sleeper():
    return await corvane.arun(command("/usr/bin/sleep", [30]))


async def cancel_by_wait_for():
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(sleeper(), 0.2)


async def cancel_by_task_group():
    async def fail_soon():
        await asyncio.sleep(0.2)
        raise LookupError("a sibling failed")

    with pytest.raises(BaseException) as info:  # ExceptionGroup, new in 3.11
        async with asyncio.TaskGroup() as group:
            for _ in range(3):
                group.create_task(sleeper())
            group.create_task(fail_soon())
    assert [type(e) for e in info.value.exceptions] == [LookupError]


async def cancel_a_burst():
    # Started, being started and still-queued runs alike (the starter thread
    # works through a burst one start at a time): none may survive its task.
    tasks = [asyncio.ensure_future(sleeper()) for _ in range(100)]
    await asyncio.sleep(0)
    await asyncio.sleep(0)
    for task in tasks:
        task.cancel()
    results = await asyncio.gather(*tasks, return_exceptions=True)
    assert all(isinstance(r, asyncio.CancelledError) for r in results)


CANCELLATIONS = [
    pytest.param(cancel_by_wait_for, id="wait_for"),
    pytest.param(cancel_a_burst, id="burst"),
    pytest.param(cancel_by_task_group, id="TaskGroup", marks=pytest.mark.skipif(
        sys.version_info < (3, 11), reason="asyncio.TaskGroup is new in 3.11")),
]


@pytest.mark.parametrize("cancel", CANCELLATIONS)
def test_cancelling_kills_and_reaps_before_cancelled_error_propagates(run_on_loop, cancel):
    children = child_pids()

    async def main():
        loop = asyncio.get_running_loop()
        start = loop.time()
        await cancel()
        # Checked at once, before the loop runs anything else: the children are
        # already reaped and the reactor closed.
        assert child_pids() == children
        assert _aio._drivers == {}
        return loop.time() - start

    assert run_on_loop(main()) < 5  # not the 30 s the children would have slept


def test_kill_on_output_limit_and_bad_arguments(run_on_loop, true_bin):
    flood = command("/usr/bin/yes", [], timeout_secs=5, max_stdout=4096)

    async def main():
        with pytest.raises(OutputLimitExceeded) as info:
            await corvane.arun(flood, on_output_limit="kill")
        with pytest.raises(ValueError):
            await corvane.arun(flood, on_output_limit="never")
        with pytest.raises(TypeError):
            await corvane.arun(ProcRequest(true_bin, []))
        return info.value

    exc = run_on_loop(main())
    assert (exc.stream, exc.limit) == ("stdout", 4096)
    assert exc.stdout == b"y\n" * (len(exc.stdout) // 2)
