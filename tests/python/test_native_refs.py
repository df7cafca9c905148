"""Reference counts through corvane._native: the blocking run, the reactor
(started, finished, cancelled, closed with runs in flight), the typed errors
and the argument errors. Every object involved must get its references back."""

import asyncio
import gc
import sys

import corvane
from corvane import ProcRequest, _native, errors

from conftest import open_rules, policy_for, write_script


def test_native_paths_return_every_reference(tmp_path):
    tool = write_script(tmp_path, "tool", "printf ok; printf e >&2")
    policy = policy_for(tool, rules=open_rules().allowed_flags(["-a"]).max_flags(1))
    prepared = policy.prepare(ProcRequest(tool, []))
    limited = policy_for(tool, builder=corvane.ProcPolicyBuilder().max_stdout(1)).prepare(
        ProcRequest(tool, []))
    sleeper = policy_for("/usr/bin/sleep").prepare(ProcRequest("/usr/bin/sleep", ["5"]))
    refused = ProcRequest(tool, ["-x"])
    guard = corvane.Guard.from_dict({"binaries": {"tool": {"path": tool, "flags": ["-a"]}}})
    refused_argv, allowed_argv = ["-x"], ["-a"]
    results = []

    def callback(output, error):
        results.append((output, error))

    async def asynchronous():
        await corvane.arun(prepared)
        try:
            await corvane.arun(limited)
        except corvane.OutputLimitExceeded:
            pass
        try:
            await asyncio.wait_for(corvane.arun(sleeper), 0.01)
        except asyncio.TimeoutError:
            pass

    def reactor():
        r = _native.Reactor()
        r.cancel(r.start(sleeper, False, callback))
        r.start(sleeper, True, callback)
        r.close()  # a run still in flight: killed, its callback dropped

    def expect(kind, call):
        try:
            call()
        except kind:
            return
        raise AssertionError(f"{kind.__name__} not raised")

    ops = [
        lambda: corvane.run(prepared),
        lambda: expect(corvane.OutputLimitExceeded, lambda: corvane.run(limited, on_output_limit="kill")),
        lambda: expect(TypeError, lambda: _native.run(refused, False)),
        lambda: expect(corvane.Refused, lambda: guard.check("tool", refused_argv)),
        lambda: guard.check("tool", allowed_argv),
        lambda: expect(TypeError, lambda: _native.Reactor().start(prepared, False, 3)),
        lambda: asyncio.run(asynchronous()),
        reactor,
    ]
    watched = [prepared, limited, sleeper, policy, refused, guard, refused_argv, allowed_argv,
               callback, corvane.Output,
               corvane.PreparedCommand, _native.Reactor, errors.TimedOut,
               errors.OutputLimitExceeded, errors.Refused, errors.SpawnFailed]
    for op in ops:
        op()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(20):
        for op in ops:
            op()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before
    # Each cancel called its callback once, with (None, None); a run dropped
    # by close() never calls it.
    assert results == [(None, None)] * 21
