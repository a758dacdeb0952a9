"""``tessaro watch``: run the incremental build after every save, until Ctrl-C (or SIGTERM).

The build lock is taken only while a build writes, so a ``tessaro build`` in
another terminal waits for at most one write, and queries never wait.

Only the user stops the watch. Bad input met while watching (a half-edited
``pyproject.toml``) and the registry's faults (locked by another program, a
full disk, a read-only file or folder, the file deleted, replaced or damaged,
a write left unfinished) are each said in one line; the next save builds
again, and while a fault lasts the watch also tries again every ``RETRY``
seconds, so that it builds as soon as the fault ends.
"""

from __future__ import annotations

import contextlib
import json
import os
import signal
import sqlite3
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tessaro.cli.depgraph import natural_key
from tessaro.cli.engine import BuildReport, Engine
from tessaro.cli.errors import CliError, RegistryDamaged, describe
from tessaro.cli.project import Project, file_hash, open_project
from tessaro.cli.registry import rebuild_if_damaged, unreadable
from tessaro.cli.render import escape, import_failures, summary_line

__all__ = ["watch"]

#: Seconds between attempts while a fault lasts.
RETRY = 2.0


def watch(project: Project, *, json_lines: bool, debounce_ms: int, each: bool = False,
          on_built: Callable[[BuildReport], None] | None = None) -> int:
    """Build now and after every change until Ctrl-C; ``on_built`` is called with each build's report."""
    import watchfiles

    said = 0

    def say(event: str, text: str, **data: Any) -> None:
        nonlocal said
        if json_lines:
            line = json.dumps({"event": event, **data}, default=str)
        else:
            line = f"{time.strftime('%H:%M:%S')} {text}"
        sys.stdout.write(line + "\n")
        sys.stdout.flush()
        said += 1

    # At the start, bad input ends the command as it ends a build; a fault that may pass does not.
    try:
        project.check_database(create=True)
    except CliError as exc:
        if exc.exit_code == 2 and not isinstance(exc, RegistryDamaged):
            raise
    engine, settings = Engine(project), file_hash(project.pyproject)
    folders: list[Path] = [project.root]
    inputs: set[str] = set()  # the project files the last build read (data files included)
    fault: str | None = None

    def run() -> bool:
        """One build, reported; False if it met a fault (said once, until it changes)."""
        nonlocal engine, settings, folders, inputs, fault

        def build() -> Any:
            engine.project.check_database(create=True)
            return engine.build(on_wait=lambda text: say("waiting", text), what="tessaro watch")

        try:
            current = file_hash(project.pyproject)
            if current != settings:  # the sources may have changed: read it again
                engine = Engine(open_project(str(project.root)))
                settings = current
            report = rebuild_if_damaged(build, lambda text: say("warning", f"warning: {text}", message=text),
                                        "tessaro watch")
        except Exception as exc:  # whatever it is, the watch goes on
            message, _ = describe(unreadable(project.db_path, exc) if isinstance(exc, sqlite3.DatabaseError) else exc)
            if message != fault:
                say("error", f"error: {message}", message=message)
            fault = message
        else:
            fault = None
            _report(report, say, each=each or json_lines)
            if on_built is not None:
                on_built(report)
        folders, inputs = _folders(engine)
        return fault is None

    def stop(number: int, frame: Any) -> None:
        raise KeyboardInterrupt

    try:
        previous = signal.signal(signal.SIGTERM, stop)
    except ValueError:  # not the main thread
        previous = None
    try:
        ok = run()
        retry_at = time.monotonic() + RETRY

        def relevant(_change: Any, path: str) -> bool:
            # A Python file, a data file the last build read, or a new folder (it may hold sources
            # already, and it must be watched).
            return (path == str(project.pyproject) or project.rel_if_inside(path) is not None
                    or project.rel_if_inside(path, python=False) in inputs or os.path.isdir(path))

        while True:
            watched, announced = folders, -1
            # An empty set of changes comes after each quiet spell, the first once the watch is in place.
            for changes in watchfiles.watch(*watched, watch_filter=relevant, debounce=debounce_ms, step=20,
                                            recursive=False, raise_interrupt=True, yield_on_timeout=True,
                                            rust_timeout=200):
                if changes or (not ok and time.monotonic() >= retry_at):
                    ok, retry_at = run(), time.monotonic() + RETRY
                    if folders != watched:
                        break  # new folders to watch: start again
                elif announced != said:
                    say("watching", f"watching {len(watched)} folder(s) of {project.root} (Ctrl-C to stop)",
                        folders=[str(f) for f in watched])
                    announced = said
    except KeyboardInterrupt:
        say("stopped", "stopped watching; the registry holds the last complete build")
        return 0
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def _folders(engine: Engine) -> tuple[list[Path], set[str]]:
    """Every folder holding a source, a project file the sources import or read, or pyproject.toml;
    and the files the last build read.

    As many of them as can be found: the sources or the registry may be what is at fault.
    """
    project = engine.project
    folders = {project.root}
    inputs: set[str] = set()
    for entry in project.sources_setting:
        folder = project.root / entry
        if folder.is_dir():
            folders.update(p for p in [folder, *folder.rglob("*")] if p.is_dir() and "__pycache__" not in p.parts)
    with contextlib.suppress(CliError, sqlite3.Error, OSError):
        for path in project.default_sources():
            folders.add(path.parent)
        inputs = set(engine.snapshot().files)
        for rel in inputs:
            folders.add((project.root / rel).parent)
    return sorted(f for f in folders if f.is_dir()), inputs


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
