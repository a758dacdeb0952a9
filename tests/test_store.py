"""The store: schema, what each operation does without a database file or
with nothing to do, and the project-relative source text."""

from __future__ import annotations

import os
import sqlite3
from contextlib import closing
from pathlib import Path
from types import SimpleNamespace as NS

import pytest
from conftest import OPS

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

SCHEMA = [s.replace(" IF NOT EXISTS", "") for s in STATEMENTS]


def schema(path):
    with closing(sqlite3.connect(path)) as conn:
        return [" ".join(r[0].split()) for r in conn.execute("SELECT sql FROM sqlite_master WHERE type = 'table'")]


def test_create_tables_runs_every_statement_but_stops_at_a_driver_error():
    executed = []

    def failing(error):
        def execute(statement):
            executed.append(" ".join(statement.split()))
            raise error
        return NS(execute=execute)

    assert database._create_tables(failing(RuntimeError("odd cursor"))) is None and executed == STATEMENTS
    with pytest.raises(sqlite3.OperationalError, match="disk I/O error"):  # the driver's errors stop at once
        database._create_tables(failing(sqlite3.OperationalError("disk I/O error")))
    assert executed == STATEMENTS + STATEMENTS[:1]


# --- without a database file, and with nothing to do ----------------------------------------

SURROGATE = ("\udcff", "it's", 'say "hi"', "Ω")
CREATING = {"add_factories", "update_factories", "get_all_factory_names", "add_components", "add_models"}
EMPTY = "(answers before it asks for the path)"


@pytest.mark.parametrize("name, args, kwargs, outcome, line", [
    *((name, op[0], op[1], *op[4]) for name, op in OPS.items()),
    ("get_factories_by_source", ("cells/a.py", "x/../cells/a.py", "b.py"), {}, {"cells/a.py": [], "b.py": []}, None),
    ("get_factories_by_name", (), {}, ValueError("Factories () not found - database does not exist"), None),
    ("get_factories_by_name", SURROGATE, {}, ValueError(f"Factories {SURROGATE} not found - database does not exist"),
     None),
    # calls with no names or records
    *((name, (), op[1], op[3], EMPTY) for name, op in OPS.items() if op[3] is not ...),
    ("add_factories", (), {"update_last_modified": None}, None, EMPTY),
    ("update_factories", ([], []), {"update_last_modified": 0}, None, EMPTY),
    ("update_factories", (), {"remove": [], "add": []}, None, EMPTY),
])
def test_missing_file_and_empty_calls(db, db_file, debug_lines, monkeypatch, name, args, kwargs, outcome, line):
    asked, path = [], db.get_db_path
    monkeypatch.setattr(db, "get_db_path", lambda: asked.append(1) or path())
    call = lambda: getattr(db, name)(*args, **kwargs)  # noqa: E731
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome)) as info:
            call()
        assert str(info.value) == str(outcome)
    else:
        assert call() == outcome
    assert debug_lines == [line] * (line not in (None, EMPTY)) and asked == [1] * (line is not EMPTY)
    assert (schema(db_file) if db_file.exists() else None) == (SCHEMA if name in CREATING and asked else None)


# --- project-relative source text ----------------------------------------------------

@pytest.mark.parametrize("project, source, expected", [
    ("/p", "/p", "."),
    ("/p/q", "/x/c", os.path.join("..", "..", "x", "c")),
    ("/p", Path("/p/a/../b"), "b"),
    ("relative", "/p/a", ValueError),
    # against the working directory, and through links
    ("proj", "link/f.py", os.path.join("..", "elsewhere", "f.py")),
    ("proj", "../pkg/a", os.path.join("..", "pkg", "a")),
])
def test_relpath(tmp_path, monkeypatch, project, source, expected):
    (tmp_path / "proj").mkdir()
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "proj" / "link").symlink_to(tmp_path.resolve() / "elsewhere")
    monkeypatch.chdir(tmp_path / "proj")
    project = tmp_path.resolve() / project if project == "proj" else Path(project)
    monkeypatch.setattr(database, "get_project_dir", lambda: project)
    if isinstance(expected, type):
        with pytest.raises(expected):
            database._relpath(source)
    else:
        assert database._relpath(source) == expected
