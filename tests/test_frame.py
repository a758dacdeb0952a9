"""The registry module's surface: function objects and their metadata, the
argument layer, and globals looked up at call time."""

from __future__ import annotations
import __future__

import builtins
import ctypes
import inspect
import pickle
import pydoc
import re
from pathlib import Path

import pytest
from conftest import REFUSED, Boom, boom

import tessaro.core.database as database


def stub_functions():
    """The functions the stub declares, in its order, with their annotations kept as text."""
    namespace = {"__name__": "stub"}
    exec("from __future__ import annotations\n" + Path(database.__file__).with_name("database.pyi").read_text(),
         namespace)
    return {k: v for k, v in namespace.items() if inspect.isfunction(v) and v.__module__ == "stub"}


STUB = stub_functions()
WRAPPED = {"_create_factories_table", "_create_components_table", "_create_models_table"}
GLOBALS = ["sqlite3", "Path", "TYPE_CHECKING", "try_func", "ComponentRecord", "FactoryRecord", "ModelRecord",
           "lazy_import", "nx", "bl", "log", "get_project_dir", "get_db_path", *STUB]


def test_module_namespace_holds_exactly_the_globals_in_binding_order():
    assert [k for k in vars(database) if not k.startswith("__")] == GLOBALS
    assert database.__doc__ == "Database utilities for tracking factory and component information."
    assert pickle.loads(pickle.dumps(database.get_all_factories)) is database.get_all_factories
    # help() lists every public function, with its signature and docstring, as functions.
    functions, data = pydoc.render_doc(database, renderer=pydoc.plaintext).split("\nFUNCTIONS\n")[1].split("\nDATA\n")
    public = sorted(name for name in STUB if not name.startswith("_"))
    assert re.findall(r"^    (\w+)\(", functions, re.M) == public
    assert all(f"    {name}{inspect.signature(STUB[name])}\n        {getattr(database, name).__doc__.split(chr(10))[0]}"
               in functions for name in public)
    assert not re.findall(r"^    (\w+) = ", data, re.M) & STUB.keys()


@pytest.mark.parametrize("name", STUB)
def test_function_metadata_matches_the_stub(name):
    f = getattr(database, name)
    own, stub = getattr(f, "__wrapped__", f), STUB[name]
    assert hasattr(f, "__wrapped__") == (name in WRAPPED) and type(own) is type(database.add_factories)
    assert (own.__defaults__, own.__kwdefaults__) == (stub.__defaults__, stub.__kwdefaults__)
    code = ["co_name", "co_argcount", "co_kwonlyargcount", "co_varnames", "co_flags"]
    stub_code = stub.__code__.replace(co_flags=stub.__code__.co_flags & ~__future__.CO_FUTURE_ANNOTATIONS)
    assert [getattr(own.__code__, a) for a in code] == [getattr(stub_code, a) for a in code]
    assert inspect.getfullargspec(own) == inspect.getfullargspec(stub)  # through __signature__, as help() shows it
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "tessaro.core.database")
    assert f.__annotations__ == STUB[name].__annotations__
    # Every function is documented but two private helpers.
    assert (f.__doc__ is None) == (name in ("_create_components_table", "_roll"))


@pytest.fixture
def reached(monkeypatch):
    """get_db_path replaced: a call that passes the argument layer notes it and stops there."""
    calls = []
    monkeypatch.setattr(database, "get_db_path", lambda: calls.append(1) or boom())
    return calls


VECTORCALL = ctypes.pythonapi.PyObject_Vectorcall
VECTORCALL.restype = ctypes.py_object
VECTORCALL.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]


@pytest.mark.parametrize("name, args, kwargs, message", [
    *REFUSED,
    # Python passes each keyword once and as a string; a C caller may not (given here as the keyword names, which
    # go with the last values).
    ("update_factories", ([], [], True), (1,), "update_factories() keywords must be strings"),
    ("remove_factories", ([], [], True), (1,), "remove_factories() keywords must be strings"),
    ("set_factories_status_by_names", ("a", "b"), ("status", "status"),
     "set_factories_status_by_names() got multiple values for keyword argument 'status'"),
])
def test_refused_calls(reached, name, args, kwargs, message):
    f = getattr(database, name)
    with pytest.raises(TypeError) as info:
        if isinstance(kwargs, tuple):
            VECTORCALL(f, (ctypes.py_object * len(args))(*args), len(args) - len(kwargs), kwargs)
        else:
            f(*args, **kwargs)
    assert str(info.value) == message
    assert len(getattr(info.value, "__notes__", [])) == message.endswith("Sub)")
    assert reached == []


@pytest.mark.parametrize("tup, n, expected", [
    ((1, 2, 3), 1, (2, 3, 1)),
    ((1, 2, 3), -1, (3, 1, 2)),
    ((1, 2, 3), 10**30, (1, 2, 3)),
    ((1, 2, 3), 1.9, (2, 3, 1)),
    ((), 2, ()),
])
def test_roll(tup, n, expected):
    assert database._roll(tup, n) == database._roll(tup=tup, n=n) == expected and database._roll(tup) == tup


class Colliding:
    """A dict key that takes the place of a name's hash and cannot be compared."""

    __hash__ = lambda self: hash("_create_components_table")  # noqa: E731
    __eq__ = boom


def test_globals_are_looked_up_at_call_time_by_functions_bound_as_methods_too(monkeypatch):
    class Cursor(str):
        create = database._create_tables

    cur, calls = Cursor("cur"), []
    assert Cursor.create is database._create_tables is database._create_tables.__get__(None, Cursor)
    assert cur.create.__func__ is database._create_tables
    monkeypatch.setattr(database, "_create_factories_table", lambda c: calls.append(("f", c)))
    monkeypatch.setattr(database, "_create_models_table", lambda c: calls.append(("m", c)))
    monkeypatch.delattr(database, "_create_components_table")
    with pytest.raises(NameError, match=r"^name '_create_components_table' is not defined$") as info:
        cur.create()
    assert info.value.name == "_create_components_table" and calls == [("f", "cur")]
    # A lookup fails as a dict lookup fails, in the module namespace as in the builtins.
    for namespace in (vars(database), vars(builtins)):
        namespace[key := Colliding()] = None
        try:
            with pytest.raises(Boom):
                getattr(cur, "create")()  # noqa: B009 - bound through the descriptor protocol, not attribute syntax
        finally:
            del namespace[key]
    monkeypatch.setattr(builtins, "_create_components_table", lambda c: calls.append(("c", c)), raising=False)
    database._create_tables("cur")
    # The builtins are the module's, not those of the code that calls it.
    exec("db._create_tables('cur')", {"__builtins__": {}, "db": database})
    assert calls == [("f", "cur")] * 3 + [("f", "cur"), ("c", "cur"), ("m", "cur")] * 2


def test_the_module_object_is_initialised_once():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    assert api.PyModule_ExecDef(database, api.PyModule_GetDef(database)) == 0  # again: nothing to do
    with pytest.raises(RuntimeError, match=r"^Module 'database' has already been imported\. Re-initialisation is not "
                                           r"supported\.$"):
        api.PyModule_ExecDef(type(database)("other"), api.PyModule_GetDef(database))
