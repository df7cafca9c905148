"""Request lines cut from a byte stream with a bound on their length.

A server reads its requests in chunks of bounded size and keeps at most the
bound of any one line: the part of an over-long line past the bound is read
and dropped up to its newline, never held, so one line cannot make a server
grow with its length. The line itself is replaced by a TooLong marker, which
the server answers.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Callable, List, Optional, Union

if TYPE_CHECKING:
    import asyncio

CHUNK = 64 * 1024

# The longest request line `corvane serve` and `corvane mcp` read, in bytes. Longer
# lines are answered without being held: the bound keeps one request from making
# the server grow with its length (a request's token list costs the Guard's
# explain() about a hundred times its size). A command line longer than this would
# not fit the kernel's usual argument space of 2 MiB either, once its JSON escaping
# is counted.
MAX_REQUEST_LINE = 1 << 20


class TooLong:
    """A line longer than the bound, in place of its bytes."""

    __slots__ = ("size", "limit")

    def __init__(self, size: int, limit: int) -> None:
        self.size = size  # how many bytes the line had (without its newline)
        self.limit = limit

    def __repr__(self) -> str:
        return f"TooLong({self.size}, limit={self.limit})"


Line = Union[bytes, TooLong]


class LineSplitter:
    """Chunks in, complete lines out; a line over `max_line` bytes comes out as TooLong."""

    __slots__ = ("_max", "_part", "_dropped")

    def __init__(self, max_line: int) -> None:
        self._max = max_line
        self._part = bytearray()
        self._dropped = -1  # bytes of the current line dropped so far; -1 while it is kept

    def feed(self, chunk: bytes) -> List[Line]:
        """The lines that `chunk` completes, without their newlines."""
        lines: List[Line] = []
        start = 0
        while True:
            end = chunk.find(b"\n", start)
            piece = memoryview(chunk)[start:] if end < 0 else memoryview(chunk)[start:end]
            self._take(piece)
            if end < 0:
                return lines
            lines.append(self._finish())
            start = end + 1

    def end(self) -> List[Line]:
        """The last line when the input ends without a newline after it."""
        return [self._finish()] if self._part or self._dropped >= 0 else []

    def _take(self, piece: memoryview) -> None:
        if self._dropped >= 0:
            self._dropped += len(piece)
        elif len(self._part) + len(piece) > self._max:
            self._dropped = len(self._part) + len(piece)
            self._part = bytearray()  # give the memory back, not just the length
        else:
            self._part += piece

    def _finish(self) -> Line:
        if self._dropped >= 0:
            line: Line = TooLong(self._dropped, self._max)
            self._dropped = -1
        else:
            line = bytes(self._part)
            self._part.clear()
        return line


def handing_to(queue: asyncio.Queue[Optional[Line]],
               loop: asyncio.AbstractEventLoop) -> Callable[[Optional[Line]], bool]:
    """The `put` of a reader thread: hands each line (None: the end) to `queue` on
    `loop` and waits until it is taken in, so the queue's bound holds the reader
    back. False once the loop has stopped taking lines, which ends the reading."""
    import asyncio  # only a server needs it, not every command
    from concurrent.futures import CancelledError as FutureCancelled

    def put(line: Optional[Line]) -> bool:
        putting = queue.put(line)
        try:
            future = asyncio.run_coroutine_threadsafe(putting, loop)
        except RuntimeError:
            # The loop is closed: the coroutine never ran, and unclosed it would
            # warn on standard error when collected.
            putting.close()
            return False
        try:
            future.result()
        except (RuntimeError, FutureCancelled):
            return False  # the server has stopped: nobody takes lines any more
        return True

    return put


def read_lines(fd: int, max_line: int, put: Callable[[Line], bool]) -> Optional[OSError]:
    """Reads `fd` to its end and hands each line that is not blank to `put`, which
    returns False to stop early. Returns the error that ended the reading, or None.
    Blocks: run it on a thread of its own."""
    splitter = LineSplitter(max_line)
    try:
        while True:
            chunk = os.read(fd, CHUNK)
            for line in splitter.feed(chunk) if chunk else splitter.end():
                if (isinstance(line, TooLong) or (line and not line.isspace())) and not put(line):
                    return None
            if not chunk:
                return None
    except OSError as error:
        return error
