"""The command line's errors, importable by every module of it (this one imports nothing of its own)."""

from __future__ import annotations

from pathlib import Path

__all__ = ["CliError", "RegistryBusy", "RegistryDamaged", "RegistryUnwritable", "describe"]


class CliError(Exception):
    """Bad input: reported as one line on stderr, exit status 2."""

    exit_code = 2


class RegistryBusy(CliError):
    """Another program holds the registry locked: not bad input, and nothing is wrong with the file."""

    exit_code = 1


class RegistryUnwritable(CliError):
    """The registry cannot be written now (a full disk, a read-only file or folder); it is as it was."""

    exit_code = 1


class RegistryDamaged(CliError):
    """The registry fails SQLite's integrity check (after any unfinished write was rolled back).

    ``build`` and ``watch`` move such a file aside and start a new one; a query says so.
    """

    def __init__(self, path: Path, detail: str) -> None:
        self.path, self.detail = path, detail
        super().__init__(f"the registry {path} is damaged ({detail}): the next 'tessaro build' moves it aside"
                         f" (to {path.name}.damaged-DATE) and starts a new one")


def describe(exc: Exception) -> tuple[str, int]:
    """The one line (after ``tessaro: error: ``) and the exit status for an error a command met."""
    if isinstance(exc, CliError):
        return str(exc), exc.exit_code
    return f"unexpected {type(exc).__name__}: {exc}", 1
