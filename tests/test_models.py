"""The model registry: model rows, the factories' model flag, lookups and sources."""

import sqlite3
from contextlib import nullcontext

import pytest

from tessaro.models import FactoryRecord, ModelRecord


def test_flags_sources_and_lookups(db, db_file, sql, project, monkeypatch, debug_lines):
    db_file.parent.mkdir(exist_ok=True)
    db_file.touch()
    with pytest.raises(sqlite3.OperationalError, match="no such table: models"):  # a removal creates no tables
        db.remove_models("a")
    db.add_factories(*(FactoryRecord(name=n, source="f.py") for n in ("f1", "f2", "f3")))
    sql("UPDATE factories SET last_updated = 'old'")
    flags = "SELECT name, has_model, last_updated = 'old' FROM factories ORDER BY name"
    db.add_models(ModelRecord(factory="f1", source="a.py"), ModelRecord(factory="ghost", source=f"{project}/../x"),
                  ModelRecord(factory="f1", source=project / "sub" / "m.py", status="OK"))
    assert sql(flags) == [("f1", 1, 1), ("f2", 0, 1), ("f3", 0, 1)]
    # Sources stored project-relative, given back joined to the project folder (asked once per model found).
    f1, ghost = ModelRecord(factory="f1", source="sub/m.py", status="OK"), ModelRecord(factory="ghost", source="../x")
    assert db.get_all_models() == {"f1": f1, "ghost": ghost} and db.get_models_by_name("f1", "f1", "no") == {"f1": f1}
    calls = []
    monkeypatch.setattr(db, "get_project_dir", lambda: calls.append(1) or project)
    sources = db.get_model_sources_by_name("ghost", "f1", "no")
    assert sources == {"f1": project / "sub/m.py", "ghost": project / "../x"} and len(calls) == 2
    assert db.get_model_sources_by_name("no") == {} and len(calls) == 2
    # Only a removal touches the factories' timestamps.
    db.remove_models("f1", "f2")
    db.remove_models("ghost")
    assert sql("SELECT * FROM models") == [] and sql(flags) == [("f1", 0, 0), ("f2", 0, 0), ("f3", 0, 1)]
    assert debug_lines[1:] == ["Added / replaced the following models: ['f1', 'ghost', 'f1']",
                               "Deleted models '('f1', 'f2')' from database",
                               "Deleted models '('ghost',)' from database"]


class Spy:
    """A model record that notes its attribute reads and has none from the n-th read on."""

    def __init__(self, reads, fail_at):
        self.reads, self.fail_at = reads, fail_at

    def __getattr__(self, name):
        self.reads.append(name)
        if len(self.reads) == self.fail_at:
            raise AttributeError(name)
        return {"source": "m.py", "factory": "f1", "settings": "{}"}.get(name, "x")


# 0: the module has no _relpath, so the record is never read; 7: `message` is
# missing before any write; 8: the flag update fails after the insert.
@pytest.mark.parametrize("fail_at", [None, 0, 7, 8])
def test_add_reads_attributes_in_order_and_rolls_back_as_one(db, sql, monkeypatch, fail_at):
    db.add_factories(FactoryRecord(name="f1", source="f.py"))
    reads, relpath = [], db._relpath
    monkeypatch.setattr(db, "_relpath", lambda path: reads.append("relpath") or relpath(path))
    if fail_at == 0:
        monkeypatch.delattr(db, "_relpath")
    with pytest.raises(NameError if fail_at == 0 else AttributeError) if fail_at is not None else nullcontext():
        db.add_models(Spy(reads, fail_at))
    order = ["source", "relpath", "factory", "settings", "pdk_type", "status", "message", "factory", "factory"]
    assert reads == order[:fail_at]
    assert sql("SELECT * FROM models") == ([] if fail_at is not None else [("f1", "{}", "m.py", "x", "x", "x")])
    assert sql("SELECT has_model FROM factories") == [(fail_at is None,)]
