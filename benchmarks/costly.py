"""Generated projects whose factories cost real time, for the build benchmarks.

Factories come in tiers, ``per_file`` to a source file; each factory of tier
t > 0 places ``fanout`` factories of tier t - 1 with settings of its own
(non-default, the same whatever its own settings), and every cell's build
burns ``cost_ms`` of CPU, as geometry, booleans or routing would. With the
defaults (160 factories in 4 tiers, fan-out 2, 5 ms) a project has 400 cells
and 2 s of factory work.
"""

from __future__ import annotations

import random
from pathlib import Path

PYPROJECT = '[project]\nname = "costly"\nversion = "0.1.0"\n\n[tool.tessaro]\nsources = ["cells"]\n'
BURN = (
    "import time\n\nCOST = {cost}\n\n\n"
    "def burn():\n"
    "    end = time.process_time() + COST\n"
    "    while time.process_time() < end:\n"
    "        pass\n"
)


def generate(root: Path, *, factories: int = 160, tiers: int = 4, per_file: int = 5, fanout: int = 2,
             cost_ms: float = 5.0, seed: int = 1) -> dict[str, list[str]]:
    """Write the project under ``root``; returns tier -> its source files (project-relative)."""
    rng = random.Random(seed)
    (root / "cells").mkdir(parents=True, exist_ok=True)
    (root / "pyproject.toml").write_text(PYPROJECT)
    (root / "work.py").write_text(BURN.format(cost=cost_ms / 1000))
    (root / "cells" / "__init__.py").write_text("")
    per_tier = max(1, factories // tiers)
    files: dict[str, list[str]] = {}
    for tier in range(tiers):
        names = [f"t{tier}f{k:04d}" for k in range(per_tier)]
        below = [f"t{tier - 1}f{k:04d}" for k in range(per_tier)] if tier else []
        for start in range(0, per_tier, per_file):
            module = f"t{tier}_{start // per_file:04d}"
            bodies: list[str] = []
            imports: dict[str, set[str]] = {}
            for name in names[start:start + per_file]:
                lines = ["@bl.cell", f"def {name}(c, length: int = 10):", "    work.burn()",
                         "    c.add_port('o1')", "    c.add_port('o2', center=(length, 0.0))"]
                for child in rng.sample(below, min(fanout, len(below))):
                    lines.append(f"    c.place({child}(length={rng.randint(11, 10**6)}))")
                    imports.setdefault(f"t{tier - 1}_{below.index(child) // per_file:04d}", set()).add(child)
                bodies.append("\n".join(lines) + "\n")
            head = ["import brimlay as bl", "", "import work"] + [
                f"from cells.{m} import {', '.join(sorted(names))}" for m, names in sorted(imports.items())]
            rel = f"cells/{module}.py"
            (root / rel).write_text("\n".join(head) + "\n\n\n" + "\n\n".join(bodies))
            files.setdefault(f"t{tier}", []).append(rel)
    return files
