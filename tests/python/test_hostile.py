"""Hostile inputs through the Python API: NUL bytes in every string argument,
lone surrogates, path bytes that are not UTF-8, very long vectors, very long
texts, huge environments, integer extremes, and objects that raise while being
converted. Each must give its specified exception or a clean result, never a
crash or a hang; every test also checks that no descriptor and no child
process is left behind."""

import gc
import os
import sys

import pytest

from _corvane import ArgRules, InjectDoubleDash, ProcPolicyBuilder, ProcRequest

from conftest import open_rules, policy_for, rss_bytes, under_address_sanitizer

TRUE = os.path.realpath("/bin/true")
U64_MAX = 2**64 - 1
NUL_SPAWN = "failed to spawn process: nul byte found in provided data"
E2BIG_SPAWN = "failed to spawn process: Argument list too long (os error 7)"


pytestmark = pytest.mark.usefixtures("no_leaks")


def true_policy(builder=None, rules=None):
    rules = rules if rules is not None else open_rules()
    return policy_for(TRUE, rules=rules, builder=builder)


def spawn(policy, request):
    return policy.prepare(request).spawn_sync()


def raises_exactly(kind, message, call):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    assert info.value.args == (message,)
    return info.value


# ---------------------------------------------------------------------------
# NUL bytes: every text conversion takes them; prepare or spawn then reports
# the specified message for the part that reaches the operating system.

def nul_in_bin():
    return true_policy().prepare(ProcRequest("/usr/bin/tr\0ue", []))


def nul_before_slash():
    return true_policy().prepare(ProcRequest("\0/usr/bin/true", []))


def nul_in_allow_bin():
    return ProcPolicyBuilder().allow_bin(TRUE + "\0").arg_rules(TRUE + "\0", ArgRules()).build()


def nul_in_rules_path():
    return ProcPolicyBuilder().allow_bin(TRUE).arg_rules(TRUE + "\0", ArgRules()).build()


def nul_in_positional():
    return spawn(true_policy(), ProcRequest(TRUE, ["a\0b"]))


def nul_in_allowed_flag():
    rules = open_rules().allowed_flags(["-a\0b"])
    return spawn(true_policy(rules=rules), ProcRequest(TRUE, ["-a\0b"]))


def nul_in_unlisted_flag():
    rules = open_rules().allowed_flags(["-a\0b"])
    return true_policy(rules=rules).prepare(ProcRequest(TRUE, ["-a\0c"]))


def nul_in_subcommand():
    rules = open_rules().subcommand("st\0at")
    return spawn(true_policy(rules=rules), ProcRequest(TRUE, ["st\0at"]))


def nul_in_expected_subcommand():
    rules = open_rules().subcommand("st\0at")
    return true_policy(rules=rules).prepare(ProcRequest(TRUE, ["log"]))


def nul_in_first_positional():
    rules = open_rules().subcommand("status")
    return true_policy(rules=rules).prepare(ProcRequest(TRUE, ["st\0at"]))


def nul_in_policy_cwd():
    return spawn(true_policy(ProcPolicyBuilder().cwd("/tm\0p")), ProcRequest(TRUE, []))


def nul_in_fixed_env_value():
    return spawn(true_policy(ProcPolicyBuilder().env_fixed({"A": "b\0c"})), ProcRequest(TRUE, []))


def nul_in_fixed_env_name():
    return spawn(true_policy(ProcPolicyBuilder().env_fixed({"A\0B": "c"})), ProcRequest(TRUE, []))


def nul_after_forbidden_name():
    # Only the exact name is forbidden: this one survives and reaches the spawn.
    builder = ProcPolicyBuilder().env_fixed({"LD_PRELOAD\0": "x"})
    return spawn(true_policy(builder), ProcRequest(TRUE, []))


def nul_in_allowlisted_name():
    builder = ProcPolicyBuilder().env_allowlist(["K\0"])
    return spawn(true_policy(builder), ProcRequest(TRUE, []).with_env_var("K\0", "v"))


def nul_in_request_env_value():
    builder = ProcPolicyBuilder().env_allowlist(["K"])
    return spawn(true_policy(builder), ProcRequest(TRUE, []).with_env({"K": "\0"}))


NUL_FAILURES = [
    (nul_in_bin, ValueError, "failed to canonicalize binary path /usr/bin/tr\0ue: "
     "file name contained an unexpected NUL byte"),
    (nul_before_slash, ValueError, "binary path must be absolute: \0/usr/bin/true"),
    (nul_in_allow_bin, ValueError, f"failed to canonicalize binary path {TRUE}\0: "
     "file name contained an unexpected NUL byte"),
    (nul_in_rules_path, ValueError, f"argument rules required for binary: {TRUE}"),
    (nul_in_positional, RuntimeError, NUL_SPAWN),
    (nul_in_allowed_flag, RuntimeError, NUL_SPAWN),
    (nul_in_unlisted_flag, ValueError, "flag not allowed: -a\0c"),
    (nul_in_subcommand, RuntimeError, NUL_SPAWN),
    (nul_in_expected_subcommand, ValueError, 'subcommand mismatch: expected st\0at, got Some("log")'),
    (nul_in_first_positional, ValueError,
     'subcommand mismatch: expected status, got Some("st\\0at")'),
    (nul_in_policy_cwd, RuntimeError, NUL_SPAWN),
    (nul_in_fixed_env_value, RuntimeError, NUL_SPAWN),
    (nul_in_fixed_env_name, RuntimeError, NUL_SPAWN),
    (nul_after_forbidden_name, RuntimeError, NUL_SPAWN),
    (nul_in_allowlisted_name, RuntimeError, NUL_SPAWN),
    (nul_in_request_env_value, RuntimeError, NUL_SPAWN),
]


@pytest.mark.parametrize("call,kind,message", NUL_FAILURES, ids=[c[0].__name__ for c in NUL_FAILURES])
def test_nul_byte_gives_the_specified_error(call, kind, message):
    raises_exactly(kind, message, call)


def test_nul_bytes_where_the_policy_ignores_them_run_cleanly():
    # The fixed working directory and the empty environment policy discard these values.
    request = (ProcRequest(TRUE, []).with_cwd("/sr\0v").with_env({"A\0": "\0"})
               .with_env_var("B", "x\0y"))
    prepared = true_policy().prepare(request)
    assert prepared.cwd == "/tmp"
    output = prepared.spawn_sync()
    assert output.success and output.exit_code == 0


def test_nul_bytes_are_kept_in_views_and_escaped_in_representations():
    request = ProcRequest("/bin/\0x", ["a\0b", "\0"])
    assert request.bin == "/bin/\0x"
    assert request.argv == ["a\0b", "\0"]
    assert repr(request) == "ProcRequest('/bin/\0x', [\"a\\0b\", \"\\0\"])"
    assert repr(ProcPolicyBuilder().allow_bin("\0")) == 'ProcPolicyBuilder(bins=["\\0"])'
    rules = open_rules().inject_double_dash(InjectDoubleDash.AfterFlags)
    prepared = true_policy(rules=rules).prepare(ProcRequest(TRUE, ["\0"]))
    assert prepared.argv == ["--", "\0"]


# ---------------------------------------------------------------------------
# Lone surrogates: CPython's own UnicodeEncodeError, unchanged and unprefixed.

SURROGATE = "ab\udc80cd"

SURROGATE_CALLS = {
    "ProcRequest.bin": lambda: ProcRequest(SURROGATE, []),
    "ProcRequest.argv": lambda: ProcRequest(TRUE, ["ok", SURROGATE]),
    "ProcRequest.bin before argv": lambda: ProcRequest(SURROGATE, 5),
    "with_cwd": lambda: ProcRequest(TRUE, []).with_cwd(SURROGATE),
    "with_env key": lambda: ProcRequest(TRUE, []).with_env({SURROGATE: "v"}),
    "with_env value": lambda: ProcRequest(TRUE, []).with_env({"k": SURROGATE}),
    "with_env_var key": lambda: ProcRequest(TRUE, []).with_env_var(SURROGATE, 5),
    "with_env_var value": lambda: ProcRequest(TRUE, []).with_env_var("k", SURROGATE),
    "allow_bin": lambda: ProcPolicyBuilder().allow_bin(SURROGATE),
    "arg_rules path": lambda: ProcPolicyBuilder().arg_rules(SURROGATE, 5),
    "subcommand": lambda: ArgRules().subcommand(SURROGATE),
    "allowed_flags": lambda: ArgRules().allowed_flags(("-n", SURROGATE)),
    "env_fixed key": lambda: ProcPolicyBuilder().env_fixed({SURROGATE: "v"}),
    "env_fixed value": lambda: ProcPolicyBuilder().env_fixed({"k": SURROGATE}),
    "env_allowlist": lambda: ProcPolicyBuilder().env_allowlist([SURROGATE]),
    "cwd": lambda: ProcPolicyBuilder().cwd(SURROGATE),
}


@pytest.mark.parametrize("call", SURROGATE_CALLS.values(), ids=SURROGATE_CALLS.keys())
def test_lone_surrogate_raises_cpythons_unicode_encode_error(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    with pytest.raises(UnicodeEncodeError) as reference:
        SURROGATE.encode("utf-8")
    assert type(info.value) is UnicodeEncodeError
    assert str(info.value) == str(reference.value)
    assert info.value.args == reference.value.args
    assert "argument" not in str(info.value)


# ---------------------------------------------------------------------------
# Path bytes that are not UTF-8 reach the core only through link targets:
# every message and view shows them with U+FFFD.

@pytest.fixture
def odd_names(tmp_path):
    base = os.fsencode(str(tmp_path))

    def make(raw_name, body=None, mode=0o755, directory=False):
        target = os.path.join(base, raw_name)
        if directory:
            os.mkdir(target)
        else:
            with open(target, "wb") as handle:
                handle.write(b"#!/bin/sh\n" + (body or b"echo hi") + b"\n")
            os.chmod(target, mode)
        link = os.path.join(str(tmp_path), "link-" + raw_name.hex())
        os.symlink(target, link)
        return link

    make.dir = str(tmp_path)
    return make


def test_invalid_utf8_target_runs_and_shows_replacement_characters(odd_names):
    link = odd_names(b"tool\xff\xfe")
    policy = policy_for(link)
    prepared = policy.prepare(ProcRequest(link, ["a"]))
    shown = odd_names.dir + "/tool\ufffd\ufffd"
    assert prepared.bin == shown
    assert repr(prepared) == f"PreparedCommand('{shown}', [\"a\"])"
    output = prepared.spawn_sync()
    assert output.stdout == b"hi\n" and output.success


@pytest.mark.parametrize("raw,kwargs,template", [
    (b"x\xe2\x82", {"mode": 0o644}, "binary is not executable: {}/x\ufffd"),
    (b"d\xc3", {"directory": True}, "binary path is a directory: {}/d\ufffd"),
    (b"\xf0\x9f\x98\xffz", {}, "binary not allowed: {link} (resolved to {}/\ufffd\ufffdz)"),
])
def test_invalid_utf8_target_in_violations(odd_names, raw, kwargs, template):
    link = odd_names(raw, **kwargs)
    message = template.format(odd_names.dir, link=link)
    raises_exactly(ValueError, message, lambda: true_policy().prepare(ProcRequest(link, [])))


def test_risky_name_that_is_not_utf8_is_not_classified(odd_names):
    link = odd_names(b"bash\xff", body=b"echo ran")
    output = policy_for(link).prepare(ProcRequest(link, [])).spawn_sync()
    assert output.stdout == b"ran\n"


# ---------------------------------------------------------------------------
# Sizes: long vectors, long texts, huge environments.

def test_100000_element_argv_is_validated_and_delivered(scripts):
    count = scripts("count", 'echo "$#"')
    rules = open_rules(max_positionals=100_000).inject_double_dash()
    policy = policy_for(count, rules=rules)
    argv = [str(i) for i in range(100_000)]
    prepared = policy.prepare(ProcRequest(count, argv))
    assert len(prepared.argv) == 100_001 and prepared.argv[0] == "--"
    assert prepared.argv[1:] == argv
    assert prepared.spawn_sync().stdout == b"100001\n"
    raises_exactly(ValueError, "too many positional arguments: max 100000, got 100001",
                   lambda: policy.prepare(ProcRequest(count, argv + ["x"])))


def test_100000_allowed_flags():
    flags = [f"-f{i}" for i in range(100_000)]
    rules = ArgRules().allowed_flags(flags).max_flags(100_000)
    policy = true_policy(rules=rules)
    assert policy.prepare(ProcRequest(TRUE, flags[::-1])).argv == flags[::-1]
    raises_exactly(ValueError, "flag not allowed: -f100000",
                   lambda: policy.prepare(ProcRequest(TRUE, ["-f0", "-f100000"])))


MEGABYTE = "x" * (1 << 20)


def test_megabyte_arguments_pass_validation_and_fail_at_exec():
    rules = open_rules().allowed_flags(["-" + MEGABYTE]).subcommand(MEGABYTE)
    policy = true_policy(rules=rules)
    prepared = policy.prepare(ProcRequest(TRUE, ["-" + MEGABYTE, MEGABYTE]))
    assert prepared.argv == ["-" + MEGABYTE, MEGABYTE]
    # One argument is capped by the kernel well below a megabyte.
    raises_exactly(RuntimeError, E2BIG_SPAWN, prepared.spawn_sync)
    mismatch = policy.prepare
    raises_exactly(ValueError, f'subcommand mismatch: expected {MEGABYTE}, got Some("y")',
                   lambda: mismatch(ProcRequest(TRUE, ["y"])))


def test_long_argument_within_the_kernel_cap_arrives_whole(scripts):
    size = scripts("size", 'printf %s "$1" | wc -c')
    text = "é" * 50_000  # 100,000 bytes
    assert policy_for(size).prepare(ProcRequest(size, [text])).spawn_sync().stdout.strip() == b"100000"


def test_megabyte_binary_path():
    path = "/" + MEGABYTE
    raises_exactly(ValueError, f"failed to canonicalize binary path {path}: "
                   "File name too long (os error 36)",
                   lambda: true_policy().prepare(ProcRequest(path, [])))


def test_megabyte_environment_value_fails_at_exec():
    builder = ProcPolicyBuilder().env_fixed({"BIG": MEGABYTE})
    raises_exactly(RuntimeError, E2BIG_SPAWN, lambda: spawn(true_policy(builder), ProcRequest(TRUE, [])))


ENV_COUNT = 50_000


def test_huge_fixed_environment_reaches_the_child_without_forbidden_names(scripts):
    env = {f"V{i}": str(i) for i in range(ENV_COUNT)}
    env.update({name: "bad" for name in ("LD_PRELOAD", "PYTHONPATH", "BASH_ENV", "no_proxy")})
    counter = scripts("envcount", "env | grep -c '^V'; env | grep -c bad")
    output = run_with(counter, ProcPolicyBuilder().env_fixed(env), ProcRequest(counter, []))
    assert output.stdout == f"{ENV_COUNT}\n0\n".encode()


def test_huge_request_environment_through_an_allowlist(scripts):
    names = [f"V{i}" for i in range(0, ENV_COUNT, 2)] + ["LD_PRELOAD"]
    request_env = {f"V{i}": "v" for i in range(ENV_COUNT)}
    request_env["LD_PRELOAD"] = "bad"
    counter = scripts("envcount", "env | grep -c '^V'; env | grep -c bad")
    request = ProcRequest(counter, []).with_env(request_env)
    output = run_with(counter, ProcPolicyBuilder().env_allowlist(names), request)
    assert output.stdout == f"{ENV_COUNT // 2}\n0\n".encode()


def test_environment_beyond_the_kernel_limit_fails_at_exec():
    env = {f"V{i}": "x" * 100 for i in range(200_000)}
    builder = ProcPolicyBuilder().env_fixed(env)
    raises_exactly(RuntimeError, E2BIG_SPAWN, lambda: spawn(true_policy(builder), ProcRequest(TRUE, [])))


def run_with(path, builder, request):
    return policy_for(path, builder=builder).prepare(request).spawn_sync()


# ---------------------------------------------------------------------------
# Integer extremes for limits and timeouts.

@pytest.mark.parametrize("setter", ["timeout_secs", "timeout"])
def test_largest_timeout_never_passes_and_does_not_overflow(setter):
    builder = getattr(ProcPolicyBuilder(), setter)(U64_MAX)
    output = spawn(true_policy(builder), ProcRequest(TRUE, []))
    assert output.success


def test_zero_timeout_kills_a_sleeping_child(scripts):
    sleeper = scripts("sleeper", "exec sleep 5")
    with pytest.raises(RuntimeError) as info:
        run_with(sleeper, ProcPolicyBuilder().timeout_secs(0), ProcRequest(sleeper, []))
    message = info.value.args[0]
    assert message.startswith("process timed out after ") and message.endswith(" (limit: 0ns)")


@pytest.mark.parametrize("stream,redirect", [("stdout", ""), ("stderr", " >&2")])
def test_zero_output_limits(scripts, stream, redirect):
    silent = scripts("silent", ":")
    talker = scripts("talker", f"printf x{redirect}")
    builder = getattr(ProcPolicyBuilder(), "max_" + stream)(0)
    assert run_with(silent, builder, ProcRequest(silent, [])).success
    raises_exactly(RuntimeError, f"{stream} limit exceeded: 0 bytes",
                   lambda: run_with(talker, builder, ProcRequest(talker, [])))


def test_largest_output_limits_capture_everything(scripts):
    both = scripts("both", "printf out; printf err >&2")
    builder = ProcPolicyBuilder().max_stdout(U64_MAX).max_stderr(U64_MAX)
    output = run_with(both, builder, ProcRequest(both, []))
    assert (output.stdout, output.stderr) == (b"out", b"err")


def test_count_limits_at_both_ends():
    widest = ArgRules().max_flags(U64_MAX).max_positionals(U64_MAX).allowed_flags(["-n"])
    assert repr(widest) == f"ArgRules(max_flags={U64_MAX}, max_positionals={U64_MAX})"
    assert true_policy(rules=widest).prepare(ProcRequest(TRUE, ["-n"] * 1000 + ["p"] * 1000))
    zero = ArgRules().max_flags(0).max_positionals(0)
    raises_exactly(ValueError, "too many flags: max 0, got 1",
                   lambda: true_policy(rules=zero).prepare(ProcRequest(TRUE, ["-n"])))
    raises_exactly(ValueError, "too many positional arguments: max 0, got 1",
                   lambda: true_policy(rules=zero).prepare(ProcRequest(TRUE, ["p"])))


UNSIGNED_SETTERS = [
    (ArgRules, "max_flags", "max"),
    (ArgRules, "max_positionals", "max"),
    (ProcPolicyBuilder, "timeout_secs", "secs"),
    (ProcPolicyBuilder, "timeout", "secs"),
    (ProcPolicyBuilder, "max_stdout", "max"),
    (ProcPolicyBuilder, "max_stderr", "max"),
]
SETTER_IDS = [f"{cls.__name__}.{name}" for cls, name, _ in UNSIGNED_SETTERS]


@pytest.mark.parametrize("cls,name,param", UNSIGNED_SETTERS, ids=SETTER_IDS)
@pytest.mark.parametrize("value", [-1, 2**64, 2**200, -(2**70)])
def test_out_of_range_integers_raise_overflow_error_without_prefix(cls, name, param, value):
    with pytest.raises(OverflowError) as info:
        getattr(cls(), name)(value)
    assert type(info.value) is OverflowError
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("cls,name,param", UNSIGNED_SETTERS, ids=SETTER_IDS)
@pytest.mark.parametrize("value", [0, U64_MAX, True, False])
def test_integer_extremes_are_accepted(cls, name, param, value):
    receiver = cls()
    before = repr(receiver)
    assert type(getattr(receiver, name)(value)) is cls
    assert repr(receiver) == before


# ---------------------------------------------------------------------------
# Objects that raise while being converted: the error propagates; a TypeError
# gets the "argument 'p': " prefix and keeps its cause.

class Boom(Exception):
    pass


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class ReturningIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("cls,name,param", UNSIGNED_SETTERS, ids=SETTER_IDS)
def test_index_raising_propagates(cls, name, param):
    receiver = cls()
    error = Boom("from __index__")
    with pytest.raises(Boom) as info:
        getattr(receiver, name)(RaisingIndex(error))
    assert info.value is error

    cause = KeyError("why")
    type_error = TypeError("index refused")
    type_error.__cause__ = cause
    raises_exactly(TypeError, f"argument '{param}': index refused",
                   lambda: getattr(receiver, name)(RaisingIndex(type_error)))
    with pytest.raises(TypeError) as wrapped:
        getattr(receiver, name)(RaisingIndex(type_error))
    assert wrapped.value.__cause__ is cause

    raises_exactly(TypeError, f"argument '{param}': __index__ returned non-int (type str)",
                   lambda: getattr(receiver, name)(ReturningIndex("3")))
    with pytest.raises(OverflowError):
        getattr(receiver, name)(ReturningIndex(2**64))
    assert type(getattr(receiver, name)(ReturningIndex(U64_MAX))) is cls


class IterRaises(list):
    """A list whose iteration fails: the conversion iterates, so it must fail too."""

    def __init__(self, items, error):
        super().__init__(items)
        self.error = error

    def __iter__(self):
        raise self.error


class FailsMidway:
    """A sequence that yields two texts, then raises."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 5

    def __getitem__(self, index):
        if index < 2:
            return "-n"
        raise self.error


class LyingLength:
    """A sequence whose length query fails or lies; only iteration counts."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        if index < 3:
            return "-" + str(index)
        raise IndexError(index)


LIST_PARAMS = {
    "argv": lambda value: ProcRequest(TRUE, value),
    "flags": lambda value: ArgRules().allowed_flags(value),
    "keys": lambda value: ProcPolicyBuilder().env_allowlist(value),
}


@pytest.mark.parametrize("param", LIST_PARAMS)
def test_iteration_raising_propagates(param):
    convert = LIST_PARAMS[param]
    for make in (lambda e: IterRaises(["-n"], e), FailsMidway):
        error = Boom("from iteration")
        with pytest.raises(Boom) as info:
            convert(make(error))
        assert info.value is error
        raises_exactly(TypeError, f"argument '{param}': iteration refused",
                       lambda: convert(make(TypeError("iteration refused"))))
    raises_exactly(TypeError, f"argument '{param}': 'int' object cannot be converted to 'PyString'",
                   lambda: convert(["-n", 7]))


@pytest.mark.parametrize("length", [0, 1, sys.maxsize, Boom("len"), OverflowError("len")])
def test_length_is_only_a_hint(length):
    assert ProcRequest(TRUE, LyingLength(length)).argv == ["-0", "-1", "-2"]
    rules = ArgRules().allowed_flags(LyingLength(length)).max_flags(3)
    assert true_policy(rules=rules).prepare(ProcRequest(TRUE, ["-2", "-0"])).argv == ["-2", "-0"]


def test_subclasses_with_raising_methods_convert_from_their_contents():
    class Text(str):
        def __str__(self):
            raise Boom("str")

        def encode(self, *args):
            raise Boom("encode")

    class Env(dict):
        def __iter__(self):
            raise Boom("iter")

        def items(self):
            raise Boom("items")

        def __getitem__(self, key):
            raise Boom("getitem")

    request = ProcRequest(Text(TRUE), [Text("a")]).with_env(Env({Text("K"): Text("v")}))
    assert request.bin == TRUE and request.argv == ["a"]
    builder = ProcPolicyBuilder().env_allowlist(["K"])
    assert spawn(true_policy(builder), request).success


def test_failed_conversions_leave_receivers_unchanged():
    rules = ArgRules().max_flags(2)
    builder = ProcPolicyBuilder().allow_bin(TRUE)
    request = ProcRequest(TRUE, ["a"])
    with pytest.raises(Boom):
        rules.max_flags(RaisingIndex(Boom()))
    with pytest.raises(TypeError):
        builder.timeout_secs(RaisingIndex(TypeError("no")))
    with pytest.raises(UnicodeEncodeError):
        request.with_env_var("k", "\ud800")
    assert repr(rules) == "ArgRules(max_flags=2, max_positionals=0)"
    assert repr(builder) == f'ProcPolicyBuilder(bins=["{TRUE}"])'
    assert repr(request) == f"ProcRequest('{TRUE}', [\"a\"])"


# ---------------------------------------------------------------------------
# Repeating the costly failure paths must not grow the process.

def test_failure_paths_with_large_payloads_do_not_leak():
    policy = true_policy(rules=open_rules().allowed_flags(["-" + MEGABYTE]))
    big_prepared = policy.prepare(ProcRequest(TRUE, ["-" + MEGABYTE]))

    def failures():
        with pytest.raises(UnicodeEncodeError):
            ProcRequest(TRUE, [MEGABYTE + "\ud800"])
        with pytest.raises(RuntimeError):
            big_prepared.spawn_sync()
        with pytest.raises(ValueError):
            policy.prepare(ProcRequest(TRUE, ["-" + MEGABYTE + "y"]))
        with pytest.raises(TypeError):
            ArgRules().max_flags(RaisingIndex(TypeError(MEGABYTE)))

    for _ in range(5):
        failures()
    gc.collect()
    before = rss_bytes()
    for _ in range(40):
        failures()
    gc.collect()
    if not under_address_sanitizer():
        # Each round handles several megabytes: a leak of any of them would show as 40+ MB.
        assert rss_bytes() - before < 16 * (1 << 20)
