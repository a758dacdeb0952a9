"""The project a command works on: its root, settings, sources and database file."""

from __future__ import annotations

import os
import tomllib
from dataclasses import dataclass
from pathlib import Path

__all__ = ["DEFAULT_SOURCES", "CliError", "Project", "open_project", "relative_source"]

#: Where factory sources live when ``[tool.tessaro] sources`` is not set.
DEFAULT_SOURCES = ("factories",)


class CliError(Exception):
    """Bad input: reported as one line on stderr, exit status 2."""

    exit_code = 2


@dataclass(frozen=True)
class Project:
    root: Path
    sources_setting: tuple[str, ...]
    sources_configured: bool

    @property
    def db_path(self) -> Path:
        from tessaro.settings import get_db_path

        return get_db_path()

    @property
    def pyproject(self) -> Path:
        return self.root / "pyproject.toml"

    def rel(self, path: Path | str) -> str:
        return relative_source(self.root, path)

    @property
    def bytecode_cache(self) -> Path:
        """Where imports of the project's files keep their bytecode (never beside the sources)."""
        return self.root / "build" / "pycache"

    def rel_if_inside(self, file: str | None) -> str | None:
        """The project-relative path of ``file`` if it is one of the project's own Python files, else None.

        Files in hidden folders (``.venv``, ``.git``) and installed packages are not the project's.
        """
        if not file:
            return None
        cache = _inside_cache.setdefault(self.root, {})
        try:
            return cache[file]
        except KeyError:
            pass
        rel = None
        relative = os.path.relpath(os.path.realpath(file), self.root)
        if relative.endswith(".py") and not relative.startswith(".."):
            parts = relative.split(os.sep)
            if not any(p.startswith(".") or p in ("site-packages", "dist-packages", "__pycache__") for p in parts):
                rel = relative
        cache[file] = rel
        return rel

    def default_sources(self) -> list[Path]:
        """Every Python file under the configured source entries, in a stable order."""
        files: list[Path] = []
        for entry in self.sources_setting:
            path = (self.root / entry).resolve()
            if path.is_dir():
                files.extend(_python_files(path))
            elif path.is_file() and path.suffix == ".py":
                files.append(path)
            else:
                where = "[tool.tessaro] sources" if self.sources_configured else "the default source folder"
                raise CliError(
                    f"{where} names {entry!r}, which is not a folder or Python file in {self.root}"
                    + ("" if self.sources_configured else " (set 'sources' under [tool.tessaro] in pyproject.toml)")
                )
        return _unique(files)

    def check_database(self) -> None:
        """Refuse a database file that is not an SQLite database, before anything writes to it.

        Only the file's header is read: an empty file is a valid empty
        database, anything else must start with SQLite's magic string.
        """
        path = self.db_path
        if not path.exists():
            return
        if path.is_dir():
            raise CliError(f"database path {path} is a folder, not a database file")
        try:
            with path.open("rb") as f:
                header = f.read(len(_SQLITE_MAGIC))
        except OSError as exc:
            raise CliError(f"cannot read the database file {path} ({exc.strerror})") from None
        if header and header != _SQLITE_MAGIC:
            raise CliError(f"{path} is not a usable registry database (file is not a database)")


_SQLITE_MAGIC = b"SQLite format 3\x00"
_inside_cache: dict[Path, dict[str, str | None]] = {}


def open_project(project_option: str | None) -> Project:
    """Find the project (``--project`` or the usual settings lookup) and read its settings.

    ``--project`` is handed on to ``tessaro.settings`` through the environment,
    so the registry module resolves the same root and database file.
    """
    if project_option is not None:
        root = Path(project_option).expanduser()
        if not root.is_dir():
            raise CliError(f"project folder {project_option!r} does not exist")
        root = root.resolve()
        os.environ["TESSARO_PROJECT_DIR"] = str(root)
    else:
        from tessaro.settings import get_project_dir

        root = get_project_dir()
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
    sources = table.get("sources")
    configured = sources is not None
    if sources is None:
        sources = list(DEFAULT_SOURCES)
    elif isinstance(sources, str):
        sources = [sources]
    if not isinstance(sources, list) or not sources or not all(isinstance(s, str) and s for s in sources):
        raise CliError(f"{pyproject}: [tool.tessaro] sources must be a path or a list of paths")
    return Project(root=root, sources_setting=tuple(sources), sources_configured=configured)


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
    return _unique(files)


def relative_source(root: Path, path: Path | str) -> str:
    """The project-relative text under which the registry stores a source."""
    return os.path.relpath(os.path.realpath(path), root)


def _python_files(folder: Path) -> list[Path]:
    found = []
    for path in sorted(folder.rglob("*.py")):
        parts = path.relative_to(folder).parts
        if any(part == "__pycache__" or part.startswith(".") for part in parts):
            continue
        if path.is_file():
            found.append(path)
    return found


def _unique(paths: list[Path]) -> list[Path]:
    return list(dict.fromkeys(paths))
