"""Builds store the truth for the shapes real projects take, whatever the project's code does."""

from __future__ import annotations

import os
import sqlite3
import subprocess
import sys
from contextlib import closing
from pathlib import Path

import pytest
from test_cli import CLEAN, cli, edit, write_project  # noqa: F401  (cli is a fixture)

BASE = {
    "pyproject.toml": '[project]\nname = "m"\n',
    "factories/__init__.py": "",
    "factories/a.py": "import brimlay as bl\n\n\n@bl.cell\ndef a(c):\n    c.add_port('o1')\n",
}


def registry(root: Path) -> dict[str, tuple]:
    with closing(sqlite3.connect(root / "build" / "tessaro.db")) as conn:
        return {row[0]: row[1:] for row in conn.execute("SELECT name, status, message, children FROM factories")}


def test_first_build_with_helpers_outside_the_sources_runs_each_factory_once(tmp_path, cli):  # noqa: F811
    counter = tmp_path / "calls"
    root = write_project(tmp_path / "m", {
        **BASE,
        "factories/a.py": "import brimlay as bl\n\n\n@bl.cell\ndef a(c):\n"
        f"    open({str(counter)!r}, 'a').write('a')\n    c.add_port('o1')\n",
        "helper.py": "from factories.a import a\n\n\ndef use_a(c):\n    c.place(a())\n",
        "factories/b.py": "import brimlay as bl\nfrom helper import use_a\n\n\n@bl.cell\ndef b(c):\n    use_a(c)\n",
    })
    cli("build", cwd=root)
    assert registry(root) == {"a": ("SUCCESS", "", "[]"), "b": ("SUCCESS", "", '["a"]')}
    assert counter.read_text() == "a"
    assert list((root / "build" / "pycache").rglob("*.pyc")) and not list(root.rglob("__pycache__"))
    out, _ = cli("build")
    assert out.startswith("nothing changed")


def test_what_the_project_prints_goes_to_standard_error_in_order(tmp_path):
    """Piped, as in CI: nothing the project prints is held back in a worker, or mixed into the command's output."""
    root = write_project(tmp_path / "m", {**BASE, "factories/a.py": "import sys\n\nimport brimlay as bl\n\n"
                                          "print('module says')\n\n\n@bl.cell\ndef a(c):\n"
                                          "    print('a says')\n    print('a warns', file=sys.stderr)\n"})
    done = subprocess.run([sys.executable, "-m", "tessaro", "build", "-j", "1"], cwd=root, env=CLEAN,
                          capture_output=True, text=True)
    assert done.returncode == 0 and "says" not in done.stdout
    assert done.stderr.splitlines() == ["module says", "a says", "a warns"]


def test_every_input_is_seen(tmp_path, cli):  # noqa: F811
    """Data files read at import, modules loaded by importlib, same-size edits within a second."""
    root = write_project(tmp_path / "m", {
        **BASE,
        "layers.json": '{"width": 1}',
        "tech.py": "import json\nWIDTH = json.load(open('layers.json'))['width']\n",
        "shapes.py": "SIDES = 3\n",
        "factories/b.py": "import importlib\n\nimport brimlay as bl\n\nimport tech\n\n\n@bl.cell\ndef b(c):\n"
        "    c.info['width'] = tech.WIDTH\n    c.info['sides'] = importlib.import_module('shapes').SIDES\n",
    })
    cli("build", cwd=root)

    def info() -> dict:
        return next(c["info"] for c in cli.json("components") if c["name"] == "b")

    assert info() == {"sides": 3, "width": 1}
    cli("build", "--all", cwd=root / "factories")  # from a subfolder: the project's code runs in its folder
    assert info() == {"sides": 3, "width": 1}
    (root / "layers.json").write_text('{"width": 2}')
    out, _ = cli("build")
    assert "1 file changed, 1 factory rebuilt" in out and info() == {"sides": 3, "width": 2}
    (root / "shapes.py").write_text("SIDES = 4\n")  # same size, same second
    cli("build")
    assert info() == {"sides": 4, "width": 2}
    (root / "shapes.py").write_text("SIDES = 5\n")
    cli("build", "--all")
    assert info() == {"sides": 5, "width": 2}
    (root / "shapes.py").unlink()  # a deleted input fails its reader once, and is then no longer recorded
    cli("build", code=1)
    assert cli("build", code=1)[0].startswith("nothing changed")


def test_symlinked_sources_and_folders_without_init(tmp_path, cli):  # noqa: F811
    outside = write_project(tmp_path / "lib", {"ext.py": "import brimlay as bl\nimport tech\n\n\n"
                                               "@bl.cell\ndef ext(c):\n    c.info['w'] = tech.W\n"})
    root = write_project(tmp_path / "m", {**BASE, "tech.py": "W = 1\n", "factories/sub/c.py":
                                          "import brimlay as bl\n\n\n@bl.cell\ndef c(c):\n    pass\n"})
    (root / "factories" / "alias.py").symlink_to(root / "factories" / "a.py")
    (root / "factories" / "ext.py").symlink_to(outside / "ext.py")
    cli("build", cwd=root)
    assert set(registry(root)) == {"a", "c", "ext"}
    (root / "tech.py").write_text("W = 2\n")  # an import of the source linked from outside is followed
    out, _ = cli("build")
    assert "1 factory rebuilt" in out
    (root / "factories" / "sub" / "__init__.py").write_text("")
    cli("build")
    (root / "factories" / "sub" / "__init__.py").unlink()
    cli("build")
    incremental = registry(root)
    cli("build", "--all")
    assert registry(root) == incremental and incremental["c"][0] == "SUCCESS"


def test_module_level_cells_and_a_name_defined_twice(tmp_path, cli):  # noqa: F811
    root = write_project(tmp_path / "m", {
        **BASE,
        "factories/b.py": "import brimlay as bl\n\nfrom factories.a import a\n\nMARK = a()\n\n\n"
        "@bl.cell\ndef b(c):\n    c.place(MARK)\n",
    })
    cli("build", cwd=root)
    assert registry(root)["b"] == ("SUCCESS", "", '["a"]')
    (root / "factories" / "0dup.py").write_text("import brimlay as bl\n\n\n@bl.cell\ndef b(c):\n    pass\n")
    warning = "warning: factory 'b' of factories/b.py ignored: already defined in factories/0dup.py"
    for args in (["build"], ["build"], ["build", "--all"]):
        out, _ = cli(*args, code=1)
        assert warning in out and registry(root)["b"] == ("SUCCESS", "", "[]")


BAD = {
    "info_key": "    c.info[(1, 2)] = 3\n",
    "info_cycle": "    loop = []\n    loop.append(loop)\n    c.info['x'] = loop\n",
    "interrupt": "    raise KeyboardInterrupt\n",
    "environ": "    import os\n    os.environ['TESSARO_DB_PATH'] = os.path.abspath('elsewhere.db')\n    exit(3)\n",
}


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_each_failure_belongs_to_one_factory(tmp_path, cli, jobs):  # noqa: F811
    """Whatever a factory, its cells or its file do (ending the worker included), every other one is registered."""
    bodies = "".join(f"\n\n@bl.cell\ndef {name}(c):\n{body}" for name, body in BAD.items())
    root = write_project(tmp_path / "m", {
        **BASE,
        "factories/bad.py": "import os\n\nimport brimlay as bl\n\n\nclass Odd:\n    def __str__(self):\n"
        "        raise RuntimeError('no text')\n    __repr__ = __str__\n\n\n"
        "@bl.cell\ndef odd(c, x=Odd()):\n    pass\n\n\n"
        "def _s(c):\n    pass\n\n\n_s.__name__ = 'sur\\udce9'\nsurrogate = bl.cell(_s)\n\n\n"
        "@bl.cell\ndef quits(c):\n    os._exit(0)\n" + bodies,
        "factories/deep.py": "import brimlay as bl\n\nDEEP = []\nfor _ in range(100000):\n    DEEP = [DEEP]\n\n\n"
        "@bl.cell\ndef deep(c, x=DEEP):\n    pass\n",
        "factories/exits.py": "import os\nos._exit(0)\n",
        "factories/killed.py": "import os\nos.kill(os.getpid(), 9)\n",
    })
    (root / "factories" / os.fsdecode(b"caf\xe9.py")).write_text("")
    out, _ = cli("build", "-j", jobs, cwd=root, code=1)
    found = registry(root)
    assert found["a"][0] == "SUCCESS" and not (root / "elsewhere.db").exists()
    failing = {"odd", "quits", "deep", *BAD}
    assert {name for name, row in found.items() if row[0] == "FAILED"} == failing, out
    assert "the build worker exited with status 0 while building it" in found["quits"][1]
    assert "KeyboardInterrupt" in found["interrupt"][1] and "skipped" in out and "caf\\udce9.py" in out
    assert "factory 'sur\\udce9' of factories/bad.py skipped: its name is not valid Unicode text" in out
    assert "factories/exits.py: the build worker exited with status 0 while importing it" in out
    assert "factories/killed.py: the build worker killed by signal SIGKILL while importing it" in out


def test_a_broken_save_keeps_the_last_good_build(tmp_path, cli):  # noqa: F811
    root = write_project(tmp_path / "m", {**BASE, "factories/b.py": "import brimlay as bl\n\nfrom .a import a\n\n\n"
                                          "@bl.cell\ndef b(c):\n    c.place(a())\n"})
    cli("build", cwd=root)
    edit(root / "factories" / "a.py", "def a(c):", "def a(c:")
    out, _ = cli("build", code=1)
    assert out.count("import failed") == 1 and "factories/a.py:5" in out
    found = registry(root)
    assert found["a"][0] == found["b"][0] == "FAILED" and found["b"][2] == '["a"]'
    assert [c["from_last_good_build"] for c in cli.json("components")] == [True, True]
    assert "components (1 from the last good build):" in cli("show", "a")[0]
    edit(root / "factories" / "a.py", "def a(c:", "def a(c):")
    cli("build")
    assert {row[0] for row in registry(root).values()} == {"SUCCESS"}
