"""The safety net around the compiled module: what the garbage collector sees,
references that calls must not leak, and the installed package itself."""

from __future__ import annotations

import gc
import importlib.metadata
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import brimlay
import tessaro
import tessaro.core.database as database
from tessaro.models import ComponentRecord, FactoryRecord, ModelRecord


def test_functions_show_the_collector_their_module_namespace():
    functions = [getattr(f, "__wrapped__", f) for f in vars(database).values()]
    functions = [f for f in functions if type(f) is type(database.add_factories)]
    assert len(functions) == 33
    for f in functions:
        assert gc.is_tracked(f)
        assert any(r is vars(database) for r in gc.get_referents(f)), f.__name__


# --- references -------------------------------------------------------------------

class ListSub(list):
    pass


class Raising:
    def __bool__(self):
        raise ZeroDivisionError

    @property
    def source(self):
        raise ZeroDivisionError


def call(name, *args, _without=None, **kwargs):
    """A call of the module's function `name`, with the module global `_without` deleted first."""
    shown = ", ".join([*map(repr, args), *(f"{k}={v!r}" for k, v in kwargs.items())])
    return pytest.param(name, args, kwargs, _without, id=f"{name}({shown})" + (f" without {_without}" * bool(_without)))


# Every operation, every kind of refused call, and errors raised inside and
# outside the connection scope.
CALLS = [
    call("add_factories", FactoryRecord(name="f", source="a.py")),
    call("add_factories", FactoryRecord(name="f", source="a.py"), update_last_modified=False),
    call("remove_factories", "x"),
    call("remove_factories_by_source", "nothing.py"),
    call("update_factories", [FactoryRecord(name="g", source="a.py")], ["x"]),
    call("get_factories_by_source", "a.py", "b.py"),
    call("add_components", ComponentRecord(name="f", factory_name="f")),
    call("remove_components", "x"),
    call("get_components_by_factories", "f"),
    call("remove_components_by_factories", "x"),
    call("get_all_factories"),
    call("get_factories_by_name", "f", "x"),
    call("get_factories_by_components", "f"),
    call("get_runtime_factory_dependencies", "f"),
    call("get_factories_by_idxs", 0, 1),
    call("get_runtime_factories_dependency_graph", "f"),
    call("get_factory_sources_by_name", "f"),
    call("_create_tables", "cursor"),  # each table creation fails inside try_func
    call("_roll", (1, 2, 3), 1.5),
    call("_relpath", "a/b.py"),
    call("get_all_factory_names"),
    call("reset_timestamps"),
    call("set_factories_status_by_names", "f", "x", status="OK"),
    call("set_factories_has_model_by_names", "f", has_model=1),
    call("set_all_factories_has_model", has_model=False),
    call("add_models", ModelRecord(factory="f", source="m.py")),
    call("remove_models", "x"),
    call("get_all_models"),
    call("get_models_by_name", "f"),
    call("get_model_sources_by_name", "f"),
    call("sync_from_kcl"),
    # refused by the argument layer
    call("get_all_factories", x=1),
    call("get_all_factories", 1),
    call("remove_factories", names=1),
    call("update_factories", [], [], flag=1),
    call("update_factories", [], remove=[], add=[]),
    call("update_factories", remove=[]),
    call("update_factories", [], [], True),
    call("set_factories_status_by_names", "f"),
    call("set_all_factories_has_model", True),
    call("update_factories", (), []),
    call("update_factories", ListSub(), []),
    call("_roll", (), "1"),
    call("_roll", (), float("nan")),
    call("update_factories", [], ["x"], update_last_modified=Raising()),
    # failing bodies, outside and inside the connection scope
    call("get_runtime_factory_dependencies", "f", _without="bl"),
    call("get_models_by_name", "f", _without="get_db_path"),
    call("add_factories", Raising()),
    call("add_models", Raising()),
]


@pytest.mark.parametrize("name, args, kwargs, missing", CALLS)
def test_calls_leak_no_references(db, layout, without, name, args, kwargs, missing):
    if sys.getallocatedblocks() == 0:
        pytest.skip("Python's own allocator is off (PYTHONMALLOC=malloc): no block count")
    db.add_factories(FactoryRecord(name="f", source="a.py"))
    layout.kcl.create_cell("f")
    if missing:
        without(missing)
    f = getattr(db, name)

    def run(times):
        for _ in range(times):
            try:
                f(*args, **kwargs)
            except (TypeError, ValueError, ZeroDivisionError, NameError):
                pass

    # A leak of one new object per call grows every round of 1000 calls by
    # 1000 blocks, and one reference to an argument or a module global adds
    # 1000 to its count, while caches and free lists fill during the first
    # rounds: tolerance, one round (of at most three) growing by fewer than
    # 50 blocks and 50 references to each object.
    watched = [*args, *kwargs.values(), *vars(db).values()]
    run(200)
    growth = []
    while len(growth) < 3 and (not growth or max(growth[-1]) >= 50):
        gc.collect()
        blocks, refs = sys.getallocatedblocks(), list(map(sys.getrefcount, watched))
        run(1000)
        gc.collect()
        growth.append((sys.getallocatedblocks() - blocks, max(map(int.__sub__, map(sys.getrefcount, watched), refs))))
    assert max(growth[-1]) < 50, growth


# --- the installed package ------------------------------------------------------------

ROOT = Path(__file__).resolve().parents[1]


def test_the_compiled_module_is_imported_not_its_source_folder():
    # src/tessaro/core/database/ holds the C++ sources: on the path, it would
    # be imported as an empty namespace package.
    assert database.__file__.endswith(".so") and "/src/" not in database.__file__
    script = "import tessaro.core.database as d; print(d.__file__, len(d.get_all_factories.__doc__) > 0)"
    done = subprocess.run([sys.executable, "-c", script], cwd=ROOT, capture_output=True, text=True, check=True)
    file, documented = done.stdout.split()
    assert file.endswith(".so") and not file.startswith(str(ROOT / "src")) and documented == "True"


def test_version_and_type_information_ship_with_the_packages():
    assert importlib.metadata.version("tessaro") == tessaro.__version__
    for package in (tessaro, brimlay):
        assert Path(inspect.getfile(package)).with_name("py.typed").is_file()
