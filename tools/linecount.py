"""The size of the tests against the code, in non-blank, non-comment lines.

Counted: the ``.py``, ``.cpp``, ``.hpp`` and ``.js`` files git tracks (plus new
ones not yet ignored). Test lines are those under ``tests/``; code is every
other counted file outside ``benchmarks/``. A comment line holds nothing but a
comment (``#`` in Python; ``//`` or inside ``/* */`` in C++ and JavaScript);
docstrings count as code.

    ./dev count          the totals and the ratio
    ./dev count -v       also each file
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SUFFIXES = (".py", ".cpp", ".hpp", ".js")


def files() -> list[str]:
    listed = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                            capture_output=True, text=True, check=True).stdout.splitlines()
    return sorted(f for f in listed if f.endswith(SUFFIXES) and (ROOT / f).is_file())


def count(path: Path) -> int:
    python = path.suffix == ".py"
    n, in_block = 0, False
    for line in path.read_text(encoding="utf-8").splitlines():
        text = line.strip()
        if python:
            n += bool(text) and not text.startswith("#")
            continue
        if in_block:
            if "*/" not in text:
                continue
            text, in_block = text.split("*/", 1)[1].strip(), False
        while text.startswith("/*"):  # a block comment opening the line
            if "*/" not in text:
                text, in_block = "", True
                break
            text = text.split("*/", 1)[1].strip()
        n += bool(text) and not text.startswith("//")
    return n


def main() -> int:
    parser = argparse.ArgumentParser(prog="./dev count", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-v", "--verbose", action="store_true", help="list each file")
    args = parser.parse_args()
    tests = code = 0
    for rel in files():
        if rel.startswith("benchmarks/"):
            continue
        lines = count(ROOT / rel)
        if rel.startswith("tests/"):
            tests += lines
        else:
            code += lines
        if args.verbose:
            print(f"{lines:6}  {rel}")
    print(f"tests {tests} lines, code {code} lines, ratio {tests / code:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
