"""The policy classes: ArgRules, ProcPolicyBuilder (its settings record and
the transfer in build()) and ProcPolicy, and the violations they raise."""

import os
import shutil

import pytest

from _corvane import (
    ArgRules,
    InjectDoubleDash,
    ProcPolicy,
    ProcPolicyBuilder,
    ProcRequest,
    RiskyBinPolicy,
)

from conftest import open_rules, policy_for, write_script

GREP = os.path.realpath(shutil.which("grep"))
SED = os.path.realpath(shutil.which("sed"))
BASH = shutil.which("bash")


def value_error(call):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    assert info.value.__cause__ is None
    return info.value.args[0]


def test_arg_rules_repr_and_value_semantics():
    first = ArgRules()
    assert repr(first) == "ArgRules(max_flags=0, max_positionals=0)"
    second = first.max_flags(3).max_positionals(10)
    assert repr(second) == "ArgRules(max_flags=3, max_positionals=10)"
    assert repr(first) == "ArgRules(max_flags=0, max_positionals=0)"
    for derived in (first.subcommand("x"), first.allowed_flags(["-n"]),
                    first.inject_double_dash(), first.max_flags(0)):
        assert derived is not first and type(derived) is ArgRules


def test_builder_repr_and_value_semantics():
    first = ProcPolicyBuilder()
    assert repr(first) == "ProcPolicyBuilder(bins=[])"
    second = first.allow_bin("/usr/bin/grep")
    assert repr(second) == 'ProcPolicyBuilder(bins=["/usr/bin/grep"])'
    assert repr(first) == "ProcPolicyBuilder(bins=[])"
    assert repr(second.allow_bin("/usr/bin/grep")) == \
        'ProcPolicyBuilder(bins=["/usr/bin/grep", "/usr/bin/grep"])'
    assert repr(first.allow_bin('a"b\\c\n\t\x1b\u0301é')) == \
        'ProcPolicyBuilder(bins=["a\\"b\\\\c\\n\\t\\u{1b}\\u{301}é"])'
    setters = [
        lambda b: b.arg_rules("/x", ArgRules()), lambda b: b.risky_bin_policy(RiskyBinPolicy.Disabled),
        lambda b: b.allow_risky_binaries(), lambda b: b.env_empty(), lambda b: b.env_locale_only(),
        lambda b: b.env_fixed({}), lambda b: b.env_allowlist([]), lambda b: b.cwd("/"),
        lambda b: b.timeout_secs(1), lambda b: b.timeout(1), lambda b: b.max_stdout(1),
        lambda b: b.max_stderr(1),
    ]
    for setter in setters:
        derived = setter(second)
        assert derived is not second and type(derived) is ProcPolicyBuilder
        assert repr(derived) == repr(second)


def test_empty_builder_builds_a_policy_that_allows_nothing():
    policy = ProcPolicyBuilder().build()
    assert type(policy) is ProcPolicy
    assert repr(policy) == "ProcPolicy(<built>)"
    message = value_error(lambda: policy.prepare(ProcRequest(GREP, [])))
    assert message == f"binary not allowed: {GREP} (resolved to {GREP})"


def test_build_twice_gives_two_policies_and_leaves_the_builder_usable():
    builder = ProcPolicyBuilder().allow_bin(GREP).arg_rules(GREP, open_rules())
    one, two = builder.build(), builder.build()
    assert one is not two
    assert repr(one) == repr(two) == "ProcPolicy(<built>)"
    assert repr(builder) == f'ProcPolicyBuilder(bins=["{GREP}"])'


def test_rules_only_under_the_exact_allowed_text():
    doubled = GREP.replace("/bin/", "//bin/", 1)
    assert doubled != GREP
    builder = ProcPolicyBuilder().allow_bin(doubled).arg_rules(GREP, open_rules())
    assert value_error(builder.build) == f"argument rules required for binary: {doubled}"
    # Under the exact text it works, and the prepared command uses the canonical path.
    policy = ProcPolicyBuilder().allow_bin(doubled).arg_rules(doubled, open_rules()).build()
    assert policy.prepare(ProcRequest(GREP, [])).bin == GREP


def test_rules_under_a_links_target_do_not_count(tmp_path):
    link = os.path.join(str(tmp_path), "grep-link")
    os.symlink(GREP, link)
    builder = ProcPolicyBuilder().allow_bin(link).arg_rules(GREP, open_rules())
    assert value_error(builder.build) == f"argument rules required for binary: {link}"
    policy = ProcPolicyBuilder().allow_bin(link).arg_rules(link, open_rules()).build()
    assert policy.prepare(ProcRequest(link, [])).bin == GREP


def test_rules_for_a_binary_never_allowed_are_dropped():
    policy = (ProcPolicyBuilder().allow_bin(GREP).arg_rules(GREP, open_rules())
              .arg_rules(SED, open_rules()).build())
    assert value_error(lambda: policy.prepare(ProcRequest(SED, []))) == \
        f"binary not allowed: {SED} (resolved to {SED})"


def test_later_arg_rules_for_the_same_text_replace_earlier_ones():
    builder = (ProcPolicyBuilder().allow_bin(GREP).arg_rules(GREP, ArgRules())
               .arg_rules(GREP, ArgRules().max_positionals(1)))
    builder.build().prepare(ProcRequest(GREP, ["x"]))


def test_arg_rules_stores_a_copy_and_call_order_does_not_matter():
    rules = ArgRules()
    builder = ProcPolicyBuilder().arg_rules(GREP, rules).allow_bin(GREP)
    rules.max_positionals(5)  # a new object; the builder keeps zero
    policy = builder.build()
    assert value_error(lambda: policy.prepare(ProcRequest(GREP, ["x"]))) == \
        "too many positional arguments: max 0, got 1"


def test_timeout_and_timeout_secs_are_the_same_setting(tmp_path):
    slow = write_script(tmp_path, "slow", "sleep 3")
    for setter in ("timeout", "timeout_secs"):
        builder = getattr(ProcPolicyBuilder(), setter)(1)
        prepared = policy_for(slow, builder=builder).prepare(ProcRequest(slow, []))
        with pytest.raises(RuntimeError, match=r"\(limit: 1s\)$"):
            prepared.spawn_sync()


def test_inject_double_dash_modes():
    builder = ProcPolicyBuilder().allow_bin(GREP)
    base = ArgRules().allowed_flags(["-n"]).max_flags(1).max_positionals(2)
    cases = [
        (base, ["-n", "p", "f"]),
        (base.inject_double_dash(), ["-n", "--", "p", "f"]),
        (base.inject_double_dash(None), ["-n", "--", "p", "f"]),
        (base.inject_double_dash(mode=None), ["-n", "--", "p", "f"]),
        (base.inject_double_dash(InjectDoubleDash.AfterFlags), ["-n", "--", "p", "f"]),
        (base.inject_double_dash().inject_double_dash(InjectDoubleDash.Never), ["-n", "p", "f"]),
    ]
    for rules, expected in cases:
        policy = builder.arg_rules(GREP, rules).build()
        assert policy.prepare(ProcRequest(GREP, ["-n", "p", "f"])).argv == expected


def test_allowed_flags_replaces_the_set():
    rules = ArgRules().allowed_flags(["-a"]).allowed_flags(["-b"]).max_flags(1)
    policy = policy_for(GREP, rules=rules)
    policy.prepare(ProcRequest(GREP, ["-b"]))
    assert value_error(lambda: policy.prepare(ProcRequest(GREP, ["-a"]))) == "flag not allowed: -a"


def test_build_violations(tmp_path):
    directory = str(tmp_path)
    plain = write_script(tmp_path, "plain", "true", mode=0o644)
    cases = [
        ("grep", "binary path must be absolute: grep"),
        ("", "binary path must be absolute: "),
        ("/no/such/binary", "binary not found: /no/such/binary"),
        ("/etc/passwd/x",
         "failed to canonicalize binary path /etc/passwd/x: Not a directory (os error 20)"),
        ("/usr/bin\0/x",
         "failed to canonicalize binary path /usr/bin\0/x: file name contained an unexpected NUL byte"),
        (directory, f"binary path is a directory: {directory}"),
        ("/dev/null", "binary is not a regular file: /dev/null"),
        (plain, f"binary is not executable: {plain}"),
        (GREP, f"argument rules required for binary: {GREP}"),
    ]
    for path, message in cases:
        builder = ProcPolicyBuilder().allow_bin(path)
        if path != GREP:
            builder = builder.arg_rules(path, open_rules())
        assert value_error(builder.build) == message


def test_build_reports_the_first_failing_binary():
    builder = ProcPolicyBuilder().allow_bin("/no/such/binary").allow_bin(GREP)
    assert value_error(builder.build) == "binary not found: /no/such/binary"


def test_prepare_violations(tmp_path):
    rules = (ArgRules().allowed_flags(["-n", "-i", "-l"]).max_flags(3).max_positionals(2)
             .subcommand("status"))
    policy = policy_for(GREP, rules=rules)
    cases = [
        ("bin/tool", [], "binary path must be absolute: bin/tool"),
        ("/no/such", [], "binary not found: /no/such"),
        (SED, [], f"binary not allowed: {SED} (resolved to {SED})"),
        (str(tmp_path), [], f"binary path is a directory: {tmp_path}"),
        (GREP, ["-n", "-n", "-n", "-n"], "too many flags: max 3, got 4"),
        (GREP, ["-x", "status"], "flag not allowed: -x"),
        (GREP, [], "subcommand mismatch: expected status, got None"),
        (GREP, ["test"], 'subcommand mismatch: expected status, got Some("test")'),
        (GREP, ['a"b\n'], 'subcommand mismatch: expected status, got Some("a\\"b\\n")'),
        (GREP, ["status", "a", "b", "c"], "too many positional arguments: max 2, got 3"),
    ]
    for bin_path, argv, message in cases:
        request = ProcRequest(bin_path, argv)
        assert value_error(lambda: policy.prepare(request)) == message
        # The request is unchanged and still usable.
        assert request.argv == argv


@pytest.mark.skipif(BASH is None, reason="bash is not installed")
def test_risky_binaries():
    resolved = os.path.realpath(BASH)
    builder = ProcPolicyBuilder().allow_bin(BASH).arg_rules(BASH, open_rules())
    request = ProcRequest(BASH, ["script.sh"])
    assert value_error(lambda: builder.build().prepare(request)) == \
        f"risky binary denied (shell): {resolved}"
    # AllowWithWarning only warns, and warnings are never printed.
    for permissive in (builder.allow_risky_binaries(),
                       builder.risky_bin_policy(RiskyBinPolicy.Disabled),
                       builder.risky_bin_policy(RiskyBinPolicy.AllowWithWarning)):
        assert permissive.build().prepare(request).bin == resolved
    # The receiver still denies.
    assert value_error(lambda: builder.build().prepare(request)).startswith("risky binary denied")


def test_environment_policies(tmp_path):
    printer = write_script(tmp_path, "printer", "env | LC_ALL=C sort")
    request = ProcRequest(printer, []).with_env({"KEEP": "1", "DROP": "2", "LD_PRELOAD": "x"})
    cases = [
        (ProcPolicyBuilder(), ""),
        (ProcPolicyBuilder().env_fixed({"A": "1"}).env_empty(), ""),
        (ProcPolicyBuilder().env_locale_only(), "LANG=C.UTF-8\nLC_ALL=C.UTF-8\n"),
        (ProcPolicyBuilder().env_fixed({"A": "x y", "LD_PRELOAD": "z"}), "A=x y\n"),
        (ProcPolicyBuilder().env_allowlist(["KEEP", "KEEP", "LD_PRELOAD"]), "KEEP=1\n"),
    ]
    for builder, expected in cases:
        output = policy_for(printer, builder=builder).prepare(request).spawn_sync()
        # /bin/sh may export PWD/SHLVL/OLDPWD of its own.
        lines = [line for line in output.stdout_string().splitlines(keepends=True)
                 if not line.startswith(("PWD=", "SHLVL=", "OLDPWD=", "_="))]
        assert "".join(lines) == expected


def test_cwd_setting(tmp_path):
    directory = str(tmp_path)
    printer = write_script(tmp_path, "where", "pwd")
    request = ProcRequest(printer, []).with_cwd("/srv")
    default = policy_for(printer).prepare(request)
    assert default.cwd == "/tmp"
    fixed = policy_for(printer, builder=ProcPolicyBuilder().cwd("/").cwd(directory))
    prepared = fixed.prepare(request)
    assert prepared.cwd == directory
    assert prepared.spawn_sync().stdout == (directory + "\n").encode()
