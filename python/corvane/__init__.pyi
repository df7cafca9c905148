# Type information for the corvane package: the classes of the _corvane
# extension module, the runs of corvane._native and the typed errors.
from typing import (
    Any,
    ClassVar,
    Dict,
    Iterator,
    List,
    Literal,
    Optional,
    Protocol,
    Sequence,
    SupportsIndex,
    TypeVar,
    final,
    overload,
)

from .sandbox import Sandbox as Sandbox, SandboxLimitExceeded as SandboxLimitExceeded
from .errors import (
    ExecutionError as ExecutionError,
    OutputLimitExceeded as OutputLimitExceeded,
    Refused as Refused,
    SpawnFailed as SpawnFailed,
    TimedOut as TimedOut,
)
from .guard import Guard as Guard
from ._aio import Stream as Stream, StreamChunk as StreamChunk
from .policy_file import PolicyError as PolicyError
from .tool import format_result as format_result

__all__ = [
    "RiskyBinPolicy",
    "InjectDoubleDash",
    "RiskCategory",
    "ArgRules",
    "ProcRequest",
    "Output",
    "PreparedCommand",
    "ProcPolicyBuilder",
    "ProcPolicy",
    "run",
    "arun",
    "stream",
    "Stream",
    "StreamChunk",
    "Refused",
    "ExecutionError",
    "TimedOut",
    "OutputLimitExceeded",
    "SpawnFailed",
    "Guard",
    "PolicyError",
    "Sandbox",
    "SandboxLimitExceeded",
    "format_result",
]

_T_co = TypeVar("_T_co", covariant=True)

class _SequenceNotStr(Protocol[_T_co]):
    """A sequence that is not a str: the argument lists take lists or tuples of
    str, and a bare str (itself a sequence of str) is refused at run time."""

    @overload
    def __getitem__(self, index: SupportsIndex, /) -> _T_co: ...
    @overload
    def __getitem__(self, index: slice, /) -> Sequence[_T_co]: ...
    # str's __contains__ only takes str, which is what keeps str out.
    def __contains__(self, value: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_T_co]: ...
    def index(self, value: Any, start: int = 0, stop: int = ..., /) -> int: ...
    def count(self, value: Any, /) -> int: ...

class _NotConstructible:
    """Stands for a constructor argument nobody can supply: the class is only
    made by the library."""

@final
class RiskyBinPolicy:
    """Policy for handling risky binaries (shells, interpreters, etc.)."""

    DenyByDefault: ClassVar[RiskyBinPolicy]
    AllowWithWarning: ClassVar[RiskyBinPolicy]
    Disabled: ClassVar[RiskyBinPolicy]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

@final
class InjectDoubleDash:
    """Mode for double-dash injection."""

    Never: ClassVar[InjectDoubleDash]
    AfterFlags: ClassVar[InjectDoubleDash]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

@final
class RiskCategory:
    """Risk category for dangerous binaries."""

    Shell: ClassVar[RiskCategory]
    Interpreter: ClassVar[RiskCategory]
    Spawner: ClassVar[RiskCategory]
    Privilege: ClassVar[RiskCategory]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

@final
class ArgRules:
    """Rules for validating arguments to a binary."""

    def __new__(cls) -> ArgRules: ...
    def subcommand(self, cmd: str) -> ArgRules: ...
    def allowed_flags(self, flags: _SequenceNotStr[str]) -> ArgRules: ...
    def max_flags(self, max: SupportsIndex) -> ArgRules: ...
    def max_positionals(self, max: SupportsIndex) -> ArgRules: ...
    def inject_double_dash(self, mode: Optional[InjectDoubleDash] = None) -> ArgRules: ...

@final
class ProcRequest:
    """A proposed process execution request."""

    def __new__(cls, bin: str, argv: _SequenceNotStr[str]) -> ProcRequest: ...
    def with_cwd(self, cwd: str) -> ProcRequest: ...
    def with_env(self, env: Dict[str, str]) -> ProcRequest: ...
    def with_env_var(self, key: str, value: str) -> ProcRequest: ...
    @property
    def bin(self) -> str: ...
    @property
    def argv(self) -> List[str]: ...

@final
class Output:
    """Output from a successfully executed command."""

    # Made by spawn_sync, run and arun only; calling Output() raises TypeError.
    def __new__(cls, *, _made_by_corvane_only: _NotConstructible) -> Output: ...
    def stdout_string(self) -> str: ...
    def stderr_string(self) -> str: ...
    @property
    def stdout(self) -> bytes: ...
    @property
    def stderr(self) -> bytes: ...
    @property
    def exit_code(self) -> Optional[int]: ...
    @property
    def success(self) -> bool: ...

@final
class PreparedCommand:
    """A validated command ready for execution."""

    # Made by ProcPolicy.prepare only; calling PreparedCommand() raises TypeError.
    def __new__(cls, *, _made_by_corvane_only: _NotConstructible) -> PreparedCommand: ...
    def spawn_sync(self) -> Output: ...
    @property
    def bin(self) -> str: ...
    @property
    def argv(self) -> List[str]: ...
    @property
    def cwd(self) -> str: ...

@final
class ProcPolicyBuilder:
    """Process execution policy builder."""

    def __new__(cls) -> ProcPolicyBuilder: ...
    def allow_bin(self, path: str) -> ProcPolicyBuilder: ...
    def arg_rules(self, path: str, rules: ArgRules) -> ProcPolicyBuilder: ...
    def risky_bin_policy(self, policy: RiskyBinPolicy) -> ProcPolicyBuilder: ...
    def allow_risky_binaries(self) -> ProcPolicyBuilder: ...
    def env_empty(self) -> ProcPolicyBuilder: ...
    def env_locale_only(self) -> ProcPolicyBuilder: ...
    def env_fixed(self, env: Dict[str, str]) -> ProcPolicyBuilder: ...
    def env_allowlist(self, keys: _SequenceNotStr[str]) -> ProcPolicyBuilder: ...
    def cwd(self, path: str) -> ProcPolicyBuilder: ...
    def timeout_secs(self, secs: SupportsIndex) -> ProcPolicyBuilder: ...
    def timeout(self, secs: SupportsIndex) -> ProcPolicyBuilder: ...
    def max_stdout(self, max: SupportsIndex) -> ProcPolicyBuilder: ...
    def max_stderr(self, max: SupportsIndex) -> ProcPolicyBuilder: ...
    def build(self) -> ProcPolicy: ...

@final
class ProcPolicy:
    """A built process execution policy."""

    def prepare(self, request: ProcRequest) -> PreparedCommand: ...

def run(
    prepared: PreparedCommand,
    *,
    sandbox: Optional[Sandbox] = None,
    on_output_limit: Literal["wait", "kill"] = "wait",
) -> Output:
    """Run with the interpreter lock released; raises the typed errors."""

async def arun(
    prepared: PreparedCommand,
    *,
    sandbox: Optional[Sandbox] = None,
    on_output_limit: Literal["wait", "kill"] = "wait",
) -> Output:
    """Run on the running asyncio loop, no thread per run; cancelling kills the child."""

def stream(
    prepared: PreparedCommand,
    *,
    sandbox: Optional[Sandbox] = None,
    on_output_limit: Literal["wait", "kill"] = "wait",
) -> Stream:
    """Run like arun and yield StreamChunk values as the command writes them."""
