"""Where the project lives and where its registry database is kept.

Both answers are computed afresh on every call, so changing the environment or
the working directory takes effect immediately.

- ``TESSARO_PROJECT_DIR`` names the project root explicitly; otherwise the
  root is the nearest directory at or above the working directory that holds a
  ``pyproject.toml``, and failing that the working directory itself.
- ``TESSARO_DB_PATH`` names the database file explicitly; otherwise it is
  ``<project root>/build/tessaro.db``.
"""

from __future__ import annotations

import os
from pathlib import Path

PROJECT_DIR_ENV = "TESSARO_PROJECT_DIR"
DB_PATH_ENV = "TESSARO_DB_PATH"
PROJECT_MARKER = "pyproject.toml"

__all__ = ["DB_PATH_ENV", "PROJECT_DIR_ENV", "get_db_path", "get_project_dir"]


def get_project_dir() -> Path:
    """Return the absolute, resolved root directory of the current project."""
    explicit = os.environ.get(PROJECT_DIR_ENV)
    if explicit:
        return Path(explicit).expanduser().resolve()
    cwd = Path.cwd().resolve()
    for directory in (cwd, *cwd.parents):
        if (directory / PROJECT_MARKER).is_file():
            return directory
    return cwd


def get_db_path() -> Path:
    """Return the absolute path of the project's registry database.

    The folder that will hold the file is created if needed; the file itself is
    left to the database layer, which decides whether an operation may create it.
    """
    explicit = os.environ.get(DB_PATH_ENV)
    if explicit:
        path = Path(explicit).expanduser().absolute()
    else:
        path = get_project_dir() / "build" / "tessaro.db"
    path.parent.mkdir(parents=True, exist_ok=True)
    return path
