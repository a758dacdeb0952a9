"""Tessaro: a persistent registry of a layout project's factories, components and models.

The package root stays free of imports so that loading any submodule (in
particular ``tessaro.core.database``) pulls in only what that submodule needs.
"""

__version__ = "0.1.0"
