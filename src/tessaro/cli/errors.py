"""The command line's errors, importable by every module of it (this one imports nothing of its own)."""

from __future__ import annotations

__all__ = ["CliError", "RegistryBusy"]


class CliError(Exception):
    """Bad input: reported as one line on stderr, exit status 2."""

    exit_code = 2


class RegistryBusy(CliError):
    """Another program holds the registry locked: not bad input, and nothing is wrong with the file."""

    exit_code = 1
