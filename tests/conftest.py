"""Shared fixtures: an isolated project with its own database, the registry
module, the debug lines it logs, and direct SQL access to the file."""

from __future__ import annotations

import logging
import sqlite3

import pytest


@pytest.fixture
def project(tmp_path, monkeypatch):
    """A fresh project directory, made the working directory, with its database path set."""
    root = (tmp_path / "proj").resolve()
    root.mkdir()
    (root / "pyproject.toml").write_text("[project]\nname = 'demo'\n")
    monkeypatch.setenv("TESSARO_PROJECT_DIR", str(root))
    monkeypatch.setenv("TESSARO_DB_PATH", str(root / "build" / "tessaro.db"))
    monkeypatch.chdir(root)
    return root


@pytest.fixture
def db_file(project):
    return project / "build" / "tessaro.db"


@pytest.fixture
def db(project):
    import tessaro.core.database as database

    return database


class _Lines(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines: list[str] = []

    def emit(self, record):
        self.lines.append(record.getMessage())


@pytest.fixture
def debug_lines():
    """The messages logged on the package logger during the test."""
    logger = logging.getLogger("tessaro")
    handler = _Lines()
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    yield handler.lines
    logger.removeHandler(handler)
    logger.setLevel(old_level)


@pytest.fixture
def sql(db_file):
    """Run one statement against the project's database file and return its rows."""

    def run(statement, params=()):
        conn = sqlite3.connect(db_file)
        try:
            with conn:
                return conn.execute(statement, params).fetchall()
        finally:
            conn.close()

    return run


@pytest.fixture
def layout():
    """The live layout registry, empty before and after the test."""
    import brimlay

    brimlay.kcl.clear()
    yield brimlay
    brimlay.kcl.clear()
