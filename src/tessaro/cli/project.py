"""The project a command works on: its root, settings, sources and database file."""

from __future__ import annotations

import hashlib
import os
import sys
from dataclasses import dataclass
from pathlib import Path

from tessaro.cli.errors import CliError, RegistryUnwritable

__all__ = ["DEFAULT_SOURCES", "Project", "file_hash", "import_folders", "module_name", "open_project",
           "relative_source"]

#: Where factory sources live when ``[tool.tessaro] sources`` is not set.
DEFAULT_SOURCES = ("factories",)
#: The keys ``[tool.tessaro]`` may hold.
SETTINGS = ("sources", "scheduler")


@dataclass(frozen=True)
class Project:
    root: Path
    sources_setting: tuple[str, ...]
    sources_configured: bool
    scheduler: str | None = None  # the address of a Dask scheduler that builds go to

    @property
    def db_path(self) -> Path:
        from tessaro.settings import db_path_of

        return db_path_of(self.root)

    @property
    def pyproject(self) -> Path:
        return self.root / "pyproject.toml"

    def rel(self, path: Path | str) -> str:
        return relative_source(self.root, path)

    @property
    def bytecode_cache(self) -> Path:
        """Where imports of the project's files keep their bytecode (never beside the sources)."""
        return self.root / "build" / "pycache"

    @property
    def cell_store(self) -> Path:
        """Where builds keep the cells they made (see ``tessaro.cli.store``)."""
        return self.root / "build" / "cells.db"

    def rel_if_inside(self, file: str | None, *, python: bool = True) -> str | None:
        """The project-relative path of ``file`` if it is one of the project's own files, else None.

        A file is the project's when its resolved path lies inside the project,
        outside hidden folders (``.venv``, ``.git``), installed packages and
        ``build/`` (what the build itself writes). With ``python``, only ``.py``
        files count. A file's identity is its resolved path.
        """
        if not file:
            return None
        cache = _inside_cache.setdefault((self.root, python), {})
        try:
            return cache[file]
        except KeyError:
            pass
        rel = None
        relative = relative_source(self.root, file)
        if (relative.endswith(".py") or not python) and not relative.startswith(".."):
            parts = relative.split(os.sep)
            if parts[0] != "build" and not any(
                p.startswith(".") or p in ("site-packages", "dist-packages", "__pycache__") for p in parts
            ):
                rel = relative
        cache[file] = rel
        return rel

    def default_sources(self) -> list[Path]:
        """Every Python file under the configured source entries, in a stable order."""
        return list(self.source_files().values())

    def source_files(self) -> dict[str, Path]:
        """``default_sources`` by project-relative path."""
        files: list[Path] = []
        where = "[tool.tessaro] sources" if self.sources_configured else "the default source folder"
        seen = set()
        for entry in self.sources_setting:
            try:
                path = (self.root / entry).resolve()
            except (OSError, RuntimeError) as exc:  # a symlink loop
                raise CliError(f"{where} names {entry!r}, which cannot be followed ({exc}): fix the link") from None
            if path in seen:  # each folder is walked once, however often it is named
                continue
            seen.add(path)
            if path.is_dir():
                files.extend(_python_files(path))
            elif path.is_file() and path.suffix == ".py":
                files.append(path)
            else:
                raise CliError(
                    f"{where} names {entry!r}, which is not a folder or Python file in {self.root}"
                    + ("" if self.sources_configured else " (set 'sources' under [tool.tessaro] in pyproject.toml)")
                )
        return _by_rel(files, self.root)

    def check_database(self, *, create: bool = False) -> None:
        """Refuse a registry path that cannot hold a registry, before anything touches it.

        Nothing here follows a symlink or opens a FIFO or device. With ``create``
        (a build), a missing default folder is made, and a ``build/`` or
        ``build/pycache`` that leads outside the project is refused; an explicit
        ``TESSARO_DB_PATH`` must name a file in a folder that exists.
        """
        from tessaro.cli.registry import elsewhere, entry_kind, verify
        from tessaro.settings import DB_PATH_ENV

        path = self.db_path
        if create:
            for folder, what in ((self.root / "build", "its registry"), (self.bytecode_cache, "bytecode")):
                target = Path(os.path.realpath(folder))
                if entry_kind(folder) == "symbolic link" and not target.is_relative_to(self.root):
                    raise CliError(f"{folder} is a symbolic link to {target}, outside the project, where the build"
                                   f" would write {what}: remove the link ({DB_PATH_ENV} keeps the registry"
                                   " elsewhere)")
        folder = path.parent
        if not folder.is_dir():
            if entry_kind(folder) is not None:
                raise CliError(f"{folder} is a {entry_kind(folder)} where the registry's folder should be:"
                               f" {elsewhere()}")
            if os.environ.get(DB_PATH_ENV):
                raise CliError(f"{DB_PATH_ENV} names {path}, in a folder that does not exist:"
                               f" create {folder} or change {DB_PATH_ENV}")
            if create:
                try:
                    folder.mkdir(parents=True)
                except OSError as exc:
                    raise RegistryUnwritable(f"cannot create {folder} for the registry ({exc.strerror})") from None
            return
        kind = entry_kind(path)
        if kind == "symbolic link":
            raise CliError(f"the registry {path} is a symbolic link (to {os.readlink(path)}), which the build never"
                           f" writes through: set {DB_PATH_ENV} to the file itself, or remove the link")
        if kind not in (None, "file"):
            raise CliError(f"the registry {path} is a {kind}, not a file: {elsewhere()}")
        for suffix, role in ((".lock", "build lock"), ("-journal", "rollback journal"), ("-wal", "write-ahead log"),
                             ("-shm", "WAL index")):
            beside = path.with_name(path.name + suffix)
            kind = entry_kind(beside)
            if kind not in (None, "file"):
                raise CliError(f"{beside} is a {kind} where the registry keeps its {role}: remove it")
        verify(path)


_inside_cache: dict[tuple[Path, bool], dict[str, str | None]] = {}


def open_project(project_option: str | None) -> Project:
    """Find the project (``--project`` or the usual settings lookup) and read its settings.

    ``--project`` is handed on to ``tessaro.settings`` through the environment,
    so the registry module resolves the same root and database file.
    """
    if project_option is not None:
        root = Path(project_option).expanduser()
        if root.is_file():
            raise CliError(f"--project {project_option!r} is a file, not a project folder")
        if not root.is_dir():
            raise CliError(f"project folder {project_option!r} does not exist")
        root = root.resolve()
        os.environ["TESSARO_PROJECT_DIR"] = str(root)
    else:
        from tessaro.settings import get_project_dir

        root = get_project_dir()
    import difflib  # here: build workers import this module, and never read settings
    import tomllib

    pyproject = root / "pyproject.toml"
    if not pyproject.is_file():
        hint = "" if project_option is not None else " or any folder above it (use --project DIR)"
        raise CliError(f"no pyproject.toml in {root}{hint}")
    try:
        with pyproject.open("rb") as handle:
            data = tomllib.load(handle)
    except (OSError, tomllib.TOMLDecodeError) as exc:
        raise CliError(f"cannot read {pyproject}: {exc}") from None
    table = data.get("tool", {}).get("tessaro", {})
    if not isinstance(table, dict):
        raise CliError(f"{pyproject}: [tool.tessaro] must be a table")
    for key in table:
        if key not in SETTINGS:
            close = difflib.get_close_matches(key, SETTINGS, n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else f" (known: {', '.join(SETTINGS)})"
            print(f"tessaro: warning: {pyproject}: unknown key {key!r} under [tool.tessaro]{hint}", file=sys.stderr)
    sources = table.get("sources")
    configured = sources is not None
    if sources is None:
        sources = list(DEFAULT_SOURCES)
    elif isinstance(sources, str):
        sources = [sources]
    if not isinstance(sources, list) or not all(isinstance(s, str) and s for s in sources):
        raise CliError(f"{pyproject}: [tool.tessaro] sources must be a path or a list of paths")
    scheduler = table.get("scheduler")
    if scheduler is not None and (not isinstance(scheduler, str) or not scheduler):
        raise CliError(f"{pyproject}: [tool.tessaro] scheduler must be the address of a Dask scheduler")
    return Project(root=root, sources_setting=tuple(dict.fromkeys(sources)), sources_configured=configured,
                   scheduler=scheduler)


def explicit_sources(arguments: list[str], root: Path) -> list[Path]:
    """Resolve sources given on the command line; each must be a Python file or a folder of them.

    A relative path is taken from the working directory, or else from the project root.
    """
    files: list[Path] = []
    for argument in arguments:
        path = Path(argument).expanduser()
        if not path.exists() and not path.is_absolute() and (root / path).exists():
            path = root / path
        if path.is_dir():
            found = _python_files(path.resolve())
            if not found:
                raise CliError(f"source folder {argument!r} holds no Python files")
            files.extend(found)
        elif not path.exists():
            raise CliError(f"source {argument!r} does not exist")
        elif path.suffix != ".py":
            raise CliError(f"source {argument!r} is not a Python file (.py)")
        else:
            files.append(path.resolve())
    return list(dict.fromkeys(files))


def file_hash(path: Path) -> str | None:
    """The content hash of a file (None if it cannot be read)."""
    try:
        return hashlib.blake2b(path.read_bytes(), digest_size=16).hexdigest()
    except OSError:
        return None


def relative_source(root: Path, path: Path | str) -> str:
    """The project-relative text under which the registry stores a file: its resolved path.

    A symlink inside the project to a file outside it keeps the link's own
    path (its content is still the target's).
    """
    relative = os.path.relpath(os.path.realpath(path), root)
    if relative.startswith(".."):
        linked = os.path.relpath(os.path.abspath(path), root)
        if not linked.startswith(".."):
            return linked
    return relative


def module_name(path: Path) -> tuple[str, Path]:
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


def import_folders(sources: list[Path]) -> list[str]:
    """The folders the sources are imported from (see ``module_name``), each once, in the sources' order."""
    bases: dict[Path, str] = {}
    for path in sources:
        if path.parent not in bases:  # the same for every file of a folder
            bases[path.parent] = str(module_name(path)[1])
    return list(dict.fromkeys(bases.values()))


def _python_files(folder: Path) -> list[Path]:
    found = []
    for path in sorted(folder.rglob("*.py")):
        parts = path.relative_to(folder).parts
        if any(part == "__pycache__" or part.startswith(".") for part in parts):
            continue
        if path.is_file():
            found.append(path)
    return found


def _by_rel(paths: list[Path], root: Path) -> dict[str, Path]:
    """``paths`` by project-relative path: a file reached through several names (symlinks) counts once."""
    found: dict[str, Path] = {}
    for path in paths:
        key = relative_source(root, path)
        if key not in found or (found[key].is_symlink() and not path.is_symlink()):
            found[key] = path
    return found
