# ruff: noqa: F811
"""The safety net: around the compiled module, what the garbage collector sees, references that calls must not
leak, and the installed package itself; around the registry file, what another program or the file system does."""

from __future__ import annotations

import ast
import contextlib
import gc
import importlib.metadata
import importlib.util
import inspect
import os
import shutil
import sqlite3
import subprocess
import sys
from contextlib import closing, suppress
from pathlib import Path

import pytest
from conftest import OPS, REFUSED, Boom, Truthless
from test_cli import CLEAN, cli, edit, rows, truth  # noqa: F401 (fixtures, which the tests below take)

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
# -- the registry file: nothing another program commits is lost, nothing outside is written -------------------

REGISTRY = "build/tessaro.db"
# Another program on the registry: runs the statements, says so, waits, then commits a row of its own.
OTHER_PROGRAM = """import sqlite3, sys, time
conn = sqlite3.connect(sys.argv[1], isolation_level=None)
for statement in sys.argv[3:]:
    conn.execute(statement).fetchall()
print("holding", flush=True)
time.sleep(float(sys.argv[2]))
conn.execute("INSERT INTO tessaro_state VALUES ('theirs', 'k', '1')")
if conn.in_transaction:
    conn.execute("COMMIT")
"""
KILLED_WRITER = """import os, signal, sqlite3, sys
conn = sqlite3.connect(sys.argv[1], isolation_level=None)
conn.execute("PRAGMA cache_size = 1")
conn.execute("BEGIN")
conn.execute("UPDATE components SET info = randomblob(3000)")
os.kill(os.getpid(), signal.SIGKILL)
"""


def kill_mid_write(db: Path) -> None:
    """A writer killed in a transaction that has written part of the file already: it leaves a hot journal."""
    subprocess.run([sys.executable, "-c", KILLED_WRITER, str(db)], check=False)
    assert db.with_name(db.name + "-journal").stat().st_size


def damage(db: Path) -> bytes:
    """Overwrite the first page past its header, so that the file fails its integrity check; the bytes left."""
    data = db.read_bytes()
    db.write_bytes(data := data[:100] + b"\xff" * (4096 - 100) + data[4096:])
    return data


def other_program(db: Path, seconds: float, *statements: str) -> subprocess.Popen:
    proc = subprocess.Popen([sys.executable, "-c", OTHER_PROGRAM, str(db), str(seconds), *statements],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout is not None and proc.stdout.readline() == "holding\n", proc.communicate()
    return proc


@pytest.fixture
def short_waits(monkeypatch):
    """Busy waits in this process cut to 0.2 s (today's would hide a race behind 30 s), the copy-back's to 1.5 s."""
    from tessaro.cli import registry

    connect = sqlite3.connect
    monkeypatch.setattr(sqlite3, "connect", lambda *a, timeout=5.0, **k: connect(*a, timeout=min(timeout, 0.2), **k))
    monkeypatch.setattr(registry, "COPY_BACK_WAIT", 1.5, raising=False)
    return registry


@pytest.mark.parametrize("mode, statements, code", [
    ("delete", ["BEGIN IMMEDIATE"], 0),  # a writer holds the file through the copy-back, then commits
    ("wal", ["BEGIN IMMEDIATE"], 0),
    ("wal", [], 0),  # a plain commit while the build stages (in WAL mode the change counter stays)
    ("delete", ["BEGIN", "SELECT count(*) FROM factories"], 1),  # a reader holds it beyond the documented wait
])
def test_another_programs_commit_is_never_overwritten(truth, cli, short_waits, monkeypatch, mode, statements, code):
    db, started = truth / REGISTRY, []
    with closing(sqlite3.connect(db)) as conn:
        conn.execute(f"PRAGMA journal_mode = {mode}")
    staged = short_waits._registry_at

    @contextlib.contextmanager
    def staging(path):  # the other program starts while the build stages its writes
        if not started:
            started.append(other_program(db, 2.5 if code else 1.0 if statements else 0.0, *statements))
            if not statements:
                started[0].communicate()
        with staged(path):
            yield

    monkeypatch.setattr(short_waits, "_registry_at", staging)
    before = rows(db, "components")
    edit(truth / "tech.py", "0.5", "0.6")
    _, err = cli("build", code=code)
    assert not started[0].communicate(timeout=30)[1] and started[0].returncode == 0
    assert rows(db, "tessaro_state WHERE kind = 'theirs'") == [("theirs", "k", "1")]
    if code:  # nothing written, the holder named
        assert f"stayed locked by another program for 1.5 s, held by pid {started[0].pid} (" in err, err
    assert (rows(db, "components") == before) == bool(code)


def test_busy_is_exit_1_and_names_the_holder(truth, cli, short_waits, monkeypatch):
    holder = other_program(truth / REGISTRY, 30.0, "BEGIN EXCLUSIVE")
    try:
        _, err = cli("factories", code=1)
        assert f"is locked by another program (database is locked, held by pid {holder.pid} (" in err, err
    finally:
        holder.kill()
        holder.communicate()
    # A registry that changes under every attempt is busy as well, not bad input.
    monkeypatch.setattr(short_waits, "_changed", lambda *args: True, raising=False)
    edit(truth / "tech.py", "0.5", "0.6")
    _, err = cli("build", code=1)
    assert "the registry kept changing during the build" in err


def test_recovery_before_judgement(truth, cli):
    db = truth / REGISTRY
    before = rows(db, "components")
    kill_mid_write(db)
    assert "ring" in cli("factories")[0]  # one read-write open rolled the journal back
    assert not db.with_name("tessaro.db-journal").exists() and rows(db, "components") == before
    # Damaged (it fails the integrity check): a query says what a build will do, and the build does it.
    data = damage(db)
    _, err = cli("show", "ring", code=2)
    assert "is damaged (" in err and "the next 'tessaro build' moves it aside (to tessaro.db.damaged-DATE)" in err
    _, err = cli("build")
    [aside] = db.parent.glob("tessaro.db.damaged-*")
    assert aside.read_bytes() == data and f"moved it aside to {aside.name}; building a new one" in err
    assert rows(db, "components") == before


def _link(path: Path, target: Path) -> None:
    if path.is_dir():
        shutil.move(path, target) if not target.exists() else shutil.rmtree(path)
    else:
        path.unlink(missing_ok=True)
    path.symlink_to(target)


@pytest.mark.parametrize("setup, message", [
    (lambda b, o: _link(b / "tessaro.db.lock", o / "precious"),
     "tessaro.db.lock is a symbolic link where the registry keeps its build lock: remove it"),
    (lambda b, o: _link(b / "tessaro.db", o / "new.db"), "tessaro.db is a symbolic link (to "),  # dangling
    (lambda b, o: _link(b / "tessaro.db", o / "empty"), "which the build never writes through: set TESSARO_DB_PATH"),
    (lambda b, o: _link(b, o / "build"), "build is a symbolic link to "),
    (lambda b, o: _link(b / "pycache", o / "pycache"), "outside the project, where the build would write bytecode"),
    (lambda b, o: (b / "tessaro.db").unlink() or os.mkfifo(b / "tessaro.db"), "tessaro.db is a FIFO, not a file"),
])
def test_the_build_writes_only_inside_the_project(truth, cli, setup, message):
    outside = truth.parent / "outside"
    (outside / "pycache").mkdir(parents=True)
    (outside / "precious").write_text("precious")
    (outside / "empty").touch()
    setup(truth / "build", outside)
    before = {p: p.is_file() and p.read_bytes() for p in outside.rglob("*")}
    edit(truth / "tech.py", "0.5", "0.6")
    # In a process of its own: a FIFO would block today's reads for ever.
    done = subprocess.run([sys.executable, "-m", "tessaro", "build"], cwd=truth, env=CLEAN, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 2 and message in done.stderr and len(done.stderr.splitlines()) == 1, done.stderr
    assert {p: p.is_file() and p.read_bytes() for p in outside.rglob("*")} == before


def test_leftovers_of_killed_builds_go_and_odd_entries_are_refused(truth, cli):
    build = truth / "build"
    for name in (".tessaro.db.staging-1", ".tessaro.db.staging-1-journal"):  # pid 1 lives: a pid used again
        (build / name).write_text("left by a killed build")
    edit(truth / "tech.py", "0.5", "0.6")
    cli("build")
    assert not list(build.glob(".tessaro.db.staging*"))
    odd = build / f".tessaro.db.staging-{os.getpid()}"
    odd.mkdir()
    edit(truth / "tech.py", "0.6", "0.7")
    _, err = cli("build", code=2)
    assert err == f"tessaro: error: {odd} is a folder where a build keeps its staging copy of the registry: remove it\n"


def test_a_long_sources_list_walks_each_folder_once(truth, cli, monkeypatch):
    from tessaro.cli import project

    walks, walk = [], project._python_files
    monkeypatch.setattr(project, "_python_files", lambda folder: walks.append(folder) or walk(folder))
    many = "sources = [" + '"factories", "./factories", ' * 5000 + "]"
    edit(truth / "pyproject.toml", 'sources = ["factories"]', many)
    cli("build")
    assert 0 < len(walks) < 10
