"""Policy files: a whole corvane policy written as TOML or given as a mapping.

The C++ core reads them: it checks every key and value (defaults, sizes,
durations, paths relative to the file, ${NAME} variables), builds the policy
with the extended rule model and makes every decision about a request. This
module hands it the file or the mapping and presents the result. Each mistake
raises :class:`PolicyError` naming the file, the key path and the reason;
nothing is silently ignored.
"""

from __future__ import annotations

import os

from . import _native

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Mapping, Optional, Union

__all__ = ["PolicyError", "LoadedPolicy", "load_toml", "load_mapping", "SCHEMA_PATH", "PACKS_DIR",
           "pack_names"]

#: The JSON Schema of the file format, shipped inside the package.
SCHEMA_PATH = os.path.join(os.path.dirname(__file__), "policy.schema.json")
#: The packs a policy names (``include = ["explore"]``), shipped inside the
#: package: the same files `cmake --install` puts where the C++ loader looks.
PACKS_DIR = os.path.join(os.path.dirname(__file__), "packs")


def pack_names() -> List[str]:
    """The names of the shipped packs, sorted."""
    return list(_native.pack_names([PACKS_DIR]))


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

    __slots__ = ("core", "description", "on_output_limit", "file", "sandbox", "audit")

    def __init__(self, core: Any, description: Dict[str, Any], on_output_limit: str,
                 file: Optional[str], sandbox: Any, audit: Optional[Dict[str, Any]] = None) -> None:
        self.core = core
        self.description = description
        self.on_output_limit = on_output_limit
        self.file = file
        self.sandbox = sandbox  # the corvane.Sandbox every run of the policy gets, or None
        # [audit]: {"file": absolute path or None, "stderr": bool}, or None
        self.audit = audit


def _loaded(answer: Any, file: Optional[str]) -> LoadedPolicy:
    from .sandbox import Sandbox

    core, description, on_output_limit, handle, audit = answer
    sandbox = None
    if handle is not None:
        sandbox = Sandbox.__new__(Sandbox)
        sandbox._handle = handle
    return LoadedPolicy(core, description, on_output_limit, file, sandbox, audit)


def load_toml(path: Union[str, "os.PathLike[str]"], *,
              vars: Optional[Mapping[str, str]] = None) -> LoadedPolicy:
    """Reads and builds the policy in a TOML file; relative paths in it
    resolve against the file's directory, and ${NAME} in its strings is
    ``vars[NAME]``. A file that lies where the policy's own commands may
    write is refused unless it sets ``allow_writable_policy = true``."""
    file = os.fspath(path)
    return _loaded(_native.load_policy_file(file, vars, [PACKS_DIR]), file)


def load_mapping(data: Mapping[str, Any], *, base_dir: Optional[str] = None,
                 vars: Optional[Mapping[str, str]] = None) -> LoadedPolicy:
    """Builds the policy in a mapping of the same shape as the TOML file;
    relative paths need ``base_dir``; ${NAME} in its strings is ``vars[NAME]``."""
    base = None if base_dir is None else os.path.abspath(os.fspath(base_dir))
    return _loaded(_native.load_policy_mapping(data, base, vars, [PACKS_DIR]), None)


def __getattr__(name: str) -> Any:
    # The standard TOML reader, for tests and tools that read a policy file as
    # data; loading one never needs it.
    if name == "tomllib":
        import importlib
        import sys

        # tomli before 3.11, where the standard library has no reader yet.
        return importlib.import_module("tomllib" if sys.version_info >= (3, 11) else "tomli")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
