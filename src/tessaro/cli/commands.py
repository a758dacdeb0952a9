"""The subcommands of ``tessaro``: each reads its arguments, asks the engine and renders the answer.

Queries (factories, components, models, show, graph, affected) read the
registry as last built: they never import project code and never write.
"""

from __future__ import annotations

import argparse
import difflib
import functools
import json
import os
import shutil
import subprocess
import sys
from collections.abc import Collection
from pathlib import Path
from typing import Any

from tessaro.cli.errors import CliError
from tessaro.cli.project import Project, explicit_sources, open_project
from tessaro.cli.render import Progress, color, import_failures, summary_line, table

EXIT_OK = 0
EXIT_FAILURES = 1


def _db() -> Any:
    import tessaro.core.database as db

    return db


def write_json(data: Any) -> None:
    """The one JSON writer of the command line."""
    sys.stdout.write(json.dumps(data, indent=2, default=str) + "\n")


def _note(message: str) -> None:
    print(f"tessaro: note: {message}", file=sys.stderr)


def _engine(args: argparse.Namespace, *, create: bool = False) -> Any:
    from tessaro.cli.engine import Engine

    project = open_project(args.project)
    project.check_database(create=create)
    return Engine(project)


class _Query:
    """What a query needs: the project, the registry's records and its dependency record."""

    def __init__(self, args: argparse.Namespace, *, graph: bool = False) -> None:
        self.engine = _engine(args)
        self.project: Project = self.engine.project
        self.snap = self.engine.snapshot()
        if not self.snap.exists:
            raise CliError(f"no registry at {self.project.db_path} yet: run 'tessaro build'")
        self.records: dict[str, Any] = _db().get_all_factories()
        if graph and not self.snap.recorded:
            raise CliError("this registry has no dependency record (it was built by an older tessaro):"
                           " run 'tessaro build'")
        if self.snap.recorded:
            changed = self.engine.changed_sources(self.snap)
            if changed:
                names = ", ".join(sorted(changed)[:3]) + (", ..." if len(changed) > 3 else "")
                _note(f"{len(changed)} file(s) changed since the last build ({names}): run 'tessaro build'"
                      " for answers about the current sources")

    def graph(self) -> Any:
        from tessaro.cli.depgraph import DepGraph

        return DepGraph.from_records(self.records)

    def known(self, names: list[str]) -> list[str]:
        """``names``, each of which must be a registered factory (else a one-line error naming it)."""
        for name in names:
            if name not in self.records:
                close = difflib.get_close_matches(name, list(self.records), n=1)
                hint = f" (did you mean {close[0]!r}?)" if close else ""
                if not self.records:
                    hint = " (the registry is empty: run 'tessaro build')"
                raise CliError(f"unknown factory {name!r}{hint}")
        return names

    def components(self, names: list[str]) -> dict[str, list[Any]]:
        """The components of ``names`` by factory, asked for in batches below SQLite's variable limit."""
        from tessaro.cli.registry import batched

        found: dict[str, list[Any]] = {}
        for batch in batched(names):
            found.update(_db().get_components_by_factories(*batch))
        return found

    def kept(self, name: str) -> bool:
        """Whether the components of ``name`` are from its last good build: a failed build leaves none,
        so a failing factory that has some failed because its file does not import now."""
        record = self.records.get(name)
        return record is not None and record.status != "SUCCESS"

    def model_status(self, name: str) -> str:
        return "-" if not self.records[name].has_model else self.model_statuses.get(name, "-")

    @functools.cached_property
    def model_statuses(self) -> dict[str, str]:
        return {n: m.status for n, m in _db().get_all_models().items()}


# -- build -------------------------------------------------------------------


def cmd_build(args: argparse.Namespace) -> int:
    engine = _engine(args, create=True)
    only = _build_sources(engine.project, args.sources) if args.sources else None
    if args.all and only is not None:
        raise CliError("--all rebuilds every source: give either --all or SOURCE files")
    bar = Progress("building", enabled=not args.verbose)  # drawn on a terminal only
    try:
        scheduler = engine.project.scheduler if args.scheduler is None else args.scheduler or None
        report = engine.build(everything=args.all, only=only, progress=bar.show, on_wait=_note, jobs=args.jobs,
                              scheduler=scheduler)
    finally:
        bar.close()
    for note in report.notes:
        _note(note)
    if args.json:
        write_json(build_json(report))
    else:
        _print_build(report)
    return EXIT_FAILURES if report.failed else EXIT_OK


def _build_sources(project: Project, given: list[str]) -> list[Path]:
    files = explicit_sources(given, project.root)
    covered = set(project.default_sources())
    for path in files:
        if not path.is_relative_to(project.root):
            raise CliError(f"{path} is outside the project folder {project.root}")
        if path not in covered:
            raise CliError(f"{project.rel(path)} is not under the configured sources"
                           f" ({', '.join(project.sources_setting) or 'none'}): add it to [tool.tessaro] sources")
    return files


def build_json(report: Any) -> dict[str, Any]:
    """The build report as JSON (see the README)."""
    return {
        "full": report.full,
        "changed": report.changed,
        "files": [{"file": f.rel, "error": f.error, "where": f.where} for f in report.files],
        "factories": [
            {
                "name": name,
                "status": "SUCCESS" if built.ok else "FAILED",
                "message": built.message,
                "where": built.where,
                "source": report.factories[name][1] if name in report.factories else None,
                "components": report.components.get(name, 0),
                "because": report.rebuilt_because.get(name),
                "seconds": built.seconds,
            }
            for name, built in sorted(report.built.items())
        ],
        "models": [
            {"factory": n, "status": report.models[n][4], "message": report.models[n][5]}
            for n in report.changed_models
        ],
        "removed": {"factories": report.removed_factories, "models": report.removed_models},
        "rewritten": report.rewritten,
        "unchanged": report.unchanged,
        "failing": report.failing,
        "written": report.written,
        "warnings": report.warnings,
        "workers": report.workers,
        "store": {"size": report.store_size, "restored": report.restored},
    }


def _print_build(report: Any) -> None:
    out = sys.stdout
    rows = []
    for name, built in report.built.items():
        source = report.factories[name][1] if name in report.factories else ""
        status = "SUCCESS" if built.ok else "FAILED"
        detail = built.message + (f" ({built.where})" if built.where else "") if not built.ok else ""
        rows.append((name, status, report.components.get(name, 0), source, detail))
    rows.sort(key=lambda row: (row[3], row[0]))  # by file, then name
    if rows:
        table(("factory", "status", "components", "source", "message"), rows, out)
    for (error, where), files in import_failures(report).items():
        out.write(f"import failed: {', '.join(files)}: {error}{f' ({where})' if where else ''}\n")
    for name in report.changed_models:
        row = report.models[name]
        if row[4] != "SUCCESS":
            out.write(f"model of {name} ({row[2]}) failed: {row[5]}\n")
    for warning in report.warnings:
        out.write(f"warning: {warning}\n")
    if report.removed_factories:
        out.write(f"removed factories: {', '.join(report.removed_factories)}\n")
    if report.removed_models:
        out.write(f"removed models: {', '.join(report.removed_models)}\n")
    out.write(summary_line(report) + "\n")


def cmd_watch(args: argparse.Namespace) -> int:
    from tessaro.cli.watch import watch

    return watch(_engine(args, create=True), json_lines=args.json, debounce_ms=args.debounce)


# -- listings ----------------------------------------------------------------


def cmd_factories(args: argparse.Namespace) -> int:
    query = _Query(args)
    names = sorted(query.records)
    counts = {name: len(found) for name, found in query.components(names).items()}
    if args.json:
        write_json([factory_json(query, n, counts.get(n, 0)) for n in names])
        return EXIT_OK
    if not names:
        print("no factories registered (run 'tessaro build')", file=sys.stderr)
        return EXIT_OK
    out = sys.stdout
    rows = []
    for n in names:
        rec = query.records[n]
        rows.append((n, rec.status, query.model_status(n), counts.get(n, 0),
                     rec.last_updated, rec.source, rec.message))
    table(("factory", "status", "model", "components", "updated (UTC)", "source", "message"), rows, out)
    return EXIT_OK


def factory_json(query: _Query, name: str, components: int) -> dict[str, Any]:
    rec = query.records[name]
    return {
        "name": rec.name,
        "status": rec.status,
        "message": rec.message,
        "source": str(rec.source),
        "has_model": bool(rec.has_model),
        "model_status": query.model_status(name),
        "last_updated": rec.last_updated,
        "components": components,
        "default_settings": rec.default_settings,
    }


def _component_json(rec: Any, query: _Query) -> dict[str, Any]:
    return {"name": rec.name, "factory": rec.factory_name, "ports": rec.ports, "settings": rec.settings,
            "info": rec.info, "from_last_good_build": query.kept(rec.factory_name)}


def cmd_components(args: argparse.Namespace) -> int:
    query = _Query(args)
    names = sorted(query.known(args.factories)) if args.factories else sorted(query.records)
    found = query.components(names)
    records = [c for name in names for c in found.get(name, [])]
    if args.json:
        write_json([_component_json(c, query) for c in records])
        return EXIT_OK
    if not records:
        print("no components registered" + ("" if args.factories else " (run 'tessaro build')"), file=sys.stderr)
        return EXIT_OK
    rows = [(c.name, c.factory_name, _port_names(c), c.settings) for c in records]
    table(("component", "factory", "ports", "settings"), rows, sys.stdout)
    kept = sorted({c.factory_name for c in records if query.kept(c.factory_name)})
    if kept:
        _note(f"the components of {', '.join(kept)} are from the last good build (their files fail to import now)")
    return EXIT_OK


def _port_names(component: Any) -> str:
    return ", ".join(port.get("name", "?") for port in component.ports)


def _model_json(rec: Any) -> dict[str, Any]:
    return {"factory": rec.factory, "status": rec.status, "message": rec.message, "source": str(rec.source),
            "pdk_type": rec.pdk_type, "settings": rec.settings_dict}


def cmd_models(args: argparse.Namespace) -> int:
    _Query(args)
    models = _db().get_all_models()
    names = sorted(models)
    if args.json:
        write_json([_model_json(models[n]) for n in names])
        return EXIT_OK
    if not names:
        print("no models registered (run 'tessaro build')", file=sys.stderr)
        return EXIT_OK
    out = sys.stdout
    rows = [(n, m.status, m.pdk_type, m.settings_dict, m.source, m.message) for n, m in sorted(models.items())]
    table(("factory", "status", "pdk type", "settings", "source", "message"), rows, out)
    return EXIT_OK


# -- show --------------------------------------------------------------------


def cmd_show(args: argparse.Namespace) -> int:
    query = _Query(args, graph=True)
    name = query.known([args.factory])[0]
    rec = query.records[name]
    components = query.components([name]).get(name, [])
    model = _db().get_models_by_name(name).get(name) if rec.has_model else None
    graph = query.graph()
    stale = name in graph.stale
    note = query.snap.notes.get(name)
    where = note.where if note is not None else None
    seconds = query.snap.times.get(name)
    if args.json:
        data = factory_json(query, name, len(components))
        data.update(used_by=graph.used_by.get(name, []), uses=graph.uses.get(name, []), stale=stale, where=where,
                    seconds=seconds,
                    components=[_component_json(c, query) for c in components],
                    model=_model_json(model) if model else None)
        if args.verbose:
            data["traceback"] = note.traceback if note is not None else None
        write_json(data)
        return EXIT_OK
    out = sys.stdout

    def edges(names: list[str]) -> str:
        if not stale:
            return ", ".join(names) or "-"
        return f"{', '.join(names)}  (as last recorded: it fails now)" if names else "-  (none recorded: it fails)"

    fields = [
        ("factory", rec.name),
        ("status", color(rec.status, out)),
        ("message", rec.message or None),
        ("raised at", where),
        ("source", rec.source),
        ("updated (UTC)", rec.last_updated),
        ("build time", f"{seconds:.3f} s (last build)" if seconds is not None else None),
        ("settings", json.dumps(rec.default_settings, sort_keys=True, default=str)),
        ("used by", edges(graph.used_by.get(name, []))),
        ("uses", edges(graph.uses.get(name, []))),
    ]
    if model is not None:
        text = f"{color(model.status, out)}, pdk {model.pdk_type}, settings {model.settings}, in {model.source}"
        fields.append(("model", text + (f" ({model.message})" if model.message else "")))
    else:
        fields.append(("model", "-"))
    width = max(len(key) for key, _ in fields)
    for key, value in fields:
        if value is not None:
            out.write(f"{key + ':':<{width + 1}}  {value}\n")
    if args.verbose and note is not None and note.traceback:
        out.write(note.traceback + "\n")
    kept = " from the last good build" if components and query.kept(name) else ""
    out.write(f"components ({len(components)}{kept}):\n")
    if components:
        rows = [(c.name, _port_names(c), c.settings) for c in components]
        table(("component", "ports", "settings"), rows, out)
    return EXIT_OK


# -- graph -------------------------------------------------------------------

_SUFFIX_FORMATS = {".txt": "text", ".mmd": "mermaid", ".mermaid": "mermaid", ".dot": "dot", ".gv": "dot",
                   ".json": "json", ".svg": "svg", ".png": "png"}


def cmd_graph(args: argparse.Namespace) -> int:
    from tessaro.cli.render import render_graph

    fmt = _graph_format(args)
    dot = None
    if fmt in ("svg", "png"):
        dot = shutil.which("dot")
        if dot is None:
            raise CliError(
                f"--format {fmt} needs Graphviz's 'dot' program, which is not on PATH"
                " (install Graphviz, or use --format dot and render it elsewhere)"
            )
        if fmt == "png" and args.output is None and sys.stdout.isatty():
            raise CliError("--format png writes binary data: give -o FILE or redirect the output")
    output = Path(args.output) if args.output else None
    if output is not None and not output.parent.is_dir():
        raise CliError(f"cannot write {args.output!r}: folder {str(output.parent)!r} does not exist")
    if (args.up or args.down or args.depth is not None) and not args.factories:
        raise CliError("--up, --down and --depth need a FACTORY to start from")
    query = _Query(args, graph=True)
    graph = query.graph()
    if args.factories:
        start = query.known(args.factories)
        both = not args.up and not args.down
        keep = set(start)
        if args.up or both:
            keep |= set(graph.reach(start, up=True, depth=args.depth))
        if args.down or both:
            keep |= set(graph.reach(start, up=False, depth=args.depth))
        graph = graph.subgraph(keep)
    status = {name: rec.status for name, rec in query.records.items()}
    sources = {name: str(rec.source) for name, rec in query.records.items()}
    ascii_only = output is None and not _can_encode(sys.stdout, "├│└")
    text = render_graph(graph, status, fmt, ascii_only=ascii_only, sources=sources, rankdir=args.rankdir)
    if dot is not None:
        done = subprocess.run([dot, f"-T{fmt}"], input=text.encode(), capture_output=True, check=False)
        if done.returncode != 0:
            reason = done.stderr.decode(errors="replace").strip().splitlines()
            raise CliError(f"dot failed to render {fmt}: {reason[0] if reason else f'exit status {done.returncode}'}")
        data = done.stdout
    else:
        data = text.encode("utf-8")
    if output is not None:
        try:
            output.write_bytes(data)
        except OSError as exc:
            raise CliError(f"cannot write {args.output!r}: {exc.strerror or exc}") from None
        print(f"wrote {args.output}", file=sys.stderr)
    elif dot is not None:
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
    else:
        sys.stdout.write(text)
    return EXIT_OK


def _graph_format(args: argparse.Namespace) -> str:
    if args.json:
        if args.format not in (None, "json"):
            raise CliError(f"--json and --format {args.format} disagree: give one of them")
        return "json"
    if args.format is not None:
        return args.format
    if args.output is None:
        return "text"
    suffix = Path(args.output).suffix.lower()
    if suffix not in _SUFFIX_FORMATS:
        known = ", ".join(sorted(_SUFFIX_FORMATS))
        raise CliError(f"cannot tell the format of {args.output!r} from its suffix (known: {known}): give --format")
    return _SUFFIX_FORMATS[suffix]


def _can_encode(stream: Any, text: str) -> bool:
    try:
        text.encode(getattr(stream, "encoding", None) or "ascii")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


# -- affected ----------------------------------------------------------------


def cmd_affected(args: argparse.Namespace) -> int:
    from tessaro.cli.depgraph import closure, importers

    if not args.files and not args.factory:
        raise CliError("give the changed FILEs or --factory NAME")
    query = _Query(args, graph=True)
    project, snap = query.project, query.snap
    graph = query.graph()
    defined: dict[str, str] = {}  # factory -> why it is affected directly
    given = []
    imported_by = importers(snap.files)
    for name in query.known(args.factory):
        defined[name] = "given"
    for argument in args.files:
        rel = _project_file(project, argument, snap.files.keys())
        if rel is None:
            _note(f"{argument} is not a file of the project: skipped")
            continue
        given.append(rel)
        if rel == "pyproject.toml":
            for name in query.records:
                defined.setdefault(name, "the configuration changed")
            continue
        if rel not in snap.files:
            _note(f"{rel} is not a source and no source imports it: skipped")
            continue
        for file in sorted(closure([rel], imported_by)):
            for name in snap.files[file].defines:
                if name in query.records and str(query.records[name].source) == file:
                    defined.setdefault(name, "defined there" if file == rel else f"its file imports {rel}")
    users = graph.reach(defined, up=True)
    order, cycles = graph.rebuild_order(users)
    if args.json:
        write_json({"sources": sorted(given), "defined": sorted(defined), "affected": order, "cycles": cycles})
        return EXIT_OK
    if args.names:
        sys.stdout.write("".join(name + "\n" for name in order))
        return EXIT_OK
    if not order:
        _note("no registered factory is affected")
        return EXIT_OK
    rows = []
    affected = set(order)
    for name in order:
        why = defined.get(name) or "uses " + ", ".join(c for c in graph.uses.get(name, []) if c in affected)
        rows.append((name, query.records[name].source if name in query.records else "", why))
    table(("factory", "source", "affected because"), rows, sys.stdout)
    for group in cycles:
        sys.stdout.write(f"cycle: {', '.join(group)} (rebuilt together)\n")
    return EXIT_OK


def _project_file(project: Project, argument: str, known: Collection[str]) -> str | None:
    """The project-relative path of a changed file (it may be deleted), or None if not the project's."""
    path = Path(argument).expanduser()
    candidates = [path] if path.is_absolute() else [Path.cwd() / path, project.root / path]
    for candidate in candidates:
        absolute = Path(os.path.abspath(candidate))
        if not absolute.is_relative_to(project.root):
            continue
        rel = str(absolute.relative_to(project.root))
        if absolute.exists() or rel in known:
            if rel == "pyproject.toml" or rel.endswith(".py"):
                return rel
            return None
    return None


# -- demo --------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    from tessaro.cli.depgraph import DepGraph
    from tessaro.cli.engine import Engine
    from tessaro.cli.render import graph_to_text

    target_arg = args.dir or args.project
    target = Path(target_arg).expanduser() if target_arg else _fresh_folder(Path.cwd() / "tessaro-demo")
    if target.exists() and (not target.is_dir() or any(target.iterdir())):
        raise CliError(f"{str(target)!r} already exists and is not an empty folder")
    _copy_example(target)
    target = target.resolve()
    # The demo keeps its registry inside the copy, whatever the environment says.
    (target / "build").mkdir(exist_ok=True)
    os.environ["TESSARO_DB_PATH"] = str(target / "build" / "tessaro.db")
    project = open_project(str(target))
    project.check_database(create=True)
    report = Engine(project).build()
    out = sys.stdout
    out.write(f"Copied the example project to {target}\n")
    out.write(f"$ tessaro build\n{summary_line(report)}\n")
    for name, built in report.built.items():
        if not built.ok:
            out.write(f"  {name} failed on purpose: {built.message} ({built.where})\n")
    out.write("\n$ tessaro factories\n")
    out.flush()
    cmd_factories(argparse.Namespace(project=str(target), verbose=args.verbose, json=False))
    out.write("\n$ tessaro graph\n")
    records = _db().get_all_factories()
    graph = DepGraph.from_records(records)
    status = {name: rec.status for name, rec in records.items()}
    out.write(graph_to_text(graph, status, ascii_only=not _can_encode(out, "├│└")))
    rel = os.path.relpath(target)
    where = rel if not rel.startswith("..") else str(target)
    out.write(
        "\nNext, try:\n"
        f"  tessaro --project {where} show ring\n"
        f"  tessaro --project {where} affected {os.path.join(where, 'factories', 'basics.py')}\n"
        f"  tessaro --project {where} graph --format mermaid\n"
    )
    return EXIT_OK


def _fresh_folder(base: Path) -> Path:
    if not base.exists():
        return base
    n = 2
    while (candidate := base.with_name(f"{base.name}-{n}")).exists():
        n += 1
    return candidate


def _copy_example(target: Path) -> None:
    from importlib.resources import files

    source = files("tessaro") / "example"

    def copy(node: Any, into: Path) -> None:
        into.mkdir(parents=True, exist_ok=True)
        for child in node.iterdir():
            if child.name == "__pycache__" or child.name.endswith((".pyc", ".pyo")):
                continue
            if child.is_dir():
                copy(child, into / child.name)
            else:
                (into / child.name).write_bytes(child.read_bytes())

    try:
        copy(source, target)
    except OSError as exc:
        raise CliError(f"cannot create the example project in {str(target)!r}: {exc.strerror or exc}") from None
