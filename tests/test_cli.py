"""The tessaro command, end to end: subprocesses on copies of the example project."""

from __future__ import annotations

import json
import os
import pty
import re
import subprocess
import sys
from pathlib import Path

import networkx as nx
import pytest

from tessaro.cli import main
from tessaro.cli.render import Progress, graph_to_text
from tessaro.modeling import model

EDGES = {("chip", "mzi"), ("chip", "pad"), ("chip", "ring"), ("mzi", "straight"), ("ring", "pad"), ("ring", "straight")}
FACTORIES = {"chip", "mzi", "pad", "ring", "spiral", "straight"}


def tessaro(*args: str, cwd: Path, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    clean = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}
    return subprocess.run(
        [sys.executable, "-m", "tessaro", *args],
        cwd=cwd,
        env={**clean, **(env or {})},
        capture_output=True,
        text=True,
        timeout=120,
    )


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


@pytest.fixture
def project(tmp_path):
    return new_copy(tmp_path)[0]


def test_demo_builds_the_example_and_shows_its_table_and_graph(demo):
    project, done = demo
    assert (project / "pyproject.toml").is_file() and (project / "build" / "tessaro.db").is_file()
    assert not list(project.rglob("__pycache__"))
    out = done.stdout
    assert "spiral failed on purpose: ValueError" in out
    assert re.search(r"^ring\s+SUCCESS\s+yes\s+1\s", out, re.M)
    assert "chip\n├── mzi\n│   └── straight\n├── pad\n└── ring\n" in out and "spiral  [FAILED]" in out
    # A second demo into the same (now non-empty) folder is refused.
    again = tessaro("demo", "example", cwd=project.parent)
    assert again.returncode == 2 and "already exists" in again.stderr


def test_registry_after_build(demo):
    project, _ = demo
    found = factories(project)
    assert set(found) == FACTORIES
    for name, rec in found.items():
        assert (rec["status"] == "FAILED") == (name == "spiral"), rec
        assert rec["has_model"] == (name == "ring")
    assert found["spiral"]["message"] == "ValueError: 3 turns at pitch 2.0 do not fit in radius 5.0"
    assert found["straight"]["source"] == os.path.join("factories", "basics.py")
    assert found["ring"]["default_settings"] == {"radius": 10.0, "gap": 0.2}
    assert {n: r["components"] for n, r in found.items()} == dict(chip=1, mzi=1, pad=1, ring=1, spiral=0, straight=2)
    components = as_json("components", "straight", cwd=project)
    assert [c["settings"]["length"] for c in components] == [10.0, 40.0]
    assert {p["name"] for p in components[0]["ports"]} == {"o1", "o2"}
    [model] = as_json("models", cwd=project)
    assert model["factory"] == "ring" and model["status"] == "SUCCESS" and model["settings"] == {"radius": 10.0}
    assert model["source"] == os.path.join("factories", "models.py")


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (["factories"], [r"^spiral\s+FAILED\s+no\s+0\s+\S+ \S+\s+factories/chip.py\s+ValueError: 3 turns"]),
        (["components", "mzi", "pad"], [r"^mzi\s+mzi\s+o1, o2", r"^pad\s+pad\s+e1\s"]),
        (["models"], [r"^ring\s+SUCCESS\s+generic\s+\{\"radius\": 10.0\}\s+factories/models.py"]),
        (["show", "ring"], [r"^used by:\s+chip$", r"^uses:\s+pad, straight$", r"^model:\s+SUCCESS, pdk generic"]),
    ],
)
def test_tables(demo, args, expected):
    out = ok(*args, cwd=demo[0]).stdout
    for pattern in expected:
        assert re.search(pattern, out, re.M), out


def test_show_json_has_parents_children_components_and_model(demo):
    shown = as_json("--project", str(demo[0]), "show", "straight", cwd=demo[0].parent)
    assert (shown["used_by"], shown["uses"], shown["model"]) == (["mzi", "ring"], [], None)
    assert [c["name"] for c in shown["components"]][0] == "straight" and shown["components"][1]["factory"] == "straight"


@pytest.mark.parametrize("fmt", ["json", "mermaid", "dot", "text"])
def test_graph_formats_carry_the_same_edges(demo, fmt):
    out = ok("graph", "--format", fmt, cwd=demo[0]).stdout
    if fmt == "json":
        data = json.loads(out)
        edges = {tuple(e) for e in data["edges"]}
        assert {n["name"]: n["status"] for n in data["nodes"]}["spiral"] == "FAILED"
    elif fmt == "mermaid":
        ids = dict(re.findall(r'^\s+(f\d+)\["(\w+)"\]$', out, re.M))
        edges = {(ids[a], ids[b]) for a, b in re.findall(r"^\s+(f\d+) --> (f\d+)$", out, re.M)}
        assert out.startswith("graph TD\n") and re.search(r"class f\d+ failed", out)
    elif fmt == "dot":
        edges = set(re.findall(r'^\s+"(\w+)" -> "(\w+)";$', out, re.M))
        assert out.startswith("digraph factories {") and '"spiral" [color=red' in out
    else:
        graph = nx.DiGraph()
        stack: list[str] = []
        for line in out.splitlines():
            depth = len(re.match(r"^[│ ├└─]*", line).group(0)) // 4
            name = re.sub(r"^[│ ├└─]*", "", line).split()[0]
            del stack[depth:]
            if stack:
                graph.add_edge(stack[-1], name)
            stack.append(name)
        edges = set(graph.edges)
    assert edges == EDGES


def test_graph_of_some_factories_and_to_a_file(demo):
    project, _ = demo
    ok("graph", "mzi", "-f", "json", "-o", "mzi.json", cwd=project)
    data = json.loads((project / "mzi.json").read_text())
    # Walked both ways from mzi: what it uses and what uses it, and onwards.
    assert {tuple(e) for e in data["edges"]} == EDGES
    assert tessaro("graph", "nope", cwd=project).stderr.strip().endswith("unknown factory 'nope'")


@pytest.mark.parametrize("have_dot", [True, False])
def test_graph_images_go_through_dot(demo, tmp_path, have_dot):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    if have_dot:
        fake = bin_dir / "dot"
        fake.write_text('#!/bin/sh\necho "<svg format=$1>"\nwhile IFS= read -r line; do echo "$line"; done\necho "</svg>"\n')
        fake.chmod(0o755)
    done = tessaro("graph", "-f", "svg", cwd=demo[0], env={"PATH": str(bin_dir)})
    if have_dot:
        assert done.returncode == 0 and done.stdout.startswith("<svg format=-Tsvg>\ndigraph factories {")
    else:
        assert done.returncode == 2 and done.stdout == ""
        assert done.stderr.startswith("tessaro: error: --format svg needs Graphviz's 'dot' program")


@pytest.mark.parametrize(
    ("changed", "defined", "order"),
    [
        (["factories/basics.py"], ["pad", "straight"], ["straight", "pad", "ring", "mzi", "chip"]),
        (["factories/devices.py"], ["mzi", "ring"], ["ring", "mzi", "chip"]),
        (["factories/chip.py", "factories/models.py"], ["chip", "spiral"], ["spiral", "chip"]),
    ],
)
def test_affected_lists_users_in_rebuild_order(demo, changed, defined, order):
    result = as_json("affected", *changed, cwd=demo[0])
    assert result == {"sources": sorted(os.path.normpath(c) for c in changed), "defined": defined, "affected": order}


def test_renamed_factory_replaces_the_old_one_and_its_components(project):
    # A build of one file leaves the cells other factories made of its factories alone.
    assert "built 2 factories from 1 source:" in ok("build", "factories/basics.py", cwd=project).stdout
    assert factories(project)["straight"]["components"] == 2
    for name in ("devices.py", "chip.py"):
        path = project / "factories" / name
        path.write_text(re.sub(r"\bmzi\b", "mzi_v2", path.read_text()))
    done = ok("build", cwd=project, code=1)  # spiral still fails
    assert "removed factories: mzi\n" in done.stdout
    found = factories(project)
    assert set(found) == FACTORIES - {"mzi"} | {"mzi_v2"} and found["mzi_v2"]["status"] == "SUCCESS"
    assert {c["factory"] for c in as_json("components", cwd=project)} == FACTORIES - {"mzi", "spiral"} | {"mzi_v2"}
    assert "mzi" not in ok("--verbose", "graph", "-f", "dot", cwd=project).stdout.replace("mzi_v2", "")


def test_moved_factory_and_changed_settings(project):
    def straights():
        return sorted(c["name"] for c in as_json("components", "straight", cwd=project))

    old = straights()
    chip, basics, devices = (project / "factories" / n for n in ("chip.py", "basics.py", "devices.py"))
    # spiral moves to a file built before the one it left, in the same build.
    text = chip.read_text()
    spiral = text[text.index("@bl.cell\ndef spiral") :]
    chip.write_text(text.replace(spiral, "").replace("from .basics import pad, straight", "from .basics import pad"))
    basics.write_text(basics.read_text() + "\n\n" + spiral)
    devices.write_text(devices.read_text().replace("delta_length: float = 30.0", "delta_length: float = 50.0"))
    done = ok("build", cwd=project, code=1)
    assert "removed factories" not in done.stdout
    found = factories(project)
    assert (found["spiral"]["source"], found["spiral"]["status"]) == (os.path.join("factories", "basics.py"), "FAILED")
    # The cell of the old arm length is gone, the new one is there.
    new = straights()
    assert len(new) == 2 and new[0] == old[0] == "straight" and new[1] != old[1]


def test_failures_are_recorded_and_cleared_when_fixed(project):
    basics = project / "factories" / "basics.py"
    original = basics.read_text()
    basics.write_text(original.replace('    c.info["length"] = length', '    raise RuntimeError("no silicon")'))
    done = ok("--verbose", "build", cwd=project, code=1)
    assert "Atomic update: added/replaced" in done.stderr  # the registry's debug lines
    found = factories(project)
    # Everything that places a straight fails with it; pad does not.
    assert {n for n, r in found.items() if r["status"] == "FAILED"} == FACTORIES - {"pad"}
    assert found["ring"]["message"] == found["straight"]["message"] == "RuntimeError: no silicon"
    assert found["ring"]["has_model"] and found["straight"]["components"] == 0

    # A source that does not import marks its factories failed and leaves the other files' entries alone.
    basics.write_text(original)
    (project / "factories" / "devices.py").write_text("import brimlay as bl\n\ndef broken(:\n")
    done = ok("build", "factories/devices.py", cwd=project, code=1)
    assert "import failed: factories/devices.py: SyntaxError" in done.stdout
    found = factories(project)
    assert found["ring"]["status"] == found["mzi"]["status"] == "FAILED"
    assert found["ring"]["message"].startswith("factories/devices.py failed to import: SyntaxError")
    assert found["ring"]["has_model"] and found["pad"]["status"] == "SUCCESS"

    # Without devices.py (and so without chip.py and the model), only the building blocks stay.
    for name in ("devices.py", "chip.py", "models.py"):
        (project / "factories" / name).unlink()
    done = ok("build", cwd=project)
    assert "removed models: ring" in done.stdout
    assert {n: r["status"] for n, r in factories(project).items()} == {"pad": "SUCCESS", "straight": "SUCCESS"}
    assert as_json("models", cwd=project) == [] and len(as_json("components", cwd=project)) == 2


def test_configured_sources_and_model_checks(tmp_path):
    (tmp_path / "pyproject.toml").write_text('[tool.tessaro]\nsources = ["lib/cells.py"]\n')
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "cells.py").write_text(
        "import brimlay as bl\nfrom tessaro.modeling import model\n\n"
        "@bl.cell\ndef via(c, size: float = 1.0):\n    pass\n\n"
        "@model('via', settings={'size': 2.0})\nclass ViaModel: pass\n\n"
        "@model(via, settings={'colour': 'red'})\ndef twice(): pass\n\n"
        "@model('ghost')\ndef orphan(): pass\n\n"
        "@bl.cell\ndef pin(c):\n    pass\n\n"
        "@model(pin, settings={'colour': 'red'})\ndef pin_model(): pass\n"
    )
    done = ok("build", cwd=tmp_path / "lib", code=1)
    assert "warning: model 'twice' of lib/cells.py ignored: 'via' already has a model" in done.stdout
    assert "model of ghost (lib/cells.py) failed: no factory named 'ghost'" in done.stdout
    assert "model of pin (lib/cells.py) failed: 'pin' has no setting(s) 'colour'" in done.stdout
    models = {m["factory"]: m["status"] for m in as_json("models", cwd=tmp_path)}
    assert models == {"via": "SUCCESS", "ghost": "FAILED", "pin": "FAILED"}
    assert {n: r["has_model"] for n, r in factories(tmp_path).items()} == {"via": True, "pin": True}


def test_sources_import_each_other_as_one_module_and_names_stay_unique(tmp_path):
    cells = tmp_path / "cells"
    cells.mkdir()
    (tmp_path / "pyproject.toml").write_text('[tool.tessaro]\nsources = "cells"\n')
    header = "import brimlay as bl\n\n"
    (cells / "base.py").write_text(header + "@bl.cell\ndef wg(c):\n    pass\n")
    top = "from base import wg\nprint('top imported')\n\n@bl.cell\ndef top(c):\n    print('top built')\n    c.place(wg())\n"
    (cells / "top.py").write_text(header + top)
    # Named like a module that is already loaded: imported under a name of its own.
    (cells / "json.py").write_text(header + "@bl.cell\ndef jsonish(c):\n    pass\n")
    (cells / "other.py").write_text(header + "@bl.cell\ndef wg(c):\n    pass\n")
    done = ok("build", cwd=tmp_path, code=1)
    assert "warning: factory 'wg' of cells/other.py ignored: already defined in cells/base.py" in done.stdout
    found = factories(tmp_path)
    assert {n: (r["status"], r["source"]) for n, r in found.items()} == {
        "wg": ("SUCCESS", "cells/base.py"),
        "top": ("SUCCESS", "cells/top.py"),
        "jsonish": ("SUCCESS", "cells/json.py"),
    }
    # What the project's code prints goes to stderr, clear of the JSON.
    done = ok("graph", "-f", "json", "top", cwd=tmp_path)
    assert json.loads(done.stdout)["edges"] == [["top", "wg"]] and "top imported\ntop built\n" in done.stderr
    # A relative source that is not under the working directory is looked up in the project.
    done = ok("--project", str(tmp_path), "build", "cells/top.py", cwd=tmp_path.parent)
    assert "built 1 factory from 1 source: 1 succeeded" in done.stdout


def test_progress_bar_only_on_a_terminal(tmp_path):
    project = new_copy(tmp_path)[0]
    clean = {k: v for k, v in os.environ.items() if not k.startswith("TESSARO_")}
    primary, secondary = pty.openpty()
    with os.fdopen(primary, "rb", buffering=0) as terminal:
        done = subprocess.run(
            [sys.executable, "-m", "tessaro", "build"], cwd=project, env=clean, stderr=secondary, stdout=subprocess.PIPE
        )
        os.close(secondary)
        drawn = b""
        while True:
            try:
                chunk = terminal.read(4096)
            except OSError:  # the other end is closed
                break
            if not chunk:
                break
            drawn += chunk
    assert done.returncode == 1 and b"\r" not in done.stdout
    assert b"importing [" in drawn and b"building [####" in drawn and b"6/6 mzi" in drawn

    stream = type("Stream", (), {"text": "", "write": lambda self, t: setattr(self, "text", self.text + t), "flush": lambda self: None})()
    bar = Progress("x", 3, enabled=False, stream=stream)
    bar.step("a"), bar.close()
    assert stream.text == ""


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: model(123), TypeError),
        (lambda: model(""), ValueError),
        (lambda: model("f", settings=[("a", 1)]), TypeError),
        (lambda: model("f", pdk_type=""), TypeError),
        (lambda: model("f")(len), TypeError),
    ],
)
def test_model_decorator_refuses_bad_marks(call, error):
    with pytest.raises(error):
        call()


def test_model_decorator_takes_the_factory_or_its_name():
    import brimlay as bl

    @bl.cell
    def cap(c, value: float = 1.0):
        pass

    @model(cap, settings={"value": 2.0})
    class Cap:
        pass

    assert (Cap.__tessaro_model__.factory, Cap.__tessaro_model__.settings_json()) == ("cap", '{"value": 2.0}')
    marked = model("cap")(abs_ := lambda x: abs(x))
    assert marked is abs_ and marked.__tessaro_model__.settings == {}


@pytest.mark.parametrize("command", [None, "build", "factories", "components", "models", "show", "graph", "affected", "demo"])
def test_help_texts(command, capsys):
    with pytest.raises(SystemExit) as stop:
        main([command, "--help"] if command else ["--help"])
    assert stop.value.code == 0
    out = capsys.readouterr().out
    assert "--project DIR" in out and "--verbose" in out
    assert ("exit status: 0 success, 1 build failures, 2 bad input" in out) == (command is None)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["show", "rng"], "unknown factory 'rng' (did you mean 'ring'?)"),
        (["components", "ring", "nope"], "unknown factory 'nope'"),
        (["build", "missing.py"], "source 'missing.py' does not exist"),
        (["build", "README.md"], "source 'README.md' is not a Python file (.py)"),
        (["affected", "factories/nope.py"], "source 'factories/nope.py' does not exist"),
        (["--project", "nowhere", "factories"], "project folder 'nowhere' does not exist"),
        (["--project", "factories", "build"], "no pyproject.toml in "),
        (["graph", "--format", "gif"], "argument --format/-f: invalid choice: 'gif'"),
        (["graph", "-f", "dot", "-o", "no/such/dir/g.dot"], "cannot write 'no/such/dir/g.dot'"),
    ],
)
def test_bad_input_is_one_line_and_exit_2_and_keeps_the_registry(demo, args, message):
    project, _ = demo
    done = tessaro(*args, cwd=project)
    assert done.returncode == 2 and "Traceback" not in done.stderr
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("tessaro: error: ") and message in last, done.stderr
    assert {n for n, r in factories(project).items() if r["status"] == "SUCCESS"} == FACTORIES - {"spiral"}


def test_projects_without_pyproject_sources_or_a_real_database(tmp_path):
    done = tessaro("factories", cwd=tmp_path)
    assert done.returncode == 2 and "tessaro: error: no pyproject.toml in" in done.stderr
    (tmp_path / "pyproject.toml").write_text("[project]\nname = 'x'\n")
    done = tessaro("build", cwd=tmp_path)
    assert done.returncode == 2 and "names 'factories', which is not a folder" in done.stderr
    (tmp_path / "factories").mkdir()
    junk = tmp_path / "build" / "tessaro.db"
    assert not junk.parent.exists()  # refused before anything was created
    junk.parent.mkdir()
    junk.write_bytes(b"not a database, but precious" * 100)
    for command in (["build"], ["factories"], ["graph"]):
        done = tessaro(*command, cwd=tmp_path)
        assert done.returncode == 2 and done.stderr == f"tessaro: error: {junk} is not a usable registry database (file is not a database)\n"
    assert junk.read_bytes() == b"not a database, but precious" * 100
    for text, error in [("[tool.tessaro]\nsources = 5\n", "sources must be a path or a list"), ("[tool", "cannot read")]:
        (tmp_path / "pyproject.toml").write_text(text)
        done = tessaro("factories", cwd=tmp_path)
        assert done.returncode == 2 and error in done.stderr and "Traceback" not in done.stderr


def test_common_options_go_before_or_after_the_command(demo, tmp_path):
    project, _ = demo
    for args in (["--project", str(project), "-v", "models"], ["models", "--verbose", "--project", str(project)]):
        assert ok(*args, cwd=tmp_path).stdout.startswith("factory  status")
    assert ok("--version", cwd=tmp_path).stdout.startswith("tessaro ")
    script = Path(sys.executable).with_name("tessaro")
    assert subprocess.run([script, "--project", str(project), "factories"], capture_output=True).returncode == 0


def test_text_tree_shares_subtrees_once_and_survives_cycles():
    graph = nx.DiGraph([("top", "a"), ("top", "b"), ("a", "leaf"), ("b", "a"), ("x", "y"), ("y", "x")])
    assert graph_to_text(graph, {"top": "SUCCESS", "a": "FAILED", "b": "SUCCESS", "leaf": "SUCCESS"}, ascii_only=True) == (
        "top\n"
        "|-- a  [FAILED]\n"
        "|   `-- leaf\n"
        "`-- b\n"
        "    `-- a  [FAILED]  (see above)\n"
        "x  [not registered]\n"
        "`-- y  [not registered]\n"
        "    `-- x  [not registered]  (cycle)\n"
    )
