"""`corvane serve --stdio`: JSON-line requests on stdin, one answer line each on
stdout, for a host written in another language.

Requests start as they arrive and overlap; answers are written in request
order. A line that is not a request is answered with BadRequest, a fault of
ours with InternalError, and the server goes on.
"""

from __future__ import annotations

import json
import os
import threading
from typing import TYPE_CHECKING, Any, Dict, List, Optional, TextIO

from .._lines import MAX_REQUEST_LINE, Line, TooLong, handing_to, read_lines
from .answers import EXIT_USAGE, check_json, exit_code_of, explain_json, run_json
from .printing import write_bytes
from .requests import Session, request_from_json
from .text import json_line

if TYPE_CHECKING:
    import asyncio

__all__ = ["MAX_REQUEST_LINE", "answer_line", "answer_bytes", "serve_lines"]


def _request_message(line: Line) -> Dict[str, Any]:
    """The JSON object of a request line; ValueError saying why it is none."""
    if isinstance(line, TooLong):
        raise ValueError(f"a request line of {line.size} bytes is longer than the limit of "
                         f"{line.limit} bytes; it was not read")
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as bad:
        raise ValueError(f"not UTF-8: byte {line[bad.start]:#04x} at offset {bad.start}") from None
    try:
        message = json.loads(text)
    except RecursionError:
        # The reader recurses per level; this is the bound of its stack, reached safely.
        raise ValueError("not a request: arrays or objects nested too deeply to read") from None
    except ValueError as bad:
        raise ValueError(f"not JSON: {bad}") from None
    if not isinstance(message, dict):
        raise ValueError("a request is a JSON object")
    return message


def _echoable(ident: Any) -> Any:
    """`ident` if strict JSON can carry it back in the answer; ValueError naming it if not."""
    try:
        json.dumps(ident, ensure_ascii=False, allow_nan=False).encode("utf-8")
        return ident
    except UnicodeEncodeError:
        why = "not valid Unicode"
    except ValueError:
        why = "not a finite number"
    except RecursionError:
        why = "nested too deeply"
    try:
        text = json.dumps(ident)  # ASCII, NaN as NaN: the id as the request wrote it
    except (ValueError, RecursionError):
        text = "(an array or object)"
    if len(text) > 100:
        text = text[:100] + "..."
    raise ValueError(f"the request's id {text} cannot be sent back in strict JSON: it is {why}")


async def answer_line(session: Session, line: Line) -> Dict[str, Any]:
    """The answer to one JSON-line request (or to a TooLong line); never raises.

    A request is answered whatever it holds: a bad one with BadRequest, one that
    trips a fault of ours with InternalError, so that one line never costs the
    server the answers to the lines after it.
    """
    known: Dict[str, Any] = {}  # the request's id, once it is known to be echoable
    try:
        answer = await _answer(session, line, known)
    except Exception as error:  # noqa: BLE001 (any fault: the server must go on)
        answer = {"error": "InternalError",
                  "message": f"corvane failed on this request: {type(error).__name__}: {error}"[:1000],
                  "exit": EXIT_USAGE}
    if "id" in known:
        answer = {"id": known["id"], **answer}
    return answer


async def _answer(session: Session, line: Line, known: Dict[str, Any]) -> Dict[str, Any]:
    try:
        message = _request_message(line)
        if message.get("id") is not None:
            known["id"] = _echoable(message["id"])
        op = message.get("op")
        if op not in ("check", "run", "explain"):
            raise ValueError("'op' must be one of check, run, explain")
        request = request_from_json(message)
    except ValueError as bad:
        answer: Dict[str, Any] = {"error": "BadRequest", "message": str(bad)}
        op = "bad"
    else:
        try:
            if op == "check":
                assert request is not None
                answer = check_json(session.guard, request)
            elif op == "explain":
                answer = explain_json(session.guard, request)
            else:
                assert request is not None
                answer = await run_json(session.guard, request)
        except (TypeError, ValueError) as bad:
            # What the Guard cannot even take as a request (a NUL byte in an argument,
            # say); its refusals are answers, not exceptions, by now.
            answer = {"error": "BadRequest", "message": str(bad)}
            op = "bad"
    answer["exit"] = exit_code_of(op, answer) if op != "bad" else EXIT_USAGE
    return answer


def answer_bytes(answer: Dict[str, Any]) -> bytes:
    """The line that carries `answer`; an InternalError line, with its id, if it cannot
    be written (nested deeper than the encoder goes)."""
    try:
        return json_line(answer)
    except (RecursionError, TypeError, ValueError) as error:
        failed: Dict[str, Any] = {"error": "InternalError",
                                  "message": f"the answer could not be written as JSON: {error}",
                                  "exit": EXIT_USAGE}
        return json_line({"id": answer["id"], **failed} if "id" in answer else failed)


async def serve_lines(session: Session, source: Any, out: TextIO, max_in_flight: int = 64,
                      max_line: int = MAX_REQUEST_LINE) -> Dict[str, Any]:
    """Reads requests from `source` (a binary file) until EOF; writes answers in request order.

    Requests are started as they arrive, so a slow command does not hold back the
    start of the next; at most `max_in_flight` are pending at once. Cancelling
    this coroutine cancels every pending request, which kills their children.
    Returns {} at the end of the input, or an InputError/OutputError answer when
    the input or the output failed (the pending runs are then stopped).
    """
    import asyncio

    loop = asyncio.get_running_loop()
    lines: "asyncio.Queue[Optional[Line]]" = asyncio.Queue(max_in_flight)
    pending: "asyncio.Queue[Optional[asyncio.Task[bytes]]]" = asyncio.Queue(max_in_flight)
    started: "set[asyncio.Task[bytes]]" = set()
    failed: List[Dict[str, Any]] = []  # why the server stopped before the end of its input

    def read_input() -> None:
        # A thread of its own (not the loop's executor, which asyncio.run would join)
        # reading the raw descriptor (a buffered file's lock would stall interpreter
        # shutdown): works on pipes, files and ttys alike, and a stopped server does
        # not wait for its next input line.
        put = handing_to(lines, loop)
        try:
            fd = source.fileno() if hasattr(source, "fileno") else int(source)
            error = read_lines(fd, max_line, put)
            if error is not None:
                failed.append({"error": "InputError",
                               "message": f"cannot read requests: {error.strerror or error}"})
        except Exception as error:  # noqa: BLE001 (the server must end, not wait for lines)
            failed.append({"error": "InternalError", "message": f"the request reader failed: {error}"})
        finally:
            put(None)  # the end, however the reading ended

    this = asyncio.current_task()
    host_gone: List[bool] = []

    def stop(failure: Optional[Dict[str, Any]]) -> None:
        # Nobody is left to answer (or the answers cannot be written): stop every run.
        # Later writes (the interpreter's own flush at exit) go nowhere.
        if failure is None:
            host_gone.append(True)
        else:
            failed.append(failure)
        try:
            null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
            os.dup2(null, out.fileno())
            os.close(null)
        except (OSError, AttributeError, ValueError):
            pass  # not a descriptor of its own: nothing to redirect
        if this is not None:
            this.cancel()

    async def write_in_order() -> None:
        while True:
            task = await pending.get()
            if task is None:
                return
            try:
                line = await task
            except Exception as error:  # noqa: BLE001 (answer_line answers all; a last net)
                line = answer_bytes({"error": "InternalError", "exit": EXIT_USAGE,
                                     "message": f"corvane failed on this request: {error}"})
            finally:
                started.discard(task)
            try:
                if hasattr(out, "buffer"):
                    write_bytes(out, line)
                else:
                    out.write(line.decode("utf-8"))
                    out.flush()
            except BrokenPipeError:
                stop(None)  # the host stopped reading: a normal end
                return
            except OSError as error:
                stop({"error": "OutputError", "message": f"cannot write answers: {error.strerror or error}"})
                return

    def writer_ended(writer: "asyncio.Task[None]") -> None:
        # A writer that died would leave the reader waiting for room forever.
        if not writer.cancelled() and writer.exception() is not None:
            stop({"error": "InternalError", "message": f"the answer writer failed: {writer.exception()}"})

    async def answer(line: Line) -> bytes:
        # Written to bytes here, not in the writer: an answer waiting behind a slow
        # run is held as its compact line, not as the objects it was made of.
        return answer_bytes(await answer_line(session, line))

    threading.Thread(target=read_input, name="corvane-serve-stdin", daemon=True).start()
    writer = asyncio.create_task(write_in_order())
    writer.add_done_callback(writer_ended)
    try:
        while True:
            line = await lines.get()
            if line is None:
                break
            task = asyncio.create_task(answer(line))
            started.add(task)
            await pending.put(task)
        await pending.put(None)
        await writer
    except asyncio.CancelledError:
        if not (host_gone or failed):
            raise
    finally:
        writer.cancel()
        for task in started:
            task.cancel()
    return failed[0] if failed else {}

