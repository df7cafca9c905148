"""Requests, prepared commands and outputs: representations, getters, value
semantics, runs with their exit status, and execution errors."""

import os
import re
import shutil

import pytest

from _corvane import (
    ArgRules,
    InjectDoubleDash,
    PreparedCommand,
    ProcPolicyBuilder,
    ProcRequest,
)

from conftest import open_rules, policy_for, run

GREP = os.path.realpath(shutil.which("grep"))


def runtime_error(call):
    with pytest.raises(RuntimeError) as info:
        call()
    assert type(info.value) is RuntimeError
    assert len(info.value.args) == 1
    assert info.value.__cause__ is None
    return info.value.args[0]


def test_request_reprs_and_getters():
    cases = [
        (ProcRequest("/usr/bin/grep", ["-n", "pattern", "file.txt"]),
         "ProcRequest('/usr/bin/grep', [\"-n\", \"pattern\", \"file.txt\"])"),
        (ProcRequest("/tmp/it's", []), "ProcRequest('/tmp/it's', [])"),
        (ProcRequest("/bin/echo", ['say "hi"\n']), 'ProcRequest(\'/bin/echo\', ["say \\"hi\\"\\n"])'),
        (ProcRequest("/x", ["\0\r\t\\", "\u00a0\u200b\u2028 é'"]),
         'ProcRequest(\'/x\', ["\\0\\r\\t\\\\", "\\u{a0}\\u{200b}\\u{2028} é\'"])'),
    ]
    for request, text in cases:
        assert repr(request) == text
    request = cases[0][0]
    assert request.bin == "/usr/bin/grep"
    assert request.argv == ["-n", "pattern", "file.txt"]
    assert request.argv is not request.argv
    request.argv.append("changed")
    assert request.argv == ["-n", "pattern", "file.txt"]


def test_request_builders_return_new_objects():
    base = ProcRequest("/usr/bin/grep", ["x"])
    for derived in (base.with_cwd("/srv"), base.with_env({"A": "1"}), base.with_env_var("A", "1")):
        assert type(derived) is ProcRequest and derived is not base
        assert repr(derived) == repr(base)


def test_request_env_reaches_the_child_under_an_allowlist(tmp_path, scripts):
    printer = scripts("printer", 'printf "%s|%s|%s" "$A" "$B" "$C"')
    policy = policy_for(printer, builder=ProcPolicyBuilder().env_allowlist(["A", "B", "C"]))
    base = ProcRequest(printer, [])
    replaced = base.with_env_var("C", "gone").with_env({"A": "1", "B": "x"})
    overwritten = replaced.with_env_var("B", "2").with_env_var("C", "3")
    assert policy.prepare(base).spawn_sync().stdout == b"||"
    assert policy.prepare(replaced).spawn_sync().stdout == b"1|x|"
    assert policy.prepare(overwritten).spawn_sync().stdout == b"1|2|3"


def test_prepared_command_getters_and_repr():
    rules = (ArgRules().allowed_flags(["-n", "-i", "-l"]).max_flags(3).max_positionals(10)
             .inject_double_dash(InjectDoubleDash.AfterFlags))
    policy = policy_for(GREP, rules=rules)
    request = ProcRequest(GREP.replace("/bin/", "/bin/../bin/"), ["-n", "pattern", "file.txt"])
    before = repr(request)
    one, two = policy.prepare(request), policy.prepare(request)
    assert type(one) is PreparedCommand and one is not two
    assert repr(one) == repr(two) == \
        f'PreparedCommand(\'{GREP}\', ["-n", "--", "pattern", "file.txt"])'
    assert repr(request) == before
    assert one.bin == GREP
    assert one.argv == ["-n", "--", "pattern", "file.txt"]
    assert one.cwd == "/tmp"


def test_request_survives_a_refusal_and_works_with_another_policy(scripts):
    tool = scripts("tool", "exit 0")
    request = ProcRequest(tool, [])
    with pytest.raises(ValueError, match=r"^binary not allowed: "):
        ProcPolicyBuilder().build().prepare(request)
    assert policy_for(tool).prepare(request).spawn_sync().success


def test_exit_statuses_and_output_reprs(scripts):
    cases = [
        (scripts("hello", "printf 'hello world\\n'"), True, 0,
         "Output(success=true, exit_code=Some(0), stdout_len=12, stderr_len=0)"),
        (scripts("three", "printf 'err' >&2; exit 3"), False, 3,
         "Output(success=false, exit_code=Some(3), stdout_len=0, stderr_len=3)"),
        (scripts("killed", "kill -9 $$"), False, None,
         "Output(success=false, exit_code=None, stdout_len=0, stderr_len=0)"),
    ]
    for path, success, code, text in cases:
        output = run(path)
        assert output.success is success
        assert output.exit_code == code
        assert repr(output) == text
    assert run(cases[1][0]).stderr == b"err"


def test_lossy_strings_and_raw_bytes(scripts):
    raw = scripts("raw", "printf 'caf\\303\\251 \\377'; printf '\\340\\200x' >&2")
    output = run(raw)
    assert output.stdout == bytes.fromhex("636166c3a920ff")
    assert output.stdout_string() == "café \ufffd"
    assert output.stderr == b"\xe0\x80x"
    assert output.stderr_string() == "\ufffd\ufffdx"
    assert output.stdout is not output.stdout
    assert output.stdout_string() is not output.stdout_string()


def test_spawn_sync_twice_starts_two_children(scripts):
    counter = os.path.join(scripts.dir, "count")
    tool = scripts("tool", f"echo run >> {counter}; cat {counter} | wc -l")
    prepared = policy_for(tool).prepare(ProcRequest(tool, []))
    first, second = prepared.spawn_sync(), prepared.spawn_sync()
    assert first is not second
    assert first.stdout.strip() == b"1" and second.stdout.strip() == b"2"


def test_arguments_reach_the_child_unchanged(scripts):
    echo = scripts("echoargs", 'for a in "$@"; do printf "<%s>" "$a"; done')
    argv = ["-", "", "a b", "$HOME", "; rm -rf /", "é"]
    output = run(echo, argv, rules=open_rules(max_positionals=10))
    assert output.stdout_string() == "".join(f"<{a}>" for a in argv)


def test_timeout_raises_runtime_error(scripts):
    slow = scripts("slow", "sleep 5")
    builder = ProcPolicyBuilder().timeout_secs(1)
    message = runtime_error(lambda: run(slow, builder=builder))
    assert re.fullmatch(r"process timed out after 1(\.\d{1,9})?s \(limit: 1s\)", message), message


def test_output_limits_raise_runtime_error(scripts):
    noisy = scripts("noisy", "printf 0123456789")
    loud = scripts("loud", "printf 0123456789 >&2")
    assert runtime_error(lambda: run(noisy, builder=ProcPolicyBuilder().max_stdout(4))) == \
        "stdout limit exceeded: 4 bytes"
    assert runtime_error(lambda: run(loud, builder=ProcPolicyBuilder().max_stderr(0))) == \
        "stderr limit exceeded: 0 bytes"
    assert run(noisy, builder=ProcPolicyBuilder().max_stdout(10)).stdout == b"0123456789"


def test_spawn_failures_raise_runtime_error(scripts):
    tool = scripts("tool", "exit 0")
    missing_dir = os.path.join(scripts.dir, "missing")
    builder = ProcPolicyBuilder().cwd(missing_dir)
    assert runtime_error(lambda: run(tool, builder=builder)) == \
        "failed to spawn process: No such file or directory (os error 2)"
    assert runtime_error(lambda: run(tool, ["a\0b"])) == \
        "failed to spawn process: nul byte found in provided data"
    prepared = policy_for(tool).prepare(ProcRequest(tool, []))
    os.remove(tool)
    assert runtime_error(prepared.spawn_sync) == \
        "failed to spawn process: No such file or directory (os error 2)"


def test_module_docstring_example_end_to_end(tmp_path):
    with open(os.path.join(str(tmp_path), "file.txt"), "w") as handle:
        handle.write("first\na pattern here\nlast\n")
    from corvane import ArgRules, InjectDoubleDash, ProcPolicyBuilder, ProcRequest

    policy = (ProcPolicyBuilder()
              .allow_bin(GREP)
              .arg_rules(GREP, ArgRules()
                         .allowed_flags(["-n", "-i", "-l"])
                         .max_flags(3)
                         .max_positionals(10)
                         .inject_double_dash(InjectDoubleDash.AfterFlags))
              .timeout_secs(30)
              .cwd(str(tmp_path))
              .build())
    request = ProcRequest(GREP, ["-n", "pattern", "file.txt"])
    prepared = policy.prepare(request)
    output = prepared.spawn_sync()
    assert output.stdout_string() == "2:a pattern here\n"
    assert output.exit_code == 0 and output.success
    # Without an allowed flag a flag-looking token is refused, not passed on.
    with pytest.raises(ValueError, match="^flag not allowed: -v$"):
        policy.prepare(ProcRequest(GREP, ["-n", "-v", "file.txt"]))
