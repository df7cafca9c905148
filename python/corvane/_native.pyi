# Type information for corvane._native, the package's private extension module.
from typing import Any, Callable, Dict, Mapping, Optional, Sequence, Tuple, Union, final

from . import Output, PreparedCommand, ProcRequest

def run(prepared: PreparedCommand, kill_on_output_limit: bool,
        sandbox: Optional[SandboxHandle] = None,
        on_chunk: Optional[Callable[[bool, bytes], None]] = None, /) -> Output: ...
def exit_signal(output: Output, /) -> Optional[int]: ...

@final
class SandboxHandle: ...

def sandbox_build(
    workspace: Any,
    read: Any,
    write: Any,
    exec: Any,
    network: Any,
    keep_background: Any,
    best_effort: Any,
    private_tmp: Any,
    limits: Tuple[Any, ...],
    /,
) -> SandboxHandle: ...
def sandbox_available() -> Dict[str, Any]: ...
# (containment, skipped, limits, read, write, exec, network, keep_background, best_effort,
#  private_tmp)
SandboxDescription = Tuple[str, Tuple[str, ...], Tuple[Optional[int], ...], Tuple[bytes, ...],
                           Tuple[bytes, ...], Tuple[bytes, ...],
                           Union[bool, Dict[str, Tuple[int, ...]]], bool, bool, bool]

def sandbox_describe(handle: SandboxHandle, /) -> SandboxDescription: ...

@final
class Reactor:
    def start(
        self,
        prepared: PreparedCommand,
        kill_on_output_limit: bool,
        callback: Callable[[Optional[Output], Optional[BaseException]], None],
        sandbox: Optional[SandboxHandle] = None,
        on_chunk: Optional[Callable[[bool, bytes], None]] = None,
        /,
    ) -> int: ...
    def cancel(self, run_id: int, /) -> None: ...
    def run_ready(self) -> None: ...
    def fileno(self) -> int: ...
    def next_timer(self) -> Optional[float]: ...
    def idle(self) -> bool: ...
    def close(self) -> None: ...

def load_policy_file(
    path: str, vars: Optional[Mapping[str, str]], pack_dirs: Optional[Sequence[str]] = None, /
) -> Tuple[GuardCore, Dict[str, Any], str, Optional[SandboxHandle], Optional[Dict[str, Any]]]: ...
def load_policy_mapping(
    data: Mapping[str, Any], base_dir: Optional[str], vars: Optional[Mapping[str, str]],
    pack_dirs: Optional[Sequence[str]] = None, /
) -> Tuple[GuardCore, Dict[str, Any], str, Optional[SandboxHandle], Optional[Dict[str, Any]]]: ...
def policy_file_keys() -> Dict[str, list[str]]: ...
def pack_names(dirs: Sequence[str], /) -> list[str]: ...
def call_options(prepared: PreparedCommand, timeout: Optional[Tuple[int, int]],
                 stdin: Optional[Union[bytes, bytearray, memoryview]], /) -> PreparedCommand: ...
@final
class GuardCore:
    def check(self, request: ProcRequest, /) -> PreparedCommand: ...
    def explain(self, request: ProcRequest, /) -> Dict[str, Any]: ...
