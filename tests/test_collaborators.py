"""Tests of the pure-Python helpers the database module builds on."""

import importlib
import logging
import sqlite3
import subprocess
import sys
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import brimlay as bl
from tessaro import logger, settings
from tessaro.core import lazy
from tessaro.core.shared import try_func
from tessaro.models import ComponentRecord, FactoryRecord, ModelRecord

SRC = Path(__file__).resolve().parents[1] / "src"


@pytest.fixture
def clean_env(monkeypatch):
    monkeypatch.delenv(settings.PROJECT_DIR_ENV, raising=False)
    monkeypatch.delenv(settings.DB_PATH_ENV, raising=False)
    return monkeypatch


@pytest.mark.parametrize("layout", ["env", "walk_up", "cwd"])
def test_project_dir_resolution_order(tmp_path, clean_env, layout):
    project, work = tmp_path / "proj", tmp_path / "proj" / "a" / "b"
    work.mkdir(parents=True)
    clean_env.chdir(work)
    expected = {"env": tmp_path, "walk_up": project, "cwd": work}[layout].resolve()
    if layout == "env":
        clean_env.setenv(settings.PROJECT_DIR_ENV, str(project / ".."))
    if layout != "cwd":
        (project / "pyproject.toml").write_text("")
    elif any((d / "pyproject.toml").is_file() for d in work.resolve().parents):
        pytest.skip("a pyproject.toml sits above the temporary directory")
    result = settings.get_project_dir()
    assert result == expected and result.is_absolute()


def test_db_path_creates_folder_not_file_and_is_not_cached(tmp_path, clean_env):
    (tmp_path / "pyproject.toml").write_text("")
    clean_env.chdir(tmp_path)
    default = settings.get_db_path()
    assert default == tmp_path.resolve() / "build" / "tessaro.db" and default.parent.is_dir()
    assert not default.exists()
    clean_env.setenv(settings.DB_PATH_ENV, "rel/deeper/x.db")
    explicit = settings.get_db_path()
    assert explicit.is_absolute() and explicit == tmp_path / "rel" / "deeper" / "x.db"
    assert explicit.parent.is_dir() and not explicit.exists()
    sqlite3.connect(explicit).close()  # the driver accepts the path as it is
    assert explicit.exists()


def test_logger_gets_one_null_handler_however_often_asked():
    first = logger.get_logger()
    assert all(logger.get_logger() is first for _ in range(3)) and first.name == "tessaro"
    assert sum(type(h) is logging.NullHandler for h in first.handlers) == 1


def test_importing_helpers_leaves_logger_and_settings_unloaded():
    code = (
        "import sys, tessaro, tessaro.core.shared, tessaro.core.lazy, tessaro.models\n"
        "tessaro.core.lazy.lazy_import('tessaro.settings', 'get_db_path')\n"
        "bad = [m for m in ('tessaro.logger', 'tessaro.settings', 'brimlay', 'networkx') if m in sys.modules]\n"
        "assert not bad, bad\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, env={"PYTHONPATH": str(SRC)})


@pytest.fixture
def throwaway_module(tmp_path, monkeypatch):
    name = f"throwaway_{uuid.uuid4().hex}"
    (tmp_path / f"{name}.py").write_text("class Thing: pass\nVALUE = 1\ndef double(x): return 2 * x\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    yield name
    sys.modules.pop(name, None)


def test_lazy_proxy_imports_on_first_use_and_forwards(throwaway_module):
    mod = lazy.lazy_import(throwaway_module)
    func = lazy.lazy_import(throwaway_module, "double")
    assert throwaway_module not in sys.modules
    assert mod.VALUE == 1 and throwaway_module in sys.modules
    real = sys.modules[throwaway_module]
    mod.VALUE = 5  # forwarded, not stored on the proxy
    assert real.VALUE == 5 and mod.VALUE == 5
    mod.extra = "x"
    del mod.extra
    assert not hasattr(real, "extra")
    assert func(4) == 8 and func.__name__ == "double"
    assert repr(func) == repr(real.double) and repr(mod) == repr(real)
    assert "Thing" in dir(mod) and bool(mod) is True
    missing = lazy.lazy_import(f"{throwaway_module}_missing")  # fails at use, not creation
    with pytest.raises(ModuleNotFoundError, match=f"{throwaway_module}_missing"):
        missing.anything


def test_lazy_proxy_resolves_once_under_concurrent_first_use(throwaway_module, monkeypatch):
    calls = []
    real_import = importlib.import_module

    def slow_import(name):
        calls.append(name)
        time.sleep(0.05)
        return real_import(name)

    monkeypatch.setattr(lazy.importlib, "import_module", slow_import)
    proxy = lazy.lazy_import(throwaway_module, "Thing")
    barrier = threading.Barrier(16)

    def first_use(_):
        barrier.wait()
        return proxy.__name__

    with ThreadPoolExecutor(16) as pool:
        seen = list(pool.map(first_use, range(16)))
    assert calls == [throwaway_module] and seen == ["Thing"] * 16


def test_try_func_passes_results_and_logs_swallowed_exceptions(caplog):
    def area(w: float, h: float = 2.0) -> float:
        """Area of a box."""
        if w < 0:
            raise RuntimeError("kaput")
        return w * h

    area.marker = "kept"
    wrapped = try_func(area)
    assert (wrapped.__wrapped__, wrapped.__name__, wrapped.__doc__, wrapped.marker) == (
        area, "area", "Area of a box.", "kept")
    assert wrapped.__annotations__ == area.__annotations__
    with caplog.at_level(logging.DEBUG, logger="tessaro"):
        assert wrapped(3, h=4) == 12 and wrapped(-1) is None
    (record,) = [r for r in caplog.records if r.name == "tessaro"]
    assert record.levelno == logging.DEBUG and "kaput" in record.getMessage()
    assert record.exc_info and record.exc_info[0] is RuntimeError


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_try_func_lets_non_exception_base_exceptions_through(exc):
    def stop():
        raise exc()

    with pytest.raises(exc):
        try_func(stop)()


COLUMNS = ("name, source, status, message, default_settings, pdk_type, parents, children,"
           " is_partial, tags, ignored_sources")


def test_factory_record_survives_a_trip_through_sqlite():
    record = FactoryRecord(
        name="ring", source=Path("pcells/ring.py"), status="SUCCESS", message="ok",
        default_settings={"radius": 10.0, "layer": (1, 0)}, pdk_type="demo",
        parents=("top",), children=["straight"], is_partial=True,
        tags=["a"], ignored_sources=["old.py"],
    )
    values = record.to_db_tuple()
    assert len(values) == 11 and values[1] == "pcells/ring.py" and values[8] is True
    conn = sqlite3.connect(":memory:")
    conn.execute(f"CREATE TABLE f ({COLUMNS}, has_model DEFAULT 0, last_updated DEFAULT CURRENT_TIMESTAMP)")
    conn.execute(f"INSERT INTO f ({COLUMNS}) VALUES ({','.join('?' * 11)})", values)
    row = conn.execute(f"SELECT {COLUMNS}, has_model, last_updated FROM f").fetchone()
    stored = dict(zip(COLUMNS.replace(",", " ").split() + ["has_model", "last_updated"], row))
    stored["is_partial"], stored["has_model"] = bool(row[8]), bool(row[11])
    back = FactoryRecord(**stored)
    assert back.default_settings == {"radius": 10.0, "layer": [1, 0]}
    assert (back.parents, back.children, back.tags) == (["top"], ["straight"], ["a"])
    assert back.is_partial is True and back.has_model is False and back.last_updated
    assert back.to_db_tuple() == values


@pytest.mark.parametrize(
    ("cls", "field", "value", "error", "fragment"),
    [
        (FactoryRecord, "parents", 3, TypeError, "FactoryRecord.parents must be a list or its JSON text, got int"),
        (FactoryRecord, "default_settings", "[1]", ValueError, "FactoryRecord.default_settings must be JSON of an object"),
        (FactoryRecord, "tags", "not json", ValueError, "FactoryRecord.tags is not valid JSON"),
        (FactoryRecord, "is_partial", "yes", TypeError, "FactoryRecord.is_partial must be a bool"),
        (ComponentRecord, "ports", {"a": 1}, TypeError, "ComponentRecord.ports must be a list"),
        (ComponentRecord, "info", ["x"], TypeError, "ComponentRecord.info must be a mapping"),
        (ModelRecord, "settings", "[]", ValueError, "ModelRecord.settings must be JSON of an object"),
    ],
)
def test_records_reject_wrong_kinds_naming_the_field(cls, field, value, error, fragment):
    base = {FactoryRecord: {"name": "f", "source": "s.py"}, ComponentRecord: {"name": "c"},
            ModelRecord: {"factory": "f", "source": "m.py"}}[cls]
    with pytest.raises(error, match=fragment.replace(".", r"\.")):
        cls(**base, **{field: value})
    record = cls(**base)
    with pytest.raises(error, match=fragment.replace(".", r"\.")):
        setattr(record, field, value)  # later assignments are checked too


def test_component_and_model_records_store_json_text():
    comp = ComponentRecord(name="c", factory_name="f", ports='[{"name": "o1"}]', settings='{"w": 1}')
    assert comp == ComponentRecord(name="c", factory_name="f", ports=[{"name": "o1"}], settings={"w": 1})
    assert comp.to_db_tuple() == ("c", "f", '[{"name": "o1"}]', '{"w": 1}', "{}")
    text = '{"a":1}'
    model = ModelRecord(factory="f", settings=text, source=Path("m.py"))
    assert model.settings is text and model.settings_dict == {"a": 1}
    assert ModelRecord(factory="f", settings={"a": (1, 2)}, source="m.py").settings == '{"a": [1, 2]}'


def test_component_record_from_live_cell():
    bl.kcl.clear()

    @bl.cell
    def pad(c, size: float = 5.0, layer: tuple = (2, 0)):
        c.add_port("e1", center=(size, 0), layer=layer)
        c.info["area"] = size * size

    record = ComponentRecord.from_tkcell(pad(size=3))
    assert record.name.startswith("pad_") and record.factory_name == "pad"
    assert record.settings == {"size": 3, "layer": (2, 0)} and record.info == {"area": 9}
    assert record.ports == [{"name": "e1", "center": [3.0, 0.0], "width": 1.0, "orientation": 0.0, "layer": [2, 0]}]
    plain = ComponentRecord.from_tkcell(bl.kcl.create_cell("loose"))
    assert plain.factory_name == "" and plain.ports == []
    bl.kcl.clear()
