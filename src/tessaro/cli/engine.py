"""The engine that ``build``, ``watch`` and the queries share.

A build works out what the registry should hold and writes only the
difference, all at once (``tessaro.cli.registry``):

1. plan: which files changed since the last build (content hash), which files
   import them (transitively, from the recorded imports), and so which
   factories must be rebuilt: those the files define and, from the recorded
   graph, every factory that uses one of them;
2. import those files and build those factories (``tessaro.cli.builder``);
   the calls build whatever the factories use;
3. reconcile: every factory, component and model the registry should now
   hold. A rebuilt factory contributes the cells its build uses; every other
   factory keeps the cells recorded for it, which are what its build would
   make again, since neither its code nor anything it uses changed. Factory
   edges come from the cells: a factory uses another when one of its cells
   places (or its build asks for) a cell of the other. A failing factory keeps
   the edges recorded before, and what its failed build asked for;
4. write the rows that differ, so that untouched rows keep their
   ``last_updated``.

``build --all`` runs the same steps with every file treated as changed, so
an incremental build and a full one from the same registry agree.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

from tessaro.cli.builder import Built, Imported, build_factories, cell_uses, file_hash, import_sources
from tessaro.cli.depgraph import DepGraph, closure, importers
from tessaro.cli.errors import RegistryBusy
from tessaro.cli.project import Project
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

__all__ = ["BuildReport", "Engine", "SUCCESS", "FAILED"]

SUCCESS = "SUCCESS"
FAILED = "FAILED"
# Row positions of a stored factory (see ``FactoryRecord.to_db_tuple``).
_SOURCE, _STATUS, _SETTINGS, _PARENTS, _CHILDREN = 1, 2, 4, 6, 7
_MODEL_STATUS = 4  # of a stored model row


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
    sources: list[Path]  # to import
    forget: list[Path]  # modules to forget first
    rebuild: set[str]  # factory names to rebuild (those that still exist)
    because: dict[str, str]
    why: str  # the reason for a factory not in ``because``


class Engine:
    """One project's registry: planning, building and writing it, and reading it back."""

    def __init__(self, project: Project) -> None:
        self.project = project

    # -- reading -----------------------------------------------------------------

    def snapshot(self, *, cells: bool = False) -> Snapshot:
        return read_snapshot(self.project.db_path, cells=cells)

    def changed_sources(self, snap: Snapshot, sources: list[Path] | None = None) -> dict[str, str]:
        """Project files whose content differs from the last build (nothing is imported)."""
        changed: dict[str, str] = {}
        if file_hash(self.project.pyproject) != snap.config:
            changed["pyproject.toml"] = "changed"
        if sources is None:
            sources = self.project.default_sources()
        now = {self.project.rel(path): path for path in sources}
        for rel, path in now.items():
            state = snap.files.get(rel)
            if state is None or not state.source:
                changed[rel] = "new"
            elif state.hash != file_hash(path):
                changed[rel] = "changed"
        for rel, state in snap.files.items():
            if rel in now:
                continue
            if state.source:
                changed[rel] = "deleted" if not (self.project.root / rel).exists() else "no longer a source"
            elif state.hash != file_hash(self.project.root / rel):
                changed[rel] = "changed" if (self.project.root / rel).exists() else "deleted"
        return changed

    # -- building ----------------------------------------------------------------

    def build(
        self,
        *,
        everything: bool = False,
        only: list[Path] | None = None,
        step: Callable[[str, str], None] | None = None,
        on_wait: Callable[[str], None] | None = None,
        what: str = "tessaro build",
    ) -> BuildReport:
        """Bring the registry in step with the sources; see the module docstring."""
        for _ in range(5):
            snap = self.snapshot(cells=True)
            tables = read_tables(self.project.db_path)
            sources = self.project.default_sources()
            plan = self._plan(snap, tables, sources, everything=everything, only=only)
            report = BuildReport(full=plan.full, changed=plan.changed)
            if not sources and tables.factories and not everything:
                configured = ", ".join(self.project.sources_setting) or "none"
                report.warnings.append(
                    f"no source files under the configured sources ({configured}): the registry's"
                    f" {len(tables.factories)} factories are kept ('tessaro build --all' removes them)")
                report.factories, report.models = tables.factories, tables.models
                return report
            if not plan.sources and not plan.changed and not plan.rebuild:
                report.factories = tables.factories
                report.models = tables.models
                return report
            files = import_sources(self.project, plan.sources, plan.forget,
                                   known=[rel for rel, f in snap.files.items() if not f.source])
            state, writes = self._reconcile(snap, tables, plan, files, report, step, sources)
            same_state = (state.files, state.notes, state.uses, state.config) == (
                snap.files, snap.notes, snap.uses, snap.config)
            if not writes.any() and same_state:
                return report
            with build_lock(self.project.db_path, what, on_wait=on_wait):
                try:
                    write_atomically(snap, writes.apply, state)
                except StaleRegistry:
                    continue
            report.written = True
            return report
        raise RegistryBusy("the registry kept changing during the build (another program is writing it); try again")

    def _plan(self, snap: Snapshot, tables: Tables, sources: list[Path], *, everything: bool,
              only: list[Path] | None) -> _Plan:
        project = self.project
        source_rels = {project.rel(path): path for path in sources}
        full = everything or not snap.recorded or file_hash(project.pyproject) != snap.config
        if full and only is None:
            if everything:
                reason = "--all"
            elif not snap.recorded:
                reason = "no dependency record yet"
            else:
                reason = "pyproject.toml changed"
            changed = {rel: reason for rel in source_rels}
            # Everything is imported afresh, the project files the sources import included.
            forget = [*sources, *(project.root / rel for rel, state in snap.files.items() if not state.source)]
            return _Plan(True, changed, sources, forget, set(tables.factories), {}, reason)
        if only is not None:
            changed = {project.rel(path): "given" for path in only}
        else:
            changed = self.changed_sources(snap, sources)
            changed.pop("pyproject.toml", None)
        for name, row in tables.factories.items():
            if not isinstance(name, str) or not name:  # see _Writes: their sources are written anew
                changed.setdefault(str(row[_SOURCE]), "holds rows without a usable name")
        through = closure(changed, importers(snap.files))
        reimport = set(through)
        because: dict[str, str] = {}
        for rel in sorted(reimport):
            why = "its file changed" if through[rel] is None else f"its file imports {through[rel]}"
            for name in snap.files[rel].defines if rel in snap.files else ():
                because.setdefault(name, why)
        graph = DepGraph({name: json.loads(row[_CHILDREN] or "[]") for name, row in tables.factories.items()})
        for user, used in closure(because, graph.used_by).items():
            if used is not None:
                because[user] = f"uses {used}"
        rebuild = set(because)
        # The files of the factories to rebuild, and every other file defining one of those names
        # (which of them owns a name may change with this build).
        owner_files = {tables.factories[n][_SOURCE] for n in rebuild if n in tables.factories}
        owner_files |= {rel for rel, f in snap.files.items() if f.source and not rebuild.isdisjoint(f.defines)}
        wanted = (reimport | owner_files) & set(source_rels)
        to_import = [path for rel, path in source_rels.items() if rel in wanted]
        forget = [project.root / rel for rel in reimport | owner_files]
        return _Plan(False, changed, to_import, forget, rebuild, because, "its file changed")

    def _reconcile(self, snap: Snapshot, tables: Tables, plan: _Plan, files: dict[str, Imported],
                   report: BuildReport, step: Callable[[str, str], None] | None,
                   sources: list[Path]) -> tuple[Snapshot, _Writes]:
        project = self.project
        planned = set(plan.sources)
        imported = {rel: f for rel, f in files.items() if f.source and f.path in planned}
        report.files = list(imported.values())
        source_rels = {project.rel(path) for path in sources}

        # Who defines what: this build's imports, else what the last build recorded.
        defines: dict[str, list[str]] = {}
        for rel in sorted(source_rels):
            entry = imported.get(rel)
            if entry is not None and not entry.error:
                defines[rel] = entry.defines
            elif rel in snap.files:
                defines[rel] = snap.files[rel].defines
        owner: dict[str, str] = {}
        for rel, names in defines.items():
            for name in dict.fromkeys(names):
                if name in owner:
                    if rel in imported:
                        report.warnings.append(f"factory {name!r} of {rel} ignored: already defined in {owner[name]}")
                    continue
                owner[name] = rel

        # Build: the planned factories and everything the imported changed files define.
        rebuild = set(plan.rebuild)
        for rel, entry in imported.items():
            previous = snap.files.get(rel)
            if rel in plan.changed or plan.full or previous is None or previous.error:
                rebuild.update(n for n in entry.factories if owner.get(n) == rel)
        callables = {
            name: imported[owner[name]].factories[name]
            for name in sorted(rebuild, key=lambda n: (owner.get(n, ""), n))
            if name in owner and owner[name] in imported and name in imported[owner[name]].factories
        }
        report.rebuilt_because = {n: plan.because.get(n, plan.why) for n in callables}
        built = build_factories(project, callables, files,
                                step=(lambda name: step("building", name)) if step else None)
        report.built = built

        # Factory rows (edges filled in below) and notes.
        rows: dict[str, list[Any]] = {}
        notes: dict[str, FactoryNote] = {}
        for name, rel in owner.items():
            old = tables.factories.get(name)
            entry = imported.get(rel)
            if name in built and entry is not None:
                result = built[name]
                settings = _settings_text(entry.factories[name])
                status, message = (SUCCESS, "") if result.ok else (FAILED, result.message)
                rows[name] = [name, rel, status, message, settings, "generic", None, None, False, "[]", "[]"]
                if not result.ok:
                    notes[name] = FactoryNote(result.where, result.traceback)
            elif entry is not None and entry.error:
                if old is None:
                    continue
                rows[name] = [*old[:2], FAILED, f"{rel} failed to import: {entry.error}", *old[4:]]
                rows[name][_SOURCE] = rel
                notes[name] = FactoryNote(entry.where, entry.traceback)
            elif old is not None:
                rows[name] = list(old)
                rows[name][_SOURCE] = rel
                if name in snap.notes:
                    notes[name] = snap.notes[name]
            # A name with neither a build nor a row (defined by a file that was not imported now) waits.

        # Components: the cells of the rebuilt factories, and the recorded cells of the others.
        component_rows: dict[str, tuple[Any, ...]] = {}
        uses: dict[str, list[str]] = {}
        live = _live_cells(built.values())
        from tessaro.models import ComponentRecord

        for cell in live:
            component_rows[cell.name] = ComponentRecord.from_tkcell(cell).to_db_tuple()
            uses[cell.name] = [used.name for used in cell_uses(cell)]
        for name, row in rows.items():
            if name in built or row[_STATUS] != SUCCESS:
                continue
            todo = [name]
            while todo:
                cell = todo.pop()
                if cell in component_rows or cell not in tables.components:
                    continue
                component_rows[cell] = tables.components[cell]
                uses[cell] = snap.uses.get(cell, [])
                todo.extend(uses[cell])

        # Edges, from the cells; a failing factory keeps those it had.
        children: dict[str, set[str]] = {name: set() for name in rows}
        for cell, used in uses.items():
            parent = component_rows[cell][1]
            if parent not in children:
                continue
            for other in used:
                child = component_rows[other][1] if other in component_rows else None
                if child in children:
                    children[parent].add(child)
        for name, row in rows.items():
            if row[_STATUS] == SUCCESS:
                continue
            if name in tables.factories:
                children[name].update(c for c in json.loads(tables.factories[name][_CHILDREN] or "[]") if c in rows)
            if name in built:
                children[name].update(c for c in built[name].asked if c in rows)
        parents: dict[str, set[str]] = {name: set() for name in rows}
        for name, kids in children.items():
            for kid in kids:
                parents[kid].add(name)
        for name, row in rows.items():
            row[_PARENTS] = json.dumps(sorted(parents[name]))
            row[_CHILDREN] = json.dumps(sorted(children[name]))
        factory_rows = {name: tuple(row) for name, row in rows.items()}

        model_rows = self._models(snap, tables, imported, source_rels, factory_rows, report)

        # The command line's own record.
        state = Snapshot(path=snap.path, exists=True, counter=None, version=snap.version,
                         config=file_hash(project.pyproject), generation=snap.generation + 1)
        for rel in source_rels:
            entry = files.get(rel)
            if entry is not None and entry.path in planned:
                state.files[rel] = _file_state(entry, snap.files.get(rel), plan.full or rel in plan.changed)
            elif rel in snap.files:
                state.files[rel] = snap.files[rel]
        todo = [i for s in state.files.values() for i in s.imports]
        while todo:
            rel = todo.pop()
            if rel in state.files:
                continue
            entry = files.get(rel)
            if entry is not None and (rel not in snap.files or rel in plan.changed or plan.full):
                state.files[rel] = _file_state(entry, snap.files.get(rel), plan.full or rel in plan.changed)
            elif rel in snap.files and (project.root / rel).is_file():
                # No longer a source (or never one): what matters is its content and what it imports.
                state.files[rel] = replace(snap.files[rel], source=False, defines=[], models=[])
            else:
                continue
            todo.extend(state.files[rel].imports)
        state.notes = notes
        state.uses = uses

        writes = _Writes(project, tables, factory_rows, component_rows, model_rows)
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

    def _models(self, snap: Snapshot, tables: Tables, imported: dict[str, Imported], source_rels: set[str],
                factory_rows: dict[str, tuple[Any, ...]], report: BuildReport) -> dict[str, tuple[Any, ...]]:
        """The model rows the registry should hold: one per factory that a source gives a model."""
        marked: dict[str, tuple[str, str, str, str | None]] = {}  # factory -> (file, settings, pdk, import error)
        by_file: dict[str, list[str]] = {}
        for factory, row in tables.models.items():
            by_file.setdefault(row[2], []).append(factory)
        for rel in sorted(source_rels):
            entry = imported.get(rel)
            found: list[tuple[str, str, str, str | None]]
            if entry is not None and not entry.error:
                found = [(f, m.settings_json(), m.pdk_type, None) for f, m in entry.models.items()]
            else:
                error = f"{rel} failed to import: {entry.error}" if entry is not None else None
                found = [(f, tables.models[f][1], tables.models[f][3], error) for f in by_file.get(rel, [])]
            for factory, settings, pdk, error in found:
                if factory in marked:
                    if rel in imported:
                        report.warnings.append(
                            f"model of {factory!r} in {rel} ignored: it already has a model in {marked[factory][0]}"
                        )
                    continue
                marked[factory] = (rel, settings, pdk, error)
        rows: dict[str, tuple[Any, ...]] = {}
        for factory, (rel, settings, pdk, error) in marked.items():
            target = factory_rows.get(factory)
            if target is None:
                if rel in imported:
                    report.warnings.append(f"model in {rel} names no factory {factory!r}: not registered")
                continue
            status, message = SUCCESS, ""
            if error is not None:
                status, message = FAILED, error
            else:
                unknown = sorted(set(json.loads(settings)) - set(json.loads(target[_SETTINGS])))
                if unknown:
                    status, message = FAILED, f"{factory!r} has no setting(s) {', '.join(map(repr, unknown))}"
            rows[factory] = (factory, settings, rel, pdk, status, message)
        return rows


def _settings_text(factory: Any) -> str:
    from tessaro.models import FactoryRecord

    settings = dict(getattr(factory, "default_settings", {}) or {})
    return FactoryRecord(name="-", source="-", default_settings=settings).to_db_tuple()[_SETTINGS]


def _live_cells(built: Iterable[Built]) -> list[Any]:
    """The live cells the successful builds use, each once, in a stable order."""
    found: dict[int, Any] = {}
    todo = [b.cell for b in built if b.ok]
    while todo:
        cell = todo.pop()
        if cell.index in found:
            continue
        found[cell.index] = cell
        todo.extend(cell_uses(cell))
    return [found[i] for i in sorted(found)]


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
