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

A commit by another program is never overwritten. Once the copy-back holds
the live file's write lock (after its first page) it checks that the file is
still the one the build read: by the file's change counter in rollback-journal
mode, and in WAL mode (where that counter does not move) by ``PRAGMA
data_version`` on the connection that read the snapshot. While another
connection holds the file, the copy-back waits at most ``COPY_BACK_WAIT``
seconds, then gives up with nothing written.

Reading never writes, but for what SQLite itself requires: a file that a
writer left mid-transaction (a hot journal) can be read only after one
read-write open has rolled the journal back. A file is called damaged only if
it then fails ``PRAGMA integrity_check``.

Nothing here opens the live file but through SQLite while one of this
process's SQLite connections may hold a lock on it: closing any descriptor of
a file drops all of the process's POSIX locks on it.
"""

from __future__ import annotations

import contextlib
import errno
import glob
import json
import os
import signal
import sqlite3
import stat
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tessaro.cli.errors import CliError, RegistryBusy, RegistryDamaged, RegistryUnwritable

__all__ = [
    "BATCH", "COPY_BACK_WAIT", "FactoryNote", "FileState", "Snapshot", "StaleRegistry", "Tables", "batched",
    "build_lock", "elsewhere", "entry_kind", "read_snapshot", "read_tables", "rebuild_if_damaged", "unreadable",
    "verify", "write_atomically",
]

#: Version of the ``tessaro_state`` layout; a registry with another version is rebuilt in full.
STATE_VERSION = 1
STATE_TABLE = "tessaro_state"
#: Names per registry call when many are removed or written (well below SQLite's bound-value limit).
BATCH = 5000
#: How long (seconds) the copy-back waits for other connections to let go of the live file.
COPY_BACK_WAIT = 30.0
#: The copy-back's busy time-out per step; between busy steps Python's backup() sleeps 0.25 s.
_STEP_TIMEOUT = 0.1
#: The first bytes of the build lock file name its holder (written in place: the file is never truncated).
_HOLDER_BYTES = 200

_SCHEMA = (
    f"CREATE TABLE IF NOT EXISTS {STATE_TABLE} (kind TEXT NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL,"
    " PRIMARY KEY (kind, key))",
    # The registry removes components by factory name; without this index each removal scans the table.
    "CREATE INDEX IF NOT EXISTS components_by_factory ON components (factory_name)",
)
_SQLITE_MAGIC = b"SQLite format 3\x00"
_COLUMNS = {
    "factories": ["name", "source", "status", "message", "default_settings", "pdk_type", "parents", "children",
                  "is_partial", "has_model", "tags", "ignored_sources", "last_updated"],
    "components": ["name", "factory_name", "ports", "settings", "info"],
    "models": ["factory", "settings", "source", "pdk_type", "status", "message"],
}
#: Beside the registry: what SQLite keeps next to it.
_COMPANIONS = ("-journal", "-wal", "-shm")


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


class StaleRegistry(Exception):
    """The live registry changed after it was read: the build must start again."""


# -- the file, without following links or blocking -----------------------------------


def entry_kind(path: Path) -> str | None:
    """What is at ``path`` itself (a symlink is not followed): None if nothing, else "file", "folder", ..."""
    try:
        mode = os.lstat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        return None
    except OSError as exc:
        raise CliError(f"cannot look at {path} ({exc.strerror})") from None
    for test, kind in ((stat.S_ISREG, "file"), (stat.S_ISDIR, "folder"), (stat.S_ISLNK, "symbolic link"),
                       (stat.S_ISFIFO, "FIFO"), (stat.S_ISSOCK, "socket")):
        if test(mode):
            return kind
    return "device"


def elsewhere() -> str:
    """The remedy for a registry path that names something else: never to delete it."""
    from tessaro.settings import DB_PATH_ENV

    if os.environ.get(DB_PATH_ENV):
        return f"set {DB_PATH_ENV} to a registry or to a file that does not exist yet"
    return f"move it out of the way, or set {DB_PATH_ENV} to keep the registry elsewhere"


@contextlib.contextmanager
def _opened(path: Path) -> Iterator[int | None]:
    """A read-only descriptor of the registry file, None if there is none (never a symlink's target, a FIFO...)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        fd = None
    except OSError as exc:
        kind = "a symbolic link" if exc.errno == errno.ELOOP else exc.strerror
        raise CliError(f"cannot read the registry {path} ({kind}): {elsewhere()}") from None
    if fd is None:
        yield None
        return
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise CliError(f"the registry {path} is not a file: {elsewhere()}")
        yield fd
    finally:
        os.close(fd)


def _header(fd: int, path: Path) -> bytes:
    header = os.pread(fd, 100, 0)
    if header and header[:16] != _SQLITE_MAGIC:
        raise CliError(f"{path} is not a registry (not an SQLite database): {elsewhere()}")
    return header


def _counter(header: bytes) -> int:
    """The file change counter (bumped by every commit in rollback-journal mode)."""
    return int.from_bytes(header[24:28], "big") if len(header) >= 28 else 0


def _wal(header: bytes) -> bool:
    return header[18:20] == b"\x02\x02"


def _identity(st: os.stat_result) -> tuple[int, int]:
    return st.st_dev, st.st_ino


# -- reading, with recovery before judgement ----------------------------------------------


def _code(exc: BaseException) -> int:
    return getattr(exc, "sqlite_errorcode", None) or 0


def _busy(exc: sqlite3.Error) -> bool:
    if _code(exc):
        return _code(exc) & 0xFF in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED)
    return "locked" in str(exc) or "busy" in str(exc)


def _holders(path: Path) -> str:
    """Which other processes hold locks on the registry, as far as the system tells (Linux: /proc/locks)."""
    keys = set()
    for file in (path, path.with_name(path.name + "-shm")):  # in WAL mode writers lock the -shm file
        with contextlib.suppress(OSError):
            st = os.stat(file)
            keys.add((os.major(st.st_dev), os.minor(st.st_dev), st.st_ino))
    try:
        with open("/proc/locks") as handle:
            lines = handle.read().splitlines()
    except OSError:
        return ""
    pids: dict[int, str] = {}
    for line in lines:  # "1: POSIX  ADVISORY  WRITE 2283 fe:00:13633 1073741825 1073741825" ("->" when waiting)
        fields = line.split()
        if len(fields) < 6 or fields[1] == "->":
            continue
        try:
            major, minor, inode = fields[5].split(":")
            key, pid = (int(major, 16), int(minor, 16), int(inode)), int(fields[4])
        except ValueError:
            continue
        if key in keys and pid > 0 and pid != os.getpid():
            try:
                pids[pid] = Path(f"/proc/{pid}/comm").read_text().strip()
            except OSError:
                pids[pid] = "?"
    return "".join(f", held by pid {pid} ({name})" for pid, name in pids.items())


def _busy_error(path: Path, exc: sqlite3.Error) -> RegistryBusy:
    return RegistryBusy(f"the registry {path} is locked by another program ({exc}{_holders(path)}): try again")


def _connect(path: Path) -> sqlite3.Connection:
    """A read-only connection: reading the registry can never change it."""
    return sqlite3.connect(f"{path.as_uri()}?mode=ro", uri=True)


def _needs_recovery(exc: sqlite3.Error) -> bool:
    """Whether a read-only connection failed for want of writing (a hot journal, a WAL to recover) or on damage."""
    code = _code(exc) & 0xFF
    if _code(exc):
        return code in (sqlite3.SQLITE_READONLY, sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB)
    return "readonly" in str(exc) or "malformed" in str(exc) or "not a database" in str(exc)


def _read[T](path: Path, read: Callable[[sqlite3.Connection], T], *, keep: bool = False) -> T:
    """``read`` on a read-only connection (left open with ``keep``), after recovering the file if need be."""
    for attempt in range(2):
        conn = None
        try:
            conn = _connect(path)
            result = read(conn)
            if not keep:
                conn.close()
            return result
        except sqlite3.DatabaseError as exc:
            if conn is not None:
                conn.close()
            if _busy(exc):
                raise _busy_error(path, exc) from None
            if not _needs_recovery(exc):
                raise
            if attempt:
                raise _sound_but(path, exc) from None
            _recover(path, exc)
    raise AssertionError("unreachable")


def _recover(path: Path, cause: Exception) -> None:
    """One read-write open (which rolls back a hot journal), then the verdict: return if the file is sound.

    Raises ``RegistryDamaged`` if the file fails SQLite's integrity check.
    """
    try:
        with contextlib.closing(sqlite3.connect(f"{path.as_uri()}?mode=rw", uri=True)) as conn:
            found = [row[0] for row in conn.execute("PRAGMA integrity_check").fetchall()]
    except sqlite3.DatabaseError as exc:
        if _busy(exc):
            raise _busy_error(path, exc) from None
        if _code(exc) & 0xFF not in (sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB):
            raise RegistryUnwritable(
                f"cannot read the registry {path} ({cause}), nor open it for writing, which would recover it"
                f" ({exc}): make it and its folder writable, then try again"
            ) from None
        found = [str(exc)]
    if found != ["ok"]:
        raise RegistryDamaged(path, found[0] + (f" and {len(found) - 1} more" if len(found) > 1 else ""))


def _sound_but(path: Path, exc: sqlite3.Error) -> RegistryBusy:
    return RegistryBusy(f"the registry {path} could not be read ({exc}), though it passes its integrity check:"
                        " try again")


def unreadable(path: Path, exc: sqlite3.DatabaseError) -> CliError:
    """What an error of a registry call means: the file is busy, damaged, or (sound after all) to be tried again."""
    if _busy(exc):
        return _busy_error(path, exc)
    try:
        _recover(path, exc)
    except CliError as error:
        return error
    return _sound_but(path, exc)


def _tables(conn: sqlite3.Connection) -> list[str]:
    return [row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]


def verify(path: Path) -> None:
    """Refuse a file that is not a registry: another kind of file, another program's database, another schema.

    An absent or empty file passes (a build makes it a registry), and so does an
    SQLite file with no tables or only the registry's.
    """
    with _opened(path) as fd:
        if fd is None or not _header(fd, path):
            return

    def schema(conn: sqlite3.Connection) -> dict[str, list[str]]:
        found = {}
        for name in _tables(conn):
            if name in _COLUMNS:
                found[name] = [row[1] for row in conn.execute(f"PRAGMA table_info({name})")]
            elif name != STATE_TABLE and not name.startswith("sqlite_"):
                found[name] = []
        return found

    tables = _read(path, schema)
    others = sorted(name for name in tables if name not in _COLUMNS)
    if others:
        raise CliError(f"{path} is another program's database (it holds the table(s) {', '.join(others)}),"
                       f" not a registry: {elsewhere()}")
    for table, columns in _COLUMNS.items():
        if table in tables and tables[table] != columns:
            raise CliError(f"{path} is not a tessaro registry (its {table} table has other columns): {elsewhere()}")


# -- the snapshot --------------------------------------------------------------------------


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
    tables: frozenset[str] = frozenset()  # the tables the file holds
    wal: bool = False  # in WAL mode when read
    identity: tuple[int, int] | None = None  # device and inode of the file read
    # In WAL mode: the connection that read it, kept open, and its data version then.
    watcher: sqlite3.Connection | None = field(default=None, repr=False, compare=False)
    data_version: int | None = None
    times: dict[str, float] = field(default_factory=dict)  # factory -> seconds its last build took

    @property
    def recorded(self) -> bool:
        return self.version == STATE_VERSION

    @property
    def registry(self) -> bool:
        """Whether the file holds the registry's tables (a query must not call the registry module otherwise:
        its reads create missing tables)."""
        return set(_COLUMNS) <= self.tables

    def close(self) -> None:
        if self.watcher is not None:
            self.watcher.close()
            self.watcher = None


def read_snapshot(path: Path, *, cells: bool = False) -> Snapshot:
    """Read the command line's own record of the last build (never writes, never waits for a build)."""
    snap = Snapshot(path=path, exists=False, counter=None, version=None)
    with _opened(path) as fd:
        if fd is None:
            return snap
        header = _header(fd, path)
        snap.exists, snap.counter, snap.wal = True, _counter(header), _wal(header)
        snap.identity = _identity(os.fstat(fd))
    if not header:
        return snap
    kinds = ("meta", "file", "factory", "input", "time", "cell") if cells else ("meta", "file", "factory", "input",
                                                                               "time")

    def read(conn: sqlite3.Connection, fd: int | None) -> list[tuple[str, str, str]]:
        conn.execute("BEGIN")  # one read transaction: what is read and the change markers agree
        snap.tables = frozenset(_tables(conn))
        if fd is not None:  # in rollback-journal mode no commit can land while this connection reads
            snap.counter = _counter(_header(fd, path))
        else:
            snap.watcher, snap.data_version = conn, _data_version(conn)
        rows = []
        if STATE_TABLE in snap.tables:
            marks = ",".join("?" * len(kinds))
            rows = conn.execute(f"SELECT kind, key, value FROM {STATE_TABLE} WHERE kind IN ({marks})", kinds).fetchall()
        conn.rollback()
        return rows

    # The descriptor for the change counter is opened before the connection and closed after it.
    with contextlib.nullcontext(None) if snap.wal else _opened(path) as fd:
        if not snap.wal:
            if fd is None:  # removed meanwhile
                return Snapshot(path=path, exists=False, counter=None, version=None)
            snap.identity = _identity(os.fstat(fd))
        rows = _read(path, lambda conn: read(conn, fd), keep=snap.wal)
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


def _data_version(conn: sqlite3.Connection) -> int:
    return int(conn.execute("PRAGMA data_version").fetchall()[0][0])


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
    try:
        if not os.lstat(path).st_size:  # the file itself is not opened: a snapshot's connection may hold it
            return tables
    except FileNotFoundError:
        return tables

    def read(conn: sqlite3.Connection) -> None:
        present = set(_tables(conn))
        # A stored 0/1 flag equals the record's False/True, so rows compare with to_db_tuple() as read.
        if "factories" in present:
            tables.factories = {row[0]: row for row in conn.execute(f"SELECT {FACTORY_COLUMNS} FROM factories")}
        if "components" in present:
            tables.components = {row[0]: row for row in conn.execute(f"SELECT {COMPONENT_COLUMNS} FROM components")}
        if "models" in present:
            tables.models = {row[0]: row for row in conn.execute(f"SELECT {MODEL_COLUMNS} FROM models")}

    _read(path, read)
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
        fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o644)
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise CliError(f"the build lock {lock_path} is a symbolic link: remove it") from None
        raise _unwritable(db_path, exc) from None
    try:
        found = os.fstat(fd)
        if not stat.S_ISREG(found.st_mode) or found.st_nlink != 1:
            what_it_is = "not a file" if not stat.S_ISREG(found.st_mode) else "a file with other names (hard links)"
            raise CliError(f"the build lock {lock_path} is {what_it_is}: remove it")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, _HOLDER_BYTES, 0).decode(errors="replace").strip() or "another tessaro"
            if on_wait is not None:
                on_wait(f"waiting for the registry's build lock, held by {holder}")
            fcntl.flock(fd, fcntl.LOCK_EX)
        _name_holder(fd, f"pid {os.getpid()} ({what})")
        try:
            yield
        finally:
            _name_holder(fd, "")
            fcntl.flock(fd, fcntl.LOCK_UN)
    finally:
        os.close(fd)


def _name_holder(fd: int, text: str) -> None:
    # Only informative: a full disk leaves the lock itself (the flock) working.
    with contextlib.suppress(OSError):
        os.pwrite(fd, text.encode()[:_HOLDER_BYTES - 1].ljust(_HOLDER_BYTES - 1) + b"\n", 0)


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
def _signals_held() -> Iterator[list[int]]:
    """Hold Ctrl-C (and a SIGTERM that Python handles) during the block, which sees what arrived in the list;
    they take effect after it."""
    caught: list[int] = []
    previous: dict[int, Any] = {}
    try:
        for number in (signal.SIGINT, signal.SIGTERM):
            handler = signal.getsignal(number)
            if number == signal.SIGINT or callable(handler):
                previous[number] = handler
                signal.signal(number, lambda n, frame: caught.append(n))
    except ValueError:  # not the main thread: nothing to hold
        pass
    try:
        yield caught
    finally:
        for held, handler in previous.items():
            signal.signal(held, handler)
        if caught:
            first = previous.get(caught[0])
            if callable(first):
                first(caught[0], None)
            elif first == signal.SIG_DFL:
                raise KeyboardInterrupt


#: Registries this process has written (a Ctrl-C afterwards must not say they are unchanged).
written: list[Path] = []


def write_atomically(snap: Snapshot, apply: Callable[[], None], state: Snapshot) -> None:
    """Apply ``apply``'s registry writes and ``state`` as one change of the live file.

    Call under the build lock. ``apply`` runs with the registry module pointed at
    a staging copy. Raises ``StaleRegistry`` if the live file changed since
    ``snap`` was read, so the caller can plan again from a fresh snapshot;
    ``RegistryBusy`` if other connections hold the live file longer than
    ``COPY_BACK_WAIT``; ``RegistryUnwritable`` if it cannot be written. In
    every case but success the live file is as it was.
    """
    live = snap.path
    try:
        if _changed(snap):
            raise StaleRegistry
        staging = live.with_name(f".{live.name}.staging-{os.getpid()}")
        _remove_leftovers(live)
        try:  # made inside the block that removes it: a Ctrl-C right after its creation leaves nothing
            try:
                os.close(os.open(staging, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644))
            except OSError as exc:
                raise _unwritable(live, exc) from None
            try:
                _stage(snap, staging, apply, state)
            except sqlite3.DatabaseError as exc:
                raise _write_error(live, exc) from None
            if _changed(snap):
                raise StaleRegistry
            _copy_back(snap, staging)
        finally:
            for suffix in ("", *_COMPANIONS):
                staging.with_name(staging.name + suffix).unlink(missing_ok=True)
    finally:
        snap.close()


def _remove_leftovers(live: Path) -> None:
    """Remove the staging files of builds that were killed: under the build lock every one is a leftover."""
    for entry in sorted(live.parent.glob(f".{glob.escape(live.name)}.staging-*")):
        kind = entry_kind(entry)
        if kind != "file":
            raise CliError(f"{entry} is a {kind} where a build keeps its staging copy of the registry: remove it")
        entry.unlink(missing_ok=True)


def _stage(snap: Snapshot, staging: Path, apply: Callable[[], None], state: Snapshot) -> None:
    """The registry as it should be, in the staging file."""
    import tessaro.core.database as db

    with contextlib.closing(_scratch(staging)) as target:
        if snap.exists:
            _read(snap.path, lambda source: source.backup(target))
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
    with contextlib.closing(_scratch(staging)) as target, target:
        # Only the rows that differ: most of a build's record (cells, files) stays as it was.
        old = _state_items(snap) if snap.recorded else {}
        new = _state_items(state)
        if not snap.recorded:
            target.execute(f"DELETE FROM {STATE_TABLE}")
        gone = [k for k in old if k not in new]
        target.executemany(f"DELETE FROM {STATE_TABLE} WHERE kind = ? AND key = ?", gone)
        target.executemany(f"INSERT OR REPLACE INTO {STATE_TABLE} (kind, key, value) VALUES (?, ?, ?)",
                           [(*k, json.dumps(v, sort_keys=True)) for k, v in new.items() if old.get(k, ...) != v])


def _scratch(staging: Path) -> sqlite3.Connection:
    """A connection to the staging copy, which nothing needs after a crash: it never waits for the disk."""
    conn = sqlite3.connect(staging)
    conn.execute("PRAGMA synchronous = OFF")
    return conn


def _changed(snap: Snapshot, fd: int | None = None) -> bool:
    """Whether the live file is no longer the one ``snap`` read (``fd``: a descriptor of it to read the header by)."""
    try:
        found = os.lstat(snap.path)
    except FileNotFoundError:
        return snap.exists
    if not snap.exists:  # absent then; the copy-back itself creates it empty
        return found.st_size > 0
    if _identity(found) != snap.identity:
        return True
    if snap.wal:  # the snapshot's own connection, still open, keeps the file in WAL mode
        try:
            return snap.watcher is None or _data_version(snap.watcher) != snap.data_version
        except sqlite3.Error:
            return True
    if fd is None:
        with _opened(snap.path) as own:
            return own is None or _changed(snap, own)
    header = os.pread(fd, 100, 0)
    return _wal(header) or _counter(header) != snap.counter


def _copy_back(snap: Snapshot, staging: Path) -> None:
    """Copy the staging file into the live one in one write transaction, or leave the live file as it was."""
    live = snap.path
    created = None
    kind = entry_kind(live)
    if kind is None:
        if snap.exists:
            raise StaleRegistry  # removed meanwhile
        try:  # made here, so that SQLite never creates it through a symlink put there meanwhile
            fd = os.open(live, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        except FileExistsError:
            raise StaleRegistry from None
        except OSError as exc:
            raise _unwritable(live, exc) from None
        created = _identity(os.fstat(fd))
        os.close(fd)
    elif kind != "file":
        raise CliError(f"the registry {live} is a {kind}, not a file: {elsewhere()}")
    deadline, checked, done = time.monotonic() + COPY_BACK_WAIT, False, False
    try:
        # In rollback-journal mode the header is read through a descriptor opened before the copy's
        # connection and closed after it (see the module's docstring).
        with contextlib.nullcontext(None) if snap.wal else _opened(live) as header_fd, _signals_held() as caught:

            def progress(status: int, remaining: int, total: int) -> None:
                nonlocal checked
                if status == sqlite3.SQLITE_DONE:
                    return  # committed: nothing can stop it now
                if caught:
                    raise KeyboardInterrupt  # nothing written yet: the copy is rolled back
                if status != sqlite3.SQLITE_OK:  # another connection holds the live file
                    if time.monotonic() >= deadline:
                        raise RegistryBusy(
                            f"the registry {live} stayed locked by another program for {COPY_BACK_WAIT:g} s"
                            f"{_holders(live)}: nothing was written; try again"
                        )
                elif not checked:
                    # From this first step on, the copy holds the live file's write lock: no commit can
                    # land unseen between this check and the end of the copy.
                    checked = True
                    if _changed(snap, header_fd):
                        raise StaleRegistry

            try:
                with contextlib.closing(sqlite3.connect(staging)) as source, contextlib.closing(
                    sqlite3.connect(live, timeout=_STEP_TIMEOUT)
                ) as target:
                    # One page per step, so that the first check comes before the copy is complete.
                    source.backup(target, pages=1, progress=progress)
            except sqlite3.DatabaseError as exc:
                raise _write_error(live, exc) from None
            done = True
            written.append(live)
    finally:
        if created is not None and not done:
            with contextlib.suppress(OSError):
                found = os.lstat(live)
                if _identity(found) == created and not found.st_size:
                    live.unlink()


def _write_error(live: Path, exc: sqlite3.DatabaseError) -> CliError:
    """What an error while staging or copying back means (the live file is as it was)."""
    if _busy(exc):
        return _busy_error(live, exc)
    if _code(exc) & 0xFF in (sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB):
        _recover(live, exc)  # raises if the live file is damaged
    return _unwritable(live, exc)


def _unwritable(live: Path, exc: OSError | sqlite3.Error) -> RegistryUnwritable:
    """A failed write, said with the file and the remedy."""
    code = _code(exc) & 0xFF
    number = exc.errno if isinstance(exc, OSError) else None
    if number in (errno.ENOSPC, errno.EDQUOT) or code == sqlite3.SQLITE_FULL:
        reason, remedy = "the disk is full", "free some space and try again"
    elif code == sqlite3.SQLITE_READONLY:
        reason, remedy = "the file is read-only", "make it writable and try again"
    elif number in (errno.EACCES, errno.EPERM, errno.EROFS) or code == sqlite3.SQLITE_CANTOPEN:
        reason = f"cannot create files in {live.parent}" + (f": {exc.strerror}" if isinstance(exc, OSError) else "")
        remedy = "make the folder writable, or set TESSARO_DB_PATH to keep the registry elsewhere"
    else:
        reason, remedy = str(exc.strerror if isinstance(exc, OSError) else exc), "try again"
    return RegistryUnwritable(f"cannot write the registry {live} ({reason}); it is as it was: {remedy}")


# -- a damaged registry ------------------------------------------------------------------


def rebuild_if_damaged[T](attempt: Callable[[], T], note: Callable[[str], None], what: str) -> T:
    """``attempt()``; if it finds the registry damaged, move the file aside (dated), say so, and attempt again."""
    try:
        return attempt()
    except RegistryDamaged as damaged:
        path = damaged.path
        with build_lock(path, what):
            try:
                _recover(path, damaged)  # judged again under the lock: another build may have moved it meanwhile
            except RegistryDamaged as still:
                note(f"the registry {path} is damaged ({still.detail}): moved it aside to"
                     f" {_move_aside(path).name}; building a new one")
    return attempt()


def _move_aside(path: Path) -> Path:
    stamp = time.strftime("%Y%m%d-%H%M%S")
    aside, n = path.with_name(f"{path.name}.damaged-{stamp}"), 1
    while any(entry_kind(aside.with_name(aside.name + s)) for s in ("", *_COMPANIONS)):
        n += 1
        aside = path.with_name(f"{path.name}.damaged-{stamp}-{n}")
    try:
        for suffix in ("", *_COMPANIONS):  # a journal goes with its file
            if entry_kind(path.with_name(path.name + suffix)) == "file":
                os.rename(path.with_name(path.name + suffix), aside.with_name(aside.name + suffix))
    except OSError as exc:
        raise _unwritable(path, exc) from None
    return aside


def batched(items: Sequence[Any], size: int = BATCH) -> Iterator[Sequence[Any]]:
    """``items`` in slices of at most ``size``: calls with many names stay under SQLite's variable limit."""
    for start in range(0, len(items), size):
        yield items[start:start + size]
