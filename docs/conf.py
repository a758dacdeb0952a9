"""Sphinx configuration: the documentation of the installed tessaro (``./dev docs`` builds it into build/docs)."""

import os
import sys
from pathlib import Path

import tessaro

sys.path.insert(0, str(Path(__file__).parent / "_ext"))  # the generated pages' directives, not the sources

project = "tessaro"
release = version = tessaro.__version__
extensions = ["sphinx.ext.autodoc", "myst_parser", "generated"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_title = f"tessaro {release}"
autodoc_member_order = "alphabetical"
# The pages show what help() shows: the compiled module's own signatures and docstrings, not its type stub's.
autodoc_typehints = "signature"
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"
