"""corvane.Guard: a whole policy as data, with the extended rule model.

A Guard is made from a TOML file or a mapping (see ``corvane.policy_file``).
``check`` asks the core and returns the PreparedCommand or raises
``corvane.Refused``; ``run``/``arun`` check then run; ``describe`` says what is
allowed, as plain data for a model's prompt or tool schema; ``explain`` says
which rule allowed or refused a request and how argv was read. Every decision
is the core's: this class converts arguments and presents answers.
"""

from __future__ import annotations

import os

from . import ProcRequest, _native, policy_file
from ._run import kill_on_output_limit, run as _run
from .errors import refusal_record

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Mapping, Optional, Sequence, Tuple, Union
    import datetime

    from . import Output, PreparedCommand
    from ._aio import Stream
    from .audit import AuditTrail, Call, Sink
    from .sandbox import Sandbox

__all__ = ["Guard"]

if TYPE_CHECKING:  # names for annotations only: evaluating them would cost every start
    PathLike = Union[str, "os.PathLike[str]"]
    Timeout = Union[int, float, "datetime.timedelta"]


def _request(bin: str, argv: Sequence[str], cwd: Optional[PathLike],
             env: Optional[Mapping[str, str]]) -> ProcRequest:
    if isinstance(argv, (str, bytes)):
        raise TypeError("argv must be a sequence of strings, not a single string")
    request = ProcRequest(os.fspath(bin), list(argv))
    if cwd is not None:
        request = request.with_cwd(os.fspath(cwd))
    if env is not None:
        request = request.with_env(dict(env))
    return request


def _duration(timeout: Any) -> "tuple[int, int]":
    """A call's timeout as the core's (secs, nanos); the core decides whether it may apply."""
    import datetime

    if isinstance(timeout, datetime.timedelta):
        nanos = ((timeout.days * 86_400 + timeout.seconds) * 1_000_000 + timeout.microseconds) * 1000
    elif isinstance(timeout, (int, float)) and not isinstance(timeout, bool):
        if timeout != timeout or timeout in (float("inf"), float("-inf")):
            raise ValueError(f"timeout must be a finite number of seconds, not {timeout!r}")
        nanos = round(timeout * 1_000_000_000) if isinstance(timeout, float) else timeout * 1_000_000_000
    else:
        raise TypeError("timeout must be seconds (int or float) or a datetime.timedelta, "
                        f"not {type(timeout).__name__}")
    if nanos < 0:
        raise ValueError(f"timeout must be above zero, not {timeout!r}")
    secs, nanos = divmod(int(nanos), 1_000_000_000)
    # Longer than any limit can be: the core refuses it as above the policy's.
    return (min(secs, 2**64 - 1), nanos)


def _with_call_options(prepared: "PreparedCommand", timeout: Optional[Timeout],
                       stdin: Any) -> "PreparedCommand":
    if timeout is None and stdin is None:
        return prepared
    if isinstance(stdin, str):
        raise TypeError("stdin must be bytes-like, not str (encode it first)")
    return _native.call_options(prepared, None if timeout is None else _duration(timeout), stdin)


def _policy_trails(loaded: policy_file.LoadedPolicy) -> "Tuple[AuditTrail, ...]":
    """The trails the policy's [audit] table names, opened now: a file that
    cannot be opened is the policy's mistake, before anything runs."""
    if loaded.audit is None:
        return ()
    from .audit import AuditTrail

    trails = []
    if loaded.audit["file"] is not None:
        try:
            trails.append(AuditTrail(loaded.audit["file"]))
        except OSError as error:
            raise policy_file.PolicyError(f"cannot open the audit file {loaded.audit['file']}: "
                                          f"{error.strerror or error}", key="audit.file",
                                          file=loaded.file) from None
    if loaded.audit["stderr"]:
        trails.append(AuditTrail.standard_error())
    return tuple(trails)


class Guard:
    """A policy loaded from a file or a mapping; immutable and thread-safe."""

    __slots__ = ("_core", "_description", "_on_output_limit", "_file", "_sandbox", "_audit",
                 "_policy_trails")
    _core: "_native.GuardCore"
    _description: Dict[str, Any]
    _on_output_limit: str
    _file: Optional[str]
    _sandbox: "Optional[Sandbox]"
    _audit: "Optional[AuditTrail]"
    _policy_trails: "Tuple[AuditTrail, ...]"

    def __init__(self, *args: object, **kwargs: object) -> None:
        raise TypeError("use Guard.from_toml(path) or Guard.from_dict(mapping)")

    @classmethod
    def _from_loaded(cls, loaded: policy_file.LoadedPolicy) -> "Guard":
        self = object.__new__(cls)
        object.__setattr__(self, "_core", loaded.core)
        object.__setattr__(self, "_description", loaded.description)
        object.__setattr__(self, "_on_output_limit", loaded.on_output_limit)
        object.__setattr__(self, "_file", loaded.file)
        object.__setattr__(self, "_sandbox", loaded.sandbox)
        object.__setattr__(self, "_audit", None)
        object.__setattr__(self, "_policy_trails", _policy_trails(loaded))
        return self

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Guard objects are immutable")

    @classmethod
    def from_toml(cls, path: PathLike, *, vars: Optional[Mapping[str, str]] = None) -> "Guard":
        """The policy in a TOML file; mistakes raise corvane.PolicyError.

        ``${NAME}`` in any string of the file is ``vars[NAME]`` (``$$`` is a
        literal ``$``); an undefined or malformed one is a PolicyError. A file
        that lies where the policy's own commands may write (under its
        sandbox's write paths, or without a sandbox in the directories its
        [cwd] names) is refused unless it sets ``allow_writable_policy = true``."""
        return cls._from_loaded(policy_file.load_toml(path, vars=vars))

    @classmethod
    def from_dict(cls, data: Mapping[str, Any], *, base_dir: Optional[str] = None,
                  vars: Optional[Mapping[str, str]] = None) -> "Guard":
        """The policy in a mapping shaped like the TOML file; relative paths
        resolve against ``base_dir`` and ``${NAME}`` is ``vars[NAME]``."""
        return cls._from_loaded(policy_file.load_mapping(data, base_dir=base_dir, vars=vars))

    def check(self, bin: str, argv: Sequence[str], *, cwd: Optional[PathLike] = None,
              env: Optional[Mapping[str, str]] = None) -> "PreparedCommand":
        """The command to run, or corvane.Refused with the rule's kind, the
        refused argv index and the one-line message. Under a policy with a
        sandbox the command carries it: ``spawn_sync()``, ``corvane.run`` and
        ``corvane.arun`` all run it inside, and refuse another sandbox."""
        return self._decide(self._call("check", bin, argv, cwd), bin, argv, cwd, env, None, None)

    def _call(self, op: str, bin: Any, argv: Any, cwd: Any) -> "Optional[Call]":
        trails = self._policy_trails if self._audit is None else self._policy_trails + (self._audit,)
        if not trails:
            return None
        from .audit import Call

        return Call(trails, op, self._file, self._description.get("sandbox"), bin, argv, cwd)

    def _decide(self, call: "Optional[Call]", bin: str, argv: Sequence[str], cwd: Optional[PathLike],
                env: Optional[Mapping[str, str]], timeout: Optional[Timeout], stdin: Any) -> "PreparedCommand":
        try:
            prepared = _with_call_options(self._core.check(_request(bin, argv, cwd, env)), timeout, stdin)
        except Exception as refusal:
            if call is not None:
                call.decided(None, refusal)
            raise
        if call is not None:
            call.decided(prepared, None)
        return prepared

    def run(self, bin: str, argv: Sequence[str], *, cwd: Optional[PathLike] = None,
            env: Optional[Mapping[str, str]] = None, timeout: Optional[Timeout] = None,
            stdin: Optional[bytes] = None) -> "Output":
        """check() then corvane.run(), inside the policy's sandbox if it has one:
        Refused, or the typed execution errors.

        ``timeout`` (seconds or a timedelta) shortens this call's time limit;
        one above the policy's is Refused. ``stdin`` (bytes-like) is the
        command's standard input instead of an empty one, up to the policy's
        ``max_stdin`` (Refused above it, or when the policy sets none)."""
        call = self._call("run", bin, argv, cwd)
        prepared = self._decide(call, bin, argv, cwd, env, timeout, stdin)
        if call is None:
            return _run(prepared, on_output_limit=self._on_output_limit)
        try:
            output = _run(prepared, on_output_limit=self._on_output_limit)
        except BaseException as error:
            call.ran(None, error)
            raise
        call.ran(output, None)
        return output

    def _run_streamed(self, bin: str, argv: Sequence[str], on_chunk: Any, *,
                      cwd: Optional[PathLike] = None, env: Optional[Mapping[str, str]] = None,
                      timeout: Optional[Timeout] = None,
                      stdin: Optional[bytes] = None) -> "Output":
        """run(), with ``on_chunk(is_stdout, data)`` called on this thread with the
        output as it is read instead of it being kept in the Output (the command
        line's plain-text run)."""
        call = self._call("run", bin, argv, cwd)
        prepared = self._decide(call, bin, argv, cwd, env, timeout, stdin)
        kill = kill_on_output_limit(self._on_output_limit)
        if call is None:
            return _native.run(prepared, kill, None, on_chunk)
        counts = [0, 0]  # the output went to on_chunk, not into the Output: the line counts it

        def counted(is_stdout: bool, data: bytes) -> None:
            counts[not is_stdout] += len(data)
            on_chunk(is_stdout, data)

        try:
            output = _native.run(prepared, kill, None, counted)
        except BaseException as error:
            call.ran(None, error, (counts[0], counts[1]))
            raise
        call.ran(output, None, (counts[0], counts[1]))
        return output

    async def arun(self, bin: str, argv: Sequence[str], *, cwd: Optional[PathLike] = None,
                   env: Optional[Mapping[str, str]] = None, timeout: Optional[Timeout] = None,
                   stdin: Optional[bytes] = None) -> "Output":
        """check() then corvane.arun(), inside the policy's sandbox if it has one;
        ``timeout`` and ``stdin`` as for run()."""
        call = self._call("run", bin, argv, cwd)
        prepared = self._decide(call, bin, argv, cwd, env, timeout, stdin)
        from ._aio import arun as _arun  # asyncio only when it is used

        if call is None:
            return await _arun(prepared, on_output_limit=self._on_output_limit)
        try:
            output = await _arun(prepared, on_output_limit=self._on_output_limit)
        except BaseException as error:  # cancelled too: the line says so
            call.ran(None, error)
            raise
        call.ran(output, None)
        return output

    def with_audit(self, sink: "Optional[Sink]") -> "Guard":
        """This policy with an audit trail: one JSON line for every check() and
        every run()/arun()/stream() (see corvane.audit), appended to the file
        `sink` names, handed to the callable `sink`, or to a
        corvane.audit.AuditTrail (shared by several Guards); None: without one.
        The trail is written on a thread of its own and never blocks the
        caller. A policy file's own [audit] trail is part of the policy: it
        stays, and this one is written beside it."""
        from .audit import AuditTrail

        other = object.__new__(type(self))
        for name in self.__slots__:
            object.__setattr__(other, name, getattr(self, name))
        trail = sink if sink is None or isinstance(sink, AuditTrail) else AuditTrail(sink)
        object.__setattr__(other, "_audit", trail)
        return other

    @property
    def audit(self) -> "Optional[AuditTrail]":
        """The corvane.audit.AuditTrail with_audit() gave this Guard, else the
        policy file's [audit] trail (the first, if it names two), or None."""
        if self._audit is not None:
            return self._audit
        return self._policy_trails[0] if self._policy_trails else None

    @property
    def audit_trails(self) -> "Tuple[AuditTrail, ...]":
        """Every trail this Guard writes to: the policy file's, then with_audit()'s."""
        return self._policy_trails + (() if self._audit is None else (self._audit,))

    def stream(self, bin: str, argv: Sequence[str], *, cwd: Optional[PathLike] = None,
               env: Optional[Mapping[str, str]] = None, timeout: Optional[Timeout] = None,
               stdin: Optional[bytes] = None) -> "Stream":
        """check() then the output as it comes: ``async for chunk in
        guard.stream(...)`` yields StreamChunk(stream, data) while the command
        runs, under the same limits as arun(), and raises arun()'s typed errors
        (Refused here, before anything starts); ``timeout`` and ``stdin`` as
        for run(). See corvane.Stream for the end, errors and cancelling."""
        call = self._call("stream", bin, argv, cwd)
        prepared = self._decide(call, bin, argv, cwd, env, timeout, stdin)
        from ._aio import stream as _stream  # asyncio only when it is used

        stream = _stream(prepared, on_output_limit=self._on_output_limit)
        if call is not None:
            # A refusal's line is written already; the run's once the stream ends,
            # however it ends, with the bytes it handed out.
            stream._on_end = call.ran
        return stream

    def describe(self) -> Dict[str, Any]:
        """What the policy allows, as plain JSON-able data: binaries with their
        rule sets (subcommands, flags, value flags, counts), limits, the
        environment and working-directory policy, and the sandbox every
        command runs in (None without one)."""
        import copy

        return copy.deepcopy(self._description)

    def explain(self, bin: str, argv: Sequence[str], *, cwd: Optional[PathLike] = None,
                env: Optional[Mapping[str, str]] = None) -> Dict[str, Any]:
        """What check() decides and why: the step and the rule that decided,
        how each token was read, and the command or the refusal."""
        argv = list(argv) if not isinstance(argv, (str, bytes)) else argv
        raw = self._core.explain(_request(bin, argv, cwd, env))
        refusal = raw["refusal"]
        words = raw["subcommand"]
        rule_set = " ".join(words) if words else None
        tokens = [{"index": i, "token": argv[i], "role": role} for i, role in enumerate(raw["roles"])]
        prepared = raw["prepared"]
        pack = self._pack_of(bin, raw["canonical"], rule_set)
        if refusal is None:
            where = f"rule set {rule_set!r}" if rule_set else "the binary's rules"
            from_pack = f" (pack {pack})" if pack else ""
            verdict: Dict[str, Any] = {"message": f"allowed by {where} of {raw['canonical']}{from_pack}",
                                       "kind": None, "index": None, "fields": {}}
        else:
            verdict = refusal_record(refusal)
        explained: Dict[str, Any] = {
            "allowed": refusal is None,
            **verdict,
            "stage": raw["stage"],
            "rules": raw["rules"],
            "rule_set": rule_set,
            "binary": raw["canonical"],
            "tokens": tokens,
            "prepared": None if prepared is None else {
                "bin": prepared.bin,
                "argv": list(prepared.argv),
                "cwd": prepared.cwd,
                "env": raw["env_names"],
            },
        }
        if pack is not None:
            # The pack whose rules decided, shown when there is one.
            explained["pack"] = pack
        if prepared is not None and raw.get("argv0") is not None:
            # The binary runs as the path it was allowed under: the child's argv[0].
            explained["prepared"]["argv0"] = raw["argv0"]
        if prepared is not None and raw.get("sandbox") is not None:
            # The sandbox this command runs in: its binary's own, or the policy's.
            explained["prepared"]["sandbox"] = raw["sandbox"]
        return explained

    def _pack_of(self, bin: str, canonical: Optional[str], rule_set: Optional[str]) -> Optional[str]:
        """The pack that gave the rules deciding a request to `bin`, from describe()."""
        for entry in self._description["binaries"]:
            if bin in (entry["name"], entry["path"]) or (canonical and canonical == entry["path"]):
                for rules in entry["rule_sets"]:
                    if rules["subcommand"] == rule_set and "pack" in rules:
                        return str(rules["pack"])
                pack = entry.get("pack")
                return None if pack is None else str(pack)
        return None

    def tool_schema(self) -> Dict[str, Any]:
        """The JSON Schema of one call of a tool that runs commands under this
        policy: ``binary`` (one of its names), ``args``, and optional ``cwd``,
        ``timeout`` and ``stdin``. The MCP server's ``run_command`` takes it."""
        from . import tool  # the model's text, only for a host that shows it one

        return tool.tool_schema(self)

    def tool_description(self) -> str:
        """The text a model reads about that tool: that commands run without a
        shell, which binaries and arguments are allowed, the limits, where
        commands run and the sandbox. Put it beside tool_schema()."""
        from . import tool

        return tool.tool_description(self)

    @property
    def sandbox(self) -> "Optional[Sandbox]":
        """The corvane.Sandbox run() and arun() apply to every command, or None."""
        return self._sandbox

    def __repr__(self) -> str:
        names = ", ".join(b["name"] for b in self._description["binaries"])
        source = f" from {self._file!r}" if self._file else ""
        return f"<corvane.Guard{source}: {names}>"
