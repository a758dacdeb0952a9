"""The module against collaborators that fail or answer oddly: every exit of
the connection scope, odd driver rows and counts, mappings that are not dicts,
odd context managers and globals, and the `from ... import` variants at load."""

from __future__ import annotations

import functools
import subprocess
import sys
from types import SimpleNamespace as NS

import pytest
from conftest import OPS, Boom, Truthless, boom


@pytest.mark.parametrize("points", ["", "connect", "cursor", "__enter__", "__exit__", "commit", "statement",
                                    "suppressed", "statement __exit__"])
@pytest.mark.parametrize("name", OPS)
def test_every_exit_of_the_connection_scope(registry, driver, name, points):
    args, kwargs, kind, *_ = OPS[name]
    call = lambda: getattr(registry, name)(*args, **kwargs)  # noqa: E731
    expected = None if kind == "writes" else call()
    events = driver(*points.split(), rows=list).events
    if not points:  # the normal exit, with rows of any sequence type (here lists): the same answer
        assert call() == expected or kind == "writes"
    elif points == "suppressed":
        # As after a `with` block whose __exit__ swallowed the error: the
        # function goes on after it, with nothing assigned inside.
        if kind == "after":
            with pytest.raises(UnboundLocalError, match="^cannot access local variable '(rows|relpaths)' where"):
                call()
        else:
            assert call() is None
    elif points == "commit" and kind != "writes":
        call()
    else:
        with pytest.raises(Boom) as info:
            call()
        assert info.value.args == (points.split()[-1],)
        if points == "statement":  # __exit__ was handed the error and its traceback so far
            entries, tb = [], info.value.__traceback__
            while tb:
                entries, tb = [*entries, tb], tb.tb_next
            assert events[-1][:3] == ("exit", Boom, info.value) and events[-1][3] in entries[1:]
        elif points == "statement __exit__":
            assert info.value.__context__.args == ("statement",)


def some_items_then_boom(row, k):
    yield from list(row)[:k]
    raise Boom("row")


Opaque = type("Opaque", (), {"__iter__": boom})
Unprintable = type("Unprintable", (), {"__gt__": lambda self, other: True, "__str__": boom})
Incomparable = type("Incomparable", (), {"__gt__": boom})


# --- collaborators with odd answers: the live layout, records and settings ----------------

def bad_items(items):
    """A live registry (not a plain dict) whose items() answers what `items()` gives."""
    return NS(kcl=NS(tkcells=type("BadItems", (dict,), {"items": lambda self: items()})()))


def manager(**members):
    """A driver whose connections are objects of a class of these members."""
    return NS(connect=lambda path: type("Manager", (), members)())


NO_PROTOCOL = "TypeError: 'Manager' object does not support the context manager protocol"
ENTER = functools.partial(NS, cursor=lambda: 1 / 0)  # no descriptor: called as it is; its answer is the connection


@pytest.mark.parametrize("call, replaced, error", [
    # a layout library without a registry, or whose registry's items are not pairs or fail while iterated
    ("sync_from_kcl()", {"bl": NS()}, "AttributeError: 'types.SimpleNamespace' object has no attribute 'kcl'"),
    ("sync_from_kcl()", {"bl": NS(kcl=NS())},
     "AttributeError: 'types.SimpleNamespace' object has no attribute 'tkcells'"),
    ("get_runtime_factory_dependencies('f')", {"bl": bad_items(lambda: [(0,)])},
     "ValueError: not enough values to unpack (expected 2, got 1)"),
    ("get_runtime_factory_dependencies('f')", {"bl": bad_items(lambda: some_items_then_boom([(0, NS(name="c"))], 1))},
     "Boom: row"),
    # unhashable names and indices, a start set that is no sequence, a name the argument check refuses
    ("get_runtime_factory_dependencies('f')", {"bl": NS(kcl=NS(tkcells={0: NS(name=[])}))},
     "TypeError: unhashable type: 'list'"),
    ("get_runtime_factory_dependencies('A')", {"get_components_by_factories": lambda *names: {"A": [NS(name=[])]}},
     "TypeError: unhashable type: 'list'"),
    ("get_factories_by_idxs([])", {}, "TypeError: unhashable type: 'list'"),
    ("get_runtime_factories_dependency_graph(['A'])", {}, "TypeError: unhashable type: 'list'"),
    ("get_runtime_factories_dependency_graph()", {"get_all_factory_names": lambda: 5},
     "TypeError: 'int' object is not iterable"),
    ("get_runtime_factories_dependency_graph()", {"get_all_factory_names": boom}, "Boom: collaborator"),
    ("get_runtime_factories_dependency_graph('A', 1)", {},
     "TypeError: Argument 'name' has incorrect type (expected str, got int)"),
    # connections entered as the with statement enters them: both methods looked up first
    ("get_all_factory_names()", {"sqlite3": manager()}, NO_PROTOCOL),
    ("get_all_factory_names()", {"sqlite3": manager(__enter__=ENTER)}, NO_PROTOCOL + " (missed __exit__ method)"),
    ("get_all_factory_names()", {"sqlite3": manager(__enter__=property(boom), __exit__=boom)}, "Boom: collaborator"),
    ("get_all_factory_names()", {"sqlite3": manager(__enter__=ENTER, __exit__=property(boom))}, "Boom: collaborator"),
    ("get_all_factory_names()", {"sqlite3": manager(__enter__=ENTER, __exit__=lambda self, *exc: None)},
     "ZeroDivisionError: division by zero"),
    # driver rows that do not unpack fail as Python's unpacking does, counts as comparing or printing them fails
    ("get_all_factories()", {"rows": lambda row: 7}, "TypeError: cannot unpack non-iterable int object"),
    ("get_all_models()", {"rows": lambda row: Opaque()}, "Boom: collaborator"),
    ("get_components_by_factories('f')", {"rows": lambda row: list(row)[:-1]},
     "ValueError: not enough values to unpack (expected 5, got 4)"),
    ("get_all_models()", {"rows": lambda row: [*row, None]}, "ValueError: too many values to unpack (expected 6)"),
    ("get_factories_by_source('a.py')", {"rows": lambda row: some_items_then_boom(row, 1)}, "Boom: row"),
    ("get_factories_by_source('a.py')", {"rows": lambda row: some_items_then_boom(row, 2)}, "Boom: row"),
    ("get_all_factory_names()", {"rows": lambda row: 7}, "TypeError: 'int' object is not subscriptable"),
    ("get_factories_by_components('c')", {"rows": lambda row: 7}, "TypeError: 'int' object is not subscriptable"),
    ("get_all_models()", {"rows": lambda row: ([], *row[1:])}, "TypeError: unhashable type: 'list'"),
    ("get_components_by_factories('f')", {"rows": lambda row: (row[0], [], *row[2:])},
     "TypeError: unhashable type: 'list'"),
    *((call, {"count": Unprintable()}, "Boom: collaborator")
      for call in ("reset_timestamps()", "remove_components('c')")),
    *((call, {"count": Incomparable()}, "Boom: collaborator")
      for call in ("set_factories_has_model_by_names('f', has_model=True)", "remove_components_by_factories('f')")),
    # a truth value that fails, taken once the call is known to be valid
    ("update_factories([], ['a'], update_last_modified=Truthless())", {}, "Boom: truth"),
    # records and settings that raise
    ("get_all_factories()", {"FactoryRecord": boom}, "Boom: collaborator"),
    ("get_all_models()", {"ModelRecord": boom}, "Boom: collaborator"),
    ("get_components_by_factories('f')", {"ComponentRecord": boom}, "Boom: collaborator"),
    ("get_runtime_factory_dependencies('f')", {"get_factories_by_components": boom}, "Boom: collaborator"),
    ("add_components(NS(to_db_tuple=boom))", {}, "Boom: collaborator"),
    ("add_components(NS(name='e', factory_name=['f'], to_db_tuple=lambda: ('e', 'f', '[]', '{}', '{}')))", {},
     "TypeError: unhashable type: 'list'"),
    ("remove_factories_by_source(3)", {},  # _relpath fails on what Path() refuses
     "TypeError: argument should be a str or an os.PathLike object where __fspath__ returns a str, not 'int'"),
    ("get_all_factories()", {"get_db_path": lambda: NS(exists=Truthless)}, "Boom: truth"),
    ("get_all_factories()", {"get_db_path": lambda: NS(exists=boom)}, "Boom: collaborator"),
    ("get_factories_by_source('a.py')", {"get_db_path": lambda: NS(exists=lambda: False), "_relpath": lambda p: []},
     "TypeError: unhashable type: 'list'"),
])
def test_odd_answers_fail_as_python_fails(registry, layout, driver, monkeypatch, call, replaced, error):
    layout.kcl.create_cell("p").place(layout.kcl.create_cell("c"))  # f's component, in a cell of no factory
    for name, value in replaced.items():
        if name in ("rows", "count"):  # what the driver hands back
            driver(**{name: value})
        else:
            monkeypatch.setattr(registry, name, value)
    with pytest.raises(Exception) as info:
        eval(call, {"NS": NS, "boom": boom, "Truthless": Truthless}, vars(registry))
    assert f"{info.type.__name__}: {info.value}" == error


# --- the frame: globals, function attributes and the imports at load -----------------------

def test_names_and_annotations_are_rebound_as_on_python_functions(db, monkeypatch):
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

    assert outcomes(db.get_all_factories) == outcomes(lambda: None) == ([
        "__name__ must be set to a string object", "__qualname__ must be set to a string object",
        "__annotations__ must be set to a dict object"], "n", "q", {})


MODELS = "import tessaro.core.shared, tessaro.core.lazy, tessaro.models\n"
FAKE = "m = sys.modules['tessaro.models'] = types.ModuleType('tessaro.models')\n"
UNKNOWN = "ImportError: cannot import name 'ComponentRecord' from '<unknown module name>' (unknown location)"
KEY = "class Key:\n    __hash__ = lambda self: hash({!r})\n    __eq__ = lambda self, other: 1 / 0\n"  # a name's hash


# Each: what to do before the import, and what must then hold of a loaded module.
@pytest.mark.parametrize("setup, expected", [
    (MODELS + "del builtins.__import__", "ImportError: __import__ not found"),
    (MODELS + KEY.format("__import__") + "del builtins.__import__; vars(builtins)[Key()] = None",
     "ZeroDivisionError: division by zero"),
    (FAKE + "m.__name__ = 5", UNKNOWN),
    ("sys.modules['tessaro.models'] = types.SimpleNamespace()", UNKNOWN),
    (FAKE + "m.__file__ = 'f.py'; del m.__spec__",
     "ImportError: cannot import name 'ComponentRecord' from 'tessaro.models' (f.py)"),
    (FAKE + "m.__file__ = 'f.py'; m.__spec__ = types.SimpleNamespace(_initializing=True)",  # a circular import
     "ImportError: cannot import name 'ComponentRecord' from partially initialized module 'tessaro.models' (most "
     "likely due to a circular import) (f.py)"),
    (FAKE + "m.__file__ = 'f.py'; m.__spec__ = 1",
     "ImportError: cannot import name 'ComponentRecord' from 'tessaro.models' (f.py)"),
    (FAKE + "def fail(name):\n    raise (AttributeError if name.startswith('__') else KeyError)(name)\n"
     "m.__getattr__ = fail", "KeyError: 'ComponentRecord'"),
    # a submodule of the name, and one whose lookup in sys.modules fails
    ("import tessaro.models as real\n" + FAKE + "m.FactoryRecord, m.ModelRecord = real.FactoryRecord, "
     "real.ModelRecord\nsys.modules['tessaro.models.ComponentRecord'] = types.ModuleType('sub')", "None"),
    (FAKE + KEY.format("tessaro.models.ComponentRecord") + "sys.modules[Key()] = None",
     "ZeroDivisionError: division by zero"),
    ("import typing; typing.TYPE_CHECKING = True", "None"),
])
def test_imports_at_load_bind_as_the_import_statement_binds(setup, expected):
    script = """
import builtins, importlib, sys, types, weakref
original, seen = builtins.__import__, []

def noting(name, globals=None, locals=None, fromlist=None, level=0):
    if globals and globals.get("__name__") == "tessaro.core.database":
        seen.extend([name if locals is globals and level == 0 else "?", *(fromlist or ())])
    return original(name, globals, locals, fromlist, level)

builtins.__import__ = noting
""" + setup + """
ns = {}
for run in (lambda: exec("from tessaro.models import ComponentRecord, FactoryRecord, ModelRecord", ns),
            lambda: importlib.import_module("tessaro.core.database") and None):
    try:
        print(run())
    except Exception as e:
        print(f"{type(e).__name__}: {e}")
if db := sys.modules.get("tessaro.core.database"):
    lazy = [m in sys.modules for m in ("networkx", "brimlay", "tessaro.logger", "tessaro.settings")]
    import tessaro.logger as logger, tessaro.settings as settings, _xxsubinterpreters as interpreters
    alive = weakref.ref(db.add_factories)  # still when the interpreter ends
    print(db.ComponentRecord is ns["ComponentRecord"], lazy == [db.TYPE_CHECKING] * 4,
          # type checkers' imports, when TYPE_CHECKING is true: the real objects
          db.TYPE_CHECKING == (db.bl is sys.modules.get("brimlay")) == (db.nx is sys.modules.get("networkx"))
          == (db.log is logger.get_logger) == (db.get_db_path is settings.get_db_path)
          == (db.get_project_dir is settings.get_project_dir), *seen)
    # Imported again, reloaded, or in another interpreter: the module is made once.
    db.get_db_path = marker = object()
    del sys.modules["tessaro.core.database"]
    import tessaro.core.database as again
    print(importlib.reload(db) is db is again and db.get_db_path is marker)
    try:
        interpreters.run_string(interpreters.create(), "import tessaro.core.database")
    except interpreters.RunFailedError as e:
        print(e)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    statement, module, *loaded = done.stdout.splitlines()
    assert (statement, module) == (expected, expected), done.stderr
    imports = ("sqlite3 pathlib Path typing TYPE_CHECKING tessaro.core.shared try_func tessaro.models ComponentRecord "
               "FactoryRecord ModelRecord tessaro.core.lazy lazy_import"
               + " brimlay networkx tessaro.logger get_logger tessaro.settings get_db_path get_project_dir"
               * ("TYPE_CHECKING" in setup))
    assert loaded == ([f"True True True {imports}", "True", "<class 'ImportError'>: Interpreter change detected - this "
                       "module can only be loaded into one interpreter per process."] if expected == "None" else [])
