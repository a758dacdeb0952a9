"""Text output of the command line: tables, a progress bar and the dependency graph formats."""

from __future__ import annotations

import json
import shutil
import sys
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TextIO

__all__ = ["GRAPH_FORMATS", "Progress", "graph_to_text", "render_graph", "table"]


class Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a terminal."""

    def __init__(self, label: str, total: int, *, enabled: bool, stream: TextIO | None = None) -> None:
        self.stream = stream or sys.stderr
        self.enabled = enabled and total > 0
        self.label, self.total, self.done = label, total, 0

    def step(self, what: str) -> None:
        """Announce the next item of work (drawn as the current one)."""
        if not self.enabled:
            return
        self.done += 1
        width = shutil.get_terminal_size((80, 20)).columns
        bar_width = 24
        filled = bar_width * (self.done - 1) // self.total
        head = f"{self.label} [{'#' * filled}{'.' * (bar_width - filled)}] {self.done}/{self.total} "
        line = (head + what)[: max(width - 1, 10)]
        self.stream.write("\r\x1b[2K" + line)
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\r\x1b[2K")
            self.stream.flush()


def table(headers: Sequence[str], rows: Iterable[Sequence[Any]], out: TextIO) -> None:
    """Print an aligned text table; on a terminal the last column is cut to the screen width."""
    cells = [[_cell(value) for value in row] for row in rows]
    widths = [len(h) for h in headers]
    for row in cells:
        for i, value in enumerate(row):
            widths[i] = max(widths[i], len(value))
    limit = None
    if out.isatty():
        limit = max(shutil.get_terminal_size((120, 20)).columns - 1, 40)

    def emit(values: Sequence[str]) -> None:
        padded = [v.ljust(widths[i]) for i, v in enumerate(values[:-1])] + [values[-1]]
        line = "  ".join(padded).rstrip()
        if limit is not None and len(line) > limit:
            line = line[: limit - 3] + "..."
        out.write(line + "\n")

    emit(list(headers))
    emit(["-" * w for w in widths])
    for row in cells:
        emit(row)


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, (dict, list)):
        return json.dumps(value, sort_keys=True, default=str)
    return " ".join(str(value).split())


# -- dependency graph --------------------------------------------------------

GRAPH_FORMATS = ("text", "mermaid", "dot", "json", "svg", "png")


def _nodes_and_edges(graph: Any) -> tuple[list[str], list[tuple[str, str]]]:
    nodes = sorted(str(n) for n in graph.nodes)
    edges = sorted((str(a), str(b)) for a, b in graph.edges)
    return nodes, edges


def graph_to_text(graph: Any, status: Mapping[str, str], *, ascii_only: bool = False) -> str:
    """The graph as indented trees: each factory that no other uses, with what it uses below it.

    A factory used in several places is spelled out at its first place only;
    later places show it with "(see above)".
    """
    tee, last_tee, pipe, blank = ("|-- ", "`-- ", "|   ", "    ") if ascii_only else ("├── ", "└── ", "│   ", "    ")
    nodes, _ = _nodes_and_edges(graph)
    children = {n: sorted(str(c) for c in graph.successors(n)) for n in nodes}
    has_parent = {c for n in nodes for c in children[n]}
    roots = [n for n in nodes if n not in has_parent]
    lines: list[str] = []
    expanded: set[str] = set()

    def label(node: str) -> str:
        state = status.get(node)
        if state is None:
            return f"{node}  [not registered]"
        return node if state == "SUCCESS" else f"{node}  [{state}]"

    def walk(node: str, prefix: str, branch: str, path: tuple[str, ...]) -> None:
        kids = children[node]
        text = label(node)
        if node in path:
            text += "  (cycle)"
            kids = []
        elif node in expanded and kids:
            text += "  (see above)"
            kids = []
        expanded.add(node)
        lines.append(prefix + branch + text)
        below = prefix + ("" if not branch else (blank if branch == last_tee else pipe))
        for i, kid in enumerate(kids):
            walk(kid, below, last_tee if i == len(kids) - 1 else tee, (*path, node))

    for root in roots:
        walk(root, "", "", ())
    # Factories on a cycle have a parent and no root above them.
    for node in nodes:
        if node not in expanded:
            walk(node, "", "", ())
    return "\n".join(lines) + ("\n" if lines else "")


def _graph_mermaid(graph: Any, status: Mapping[str, str]) -> str:
    nodes, edges = _nodes_and_edges(graph)
    ident = {n: f"f{i}" for i, n in enumerate(nodes)}
    lines = ["graph TD"]
    for n in nodes:
        text = n.replace('"', "#quot;")
        lines.append(f'    {ident[n]}["{text}"]')
    for a, b in edges:
        lines.append(f"    {ident[a]} --> {ident[b]}")
    failed = [ident[n] for n in nodes if status.get(n, "SUCCESS") != "SUCCESS"]
    if failed:
        lines.append("    classDef failed fill:#fdd,stroke:#c00,color:#900")
        lines.append(f"    class {','.join(failed)} failed")
    return "\n".join(lines) + "\n"


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _graph_dot(graph: Any, status: Mapping[str, str]) -> str:
    nodes, edges = _nodes_and_edges(graph)
    lines = ["digraph factories {", "    rankdir=TB;", '    node [shape=box, fontname="Helvetica"];']
    for n in nodes:
        if status.get(n, "SUCCESS") != "SUCCESS":
            lines.append(f"    {_dot_id(n)} [color=red, fontcolor=red];")
        else:
            lines.append(f"    {_dot_id(n)};")
    for a, b in edges:
        lines.append(f"    {_dot_id(a)} -> {_dot_id(b)};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _graph_json(graph: Any, status: Mapping[str, str]) -> str:
    nodes, edges = _nodes_and_edges(graph)
    data = {
        "nodes": [{"name": n, "status": status.get(n)} for n in nodes],
        "edges": [list(edge) for edge in edges],
    }
    return json.dumps(data, indent=2) + "\n"


def render_graph(graph: Any, status: Mapping[str, str], fmt: str, *, ascii_only: bool = False) -> str:
    """The text formats of ``tessaro graph`` (svg and png are made from ``dot``)."""
    if fmt == "text":
        return graph_to_text(graph, status, ascii_only=ascii_only)
    if fmt == "mermaid":
        return _graph_mermaid(graph, status)
    if fmt in ("dot", "svg", "png"):
        return _graph_dot(graph, status)
    if fmt == "json":
        return _graph_json(graph, status)
    raise ValueError(f"unknown graph format {fmt!r}")
