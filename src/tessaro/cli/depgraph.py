"""The recorded dependency graph: which factories use which, as the last build found it.

An edge A -> B means that A uses B (a cell of A places, or A's build asked
for, a cell of B). "What uses X" follows edges backwards, "what X uses"
forwards. networkx is imported only by the functions that need it.
"""

from __future__ import annotations

import re
from collections import deque
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from itertools import islice
from typing import Any

__all__ = ["DepGraph", "FileReason", "closure", "direct_factories", "importers", "natural_key"]

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


CONFIG = "pyproject.toml"


@dataclass(frozen=True)
class FileReason:
    """Why changed files touch a factory directly (not through the factories it uses).

    ``files`` runs from a changed file to the one that touches the factory,
    each file importing (or reading) the one before it. ``kind`` says how the
    last one touches it: "defines" (the factory is defined there), "input"
    (the factory's own build read or imported it) or "config" (the project's
    configuration changed, which touches every factory).
    """

    files: tuple[str, ...]
    kind: str

    @property
    def summary(self) -> str:
        if self.kind == "config":
            return "the configuration changed"
        if self.kind == "input":
            return f"its build {reads(self.files[-1])} {self.files[-1]}"
        if len(self.files) == 1:
            return "its file changed"
        return f"its file {reads(self.files[-2])} {self.files[-2]}"


def reads(rel: str) -> str:
    """How a project file is taken in: a Python module is imported, any other file read."""
    return "imports" if rel.endswith(".py") else "reads"


def direct_factories(changed: Iterable[str], snap: Any) -> dict[str, FileReason]:
    """The factories that changed project files touch directly, each with a shortest reason.

    ``changed`` are project-relative paths; ``snap`` is the last build's record
    (its ``files``: what each file imports or reads and the factories it
    defines; its ``inputs``: the files each factory's own build read or
    imported). A factory is touched when a changed file, or a file importing
    or reading one (at any depth), defines it or was read by its build; a
    changed configuration touches every factory. A name defined in several
    files is touched through any of them (which one owns it may change).
    """
    changed = list(dict.fromkeys(changed))
    found: dict[str, FileReason] = {}
    if CONFIG in changed:
        for state in snap.files.values():
            for name in state.defines:
                found.setdefault(name, FileReason((CONFIG,), "config"))
    via = closure(changed, importers(snap.files))
    chains: dict[str, tuple[str, ...]] = {}
    for rel, previous in via.items():  # breadth first: each chain is a shortest one
        chains[rel] = (*chains[previous], rel) if previous is not None else (rel,)
        state = snap.files.get(rel)
        for name in state.defines if state is not None else ():
            found.setdefault(name, FileReason(chains[rel], "defines"))
    for name, files in snap.inputs.items():
        reached = [chains[rel] for rel in files if rel in chains]
        if reached:
            shortest = min(reached, key=lambda chain: (len(chain), chain))
            if name not in found or len(shortest) < len(found[name].files):
                found[name] = FileReason(shortest, "input")
    return found


class DepGraph:
    """Factory -> the factories it uses, with the factories whose edges are stale (they failed)."""

    def __init__(self, uses: Mapping[str, Iterable[str]], stale: Iterable[str] = ()) -> None:
        self.uses = {name: sorted(set(children), key=natural_key) for name, children in uses.items()}
        self.used_by: dict[str, list[str]] = {name: [] for name in self.uses}
        for name, children in self.uses.items():
            for child in children:
                self.used_by.setdefault(child, []).append(name)
                self.uses.setdefault(child, [])
        for users in self.used_by.values():
            users.sort(key=natural_key)
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
        graph.add_nodes_from(keep)
        graph.add_edges_from((a, b) for a in keep for b in self.uses.get(a, ()) if b in keep)
        condensed = nx.condensation(graph)
        members = {node: sorted(condensed.nodes[node]["members"], key=natural_key) for node in condensed.nodes}
        # Edges turned around (used -> user): what is used comes first; ties by name, in natural order.
        ordered = list(nx.lexicographical_topological_sort(condensed.reverse(copy=False),
                                                           key=lambda node: natural_key(members[node][0])))
        order = [name for node in ordered for name in members[node]]
        cycles = [
            members[node] for node in ordered
            if len(members[node]) > 1 or graph.has_edge(members[node][0], members[node][0])
        ]
        return order, cycles

    def chains(self, start: str, end: str, *, every: bool = False, limit: int = 100) -> tuple[list[list[str]], bool]:
        """The chains of factories by which ``start`` uses ``end``, shortest first, and whether there are more.

        Only the shortest chains, or with ``every`` every simple one (no factory
        twice, except ``end`` when it is ``start``), at most ``limit`` of them.
        """
        import networkx as nx

        graph = nx.DiGraph()
        graph.add_edges_from((a, b) for a, children in self.uses.items() if a != end or a == start for b in children)
        # A stand-in for ``end`` reached only by its users: a chain ends the first time it reaches ``end``,
        # and a factory's chains to itself run from it back to it.
        goal = ("",)
        graph.add_edges_from((user, goal) for user in self.used_by.get(end, ()) if user != end or end == start)
        if start not in graph or goal not in graph:
            return [], False
        found = nx.shortest_simple_paths(graph, start, goal) if every else nx.all_shortest_paths(graph, start, goal)
        try:
            paths = [path[:-1] + [end] for path in islice(found, limit + 1)]
        except nx.NetworkXNoPath:
            return [], False
        paths.sort(key=lambda path: (len(path), [natural_key(n) for n in path]))
        return paths[:limit], len(paths) > limit

    def edges(self) -> list[tuple[str, str]]:
        return sorted(((a, b) for a, children in self.uses.items() for b in children),
                      key=lambda edge: (natural_key(edge[0]), natural_key(edge[1])))

    def nodes(self) -> list[str]:
        return sorted(self.uses, key=natural_key)
