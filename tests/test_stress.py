"""Stress: the registry under concurrent writers and readers, writers killed mid-call, builds interrupted, builds
and watch among other programs' commits and on a failing file system.

Selected by the ``stress`` marker (left out of the normal run); ``TESSARO_STRESS`` picks the size: ``small`` (the
default, CI) or ``full`` (``./dev stress``). The file is also the worker the tests start: ``python test_stress.py
writer|reader|killed|commit|fault ...``."""

from __future__ import annotations

import contextlib
import json
import os
import queue
import random
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from collections import Counter
from contextlib import closing
from pathlib import Path

import pytest

pytestmark = pytest.mark.stress

SIZES = {  # writers, readers, seconds | sources, factories per source, kills | builds interrupted | other commits
    "small": dict(writers=2, readers=2, seconds=3.0, sources=3, per_source=1000, kills=6, interrupts=10, commits=100),
    "full": dict(writers=3, readers=3, seconds=30.0, sources=4, per_source=5000, kills=40, interrupts=120,
                 commits=1000),
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


def start(kind: str, *args: object, cwd: Path | None = None) -> subprocess.Popen:
    """Start a worker in the project (see conftest), where the sources are, and wait until it is ready."""
    proc = spawn([sys.executable, __file__, kind, *map(str, args)], cwd or os.environ["TESSARO_PROJECT_DIR"])
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


# -- builds and watch among other programs, and on a file system that fails --------------------------------

TESSARO = [sys.executable, "-m", "tessaro"]
ENV = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}


def commit(db: str, count: str, hold: str) -> dict[str, int]:
    """Another program: ``count`` commits of rows of its own, in bursts with pauses between them; with ``hold`` > 0
    each burst is one transaction that keeps the write lock up to that many seconds (a long lock holder)."""
    rng, done = random.Random(os.getpid()), 0
    conn = sqlite3.connect(db, timeout=120, isolation_level=None)
    print("ready", flush=True)
    while done < int(count):
        if float(hold):
            conn.execute("BEGIN IMMEDIATE")
            time.sleep(rng.uniform(0, float(hold)))
        for _ in range(min(int(count) - done, rng.randint(1, 20))):
            conn.execute("INSERT INTO tessaro_state VALUES ('theirs', ?, '1')", (f"{os.getpid()}.{done}",))
            done += 1
        if conn.in_transaction:
            conn.execute("COMMIT")
        time.sleep(rng.uniform(0, 1.0))
    return {"commits": done}


class Events:
    """The events a ``watch --json`` prints, read as they come (its output never fills the pipe)."""

    def __init__(self, proc: subprocess.Popen, pid: int | None = None) -> None:
        self.proc, self.pid, self.lines, self.seen = proc, pid or proc.pid, queue.Queue[str | None](), list[dict]()
        threading.Thread(target=lambda: [*map(self.lines.put, proc.stdout or ()), self.lines.put(None)],
                         daemon=True).start()

    def until(self, event: str, timeout: float = 120) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            line = self.lines.get(timeout=max(0.1, deadline - time.monotonic()))
            assert line is not None, f"the watch ended: {self.proc.communicate()[1]}"
            self.seen.append(json.loads(line))
            if self.seen[-1]["event"] == event:
                return self.seen[-1]

    def stop(self) -> None:
        """SIGTERM ends the watch, with exit 0 and its goodbye."""
        os.kill(self.pid, signal.SIGTERM)
        self.until("stopped")
        assert self.proc.wait(timeout=60) == 0, self.proc.communicate()[1]
        self.proc.communicate()


@pytest.mark.parametrize("mode", ["wal", "delete"])
def test_builds_and_watch_lose_no_commit(tmp_path, mode):
    """A writer commits in bursts and a long lock holder keeps the write lock for seconds, while builds (one after
    another) and a watch write the registry: every commit is there at the end, each build wrote or said why not
    (exit 1: busy), and the watch goes on until SIGTERM. (Which of them writes an edit is a race; the watch alone
    builds every other one.)"""
    from projectgen import TECH, generate

    root = tmp_path / "project"
    generate(root, factories=30, tiers=2, per_file=5, extras=False)
    db = root / "build" / "tessaro.db"
    assert subprocess.run([*TESSARO, "build"], cwd=root, env=ENV, capture_output=True).returncode == 0
    with closing(sqlite3.connect(db)) as conn:
        conn.execute(f"PRAGMA journal_mode = {mode}")
    watch = Events(spawn([*TESSARO, "watch", "--json"], root, ENV))
    watch.until("watching")
    others = [start("commit", db, SIZE["commits"], 0, cwd=root),
              start("commit", db, max(1, SIZE["commits"] // 20), 3.0, cwd=root)]
    edit = 0
    while others[0].poll() is None or others[1].poll() is None:
        edit += 1
        (root / "tech.py").write_text(TECH.replace("0.5", str(0.5 + edit % 7 / 100)))
        if edit % 2:  # the watch alone builds this edit (after waiting out a holder, or trying again)
            watch.until("built")
            continue
        done = subprocess.run([*TESSARO, "build"], cwd=root, env=ENV, capture_output=True, text=True)
        # Busy at worst: it kept changing, or another program held it beyond the wait.
        assert done.returncode == 0 or re.fullmatch(r"tessaro: error: [^\n]*(kept changing|stayed locked)[^\n]*\n",
                                                     done.stderr) and done.returncode == 1, done.stderr
    commits = sum(json.loads(proc.communicate(timeout=60)[0])["commits"] for proc in others)
    watch.stop()
    assert sum(kind == "theirs" for kind, *_ in dump(db)["tessaro_state"]) == commits, "commits lost"
    assert edit > 2 and any(e["event"] == "built" and e["written"] for e in watch.seen)


class Sandbox:
    """Where the watch runs. With user and mount namespaces (where the system allows them) the registry's folder is
    a small tmpfs, which can be filled up, and file permissions hold for the watch even when the tests run as root:
    ``inside`` runs a command in its mount namespace with every right, ``as_watch`` as the watch runs."""

    def __init__(self, folder: Path) -> None:
        self.folder, self.pid, self.shell = folder, 0, 0
        self.isolated = bool(shutil.which("unshare") and shutil.which("nsenter")) and subprocess.run(
            ["unshare", "-Urm", "sh", "-c", 'mount -t tmpfs tmpfs "$0" && unshare -U true', str(folder)],
            capture_output=True).returncode == 0

    def start(self, command: list[str], cwd: Path, env: dict[str, str]) -> subprocess.Popen:
        if self.isolated:
            command = ["unshare", "-Urm", "sh", "-c", 'mount -t tmpfs -o size=1m tmpfs "$0" && unshare -U "$@"',
                       str(self.folder), *command]
        proc = spawn(command, cwd, env)
        self.pid = self.shell = proc.pid
        while self.isolated and self.pid == self.shell:  # the watch is the shell's child (after the mount)
            for child in Path(f"/proc/{self.shell}/task/{self.shell}/children").read_text().split():
                if b"tessaro" in Path(f"/proc/{child}/cmdline").read_bytes():
                    self.pid = int(child)
            time.sleep(0.01)
        return proc

    def inside(self, command: list[str]) -> list[str]:
        return ["nsenter", "-t", str(self.shell), "-U", "-m", *command] if self.isolated else command

    def as_watch(self, command: list[str]) -> list[str]:
        return ["nsenter", "-t", str(self.pid), "-U", "-m", "--preserve-credentials", *command] if self.isolated \
            else command

    def read(self, path: Path) -> bytes | None:
        seen = Path(f"/proc/{self.pid}/root{path}") if self.isolated else path
        return seen.read_bytes() if seen.is_file() else None


FAULTS = [  # the fault, what the watch and a build say while it lasts (None: they build), what it needs
    ("locked", "is locked by another program", None),
    ("full disk", "the disk is full", "tmpfs"),
    ("read-only file", "the file is read-only", "permissions"),
    ("read-only folder", "cannot create files in", "permissions"),
    ("a text file", "is not a registry (not an SQLite database)", None),
    ("a folder", "is a folder, not a file", None),
    ("deleted", None, None),
    ("hot journal", None, None),
    ("damaged", None, None),
]


def fault(name: str, db_path: str, phase: str) -> dict[str, str]:
    """Put a fault in place (``apply``) or take it away (``end``), and say ready; "locked" ends by itself."""
    from test_safety import damage, kill_mid_write

    db, conn = Path(db_path), None
    if name == "locked":
        conn = sqlite3.connect(db, isolation_level=None)
        conn.execute("BEGIN EXCLUSIVE")
    elif phase == "end":
        {"full disk": lambda: db.with_name("filler").unlink(), "read-only file": lambda: db.chmod(0o644),
         "read-only folder": lambda: db.parent.chmod(0o755), "a text file": db.unlink, "a folder": db.rmdir}[name]()
    elif name == "full disk":
        with open(db.with_name("filler"), "wb", buffering=0) as filler, contextlib.suppress(OSError):
            while True:
                filler.write(bytes(1 << 16))
    else:
        {"read-only file": lambda: db.chmod(0o444), "read-only folder": lambda: db.parent.chmod(0o555),
         "a text file": lambda: db.unlink() or db.write_text("notes\n"), "a folder": lambda: db.unlink() or db.mkdir(),
         "deleted": db.unlink, "hot journal": lambda: kill_mid_write(db), "damaged": lambda: damage(db)}[name]()
    print("ready", flush=True)
    time.sleep(12.0 if conn else 0.0)
    return {}


def test_watch_survives_every_fault(tmp_path):
    """Each fault of the registry's file is one line of the watch, which builds again when the fault ends, by
    itself; a build meanwhile says the same in one line and leaves the registry as it was; SIGTERM ends the watch.
    Without namespaces, a full disk (and as root, permissions) cannot be made here: those faults are skipped."""
    from projectgen import TECH, generate

    root, folder = tmp_path / "project", tmp_path / "registry"
    generate(root, factories=12, tiers=2, per_file=3, extras=False)
    folder.mkdir()
    db, env, sandbox = folder / "tessaro.db", {**ENV, "TESSARO_DB_PATH": str(folder / "tessaro.db")}, Sandbox(folder)
    watch = Events(sandbox.start([*TESSARO, "watch", "--json"], root, env), sandbox.pid)
    watch.until("built")
    for number, (name, says, need) in enumerate(FAULTS):
        if need and not (sandbox.isolated or need == "permissions" and os.geteuid() != 0):
            continue
        step = [sys.executable, __file__, "fault", name, str(db)]
        other = spawn(sandbox.inside([*step, "apply"]), root, ENV)
        assert other.stdout is not None and other.stdout.readline() == "ready\n", other.communicate()
        before, first = sandbox.read(db), len(watch.seen)
        (root / "tech.py").write_text(TECH.replace("0.5", f"0.{number + 51}"))  # a save
        if says is not None:
            build = subprocess.run(sandbox.as_watch([*TESSARO, "--project", str(root), "build"]), env=env,
                                   capture_output=True, text=True)
            # It may first wait for the build lock while the watch tries again: said, then the one error line.
            lines = [line for line in build.stderr.splitlines() if "waiting for the registry's build lock" not in line]
            assert build.returncode in (1, 2) and len(lines) == 1 and says in lines[0], (name, build.stderr)
            assert watch.until("error")["message"] == lines[0].removeprefix("tessaro: error: "), name
            assert sandbox.read(db) == before, name
            if name != "locked":
                subprocess.run(sandbox.inside([*step, "end"]), check=True, capture_output=True)
        built = watch.until("built")  # by itself once the fault ends
        assert built["written"] and [e["event"] for e in watch.seen[first:]].count("error") == (says is not None), \
            (name, watch.seen[first:])
        other.communicate(timeout=60)
    assert any("moved it aside" in e.get("message", "") for e in watch.seen if e["event"] == "warning")
    watch.stop()


if __name__ == "__main__":
    kind, arguments = sys.argv[1], sys.argv[2:]
    if kind in ("commit", "fault"):
        print(json.dumps((commit if kind == "commit" else fault)(*arguments)), flush=True)
    else:
        print(json.dumps(worker(kind, arguments[0].split(","), *arguments[1:])), flush=True)
