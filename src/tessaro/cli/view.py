"""``tessaro view``: the dependency graph as an interactive page, written to one file or served.

The page is one self-contained HTML file: its script and style (``page/``)
and the registry's data are inlined, nothing is fetched. The layout is worked
out here, with igraph's layered (Sugiyama) layout, at two levels: the source
files (groups), and every factory. The page keeps each item's layer and
place in its layer and packs the visible ones itself, so expanding a group,
focusing or hiding lays out only what is shown, without a layout engine in
the browser.

Served (``tessaro view`` without ``-o``, ``tessaro watch --serve``), the page
listens on ``/events`` (Server-Sent Events) and redraws when a build pushes
new data, keeping what the user looks at.
"""

from __future__ import annotations

import base64
import hashlib
import json
import re
import threading
from collections.abc import Callable, Iterable, Mapping
from importlib.resources import files
from pathlib import Path
from typing import Any

from tessaro.cli.errors import CliError

__all__ = ["PageServer", "page_data", "page_html"]

_DEF = re.compile(r"^[ \t]*(?:async[ \t]+)?def[ \t]+(\w+)", re.MULTILINE)


def page_data(query: Any, *, summary: str | None = None, initial: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """What the page shows: the registry as last built (``query`` is a command's ``_Query``), laid out.

    It carries what the page needs to answer "what does a change to FILE affect"
    as ``tessaro affected`` does: the imports between project files, the
    factories each file touches directly, and the rebuild order.
    """
    from tessaro.cli.explain import edge_cells
    from tessaro.cli.registry import read_snapshot, read_tables

    project, records = query.project, query.records
    graph = query.graph()
    snap = read_snapshot(project.db_path, cells=True)
    tables = read_tables(project.db_path)
    names = sorted(records)
    index = {name: i for i, name in enumerate(names)}
    sources = sorted({str(records[n].source) for n in names})
    file_index = {path: i for i, path in enumerate(sources)}
    edges = [(index[a], index[b]) for a, b in graph.edges() if a in index and b in index]
    # Every stored cell once, as (name, its settings as stored); factories and edges refer to them by place.
    rows = sorted(tables.components.values(), key=lambda row: row[0])
    cell_index = {row[0]: k for k, row in enumerate(rows)}
    cells_of: dict[str, list[int]] = {}
    for k, row in enumerate(rows):
        cells_of.setdefault(row[1], []).append(k)
    why = edge_cells(snap.uses, tables.components)
    models = {row[0]: row for row in tables.models.values()}
    lines = _definition_lines(project.root, sources)
    order, cycles = graph.rebuild_order(names)
    position = {name: i for i, name in enumerate(order)}
    cycle_of = {name: k for k, group in enumerate(cycles) for name in group}
    node_layers, node_x = _layered([index[n] for n in names], edges)
    file_edges = {(file_index[str(records[names[a]].source)], file_index[str(records[names[b]].source)])
                  for a, b in edges}
    file_layers, file_x = _layered(list(range(len(sources))), sorted((a, b) for a, b in file_edges if a != b))
    factories = []
    for name in names:
        rec = records[name]
        note = snap.notes.get(name)
        model = models.get(name) if rec.has_model else None
        factories.append({
            "name": name, "file": file_index[str(rec.source)], "line": lines.get((str(rec.source), name)),
            "status": rec.status, "message": rec.message, "where": note.where if note is not None else None,
            "stale": name in graph.stale, "settings": rec.default_settings, "updated": rec.last_updated,
            "cells": cells_of.get(name, []),
            "model": None if model is None else {"status": model[4], "pdk_type": model[3], "settings": model[1],
                                                 "message": model[5], "source": model[2]},
            "order": position.get(name), "cycle": cycle_of.get(name),
            "layer": node_layers[index[name]], "x": node_x[index[name]],
        })
    return {
        "project": str(project.root),
        "summary": summary,
        "files": [{"path": path, "layer": file_layers[i], "x": file_x[i]} for i, path in enumerate(sources)],
        "imports": {rel: state.imports for rel, state in snap.files.items()},
        # file -> the factories it touches directly: those it defines, those whose build read or imported it
        "touches": {rel: sorted(names) for rel, names in _touches(snap, index).items()},
        "factories": factories,
        "cells": [[row[0], row[3]] for row in rows],
        # [user, used, the cells behind the edge as pairs (cell of the user, cell it uses) flattened]
        "edges": [[a, b, [cell_index[k] for entry in why.get((names[a], names[b]), ())
                          for k in (entry["cell"], entry["uses"])]] for a, b in edges],
        "cycles": cycles,
        "initial": dict(initial or {}),
    }


def _touches(snap: Any, index: Mapping[str, int]) -> dict[str, set[int]]:
    found: dict[str, set[int]] = {}
    for rel, state in snap.files.items():
        found.setdefault(rel, set()).update(index[name] for name in state.defines if name in index)
    for name, read in snap.inputs.items():
        for rel in read if name in index else ():
            found.setdefault(rel, set()).add(index[name])
    return found


def _definition_lines(root: Path, sources: Iterable[str]) -> dict[tuple[str, str], int]:
    """(file, function name) -> the line of its first ``def`` in the file as it is now (read, never imported)."""
    found: dict[tuple[str, str], int] = {}
    for rel in sources:
        try:
            text = (root / rel).read_text(encoding="utf-8", errors="replace")
        except OSError:
            continue
        for match in _DEF.finditer(text):
            found.setdefault((rel, match.group(1)), text.count("\n", 0, match.start()) + 1)
    return found


def _layered(nodes: list[int], edges: list[tuple[int, int]]) -> tuple[list[int], list[float]]:
    """Layer and horizontal place of each node (0..n-1) of a directed graph; an edge's head is drawn lower.

    The factories of a cycle share a layer (the graph's strongly connected
    components are layered as one), and igraph orders each layer to reduce
    crossings.
    """
    import igraph

    n = len(nodes)
    if n == 0:
        return [], []
    graph = igraph.Graph(n=n, edges=edges, directed=True)
    member = graph.connected_components(mode="strong").membership
    condensed = graph.copy()
    condensed.contract_vertices(member, combine_attrs=None)
    condensed.simplify(loops=True, multiple=True)
    depth = [0] * condensed.vcount()
    for vertex in condensed.topological_sorting(mode="out"):
        for below in condensed.successors(vertex):
            depth[below] = max(depth[below], depth[vertex] + 1)
    layers = [depth[member[v]] for v in range(n)]
    layout = graph.layout_sugiyama(layers=layers, maxiter=50)
    return layers, [round(float(xy[0]), 3) for xy in layout.coords[:n]]


# -- the page -------------------------------------------------------------------


def _asset(name: str) -> str:
    return (files("tessaro.cli") / "page" / name).read_text(encoding="utf-8")


def data_json(data: Mapping[str, Any]) -> str:
    """JSON safe to inline in a ``<script>`` element (no ``<``, ``>`` or ``&`` can end or open markup)."""
    text = json.dumps(data, separators=(",", ":"), default=str, ensure_ascii=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026").replace("\u2028", "\\u2028") \
        .replace("\u2029", "\\u2029")


def page_html(data: Mapping[str, Any]) -> str:
    """The self-contained page. Its content security policy allows its own script alone (by hash) and no fetches
    but the live updates of its own server."""
    script = _asset("view.js")
    digest = base64.b64encode(hashlib.sha256(script.encode("utf-8")).digest()).decode("ascii")
    policy = (f"default-src 'none'; script-src 'sha256-{digest}'; style-src 'unsafe-inline'; "
              "connect-src 'self'; img-src data:")
    title = Path(str(data.get("project", ""))).name or "tessaro"
    parts = {"POLICY": policy, "TITLE": _escape(f"{title} — tessaro view"), "STYLE": _asset("view.css"),
             "DATA": data_json(data), "SCRIPT": script}
    # One pass: what is put in is never searched again.
    return re.sub(r"@@([A-Z]+)@@", lambda match: parts[match.group(1)], _asset("view.html"))


def _escape(text: str) -> str:
    import html

    return html.escape(text, quote=True)


# -- serving ----------------------------------------------------------------------


class PageServer:
    """The page on a local address, and its live updates (Server-Sent Events on ``/events``)."""

    def __init__(self, host: str, port: int, data: Mapping[str, Any]) -> None:
        import http.server

        self._changed = threading.Condition()
        self._version = 0
        self._html = page_html(data).encode("utf-8")
        self._update = b""
        self._closed = False
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self) -> None:  # noqa: N802 (the standard library's name)
                path = self.path.split("?", 1)[0]
                if path == "/":
                    self._send(200, "text/html; charset=utf-8", server._html)
                elif path == "/events":
                    self._events()
                else:
                    self._send(404, "text/plain; charset=utf-8", b"not found\n")

            def _send(self, status: int, kind: str, body: bytes) -> None:
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)

            def _events(self) -> None:
                self.send_response(200)
                self.send_header("Content-Type", "text/event-stream")
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                seen = server._version

                def news() -> bool:
                    return server._version != seen or server._closed

                try:
                    self.wfile.write(b": connected\n\n")
                    self.wfile.flush()
                    while True:
                        with server._changed:
                            server._changed.wait_for(news, timeout=15)
                            if server._closed:
                                return
                            message = server._update if server._version != seen else b": still here\n\n"
                            seen = server._version
                        self.wfile.write(message)
                        self.wfile.flush()
                except (BrokenPipeError, ConnectionResetError):
                    return

            def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 (the standard library's name)
                pass  # no line per request

        try:
            self.httpd = http.server.ThreadingHTTPServer((host, port), Handler)
        except OSError as exc:
            raise CliError(f"cannot serve the page on {host}:{port}: {exc.strerror or exc}"
                           " (give another --port or --host)") from None
        self.httpd.daemon_threads = True
        self.httpd.block_on_close = False

    @property
    def url(self) -> str:
        host, port = self.httpd.server_address[:2]
        host = host.decode() if isinstance(host, bytes) else str(host)
        shown = f"[{host}]" if ":" in host else host
        return f"http://{shown}:{port}/"

    def publish(self, data: Mapping[str, Any]) -> None:
        """Serve ``data`` from now on and push it to every open page."""
        html = page_html(data).encode("utf-8")
        update = b"event: update\ndata: " + data_json(data).encode("utf-8") + b"\n\n"
        with self._changed:
            self._html, self._update = html, update
            self._version += 1
            self._changed.notify_all()

    def start(self) -> None:
        threading.Thread(target=self.httpd.serve_forever, name="tessaro-view", daemon=True).start()

    def close(self) -> None:
        with self._changed:
            self._closed = True
            self._changed.notify_all()
        self.httpd.shutdown()
        self.httpd.server_close()


def open_browser(url: str, note: Callable[[str], None]) -> None:
    import webbrowser

    try:
        opened = webbrowser.open(url)
    except webbrowser.Error:
        opened = False
    if not opened:
        note(f"no browser to open here: open {url} yourself")
