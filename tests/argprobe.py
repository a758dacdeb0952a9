"""A compiled reference for the registry module's argument layer: the same
signatures with empty bodies, compiled by Cython into an extension module, so
that a call can be made on both and the refusals compared."""

from __future__ import annotations

import builtins
import importlib.util
import inspect
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

# The annotations that make the compiler test an argument; all others are dropped.
CHECKED = {"list", "str", "tuple", "int", "bool"}


def build(functions, folder: Path):
    """Compiles `def name(signature): pass` for each function, keeping only the
    checked annotations, in folder and imports it; None when there is no C compiler."""
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    if not shutil.which(cc[0]):
        return None
    py, c = folder / "argprobe_compiled.py", folder / "argprobe_compiled.c"
    with py.open("w") as out:
        for name, f in functions.items():
            params = [p.replace(annotation=getattr(builtins, p.annotation.split("[")[0]))
                      if p.kind is not p.VAR_POSITIONAL and p.annotation.split("[")[0] in CHECKED
                      else p.replace(annotation=p.empty) for p in inspect.signature(f).parameters.values()]
            out.write(f"def {name}{inspect.Signature(params)}: pass\n")
    subprocess.run([sys.executable, "-m", "cython", "-3", str(py), "-o", str(c)], check=True)
    so = c.with_suffix(sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([*cc, "-shared", "-fPIC", "-O0", "-I", sysconfig.get_paths()["include"], str(c), "-o", str(so)],
                   check=True)
    found = importlib.util.spec_from_file_location(py.stem, so)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
