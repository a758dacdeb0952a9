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

__all__ = ["DB_PATH_ENV", "PROJECT_DIR_ENV", "db_path_of", "get_db_path", "get_project_dir"]


def get_project_dir() -> Path:
    """Return the absolute, resolved root directory of the current project."""
    # Every registry operation asks for its paths anew, so the lookup works on
    # plain strings and builds a single Path at the end.
    explicit = os.environ.get(PROJECT_DIR_ENV)
    if explicit:
        return Path(os.path.realpath(os.path.expanduser(explicit)))
    cwd = os.path.realpath(os.getcwd())
    directory = cwd
    while True:
        if os.path.isfile(os.path.join(directory, PROJECT_MARKER)):
            return Path(directory)
        parent = os.path.dirname(directory)
        if parent == directory:
            return Path(cwd)
        directory = parent


def db_path_of(project_dir: Path | str) -> Path:
    """The registry database path for a project root, as ``get_db_path`` finds it, without creating anything."""
    explicit = os.environ.get(DB_PATH_ENV)
    if explicit:
        return Path(os.path.abspath(os.path.expanduser(explicit)))
    return Path(os.path.join(project_dir, "build", "tessaro.db"))


def get_db_path() -> Path:
    """Return the absolute path of the project's registry database.

    The folder that will hold the file is created if needed; the file itself is
    left to the database layer, which decides whether an operation may create it.
    """
    explicit = os.environ.get(DB_PATH_ENV)
    if explicit:
        path = os.path.abspath(os.path.expanduser(explicit))
    else:
        path = os.path.join(get_project_dir(), "build", "tessaro.db")
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        os.makedirs(folder, exist_ok=True)
    return Path(path)
