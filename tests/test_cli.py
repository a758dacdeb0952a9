"""The tessaro command: most cases in-process through ``main``, a few end to end in a subprocess."""

from __future__ import annotations

import io
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
from contextlib import closing
from pathlib import Path

import pytest

from tessaro.cli import main

CLEAN = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}
TREE = ("chip\n├── mzi\n│   └── straight\n├── pad\n└── ring\n    ├── pad\n    └── straight\n"
        "spiral  [FAILED, uses as last recorded]\n└── straight\n")

# A project of our own: non-default placements, a constants module outside the sources imported by a
# factory file, a recursive factory, a model.
TRUTH = {
    "pyproject.toml": '[project]\nname = "truth"\n\n[tool.tessaro]\nsources = ["factories"]\n',
    "tech.py": "WIDTH = 0.5\n",
    "README.md": "# truth\n",
    "factories/__init__.py": "",
    "factories/basics.py": "import brimlay as bl\nfrom tech import WIDTH\n\n\n"
    "@bl.cell\ndef straight(c, length: float = 10.0):\n    c.add_port('o1', width=WIDTH)\n\n\n"
    "@bl.cell\ndef heater(c, length: float = 10.0):\n    c.add_port('h1')\n",
    "factories/devices.py": "import brimlay as bl\n\nfrom .basics import heater, straight\n\n\n"
    "@bl.cell\ndef ring(c, with_heater: bool = False):\n    c.place(straight())\n"
    "    if with_heater:\n        c.place(heater(length=20))\n\n\n"
    "@bl.cell\ndef mzi(c):\n    c.place(straight(length=25))\n\n\n"
    "@bl.cell\ndef tree(c, depth: int = 2):\n    if depth:\n        c.place(tree(depth=depth - 1))\n",
    "factories/chip.py": "import brimlay as bl\nfrom tessaro.modeling import model\n\n"
    "from .devices import mzi, ring, tree\n\n\n"
    "@bl.cell\ndef chip(c):\n    c.place(ring(with_heater=True))\n    c.place(mzi())\n    c.place(tree())\n\n\n"
    "@model(ring, settings={'with_heater': True})\ndef ring_model():\n    pass\n",
}
USES = {"chip": ["mzi", "ring", "tree"], "heater": [], "mzi": ["straight"], "ring": ["heater", "straight"],
        "straight": [], "tree": ["tree"]}


def write_project(root: Path, files: dict[str, str]) -> Path:
    for rel, text in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text)
    return root


def edit(path: Path, old: str, new: str) -> None:
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))


@pytest.fixture
def cli(monkeypatch, capsys):
    """Run ``tessaro ARGS`` in this process; returns (stdout, stderr) after checking the exit status."""
    for key in [k for k in os.environ if k.startswith("TESSARO_")]:
        monkeypatch.delenv(key)

    def run(*args: str, code: int = 0, cwd: Path | None = None) -> tuple[str, str]:
        if cwd is not None:
            monkeypatch.chdir(cwd)
        status = main(list(args))
        out, err = capsys.readouterr()
        assert status == code, out + err
        assert "Traceback" not in err
        return out, err

    run.json = lambda *args, **kw: json.loads(run(*args, "--json", **kw)[0])  # type: ignore[attr-defined]
    return run


@pytest.fixture
def truth(tmp_path, cli):
    root = write_project(tmp_path / "truth", TRUTH)
    cli("build", cwd=root)
    return root


def rows(db: Path, table: str, order: str = "1") -> list[tuple]:
    with closing(sqlite3.connect(db)) as conn:
        return conn.execute(f"SELECT * FROM {table} ORDER BY {order}").fetchall()


def test_demo_end_to_end(tmp_path):
    """The installed script, in a subprocess: the demo, then a query from elsewhere with options after the command."""
    script = str(Path(sys.executable).with_name("tessaro"))
    done = subprocess.run([script, "demo", "example"], cwd=tmp_path, env=CLEAN, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "spiral failed on purpose: ValueError" in done.stdout and TREE in done.stdout
    assert re.search(r"^ring\s+SUCCESS\s+SUCCESS\s+1\s", done.stdout, re.M)
    project = tmp_path / "example"
    assert not list(project.rglob("__pycache__"))
    done = subprocess.run([script, "show", "straight", "--project", str(project), "--json"], cwd=tmp_path, env=CLEAN,
                          capture_output=True, text=True)
    shown = json.loads(done.stdout)
    assert (shown["used_by"], shown["uses"]) == (["mzi", "ring", "spiral"], [])  # spiral, as far as it gets
    assert [c["settings"]["length"] for c in shown["components"]] == [10, 40]


def test_the_dependency_record(truth, cli):
    """Edges through cells with any settings, a constants module, recursion; show, graph and affected agree."""
    graph = cli.json("graph", cwd=truth)
    edges = sorted((a, b) for a, bs in USES.items() for b in bs)
    assert [tuple(e) for e in graph["edges"]] == edges
    for name, uses in USES.items():
        shown = cli.json("show", name)
        used_by = sorted(a for a, bs in USES.items() if name in bs)
        assert (shown["uses"], shown["used_by"], shown["stale"]) == (uses, used_by, False)
        focused = cli.json("graph", name, "--depth", "1")
        assert {n["name"] for n in focused["nodes"]} == {name, *uses, *used_by}
    assert cli.json("graph", "straight", "--up")["edges"] == [["chip", "mzi"], ["chip", "ring"],
                                                               ["mzi", "straight"], ["ring", "straight"]]
    assert cli.json("graph", "ring", "--down", "--depth", "1")["edges"] == [["ring", "heater"], ["ring", "straight"]]
    assert cli.json("affected", "factories/basics.py") == {
        "sources": ["factories/basics.py"],
        "defined": ["chip", "heater", "mzi", "ring", "straight", "tree"],  # every file imports basics.py
        "affected": ["heater", "straight", "mzi", "ring", "tree", "chip"],
        "cycles": [["tree"]],
    }
    # The recursive factory stays in rebuild order; what a factory uses comes first.
    assert cli.json("affected", "--factory", "heater", "--factory", "tree")["affected"] == ["heater", "ring", "tree",
                                                                                             "chip"]
    out, _ = cli("affected", "--factory", "straight", "--names")
    assert out == "straight\nmzi\nring\nchip\n"
    # The other formats draw the same edges; dot groups factories by file, -o picks the format by suffix.
    cli("graph", "-o", "g.dot", "--rankdir", "LR")
    dot = (truth / "g.dot").read_text()
    assert "rankdir=LR;" in dot and 'label="factories/basics.py"' in dot and dot.count("subgraph cluster_") == 3
    assert set(re.findall(r'"(\w+)" -> "(\w+)"', dot)) == set(edges)
    mermaid, _ = cli("graph", "-f", "mermaid")
    ids = dict(re.findall(r'^\s+(f\d+)\["(\w+)"\]$', mermaid, re.M))
    assert {(ids[a], ids[b]) for a, b in re.findall(r"(f\d+) --> (f\d+)", mermaid)} == set(edges)
    # The registry's own parents/children fields hold the same edges.
    stored = {r[0]: (json.loads(r[6]), json.loads(r[7])) for r in rows(truth / "build" / "tessaro.db", "factories")}
    assert {n: children for n, (_, children) in stored.items()} == USES


@pytest.mark.parametrize(("files", "expected", "notes"), [
    (["tech.py"], ["heater", "straight", "mzi", "ring", "tree", "chip"], []),
    (["factories/chip.py", "README.md", "../elsewhere.py"], ["chip"],
     ["README.md is not a file of the project", "../elsewhere.py is not a file of the project"]),
    (["pyproject.toml"], ["heater", "straight", "mzi", "ring", "tree", "chip"], []),
    (["factories/new.py"], [], ["factories/new.py is not a source and no source imports it"]),
])
def test_affected_takes_any_changed_files(truth, cli, files, expected, notes):
    (truth / "factories" / "new.py").write_text("")
    out, err = cli("affected", "--names", *files, cwd=truth)
    assert out.split() == expected
    assert all(note in err for note in notes), err


def test_queries_read_the_last_build_and_never_import_or_write(truth, cli):
    db = truth / "build" / "tessaro.db"
    (truth / "factories" / "spy.py").write_text("import pathlib\npathlib.Path('imported').write_text('x')\n")
    before = db.read_bytes()
    for args in (["factories"], ["components"], ["models"], ["show", "ring"], ["graph"], ["affected", "tech.py"]):
        _, err = cli(*args)
        assert "1 file(s) changed since the last build (factories/spy.py): run 'tessaro build'" in err
    assert db.read_bytes() == before and not (truth / "imported").exists()
    # A registry without the dependency record: a note asking for a build, never "used by: -".
    with closing(sqlite3.connect(db)) as conn, conn:
        conn.execute("DROP TABLE tessaro_state")
    for args in (["show", "ring"], ["graph"], ["affected", "tech.py"]):
        _, err = cli(*args, code=2)
        assert "has no dependency record (it was built by an older tessaro): run 'tessaro build'" in err
    cli("factories")


def test_a_failing_factory_keeps_its_last_known_edges(truth, cli):
    devices = truth / "factories" / "devices.py"
    edit(devices, "    c.place(straight())\n", "    c.place(straight())\n    raise RuntimeError('broken ring')\n")
    out, _ = cli("build", code=1)
    assert re.search(r"^ring\s+FAILED\s+0\s+factories/devices.py\s+RuntimeError: broken ring "
                     r"\(factories/devices.py:9\)$", out, re.M)
    assert "1 file changed, 4 factories rebuilt, 2 unchanged, 2 failed" in out
    shown = cli.json("show", "ring", "-v")
    assert (shown["status"], shown["stale"], shown["where"]) == ("FAILED", True, "factories/devices.py:9")
    assert (shown["uses"], shown["used_by"]) == (["heater", "straight"], ["chip"])
    assert shown["traceback"].startswith("Traceback") and "raise RuntimeError('broken ring')" in shown["traceback"]
    assert cli.json("affected", "--factory", "heater")["affected"] == ["heater", "ring", "chip"]
    out, _ = cli("graph")
    assert "├── ring  [FAILED, uses as last recorded]\n│   ├── heater\n" in out
    out, _ = cli("show", "ring")
    assert "raised at:      factories/devices.py:9\n" in out
    assert "uses:           heater, straight  (as last recorded: it fails now)" in out


def test_incremental_build_rewrites_only_what_changed(truth, cli):
    db = truth / "build" / "tessaro.db"
    with closing(sqlite3.connect(db)) as conn, conn:
        conn.execute("UPDATE factories SET last_updated = '2000-01-01 00:00:00'")
    out, _ = cli("build")
    assert out == "nothing changed since the last build (6 factories)\n"
    edit(truth / "factories" / "devices.py", "c.place(straight(length=25))", "c.place(straight(length=26))")
    report = cli.json("build")
    assert report["changed"] == {"factories/devices.py": "changed"}
    assert {f["name"]: f["because"] for f in report["factories"]} == {
        "mzi": "its file changed", "ring": "its file changed", "tree": "its file changed",
        "chip": "its file imports factories/devices.py"}
    touched = {r[0] for r in rows(db, "factories") if r[12] != "2000-01-01 00:00:00"}
    assert touched == {"straight"} and report["rewritten"] == ["straight"]  # its cells changed; mzi's row did not
    assert report["unchanged"] == 2 and report["written"]
    # What the unchanged factories made came from the cell store; every factory keeps its last build time.
    heater = [r[0] for r in rows(db, "components") if r[1] == "heater" and r[0] != "heater"]
    assert sorted(report["store"]["restored"]) == [*heater, "straight"] and report["store"]["size"] > 0
    assert all(f["seconds"] > 0 for f in report["factories"])
    assert cli.json("show", "straight")["seconds"] > 0 and "build time:" in cli("show", "chip")[0]


def test_watch_follows_edits_until_ctrl_c(tmp_path):
    root = write_project(tmp_path / "truth", TRUTH)
    watch = subprocess.Popen([sys.executable, "-m", "tessaro", "watch", "--json"], cwd=root, env=CLEAN,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    events = []

    def until(event: str) -> dict:
        while True:
            line = watch.stdout.readline()
            assert line, watch.stderr.read()
            events.append(json.loads(line))
            if events[-1]["event"] == event:
                return events[-1]

    try:
        until("watching")
        basics = root / "factories" / "basics.py"
        edit(basics, "def heater(c, length: float = 10.0):", "def heater(c, length: float = 10.0:")
        failed = until("import_failed")
        assert failed["file"] == "factories/basics.py" and failed["where"] == "factories/basics.py:11"
        until("watching")
        edit(basics, "length: float = 10.0:", "length: float = 12.0):")
        assert until("built")["rebuilt"] == 6
        until("watching")
        edit(root / "tech.py", "0.5", "0.75")  # a constants module: re-imported, so the change takes effect
        until("built")
        until("watching")
        edit(root / "pyproject.toml", "[tool.tessaro]", "[tool.tessaro")  # half-edited: said, and the watch goes on
        assert "cannot read" in until("error")["message"]
        until("watching")
        edit(root / "pyproject.toml", "[tool.tessaro", "[tool.tessaro]")
        until("built")
    finally:
        watch.send_signal(2)
        out, err = watch.communicate(timeout=30)
    assert watch.returncode == 0 and json.loads(out.splitlines()[-1])["event"] == "stopped", err
    with closing(sqlite3.connect(root / "build" / "tessaro.db")) as conn:
        settings = dict(conn.execute("SELECT name, default_settings FROM factories"))
        ports = json.loads(conn.execute("SELECT ports FROM components WHERE name = 'straight'").fetchone()[0])
    assert json.loads(settings["heater"]) == {"length": 12.0} and ports[0]["width"] == 0.75


def _junk(root: Path) -> None:
    (root / "build" / "tessaro.db").write_bytes(b"not a database, but precious" * 100)


def _malformed(root: Path) -> None:
    db = root / "build" / "tessaro.db"
    data = bytearray(db.read_bytes())
    data[100:4096] = b"\xff" * (4096 - 100)
    db.write_bytes(bytes(data))


def _folder_is_a_file(root: Path) -> None:
    shutil.rmtree(root / "build")
    (root / "build").write_text("a file")


def _registry_is_a_folder(root: Path) -> None:
    (root / "build" / "tessaro.db").unlink()
    (root / "build" / "tessaro.db").mkdir()


def _foreign(root: Path) -> None:
    (root / "build" / "tessaro.db").unlink()
    with closing(sqlite3.connect(root / "build" / "tessaro.db")) as conn:
        conn.execute("CREATE TABLE factories (id INTEGER, label TEXT)")


@pytest.mark.parametrize(("args", "setup", "message"), [
    (["show", "rng"], None, "unknown factory 'rng' (did you mean 'ring'?)"),
    (["build", "missing.py"], None, "source 'missing.py' does not exist"),
    (["build", "tech.py"], None, "tech.py is not under the configured sources (factories): add it to [tool.tessaro]"),
    (["build", "../outside.py"], None, "outside.py is outside the project folder"),
    (["build", "--all", "factories/chip.py"], None, "give either --all or SOURCE files"),
    (["--project", "pyproject.toml", "factories"], None, "--project 'pyproject.toml' is a file, not a project folder"),
    (["--bogus"], None, "unrecognized arguments: --bogus"),
    (["graph", "-o", "graph.xyz"], None, "cannot tell the format of 'graph.xyz' from its suffix"),
    (["graph", "--up"], None, "--up, --down and --depth need a FACTORY"),
    (["graph", "--json", "--format", "dot"], None, "--json and --format dot disagree"),
    (["affected"], None, "give the changed FILEs or --factory NAME"),
    (["factories"], "env", "TESSARO_DB_PATH names "),
    (["graph", "-o", "g.svg"], "no dot", "--format svg needs Graphviz's 'dot' program, which is not on PATH"),
    (["factories"], _junk, "tessaro.db is not a registry database: delete it and run tessaro build"),
    (["build"], _malformed, "tessaro.db is damaged (database disk image is malformed): delete it and run tessaro"),
    (["show", "ring"], _foreign, "is not a tessaro registry (its factories table has other columns): delete it"),
    (["build"], _folder_is_a_file, "build is a file where the registry's folder should be: delete it"),
    (["factories"], _registry_is_a_folder, "tessaro.db is a folder, not a file: delete it and run tessaro build"),
])
def test_bad_input_is_one_line_exit_2_and_loses_nothing(truth, cli, monkeypatch, args, setup, message):
    (truth.parent / "outside.py").write_text("")
    if setup == "env":
        monkeypatch.setenv("TESSARO_DB_PATH", str(truth / "no" / "such" / "tessaro.db"))
    elif setup == "no dot":
        monkeypatch.setenv("PATH", "")
    elif setup is not None:
        setup(truth)
    before = {p: p.read_bytes() for p in truth.rglob("*") if p.is_file() and "pycache" not in p.parts}
    _, err = cli(*args, code=2)
    assert err.splitlines()[-1].startswith("tessaro: error: ") and message in err.splitlines()[-1], err
    assert {p: p.read_bytes() for p in before} == before and not (truth / "no").exists()


def test_the_registry_tells_the_truth(truth, cli):
    """Models of broken files, vanished factories and models, narrowed sources, duplicates, unusable names."""
    chip, devices = truth / "factories" / "chip.py", truth / "factories" / "devices.py"
    factories = lambda: {f["name"]: f for f in cli.json("factories")}  # noqa: E731
    out, _ = cli("factories")
    assert re.search(r"^ring\s+SUCCESS\s+SUCCESS\s+2\s", out, re.M)  # the model column shows the model's status
    # A model in a file that does not import is marked failed with the import error.
    edit(chip, "def chip(c):", "def chip(c:")
    cli("build", code=1)
    [model] = cli.json("models")
    assert model["status"] == "FAILED" and model["message"].startswith("factories/chip.py failed to import: Syntax")
    assert factories()["ring"]["model_status"] == "FAILED"
    # A model marked for a name no factory has stays listed, failing, and every build says so until it is fixed.
    edit(chip, "def chip(c:", "def chip(c):")
    edit(chip, "@model(ring,", "@model('rign',")
    cli("build", code=1)
    [model] = cli.json("models")
    assert (model["status"], model["message"]) == ("FAILED", "no factory named 'rign' (did you mean 'ring'?)")
    out, _ = cli("build", code=1)
    assert out.startswith("nothing changed")
    edit(chip, "@model('rign',", "@model(ring,")
    cli("build")
    assert [m["status"] for m in cli.json("models")] == ["SUCCESS"]
    # A name defined twice: the first file in path order owns it, whichever file is built.
    (truth / "factories" / "zz.py").write_text("import brimlay as bl\n\n\n@bl.cell\ndef mzi(c):\n    pass\n")
    for args in (["build"], ["build", "factories/zz.py"]):
        out, _ = cli(*args, code=1)
        assert "warning: factory 'mzi' of factories/zz.py ignored: already defined in factories/devices.py" in out
        assert factories()["mzi"]["source"] == "factories/devices.py"
    edit(devices, "@bl.cell\ndef mzi(c):\n    c.place(straight(length=25))\n", "")  # the other file takes over
    cli("build", code=1)
    assert (factories()["mzi"]["source"], cli.json("show", "mzi")["uses"]) == ("factories/zz.py", [])
    # Narrowing the sources drops what they no longer cover; an empty list keeps the registry unless --all.
    edit(truth / "pyproject.toml", 'sources = ["factories"]', 'sources = ["factories/basics.py"]')
    cli("build")
    assert set(factories()) == {"heater", "straight"}
    edit(truth / "pyproject.toml", 'sources = ["factories/basics.py"]', "sources = []\nsource = 1")
    out, err = cli("build", code=1)
    assert "no source files under the configured sources (none): the registry's 2 factories are kept" in out
    assert "unknown key 'source' under [tool.tessaro] (did you mean 'sources'?)" in err
    cli("build", "--all")
    assert factories() == {}


def test_rows_without_a_usable_name_are_removed_by_the_next_build(truth, cli):
    import tessaro.core.database as db
    from tessaro.models import FactoryRecord

    with closing(sqlite3.connect(truth / "build" / "tessaro.db")) as conn, conn:  # as an older writer left them
        conn.execute("INSERT INTO factories (name, source, status, message, default_settings, pdk_type, parents,"
                     " children, is_partial, tags, ignored_sources) VALUES (NULL, 'factories/basics.py', 'SUCCESS',"
                     " '', '{}', 'generic', '[]', '[]', 0, '[]', '[]')")
    with pytest.raises(TypeError):  # and no writer stores them any more
        os.environ["TESSARO_DB_PATH"] = str(truth / "build" / "tessaro.db")
        try:
            db.add_factories(FactoryRecord(name=None, source=str(truth / "x.py")))
        finally:
            del os.environ["TESSARO_DB_PATH"]
    out, _ = cli("build", code=1)
    assert "removed stored factory rows without a usable name (None)" in out
    names = [r[0] for r in rows(truth / "build" / "tessaro.db", "factories")]
    assert names == sorted(USES) and cli.json("show", "straight")["components"]


def test_main_leaves_no_lasting_effects_and_colours_only_terminals(truth, cli, monkeypatch):
    import logging

    import brimlay
    from tessaro.cli.render import Progress, color

    state = lambda: (dict(os.environ), list(sys.path), set(sys.modules), sys.dont_write_bytecode,  # noqa: E731
                     list(logging.getLogger("tessaro").handlers), dict(brimlay.kcl.tkcells))
    before = state()
    edit(truth / "tech.py", "0.5", "0.6")
    cli("-v", "build")
    assert state() == before

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    assert color("FAILED", Terminal()) == "\x1b[31mFAILED\x1b[0m" and color("FAILED", sys.stdout) == "FAILED"
    for env in ({"NO_COLOR": "1"}, {"TERM": "dumb"}):
        with monkeypatch.context() as patch:
            for key, value in env.items():
                patch.setenv(key, value)
            assert color("FAILED", Terminal()) == "FAILED"
            bar = Progress("building", enabled=True, stream=Terminal())
            bar.show(1, 2, 2, "building ring")
            drawn = bar.stream.getvalue()
            if "TERM" in env:
                assert drawn == ""
            else:  # drawn, without escape sequences
                assert "\x1b" not in drawn and drawn.endswith("] 1/2 (2 workers busy) building ring")


def test_a_commit_just_before_the_copy_back_is_never_overwritten(truth, cli, monkeypatch):
    from tessaro.cli import registry

    db = truth / "build" / "tessaro.db"
    counter, calls = registry.change_counter, []

    def racing(path):  # another program commits right after the build's last look before copying back
        found = counter(path)
        if sys._getframe(1).f_code.co_name == "write_atomically":
            calls.append(path)
            if len(calls) == 2:  # its first look is before the staging copy, the second just before copying back
                with closing(sqlite3.connect(db)) as conn, conn:
                    conn.execute("CREATE TABLE theirs (x)")
        return found

    monkeypatch.setattr(registry, "change_counter", racing)
    edit(truth / "tech.py", "0.5", "0.6")
    cli("build")
    assert rows(db, "sqlite_master WHERE name = 'theirs'") and cli.json("build")["written"] is False


def test_a_locked_registry_is_reported_as_busy_not_damaged(truth, cli, monkeypatch):
    from tessaro.cli import registry

    def locked(*args, **kw):
        raise sqlite3.OperationalError("database is locked")

    monkeypatch.setattr(registry, "_connect", locked)
    _, err = cli("factories", code=1)
    assert err == f"tessaro: error: the registry {truth / 'build' / 'tessaro.db'} is locked by another program" \
                  " (database is locked): try again\n"
