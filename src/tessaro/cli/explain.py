"""Why one factory depends on another, or on a changed file: the explanation model.

Every edge A -> B of the factory graph was made by cells: a cell of A that
places (or whose build asked for) a cell of B. ``edge_cells`` finds those
cells for every edge from the build's record; ``why`` and the reasons of
``affected`` are chains of such hops, rendered by the command line.
"""

from __future__ import annotations

import json
from collections.abc import Collection, Iterable, Mapping, Sequence
from typing import Any

from tessaro.cli.depgraph import DepGraph, FileReason, closure, natural_key, reads

__all__ = ["Hop", "add_cells", "chain", "edge_cells", "file_hops", "reasons"]

#: One step of an explanation, as ``--json`` gives it. ``kind`` is one of:
#: "changed" (``file`` changed), "configuration" (``file``, the project's
#: configuration, changed), "given" (``factory`` was named as changed),
#: "imports" / "reads" (``file``, or the build of ``factory``, imports or reads
#: ``target``), "defines" (``file`` defines ``factory``) and "uses" (cells of
#: ``factory`` use cells of ``target``: ``cells``, see ``edge_cells``; ``stale``
#: when ``factory`` fails, so that its edges are as last recorded, without cells).
Hop = dict[str, Any]

# Positions in a stored component row: (name, factory_name, ports, settings, info).
_FACTORY, _SETTINGS = 1, 3


def _settings(text: Any) -> Any:
    if not isinstance(text, str):
        return text if text is not None else {}
    try:
        return json.loads(text)
    except ValueError:
        return text  # as stored: not JSON (written by something else)


def edge_cells(uses: Mapping[str, Sequence[str]], components: Mapping[str, tuple[Any, ...]], *,
               only: Collection[tuple[str, str]] | None = None) -> dict[tuple[str, str], list[dict[str, Any]]]:
    """Each factory edge (A, B) -> the cells of A that use cells of B, with their settings.

    ``uses`` maps a cell to the cells it places or asked for (the build's
    record), ``components`` a cell's name to its stored component row. Each
    entry reads ``{"cell", "settings", "uses", "uses_settings"}``; entries and
    edges are in natural order. Cells of no factory, and cells no longer
    stored, make no edge. A failing factory keeps no cells, so its edges (as
    last recorded, or asked for by its failed build) have none here. With
    ``only``, just those edges.
    """
    found: dict[tuple[str, str], list[dict[str, Any]]] = {}
    for cell, used in uses.items():
        row = components.get(cell)
        if row is None or not row[_FACTORY]:
            continue
        for other in dict.fromkeys(used):
            target = components.get(other)
            if target is None or not target[_FACTORY]:
                continue
            edge = (row[_FACTORY], target[_FACTORY])
            if only is not None and edge not in only:
                continue
            found.setdefault(edge, []).append({
                "cell": cell, "settings": _settings(row[_SETTINGS]),
                "uses": other, "uses_settings": _settings(target[_SETTINGS]),
            })
    for entries in found.values():
        entries.sort(key=lambda e: (natural_key(e["cell"]), natural_key(e["uses"])))
    return {edge: found[edge] for edge in sorted(found, key=lambda e: (natural_key(e[0]), natural_key(e[1])))}


def file_hops(name: str, reason: FileReason) -> list[Hop]:
    """How changed files reach factory ``name`` directly: from the changed file to ``name``."""
    files = reason.files
    if reason.kind == "config":
        return [{"kind": "configuration", "file": files[0]}]
    hops: list[Hop] = [{"kind": "changed", "file": files[0]}]
    hops += [{"kind": reads(before), "file": rel, "target": before}
             for before, rel in zip(files, files[1:], strict=False)]
    if reason.kind == "input":
        hops.append({"kind": reads(files[-1]), "factory": name, "target": files[-1]})
    else:
        hops.append({"kind": "defines", "file": files[-1], "factory": name})
    return hops


def _uses(user: str, used: str, graph: DepGraph) -> Hop:
    return {"kind": "uses", "factory": user, "target": used, "cells": [], "stale": user in graph.stale}


def chain(path: Sequence[str], graph: DepGraph) -> list[Hop]:
    """The hops of a chain of factories, each using the next (their cells: ``add_cells``)."""
    return [_uses(a, b, graph) for a, b in zip(path, path[1:], strict=False)]


def reasons(starts: Mapping[str, list[Hop]], graph: DepGraph) -> dict[str, list[Hop]]:
    """``starts`` (factory -> why it is touched) and every factory that uses one of them, with a shortest why.

    Chains share their hops (their cells: ``add_cells``).
    """
    found: dict[str, list[Hop]] = {}
    for name, used in closure(starts, graph.used_by).items():  # each after the factory it was reached from
        found[name] = starts[name] if used is None else [*found[used], _uses(name, used, graph)]
    return found


def add_cells(chains: Iterable[list[Hop]], uses: Mapping[str, Sequence[str]],
              components: Mapping[str, tuple[Any, ...]]) -> None:
    """Fill in the cells of every "uses" hop of ``chains`` (see ``edge_cells``)."""
    hops = [hop for hops in chains for hop in hops if hop["kind"] == "uses"]
    cells = edge_cells(uses, components, only={(hop["factory"], hop["target"]) for hop in hops})
    for hop in hops:
        hop["cells"] = cells.get((hop["factory"], hop["target"]), [])
