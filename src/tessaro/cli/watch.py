"""``tessaro watch``: run the incremental build after every save, until Ctrl-C.

The build lock is taken only while a build writes, so a ``tessaro build`` in
another terminal waits for at most one write, and queries never wait.
"""

from __future__ import annotations

import json
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tessaro.cli.depgraph import natural_key
from tessaro.cli.engine import BuildReport, Engine
from tessaro.cli.errors import CliError
from tessaro.cli.project import file_hash, open_project
from tessaro.cli.render import escape, import_failures, summary_line

__all__ = ["watch"]


def watch(engine: Engine, *, json_lines: bool, debounce_ms: int, each: bool = False,
          on_built: Callable[[BuildReport], None] | None = None) -> int:
    """Build now and after every change until Ctrl-C; ``on_built`` is called with each build's report."""
    import watchfiles

    project = engine.project

    def say(event: str, text: str, **data: Any) -> None:
        if json_lines:
            line = json.dumps({"event": event, **data}, default=str)
        else:
            line = f"{time.strftime('%H:%M:%S')} {text}"
        sys.stdout.write(line + "\n")
        sys.stdout.flush()

    settings = file_hash(project.pyproject)

    def run() -> None:
        # Bad input met while watching (a pyproject.toml being edited, a registry another program
        # holds) is reported, and the watch goes on.
        nonlocal engine, settings
        try:
            current = file_hash(project.pyproject)
            if current != settings:  # the sources may have changed: read it again
                engine = Engine(open_project(str(project.root)))
                settings = current
            report = engine.build(on_wait=lambda text: say("waiting", text), what="tessaro watch")
        except CliError as exc:
            say("error", f"error: {exc}", message=str(exc))
            return
        _report(report, say, each=each or json_lines)
        if on_built is not None:
            on_built(report)

    try:
        run()

        def relevant(_change: Any, path: str) -> bool:
            # A Python file, a data file the last build read, or a new folder (it may hold sources
            # already, and it must be watched).
            return (path == str(project.pyproject) or project.rel_if_inside(path) is not None
                    or project.rel_if_inside(path, python=False) in inputs or os.path.isdir(path))

        inputs = set(engine.snapshot().files)
        folders = _folders(engine)
        while True:
            announced = False
            # An empty set of changes comes after each quiet spell, the first once the watch is in place.
            for changes in watchfiles.watch(*folders, watch_filter=relevant, debounce=debounce_ms, step=20,
                                            recursive=False, raise_interrupt=True, yield_on_timeout=True,
                                            rust_timeout=200):
                if not changes:
                    if not announced:
                        say("watching", f"watching {len(folders)} folder(s) of {project.root} (Ctrl-C to stop)",
                            folders=[str(f) for f in folders])
                        announced = True
                    continue
                run()
                announced = False
                inputs = set(engine.snapshot().files)
                now = _folders(engine)
                if now != folders:
                    folders = now
                    break  # new folders to watch: start again
    except KeyboardInterrupt:
        say("stopped", "stopped watching; the registry holds the last complete build")
        return 0


def _folders(engine: Engine) -> list[Path]:
    """Every folder holding a source, a project file the sources import, or pyproject.toml."""
    project = engine.project
    folders = {project.root}
    for path in project.default_sources():
        folders.add(path.parent)
    for entry in project.sources_setting:
        folder = project.root / entry
        if folder.is_dir():
            folders.update(p for p in [folder, *folder.rglob("*")] if p.is_dir() and "__pycache__" not in p.parts)
    for rel in engine.snapshot().files:
        folders.add((project.root / rel).parent)
    return sorted(f for f in folders if f.is_dir())


def _report(report: BuildReport, say: Any, *, each: bool) -> None:
    """One summary line per build; with ``each`` (and always in JSON) a line per factory before it."""
    if each:
        for name, built in sorted(report.built.items(), key=lambda item: natural_key(item[0])):
            if built.ok:
                say("rebuilt", f"rebuilt {escape(name)} ({report.rebuilt_because.get(name)})", factory=name,
                    because=report.rebuilt_because.get(name))
            else:
                at = f" at {built.where}" if built.where else ""
                say("failed", f"FAILED {escape(name)}: {built.message}{at}", factory=name, message=built.message,
                    where=built.where)
        for (error, where), files in import_failures(report).items():
            shown = ", ".join(escape(file, ",") for file in files)
            say("import_failed", f"FAILED to import {shown}: {error}" + (f" at {where}" if where else ""),
                file=files[0], files=files, message=error, where=where)
        for name in report.removed_factories:
            say("removed", f"removed {escape(name)}", factory=name)
        for name in report.changed_models:
            row = report.models[name]
            say("model", f"model of {escape(name)}: {row[4]}" + (f" ({row[5]})" if row[5] else ""), factory=name,
                status=row[4], message=row[5])
        for name in report.removed_models:
            say("model_removed", f"removed the model of {escape(name)}", factory=name)
    for warning in report.warnings:
        say("warning", f"warning: {warning}", message=warning)
    now = {name: row[2] for name, row in report.factories.items()}
    failing = sorted((n for n, status in now.items() if status != "SUCCESS" and report.before.get(n) == "SUCCESS"
                      or status != "SUCCESS" and n not in report.before), key=natural_key)
    fixed = sorted((n for n, status in now.items() if status == "SUCCESS" and report.before.get(n, "SUCCESS")
                    != "SUCCESS"), key=natural_key)
    text = summary_line(report)
    if failing:
        first = report.factories[failing[0]][3]
        text += f"; newly failing: {', '.join(escape(n, ',') for n in failing)} ({first})"
    if fixed:
        text += f"; fixed: {', '.join(escape(n, ',') for n in fixed)}"
    say("built", text, changed=report.changed, rebuilt=len(report.built), unchanged=report.unchanged,
        written=report.written, newly_failing=failing, fixed=fixed)
