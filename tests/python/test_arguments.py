"""Argument parsing and conversion: every count/keyword message, each
conversion kind, the "argument 'p': " prefix and what is left unwrapped."""

import operator
import pathlib

import pytest

from _corvane import (
    ArgRules,
    InjectDoubleDash,
    ProcPolicyBuilder,
    ProcRequest,
    RiskCategory,
    RiskyBinPolicy,
)

B = ProcPolicyBuilder()
R = ArgRules()
REQ = ProcRequest("/usr/bin/grep", [])


class StrSub(str):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadLen:
    """A sequence whose length query fails; iteration still works."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 2:
            return f"a{i}"
        raise IndexError(i)


class BadIter:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise KeyError("boom")


def index_message(obj):
    """CPython's own message for an object without __index__."""
    try:
        operator.index(obj)
    except TypeError as e:
        return str(e)
    raise AssertionError("has __index__")


def conv(type_name, target):
    return f"'{type_name}' object cannot be converted to '{target}'"


COUNT_AND_KEYWORD = [
    # more positionals than parameters
    (lambda: B.allow_bin("a", "b"),
     "ProcPolicyBuilder.allow_bin() takes 1 positional arguments but 2 were given"),
    (lambda: B.arg_rules("a", R, 3),
     "ProcPolicyBuilder.arg_rules() takes 2 positional arguments but 3 were given"),
    (lambda: ArgRules(1),
     "ArgRules.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: ProcPolicyBuilder(1, 2),
     "ProcPolicyBuilder.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: ProcRequest("a", [], 3),
     "ProcRequest.__new__() takes 2 positional arguments but 3 were given"),
    # the defaulted parameter
    (lambda: R.inject_double_dash(None, None),
     "ArgRules.inject_double_dash() takes from 0 to 1 positional arguments but 2 were given"),
    # unknown keyword
    (lambda: B.allow_bin(paths="x"),
     "ProcPolicyBuilder.allow_bin() got an unexpected keyword argument 'paths'"),
    (lambda: ArgRules(x=1), "ArgRules.__new__() got an unexpected keyword argument 'x'"),
    (lambda: ProcRequest("a", [], cwd="/"),
     "ProcRequest.__new__() got an unexpected keyword argument 'cwd'"),
    (lambda: R.inject_double_dash(mod=None),
     "ArgRules.inject_double_dash() got an unexpected keyword argument 'mod'"),
    # the same parameter twice
    (lambda: B.allow_bin("a", path="b"),
     "ProcPolicyBuilder.allow_bin() got multiple values for argument 'path'"),
    (lambda: ProcRequest("a", bin="b", argv=[]),
     "ProcRequest.__new__() got multiple values for argument 'bin'"),
    (lambda: R.inject_double_dash(None, mode=None),
     "ArgRules.inject_double_dash() got multiple values for argument 'mode'"),
    # missing
    (lambda: ProcRequest("/usr/bin/grep"),
     "ProcRequest.__new__() missing 1 required positional argument: 'argv'"),
    (lambda: ProcRequest(argv=[]),
     "ProcRequest.__new__() missing 1 required positional argument: 'bin'"),
    (lambda: ProcRequest(),
     "ProcRequest.__new__() missing 2 required positional arguments: 'bin' and 'argv'"),
    (lambda: B.arg_rules(),
     "ProcPolicyBuilder.arg_rules() missing 2 required positional arguments: 'path' and 'rules'"),
    (lambda: REQ.with_env_var(value="v"),
     "ProcRequest.with_env_var() missing 1 required positional argument: 'key'"),
    (lambda: B.timeout_secs(),
     "ProcPolicyBuilder.timeout_secs() missing 1 required positional argument: 'secs'"),
    # count is checked before keywords, keywords before missing, all before conversion
    (lambda: B.allow_bin(1, 2, bogus=3),
     "ProcPolicyBuilder.allow_bin() takes 1 positional arguments but 2 were given"),
    (lambda: B.arg_rules(5, bogus=3),
     "ProcPolicyBuilder.arg_rules() got an unexpected keyword argument 'bogus'"),
    (lambda: B.arg_rules(5),
     "ProcPolicyBuilder.arg_rules() missing 1 required positional argument: 'rules'"),
]


@pytest.mark.parametrize("call,message", COUNT_AND_KEYWORD)
def test_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_keywords_and_positionals_are_interchangeable():
    assert ProcRequest(bin="/usr/bin/grep", argv=["x"]).argv == ["x"]
    assert ProcRequest("/usr/bin/grep", argv=("x",)).argv == ["x"]
    assert repr(B.allow_bin(path="/p")) == 'ProcPolicyBuilder(bins=["/p"])'
    assert repr(R.max_flags(max=2)) == "ArgRules(max_flags=2, max_positionals=0)"
    rules = ArgRules().max_positionals(1)
    built = (B.arg_rules(rules=rules, path="/usr/bin/true").allow_bin("/usr/bin/true")
             .build())
    assert repr(built) == "ProcPolicy(<built>)"


def test_method_without_parameters_rejects_arguments_with_cpythons_message():
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        B.build(1)
    with pytest.raises(TypeError):
        B.env_empty(x=1)


CONVERSIONS = [
    # text
    (lambda: B.allow_bin(5), "argument 'path': " + conv("int", "PyString")),
    (lambda: B.allow_bin(pathlib.Path("/usr/bin/grep")),
     "argument 'path': " + conv(type(pathlib.Path("/")).__qualname__, "PyString")),
    (lambda: B.allow_bin(b"/usr/bin/grep"), "argument 'path': " + conv("bytes", "PyString")),
    (lambda: B.cwd(None), "argument 'path': " + conv("NoneType", "PyString")),
    (lambda: R.subcommand(1.5), "argument 'cmd': " + conv("float", "PyString")),
    (lambda: REQ.with_cwd(["x"]), "argument 'cwd': " + conv("list", "PyString")),
    (lambda: REQ.with_env_var("k", 1), "argument 'value': " + conv("int", "PyString")),
    (lambda: REQ.with_env_var(1, 2), "argument 'key': " + conv("int", "PyString")),
    (lambda: ProcRequest(Index(1), 5), "argument 'bin': " + conv("Index", "PyString")),
    # list of text
    (lambda: ProcRequest("/usr/bin/grep", "-n"), "argument 'argv': Can't extract `str` to `Vec`"),
    (lambda: R.allowed_flags("-n"), "argument 'flags': Can't extract `str` to `Vec`"),
    (lambda: R.allowed_flags(StrSub("-n")), "argument 'flags': Can't extract `str` to `Vec`"),
    (lambda: ProcRequest("/usr/bin/grep", {"-n"}), "argument 'argv': " + conv("set", "Sequence")),
    (lambda: ProcRequest("/usr/bin/grep", {"-n": 1}),
     "argument 'argv': " + conv("dict", "Sequence")),
    (lambda: ProcRequest("/usr/bin/grep", (x for x in ["a"])),
     "argument 'argv': " + conv("generator", "Sequence")),
    (lambda: ProcRequest("/usr/bin/grep", None), "argument 'argv': " + conv("NoneType", "Sequence")),
    (lambda: ProcRequest("/usr/bin/grep", ["-n", 3]), "argument 'argv': " + conv("int", "PyString")),
    (lambda: ProcRequest("/usr/bin/grep", b"ab"), "argument 'argv': " + conv("int", "PyString")),
    (lambda: B.env_allowlist([None]), "argument 'keys': " + conv("NoneType", "PyString")),
    # map of text
    (lambda: B.env_fixed({"A": 1}), "argument 'env': " + conv("int", "PyString")),
    (lambda: B.env_fixed({2: "x"}), "argument 'env': " + conv("int", "PyString")),
    (lambda: B.env_fixed([("A", "1")]), "argument 'env': " + conv("list", "PyDict")),
    (lambda: REQ.with_env([]), "argument 'env': " + conv("list", "PyDict")),
    # unsigned integer: a missing __index__ is a TypeError and gets the prefix
    (lambda: B.timeout_secs(1.5),
     "argument 'secs': 'float' object cannot be interpreted as an integer"),
    (lambda: R.max_flags("3"), "argument 'max': 'str' object cannot be interpreted as an integer"),
    (lambda: B.max_stdout(RiskCategory.Shell), "argument 'max': " + index_message(RiskCategory.Shell)),
    # class instance
    (lambda: B.arg_rules("/p", 5), "argument 'rules': " + conv("int", "ArgRules")),
    (lambda: B.arg_rules("/p", B), "argument 'rules': " + conv("ProcPolicyBuilder", "ArgRules")),
    (lambda: B.arg_rules(5, 5), "argument 'path': " + conv("int", "PyString")),
    # enumeration member
    (lambda: B.risky_bin_policy(2), "argument 'policy': " + conv("int", "RiskyBinPolicy")),
    (lambda: B.risky_bin_policy(InjectDoubleDash.Never),
     "argument 'policy': " + conv("InjectDoubleDash", "RiskyBinPolicy")),
    (lambda: R.inject_double_dash(1), "argument 'mode': " + conv("int", "InjectDoubleDash")),
    (lambda: R.inject_double_dash(RiskyBinPolicy.Disabled),
     "argument 'mode': " + conv("RiskyBinPolicy", "InjectDoubleDash")),
]


@pytest.mark.parametrize("call,message", CONVERSIONS)
def test_conversion_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_prepare_rejects_non_requests():
    policy = ProcPolicyBuilder().build()
    for bad, name in [("/usr/bin/grep", "str"), (None, "NoneType"), (R, "ArgRules")]:
        with pytest.raises(TypeError) as info:
            policy.prepare(bad)
        assert str(info.value) == "argument 'request': " + conv(name, "ProcRequest")


@pytest.mark.parametrize("call", [
    lambda: B.timeout_secs(-1),
    lambda: B.timeout(2 ** 64),
    lambda: R.max_positionals(-5),
    lambda: B.max_stderr(Index(2 ** 70)),
])
def test_out_of_range_integers_raise_cpythons_overflow_error_unprefixed(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert not str(info.value).startswith("argument")


def test_lone_surrogate_raises_unicode_encode_error_unprefixed():
    for call in (lambda: B.allow_bin("\udcff"),
                 lambda: ProcRequest("/x", ["ok", "\ud800"]),
                 lambda: B.env_fixed({"A": "\udc80"})):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert not str(info.value).startswith("argument")


def test_iteration_errors_propagate_unchanged():
    with pytest.raises(KeyError):
        ProcRequest("/x", BadIter())


def test_index_raising_a_type_error_keeps_its_cause():
    class Chained:
        def __index__(self):
            try:
                raise ValueError("inner")
            except ValueError as inner:
                raise TypeError("bad index") from inner

    with pytest.raises(TypeError) as info:
        B.timeout_secs(Chained())
    assert str(info.value) == "argument 'secs': bad index"
    assert isinstance(info.value.__cause__, ValueError)
    assert str(info.value.__cause__) == "inner"


def test_index_raising_other_errors_passes_them_unchanged():
    class Broken:
        def __index__(self):
            raise ZeroDivisionError("nope")

    with pytest.raises(ZeroDivisionError):
        R.max_flags(Broken())


def test_accepted_forms():
    assert repr(B.allow_bin(StrSub("/usr/bin/grep"))) == 'ProcPolicyBuilder(bins=["/usr/bin/grep"])'
    assert ProcRequest("/usr/bin/grep", ("-n",)).argv == ["-n"]
    assert ProcRequest("/usr/bin/grep", BadLen()).argv == ["a0", "a1"]
    assert ProcRequest("/usr/bin/grep", b"").argv == []
    assert ProcRequest("/usr/bin/grep", [StrSub("x")]).argv == ["x"]
    assert type(ProcRequest("/usr/bin/grep", [StrSub("x")]).argv[0]) is str
    assert repr(R.max_flags(True)) == "ArgRules(max_flags=1, max_positionals=0)"
    assert repr(R.max_flags(Index(7))) == "ArgRules(max_flags=7, max_positionals=0)"
    assert repr(R.max_positionals(2 ** 64 - 1)) == \
        "ArgRules(max_flags=0, max_positionals=18446744073709551615)"
    B.timeout_secs(2 ** 64 - 1)
    B.env_fixed(type("D", (dict,), {})(A="1"))


def test_first_failing_argument_is_reported():
    # Conversion runs in parameter order: the bad key wins over the bad value,
    # and the bad path wins over the bad rules.
    with pytest.raises(TypeError, match="^argument 'key': "):
        REQ.with_env_var(None, None)
    with pytest.raises(TypeError, match="^argument 'bin': "):
        ProcRequest(None, "str")
    with pytest.raises(TypeError, match="^argument 'path': "):
        B.arg_rules(None, None)
