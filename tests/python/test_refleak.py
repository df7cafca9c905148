"""Reference and memory leaks: every method, getter, slot and error path is
repeated many times. Reference counts of every object involved (arguments,
type objects, enumeration members) must come back exactly, and the process's
resident memory (from /proc/self/statm) must stay flat. On a debug build of
CPython, sys.gettotalrefcount is checked as well."""

import gc
import os
import shutil
import sys

import pytest

import _corvane
from _corvane import (
    ArgRules,
    InjectDoubleDash,
    ProcPolicyBuilder,
    ProcRequest,
    RiskCategory,
    RiskyBinPolicy,
)

from conftest import write_script

GREP = os.path.realpath(shutil.which("grep"))
# Large payloads make a leaked copy of any argument visible in the RSS.
BIG = "/" + "x" * 8192
BIG_LIST = [BIG] * 8
BIG_MAP = {"K" + str(i): BIG for i in range(8)}


class Index:
    def __index__(self):
        return 3


class BadIndex:
    """__index__ raises a TypeError with a large message and a cause."""

    def __index__(self):
        raise TypeError(BIG) from KeyError(BIG)


def operations(tool):
    rules = ArgRules().allowed_flags(["-n"]).max_flags(1).max_positionals(9)
    builder = ProcPolicyBuilder().allow_bin(GREP).arg_rules(GREP, rules)
    policy = builder.build()
    request = ProcRequest(GREP, ["-n", "x"])
    prepared = policy.prepare(request)
    tool_policy = ProcPolicyBuilder().allow_bin(tool).arg_rules(tool, rules).build()
    tool_prepared = tool_policy.prepare(ProcRequest(tool, []))
    limited = (ProcPolicyBuilder().allow_bin(tool).arg_rules(tool, rules).max_stdout(1).build()
               .prepare(ProcRequest(tool, [])))
    output = tool_prepared.spawn_sync()
    cheap = [
        # constructors and configuring methods
        lambda: ArgRules(), lambda: ProcPolicyBuilder(), lambda: ProcRequest(BIG, BIG_LIST),
        lambda: ProcRequest(bin=BIG, argv=tuple(BIG_LIST)),
        lambda: rules.subcommand(BIG), lambda: rules.allowed_flags(BIG_LIST),
        lambda: rules.max_flags(Index()), lambda: rules.max_positionals(5),
        lambda: rules.inject_double_dash(), lambda: rules.inject_double_dash(InjectDoubleDash.Never),
        lambda: builder.allow_bin(BIG), lambda: builder.arg_rules(BIG, rules),
        lambda: builder.risky_bin_policy(RiskyBinPolicy.Disabled),
        lambda: builder.allow_risky_binaries(), lambda: builder.env_empty(),
        lambda: builder.env_locale_only(), lambda: builder.env_fixed(BIG_MAP),
        lambda: builder.env_allowlist(BIG_LIST), lambda: builder.cwd(BIG),
        lambda: builder.timeout_secs(1), lambda: builder.timeout(1),
        lambda: builder.max_stdout(1), lambda: builder.max_stderr(1),
        lambda: builder.build(),
        lambda: request.with_cwd(BIG), lambda: request.with_env(BIG_MAP),
        lambda: request.with_env_var(BIG, BIG),
        lambda: policy.prepare(request),
        # getters and slots
        lambda: request.bin, lambda: request.argv, lambda: prepared.bin, lambda: prepared.argv,
        lambda: prepared.cwd, lambda: output.stdout, lambda: output.stderr,
        lambda: output.exit_code, lambda: output.success, lambda: output.stdout_string(),
        lambda: output.stderr_string(),
        lambda: [repr(o) for o in (rules, builder, policy, request, prepared, output,
                                   RiskCategory.Shell)],
        lambda: (int(RiskCategory.Privilege), RiskCategory.Shell == 0, RiskCategory.Shell != BIG,
                 RiskCategory.Shell == RiskCategory.Shell, RiskCategory.Shell == Index()),
        # error paths
        lambda: builder.allow_bin(BIG, BIG), lambda: builder.allow_bin(bogus=BIG),
        lambda: builder.allow_bin(BIG, path=BIG), lambda: ProcRequest(BIG),
        lambda: ProcRequest(), lambda: rules.inject_double_dash(1, 2),
        lambda: builder.allow_bin(5), lambda: ProcRequest(BIG, BIG),
        lambda: ProcRequest(BIG, {BIG}), lambda: ProcRequest(BIG, [BIG, 3]),
        lambda: builder.env_fixed({BIG: 1}), lambda: builder.env_fixed(BIG_LIST),
        lambda: builder.timeout_secs(-1), lambda: builder.timeout_secs(1.5),
        lambda: builder.timeout_secs(BadIndex()),
        lambda: builder.arg_rules(BIG, BIG), lambda: builder.risky_bin_policy(2),
        lambda: rules.inject_double_dash(RiskyBinPolicy.Disabled),
        lambda: builder.allow_bin("\udcff" + BIG), lambda: policy.prepare(BIG),
        lambda: _corvane.Output(), lambda: _corvane.ProcPolicy(BIG),
        lambda: object.__new__(ArgRules), lambda: RiskCategory.Shell < 1,
        lambda: hash(RiskCategory.Shell),
        lambda: ProcPolicyBuilder().allow_bin(BIG).arg_rules(BIG, rules).build(),
        lambda: ProcPolicyBuilder().allow_bin(GREP).build(),
        lambda: policy.prepare(ProcRequest(GREP, [BIG, BIG])),
        lambda: policy.prepare(ProcRequest(BIG, [])),
    ]
    spawning = [
        lambda: tool_prepared.spawn_sync(),
        lambda: limited.spawn_sync(),
    ]
    watched = [BIG, BIG_LIST, BIG_MAP, rules, builder, policy, request, prepared, output,
               RiskCategory.Shell, RiskyBinPolicy.Disabled, InjectDoubleDash.Never]
    watched += [getattr(_corvane, name) for name in _corvane.__all__]
    return cheap, spawning, watched


def call_all(ops, times):
    for _ in range(times):
        for op in ops:
            try:
                op()
            except (TypeError, ValueError, RuntimeError, OverflowError, UnicodeEncodeError):
                pass


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module")
def ops(tmp_path_factory):
    tool = write_script(tmp_path_factory.mktemp("leak"), "tool", "printf ok")
    return operations(tool)


def test_reference_counts_come_back(ops):
    cheap, spawning, watched = ops
    call_all(cheap + spawning, 2)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    total_before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    call_all(cheap, 300)
    call_all(spawning, 10)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before
    if total_before is not None:
        assert sys.gettotalrefcount() - total_before < 100


def test_memory_stays_flat(ops):
    cheap, spawning, _ = ops
    call_all(cheap, 200)
    call_all(spawning, 10)
    gc.collect()
    start = rss_bytes()
    objects = len(gc.get_objects())
    call_all(cheap, 1500)
    call_all(spawning, 40)
    gc.collect()
    growth = rss_bytes() - start
    assert len(gc.get_objects()) - objects < 50
    # A leak of any argument copy per call would be several hundred megabytes.
    assert growth < 8 * 1024 * 1024, f"resident memory grew by {growth} bytes"
