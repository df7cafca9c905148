"""The module object, the shape of the nine types, docstrings, and the
once-per-process initialisation."""

import copy
import os
import pickle
import shutil
import subprocess
import sys
import threading
import time
import weakref

import pytest

import _corvane
import corvane
from _corvane import (
    ArgRules,
    InjectDoubleDash,
    ProcPolicyBuilder,
    ProcRequest,
    RiskCategory,
    RiskyBinPolicy,
)

from conftest import policy_for, write_script

NAMES = [
    "RiskyBinPolicy",
    "InjectDoubleDash",
    "RiskCategory",
    "ArgRules",
    "ProcRequest",
    "Output",
    "PreparedCommand",
    "ProcPolicyBuilder",
    "ProcPolicy",
]
NOT_CONSTRUCTIBLE = ["ProcPolicy", "PreparedCommand", "Output",
                     "RiskCategory", "RiskyBinPolicy", "InjectDoubleDash"]

MODULE_DOC = '''Process execution guard for agentic systems.

corvane provides a safe wrapper around process spawning, preventing
command injection via argv-style execution with strict validation.

Example:
    >>> from corvane import ProcPolicyBuilder, ProcRequest, ArgRules, InjectDoubleDash
    >>>
    >>> # Build a policy
    >>> policy = (ProcPolicyBuilder()
    ...     .allow_bin("/usr/bin/grep")
    ...     .arg_rules("/usr/bin/grep", ArgRules()
    ...         .allowed_flags(["-n", "-i", "-l"])
    ...         .max_flags(3)
    ...         .max_positionals(10)
    ...         .inject_double_dash(InjectDoubleDash.AfterFlags))
    ...     .timeout_secs(30)
    ...     .build())
    >>>
    >>> # Create and execute a request
    >>> request = ProcRequest("/usr/bin/grep", ["-n", "pattern", "file.txt"])
    >>> prepared = policy.prepare(request)
    >>> output = prepared.spawn_sync()
    >>> print(output.stdout_string())'''

CLASS_DOCS = {
    "RiskCategory": "Risk category for dangerous binaries.",
    "RiskyBinPolicy": "Policy for handling risky binaries (shells, interpreters, etc.).",
    "InjectDoubleDash": "Mode for double-dash injection.",
    "ProcPolicy": "A built process execution policy.",
    "PreparedCommand": "A validated command ready for execution.\n\n"
                       "This can only be created via ProcPolicy.prepare().",
    "Output": "Output from a successfully executed command.",
    "ArgRules": '''Rules for validating arguments to a binary.

Example:
    >>> rules = ArgRules()
    >>> rules = rules.allowed_flags(["-n", "-i", "--color=never"])
    >>> rules = rules.max_flags(3)
    >>> rules = rules.max_positionals(10)
    >>> rules = rules.inject_double_dash(InjectDoubleDash.AfterFlags)''',
    "ProcPolicyBuilder": '''Process execution policy builder.

Example:
    >>> policy = (ProcPolicyBuilder()
    ...     .allow_bin("/usr/bin/grep")
    ...     .arg_rules("/usr/bin/grep", ArgRules()
    ...         .allowed_flags(["-n", "-i"])
    ...         .max_flags(2)
    ...         .max_positionals(10))
    ...     .timeout_secs(30)
    ...     .build())''',
    "ProcRequest": '''A proposed process execution request.

Example:
    >>> request = ProcRequest("/usr/bin/grep", ["-n", "pattern", "file.txt"])
    >>> request = request.with_cwd("/tmp")''',
}

METHOD_DOCS = {
    ("ProcPolicyBuilder", "allow_bin"): "allow_bin($self, path)\n--\n\nAdd an allowed binary.",
    ("ProcPolicyBuilder", "arg_rules"):
        "arg_rules($self, path, rules)\n--\n\nSet argument rules for a binary.",
    ("ProcPolicyBuilder", "risky_bin_policy"):
        "risky_bin_policy($self, policy)\n--\n\nSet risky binary policy.",
    ("ProcPolicyBuilder", "allow_risky_binaries"):
        "allow_risky_binaries($self)\n--\n\nAllow risky binaries (shells, interpreters, etc.) "
        "to be executed.\n\nThis is a convenience method equivalent to:\n    "
        ".risky_bin_policy(RiskyBinPolicy.Disabled)\n\nWARNING: Only use this if you "
        "understand the security implications.",
    ("ProcPolicyBuilder", "env_empty"):
        "env_empty($self)\n--\n\nSet environment policy to empty (default).",
    ("ProcPolicyBuilder", "env_locale_only"):
        "env_locale_only($self)\n--\n\nSet environment policy to locale only.",
    ("ProcPolicyBuilder", "env_fixed"):
        "env_fixed($self, env)\n--\n\nSet environment policy to fixed values.",
    ("ProcPolicyBuilder", "env_allowlist"):
        "env_allowlist($self, keys)\n--\n\nSet environment policy to allowlist.",
    ("ProcPolicyBuilder", "cwd"): "cwd($self, path)\n--\n\nSet fixed working directory.",
    ("ProcPolicyBuilder", "timeout_secs"):
        "timeout_secs($self, secs)\n--\n\nSet timeout in seconds.",
    ("ProcPolicyBuilder", "timeout"):
        "timeout($self, secs)\n--\n\nSet timeout in seconds (convenience alias for timeout_secs).",
    ("ProcPolicyBuilder", "max_stdout"): "max_stdout($self, max)\n--\n\nSet maximum stdout bytes.",
    ("ProcPolicyBuilder", "max_stderr"): "max_stderr($self, max)\n--\n\nSet maximum stderr bytes.",
    ("ProcPolicyBuilder", "build"):
        "build($self)\n--\n\nBuild the policy.\n\nRaises:\n    ValueError: If policy is invalid "
        "(missing arg_rules, bad paths, etc.)",
    ("ArgRules", "subcommand"):
        "subcommand($self, cmd)\n--\n\nSet the required subcommand (first positional must match).",
    ("ArgRules", "allowed_flags"): "allowed_flags($self, flags)\n--\n\nSet allowed flags from a list.",
    ("ArgRules", "max_flags"): "max_flags($self, max)\n--\n\nSet maximum number of flags.",
    ("ArgRules", "max_positionals"):
        "max_positionals($self, max)\n--\n\nSet maximum number of positional arguments.",
    ("ArgRules", "inject_double_dash"):
        "inject_double_dash($self, mode=None)\n--\n\nSet double-dash injection mode.\n\nArgs:\n    "
        "mode: Injection mode (default: AfterFlags for secure double-dash insertion)\n\nWhen "
        "called without arguments, defaults to AfterFlags which inserts `--`\nbetween flags and "
        "positional arguments to prevent flag injection.",
    ("ProcPolicy", "prepare"):
        "prepare($self, request)\n--\n\nValidate a request and prepare it for execution.\n\n"
        "Args:\n    request: The execution request to validate\n\nReturns:\n    PreparedCommand "
        "ready for execution\n\nRaises:\n    ValueError: If the request violates the policy",
    ("ProcRequest", "with_cwd"): "with_cwd($self, cwd)\n--\n\nSet the working directory.",
    ("ProcRequest", "with_env"): "with_env($self, env)\n--\n\nSet environment variables from a dict.",
    ("ProcRequest", "with_env_var"):
        "with_env_var($self, key, value)\n--\n\nAdd a single environment variable.",
    ("PreparedCommand", "spawn_sync"):
        "spawn_sync($self)\n--\n\nExecute the command synchronously.\n\nReturns:\n    Output from "
        "the command\n\nRaises:\n    RuntimeError: If execution fails (timeout, limit exceeded, "
        "spawn failed)",
    ("Output", "stdout_string"): "stdout_string($self)\n--\n\nGet stdout as string (lossy UTF-8).",
    ("Output", "stderr_string"): "stderr_string($self)\n--\n\nGet stderr as string (lossy UTF-8).",
}

PROPERTY_DOCS = {
    ("ProcRequest", "bin"): "Get the binary path.",
    ("ProcRequest", "argv"): "Get the arguments.",
    ("PreparedCommand", "bin"): "Get the binary path.",
    ("PreparedCommand", "argv"): "Get the validated arguments.",
    ("PreparedCommand", "cwd"): "Get the working directory.",
    ("Output", "stdout"): "Get raw stdout bytes.",
    ("Output", "stderr"): "Get raw stderr bytes.",
    ("Output", "exit_code"): "Get exit code (if available).",
    ("Output", "success"): "Check if process exited successfully.",
}


@pytest.fixture(scope="module")
def instances():
    """One instance of each of the nine classes."""
    true_bin = shutil.which("true")
    policy = policy_for(true_bin)
    prepared = policy.prepare(ProcRequest(true_bin, []))
    return {
        "RiskyBinPolicy": RiskyBinPolicy.Disabled,
        "InjectDoubleDash": InjectDoubleDash.Never,
        "RiskCategory": RiskCategory.Shell,
        "ArgRules": ArgRules(),
        "ProcRequest": ProcRequest(true_bin, []),
        "Output": prepared.spawn_sync(),
        "PreparedCommand": prepared,
        "ProcPolicyBuilder": ProcPolicyBuilder(),
        "ProcPolicy": policy,
    }


def test_module_identity_and_members():
    assert _corvane.__name__ == "_corvane"
    assert _corvane.__doc__ == MODULE_DOC
    assert _corvane.__all__ == NAMES
    public = sorted(n for n in dir(_corvane) if not n.startswith("__"))
    assert public == sorted(NAMES)
    assert not hasattr(_corvane, "PanicException")


def test_package_reexports_the_classes():
    # The package lists the nine classes first, then its own additions.
    assert corvane.__all__[:len(NAMES)] == NAMES
    for name in NAMES:
        assert getattr(corvane, name) is getattr(_corvane, name)
    assert corvane.__doc__ == MODULE_DOC


@pytest.mark.parametrize("name", NAMES)
def test_type_shape(name):
    cls = getattr(_corvane, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == CLASS_DOCS[name]
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize("name", NAMES)
def test_instance_shape(instances, name):
    obj = instances[name]
    assert type(obj) is getattr(_corvane, name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.x = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    for other in NAMES:
        if other != name:
            with pytest.raises(TypeError):
                obj.__class__ = getattr(_corvane, other)


@pytest.mark.parametrize("name", NAMES)
def test_instances_cannot_be_copied_or_pickled(instances, name):
    obj = instances[name]
    for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError):
            attempt(obj)


@pytest.mark.parametrize("name", NAMES)
def test_no_back_door_creates_an_empty_instance(name):
    cls = getattr(_corvane, name)
    with pytest.raises(TypeError):
        object.__new__(cls)
    if name in NOT_CONSTRUCTIBLE:
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls.__new__(cls)


@pytest.mark.parametrize("name", NOT_CONSTRUCTIBLE)
def test_no_constructor(name):
    cls = getattr(_corvane, name)
    for call in (lambda: cls(), lambda: cls(1, x=2)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"No constructor defined for {name}"


def test_text_signatures_of_constructors():
    assert ArgRules.__text_signature__ == "()"
    assert ProcPolicyBuilder.__text_signature__ == "()"
    assert ProcRequest.__text_signature__ == "(bin, argv)"


@pytest.mark.parametrize("key", sorted(METHOD_DOCS))
def test_method_docstrings(key):
    cls_name, method_name = key
    method = getattr(getattr(_corvane, cls_name), method_name)
    full = METHOD_DOCS[key]
    header, _, body = full.partition("\n--\n\n")
    assert method.__doc__ == body
    assert method.__text_signature__ == header[len(method_name):]


def test_method_tables_are_complete():
    for cls_name in {c for c, _ in METHOD_DOCS}:
        cls = getattr(_corvane, cls_name)
        own = {n for n, v in vars(cls).items()
               if callable(v) and not n.startswith("__")}
        assert own == {m for c, m in METHOD_DOCS if c == cls_name}


@pytest.mark.parametrize("key", sorted(PROPERTY_DOCS))
def test_properties_are_documented_and_read_only(instances, key):
    cls_name, prop = key
    descriptor = vars(getattr(_corvane, cls_name))[prop]
    assert descriptor.__doc__ == PROPERTY_DOCS[key]
    with pytest.raises(AttributeError):
        setattr(instances[cls_name], prop, None)


def test_second_initialisation_raises_import_error():
    code = (
        "import sys, _corvane\n"
        "first = _corvane\n"
        "del sys.modules['_corvane']\n"
        "try:\n"
        "    import _corvane\n"
        "except ImportError as e:\n"
        "    print('ImportError', type(e) is ImportError)\n"
        "else:\n"
        "    print('imported again')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=dict(os.environ), timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError True"


def test_importing_the_package_and_the_module_shares_one_module():
    code = "import corvane, _corvane; print(corvane.ArgRules is _corvane.ArgRules)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.strip() == "True", result.stderr


def test_interpreter_lock_is_held_while_a_child_runs(tmp_path):
    sleeper = write_script(tmp_path, "sleeper", "sleep 1")
    prepared = policy_for(sleeper).prepare(ProcRequest(sleeper, []))
    stamps = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.monotonic())

    worker = threading.Thread(target=tick)
    worker.start()
    try:
        time.sleep(0.05)
        start = time.monotonic()
        prepared.spawn_sync()
        end = time.monotonic()
    finally:
        stop.set()
        worker.join()
    assert end - start >= 0.9
    # The other thread never ran while the call was in progress (allowing for
    # the start and end of the call).
    inside = [s for s in stamps if start + 0.25 < s < end - 0.1]
    assert inside == []
    assert any(s < start for s in stamps)  # the thread did run before the call


def test_stub_is_accepted_by_a_type_checker(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    usage = os.path.join(os.path.dirname(__file__), "typed_usage.py")
    stdout, stderr, status = mypy.run(
        ["--strict", "--no-incremental", "--cache-dir", str(tmp_path), usage])
    assert status == 0, stdout + stderr
