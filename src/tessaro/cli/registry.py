"""The registry file as the command line sees it: a snapshot to read, and one way to write.

The three tables of the registry (factories, components, models) are written
only through ``tessaro.core.database``. What they cannot hold (content hashes
of the sources, the imports between project files, where a factory failed,
which cells each cell uses) lives in the command line's own table
``tessaro_state`` in the same file, so one write covers both.

A build writes all-or-nothing for readers: under the build lock it copies the
registry into a staging file (SQLite's backup API), applies its writes there,
and copies the result back into the live file in one write transaction. The
live file is never replaced by renaming: connections that hold it open would
keep writing to the orphan.
"""

from __future__ import annotations

import contextlib
import json
import os
import signal
import sqlite3
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tessaro.cli.errors import CliError, RegistryBusy

__all__ = [
    "BATCH", "FactoryNote", "FileState", "Snapshot", "StaleRegistry", "Tables", "batched", "build_lock",
    "read_snapshot", "read_tables", "verify", "write_atomically",
]

#: Version of the ``tessaro_state`` layout; a registry with another version is rebuilt in full.
STATE_VERSION = 1
STATE_TABLE = "tessaro_state"
#: Names per registry call when many are removed or written (well below SQLite's bound-value limit).
BATCH = 5000

_SCHEMA = (
    f"CREATE TABLE IF NOT EXISTS {STATE_TABLE} (kind TEXT NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL,"
    " PRIMARY KEY (kind, key))",
    # The registry removes components by factory name; without this index each removal scans the table.
    "CREATE INDEX IF NOT EXISTS components_by_factory ON components (factory_name)",
)
_SQLITE_MAGIC = b"SQLite format 3\x00"


@dataclass
class FileState:
    """What the last build learnt about one project file."""

    hash: str
    imports: list[str] = field(default_factory=list)  # project files it imports, project-relative
    defines: list[str] = field(default_factory=list)  # factory names, in definition order (duplicates included)
    models: list[str] = field(default_factory=list)  # names of the factories it gives a model
    source: bool = True  # a factory source (else a file the sources import)
    error: str | None = None  # the import error, when it failed to import
    where: str | None = None  # file:line of that error
    traceback: str | None = None


@dataclass
class FactoryNote:
    """What the registry's factory row cannot say about a failing factory."""

    where: str | None = None
    traceback: str | None = None


def _unreadable(path: Path, exc: sqlite3.DatabaseError) -> CliError:
    if isinstance(exc, sqlite3.OperationalError) and ("locked" in str(exc) or "busy" in str(exc)):
        return RegistryBusy(f"the registry {path} is locked by another program ({exc}): try again")
    return CliError(f"the registry {path} is damaged ({exc}): {REMEDY}")


class StaleRegistry(Exception):
    """The live registry changed after it was read: the build must start again."""


@dataclass
class Snapshot:
    """The registry as last built, read in one go."""

    path: Path
    exists: bool
    counter: int | None  # the file's change counter when it was read
    version: int | None  # None: no dependency record (absent, or written by an older tessaro)
    files: dict[str, FileState] = field(default_factory=dict)
    notes: dict[str, FactoryNote] = field(default_factory=dict)
    uses: dict[str, list[str]] = field(default_factory=dict)  # cell -> cells it uses (only when asked)
    # factory -> project files its last build read or imported itself (beyond its file's imports)
    inputs: dict[str, list[str]] = field(default_factory=dict)
    config: str | None = None  # hash of the configuration the last build ran with
    generation: int = 0
    times: dict[str, float] = field(default_factory=dict)  # factory -> seconds its last build took

    @property
    def recorded(self) -> bool:
        return self.version == STATE_VERSION


def change_counter(path: Path) -> int | None:
    """The file change counter of an SQLite file (bumped by every commit), or None if absent."""
    try:
        with path.open("rb") as handle:
            header = handle.read(28)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise CliError(f"cannot read the registry {path} ({exc.strerror}): {REMEDY}") from None
    if not header:
        return 0
    if header[:16] != _SQLITE_MAGIC:
        raise CliError(f"{path} is not a registry database: {REMEDY}")
    return int.from_bytes(header[24:28], "big") if len(header) == 28 else 0


_COLUMNS = {
    "factories": ["name", "source", "status", "message", "default_settings", "pdk_type", "parents", "children",
                  "is_partial", "has_model", "tags", "ignored_sources", "last_updated"],
    "components": ["name", "factory_name", "ports", "settings", "info"],
    "models": ["factory", "settings", "source", "pdk_type", "status", "message"],
}
REMEDY = "delete it and run tessaro build"


def verify(path: Path) -> None:
    """Refuse a file that is not a registry: another kind of file, another schema, or a damaged image."""
    if not change_counter(path):
        return  # absent or empty: a build makes it
    try:
        with contextlib.closing(_connect(path)) as conn:
            for table, columns in _COLUMNS.items():
                found = [row[1] for row in conn.execute(f"PRAGMA table_info({table})")]
                if found and found != columns:
                    raise CliError(f"{path} is not a tessaro registry (its {table} table has other columns): {REMEDY}")
    except sqlite3.DatabaseError as exc:
        raise _unreadable(path, exc) from None


def _connect(path: Path) -> sqlite3.Connection:
    """A read-only connection: reading the registry can never change it."""
    return sqlite3.connect(f"{path.as_uri()}?mode=ro", uri=True)


def read_snapshot(path: Path, *, cells: bool = False) -> Snapshot:
    """Read the command line's own record of the last build (never writes, never waits for a build)."""
    counter = change_counter(path)
    snap = Snapshot(path=path, exists=counter is not None, counter=counter, version=None)
    if counter is None:
        return snap
    kinds = ("meta", "file", "factory", "input", "time", "cell") if cells else ("meta", "file", "factory", "input",
                                                                               "time")
    try:
        with contextlib.closing(_connect(path)) as conn:
            has_table = conn.execute(
                "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (STATE_TABLE,)
            ).fetchone()
            if not has_table:
                return snap
            marks = ",".join("?" * len(kinds))
            rows = conn.execute(f"SELECT kind, key, value FROM {STATE_TABLE} WHERE kind IN ({marks})", kinds).fetchall()
    except sqlite3.DatabaseError as exc:
        raise _unreadable(path, exc) from None
    meta: dict[str, Any] = {}
    for kind, key, value in rows:
        data = json.loads(value)
        if kind == "meta":
            meta[key] = data
        elif kind == "file":
            snap.files[key] = FileState(**data)
        elif kind == "factory":
            snap.notes[key] = FactoryNote(**data)
        elif kind == "input":
            snap.inputs[key] = data
        elif kind == "time":
            snap.times[key] = data
        else:
            snap.uses[key] = data
    snap.version = meta.get("version")
    if not snap.recorded:
        snap.files, snap.notes, snap.uses, snap.inputs, snap.times = {}, {}, {}, {}, {}
        return snap
    snap.config = meta.get("config")
    snap.generation = meta.get("generation", 0)
    return snap


#: The stored row of each table, in the order the record classes' ``to_db_tuple()`` gives it.
FACTORY_COLUMNS = ", ".join(c for c in _COLUMNS["factories"] if c not in ("has_model", "last_updated"))
COMPONENT_COLUMNS = ", ".join(_COLUMNS["components"])
MODEL_COLUMNS = ", ".join(_COLUMNS["models"])


@dataclass
class Tables:
    """The registry's three tables as stored rows, keyed by name (read-only, for comparing)."""

    factories: dict[str, tuple[Any, ...]] = field(default_factory=dict)
    components: dict[str, tuple[Any, ...]] = field(default_factory=dict)
    models: dict[str, tuple[Any, ...]] = field(default_factory=dict)


def read_tables(path: Path) -> Tables:
    tables = Tables()
    if change_counter(path) is None:
        return tables
    try:
        with contextlib.closing(_connect(path)) as conn:
            present = {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            # A stored 0/1 flag equals the record's False/True, so rows compare with to_db_tuple() as read.
            if "factories" in present:
                tables.factories = {row[0]: row for row in conn.execute(f"SELECT {FACTORY_COLUMNS} FROM factories")}
            if "components" in present:
                tables.components = {row[0]: row for row in conn.execute(f"SELECT {COMPONENT_COLUMNS} FROM components")}
            if "models" in present:
                tables.models = {row[0]: row for row in conn.execute(f"SELECT {MODEL_COLUMNS} FROM models")}
    except sqlite3.DatabaseError as exc:
        raise _unreadable(path, exc) from None
    return tables


def _state_items(snap: Snapshot) -> dict[tuple[str, str], Any]:
    """The command line's record as (kind, key) -> value; each value is stored as JSON."""
    items: dict[tuple[str, str], Any] = {
        ("meta", "version"): STATE_VERSION, ("meta", "config"): snap.config, ("meta", "generation"): snap.generation,
    }
    items.update((("file", rel), state.__dict__) for rel, state in snap.files.items())
    items.update((("factory", name), note.__dict__) for name, note in snap.notes.items())
    items.update((("input", name), files) for name, files in snap.inputs.items())
    items.update((("cell", cell), uses) for cell, uses in snap.uses.items())
    items.update((("time", name), seconds) for name, seconds in snap.times.items())
    return items


# -- the build lock -------------------------------------------------------------


@contextlib.contextmanager
def build_lock(db_path: Path, what: str, *, on_wait: Callable[[str], None] | None = None) -> Iterator[None]:
    """Hold the registry's build lock (a lock file beside it); wait for another holder, saying who it is."""
    import fcntl

    lock_path = db_path.with_name(db_path.name + ".lock")
    try:
        handle = lock_path.open("a+")
    except OSError as exc:
        raise CliError(f"cannot create the build lock {lock_path} ({exc.strerror})") from None
    with handle:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            handle.seek(0)
            holder = handle.read().strip() or "another tessaro"
            if on_wait is not None:
                on_wait(f"waiting for the registry's build lock, held by {holder}")
            fcntl.flock(handle, fcntl.LOCK_EX)
        handle.seek(0)
        handle.truncate()
        handle.write(f"pid {os.getpid()} ({what})\n")
        handle.flush()
        try:
            yield
        finally:
            handle.seek(0)
            handle.truncate()
            fcntl.flock(handle, fcntl.LOCK_UN)


# -- the atomic write ----------------------------------------------------------


@contextlib.contextmanager
def _registry_at(path: Path) -> Iterator[None]:
    """Point the registry module at ``path`` for the duration (it reads the path anew for every call)."""
    from tessaro.settings import DB_PATH_ENV

    before = os.environ.get(DB_PATH_ENV)
    os.environ[DB_PATH_ENV] = str(path)
    try:
        yield
    finally:
        if before is None:
            os.environ.pop(DB_PATH_ENV, None)
        else:
            os.environ[DB_PATH_ENV] = before


@contextlib.contextmanager
def _sigint_deferred() -> Iterator[None]:
    """Let a Ctrl-C that arrives inside the block take effect only after it."""
    try:
        previous = signal.getsignal(signal.SIGINT)
        caught: list[int] = []
        signal.signal(signal.SIGINT, lambda number, frame: caught.append(number))
    except ValueError:  # not the main thread: nothing to defer
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if caught:
            raise KeyboardInterrupt


#: Registries this process has written (a Ctrl-C afterwards must not say they are unchanged).
written: list[Path] = []


def write_atomically(snap: Snapshot, apply: Callable[[], None], state: Snapshot) -> None:
    """Apply ``apply``'s registry writes and ``state`` as one change of the live file.

    Call under the build lock. ``apply`` runs with the registry module pointed at
    a staging copy. Raises ``StaleRegistry`` if the live file changed since
    ``snap`` was read, so the caller can plan again from a fresh snapshot.
    """
    import tessaro.core.database as db

    live = snap.path
    if change_counter(live) != snap.counter:
        raise StaleRegistry
    staging = live.with_name(f".{live.name}.staging-{os.getpid()}")
    for left in live.parent.glob(f".{live.name}.staging-*"):  # by builds that were killed
        if left == staging or not _alive(left.name.rpartition("-")[2]):
            left.unlink(missing_ok=True)
    try:
        with contextlib.closing(sqlite3.connect(staging)) as target:
            if snap.exists:
                with contextlib.closing(_connect(live)) as source:
                    source.backup(target)
            with target:
                cursor = target.cursor()
                db._create_tables(cursor)
                for statement in _SCHEMA:
                    cursor.execute(statement)
                # The one repair no registry operation can make: rows without a name cannot be
                # addressed by name (an older writer stored them).
                cursor.execute("DELETE FROM factories WHERE name IS NULL OR name = ''")
                cursor.execute("DELETE FROM components WHERE name IS NULL OR name = ''")
        with _registry_at(staging):
            apply()
        with contextlib.closing(sqlite3.connect(staging)) as target, target:
            # Only the rows that differ: most of a build's record (cells, files) stays as it was.
            old = _state_items(snap) if snap.recorded else {}
            new = _state_items(state)
            if not snap.recorded:
                target.execute(f"DELETE FROM {STATE_TABLE}")
            gone = [k for k in old if k not in new]
            target.executemany(f"DELETE FROM {STATE_TABLE} WHERE kind = ? AND key = ?", gone)
            target.executemany(f"INSERT OR REPLACE INTO {STATE_TABLE} (kind, key, value) VALUES (?, ?, ?)",
                               [(*k, json.dumps(v, sort_keys=True)) for k, v in new.items() if old.get(k, ...) != v])
        if change_counter(live) != snap.counter:
            raise StaleRegistry
        checked = False

        def check(status: int, remaining: int, total: int) -> None:
            # Called after each step of the copy-back; from the first step on, the copy holds the
            # live file's write lock, so no other commit can land unseen between this check and
            # the end of the copy (the file on disk still shows the last commit's counter).
            nonlocal checked
            if not checked:
                checked = True
                # A file this copy has just created reads as empty, like the absent file it was.
                if (change_counter(live) or 0) != (snap.counter or 0):
                    raise StaleRegistry

        with _sigint_deferred():
            with contextlib.closing(sqlite3.connect(staging)) as source, contextlib.closing(
                sqlite3.connect(live, timeout=30)
            ) as target:
                # One page per step, so that the first check comes before the copy is complete.
                source.backup(target, pages=1, progress=check)
            written.append(live)
    finally:
        staging.unlink(missing_ok=True)
        for suffix in ("-journal", "-wal", "-shm"):
            staging.with_name(staging.name + suffix).unlink(missing_ok=True)


def _alive(pid: str) -> bool:
    try:
        os.kill(int(pid), 0)
    except (ValueError, ProcessLookupError):
        return False
    except PermissionError:
        return True
    return True


def batched(items: Sequence[Any], size: int = BATCH) -> Iterator[Sequence[Any]]:
    """``items`` in slices of at most ``size``: calls with many names stay under SQLite's variable limit."""
    for start in range(0, len(items), size):
        yield items[start:start + size]
