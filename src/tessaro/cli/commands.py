"""The subcommands of ``tessaro``. Each takes the parsed arguments and returns the exit status."""

from __future__ import annotations

import argparse
import difflib
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

from tessaro.cli.project import CliError, Project, explicit_sources, open_project
from tessaro.cli.render import render_graph, table

EXIT_OK = 0
EXIT_FAILURES = 1


def _db() -> Any:
    import tessaro.core.database as db

    return db


def _project(args: argparse.Namespace) -> Project:
    project = open_project(args.project)
    project.check_database()
    return project


def _progress(args: argparse.Namespace) -> bool:
    return sys.stderr.isatty() and not args.verbose


def _build_first(args: argparse.Namespace, given: list[str] | None = None, *, quiet: bool):
    """Find the project and its sources, check them and the database, and build.

    Without ``given`` all of the project's sources are built (a full build);
    with it, those files (``affected`` adds them to the full set itself).
    """
    from tessaro.cli.builder import run_build

    project = open_project(args.project)
    files = explicit_sources(given, project.root) if given else project.default_sources()
    project.check_database()
    report = run_build(project, files, full=not given, progress=_progress(args))
    if quiet:
        _note_failures(report)
    return project, report


def _note_failures(report: Any) -> None:
    """One line on stderr when a build behind another command did not go cleanly."""
    if not report.failed:
        return
    bad = [f.name for f in report.factories if f.status != "SUCCESS"]
    bad += [f.rel for f in report.files if f.error]
    bad += [f"model of {m.factory}" for m in report.models if m.status != "SUCCESS"]
    what = ", ".join(bad) if bad else f"{len(report.warnings)} warning(s)"
    print(f"tessaro: note: the build had failures ({what}); 'tessaro build' shows them", file=sys.stderr)


def _json(data: Any) -> None:
    sys.stdout.write(json.dumps(data, indent=2, default=str) + "\n")


def _known_factories(names: list[str]) -> dict[str, Any]:
    """The records of ``names``; one unknown name is a one-line error naming it."""
    db = _db()
    known = db.get_all_factories()
    for name in names:
        if name not in known:
            close = difflib.get_close_matches(name, list(known), n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            if not known:
                hint = " (the registry is empty: run 'tessaro build')"
            raise CliError(f"unknown factory {name!r}{hint}")
    return {name: known[name] for name in names}


def _component_counts(names: list[str]) -> dict[str, int]:
    if not names:
        return {}
    return {name: len(c) for name, c in _db().get_components_by_factories(*names).items()}


# -- build -------------------------------------------------------------------


def cmd_build(args: argparse.Namespace) -> int:
    _, report = _build_first(args, args.sources, quiet=False)
    out = sys.stdout
    if report.factories:
        rows = [
            (f.name, f.status, f.components, f.rel, f.message)
            for f in sorted(report.factories, key=lambda f: (f.rel, f.name))
        ]
        table(("factory", "status", "components", "source", "message"), rows, out)
    for file in report.files:
        if file.error:
            extra_text = f" (marked failed: {', '.join(file.stranded)})" if file.stranded else ""
            out.write(f"import failed: {file.rel}: {file.error}{extra_text}\n")
    for model in report.models:
        if model.status != "SUCCESS":
            out.write(f"model of {model.factory} ({model.rel}) failed: {model.message}\n")
    for warning in report.warnings:
        out.write(f"warning: {warning}\n")
    if report.removed_factories:
        out.write(f"removed factories: {', '.join(report.removed_factories)}\n")
    if report.removed_models:
        out.write(f"removed models: {', '.join(report.removed_models)}\n")
    out.write(_summary_line(report) + "\n")
    return EXIT_FAILURES if report.failed else EXIT_OK


def _summary_line(report: Any) -> str:
    ok = sum(f.status == "SUCCESS" for f in report.factories)
    bad = len(report.factories) - ok
    broken = sum(bool(f.error) for f in report.files)
    text = f"built {_count(len(report.factories), 'factory', 'factories')} from {_count(len(report.files), 'source')}"
    text += f": {ok} succeeded, {bad} failed"
    if broken:
        text += f", {broken} failed to import"
    return text + f"; {_count(len(report.models), 'model')} registered"


def _count(n: int, one: str, many: str | None = None) -> str:
    return f"{n} {one if n == 1 else many or one + 's'}"


# -- listings ----------------------------------------------------------------


def cmd_factories(args: argparse.Namespace) -> int:
    _project(args)
    factories = _db().get_all_factories()
    names = sorted(factories)
    counts = _component_counts(names)
    if args.json:
        _json([_factory_json(factories[n], counts.get(n, 0)) for n in names])
        return EXIT_OK
    if not names:
        print("no factories registered (run 'tessaro build')", file=sys.stderr)
        return EXIT_OK
    rows = []
    for n in names:
        rec = factories[n]
        rows.append((n, rec.status, rec.has_model, counts.get(n, 0), rec.last_updated, rec.source, rec.message))
    table(("factory", "status", "model", "components", "updated (UTC)", "source", "message"), rows, sys.stdout)
    return EXIT_OK


def _factory_json(rec: Any, components: int) -> dict[str, Any]:
    return {
        "name": rec.name,
        "status": rec.status,
        "message": rec.message,
        "source": str(rec.source),
        "has_model": bool(rec.has_model),
        "last_updated": rec.last_updated,
        "components": components,
        "default_settings": rec.default_settings,
    }


def _component_json(rec: Any) -> dict[str, Any]:
    return {
        "name": rec.name,
        "factory": rec.factory_name,
        "ports": rec.ports,
        "settings": rec.settings,
        "info": rec.info,
    }


def cmd_components(args: argparse.Namespace) -> int:
    _project(args)
    db = _db()
    names = sorted(_known_factories(args.factories)) if args.factories else sorted(db.get_all_factories())
    found = db.get_components_by_factories(*names) if names else {}
    records = [c for name in names for c in found.get(name, [])]
    if args.json:
        _json([_component_json(c) for c in records])
        return EXIT_OK
    if not records:
        print("no components registered" + ("" if args.factories else " (run 'tessaro build')"), file=sys.stderr)
        return EXIT_OK
    rows = [(c.name, c.factory_name, ", ".join(p.get("name", "?") for p in c.ports), c.settings) for c in records]
    table(("component", "factory", "ports", "settings"), rows, sys.stdout)
    return EXIT_OK


def _model_json(rec: Any) -> dict[str, Any]:
    return {
        "factory": rec.factory,
        "status": rec.status,
        "message": rec.message,
        "source": str(rec.source),
        "pdk_type": rec.pdk_type,
        "settings": rec.settings_dict,
    }


def cmd_models(args: argparse.Namespace) -> int:
    _project(args)
    models = _db().get_all_models()
    names = sorted(models)
    if args.json:
        _json([_model_json(models[n]) for n in names])
        return EXIT_OK
    if not names:
        print("no models registered (run 'tessaro build')", file=sys.stderr)
        return EXIT_OK
    rows = [(n, m.status, m.pdk_type, m.settings_dict, m.source, m.message) for n, m in ((n, models[n]) for n in names)]
    table(("factory", "status", "pdk type", "settings", "source", "message"), rows, sys.stdout)
    return EXIT_OK


# -- show --------------------------------------------------------------------


def cmd_show(args: argparse.Namespace) -> int:
    _build_first(args, quiet=True)
    db = _db()
    rec = _known_factories([args.factory])[args.factory]
    components = db.get_components_by_factories(args.factory).get(args.factory, [])
    model = db.get_models_by_name(args.factory).get(args.factory)
    parents, children = db.get_runtime_factory_dependencies(args.factory)
    used_by, uses = sorted(set(parents)), sorted(set(children))
    if args.json:
        data = _factory_json(rec, len(components))
        data.update(
            used_by=used_by,
            uses=uses,
            components=[_component_json(c) for c in components],
            model=_model_json(model) if model else None,
        )
        _json(data)
        return EXIT_OK
    out = sys.stdout
    fields = [
        ("factory", rec.name),
        ("status", rec.status),
        ("message", rec.message or None),
        ("source", rec.source),
        ("updated (UTC)", rec.last_updated),
        ("settings", json.dumps(rec.default_settings, sort_keys=True, default=str)),
        ("used by", ", ".join(used_by) or "-"),
        ("uses", ", ".join(uses) or "-"),
    ]
    if model is not None:
        text = f"{model.status}, pdk {model.pdk_type}, settings {model.settings}, in {model.source}"
        if model.message:
            text += f" ({model.message})"
        fields.append(("model", text))
    else:
        fields.append(("model", "-"))
    width = max(len(key) for key, _ in fields)
    for key, value in fields:
        if value is not None:
            out.write(f"{key + ':':<{width + 1}}  {value}\n")
    out.write(f"components ({len(components)}):\n")
    if components:
        rows = [(c.name, ", ".join(p.get("name", "?") for p in c.ports), c.settings) for c in components]
        table(("component", "ports", "settings"), rows, out)
    return EXIT_OK


# -- graph -------------------------------------------------------------------


def _statuses() -> dict[str, str]:
    return {name: rec.status for name, rec in _db().get_all_factories().items()}


def cmd_graph(args: argparse.Namespace) -> int:
    fmt = args.format
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
    _build_first(args, quiet=True)
    if args.factories:
        _known_factories(args.factories)
    graph = _db().get_runtime_factories_dependency_graph(*args.factories)
    ascii_only = output is None and not _can_encode(sys.stdout, "├│└")
    text = render_graph(graph, _statuses(), fmt, ascii_only=ascii_only)
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


def _can_encode(stream: Any, text: str) -> bool:
    try:
        text.encode(getattr(stream, "encoding", None) or "ascii")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


# -- affected ----------------------------------------------------------------


def cmd_affected(args: argparse.Namespace) -> int:
    import networkx as nx

    from tessaro.cli.builder import run_build

    project = open_project(args.project)
    given = explicit_sources(args.sources, project.root)
    files = list(dict.fromkeys([*project.default_sources(), *given]))
    project.check_database()
    report = run_build(project, files, full=True, progress=_progress(args))
    _note_failures(report)
    rels = {project.rel(path) for path in given}
    defined = report.defined_by(rels)
    graph = _db().get_runtime_factories_dependency_graph()
    affected = set(defined)
    for name in defined:
        if name in graph:
            affected |= nx.ancestors(graph, name)
    order = _rebuild_order(graph.subgraph(affected), affected)
    records = _db().get_all_factories()
    if args.json:
        _json({"sources": sorted(rels), "defined": sorted(defined), "affected": order})
        return EXIT_OK
    if not order:
        print(f"no factories are defined in {', '.join(sorted(rels))}", file=sys.stderr)
        return EXIT_OK
    rows = []
    for name in order:
        rec = records.get(name)
        uses = sorted(c for c in graph.successors(name) if c in affected) if name in graph else []
        why = "defined there" if name in defined else f"uses {', '.join(uses)}"
        rows.append((name, rec.source if rec else "", why))
    table(("factory", "source", "affected because"), rows, sys.stdout)
    return EXIT_OK


def _rebuild_order(sub: Any, names: set[str]) -> list[str]:
    """Names in an order that rebuilds what a factory uses before the factory itself."""
    import networkx as nx

    try:
        return list(reversed(list(nx.lexicographical_topological_sort(sub))))
    except nx.NetworkXUnfeasible:
        return sorted(names)


# -- demo --------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    from tessaro.cli.builder import run_build
    from tessaro.cli.render import graph_to_text

    target_arg = args.dir or args.project
    target = Path(target_arg).expanduser() if target_arg else _fresh_folder(Path.cwd() / "tessaro-demo")
    if target.exists() and (not target.is_dir() or any(target.iterdir())):
        raise CliError(f"{str(target)!r} already exists and is not an empty folder")
    _copy_example(target)
    target = target.resolve()
    os.environ["TESSARO_PROJECT_DIR"] = str(target)
    # The demo keeps its registry inside the copy, whatever the environment says.
    os.environ["TESSARO_DB_PATH"] = str(target / "build" / "tessaro.db")
    project = open_project(str(target))
    report = run_build(project, project.default_sources(), full=True, progress=_progress(args))
    out = sys.stdout
    out.write(f"Copied the example project to {target}\n")
    out.write(f"$ tessaro build\n{_summary_line(report)}\n")
    for factory in report.factories:
        if factory.status != "SUCCESS":
            out.write(f"  {factory.name} failed on purpose: {factory.message}\n")
    out.write("\n$ tessaro factories\n")
    out.flush()
    cmd_factories(argparse.Namespace(project=str(target), verbose=args.verbose, json=False))
    out.write("\n$ tessaro graph\n")
    graph = _db().get_runtime_factories_dependency_graph()
    out.write(graph_to_text(graph, _statuses(), ascii_only=not _can_encode(out, "├│└")))
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
