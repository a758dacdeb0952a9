"""The recorded dependency graph: which factories use which, as the last build found it.

An edge A -> B means that A uses B (a cell of A places, or A's build asked
for, a cell of B). "What uses X" follows edges backwards, "what X uses"
forwards. networkx is imported only by the functions that need it.
"""

from __future__ import annotations

import re
from collections import deque
from collections.abc import Iterable, Mapping
from typing import Any

__all__ = ["DepGraph", "closure", "importers", "natural_key"]

_DIGITS = re.compile(r"([0-9]+)")


def natural_key(name: str) -> tuple[tuple[Any, ...], str]:
    """Sort key putting ``gen_2`` before ``gen_10``: digit runs compare as numbers (ties: the text itself)."""
    parts = _DIGITS.split(name)
    return tuple(int(part) if i % 2 else part for i, part in enumerate(parts)), name


def closure(start: Iterable[str], step: Mapping[str, Iterable[str]]) -> dict[str, str | None]:
    """Everything reachable from ``start`` through ``step``, each with the node it was reached from (None: a start).

    Breadth first: following ``via`` back from a node gives a shortest way to it from a start.
    """
    via: dict[str, str | None] = dict.fromkeys(start)
    todo = deque(via)
    while todo:
        node = todo.popleft()
        for other in step.get(node, ()):
            if other not in via:
                via[other] = node
                todo.append(other)
    return via


def importers(files: Mapping[str, Any]) -> dict[str, set[str]]:
    """Project file -> the recorded files that import it (``files`` maps a file to its record)."""
    found: dict[str, set[str]] = {}
    for rel, state in files.items():
        for imported in state.imports:
            found.setdefault(imported, set()).add(rel)
    return found


class DepGraph:
    """Factory -> the factories it uses, with the factories whose edges are stale (they failed)."""

    def __init__(self, uses: Mapping[str, Iterable[str]], stale: Iterable[str] = ()) -> None:
        self.uses = {name: sorted(set(children)) for name, children in uses.items()}
        self.used_by: dict[str, list[str]] = {name: [] for name in self.uses}
        for name, children in self.uses.items():
            for child in children:
                self.used_by.setdefault(child, []).append(name)
                self.uses.setdefault(child, [])
        for users in self.used_by.values():
            users.sort()
        self.stale = set(stale)

    @classmethod
    def from_records(cls, records: Mapping[str, Any]) -> DepGraph:
        known = set(records)
        return cls(
            {name: [c for c in (rec.children or []) if c in known] for name, rec in records.items()},
            stale=[name for name, rec in records.items() if rec.status != "SUCCESS"],
        )

    def reach(self, start: Iterable[str], *, up: bool, depth: int | None = None) -> dict[str, int]:
        """Factories reachable from ``start`` (users if ``up``, else what they use), with their distance."""
        step = self.used_by if up else self.uses
        distance = {name: 0 for name in start}
        frontier = list(distance)
        level = 0
        while frontier and (depth is None or level < depth):
            level += 1
            following = []
            for name in frontier:
                for other in step.get(name, ()):
                    if other not in distance:
                        distance[other] = level
                        following.append(other)
            frontier = following
        return distance

    def subgraph(self, names: Iterable[str]) -> DepGraph:
        keep = set(names)
        return DepGraph({n: [c for c in self.uses.get(n, ()) if c in keep] for n in keep}, self.stale & keep)

    def rebuild_order(self, names: Iterable[str]) -> tuple[list[str], list[list[str]]]:
        """``names`` so that each comes after everything it uses, and the cycles among them.

        The factories of a cycle (they use each other, or one uses itself)
        cannot be ordered; they stay together, and the rest is still ordered.
        """
        import networkx as nx

        keep = set(names)
        graph = nx.DiGraph()
        graph.add_nodes_from(sorted(keep))
        graph.add_edges_from((a, b) for a in sorted(keep) for b in self.uses.get(a, ()) if b in keep)
        condensed = nx.condensation(graph)
        members = {node: sorted(condensed.nodes[node]["members"]) for node in condensed.nodes}
        # Edges turned around (used -> user): what is used comes first; ties by name.
        ordered = list(nx.lexicographical_topological_sort(condensed.reverse(copy=False),
                                                           key=lambda node: members[node][0]))
        order = [name for node in ordered for name in members[node]]
        cycles = [
            members[node] for node in ordered
            if len(members[node]) > 1 or graph.has_edge(members[node][0], members[node][0])
        ]
        return order, cycles

    def edges(self) -> list[tuple[str, str]]:
        return sorted((a, b) for a, children in self.uses.items() for b in children)

    def nodes(self) -> list[str]:
        return sorted(self.uses)
