"""The store: schema, the connection scope every operation runs in, and the
project-relative source text."""

from __future__ import annotations

import os
import sqlite3
from pathlib import Path

import pytest

import tessaro.core.database as database

SCHEMA = {
    "factories": [
        ("name", "TEXT", 0, None, 1), ("source", "TEXT", 1, None, 0), ("status", "TEXT", 1, None, 0),
        ("message", "TEXT", 1, None, 0), ("default_settings", "TEXT", 1, None, 0), ("pdk_type", "TEXT", 1, None, 0),
        ("parents", "TEXT", 1, "'[]'", 0), ("children", "TEXT", 1, "'[]'", 0), ("is_partial", "INTEGER", 1, "0", 0),
        ("has_model", "INTEGER", 1, "0", 0), ("tags", "TEXT", 1, "'[]'", 0), ("ignored_sources", "TEXT", 1, "'[]'", 0),
        ("last_updated", "TEXT", 1, "CURRENT_TIMESTAMP", 0),
    ],
    "components": [
        ("name", "TEXT", 0, None, 1), ("factory_name", "TEXT", 1, None, 0), ("ports", "TEXT", 1, None, 0),
        ("settings", "TEXT", 1, None, 0), ("info", "TEXT", 1, None, 0),
    ],
    "models": [
        ("factory", "TEXT", 0, None, 1), ("settings", "TEXT", 1, None, 0), ("source", "TEXT", 1, None, 0),
        ("pdk_type", "TEXT", 1, None, 0), ("status", "TEXT", 1, "'UNKNOWN'", 0), ("message", "TEXT", 1, "''", 0),
    ],
}


def test_create_tables_makes_exactly_the_schema_in_order_and_is_idempotent(tmp_path):
    conn = sqlite3.connect(tmp_path / "x.db")
    for _ in range(2):
        assert database._create_tables(conn.cursor()) is None
    tables = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid")]
    assert tables == list(SCHEMA)
    for table, columns in SCHEMA.items():
        info = conn.execute(f"PRAGMA table_info({table})").fetchall()
        assert [row[1:] for row in info] == columns
    assert conn.execute("PRAGMA foreign_key_list(components)").fetchall()[0][2:5] == ("factories", "factory_name", "name")
    # A foreign key that is recorded but never enforced.
    conn.execute("INSERT INTO components VALUES ('c', 'nobody', '[]', '{}', '{}')")


STATEMENTS = [
    "CREATE TABLE IF NOT EXISTS factories ( name TEXT PRIMARY KEY, source TEXT NOT NULL, status TEXT NOT NULL, "
    "message TEXT NOT NULL, default_settings TEXT NOT NULL, pdk_type TEXT NOT NULL, parents TEXT NOT NULL DEFAULT "
    "'[]', children TEXT NOT NULL DEFAULT '[]', is_partial INTEGER NOT NULL DEFAULT 0, has_model INTEGER NOT NULL "
    "DEFAULT 0, tags TEXT NOT NULL DEFAULT '[]', ignored_sources TEXT NOT NULL DEFAULT '[]', last_updated TEXT NOT "
    "NULL DEFAULT CURRENT_TIMESTAMP )",
    "CREATE TABLE IF NOT EXISTS components ( name TEXT PRIMARY KEY, factory_name TEXT NOT NULL, ports TEXT NOT NULL, "
    "settings TEXT NOT NULL, info TEXT NOT NULL, FOREIGN KEY (factory_name) REFERENCES factories (name) )",
    "CREATE TABLE IF NOT EXISTS models ( factory TEXT PRIMARY KEY, settings TEXT NOT NULL, source TEXT NOT NULL, "
    "pdk_type TEXT NOT NULL, status TEXT NOT NULL DEFAULT 'UNKNOWN', message TEXT NOT NULL DEFAULT '' )",
]


def test_table_statements_and_failures_swallowed_by_the_guard():
    executed = []

    class Cursor:
        def execute(self, *args):
            executed.append(" ".join(args[0].split()) if len(args) == 1 else args)
            raise sqlite3.OperationalError("disk I/O error")

    assert database._create_tables(Cursor()) is None
    assert executed == STATEMENTS


class Manager:
    """A connection stand-in that records the context-manager protocol."""

    def __init__(self, log, suppress=False, exit_error=None):
        self.log, self.suppress, self.exit_error = log, suppress, exit_error

    def __enter__(self):
        self.log.append("enter")
        return self

    def __exit__(self, *exc):
        self.log.append(("exit", exc))
        if self.exit_error:
            raise self.exit_error
        return self.suppress

    def cursor(self):
        self.log.append("cursor")
        return self

    def execute(self, statement, *params):
        self.log.append("execute")
        if self.failure:
            raise self.failure

    def fetchall(self):
        return [("f", "src/a.py", "OK", "", "{}", "g", "[]", "[]", 0, 1, "[]", "[]", "t")]

    failure = None


@pytest.fixture
def scope(monkeypatch):
    log = []
    managers = []

    class FakeDriver:
        @staticmethod
        def connect(path):
            log.append(("connect", path))
            return managers.pop(0)

    class DbPath:
        def exists(self):
            return True

    path = DbPath()
    monkeypatch.setattr(database, "sqlite3", FakeDriver)
    monkeypatch.setattr(database, "get_db_path", lambda: path)
    monkeypatch.setattr(database, "_create_tables", lambda cursor: log.append("tables"))
    return log, managers, path


def test_scope_enters_and_leaves_like_a_with_statement(scope):
    log, managers, path = scope
    managers.append(Manager(log))
    result = database.get_all_factories()
    assert list(result) == ["f"] and result["f"].has_model is True
    assert log == [("connect", path), "enter", "cursor", "tables", "execute", ("exit", (None, None, None))]


def test_scope_hands_the_exception_to_exit_and_reraises_it_unchanged(scope):
    log, managers, _ = scope
    manager = Manager(log)
    manager.failure = error = sqlite3.OperationalError("boom")
    managers.append(manager)
    with pytest.raises(sqlite3.OperationalError) as info:
        database.get_all_factories()
    assert info.value is error
    kind, (exc_type, exc, tb) = log[-1]
    assert (kind, exc_type, exc) == ("exit", sqlite3.OperationalError, error)
    chain = []  # the traceback handed to exit is the tail of the one the caller sees
    entry = error.__traceback__
    while entry:
        chain.append(entry)
        entry = entry.tb_next
    assert tb is chain[-1]


def test_scope_exit_may_suppress_or_replace_the_exception(scope):
    log, managers, _ = scope
    manager = Manager(log, suppress=True)
    manager.failure = sqlite3.OperationalError("boom")
    managers.append(manager)
    assert database.get_all_factories() is None

    manager = Manager(log, exit_error=KeyError("from exit"))
    manager.failure = first = sqlite3.OperationalError("boom")
    managers.append(manager)
    with pytest.raises(KeyError) as info:
        database.get_all_factories()
    assert info.value.__context__ is first


def test_scope_refuses_objects_that_are_not_context_managers(scope):
    _, managers, _ = scope
    managers.append(object())
    with pytest.raises(TypeError, match=r"^'object' object does not support the context manager protocol$"):
        database.get_all_factories()


@pytest.fixture
def project_dir(monkeypatch, tmp_path):
    def use(path):
        monkeypatch.setattr(database, "get_project_dir", lambda: Path(path))

    return use


@pytest.mark.parametrize("project, source, expected", [
    ("/p", "/p/pkg/a", os.path.join("pkg", "a")),
    ("/p", "/p", "."),
    ("/p/q", "/p/other/b", os.path.join("..", "other", "b")),
    ("/p/q", "/x/c", os.path.join("..", "..", "x", "c")),
    ("/p", Path("/p/a/../b"), "b"),
])
def test_relpath(project_dir, project, source, expected):
    project_dir(project)
    assert database._relpath(source) == expected


def test_relpath_resolves_against_the_working_directory_and_through_links(project_dir, tmp_path, monkeypatch):
    root = tmp_path.resolve()
    (root / "proj").mkdir()
    (root / "elsewhere").mkdir()
    (root / "proj" / "link").symlink_to(root / "elsewhere")
    project_dir(root / "proj")
    monkeypatch.chdir(root / "proj")
    assert database._relpath("pkg/a") == os.path.join("pkg", "a")
    assert database._relpath("link/f.py") == os.path.join("..", "elsewhere", "f.py")
    monkeypatch.chdir(root)
    assert database._relpath("pkg/a") == os.path.join("..", "pkg", "a")


@pytest.mark.parametrize("project, source, error", [
    ("relative", "/p/a", ValueError),
    ("/p", 3, TypeError),
])
def test_relpath_failures_reach_the_caller(project_dir, project, source, error):
    project_dir(project)
    with pytest.raises(error):
        database._relpath(source)
