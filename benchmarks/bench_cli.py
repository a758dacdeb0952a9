"""Benchmark: the tessaro command on a generated project (720 factories by default).

Each command runs as a user runs it, a new process each time; the figure is
the median wall time of several runs. Queries are compared with
``tessaro factories --json``, builds with ``tessaro build --all``, and
``tessaro watch`` is timed from a save to its report.

Run with ``./dev bench`` (or ``python benchmarks/bench_cli.py --factories 360``).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from projectgen import generate  # noqa: E402

ENV = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}


def tessaro(root: Path, *args: str) -> float:
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "tessaro", *args], cwd=root, env=ENV, capture_output=True)
    elapsed = time.perf_counter() - start
    if done.returncode not in (0, 1):
        raise SystemExit(f"tessaro {' '.join(args)} failed: {done.stderr.decode()}")
    return elapsed


def median(root: Path, runs: int, *args: str, before=None) -> float:
    times = []
    for i in range(runs):
        if before is not None:
            before(i)
        times.append(tessaro(root, *args))
    return statistics.median(times)


def watch_latency(root: Path, path: Path, runs: int) -> float:
    """Seconds from a save to the line that reports its build."""
    watch = subprocess.Popen([sys.executable, "-m", "tessaro", "watch", "--json"], cwd=root, env=ENV,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert watch.stdout is not None

    def until(event: str) -> None:
        while json.loads(watch.stdout.readline() or '{"event": "gone"}')["event"] not in (event, "gone"):
            pass

    times = []
    try:
        until("watching")
        for i in range(runs):
            path.write_text(path.read_text().replace("length: int = 10", f"length: int = {20 + i}", 1))
            start = time.perf_counter()
            until("built")
            times.append(time.perf_counter() - start)
            until("watching")
            path.write_text(path.read_text().replace(f"length: int = {20 + i}", "length: int = 10", 1))
            until("built")
            until("watching")
    finally:
        watch.send_signal(2)
        watch.wait(30)
    return statistics.median(times)


def worker_start(root: Path, runs: int) -> float:
    """Seconds to start a build worker, have it import nothing and stop (what every build that runs code pays)."""
    from tessaro.cli.project import Project
    from tessaro.cli.worker import BuildWorker, reap

    project = Project(root=root, sources_setting=("cells",), sources_configured=True)
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        with BuildWorker(project, [str(root)]) as worker:
            worker.import_sources([])
        times.append(time.perf_counter() - start)
        reap()  # it ends on its own, as in a build
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--factories", type=int, default=720)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder) / "project"
        generate(root, factories=args.factories, tiers=4, per_file=12)
        tessaro(root, "build")
        top = sorted((root / "cells").glob("t3_*.py"))[-1]  # used by no other; imports a dozen files
        leaf = "t0f001"

        extras = root / "cells" / "extras.py"  # imports one other source; its factories are used by no other file
        down = subprocess.run([sys.executable, "-m", "tessaro", "graph", "t3f000", "--down", "--json"], cwd=root,
                              env=ENV, capture_output=True, check=True).stdout
        used = sorted(n["name"] for n in json.loads(down)["nodes"] if n["name"].startswith("t0"))[0]

        def edit(path: Path):
            return lambda i: path.write_text(path.read_text() + f"\n# edit {i}\n")

        rows = [
            ("factories --json", median(root, args.runs, "factories", "--json")),
            ("show FACTORY", median(root, args.runs, "show", leaf)),
            ("graph", median(root, args.runs, "graph")),
            ("graph FACTORY --depth 2", median(root, args.runs, "graph", leaf, "--depth", "2")),
            ("affected FILE", median(root, args.runs, "affected", "cells/t0_00.py")),
            ("affected FILE --json", median(root, args.runs, "affected", "cells/t0_00.py", "--json")),
            ("why FACTORY USED --all", median(root, args.runs, "why", "t3f000", used, "--all")),
            ("build (nothing changed)", median(root, args.runs, "build")),
            ("build (top file edited)", median(root, args.runs, "build", before=edit(top))),
            ("build (small file edited)", median(root, args.runs, "build", before=edit(extras))),
            ("build --all", median(root, args.runs, "build", "--all")),
        ]
        watch = watch_latency(root, top, args.runs)
        start = worker_start(root, args.runs)
    base = dict(rows)["factories --json"]
    full = dict(rows)["build --all"]
    print(f"{args.factories} factories; median of {args.runs} runs, wall time")
    print(f"{'command':28} {'seconds':>8}  ratio")
    for name, seconds in rows:
        edited = name.endswith("edited)")
        ratio = seconds / (full if edited else base)
        against = "build --all" if edited else "factories --json"
        print(f"{name:28} {seconds:8.3f}  {ratio:4.2f}x {against}")
    print(f"{'watch: save to report':28} {watch:8.3f}")
    print(f"{'build worker start':28} {start:8.3f}")


if __name__ == "__main__":
    main()
