"""Stress: the registry under concurrent writers and readers, writers killed mid-call, builds interrupted.

Selected by the ``stress`` marker (left out of the normal run); ``TESSARO_STRESS`` picks the size: ``small`` (the
default, CI) or ``full`` (``./dev stress``). The file is also the worker the tests start: ``python test_stress.py
writer|reader|killed ...``."""

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
from collections import Counter
from contextlib import closing
from pathlib import Path

import pytest

pytestmark = pytest.mark.stress

SIZES = {  # writers, readers, seconds | sources, factories per source, kills | builds interrupted
    "small": dict(writers=2, readers=2, seconds=3.0, sources=3, per_source=1000, kills=6, interrupts=10),
    "full": dict(writers=3, readers=3, seconds=30.0, sources=4, per_source=5000, kills=40, interrupts=120),
}
SIZE = SIZES[os.environ.get("TESSARO_STRESS", "small")]
RNG = random.Random(os.environ.get("TESSARO_STRESS_SEED", time.time_ns()))
NAME = re.compile(r"[^.]+\.g(\d+)\.(\d+)of(\d+)")


# -- the sets the workers write and read -------------------------------------------------


def write(db, source: str, gen: int, base: int, old: list[str], components: bool) -> list[str]:
    """Replace a source's set ``old`` by generation ``gen`` (three components per factory, if asked); its names."""
    from tessaro.models import ComponentRecord, FactoryRecord

    n = base + (gen * 7919) % max(1, base // 2)  # sizes change from one generation to the next: a partial set shows
    names = [f"{source}.g{gen}.{k}of{n}" for k in range(n)]
    db.update_factories([FactoryRecord(name=x, source=f"{source}.py", status="SUCCESS") for x in names], old)
    if components:
        db.add_components(*(ComponentRecord(name=f"{x}.c{j}", factory_name=x) for x in names for j in range(3)))
    return names


def generation(names: list[str]) -> int | None:
    """The one complete generation ``names`` holds (None for no names); AssertionError for a mixed or partial set."""
    if not names:
        return None
    parsed = [tuple(map(int, m.groups())) for m in map(NAME.fullmatch, names) if m]
    assert len(parsed) == len(names), names
    gens = {gen for gen, _, _ in parsed}
    assert len(gens) == 1, f"generations mixed: {sorted(gens)}"
    assert sorted(k for _, k, _ in parsed) == list(range(parsed[0][2])), f"partial set: {len(names)} of {parsed[0][2]}"
    return gens.pop()


def by_source(pairs) -> dict[str, list[str]]:
    """Factory names by source (its file name's stem), from (name, source) pairs."""
    found: dict[str, list[str]] = {}
    for name, source in pairs:
        found.setdefault(Path(source).stem, []).append(name)
    return found


def stored(db, sources: list[str]) -> dict[str, list[str]]:
    return {Path(k).stem: v for k, v in db.get_factories_by_source(*(f"{s}.py" for s in sources)).items()}


def worker(kind: str, sources: list[str], *args: str) -> dict[str, int]:
    """A reader reads the sets, by source and all at once, for the time given: every set must be one whole generation,
    never older than the last seen. A writer replaces each source's set by the next generation in turn, for the time
    given; a killed one, with components, until it is killed."""
    import tessaro.core.database as db

    seen = {s: (generation(names) or 0, names) for s, names in stored(db, sources).items()}
    print("ready", flush=True)
    count, end = 0, time.monotonic() + (float(args[-1]) if kind != "killed" else float("inf"))
    while time.monotonic() < end:
        count += 1
        if kind == "reader":
            sets = stored(db, sources) if count % 2 else by_source(
                (n, r.source) for n, r in db.get_all_factories().items())
            for source in sources:
                gen = generation(sets.get(source, []))
                assert gen is not None and gen >= seen[source][0], f"{source}: generation {gen} after {seen[source][0]}"
                seen[source] = gen, []
        else:
            for source in sources:
                gen = seen[source][0] + 1
                seen[source] = gen, write(db, source, gen, int(args[0]), seen[source][1], kind == "killed")
    return {"reads" if kind == "reader" else "writes": count}


def spawn(command: list[str], cwd: Path | str, env: dict[str, str] | None = None) -> subprocess.Popen:
    return subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def start(kind: str, *args: object) -> subprocess.Popen:
    """Start a worker in the project (see conftest), where the sources are, and wait until it is ready."""
    proc = spawn([sys.executable, __file__, kind, *map(str, args)], os.environ["TESSARO_PROJECT_DIR"])
    line = proc.stdout.readline() if proc.stdout else ""
    assert line == "ready\n", line + proc.communicate()[1]
    return proc


def dump(path: Path) -> dict[str, list[tuple]]:
    """Every table and index of a registry that passes its integrity check, rows sorted, without the timestamps the
    database sets and the build times the command records."""
    with closing(sqlite3.connect(path)) as conn:
        assert conn.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
        tables = {"sqlite_master": sorted(conn.execute("SELECT type, name, sql FROM sqlite_master"))}
        for kind, name, _sql in tables["sqlite_master"]:
            if kind == "table":
                columns = [c for _, c, *_ in conn.execute(f"PRAGMA table_info({name})") if c != "last_updated"]
                rows = conn.execute(f"SELECT {', '.join(columns)} FROM {name}")
                tables[name] = sorted((r for r in rows if name != "tessaro_state" or r[0] != "time"), key=repr)
    return tables


# -- the tests -----------------------------------------------------------------------


def test_readers_see_whole_generations(db, db_file):
    """Writers replace whole sets with update_factories while readers read them: never a mixed or partial set."""
    groups = [[f"w{w}s{s}" for s in range(2)] for w in range(SIZE["writers"])]
    everything = [s for group in groups for s in group]
    for source in everything:
        write(db, source, 0, 60, [], components=False)
    procs = [start("reader", ",".join(everything), SIZE["seconds"]) for _ in range(SIZE["readers"])]
    procs += [start("writer", ",".join(group), 60, SIZE["seconds"]) for group in groups]
    counts: Counter[str] = Counter()
    for proc in procs:
        out, err = proc.communicate(timeout=SIZE["seconds"] + 60)
        assert proc.returncode == 0, err
        counts.update(json.loads(out))
    assert counts["reads"] > 10 and counts["writes"] > 10, counts
    dump(db_file)


def test_kill_during_large_writes(db, db_file):
    """kill -9 of a writer in the middle of large update_factories / add_components calls loses nothing committed
    and leaves no half of a call: every source holds one whole generation, with all its components or none."""
    base, sources = SIZE["per_source"], [f"s{k}" for k in range(SIZE["sources"])]
    for source in sources:
        write(db, source, 0, base, [], components=True)
    with closing(sqlite3.connect(db_file)) as conn:
        conn.execute("CREATE INDEX components_by_factory ON components (factory_name)")  # as the command line has it
    hot, journal = 0, db_file.with_name(db_file.name + "-journal")
    for round_ in range(SIZE["kills"]):
        proc = start("killed", ",".join(sources), base)
        if round_ % 2:  # any moment
            time.sleep(RNG.uniform(0, 1.5))
        else:  # a moment inside a write transaction: its rollback journal is there
            while not journal.exists():
                time.sleep(0.0005)
            time.sleep(RNG.uniform(0, 0.005))
        proc.kill()
        proc.communicate()
        hot += journal.exists()
        tables = dump(db_file)
        sets, owners = by_source(row[:2] for row in tables["factories"]), Counter(r[1] for r in tables["components"])
        assert sorted(sets) == sources
        for names in sets.values():
            generation(names)  # one whole generation
            assert {owners[n] for n in names} in ({0}, {3}), "components of a set half written"
        assert owners.keys() <= {row[0] for row in tables["factories"]}, "components of a removed factory left"
    assert hot, "no kill landed inside a write transaction"


def build(root: Path) -> subprocess.Popen:
    """``tessaro build`` of the project, once it imports the sources (the constants module touches a marker file).
    Not before: a signal during Python's start-up or the command line's own imports ends it with a traceback."""
    marker = root.parent / "imported"
    marker.unlink(missing_ok=True)
    env = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}  # the project is the folder
    proc, deadline = spawn([str(Path(sys.executable).with_name("tessaro")), "build"], root, env), time.monotonic() + 60
    while not marker.exists() and proc.poll() is None:
        assert time.monotonic() < deadline
        time.sleep(0.0005)
    return proc


@pytest.fixture(scope="module")
def interrupted_project(tmp_path_factory):
    """A generated project built once, then edited so that the next build rebuilds everything: the project, its
    registry before that build (a file to copy back), the tables of that registry and of the one the build leaves,
    and how long the build ran once it imported the sources."""
    from projectgen import generate

    root = tmp_path_factory.mktemp("interrupt") / "project"
    generate(root, factories=300, tiers=3, per_file=10)
    tech, before = root / "tech.py", root.parent / "before.db"
    tech.write_text(tech.read_text() + f"open({str(root.parent / 'imported')!r}, 'w').close()\n")
    out, err = build(root).communicate()
    assert "1 failed" in out, err  # the generated project has one failing factory
    before.write_bytes((root / "build" / "tessaro.db").read_bytes())
    tech.write_text(tech.read_text().replace("WIDTH = 0.5", "WIDTH = 0.6"))
    proc, started = build(root), time.monotonic()
    out, err = proc.communicate()
    took = time.monotonic() - started
    assert "304 factories rebuilt" in out, out + err
    after = dump(root / "build" / "tessaro.db")
    assert after != dump(before)
    return root, before, dump(before), after, took


def test_interrupted_build(interrupted_project):
    """Ctrl-C at random moments of a build: the registry is the one before it or the one after a whole build
    (every table and the command line's state), the command exits 130 with one line, no staging file stays."""
    root, before_file, before, after, took = interrupted_project
    live = root / "build" / "tessaro.db"
    for round_ in range(SIZE["interrupts"]):
        live.write_bytes(before_file.read_bytes())
        proc = build(root)
        if round_ % 3 == 2:  # while it writes: from the moment its staging copy appears
            while not list(live.parent.glob(".*staging*")) and proc.poll() is None:
                time.sleep(0.0005)
            time.sleep(RNG.uniform(0, took / 2))
        else:
            time.sleep(RNG.uniform(0 if round_ % 3 else took / 2, took * 1.1))
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        tables = dump(live)
        assert tables in (before, after), f"exit {proc.returncode}: {err}"
        assert [p.name for p in live.parent.iterdir() if "staging" in p.name or p.name.endswith(("-journal", "-wal"))] \
            == []
        if "304 factories rebuilt" in out:
            # It finished and printed its summary before the signal took effect: exit 1 (its failing factory),
            # 130 (caught on the way out), or ended by the signal while Python shut down, which may print
            # its own "Exception ignored" lines.
            assert proc.returncode in (1, 130, -signal.SIGINT) and tables == after, err
        else:
            assert proc.returncode == 130, err
            assert len(err.splitlines()) == 1 and err.startswith("tessaro: error: interrupted"), err
            assert tables == after or live.read_bytes() == before_file.read_bytes()  # as before: not written at all


if __name__ == "__main__":
    print(json.dumps(worker(sys.argv[1], sys.argv[2].split(","), *sys.argv[3:])), flush=True)
