"""Tests of the pure-Python helpers the database module builds on."""

import importlib
import logging
import sqlite3
import sys
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from contextlib import closing
from pathlib import Path

import pytest

from tessaro import logger, settings
from tessaro.core import lazy
from tessaro.core.shared import try_func
from tessaro.models import ComponentRecord, FactoryRecord, ModelRecord


@pytest.mark.parametrize("layout", ["env", "walk_up", "cwd"])
def test_project_dir_and_db_path(tmp_path, monkeypatch, layout):
    monkeypatch.delenv(settings.PROJECT_DIR_ENV, raising=False)
    monkeypatch.delenv(settings.DB_PATH_ENV, raising=False)
    project, work = tmp_path / "proj", tmp_path / "proj" / "a" / "b"
    work.mkdir(parents=True)
    monkeypatch.chdir(work)
    expected = {"env": tmp_path, "walk_up": project, "cwd": work}[layout].resolve()
    if layout == "env":
        monkeypatch.setenv(settings.PROJECT_DIR_ENV, str(project / ".."))
    if layout != "cwd":
        (project / "pyproject.toml").write_text("")
    elif any((d / "pyproject.toml").is_file() for d in work.resolve().parents):
        pytest.skip("a pyproject.toml sits above the temporary directory")
    result = settings.get_project_dir()
    assert result == expected and result.is_absolute()
    assert settings.get_db_path() == expected / "build" / "tessaro.db"
    monkeypatch.chdir(expected)
    monkeypatch.setenv(settings.DB_PATH_ENV, "rel/deeper/x.db")  # read afresh on every call
    explicit = settings.get_db_path()
    assert explicit == expected / "rel" / "deeper" / "x.db"
    assert explicit.parent.is_dir() and not explicit.exists()  # the folder is made, the file is not


def test_logger_gets_one_null_handler_however_often_asked():
    first = logger.get_logger()
    assert all(logger.get_logger() is first for _ in range(3)) and first.name == "tessaro"
    assert sum(type(h) is logging.NullHandler for h in first.handlers) == 1


@pytest.fixture
def throwaway_module(tmp_path, monkeypatch):
    name = f"throwaway_{uuid.uuid4().hex}"
    (tmp_path / f"{name}.py").write_text("class Thing: pass\nVALUE = 1\ndef double(x): return 2 * x\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    yield name
    sys.modules.pop(name, None)


def test_lazy_proxy_imports_on_first_use_and_forwards(throwaway_module):
    mod, func = lazy.lazy_import(throwaway_module), lazy.lazy_import(throwaway_module, "double")
    assert throwaway_module not in sys.modules
    assert mod.VALUE == 1 and throwaway_module in sys.modules
    real = sys.modules[throwaway_module]
    mod.VALUE = 5  # forwarded, not stored on the proxy
    del mod.Thing
    assert real.VALUE == 5 and not hasattr(real, "Thing")
    assert func(4) == 8 and repr(func) == repr(real.double) and "VALUE" in dir(mod)
    missing = lazy.lazy_import(f"{throwaway_module}_missing")  # fails at use, not creation
    with pytest.raises(ModuleNotFoundError, match=f"{throwaway_module}_missing"):
        _ = missing.anything


def test_lazy_proxy_resolves_once_under_concurrent_first_use(throwaway_module, monkeypatch):
    calls, real_import, barrier = [], importlib.import_module, threading.Barrier(16)
    monkeypatch.setattr(lazy.importlib, "import_module", lambda name: calls.append(name) or time.sleep(0.05)
                        or real_import(name))
    proxy = lazy.lazy_import(throwaway_module, "Thing")

    def first_use(_):
        barrier.wait()
        return proxy.__name__

    with ThreadPoolExecutor(16) as pool:
        seen = list(pool.map(first_use, range(16)))
    assert calls == [throwaway_module] and seen == ["Thing"] * 16


def test_try_func_logs_what_it_swallows_but_lets_base_and_database_exceptions_through(caplog):
    def inverse(x):
        if x is None:
            raise KeyboardInterrupt
        if x == "locked":
            raise sqlite3.OperationalError("database is locked")
        return 1 / x

    wrapped = try_func(inverse)
    assert wrapped.__wrapped__ is inverse and wrapped.__name__ == "inverse"
    with caplog.at_level(logging.DEBUG, logger="tessaro"):
        assert wrapped(4) == 0.25 and wrapped(0) is None
    (record,) = [r for r in caplog.records if r.name == "tessaro"]
    assert record.levelno == logging.DEBUG and record.exc_info[0] is ZeroDivisionError
    with pytest.raises(KeyboardInterrupt):
        wrapped(None)
    with pytest.raises(sqlite3.OperationalError, match="locked"):
        wrapped("locked")


def test_a_locked_registry_fails_once_after_one_busy_wait(db, db_file):
    db.get_all_factory_names()  # the file and its tables
    with closing(sqlite3.connect(db_file, isolation_level=None)) as other:
        other.execute("BEGIN EXCLUSIVE")
        start = time.monotonic()
        with pytest.raises(sqlite3.OperationalError, match="database is locked"):
            db.get_all_factories()
        elapsed = time.monotonic() - start
    # One wait of the driver's 5 s, not one per table creation and another for the read.
    assert 3 < elapsed < 10


def test_factory_record_survives_a_trip_through_the_registry(db):
    record = FactoryRecord(
        name="ring", source=Path("pcells/ring.py"), status="SUCCESS", message="ok",
        default_settings={"radius": 10.0, "layer": (1, 0)}, pdk_type="demo",
        parents=("top",), children=["straight"], is_partial=True, tags=["a"], ignored_sources=["old.py"],
    )
    values = record.to_db_tuple()
    assert len(values) == 11 and values[1] == "pcells/ring.py" and values[8] is True
    db.add_factories(record)
    back = db.get_all_factories()["ring"]
    assert back.default_settings == {"radius": 10.0, "layer": [1, 0]}
    assert (back.parents, back.children, back.tags) == (["top"], ["straight"], ["a"])
    assert back.is_partial is True and back.has_model is False and back.last_updated
    assert back.to_db_tuple() == values


@pytest.mark.parametrize("cls, field, value, error, fragment", [
    (FactoryRecord, "parents", 3, TypeError, "FactoryRecord.parents must be a list or its JSON text, got int"),
    (FactoryRecord, "default_settings", "[1]", ValueError, "FactoryRecord.default_settings must be JSON of an object"),
    (FactoryRecord, "tags", "not json", ValueError, "FactoryRecord.tags is not valid JSON"),
    (FactoryRecord, "is_partial", "yes", TypeError, "FactoryRecord.is_partial must be a bool"),
    (ComponentRecord, "ports", {"a": 1}, TypeError, "ComponentRecord.ports must be a list"),
    (ComponentRecord, "info", ["x"], TypeError, "ComponentRecord.info must be a mapping"),
    (ModelRecord, "settings", "[]", ValueError, "ModelRecord.settings must be JSON of an object"),
])
def test_records_reject_wrong_kinds_naming_the_field(cls, field, value, error, fragment):
    base = {FactoryRecord: {"name": "f", "source": "s.py"}, ComponentRecord: {"name": "c"},
            ModelRecord: {"factory": "f", "source": "m.py"}}[cls]
    with pytest.raises(error, match=fragment.replace(".", r"\.")):
        cls(**base, **{field: value})
    record = cls(**base)
    with pytest.raises(error, match=fragment.replace(".", r"\.")):
        setattr(record, field, value)  # later assignments are checked too


@pytest.mark.parametrize("bad, error, fragment", [
    (FactoryRecord(name=None, source="b.py"), TypeError, "FactoryRecord.name must be a str, got NoneType"),
    (FactoryRecord(name="", source="b.py"), ValueError, "FactoryRecord.name must not be empty"),
    (ComponentRecord(name=7), TypeError, "ComponentRecord.name must be a str, got int"),
    (ComponentRecord(name="c", factory_name=None), TypeError, "ComponentRecord.factory_name must be a str"),
])
def test_a_record_with_a_bad_name_fails_the_write_and_nothing_is_stored(db, sql, bad, error, fragment):
    if isinstance(bad, FactoryRecord):
        add, good = db.add_factories, [FactoryRecord(name=n, source="a.py") for n in ("first", "last")]
    else:
        add, good = db.add_components, [ComponentRecord(name=n) for n in ("first", "last")]
    with pytest.raises(error, match=fragment):
        add(good[0], bad, good[1])
    assert sql("SELECT count(*) FROM factories") == sql("SELECT count(*) FROM components") == [(0,)]
    # Rows stored that way before are still read back.
    sql("INSERT INTO factories (name, source, status, message, default_settings, pdk_type) "
        "VALUES (NULL, 's', 'x', '', '{}', 'g')")
    assert db.get_all_factories()[None].name is None
