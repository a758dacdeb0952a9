"""Importing a project's sources and building its factories: the work of a build worker.

This module runs only inside build workers (``tessaro.cli.worker``), fresh
processes that the command starts for each build: the project's code never
runs in the command's own process. It imports the files it is given, builds
the factories it is asked for in the live layout, and describes what it saw
as plain data: every project file the code imported or read (by any route),
what each source defines, each factory's outcome, and the cells they made.

Who depends on what is learnt while the code runs. A stack says whose code
runs now: a project module while it executes, a factory while it builds.
Every project file imported (an import statement, ``importlib``, an import of
a module imported before) or opened for reading is credited to the top of
that stack: to the module (a file-level import) or to the factory (an input of
that factory alone). Reads that bypass Python's ``open`` (``os.stat``,
``Path.exists``, C libraries) are not seen.

While a factory builds, each read is also credited to the innermost cell
being built (unless a module began running inside that build: its reads are
the module's), so every cell knows its own reads whichever build made it
first. A factory's inputs are the reads of every cell its cell reaches.

Cells made before (in the cell store, or by another worker of this build)
come in as plain data and are brought back by brimlay (``kcl.lookup``)
instead of running their factories; each cell is described with its plain
data (``brimlay.cell_data``) so that the command can keep it.
"""

from __future__ import annotations

import _imp
import builtins
import contextlib
import importlib
import importlib.machinery
import importlib.util
import json
import marshal
import os
import sys
import time
import traceback
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType
from typing import Any

from tessaro.cli.project import Project, file_hash, module_name
from tessaro.modeling import model_mark

__all__ = ["Session"]

_WRITE_MODES = frozenset("wax+")
_WRITE_FLAGS = os.O_WRONLY | os.O_RDWR | os.O_CREAT | os.O_TRUNC | os.O_APPEND


class _Failure:
    """Where an exception was raised in the project's own code, and its traceback."""

    def __init__(self, project: Project, exc: BaseException) -> None:
        try:
            text = str(exc).strip().replace("\n", " ")
        except Exception:  # an exception whose text cannot be made is still reported, by its type
            text = ""
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
        try:
            if tb is None:  # raised before the project's code ran (a syntax error): the error alone says where
                self.traceback = "".join(traceback.format_exception_only(exc)).rstrip()
            else:
                self.traceback = "".join(traceback.format_exception(exc.with_traceback(tb))).rstrip()
        except Exception:
            self.traceback = self.message

    def data(self) -> dict[str, Any]:
        return {"error": self.message, "where": self.where, "traceback": self.traceback}


class _File:
    """One project file as this worker saw it."""

    def __init__(self, rel: str, path: Path, source: bool) -> None:
        self.rel, self.path, self.source = rel, path, source
        self.hash = file_hash(path)
        self.executed = False  # its module ran here (so ``imports`` is complete)
        self.imports: set[str] = set()
        self.defines: list[str] = []  # every factory name it defines, duplicates included
        self.factories: dict[str, Any] = {}
        self.models: dict[str, list[Any]] = {}  # factory -> [settings JSON, pdk type, error or None]
        self.failure: _Failure | None = None

    def data(self) -> dict[str, Any]:
        found = {
            "hash": self.hash, "source": self.source, "executed": self.executed, "imports": sorted(self.imports),
            "defines": self.defines, "factories": list(self.factories), "models": self.models,
            "error": None, "where": None, "traceback": None,
        }
        if self.failure is not None:
            found.update(self.failure.data())
        return found


class Session:
    """One worker's view of the project: what it imported, read and built."""

    def __init__(self, project: Project, folders: list[str]) -> None:
        self.project = project
        self.folders = folders  # the folders sources are imported from (``import_folders``)
        self.files: dict[str, _File] = {}
        self.stack: list[tuple[str, str]] = []  # ("file", rel) while a module runs, ("factory", name) while one builds
        self.depths: list[int] = []  # for each stack entry, how many cells were being built when it began
        self.reads: dict[int, set[str]] = {}  # cell index -> files its own build read or imported
        self.restorable: dict[str, dict[str, Any]] = {}  # cell name -> {"data", "reads"} of a cell made before
        self.inputs: dict[str, set[str]] = {}  # factory -> files its own build imported or read
        self.written: set[str] = set()
        self.imported: set[str] = set()  # the sources imported (and looked through for factories)
        self.cache = project.bytecode_cache
        self._quiet = False
        import brimlay

        self.layout = brimlay.kcl
        self.layout.lookup = lambda name: self.restorable.get(name, {}).get("data")
        self._install()

    # -- who depends on what ------------------------------------------------------

    def seen(self, rel: str, *, source: bool = False) -> _File:
        entry = self.files.get(rel)
        if entry is None:
            self._quiet = True  # reading the file to hash it is not the project's read
            try:
                entry = self.files[rel] = _File(rel, self.project.root / rel, source)
            finally:
                self._quiet = False
        entry.source = entry.source or source
        return entry

    def depend(self, rel: str) -> None:
        """Credit ``rel`` to whatever runs now (a module or a factory)."""
        if not self.stack:
            return
        kind, key = self.stack[-1]
        if kind == "file":
            if key != rel:
                self.files[key].imports.add(rel)
        else:
            self.inputs.setdefault(key, set()).add(rel)
        building = self.layout._building
        if len(building) > self.depths[-1]:
            self.reads.setdefault(building[-1].index, set()).add(rel)
        self.seen(rel)

    def _depend_on_module(self, module: Any) -> None:
        file = getattr(module, "__file__", None)
        rel = self.project.rel_if_inside(file) if isinstance(file, str) else None
        if rel is not None:
            self.depend(rel)

    @contextlib.contextmanager
    def running(self, kind: str, key: str) -> Iterator[None]:
        """Credit what runs in the block to ``key``; cells brought back meanwhile read what they read when made."""
        self.stack.append((kind, key))
        self.depths.append(len(self.layout._building))
        start = self.layout._next_index
        try:
            yield
        finally:
            cells = self.layout.tkcells
            for index in reversed(cells):
                if index < start:
                    break
                if cells[index].restored:
                    for rel in self.restorable.get(cells[index].name, {}).get("reads", ()):
                        self.depend(rel)
            self.stack.pop()
            self.depths.pop()

    def _install(self) -> None:
        """Hook the import machinery, ``open`` and ``__import__`` (for the rest of this process)."""
        session = self
        project = self.project
        original_import = builtins.__import__
        original_import_module = importlib.import_module

        def audit(event: str, args: tuple[Any, ...]) -> None:
            if event != "open" or not session.stack or session._quiet:
                return
            path, mode, flags = args
            if not isinstance(path, str | bytes | os.PathLike):
                return  # an open file descriptor
            name = os.fsdecode(path)
            rel = project.rel_if_inside(os.path.abspath(name), python=False)
            if rel is None:
                return
            writing = (isinstance(mode, str) and not _WRITE_MODES.isdisjoint(mode)) or (
                mode is None and isinstance(flags, int) and flags & _WRITE_FLAGS)
            if writing:
                session.written.add(rel)
            elif os.path.isfile(name):
                session.depend(rel)

        def import_wrapper(name: str, globals: Any = None, locals: Any = None, fromlist: Any = (),
                           level: int = 0) -> Any:
            module = original_import(name, globals, locals, fromlist, level)
            if session.stack:
                try:
                    package = globals.get("__package__") if isinstance(globals, dict) else None
                    full = importlib.util.resolve_name("." * level + name, package) if level else name
                except (ImportError, ValueError, TypeError, AttributeError):
                    return module
                parts = full.split(".") if full else []
                for i in range(1, len(parts) + 1):
                    session._depend_on_module(sys.modules.get(".".join(parts[:i])))
                for item in fromlist or ():
                    value = getattr(module, item, None) if isinstance(item, str) else None
                    if isinstance(value, ModuleType):
                        session._depend_on_module(value)
            return module

        def import_module(name: str, package: str | None = None) -> ModuleType:
            module = original_import_module(name, package)
            if session.stack:
                full = module.__name__.split(".")
                for i in range(1, len(full) + 1):
                    session._depend_on_module(sys.modules.get(".".join(full[:i])))
            return module

        sys.addaudithook(audit)
        builtins.__import__ = import_wrapper
        importlib.import_module = import_module
        sys.meta_path.insert(0, _ProjectFinder(self))

    # -- importing -------------------------------------------------------------------

    def import_sources(self, paths: list[Path], step: Callable[[str], None]) -> None:
        """Import each source (its errors are its own); afterwards ``self.files`` describes them.

        The folders the sources are imported from are all on ``sys.path`` first,
        whichever of them this build imports, so a source finds the same
        modules in an incremental build as in a full one.
        """
        if not self.imported:
            for base in self.folders:
                if base not in sys.path:
                    sys.path.insert(0, base)
        for path in paths:
            rel = self.project.rel(path)
            entry = self.seen(rel, source=True)
            if rel in self.imported:
                continue
            self.imported.add(rel)
            step(rel)
            try:
                with contextlib.redirect_stdout(sys.stderr):
                    module = _import_source(path)
            except BaseException as exc:  # SystemExit and KeyboardInterrupt of the project's code too
                entry.failure = _Failure(self.project, exc)
                entry.executed = True  # what it imported before failing is all it imports
                continue
            entry.factories = dict(_defined_factories(module, entry.defines))
            for name, mark in _defined_models(module):
                try:
                    entry.models[name] = [mark.settings_json(), str(mark.pdk_type), None]
                except (Exception, RecursionError) as exc:
                    entry.models[name] = ["{}", "generic", f"its settings cannot be stored: {type(exc).__name__}"]

    # -- building ----------------------------------------------------------------

    def build(self, wanted: list[tuple[str, str]], step: Callable[[str], None]) -> dict[str, Any]:
        """Build each (name, file) factory with its default settings; describe the outcome as plain data.

        The factories' calls bring back the cells of ``restorable`` (made
        before: {"data", "reads"} by name) instead of building them again.
        """
        from tessaro.cli.store import runtime_versions

        built: dict[str, dict[str, Any]] = {}
        reached: dict[int, Any] = {}
        for name, rel in wanted:
            entry = self.files.get(rel)
            factory = entry.factories.get(name) if entry is not None else None
            if factory is None:
                continue
            step(name)
            built[name] = self._build_one(name, factory, reached)
        layout, written = self.layout, self.written
        for name, result in built.items():
            if result["status"] != "SUCCESS":  # what it asked for before failing, in any of this build's attempts
                result["asked"] = sorted(layout.asked.get(name, ()))
        described = dict(self._describe_cells(reached, built))
        inputs = {}
        for name, result in built.items():
            if result["status"] == "SUCCESS":
                found = set().union(*(described[c]["reads"] for c in result.pop("reach")))
            else:
                result.pop("reach")
                found = self.inputs.get(name, set()) - written
            inputs[name] = sorted(found)
        return {"built": built, "cells": described, "inputs": inputs, "versions": runtime_versions()}

    def _build_one(self, name: str, factory: Any, cells: dict[int, Any]) -> dict[str, Any]:
        result: dict[str, Any] = {"status": "SUCCESS", "message": "", "where": None, "traceback": None,
                                  "asked": [], "cell": None, "settings": "{}", "seconds": 0.0, "reach": []}
        start = time.perf_counter()
        try:
            result["settings"] = _settings_text(factory)
            with self.running("factory", name), contextlib.redirect_stdout(sys.stderr):
                cell = factory()
            _check_name(cell.name)
            reached = _reach(cell)
            for found in reached:
                _check_name(found.name)
        except BaseException as exc:  # whatever the project's code raises fails this factory alone
            failure = _Failure(self.project, exc)
            result.update(status="FAILED", message=failure.message, where=failure.where,
                          traceback=failure.traceback)
            return result
        finally:
            result["seconds"] = round(time.perf_counter() - start, 6)
        result["cell"] = cell.name
        result["reach"] = [found.name for found in reached]
        for found in reached:
            cells.setdefault(found.index, found)
        return result

    def _describe_cells(self, cells: dict[int, Any],
                        built: dict[str, dict[str, Any]]) -> Iterator[tuple[str, dict[str, Any]]]:
        """Each cell as its stored row, the cells it uses, its own reads and, to keep it, its plain data.

        A cell that cannot be stored fails its factory.
        """
        import brimlay
        from tessaro.models import ComponentRecord

        project, written = self.project, self.written
        made_by = {cell.index: factory for (factory, _), cell in self.layout._factory_cache.items()}
        for index in sorted(cells):
            cell = cells[index]
            data: dict[str, Any] = {"factory": cell.factory_name or "", "row": None,
                                    "uses": [used.name for used in cell_uses(cell)], "restored": cell.restored,
                                    "file": None, "data": None}
            try:
                row = ComponentRecord.from_tkcell(cell).to_db_tuple()
                json.dumps(row)
                data["row"] = list(row)
            except (Exception, RecursionError) as exc:
                owner = built.get(cell.factory_name or "")
                if owner is not None and owner["status"] == "SUCCESS":
                    owner.update(status="FAILED", message=f"its cell {cell.name!r} cannot be stored: "
                                 f"{type(exc).__name__}: {exc}", where=None, traceback=None, cell=None)
            if cell.restored:
                data["reads"] = list(self.restorable.get(cell.name, {}).get("reads", ()))
            else:
                data["reads"] = sorted(self.reads.get(index, set()) - written)
                function = getattr(made_by.get(index), "__wrapped__", None)
                code = getattr(function, "__code__", None)
                data["file"] = project.rel_if_inside(code.co_filename) if code is not None else None
                if data["file"] is not None and data["row"] is not None:
                    try:
                        found = brimlay.cell_data(cell)
                        json.dumps(found, allow_nan=True)
                        data["data"] = found
                    except (Exception, RecursionError):
                        pass  # kept nowhere: its users build it again
            yield cell.name, data

    def describe(self) -> dict[str, Any]:
        written = self.written
        return {rel: entry.data() for rel, entry in self.files.items() if rel not in written or entry.executed}


def _check_name(name: Any) -> None:
    if not isinstance(name, str) or not name:
        raise ValueError(f"a cell name must be a non-empty str, got {name!r}")
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"the cell name {name!r} cannot be stored (it is not valid Unicode text)") from None


def _reach(cell: Any) -> list[Any]:
    """``cell`` and every live cell it uses, directly or not."""
    found: dict[int, Any] = {}
    todo = [cell]
    while todo:
        current = todo.pop()
        if current.index in found:
            continue
        found[current.index] = current
        todo.extend(cell_uses(current))
    return list(found.values())


def cell_uses(cell: Any) -> list[Any]:
    """The live cells ``cell`` uses: those it places and those its factory asked for while building it."""
    layout = cell._layout
    used = dict.fromkeys(cell.kdb_cell.each_child_cell())
    used.update(dict.fromkeys(getattr(cell, "uses", ())))
    return [layout.tkcells[index] for index in used if index in layout.tkcells]


def _settings_text(factory: Any) -> str:
    from tessaro.models import FactoryRecord

    settings = dict(getattr(factory, "default_settings", {}) or {})
    return FactoryRecord(name="-", source="-", default_settings=settings).to_db_tuple()[4]


# -- the import machinery for project files -------------------------------------


class _ProjectFinder:
    """Finds project modules as the usual path finder does, and loads them through ``_ProjectLoader``."""

    def __init__(self, session: Session) -> None:
        self.session = session

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> Any:
        spec = importlib.machinery.PathFinder.find_spec(name, path, target)
        if spec is None or not isinstance(spec.loader, importlib.machinery.SourceFileLoader):
            return None
        rel = self.session.project.rel_if_inside(spec.origin)
        if rel is None:
            return None
        spec.loader = _ProjectLoader(spec.loader.name, spec.loader.path, self.session, rel)
        return spec

    def invalidate_caches(self) -> None:
        pass


class _ProjectLoader(importlib.machinery.SourceFileLoader):
    """Runs a project module with its file on the stack; its bytecode is checked by content hash.

    Sources change under the user's hands, often twice within a second without
    changing size, which the usual time stamp check would miss. The bytecode
    lives in the build folder, never beside the sources.
    """

    def __init__(self, fullname: str, path: str, session: Session, rel: str) -> None:
        super().__init__(fullname, path)
        self.session, self.rel = session, rel

    def exec_module(self, module: ModuleType) -> None:
        session = self.session
        session.depend(self.rel)
        entry = session.seen(self.rel)
        entry.executed = True
        with session.running("file", self.rel):
            super().exec_module(module)

    def get_code(self, fullname: str) -> Any:
        source = self.get_data(self.path)
        digest = importlib.util.source_hash(source)
        cached = self.session.cache / (self.rel.replace(os.sep, "/").replace("../", "_up_/") + ".pyc")
        header = importlib.util.MAGIC_NUMBER + (0b11).to_bytes(4, "little") + digest
        try:
            data = cached.read_bytes()
            if data[:16] == header:
                code = marshal.loads(data[16:])
                _imp._fix_co_filename(code, self.path)  # type: ignore[attr-defined]  # as importlib does: the file may have moved
                return code
        except (OSError, ValueError, EOFError, TypeError):
            pass
        code = self.source_to_code(source, self.path)
        try:  # a folder that cannot be written (a full disk) only costs the next build a compile
            cached.parent.mkdir(parents=True, exist_ok=True)
            partial = cached.with_name(f"{cached.name}.{os.getpid()}.tmp")
            partial.write_bytes(header + marshal.dumps(code))
            os.replace(partial, cached)
        except OSError:
            pass
        return code


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


def _defined_models(module: ModuleType) -> Iterator[tuple[str, Any]]:
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


def _import_source(path: Path) -> ModuleType:
    name, base = module_name(path)
    if name and all(part.isidentifier() for part in name.split(".")):
        existing = sys.modules.get(name)
        if existing is None or _is_file_of(existing, path):
            if str(base) not in sys.path:
                sys.path.insert(0, str(base))
            module = importlib.import_module(name)
            if _is_file_of(module, path):
                return module
    # The natural name is taken by another module: load this file on its own.
    import hashlib

    unique = f"_tessaro_source_{hashlib.blake2s(str(path).encode(errors='surrogateescape'), digest_size=6).hexdigest()}"
    found = importlib.util.spec_from_file_location(unique, path)
    if found is None or found.loader is None:
        raise ImportError(f"cannot load {path}")
    finder = next(f for f in sys.meta_path if isinstance(f, _ProjectFinder))
    rel = finder.session.project.rel(path)
    found.loader = _ProjectLoader(unique, str(path), finder.session, rel)
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
        return os.path.realpath(file) == os.path.realpath(path)
    except OSError:
        return False
