"""The cell store: cells that builds made, kept so that later builds bring them back instead of making them again.

Each stored cell is its plain data (``brimlay.cell_data``: name, settings,
info, ports, placements, the cells its build used) with what its build
depended on: the file of its factory's function and the project files its
own build read. Its key hashes the runtime (Python, tessaro and brimlay
versions), its factory function and settings, the fingerprints of those
files (each file's content and, through the imports the build recorded, the
content of everything it imports, transitively) and the keys of the cells it
places or used. A stored cell is brought back only while the key computed
from the files as they are now equals its stored key: its factory would make
the same cell again (for a factory that gives the same result for the same
inputs, as the registry already assumes).

The store is ``build/cells.db`` (SQLite), written only by the command, in
one transaction per build, after the registry; it only ever holds cells
that the registry references. It can be lost without harm: a missing,
damaged or stale entry (each row carries a checksum) means "run the
factory", and a file that is not a store at all is replaced by the next
build. Build workers never read it; the command sends them the cells they
may need.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import sys
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import sqlite3

__all__ = ["CellStore", "Entry", "Supply", "cell_keys", "file_fingerprints", "runtime_versions"]

#: Version of the store's layout and of its keys; another version is a store to start afresh.
STORE_VERSION = 1
_BATCH = 5000


def runtime_versions() -> str:
    """What a stored cell's key includes of the process that made it."""
    import brimlay
    import tessaro

    python = f"{sys.version_info.major}.{sys.version_info.minor}.{sys.version_info.micro}"
    return f"store {STORE_VERSION}; {sys.implementation.name} {python}; tessaro {tessaro.__version__};" \
           f" brimlay {brimlay.__version__}"


def _digest(*parts: Any) -> str:
    return hashlib.blake2b(json.dumps(parts, sort_keys=True).encode(), digest_size=16).hexdigest()


@dataclass
class Entry:
    """One cell as a build made it: its plain data, what its build depended on, and its key."""

    data: dict[str, Any]
    file: str  # the project file of its factory's function
    reads: list[str]  # project files its own build read or imported
    key: str | None = None
    versions: str = ""  # of the worker that made it (for the key of a cell made in this build)

    @property
    def children(self) -> list[str]:
        """The cells it places or used, by name."""
        return list(dict.fromkeys([*self.data["instances"], *self.data["uses"]]))

    def sent(self) -> dict[str, Any]:
        """What a build worker needs to bring it back."""
        return {"data": self.data, "reads": self.reads}


def file_fingerprints(hashes: Mapping[str, str | None], imports: Mapping[str, Iterable[str]]) -> dict[str, str]:
    """A fingerprint per file in ``hashes``: its content hash and, transitively, those of the files it imports.

    Files that import each other share one fingerprint (of the whole group).
    A file imported but missing from ``hashes`` counts as unreadable.
    """
    # Tarjan's algorithm, iteratively: groups come out after every group they import. Not networkx's: it is
    # on every incremental build's path, where importing networkx (0.11 s) would cost more than the build.
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    on_stack: set[str] = set()
    stack: list[str] = []
    found: dict[str, str] = {}
    for start in sorted(hashes):
        if start in index:
            continue
        work: list[tuple[str, Iterator[str]]] = [(start, iter(sorted(imports.get(start, ()))))]
        index[start] = low[start] = len(index)
        stack.append(start)
        on_stack.add(start)
        while work:
            node, following = work[-1]
            step = next(following, None)
            if step is not None:
                if step not in index:
                    index[step] = low[step] = len(index)
                    stack.append(step)
                    on_stack.add(step)
                    work.append((step, iter(sorted(imports.get(step, ())))))
                elif step in on_stack:
                    low[node] = min(low[node], index[step])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] != index[node]:
                continue
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            members = set(group)
            below = sorted({found[i] for m in group for i in imports.get(m, ()) if i not in members})
            value = _digest(sorted((m, hashes.get(m)) for m in group), below)
            for member in group:
                found[member] = value
    return found


def cell_keys(entries: Mapping[str, Entry], fingerprints: Mapping[str, str],
              versions: str | None = None) -> dict[str, str | None]:
    """The key of each entry as the files are now (None: it depends on something not known or kept).

    ``versions`` is the runtime the key is for (default: each entry's own).
    """
    keys: dict[str, str | None] = {}
    for start in entries:
        stack: list[tuple[str, Iterator[str] | None]] = [(start, None)]
        visiting: set[str] = set()
        looped: set[str] = set()
        while stack:
            name, following = stack[-1]
            if following is None:
                if name in keys or name not in entries:
                    keys.setdefault(name, None)
                    stack.pop()
                    continue
                visiting.add(name)
                following = iter(entries[name].children)
                stack[-1] = (name, following)
            child = next(following, None)
            if child is not None:
                if child in visiting:  # a cell that uses itself: never kept
                    looped.add(name)
                elif child not in keys:
                    stack.append((child, None))
                continue
            stack.pop()
            visiting.discard(name)
            entry = entries[name]
            children = entry.children
            files = [entry.file, *entry.reads]
            if name in looped or any(f not in fingerprints for f in files) or any(
                    keys.get(c) is None for c in children):
                keys[name] = None
                continue
            data = entry.data
            keys[name] = _digest(versions if versions is not None else entry.versions, data["factory"],
                                 data["made_by"], data["settings"], fingerprints[entry.file],
                                 sorted(fingerprints[f] for f in entry.reads), [keys[c] for c in children])
    return keys


class CellStore:
    """The store file: read by name, written all at once."""

    def __init__(self, path: Path) -> None:
        self.path = path

    def _connect(self) -> sqlite3.Connection:
        import sqlite3  # here: build workers use this module's keys, never the file

        conn = sqlite3.connect(self.path, timeout=30)
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        if version != STORE_VERSION:
            raise sqlite3.DatabaseError(f"store version {version}")
        return conn

    def read(self, names: Collection[str]) -> dict[str, Entry]:
        """The entries stored for ``names`` (those that are missing or damaged are left out)."""
        found: dict[str, Entry] = {}
        if not names or not self.path.is_file():
            return found
        import sqlite3

        wanted = list(names)
        try:
            with contextlib.closing(self._connect()) as conn:
                for start in range(0, len(wanted), _BATCH):
                    batch = wanted[start:start + _BATCH]
                    marks = ",".join("?" * len(batch))
                    rows = conn.execute(f"SELECT name, checksum, value FROM cells WHERE name IN ({marks})", batch)
                    for name, checksum, value in rows:
                        entry = _entry(name, checksum, value)
                        if entry is not None:
                            found[name] = entry
        except sqlite3.DatabaseError:
            return {}  # not a store (or damaged): as if empty
        return found

    def write(self, entries: Mapping[str, Entry], keep: Collection[str], *, fresh: bool) -> None:
        """Store ``entries`` (each with its key) and drop every other entry not named in ``keep``.

        With ``fresh``, everything stored before goes. Raises ``OSError`` or
        ``sqlite3.Error`` if the file cannot be written; what was stored before
        is then unchanged.
        """
        import sqlite3

        rows = [(name, *_row(name, entry)) for name, entry in entries.items() if entry.key is not None]
        try:
            conn = self._connect()
        except sqlite3.DatabaseError:  # absent, damaged or another version: start afresh
            self.path.unlink(missing_ok=True)
            conn = sqlite3.connect(self.path, timeout=30)
            with conn:
                conn.execute("CREATE TABLE cells (name TEXT PRIMARY KEY, checksum TEXT NOT NULL, value TEXT NOT NULL)")
                conn.execute(f"PRAGMA user_version = {STORE_VERSION}")
        # The store may be lost without harm, but not be half-written by a crash of this process: a journal,
        # but no syncs (after a crash of the system, a damaged store only means making its cells again).
        conn.execute("PRAGMA synchronous = OFF")
        with contextlib.closing(conn), conn:
            if fresh:
                conn.execute("DELETE FROM cells")
            else:
                conn.execute("CREATE TEMP TABLE keep (name TEXT PRIMARY KEY)")
                conn.executemany("INSERT OR IGNORE INTO keep VALUES (?)", ((name,) for name in keep))
                conn.execute("DELETE FROM cells WHERE name NOT IN (SELECT name FROM keep)")
            conn.executemany("INSERT OR REPLACE INTO cells (name, checksum, value) VALUES (?, ?, ?)", rows)

    def size(self) -> int:
        """Bytes on disk (0 when there is no store)."""
        try:
            return self.path.stat().st_size
        except OSError:
            return 0


def _row(name: str, entry: Entry) -> tuple[str, str]:
    value = json.dumps({"key": entry.key, "file": entry.file, "reads": entry.reads, "data": entry.data})
    return _checksum(name, value), value


def _checksum(name: str, value: str) -> str:
    return hashlib.blake2b(f"{name}\0{value}".encode(errors="surrogateescape"), digest_size=16).hexdigest()


def _entry(name: str, checksum: Any, value: Any) -> Entry | None:
    """A stored row as an entry; None if it is damaged."""
    if not isinstance(value, str) or checksum != _checksum(name, value):
        return None
    try:
        found = json.loads(value)
        entry = Entry(data=found["data"], file=found["file"], reads=list(found["reads"]), key=found["key"])
        if entry.data["name"] != name or not isinstance(entry.file, str) or not isinstance(entry.children, list):
            return None
    except (ValueError, KeyError, TypeError):
        return None
    return entry


class Supply:
    """The cells a build can hand to its workers: the store's that are still valid, and those made in this build.

    ``hashes`` gives a project file's content hash now, ``imports`` the
    imports recorded for it; the store is read only for the cells a batch
    may need (from its factories' cells down through what they use).
    """

    def __init__(self, store: CellStore | None, hashes: Callable[[str], str | None],
                 imports: Mapping[str, Iterable[str]], recorded: Mapping[str, list[str]]) -> None:
        self.store, self.hashes, self.imports, self.recorded = store, hashes, imports, recorded
        self.versions = runtime_versions()
        self.stored: dict[str, Entry] = {}
        self.absent: set[str] = set()
        self.fresh: dict[str, Entry] = {}
        self.from_store: set[str] = set()  # names sent from the store
        self._fingerprints: dict[str, str] | None = None

    def fingerprints(self, files: Iterable[str]) -> dict[str, str]:
        """Fingerprints of the files as they are now (computed once per build), covering ``files``."""
        if self._fingerprints is None:
            known = set(self.imports) | {i for found in self.imports.values() for i in found}
            self._fingerprints = file_fingerprints({rel: self.hashes(rel) for rel in known}, self.imports)
        for rel in files:
            if rel not in self._fingerprints:  # recorded nowhere: its content alone
                self._fingerprints.update(file_fingerprints({rel: self.hashes(rel)}, {}))
        return self._fingerprints

    def add(self, cells: Mapping[str, dict[str, Any]], versions: str) -> None:
        """Take the cells a worker made (those it brought back are known already)."""
        for name, cell in cells.items():
            if not cell["restored"] and cell["data"] is not None and cell["file"] is not None:
                self.fresh[name] = Entry(data=cell["data"], file=cell["file"], reads=cell["reads"], versions=versions)

    def for_cells(self, names: Iterable[str], factories: Collection[str] = ()) -> dict[str, dict[str, Any]]:
        """What a worker needs to bring back ``names`` and what they use, of the cells known to be valid.

        What a cell uses is known from its entry or else from the registry's
        record; the cells with default settings of ``factories`` (those that
        factories never built before may use) come too, when this build made
        them.
        """
        seen = set(names) | {name for name in factories if name in self.fresh}
        frontier = list(seen)
        while frontier:
            load = [n for n in frontier if n not in self.fresh and n not in self.stored and n not in self.absent]
            if load:
                found = self.store.read(load) if self.store is not None else {}
                for entry in found.values():
                    entry.versions = self.versions
                self.stored.update(found)
                self.absent.update(n for n in load if n not in found)
            following = []
            for name in frontier:
                known = self.fresh.get(name) or self.stored.get(name)
                for child in known.children if known is not None else self.recorded.get(name, ()):
                    if child not in seen:
                        seen.add(child)
                        following.append(child)
            frontier = following
        sent = {n: self.fresh[n].sent() for n in seen if n in self.fresh}
        stored = {n: self.stored[n] for n in seen if n not in sent and n in self.stored}
        if stored:  # what they use of this build's cells counts with its key as the files are now
            view = {**stored, **{n: self.fresh[n] for n in sent}}
            keys = cell_keys(view, self.fingerprints(f for e in view.values() for f in (e.file, *e.reads)))
            for name, entry in stored.items():
                if keys[name] is not None and keys[name] == entry.key:
                    sent[name] = entry.sent()
                    self.from_store.add(name)
        return sent

    def keep(self, kept: Collection[str], hashes: Mapping[str, str | None],
             imports: Mapping[str, Iterable[str]]) -> dict[str, Entry]:
        """The cells made in this build that ``kept`` names, each with its key from the files as recorded now."""
        view = {**self.stored, **self.fresh}
        keys = cell_keys(view, file_fingerprints(hashes, imports))
        found = {}
        for name, entry in self.fresh.items():
            if name in kept and keys.get(name) is not None:
                entry.key = keys[name]
                found[name] = entry
        return found
