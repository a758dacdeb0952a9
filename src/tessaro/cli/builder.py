"""``tessaro build``: import a project's sources, build its factories and bring the registry in step.

One build runs in four steps:

1. import every source file (a file that fails to import is reported and its
   registered factories are marked failed; other files carry on);
2. collect the factories and models each file defines itself (not the ones it
   imports from elsewhere);
3. build every factory once with its default settings, into a cleared live
   layout, so that a failure of one factory does not stop the others;
4. write the results: per file one atomic ``update_factories``, then the live
   cells through ``sync_from_kcl``, then the failures (their status and
   message), then the models.
"""

from __future__ import annotations

import contextlib
import hashlib
import importlib
import importlib.util
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

from tessaro.cli.project import Project
from tessaro.cli.render import Progress
from tessaro.modeling import ModelMark, model_mark

__all__ = ["BuildReport", "FactoryOutcome", "FileOutcome", "ModelOutcome", "run_build"]

SUCCESS = "SUCCESS"
FAILED = "FAILED"


@dataclass
class FactoryOutcome:
    name: str
    rel: str
    status: str
    message: str = ""
    components: int = 0


@dataclass
class ModelOutcome:
    factory: str
    rel: str
    status: str
    message: str = ""


@dataclass
class FileOutcome:
    path: Path
    rel: str
    error: str | None = None
    factories: dict[str, Callable[..., Any]] = field(default_factory=dict)
    models: dict[str, ModelMark] = field(default_factory=dict)
    # Registered factories of a file that failed to import, now marked failed.
    stranded: list[str] = field(default_factory=list)


@dataclass
class BuildReport:
    files: list[FileOutcome]
    factories: list[FactoryOutcome]
    models: list[ModelOutcome]
    removed_factories: list[str]
    removed_models: list[str]
    warnings: list[str]

    @property
    def failed(self) -> bool:
        return (
            any(f.error for f in self.files)
            or any(f.status != SUCCESS for f in self.factories)
            or any(m.status != SUCCESS for m in self.models)
            or bool(self.warnings)
        )

    def defined_by(self, rels: set[str]) -> list[str]:
        """Names of the factories the given files define (or, if they failed to import, had registered)."""
        names: list[str] = []
        for file in self.files:
            if file.rel in rels:
                names.extend(file.factories or file.stranded)
        return list(dict.fromkeys(names))


def run_build(project: Project, files: list[Path], *, full: bool, progress: bool) -> BuildReport:
    """Build ``files`` and write the outcome to the registry.

    ``full`` says that ``files`` are all of the project's sources: only then are
    entries of deleted source files dropped and stale components of every built
    factory pruned.
    """
    import brimlay

    import tessaro.core.database as db

    brimlay.kcl.clear()
    outcomes = [FileOutcome(path=path, rel=project.rel(path)) for path in files]
    warnings: list[str] = []

    # Whatever the project's code prints goes to stderr: stdout is for our output (and --json).
    with contextlib.redirect_stdout(sys.stderr):
        owner, model_owner, built = _import_and_build(outcomes, files, warnings, progress)
    return _write(project, db, brimlay, outcomes, owner, model_owner, built, warnings, full=full)


def _import_and_build(
    outcomes: list[FileOutcome], files: list[Path], warnings: list[str], progress: bool
) -> tuple[dict[str, FileOutcome], dict[str, FileOutcome], dict[str, FactoryOutcome]]:
    # 1 + 2: import and collect.
    _forget_modules(files)
    bar = Progress("importing", len(outcomes), enabled=progress)
    owner: dict[str, FileOutcome] = {}
    model_owner: dict[str, FileOutcome] = {}
    dont_write_bytecode = sys.dont_write_bytecode
    # Sources change under the user's hands; never leave bytecode in their project.
    sys.dont_write_bytecode = True
    try:
        for outcome in outcomes:
            bar.step(outcome.rel)
            try:
                module = _import_source(outcome.path)
            except (Exception, SystemExit) as exc:
                outcome.error = _describe(exc)
                continue
            for name, factory in _defined_factories(module):
                if name in owner:
                    warnings.append(f"factory {name!r} of {outcome.rel} ignored: already defined in {owner[name].rel}")
                    continue
                owner[name] = outcome
                outcome.factories[name] = factory
            for obj_name, mark in _defined_models(module):
                if mark.factory in model_owner:
                    warnings.append(
                        f"model {obj_name!r} of {outcome.rel} ignored: {mark.factory!r} already has a model"
                        f" in {model_owner[mark.factory].rel}"
                    )
                    continue
                model_owner[mark.factory] = outcome
                outcome.models[mark.factory] = mark
    finally:
        sys.dont_write_bytecode = dont_write_bytecode
        bar.close()

    # 3: build every factory with its defaults.
    built: dict[str, FactoryOutcome] = {}
    bar = Progress("building", len(owner), enabled=progress)
    try:
        for name, outcome in owner.items():
            bar.step(name)
            try:
                outcome.factories[name]()
            except (Exception, SystemExit) as exc:
                built[name] = FactoryOutcome(name, outcome.rel, FAILED, _describe(exc))
            else:
                built[name] = FactoryOutcome(name, outcome.rel, SUCCESS)
    finally:
        bar.close()
    return owner, model_owner, built


def _write(
    project: Project,
    db: Any,
    brimlay: Any,
    outcomes: list[FileOutcome],
    owner: dict[str, FileOutcome],
    model_owner: dict[str, FileOutcome],
    built: dict[str, FactoryOutcome],
    warnings: list[str],
    *,
    full: bool,
) -> BuildReport:
    # 4: write.
    from tessaro.models import FactoryRecord

    def record(name: str, outcome: FileOutcome) -> FactoryRecord:
        factory = outcome.factories[name]
        result = built[name]
        return FactoryRecord(
            name=name,
            source=str(outcome.path),
            status=result.status,
            message=result.message,
            default_settings=dict(getattr(factory, "default_settings", {}) or {}),
        )

    registered = db.get_factories_by_source(*(o.path for o in outcomes))
    removed_factories: list[str] = []
    rewritten: set[str] = set()
    for outcome in outcomes:
        before = [n for n in registered.get(outcome.rel, []) if n not in owner]
        if outcome.error:
            outcome.stranded = before
            continue
        add = [record(name, outcome) for name in outcome.factories]
        db.update_factories(add, before)
        rewritten.update(outcome.factories)
        removed_factories.extend(before)

    if full:
        # Sources deleted from disk take their factories and models with them.
        gone = [
            name
            for name, rec in db.get_all_factories().items()
            if name not in owner and not (project.root / str(rec.source)).exists()
        ]
        if gone:
            db.update_factories([], gone)
            removed_factories.extend(gone)

    db.sync_from_kcl()

    live = {cell.name for cell in brimlay.kcl.tkcells.values()}
    prune = list(owner) if full else [n for n, r in built.items() if r.status != SUCCESS]
    if prune:
        stale = [
            component.name
            for components in db.get_components_by_factories(*prune).values()
            for component in components
            if component.name not in live
        ]
        if stale:
            db.remove_components(*stale)

    # A failure is kept in the record itself (status and message); the sync
    # above marks every factory with a live cell as built, so write them last.
    failures = [record(n, owner[n]) for n, r in built.items() if r.status != SUCCESS]
    stranded = [name for outcome in outcomes for name in outcome.stranded]
    if stranded:
        errors = {name: outcome for outcome in outcomes for name in outcome.stranded}
        for name, rec in db.get_factories_by_name(*stranded).items():
            source = errors[name]
            rec.source = str(source.path)
            rec.status = FAILED
            rec.message = f"{source.rel} failed to import: {source.error}"
            failures.append(rec)
    if failures:
        db.add_factories(*failures)
        rewritten.update(rec.name for rec in failures)

    model_results, vanished = _write_models(project, db, outcomes, model_owner, rewritten, full=full)

    counts = {name: len(c) for name, c in db.get_components_by_factories(*built).items()} if built else {}
    for result in built.values():
        result.components = counts.get(result.name, 0)
    return BuildReport(
        files=outcomes,
        factories=list(built.values()),
        models=model_results,
        removed_factories=list(dict.fromkeys(removed_factories)),
        removed_models=vanished,
        warnings=warnings,
    )


def _write_models(
    project: Project,
    db: Any,
    outcomes: list[FileOutcome],
    model_owner: dict[str, FileOutcome],
    rewritten: set[str],
    *,
    full: bool,
) -> tuple[list[ModelOutcome], list[str]]:
    """Register the models found; drop those their files no longer define. Returns the outcomes and the dropped."""
    from tessaro.models import ModelRecord

    models_before = db.get_all_models()
    imported = {o.rel for o in outcomes if not o.error}
    vanished = [
        name
        for name, rec in models_before.items()
        if name not in model_owner
        and (str(rec.source) in imported or (full and not (project.root / str(rec.source)).exists()))
    ]
    if vanished:
        db.remove_models(*vanished)

    factories_now = db.get_all_factories() if model_owner or rewritten else {}
    model_results: list[ModelOutcome] = []
    model_records = []
    for factory_name, outcome in model_owner.items():
        mark = outcome.models[factory_name]
        status, message = SUCCESS, ""
        target = factories_now.get(factory_name)
        if target is None:
            status, message = FAILED, f"no factory named {factory_name!r}"
        else:
            unknown = sorted(set(mark.settings) - set(target.default_settings or {}))
            if unknown:
                status, message = FAILED, f"{factory_name!r} has no setting(s) {', '.join(map(repr, unknown))}"
        model_results.append(ModelOutcome(factory_name, outcome.rel, status, message))
        model_records.append(
            ModelRecord(
                factory=factory_name,
                settings=mark.settings_json(),
                source=str(outcome.path),
                pdk_type=mark.pdk_type,
                status=status,
                message=message,
            )
        )
    if model_records:
        db.add_models(*model_records)
    # Writing a factory record clears its model flag; give it back to those
    # whose model was not just (re-)registered.
    keep_flag = [n for n in rewritten if n in models_before and n not in vanished and n not in model_owner]
    keep_flag = [n for n in keep_flag if n in factories_now]
    if keep_flag:
        db.set_factories_has_model_by_names(*sorted(keep_flag), has_model=True)
    return model_results, vanished


def _describe(exc: BaseException) -> str:
    text = str(exc).strip().replace("\n", " ")
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _defined_factories(module: ModuleType) -> list[tuple[str, Callable[..., Any]]]:
    """The brimlay factories that ``module`` defines itself, by factory name, in definition order."""
    found: dict[str, Callable[..., Any]] = {}
    for obj in list(vars(module).values()):
        try:
            if getattr(obj, "is_brimlay_factory", False) is not True:
                continue
            if getattr(obj, "__module__", None) != module.__name__:
                continue
            name = obj.factory_name
        except Exception:
            continue
        if isinstance(name, str) and name and name not in found:
            found[name] = obj
    return list(found.items())


def _defined_models(module: ModuleType) -> list[tuple[str, ModelMark]]:
    found = []
    seen: set[int] = set()
    for attr, obj in list(vars(module).items()):
        mark = model_mark(obj)
        if mark is None or id(obj) in seen:
            continue
        try:
            if getattr(obj, "__module__", None) != module.__name__:
                continue
        except Exception:
            continue
        seen.add(id(obj))
        found.append((getattr(obj, "__name__", attr), mark))
    return found


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


def _forget_modules(files: list[Path]) -> None:
    """Drop earlier imports of ``files`` so that this build runs their current text."""
    wanted = set(files)
    basenames = {path.name for path in files}
    for name, module in list(sys.modules.items()):
        file = getattr(module, "__file__", None)
        if isinstance(file, str) and Path(file).name in basenames and Path(file).resolve() in wanted:
            del sys.modules[name]
