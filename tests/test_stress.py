"""Stress: the registry under concurrent writers and readers, writers killed mid-call, builds interrupted.

Selected by the ``stress`` marker (left out of the normal run); ``TESSARO_STRESS`` picks the size:
``small`` (the default, CI) or ``full`` (``./dev stress``).

This file is also the worker that the tests start in subprocesses:
``python test_stress.py writer|reader|killed ...``.
"""

from __future__ import annotations

import json
import os
import random
import re
import signal
import sqlite3
import subprocess
import sys
import time
from contextlib import closing
from pathlib import Path

import pytest

pytestmark = pytest.mark.stress

SIZES = {
    # writers, readers, seconds | sources, factories per source, kills | builds interrupted
    "small": {"writers": 2, "readers": 2, "seconds": 3.0, "sources": 3, "per_source": 1000, "kills": 6,
              "interrupts": 10},
    "full": {"writers": 3, "readers": 3, "seconds": 30.0, "sources": 4, "per_source": 5000, "kills": 40,
             "interrupts": 120},
}
SIZE = SIZES[os.environ.get("TESSARO_STRESS", "small")]
NAME = re.compile(r"^(?P<source>[^.]+)\.g(?P<gen>\d+)\.(?P<k>\d+)of(?P<n>\d+)$")
CLEAN = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}


# -- the generations a writer writes -------------------------------------------------


def set_size(gen: int, base: int) -> int:
    """Sets change size from one generation to the next, so that a partial set shows."""
    return base + (gen * 7919) % max(1, base // 2)


def names_of(source: str, gen: int, base: int) -> list[str]:
    n = set_size(gen, base)
    return [f"{source}.g{gen}.{k}of{n}" for k in range(n)]


def factories_of(source: str, gen: int, base: int) -> list:
    from tessaro.models import FactoryRecord

    return [FactoryRecord(name=name, source=f"{source}.py", status="SUCCESS") for name in names_of(source, gen, base)]


def components_of(factories: list[str]) -> list:
    from tessaro.models import ComponentRecord

    return [ComponentRecord(name=f"{f}.c{j}", factory_name=f) for f in factories for j in range(3)]


def generation(names: list[str]) -> int | None:
    """The one complete generation ``names`` holds (None for no names); AssertionError for a mixed or partial set."""
    if not names:
        return None
    parsed = [(int(m["gen"]), int(m["k"]), int(m["n"])) for m in map(NAME.match, names) if m]
    assert len(parsed) == len(names), names
    gens = {gen for gen, _, _ in parsed}
    assert len(gens) == 1, f"generations mixed: {sorted(gens)}"
    n = parsed[0][2]
    assert sorted(k for _, k, _ in parsed) == list(range(n)), f"partial set: {len(names)} of {n}"
    return gens.pop()


def sources_of(all_factories: dict) -> dict[str, list[str]]:
    found: dict[str, list[str]] = {}
    for name, record in all_factories.items():
        found.setdefault(Path(record.source).stem, []).append(name)
    return found


# -- workers (run in subprocesses) ---------------------------------------------------


def current(db, sources: list[str]) -> dict[str, tuple[int, list[str]]]:
    found = db.get_factories_by_source(*(f"{s}.py" for s in sources))
    return {s: (generation(found[f"{s}.py"]) or 0, found[f"{s}.py"]) for s in sources}


def writer(sources: list[str], base: int, seconds: float, components: bool) -> dict:
    """Replace each source's set by the next generation, in turn, until the time is up (or forever)."""
    import tessaro.core.database as db

    state = current(db, sources)
    print("ready", flush=True)
    writes, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        for source in sources:
            gen, old = state[source]
            new = factories_of(source, gen + 1, base)
            db.update_factories(new, old)
            if components:
                db.add_components(*components_of([f.name for f in new]))
            state[source] = (gen + 1, [f.name for f in new])
            writes += 1
    return {"writes": writes}


def reader(sources: list[str], seconds: float) -> dict:
    """Read the sets, by source and all at once, until the time is up; every set must be one whole generation."""
    import tessaro.core.database as db

    print("ready", flush=True)
    seen = dict.fromkeys(sources, 0)
    reads, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        if reads % 2:
            by_source = {Path(k).stem: v for k, v in db.get_factories_by_source(*(f"{s}.py" for s in sources)).items()}
        else:
            by_source = sources_of(db.get_all_factories())
        for source in sources:
            gen = generation(by_source.get(source, []))
            assert gen is not None and gen >= seen[source], f"{source}: generation {gen} after {seen[source]}"
            seen[source] = gen
        reads += 1
    return {"reads": reads, "last": seen}


def worker_main(argv: list[str]) -> None:
    kind, sources = argv[0], argv[1].split(",")
    if kind == "reader":
        result = reader(sources, float(argv[2]))
    else:
        result = writer(sources, int(argv[2]), float(argv[3]) if kind == "writer" else float("inf"), kind == "killed")
    print(json.dumps(result), flush=True)


# -- helpers of the tests ------------------------------------------------------------


def start(kind: str, *args: object, env: dict[str, str]) -> subprocess.Popen:
    """Start a worker in the project folder (sources are relative to it) and wait until it is ready."""
    proc = subprocess.Popen([sys.executable, __file__, kind, *map(str, args)], env=env, cwd=env["TESSARO_PROJECT_DIR"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    line = proc.stdout.readline()
    assert line == "ready\n", line + proc.communicate()[1]
    return proc


def seed(db, sources: list[str], base: int, *, components: bool) -> dict[str, str]:
    """Generation 0 of every source; the environment a worker needs (the project's, see conftest)."""
    for source in sources:
        new = factories_of(source, 0, base)
        db.update_factories(new, [])
        if components:
            db.add_components(*components_of([f.name for f in new]))
    return dict(os.environ)


def connect(path: Path) -> closing[sqlite3.Connection]:
    return closing(sqlite3.connect(path))


def dump(path: Path) -> dict[str, list[tuple]]:
    """Every table and index of a registry, rows sorted, without the timestamps the database sets."""
    with connect(path) as conn:
        schema = sorted(conn.execute("SELECT type, name, sql FROM sqlite_master"))
        tables = {"sqlite_master": schema}
        for kind, name, _sql in schema:
            if kind != "table":
                continue
            columns = [row[1] for row in conn.execute(f"PRAGMA table_info({name})") if row[1] != "last_updated"]
            tables[name] = sorted(conn.execute(f"SELECT {', '.join(columns)} FROM {name}"), key=repr)
    return tables


def leftovers(folder: Path) -> list[str]:
    return sorted(p.name for p in folder.iterdir() if "staging" in p.name or p.name.endswith(("-journal", "-wal")))


# -- the tests -----------------------------------------------------------------------


def test_readers_see_whole_generations(db, db_file, capsys):
    """Writers replace whole sets with update_factories while readers read them: never a mixed or partial set."""
    writers, per = SIZE["writers"], 2
    sources = [[f"w{w}s{s}" for s in range(per)] for w in range(writers)]
    everything = [s for group in sources for s in group]
    env = seed(db, everything, 60, components=False)
    procs = [start("reader", ",".join(everything), SIZE["seconds"], env=env) for _ in range(SIZE["readers"])]
    procs += [start("writer", ",".join(group), 60, SIZE["seconds"], env=env) for group in sources]
    results = []
    for proc in procs:
        out, err = proc.communicate(timeout=SIZE["seconds"] + 60)
        assert proc.returncode == 0, err
        results.append(json.loads(out))
    reads = sum(r.get("reads", 0) for r in results)
    writes = sum(r.get("writes", 0) for r in results)
    assert reads > 10 and writes > 10, results
    with capsys.disabled():
        print(f"\n  {reads} reads while {writes} sets were replaced")
    with connect(db_file) as conn:
        assert conn.execute("PRAGMA integrity_check").fetchall() == [("ok",)]


def test_kill_during_large_writes(db, db_file, capsys):
    """kill -9 of a writer in the middle of large update_factories / add_components calls loses nothing committed
    and leaves no half of a call: every source holds one whole generation, with all its components or none."""
    rng = random.Random(os.environ.get("TESSARO_STRESS_SEED", time.time_ns()))
    base, sources = SIZE["per_source"], [f"s{k}" for k in range(SIZE["sources"])]
    env = seed(db, sources, base, components=True)
    with connect(db_file) as conn:
        conn.execute("CREATE INDEX components_by_factory ON components (factory_name)")  # as the command line has it
    hot, journal = 0, db_file.with_name(db_file.name + "-journal")
    for round_ in range(SIZE["kills"]):
        proc = start("killed", ",".join(sources), base, env=env)
        if round_ % 2:  # any moment
            time.sleep(rng.uniform(0, 1.5))
        else:  # a moment inside a write transaction: its rollback journal is there
            while not journal.exists():
                time.sleep(0.0005)
            time.sleep(rng.uniform(0, 0.005))
        proc.kill()
        proc.communicate()
        hot += journal.exists()
        with connect(db_file) as conn:
            assert conn.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
            rows = conn.execute("SELECT name, source FROM factories").fetchall()
            parts = conn.execute("SELECT factory_name, count(*) FROM components GROUP BY factory_name").fetchall()
        by_source: dict[str, list[str]] = {}
        for name, source in rows:
            by_source.setdefault(Path(source).stem, []).append(name)
        owners = dict(parts)
        assert sorted(by_source) == sources
        for names in by_source.values():
            generation(names)  # one whole generation
            assert {owners.get(n, 0) for n in names} in ({0}, {3}), "components of a set half written"
        assert set(owners) <= {name for name, _ in rows}, "components of a removed factory left"
    assert hot, "no kill landed inside a write transaction"
    with capsys.disabled():
        print(f"\n  {SIZE['kills']} writers killed, {hot} of them inside a write transaction (hot journal)")


@pytest.fixture(scope="module")
def interrupted_project(tmp_path_factory):
    """A generated project built once, then edited so that the next build rebuilds everything.

    Returns the project, its registry before the edit's build (a file to copy back), the tables of that
    registry and of the one a complete build leaves, and how long that build ran after it started importing
    the sources (the constants module touches a marker file when imported)."""
    from projectgen import generate

    root = tmp_path_factory.mktemp("interrupt") / "project"
    generate(root, factories=300, tiers=3, per_file=10)
    marker = root.parent / "imported"
    tech = root / "tech.py"
    tech.write_text(tech.read_text() + f"open({str(marker)!r}, 'w').close()\n")
    out, err = tessaro_build(root).communicate()
    assert "1 failed" in out, err  # the generated project has one failing factory
    before = root.parent / "before.db"
    before.write_bytes((root / "build" / "tessaro.db").read_bytes())
    tech.write_text(tech.read_text().replace("WIDTH = 0.5", "WIDTH = 0.6"))
    marker.unlink()
    proc = tessaro_build(root)
    wait_for(marker, proc)
    started = time.monotonic()
    out, err = proc.communicate()
    took = time.monotonic() - started
    assert "303 factories rebuilt" in out, out + err
    after = dump(root / "build" / "tessaro.db")
    assert after != dump(before)
    return root, before, dump(before), after, took


def wait_for(marker: Path, proc: subprocess.Popen) -> None:
    """Until the build imports the sources. Left out before that: a signal during Python's start-up or the
    command line's own imports ends the process with a traceback, before any registry work."""
    deadline = time.monotonic() + 60
    while not marker.exists() and proc.poll() is None:
        assert time.monotonic() < deadline
        time.sleep(0.0005)


def tessaro_build(root: Path) -> subprocess.Popen:
    command = [str(Path(sys.executable).with_name("tessaro")), "build"]
    return subprocess.Popen(command, cwd=root, env=CLEAN, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_interrupted_build(interrupted_project, capsys):
    """Ctrl-C at random moments of a build: the registry is the one before it or the one after a whole build
    (every table and the command line's state), the command exits 130 with one line, no staging file stays."""
    root, before_file, before, after, took = interrupted_project
    rng = random.Random(os.environ.get("TESSARO_STRESS_SEED", time.time_ns()))
    live, marker = root / "build" / "tessaro.db", root.parent / "imported"
    outcomes = {"before": 0, "after": 0, "finished": 0}
    for round_ in range(SIZE["interrupts"]):
        live.write_bytes(before_file.read_bytes())
        marker.unlink(missing_ok=True)
        proc = tessaro_build(root)
        wait_for(marker, proc)
        if round_ % 3 == 2:  # while it writes: from the moment its staging copy appears
            while not list(live.parent.glob(".*staging*")) and proc.poll() is None:
                time.sleep(0.0005)
            time.sleep(rng.uniform(0, took / 2))
        else:
            time.sleep(rng.uniform(0 if round_ % 3 else took / 2, took * 1.1))
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        tables = dump(live)
        assert tables in (before, after), f"exit {proc.returncode}: {err}"
        assert leftovers(live.parent) == []
        if "303 factories rebuilt" in out:
            # It finished and printed its summary before the signal took effect: exit 1 (its failing factory),
            # 130 (caught on the way out), or ended by the signal while Python shut down, which may print
            # its own "Exception ignored" lines.
            assert proc.returncode in (1, 130, -signal.SIGINT) and tables == after, err
            outcomes["finished"] += 1
            continue
        assert proc.returncode == 130, err
        assert len(err.splitlines()) == 1 and err.startswith("tessaro: error: interrupted"), err
        if tables == before:
            assert live.read_bytes() == before_file.read_bytes()  # not written at all
        outcomes["before" if tables == before else "after"] += 1
    with capsys.disabled():
        print(f"\n  {SIZE['interrupts']} builds interrupted: registry as before {outcomes['before']}, as after"
              f" {outcomes['after']}, finished first {outcomes['finished']}")


if __name__ == "__main__":
    worker_main(sys.argv[1:])
