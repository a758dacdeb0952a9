"""The store: schema, the connection scope every operation runs in, what each
operation does without a database file, and the project-relative source text."""

from __future__ import annotations

import os
import re
import sqlite3
from pathlib import Path
from types import SimpleNamespace as NS

import pytest

import tessaro.core.database as database

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


def schema_of(statements):
    return [s.replace(" IF NOT EXISTS", "") for s in statements]


def schema(path):
    conn = sqlite3.connect(path)
    try:
        rows = conn.execute("SELECT sql FROM sqlite_master WHERE type = 'table' ORDER BY rowid")
        return [" ".join(r[0].split()) for r in rows]
    finally:
        conn.close()


def test_create_tables_makes_exactly_the_schema_in_order_and_swallows_non_driver_failures(tmp_path):
    conn = sqlite3.connect(tmp_path / "x.db")
    for _ in range(2):  # idempotent
        assert database._create_tables(conn.cursor()) is None
    assert schema(tmp_path / "x.db") == schema_of(STATEMENTS)
    conn.execute("INSERT INTO components VALUES ('c', 'nobody', '[]', '{}', '{}')")  # foreign key not enforced
    executed = []

    class Failing:
        def __init__(self, error):
            self.error = error

        def execute(self, *args):
            executed.append(re.sub(r"\s+", " ", args[0]) if len(args) == 1 else args)
            raise self.error

    assert database._create_tables(Failing(RuntimeError("odd cursor"))) is None and executed == STATEMENTS
    with pytest.raises(sqlite3.OperationalError, match="disk I/O error"):  # the driver's errors stop at once
        database._create_tables(Failing(sqlite3.OperationalError("disk I/O error")))
    assert executed == STATEMENTS + STATEMENTS[:1]


# --- the connection scope -------------------------------------------------------

@pytest.fixture
def scoped(db, trace):
    db.get_all_factory_names()  # the file and its tables
    return trace


def test_scope_hands_the_exception_to_exit_and_reraises_it_unchanged(db, scoped):
    events = scoped(fail="SELECT").events
    with pytest.raises(sqlite3.OperationalError) as info:
        db.get_all_factories()
    kind, exc_type, exc, tb = events[-1]
    assert (kind, exc_type, exc) == ("exit", sqlite3.OperationalError, info.value)
    entry = info.value.__traceback__  # the traceback handed to exit is the tail of the one the caller sees
    while entry.tb_next:
        entry = entry.tb_next
    assert tb is entry


def test_scope_exit_may_replace_the_exception(db, scoped):
    scoped(fail="SELECT", exit_error=KeyError("from exit"))
    with pytest.raises(KeyError) as info:
        db.get_all_factories()
    assert str(info.value.__context__) == "injected"


def test_scope_refuses_objects_that_are_not_context_managers(db, scoped, monkeypatch):
    monkeypatch.setattr(db, "sqlite3", NS(connect=lambda path: object()))
    with pytest.raises(TypeError, match=r"^'object' object does not support the context manager protocol$"):
        db.get_all_factories()


# --- without a database file ------------------------------------------------------

SURROGATE = ("\udcff", "it's", 'say "hi"', "Ω")
NOT_MODIFIED = ["Database does not exist - no factories to modify"]


def missing(kind, names):
    return ValueError(f"{kind} {names!s} not found - database does not exist")


MISSING = [
    # call, outcome (value or exception), debug lines, file created
    (lambda db: db.remove_factories("a"), None, [], False),
    (lambda db: db.remove_factories_by_source("cells/a.py"), [], [], False),
    (lambda db: db.get_factories_by_source("cells/a.py", "x/../cells/a.py", "b.py"),
     {"cells/a.py": [], "b.py": []}, [], False),
    (lambda db: db.get_all_factories(), {}, [], False),
    (lambda db: db.get_factories_by_name(), missing("Factories", ()), [], False),
    (lambda db: db.get_factories_by_name(*SURROGATE), missing("Factories", SURROGATE), [], False),
    (lambda db: db.get_factory_sources_by_name("a"), {}, [], False),
    (lambda db: db.get_all_factory_names(), [], [], True),
    (lambda db: db.reset_timestamps(), None, ["Database does not exist - no timestamps to reset"], False),
    (lambda db: db.set_factories_status_by_names("a", status="OK"), None, NOT_MODIFIED, False),
    (lambda db: db.set_factories_has_model_by_names("a", has_model=True), None, NOT_MODIFIED, False),
    (lambda db: db.set_all_factories_has_model(has_model=False), None, NOT_MODIFIED, False),
    (lambda db: db.update_factories([], ["x"]), None, ["Atomic update: added/replaced [], removed ['x']"], True),
    (lambda db: db.remove_components("c1"), None, [], False),
    (lambda db: db.remove_components_by_factories("f"), None, [], False),
    (lambda db: db.get_components_by_factories("f"), {}, [], False),
    (lambda db: db.get_factories_by_components("c1"), {}, [], False),
    (lambda db: db.remove_models("a"), None, [], False),
    (lambda db: db.get_all_models(), {}, [], False),
    (lambda db: db.get_models_by_name("a", "b"), missing("Models", ("a", "b")), [], False),
    (lambda db: db.get_model_sources_by_name("a"), {}, [], False),
]


@pytest.mark.parametrize("call, outcome, lines, created", MISSING)
def test_missing_file_outcomes(db, db_file, debug_lines, call, outcome, lines, created):
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome)) as info:
            call(db)
        assert str(info.value) == str(outcome)
    else:
        assert call(db) == outcome
    assert debug_lines == lines
    assert (schema(db_file) if db_file.exists() else None) == (schema_of(STATEMENTS) if created else None)


# --- project-relative source text ----------------------------------------------------

@pytest.fixture
def project_dir(monkeypatch):
    def use(path):
        monkeypatch.setattr(database, "get_project_dir", lambda: Path(path))

    return use


@pytest.mark.parametrize("project, source, expected", [
    ("/p", "/p", "."),
    ("/p/q", "/x/c", os.path.join("..", "..", "x", "c")),
    ("/p", Path("/p/a/../b"), "b"),
    ("relative", "/p/a", ValueError),
    ("/p", 3, TypeError),
])
def test_relpath(project_dir, project, source, expected):
    project_dir(project)
    if isinstance(expected, type):
        with pytest.raises(expected):
            database._relpath(source)
    else:
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
