"""The tessaro command, end to end: subprocesses on copies of the example project."""

from __future__ import annotations

import contextlib
import json
import os
import pty
import re
import subprocess
import sys
from pathlib import Path

import networkx as nx
import pytest

from tessaro.cli.render import graph_to_text

EDGES = {("chip", "mzi"), ("chip", "pad"), ("chip", "ring"), ("mzi", "straight"), ("ring", "pad"), ("ring", "straight")}
FACTORIES = {"chip", "mzi", "pad", "ring", "spiral", "straight"}
CLEAN = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}
TREE = "chip\n├── mzi\n│   └── straight\n├── pad\n└── ring\n    ├── pad\n    └── straight\nspiral  [FAILED]\n"


def tessaro(*args: str, cwd: Path, env: dict | None = None, script: bool = False) -> subprocess.CompletedProcess[str]:
    command = [str(Path(sys.executable).with_name("tessaro"))] if script else [sys.executable, "-m", "tessaro"]
    env = {**CLEAN, **(env or {})}
    return subprocess.run([*command, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


def ok(*args: str, cwd: Path, code: int = 0, **kw) -> subprocess.CompletedProcess[str]:
    done = tessaro(*args, cwd=cwd, **kw)
    assert done.returncode == code, done.stdout + done.stderr
    assert "Traceback" not in done.stderr
    return done


def as_json(*args: str, cwd: Path) -> object:
    return json.loads(ok(*args, "--json", cwd=cwd).stdout)


def factories(project: Path) -> dict[str, dict]:
    return {f["name"]: f for f in as_json("factories", cwd=project)}


def new_copy(where: Path) -> tuple[Path, subprocess.CompletedProcess[str]]:
    done = ok("demo", "example", cwd=where)
    return where / "example", done


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """One built copy of the example project, for tests that only read it (rebuilding is idempotent)."""
    return new_copy(tmp_path_factory.mktemp("shared"))


def test_demo_builds_and_registers_the_example(demo):
    project, done = demo
    assert not list(project.rglob("__pycache__"))
    out = done.stdout
    assert "spiral failed on purpose: ValueError" in out and TREE in out
    assert re.search(r"^ring\s+SUCCESS\s+yes\s+1\s", out, re.M)
    assert re.search(r"^spiral\s+FAILED\s+no\s+0\s+\S+ \S+\s+factories/chip.py\s+ValueError: 3 turns", out, re.M)
    found = factories(project)
    assert set(found) == FACTORIES and {n for n, r in found.items() if r["status"] == "FAILED"} == {"spiral"}
    assert {n: r["components"] for n, r in found.items()} == dict(chip=1, mzi=1, pad=1, ring=1, spiral=0, straight=2)
    assert found["ring"]["default_settings"] == {"radius": 10.0, "gap": 0.2}
    shown = as_json("--project", str(project), "show", "straight", cwd=project.parent)
    assert (shown["used_by"], shown["uses"], shown["model"]) == (["mzi", "ring"], [], None)
    components = shown["components"]
    assert [(c["factory"], c["settings"]["length"]) for c in components] == [("straight", 10), ("straight", 40)]
    assert {p["name"] for p in components[0]["ports"]} == {"o1", "o2"}
    [model] = as_json("models", cwd=project)
    assert (model["factory"], model["status"], model["settings"]) == ("ring", "SUCCESS", {"radius": 10.0})
    assert model["source"] == os.path.join("factories", "models.py")


@pytest.mark.parametrize(("args", "expected"), [
    (["components", "mzi", "pad"], [r"^mzi\s+mzi\s+o1, o2", r"^pad\s+pad\s+e1\s"]),
    (["models"], [r"^ring\s+SUCCESS\s+generic\s+\{\"radius\": 10.0\}\s+factories/models.py"]),
    (["show", "ring"], [r"^used by:\s+chip$", r"^uses:\s+pad, straight$", r"^model:\s+SUCCESS, pdk generic"]),
])
def test_tables(demo, tmp_path, args, expected):
    # Through the installed script, from another folder, with the common options after the command.
    out = ok(*args, "--verbose", "--project", str(demo[0]), cwd=tmp_path, script=True).stdout
    for pattern in expected:
        assert re.search(pattern, out, re.M), out


def test_graph_formats(demo, tmp_path):
    project, _ = demo
    assert ok("graph", cwd=project).stdout == TREE
    ok("graph", "mzi", "-f", "json", "-o", str(tmp_path / "mzi.json"), cwd=project)
    data = json.loads((tmp_path / "mzi.json").read_text())
    # Walked both ways from mzi: what it uses and what uses it, and onwards (spiral is not connected).
    assert {tuple(e) for e in data["edges"]} == EDGES and {n["status"] for n in data["nodes"]} == {"SUCCESS"}
    assert len(data["nodes"]) == len(FACTORIES) - 1
    out = ok("graph", "--format", "mermaid", cwd=project).stdout
    ids = dict(re.findall(r'^\s+(f\d+)\["(\w+)"\]$', out, re.M))
    assert {(ids[a], ids[b]) for a, b in re.findall(r"^\s+(f\d+) --> (f\d+)$", out, re.M)} == EDGES
    assert out.startswith("graph TD\n") and re.search(r"class f\d+ failed", out)
    # svg and png are what Graphviz's dot makes of the dot format: here a fake dot that echoes it.
    fake = tmp_path / "dot"
    fake.write_text('#!/bin/sh\necho "<svg format=$1>"\n'
                    'while IFS= read -r line; do echo "$line"; done\necho "</svg>"\n')
    fake.chmod(0o755)
    out = ok("graph", "-f", "svg", cwd=project, env={"PATH": str(tmp_path)}).stdout
    assert out.startswith("<svg format=-Tsvg>\ndigraph factories {") and '"spiral" [color=red' in out
    assert set(re.findall(r'^\s+"(\w+)" -> "(\w+)";$', out, re.M)) == EDGES
    done = tessaro("graph", "-f", "png", cwd=project, env={"PATH": ""})
    assert done.returncode == 2 and done.stdout == "" and "png needs Graphviz's 'dot' program" in done.stderr


@pytest.mark.parametrize(("changed", "defined", "order"), [
    (["factories/basics.py"], ["pad", "straight"], ["straight", "pad", "ring", "mzi", "chip"]),
    (["factories/devices.py"], ["mzi", "ring"], ["ring", "mzi", "chip"]),
    (["factories/chip.py", "factories/models.py"], ["chip", "spiral"], ["spiral", "chip"]),
])
def test_affected_lists_users_in_rebuild_order(demo, changed, defined, order):
    result = as_json("affected", *changed, cwd=demo[0])
    assert result == {"sources": sorted(os.path.normpath(c) for c in changed), "defined": defined, "affected": order}


def test_the_registry_follows_edits_of_the_sources(tmp_path):
    project = new_copy(tmp_path)[0]
    chip, basics, devices, models = (project / "factories" / f"{n}.py" for n in ("chip", "basics", "devices", "models"))

    def straights():
        return sorted(c["name"] for c in as_json("components", "straight", cwd=project))

    # A build of one file leaves the cells other factories made of its factories alone.
    assert "built 2 factories from 1 source:" in ok("build", "factories/basics.py", cwd=project).stdout
    old = straights()
    assert len(old) == 2

    # A factory that raises fails everything that places it; pad does not.
    original = basics.read_text()
    basics.write_text(original.replace('    c.info["length"] = length', '    raise RuntimeError("no silicon")'))
    done = ok("--verbose", "build", cwd=project, code=1)
    assert "Atomic update: added/replaced" in done.stderr  # the registry's debug lines
    found = factories(project)
    assert {n for n, r in found.items() if r["status"] == "FAILED"} == FACTORIES - {"pad"}
    assert found["ring"]["message"] == found["straight"]["message"] == "RuntimeError: no silicon"
    assert found["ring"]["has_model"] and found["straight"]["components"] == 0

    # In one build: straight is fixed, mzi is renamed and gets a longer arm, and spiral moves to a file
    # built before the one it left.
    text = chip.read_text()
    spiral = text[text.index("@bl.cell\ndef spiral") :]
    text = text.replace(spiral, "").replace("from .basics import pad, straight", "from .basics import pad")
    chip.write_text(re.sub(r"\bmzi\b", "mzi_v2", text))
    basics.write_text(original + "\n\n" + spiral)
    text = devices.read_text().replace("delta_length: float = 30.0", "delta_length: float = 50.0")
    devices.write_text(re.sub(r"\bmzi\b", "mzi_v2", text))
    done = ok("build", cwd=project, code=1)  # spiral still fails
    assert "removed factories: mzi\n" in done.stdout
    found = factories(project)
    assert {n for n, r in found.items() if r["status"] == "SUCCESS"} == FACTORIES - {"mzi", "spiral"} | {"mzi_v2"}
    assert (found["spiral"]["source"], found["spiral"]["status"]) == (os.path.join("factories", "basics.py"), "FAILED")
    assert {c["factory"] for c in as_json("components", cwd=project)} == FACTORIES - {"mzi", "spiral"} | {"mzi_v2"}
    new = straights()  # the cell of the old arm length is gone, the new one is there
    assert len(new) == 2 and new[0] == old[0] == "straight" and new[1] != old[1]

    # A source that does not import marks its factories failed and leaves the other files' entries alone.
    devices.write_text("import brimlay as bl\n\ndef broken(:\n")
    done = ok("build", "factories/devices.py", cwd=project, code=1)
    assert "import failed: factories/devices.py: SyntaxError" in done.stdout
    found = factories(project)
    assert found["ring"]["status"] == found["mzi_v2"]["status"] == "FAILED"
    assert found["ring"]["message"].startswith("factories/devices.py failed to import: SyntaxError")
    assert found["ring"]["has_model"] and found["pad"]["status"] == "SUCCESS"

    # Without devices.py (and so without chip.py and the model), only basics.py's factories stay.
    for path in (devices, chip, models):
        path.unlink()
    done = ok("build", cwd=project, code=1)
    assert "removed models: ring" in done.stdout
    found = factories(project)
    assert {n: r["status"] for n, r in found.items()} == dict(pad="SUCCESS", straight="SUCCESS", spiral="FAILED")
    assert as_json("models", cwd=project) == [] and len(as_json("components", cwd=project)) == 2


def test_configured_sources_import_each_other_and_are_checked(tmp_path):
    (tmp_path / "pyproject.toml").write_text('[tool.tessaro]\nsources = ["cells", "lib/pins.py"]\n')
    header = "import brimlay as bl\nfrom tessaro.modeling import model\n\n"
    sources = {
        "cells/base.py": "@bl.cell\ndef wg(c, size: float = 1.0):\n    pass\n\n"
        "@model('wg', settings={'size': 2.0})\nclass WgModel: pass\n",
        "cells/top.py": "from base import wg\nprint('top imported')\n\n@bl.cell\ndef top(c):\n    print('top built')\n"
        "    c.place(wg())\n",
        # Named like a module that is already loaded: imported under a name of its own.
        "cells/json.py": "@bl.cell\ndef jsonish(c):\n    pass\n",
        "cells/other.py": "@bl.cell\ndef wg(c):\n    pass\n\n@model(wg)\ndef twice(): pass\n\n"
        "@model('ghost')\ndef orphan(): pass\n",
        "lib/pins.py": "@bl.cell\ndef pin(c):\n    pass\n\n"
        "@model(pin, settings={'colour': 'red'})\ndef pin_model(): pass\n",
    }
    for name, text in sources.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(header + text)
    done = ok("build", cwd=tmp_path / "lib", code=1)
    assert "warning: factory 'wg' of cells/other.py ignored: already defined in cells/base.py" in done.stdout
    assert "model 'twice' of cells/other.py ignored: 'wg' already has a model in cells/base.py" in done.stdout
    assert "model of ghost (cells/other.py) failed: no factory named 'ghost'" in done.stdout
    assert "model of pin (lib/pins.py) failed: 'pin' has no setting(s) 'colour'" in done.stdout
    models = {m["factory"]: m["status"] for m in as_json("models", cwd=tmp_path)}
    assert models == {"wg": "SUCCESS", "ghost": "FAILED", "pin": "FAILED"}
    found = {n: (r["status"], r["source"], r["has_model"]) for n, r in factories(tmp_path).items()}
    assert found == {"wg": ("SUCCESS", "cells/base.py", True), "top": ("SUCCESS", "cells/top.py", False),
                     "jsonish": ("SUCCESS", "cells/json.py", False), "pin": ("SUCCESS", "lib/pins.py", True)}
    # What the project's code prints goes to stderr, clear of the JSON.
    done = ok("graph", "-f", "json", "top", cwd=tmp_path)
    assert json.loads(done.stdout)["edges"] == [["top", "wg"]] and "top imported\ntop built\n" in done.stderr
    # A relative source that is not under the working directory is looked up in the project.
    done = ok("--project", str(tmp_path), "build", "cells/top.py", cwd=tmp_path.parent)
    assert "built 1 factory from 1 source: 1 succeeded" in done.stdout


def test_progress_bar_only_on_a_terminal(demo):
    primary, secondary = pty.openpty()
    with os.fdopen(primary, "rb", buffering=0) as terminal:
        done = subprocess.run(
            [sys.executable, "-m", "tessaro", "build"], cwd=demo[0], env=CLEAN, stderr=secondary, stdout=subprocess.PIPE
        )
        os.close(secondary)
        drawn = b""
        with contextlib.suppress(OSError):  # raised once the other end is closed
            while chunk := terminal.read(4096):
                drawn += chunk
    assert done.returncode == 1 and b"\r" not in done.stdout
    assert b"importing [" in drawn and b"building [####" in drawn and b"6/6 mzi" in drawn


JUNK = b"not a database, but precious" * 100


@pytest.mark.parametrize(("setup", "args", "message"), [
    ("demo", ["show", "rng"], "unknown factory 'rng' (did you mean 'ring'?)"),
    ("demo", ["components", "ring", "nope"], "unknown factory 'nope'"),
    ("demo", ["graph", "nope"], "unknown factory 'nope'"),
    ("demo", ["build", "missing.py"], "source 'missing.py' does not exist"),
    ("demo", ["build", "README.md"], "source 'README.md' is not a Python file (.py)"),
    ("demo", ["affected", "factories/nope.py"], "source 'factories/nope.py' does not exist"),
    ("demo", ["--project", "nowhere", "factories"], "project folder 'nowhere' does not exist"),
    ("demo", ["graph", "--format", "gif"], "argument --format/-f: invalid choice: 'gif'"),
    ("demo", ["graph", "-f", "dot", "-o", "no/such/dir/g.dot"], "cannot write 'no/such/dir/g.dot'"),
    ("demo", ["demo", "."], "'.' already exists and is not an empty folder"),
    (None, ["factories"], "no pyproject.toml in "),
    ("[project]\n", ["build"], "names 'factories', which is not a folder"),
    ("[tool.tessaro]\nsources = 5\n", ["factories"], "sources must be a path or a list"),
    ("[tool", ["factories"], "cannot read "),
    ("junk", ["build"], "tessaro.db is not a usable registry database (file is not a database)"),
    ("junk", ["factories"], "tessaro.db is not a usable registry database (file is not a database)"),
])
def test_bad_input_is_one_line_and_exit_2_and_loses_nothing(demo, tmp_path, setup, args, message):
    """On the example project, on a folder without a usable pyproject.toml, or beside a file that is no database."""
    junk = tmp_path / "build" / "tessaro.db"
    if setup == "junk":
        (tmp_path / "factories").mkdir()
        junk.parent.mkdir()
        junk.write_bytes(JUNK)
    if setup not in ("demo", None):
        (tmp_path / "pyproject.toml").write_text("" if setup == "junk" else setup)
    done = tessaro(*args, cwd=demo[0] if setup == "demo" else tmp_path)
    assert done.returncode == 2 and "Traceback" not in done.stderr
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("tessaro: error: ") and message in last, done.stderr
    if setup == "demo":
        assert {n for n, r in factories(demo[0]).items() if r["status"] == "SUCCESS"} == FACTORIES - {"spiral"}
    else:  # refused before anything was created, or the file that is there left alone
        assert junk.read_bytes() == JUNK if setup == "junk" else not junk.parent.exists()


def test_text_tree_shares_subtrees_once_and_survives_cycles():
    graph = nx.DiGraph([("top", "a"), ("top", "b"), ("a", "leaf"), ("b", "a"), ("x", "y"), ("y", "x")])
    status = {"top": "SUCCESS", "a": "FAILED", "b": "SUCCESS", "leaf": "SUCCESS"}
    assert graph_to_text(graph, status, ascii_only=True) == (
        "top\n"
        "|-- a  [FAILED]\n"
        "|   `-- leaf\n"
        "`-- b\n"
        "    `-- a  [FAILED]  (see above)\n"
        "x  [not registered]\n"
        "`-- y  [not registered]\n"
        "    `-- x  [not registered]  (cycle)\n"
    )
