"""The engine that ``build``, ``watch`` and the queries share.

A build works out what the registry should hold and writes only the
difference, all at once (``tessaro.cli.registry``):

1. plan: which files changed since the last build (content hash), which files
   import them (transitively, from the recorded imports), and so which
   factories must be rebuilt: those the files define and, from the recorded
   graph, every factory that uses one of them;
2. import those files in a build worker, a fresh process
   (``tessaro.cli.worker``) that returns plain data, and build those factories
   in batches on one or more workers (``tessaro.cli.schedule``; on a Dask
   cluster with ``scheduler``); the calls build whatever the factories use,
   except the cells that the cell store (``tessaro.cli.store``) or an earlier
   batch of this build already holds, which come back as they were made;
3. reconcile: every factory, component and model the registry should now
   hold. A rebuilt factory contributes the cells its build uses; every other
   factory keeps the cells recorded for it, which are what its build would
   make again, since neither its code nor anything it uses changed. Factory
   edges come from the cells: a factory uses another when one of its cells
   places (or its build asks for) a cell of the other. A failing factory keeps
   the edges recorded before, and what its failed build asked for;
4. write the rows that differ, so that untouched rows keep their
   ``last_updated``; then keep the cells made in the cell store.

``build --all`` runs the same steps with every file treated as changed and
without the store (which it rewrites), so an incremental build and a full one
from the same registry agree.
"""

from __future__ import annotations

import difflib
import json
import os
import sqlite3
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

from tessaro.cli.depgraph import DepGraph, closure, direct_factories, importers
from tessaro.cli.errors import CliError, RegistryBusy
from tessaro.cli.project import Project, file_hash, import_folders
from tessaro.cli.registry import (
    FactoryNote,
    FileState,
    Snapshot,
    StaleRegistry,
    Tables,
    batched,
    build_lock,
    read_snapshot,
    read_tables,
    write_atomically,
)
from tessaro.cli.schedule import Batch, Workers, dispatch, plan_batches, run_ahead, widest
from tessaro.cli.store import CellStore, Supply
from tessaro.cli.worker import BuildWorker, ClusterWorkers, LocalWorkers, failed_build, reap

__all__ = ["BuildReport", "Built", "Engine", "FAILED", "Imported", "SUCCESS"]

SUCCESS = "SUCCESS"
FAILED = "FAILED"
# Row positions of a stored factory (see ``FactoryRecord.to_db_tuple``).
_SOURCE, _STATUS, _MESSAGE, _SETTINGS, _PARENTS, _CHILDREN = 1, 2, 3, 4, 6, 7
_MODEL_STATUS = 4  # of a stored model row


@dataclass
class Imported:
    """One project file as the build's worker saw it (every field as the worker sent it)."""

    rel: str
    hash: str | None
    source: bool
    executed: bool  # its module ran in this build (so ``imports`` is complete)
    imports: list[str]
    defines: list[str]  # every factory name it defines, duplicates included
    factories: list[str]
    models: dict[str, list[Any]]  # factory -> [settings JSON, pdk type, error]
    error: str | None
    where: str | None
    traceback: str | None


@dataclass
class Built:
    """The outcome of building one factory with its default settings (every field as the worker sent it)."""

    name: str
    status: str
    message: str
    where: str | None
    traceback: str | None
    asked: list[str]  # a failed build: the factories it called first
    cell: str | None  # the name of its cell
    settings: str  # its default settings, as stored
    seconds: float  # how long its build took

    @property
    def ok(self) -> bool:
        return self.status == SUCCESS


@dataclass
class BuildReport:
    """What a build did, for the summary, ``--json`` and ``watch``."""

    full: bool
    changed: dict[str, str] = field(default_factory=dict)  # file -> why it is rebuilt ("changed", "new", ...)
    files: list[Imported] = field(default_factory=list)  # the sources imported
    built: dict[str, Built] = field(default_factory=dict)  # the factories rebuilt
    rebuilt_because: dict[str, str] = field(default_factory=dict)
    factories: dict[str, tuple[Any, ...]] = field(default_factory=dict)  # every registered factory's row
    components: dict[str, int] = field(default_factory=dict)  # factory -> number of components
    models: dict[str, tuple[Any, ...]] = field(default_factory=dict)
    rewritten: list[str] = field(default_factory=list)
    removed_factories: list[str] = field(default_factory=list)
    removed_models: list[str] = field(default_factory=list)
    changed_models: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    written: bool = False
    workers: int = 0  # build workers started (tasks sent, on a cluster)
    before: dict[str, str] = field(default_factory=dict)  # factory -> its status before this build
    restored: list[str] = field(default_factory=list)  # cells brought back from the cell store
    store_size: int = 0  # bytes
    notes: list[str] = field(default_factory=list)  # said on stderr; no failure

    @property
    def failed(self) -> bool:
        """Whether anything failed in this build, or the registry still holds a failure."""
        return (
            any(f.error for f in self.files)
            or any(not b.ok for b in self.built.values())
            or bool(self.failing)
            or any(row[_MODEL_STATUS] != SUCCESS for row in self.models.values())
            or bool(self.warnings)
        )

    @property
    def failing(self) -> list[str]:
        """The registered factories that failed, in this build or before it."""
        return sorted(name for name, row in self.factories.items() if row[_STATUS] != SUCCESS)

    @property
    def unchanged(self) -> int:
        return len(self.factories) - len(set(self.built) & set(self.factories))


@dataclass
class _Plan:
    full: bool
    changed: dict[str, str]
    sources: list[str]  # to import (project-relative)
    rebuild: set[str]  # factory names to rebuild (those that still exist)
    because: dict[str, str]
    why: str  # the reason for a factory not in ``because``
    graph: DepGraph | None = None  # the recorded one, when the plan needed it


@dataclass
class _Outcome:
    """What the worker returned, and the ownership of names it settled."""

    files: dict[str, Imported]  # every project file the worker saw
    imported: dict[str, Imported]  # the sources it imported
    owner: dict[str, str]  # factory -> the source that defines it (first in path order)
    built: dict[str, Built]
    cells: dict[str, dict[str, Any]]  # cell -> {"factory", "row", "uses", "reads", "restored", "file", "data"}
    inputs: dict[str, list[str]]  # rebuilt factory -> files its build imported or read
    supply: Supply  # the cells made before and in this build


class Engine:
    """One project's registry: planning, building and writing it, and reading it back."""

    def __init__(self, project: Project) -> None:
        self.project = project
        self._hashes: dict[str, str | None] = {}  # project file -> content hash, within one build

    def file_hash(self, rel: str) -> str | None:
        if rel not in self._hashes:
            self._hashes[rel] = file_hash(self.project.root / rel)
        return self._hashes[rel]

    # -- reading -----------------------------------------------------------------

    def snapshot(self, *, cells: bool = False) -> Snapshot:
        return read_snapshot(self.project.db_path, cells=cells)

    def sources(self) -> tuple[dict[str, Path], list[str]]:
        """The sources that can be built, by project-relative path, and a warning for each file whose name
        cannot be stored."""
        found, skipped = {}, []
        for rel, path in self.project.source_files().items():
            if _unstorable(rel):
                skipped.append(f"skipped {_unstorable(str(path))}: its name is not valid UTF-8 (rename the file)")
                continue
            found[rel] = path
        return found, skipped

    def changed_sources(self, snap: Snapshot, sources: Mapping[str, Path] | None = None) -> dict[str, str]:
        """Project files whose content differs from the last build (nothing is imported)."""
        changed: dict[str, str] = {}
        if self.file_hash("pyproject.toml") != snap.config:
            changed["pyproject.toml"] = "changed"
        now = sources if sources is not None else self.sources()[0]
        for rel in now:
            state = snap.files.get(rel)
            if state is None or not state.source:
                changed[rel] = "new"
            elif state.hash != self.file_hash(rel):
                changed[rel] = "changed"
        for rel, state in snap.files.items():
            if rel in now:
                continue
            if state.source:
                changed[rel] = "deleted" if not (self.project.root / rel).exists() else "no longer a source"
            elif state.hash != self.file_hash(rel):
                changed[rel] = "changed" if (self.project.root / rel).exists() else "deleted"
        return changed

    # -- building ----------------------------------------------------------------

    def build(
        self,
        *,
        everything: bool = False,
        only: list[Path] | None = None,
        progress: Callable[[int, int, int, str], None] | None = None,
        on_wait: Callable[[str], None] | None = None,
        what: str = "tessaro build",
        jobs: int | None = None,
        scheduler: str | None = None,
    ) -> BuildReport:
        """Bring the registry in step with the sources; see the module docstring.

        ``jobs``: build workers at most (default: one per core, as many as the
        work warrants); ``scheduler``: the address of a Dask scheduler to send
        the batches to. ``progress`` hears (factories built, of how many,
        workers busy, what runs).
        """
        try:
            for _ in range(5):
                self._hashes = {}
                snap = self.snapshot(cells=True)
                tables = read_tables(self.project.db_path)
                sources, skipped = self.sources()
                plan = self._plan(snap, tables, sources, everything=everything, only=only)
                report = BuildReport(full=plan.full, changed=plan.changed, warnings=skipped,
                                     before={name: row[_STATUS] for name, row in tables.factories.items()})
                if not sources and tables.factories and not everything:
                    configured = ", ".join(self.project.sources_setting) or "none"
                    report.warnings.append(
                        f"no source files under the configured sources ({configured}): the registry's"
                        f" {len(tables.factories)} factories are kept ('tessaro build --all' removes them)")
                    report.factories, report.models = tables.factories, tables.models
                    return report
                if not plan.sources and not plan.changed and not plan.rebuild:
                    report.factories, report.models = tables.factories, tables.models
                    defines = {rel: state.defines for rel, state in snap.files.items() if state.source}
                    report.warnings.extend(_duplicates(defines)[1])
                    return report
                outcome = self._run(snap, tables, plan, sources, report, progress, jobs, scheduler)
                state, writes = self._reconcile(snap, tables, plan, outcome, report, sources)
                same_state = (state.files, state.notes, state.uses, state.inputs, state.config) == (
                    snap.files, snap.notes, snap.uses, snap.inputs, snap.config)
                with build_lock(self.project.db_path, what, on_wait=on_wait):
                    if writes.any() or not same_state:
                        try:
                            write_atomically(snap, writes.apply, state)
                        except StaleRegistry:
                            continue  # planned again from a fresh snapshot, with a fresh worker
                        report.written = True
                    self._keep_cells(plan, outcome, state, report)
                return report
            raise RegistryBusy(
                "the registry kept changing during the build (another program is writing it); try again")
        finally:
            reap()  # the workers end while the registry is written

    def _plan(self, snap: Snapshot, tables: Tables, sources: dict[str, Path], *, everything: bool,
              only: list[Path] | None) -> _Plan:
        project = self.project
        full = everything or not snap.recorded or self.file_hash("pyproject.toml") != snap.config
        if full and only is None:
            if everything:
                reason = "--all"
            elif not snap.recorded:
                reason = "no dependency record yet"
            else:
                reason = "pyproject.toml changed"
            changed = {rel: reason for rel in sources}
            return _Plan(True, changed, list(sources), set(tables.factories), {}, reason)
        if only is not None:
            changed = {project.rel(path): "given" for path in only}
        else:
            changed = self.changed_sources(snap, sources)
            changed.pop("pyproject.toml", None)
        for name, row in tables.factories.items():
            if not isinstance(name, str) or not name:  # see _Writes: their sources are written anew
                changed.setdefault(str(row[_SOURCE]), "holds rows without a usable name")
        through = closure(changed, importers(snap.files))
        because = {name: reason.summary for name, reason in direct_factories(changed, snap).items()}
        graph = _recorded_graph(tables)
        for user, used in closure(because, graph.used_by).items():
            if used is not None:
                because[user] = f"uses {used}"
        rebuild = set(because)
        wanted = (set(through) | self._owner_files(snap, tables, rebuild)) & set(sources)
        to_import = [rel for rel in sources if rel in wanted]
        return _Plan(False, changed, to_import, rebuild, because, "its file changed", graph)

    @staticmethod
    def _owner_files(snap: Snapshot, tables: Tables, names: set[str]) -> set[str]:
        """The files of ``names`` and every other file defining one of them (which owns a name may change)."""
        found = {tables.factories[n][_SOURCE] for n in names if n in tables.factories}
        found |= {rel for rel, f in snap.files.items() if f.source and not names.isdisjoint(f.defines)}
        return found

    def _run(self, snap: Snapshot, tables: Tables, plan: _Plan, sources: dict[str, Path], report: BuildReport,
             progress: Callable[[int, int, int, str], None] | None, jobs: int | None,
             scheduler: str | None) -> _Outcome:
        """Import in a worker, with whatever the imports show must be rebuilt; build in batches on the workers."""
        project = self.project
        planned = set(plan.sources)
        rebuild, because = set(plan.rebuild), dict(plan.because)
        imports = {rel: state.imports for rel, state in snap.files.items()}
        store = CellStore(project.cell_store)
        supply = Supply(None if plan.full else store, self.file_hash, imports, snap.uses)

        def step(kind: str, what: str) -> None:
            if progress is not None:
                progress(0, 0, 1, f"{kind} {what}")

        folders = import_folders(list(sources.values()))
        graph = plan.graph if plan.graph is not None else _recorded_graph(tables)
        first = BuildWorker(project, folders, step)
        # A cluster is connected to while the sources are imported here.
        workers: Workers | None = ClusterWorkers(project, folders, scheduler, jobs) if scheduler is not None else None
        try:
            def meanwhile() -> None:
                """What the command can do ahead while the worker imports: load what writing needs, read
                the stored cells the planned factories may bring back."""
                import tessaro.core.database  # noqa: F401

                if supply.store is not None:
                    supply.for_cells(sorted(plan.rebuild))

            files = {rel: Imported(rel, **data)
                     for rel, data in first.import_sources(plan.sources, meanwhile=meanwhile).items()}
            while True:
                imported = {rel: files[rel] for rel in planned if rel in files}
                owner, _ = _duplicates(_defines(snap, imported, sources))
                # What the imported changed files define is rebuilt, and so is every recorded user of it.
                for rel, entry in imported.items():
                    previous = snap.files.get(rel)
                    if rel in plan.changed or plan.full or previous is None or previous.error:
                        for name in entry.factories:
                            if owner.get(name) == rel and name not in because:
                                because[name] = plan.why
                for user, used in closure(because, graph.used_by).items():
                    if used is not None and user not in because:
                        because[user] = f"uses {used}"
                rebuild = set(because)
                more = (self._owner_files(snap, tables, rebuild) | {owner[n] for n in rebuild if n in owner})
                missing = sorted(rel for rel in more if rel in sources and rel not in planned)
                if not missing:
                    break
                planned.update(missing)
                files.update({rel: Imported(rel, **data) for rel, data in
                              first.import_sources(missing).items()})
            order = sorted((n for n in rebuild if n in owner and n in imported[owner[n]].factories),
                           key=lambda n: (owner[n], n))
            uses, groups = _order_hints(order, owner, tables, files)
            if workers is None:
                workers = LocalWorkers(project, jobs or _cores(), first)
            built: dict[str, Built] = {}
            cells: dict[str, dict[str, Any]] = {}
            inputs: dict[str, list[str]] = {}

            def task(batch: Batch) -> dict[str, Any]:
                names = [name for name, _ in batch.factories]
                new = {f for n in names if n not in tables.factories for used in uses[n] for f in groups[used]}
                return {"imports": sorted({rel for _, rel in batch.factories}), "factories": batch.factories,
                        "cells": supply.for_cells(names, new)}

            def done(batch: Batch, reply: dict[str, Any]) -> None:
                """Merge a reply into the build's outcome (a cell brought back is known already)."""
                if "error" in reply:
                    raise CliError(reply["error"])
                if "failed" in reply:  # the task died on the way (not the project's code: it runs in its own process)
                    failed = failed_build(f"its build task failed: {reply['failed']}")
                    reply = {"built": {name: failed for name, _ in batch.factories}, "cells": {}, "inputs": {},
                             "files": {}}
                else:
                    supply.add(reply["cells"], reply["versions"])
                for rel, data in reply["files"].items():
                    if rel not in files or (data["executed"] and not files[rel].executed):
                        files[rel] = Imported(rel, **data)
                built.update((name, Built(name, **data)) for name, data in reply["built"].items())
                for name, cell in reply["cells"].items():
                    if name not in cells or (cells[name]["restored"] and not cell["restored"]):
                        cells[name] = cell
                inputs.update(reply["inputs"])

            left = order
            if isinstance(workers, ClusterWorkers):
                # Dask's import and the connection take a quarter of a second: meanwhile the worker that
                # imported the sources builds what is ready, a little at a time.
                def counted(kind: str, what: str) -> None:
                    if progress is not None:
                        progress(len(built), len(order), 1, f"{kind} {what}")

                first.step = counted
                left = run_ahead(order, owner, uses, snap.times, groups, lambda b: done(b, first.run(task(b))),
                                 workers.connecting)
                first.__exit__(None)
            batches = plan_batches(left, owner, uses, snap.times, workers.slots, split=jobs is not None,
                                   groups=groups)
            if isinstance(workers, LocalWorkers):
                workers.start(widest(batches))
            dispatch(batches, workers, task, done, progress, already=len(order) - len(left))
        except BaseException:
            if workers is not None:
                workers.close(stop=True)
            first.__exit__(KeyboardInterrupt)
            raise
        workers.close(stop=False)
        report.workers = workers.started + (first.started if scheduler is not None else 0)
        imported = {rel: files[rel] for rel in sorted(planned) if rel in files}
        report.files = list(imported.values())
        report.rebuilt_because = {n: because.get(n, plan.why) for n in order}
        report.built = built
        report.restored = sorted(n for n, cell in cells.items() if cell["restored"] and n in supply.from_store)
        return _Outcome(files, imported, owner, built, cells, inputs, supply)

    def _keep_cells(self, plan: _Plan, outcome: _Outcome, state: Snapshot, report: BuildReport) -> None:
        """Keep the cells this build made in the cell store, and only those the registry references."""
        store = CellStore(self.project.cell_store)
        kept = set(state.uses)
        entries = outcome.supply.keep(kept, {rel: f.hash for rel, f in state.files.items()},
                                      {rel: f.imports for rel, f in state.files.items()})
        try:
            store.write(entries, kept, fresh=plan.full)
        except (OSError, sqlite3.Error) as exc:
            report.notes.append(f"the cell store {store.path} could not be written ({exc}):"
                                " the next build makes those cells again")
        report.store_size = store.size()

    def _reconcile(self, snap: Snapshot, tables: Tables, plan: _Plan, outcome: _Outcome, report: BuildReport,
                   sources: dict[str, Path]) -> tuple[Snapshot, _Writes]:
        """What the registry should now hold, from the worker's outcome and the recorded rest."""
        source_rels = set(sources)
        report.warnings.extend(_duplicates(_defines(snap, outcome.imported, source_rels))[1])
        rows, notes = _factory_rows(snap, tables, outcome, report)
        component_rows, uses = _component_rows(snap, tables, outcome, rows)
        _edges(tables, outcome, rows, component_rows, uses)
        factory_rows = {name: tuple(row) for name, row in rows.items()}
        model_rows = _model_rows(tables, outcome.imported, source_rels, factory_rows, report)
        state = self._state(snap, plan, outcome, source_rels, factory_rows)
        state.notes, state.uses = notes, uses

        writes = _Writes(self.project, tables, factory_rows, component_rows, model_rows)
        report.factories = factory_rows
        report.models = model_rows
        counts: dict[str, int] = {}
        for component in component_rows.values():
            counts[component[1]] = counts.get(component[1], 0) + 1
        report.components = counts
        if writes.bad:
            report.warnings.append(f"removed stored factory rows without a usable name ({', '.join(writes.bad)})")
        report.rewritten = sorted(writes.factories)
        report.removed_factories = sorted(writes.gone_factories)
        report.removed_models = sorted(writes.gone_models)
        report.changed_models = sorted(writes.models)
        return state, writes

    def _state(self, snap: Snapshot, plan: _Plan, outcome: _Outcome, source_rels: set[str],
               factories: Mapping[str, tuple[Any, ...]]) -> Snapshot:
        """The command line's own record: every source and the project files they depend on."""
        project, files = self.project, outcome.files
        state = Snapshot(path=snap.path, exists=True, counter=None, version=snap.version,
                         config=self.file_hash("pyproject.toml"), generation=snap.generation + 1)
        for rel in source_rels:
            entry = outcome.imported.get(rel)
            if entry is not None:
                state.files[rel] = _file_state(entry, snap.files.get(rel), plan.full or rel in plan.changed)
            elif rel in snap.files:
                state.files[rel] = snap.files[rel]
        for name in factories:
            if name in outcome.built:
                state.inputs[name] = outcome.inputs.get(name, [])
                state.times[name] = outcome.built[name].seconds
            else:
                if name in snap.inputs:
                    state.inputs[name] = snap.inputs[name]
                if name in snap.times:
                    state.times[name] = snap.times[name]
        todo = [i for s in state.files.values() for i in s.imports]
        todo += [i for found in state.inputs.values() for i in found]
        while todo:
            rel = todo.pop()
            if rel in state.files:
                continue
            entry = files.get(rel)
            if entry is not None and (rel not in snap.files or rel in plan.changed or plan.full or entry.executed):
                state.files[rel] = _file_state(entry, snap.files.get(rel), plan.full or rel in plan.changed)
            elif rel in snap.files and (project.root / rel).is_file():
                # No longer a source (or never one): what matters is its content and what it imports.
                state.files[rel] = replace(snap.files[rel], source=False, defines=[], models=[])
            else:
                continue
            todo.extend(state.files[rel].imports)
        return state


def _recorded_graph(tables: Tables) -> DepGraph:
    """Which factory uses which, as the registry records it."""
    return DepGraph({name: json.loads(row[_CHILDREN] or "[]") for name, row in tables.factories.items()})


def _cores() -> int:
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def _order_hints(order: list[str], owner: Mapping[str, str], tables: Tables,
                 files: Mapping[str, Imported]) -> tuple[dict[str, set[str]], dict[str, list[str]]]:
    """What each factory to build is expected to use: its recorded uses, or, never built, the factories of
    the files its file imports, as groups (one per file: ``groups`` maps it to the file's factories)."""
    by_file: dict[str, list[str]] = {}
    for name in order:
        by_file.setdefault(owner[name], []).append(name)
    groups: dict[str, list[str]] = {}
    hints: dict[str, set[str]] = {}
    for name in order:
        row = tables.factories.get(name)
        if row is not None:
            hints[name] = set(json.loads(row[_CHILDREN] or "[]"))
            continue
        rel = owner[name]
        imported = [other for other in (files[rel].imports if rel in files else []) if other in by_file]
        hints[name] = {"\0" + other for other in imported if other != rel}
        groups.update(("\0" + other, by_file[other]) for other in imported)
    return hints, groups


def _defines(snap: Snapshot, imported: Mapping[str, Imported], source_rels: Iterable[str]) -> dict[str, list[str]]:
    """Who defines what, in path order: this build's imports, else what the last build recorded."""
    defines: dict[str, list[str]] = {}
    for rel in sorted(source_rels):
        entry = imported.get(rel)
        if entry is not None and not entry.error:
            defines[rel] = entry.defines
        elif rel in snap.files:
            defines[rel] = snap.files[rel].defines
    return defines


def _duplicates(defines: Mapping[str, list[str]]) -> tuple[dict[str, str], list[str]]:
    """The owner of each name (the first file in path order) and a warning for each name defined again.

    Both are worked out from every source's definitions, imported now or
    recorded, so an incremental build and a full one agree on them.
    """
    owner: dict[str, str] = {}
    warnings: list[str] = []
    for rel in sorted(defines):
        for name in dict.fromkeys(defines[rel]):
            if name in owner:
                warnings.append(f"factory {name!r} of {rel} ignored: already defined in {owner[name]}")
            else:
                owner[name] = rel
    for rel, names in sorted(defines.items()):
        for name in dict.fromkeys(names):
            if _unstorable(name):
                owner.pop(name, None)
                warnings.append(f"factory '{_unstorable(name)}' of {rel} skipped: its name is not valid Unicode text")
    return owner, warnings


def _unstorable(text: str) -> str | None:
    """None for text the registry can store; else the text with what it cannot store escaped, for a message."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")
    return None


def _factory_rows(snap: Snapshot, tables: Tables, outcome: _Outcome,
                  report: BuildReport) -> tuple[dict[str, list[Any]], dict[str, FactoryNote]]:
    """Each owned factory's row (edges filled in later) and the notes of the failing ones."""
    rows: dict[str, list[Any]] = {}
    notes: dict[str, FactoryNote] = {}
    for name, rel in outcome.owner.items():
        old = tables.factories.get(name)
        entry = outcome.imported.get(rel)
        result = outcome.built.get(name)
        if result is not None and entry is not None:
            status, message = (SUCCESS, "") if result.ok else (FAILED, result.message)
            rows[name] = [name, rel, status, message, result.settings, "generic", None, None, False, "[]", "[]"]
            if not result.ok:
                notes[name] = FactoryNote(result.where, result.traceback)
        elif entry is not None and entry.error:
            if old is None:
                continue
            # Kept as last built (settings, edges, components), marked failing until the file imports again.
            rows[name] = [*old[:2], FAILED, f"{rel} failed to import: {entry.error}", *old[4:]]
            rows[name][_SOURCE] = rel
            notes[name] = FactoryNote(entry.where, entry.traceback)
        elif old is not None:
            rows[name] = list(old)
            rows[name][_SOURCE] = rel
            if name in snap.notes:
                notes[name] = snap.notes[name]
        # A name with neither a build nor a row (defined by a file that was not imported now) waits.
    return rows, notes


def _component_rows(snap: Snapshot, tables: Tables, outcome: _Outcome,
                    rows: Mapping[str, list[Any]]) -> tuple[dict[str, tuple[Any, ...]], dict[str, list[str]]]:
    """The cells the rebuilt factories use, and the recorded cells of every other factory."""
    component_rows: dict[str, tuple[Any, ...]] = {}
    uses: dict[str, list[str]] = {}
    for cell, data in outcome.cells.items():
        if data["row"] is not None and data["factory"] in rows:
            component_rows[cell] = tuple(data["row"])
            uses[cell] = data["uses"]
    for name in rows:
        if name in outcome.built:
            continue
        todo = [name]  # its cell with default settings, and the cells that one uses
        while todo:
            cell = todo.pop()
            if cell in component_rows or cell not in tables.components:
                continue
            if tables.components[cell][1] not in rows:  # removing a factory removes its components
                continue
            component_rows[cell] = tables.components[cell]
            uses[cell] = snap.uses.get(cell, [])
            todo.extend(uses[cell])
    return component_rows, uses


def _edges(tables: Tables, outcome: _Outcome, rows: Mapping[str, list[Any]],
           component_rows: Mapping[str, tuple[Any, ...]], uses: Mapping[str, list[str]]) -> None:
    """Fill in each row's users and uses: from the cells; a failing factory keeps those it had."""
    factory_of = {cell: data["factory"] for cell, data in outcome.cells.items()}
    factory_of.update((cell, row[1]) for cell, row in component_rows.items())
    children: dict[str, set[str]] = {name: set() for name in rows}
    for cell, used in uses.items():
        parent = factory_of.get(cell)
        if parent not in children:
            continue
        for other in used:
            child = factory_of.get(other)
            if child in children:
                children[parent].add(child)
    for name, row in rows.items():
        if row[_STATUS] == SUCCESS:
            continue
        if name in tables.factories:
            children[name].update(c for c in json.loads(tables.factories[name][_CHILDREN] or "[]") if c in rows)
        if name in outcome.built:
            children[name].update(c for c in outcome.built[name].asked if c in rows)
    parents: dict[str, set[str]] = {name: set() for name in rows}
    for name, kids in children.items():
        for kid in kids:
            parents[kid].add(name)
    for name, row in rows.items():
        row[_PARENTS] = json.dumps(sorted(parents[name]))
        row[_CHILDREN] = json.dumps(sorted(children[name]))


def _model_rows(tables: Tables, imported: Mapping[str, Imported], source_rels: set[str],
                factory_rows: Mapping[str, tuple[Any, ...]], report: BuildReport) -> dict[str, tuple[Any, ...]]:
    """The model rows the registry should hold: one per factory that a source gives a model.

    A model of a name no factory has stays listed, FAILED, until its mark is
    fixed, so every build says so.
    """
    marked: dict[str, tuple[str, str, str, str | None]] = {}  # factory -> (file, settings, pdk, error)
    by_file: dict[str, list[str]] = {}
    for factory, row in tables.models.items():
        by_file.setdefault(row[2], []).append(factory)
    for rel in sorted(source_rels):
        entry = imported.get(rel)
        found: list[tuple[str, str, str, str | None]]
        if entry is not None and not entry.error:
            found = [(f, settings, pdk, error) for f, (settings, pdk, error) in entry.models.items()]
        else:
            error = f"{rel} failed to import: {entry.error}" if entry is not None else None
            found = [(f, tables.models[f][1], tables.models[f][3], error or _kept_error(tables.models[f]))
                     for f in by_file.get(rel, [])]
        for factory, settings, pdk, error in found:
            if factory in marked:
                report.warnings.append(
                    f"model of {factory!r} in {rel} ignored: it already has a model in {marked[factory][0]}")
                continue
            marked[factory] = (rel, settings, pdk, error)
    rows: dict[str, tuple[Any, ...]] = {}
    for factory, (rel, settings, pdk, error) in marked.items():
        target = factory_rows.get(factory)
        status, message = SUCCESS, ""
        if error is not None:
            status, message = FAILED, error
        elif target is None:
            close = difflib.get_close_matches(factory, list(factory_rows), n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            status, message = FAILED, f"no factory named {factory!r}{hint}"
        else:
            unknown = sorted(set(json.loads(settings)) - set(json.loads(target[_SETTINGS])))
            if unknown:
                status, message = FAILED, f"{factory!r} has no setting(s) {', '.join(map(repr, unknown))}"
        rows[factory] = (factory, settings, rel, pdk, status, message)
    return rows


def _kept_error(row: tuple[Any, ...]) -> str | None:
    """A recorded model's own failure that only its source can fix (an unknown factory is judged anew)."""
    message = row[5] or ""
    return None if row[4] == SUCCESS or message.startswith("no factory named") else message


def _file_state(entry: Imported, old: FileState | None, changed: bool) -> FileState:
    imports = sorted(entry.imports) if entry.executed or old is None else old.imports
    if old is not None and (entry.error or not changed):
        # What it imported before failing is not all it imports; and an unchanged file still
        # imports what the builds of its factories that were not rebuilt imported last time.
        imports = sorted(set(imports) | set(old.imports))
    return FileState(
        hash=entry.hash or "",
        imports=imports,
        defines=list(entry.defines) if not entry.error else (old.defines if old else []),
        models=sorted(entry.models) if not entry.error else (old.models if old else []),
        source=entry.source,
        error=entry.error,
        where=entry.where,
        traceback=entry.traceback,
    )

class _Writes:
    """The registry calls that turn the stored tables into the wanted ones, in batches."""

    def __init__(self, project: Project, tables: Tables, factories: dict[str, tuple[Any, ...]],
                 components: dict[str, tuple[Any, ...]], models: dict[str, tuple[Any, ...]]) -> None:
        self.project = project
        # Rows without a usable name (left by an older writer) cannot be addressed by any registry
        # operation; the atomic write drops them (see ``tessaro.cli.registry``).
        self.bad = sorted(repr(n) for n in tables.factories if not isinstance(n, str) or not n)
        if self.bad:
            tables = Tables(
                factories={n: r for n, r in tables.factories.items() if isinstance(n, str) and n},
                components={n: r for n, r in tables.components.items() if isinstance(n, str) and n},
                models=tables.models,
            )
        self.gone_components = sorted(set(tables.components) - set(components))
        self.components = {n: r for n, r in components.items() if tables.components.get(n) != r}
        self.gone_factories = sorted(set(tables.factories) - set(factories))
        owners = {row[1] for row in self.components.values()}
        self.factories = {
            n: r for n, r in factories.items() if tables.factories.get(n) != r or n in owners
        }
        self.gone_models = sorted(set(tables.models) - set(models))
        self.models = {n: r for n, r in models.items() if tables.models.get(n) != r}
        self.flags = sorted(n for n in self.factories if n in models and n not in self.models)

    def any(self) -> bool:
        return bool(self.bad or self.gone_components or self.components or self.gone_factories
                    or self.factories or self.gone_models or self.models)

    def apply(self) -> None:
        import tessaro.core.database as db
        from tessaro.models import ComponentRecord, FactoryRecord, ModelRecord

        root = self.project.root
        for names in batched(self.gone_components):
            db.remove_components(*names)
        for names in batched(self.gone_factories):
            db.update_factories([], list(names))
        components = [
            ComponentRecord(name=r[0], factory_name=r[1], ports=r[2], settings=r[3], info=r[4])
            for r in self.components.values()
        ]
        for records in batched(components):
            db.add_components(*records)
        factories = [
            FactoryRecord(name=r[0], source=str(root / r[1]), status=r[2], message=r[3], default_settings=r[4],
                          pdk_type=r[5], parents=r[6], children=r[7], is_partial=r[8], tags=r[9],
                          ignored_sources=r[10])
            for r in self.factories.values()
        ]
        for records in batched(factories):
            db.add_factories(*records)
        for names in batched(self.gone_models):
            db.remove_models(*names)
        models = [
            ModelRecord(factory=r[0], settings=r[1], source=str(root / r[2]), pdk_type=r[3], status=r[4],
                        message=r[5])
            for r in self.models.values()
        ]
        for records in batched(models):
            db.add_models(*records)
        for names in batched(self.flags):
            db.set_factories_has_model_by_names(*names, has_model=True)
