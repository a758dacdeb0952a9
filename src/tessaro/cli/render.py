"""Text output of the command line: tables, a progress bar and the dependency graph formats."""

from __future__ import annotations

import json
import os
import shutil
import sys
import unicodedata
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TextIO

__all__ = [
    "GRAPH_FORMATS", "Progress", "color", "escape", "graph_json", "graph_to_text", "import_failures", "json_text",
    "render_graph", "summary_line", "table", "why_text",
]

# Control and format characters, surrogates, line and paragraph separators.
_UNSHOWN = frozenset(("Cc", "Cf", "Cs", "Zl", "Zp"))


def escape(name: str, delimiters: str = "") -> str:
    """A name as text output shows it: unchanged, unless it holds a character that could forge output.

    Then control and format characters, line breaks and surrogates are
    written as Python writes them (``\\n``, ``\\x1b``, ``\\u2028``), the
    output's own ``delimiters`` (ASCII) as ``\\xNN``, and backslashes doubled,
    so that no name can start a line, move the cursor or pose as two names.
    """
    if name.isprintable() and not any(d in name for d in delimiters):
        return name
    if not any(_unshown(ch) or ch in delimiters for ch in name):
        return name  # printable after all (e.g. a non-breaking space)
    out = []
    for ch in name:
        if ch == "\\":
            out.append("\\\\")
        elif _unshown(ch):
            out.append(ch.encode("unicode_escape").decode("ascii"))
        elif ch in delimiters:
            out.append(f"\\x{ord(ch):02x}")
        else:
            out.append(ch)
    return "".join(out)


def _unshown(ch: str) -> bool:
    return unicodedata.category(ch) in _UNSHOWN


def _plain(stream: TextIO) -> bool:
    """No colours or cursor movement: not a terminal, a dumb one, or NO_COLOR set."""
    try:
        tty = stream.isatty()
    except (AttributeError, ValueError):
        tty = False
    return not tty or os.environ.get("TERM") == "dumb"


def color(status: str, stream: TextIO) -> str:
    """A status word, red when it is FAILED and ``stream`` is a colour terminal."""
    if status != "FAILED" or _plain(stream) or "NO_COLOR" in os.environ:
        return status
    return f"\x1b[31m{status}\x1b[0m"


class Progress:
    """A one-line progress indicator on stderr, drawn only on a (non-dumb) terminal."""

    def __init__(self, label: str, *, enabled: bool, stream: TextIO | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled and not _plain(self.stream)
        self.label, self.drawn = label, False

    def show(self, done: int, total: int, busy: int, what: str) -> None:
        """Draw the line anew: ``done`` of ``total`` finished, ``busy`` workers at work, ``what`` runs."""
        if not self.enabled:
            return
        width = shutil.get_terminal_size((80, 20)).columns
        head = self.label
        if total:
            bar_width = 24
            filled = bar_width * done // total
            head += f" [{'#' * filled}{'.' * (bar_width - filled)}] {done}/{total}"
        head += f" ({busy} worker{'s' if busy != 1 else ''} busy) " if busy else " "
        self.stream.write(self._clear(width) + (head + escape(what))[: max(width - 1, 10)])
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        if self.enabled and self.drawn:
            self.stream.write(self._clear(shutil.get_terminal_size((80, 20)).columns))
            self.stream.flush()

    @staticmethod
    def _clear(width: int) -> str:
        # With NO_COLOR, no escape sequences at all: the line is blanked with spaces.
        return "\r" + " " * (width - 1) + "\r" if "NO_COLOR" in os.environ else "\r\x1b[2K"


#: Columns of names (factories, cells, files): each is shown as one escaped name, never collapsed.
_NAME_COLUMNS = ("factory", "component", "source")


def table(headers: Sequence[str], rows: Iterable[Sequence[Any]], out: TextIO) -> None:
    """Print an aligned text table; on a terminal the last column is cut to the screen width."""
    names = [h in _NAME_COLUMNS for h in headers]
    cells = [[escape(str(value)) if names[i] and value is not None else _cell(value) for i, value in enumerate(row)]
             for row in rows]
    widths = [len(h) for h in headers]
    for row in cells:
        for i, value in enumerate(row):
            widths[i] = max(widths[i], len(value))
    limit = None
    if out.isatty():
        limit = max(shutil.get_terminal_size((120, 20)).columns - 1, 40)

    status_columns = [i for i, h in enumerate(headers) if h in ("status", "model")]

    def emit(values: Sequence[str], paint: bool = False) -> None:
        padded = [v.ljust(widths[i]) for i, v in enumerate(values[:-1])] + [values[-1]]
        line = "  ".join(padded).rstrip()
        if limit is not None and len(line) > limit:
            line = line[: limit - 3] + "..."
        if paint:
            # Colour after aligning and cutting, so the escape codes take no width.
            start = 0
            for i, value in enumerate(padded):
                if i in status_columns and value.rstrip() == "FAILED" and start + 6 <= len(line):
                    line = line[:start] + color("FAILED", out) + line[start + 6:]
                    break
                start += len(value) + 2
        out.write(line + "\n")

    emit(list(headers))
    emit(["-" * w for w in widths])
    for row in cells:
        emit(row, paint=bool(status_columns))


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, (dict, list)):
        return json.dumps(value, sort_keys=True, default=str)
    return escape(" ".join(str(value).split()))


# -- the build summary ---------------------------------------------------------


def summary_line(report: Any) -> str:
    """One line saying what a build did and what still fails."""
    failing = report.failing
    shown = ", ".join(escape(name, ",") for name in failing[:5])
    still = f"; failing: {shown}{', ...' if len(failing) > 5 else ''}" if failing else ""
    if not report.changed and not report.built and not report.full:
        return f"nothing changed since the last build ({_count(len(report.factories), 'factory', 'factories')}){still}"
    reason = next(iter(report.changed.values()), "") if report.full else ""
    why = f"all files ({reason})" if report.full else _count(len(report.changed), "file") + " changed"
    failed = sum(not b.ok for b in report.built.values()) + sum(bool(f.error) for f in report.files)
    text = f"{why}, {_count(len(report.built), 'factory', 'factories')} rebuilt, {report.unchanged} unchanged"
    return text + (f", {failed} failed" if failed else "") + still


def import_failures(report: Any) -> dict[tuple[str, str | None], list[str]]:
    """The files that failed to import, grouped by error: files importing a broken one share its error."""
    found: dict[tuple[str, str | None], list[str]] = {}
    for file in sorted(report.files, key=lambda file: file.rel):
        if file.error:
            found.setdefault((file.error, file.where), []).append(file.rel)
    for (_, where), files in found.items():  # the file the error is in first
        files.sort(key=lambda rel: (not (where or "").startswith(rel + ":"), rel))
    return found


def _count(n: int, one: str, many: str | None = None) -> str:
    return f"{n} {one if n == 1 else many or one + 's'}"


# -- dependency graph --------------------------------------------------------

GRAPH_FORMATS = ("text", "mermaid", "dot", "json", "svg", "png")


def _label(node: str, status: Mapping[str, str], graph: Any) -> str:
    state = status.get(node)
    name = escape(node)
    if state is None:
        return f"{name}  [not registered]"
    if state == "SUCCESS":
        return name
    stale = node in graph.stale and graph.uses.get(node)
    return f"{name}  [{state}, uses as last recorded]" if stale else f"{name}  [{state}]"


def graph_to_text(graph: Any, status: Mapping[str, str], *, ascii_only: bool = False) -> str:
    """The graph as indented trees: each factory that no other uses, with what it uses below it.

    A factory used in several places is spelled out at its first place only;
    later places show it with "(see above)".
    """
    tee, last_tee, pipe, blank = ("|-- ", "`-- ", "|   ", "    ") if ascii_only else ("├── ", "└── ", "│   ", "    ")
    nodes = graph.nodes()
    children = {n: list(graph.uses.get(n, ())) for n in nodes}
    has_parent = {c for n in nodes for c in children[n] if c != n}
    roots = [n for n in nodes if n not in has_parent]
    lines: list[str] = []
    expanded: set[str] = set()

    def walk(node: str, prefix: str, branch: str, path: tuple[str, ...]) -> None:
        kids = children[node]
        text = _label(node, status, graph)
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


def _graph_mermaid(graph: Any, status: Mapping[str, str], **_: Any) -> str:
    nodes = graph.nodes()
    ident = {n: f"f{i}" for i, n in enumerate(nodes)}
    lines = ["graph TD"]
    for n in nodes:
        text = escape(n).replace('"', "#quot;")
        lines.append(f'    {ident[n]}["{text}"]')
    for a, b in graph.edges():
        style = "-.->" if a in graph.stale else "-->"
        lines.append(f"    {ident[a]} {style} {ident[b]}")
    failed = [ident[n] for n in nodes if status.get(n, "SUCCESS") != "SUCCESS"]
    if failed:
        lines.append("    classDef failed fill:#fdd,stroke:#c00,color:#900")
        lines.append(f"    class {','.join(failed)} failed")
    return "\n".join(lines) + "\n"


def _dot_id(text: str) -> str:
    return '"' + escape(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def _graph_dot(graph: Any, status: Mapping[str, str], *, sources: Mapping[str, str] | None = None,
               rankdir: str = "TB") -> str:
    """DOT text; factories are grouped by source file, failing ones red, their stale edges dashed."""
    lines = ["digraph factories {", f"    rankdir={rankdir};", '    node [shape=box, fontname="Helvetica"];']

    def node(n: str) -> str:
        if status.get(n, "SUCCESS") != "SUCCESS":
            return f"{_dot_id(n)} [color=red, fontcolor=red];"
        return f"{_dot_id(n)};"

    groups: dict[str, list[str]] = {}
    for n in graph.nodes():
        groups.setdefault((sources or {}).get(n, ""), []).append(n)
    for i, (source, members) in enumerate(sorted(groups.items())):
        if not source:
            lines.extend(f"    {node(n)}" for n in members)
            continue
        lines.append(f"    subgraph cluster_{i} {{")
        lines.append(f"        label={_dot_id(source)}; style=rounded; color=gray;")
        lines.extend(f"        {node(n)}" for n in members)
        lines.append("    }")
    for a, b in graph.edges():
        style = " [style=dashed]" if a in graph.stale else ""
        lines.append(f"    {_dot_id(a)} -> {_dot_id(b)}{style};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def graph_json(graph: Any, status: Mapping[str, str], **_: Any) -> dict[str, Any]:
    return {
        "nodes": [{"name": n, "status": status.get(n), "stale": n in graph.stale} for n in graph.nodes()],
        "edges": [list(edge) for edge in graph.edges()],
    }


def json_text(data: Any) -> str:
    """The one JSON format of the command line's output."""
    return json.dumps(data, indent=2, default=str) + "\n"


def render_graph(graph: Any, status: Mapping[str, str], fmt: str, *, ascii_only: bool = False,
                 sources: Mapping[str, str] | None = None, rankdir: str = "TB") -> str:
    """The text formats of ``tessaro graph`` (svg and png are made from ``dot``)."""
    if fmt == "text":
        return graph_to_text(graph, status, ascii_only=ascii_only)
    if fmt == "mermaid":
        return _graph_mermaid(graph, status)
    if fmt in ("dot", "svg", "png"):
        return _graph_dot(graph, status, sources=sources, rankdir=rankdir)
    if fmt == "json":
        return json_text(graph_json(graph, status))
    raise ValueError(f"unknown graph format {fmt!r}")


# -- explanations --------------------------------------------------------------

#: Cells shown per hop in text (``--json`` gives them all).
CELLS_SHOWN = 3


def _cell_text(name: str, settings: Any) -> str:
    shown = escape(name)
    if settings in ({}, None):
        return shown
    return f"{shown} {escape(json.dumps(settings, sort_keys=True, default=str))}"


def why_text(start: str, end: str, chains: Sequence[Sequence[Mapping[str, Any]]], more: bool) -> str:
    """The chains by which ``start`` uses ``end``, each hop with the cells that made it."""
    head = f"{escape(start)} uses {escape(end)} through {_count(len(chains), 'chain')}"
    lines = [head + (" (the first ones: --limit shows more)" if more else "") + ", shortest first:"]
    for hops in chains:
        names = [hops[0]["factory"], *(hop["target"] for hop in hops)]
        lines.append("  " + " -> ".join(escape(n, ">") for n in names))
        for hop in hops:
            edge = f"    {escape(hop['factory'], '>')} -> {escape(hop['target'], '>')}: "
            if hop["stale"]:
                lines.append(edge + f"{escape(hop['factory'])} fails now; the edge is as last recorded (no cells)")
            elif not hop["cells"]:
                lines.append(edge + "no cells recorded")
            for used in hop["cells"][:CELLS_SHOWN]:
                lines.append(edge + f"cell {_cell_text(used['cell'], used['settings'])}"
                             f" uses {_cell_text(used['uses'], used['uses_settings'])}")
            if len(hop["cells"]) > CELLS_SHOWN:
                lines.append(f"    ... and {len(hop['cells']) - CELLS_SHOWN} more cells (--json lists them)")
    return "\n".join(lines) + "\n"
