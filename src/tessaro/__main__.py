"""``python -m tessaro``: the tessaro command line."""

from tessaro.cli import main

raise SystemExit(main())
