"""The factory registry: writes, removals, lookups and flag updates."""

from __future__ import annotations

import sqlite3
from pathlib import Path

import pytest
from conftest import Boom, boom

from tessaro.models import FactoryRecord


def rec(name, source="cells/a.py", **fields):
    return FactoryRecord(name=name, source=source, **fields)


def rows(sql, statement="SELECT name FROM factories ORDER BY name"):
    return [r if len(r) > 1 else r[0] for r in sql(statement)]


@pytest.fixture
def seeded(db, sql):
    """Factories a and b in cells/a.py, c in cells/c.py; components of a and c; a model of a."""
    db.add_factories(rec("a"), rec("b"), rec("c", "cells/c.py"))
    sql("INSERT INTO components VALUES ('a1', 'a', '[]', '{}', '{}'), ('c1', 'c', '[]', '{}', '{}')")
    sql("INSERT INTO models (factory, settings, source, pdk_type) VALUES ('a', '{}', 'm.py', 'generic')")
    return db


# --- call order, statements and the connection scope -------------------------

rel = lambda source: [f"relpath {source}", "project_dir"]  # noqa: E731
OPEN, CREATE = ["db_path", "exists", "connect", "enter"], ["create"] * 3
READ, WRITE = [*OPEN, *CREATE], ["db_path", "connect", "enter", *CREATE]  # a write makes the file if missing
DELETE = ["executemany DELETE FROM components WHERE factory_name = ?",
          "executemany DELETE FROM factories WHERE name = ?"]
INSERT = ("executemany INSERT OR REPLACE INTO factories (name, source, status, message, default_settings, pdk_type, "
          "parents, children, is_partial, tags, ignored_sources, has_model{}) "
          "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0{})")
STAMPED, UNSTAMPED = INSERT.format(", last_updated", ", CURRENT_TIMESTAMP"), INSERT.format("", "")
ADDED = "log Added / replaced the following factories: ['n']"
SELECT = ("execute SELECT name, source, status, message, default_settings, pdk_type, parents, children, is_partial, "
          "has_model, tags, ignored_sources, last_updated FROM factories")
UPDATE = "execute UPDATE factories SET {} = ?, last_updated = CURRENT_TIMESTAMP WHERE name IN ({})"

TRACES = [
    (lambda db: db.add_factories(rec("n", "n.py")), [*WRITE, *rel("n.py"), STAMPED, "commit", ADDED, "exit"]),
    (lambda db: db.add_factories(rec("n", "n.py"), update_last_modified=False),
     [*WRITE, *rel("n.py"), UNSTAMPED, "commit", ADDED, "exit"]),
    (lambda db: db.update_factories([rec("n", "n.py")], ["a"], update_last_modified=False),
     [*WRITE, *rel("n.py"), UNSTAMPED, *DELETE, "commit", "log Atomic update: added/replaced ['n'], removed ['a']",
      "exit"]),
    (lambda db: db.update_factories([rec("n", "n.py")], []),
     [*WRITE, *rel("n.py"), STAMPED, "commit", "log Atomic update: added/replaced ['n'], removed []", "exit"]),
    (lambda db: db.remove_factories("a", "zz"),
     [*OPEN, *DELETE, "commit", "log Deleted factories '('a', 'zz')' from database as well as all their components",
      "exit"]),
    (lambda db: db.remove_factories_by_source("cells/c.py", "none.py"),
     ["db_path", "exists", *rel("cells/c.py"), *rel("none.py"), "connect", "enter",
      "execute SELECT name FROM factories WHERE source IN (?,?)", *DELETE, "commit",
      "log Deleted factories '['c']' (by source) from database as well as all their components", "exit"]),
    (lambda db: db.remove_factories_by_source("none.py"),
     ["db_path", "exists", *rel("none.py"), "connect", "enter",
      "execute SELECT name FROM factories WHERE source IN (?)", "exit"]),
    (lambda db: db.get_all_factories(), [*READ, SELECT, "exit"]),
    (lambda db: db.get_all_factory_names(), [*WRITE, "execute SELECT name FROM factories", "exit"]),
    (lambda db: db.get_factories_by_components("a1", "zz"),
     [*READ, "execute SELECT DISTINCT factory_name FROM components WHERE name IN (?,?)",
      SELECT + " WHERE name IN (?)", "exit"]),
    (lambda db: db.get_factories_by_name(), [*READ, SELECT + " WHERE name IN ()", "exit"]),
    (lambda db: db.get_factories_by_source("cells/a.py"),
     ["db_path", *rel("cells/a.py"), "exists", "connect", "enter", *CREATE,
      "execute SELECT source, name FROM factories WHERE source IN (?)", "exit"]),
    (lambda db: db.get_factory_sources_by_name("a", "c", "zz"),
     [*READ, "execute SELECT name, source FROM factories WHERE name IN (?,?,?)", "exit", "project_dir", "project_dir"]),
    (lambda db: db.reset_timestamps(), [*READ, "execute UPDATE factories SET last_updated = CURRENT_TIMESTAMP",
                                        "commit", "log Reset timestamps for 3 factories", "exit"]),
    (lambda db: db.set_factories_status_by_names("a", "zz", status="Ω 'x'"),
     [*READ, UPDATE.format("status", "?,?"), "commit", "log Updated status to 'Ω 'x'' for 1 factories: ('a', 'zz')",
      "exit"]),
    (lambda db: db.set_factories_has_model_by_names("zz", has_model=1),
     [*READ, UPDATE.format("has_model", "?"), "commit", "log No factories found to update has_model for: ('zz',)",
      "exit"]),
    (lambda db: db.set_all_factories_has_model(has_model=""),
     [*READ, "execute UPDATE factories SET has_model = ?", "commit",
      "log Updated has_model to 'False' for all factories (3 updated)", "exit"]),
]


@pytest.mark.parametrize("call, events", TRACES)
def test_call_order_and_statements(seeded, driver, call, events):
    started = driver(release=True)
    call(seeded)
    # The connection and its cursor live until the call returns, as Python's locals would.
    assert started.events[:len(events)] == events
    assert sorted(started.events[len(events):]) == ["cursor release", "release"]


# --- atomicity --------------------------------------------------------------

# A record whose source cannot be rewritten once set (the call fails as it makes the sources project-relative),
# and one whose row is short (the insert fails).
Frozen = type("Frozen", (FactoryRecord,), {"__setattr__": lambda self, key, value: boom() if key == "source" and (
    "source" in self.__dict__) else FactoryRecord.__setattr__(self, key, value)})
Short = type("Short", (FactoryRecord,), {"to_db_tuple": lambda self: FactoryRecord.to_db_tuple(self)[:10]})


@pytest.mark.parametrize("bad, error", [(Frozen, Boom), (Short, sqlite3.ProgrammingError)])
@pytest.mark.parametrize("write", [lambda db, records: db.add_factories(*records),
                                   lambda db, records: db.update_factories(records, ["c"])], ids=["add", "update"])
def test_failing_record_leaves_nothing_of_the_call(seeded, sql, project, bad, error, write):
    before = sql("SELECT * FROM factories ORDER BY name"), sql("SELECT * FROM components ORDER BY name")
    good = rec("new", str(project / "cells" / "new.py"))
    with pytest.raises(error):
        write(seeded, [good, rec("a", "cells/z.py"), bad(name="bad", source=str(project / "bad.py"))])
    assert (sql("SELECT * FROM factories ORDER BY name"), sql("SELECT * FROM components ORDER BY name")) == before
    assert good.source == str(Path("cells", "new.py"))


# --- sources, removals, lookups and flags -----------------------------------------

def test_sources_match_through_relpath(db, sql, project, tmp_path):
    outside, a = tmp_path / "outside.py", str(Path("cells", "a.py"))
    db.add_factories(rec("a", project / "cells" / "a.py"), rec("b", "cells/x/../a.py"), rec("o", outside))
    assert rows(sql, "SELECT name, source FROM factories ORDER BY name") == [
        ("a", a), ("b", a), ("o", str(Path("..", "outside.py")))]
    same = ["cells/x/../a.py", project / "cells" / "a.py"]
    assert db.get_factories_by_source(*same, "cells/none.py") == {a: ["a", "b"], str(Path("cells", "none.py")): []}
    assert db.get_factory_sources_by_name("o", "b", "zz") == {"o": project / ".." / "outside.py",
                                                               "b": project / "cells" / "a.py"}
    assert db.remove_factories_by_source(outside.name) == []  # a file of the same name in the project
    sql("INSERT INTO components VALUES ('a1', 'a', '[]', '{}', '{}'), ('x1', 'x', '[]', '{}', '{}')")
    assert db.remove_factories_by_source(*same) == ["a", "b"]
    assert rows(sql) == ["o"] and rows(sql, "SELECT name FROM components") == ["x1"]


ODD = ("Ω-ring", "it's", 'say "hi"', type("Shown", (str,), {"__repr__": lambda self: "<shown>"})("s"))


def test_updates_lookups_and_removals_of_stored_values(seeded, sql, debug_lines):
    sql("UPDATE factories SET last_updated = 'old'")
    seeded.set_factories_has_model_by_names("a", "a", "zz", has_model=[0])
    seeded.set_factories_status_by_names("b", status="FAILED")
    assert rows(sql, "SELECT name, has_model, status, last_updated = 'old' FROM factories ORDER BY name") == [
        ("a", 1, "UNKNOWN", 0), ("b", 0, "FAILED", 0), ("c", 0, "UNKNOWN", 1)]
    found = seeded.get_factories_by_name("a", "a", "zz")  # flags as bool, sources as stored
    assert list(found) == ["a"] and (found["a"].has_model, found["a"].is_partial) == (True, False)
    assert found["a"].source == str(Path("cells", "a.py"))
    seeded.set_all_factories_has_model(has_model="")
    assert rows(sql, "SELECT has_model FROM factories") == [0, 0, 0]
    sql("INSERT INTO factories (name, source, status, message, default_settings, pdk_type) "
        "VALUES (NULL, 's', 'x', '', '{}', 'g')")
    assert sorted(seeded.get_all_factory_names()) == ["None", "a", "b", "c"]  # a row no write makes, read back
    assert seeded.get_all_factories()[None].name is None
    # A removal keeps the models and the components of other names.
    sql("INSERT INTO components VALUES ('g1', 'ghost', '[]', '{}', '{}')")
    seeded.remove_factories("a", "ghost")
    assert rows(sql) == [None, "b", "c"] and rows(sql, "SELECT name FROM components") == ["c1"]
    assert rows(sql, "SELECT factory FROM models") == ["a"]
    # With no rows to change, the lines say so, naming what was asked for as Python prints it.
    sql("DELETE FROM factories")
    seeded.reset_timestamps()
    seeded.set_all_factories_has_model(has_model=True)
    seeded.set_factories_status_by_names(*ODD, status="x")
    assert debug_lines[0] == "Updated has_model to 'True' for 1 factories: ('a', 'a', 'zz')"  # rows, not names
    assert debug_lines[-3:] == ["No factories found to update timestamps", "No factories found to update has_model for",
                                f"No factories found to update status for: {ODD}"]
