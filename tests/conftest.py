"""Shared fixtures: an isolated project with its own database, the registry
module, the debug lines it logs, direct SQL access to the file, a driver that
traces (and breaks) what the module asks of its collaborators; and the tables
of the operations that open the registry and of the refused calls."""

from __future__ import annotations

import logging
import sqlite3
from contextlib import closing
from types import SimpleNamespace as NS

import pytest

import brimlay
import tessaro.core.database as database
from tessaro.models import ComponentRecord, FactoryRecord, ModelRecord


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("collaborator")


NOT_MODIFIED = "Database does not exist - no factories to modify"
# Each operation that opens the registry: a call that reaches its statements
# (and, for writers, its commit) on the `registry` fixture's rows; its kind
# ("after": it finishes its answer after leaving the connection scope); its
# answer when given no names (... where it opens the registry all the same);
# and, without a database file, its answer and debug line.
OPS = {
    "add_factories": ((FactoryRecord(name="g", source="a.py"),), {}, "writes", None,
                      (None, "Added / replaced the following factories: ['g']")),
    "update_factories": (([FactoryRecord(name="g", source="a.py")], ["f"]), {}, "writes", ...,
                         (None, "Atomic update: added/replaced ['g'], removed ['f']")),
    "remove_factories": (("f",), {}, "writes", None, (None, None)),
    "remove_factories_by_source": (("a.py",), {}, "writes", [], ([], None)),
    "get_factories_by_source": (("a.py",), {}, "after", {}, ({"a.py": []}, None)),
    "get_all_factories": ((), {}, "reads", ..., ({}, None)),
    "get_factories_by_name": (("f",), {}, "reads", ...,
                              (ValueError("Factories ('f',) not found - database does not exist"), None)),
    "get_all_factory_names": ((), {}, "reads", ..., ([], None)),
    "get_factory_sources_by_name": (("f",), {}, "after", {}, ({}, None)),
    "reset_timestamps": ((), {}, "writes", ..., (None, "Database does not exist - no timestamps to reset")),
    "set_factories_status_by_names": (("f",), {"status": "OK"}, "writes", None, (None, NOT_MODIFIED)),
    "set_factories_has_model_by_names": (("f",), {"has_model": True}, "writes", None, (None, NOT_MODIFIED)),
    "set_all_factories_has_model": ((), {"has_model": True}, "writes", ..., (None, NOT_MODIFIED)),
    "add_components": ((ComponentRecord(name="d", factory_name="f"),), {}, "writes", None,
                       (None, "Added / replaced the following components: ['d']")),
    "remove_components": (("c",), {}, "writes", None, (None, None)),
    "remove_components_by_factories": (("f",), {}, "writes", None, (None, None)),
    "get_components_by_factories": (("f",), {}, "reads", {}, ({}, None)),
    "get_factories_by_components": (("c",), {}, "reads", {}, ({}, None)),
    "add_models": ((ModelRecord(factory="g", source="m.py"),), {}, "writes", None,
                   (None, "Added / replaced the following models: ['g']")),
    "remove_models": (("f",), {}, "writes", None, (None, None)),
    "get_all_models": ((), {}, "reads", ..., ({}, None)),
    "get_models_by_name": (("f",), {}, "reads", {},
                           (ValueError("Models ('f',) not found - database does not exist"), None)),
    "get_model_sources_by_name": (("f",), {}, "after", {}, ({}, None)),
}


class Truthless:
    def __bool__(self):
        raise Boom("truth")


ListSub, StrSub = type("ListSub", (list,), {}), type("StrSub", (str,), {})


def msg_type(arg, expected, got):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"


# Calls the argument layer refuses, one of each kind, with the message; a
# subclass of a built-in type is refused with a note.
REFUSED = [
    ("remove_factories", (), {"names": ["a"]}, "remove_factories() got an unexpected keyword argument 'names'"),
    ("get_all_factories", (1,), {}, "get_all_factories() takes no arguments (1 given)"),
    ("get_all_factories", (1,), {"x": 1}, "get_all_factories() takes no keyword arguments"),
    ("update_factories", ([], [], True), {}, "update_factories() takes exactly 2 positional arguments (3 given)"),
    # A bad keyword is reported before the shortage.
    ("update_factories", ([],), {"remove": [], "add": []},
     "update_factories() got multiple values for keyword argument 'add'"),
    ("update_factories", ([], []), {"foo": 1}, "update_factories() got an unexpected keyword argument 'foo'"),
    # A missing positional argument is counted by its position, also when an earlier one came by keyword.
    ("update_factories", (), {"add": []}, "update_factories() takes exactly 2 positional arguments (1 given)"),
    ("_roll", (), {}, "_roll() takes at least 1 positional argument (0 given)"),
    ("_roll", ((), 1, 2), {}, "_roll() takes at most 2 positional arguments (3 given)"),
    ("set_factories_status_by_names", ("a",), {}, "set_factories_status_by_names() needs keyword-only argument status"),
    ("set_factories_status_by_names", ("a",), {"status": None}, msg_type("status", "str", "NoneType")),
    ("update_factories", (("a",), []), {}, msg_type("add", "list", "tuple")),
    ("update_factories", ([], "a"), {}, msg_type("remove", "list", "str")),
    ("update_factories", (None, []), {"update_last_modified": Truthless()}, msg_type("add", "list", "NoneType")),
    ("_roll", ((1, 2, 3), "1"), {}, msg_type("n", "int", "str")),
    ("update_factories", (ListSub(), []), {}, msg_type("add", "list", "ListSub")),
    ("set_factories_status_by_names", (), {"status": StrSub("x")}, msg_type("status", "str", "StrSub")),
    ("_roll", (type("TupleSub", (tuple,), {})(),), {}, msg_type("tup", "tuple", "TupleSub")),
]


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
    return database


@pytest.fixture
def registry(db):
    """A database with factory f (source a.py), its component c and its model."""
    db.add_factories(FactoryRecord(name="f", source="a.py"))
    db.add_components(ComponentRecord(name="c", factory_name="f"))
    db.add_models(ModelRecord(factory="f", source="m.py"))
    return db


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
    brimlay.kcl.clear()
    yield brimlay
    brimlay.kcl.clear()


@pytest.fixture
def driver(db, monkeypatch):
    """driver(*points, rows=None, count=None, release=False) puts in place of the module's sqlite3, get_db_path,
    _relpath, get_project_dir and log stand-ins over the real ones, which note in `events` what the module does
    (`params`: what each executemany was given) and raise Boom(point) at each of `points`: "connect", "cursor",
    "__enter__", "__exit__", "commit", "statement" (any but a table creation) or "suppressed" (a failing statement
    whose error __exit__ swallows). `rows` reshapes each fetched row, `count` replaces the row count; with
    release=True, "cursor release" and "release" note when the cursor and the connection are let go. Returns the
    events and params."""

    def install(*points, rows=None, count=None, release=False):
        events, params, points = [], [], {*points, *("statement",) * ("suppressed" in points)}
        real_path, real_relpath, real_project, note = db.get_db_path(), db._relpath, db.get_project_dir, events.append
        db_path = NS(exists=lambda: note("exists") or real_path.exists())

        def fail(point):
            if point in points:
                raise Boom(point)

        def sent(kind, statement):  # the factory inserts alone are laid out over lines
            if statement.startswith("CREATE"):
                return note("create")
            note(f"{kind} {' '.join(statement.split()) if 'INTO factories' in statement else statement}")
            fail("statement")

        class Cursor(sqlite3.Cursor):
            rowcount = property(lambda self: sqlite3.Cursor.rowcount.__get__(self) if count is None else count)

            def execute(self, statement, *args):
                sent("execute", statement)
                return super().execute(statement, *args)

            def executemany(self, statement, args):
                params.append(args)
                sent("executemany", statement)
                return super().executemany(statement, args)

            def fetchall(self):
                return [row if rows is None else rows(row) for row in super().fetchall()]

            def __del__(self):
                if release:
                    note("cursor release")

        class Connection:  # not the driver's own, which its statement cache keeps alive until collected
            def __init__(self):
                self.real = sqlite3.connect(real_path)

            def __del__(self):
                if release:
                    note("release")

            def cursor(self):
                fail("cursor")
                return self.real.cursor(Cursor)

            def commit(self):
                fail("commit")
                note("commit")
                self.real.commit()

            def __enter__(self):
                note("enter")
                fail("__enter__")
                self.real.__enter__()
                return self

            def __exit__(self, *exc):
                note("exit" if exc == (None, None, None) else ("exit", *exc))
                self.real.__exit__(*exc)
                fail("__exit__")
                return "suppressed" in points

        def connect(path):
            assert path is db_path  # the object get_db_path returned, unchanged
            note("connect")
            fail("connect")
            return Connection()

        logger = NS(debug=lambda line: note(f"log {line}"))
        for name, value in [("get_db_path", lambda: note("db_path") or db_path), ("sqlite3", NS(connect=connect)),
                            ("_relpath", lambda p: note(f"relpath {p}") or real_relpath(p)),
                            ("get_project_dir", lambda: note("project_dir") or real_project()),
                            ("log", lambda: logger)]:
            monkeypatch.setattr(db, name, value)
        return NS(events=events, params=params)

    return install
