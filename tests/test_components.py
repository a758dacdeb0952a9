"""Component registry: writes, removals, lookups and the sync from the live layout."""

import ast
from types import MappingProxyType
from types import SimpleNamespace as NS

import pytest
from conftest import Truthless

from tessaro.models import ComponentRecord, FactoryRecord


def comp(name, factory="f", **fields):
    return ComponentRecord(name=name, factory_name=factory, **fields)


def test_add_marks_each_owning_factory_and_lookups_group_by_name(db, sql, debug_lines):
    db.add_factories(*(FactoryRecord(name=n, source="a.py", status="FAILED", message="boom") for n in "fgi"))
    sql("UPDATE factories SET last_updated = '2000-01-01 00:00:00'")
    db.add_components(comp("c1", ports=[0]), comp("c2", "g"), comp("c3", ""), comp("c4", "x"),
                      comp("c1", "g", info={"k": 1}), comp("b1", "g"), comp("a1", "x"))
    assert sql("SELECT name, status, message, last_updated > '2001' FROM factories ORDER BY name") == [
        ("f", "SUCCESS", "", 1), ("g", "SUCCESS", "", 1), ("i", "FAILED", "boom", 0)]  # f: replaced c1 still counts
    assert debug_lines[1:] == ["Added / replaced the following components: ['c1', 'c2', 'c3', 'c4', 'c1', 'b1', 'a1']"]
    # Components by name, grouped in the order their first names come; factories without any left out.
    assert list(db.get_components_by_factories("g", "f", "i", "x", "").items()) == [
        ("x", [comp("a1", "x"), comp("c4", "x")]),
        ("g", [comp("b1", "g"), comp("c1", "g", info={"k": 1}), comp("c2", "g")]), ("", [comp("c3", "")])]
    g = db.get_factories_by_components("c1", "a1", "c3", "nope")
    assert list(g) == ["g"] and (g["g"].status, g["g"].is_partial, g["g"].has_model) == ("SUCCESS", False, False)
    assert db.get_factories_by_components("a1", "nope") == db.get_factories_by_components("nope") == {}


def any_order(line):
    """A log line whose trailing list of names may come in any order, made comparable."""
    head, _, names = line.rpartition(": ")
    return (head, sorted(ast.literal_eval(names))) if names.startswith("[") else line


@pytest.mark.parametrize("call, args, line, kept", [
    ("remove_components", ("c1", "c1", "x"), "Deleted 1 component(s) from database: ('c1', 'c1', 'x')", "c2 d1"),
    ("remove_components", ("x",), "No components found to remove: ('x',)", "c1 c2 d1"),
    # the names found, as a list (in whatever order the engine returns them)
    ("remove_components_by_factories", ("f", "x"), "Deleted 2 component(s) from database: ['c1', 'c2']", "d1"),
    ("remove_components_by_factories", ("x",), "No components found for factories: ('x',)", "c1 c2 d1")])
def test_removals_delete_and_log_before_commit(db, sql, debug_lines, monkeypatch, call, args, line, kept):
    db.add_components(comp("c2"), comp("c1"), comp("d1", "g"))
    getattr(db, call)(*args)
    assert any_order(debug_lines[-1]) == any_order(line)
    assert sql("SELECT name FROM components ORDER BY name") == [(n,) for n in kept.split()]
    monkeypatch.setattr(db, "log", lambda: NS(debug=lambda msg: 1 / 0))
    with pytest.raises(ZeroDivisionError):  # a failing log line rolls the deletion back
        getattr(db, call)("c2", "d1", "f", "g")
    assert sql("SELECT count(*) FROM components") == [(len(kept.split()),)]


@pytest.fixture
def live(db, monkeypatch):
    """Puts a fake registry in place; each cell stands for what from_tkcell yields (a callable is run first)."""
    wrapped = []
    run = lambda cell: cell() if callable(cell) else cell  # noqa: E731
    monkeypatch.setattr(db, "try_func", lambda f: wrapped.append(f) or run)
    return lambda cells: monkeypatch.setattr(db, "bl", NS(kcl=NS(tkcells=cells))) or wrapped


@pytest.mark.parametrize("mapping", [lambda cells: cells, MappingProxyType])
def test_sync_keeps_named_records_and_stores_them_in_one_call(db, live, debug_lines, monkeypatch, mapping):
    wrapped = live(mapping(dict(enumerate([None, comp(""), comp("a", ports=[1]), comp("b"), comp("a", "g")]))))
    added = []
    monkeypatch.setattr(db, "add_components", lambda *records: added.append(records))
    assert db.sync_from_kcl() is None and wrapped == [ComponentRecord.from_tkcell] * 5
    assert added == [(comp("a", ports=[1]), comp("b"), comp("a", "g"))]
    assert debug_lines == ["Synced 3 tkcells to components table"]


@pytest.mark.parametrize("cells, error", [
    (None, "AttributeError: 'NoneType' object has no attribute 'values'"),
    ("grow", "RuntimeError: dictionary changed size during iteration"),
    ("swap", "RuntimeError: dictionary keys changed during iteration"),  # the same size, other keys
    ({0: NS(name=Truthless())}, "Boom: truth"),
    ({0: object()}, "AttributeError: 'object' object has no attribute 'name'"),
    ({0: comp("a"), 1: comp("b", ports=None)}, "IntegrityError: NOT NULL constraint failed: components.ports")])
def test_sync_fails_like_registry_or_driver_and_stores_nothing(db, live, debug_lines, cells, error):
    if cells == "grow":
        cells = {0: comp("a"), 1: lambda: cells.setdefault(2, comp("c"))}
    elif cells == "swap":
        cells = {0: lambda: cells.pop(0) and cells.setdefault(2, None), 1: None}
    live(cells)
    with pytest.raises(Exception) as info:
        db.sync_from_kcl()
    assert f"{info.type.__name__}: {info.value}" == error
    assert db.get_components_by_factories("f") == {} and debug_lines == []
