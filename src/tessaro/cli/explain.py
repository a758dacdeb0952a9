"""Why one factory depends on another, or on a changed file: the explanation model.

Every edge A -> B of the factory graph was made by cells: a cell of A that
places (or whose build asked for) a cell of B. ``edge_cells`` finds those
cells for every edge from the build's record; ``why`` and the reasons of
``affected`` are chains of such hops, rendered by the command line.
"""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from typing import Any

from tessaro.cli.depgraph import natural_key

__all__ = ["edge_cells"]

# Positions in a stored component row: (name, factory_name, ports, settings, info).
_FACTORY, _SETTINGS = 1, 3


def _settings(text: Any) -> Any:
    if not isinstance(text, str):
        return text if text is not None else {}
    try:
        return json.loads(text)
    except ValueError:
        return text  # as stored: not JSON (written by something else)


def edge_cells(uses: Mapping[str, Sequence[str]],
               components: Mapping[str, tuple[Any, ...]]) -> dict[tuple[str, str], list[dict[str, Any]]]:
    """Each factory edge (A, B) -> the cells of A that use cells of B, with their settings.

    ``uses`` maps a cell to the cells it places or asked for (the build's
    record), ``components`` a cell's name to its stored component row. Each
    entry reads ``{"cell", "settings", "uses", "uses_settings"}``; entries and
    edges are in natural order. Cells of no factory, and cells no longer
    stored, make no edge. A failing factory keeps no cells, so its edges (as
    last recorded, or asked for by its failed build) have none here.
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
            found.setdefault((row[_FACTORY], target[_FACTORY]), []).append({
                "cell": cell, "settings": _settings(row[_SETTINGS]),
                "uses": other, "uses_settings": _settings(target[_SETTINGS]),
            })
    for entries in found.values():
        entries.sort(key=lambda e: (natural_key(e["cell"]), natural_key(e["uses"])))
    return {edge: found[edge] for edge in sorted(found, key=lambda e: (natural_key(e[0]), natural_key(e[1])))}
