"""Shared fixtures: an isolated project with its own database, the registry
module, the debug lines it logs, direct SQL access to the file, and a trace of
the calls the module makes to its collaborators."""

from __future__ import annotations

import logging
import sqlite3
from contextlib import closing
from types import SimpleNamespace

import pytest


@pytest.fixture
def project(tmp_path, monkeypatch):
    """A fresh project directory, made the working directory, with its database path set."""
    root = (tmp_path / "proj").resolve()
    root.mkdir()
    (root / "pyproject.toml").write_text("[project]\nname = 'demo'\n")
    monkeypatch.setenv("TESSARO_PROJECT_DIR", str(root))
    monkeypatch.setenv("TESSARO_DB_PATH", str(root / "build" / "tessaro.db"))
    monkeypatch.chdir(root)
    return root


@pytest.fixture
def db_file(project):
    return project / "build" / "tessaro.db"


@pytest.fixture
def db(project):
    import tessaro.core.database as database

    return database


@pytest.fixture
def without(db):
    """without(name) deletes a module global for the test; the namespace is put back
    afterwards as it was, in its order."""
    saved = dict(vars(db))
    yield lambda name: delattr(db, name)
    vars(db).clear()
    vars(db).update(saved)


@pytest.fixture
def debug_lines():
    """The messages logged on the package logger during the test."""
    lines, logger, handler = [], logging.getLogger("tessaro"), logging.Handler(logging.DEBUG)
    handler.emit = lambda record: lines.append(record.getMessage())
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    yield lines
    logger.removeHandler(handler)
    logger.setLevel(old_level)


@pytest.fixture
def sql(db_file):
    """Run one statement against the project's database file and return its rows."""

    def run(statement, params=()):
        with closing(sqlite3.connect(db_file)) as conn, conn:
            return conn.execute(statement, params).fetchall()

    return run


@pytest.fixture
def layout():
    """The live layout registry, empty before and after the test."""
    import brimlay

    brimlay.kcl.clear()
    yield brimlay
    brimlay.kcl.clear()


class _Traced:
    """A driver object (connection or cursor) whose calls are noted in trace.events."""

    def __init__(self, target, trace, released=False):
        self._target, self._trace, self._released = target, trace, released

    def __del__(self):
        if self._released:
            self._trace.events.append("release")

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if not callable(value):
            return value

        def traced(*args):
            if name in ("execute", "executemany"):
                text = " ".join(args[0].split())
                self._trace.events.append("create" if text.startswith("CREATE") else f"{name} {text}")
                if name == "executemany":
                    self._trace.params.append(args[1])
                if self._trace.fail and self._trace.fail in text:
                    raise sqlite3.OperationalError("injected")
            elif name == "commit":
                self._trace.events.append(name)
            result = value(*args)
            return _Traced(result, self._trace) if name == "cursor" else result

        return traced

    def __enter__(self):
        self._trace.events.append("enter")
        self._target.__enter__()
        return self

    def __exit__(self, *exc):
        self._trace.events.append("exit" if exc == (None, None, None) else ("exit", *exc))
        if self._trace.exit_error:
            raise self._trace.exit_error
        return self._target.__exit__(*exc) or self._trace.suppress


class Trace:
    """The module's sqlite3, database path, _relpath, get_project_dir and log,
    replaced by wrappers that note in `events` what the module does (and, with
    release=True, when the connection is let go); `params` holds what each
    executemany was given."""

    def __init__(self, db, monkeypatch, suppress=False, fail=None, exit_error=None, release=False):
        self.events, self.suppress, self.fail, self.exit_error = [], suppress, fail, exit_error
        self.params, self.release = [], release
        real_path, real_relpath, real_project = db.get_db_path(), db._relpath, db.get_project_dir
        note = self.events.append

        class DbPath:
            def exists(self):
                return note("exists") or real_path.exists()

        def connect(path):
            assert isinstance(path, DbPath)  # the object get_db_path returned, unchanged
            note("connect")
            return _Traced(sqlite3.connect(real_path), self, self.release)

        logger = SimpleNamespace(debug=lambda line: note(f"log {line}"))
        monkeypatch.setattr(db, "get_db_path", lambda: note("db_path") or DbPath())
        monkeypatch.setattr(db, "sqlite3", SimpleNamespace(connect=connect))
        monkeypatch.setattr(db, "_relpath", lambda p: note(f"relpath {p}") or real_relpath(p))
        monkeypatch.setattr(db, "get_project_dir", lambda: note("project_dir") or real_project())
        monkeypatch.setattr(db, "log", lambda: logger)


@pytest.fixture
def trace(db, monkeypatch):
    """Starts tracing the module's calls: trace(suppress=..., fail=..., exit_error=..., release=...)."""
    return lambda **options: Trace(db, monkeypatch, **options)
