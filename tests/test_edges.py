"""The module against collaborators that fail or answer oddly: every exit of
the connection scope, odd driver rows and counts, mappings that are not dicts,
odd context managers and globals, and the `from ... import` variants at load."""

from __future__ import annotations

import builtins
import ctypes
import sqlite3
import subprocess
import sys
from types import MappingProxyType
from types import SimpleNamespace as NS

import pytest

from tessaro.models import ComponentRecord, FactoryRecord, ModelRecord


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("collaborator")


class Driver:
    """sqlite3 as the module uses it, over the real one, failing at `point`:
    a step of the connection scope, "statement" (every statement but the
    table creations) or "suppressed" (the same, with __exit__ swallowing
    it).  `rows` reshapes each fetched row; `rowcount` replaces the count."""

    def __init__(self, point=None, rows=None, rowcount=None):
        self.point, self.rows, self.count = point, rows, rowcount

    def fail(self, point):
        if self.point == point or (point == "statement" and self.point == "suppressed"):
            raise Boom(point)

    def connect(self, path):
        self.fail("connect")
        return Connection(self, sqlite3.connect(path))


class Connection:
    def __init__(self, driver, real):
        self.driver, self.real = driver, real

    def __enter__(self):
        self.driver.fail("__enter__")
        self.real.__enter__()
        return self

    def __exit__(self, *exc):
        self.real.__exit__(*exc)
        self.driver.fail("__exit__")
        return self.driver.point == "suppressed"

    def cursor(self):
        self.driver.fail("cursor")
        return Cursor(self.driver, self.real.cursor())

    def commit(self):
        self.driver.fail("commit")
        self.real.commit()


class Cursor:
    def __init__(self, driver, real):
        self.driver, self.real = driver, real

    def execute(self, statement, *params):
        if not statement.startswith("CREATE"):
            self.driver.fail("statement")
        self.real.execute(statement, *params)

    def executemany(self, statement, params):
        self.driver.fail("statement")
        self.real.executemany(statement, params)

    def fetchall(self):
        rows = self.real.fetchall()
        return rows if self.driver.rows is None else [self.driver.rows(row) for row in rows]

    @property
    def rowcount(self):
        return self.real.rowcount if self.driver.count is None else self.driver.count


@pytest.fixture
def registry(db, monkeypatch):
    """A database with factory f (source a.py), its component c and its model;
    use(driver) puts a Driver in the place of sqlite3."""
    db.add_factories(FactoryRecord(name="f", source="a.py"))
    db.add_components(ComponentRecord(name="c", factory_name="f"))
    db.add_models(ModelRecord(factory="f", source="m.py"))
    return lambda driver: monkeypatch.setattr(db, "sqlite3", driver)


# Every operation that opens the database: arguments that make it reach its
# statements and, for writers, its commit; "after" marks the three that finish
# their answer after leaving the scope.
OPS = {
    "add_factories": ((FactoryRecord(name="g", source="a.py"),), {}, "writes"),
    "update_factories": (([FactoryRecord(name="g", source="a.py")], ["f"]), {}, "writes"),
    "remove_factories": (("f",), {}, "writes"),
    "remove_factories_by_source": (("a.py",), {}, "writes"),
    "get_factories_by_source": (("a.py",), {}, "after"),
    "get_all_factories": ((), {}, ""),
    "get_factories_by_name": (("f",), {}, ""),
    "get_all_factory_names": ((), {}, ""),
    "get_factory_sources_by_name": (("f",), {}, "after"),
    "reset_timestamps": ((), {}, "writes"),
    "set_factories_status_by_names": (("f",), {"status": "OK"}, "writes"),
    "set_factories_has_model_by_names": (("f",), {"has_model": True}, "writes"),
    "set_all_factories_has_model": ((), {"has_model": True}, "writes"),
    "add_components": ((ComponentRecord(name="d", factory_name="f"),), {}, "writes"),
    "remove_components": (("c",), {}, "writes"),
    "remove_components_by_factories": (("f",), {}, "writes"),
    "get_components_by_factories": (("f",), {}, ""),
    "get_factories_by_components": (("c",), {}, ""),
    "add_models": ((ModelRecord(factory="g", source="m.py"),), {}, "writes"),
    "remove_models": (("f",), {}, "writes"),
    "get_all_models": ((), {}, ""),
    "get_models_by_name": (("f",), {}, ""),
    "get_model_sources_by_name": (("f",), {}, "after"),
}
POINTS = ["connect", "cursor", "__enter__", "__exit__", "commit", "statement", "suppressed"]


@pytest.mark.parametrize("point", POINTS)
@pytest.mark.parametrize("name", OPS)
def test_every_exit_of_the_connection_scope(db, registry, name, point):
    args, kwargs, kind = OPS[name]
    registry(Driver(point))
    call = lambda: getattr(db, name)(*args, **kwargs)  # noqa: E731
    if point == "suppressed":
        # As after a `with` block whose __exit__ swallowed the error: the
        # function goes on after it, with nothing assigned inside.
        if kind == "after":
            with pytest.raises(UnboundLocalError, match="^cannot access local variable '(rows|relpaths)' where"):
                call()
        else:
            assert call() is None
    elif point == "commit" and kind != "writes":
        call()
    else:
        with pytest.raises(Boom) as info:
            call()
        assert info.value.args == (point if point != "suppressed" else "statement",)


def some_items_then_boom(row, k):
    yield from list(row)[:k]
    raise Boom("row")


class Opaque:
    def __iter__(self):
        raise Boom("row")


# Rows as the driver may hand them: any sequence does, and a row that does not
# unpack fails as Python's unpacking does.
ROWS = [
    ("get_all_factories", (), list, None),
    ("get_components_by_factories", ("f",), list, None),
    ("get_all_models", (), list, None),
    ("get_factories_by_source", ("a.py",), list, None),
    ("get_factories_by_components", ("c",), list, None),
    ("get_all_factory_names", (), list, None),
    ("get_factory_sources_by_name", ("f",), list, None),
    ("get_all_factories", (), lambda row: 7, TypeError("cannot unpack non-iterable int object")),
    ("get_all_models", (), lambda row: Opaque(), Boom("row")),
    ("get_components_by_factories", ("f",), lambda row: list(row)[:-1],
     ValueError("not enough values to unpack (expected 5, got 4)")),
    ("get_all_models", (), lambda row: [*row, None], ValueError("too many values to unpack (expected 6)")),
    ("get_factories_by_source", ("a.py",), lambda row: some_items_then_boom(row, 1), Boom("row")),
    ("get_factories_by_source", ("a.py",), lambda row: some_items_then_boom(row, 2), Boom("row")),
    ("get_all_factory_names", (), lambda row: 7, TypeError("'int' object is not subscriptable")),
    ("get_factories_by_components", ("c",), lambda row: 7, TypeError("'int' object is not subscriptable")),
    ("get_all_models", (), lambda row: ([], *row[1:]), TypeError("unhashable type: 'list'")),
    ("get_components_by_factories", ("f",), lambda row: (row[0], [], *row[2:]), TypeError("unhashable type: 'list'")),
]


@pytest.mark.parametrize("name, args, rows, error", ROWS)
def test_rows_of_any_shape(db, registry, name, args, rows, error):
    expected = getattr(db, name)(*args)
    registry(Driver(rows=rows))
    if error is None:
        assert getattr(db, name)(*args) == expected
    else:
        with pytest.raises(type(error)) as info:
            getattr(db, name)(*args)
        assert str(info.value) == str(error)


class Unprintable:
    def __gt__(self, other):
        return True

    def __str__(self):
        raise Boom("str")


class Incomparable:
    def __gt__(self, other):
        raise Boom("compare")


@pytest.mark.parametrize("count", [Unprintable(), Incomparable()])
@pytest.mark.parametrize("name", ["reset_timestamps", "set_factories_status_by_names",
                                  "set_factories_has_model_by_names", "set_all_factories_has_model",
                                  "remove_components", "remove_components_by_factories"])
def test_odd_row_counts_fail_as_comparing_or_printing_them_fails(db, registry, name, count):
    args, kwargs, _ = OPS[name]
    registry(Driver(rowcount=count))
    with pytest.raises(Boom):
        getattr(db, name)(*args, **kwargs)


class NotADescriptor:
    def __init__(self, result):
        self.result = result

    def __call__(self):
        return self.result


def failing_property(self):
    raise Boom("lookup")


@pytest.mark.parametrize("members, error", [
    ({}, None),  # __enter__, a callable that is not a descriptor, is called as it is
    ({"__exit__": None}, "'Manager' object does not support the context manager protocol (missed __exit__ method)"),
    ({"__enter__": property(failing_property)}, "lookup"),
    ({"__exit__": property(failing_property)}, "lookup"),
])
def test_context_managers_are_entered_as_the_with_statement_enters_them(db, registry, monkeypatch, members, error):
    conn = sqlite3.connect(db.get_db_path())
    members = {"__enter__": NotADescriptor(conn), "__exit__": lambda self, *exc: conn.__exit__(*exc), **members}
    manager = type("Manager", (), {k: v for k, v in members.items() if v is not None})
    monkeypatch.setattr(db, "sqlite3", NS(connect=lambda path: manager()))
    if error is None:
        assert db.get_all_factory_names() == ["f"]
    else:
        with pytest.raises((Boom, TypeError)) as info:
            db.get_all_factory_names()
        assert str(info.value) == error


# --- collaborators with odd answers: lookups and the live layout -----------------------

def cell(name, parents=(), children=()):
    return NS(name=name, kdb_cell=NS(each_parent_cell=lambda: parents, each_child_cell=lambda: children))


@pytest.fixture
def world(db, monkeypatch):
    """A live layout A > B (indices 0, 1) and lookups over it, each answer
    passed through `wrap` (a plain dict, or another mapping)."""

    def use(wrap, cells=None):
        cells = {0: cell("A", children=[1]), 1: cell("B", parents=[0])} if cells is None else cells
        monkeypatch.setattr(db, "bl", NS(kcl=NS(tkcells=wrap(cells))))
        monkeypatch.setattr(db, "get_components_by_factories",
                            lambda *names: wrap({n: [NS(name=n)] for n in names if n in "AB"}))
        monkeypatch.setattr(db, "get_factories_by_components",
                            lambda *names: wrap({n: NS(name=n) for n in names if n in "AB"}))
        monkeypatch.setattr(db, "get_all_factory_names", lambda: ["A"])
        return db

    return use


@pytest.mark.parametrize("wrap", [dict, MappingProxyType])
def test_mappings_need_not_be_dicts(world, wrap):
    db = world(wrap)
    assert db.get_runtime_factory_dependencies("A") == ([], ["B"])
    assert db.get_runtime_factory_dependencies("B") == (["A"], [])
    assert [(i, r.name) for i, r in db.get_factories_by_idxs(1, 0, 7).items()] == [(1, "B"), (0, "A")]
    assert list(db.get_runtime_factories_dependency_graph().edges) == [("A", "B")]


class BadItems(dict):
    """A registry (not a plain dict) whose items() answers `items`."""

    def __init__(self, items):
        super().__init__()
        self.answer = items

    def items(self):
        return self.answer


def layout(cells):
    return NS(kcl=NS(tkcells=cells))


@pytest.mark.parametrize("call, replaced, error", [
    # the live registry's items: not pairs, or failing while iterated
    ("get_runtime_factory_dependencies('A')", {"bl": layout(BadItems([(0,)]))},
     "ValueError: not enough values to unpack (expected 2, got 1)"),
    ("get_runtime_factory_dependencies('A')", {"bl": layout(BadItems(some_items_then_boom([(0, cell("A"))], 1)))},
     "Boom: row"),
    # unhashable names and indices
    ("get_runtime_factory_dependencies('A')", {"bl": layout({0: cell([])})}, "TypeError: unhashable type: 'list'"),
    ("get_runtime_factory_dependencies('A')", {"get_components_by_factories": lambda *names: {"A": [NS(name=[])]}},
     "TypeError: unhashable type: 'list'"),
    ("get_runtime_factory_dependencies('A')", {"get_factories_by_components": boom}, "Boom: collaborator"),
    ("get_factories_by_idxs([])", {}, "TypeError: unhashable type: 'list'"),
    ("get_runtime_factories_dependency_graph(['A'])", {}, "TypeError: unhashable type: 'list'"),
    # a start set that is no sequence, a layout library without a registry
    ("get_runtime_factories_dependency_graph()", {"get_all_factory_names": lambda: 5},
     "TypeError: 'int' object is not iterable"),
    ("sync_from_kcl()", {"bl": NS()}, "AttributeError: 'types.SimpleNamespace' object has no attribute 'kcl'"),
    ("sync_from_kcl()", {"bl": NS(kcl=NS())},
     "AttributeError: 'types.SimpleNamespace' object has no attribute 'tkcells'"),
])
def test_odd_answers_fail_as_python_fails(world, monkeypatch, call, replaced, error):
    db = world(dict)
    for name, value in replaced.items():
        monkeypatch.setattr(db, name, value)
    with pytest.raises(Exception) as info:
        eval(call, {}, vars(db))
    assert f"{info.type.__name__}: {info.value}" == error


def test_cells_without_an_index_are_skipped(world):
    # A component whose cell is registered under the index None has no cell.
    db = world(dict, {None: cell("A", children=[1]), 1: cell("B")})
    assert db.get_runtime_factory_dependencies("A") == ([], [])


@pytest.fixture
def sync(db, monkeypatch):
    """sync_from_kcl over `cells`, each standing for what from_tkcell yields (a callable is run first)."""
    monkeypatch.setattr(db, "try_func", lambda f: lambda cell: cell() if callable(cell) else cell)

    def run(cells):
        monkeypatch.setattr(db, "bl", NS(kcl=NS(tkcells=cells)))
        return db.sync_from_kcl()

    return run


class Truthless:
    def __bool__(self):
        raise Boom("truth")


def test_sync_fails_as_its_collaborators_fail(db, sync, monkeypatch):
    cells = {}
    cells.update({0: lambda: cells.pop(0) and cells.setdefault(2, None), 1: None})
    with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$"):
        sync(cells)  # the same size, but more entries than at the start
    with pytest.raises(Boom):
        sync({0: NS(name=Truthless())})
    with pytest.raises(AttributeError):
        sync({0: object()})
    monkeypatch.setattr(db, "add_components", lambda *records: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        sync({0: ComponentRecord(name="c")})


def test_components_of_odd_records(db, sql, registry):
    # Only truthy factory names mark factories; a name must be hashable to do so.
    sql("UPDATE factories SET status = 'FAILED'")
    db.add_components(ComponentRecord(name="d", factory_name=""))
    assert sql("SELECT status FROM factories") == [("FAILED",)]
    odd = NS(name="e", factory_name=["f"], to_db_tuple=lambda: ("e", "f", "[]", "{}", "{}"))
    with pytest.raises(TypeError, match="unhashable"):
        db.add_components(odd)
    assert db.get_factories_by_components("nothing") == {}


# --- records, settings and globals --------------------------------------------------------

@pytest.mark.parametrize("call, replaced", [
    ("get_all_factories()", {"FactoryRecord": boom}),
    ("get_all_models()", {"ModelRecord": boom}),
    ("get_components_by_factories('f')", {"ComponentRecord": boom}),
    ("add_components(NS(to_db_tuple=boom))", {}),
    ("remove_factories_by_source(3)", {}),  # _relpath fails on what Path() refuses
    ("get_all_factories()", {"get_db_path": lambda: NS(exists=Truthless)}),
    ("get_all_factories()", {"get_db_path": lambda: NS(exists=boom)}),
    ("get_factories_by_source('a.py')", {"get_db_path": lambda: NS(exists=lambda: False), "_relpath": lambda p: []}),
])
def test_collaborators_that_raise(db, registry, monkeypatch, call, replaced):
    for name, value in replaced.items():
        monkeypatch.setattr(db, name, value)
    with pytest.raises((Boom, TypeError)):
        eval(call, {"NS": NS, "boom": boom}, vars(db))


# --- the frame: globals, function attributes and the imports at load -----------------------

class Colliding:
    """A dict key that takes the place of `name`'s hash and cannot be compared."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise Boom("compare")


@pytest.mark.parametrize("namespace", [lambda db: vars(db), lambda db: vars(builtins)])
def test_global_lookups_fail_as_dict_lookups_fail(db, without, namespace):
    without("_create_factories_table")
    key, namespace = Colliding("_create_factories_table"), namespace(db)
    namespace[key] = None
    try:
        with pytest.raises(Boom):
            db._create_tables(None)
    finally:
        del namespace[key]


def test_names_and_annotations_are_rebound_as_on_python_functions(db, monkeypatch):
    def plain():
        pass

    def outcomes(f):
        seen = []
        for name, value in [("__name__", 1), ("__qualname__", None), ("__annotations__", 1)]:
            try:
                delattr(f, name) if value is None else setattr(f, name, value)
            except TypeError as e:
                seen.append(str(e))
        for name, value in [("__name__", "n"), ("__qualname__", "q"), ("__annotations__", None)]:
            monkeypatch.setattr(f, name, value)
        return seen, f.__name__, f.__qualname__, f.__annotations__

    assert outcomes(db.get_all_factories) == outcomes(plain) == ([
        "__name__ must be set to a string object", "__qualname__ must be set to a string object",
        "__annotations__ must be set to a dict object"], "n", "q", {})


# Each: what to do before the import, and what must then hold of a loaded module.
IMPORTS = {
    "without __import__": ("import tessaro.core.shared, tessaro.core.lazy, tessaro.models; del builtins.__import__",
                           "ImportError: __import__ not found"),
    "failing builtins lookup": ("import tessaro.core.shared, tessaro.core.lazy, tessaro.models\n"
                                "class Key:\n"
                                "    __hash__ = lambda self: hash('__import__')\n"
                                "    __eq__ = lambda self, other: 1 / 0\n"
                                "del builtins.__import__; vars(builtins)[Key()] = None",
                                "ZeroDivisionError: division by zero"),
    "module without a file": ("sys.modules['tessaro.models'] = types.ModuleType('tessaro.models')",
                              "ImportError: cannot import name 'ComponentRecord' from 'tessaro.models' "
                              "(unknown location)"),
    "module named by no string": ("m = sys.modules['tessaro.models'] = types.ModuleType('x'); m.__name__ = 5",
                                  "ImportError: cannot import name 'ComponentRecord' from '<unknown module name>' "
                                  "(unknown location)"),
    "not a module": ("sys.modules['tessaro.models'] = types.SimpleNamespace()",
                     "ImportError: cannot import name 'ComponentRecord' from '<unknown module name>' "
                     "(unknown location)"),
    "file, no spec": ("m = sys.modules['tessaro.models'] = types.ModuleType('tessaro.models'); m.__file__ = 'f.py';"
                      "del m.__spec__",
                      "ImportError: cannot import name 'ComponentRecord' from 'tessaro.models' (f.py)"),
    "file, a spec without state": ("m = sys.modules['tessaro.models'] = types.ModuleType('tessaro.models');"
                                   "m.__file__ = 'f.py'; m.__spec__ = 1",
                                   "ImportError: cannot import name 'ComponentRecord' from 'tessaro.models' (f.py)"),
    "failing attribute lookup": ("m = sys.modules['tessaro.models'] = types.ModuleType('tessaro.models')\n"
                                 "def fail(name):\n"
                                 "    raise (AttributeError if name.startswith('__') else KeyError)(name)\n"
                                 "m.__getattr__ = fail", "KeyError: 'ComponentRecord'"),
    "a submodule of the name": ("import tessaro.models as real; m = types.ModuleType('tessaro.models');"
                                "m.FactoryRecord, m.ModelRecord = real.FactoryRecord, real.ModelRecord;"
                                "sys.modules['tessaro.models'] = m;"
                                "sys.modules['tessaro.models.ComponentRecord'] = types.ModuleType('sub')",
                                "None"),
    "type checking": ("import typing; typing.TYPE_CHECKING = True", "None"),
}
IMPORT_SCRIPT = """
import builtins, importlib, sys, types
{setup}

def attempt(run):
    try:
        return run()
    except Exception as e:
        return f"{{type(e).__name__}}: {{e}}"

ns = {{}}
print(attempt(lambda: exec("from tessaro.models import ComponentRecord, FactoryRecord, ModelRecord", ns)))
print(attempt(lambda: importlib.import_module("tessaro.core.database") and None))
db = sys.modules.get("tessaro.core.database")
if db:
    import tessaro.logger as logger, tessaro.settings as settings, weakref
    alive = weakref.ref(db.add_factories)  # still when the interpreter ends
    print(db.ComponentRecord is ns["ComponentRecord"],
          # type checkers' imports, when TYPE_CHECKING is true: the real objects
          db.TYPE_CHECKING == (db.bl is sys.modules.get("brimlay")) == (db.nx is sys.modules.get("networkx"))
          == (db.log is logger.get_logger) == (db.get_db_path is settings.get_db_path)
          == (db.get_project_dir is settings.get_project_dir))
"""


@pytest.mark.parametrize("variant", list(IMPORTS))
def test_imports_at_load_bind_as_the_import_statement_binds(variant):
    setup, expected = IMPORTS[variant]
    script = IMPORT_SCRIPT.format(setup=setup)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    statement, module, *loaded = done.stdout.splitlines()
    assert (statement, module) == (expected, expected), done.stderr
    assert loaded == (["True True"] if expected == "None" else []), done.stderr


def test_keywords_from_c_callers_are_matched_by_name(db, without):
    # Python passes each keyword once and as a string; a C caller may not.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    without("get_db_path")  # a call that got through would fail here
    for f, args, kwnames, message in [
        (db.update_factories, ([], 1, []), (1, "remove"), "update_factories() keywords must be strings"),
        (db.set_factories_status_by_names, ("a", "b"), ("status", "status"),
         "set_factories_status_by_names() got multiple values for keyword argument 'status'"),
    ]:
        nargs = len(args) - len(kwnames)
        with pytest.raises(TypeError) as info:
            vectorcall(f, (ctypes.py_object * len(args))(*args), nargs, kwnames)
        assert str(info.value) == message
