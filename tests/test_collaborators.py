"""Tests of the pure-Python helpers the database module builds on."""

import importlib
import logging
import re
import sqlite3
import sys
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
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
    assert settings.get_project_dir() == expected and settings.get_db_path() == expected / "build" / "tessaro.db"
    monkeypatch.chdir(expected)
    # Read afresh on every call; the folder is made, the file is not.
    monkeypatch.setenv(settings.DB_PATH_ENV, "rel/deeper/x.db")
    explicit = settings.get_db_path()
    assert explicit == expected / "rel" / "deeper" / "x.db" and explicit.parent.is_dir() and not explicit.exists()
    # The package logger, however often asked, has one null handler.
    assert all(logger.get_logger() is logging.getLogger("tessaro") for _ in range(3))
    assert sum(type(h) is logging.NullHandler for h in logging.getLogger("tessaro").handlers) == 1


def test_lazy_proxy_imports_once_on_first_use_and_forwards(tmp_path, monkeypatch):
    name = f"throwaway_{uuid.uuid4().hex}"
    (tmp_path / f"{name}.py").write_text("class Thing: pass\nVALUE = 1\ndef double(x): return 2 * x\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    calls, real_import, barrier = [], importlib.import_module, threading.Barrier(16)
    monkeypatch.setattr(lazy.importlib, "import_module", lambda name: calls.append(name) or time.sleep(0.05)
                        or real_import(name))
    mod, func, thing = lazy.lazy_import(name), lazy.lazy_import(name, "double"), lazy.lazy_import(name, "Thing")
    assert name not in sys.modules

    def first_use(_):
        barrier.wait()
        return thing.__name__

    with ThreadPoolExecutor(16) as pool:
        assert list(pool.map(first_use, range(16))) == ["Thing"] * 16 and calls == [name]
    real = sys.modules[name]
    monkeypatch.setitem(sys.modules, name, real)  # taken out again afterwards
    mod.VALUE = 5  # forwarded, not stored on the proxy
    del mod.Thing
    assert real.VALUE == 5 and not hasattr(real, "Thing")
    assert func(4) == 8 and repr(func) == repr(real.double) and "VALUE" in dir(mod)
    missing = lazy.lazy_import(f"{name}_missing")  # fails at use, not creation
    with pytest.raises(ModuleNotFoundError, match=f"{name}_missing"):
        _ = missing.anything


def test_try_func_logs_what_it_swallows_but_lets_base_and_database_exceptions_through(caplog):
    def inverse(x):
        if isinstance(x, BaseException):
            raise x
        return 1 / x

    wrapped = try_func(inverse)
    with caplog.at_level(logging.DEBUG, logger="tessaro"):
        assert wrapped(4) == 0.25 and wrapped(0) is None
    (record,) = [r for r in caplog.records if r.name == "tessaro"]
    assert record.levelno == logging.DEBUG and record.exc_info[0] is ZeroDivisionError
    for error in (KeyboardInterrupt(), sqlite3.OperationalError("database is locked")):
        with pytest.raises(type(error)):
            wrapped(error)


def test_factory_record_survives_a_trip_through_the_registry(db):
    record = FactoryRecord(name="ring", source=Path("pcells/ring.py"), status="SUCCESS", message="ok", pdk_type="demo",
                           default_settings={"radius": 10.0, "layer": (1, 0)}, parents=("top",), children=["straight"],
                           is_partial=True, tags=["a"], ignored_sources=["old.py"])
    values = record.to_db_tuple()
    assert len(values) == 11 and values[1] == "pcells/ring.py" and values[8] is True
    db.add_factories(record)
    back = db.get_all_factories()["ring"]
    assert (back.default_settings, back.parents, back.children, back.tags, back.is_partial, back.has_model) == (
        {"radius": 10.0, "layer": [1, 0]}, ["top"], ["straight"], ["a"], True, False)
    assert back.last_updated and back.to_db_tuple() == values


BASE = {FactoryRecord: {"name": "f", "source": "s.py"}, ComponentRecord: {"name": "c"},
        ModelRecord: {"factory": "f", "source": "m.py"}}


# A field's kind is checked at every assignment; a name only as the record is
# written, which then stores nothing of the call.
@pytest.mark.parametrize("cls, field, value, error, message", [
    (FactoryRecord, "parents", 3, TypeError, "FactoryRecord.parents must be a list or its JSON text, got int"),
    (FactoryRecord, "default_settings", "[1]", ValueError, "FactoryRecord.default_settings must be JSON of an object"),
    (FactoryRecord, "tags", "not json", ValueError, "FactoryRecord.tags is not valid JSON"),
    (FactoryRecord, "is_partial", "yes", TypeError, "FactoryRecord.is_partial must be a bool"),
    (ComponentRecord, "ports", {"a": 1}, TypeError, "ComponentRecord.ports must be a list"),
    (ComponentRecord, "info", ["x"], TypeError, "ComponentRecord.info must be a mapping"),
    (ModelRecord, "settings", "[]", ValueError, "ModelRecord.settings must be JSON of an object"),
    (FactoryRecord, "name", None, TypeError, "FactoryRecord.name must be a str, got NoneType"),
    (FactoryRecord, "name", "", ValueError, "FactoryRecord.name must not be empty"),
    (ComponentRecord, "name", 7, TypeError, "ComponentRecord.name must be a str, got int"),
    (ComponentRecord, "factory_name", None, TypeError, "ComponentRecord.factory_name must be a str"),
])
def test_records_refuse_wrong_kinds_naming_the_field(db, cls, field, value, error, message):
    write = {FactoryRecord: db.add_factories, ComponentRecord: db.add_components, ModelRecord: db.add_models}[cls]
    for bad in (lambda: cls(**BASE[cls] | {field: value}), lambda: setattr(r := cls(**BASE[cls]), field, value) or r):
        with pytest.raises(error, match=re.escape(message)):
            write(cls(**BASE[cls]), bad())
    assert db.get_all_factories() == db.get_components_by_factories("") == {}
