"""An incremental build writes what ``build --all`` would write from the same registry, after any edit."""

from __future__ import annotations

import os
import random
import re
import shutil
import sqlite3
import sys
from contextlib import closing
from pathlib import Path

import pytest
from projectgen import factory_text, generate

from tessaro.cli import main

BLOCK = re.compile(r"@bl\.cell\ndef (\w+)\(.*?(?=\n\n\n@bl\.cell|\Z)", re.S)
EPOCH = "2000-01-01 00:00:00"


def blocks(path: Path) -> dict[str, str]:
    return {m.group(1): m.group(0) for m in BLOCK.finditer(path.read_text())} if path.exists() else {}


def edit_once(root: Path, rng: random.Random, step: int) -> str:
    """One random edit of the kinds a designer makes; returns what it did."""
    files = sorted((root / "cells").glob("t*.py"))
    if not files:
        return "no file left"
    path = rng.choice(files)
    text = path.read_text()
    names = list(blocks(path))
    kind = rng.choice(["default", "add", "remove", "move", "copy", "delete", "break", "fix", "constants", "syntax",
                       "data", "importlib", "symlink", "subfolder", "module cell"])
    if kind == "default" and names:
        name = rng.choice(names)
        block = blocks(path)[name]
        path.write_text(text.replace(block, re.sub(r"length: int = \d+", f"length: int = {step + 50}", block)))
    elif kind == "add":
        path.write_text(text + "\n\n" + factory_text(f"new{step}", [(rng.choice(names), step)] if names else []))
    elif kind in ("remove", "move") and names:
        block = blocks(path)[rng.choice(names)]
        path.write_text(text.replace(block, ""))
        if kind == "move":
            other = rng.choice(files)
            other.write_text(other.read_text() + "\n\n" + block)
    elif kind == "copy" and names:  # a second definition of a name, in a file of its own that nobody imports
        # (two live definitions called in one process make cells of one name: which one fails depends on order)
        copy = root / "cells" / f"zz_copy{step}.py"
        copy.write_text("import brimlay as bl\n\nimport tech\n\n\n" + blocks(path)[rng.choice(names)])
    elif kind == "delete":
        path.unlink()
    elif kind == "break" and names:
        block = blocks(path)[rng.choice(names)]
        path.write_text(text.replace(block, block.rstrip("\n") + "\n    raise ValueError('broken')\n"))
    elif kind == "fix":
        path.write_text(text.replace("    raise ValueError('broken')\n", "").replace("def broken_syntax(:\n", ""))
    elif kind == "constants":
        (root / "tech.py").write_text(f"WIDTH = 0.{step + 1}\nLAYER = (1, 0)\n")
    elif kind == "syntax":
        path.write_text(text + "\ndef broken_syntax(:\n")
    elif kind == "data":
        (root / "layers.json").write_text(f"[{step % 3 + 1}, 0]")
    elif kind == "importlib":  # the same size, within the same second
        (root / "shapes.py").write_text(f"SIDES = {step % 10}\n")
    elif kind == "symlink":  # a second name for a source, or a name that no longer leads anywhere
        link = root / "cells" / f"alias{step % 2}.py"
        if link.is_symlink():
            link.unlink()
        else:
            link.symlink_to(path.name)
    elif kind == "subfolder":  # a folder without __init__.py inside the package
        sub = root / "cells" / "sub"
        sub.mkdir(exist_ok=True)
        (sub / f"s{step}.py").write_text("import brimlay as bl\n\nimport tech\n\n\n" + factory_text(f"sub{step}", []))
    elif kind == "module cell" and (once := [n for n in names if re.fullmatch(r"t\d+f\d+", n) and sum(
            n in blocks(other) for other in files) == 1]):  # a cell made while the module runs, placed by a factory
        # (of a name defined once: which of two definitions makes a cell first depends on the import order)
        mark = f"MARK{step} = {rng.choice(once)}(length={step + 3})\n"
        path.write_text(text + f"\n\n{mark}\n\n@bl.cell\ndef marked{step}(c):\n    c.place(MARK{step})\n")
    return f"{kind} {path.name}"


def tables(db: Path, *roots: Path) -> dict[str, list[tuple]]:
    """Every table of the registry file, timestamps and the build counter aside."""

    def relative(text: str) -> str:  # error texts name files by their full path, which differs between copies
        for root in (db.parent.parent, *roots):
            text = text.replace(str(root), "<project>")
        return text

    with closing(sqlite3.connect(db)) as conn:
        return {
            table: [tuple(relative(v) if isinstance(v, str) else v for v in row) for row in conn.execute(query)]
            for table, query in [
                ("factories", "SELECT * FROM factories ORDER BY name"),
                ("components", "SELECT * FROM components ORDER BY name"),
                ("models", "SELECT * FROM models ORDER BY factory"),
                ("state", "SELECT * FROM tessaro_state WHERE kind NOT IN ('meta', 'time') ORDER BY 1, 2"),
            ]
        }


def without_time(found: dict[str, list[tuple]]) -> dict[str, list[tuple]]:
    return {**found, "factories": [row[:12] for row in found["factories"]]}


def build(root: Path, *args: str) -> None:
    assert main(["--project", str(root), "build", *args]) in (0, 1)


def damage_store(root: Path, rng: random.Random) -> str:
    """Lose or spoil some of the cell store, as a crash, a full disk or a stray edit would."""
    store = root / "build" / "cells.db"
    kind = rng.choice(["none", "none", "delete", "garbage", "truncate", "swap", "drop"])
    if kind == "delete":
        store.unlink(missing_ok=True)
    elif kind == "garbage":
        store.write_bytes(b"not a database")
    elif store.exists() and store.read_bytes().startswith(b"SQLite") and kind != "none":
        with closing(sqlite3.connect(store)) as conn, conn:
            names = [row[0] for row in conn.execute("SELECT name FROM cells ORDER BY name")]
            spoilt = rng.sample(names, min(3, len(names)))
            for name in spoilt:
                if kind == "truncate":
                    conn.execute("UPDATE cells SET value = substr(value, 1, length(value) - 2) WHERE name = ?", (name,))
                elif kind == "swap":  # another cell's entry under this name
                    conn.execute("UPDATE cells SET value = (SELECT value FROM cells WHERE name = ?) WHERE name = ?",
                                 (rng.choice(names), name))
                else:
                    conn.execute("DELETE FROM cells WHERE name = ?", (name,))
    return kind


# Seeds x edits: small in the normal run, 40 x 14 with TESSARO_STRESS=full.
SEEDS, STEPS = (40, 14) if os.environ.get("TESSARO_STRESS") == "full" else (4, 10)


@pytest.mark.parametrize("seed", range(SEEDS))
def test_random_edits(tmp_path, monkeypatch, capsys, seed):
    """Incremental builds (from the cell store, which gets damaged on the way; on two workers for odd seeds)
    write what ``build --all -j 1`` writes."""
    for key in ("TESSARO_DB_PATH", "TESSARO_PROJECT_DIR"):
        monkeypatch.delenv(key, raising=False)
    rng = random.Random(seed)
    root = tmp_path / "project"
    generate(root, factories=18, tiers=3, per_file=3)
    (root / "cells" / "models.py").write_text(
        "from tessaro.modeling import model\n\n\n@model('t0f000', settings={'length': 3})\ndef m():\n    pass\n"
    )
    shutil.copytree(root, tmp_path / "first", symlinks=True)
    jobs = ["-j", "2"] if seed % 2 else []
    build(root, *jobs)
    build(tmp_path / "first", "--all", "-j", "1")
    db = root / "build" / "tessaro.db"
    assert without_time(tables(db)) == without_time(tables(tmp_path / "first" / "build" / "tessaro.db", root))
    for step in range(STEPS):
        done = edit_once(root, rng, step)
        full = tmp_path / f"full{step}"
        shutil.copytree(root, full, symlinks=True)
        done += ", store: " + damage_store(root, rng)
        with closing(sqlite3.connect(db)) as conn, conn:
            conn.execute("UPDATE factories SET last_updated = ?", (EPOCH,))
        before = tables(db)
        build(root, *jobs)
        build(full, "--all", "-j", "1")
        after = tables(db)
        expected = without_time(tables(full / "build" / "tessaro.db", root))
        assert without_time(after) == expected, done
        # Rows that did not change, whose cells and model did not either, were not written.
        old = {row[0]: row for row in before["factories"]}
        cells = {row[0]: [c for c in after["components"] if c[1] == row[0]] for row in after["factories"]}
        old_cells = {name: [c for c in before["components"] if c[1] == name] for name in old}
        models = {row[0]: row for row in after["models"]}
        old_models = {row[0]: row for row in before["models"]}
        for row in after["factories"]:
            same = old.get(row[0], ())[:12] == row[:12] and cells[row[0]] == old_cells.get(row[0])
            if same and models.get(row[0]) == old_models.get(row[0]):
                assert row[12] == EPOCH, (done, row[0])
        capsys.readouterr()


@pytest.mark.filterwarnings("ignore")  # the cluster's own machinery warns as it starts and stops
def test_a_dask_cluster_builds_what_one_worker_builds(tmp_path, monkeypatch, capsys):
    import distributed

    from tessaro.cli import worker
    from tessaro.cli.project import file_hash
    from tessaro.cli.worker import run_task

    for key in ("TESSARO_DB_PATH", "TESSARO_PROJECT_DIR"):
        monkeypatch.delenv(key, raising=False)
    root, one = tmp_path / "project", tmp_path / "one"
    generate(root, factories=18, tiers=3, per_file=3)
    shutil.copytree(root, one, symlinks=True)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        for project in (root, one):
            (project / "pyproject.toml").write_text((project / "pyproject.toml").read_text()
                                                    + f"scheduler = {cluster.scheduler_address!r}\n")
        for step in range(2):
            build(root, "--all")  # to the cluster, as the project says
            build(one, "-j", "1", "--scheduler", "")
            assert without_time(tables(root / "build" / "tessaro.db")) == without_time(
                tables(one / "build" / "tessaro.db", root))
            for project in (root, one):
                edit_once(project, random.Random(step), step)
    capsys.readouterr()
    # On a cluster's worker, a factory that ends its (forked) worker fails alone, with how it ended.
    (root / "cells" / "quits.py").write_text("import os\n\nimport brimlay as bl\n\n\n@bl.cell\ndef quits(c):\n"
                                              "    os._exit(3)\n\n\n@bl.cell\ndef stays(c):\n    pass\n")
    version = __import__("tessaro").__version__
    task = {"root": str(root), "sources": ["cells"], "configured": True, "folders": [str(root)], "cells": {},
            "config": file_hash(root / "pyproject.toml"), "version": version, "imports": ["cells/quits.py"],
            "factories": [["quits", "cells/quits.py"], ["stays", "cells/quits.py"]]}
    for _ in range(2):  # the second time from the same fork server
        built = run_task(task)["built"]
        assert built["quits"]["message"] == "the build worker exited with status 3 while building it"
        assert built["stays"]["status"] == "SUCCESS"
        assert worker._server is not None and worker._server.proc.poll() is None
    # A worker that does not see the project (no shared file system), and no Dask at all.
    task = {"root": str(tmp_path / "elsewhere"), "version": version, "config": "x"}
    assert "must be on a file system shared by every worker" in run_task(task)["error"]
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert main(["--project", str(root), "build", "--all", "--scheduler", "tcp://127.0.0.1:1"]) == 2
    assert "pip install 'tessaro[cluster]'" in capsys.readouterr().err


def test_while_the_cluster_connects_the_ready_factories_build_a_little_at_a_time():
    from tessaro.cli.schedule import run_ahead

    uses = {"a": set(), "b": {"a"}, "c": {"b"}, "d": set()}
    ran: list[list[str]] = []
    waits = iter([True, True, False])
    left = run_ahead(list(uses), {name: "f.py" for name in uses}, uses, dict.fromkeys(uses, 0.03), {},
                     lambda batch: ran.append([name for name, _ in batch.factories]), lambda: next(waits))
    assert ran == [["a", "d"], ["b"]] and left == ["c"]
