"""The registry module's surface: function objects and their metadata, the
argument layer, the import sequence and globals looked up at call time."""

from __future__ import annotations
import __future__

import builtins
import ctypes
import inspect
import pickle
import pydoc
import random
import re
import sqlite3
import subprocess
import sys
import textwrap
from pathlib import Path
from types import SimpleNamespace

import argprobe
import pytest

import tessaro.core.database as database


def stub_functions():
    """The functions the stub declares, in its order, with their annotations kept as text."""
    namespace = {"__name__": "stub"}
    exec("from __future__ import annotations\n" + Path(database.__file__).with_name("database.pyi").read_text(),
         namespace)
    return {k: v for k, v in namespace.items() if inspect.isfunction(v) and v.__module__ == "stub"}


STUB = stub_functions()
SUMMARIES = dict(line.split(": ", 1) for line in """\
add_factories: Add multiple factories to the database.
remove_factories: Remove multiple factories and all their child components from the database.
remove_factories_by_source: Remove factories from the database by their source.
update_factories: Atomically add/replace and remove factories in a single transaction.
get_factories_by_source: Get factory names for each given source file.
add_components: Add multiple components to the database simultaneously.
remove_components: Remove multiple components from the database simultaneously.
get_components_by_factories: Get all component records belonging to specific factories.
remove_components_by_factories: Remove all components belonging to specific factories from the database.
get_all_factories: Get all factory records from the database.
get_factories_by_name: Get multiple factory records by their names.
get_factories_by_components: Get factory records for multiple components.
get_runtime_factory_dependencies: Get the dependencies of a factory.
get_factories_by_idxs: Get factory records by their kcl indices.
get_runtime_factories_dependency_graph: Get a dependency graph for multiple factories.
get_factory_sources_by_name: Get source file paths for multiple factories by their names.
_create_factories_table: Create the factories table if it doesn't exist.
_create_models_table: Create the models table if it doesn't exist.
_create_tables: Create all necessary tables in the database.
_relpath: Return the relative path from the project directory to the given path.
get_all_factory_names: Get all factory names from the database.
reset_timestamps: Reset the timestamps of all factories to the current time.
set_factories_status_by_names: Modify the status of multiple factories by their names.
set_factories_has_model_by_names: Set the has_model field for multiple factories by their names.
set_all_factories_has_model: Set the has_model field for all factories in the database.
add_models: Add multiple models to the database.
remove_models: Remove multiple models from the database.
get_all_models: Get all model records from the database.
get_models_by_name: Get multiple model records by their factory names.
get_model_sources_by_name: Get source file paths for multiple models by their factory names.
sync_from_kcl: Sync all cells from bl.kcl into the components table of the database.""".splitlines())
WRAPPED = {"_create_factories_table", "_create_components_table", "_create_models_table"}
GLOBALS = ["sqlite3", "Path", "TYPE_CHECKING", "try_func", "ComponentRecord", "FactoryRecord", "ModelRecord",
           "lazy_import", "nx", "bl", "log", "get_project_dir", "get_db_path", *STUB]


def test_module_namespace_holds_exactly_the_globals_in_binding_order():
    assert [k for k in vars(database) if not k.startswith("__")] == GLOBALS
    assert database.__doc__ == "Database utilities for tracking factory and component information."
    assert database.TYPE_CHECKING is False
    assert pickle.loads(pickle.dumps(database.get_all_factories)) is database.get_all_factories
    # help() lists every public function, with its signature and docstring, as functions.
    functions, data = pydoc.render_doc(database, renderer=pydoc.plaintext).split("\nFUNCTIONS\n")[1].split("\nDATA\n")
    public = sorted(name for name in STUB if not name.startswith("_"))
    assert re.findall(r"^    (\w+)\(", functions, re.M) == public
    assert all(f"    {name}{inspect.signature(STUB[name])}\n        {SUMMARIES[name]}" in functions for name in public)
    assert not re.findall(r"^    (\w+) = ", data, re.M) & STUB.keys()


@pytest.mark.parametrize("name", STUB)
def test_function_metadata_matches_the_stub(name):
    f = getattr(database, name)
    if name in WRAPPED:
        assert f.__wrapped__.__class__ is database.add_factories.__class__
    else:
        assert not hasattr(f, "__wrapped__")
    own, stub = getattr(f, "__wrapped__", f), STUB[name]
    assert inspect.isroutine(own)
    assert (own.__defaults__, own.__kwdefaults__) == (stub.__defaults__, stub.__kwdefaults__)
    code = ["co_name", "co_argcount", "co_kwonlyargcount", "co_varnames", "co_flags"]
    stub_code = stub.__code__.replace(co_flags=stub.__code__.co_flags & ~__future__.CO_FUTURE_ANNOTATIONS)
    assert [getattr(own.__code__, a) for a in code] == [getattr(stub_code, a) for a in code]
    assert inspect.getfullargspec(own) == inspect.getfullargspec(stub)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "tessaro.core.database")
    assert str(inspect.signature(f)) == str(inspect.signature(STUB[name]))
    assert f.__annotations__ == STUB[name].__annotations__
    summary = SUMMARIES.get(name)
    assert (f.__doc__ and f.__doc__.split("\n")[0]) == summary


def test_functions_bind_as_methods():
    class Cursor:
        create = database._create_tables

        def __init__(self):
            self.tables = []

        def execute(self, statement):
            self.tables.append(statement.split()[5])

    cursor = Cursor()
    assert Cursor.create is database._create_tables and cursor.create.__func__ is database._create_tables
    cursor.create()
    getattr(cursor, "create")()  # noqa: B009 - bound through the descriptor protocol, not attribute syntax
    assert cursor.tables == ["factories", "components", "models"] * 2


class Sentinel(Exception):
    pass


@pytest.fixture
def reached(monkeypatch):
    """get_db_path replaced by a probe: a call that passes the argument layer and
    reaches the database raises Sentinel, one refused before it leaves no trace."""
    calls = []

    def probe():
        calls.append(1)
        raise Sentinel

    monkeypatch.setattr(database, "get_db_path", probe)
    return calls


class ListSub(list):
    pass


class StrSub(str):
    pass


def msg_type(arg, expected, got):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"


REFUSED = [
    ("remove_factories", (), {"names": ["a"]}, "remove_factories() got an unexpected keyword argument 'names'"),
    ("get_factories_by_idxs", (1,), {"b": 1, "a": 2}, "get_factories_by_idxs() got an unexpected keyword argument 'b'"),
    ("get_all_factories", (1,), {}, "get_all_factories() takes no arguments (1 given)"),
    ("get_all_factories", (1,), {"x": 1}, "get_all_factories() takes no keyword arguments"),
    ("update_factories", (("a",), []), {}, msg_type("add", "list", "tuple")),
    ("update_factories", ([], [], True), {}, "update_factories() takes exactly 2 positional arguments (3 given)"),
    ("update_factories", (), {"add": []}, "update_factories() takes exactly 2 positional arguments (1 given)"),
    ("update_factories", (), {"remove": []}, "update_factories() takes exactly 2 positional arguments (0 given)"),
    # A bad keyword is reported before the shortage.
    ("update_factories", ([],), {"add": []}, "update_factories() got multiple values for keyword argument 'add'"),
    ("update_factories", ([],), {"foo": 1}, "update_factories() got an unexpected keyword argument 'foo'"),
    ("update_factories", ([],), {"remove": [], "add": []},
     "update_factories() got multiple values for keyword argument 'add'"),
    ("update_factories", ([], []), {"flag": 1}, "update_factories() got an unexpected keyword argument 'flag'"),
    ("set_factories_status_by_names", ("a",), {},
     "set_factories_status_by_names() needs keyword-only argument status"),
    ("set_factories_status_by_names", ("a",), {"status": None}, msg_type("status", "str", "NoneType")),
    ("set_all_factories_has_model", (True,), {},
     "set_all_factories_has_model() takes exactly 0 positional arguments (1 given)"),
    ("set_all_factories_has_model", (), {}, "set_all_factories_has_model() needs keyword-only argument has_model"),
    ("get_runtime_factory_dependencies", (), {"name": b"a"}, msg_type("name", "str", "bytes")),
    ("_relpath", (), {}, "_relpath() takes exactly 1 positional argument (0 given)"),
    ("_roll", (), {"n": 1}, "_roll() takes at least 1 positional argument (0 given)"),
    ("_roll", ((), 1, 2), {}, "_roll() takes at most 2 positional arguments (3 given)"),
    ("_roll", ((), 1), {"n": 2}, "_roll() got multiple values for keyword argument 'n'"),
    ("_roll", ((1, 2, 3), "1"), {}, msg_type("n", "int", "str")),
    # Subclasses of the built-in types: the same message and a note.
    ("update_factories", (ListSub(), []), {}, msg_type("add", "list", "ListSub")),
    ("set_factories_status_by_names", (), {"status": StrSub("x")}, msg_type("status", "str", "StrSub")),
    ("_roll", (type("TupleSub", (tuple,), {})(),), {}, msg_type("tup", "tuple", "TupleSub")),
]


@pytest.mark.parametrize("name, args, kwargs, message", REFUSED)
def test_refused_calls(reached, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(database, name)(*args, **kwargs)
    assert str(info.value) == message
    assert len(getattr(info.value, "__notes__", [])) == message.endswith("Sub)")
    assert reached == []


def test_non_string_keywords_from_c_callers(reached):
    # Python refuses them before the call; a C caller can still pass them.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    for f, nargs in [(database.update_factories, 2), (database.remove_factories, 0)]:
        with pytest.raises(TypeError, match=rf"^{f.__name__}\(\) keywords must be strings$"):
            vectorcall(f, (ctypes.py_object * 3)([], [], True), nargs, (1,))


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    """The stub's signatures with empty bodies, compiled once per session."""
    pytest.importorskip("Cython")
    module = argprobe.build(STUB, tmp_path_factory.mktemp("argprobe"))
    if module is None:
        pytest.skip("no C compiler")
    return module


class Refuse:
    """Stands for a collaborator: a body that is reached stops at its first use."""

    def __call__(self, *args, **kwargs):
        raise Sentinel

    def __getattr__(self, name):
        raise Sentinel


def refusal(f, args, kwargs):
    """The TypeError message of a refused call; None for a call that reached the body."""
    try:
        f(*args, **kwargs)
    except TypeError as e:
        return str(e)
    except Exception:  # the body ran and stopped at a collaborator or at the cursor
        pass
    return None


def test_argument_layer_refuses_as_compiled_python_does(probe, monkeypatch):
    functions = {name: getattr(database, name) for name in STUB}
    for name in ("get_db_path", "get_project_dir", "bl", "nx", "_create_factories_table"):
        monkeypatch.setattr(database, name, Refuse())
    values = [[], (), "s", 1, 1.5, None, b"", ListSub(), StrSub("x"), object()]
    rng, differences, refused = random.Random(7), [], set()
    for name, stub in STUB.items():
        signature, own = inspect.signature(stub), functions[name]
        keywords = [*signature.parameters, "foo"]
        for _ in range(150):
            args = tuple(rng.choices(values, k=rng.randrange(4)))
            kwargs = {k: rng.choice(values) for k in rng.sample(keywords, rng.randrange(len(keywords) + 1))}
            if name == "_roll":
                # The compiled code converts n before it tests tup; the registry tests tup first.
                try:
                    bound = signature.bind(*args, **kwargs).arguments
                except TypeError:
                    bound = {"tup": ()}
                if type(bound["tup"]) is not tuple and not isinstance(bound.get("n", 0), (int, float)):
                    continue
            expected = refusal(getattr(probe, name), args, kwargs)
            refused.add(expected)
            if refusal(getattr(own, "__wrapped__", own), args, kwargs) != expected:
                differences.append((name, args, kwargs, expected))
    assert differences == [] and len(refused) > 100


def test_truth_values_are_taken_only_for_valid_calls(reached):
    asked = []

    class Flag:
        def __bool__(self):
            asked.append(1)
            raise ZeroDivisionError

    with pytest.raises(TypeError):
        database.update_factories(None, [], update_last_modified=Flag())
    assert asked == []
    with pytest.raises(ZeroDivisionError):
        database.update_factories([], ["a"], update_last_modified=Flag())
    assert asked == [1] and reached == []


NOTHING_TO_DO = {
    "add_factories": None, "remove_factories": None, "remove_factories_by_source": [], "get_factories_by_source": {},
    "get_factory_sources_by_name": {}, "add_components": None, "remove_components": None,
    "remove_components_by_factories": None, "get_components_by_factories": {}, "get_factories_by_components": {},
    "add_models": None, "remove_models": None, "get_models_by_name": {}, "get_model_sources_by_name": {},
}


@pytest.mark.parametrize("name, args, kwargs, result", [
    *((name, (), {}, result) for name, result in NOTHING_TO_DO.items()),
    ("add_factories", (), {"update_last_modified": None}, None),
    ("update_factories", ([], []), {"update_last_modified": 0}, None),
    ("update_factories", (), {"remove": [], "add": []}, None),
    ("set_factories_status_by_names", (), {"status": "OK"}, None),
    ("set_factories_has_model_by_names", (), {"has_model": []}, None),
])
def test_empty_calls_return_before_reading_settings(reached, debug_lines, name, args, kwargs, result):
    assert getattr(database, name)(*args, **kwargs) == result
    assert reached == [] and debug_lines == []


@pytest.mark.parametrize("tup, n, expected", [
    ((1, 2, 3), 1, (2, 3, 1)),
    ((1, 2, 3), -1, (3, 1, 2)),
    ((1, 2, 3), 10**30, (1, 2, 3)),
    ((1, 2, 3), 1.9, (2, 3, 1)),
    ((), 2, ()),
])
def test_roll(tup, n, expected):
    assert database._roll(tup, n) == expected
    assert database._roll(tup=tup, n=n) == expected
    assert database._roll(tup) == tup


def test_globals_are_looked_up_at_call_time(monkeypatch):
    calls = []
    monkeypatch.setattr(database, "_create_factories_table", lambda c: calls.append(("f", c)))
    monkeypatch.setattr(database, "_create_models_table", lambda c: calls.append(("m", c)))
    monkeypatch.delattr(database, "_create_components_table")
    with pytest.raises(NameError, match=r"^name '_create_components_table' is not defined$"):
        database._create_tables("cur")
    assert calls == [("f", "cur")]
    monkeypatch.setattr(builtins, "_create_components_table", lambda c: calls.append(("c", c)), raising=False)
    database._create_tables("cur")
    # The builtins are the module's, not those of the code that calls it.
    exec("db._create_tables('cur')", {"__builtins__": {}, "db": database})
    assert calls == [("f", "cur")] + [("f", "cur"), ("c", "cur"), ("m", "cur")] * 2


def test_import_is_light_guarded_and_happens_once():
    script = textwrap.dedent("""
        import builtins, importlib, sys, types
        real, seen = builtins.__import__, []

        def noting(name, globals=None, locals=None, fromlist=None, level=0):
            if globals and globals.get("__name__") == "tessaro.core.database":
                seen.append(name if locals is globals and level == 0 else "?")
                seen.extend(fromlist or ())
            return real(name, globals, locals, fromlist, level)

        builtins.__import__ = noting
        # An eager dependency still being imported (a circular import): its error propagates.
        sys.modules["tessaro.models"] = models = types.ModuleType("tessaro.models")
        models.__file__, models.__spec__ = "models.py", types.SimpleNamespace(_initializing=True)
        try:
            import tessaro.core.database
        except ImportError as e:
            print(e, e.name, e.path, e.name_from)
        del sys.modules["tessaro.models"]
        import tessaro.core.database as db  # and the import can be retried
        builtins.__import__ = real
        print(*seen)
        lazy = ["networkx", "brimlay", "tessaro.logger", "tessaro.settings"]
        print(db.add_factories.__module__, [m for m in lazy if m in sys.modules])
        db.get_db_path = marker = object()
        del sys.modules["tessaro.core.database"]
        import tessaro.core.database as again
        print(importlib.reload(db) is db is again, db.get_db_path is marker)
        import _xxsubinterpreters as interpreters
        try:
            interpreters.run_string(interpreters.create(), "import tessaro.core.database")
        except interpreters.RunFailedError as e:
            print(e)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.splitlines() == [
        "cannot import name 'ComponentRecord' from partially initialized module 'tessaro.models' (most likely due "
        "to a circular import) (models.py) tessaro.models models.py ComponentRecord",
        "sqlite3 pathlib Path typing TYPE_CHECKING tessaro.core.shared try_func tessaro.models ComponentRecord "
        "FactoryRecord ModelRecord " * 2 + "tessaro.core.lazy lazy_import",
        "tessaro.core.database []",
        "True True",
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded into one interpreter "
        "per process.",
    ], result.stderr


def test_type_checking_branch_runs_as_its_imports_read():
    script = textwrap.dedent("""
        import builtins, typing
        real, seen = builtins.__import__, {}

        def noting(name, globals=None, locals=None, fromlist=None, level=0):
            seen.setdefault(globals["__name__"], []).append((name, locals is globals, fromlist, level))
            return real(name, globals, locals, fromlist, level)

        typing.TYPE_CHECKING, builtins.__import__ = True, noting
        import tessaro.core.database as db
        branch = {"__name__": "branch"}
        exec("import brimlay as bl\\nimport networkx as nx\\nfrom tessaro.logger import get_logger as log\\n"
             "from tessaro.settings import get_db_path, get_project_dir", branch)
        print(seen["tessaro.core.database"][-4:] == seen["branch"],
              [getattr(db, k) is branch[k] for k in ("bl", "nx", "log", "get_db_path", "get_project_dir")])
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.split(maxsplit=1) == ["True", "[True, True, True, True, True]\n"], result.stderr


def test_statements_are_sent_as_written(db, sql, monkeypatch):
    sent = []

    class Cursor(sqlite3.Cursor):
        def execute(self, statement, *params):
            sent.append(statement)
            return super().execute(statement, *params)

    class Connection(sqlite3.Connection):
        def cursor(self):
            return super().cursor(Cursor)

    monkeypatch.setattr(db, "sqlite3", SimpleNamespace(connect=lambda path: sqlite3.connect(path, factory=Connection)))
    db.get_all_factory_names()
    sql("INSERT INTO components VALUES ('c', 'f', '', '', '')")
    db.get_all_factories()
    db.get_factories_by_name("a", "b")
    db.get_factories_by_components("c")
    factories = ("SELECT name, source, status, message, default_settings, pdk_type, parents, children, is_partial, "
                 "has_model, tags, ignored_sources, last_updated FROM factories")
    assert [s for s in sent if not s.startswith("CREATE")] == [
        "SELECT name FROM factories",
        factories,
        factories + " WHERE name IN (?,?)",
        "SELECT DISTINCT factory_name FROM components WHERE name IN (?)",
        factories + " WHERE name IN (?)",
    ]
