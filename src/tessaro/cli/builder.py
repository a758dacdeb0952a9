"""Importing a project's sources and building its factories in the live layout.

This module knows nothing of the registry: it imports the files it is given
(recording which project files each one imports), finds the factories and
models they define, builds the factories it is asked for, and describes what
the live layout then holds. ``tessaro.cli.engine`` turns that into registry
writes.
"""

from __future__ import annotations

import builtins
import contextlib
import hashlib
import importlib
import importlib.util
import sys
import traceback
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

from tessaro.cli.project import Project
from tessaro.modeling import ModelMark, model_mark

__all__ = ["Built", "Imported", "build_factories", "cell_uses", "file_hash", "import_sources"]


def file_hash(path: Path) -> str | None:
    """The content hash of a file (None if it cannot be read)."""
    try:
        return hashlib.blake2b(path.read_bytes(), digest_size=16).hexdigest()
    except OSError:
        return None


@dataclass
class Imported:
    """One project file as this build saw it."""

    rel: str
    path: Path
    hash: str | None
    source: bool  # a factory source (else a project file that sources import)
    executed: bool = False  # its module ran in this build (so ``imports`` is complete)
    imports: set[str] = field(default_factory=set)
    factories: dict[str, Callable[..., Any]] = field(default_factory=dict)
    defines: list[str] = field(default_factory=list)  # every factory name it defines, duplicates included
    models: dict[str, ModelMark] = field(default_factory=dict)
    error: str | None = None
    where: str | None = None
    traceback: str | None = None


@dataclass
class Built:
    """The outcome of building one factory with its default settings."""

    name: str
    cell: Any = None  # the live cell, when the build succeeded
    message: str = ""
    where: str | None = None
    traceback: str | None = None
    asked: list[str] = field(default_factory=list)  # a failed build: the factories it called first

    @property
    def ok(self) -> bool:
        return self.cell is not None


class _Failure:
    """Where an exception was raised in the project's own code, and its traceback."""

    def __init__(self, project: Project, exc: BaseException) -> None:
        text = str(exc).strip().replace("\n", " ")
        self.message: str = f"{type(exc).__name__}: {text}" if text else type(exc).__name__
        frames = traceback.extract_tb(exc.__traceback__)
        if isinstance(exc, SyntaxError) and exc.filename:
            frames.append(traceback.FrameSummary(exc.filename, exc.lineno or 0, "<module>"))
        self.where: str | None = None
        for frame in reversed(frames):
            rel = project.rel_if_inside(frame.filename)
            if rel is not None:
                self.where = f"{rel}:{frame.lineno}"
                break
        # The traceback from the first frame in the project's code: the frames of this build above it are noise.
        tb = exc.__traceback__
        while tb is not None and project.rel_if_inside(tb.tb_frame.f_code.co_filename) is None:
            tb = tb.tb_next
        if tb is None:  # raised before the project's code ran (a syntax error): the error alone says where
            self.traceback = "".join(traceback.format_exception_only(exc)).rstrip()
        else:
            self.traceback = "".join(traceback.format_exception(exc.with_traceback(tb))).rstrip()


# -- importing -------------------------------------------------------------------


@contextlib.contextmanager
def _recording_imports(project: Project, files: dict[str, Imported]) -> Iterator[None]:
    """Record importer -> imported for every import statement between project files.

    ``__import__`` is wrapped rather than ``sys.modules`` compared before and
    after, because a module already imported by one file must be credited to
    every file that imports it.
    """
    original = builtins.__import__

    def seen(rel: str) -> Imported:  # a project file met on the way (not a source unless listed as one)
        if rel not in files:
            files[rel] = Imported(rel, project.root / rel, file_hash(project.root / rel), False)
        return files[rel]

    def record(importer: str, module: Any) -> None:
        file = getattr(module, "__file__", None)
        rel = project.rel_if_inside(file) if isinstance(file, str) else None
        if rel is not None and rel != importer:
            seen(importer).imports.add(rel)
            seen(rel)

    def wrapper(name: str, globals: Any = None, locals: Any = None, fromlist: Any = (), level: int = 0) -> Any:
        module = original(name, globals, locals, fromlist, level)
        importer_file = globals.get("__file__") if isinstance(globals, dict) else None
        importer = project.rel_if_inside(importer_file) if isinstance(importer_file, str) else None
        if importer is None:
            return module
        seen(importer)  # also a project file outside the sources, running its own imports
        try:
            full = importlib.util.resolve_name("." * level + name, globals.get("__package__")) if level else name
        except (ImportError, ValueError, TypeError):
            return module
        parts = full.split(".") if full else []
        for i in range(1, len(parts) + 1):
            record(importer, sys.modules.get(".".join(parts[:i])))
        for item in fromlist or ():
            value = getattr(module, item, None) if isinstance(item, str) else None
            if isinstance(value, ModuleType):
                record(importer, value)
        return module

    builtins.__import__ = wrapper
    try:
        yield
    finally:
        builtins.__import__ = original


def import_sources(project: Project, sources: Iterable[Path], forget: Iterable[Path],
                   known: Iterable[str] = ()) -> dict[str, Imported]:
    """Import ``sources`` (after forgetting the modules of ``forget``) and find what each defines.

    Returns every project file seen, by project-relative path: the sources and
    the project files they import. ``known`` names project files they imported
    last time (their bytecode is prepared like the sources'). A source that fails to import is reported
    in its entry; the others carry on.
    """
    _forget_modules(project, forget)
    files: dict[str, Imported] = {}
    order: list[Imported] = []
    for path in sources:
        rel = project.rel(path)
        entry = files.setdefault(rel, Imported(rel, path, file_hash(path), source=True))
        entry.source = True
        order.append(entry)
    before = set(sys.modules)
    paths = [entry.path for entry in order] + [project.root / rel for rel in known]
    with (
        _recording_imports(project, files),
        _bytecode_aside(project.bytecode_cache, paths),
        contextlib.redirect_stdout(sys.stderr),
    ):
        for entry in order:
            try:
                module = _import_source(entry.path)
            except (Exception, SystemExit) as exc:
                failure = _Failure(project, exc)
                entry.error, entry.where, entry.traceback = failure.message, failure.where, failure.traceback
                continue
            entry.factories = dict(_defined_factories(module, entry.defines))
            entry.models = dict(_defined_models(module))
    for name in set(sys.modules) - before:
        file = getattr(sys.modules[name], "__file__", None)
        found = project.rel_if_inside(file) if isinstance(file, str) else None
        if found is not None and found in files:
            files[found].executed = True
    for entry in order:
        if entry.error:
            entry.executed = True  # what it imported before failing is all it imports
    return files


@contextlib.contextmanager
def _bytecode_aside(cache: Path, paths: list[Path]) -> Iterator[None]:
    """Keep the bytecode of the project's files in the build folder, checked by content hash.

    Sources change under the user's hands, often twice within a second without
    changing size, which the usual time stamp check would miss; a bytecode file
    that records its source's hash is checked against the source on every import
    (and stays hash-checked when rewritten). Nothing is written beside the sources.
    """
    import py_compile

    saved = sys.pycache_prefix, sys.dont_write_bytecode
    sys.pycache_prefix, sys.dont_write_bytecode = str(cache), False
    try:
        for path in paths:
            cached = importlib.util.cache_from_source(str(path))
            try:
                with open(cached, "rb") as handle:
                    hash_checked = int.from_bytes(handle.read(8)[4:8], "little") & 0b11 == 0b11
            except OSError:
                hash_checked = False
            if not hash_checked:
                py_compile.compile(str(path), cached, doraise=False, quiet=2,
                                   invalidation_mode=py_compile.PycInvalidationMode.CHECKED_HASH)
        yield
    finally:
        sys.pycache_prefix, sys.dont_write_bytecode = saved


def _defined_factories(module: ModuleType, names: list[str]) -> Iterator[tuple[str, Callable[..., Any]]]:
    """The brimlay factories that ``module`` defines itself, by factory name, in definition order."""
    seen: set[str] = set()
    for obj in list(vars(module).values()):
        try:
            if getattr(obj, "is_brimlay_factory", False) is not True:
                continue
            if getattr(obj, "__module__", None) != module.__name__:
                continue
            name = obj.factory_name
        except Exception:
            continue
        if isinstance(name, str) and name:
            names.append(name)
            if name not in seen:
                seen.add(name)
                yield name, obj


def _defined_models(module: ModuleType) -> Iterator[tuple[str, ModelMark]]:
    seen: set[int] = set()
    for obj in list(vars(module).values()):
        mark = model_mark(obj)
        if mark is None or id(obj) in seen:
            continue
        try:
            if getattr(obj, "__module__", None) != module.__name__:
                continue
        except Exception:
            continue
        seen.add(id(obj))
        yield mark.factory, mark


def _module_name(path: Path) -> tuple[str, Path]:
    """The dotted name of ``path`` below the first folder up that is not a package, and that folder.

    Importing a source under this name (with that folder on ``sys.path``) lets
    sources import each other in the ordinary way and still share one module
    object, so a factory imported by another file is the same factory.
    """
    parts = [] if path.stem == "__init__" else [path.stem]
    base = path.parent
    while (base / "__init__.py").is_file() and base.parent != base:
        parts.insert(0, base.name)
        base = base.parent
    return ".".join(parts), base


def _import_source(path: Path) -> ModuleType:
    name, base = _module_name(path)
    if name and all(part.isidentifier() for part in name.split(".")):
        existing = sys.modules.get(name)
        if existing is None or _is_file_of(existing, path):
            if str(base) not in sys.path:
                sys.path.insert(0, str(base))
            module = importlib.import_module(name)
            if _is_file_of(module, path):
                return module
    # The natural name is taken by another module: load this file on its own.
    unique = f"_tessaro_source_{hashlib.blake2s(str(path).encode(), digest_size=6).hexdigest()}"
    found = importlib.util.spec_from_file_location(unique, path)
    if found is None or found.loader is None:
        raise ImportError(f"cannot load {path}")
    module = importlib.util.module_from_spec(found)
    sys.modules[unique] = module
    try:
        found.loader.exec_module(module)
    except BaseException:
        sys.modules.pop(unique, None)
        raise
    return module


def _is_file_of(module: ModuleType, path: Path) -> bool:
    file = getattr(module, "__file__", None)
    if not file:
        return False
    try:
        return Path(file).resolve() == path
    except OSError:
        return False


def _forget_modules(project: Project, files: Iterable[Path]) -> None:
    """Drop earlier imports of ``files`` so that this build runs their current text."""
    wanted = {project.rel(path) for path in files}
    for name, module in list(sys.modules.items()):
        file = getattr(module, "__file__", None)
        if isinstance(file, str) and project.rel_if_inside(file) in wanted:
            del sys.modules[name]


# -- building ---------------------------------------------------------------------


def build_factories(project: Project, factories: dict[str, Callable[..., Any]], files: dict[str, Imported],
                    step: Callable[[str], None] | None = None) -> dict[str, Built]:
    """Build each factory once with its default settings, into a cleared live layout.

    A failure of one factory does not stop the others; it is reported with the
    place in the project's code where it was raised. A factory may import
    project files as it builds: those imports are recorded in ``files`` too.
    """
    import brimlay

    brimlay.kcl.clear()
    results: dict[str, Built] = {}
    with (
        contextlib.redirect_stdout(sys.stderr),
        _recording_imports(project, files),
        _bytecode_aside(project.bytecode_cache, []),
    ):
        for name, factory in factories.items():
            if step is not None:
                step(name)
            try:
                results[name] = Built(name, cell=factory())
            except (Exception, SystemExit) as exc:
                failure = _Failure(project, exc)
                results[name] = Built(name, message=failure.message, where=failure.where, traceback=failure.traceback)
    for name, result in results.items():
        if not result.ok:  # what it asked for before failing, in any of this build's attempts
            result.asked = sorted(brimlay.kcl.asked.get(name, ()))
    return results


def cell_uses(cell: Any) -> list[Any]:
    """The live cells ``cell`` uses: those it places and those its factory asked for while building it."""
    layout = cell._layout
    used = dict.fromkeys(cell.kdb_cell.each_child_cell())
    used.update(dict.fromkeys(getattr(cell, "uses", ())))
    return [layout.tkcells[index] for index in used if index in layout.tkcells]
