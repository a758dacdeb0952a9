"""The factory registry: writes, removals, lookups and flag updates."""

from __future__ import annotations

import json
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

from tessaro.models import FactoryRecord

TABLES = ["factories", "components", "models"]


def rec(name, source="cells/a.py", **fields):
    return FactoryRecord(name=name, source=source, **fields)


def rows(sql, statement="SELECT name FROM factories ORDER BY name"):
    return [r if len(r) > 1 else r[0] for r in sql(statement)]


def tables(db_file):
    conn = sqlite3.connect(db_file)
    try:
        return [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid")]
    finally:
        conn.close()


@pytest.fixture
def seeded(db, sql):
    """Factories a and b in cells/a.py, c in cells/c.py; components of a and c; a model of a."""
    db.add_factories(rec("a"), rec("b"), rec("c", "cells/c.py"))
    sql("INSERT INTO components VALUES ('a1', 'a', '[]', '{}', '{}'), ('c1', 'c', '[]', '{}', '{}')")
    sql("INSERT INTO models (factory, settings, source, pdk_type) VALUES ('a', '{}', 'm.py', 'generic')")
    return db


# --- missing file and empty arguments ----------------------------------------

SURROGATE = ("\udcff", "it's", 'say "hi"', "Ω")
NOT_MODIFIED = ["Database does not exist - no factories to modify"]

MISSING = [
    # call, outcome (value or exception text), debug lines, _relpath arguments, file created
    (lambda db: db.remove_factories("a"), None, [], [], False),
    (lambda db: db.remove_factories_by_source("cells/a.py"), [], [], [], False),
    (lambda db: db.get_factories_by_source("cells/a.py", "x/../cells/a.py", "b.py"),
     {"cells/a.py": [], "b.py": []}, [], ["cells/a.py", "x/../cells/a.py", "b.py"], False),
    (lambda db: db.get_all_factories(), {}, [], [], False),
    (lambda db: db.get_factories_by_name(), ValueError("Factories () not found - database does not exist"), [], [], False),
    (lambda db: db.get_factories_by_name("a"), ValueError("Factories ('a',) not found - database does not exist"),
     [], [], False),
    (lambda db: db.get_factories_by_name(*SURROGATE),
     ValueError(f"Factories {SURROGATE!s} not found - database does not exist"), [], [], False),
    (lambda db: db.get_factory_sources_by_name("a"), {}, [], [], False),
    (lambda db: db.get_all_factory_names(), [], [], [], True),
    (lambda db: db.reset_timestamps(), None, ["Database does not exist - no timestamps to reset"], [], False),
    (lambda db: db.set_factories_status_by_names("a", status="OK"), None, NOT_MODIFIED, [], False),
    (lambda db: db.set_factories_has_model_by_names("a", has_model=True), None, NOT_MODIFIED, [], False),
    (lambda db: db.set_all_factories_has_model(has_model=False), None, NOT_MODIFIED, [], False),
    (lambda db: db.update_factories([], ["x"]), None, ["Atomic update: added/replaced [], removed ['x']"], [], True),
]


@pytest.mark.parametrize("call, outcome, lines, relpaths, created", MISSING)
def test_missing_file_outcomes(db, db_file, debug_lines, monkeypatch, call, outcome, lines, relpaths, created):
    seen = []
    relpath = db._relpath
    monkeypatch.setattr(db, "_relpath", lambda p: seen.append(p) or relpath(p))
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome)) as info:
            call(db)
        assert str(info.value) == str(outcome)
    else:
        assert call(db) == outcome
    assert debug_lines == lines and seen == relpaths
    assert db_file.exists() == created
    if created:
        assert tables(db_file) == TABLES


@pytest.mark.parametrize("call, empty", [
    (lambda db: db.add_factories(), None),
    (lambda db: db.update_factories([], []), None),
    (lambda db: db.remove_factories(), None),
    (lambda db: db.remove_factories_by_source(), []),
    (lambda db: db.get_factories_by_source(), {}),
    (lambda db: db.get_factory_sources_by_name(), {}),
    (lambda db: db.set_factories_status_by_names(status="OK"), None),
    (lambda db: db.set_factories_has_model_by_names(has_model=True), None),
])
def test_empty_arguments_return_before_reading_settings(db, db_file, debug_lines, monkeypatch, call, empty):
    monkeypatch.setattr(db, "get_db_path", lambda: pytest.fail("get_db_path called"))
    assert call(db) == empty and not debug_lines and not db_file.exists()


# --- call order, statements and the connection scope -------------------------

class Traced:
    """A driver object whose calls the module makes are recorded in trace.events."""

    def __init__(self, target, trace):
        self._target, self._trace = target, trace

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if not callable(value):
            return value

        def traced(*args):
            if name in ("execute", "executemany"):
                text = " ".join(args[0].split())
                self._trace.events.append("create" if text.startswith("CREATE") else f"{name} {text}")
                if self._trace.fail and self._trace.fail in text:
                    raise sqlite3.OperationalError("injected")
            elif name == "commit":
                self._trace.events.append(name)
            result = value(*args)
            return Traced(result, self._trace) if name == "cursor" else result

        return traced

    def __enter__(self):
        self._trace.events.append("enter")
        self._target.__enter__()
        return self

    def __exit__(self, *exc):
        self._trace.events.append("exit")
        return self._target.__exit__(*exc) or self._trace.suppress


class Trace:
    """sqlite3, the path, _relpath, get_project_dir and log, recording what the module does."""

    def __init__(self, db, monkeypatch, suppress=False, fail=None):
        self.events, self.suppress, self.fail, self.in_relpath = [], suppress, fail, False
        real_path, real_relpath, real_project = db.get_db_path(), db._relpath, db.get_project_dir
        trace, note = self, self.events.append

        class DbPath:
            def exists(self):
                note("exists")
                return real_path.exists()

        class Driver:
            @staticmethod
            def connect(path):
                assert isinstance(path, DbPath)
                note("connect")
                return Traced(sqlite3.connect(real_path), trace)

        class Logger:
            def debug(self, line):
                note(f"log {line}")

        def relpath(p):
            note(f"relpath {p}")
            trace.in_relpath = True
            try:
                return real_relpath(p)
            finally:
                trace.in_relpath = False

        def project_dir():
            if not trace.in_relpath:
                note("project_dir")
            return real_project()

        monkeypatch.setattr(db, "get_db_path", lambda: note("db_path") or DbPath())
        monkeypatch.setattr(db, "sqlite3", Driver)
        monkeypatch.setattr(db, "_relpath", relpath)
        monkeypatch.setattr(db, "get_project_dir", project_dir)
        monkeypatch.setattr(db, "log", Logger)


OPEN = ["db_path", "exists", "connect", "enter"]
CREATE = ["create"] * 3
DELETE = ["executemany DELETE FROM components WHERE factory_name = ?", "executemany DELETE FROM factories WHERE name = ?"]
INSERT = ("executemany INSERT OR REPLACE INTO factories (name, source, status, message, default_settings, pdk_type, "
          "parents, children, is_partial, tags, ignored_sources, has_model{}) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0{})")
SELECT = ("execute SELECT name, source, status, message, default_settings, pdk_type, parents, children, is_partial, "
          "has_model, tags, ignored_sources, last_updated FROM factories")

TRACES = [
    (lambda db: db.add_factories(rec("n", "n.py")),
     ["db_path", "connect", "enter", *CREATE, "relpath n.py", INSERT.format(", last_updated", ", CURRENT_TIMESTAMP"),
      "commit", "log Added / replaced the following factories: ['n']", "exit"]),
    (lambda db: db.update_factories([rec("n", "n.py")], ["a"], update_last_modified=False),
     ["db_path", "connect", "enter", *CREATE, "relpath n.py", INSERT.format("", ""), *DELETE, "commit",
      "log Atomic update: added/replaced ['n'], removed ['a']", "exit"]),
    (lambda db: db.remove_factories("a", "zz"),
     [*OPEN, *DELETE, "commit", "log Deleted factories '('a', 'zz')' from database as well as all their components",
      "exit"]),
    (lambda db: db.remove_factories_by_source("cells/c.py", "none.py"),
     ["db_path", "exists", "relpath cells/c.py", "relpath none.py", "connect", "enter",
      "execute SELECT name FROM factories WHERE source IN (?,?)", *DELETE, "commit",
      "log Deleted factories '['c']' (by source) from database as well as all their components", "exit"]),
    (lambda db: db.remove_factories_by_source("none.py"),
     ["db_path", "exists", "relpath none.py", "connect", "enter",
      "execute SELECT name FROM factories WHERE source IN (?)", "exit"]),
    (lambda db: db.get_all_factories(), [*OPEN, *CREATE, SELECT, "exit"]),
    (lambda db: db.get_factories_by_name("a", "b", "c"), [*OPEN, *CREATE, SELECT + " WHERE name IN (?,?,?)", "exit"]),
    (lambda db: db.get_factories_by_name(), [*OPEN, *CREATE, SELECT + " WHERE name IN ()", "exit"]),
    (lambda db: db.get_all_factory_names(), ["db_path", "connect", "enter", *CREATE, "execute SELECT name FROM factories",
                                             "exit"]),
    (lambda db: db.get_factories_by_source("cells/a.py"),
     ["db_path", "relpath cells/a.py", "exists", "connect", "enter", *CREATE,
      "execute SELECT source, name FROM factories WHERE source IN (?)", "exit"]),
    (lambda db: db.get_factory_sources_by_name("a", "c", "zz"),
     [*OPEN, *CREATE, "execute SELECT name, source FROM factories WHERE name IN (?,?,?)", "exit", "project_dir",
      "project_dir"]),
    (lambda db: db.reset_timestamps(),
     [*OPEN, *CREATE, "execute UPDATE factories SET last_updated = CURRENT_TIMESTAMP", "commit",
      "log Reset timestamps for 3 factories", "exit"]),
    (lambda db: db.set_factories_status_by_names("a", "zz", status="BUILT"),
     [*OPEN, *CREATE, "execute UPDATE factories SET status = ?, last_updated = CURRENT_TIMESTAMP WHERE name IN (?,?)",
      "commit", "log Updated status to 'BUILT' for 1 factories: ('a', 'zz')", "exit"]),
    (lambda db: db.set_factories_has_model_by_names("zz", has_model=1),
     [*OPEN, *CREATE, "execute UPDATE factories SET has_model = ?, last_updated = CURRENT_TIMESTAMP WHERE name IN (?)",
      "commit", "log No factories found to update has_model for: ('zz',)", "exit"]),
    (lambda db: db.set_all_factories_has_model(has_model=""),
     [*OPEN, *CREATE, "execute UPDATE factories SET has_model = ?", "commit",
      "log Updated has_model to 'False' for all factories (3 updated)", "exit"]),
]


@pytest.mark.parametrize("call, events", TRACES)
def test_call_order_and_statements(seeded, monkeypatch, call, events):
    trace = Trace(seeded, monkeypatch)
    call(seeded)
    assert trace.events == events


@pytest.mark.parametrize("call, outcome", [
    (lambda db: db.get_factories_by_source("cells/a.py"), "rows"),
    (lambda db: db.get_factory_sources_by_name("a"), "relpaths"),
    (lambda db: db.remove_factories_by_source("cells/a.py"), None),
    (lambda db: db.get_factories_by_name("a"), None),
    (lambda db: db.get_all_factory_names(), None),
])
def test_suppressed_exception_in_scope(seeded, monkeypatch, call, outcome):
    Trace(seeded, monkeypatch, suppress=True, fail="SELECT")
    if outcome is None:
        assert call(seeded) is None
    else:
        with pytest.raises(UnboundLocalError, match=f"local variable '{outcome}'"):
            call(seeded)


# --- log texts --------------------------------------------------------------

class Shown(str):
    def __repr__(self):
        return "<shown>"


ODD = ("Ω-ring", "it's", 'say "hi"', Shown("s"))


@pytest.mark.parametrize("call, line", [
    (lambda db: db.add_factories(*(rec(n) for n in ODD)), f"Added / replaced the following factories: {list(ODD)}"),
    (lambda db: db.update_factories([rec(ODD[0])], list(ODD[1:])),
     f"Atomic update: added/replaced {[ODD[0]]}, removed {list(ODD[1:])}"),
    (lambda db: db.remove_factories(*ODD), f"Deleted factories '{ODD!s}' from database as well as all their components"),
    (lambda db: db.remove_factories("a"), "Deleted factories '('a',)' from database as well as all their components"),
    (lambda db: db.remove_factories_by_source("cells/a.py"),
     "Deleted factories '['a', 'b']' (by source) from database as well as all their components"),
    (lambda db: db.set_factories_status_by_names(*ODD, status="Ω 'x'"), f"No factories found to update status for: {ODD}"),
    (lambda db: db.set_factories_status_by_names("b", "a", "a", status="Ω 'x'"),
     "Updated status to 'Ω 'x'' for 2 factories: ('b', 'a', 'a')"),
    (lambda db: db.set_factories_has_model_by_names("a", "c", "zz", has_model=[0]),
     "Updated has_model to 'True' for 2 factories: ('a', 'c', 'zz')"),
    (lambda db: db.set_factories_has_model_by_names(*ODD, has_model=None),
     f"No factories found to update has_model for: {ODD}"),
])
def test_log_texts(seeded, debug_lines, call, line):
    debug_lines.clear()
    call(seeded)
    assert debug_lines == [line]


def test_empty_table_lines(db, sql, debug_lines):
    db.get_all_factory_names()  # creates the empty tables
    db.reset_timestamps()
    db.set_all_factories_has_model(has_model=True)
    assert debug_lines == ["No factories found to update timestamps", "No factories found to update has_model for"]


# --- atomicity --------------------------------------------------------------

class Frozen(FactoryRecord):
    def __setattr__(self, key, value):
        if key == "source" and "source" in self.__dict__:
            raise AttributeError("source is frozen")
        super().__setattr__(key, value)


class Short(FactoryRecord):
    def to_db_tuple(self):
        return super().to_db_tuple()[:10]


class Unbindable(FactoryRecord):
    def to_db_tuple(self):
        return (*super().to_db_tuple()[:10], object())


class Raising(FactoryRecord):
    def to_db_tuple(self):
        raise RuntimeError("no tuple")


@pytest.mark.parametrize("bad, error", [
    (Frozen, AttributeError), (Short, sqlite3.ProgrammingError), (Unbindable, sqlite3.ProgrammingError),
    (Raising, RuntimeError),
])
@pytest.mark.parametrize("via", ["add", "update"])
def test_failing_record_leaves_nothing_of_the_call(seeded, sql, project, bad, error, via):
    before = sql("SELECT * FROM factories ORDER BY name"), sql("SELECT * FROM components ORDER BY name")
    good = rec("new", str(project / "cells" / "new.py"))
    records = [good, rec("a", "cells/z.py"), bad(name="bad", source=str(project / "bad.py"))]
    with pytest.raises(error):
        if via == "add":
            seeded.add_factories(*records)
        else:
            seeded.update_factories(records, ["c"])
    assert (sql("SELECT * FROM factories ORDER BY name"), sql("SELECT * FROM components ORDER BY name")) == before
    assert good.source == str(Path("cells", "new.py"))


@pytest.mark.parametrize("call, check, expected", [
    (lambda db: db.add_factories(rec("n")), "SELECT group_concat(name) FROM factories WHERE name = 'n'", "n"),
    (lambda db: db.update_factories([rec("n")], ["a"]), "SELECT group_concat(name) FROM factories", "b,c,n"),
    (lambda db: db.remove_factories("a", "b"), "SELECT group_concat(name) FROM factories", "c"),
    (lambda db: db.remove_factories_by_source("cells/a.py"), "SELECT group_concat(name) FROM factories", "c"),
    (lambda db: db.set_factories_status_by_names("a", status="X"), "SELECT group_concat(status) FROM factories",
     "X,UNKNOWN,UNKNOWN"),
    (lambda db: db.set_factories_has_model_by_names("a", has_model=1), "SELECT sum(has_model) FROM factories", 1),
    (lambda db: db.set_all_factories_has_model(has_model=1), "SELECT sum(has_model) FROM factories", 3),
])
def test_logger_failing_after_commit_keeps_the_change(seeded, sql, monkeypatch, call, check, expected):
    def broken():
        raise OSError("log down")

    monkeypatch.setattr(seeded, "log", broken)
    with pytest.raises(OSError, match="log down"):
        call(seeded)
    assert sql(check)[0][0] == expected


# --- has_model and timestamps on replace --------------------------------------

@pytest.mark.parametrize("via", ["add", "update"])
@pytest.mark.parametrize("update_last_modified", [True, False])
def test_replace_resets_has_model(db, sql, via, update_last_modified):
    # A table whose timestamp default is not the clock shows which statement ran.
    db.get_all_factory_names()
    sql("DROP TABLE factories")
    sql("CREATE TABLE factories (name TEXT PRIMARY KEY, source TEXT NOT NULL, status TEXT NOT NULL, "
        "message TEXT NOT NULL, default_settings TEXT NOT NULL, pdk_type TEXT NOT NULL, parents TEXT NOT NULL, "
        "children TEXT NOT NULL, is_partial INTEGER NOT NULL, has_model INTEGER NOT NULL DEFAULT 0, "
        "tags TEXT NOT NULL, ignored_sources TEXT NOT NULL, last_updated TEXT NOT NULL DEFAULT 'never')")
    db.add_factories(rec("a", is_partial=True), update_last_modified=False)
    db.set_factories_has_model_by_names("a", has_model=True)
    assert db.get_factories_by_name("a")["a"].has_model is True
    write = db.add_factories if via == "add" else lambda r, **kw: db.update_factories([r], [], **kw)
    write(rec("a", message="again"), update_last_modified=update_last_modified)
    stored = db.get_all_factories()["a"]
    assert (stored.has_model, stored.is_partial, stored.message) == (False, False, "again")
    assert (stored.last_updated == "never") is not update_last_modified


# --- source matching --------------------------------------------------------

def test_sources_match_through_relpath(db, sql, project, tmp_path):
    (project / "cells").mkdir()
    (project / "cells" / "a.py").write_text("")
    (project / "link.py").symlink_to(project / "cells" / "a.py")
    outside = tmp_path / "outside.py"
    db.add_factories(rec("a", project / "cells" / "a.py"), rec("b", "link.py"), rec("o", outside))
    assert rows(sql, "SELECT name, source FROM factories ORDER BY name") == [
        ("a", str(Path("cells", "a.py"))), ("b", str(Path("cells", "a.py"))), ("o", str(Path("..", "outside.py")))]
    same = ["cells/x/../a.py", project / "link.py", "cells/a.py"]
    assert db.get_factories_by_source(*same, "cells/none.py") == {
        str(Path("cells", "a.py")): ["a", "b"], str(Path("cells", "none.py")): []}
    assert db.get_factory_sources_by_name("o", "b", "zz") == {"o": project / ".." / "outside.py",
                                                               "b": project / "cells" / "a.py"}
    assert db.remove_factories_by_source(outside.name) == []  # a file of the same name in the project
    sql("INSERT INTO components VALUES ('a1', 'a', '[]', '{}', '{}'), ('x1', 'x', '[]', '{}', '{}')")
    assert db.remove_factories_by_source(*same) == ["a", "b"]
    assert rows(sql) == ["o"] and rows(sql, "SELECT name FROM components") == ["x1"]


def test_removal_keeps_models_and_orphan_components(seeded, sql):
    sql("INSERT INTO components VALUES ('g1', 'ghost', '[]', '{}', '{}')")
    seeded.remove_factories("a", "ghost")
    assert rows(sql) == ["b", "c"] and rows(sql, "SELECT name FROM components") == ["c1"]
    assert rows(sql, "SELECT factory FROM models") == ["a"]


# --- lookups and flag counts --------------------------------------------------

def test_lookups_convert_flags_and_stringify_names(seeded, sql):
    sql("UPDATE factories SET has_model = 1 WHERE name = 'b'")
    found = seeded.get_factories_by_name("b", "b", "zz")
    assert list(found) == ["b"] and (found["b"].has_model, found["b"].is_partial) == (True, False)
    assert found["b"].source == str(Path("cells", "a.py"))
    sql("INSERT INTO factories (name, source, status, message, default_settings, pdk_type) "
        "VALUES (NULL, 's', 'x', '', '{}', 'g')")
    assert sorted(seeded.get_all_factory_names()) == ["None", "a", "b", "c"]


@pytest.mark.parametrize("flag, stored", [(1, 1), ("x", 1), ([0], 1), (None, 0), (0, 0), ("", 0)])
def test_flag_and_status_updates(seeded, sql, flag, stored):
    sql("UPDATE factories SET last_updated = 'old', message = 'boom'")
    seeded.set_factories_has_model_by_names("a", "a", "zz", has_model=flag)
    seeded.set_factories_status_by_names("b", status="FAILED")
    assert rows(sql, "SELECT name, has_model, status, message, last_updated = 'old' FROM factories ORDER BY name") == [
        ("a", stored, "UNKNOWN", "boom", 0), ("b", 0, "FAILED", "boom", 0), ("c", 0, "UNKNOWN", "boom", 1)]
    sql("UPDATE factories SET last_updated = 'old'")
    seeded.set_all_factories_has_model(has_model=not stored)
    assert rows(sql, "SELECT has_model, last_updated FROM factories") == [(int(not stored), "old")] * 3


# --- atomic replace seen from another process -------------------------------------

READER = """
import json, os, sqlite3, sys
path, stop = sys.argv[1], sys.argv[2]
conn = sqlite3.connect(path, timeout=30)
seen, polls = set(), 0
while not os.path.exists(stop):
    seen.add(tuple(sorted(r[0] for r in conn.execute("SELECT name FROM factories"))))
    polls += 1
    if polls == 1:
        print("ready", flush=True)
print(json.dumps([polls, sorted(seen)]))
"""


def test_update_factories_is_atomic_to_other_readers(db, db_file, tmp_path):
    first = [rec(f"a{i}", "cells/a.py") for i in range(5)]
    second = [rec(f"b{i}", "cells/a.py") for i in range(5)]
    names = lambda records: [r.name for r in records]  # noqa: E731
    db.add_factories(*first)
    stop = tmp_path / "stop"
    reader = subprocess.Popen([sys.executable, "-c", READER, str(db_file), str(stop)], stdout=subprocess.PIPE, text=True)
    try:
        assert reader.stdout.readline() == "ready\n"
        for _ in range(150):
            db.update_factories(second, names(first))
            db.update_factories(first, names(second))
    finally:
        stop.touch()
        out, _ = reader.communicate(timeout=60)
    polls, seen = json.loads(out)
    assert polls > 20 and reader.returncode == 0
    assert {tuple(s) for s in seen} <= {tuple(names(first)), tuple(names(second))}
