"""The parts of the documentation that are generated when it is built, from the installed tessaro.

``tessaro-commands``   the help of ``tessaro`` and of each command, from the parser
``tessaro-registry``   the tables of a registry, as SQLite holds them after a build of the example project,
                       and a row of each kind of the command line's own table
``tessaro-json``       the ``--json`` output of each query on the example project

The example project is copied and built once per documentation build (``tessaro demo`` in a temporary folder).
"""

from __future__ import annotations

import argparse
import atexit
import functools
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
from contextlib import closing
from pathlib import Path
from typing import Any

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

WIDTH = 88  # the help text's width, whatever the terminal of the build


def _code(text: str, language: str = "text") -> list[str]:
    return [f".. code-block:: {language}", "", *textwrap.indent(text.rstrip("\n"), "   ").splitlines(), ""]


def _section(title: str, underline: str) -> list[str]:
    return [title, underline * len(title), ""]


class _Generated(SphinxDirective):
    """A directive whose content is reStructuredText made by ``lines()``, sections included."""

    def lines(self) -> list[str]:
        raise NotImplementedError

    def run(self) -> list[nodes.Node]:
        node = nodes.section()
        node.document = self.state.document
        nested_parse_with_titles(self.state, StringList(self.lines(), source="(generated)"), node)
        return list(node.children)


class Commands(_Generated):
    def lines(self) -> list[str]:
        from tessaro.cli import _parser

        columns = os.environ.get("COLUMNS")
        os.environ["COLUMNS"] = str(WIDTH)
        try:
            parser = _parser()
            (sub,) = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
            out = [*_section("tessaro", "-"), *_code(parser.format_help())]
            for name, command in sub.choices.items():
                out += [*_section(f"tessaro {name}", "-"), *_code(command.format_help())]
        finally:
            if columns is None:
                del os.environ["COLUMNS"]
            else:
                os.environ["COLUMNS"] = columns
        return out


@functools.cache
def _example() -> Path:
    """The example project, copied and built by ``tessaro demo`` (removed when the build ends)."""
    folder = Path(tempfile.mkdtemp(prefix="tessaro-docs-"))
    atexit.register(shutil.rmtree, folder, ignore_errors=True)
    _tessaro("demo", str(folder / "example"))
    return folder / "example"


def _tessaro(*args: str) -> str:
    env = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}
    done = subprocess.run([sys.executable, "-m", "tessaro", *args], env=env, capture_output=True, text=True)
    if done.returncode not in (0, 1):  # 1: the example has a failing factory
        raise RuntimeError(f"tessaro {' '.join(args)} failed: {done.stderr}")
    return done.stdout


def _shorten(value: Any) -> Any:
    """Lists of objects (or of lists) cut to their first item and a note of how many more there are."""
    if isinstance(value, list) and len(value) > 1 and isinstance(value[0], dict | list):
        return [_shorten(value[0]), f"... {len(value) - 1} more"]
    if isinstance(value, list):
        return [_shorten(v) for v in value]
    if isinstance(value, dict):
        return {k: _shorten(v) for k, v in value.items()}
    return value


class Registry(_Generated):
    def lines(self) -> list[str]:
        db = _example() / "build" / "tessaro.db"
        with closing(sqlite3.connect(db)) as conn:
            schema = conn.execute("SELECT type, name, sql FROM sqlite_master WHERE sql IS NOT NULL"
                                  " ORDER BY type DESC, rowid").fetchall()
            state = conn.execute("SELECT kind, key, value FROM tessaro_state ORDER BY kind, key").fetchall()
        out: list[str] = []
        for kind, name, sql in schema:
            first, _, rest = sql.partition("\n")  # as stored: the lines after the first indented deeper
            sql = f"{first}\n{textwrap.dedent(rest)}" if rest else sql
            out += [*_section(f"{kind} ``{name}``", "-"), *_code(sql.rstrip() + ";", "sql")]
        out += _section("Rows of ``tessaro_state``", "-")
        out += ["Every ``meta`` row, and the longest row of each other kind.", ""]
        shown: dict[str, tuple[str, str, str]] = {}
        for row in state:
            if row[0] == "meta" or len(row[2]) > len(shown.get(row[0], ("", "", ""))[2]):
                shown[row[0] if row[0] != "meta" else f"meta {row[1]}"] = row
        for kind, key, value in shown.values():
            out += _code(f"kind: {kind}\nkey: {key}\nvalue: {json.dumps(json.loads(value), indent=2)}")
        return out


#: The queries shown, each on the example project with --json.
QUERIES = [("factories",), ("components", "ring"), ("models",), ("show", "ring"), ("graph", "ring"),
           ("affected", "factories/basics.py"), ("build", "--all")]


class JsonExamples(_Generated):
    def lines(self) -> list[str]:
        root = _example()
        out: list[str] = []
        for query in QUERIES:
            args = [a if not a.endswith(".py") else str(root / a) for a in query]
            data = _shorten(json.loads(_tessaro(*args, "--json", "--project", str(root))))
            out += [*_section(f"tessaro {' '.join(query)} --json", "-"), *_code(json.dumps(data, indent=2), "json")]
        return out


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_directive("tessaro-commands", Commands)
    app.add_directive("tessaro-registry", Registry)
    app.add_directive("tessaro-json", JsonExamples)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
