"""What `corvane` prints: answers as one JSON line, or as text for a person, and
the command's own output as the bytes it was."""

from __future__ import annotations

from ..tool import binary_lines, cwd_line, limits_line, sandbox_line
from .text import json_line

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Mapping, Sequence, TextIO


def write_bytes(stream: TextIO, data: bytes) -> None:
    """`data` on a text stream's buffer, after what was written as text before it."""
    stream.flush()
    stream.buffer.write(data)
    stream.buffer.flush()


def print_json(data: Mapping[str, Any], out: TextIO) -> None:
    line = json_line(data)
    if hasattr(out, "buffer"):
        write_bytes(out, line)  # the bytes as they are, whatever the stream's encoding
    else:
        out.write(line.decode("utf-8"))


def raw_stream(answer: Mapping[str, Any], name: str) -> bytes:
    """A stream of a run's answer as the bytes the command wrote."""
    encoded = answer.get(name + "_base64")
    if encoded is not None:
        import base64  # only for output that is not text: it imports re

        return base64.b64decode(encoded)
    return str(answer.get(name, "")).encode("utf-8")


def _quote(argv: Sequence[str]) -> str:
    import shlex  # here, as json below: `corvane run` prints neither

    return " ".join(shlex.quote(a) for a in argv)


def print_check(answer: Mapping[str, Any], out: TextIO) -> None:
    if not answer["allowed"]:
        out.write(f"refused: {answer['message']}\n")
        return
    prepared = answer["prepared"]
    out.write("allowed\n")
    out.write(f"  bin:  {prepared['bin']}\n")
    out.write(f"  argv: {_quote(prepared['argv'])}\n")
    out.write(f"  cwd:  {prepared['cwd']}\n")
    out.write(f"  env:  {', '.join(prepared.get('env') or []) or '(empty)'}\n")


def print_explain(answer: Mapping[str, Any], described: bool, out: TextIO) -> None:
    import json
    import shlex

    if described:
        out.write("allowed binaries:\n")
        for entry in answer.get("binaries", []):
            from_pack = f"  [pack {entry['pack']}]" if entry.get("pack") else ""
            out.write(f"  {entry.get('name', '')}  ({entry.get('path', '')}){from_pack}\n")
            for line in binary_lines(entry):
                out.write(f"      {line}\n")
        out.write(f"limits: {limits_line(answer)}\n")
        if cwd_line(answer):
            out.write(f"working directory: {cwd_line(answer)}\n")
        if sandbox_line(answer):
            out.write(f"sandbox: {sandbox_line(answer)}\n")
        for key in ("on_output_limit", "risky_binaries", "environment", "sandbox"):
            if answer.get(key) is not None:
                out.write(f"{key}: {json.dumps(answer[key], ensure_ascii=False)}\n")
        return
    verdict = "allowed" if answer.get("allowed") else "refused"
    message = answer.get("message", "")
    out.write(f"{verdict}: {message}\n" if not message.startswith("allowed") else f"{message}\n")
    for key in ("binary", "rule_set", "pack", "stage", "kind", "index"):
        if answer.get(key) is not None:
            out.write(f"  {key + ':':10}{answer[key]}\n")
    tokens = answer.get("tokens") or []
    if tokens:
        out.write("  argv read as:\n")
        for token in tokens:
            out.write(f"    {token.get('index')}: {shlex.quote(str(token.get('token')))}  ({token.get('role')})\n")
    prepared = answer.get("prepared")
    if prepared:
        out.write(f"  will run:  {prepared.get('bin')} {_quote(prepared.get('argv', []))}\n")
        out.write(f"  in:        {prepared.get('cwd')}\n")
        out.write(f"  env:       {', '.join(prepared.get('env') or []) or '(empty)'}\n")



def print_packs(packs: Sequence[Mapping[str, Any]], out: TextIO) -> None:
    for pack in packs:
        out.write(f"{pack['name']}: {pack['description']}\n")
        for entry in pack["binaries"]:
            out.write(f"  {entry.get('name', '')}  ({entry.get('path', '')})\n")
            for line in binary_lines(entry):
                out.write(f"      {line}\n")
            if entry.get("sandbox") is not None:
                exec_ = ", ".join(entry["sandbox"].get("exec") or []) or "nothing"
                out.write(f"      its own sandbox: may execute {exec_}\n")
        if pack["missing"]:
            out.write(f"  not on this machine (left out): {', '.join(pack['missing'])}\n")
