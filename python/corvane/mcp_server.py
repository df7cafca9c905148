"""`corvane mcp`: a policy served as one Model Context Protocol tool, `run_command`, over stdio.

The tool's input schema and description are made from `guard.describe()`, so the
model is told up front which binaries and flags it may use. Every call goes
through `guard.arun`: calls overlap without a thread each, and a request the
client cancels cancels the run, which kills and reaps its child. A refusal or a
failed run is a tool error carrying the one-line reason, which lets the model
correct its next call. A call whose client sent a progress token runs through
`guard.stream` and is reported as its output comes (notifications/progress).

Needs the optional SDK (`pip install 'corvane[mcp]'`); `import corvane` never
imports this module.
"""

from __future__ import annotations

import sys
import threading
from typing import TYPE_CHECKING, Any, AsyncIterator, Optional

import anyio
import mcp_types as types
from mcp.server.lowlevel import Server
from mcp.server.stdio import stdio_server
from mcp.shared.message import SessionMessage

from ._lines import MAX_REQUEST_LINE, Line, TooLong, handing_to, read_lines
from .errors import ExecutionError, Refused
from .tool import (DEFAULT_MAX_OUTPUT, TOOL_NAME, binary_names, description_text, format_result,
                   output_text, refusal_text, schema_for)

if TYPE_CHECKING:
    from .guard import Guard


def _error(text: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(type="text", text=text)], is_error=True)


def build_server(guard: Guard, *, max_output: int = DEFAULT_MAX_OUTPUT) -> Server[Any]:
    """An MCP server offering `run_command` under `guard`."""
    described = guard.describe()
    # The policy's own names; the core takes them (and paths) in a call.
    names = binary_names(described)
    tool = types.Tool(
        name=TOOL_NAME,
        title="Run a command under a fixed policy",
        description=description_text(described),
        input_schema=schema_for(names),
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
            return _error(refusal_text(f"unknown argument: {', '.join(unknown)}"))
        if not isinstance(binary, str):
            return _error(refusal_text("`binary` must be one of: " + ", ".join(sorted(names))))
        if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
            return _error(refusal_text("`args` must be a list of strings"))
        if cwd is not None and not isinstance(cwd, str):
            return _error(refusal_text("`cwd` must be a string"))
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))):
            return _error(refusal_text("`timeout` must be a number of seconds"))
        if stdin is not None and not isinstance(stdin, str):
            return _error(refusal_text("`stdin` must be a string"))
        data = None if stdin is None else stdin.encode("utf-8")
        token = ctx.meta.get("progress_token") if ctx.meta else None
        try:
            if token is None:
                text = format_result(await guard.arun(binary, args, cwd=cwd, timeout=timeout,
                                                      stdin=data), max_output=max_output)
            else:
                text = await _run_with_progress(guard, ctx.session, binary, args, cwd, timeout,
                                                data, max_output)
        except (Refused, ExecutionError) as error:
            return _error(format_result(error, max_output=max_output))
        except (TypeError, ValueError) as bad:
            # Arguments the Guard cannot take at all (a NUL byte, say): still the model's
            # mistake to correct, so a tool error rather than a protocol error.
            return _error(refusal_text(f"invalid request: {bad}"))
        return types.CallToolResult(content=[types.TextContent(type="text", text=text)],
                                    is_error=False)

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


# The least time between two progress notifications of one call: a command that
# writes a line at a time must not turn into a notification per line.
PROGRESS_INTERVAL = 0.5


async def _run_with_progress(guard: Guard, session: Any, binary: str, args: Any, cwd: Any,
                             timeout: Any, stdin: Optional[bytes], max_output: int) -> str:
    """The call's run through guard.stream, for a client that asked for progress:
    a notification when output comes (at most one per PROGRESS_INTERVAL), with
    the bytes so far and the last line written; the result as arun's would read.
    ExecutionError carries what was written before it was stopped, as arun's does."""
    import time

    kept = {"stdout": bytearray(), "stderr": bytearray()}
    total = 0
    reported = float("-inf")
    stream = guard.stream(binary, args, cwd=cwd, timeout=timeout, stdin=stdin)
    try:
        async for chunk in stream:
            kept[chunk.stream] += chunk.data
            total += len(chunk.data)
            now = time.monotonic()
            if now - reported >= PROGRESS_INTERVAL:
                reported = now
                await session.report_progress(total, None, _progress_message(total, kept[chunk.stream]))
    except ExecutionError as error:
        error.stdout, error.stderr = bytes(kept["stdout"]), bytes(kept["stderr"])
        raise
    finally:
        await stream.aclose()
    return output_text(stream.output, max_output, streamed=(bytes(kept["stdout"]), bytes(kept["stderr"])))


def _progress_message(total: int, written: bytearray) -> str:
    last = bytes(written[-4096:]).rstrip(b"\n").rsplit(b"\n", 1)[-1].decode("utf-8", "replace")
    if len(last) > 200:
        last = last[:200] + "..."
    return f"{total} bytes of output so far; last line: {last}" if last else f"{total} bytes of output so far"


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

        lines: "asyncio.Queue[Optional[Line]]" = asyncio.Queue(16)
        put = handing_to(lines, asyncio.get_running_loop())

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


async def serve_stdio_async(guard: Guard, *, max_output: int = DEFAULT_MAX_OUTPUT) -> None:
    """Serves `guard` over this process's stdin/stdout until the client closes them."""
    server = build_server(guard, max_output=max_output)
    stdin = BoundedLines(0)
    async with stdio_server(stdin=stdin) as (read_stream, write_stream):  # type: ignore[arg-type]
        stdin.answer_with(write_stream)
        await server.run(read_stream, write_stream, server.create_initialization_options())


def serve_stdio(guard: Guard, *, max_output: int = DEFAULT_MAX_OUTPUT) -> None:
    """Blocking form of serve_stdio_async, on asyncio (the loop that guard.arun runs on)."""
    anyio.run(lambda: serve_stdio_async(guard, max_output=max_output), backend="asyncio")
