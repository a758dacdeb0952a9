"""Runtime dependencies between factories: parents and children from the live
layout, factories of cell indices, and the dependency graph."""

from types import MappingProxyType
from types import SimpleNamespace as NS

import pytest

import brimlay as bl
from tessaro.models import FactoryRecord

# A fake live layout (index: cell name) and its placements (parent, child): a
# chain A > B > C, a diamond D > E, F > G, a parent P of both cells of factory
# S, and cells that never count: R (of factory Z), U (unregistered), Q_x (of
# Q), N (no factory row), V (registered under the index None: no cell).  Cell
# 20 is named A too; 0, met last, is the live A.
CELLS = {20: "A", 0: "A", 1: "B", 2: "C", 3: "D", 4: "E", 5: "F", 6: "G",
         7: "P", 8: "S", 9: "S_v", 10: "Q_x", 11: "R", 12: "U", 13: "N", None: "V"}
PLACES = [(0, 1), (0, 11), (0, 12), (1, 2), (3, 4), (3, 5), (4, 6), (5, 6), (7, 8), (7, 9), (10, 2), (13, 2),
          (None, 12)]
OWNER = {n: n for n in "ABCDEFGPSNV"} | {"S_v": "S", "Q_x": "Q", "R": "Z"}


@pytest.fixture(params=[lambda d: d, MappingProxyType], ids=["dict", "mapping"])
def fake(db, monkeypatch, request):
    """The module over the fake layout and fake component lookups, whose calls are
    recorded; the registry and the answers are plain dicts, or other mappings."""
    wrap, calls = request.param, []
    tkcells = {i: NS(name=n, kdb_cell=NS(each_parent_cell=lambda i=i: iter([p for p, c in PLACES if c == i]),
                                         each_child_cell=lambda i=i: iter([c for p, c in PLACES if p == i])))
               for i, n in CELLS.items()}

    def components_by_factories(*names):
        calls.append(("components", names))
        return wrap({f: [NS(name=c) for c in sorted(OWNER) if OWNER[c] == f] for f in names if f in OWNER.values()})

    def factories_by_components(*names):
        calls.append(("factories", names))
        return wrap({OWNER[c]: NS(name=OWNER[c]) for c in names if OWNER.get(c, "N") != "N"})

    monkeypatch.setattr(db, "bl", NS(kcl=NS(tkcells=wrap(tkcells))))
    monkeypatch.setattr(db, "get_components_by_factories", components_by_factories)
    monkeypatch.setattr(db, "get_factories_by_components", factories_by_components)
    monkeypatch.setattr(db, "get_all_factory_names", lambda: ["A", "D", "P", "Q"])
    return NS(calls=calls, tkcells=tkcells)


@pytest.mark.parametrize("name, parents, children, asked", [
    ("A", [], ["B"], "B R U"),
    ("C", ["B"], [], "B Q_x N"),
    ("D", [], ["E", "F"], "E F"),
    ("G", ["E", "F"], [], "E F"),
    ("S", ["P", "P"], [], "P P"),  # the parent of both components, twice
    ("P", [], ["S"], "S S_v"),     # S_v is not named like its factory
    ("V", [], [], ""),
    ("nope", [], [], ""),
])
def test_dependencies(db, fake, name, parents, children, asked):
    assert db.get_runtime_factory_dependencies(name) == (parents, children)
    # One components lookup, then one factories lookup per parent cell name
    # and per child cell name, duplicates included.
    assert fake.calls == [("components", (name,))] + [("factories", (c,)) for c in asked.split()]


def test_graph(db, fake):
    g = db.get_runtime_factories_dependency_graph()
    assert list(g.nodes) == ["Q", "C", "B", "A", "P", "S", "D", "E", "F", "G"]
    assert list(g.edges) == [("Q", "C"), ("B", "C"), ("A", "B"), ("P", "S"),
                             ("D", "E"), ("D", "F"), ("E", "G"), ("F", "G")]
    assert [c[0] for kind, c in fake.calls if kind == "components"] == list("QCBAPSDFGE")

    g = db.get_runtime_factories_dependency_graph("B", "nope", "B")
    assert list(g.nodes) == ["B", "C", "A", "nope"] and list(g.edges) == [("B", "C"), ("A", "B")]
    assert list(db.get_runtime_factories_dependency_graph("C").nodes) == ["C", "B", "A"]  # the node comes first


def test_factories_by_idxs(db, fake, monkeypatch):
    monkeypatch.setitem(fake.tkcells, 30, NS())  # no name: ""
    monkeypatch.setitem(fake.tkcells, 31, NS(name=""))
    # 20 and 0 both name A: A keeps its first place and takes index 0; 99 is absent.
    found = db.get_factories_by_idxs(20, 99, 1, 30, 11, 0, 31, 12, 1)
    assert [(i, r.name) for i, r in found.items()] == [(0, "A"), (1, "B")]
    assert db.get_factories_by_idxs() == {}
    assert fake.calls == [("factories", ("A", "B", "R", "U")), ("factories", ())]

    monkeypatch.setitem(fake.tkcells, 32, type("Broken", (), {"name": property(lambda self: 1 / 0)})())
    with pytest.raises(ZeroDivisionError):  # only AttributeError falls back to ""
        db.get_factories_by_idxs(32)


def test_errors(db, fake, monkeypatch):
    monkeypatch.setattr(fake.tkcells[1].kdb_cell, "each_child_cell", lambda: iter([2, 99]))
    with pytest.raises(KeyError, match="^99$"):  # the index, unconverted
        db.get_runtime_factory_dependencies("B")

    grows = property(lambda self: fake.tkcells.setdefault(100, NS(name="x")) and "grows")
    monkeypatch.setitem(fake.tkcells, 40, type("Growing", (), {"name": grows})())
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        db.get_runtime_factory_dependencies("A")


# --- end to end, through brimlay, the sync and the real registry ------------

@bl.cell
def dep_leaf(c, width: float = 1.0):
    c.add_port("o1", width=width)
    c.info["area"] = width * width


@bl.cell
def dep_mid(c):
    c.place(dep_leaf())


@bl.cell
def dep_top(c):
    c.place(dep_mid())
    c.place(dep_leaf(width=2.0))


def test_end_to_end(db, sql, layout, project):
    names = ("dep_top", "dep_mid", "dep_leaf")
    dep_top()
    layout.kcl.create_cell("loose")
    db.add_factories(*(FactoryRecord(name=n, source=project / "cells.py", status="FAILED") for n in names))
    db.sync_from_kcl()
    # Every live cell is stored as a component of its factory (a loose one of none).
    rows = sql("SELECT name, factory_name FROM components ORDER BY factory_name")
    assert {n for n, _ in rows} == {c.name for c in layout.kcl.tkcells.values()}
    assert [f for _, f in rows] == ["", "dep_leaf", "dep_leaf", "dep_mid", "dep_top"]
    assert sql("SELECT ports, settings, info FROM components WHERE factory_name = 'dep_leaf' AND name != 'dep_leaf'") \
        == [('[{"name": "o1", "center": [0.0, 0.0], "width": 2.0, "orientation": 0.0, "layer": [1, 0]}]',
             '{"width": 2.0}', '{"area": 4.0}')]
    # The leaf's cells, by name: dep_leaf (placed by dep_mid), then its variant (placed by dep_top).
    assert db.get_runtime_factory_dependencies("dep_leaf") == (["dep_mid", "dep_top"], [])
    assert db.get_runtime_factory_dependencies("dep_top") == ([], ["dep_mid"])
    by_idx = db.get_factories_by_idxs(*bl.kcl.tkcells)
    assert {bl.kcl.tkcells[i].name: r.name for i, r in by_idx.items()} == {n: n for n in names}
    g = db.get_runtime_factories_dependency_graph(*names)
    assert list(g.nodes) == ["dep_leaf", "dep_mid", "dep_top"]
    assert set(g.edges) == {("dep_top", "dep_mid"), ("dep_mid", "dep_leaf"), ("dep_top", "dep_leaf")}
