"""The command lines of check, run and explain in the shapes a host writes
them (exact option names, each value its own word or after '='), read without
argparse: importing it and building the parser with every help text costs a
command's start more than the rest of corvane together. Anything else (help,
an abbreviation, a mistake, a value that starts with '-') is left to argparse,
which then reads the whole line, so the quick reading never decides
differently: it gives the same namespace or none."""

from __future__ import annotations

from types import SimpleNamespace

# typing only for the type checker: importing it would cost every start.
TYPE_CHECKING = False

if TYPE_CHECKING:
    from typing import Dict, List, Optional, Tuple

# Each subcommand's options: name -> (its namespace field, what it holds:
# "value", "list" (repeatable) or "flag"); in step with parser.py.
_REQUEST = {"-p": ("policy", "value"), "--policy": ("policy", "value"),
            "--var": ("var", "list"), "--cwd": ("cwd", "value"), "--env": ("env", "list"),
            "--json": ("json", "flag")}
_OPTIONS: "Dict[str, Dict[str, Tuple[str, str]]]" = {
    "check": {**_REQUEST, "--audit": ("audit", "value")},
    "run": {**_REQUEST, "--audit": ("audit", "value"), "--timeout": ("timeout", "value"),
            "--stdin": ("stdin", "value")},
    "explain": _REQUEST,
}


def quick_args(own: "List[str]") -> "Optional[SimpleNamespace]":
    """The namespace argparse would give for corvane's own words `own` (before
    '--'), or None to have argparse read them."""
    if not own or own[0] not in _OPTIONS:
        return None
    options = _OPTIONS[own[0]]
    fields: "Dict[str, object]" = {"version": False, "subcommand": own[0], "command": []}
    for field, kind in options.values():
        fields[field] = [] if kind == "list" else False if kind == "flag" else None
    words = iter(own[1:])
    for word in words:
        name, equals, value = word.partition("=")
        found = options.get(name)
        if found is None or (equals and (name == "-p" or found[1] == "flag")):
            return None
        field, kind = found
        if kind == "flag":
            fields[field] = True
            continue
        if not equals:
            value = next(words, "")
        if not value or (value.startswith("-") and value != "-"):  # "-" alone is a value
            return None
        if field == "timeout":
            try:
                fields[field] = float(value)
            except ValueError:
                return None
        elif kind == "list":
            fields[field].append(value)  # type: ignore[attr-defined]
        else:
            fields[field] = value
    if fields["policy"] is None:
        return None
    return SimpleNamespace(**fields)
