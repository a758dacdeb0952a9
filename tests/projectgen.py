"""Generated layout projects on disk, for the command-line tests and benchmarks.

A project has factories in tiers, one source file per group of factories;
a factory of tier t places factories of tier t-1 with non-default settings,
every factory reads a width from a constants module outside the sources
(``tech.py``, which reads its layer from a data file), and with ``extras`` one
factory is recursive, one fails, one places a cell through a helper module
outside the sources, and one loads a module with ``importlib``.
"""

from __future__ import annotations

import random
from pathlib import Path

PYPROJECT = '[project]\nname = "generated"\nversion = "0.1.0"\n\n[tool.tessaro]\nsources = ["cells"]\n'
TECH = ("import json\nimport pathlib\n\nWIDTH = 0.5\n"
        "LAYER = tuple(json.loads((pathlib.Path(__file__).parent / 'layers.json').read_text()))\n")
HELPER = "def place_first(c):\n    from cells.t0_00 import t0f000\n\n    c.place(t0f000(length=7))\n"


def factory_text(name: str, placed: list[tuple[str, int]], *, fail: bool = False, length: int = 10) -> str:
    lines = ["@bl.cell", f"def {name}(c, length: int = {length}, width: float = tech.WIDTH):"]
    lines.append("    c.add_port('o1', width=width, layer=tech.LAYER)")
    lines.append("    c.add_port('o2', center=(length, 0.0), width=width)")
    for child, setting in placed:
        lines.append(f"    c.place({child}(length={setting}))")
    if fail:
        lines.append("    raise ValueError('does not fit')")
    return "\n".join(lines) + "\n"


RECURSIVE = (
    "@bl.cell\n"
    "def tree(c, depth: int = 2):\n"
    "    c.add_port('o1')\n"
    "    if depth > 0:\n"
    "        c.place(tree(depth=depth - 1))\n"
)


def write_file(root: Path, rel: str, imports: list[str], bodies: list[str]) -> None:
    head = ["import brimlay as bl", "", "import tech"]
    head += [f"from cells.{module} import *  # noqa" for module in imports]
    (root / rel).write_text("\n".join(head) + "\n\n\n" + "\n\n".join(bodies))


def generate(root: Path, *, factories: int = 24, tiers: int = 3, per_file: int = 4, seed: int = 1,
             extras: bool = True) -> dict[str, str]:
    """Write the project under ``root``; returns factory name -> project-relative source file."""
    rng = random.Random(seed)
    (root / "cells").mkdir(parents=True, exist_ok=True)
    (root / "pyproject.toml").write_text(PYPROJECT)
    (root / "tech.py").write_text(TECH)
    (root / "layers.json").write_text("[1, 0]")
    (root / "cells" / "__init__.py").write_text("")
    per_tier = max(1, factories // tiers)
    where: dict[str, str] = {}
    for tier in range(tiers):
        names = [f"t{tier}f{k:03d}" for k in range(per_tier)]
        below = [f"t{tier - 1}f{k:03d}" for k in range(per_tier)] if tier else []
        for start in range(0, len(names), per_file):
            group = names[start:start + per_file]
            module = f"t{tier}_{start // per_file:02d}"
            bodies = []
            for name in group:
                placed = [(child, rng.randint(11, 40)) for child in rng.sample(below, min(3, len(below)))]
                bodies.append(factory_text(name, placed))
                where[name] = f"cells/{module}.py"
            imports = sorted({f"t{tier - 1}_{below.index(c) // per_file:02d}" for name in group for c in below
                              if f"{c}(" in "".join(bodies)}) if tier else []
            write_file(root, f"cells/{module}.py", imports, bodies)
    if extras:
        (root / "cells" / "extras.py").write_text(
            "import brimlay as bl\n\nimport tech\nfrom cells.t0_00 import t0f000\n\n\n" + RECURSIVE + "\n\n"
            + factory_text("broken", [("t0f000", 33)], fail=True) + "\n\n"
            + "@bl.cell\ndef user_of_tree(c):\n    c.place(tree(depth=1))\n\n\n"
            + "@bl.cell\ndef helped(c):\n    import helper\n    import importlib\n\n"
            + "    helper.place_first(c)\n    c.info['sides'] = importlib.import_module('shapes').SIDES\n"
        )
        (root / "helper.py").write_text(HELPER)
        (root / "shapes.py").write_text("SIDES = 3\n")
        where.update(tree="cells/extras.py", broken="cells/extras.py", user_of_tree="cells/extras.py",
                     helped="cells/extras.py")
    return where
