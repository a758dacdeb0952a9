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

from tessaro.cli.builder import file_hash
from tessaro.cli.engine import BuildReport, Engine
from tessaro.cli.errors import CliError
from tessaro.cli.project import open_project
from tessaro.cli.render import summary_line

__all__ = ["watch"]


def watch(engine: Engine, *, json_lines: bool, debounce_ms: int,
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
        _report(report, say)
        if on_built is not None:
            on_built(report)

    try:
        run()

        def relevant(_change: Any, path: str) -> bool:
            # A new folder counts too: it may hold sources already, and it must be watched.
            return path == str(project.pyproject) or project.rel_if_inside(path) is not None or os.path.isdir(path)

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


def _report(report: Any, say: Any) -> None:
    for name, built in sorted(report.built.items()):
        if built.ok:
            say("rebuilt", f"rebuilt {name} ({report.rebuilt_because.get(name)})", factory=name,
                because=report.rebuilt_because.get(name))
        else:
            where = f" at {built.where}" if built.where else ""
            say("failed", f"FAILED {name}: {built.message}{where}", factory=name, message=built.message,
                where=built.where)
    for file in report.files:
        if file.error:
            where = f" at {file.where}" if file.where else ""
            say("import_failed", f"FAILED to import {file.rel}: {file.error}{where}", file=file.rel,
                message=file.error, where=file.where)
    for name in report.removed_factories:
        say("removed", f"removed {name}", factory=name)
    for name in report.changed_models:
        row = report.models[name]
        say("model", f"model of {name}: {row[4]}" + (f" ({row[5]})" if row[5] else ""), factory=name,
            status=row[4], message=row[5])
    for name in report.removed_models:
        say("model_removed", f"removed the model of {name}", factory=name)
    for warning in report.warnings:
        say("warning", f"warning: {warning}", message=warning)
    say("built", summary_line(report), changed=report.changed, rebuilt=len(report.built), unchanged=report.unchanged,
        written=report.written)
