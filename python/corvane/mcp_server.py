"""`corvane mcp`: a policy served as one Model Context Protocol tool, `run_command`, over stdio.

The tool's input schema and description are made from `guard.describe()`, so the
model is told up front which binaries and flags it may use. Every call goes
through `guard.arun`: calls overlap without a thread each, and a request the
client cancels cancels the run, which kills and reaps its child. A refusal or a
failed run is a tool error carrying the one-line reason, which lets the model
correct its next call.

Needs the optional SDK (`pip install 'corvane[mcp]'`); `import corvane` never
imports this module.
"""

from __future__ import annotations

import sys
import threading
from typing import Any, AsyncIterator, Dict, List, Mapping, Optional, Tuple

import anyio
import mcp_types as types
from mcp.server.lowlevel import Server
from mcp.server.stdio import stdio_server
from mcp.shared.message import SessionMessage

from . import ExecutionError, OutputLimitExceeded, Refused
from ._lines import Line, TooLong, read_lines
from .cli import MAX_REQUEST_LINE, binary_lines, cwd_line, limits_line, output_signal, sandbox_line

TOOL_NAME = "run_command"


def tool_description(described: Mapping[str, Any]) -> str:
    """What the model reads about the tool: how it runs commands and what the policy allows."""
    lines = [
        "Run one program directly, without a shell (no pipes, globbing, redirection or "
        "variable expansion; each argument is passed as it is). Only the binaries and "
        "arguments below are allowed; anything else is refused with a one-line reason, "
        "so read it and correct the call. stdin is empty.",
        "",
        "Allowed binaries (`binary`) and their rules:",
    ]
    for entry in described.get("binaries", []):
        lines.append(f"- {entry.get('name', '')}:")
        lines += [f"  - {line}" for line in binary_lines(entry)]
    limits = limits_line(described)
    if limits:
        lines += ["", f"Limits: {limits}."]
    if cwd_line(described):
        lines += [cwd_line(described)]
    if sandbox_line(described):
        lines += [sandbox_line(described)]
    lines += ["", "Returns the exit code, then stdout and stderr."]
    return "\n".join(lines)


def input_schema(names: List[str]) -> Dict[str, Any]:
    """The tool's arguments: `binary` from the policy's list, `args`, optional `cwd`,
    `timeout` and `stdin`."""
    return {
        "type": "object",
        "properties": {
            "binary": {
                "type": "string",
                "enum": sorted(names),
                "description": "The program to run: the name of one of the allowed binaries.",
            },
            "args": {
                "type": "array",
                "items": {"type": "string"},
                "description": "The arguments after the program name, one string each.",
                "default": [],
            },
            "cwd": {
                "type": "string",
                "description": ("The directory to run in, if the policy lets the caller choose one; "
                                "a relative one counts from where commands run by default."),
            },
            "timeout": {
                "type": "number",
                "description": "Seconds this run may take, if fewer than the policy's limit.",
            },
            "stdin": {
                "type": "string",
                "description": ("Text given to the program as its standard input (empty without "
                                "it), if the policy allows stdin, up to its max_stdin bytes."),
            },
        },
        "required": ["binary"],
        "additionalProperties": False,
    }


def _clip(data: bytes, limit: int) -> Tuple[str, int]:
    """Text of at most `limit` bytes of `data`, and how many bytes were cut."""
    if len(data) <= limit:
        return data.decode("utf-8", "replace"), 0
    return data[:limit].decode("utf-8", "ignore"), len(data) - limit


def _stream_text(name: str, data: bytes, limit: int, stopped_at: Optional[int] = None) -> List[str]:
    if not data and stopped_at is None:
        return []
    text, cut = _clip(data, limit)
    lines = [f"--- {name} ---"] + ([text.rstrip("\n")] if text else [])
    if cut:
        lines.append(f"[{name} truncated: {cut} more bytes not shown]")
    if stopped_at is not None:
        lines.append(f"[{name} truncated: the command was stopped at the limit of {stopped_at} bytes]")
    return lines


def output_text(output: Any, max_output: int) -> str:
    """A finished run as the model reads it."""
    if output.exit_code is not None:
        head = f"exit code: {output.exit_code}"
    else:
        number = output_signal(output)
        head = f"killed by signal {number}" if number is not None else "killed by a signal"
    lines = [head]
    lines += _stream_text("stdout", output.stdout, max_output)
    lines += _stream_text("stderr", output.stderr, max_output)
    return "\n".join(lines)


def failure_text(error: Any, max_output: int) -> str:
    """A run that was stopped or never started: the reason, then what it printed before."""
    over = getattr(error, "stream", None) if isinstance(error, OutputLimitExceeded) else None
    limit = getattr(error, "limit", None) if over else None
    lines = [f"failed: {error}"]
    lines += _stream_text("stdout", error.stdout or b"", max_output, limit if over == "stdout" else None)
    lines += _stream_text("stderr", error.stderr or b"", max_output, limit if over == "stderr" else None)
    return "\n".join(lines)


def _error(text: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(type="text", text=text)], is_error=True)


def build_server(guard: Any, *, max_output: int = 64 * 1024) -> Server[Any]:
    """An MCP server offering `run_command` under `guard`."""
    described = guard.describe()
    # The policy's own names; the core takes them (and paths) in a call.
    names = [str(entry.get("name", "")) for entry in described.get("binaries", [])]
    tool = types.Tool(
        name=TOOL_NAME,
        title="Run a command under a fixed policy",
        description=tool_description(described),
        input_schema=input_schema(names),
    )

    async def list_tools(ctx: Any, params: Any) -> types.ListToolsResult:
        return types.ListToolsResult(tools=[tool])

    async def call_tool(ctx: Any, params: types.CallToolRequestParams) -> types.CallToolResult:
        if params.name != TOOL_NAME:
            return _error(f"unknown tool: {params.name}")
        arguments = params.arguments or {}
        binary = arguments.get("binary")
        args = arguments.get("args", [])
        cwd = arguments.get("cwd")
        timeout = arguments.get("timeout")
        stdin = arguments.get("stdin")
        unknown = sorted(set(arguments) - {"binary", "args", "cwd", "timeout", "stdin"})
        if unknown:
            return _error(f"refused: unknown argument: {', '.join(unknown)}")
        if not isinstance(binary, str):
            return _error("refused: `binary` must be one of: " + ", ".join(sorted(names)))
        if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
            return _error("refused: `args` must be a list of strings")
        if cwd is not None and not isinstance(cwd, str):
            return _error("refused: `cwd` must be a string")
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))):
            return _error("refused: `timeout` must be a number of seconds")
        if stdin is not None and not isinstance(stdin, str):
            return _error("refused: `stdin` must be a string")
        try:
            output = await guard.arun(binary, args, cwd=cwd, timeout=timeout,
                                      stdin=None if stdin is None else stdin.encode("utf-8"))
        except Refused as refused:
            return _error(f"refused: {refused}")
        except ExecutionError as error:
            return _error(failure_text(error, max_output))
        except (TypeError, ValueError) as bad:
            # Arguments the Guard cannot take at all (a NUL byte, say): still the model's
            # mistake to correct, so a tool error rather than a protocol error.
            return _error(f"refused: invalid request: {bad}")
        return types.CallToolResult(
            content=[types.TextContent(type="text", text=output_text(output, max_output))],
            is_error=False,
        )

    from importlib.metadata import PackageNotFoundError, version

    try:
        own_version = version("corvane")
    except PackageNotFoundError:
        own_version = "0"
    return Server(
        "corvane",
        version=own_version,
        instructions="Runs commands for you under a fixed policy; see the run_command tool.",
        on_list_tools=list_tools,
        on_call_tool=call_tool,
    )


class BoundedLines:
    """The transport's input: the lines of a descriptor, read in bounded chunks.

    The SDK's own reader holds every line whole, however long; this one keeps at
    most `max_line` bytes of a line and answers a longer one with an
    Invalid Request error (its id unknown, so null, as JSON-RPC says) through
    `answers` once that is set. Lines are decoded as the SDK decodes its own.
    The reading runs on a daemon thread: a server stopped while its input is
    still open (SIGINT) exits instead of waiting for the next line.
    """

    def __init__(self, fd: int, max_line: int = MAX_REQUEST_LINE) -> None:
        self.fd = fd
        self.max_line = max_line
        self.answers: Any = None  # the transport's write stream, set once it exists
        self._ready = anyio.Event()

    def answer_with(self, write_stream: Any) -> None:
        self.answers = write_stream
        self._ready.set()

    def __aiter__(self) -> AsyncIterator[str]:
        return self._lines()

    async def _lines(self) -> AsyncIterator[str]:
        import asyncio
        from concurrent.futures import CancelledError as FutureCancelled

        loop = asyncio.get_running_loop()
        lines: "asyncio.Queue[Optional[Line]]" = asyncio.Queue(16)

        def put(line: Optional[Line]) -> bool:
            try:
                asyncio.run_coroutine_threadsafe(lines.put(line), loop).result()
            except (RuntimeError, FutureCancelled):
                return False  # the server has stopped
            return True

        def read() -> None:
            try:
                error = read_lines(self.fd, self.max_line, put)
                if error is not None:
                    sys.stderr.write(f"corvane: cannot read requests: {error.strerror or error}\n")
            except Exception as error:  # noqa: BLE001 (the server must end, not wait for lines)
                sys.stderr.write(f"corvane: the request reader failed: {error}\n")
            finally:
                put(None)  # the end, however the reading ended

        threading.Thread(target=read, name="corvane-mcp-stdin", daemon=True).start()
        while True:
            line = await lines.get()
            if line is None:
                return
            if isinstance(line, TooLong):
                await self._refuse(line)
            else:
                yield line.decode("utf-8", "replace")

    async def _refuse(self, line: TooLong) -> None:
        await self._ready.wait()
        error = types.JSONRPCError(jsonrpc="2.0", id=None, error=types.ErrorData(
            code=types.INVALID_REQUEST,
            message=f"a request line of {line.size} bytes is longer than the limit of "
                    f"{line.limit} bytes; it was not read"))
        try:
            await self.answers.send(SessionMessage(error))
        except (anyio.ClosedResourceError, anyio.BrokenResourceError):
            pass  # the server is ending: nobody to answer


async def serve_stdio_async(guard: Any, *, max_output: int = 64 * 1024) -> None:
    """Serves `guard` over this process's stdin/stdout until the client closes them."""
    server = build_server(guard, max_output=max_output)
    stdin = BoundedLines(0)
    async with stdio_server(stdin=stdin) as (read_stream, write_stream):  # type: ignore[arg-type]
        stdin.answer_with(write_stream)
        await server.run(read_stream, write_stream, server.create_initialization_options())


def serve_stdio(guard: Any, *, max_output: int = 64 * 1024) -> None:
    """Blocking form of serve_stdio_async, on asyncio (the loop that guard.arun runs on)."""
    anyio.run(lambda: serve_stdio_async(guard, max_output=max_output), backend="asyncio")
