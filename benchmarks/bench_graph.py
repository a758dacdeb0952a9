"""Benchmark: the runtime dependency graph over a generated layout.

A few hundred factories in tiers, each built with several settings, whose
cells place cells of the tier below: a few thousand live cells.  The graph is
then built over all factories, twice:

- with in-memory lookups standing in for the component registry, which shows
  the module's own cost (one walk of the live registry per visited factory,
  the parent/child reads and the graph);
- with the real registry (factories added, cells synced).

Run with ``./dev bench [--factories N] [--variants N] [--places N] ...``.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace


def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--factories", type=int, default=320, help="number of factories (default 320)")
    p.add_argument("--tiers", type=int, default=4, help="factories per tier = factories / tiers (default 4)")
    p.add_argument("--variants", type=int, default=8, help="cells built per factory (default 8)")
    p.add_argument("--places", type=int, default=3, help="placements per cell (default 3)")
    p.add_argument("--walks", type=int, default=50, help="repetitions of the single-walk measurement")
    p.add_argument("--seed", type=int, default=1)
    return p.parse_args()


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return result, time.perf_counter() - start


def build_layout(bl, args):
    """Factories f0000..; a cell of tier t places cells of tier t-1, half of
    them default-named (only those count as dependencies)."""
    rng = random.Random(args.seed)
    per_tier = max(1, args.factories // args.tiers)
    factories = []

    def make(k, placed):
        def body(c, size: int = 0):
            c.add_port("o1", width=1.0 + size)
            for j, variant in placed:
                c.place(factories[j](size=variant))

        body.__name__ = body.__qualname__ = f"f{k:04d}"
        return bl.cell(body)

    for k in range(args.factories):
        tier = k // per_tier
        below = range((tier - 1) * per_tier, tier * per_tier) if tier else range(0)
        placed = [(rng.choice(below), 0 if rng.random() < 0.5 else rng.randrange(1, args.variants))
                  for _ in range(args.places if tier else 0)]
        factories.append(make(k, placed))
    for factory in factories:
        for variant in range(args.variants):
            factory(size=variant)
    return [f.factory_name for f in factories]


def lookups(bl, names):
    """Work the algorithm implies for a graph over `names`: registry walks and
    factories lookups (one per parent or child cell of each component)."""
    cells = list(bl.kcl.tkcells.values())
    per_factory = {}
    for cell in cells:
        k = cell.kdb_cell
        per_factory[cell.factory_name] = per_factory.get(cell.factory_name, 0) + len(
            list(k.each_parent_cell())) + len(list(k.each_child_cell()))
    return sum(per_factory.get(n, 0) for n in names)


def fake_registry(db, bl):
    """In-memory component lookups over the live layout."""
    by_factory, owner = {}, {}
    for cell in bl.kcl.tkcells.values():
        by_factory.setdefault(cell.factory_name, []).append(SimpleNamespace(name=cell.name))
        owner[cell.name] = cell.factory_name
    for records in by_factory.values():
        records.sort(key=lambda r: r.name)
    records = {name: SimpleNamespace(name=name) for name in by_factory}

    def get_components_by_factories(*names):
        return {n: by_factory[n] for n in names if n in by_factory}

    def get_factories_by_components(*names):
        return {owner[n]: records[owner[n]] for n in names if n in owner}

    db.get_components_by_factories = get_components_by_factories
    db.get_factories_by_components = get_factories_by_components


def measure_graph(db, names, args, label):
    walk = [timed(db.get_runtime_factory_dependencies, "no-such-factory")[1] for _ in range(args.walks)]
    walk_s = sorted(walk)[len(walk) // 2]
    graph, wall = timed(db.get_runtime_factories_dependency_graph, *names)
    return {"label": label, "graph": graph, "wall": wall, "walk": walk_s, "walks": len(walk)}


def report(m, cells, n_lookups):
    g, visits = m["graph"], m["graph"].number_of_nodes()
    rest = max(0.0, m["wall"] - visits * m["walk"])
    print(f"  [{m['label']}]")
    print(f"    graph                {m['wall'] * 1e3:10.1f} ms   {visits} nodes, {g.number_of_edges()} edges")
    print(f"    walk + components    {m['walk'] * 1e6:10.1f} us   ({m['walk'] / cells * 1e9:.0f} ns per live cell;"
          f" one registry walk and one components lookup, median of {m['walks']})")
    print(f"    all visits           {visits * m['walk'] * 1e3:10.1f} ms   ({visits} visits)")
    print(f"    lookups and graph    {rest * 1e3:10.1f} ms   ({n_lookups} factories lookups,"
          f" {rest / max(1, n_lookups) * 1e6:.1f} us each)")


def main() -> int:
    args = parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        project = Path(tmp) / "proj"
        project.mkdir()
        os.environ["TESSARO_PROJECT_DIR"] = str(project)
        os.environ["TESSARO_DB_PATH"] = str(project / "build" / "tessaro.db")

        import brimlay as bl
        import tessaro.core.database as db
        from tessaro.models import FactoryRecord

        names, t_build = timed(build_layout, bl, args)
        cells = len(bl.kcl.tkcells)
        placements = sum(len(c.instances) for c in bl.kcl.tkcells.values())
        n_lookups = lookups(bl, names)
        print(f"layout: {len(names)} factories, {cells} cells, {placements} placements")
        print(f"  build                  {t_build * 1e3:10.1f} ms")

        real = {n: getattr(db, n) for n in ("get_components_by_factories", "get_factories_by_components")}
        fake_registry(db, bl)
        fake = measure_graph(db, names, args, "in-memory lookups")
        report(fake, cells, n_lookups)
        for n, f in real.items():
            setattr(db, n, f)

        records = [FactoryRecord(name=n, source=project / "cells.py") for n in names]
        _, t_add = timed(db.add_factories, *records)
        _, t_sync = timed(db.sync_from_kcl)
        print(f"  [registry] add factories {t_add * 1e3:.1f} ms, sync {t_sync * 1e3:.1f} ms")
        m = measure_graph(db, db.get_all_factory_names(), args, "registry")  # the default start set
        report(m, cells, n_lookups)
        # The in-memory lookups answer like the registry: same graph.
        same = set(m["graph"].edges) == set(fake["graph"].edges) and set(m["graph"]) == set(fake["graph"])
        print(f"    same graph as in-memory run: {same}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
