"""The subcommands of ``tessaro``: each reads its arguments, asks the engine and renders the answer.

Queries (factories, components, models, show, graph, affected) read the
registry as last built: they never import project code and never write.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import functools
import json
import os
import shutil
import subprocess
import sys
from collections.abc import Collection, Iterable
from pathlib import Path
from typing import Any

from tessaro.cli.depgraph import natural_key
from tessaro.cli.errors import CliError
from tessaro.cli.project import Project, explicit_sources, open_project
from tessaro.cli.render import Progress, color, escape, import_failures, json_text, summary_line, table

EXIT_OK = 0
EXIT_FAILURES = 1


def _db() -> Any:
    import tessaro.core.database as db

    return db


def write_json(data: Any) -> None:
    """JSON output on standard output (``json_text``)."""
    sys.stdout.write(json_text(data))


def _note(message: str) -> None:
    print(f"tessaro: note: {message}", file=sys.stderr)


def _engine(args: argparse.Namespace, *, create: bool = False) -> Any:
    from tessaro.cli.engine import Engine

    project = open_project(args.project)
    project.check_database(create=create)
    return Engine(project)


class _Query:
    """What a query needs: the project, the registry's records and its dependency record."""

    def __init__(self, args: argparse.Namespace, *, graph: bool = False, cells: bool = False) -> None:
        self.engine = _engine(args)
        self.project: Project = self.engine.project
        # Read on a read-only connection first: the registry module's reads create missing tables.
        self.snap = self.engine.snapshot(cells=cells)
        if not self.snap.registry:
            raise CliError(f"no registry at {self.project.db_path} yet: run 'tessaro build'")
        self.records: dict[str, Any] = _db().get_all_factories()
        if graph and not self.snap.recorded:
            raise CliError("this registry has no dependency record (it was built by an older tessaro):"
                           " run 'tessaro build'")
        if self.snap.recorded:
            changed = self.engine.changed_sources(self.snap)
            if changed:
                names = ", ".join(escape(n, ",") for n in sorted(changed)[:3]) + (", ..." if len(changed) > 3 else "")
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
    from tessaro.cli.registry import rebuild_if_damaged

    def build() -> Any:
        engine = _engine(args, create=True)
        only = _build_sources(engine.project, args.sources) if args.sources else None
        if args.all and only is not None:
            raise CliError("--all rebuilds every source: give either --all or SOURCE files")
        bar = Progress("building", enabled=not args.verbose)  # drawn on a terminal only
        try:
            scheduler = engine.project.scheduler if args.scheduler is None else args.scheduler or None
            return engine.build(everything=args.all, only=only, progress=bar.show, on_wait=_note, jobs=args.jobs,
                                scheduler=scheduler)
        finally:
            bar.close()

    report = rebuild_if_damaged(build, _note, "tessaro build")
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
    rows.sort(key=lambda row: (natural_key(row[3]), natural_key(row[0])))  # by file, then name
    if rows:
        table(("factory", "status", "components", "source", "message"), rows, out)
    for (error, where), files in import_failures(report).items():
        shown = ", ".join(escape(file, ",") for file in files)
        out.write(f"import failed: {shown}: {error}{f' ({where})' if where else ''}\n")
    for name in report.changed_models:
        row = report.models[name]
        if row[4] != "SUCCESS":
            out.write(f"model of {escape(name)} ({escape(row[2])}) failed: {row[5]}\n")
    for warning in report.warnings:
        out.write(f"warning: {warning}\n")
    if report.removed_factories:
        out.write(f"removed factories: {', '.join(escape(n, ',') for n in report.removed_factories)}\n")
    if report.removed_models:
        out.write(f"removed models: {', '.join(escape(n, ',') for n in report.removed_models)}\n")
    out.write(summary_line(report) + "\n")


def cmd_watch(args: argparse.Namespace) -> int:
    from tessaro.cli.watch import watch

    project = open_project(args.project)
    if not args.serve:
        return watch(project, json_lines=args.json, debounce_ms=args.debounce, each=args.each)
    from tessaro.cli.view import PageServer

    server: PageServer | None = None

    def built(report: Any) -> None:
        # The first build opens the server; each later one pushes the registry it wrote to the open pages.
        nonlocal server
        if server is None:
            server = _serve(args, _page_data(args, summary=summary_line(report)))
            return
        try:
            server.publish(_page_data(args, summary=summary_line(report)))
        except CliError as exc:  # a registry another program holds, say: the page waits for the next build
            _note(f"the page was not updated: {exc}")

    try:
        return watch(project, json_lines=args.json, debounce_ms=args.debounce, each=args.each, on_built=built)
    finally:
        if server is not None:
            server.close()


# -- listings ----------------------------------------------------------------


def cmd_factories(args: argparse.Namespace) -> int:
    query = _Query(args)
    names = sorted(query.records, key=natural_key)
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
    names = sorted(query.known(args.factories) if args.factories else query.records, key=natural_key)
    found = query.components(names)
    records = [c for name in names for c in sorted(found.get(name, []), key=lambda c: natural_key(c.name))]
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
    names = sorted(models, key=natural_key)
    if args.json:
        write_json([_model_json(models[n]) for n in names])
        return EXIT_OK
    if not names:
        print("no models registered (run 'tessaro build')", file=sys.stderr)
        return EXIT_OK
    out = sys.stdout
    rows = [(n, models[n].status, models[n].pdk_type, models[n].settings_dict, models[n].source, models[n].message)
            for n in names]
    table(("factory", "status", "pdk type", "settings", "source", "message"), rows, out)
    return EXIT_OK


# -- show --------------------------------------------------------------------


def cmd_show(args: argparse.Namespace) -> int:
    query = _Query(args, graph=True)
    name = query.known([args.factory])[0]
    rec = query.records[name]
    components = sorted(query.components([name]).get(name, []), key=lambda c: natural_key(c.name))
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
        listed = ", ".join(escape(n, ",") for n in names)
        if not stale:
            return listed or "-"
        return f"{listed}  (as last recorded: it fails now)" if names else "-  (none recorded: it fails)"

    fields = [
        ("factory", escape(rec.name)),
        ("status", color(rec.status, out)),
        ("message", escape(rec.message) if rec.message else None),
        ("raised at", where and escape(where)),
        ("source", escape(str(rec.source))),
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


def _output(args: argparse.Namespace) -> Path | None:
    output = Path(args.output) if args.output else None
    if output is not None and not output.parent.is_dir():
        raise CliError(f"cannot write {args.output!r}: folder {str(output.parent)!r} does not exist")
    if (args.up or args.down or args.depth is not None) and not args.factories:
        raise CliError("--up, --down and --depth need a FACTORY to start from")
    return output


def _write(output: Path, data: bytes, given: str) -> None:
    try:
        output.write_bytes(data)
    except OSError as exc:
        raise CliError(f"cannot write {given!r}: {exc.strerror or exc}") from None
    print(f"wrote {given}", file=sys.stderr)


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
    output = _output(args)
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
        _write(output, data, args.output)
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


# -- view ----------------------------------------------------------------------


def cmd_view(args: argparse.Namespace) -> int:
    output = _output(args)
    if output is not None and (args.host != "127.0.0.1" or args.port or args.no_open):
        raise CliError("--host, --port and --no-open are for serving the page: leave them out with -o")
    data = _page_data(args)
    if output is not None:
        from tessaro.cli.view import page_html

        _write(output, page_html(data).encode("utf-8"), args.output)
        return EXIT_OK
    import threading

    server = _serve(args, data)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        print("stopped serving the page", file=sys.stderr)
    finally:
        server.close()
    return EXIT_OK


def _page_data(args: argparse.Namespace, *, summary: str | None = None) -> dict[str, Any]:
    """The page's data from the registry as last built, started as the command's arguments say."""
    from tessaro.cli.view import page_data

    query = _Query(args, graph=True)
    initial: dict[str, Any] = {}
    if getattr(args, "factories", None):
        initial.update(focus=query.known(args.factories), up=args.up, down=args.down, depth=args.depth)
    if getattr(args, "exclude", None):
        initial["exclude"] = args.exclude
    since = getattr(args, "since", None)
    changed = _git_changed(query.project, since) if since else getattr(args, "affected", [])
    if changed:
        initial["changed"] = _changed_inputs(query, [(path, bool(since)) for path in changed], strict=False)[0]
    return page_data(query, summary=summary, initial=initial)


def _serve(args: argparse.Namespace, data: dict[str, Any]) -> Any:
    from tessaro.cli.view import PageServer, open_browser

    server = PageServer(args.host, args.port, data)
    server.start()
    print(f"serving the dependency graph at {server.url} (Ctrl-C to stop)", file=sys.stderr, flush=True)
    if not args.no_open:
        open_browser(server.url, _note)
    return server


# -- affected ----------------------------------------------------------------


def cmd_affected(args: argparse.Namespace) -> int:
    from tessaro.cli.depgraph import direct_factories
    from tessaro.cli.explain import file_hops, reasons

    paths = [(arg, False) for given in args.files for arg in (_stdin_paths() if given == "-" else [given])]
    if args.since is not None:
        paths += [(path, True) for path in _git_changed(open_project(args.project), args.since)]
    if not paths and not args.factory:  # nothing changed: nothing to rebuild (also without a registry)
        if args.json:
            write_json({"sources": [], "skipped": [], "defined": [], "affected": [], "cycles": [], "reasons": {}})
        elif not args.names:
            _note("no changed files given: nothing is affected")
        return EXIT_OK
    query = _Query(args, graph=True, cells=args.json)
    snap = query.snap
    given, skipped = _changed_inputs(query, paths, strict=args.strict)
    graph = query.graph()
    starts: dict[str, list[dict[str, Any]]] = {}
    for name in query.known(args.factory):
        starts[name] = [{"kind": "given", "factory": name}]
    direct = {name: reason for name, reason in direct_factories(given, snap).items() if name in query.records}
    for name, reason in direct.items():
        starts.setdefault(name, file_hops(name, reason))
    why = reasons(starts, graph)
    order, cycles = graph.rebuild_order(why)
    if args.json:
        _add_cells(query, why.values())
        write_json({"sources": sorted(set(given), key=natural_key), "skipped": skipped,
                    "defined": sorted(starts, key=natural_key), "affected": order, "cycles": cycles,
                    "reasons": {name: why[name] for name in order}})
        return EXIT_OK
    if args.names:
        sys.stdout.write("".join(escape(name) + "\n" for name in order))
        return EXIT_OK
    if not order:
        _note("no registered factory is affected")
        return EXIT_OK
    rows = []
    affected = set(order)
    for name in order:
        if name in direct and name not in args.factory:
            because = direct[name].summary
        elif name in starts:
            because = "given"
        else:
            because = "uses " + ", ".join(escape(c, ",") for c in graph.uses.get(name, []) if c in affected)
        rows.append((name, query.records[name].source, because))
    table(("factory", "source", "affected because"), rows, sys.stdout)
    for group in cycles:
        sys.stdout.write(f"cycle: {', '.join(escape(n, ',') for n in group)} (rebuilt together)\n")
    return EXIT_OK


def _changed_inputs(query: _Query, paths: list[tuple[str, bool]], *,
                    strict: bool) -> tuple[list[str], list[dict[str, str]]]:
    """``_inputs_among`` the last build's inputs; each other path is said on standard error (refused if ``strict``)."""
    from tessaro.cli.depgraph import CONFIG

    snap = query.snap
    inputs = {CONFIG, *snap.files, *(rel for files in snap.inputs.values() for rel in files)}
    given, skipped = _inputs_among(query.project, paths, inputs)
    if skipped and strict:
        listed = ", ".join(escape(s["path"], ",") for s in skipped[:3]) + (", ..." if len(skipped) > 3 else "")
        some = "1 path is not an input" if len(skipped) == 1 else f"{len(skipped)} paths are not inputs"
        raise CliError(f"{some} of the project's last build ({listed}): leave out --strict to skip them")
    for item in skipped:
        _note(f"{escape(item['path'])} is {item['why']}: skipped")
    return given, skipped


def _inputs_among(project: Project, paths: list[tuple[str, bool]],
                  inputs: Collection[str]) -> tuple[list[str], list[dict[str, str]]]:
    """The inputs of the last build among changed ``paths`` (each flagged if it came from git), and the others.

    A new source is neither: it is noted (its factories are not known yet).
    Paths from git outside the project folder belong to the rest of the repository: left out silently.
    """
    given: list[str] = []
    skipped: list[dict[str, str]] = []
    sources: set[str] | None = None  # read only when a path is not an input
    for argument, from_git in paths:
        rel = _project_file(project, argument, inputs)
        if rel is None:
            if not from_git:
                skipped.append({"path": argument, "why": "outside the project folder"})
            continue
        if rel in inputs:
            given.append(rel)
            continue
        if sources is None:
            sources = set(project.source_files())
        if rel in sources:
            _note(f"{escape(rel)} is a new source: its factories are not known before 'tessaro build'")
        else:
            skipped.append({"path": rel, "why": "not an input of the last build (no source imports or reads it)"})
    return given, skipped


def _stdin_paths() -> list[str]:
    """Paths read from standard input: one per line, or separated by NUL characters (``-z`` output)."""
    data = sys.stdin.read()
    return [p for p in (data.split("\0") if "\0" in data else data.splitlines()) if p]


def _git_changed(project: Project, ref: str) -> list[str]:
    """The project's files that differ from commit ``ref`` (committed since, staged or not) or are untracked.

    Absolute paths: git names them relative to the repository's root, which
    need not be the project folder.
    """
    git = shutil.which("git")
    if git is None:
        raise CliError("--since needs git, which is not on PATH (or give the changed files instead)")

    def run(*command: str) -> bytes:
        done = subprocess.run([git, *command], cwd=project.root, capture_output=True, check=False)
        if done.returncode != 0:
            lines = done.stderr.decode(errors="replace").strip().splitlines()
            raise CliError(lines[-1] if lines else f"git {command[0]}: exit status {done.returncode}")
        return done.stdout

    try:
        top = os.fsdecode(run("rev-parse", "--show-toplevel").rstrip(b"\n"))
    except CliError as exc:
        raise CliError(f"--since needs a git repository: {project.root} is not in one ({exc})") from None
    commit = ""
    with contextlib.suppress(CliError):
        if not ref.startswith("-"):  # never an option
            commit = os.fsdecode(run("rev-parse", "--verify", "--quiet", f"{ref}^{{commit}}").strip())
    if not commit:
        raise CliError(f"--since {ref!r}: git knows no such commit (give a branch, tag or commit id)")
    try:
        changed = run("diff", "--name-only", "--no-renames", "-z", commit, "--", ".")  # tracked, below the project
        untracked = run("ls-files", "--others", "--exclude-standard", "--full-name", "-z", "--", ".")
    except CliError as exc:
        raise CliError(f"git cannot list the changes since {ref!r}: {exc}") from None
    names = (changed + untracked).split(b"\0")
    return [os.path.join(top, os.fsdecode(name)) for name in dict.fromkeys(names) if name]


def _project_file(project: Project, argument: str, known: Collection[str]) -> str | None:
    """The project-relative path of a changed file (it may be deleted), or None if outside the project."""
    path = Path(argument).expanduser()
    candidates = [path] if path.is_absolute() else [Path.cwd() / path, project.root / path]
    top = next((folder for folder in (project.root, *project.root.parents) if (folder / ".git").exists()), None)
    if top is not None and not path.is_absolute():
        candidates.append(top / path)  # as git names it (`git diff --name-only`), from any folder
    inside = []
    for candidate in candidates:
        for absolute in (Path(os.path.abspath(candidate)), Path(os.path.realpath(candidate))):
            if absolute.is_relative_to(project.root):
                rel = absolute.relative_to(project.root).as_posix()
                if rel in known:
                    return rel
                inside.append(rel)
    return next((rel for rel in inside if (project.root / rel).exists()), inside[0] if inside else None)


def _add_cells(query: _Query, chains: Iterable[list[dict[str, Any]]]) -> None:
    from tessaro.cli.explain import add_cells
    from tessaro.cli.registry import read_tables

    add_cells(chains, query.snap.uses, read_tables(query.project.db_path).components)


# -- why ---------------------------------------------------------------------


def cmd_why(args: argparse.Namespace) -> int:
    from tessaro.cli.explain import chain
    from tessaro.cli.render import why_text

    if args.limit < 1:
        raise CliError(f"--limit must be at least 1, got {args.limit}")
    query = _Query(args, graph=True, cells=True)
    user, used = query.known([args.factory, args.uses])
    graph = query.graph()
    paths, more = graph.chains(user, used, every=args.all, limit=args.limit)
    chains = [chain(path, graph) for path in paths]
    if chains:
        _add_cells(query, chains)
    if args.json:
        write_json({"factory": user, "uses": used, "chains": chains, "more": more})
    elif chains:
        sys.stdout.write(why_text(user, used, chains, more))
    if not chains:
        a, b = escape(user), escape(used)
        other = f" (the other way round it does: tessaro why {b} {a})" if graph.chains(used, user)[0] else ""
        _note(f"{a} does not use {b}, directly or through other factories{other}")
    return EXIT_OK


# -- demo --------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    from tessaro.cli.depgraph import DepGraph
    from tessaro.cli.engine import Engine
    from tessaro.cli.render import graph_to_text

    target_arg = args.dir or args.project
    # By default a new temporary folder, so that trying the demo leaves nothing behind in a checkout.
    target = Path(target_arg).expanduser() if target_arg else _temporary_folder()
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
    where, tessaro = _shown(target), _tessaro_command()
    out.write(
        "\nNext, try:\n"
        f"  {tessaro} --project {where} show ring\n"
        f"  {tessaro} --project {where} affected {_shown(target / 'factories' / 'basics.py')}\n"
        f"  {tessaro} --project {where} graph --format mermaid\n"
    )
    return EXIT_OK


def _shown(path: Path) -> str:
    """``path`` as a shell word: relative to the working directory when inside it."""
    import shlex

    rel = os.path.relpath(path)
    return shlex.quote(rel if not rel.startswith("..") else str(path))


def _tessaro_command() -> str:
    """How a shell reaches this tessaro: by name when PATH finds this one, else by its path (e.g. .venv/bin/tessaro)."""
    script = Path(sys.executable).with_name("tessaro")
    if not script.is_file():
        return "tessaro"
    found = shutil.which("tessaro")
    if found is not None and Path(found).resolve() == script.resolve():
        return "tessaro"
    return _shown(script)


def _temporary_folder() -> Path:
    import tempfile

    try:
        return Path(tempfile.mkdtemp(prefix="tessaro-demo-"))
    except OSError as exc:
        raise CliError(f"cannot create a temporary folder for the demo ({exc.strerror or exc}):"
                       " give the folder, tessaro demo DIR") from None


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
