"""`corvane serve --stdio`: JSON-line requests on stdin, one answer line each on
stdout, for a host written in another language.

Requests start as they arrive and overlap; each is answered when its run
ends, matched by its id (answers without an id keep their requests' order
among themselves). A line that is not a request is answered with BadRequest, a fault of
ours with InternalError, and the server goes on.
"""

from __future__ import annotations

import itertools
import json
import os
import threading
from typing import TYPE_CHECKING, Any, Dict, List, Optional, TextIO

from .._lines import MAX_REQUEST_LINE, Line, TooLong, handing_to, read_lines
from .parser import DEFAULT_MAX_IN_FLIGHT
from .answers import EXIT_USAGE, check_json, exit_code_of, explain_json, run_json
from .printing import write_bytes
from .requests import Session, request_from_json
from .text import json_line

if TYPE_CHECKING:
    import asyncio

__all__ = ["MAX_REQUEST_LINE", "DEFAULT_MAX_IN_FLIGHT", "answer_line", "answer_bytes", "serve_lines"]


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


async def serve_lines(session: Session, source: Any, out: TextIO, max_in_flight: int = DEFAULT_MAX_IN_FLIGHT,
                      max_line: int = MAX_REQUEST_LINE) -> Dict[str, Any]:
    """Reads requests from `source` (a binary file) until EOF; answers each when it ends.

    A request starts as soon as it is read and is answered as soon as its run
    ends, so a quick command is never held behind a slow one: the host matches
    an answer to its request by the `id` it gave. Answers without an id keep
    the order of their requests among themselves, so a host that sends no ids
    (or one sending one request at a time) still pairs them by position. At
    most `max_in_flight` requests are between read and answered; while that
    many are, no further line is read. Cancelling this coroutine cancels
    every request in flight, which kills their children. Returns {} at the end
    of the input, or an InputError/OutputError answer when the input or the
    output failed (the runs in flight are then stopped).
    """
    import asyncio

    if max_in_flight < 1:
        raise ValueError(f"max_in_flight must be at least 1, got {max_in_flight}")
    loop = asyncio.get_running_loop()
    # One line read ahead at most: the bound below, not this queue, holds the reading.
    lines: "asyncio.Queue[Optional[Line]]" = asyncio.Queue(1)
    room = asyncio.Semaphore(max_in_flight)
    started: "set[asyncio.Task[None]]" = set()
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
        if host_gone or failed:
            return  # already stopping
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

    def write(line: bytes) -> None:
        # On the loop's thread, a whole line at once: answers never interleave.
        if host_gone or failed:
            return
        try:
            if hasattr(out, "buffer"):
                write_bytes(out, line)
            else:
                out.write(line.decode("utf-8"))
                out.flush()
        except BrokenPipeError:
            stop(None)  # the host stopped reading: a normal end
        except OSError as error:
            stop({"error": "OutputError", "message": f"cannot write answers: {error.strerror or error}"})

    # Requests in flight by arrival number, in arrival order: None while running or
    # answered with an id, the answer's line once one without an id waits for its
    # turn. Such an answer keeps its room until written, so this stays bounded.
    waiting: Dict[int, Optional[bytes]] = {}

    def write_ready() -> None:
        # Answers without an id, oldest first, as long as no earlier request may
        # still turn out to be one.
        while waiting:
            first = next(iter(waiting))
            held = waiting[first]
            if held is None:
                return
            del waiting[first]
            room.release()
            write(held)

    async def answer(number: int, line: Line) -> None:
        held = False
        try:
            try:
                answered = await answer_line(session, line)
            except Exception as error:  # noqa: BLE001 (answer_line answers all; a last net)
                answered = {"error": "InternalError", "exit": EXIT_USAGE,
                            "message": f"corvane failed on this request: {error}"}
            if "id" not in answered:
                waiting[number] = answer_bytes(answered)
                held = True
                return
            write(answer_bytes(answered))
        finally:
            if not held:
                del waiting[number]
                room.release()
            write_ready()

    threading.Thread(target=read_input, name="corvane-serve-stdin", daemon=True).start()
    try:
        for number in itertools.count():
            await room.acquire()
            line = await lines.get()
            if line is None:
                break
            waiting[number] = None
            task = asyncio.create_task(answer(number, line))
            started.add(task)
            task.add_done_callback(started.discard)
        while started:
            await asyncio.wait(set(started))
    except asyncio.CancelledError:
        if not (host_gone or failed):
            raise
    finally:
        for task in list(started):
            task.cancel()
        if started:
            await asyncio.wait(set(started))
    return failed[0] if failed else {}

