"""The hand-over from a server's reader thread to its event loop (serve and mcp
alike): a line reaches the loop while it runs, and a line read after the loop
has closed ends the reader without a "coroutine ... was never awaited" warning
on the server's standard error."""

import asyncio
import threading
import warnings

from corvane._lines import handing_to


def test_a_line_reaches_the_running_loop():
    async def serve():
        queue = asyncio.Queue(1)
        put = handing_to(queue, asyncio.get_running_loop())
        handed = []
        reader = threading.Thread(target=lambda: handed.append(put(b"line")))
        reader.start()
        line = await asyncio.wait_for(queue.get(), 30)
        await asyncio.get_running_loop().run_in_executor(None, reader.join, 30)
        return line, handed

    assert asyncio.run(serve()) == (b"line", [True])


def test_a_line_after_the_loop_closed_ends_the_reader_quietly():
    loop = asyncio.new_event_loop()
    put = handing_to(asyncio.Queue(1), loop)
    loop.close()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert put(b"late") is False
        assert put(None) is False
    assert [str(w.message) for w in caught] == []
