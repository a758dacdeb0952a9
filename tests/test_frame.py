"""The registry module's surface: function objects and their metadata, the
argument layer, the import sequence and globals looked up at call time."""

from __future__ import annotations

import builtins
import copy
import ctypes
import inspect
import pickle
import subprocess
import sys
import textwrap
import typing

import pytest

import tessaro.core.database as database

# name -> (signature, docstring summary or None)
FUNCTIONS = {
    "add_factories": ("(*records: 'FactoryRecord', update_last_modified: 'bool' = True) -> 'None'",
                      "Add multiple factories to the database."),
    "remove_factories": ("(*names: 'str') -> 'None'",
                         "Remove multiple factories and all their child components from the database."),
    "remove_factories_by_source": ("(*sources: 'Path | str') -> 'list[str]'",
                                   "Remove factories from the database by their source."),
    "update_factories": ("(add: 'list[FactoryRecord]', remove: 'list[str]', *, update_last_modified: 'bool' = True)"
                         " -> 'None'",
                         "Atomically add/replace and remove factories in a single transaction."),
    "get_factories_by_source": ("(*sources: 'Path | str') -> 'dict[str, list[str]]'",
                                "Get factory names for each given source file."),
    "add_components": ("(*records: 'ComponentRecord') -> 'None'",
                       "Add multiple components to the database simultaneously."),
    "remove_components": ("(*names: 'str') -> 'None'",
                          "Remove multiple components from the database simultaneously."),
    "get_components_by_factories": ("(*factory_names: 'str') -> 'dict[str, list[ComponentRecord]]'",
                                    "Get all component records belonging to specific factories."),
    "remove_components_by_factories": ("(*factory_names: 'str') -> 'None'",
                                       "Remove all components belonging to specific factories from the database."),
    "get_all_factories": ("() -> 'dict[str, FactoryRecord]'", "Get all factory records from the database."),
    "get_factories_by_name": ("(*names: 'str') -> 'dict[str, FactoryRecord]'",
                              "Get multiple factory records by their names."),
    "get_factories_by_components": ("(*components: 'str') -> 'dict[str, FactoryRecord]'",
                                    "Get factory records for multiple components."),
    "get_runtime_factory_dependencies": ("(name: 'str') -> 'tuple[list[str], list[str]]'",
                                         "Get the dependencies of a factory."),
    "get_factories_by_idxs": ("(*idxs: 'int') -> 'dict[int, FactoryRecord]'",
                              "Get factory records by their kcl indices."),
    "get_runtime_factories_dependency_graph": ("(*names: 'str') -> 'nx.DiGraph'",
                                               "Get a dependency graph for multiple factories."),
    "get_factory_sources_by_name": ("(*names: 'str') -> 'dict[str, Path]'",
                                    "Get source file paths for multiple factories by their names."),
    "_create_factories_table": ("(cursor: 'sqlite3.Cursor') -> 'None'",
                                "Create the factories table if it doesn't exist."),
    "_create_components_table": ("(cursor: 'sqlite3.Cursor') -> 'None'", None),
    "_create_models_table": ("(cursor: 'sqlite3.Cursor') -> 'None'", "Create the models table if it doesn't exist."),
    "_create_tables": ("(cursor: 'sqlite3.Cursor') -> 'None'", "Create all necessary tables in the database."),
    "_roll": ("(tup: 'tuple', n: 'int' = 0) -> 'tuple'", None),
    "_relpath": ("(path: 'Path | str') -> 'str'",
                 "Return the relative path from the project directory to the given path."),
    "get_all_factory_names": ("() -> 'list[str]'", "Get all factory names from the database."),
    "reset_timestamps": ("() -> 'None'", "Reset the timestamps of all factories to the current time."),
    "set_factories_status_by_names": ("(*names: 'str', status: 'str') -> 'None'",
                                      "Modify the status of multiple factories by their names."),
    "set_factories_has_model_by_names": ("(*names: 'str', has_model: 'bool') -> 'None'",
                                         "Set the has_model field for multiple factories by their names."),
    "set_all_factories_has_model": ("(*, has_model: 'bool') -> 'None'",
                                    "Set the has_model field for all factories in the database."),
    "add_models": ("(*records: 'ModelRecord') -> 'None'", "Add multiple models to the database."),
    "remove_models": ("(*names: 'str') -> 'None'", "Remove multiple models from the database."),
    "get_all_models": ("() -> 'dict[str, ModelRecord]'", "Get all model records from the database."),
    "get_models_by_name": ("(*names: 'str') -> 'dict[str, ModelRecord]'",
                           "Get multiple model records by their factory names."),
    "get_model_sources_by_name": ("(*names: 'str') -> 'dict[str, Path]'",
                                  "Get source file paths for multiple models by their factory names."),
    "sync_from_kcl": ("() -> 'None'", "Sync all cells from bl.kcl into the components table of the database."),
}
WRAPPED = {"_create_factories_table", "_create_components_table", "_create_models_table"}
GLOBALS = ["sqlite3", "Path", "TYPE_CHECKING", "try_func", "ComponentRecord", "FactoryRecord", "ModelRecord",
           "lazy_import", "nx", "bl", "log", "get_project_dir", "get_db_path", *FUNCTIONS]


def test_module_namespace_holds_exactly_the_globals_in_binding_order():
    assert [k for k in vars(database) if not k.startswith("__")] == GLOBALS
    assert database.__doc__ == "Database utilities for tracking factory and component information."
    assert database.TYPE_CHECKING is False


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_metadata(name):
    signature, summary = FUNCTIONS[name]
    f = getattr(database, name)
    if name in WRAPPED:
        assert f.__wrapped__.__class__ is database.add_factories.__class__
    else:
        assert not hasattr(f, "__wrapped__")
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "tessaro.core.database")
    assert str(inspect.signature(f)) == signature
    assert f.__annotations__ == {k: v.annotation for k, v in inspect.signature(f).parameters.items()} | {
        "return": inspect.signature(f).return_annotation}
    assert all(isinstance(v, str) for v in f.__annotations__.values())
    assert (f.__doc__ or "").split("\n")[0] == (summary or "")
    if summary is None:
        assert f.__doc__ is None


def test_function_objects_behave_like_functions():
    f = database.get_all_factories
    assert pickle.loads(pickle.dumps(f)) is f and copy.deepcopy(f) is f
    assert f.__globals__ is vars(database)
    assert typing.get_type_hints(database.add_factories) == {
        "records": database.FactoryRecord, "update_last_modified": bool, "return": type(None)}
    f.custom = 1
    assert f.__dict__ == {"custom": 1}
    del f.custom
    assert repr(f).startswith("<function get_all_factories at 0x")
    with pytest.raises(TypeError):
        type(f)()


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


class StrSub(str):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


def msg_type(arg, expected, got):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"


REFUSED = [
    ("remove_factories", (), {"names": ["a"]}, "remove_factories() got an unexpected keyword argument 'names'"),
    ("get_factories_by_idxs", (1,), {"b": 1, "a": 2}, "get_factories_by_idxs() got an unexpected keyword argument 'b'"),
    ("get_all_factories", (1,), {}, "get_all_factories() takes no arguments (1 given)"),
    ("get_all_factories", (1,), {"x": 1}, "get_all_factories() takes no keyword arguments"),
    ("sync_from_kcl", (), {"x": 1}, "sync_from_kcl() takes no keyword arguments"),
    ("update_factories", (("a",), []), {}, msg_type("add", "list", "tuple")),
    ("update_factories", (None, []), {}, msg_type("add", "list", "NoneType")),
    ("update_factories", ([], {}), {}, msg_type("remove", "list", "dict")),
    ("update_factories", ([], [], True), {}, "update_factories() takes exactly 2 positional arguments (3 given)"),
    ("update_factories", (), {}, "update_factories() takes exactly 2 positional arguments (0 given)"),
    ("update_factories", (), {"add": []}, "update_factories() takes exactly 2 positional arguments (1 given)"),
    ("update_factories", (), {"remove": []}, "update_factories() takes exactly 2 positional arguments (0 given)"),
    ("update_factories", ([],), {}, "update_factories() takes exactly 2 positional arguments (1 given)"),
    ("update_factories", ([],), {"add": []}, "update_factories() takes exactly 2 positional arguments (1 given)"),
    ("update_factories", ([],), {"remove": [], "add": []},
     "update_factories() got multiple values for keyword argument 'add'"),
    ("update_factories", ([], []), {"flag": 1}, "update_factories() got an unexpected keyword argument 'flag'"),
    ("update_factories", ([], []), {"add": []}, "update_factories() got multiple values for keyword argument 'add'"),
    ("add_factories", (), {"records": 1}, "add_factories() got an unexpected keyword argument 'records'"),
    ("set_factories_status_by_names", ("a",), {},
     "set_factories_status_by_names() needs keyword-only argument status"),
    ("set_factories_status_by_names", ("a",), {"status": None}, msg_type("status", "str", "NoneType")),
    ("set_factories_status_by_names", ("a",), {"state": "x"},
     "set_factories_status_by_names() got an unexpected keyword argument 'state'"),
    ("set_factories_has_model_by_names", (), {},
     "set_factories_has_model_by_names() needs keyword-only argument has_model"),
    ("set_all_factories_has_model", (True,), {},
     "set_all_factories_has_model() takes exactly 0 positional arguments (1 given)"),
    ("set_all_factories_has_model", (), {}, "set_all_factories_has_model() needs keyword-only argument has_model"),
    ("get_runtime_factory_dependencies", (), {}, "get_runtime_factory_dependencies() takes exactly 1 positional argument (0 given)"),
    ("get_runtime_factory_dependencies", ("a", "b"), {},
     "get_runtime_factory_dependencies() takes exactly 1 positional argument (2 given)"),
    ("get_runtime_factory_dependencies", (None,), {}, msg_type("name", "str", "NoneType")),
    ("get_runtime_factory_dependencies", (), {"name": b"a"}, msg_type("name", "str", "bytes")),
    ("_create_tables", (), {}, "_create_tables() takes exactly 1 positional argument (0 given)"),
    ("_relpath", ("a", "b"), {}, "_relpath() takes exactly 1 positional argument (2 given)"),
    ("_relpath", (), {"p": "a"}, "_relpath() takes exactly 1 positional argument (0 given)"),
    ("_roll", (), {}, "_roll() takes at least 1 positional argument (0 given)"),
    ("_roll", (), {"n": 1}, "_roll() takes at least 1 positional argument (0 given)"),
    ("_roll", ((), 1, 2), {}, "_roll() takes at most 2 positional arguments (3 given)"),
    ("_roll", ((), 1), {"n": 2}, "_roll() got multiple values for keyword argument 'n'"),
    ("_roll", ([1],), {}, msg_type("tup", "tuple", "list")),
    ("_roll", ((1, 2, 3), "1"), {}, msg_type("n", "int", "str")),
    ("_roll", ((1, 2, 3), None), {}, msg_type("n", "int", "NoneType")),
]


@pytest.mark.parametrize("name, args, kwargs, message", REFUSED)
def test_refused_calls(reached, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(database, name)(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    assert reached == []


@pytest.mark.parametrize("name, args, kwargs, arg, expected, got", [
    ("update_factories", (ListSub(), []), {}, "add", "list", "ListSub"),
    ("set_factories_status_by_names", (), {"status": StrSub("x")}, "status", "str", "StrSub"),
    ("get_runtime_factory_dependencies", (StrSub("a"),), {}, "name", "str", "StrSub"),
    ("_roll", (TupleSub(),), {}, "tup", "tuple", "TupleSub"),
])
def test_subclasses_of_builtin_types_are_refused_with_a_note(reached, name, args, kwargs, arg, expected, got):
    with pytest.raises(TypeError) as info:
        getattr(database, name)(*args, **kwargs)
    assert str(info.value) == msg_type(arg, expected, got)
    assert len(info.value.__notes__) == 1
    assert reached == []


def test_keywords_must_be_strings_for_named_parameters(reached):
    # Python itself refuses non-str keywords before the call; a C caller can
    # still pass them.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    argv = (ctypes.py_object * 3)([], [], True)
    with pytest.raises(TypeError, match=r"^update_factories\(\) keywords must be strings$"):
        vectorcall(database.update_factories, argv, 2, (1,))
    with pytest.raises(TypeError, match=r"^remove_factories\(\) keywords must be strings$"):
        vectorcall(database.remove_factories, argv, 0, (1,))


class Truth:
    def __init__(self, value):
        self.value, self.asked = value, 0

    def __bool__(self):
        self.asked += 1
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


def test_truth_values_and_conversions_happen_only_for_valid_calls(reached):
    flag = Truth(True)
    with pytest.raises(TypeError):
        database.update_factories(None, [], update_last_modified=flag)
    assert flag.asked == 0
    with pytest.raises(ZeroDivisionError):
        database.update_factories([], ["a"], update_last_modified=Truth(ZeroDivisionError()))
    assert reached == []
    with pytest.raises(Sentinel):
        database.update_factories([], ["a"], update_last_modified=flag)
    assert flag.asked == 1


@pytest.mark.parametrize("name, args, kwargs", [
    ("add_factories", (), {}),
    ("add_factories", (), {"update_last_modified": None}),
    ("update_factories", ([], []), {"update_last_modified": 0}),
    ("update_factories", (), {"remove": [], "add": []}),
    ("remove_factories", (), {}),
    ("get_components_by_factories", (), {}),
    ("set_factories_status_by_names", (), {"status": "OK"}),
    ("set_factories_has_model_by_names", (), {"has_model": []}),
])
def test_empty_calls_pass_the_layer_and_touch_nothing(reached, name, args, kwargs):
    getattr(database, name)(*args, **kwargs)
    assert reached == []


@pytest.mark.parametrize("tup, n, expected", [
    ((1, 2, 3), 1, (2, 3, 1)),
    ((1, 2, 3), -1, (3, 1, 2)),
    ((1, 2, 3), 0, (1, 2, 3)),
    ((1, 2, 3), 5, (1, 2, 3)),
    ((1, 2, 3), -5, (1, 2, 3)),
    ((1, 2, 3), 10**30, (1, 2, 3)),
    ((1, 2, 3), 1.9, (2, 3, 1)),
    ((1, 2, 3), True, (2, 3, 1)),
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
    assert calls == [("f", "cur"), ("f", "cur"), ("c", "cur"), ("m", "cur")]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_import_is_light_and_happens_once():
    result = run_python("""
        import importlib, sys
        import tessaro.core.database as db
        lazy = ["networkx", "brimlay", "tessaro.logger", "tessaro.settings"]
        assert not [m for m in lazy if m in sys.modules], sys.modules.keys()
        db.get_db_path = marker = object()
        assert importlib.reload(db) is db and db.get_db_path is marker
        del sys.modules["tessaro.core.database"]
        import tessaro.core.database as again
        assert again is db and again.get_db_path is marker
        print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_import_guards():
    result = run_python("""
        import tessaro.core.database
        import _xxsubinterpreters as interpreters
        try:
            interpreters.run_string(interpreters.create(), "import tessaro.core.database")
        except interpreters.RunFailedError as e:
            print(e)
    """)
    assert result.stdout == ("<class 'ImportError'>: Interpreter change detected - this module can only be "
                             "loaded into one interpreter per process.\n"), result.stderr


def test_failed_import_of_an_eager_dependency_propagates_and_can_be_retried():
    result = run_python("""
        import sys
        sys.modules["tessaro.models"] = None
        try:
            import tessaro.core.database
        except ImportError as e:
            print(type(e).__name__, e)
        del sys.modules["tessaro.models"]
        import tessaro.core.database as db
        print(db.FactoryRecord.__name__, db.add_factories.__module__)
    """)
    assert result.stdout == ("ModuleNotFoundError import of tessaro.models halted; None in sys.modules\n"
                             "FactoryRecord tessaro.core.database\n"), result.stderr
