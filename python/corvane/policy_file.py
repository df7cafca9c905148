"""Policy files: a whole corvane policy written as TOML or given as a mapping.

This module only reads and checks the *shape* of a policy (known keys, types,
durations, sizes, paths relative to the file) and hands the result to the core,
which builds it with the extended rule model; every decision about a request
is the core's. Each mistake raises :class:`PolicyError` naming the file, the
key path and the reason; nothing is silently ignored.
"""

import errno
import os
import re
import sys
from decimal import Decimal, InvalidOperation
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised only on older interpreters
    import tomli as tomllib

from . import _native

__all__ = ["PolicyError", "LoadedPolicy", "load_toml", "load_mapping", "SCHEMA_PATH"]

#: The JSON Schema of the file format, shipped inside the package.
SCHEMA_PATH = os.path.join(os.path.dirname(__file__), "policy.schema.json")

_TOP_KEYS = {"timeout", "max_stdout", "max_stderr", "max_stdin", "on_output_limit", "risky_binaries",
             "environment", "cwd", "binaries", "sandbox", "allow_writable_policy"}
_SANDBOX_KEYS = {"workspace", "read", "write", "exec", "network", "keep_background",
                 "best_effort", "limits"}
# Each limit key of [sandbox.limits], the Sandbox argument it sets and how its value reads.
_SANDBOX_LIMITS = {"memory": ("memory", "size"), "cpu_time": ("cpu_seconds", "seconds"),
                   "processes": ("processes", "count"), "file_size": ("file_size", "size"),
                   "open_files": ("open_files", "count")}
_RULE_KEYS = {"flags", "value_flags", "max_flags", "max_positionals", "numeric_flags", "bundles",
              "first_arg_bundle", "path_positionals", "inject_double_dash", "double_dash"}
_BINARY_KEYS = _RULE_KEYS | {"path", "subcommands", "argv0", "risky"}
# What the child sees as argv[0]: the file that runs, or the path it was allowed
# under (how an interpreter finds its virtual environment). The file that runs is
# the checked one either way.
_ARGV0 = ("canonical", "allowed")
# A binary's own risky-name setting, as the core's RiskyBinPolicy numbers.
_BINARY_RISKY = {"deny": 0, "allow": 2}
_VALUE_KEYS = {"attached", "one_of", "pattern", "path", "changes_directory"}
# How the program reads "--": the names of the core's DoubleDashReading.
_DOUBLE_DASH = ("ends_options", "options_continue", "argument")
_ENV_MODES = {"empty", "locale_only", "fixed", "allowlist"}
_RISKY = {"deny": 0, "allow_with_warning": 1, "disabled": 2}
_DEFAULT_MAX = 32

_SIZE_UNITS = {"": 1, "B": 1, "KB": 10**3, "MB": 10**6, "GB": 10**9,
               "KiB": 2**10, "MiB": 2**20, "GiB": 2**30}
_DURATION_UNITS = {"ns": Decimal(1), "us": Decimal(10**3), "µs": Decimal(10**3),
                   "ms": Decimal(10**6), "s": Decimal(10**9), "m": Decimal(60 * 10**9),
                   "h": Decimal(3600 * 10**9)}
_NUMBER_UNIT = re.compile(r"^\s*([0-9]+(?:\.[0-9]+)?)\s*([A-Za-zµ]*)\s*$")
_VAR_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


class PolicyError(ValueError):
    """A mistake in a policy file or mapping.

    ``file`` is the file's path (None for a mapping), ``key`` the dotted key path
    of the mistake (``binaries.git.subcommands.log.value_flags.-n.pattern``) and
    ``reason`` what is wrong; ``str(exc)`` names all three.
    """

    file: Optional[str]
    key: str
    reason: str

    def __init__(self, reason: str, *, key: str = "", file: Optional[str] = None) -> None:
        where = ": ".join(part for part in (file, key) if part)
        super().__init__(f"{where}: {reason}" if where else reason)
        self.file = file
        self.key = key
        self.reason = reason


class LoadedPolicy:
    """A checked policy: the core's built policy and its plain description.

    A plain class: `dataclasses` would cost every `corvane run` its import
    (about 13 ms, most of it `inspect`)."""

    __slots__ = ("core", "description", "on_output_limit", "file", "binaries", "sandbox")

    def __init__(self, core: Any, description: Dict[str, Any], on_output_limit: str,
                 file: Optional[str], binaries: List[Dict[str, Any]], sandbox: Any) -> None:
        self.core = core
        self.description = description
        self.on_output_limit = on_output_limit
        self.file = file
        self.binaries = binaries
        self.sandbox = sandbox  # the corvane.Sandbox every run of the policy gets, or None


def _join(*parts: str) -> str:
    return ".".join(p for p in parts if p)


class _Reader:
    """Walks one policy mapping, checking every key and converting values."""

    def __init__(self, file: Optional[str], base_dir: Optional[str],
                 variables: Optional[Mapping[str, str]] = None) -> None:
        self.file = file
        self.base_dir = base_dir
        self.vars = self.variables(variables)
        self.writable: List[Tuple[str, str]] = []  # (key, path) the sandbox lets commands write

    # ------------------------------------------------------------ variables

    def variables(self, given: Optional[Mapping[str, str]]) -> Dict[str, str]:
        if given is None:
            return {}
        if not isinstance(given, Mapping):
            raise TypeError(f"vars: expected a mapping of names to strings, not {type(given).__name__}")
        for name, value in given.items():
            if not isinstance(name, str) or not isinstance(value, str):
                bad = name if not isinstance(name, str) else value
                raise TypeError(f"vars: expected a mapping of names to strings, not {type(bad).__name__}")
            if not _VAR_NAME.match(name):
                raise self.fail("", f"malformed variable name {name!r} (letters, digits and _, "
                                    "not starting with a digit)")
        return dict(given)

    def expand(self, value: Any, key: str) -> Any:
        """`value` with ${NAME} replaced in every string in it; key paths name the string."""
        if isinstance(value, str):
            return self.expand_text(value, key) if "$" in value else value
        if isinstance(value, Mapping):
            return {k: self.expand(v, _join(key, k) if isinstance(k, str) else key)
                    for k, v in value.items()}
        if isinstance(value, (list, tuple)):
            return [self.expand(v, f"{key}[{i}]") for i, v in enumerate(value)]
        return value

    def expand_text(self, text: str, key: str) -> str:
        # ${NAME} is a variable and $$ a literal $; any other $ (a pattern's
        # anchor, say) stays as written. A value is inserted as is, never expanded again.
        out: List[str] = []
        at = 0
        while (dollar := text.find("$", at)) >= 0:
            out.append(text[at:dollar])
            after = text[dollar + 1:dollar + 2]
            if after == "$":
                out.append("$")
                at = dollar + 2
            elif after == "{":
                end = text.find("}", dollar + 2)
                name = text[dollar + 2:end] if end >= 0 else ""
                if end < 0 or not _VAR_NAME.match(name):
                    written = text[dollar:end + 1] if end >= 0 else text[dollar:]
                    raise self.fail(key, f"malformed variable {written!r}: write ${{NAME}} with a "
                                         "name of letters, digits and _, or $$ for a literal $")
                if name not in self.vars:
                    given = ", ".join(sorted(self.vars)) or "none"
                    raise self.fail(key, f"undefined variable ${{{name}}} (variables given: {given})")
                out.append(self.vars[name])
                at = end + 1
            else:
                out.append("$")
                at = dollar + 1
        out.append(text[at:])
        return "".join(out)

    def fail(self, key: str, reason: str) -> PolicyError:
        return PolicyError(reason, key=key, file=self.file)

    def table(self, value: Any, key: str, known: set) -> Mapping[str, Any]:
        if not isinstance(value, Mapping):
            raise self.fail(key, f"expected a table, got {_type_name(value)}")
        for name in value:
            if not isinstance(name, str):
                raise self.fail(key, f"keys must be strings, got {_type_name(name)}")
            if name not in known:
                raise self.fail(_join(key, name), "unknown key (known: " + ", ".join(sorted(known)) + ")")
        return value

    def named(self, value: Mapping[Any, Any], key: str) -> Mapping[str, Any]:
        """A table whose keys are names chosen by the author (binaries, flags, subcommands)."""
        for name in value:
            if not isinstance(name, str):
                raise self.fail(key, f"keys must be strings, got {_type_name(name)}")
        return value

    def boolean(self, value: Any, key: str) -> bool:
        if not isinstance(value, bool):
            raise self.fail(key, f"expected a boolean, got {_type_name(value)}")
        return value

    def count(self, value: Any, key: str) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise self.fail(key, f"expected an integer, got {_type_name(value)}")
        if value < 0 or value >= 2**64:
            raise self.fail(key, f"must be between 0 and 2**64-1, got {value}")
        return value

    def string(self, value: Any, key: str) -> str:
        if not isinstance(value, str):
            raise self.fail(key, f"expected a string, got {_type_name(value)}")
        return value

    def strings(self, value: Any, key: str) -> List[str]:
        if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
            raise self.fail(key, f"expected a list of strings, got {_type_name(value)}")
        return [self.string(v, f"{key}[{i}]") for i, v in enumerate(value)]

    def path(self, value: Any, key: str) -> str:
        text = self.string(value, key)
        if not text:
            raise self.fail(key, "empty path")
        if "\0" in text:
            raise self.fail(key, "path contains a NUL character")
        if os.path.isabs(text):
            return text
        if self.base_dir is None:
            raise self.fail(key, f"relative path {text!r} needs a base directory (pass base_dir)")
        return os.path.join(self.base_dir, text)

    def size(self, value: Any, key: str) -> int:
        if isinstance(value, bool):
            raise self.fail(key, "expected a size such as 1048576 or \"10MiB\", got boolean")
        if isinstance(value, int):
            return self.count(value, key)
        if not isinstance(value, str):
            raise self.fail(key, f"expected a size such as 1048576 or \"10MiB\", got {_type_name(value)}")
        match = _NUMBER_UNIT.match(value)
        if not match or match.group(2) not in _SIZE_UNITS:
            raise self.fail(key, f"not a size: {value!r} (units: B, KB, MB, GB, KiB, MiB, GiB)")
        number = Decimal(match.group(1)) * _SIZE_UNITS[match.group(2)]
        if number != number.to_integral_value():
            raise self.fail(key, f"not a whole number of bytes: {value!r}")
        return self.count(int(number), key)

    def duration(self, value: Any, key: str) -> Tuple[int, int]:
        if isinstance(value, bool):
            raise self.fail(key, "expected a duration such as \"1.5s\" or seconds, got boolean")
        if isinstance(value, (int, float)):
            try:
                nanos = Decimal(repr(value) if isinstance(value, float) else value) * 10**9
            except InvalidOperation:
                raise self.fail(key, f"not a duration: {value!r}") from None
            if not nanos.is_finite() or nanos < 0:
                raise self.fail(key, f"must be a finite, non-negative number of seconds, got {value!r}")
        elif isinstance(value, str):
            match = _NUMBER_UNIT.match(value)
            if not match or match.group(2) not in _DURATION_UNITS:
                raise self.fail(key, f"not a duration: {value!r} (units: ns, us, ms, s, m, h)")
            nanos = Decimal(match.group(1)) * _DURATION_UNITS[match.group(2)]
        else:
            raise self.fail(key, f"expected a duration such as \"1.5s\" or seconds, got {_type_name(value)}")
        if nanos != nanos.to_integral_value():
            raise self.fail(key, f"finer than a nanosecond: {value!r}")
        secs, rest = divmod(int(nanos), 10**9)
        if secs >= 2**64:
            raise self.fail(key, f"too long: {value!r}")
        return secs, rest

    # ------------------------------------------------------------ rules

    def value_flags(self, value: Any, key: str) -> List[Tuple[str, bool, Optional[List[str]], Optional[str], bool, bool]]:
        out = []
        if isinstance(value, Mapping):
            for name, options in self.named(value, key).items():
                opts = self.table(options, _join(key, name), _VALUE_KEYS)
                one_of = opts.get("one_of")
                pattern = opts.get("pattern")
                out.append((
                    name,
                    self.boolean(opts.get("attached", False), _join(key, name, "attached")),
                    None if one_of is None else self.strings(one_of, _join(key, name, "one_of")),
                    None if pattern is None else self.string(pattern, _join(key, name, "pattern")),
                    self.boolean(opts.get("path", False), _join(key, name, "path")),
                    self.boolean(opts.get("changes_directory", False), _join(key, name, "changes_directory")),
                ))
            return out
        for name in self.strings(value, key):
            out.append((name, False, None, None, False, False))
        return out

    def rule_set(self, data: Mapping[str, Any], key: str, words: List[str]) -> Dict[str, Any]:
        return {
            "subcommand": words,
            "flags": self.strings(data.get("flags", []), _join(key, "flags")),
            "value_flags": self.value_flags(data.get("value_flags", []), _join(key, "value_flags")),
            "max_flags": self.count(data.get("max_flags", _DEFAULT_MAX), _join(key, "max_flags")),
            "max_positionals": self.count(data.get("max_positionals", _DEFAULT_MAX),
                                          _join(key, "max_positionals")),
            "numeric_flags": self.boolean(data.get("numeric_flags", False), _join(key, "numeric_flags")),
            "bundles": self.boolean(data.get("bundles", False), _join(key, "bundles")),
            "first_arg_bundle": self.boolean(data.get("first_arg_bundle", False),
                                             _join(key, "first_arg_bundle")),
            "path_positionals": self.boolean(data.get("path_positionals", False),
                                             _join(key, "path_positionals")),
            "inject_double_dash": self.boolean(data.get("inject_double_dash", True),
                                               _join(key, "inject_double_dash")),
            "double_dash": self.double_dash(data.get("double_dash", _DOUBLE_DASH[0]), _join(key, "double_dash")),
        }

    def double_dash(self, value: Any, key: str) -> str:
        reading = self.string(value, key)
        if reading not in _DOUBLE_DASH:
            raise self.fail(key, f"unknown reading {reading!r} (known: " + ", ".join(_DOUBLE_DASH) + ")")
        return reading

    def binary(self, name: str, data: Any, key: str) -> Dict[str, Any]:
        table = self.table(data, key, _BINARY_KEYS)
        if "path" not in table:
            raise self.fail(_join(key, "path"), "missing: every binary needs a path")
        path = self.path(table["path"], _join(key, "path"))
        sets = []
        # The binary's own keys form the rule set without a subcommand; with
        # subcommands and none of those keys, a subcommand is required.
        subcommands = table.get("subcommands")
        if subcommands is None or any(k in table for k in _RULE_KEYS):
            sets.append(self.rule_set(table, key, []))
        if subcommands is not None:
            if not isinstance(subcommands, Mapping):
                raise self.fail(_join(key, "subcommands"), f"expected a table, got {_type_name(subcommands)}")
            for sub_name, sub in self.named(subcommands, _join(key, "subcommands")).items():
                sub_key = _join(key, "subcommands", sub_name)
                words = sub_name.split()
                if not words:
                    raise self.fail(sub_key, "empty subcommand name")
                sets.append(self.rule_set(self.table(sub, sub_key, _RULE_KEYS), sub_key, words))
        argv0 = self.string(table.get("argv0", "canonical"), _join(key, "argv0"))
        if argv0 not in _ARGV0:
            raise self.fail(_join(key, "argv0"), f"unknown value {argv0!r} (known: " + ", ".join(_ARGV0) + ")")
        risky = None
        if "risky" in table:
            risky = self.string(table["risky"], _join(key, "risky"))
            if risky not in _BINARY_RISKY:
                raise self.fail(_join(key, "risky"),
                                f"unknown value {risky!r} (known: " + ", ".join(_BINARY_RISKY) + ")")
        return {"name": name, "path": path, "key": key, "rule_sets": sets, "argv0": argv0, "risky": risky}

    # ------------------------------------------------------------ policy

    def environment(self, data: Any) -> Tuple[Tuple[str, Any], Dict[str, Any]]:
        if data is None:
            return ("empty", None), {"mode": "empty"}
        table = self.table(data, "environment", {"mode", "names", "vars"})
        mode = self.string(table.get("mode", "empty"), "environment.mode")
        if mode not in _ENV_MODES:
            raise self.fail("environment.mode", f"unknown mode {mode!r} (known: " + ", ".join(sorted(_ENV_MODES)) + ")")
        if "names" in table and mode != "allowlist":
            raise self.fail("environment.names", "only the allowlist mode takes names")
        if "vars" in table and mode != "fixed":
            raise self.fail("environment.vars", "only the fixed mode takes vars")
        if mode == "allowlist":
            names = self.strings(table.get("names", []), "environment.names")
            return ("allowlist", names), {"mode": mode, "names": names}
        if mode == "fixed":
            raw = table.get("vars", {})
            if not isinstance(raw, Mapping):
                raise self.fail("environment.vars", f"expected a table, got {_type_name(raw)}")
            vars_ = {k: self.string(v, _join("environment.vars", k)) for k, v in raw.items()}
            return ("fixed", vars_), {"mode": mode, "names": sorted(vars_)}
        return (mode, None), {"mode": mode}

    def cwd(self, data: Any) -> Tuple[Tuple[str, Any, bytes], Dict[str, Any]]:
        if data is None:
            return ("fixed", None, b"/tmp"), {"mode": "fixed", "dir": "/tmp"}
        table = self.table(data, "cwd", {"fixed", "jail", "allow", "default"})
        modes = [m for m in ("fixed", "jail", "allow") if m in table]
        if len(modes) != 1:
            raise self.fail("cwd", "needs exactly one of fixed, jail or allow")
        mode = modes[0]
        if mode == "fixed":
            if "default" in table:
                raise self.fail("cwd.default", "a fixed directory takes no default")
            d = self.path(table["fixed"], "cwd.fixed")
            return ("fixed", None, os.fsencode(d)), {"mode": "fixed", "dir": d}
        if mode == "jail":
            root = self.path(table["jail"], "cwd.jail")
            default = self.path(table["default"], "cwd.default") if "default" in table else root
            return (("jailed", os.fsencode(root), os.fsencode(default)),
                    {"mode": "jail", "root": root, "default": default})
        raw = table["allow"]
        if isinstance(raw, (str, bytes)) or not isinstance(raw, Sequence) or not raw:
            raise self.fail("cwd.allow", "expected a non-empty list of directories")
        dirs = [self.path(d, f"cwd.allow[{i}]") for i, d in enumerate(raw)]
        default = self.path(table["default"], "cwd.default") if "default" in table else dirs[0]
        return (("allowlist", [os.fsencode(d) for d in dirs], os.fsencode(default)),
                {"mode": "allow", "dirs": dirs, "default": default})

    def sandbox(self, data: Any) -> Tuple[Any, Optional[Dict[str, Any]]]:
        """The [sandbox] table as a corvane.Sandbox and its description; the
        core checks the paths and the kernel features, and its refusal is
        reported at the key that named the path."""
        from .sandbox import Sandbox

        if data is None:
            return None, None
        table = self.table(data, "sandbox", _SANDBOX_KEYS)
        # (key, path) of every path given, to point an error of the core at its key.
        named: List[Tuple[str, str]] = []
        lists: Dict[str, List[str]] = {}
        for name in ("read", "write", "exec"):
            key = _join("sandbox", name)
            raw = table.get(name, [])
            self.strings(raw, key)
            lists[name] = [self.path(v, f"{key}[{i}]") for i, v in enumerate(raw)]
            named += [(f"{key}[{i}]", p) for i, p in enumerate(lists[name])]
        options: Dict[str, Any] = {
            name: self.boolean(table.get(name, False), _join("sandbox", name))
            for name in ("keep_background", "best_effort")
        }
        options["network"] = self.network(table.get("network", False))
        limits = table.get("limits", {})
        for name, value in self.table(limits, "sandbox.limits", set(_SANDBOX_LIMITS)).items():
            argument, kind = _SANDBOX_LIMITS[name]
            options[argument] = self.limit(value, _join("sandbox.limits", name), kind)
        workspace = None
        if "workspace" in table:
            workspace = self.path(table["workspace"], "sandbox.workspace")
            named.insert(0, ("sandbox.workspace", workspace))
        try:
            if workspace is None:
                sandbox = Sandbox(read=lists["read"], write=lists["write"], exec=lists["exec"],
                                  **options)
            else:
                sandbox = Sandbox.workspace(workspace, read=lists["read"], write=lists["write"],
                                            exec=lists["exec"], **options)
        except (TypeError, ValueError) as exc:
            message = str(exc)
            if message.startswith("network"):  # the ports, as the binding names them
                where, _, reason = message.partition(": ")
                raise self.fail(_join("sandbox", where), reason) from None
            if isinstance(exc, TypeError):
                raise
            if not isinstance(options["network"], bool) and " port" in message:
                # The core's word on the ports: port 0, or a kernel without TCP rules.
                which = next((w for w in ("connect", "bind") if f"sandbox {w} port" in message), "")
                raise self.fail(_join("sandbox.network", which) if which else "sandbox.network",
                                message) from None
            key = next((k for k, p in named if message.endswith(p) or f"{p}:" in message),
                       "sandbox")
            raise self.fail(key, message) from None
        # Where the commands may write, each with the key that granted it (the
        # preset's own paths count as the workspace's).
        self.writable = [(next((k for k, p in named if k.startswith("sandbox.write") and p == w),
                               "sandbox.workspace"), w) for w in sandbox.write]
        description = {
            "workspace": workspace,
            "read": list(sandbox.read),
            "write": list(sandbox.write),
            "exec": list(sandbox.exec),
            "network": (sandbox.network if isinstance(sandbox.network, bool)
                        else {k: list(v) for k, v in sandbox.network.items()}),
            "keep_background": sandbox.keep_background,
            "best_effort": options["best_effort"],
            "containment": sandbox.containment,
            "skipped": list(sandbox.skipped),
            "limits": sandbox.limits,
        }
        return sandbox, description

    def network(self, value: Any) -> Any:
        """true, false, or a table of TCP ports (connect, bind); the ports
        themselves are checked where Sandbox converts them."""
        if isinstance(value, bool):
            return value
        if not isinstance(value, Mapping):
            raise self.fail("sandbox.network", f"expected a boolean, got {_type_name(value)} "
                                               "(or a table of TCP ports: connect, bind)")
        return dict(self.table(value, "sandbox.network", {"connect", "bind"}))

    def limit(self, value: Any, key: str, kind: str) -> Optional[int]:
        """One sandbox limit: "inherit" keeps the limit the host runs under."""
        if value == "inherit":
            return None
        if kind == "size":
            return self.size(value, key)
        if kind == "count":
            return self.count(value, key)
        secs, nanos = self.duration(value, key)
        if nanos:
            raise self.fail(key, f"the CPU time limit is counted in whole seconds, got {value!r}")
        return secs

    def policy(self, data: Any) -> LoadedPolicy:
        top = self.table(self.expand(data, ""), "", _TOP_KEYS)
        allow_writable = self.boolean(top.get("allow_writable_policy", False), "allow_writable_policy")
        timeout = self.duration(top.get("timeout", 30), "timeout")
        max_stdout = self.size(top.get("max_stdout", 10_485_760), "max_stdout")
        max_stderr = self.size(top.get("max_stderr", 1_048_576), "max_stderr")
        # None: no call may give its command stdin.
        max_stdin = None if "max_stdin" not in top else self.size(top["max_stdin"], "max_stdin")
        on_limit = self.string(top.get("on_output_limit", "wait"), "on_output_limit")
        if on_limit not in ("wait", "kill"):
            raise self.fail("on_output_limit", f"must be 'wait' or 'kill', not {on_limit!r}")
        risky = self.string(top.get("risky_binaries", "deny"), "risky_binaries")
        if risky not in _RISKY:
            raise self.fail("risky_binaries", f"unknown value {risky!r} (known: " + ", ".join(_RISKY) + ")")
        env_data, env_desc = self.environment(top.get("environment"))
        cwd_data, cwd_desc = self.cwd(top.get("cwd"))
        raw_bins = top.get("binaries", {})
        if not isinstance(raw_bins, Mapping):
            raise self.fail("binaries", f"expected a table, got {_type_name(raw_bins)}")
        binaries = [self.binary(name, entry, _join("binaries", name))
                    for name, entry in self.named(raw_bins, "binaries").items()]

        native_data = {
            "binaries": [(os.fsencode(b["path"]), b["rule_sets"], b["name"]) for b in binaries],
            "env": env_data,
            "cwd": (cwd_data[0], cwd_data[1], cwd_data[2]),
            "timeout": timeout,
            "max_stdout": max_stdout,
            "max_stderr": max_stderr,
            "max_stdin": max_stdin,
            "risky": _RISKY[risky],
            "binary_options": [(b["argv0"], None if b["risky"] is None else _BINARY_RISKY[b["risky"]])
                               for b in binaries],
        }
        sandbox, sandbox_desc = self.sandbox(top.get("sandbox"))
        native_data["sandbox"] = None if sandbox is None else sandbox._handle
        core = self.build(native_data, binaries)
        if self.file is not None and not allow_writable:
            self.not_self_writable(sandbox, cwd_desc, "cwd" in top)
        description = {
            "binaries": [_describe_binary(b) for b in binaries],
            "timeout": timeout[0] + timeout[1] / 1e9,
            "max_stdout": max_stdout,
            "max_stderr": max_stderr,
            "max_stdin": max_stdin,
            "on_output_limit": on_limit,
            "risky_binaries": risky,
            "environment": env_desc,
            "cwd": cwd_desc,
            "sandbox": sandbox_desc,
        }
        return LoadedPolicy(core, description, on_limit, self.file, binaries, sandbox)

    def not_self_writable(self, sandbox: Any, cwd: Dict[str, Any], cwd_written: bool) -> None:
        """Refuses a file its own commands may rewrite: every load (each `corvane
        run` loads the file again) would obey whatever they wrote into it.

        With a sandbox that confines files, that is under its write paths: the
        kernel stops every other write. Without one (or with Landlock skipped)
        nothing bounds where a program writes, so the check can only cover the
        directories the policy hands its commands, those its [cwd] names: the
        rules confine path arguments to them, so a write the rules allow (an
        edit, an archive extracted, a build's output) lands there."""
        assert self.file is not None
        places: List[Tuple[str, str]] = []
        confined = sandbox is not None and not any(f.startswith("Landlock") for f in sandbox.skipped)
        if sandbox is not None:
            places += self.writable
        if not confined:
            if cwd["mode"] == "jail":
                places.append(("cwd.jail", cwd["root"]))
            elif cwd["mode"] == "allow":
                places += [(f"cwd.allow[{i}]", d) for i, d in enumerate(cwd["dirs"])]
            elif cwd_written:  # the built-in /tmp is where nothing of the policy's lives
                places.append(("cwd.fixed", cwd["dir"]))
        roots = {}
        for key, place in places:
            try:
                st = os.stat(place)
            except OSError:
                continue
            roots.setdefault((st.st_dev, st.st_ino), (key, place))
        try:
            links, target = _resolution(self.file)
        except OSError as exc:
            raise PolicyError(f"cannot resolve: {exc.strerror or exc}", file=self.file) from None
        # A link on the way can be pointed elsewhere if its directory is writable;
        # the file itself if it or a directory above it is.
        for what, start in [(f"the link {link} on the way to the policy file", os.path.dirname(link))
                            for link in links] + [(f"the policy file {target}", target)]:
            granted = _under(start, roots)
            if granted is not None:
                key, place = granted
                raise PolicyError(
                    f"{what} lies under {place}, where the policy's own commands may write "
                    "(they could rewrite it): keep it outside, or set allow_writable_policy = true",
                    key=key, file=self.file)

    def build(self, native_data: Dict[str, Any], binaries: List[Dict[str, Any]]) -> Any:
        try:
            return _native.build_guard(native_data)
        except ValueError as exc:
            if len(exc.args) != 2 or not isinstance(exc.args[1], tuple):
                raise
            message, where = exc.args
            if where[0] == "rules":
                binary = binaries[where[1]]
                words = list(where[2])
                key = _join(binary["key"], "subcommands", " ".join(words)) if words else binary["key"]
                raise self.fail(key, message) from None
            # A refusal of the whole policy names a binary's path; point at it.
            _, kind, path = where
            # The later of two binaries is the one that repeats the earlier.
            for b in reversed(binaries):
                if path and (b["path"] == path or os.path.realpath(b["path"]) == path):
                    raise self.fail(_join(b["key"], "path"), message) from None
            raise self.fail("binaries", message) from None


def _resolution(path: str) -> Tuple[List[str], str]:
    """The symbolic links met while opening `path`, and the file it resolves to,
    each as a path free of links (so that its directories are the real ones)."""
    if not os.path.isabs(path):
        path = os.path.join(os.getcwd(), path)
    todo = [c for c in path.split("/") if c]
    links: List[str] = []
    current = "/"
    while todo:
        part = todo.pop(0)
        if part == ".":
            continue
        if part == "..":
            current = os.path.dirname(current)
            continue
        step = os.path.join(current, part)
        if os.path.islink(step):
            if len(links) >= 40:
                raise OSError(errno.ELOOP, os.strerror(errno.ELOOP))
            links.append(step)
            target = os.readlink(step)
            if target.startswith("/"):
                current = "/"
            todo = [c for c in target.split("/") if c] + todo
            continue
        current = step
    return links, current


def _under(path: str, roots: Mapping[Tuple[int, int], Tuple[str, str]]) -> Optional[Tuple[str, str]]:
    """The root that `path` (a path free of links) or a directory above it is, if any.
    Compared by inode, as the kernel's file rules are: another name for a tree is the tree."""
    while True:
        try:
            st = os.stat(path)
        except OSError:
            st = None
        if st is not None and (st.st_dev, st.st_ino) in roots:
            return roots[(st.st_dev, st.st_ino)]
        parent = os.path.dirname(path)
        if parent == path:
            return None
        path = parent


def _describe_binary(binary: Dict[str, Any]) -> Dict[str, Any]:
    sets = []
    for s in binary["rule_sets"]:
        sets.append({
            "subcommand": " ".join(s["subcommand"]) or None,
            "flags": list(s["flags"]),
            "value_flags": [{"name": n, "attached": a, "one_of": o, "pattern": p, "path": path,
                             "changes_directory": moves}
                            for n, a, o, p, path, moves in s["value_flags"]],
            "max_flags": s["max_flags"],
            "max_positionals": s["max_positionals"],
            "numeric_flags": s["numeric_flags"],
            "bundles": s["bundles"],
            "first_arg_bundle": s["first_arg_bundle"],
            "path_positionals": s["path_positionals"],
            "inject_double_dash": s["inject_double_dash"],
            "double_dash": s["double_dash"],
        })
    described = {
        "name": binary["name"],
        "path": binary["path"],
        "subcommands": [s["subcommand"] for s in sets if s["subcommand"] is not None],
        "rule_sets": sets,
    }
    # Shown when set, so that a policy without them describes itself as before.
    if binary["argv0"] != "canonical":
        described["argv0"] = binary["argv0"]
    if binary["risky"] is not None:
        described["risky"] = binary["risky"]
    return described


def _type_name(value: Any) -> str:
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, int):
        return "integer"
    if isinstance(value, float):
        return "float"
    if isinstance(value, str):
        return "string"
    if isinstance(value, Mapping):
        return "table"
    if isinstance(value, Sequence):
        return "list"
    return type(value).__name__


def load_toml(path: Union[str, "os.PathLike[str]"], *,
              vars: Optional[Mapping[str, str]] = None) -> LoadedPolicy:
    """Reads and builds the policy in a TOML file; relative paths in it
    resolve against the file's directory, and ${NAME} in its strings is
    ``vars[NAME]``. A file that lies where the policy's own commands may
    write is refused unless it sets ``allow_writable_policy = true``."""
    file = os.fspath(path)
    try:
        with open(file, "rb") as f:
            data = tomllib.load(f)
    except OSError as exc:
        raise PolicyError(f"cannot read: {exc.strerror or exc}", file=file) from None
    except tomllib.TOMLDecodeError as exc:
        raise PolicyError(f"not valid TOML: {exc}", file=file) from None
    base = os.path.dirname(os.path.abspath(file))
    return _Reader(file, base, vars).policy(data)


def load_mapping(data: Mapping[str, Any], *, base_dir: Optional[str] = None,
                 vars: Optional[Mapping[str, str]] = None) -> LoadedPolicy:
    """Builds the policy in a mapping of the same shape as the TOML file;
    relative paths need ``base_dir``; ${NAME} in its strings is ``vars[NAME]``."""
    base = None if base_dir is None else os.path.abspath(os.fspath(base_dir))
    return _Reader(None, base, vars).policy(data)
