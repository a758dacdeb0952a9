"""Tests of the small layout library: registry, hierarchy and cached factories."""

import functools
import json

import pytest

import brimlay as bl

pytestmark = pytest.mark.usefixtures("layout")  # an empty live registry before and after each test


@bl.cell
def straight(c, length: float = 10.0, width: float = 0.5):
    c.add_port("o1", width=width)
    c.add_port("o2", center=(length, 0.0), width=width, orientation=180.0)


@bl.cell
def ring(c, radius: float = 10.0):
    c.add_port("o1")
    c.place(straight(length=radius))
    c.place(straight(length=radius))
    c.place(straight(width=1.0))


def parents(cell):
    return list(cell.kdb_cell.each_parent_cell())


def children(cell):
    return list(cell.kdb_cell.each_child_cell())


def test_factories_cache_per_settings_name_cells_and_list_distinct_neighbours():
    default = straight()
    assert (default.name, default.factory_name, straight.factory_name) == ("straight",) * 3
    assert default.settings == straight.default_settings == {"length": 10.0, "width": 0.5}
    # Same settings however given (including values equal to the defaults) -> same cell.
    assert straight(10.0) is default and straight(length=10, width=0.5) is default
    longer = straight(20.0)
    assert straight(width=0.5, length=20.0) is longer and longer is not default
    assert longer.name.startswith("straight_") and longer.settings == {"length": 20.0, "width": 0.5}
    assert len({straight(length=n).name for n in (1, 2, 3)}) == 3
    with pytest.raises(TypeError):
        straight(bogus=1)
    with pytest.raises(TypeError, match="needs a default"):
        bl.cell(lambda c, size: None)
    with pytest.raises(TypeError, match="needs a function, .* got a functools.partial"):
        bl.cell(functools.partial(lambda c, size: None, size=1))
    # Neighbours are listed once each, in the order of their first placement.
    top, wide = ring(), straight(width=1.0)
    assert children(top) == [default.index, wide.index] and len(top.instances) == 3
    assert parents(default) == [top.index] and parents(top) == []
    big = ring(radius=30.0)
    assert parents(wide) == [top.index, big.index] and children(big) == [straight(length=30.0).index, wide.index]
    assert all(i in bl.kcl.tkcells for c in bl.kcl.tkcells.values() for i in parents(c) + children(c))
    assert list(bl.kcl.tkcells) == sorted(bl.kcl.tkcells)
    # Clearing empties the registry and the caches, without reusing indices; the suffix is stable.
    highest, odd = max(bl.kcl.tkcells), straight(length=3.25)
    bl.kcl.clear()
    assert bl.kcl.tkcells == {}
    assert ring() is not top and min(bl.kcl.tkcells) > highest and straight(length=3.25).name == odd.name


@pytest.mark.parametrize("refused", [
    lambda a, b: a.place(a),
    lambda a, b: ((c := bl.kcl.create_cell("c")), b.place(c), c.place(a)),
    lambda a, b: bl.kcl.create_cell("a"),
    lambda a, b: (a.add_port("p"), a.add_port("p")),
    lambda a, b: (bl.kcl.clear(), bl.kcl.create_cell("a2").place(b)),
], ids=["self", "cycle", "duplicate_name", "duplicate_port", "cleared_cell"])
def test_invalid_layout_operations_are_refused(refused):
    a, b = bl.kcl.create_cell("a"), bl.kcl.create_cell("b")
    a.place(b)
    with pytest.raises(ValueError):
        refused(a, b)
    assert parents(a) == [] and children(a) == [b.index]


def test_failed_factory_leaves_no_trace_and_can_be_retried():
    attempts = []

    @bl.cell
    def flaky(c, n: int = 1):
        c.place(straight())
        attempts.append(c.index)
        if len(attempts) == 1:
            raise RuntimeError("half built")

    with pytest.raises(RuntimeError, match="half built"):
        flaky()
    child = bl.kcl.cell_by_name("straight")
    assert list(bl.kcl.tkcells) == [child.index] and parents(child) == []
    with pytest.raises(KeyError):
        bl.kcl.cell_by_name("flaky")
    built = flaky()
    assert built.name == "flaky" and built.index > attempts[0]
    assert parents(child) == [built.index] and flaky() is built


def bend(c=None, radius: float = 5.0):
    """A module-level function used as a setting value."""


@bl.cell
def route(c, bend_func=bend, shape=None):
    c.info["shape"] = bl.setting_name(shape)


def test_function_class_and_partial_settings_are_named_by_module_and_qualified_name():
    from tessaro.models import ComponentRecord

    here = __name__
    assert route().name == "route"  # defaults, functions among them, keep the factory's name
    twin = {}
    exec(compile("def bend(c=None, radius=5.0): pass", __file__, "exec"), {"__name__": here}, twin)
    by_function = route(shape=bend)
    named = route(shape=functools.partial(bend, 2, radius=1))
    assert route(shape=functools.partial(bend, 2, radius=1)) is named and route(shape=int) is not by_function
    stored = json.loads(ComponentRecord.from_tkcell(named).to_db_tuple()[3])
    assert stored == {"bend_func": f"{here}.bend", "shape": f"functools.partial({here}.bend, 2, radius=1)"}
    assert route(shape=f"{here}.bend") is not by_function  # text that reads like the name is another value
    names = {c.name for c in bl.kcl.tkcells.values()}
    bl.kcl.clear()
    # Another object of the same name, in a fresh layout, gives the same names: no addresses in them.
    rebuilt = {route(shape=twin["bend"]).name, route(shape=functools.partial(twin["bend"], 2, radius=1)).name}
    assert rebuilt <= names and by_function.name in rebuilt and named.name in rebuilt


def _closure(k):
    return lambda: k


@pytest.mark.parametrize("first, second", [
    (lambda: 1, lambda: 2),
    (_closure(1), _closure(2)),
    (functools.partial(bend, _closure(1)), functools.partial(bend, _closure(2))),
], ids=["lambdas", "closures", "partials"])
def test_two_setting_values_of_one_name_are_refused_naming_both(first, second):
    route(shape=first)
    with pytest.raises(ValueError, match="share the name") as info:
        route(bend_func=second)
    assert repr(first) in str(info.value) and repr(second) in str(info.value)
    bl.kcl.clear()  # a fresh layout takes the other one
    assert route(shape=second).info["shape"] == bl.setting_name(first)


def test_factories_made_by_one_function_never_share_cells():
    def make(k):
        @bl.cell
        def part(c, n: int = 1):
            c.info["k"] = k
        return part

    first, second = make(1), make(2)
    assert first(n=2).info["k"] == 1
    with pytest.raises(ValueError, match="already exists"):  # not first's cell handed out again
        second(n=2)
    bl.kcl.clear()
    assert second(n=2).info["k"] == 2 and first(n=3).info["k"] == 1


@bl.cell
def marked(c, size: tuple = (1, 2)):
    c.info.update(size=size, tags={"a": [1.0, None], 2: True})
    c.place(ring(radius=3.0))
    c.place(straight())
    straight(length=4.0)  # used, not placed


def test_cells_come_back_from_their_data_as_their_factories_make_them(monkeypatch):
    def described():
        return {c.name: bl.cell_data(c) for c in bl.kcl.tkcells.values()}

    marked()
    made, asked = json.loads(json.dumps(described())), dict(bl.kcl.asked)
    bl.kcl.clear()
    wide = straight(width=1.0)  # live already: placed as it is
    monkeypatch.setattr(bl.kcl, "lookup", made.get)
    back = marked()
    assert back.restored and not wide.restored and described() == made and bl.kcl.asked == asked
    assert back.instances[0].instances[-1] is wide and back.info["size"] == (1, 2)
    assert straight(length=4.0) is back.uses[straight(length=4.0).index]  # taken up by its factory call
    # Not brought back: other settings, a failed call, a value with no exact plain form, a missing cell.
    bl.kcl.clear()
    monkeypatch.setattr(bl.kcl, "lookup", lambda name: None if name == "straight" else made.get(name))
    assert not marked().restored and not marked(size=[1, 2]).restored
    assert not bl.kcl.cell_by_name("straight").restored and bl.kcl.cell_by_name(back.instances[0].name).restored

    @bl.cell
    def careful(c, how=None):
        try:
            marked(size=(-1,), nope=1)
        except TypeError:
            pass

    for cell in (careful(), careful(how=len), route()):
        with pytest.raises(ValueError):
            bl.cell_data(cell)
