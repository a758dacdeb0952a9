"""A sampled mutation run over the engine modules of the command line and the layout library.

Each mutant is one small change made through ``ast`` (a comparison flipped,
``and``/``or`` swapped, a ``not`` dropped, a call statement dropped, a constant
nudged, a return emptied), written over the INSTALLED copy of the module in
the Python that runs this script (``./dev mutate`` uses ``.venv-mutate``), so
the tests, which import the installed package and sometimes run ``tessaro`` in
a subprocess, all meet it. The tests that cover the module run against it
(``-x``, with a time-out); the module is restored afterwards, whatever happens.
A mutant is killed when the tests fail or time out.

The sample is fixed by the seed, so two runs over the same sources try the
same mutants. Prints killed/total per module and overall; the survivors
(file:line and the change) go to ``build/mutate-report.txt``.

    ./dev mutate                      the default sample (about 20 minutes on two cores)
    ./dev mutate --per-module 5       a quick look
    ./dev mutate --module registry    one module (repeatable)
"""

from __future__ import annotations

import argparse
import ast
import contextlib
import copy
import importlib.util
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CLI_TESTS = ["tests/test_cli.py", "tests/test_truth.py", "tests/test_incremental.py"]
LAYOUT_TESTS = ["tests/test_brimlay.py", "tests/test_dependencies.py", *CLI_TESTS]
# module -> the tests that exercise it, the quickest to fail first. The stress test of interrupted builds is the
# only one that sends Ctrl-C to a build while it writes.
MODULES = {
    "tessaro.cli.depgraph": CLI_TESTS,
    "tessaro.cli.engine": CLI_TESTS,
    "tessaro.cli.registry": [*CLI_TESTS, "tests/test_safety.py", "tests/test_stress.py::test_interrupted_build"],
    "tessaro.cli.builder": CLI_TESTS,
    "tessaro.cli.project": [*CLI_TESTS, "tests/test_safety.py"],
    "brimlay._factory": LAYOUT_TESTS,
    "brimlay._layout": LAYOUT_TESTS,
}
REPORT = ROOT / "build" / "mutate-report.txt"
_FLIP: dict[type, type] = {
    ast.Eq: ast.NotEq, ast.NotEq: ast.Eq, ast.Lt: ast.GtE, ast.GtE: ast.Lt, ast.Gt: ast.LtE, ast.LtE: ast.Gt,
    ast.In: ast.NotIn, ast.NotIn: ast.In, ast.Is: ast.IsNot, ast.IsNot: ast.Is,
}


@dataclass
class Mutant:
    line: int
    kind: str
    before: str  # the source text replaced
    after: str  # what replaces it
    start: tuple[int, int]  # (line, column) of the replaced text, 1-based lines
    end: tuple[int, int]

    def change(self) -> str:
        return f"{self.kind}: {_short(self.before)} -> {_short(self.after)}"


def _short(text: str, width: int = 90) -> str:
    text = " ".join(text.split())
    return text if len(text) <= width else text[: width - 3] + "..."


def _skipped(tree: ast.Module) -> set[int]:
    """ids of nodes no mutant touches: docstrings, ``__all__``, annotations and ``TYPE_CHECKING`` blocks."""
    skip: set[int] = set()

    def under(node: ast.AST | None) -> None:
        if node is not None:
            skip.update(id(n) for n in ast.walk(node))

    for node in ast.walk(tree):
        if isinstance(node, ast.Module | ast.ClassDef | ast.FunctionDef | ast.AsyncFunctionDef) and node.body:
            first = node.body[0]
            if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant):
                under(first)
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            under(node)
        if isinstance(node, ast.AnnAssign):
            under(node.annotation)
        if isinstance(node, ast.arg):
            under(node.annotation)
        if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef):
            under(node.returns)
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            under(node)
    return skip


def mutants(source: str) -> list[Mutant]:
    """Every mutant of ``source`` this runner knows how to make, in source order."""
    tree = ast.parse(source)
    skip = _skipped(tree)
    found: list[Mutant] = []

    def text(node: ast.AST) -> str:
        return ast.get_source_segment(source, node) or ast.unparse(node)

    def add(node: ast.AST, kind: str, replacement: ast.AST | str, statement: bool = False) -> None:
        after = replacement if isinstance(replacement, str) else ast.unparse(replacement)
        if not statement:
            after = f"({after})"
        start = (node.lineno, node.col_offset)  # type: ignore[attr-defined]
        end = (node.end_lineno, node.end_col_offset)  # type: ignore[attr-defined]
        found.append(Mutant(node.lineno, kind, text(node), after, start, end))  # type: ignore[attr-defined]

    for node in ast.walk(tree):
        if id(node) in skip:
            continue
        if isinstance(node, ast.Compare):
            for i, op in enumerate(node.ops):
                if type(op) in _FLIP:
                    changed = copy.deepcopy(node)
                    changed.ops[i] = _FLIP[type(op)]()
                    add(node, "comparison flipped", changed)
        elif isinstance(node, ast.BoolOp):
            swapped = copy.deepcopy(node)
            swapped.op = ast.Or() if isinstance(node.op, ast.And) else ast.And()
            add(node, "and/or swapped", swapped)
        elif isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.Not):
            add(node, "not dropped", node.operand)
        elif isinstance(node, ast.Expr) and isinstance(node.value, ast.Call | ast.Await):
            add(node, "call dropped", "pass", statement=True)
        elif isinstance(node, ast.Return) and node.value is not None:
            if not (isinstance(node.value, ast.Constant) and node.value.value is None):
                add(node, "return emptied", "return None", statement=True)
        elif isinstance(node, ast.Constant) and isinstance(node.value, bool):
            add(node, "constant nudged", ast.Constant(not node.value))
        elif isinstance(node, ast.Constant) and isinstance(node.value, int):
            add(node, "constant nudged", ast.Constant({0: 1, 1: 0}.get(node.value, node.value + 1)))
    return [m for m in found if _compiles(source, m)]


def apply(source: str, mutant: Mutant) -> str:
    lines = source.splitlines(keepends=True)
    (l1, c1), (l2, c2) = mutant.start, mutant.end
    # Offsets are in UTF-8 bytes.
    head = lines[l1 - 1].encode()[:c1].decode()
    tail = lines[l2 - 1].encode()[c2:].decode()
    return "".join(lines[: l1 - 1]) + head + mutant.after + tail + "".join(lines[l2:])


def _compiles(source: str, mutant: Mutant) -> bool:
    try:
        changed = ast.parse(apply(source, mutant))
    except SyntaxError:
        return False
    return ast.dump(changed) != ast.dump(ast.parse(source))


def sample(module: str, found: list[Mutant], size: int, seed: int) -> list[Mutant]:
    """``size`` of ``found``, the same for the same seed; a smaller sample is part of a larger one."""
    order = list(found)
    random.Random(f"{seed}:{module}").shuffle(order)
    return sorted(order[:size], key=lambda m: (m.start, m.kind))


def installed_file(module: str) -> Path:
    spec = importlib.util.find_spec(module)
    if spec is None or spec.origin is None:
        raise SystemExit(f"mutate: {module} is not installed in {sys.prefix}")
    return Path(spec.origin)


def source_file(module: str) -> Path:
    return ROOT / "src" / (module.replace(".", "/") + ".py")


def _drop_bytecode(path: Path) -> None:
    for cached in (path.parent / "__pycache__").glob(f"{path.stem}.*.pyc"):
        cached.unlink(missing_ok=True)


@dataclass
class Outcome:
    killed: bool
    how: str
    seconds: float
    output: str = ""


def run_tests(tests: list[str], timeout: float) -> Outcome:
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", TESSARO_STRESS="small",
               TESSARO_STRESS_SEED=os.environ.get("TESSARO_STRESS_SEED", "1"))
    # -m "": the stress test named in the map runs too; no cache, so that runs do not reorder each other.
    command = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-m", "", *tests]
    started = time.monotonic()
    with tempfile.TemporaryFile("w+") as log:
        proc = subprocess.Popen(command, cwd=ROOT, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT, start_new_session=True)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            code = None
        finally:
            if proc.poll() is None:  # timed out, or we were interrupted: take the tests down with us
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        seconds = time.monotonic() - started
        log.seek(0)
        output = log.read()
    if code is None:
        return Outcome(True, "timeout", seconds, output)
    if code == 0:
        return Outcome(False, "survived", seconds, output)
    # 1: a test failed; 2: collection failed (the module does not even import) or the run was cut short.
    return Outcome(True, "failed" if code == 1 else f"exit {code}", seconds, output)


@contextlib.contextmanager
def mutated(path: Path, text: str) -> Iterator[None]:
    """``path`` holds ``text`` for the duration; its own text is put back however the block ends."""
    original = path.read_bytes()
    try:
        _drop_bytecode(path)
        path.write_text(text)
        yield
    finally:
        path.write_bytes(original)
        _drop_bytecode(path)


def main() -> int:
    parser = argparse.ArgumentParser(prog="./dev mutate", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--per-module", type=int, default=24, metavar="N", help="mutants per module (default 24)")
    parser.add_argument("--seed", type=int, default=21, help="the sample's seed (default 21)")
    parser.add_argument("--module", action="append", choices=[m.rsplit(".", 1)[1] for m in MODULES],
                        help="only this module (repeatable)")
    parser.add_argument("--report", type=Path, default=REPORT, help=f"survivors go here (default {REPORT})")
    args = parser.parse_args()
    # Started in the background, Ctrl-C may be ignored, and the tests that send it to a command would inherit that.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    # Stopped with SIGTERM (kill PID) too, the module is put back and the tests are ended.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    modules = [m for m in MODULES if args.module is None or m.rsplit(".", 1)[1] in args.module]

    plans = []
    for module in modules:
        source, target = source_file(module), installed_file(module)
        text = source.read_text()
        if target.read_text() != text:
            raise SystemExit(f"mutate: the installed {target} differs from {source}: install the package again")
        plans.append((module, source, target, text, sample(module, mutants(text), args.per_module, args.seed)))
    total = sum(len(p[4]) for p in plans)
    print(f"mutate: {total} mutants (seed {args.seed}, up to {args.per_module} per module), tests in {sys.prefix}")

    results: dict[str, list[tuple[Mutant, Outcome]]] = {}
    started = time.monotonic()
    baselines: dict[tuple[str, ...], Outcome] = {}
    for module, source, target, text, chosen in plans:
        tests = MODULES[module]
        if tuple(tests) not in baselines:
            baselines[tuple(tests)] = run_tests(tests, timeout=600)
        baseline = baselines[tuple(tests)]
        if baseline.killed:
            print(baseline.output[-3000:])
            raise SystemExit(f"mutate: the tests of {module} fail without a mutant: {' '.join(tests)}")
        # Generous: on two shared cores a run can take several times as long as the baseline did.
        timeout = 5 * baseline.seconds + 60
        rel = source.relative_to(ROOT)
        done = results.setdefault(module, [])
        for n, mutant in enumerate(chosen, 1):
            with mutated(target, apply(text, mutant)):
                outcome = run_tests(tests, timeout)
            done.append((mutant, outcome))
            print(f"  {rel}:{mutant.line} [{n}/{len(chosen)}] {outcome.how:8} {outcome.seconds:5.1f} s"
                  f"  {mutant.change()}", flush=True)

    lines = [f"Mutation run: seed {args.seed}, up to {args.per_module} mutants per module"
             f" ({time.monotonic() - started:.0f} s)", ""]
    killed_all = 0
    for module, done in results.items():
        killed = sum(o.killed for _, o in done)
        killed_all += killed
        lines.append(f"{module:24} {killed:3}/{len(done):<3} {killed / max(len(done), 1):.2f}")
    lines.append(f"{'total':24} {killed_all:3}/{total:<3} {killed_all / max(total, 1):.2f}")
    summary = list(lines)
    lines += ["", "Surviving mutants:"]
    for module, done in results.items():
        rel = source_file(module).relative_to(ROOT)
        lines += [f"{rel}:{m.line}: {m.change()}" for m, o in done if not o.killed]
    args.report.parent.mkdir(parents=True, exist_ok=True)
    args.report.write_text("\n".join(lines) + "\n")
    print("\n".join(summary))
    print(f"mutate: the survivors are listed in {args.report}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
