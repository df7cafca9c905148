"""The package's shape: no module imports one that imports it back, and what a
model reads (corvane.tool) and the command load without the MCP SDK."""

import ast
import os
import subprocess
import sys

import corvane

PACKAGE = os.path.dirname(os.path.abspath(corvane.__file__))


def _modules():
    """Every module of the package by dotted name, with its source file."""
    found = {}
    for directory, _, files in os.walk(os.path.realpath(PACKAGE)):
        for name in files:
            if not name.endswith(".py"):
                continue
            path = os.path.join(directory, name)
            dotted = os.path.relpath(path, os.path.dirname(os.path.realpath(PACKAGE)))[:-3]
            dotted = dotted.replace(os.sep, ".").removesuffix(".__init__")
            found[dotted] = path
    return found


def _imports(modules):
    """module -> the package's modules it imports anywhere (in functions and under
    TYPE_CHECKING too: a circle there is still a circle for a reader and a checker)."""
    # The extension module is a module of its own, not the package root.
    known = set(modules) | {"corvane._native"}
    graph = {}
    for name, path in modules.items():
        package = name if path.endswith("__init__.py") else name.rpartition(".")[0]
        targets = set()
        with open(path, encoding="utf-8") as source:
            tree = ast.parse(source.read())
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    parent = package
                    for _ in range(node.level - 1):
                        parent = parent.rpartition(".")[0]
                    base = parent + ("." + node.module if node.module else "")
                for alias in node.names:
                    sub = f"{base}.{alias.name}"
                    targets.add(sub if sub in known else base)
            elif isinstance(node, ast.Import):
                targets.update(alias.name for alias in node.names)
        graph[name] = {t for t in targets if t in known and t != name}
    return graph


def test_no_module_imports_one_that_imports_it_back():
    graph = _imports(_modules())
    # The root re-exports the classes every module takes from it; it is imported
    # first, so an edge back to it is no circle.
    graph = {name: targets - {"corvane"} for name, targets in graph.items()}
    circles = []

    def visit(name, path):
        for target in sorted(graph.get(name, ())):
            if target in path:
                circles.append(path[path.index(target):] + [target])
            elif target not in done:
                visit(target, path + [target])
        done.add(name)

    done = set()
    for name in sorted(graph):
        if name not in done:
            visit(name, [name])
    assert circles == []


def test_the_tool_text_and_the_command_load_without_the_mcp_sdk():
    # An import of the SDK (or its anyio) fails here as on an install without the extra.
    script = (
        "import sys\n"
        "for name in ('mcp', 'mcp_types', 'anyio'):\n"
        "    sys.modules[name] = None\n"
        "import corvane.tool, corvane.cli\n"
        "from corvane import Guard\n"
        "guard = Guard.from_dict({'binaries': {'true': {'path': '/bin/true'}}})\n"
        "assert guard.tool_schema()['properties']['binary']['enum'] == ['true']\n"
        "assert 'asyncio' not in sys.modules, 'the tool text needs no event loop'\n"
        "print('ok')\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, env=os.environ.copy())
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")
