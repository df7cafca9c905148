"""Text that every reader takes: words checked for UTF-8, lone surrogates shown
as escapes, and answers as lines of strict JSON."""

from __future__ import annotations

import math
from collections.abc import Mapping

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any



class UsageError(Exception):
    """A command line that cannot be carried out; reported like argparse reports its own."""


def is_text(text: str) -> bool:
    """Whether `text` is Unicode that UTF-8 can carry (no lone surrogate)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def shown(text: str, from_os: bool = True) -> str:
    """`text` fit for a message and for strict JSON: a byte that was not UTF-8 (which
    Python keeps from the OS as a lone surrogate) as \\xNN, any other lone surrogate
    as \\uNNNN. With `from_os` False every lone surrogate is shown as \\uNNNN, as
    a JSON escape wrote it."""
    if is_text(text):
        return text

    def escaped(char: str) -> str:
        code = ord(char)
        if not 0xD800 <= code <= 0xDFFF:
            return char
        if from_os and 0xDC80 <= code <= 0xDCFF:
            return f"\\x{code - 0xDC00:02x}"
        return f"\\u{code:04x}"

    return "".join(escaped(char) for char in text)


def json_line(data: Any) -> bytes:
    """`data` as one line of strict JSON in UTF-8, whatever it holds: a string that
    is not valid Unicode (a path from a non-UTF-8 file name, say) is written as
    shown(), a NaN or an infinity as null, so that every reader can take the line.
    RecursionError for data nested deeper than the encoder goes."""
    import json  # here: `corvane run` without --json writes none

    try:
        text = json.dumps(data, ensure_ascii=False, allow_nan=False)
        return (text + "\n").encode("utf-8")
    except ValueError:  # UnicodeEncodeError is one
        return (json.dumps(_strict(data), ensure_ascii=False, allow_nan=False) + "\n").encode("utf-8")


def _strict(value: Any) -> Any:
    if isinstance(value, str):
        return shown(value)
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, Mapping):
        return {shown(k) if isinstance(k, str) else k: _strict(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict(v) for v in value]
    return value
