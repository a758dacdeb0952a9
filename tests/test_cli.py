"""The tessaro command: most cases in-process through ``main``, a few end to end in a subprocess."""

from __future__ import annotations

import functools
import io
import json
import os
import re
import shlex
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
    """The installed script, in a subprocess and not on PATH: the demo in a temporary folder, then the query it
    suggests (by the script's path), from elsewhere, with an option after the command."""
    script = str(Path(sys.executable).with_name("tessaro"))
    work, temp = tmp_path / "work", tmp_path / "temp"
    work.mkdir()
    temp.mkdir()
    env = dict(CLEAN, TMPDIR=str(temp), PATH=os.defpath)
    done = subprocess.run([script, "demo"], cwd=work, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "spiral failed on purpose: ValueError" in done.stdout and TREE in done.stdout
    assert re.search(r"^ring\s+SUCCESS\s+SUCCESS\s+1\s", done.stdout, re.M)
    (project,) = temp.iterdir()
    assert list(work.iterdir()) == [] and not list(project.rglob("__pycache__"))
    suggested = shlex.split(re.search(r"^Next, try:\n  (.+)$", done.stdout, re.M).group(1))
    assert suggested == [script, "--project", str(project), "show", "ring"]
    done = subprocess.run([*suggested[:-1], "straight", "--json"], cwd=tmp_path, env=env, capture_output=True,
                          text=True)
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
    affected = cli.json("affected", "factories/basics.py")
    assert {k: v for k, v in affected.items() if k != "reasons"} == {
        "sources": ["factories/basics.py"], "skipped": [],
        "defined": ["chip", "heater", "mzi", "ring", "straight", "tree"],  # every file imports basics.py
        "affected": ["heater", "straight", "mzi", "ring", "tree", "chip"],
        "cycles": [["tree"]],
    }
    assert affected["reasons"]["chip"] == [
        {"kind": "changed", "file": "factories/basics.py"},
        {"kind": "imports", "file": "factories/devices.py", "target": "factories/basics.py"},
        {"kind": "imports", "file": "factories/chip.py", "target": "factories/devices.py"},
        {"kind": "defines", "file": "factories/chip.py", "factory": "chip"}]
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


@pytest.mark.parametrize(("args", "stdin", "expected", "notes"), [
    (["tech.py"], None, ["heater", "straight", "mzi", "ring", "tree", "chip"], []),
    (["alias.py"], None, ["heater", "straight", "mzi", "ring", "tree", "chip"], []),  # a symlink to tech.py
    (["factories/chip.py", "README.md", "../elsewhere.py"], None, ["chip"],
     ["README.md is not an input of the last build (no source imports or reads it): skipped",
      "../elsewhere.py is outside the project folder: skipped"]),
    (["pyproject.toml"], None, ["heater", "straight", "mzi", "ring", "tree", "chip"], []),
    (["factories/new.py"], None, [], ["factories/new.py is a new source: its factories are not known before"]),
    ([], None, [], []),  # what `git diff --name-only | xargs tessaro affected` runs on a clean tree
    (["-"], "README.md\n\nfactories/chip.py\n", ["chip"], ["README.md is not an input"]),
    (["-", "--factory", "mzi"], "factories/devices.py\0tech.py\0", ["heater", "straight", "mzi", "ring", "tree",
                                                                      "chip"], []),
    (["--strict", "factories/chip.py", "README.md", "../elsewhere.py"], None, 2,
     ["2 paths are not inputs of the project's last build (README.md, ../elsewhere.py): leave out --strict"]),
])
def test_affected_takes_any_changed_files(truth, cli, monkeypatch, args, stdin, expected, notes):
    (truth / "factories" / "new.py").write_text("")
    (truth / "alias.py").symlink_to(truth / "tech.py")
    monkeypatch.setattr(sys, "stdin", io.StringIO(stdin or ""))
    out, err = cli("affected", "--names", *args, cwd=truth, code=2 if expected == 2 else 0)
    assert out.split() == ([] if expected == 2 else expected)
    assert all(note in err for note in notes), err


def test_affected_since_a_commit_in_a_project_below_the_repository_root(tmp_path, cli, monkeypatch):
    """Committed, staged and untracked changes, data files read while importing or building, with their reasons."""
    repo = tmp_path / "repo"
    root = write_project(repo / "chips" / "truth", {
        **TRUTH, "layers.json": '{"WG": 1}', "data/mzi.json": "{}", ".gitignore": "build/\n",
        "tech.py": "import json\nimport pathlib\n\nWIDTH = 0.5\n"
                   "LAYERS = json.loads((pathlib.Path(__file__).parent / 'layers.json').read_text())\n"})
    edit(root / "factories" / "devices.py", "def mzi(c):\n",
         "def mzi(c):\n    import pathlib\n    pathlib.Path('data/mzi.json').read_text()\n")
    (repo / "elsewhere.txt").write_text("another project's file\n")
    git = functools.partial(subprocess.run, cwd=repo, check=True, capture_output=True)
    git(["git", "init", "-q"])
    git(["git", "add", "-A"])
    git(["git", "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "base"])
    assert cli("affected", "--names", "--since", "HEAD", cwd=root) == ("", "")  # clean, and no registry yet
    cli("build")
    assert cli("affected", "--names", "--since", "HEAD") == ("", "")
    edit(root / "factories" / "chip.py", "c.place(mzi())", "c.place(mzi())\n    c.place(mzi())")
    git(["git", "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qam", "chip"])
    (root / "data" / "mzi.json").write_text('{"length": 3}')
    git(["git", "add", "chips/truth/data/mzi.json"])  # staged
    (root / "notes.txt").write_text("untracked\n")
    (repo / "elsewhere.txt").write_text("changed, outside the project: not noted\n")
    monkeypatch.setattr(sys, "stdin", io.StringIO(git(["git", "diff", "--name-only", "HEAD~1"]).stdout.decode()))
    assert cli("affected", "--names", "-", cwd=root / "factories")[0] == "mzi\nchip\n"  # named from the top
    found = cli.json("affected", "--since", "HEAD~1")
    assert (found["sources"], found["affected"]) == (["data/mzi.json", "factories/chip.py"], ["mzi", "chip"])
    assert found["skipped"] == [{"path": "notes.txt",
                                 "why": "not an input of the last build (no source imports or reads it)"}]
    assert found["reasons"]["mzi"] == [{"kind": "changed", "file": "data/mzi.json"},
                                       {"kind": "reads", "factory": "mzi", "target": "data/mzi.json"}]
    _, err = cli("affected", "--since", "HEAD~1", "--strict", code=2)
    assert err.endswith("error: 1 path is not an input of the project's last build (notes.txt): leave out --strict"
                        " to skip them\n")
    _, err = cli("affected", "--since", "nope", code=2)
    assert "--since 'nope': git knows no such commit" in err
    # A data file read while a module is imported reaches every factory whose file imports that module.
    found = cli.json("affected", "layers.json", "--factory", "ring")
    assert found["affected"] == ["heater", "straight", "mzi", "ring", "tree", "chip"]
    assert found["reasons"]["ring"] == [{"kind": "given", "factory": "ring"}]
    assert found["reasons"]["chip"][:3] == [
        {"kind": "changed", "file": "layers.json"}, {"kind": "reads", "file": "tech.py", "target": "layers.json"},
        {"kind": "imports", "file": "factories/basics.py", "target": "tech.py"}]
    out, _ = cli("affected", "data/mzi.json")
    assert re.search(r"^mzi\s+factories/devices.py\s+its build reads data/mzi.json$", out, re.M)
    assert re.search(r"^chip\s+factories/chip.py\s+its build reads data/mzi.json$", out, re.M)  # through mzi


def test_why_names_the_chains_and_the_cells_that_make_them(truth, cli):
    chains = cli.json("why", "chip", "straight")
    assert [[hop["factory"] for hop in chain] + [chain[-1]["target"]] for chain in chains["chains"]] == [
        ["chip", "mzi", "straight"], ["chip", "ring", "straight"]]
    assert chains["chains"][0][1]["cells"] == [{"cell": "mzi", "settings": {}, "uses": chains["chains"][0][1]["cells"]
                                               [0]["uses"], "uses_settings": {"length": 25}}]
    out, _ = cli("why", "chip", "heater")
    assert out.splitlines()[:2] == ["chip uses heater through 1 chain, shortest first:", "  chip -> ring -> heater"]
    assert re.search(r'^    ring -> heater: cell ring_\w+ \{"with_heater": true\} uses heater_\w+ \{"length": 20\}$',
                     out, re.M)
    out, _ = cli("why", "tree", "tree")  # recursion: the cells of each depth
    assert out.count("    tree -> tree: cell tree") == 2
    edit(truth / "factories" / "devices.py", "def mzi(c):\n", "def mzi(c):\n    c.place(ring())\n")
    cli("build")
    found = cli.json("why", "chip", "straight", "--all")["chains"]
    assert [len(chain) for chain in found] == [2, 2, 3]  # shortest first; --all adds chip -> mzi -> ring -> straight
    assert cli.json("why", "chip", "straight", "--limit", "1")["more"] is True
    out, err = cli("why", "straight", "chip")
    assert out == "" and "straight does not use chip, directly or through other factories (the other way round" in err
    # A failing factory's steps are as last recorded, without cells.
    edit(truth / "factories" / "devices.py", "c.place(straight())\n", "c.place(straight())\n    raise OSError\n")
    cli("build", code=1)
    [hop] = cli.json("why", "ring", "straight")["chains"][0]
    assert (hop["stale"], hop["cells"]) == (True, [])
    out, _ = cli("why", "ring", "straight")
    assert "    ring -> straight: ring fails now; the edge is as last recorded (no cells)\n" in out


def test_names_are_shown_naturally_sorted_and_never_forge_output(tmp_path, cli):
    root = write_project(tmp_path / "odd", {
        "pyproject.toml": '[project]\nname = "odd"\n',
        "factories/__init__.py": "",
        "factories/gen.py": "import brimlay as bl\n\n\ndef named(name):\n    def make(c):\n        pass\n\n"
        "    make.__name__ = make.__qualname__ = name\n    return bl.cell(make)\n\n\n"
        "A, B, C, D, E = FACTORIES = [\n"
        "    named(n) for n in ('gen_10', 'gen_2', 'x\\n\u2514\u2500\u2500 forged', 'red\\x1b[31m', 'a, b')]\n\n\n"
        "@bl.cell\ndef top(c):\n    for factory in FACTORIES:\n        c.place(factory())\n",
    })
    cli("build", cwd=root)
    forged = "x\n\u2514\u2500\u2500 forged"
    for args in (["factories"], ["components"], ["graph"], ["graph", "-f", "mermaid"], ["graph", "-f", "dot"],
                 ["show", "top"], ["why", "top", forged], ["affected", "--factory", forged, "--factory", "gen_2"],
                 ["affected", "--names", "--factory", "a, b", "--factory", "gen_10", "--factory", "gen_2"]):
        out, _ = cli(*args)
        assert "\x1b" not in out and "\\n\u2514\u2500\u2500 forged" in out + "\\n\u2514\u2500\u2500 forged", args
        assert not any(line.lstrip(" \u2502\u251c\u2514\u2500").startswith("forged") for line in out.splitlines())
        if "gen_10" in out:
            assert out.index("gen_2") < out.index("gen_10"), args
    assert cli("affected", "--names", "--factory", "a, b", "--factory", "gen_10", "--factory", "gen_2")[0] == \
        "a, b\ngen_2\ngen_10\ntop\n"
    out, _ = cli("show", "top")
    assert "uses:           a\\x2c b, gen_2, gen_10, red\\x1b[31m, x\\n\u2514\u2500\u2500 forged\n" in out


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
    assert out == "nothing changed since the last build (6 factories)\n" and not cli.json("build")["written"]
    edit(truth / "factories" / "devices.py", "c.place(straight(length=25))", "c.place(straight(length=26))")
    report = cli.json("build")
    assert report["changed"] == {"factories/devices.py": "changed"}
    assert {f["name"]: (f["because"], f["components"]) for f in report["factories"]} == {
        "mzi": ("its file changed", 1), "ring": ("its file changed", 2), "tree": ("its file changed", 3),
        "chip": ("its file imports factories/devices.py", 1)}
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
        assert failed["files"] == ["factories/basics.py", "factories/chip.py", "factories/devices.py"]
        assert failed["where"] == "factories/basics.py:11"
        assert until("built")["newly_failing"] == ["chip", "heater", "mzi", "ring", "straight", "tree"]
        until("watching")
        edit(basics, "length: float = 10.0:", "length: float = 12.0):")
        built = until("built")
        assert built["rebuilt"] == 6 and built["fixed"] == ["chip", "heater", "mzi", "ring", "straight", "tree"]
        until("watching")
        (root / "width.json").write_text("0.75")  # a constants module reading a data file, which is then watched
        edit(root / "tech.py", "WIDTH = 0.5", "import json\nWIDTH = json.load(open('width.json'))")
        until("built")
        until("watching")
        (root / "width.json").write_text("0.8")
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
    assert json.loads(settings["heater"]) == {"length": 12.0} and ports[0]["width"] == 0.8


def _junk(root: Path) -> None:
    (root / "build" / "tessaro.db").write_bytes(b"not a database, but precious" * 100)


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


def _registry_at(rel: str, schema: str | None = None):  # TESSARO_DB_PATH names another file (SQLite with schema)
    def setup(root: Path) -> dict[str, str]:
        if schema is not None:
            with closing(sqlite3.connect(root / rel)) as conn:
                conn.execute(schema)
        return {"TESSARO_DB_PATH": str(root / rel)}

    return setup


def _looping_sources(root: Path) -> None:
    edit(root / "pyproject.toml", 'sources = ["factories"]', 'sources = ["factories", "loop"]')
    (root / "loop").symlink_to("loop")


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
    (["view", "--depth", "1", "-o", "page.html"], None, "--up, --down and --depth need a FACTORY"),
    (["view", "-o", "page.html", "--port", "8000"], None, "--host, --port and --no-open are for serving the page"),
    (["view", "--since", "nowhere", "-o", "page.html"], None, "--since needs a git repository: "),
    (["graph", "--json", "--format", "dot"], None, "--json and --format dot disagree"),
    (["affected", "--since", "HEAD"], None, "--since needs a git repository: "),
    (["why", "ring", "chp"], None, "unknown factory 'chp' (did you mean 'chip'?)"),
    (["factories"], "env", "TESSARO_DB_PATH names "),
    (["graph", "-o", "g.svg"], "no dot", "--format svg needs Graphviz's 'dot' program, which is not on PATH"),
    (["factories"], _junk, "tessaro.db is not a registry (not an SQLite database): move it out of the way, or set"),
    (["show", "ring"], _foreign, "is not a tessaro registry (its factories table has other columns): move it out"),
    (["build"], _folder_is_a_file, "build is a file where the registry's folder should be: move it out of the way"),
    (["factories"], _registry_is_a_folder, "tessaro.db is a folder, not a file: move it out of the way"),
    (["build"], _registry_at("factories/basics.py"), "basics.py is not a registry (not an SQLite database): set"
     " TESSARO_DB_PATH to a registry or to a file that does not exist yet"),
    (["build"], _registry_at("notes.db", "CREATE TABLE notes (x)"), "notes.db is another program's database (it"
     " holds the table(s) notes), not a registry"),
    (["factories"], _registry_at("empty.db", "PRAGMA user_version = 7"), "no registry at"),  # and no tables made
    (["factories"], _looping_sources, "[tool.tessaro] sources names 'loop', which cannot be followed (Symlink loop"),
    (["factories"], lambda root: edit(root / "pyproject.toml", '"factories"]', '"factories", ""]'),
     "[tool.tessaro] sources must be a path or a list of paths"),
])
def test_bad_input_is_one_line_exit_2_and_loses_nothing(truth, cli, monkeypatch, args, setup, message):
    (truth.parent / "outside.py").write_text("")
    if setup == "env":
        monkeypatch.setenv("TESSARO_DB_PATH", str(truth / "no" / "such" / "tessaro.db"))
    elif setup == "no dot":
        monkeypatch.setenv("PATH", "")
    elif setup is not None:
        for key, value in (setup(truth) or {}).items():
            monkeypatch.setenv(key, value)
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
