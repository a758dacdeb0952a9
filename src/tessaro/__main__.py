"""``python -m tessaro``: the tessaro command line."""

from tessaro.cli import run

raise SystemExit(run())
