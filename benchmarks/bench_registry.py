"""Benchmark: removing many factories, and waiting for a locked registry.

1. Removal of N factories (3 components each) through ``update_factories([], names)``, in calls of at most
   5,000 names (as the command line batches them), with the index the command line creates on
   ``components (factory_name)`` and without it. Each name deletes its components with one statement:
   with the index a lookup, without it a scan of the whole components table, so the removal grows
   linearly with the index and quadratically without. Without the index a large case is time-boxed:
   the first call removes a few hundred names, and if the rest would overrun the budget it is
   extrapolated from that call (the scans' cost is proportional to the rows they pass over).
2. Lock waits: with the registry held by ``BEGIN EXCLUSIVE`` in another connection, one read and one
   write of the registry, each timed until it fails (the driver's 5 s busy time-out, once).

Run with ``.venv/bin/python benchmarks/bench_registry.py [--sizes 1000,8000,64000] [--budget S]``.
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys
import tempfile
import time
from collections.abc import Callable
from contextlib import closing
from pathlib import Path

BATCH = 5000  # names per call, as the command line sends them
PROBE = 500  # names of the first call without the index, to extrapolate from
INDEX = "CREATE INDEX components_by_factory ON components (factory_name)"


def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", default="1000,8000,64000", help="numbers of factories (default 1000,8000,64000)")
    p.add_argument("--budget", type=float, default=60.0,
                   help="seconds a removal without the index may take before it is extrapolated (default 60)")
    p.add_argument("--no-locks", action="store_true", help="skip the lock waits (they take 10 s)")
    return p.parse_args()


def fill(db, path: Path, n: int, *, index: bool) -> list[str]:
    """A registry of n factories with 3 components each (written directly: only the removal is measured)."""
    db.get_all_factory_names()  # the module's tables
    names = [f"f{k:06d}" for k in range(n)]
    with closing(sqlite3.connect(path)) as conn, conn:
        conn.executemany("INSERT INTO factories (name, source, status, message, default_settings, pdk_type)"
                         " VALUES (?, 'cells/gen.py', 'SUCCESS', '', '{}', 'generic')", ((name,) for name in names))
        conn.executemany("INSERT INTO components (name, factory_name, ports, settings, info) VALUES (?, ?, '[]',"
                         " '{}', '{}')", ((f"{name}_c{j}", name) for name in names for j in range(3)))
        if index:
            conn.execute(INDEX)
    return names


def scanned(n: int, start: int, stop: int) -> int:
    """Component rows the removals of names start..stop pass over without the index (3 per factory left)."""
    return sum(3 * (n - i) for i in range(start, stop))


def removal(db, path: Path, n: int, *, index: bool, budget: float) -> tuple[float, bool]:
    """Seconds to remove all n factories; True if extrapolated."""
    names = fill(db, path, n, index=index)
    done, elapsed = 0, 0.0
    if not index:
        done = min(PROBE, n)
        start = time.perf_counter()
        db.update_factories([], names[:done])
        elapsed = time.perf_counter() - start
        rest = elapsed / scanned(n, 0, done) * scanned(n, done, n)
        if elapsed + rest > budget:
            return elapsed + rest, True
    start = time.perf_counter()
    for at in range(done, n, BATCH):
        db.update_factories([], names[at:at + BATCH])
    elapsed += time.perf_counter() - start
    with closing(sqlite3.connect(path)) as conn:
        left = conn.execute("SELECT (SELECT count(*) FROM factories) + (SELECT count(*) FROM components)").fetchone()
    assert left == (0,), left
    return elapsed, False


def lock_wait(path: Path, call: Callable[[], object]) -> tuple[float, str]:
    """Seconds until ``call`` fails while another connection holds the registry exclusively, and how it failed."""
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    start = time.perf_counter()
    try:
        call()
        outcome = "returned (not locked out?)"
    except sqlite3.Error as exc:
        outcome = f"{type(exc).__name__}: {exc}"
    waited = time.perf_counter() - start
    holder.execute("ROLLBACK")
    holder.close()
    return waited, outcome


def main() -> None:
    args = parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        os.environ["TESSARO_PROJECT_DIR"] = str(root)
        import tessaro.core.database as db
        from tessaro.models import FactoryRecord

        print(f"removal through update_factories([], names): calls of at most {BATCH} names, 3 components each")
        print(f"{'factories':>10} {'with index':>12} {'per factory':>12} {'without index':>15} {'per factory':>12}")
        for n in sizes:
            times = []
            for index in (True, False):
                path = root / f"removal-{n}-{index}.db"
                os.environ["TESSARO_DB_PATH"] = str(path)
                times.append(removal(db, path, n, index=index, budget=args.budget))
                path.unlink()
            (with_index, _), (without, guessed) = times
            mark = "~" if guessed else ""
            print(f"{n:>10,} {with_index:>10.2f} s {with_index / n * 1e6:>9.1f} us "
                  f"{mark + format(without, '.2f'):>13} s {without / n * 1e6:>9.0f} us", flush=True)
        print(f"(~: extrapolated from the first call of {PROBE} names; budget {args.budget:.0f} s)")

        if args.no_locks:
            return
        path = root / "locked.db"
        os.environ["TESSARO_DB_PATH"] = str(path)
        fill(db, path, 100, index=True)
        record = FactoryRecord(name="extra", source=str(root / "cells" / "extra.py"))
        print("\nlock waits: the registry held by BEGIN EXCLUSIVE in another connection")
        for label, call in (("get_all_factories()", db.get_all_factories),
                            ("update_factories([record], ['f000001'])",
                             lambda: db.update_factories([record], ["f000001"]))):
            waited, outcome = lock_wait(path, call)
            print(f"  {label:<42} failed after {waited:5.2f} s  {outcome}", flush=True)
    print(f"\nPython {sys.version.split()[0]}, SQLite {sqlite3.sqlite_version}, {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
