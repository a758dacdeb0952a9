"""Benchmark: builds of a project whose factories cost real time (cell store, -j N, a Dask cluster).

A generated project (``costly.py``: 160 factories in 4 tiers, fan-out 2,
5 ms of CPU per cell, 400 cells by default) is built as a user builds it, a
new process each time (median of ``--runs``), and each figure is held to its
target. Parallel targets are a share of what a bare pool reaches on the same
work in the same run (the machine is shared and noisy): a bare 2-process
pool burning the same cells' work in the build's batches, and a bare Dask
cluster of two worker processes running the same batches. Last, the peak
memory of the command itself (not its workers) in ``build --all -j 2`` at
several project sizes, with factories that cost nothing.

Run with ``./dev bench scale`` (options: ``--runs 3 --cost 5 --memory 160,1600,16000 --no-cluster``).
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from costly import generate  # noqa: E402

ENV = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}
# The command in a process that reports its own peak memory (KiB) on its last line of stderr.
PEAK = ("import resource, sys\nfrom tessaro.cli import main\ncode = main(sys.argv[1:])\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)\nsys.exit(code)\n")


def tessaro(root: Path, *args: str) -> tuple[float, dict]:
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "tessaro", *args], cwd=root, env=ENV, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if done.returncode not in (0, 1):
        raise SystemExit(f"tessaro {' '.join(args)} failed: {done.stderr}")
    return elapsed, json.loads(done.stdout) if "--json" in args else {}


def median(runs: int, root: Path, *args: str, before=None) -> float:
    times = []
    for i in range(runs):
        if before is not None:
            before(i)
        times.append(tessaro(root, *args)[0])
    return statistics.median(times)


def burn(seconds: float) -> float:
    end = time.process_time() + seconds
    while time.process_time() < end:
        pass
    return seconds


def bare_pool(levels: list[list[float]], processes: int) -> float:
    """Seconds for a bare process pool to burn each level's batches, level after level."""
    with multiprocessing.get_context("fork").Pool(processes) as pool:
        pool.map(burn, [0.0] * processes)  # started before the clock
        start = time.perf_counter()
        for level in levels:
            pool.map(burn, level, chunksize=1)
        return time.perf_counter() - start


def bare_dask(client, levels: list[list[float]]) -> float:
    start = time.perf_counter()
    for level in levels:
        client.gather(client.map(burn, level, pure=False))
    return time.perf_counter() - start


def batches_by_level(root: Path, cost: float, jobs: int) -> list[list[float]]:
    """The batches a ``build --all -j N`` runs, level by level, as the CPU seconds of the cells each builds."""
    from tessaro.cli.engine import Engine
    from tessaro.cli.project import open_project
    from tessaro.cli.registry import read_snapshot, read_tables
    from tessaro.cli.schedule import levels, plan_batches

    engine = Engine(open_project(str(root)))
    tables, snap = read_tables(engine.project.db_path), read_snapshot(engine.project.db_path, cells=True)
    uses = {name: set(json.loads(row[7] or "[]")) for name, row in tables.factories.items()}
    owner = {name: row[1] for name, row in tables.factories.items()}
    # Each cell is built once, by the batch of the first factory that reaches it.
    cells_of = {name: [c for c, row in tables.components.items() if row[1] == name] for name in tables.factories}
    work = {name: cost * len(cells) for name, cells in cells_of.items()}
    batches = plan_batches(sorted(tables.factories), owner, uses, snap.times, jobs, split=True)
    level = levels(batches)
    found: list[list[float]] = [[] for _ in range(max(level) + 1)]
    for depth, batch in zip(level, batches, strict=True):
        found[depth].append(sum(work[name] for name, _ in batch.factories))
    return found


def peak_memory(factories: int) -> tuple[float, float]:
    """Seconds and the command's peak memory (MiB) of ``build --all -j 2`` at that size, factories costing nothing."""
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder) / "project"
        generate(root, factories=factories, per_file=20, cost_ms=0)
        start = time.perf_counter()
        done = subprocess.run([sys.executable, "-c", PEAK, "build", "--all", "-j", "2"], cwd=root, env=ENV,
                              capture_output=True, text=True)
        elapsed = time.perf_counter() - start
        if done.returncode not in (0, 1):
            raise SystemExit(f"build of {factories} factories failed: {done.stderr}")
        return elapsed, int(done.stderr.strip().splitlines()[-1]) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--factories", type=int, default=160)
    parser.add_argument("--cost", type=float, default=5.0, help="CPU milliseconds per cell")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--memory", default="160,1600,16000", help="project sizes for the peak memory ('' for none)")
    parser.add_argument("--no-cluster", action="store_true", help="skip the Dask figures")
    args = parser.parse_args()
    cost, runs = args.cost / 1000, args.runs
    rows: list[tuple[str, float, str]] = []
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder) / "project"
        files = generate(root, factories=args.factories, cost_ms=args.cost)
        tessaro(root, "build")
        total = len(tessaro(root, "factories", "--json")[1])

        def edit(rel: str):
            return lambda i: (root / rel).write_text((root / rel).read_text() + f"\n# edit {i}\n")

        quick = max(runs, 9)  # builds of a tenth of a second: more runs against the machine's moods
        nothing = median(quick, root, "build")
        edit(files["t0"][0])(-1)
        share = len(tessaro(root, "build", "-j", "1", "--json")[1]["factories"]) / total
        bottom = median(runs, root, "build", "-j", "1", before=edit(files["t0"][0]))
        top_file = files[f"t{max(int(t[1:]) for t in files)}"][-1]
        edit(top_file)(-1)
        edited = len(tessaro(root, "build", "-j", "1", "--json")[1]["factories"])
        top = median(quick, root, "build", "-j", "1", before=edit(top_file))
        levels = batches_by_level(root, cost, 2)
        serial = sum(sum(level) for level in levels)
        # The parallel figures and their bare counterparts in turns, so that they share the machine's moods.
        times: dict[str, list[float]] = {}
        for _ in range(runs):
            for jobs in (1, 2, 4):
                times.setdefault(f"j{jobs}", []).append(tessaro(root, "build", "--all", "-j", str(jobs))[0])
            for processes in (1, 2):
                times.setdefault(f"pool{processes}", []).append(bare_pool(levels, processes))
        full = {jobs: statistics.median(times[f"j{jobs}"]) for jobs in (1, 2, 4)}
        pool1, pool2 = statistics.median(times["pool1"]), statistics.median(times["pool2"])
        top_ideal = nothing + edited * cost
        bottom_ideal = nothing + share * full[1]
        rows += [
            ("build, nothing changed", nothing, ""),
            ("build --all -j 1", full[1], ""),
            ("build --all -j 2", full[2], f"speed-up {full[1] / full[2]:.2f}x"),
            ("build --all -j 4", full[4], f"speed-up {full[1] / full[4]:.2f}x"),
            ("bottom-tier file edited, -j 1", bottom,
             f"{bottom / bottom_ideal:.2f}x ideal ({share:.0%} rebuilt; target <= 1.3x)"),
            ("top-tier file edited, -j 1", top,
             f"{top / top_ideal:.2f}x ideal ({edited} rebuilt, ideal {top_ideal:.3f} s; target <= 1.5x)"),
            ("bare pool, 1 process", pool1, f"{serial:.2f} s of cells' work in {sum(map(len, levels))} batches"),
            ("bare pool, 2 processes", pool2, f"speed-up {pool1 / pool2:.2f}x; -j 2 reaches "
             f"{(full[1] / full[2]) / (pool1 / pool2):.0%} of it (target >= 85%)"),
        ]
        if not args.no_cluster:
            import distributed

            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                          dashboard_address=None) as cluster, distributed.Client(cluster) as client:
                client.gather(client.map(burn, [0.0, 0.0], pure=False))
                bare, built, alone = [], [], []
                for _ in range(runs):
                    bare.append(bare_dask(client, levels))
                    built.append(tessaro(root, "build", "--all", "--scheduler", cluster.scheduler_address)[0])
                    alone.append(tessaro(root, "build", "--all", "-j", "1")[0])
                dask_bare, dask, alone_median = map(statistics.median, (bare, built, alone))
            rows += [
                ("bare Dask cluster, 2 workers", dask_bare, f"speed-up {serial / dask_bare:.2f}x over the work"),
                ("build --all on it", dask, f"speed-up {alone_median / dask:.2f}x over -j 1 ({alone_median:.3f} s);"
                 f" reaches {(alone_median / dask) / (serial / dask_bare):.0%} of the bare cluster's (target >= 75%)"),
            ]
    print(f"{args.factories} factories, {args.cost:g} ms per cell; median of {runs} runs (of {max(runs, 9)} for"
          " the no-change and top-tier builds), wall time")
    print(f"{'build':32} {'seconds':>8}  notes")
    for name, seconds, note in rows:
        print(f"{name:32} {seconds:8.3f}  {note}")
    sizes = [int(n) for n in args.memory.split(",") if n]
    if sizes:
        print(f"\n{'factories':>9} {'build --all -j 2':>17} {'command peak memory':>20}")
        for n in sizes:
            seconds, mib = peak_memory(n)
            print(f"{n:9,} {seconds:15.2f} s {mib:17.1f} MiB")


if __name__ == "__main__":
    main()
