"""The safety net around the compiled module: what the garbage collector sees,
references that calls must not leak, and the installed package itself."""

from __future__ import annotations

import ast
import gc
import importlib.metadata
import importlib.util
import inspect
import subprocess
import sys
from contextlib import suppress
from pathlib import Path

import pytest
from conftest import OPS, REFUSED, Boom, Truthless

import brimlay
import tessaro
import tessaro.core.database as database


def test_functions_show_the_collector_their_references_and_are_collected_in_cycles():
    functions = [getattr(f, "__wrapped__", f) for f in vars(database).values()]
    functions = [f for f in functions if type(f) is type(database.add_factories)]
    assert len(functions) == 33
    for f in functions:
        assert gc.is_tracked(f)
        assert any(r is vars(database) for r in gc.get_referents(f)), f.__name__
    # A function dropped from the module goes, and one in a cycle with a tuple
    # (which cannot break it) is collected: in a fresh interpreter, as they are gone for good.
    script = ("import gc, weakref, tessaro.core.database as db\n"
              "f, g = vars(db).pop('_roll'), vars(db).pop('_relpath'); f.__doc__ = (f,)\n"
              "refs = [weakref.ref(x, lambda r: print('gone')) for x in (f, g)]\n"
              "del g; print('collecting'); del f; gc.collect(); print([r() for r in refs])")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.stdout.split("\n") == ["gone", "collecting", "gone", "[None, None]", ""], done.stderr


def call(name, args=(), kwargs=None, without=None):
    return pytest.param(name, args, kwargs or {}, without, id=f"{name}{args}{kwargs or ''} {without or ''}")


# Every operation, every kind of refused call, and errors raised inside and
# outside the connection scope.
CALLS = [
    *(call(name, *op[:2]) for name, op in OPS.items()),
    call("get_runtime_factory_dependencies", ("f",)),
    call("get_factories_by_idxs", (0, 1)),
    call("get_runtime_factories_dependency_graph", ("f",)),
    call("_create_tables", ("cursor",)),  # each table creation fails inside try_func
    call("_roll", ((1, 2, 3), 1.5)),
    call("_relpath", ("a/b.py",)),
    call("sync_from_kcl"),
    *(call(*refused[:3]) for refused in REFUSED),
    call("_roll", ((), float("nan"))),
    call("update_factories", ([], ["x"]), {"update_last_modified": Truthless()}),
    call("get_runtime_factory_dependencies", ("f",), without="bl"),
    call("get_models_by_name", ("f",), without="get_db_path"),
    call("add_factories", (Truthless(),)),  # a record without a source
    call("add_models", (Truthless(),)),
]


@pytest.mark.parametrize("name, args, kwargs, missing", CALLS)
def test_calls_leak_no_references(registry, layout, without, name, args, kwargs, missing):
    if sys.getallocatedblocks() == 0:
        pytest.skip("Python's own allocator is off (PYTHONMALLOC=malloc): no block count")
    layout.kcl.create_cell("f")
    if missing:
        without(missing)
    f = getattr(registry, name)

    def run(times):
        for _ in range(times):
            with suppress(TypeError, ValueError, AttributeError, NameError, Boom):
                f(*args, **kwargs)

    # A leak of one object per call grows a round of 1000 calls by 1000 blocks, one reference to an argument or a
    # module global adds 1000 to its count, while caches and free lists fill during the first rounds: tolerance,
    # one round (of at most three) growing by fewer than 50 blocks and 50 references to each object.
    watched = [*args, *kwargs.values(), *vars(registry).values()]
    run(200)
    growth = []
    while len(growth) < 3 and (not growth or max(growth[-1]) >= 50):
        gc.collect()
        blocks, refs = sys.getallocatedblocks(), list(map(sys.getrefcount, watched))
        run(1000)
        gc.collect()
        growth.append((sys.getallocatedblocks() - blocks, max(map(int.__sub__, map(sys.getrefcount, watched), refs))))
    assert max(growth[-1]) < 50, growth


def test_the_installed_package():
    # The compiled module, not its folder of C++ sources (an empty namespace package, were src/ on the path), even
    # from the checkout; the version and the type information ship.
    root = Path(__file__).resolve().parents[1]
    script = "import tessaro.core.database as d; print(d.__file__, len(d.get_all_factories.__doc__) > 0)"
    done = subprocess.run([sys.executable, "-c", script], cwd=root, capture_output=True, text=True, check=True)
    assert done.stdout.split() == [database.__file__, "True"] and database.__file__.endswith(".so")
    assert not database.__file__.startswith(str(root / "src")) and "/src/" not in database.__file__
    assert importlib.metadata.version("tessaro") == tessaro.__version__
    for package in (tessaro, brimlay):
        assert Path(inspect.getfile(package)).with_name("py.typed").is_file()


def test_no_import_circles():
    """Every import statement of tessaro and brimlay as installed, also those inside functions and the relative
    ones, as an edge between their modules: no module reaches itself. The compiled module's imports are read
    from its stub, which imports what it does."""
    import networkx as nx

    files = {}
    for package in (tessaro, brimlay):
        top = Path(inspect.getfile(package)).parent
        for file in [*top.rglob("*.py"), *top.rglob("*.pyi")]:
            parts = [package.__name__, *file.relative_to(top).with_suffix("").parts]
            files[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = file
    graph = nx.DiGraph()
    for name, file in files.items():
        here = name if file.name == "__init__.py" else name.rpartition(".")[0]
        for node in ast.walk(ast.parse(file.read_text())):
            if isinstance(node, ast.Import):
                targets = [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom):
                base = importlib.util.resolve_name("." * node.level + (node.module or ""), here)
                targets = [f"{base}.{alias.name}" if f"{base}.{alias.name}" in files else base for alias in node.names]
            else:
                continue
            graph.add_edges_from((name, target) for target in targets if target in files and target != name)
    # The walk sees imports inside functions and resolves relative ones.
    assert {("tessaro.cli.commands", "tessaro.cli.watch"), ("tessaro.core.database", "tessaro.models"),
            ("tessaro.example.factories.chip", "tessaro.example.factories.devices")} <= set(graph.edges)
    assert [sorted(c) for c in nx.strongly_connected_components(graph) if len(c) > 1] == []
