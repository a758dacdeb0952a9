"""The top level: a chip that places the devices, and a factory that does not build."""

import brimlay as bl

from .basics import pad, straight
from .devices import mzi, ring


@bl.cell
def chip(c):
    """The chip: a ring, an interferometer and a contact pad."""
    c.place(ring())
    c.place(mzi())
    c.place(pad())


@bl.cell
def spiral(c, turns: int = 3, pitch: float = 2.0, radius: float = 5.0):
    """A spiral delay line; its default settings do not fit, so it fails to build."""
    c.place(straight())
    if turns * pitch >= radius:
        raise ValueError(f"{turns} turns at pitch {pitch} do not fit in radius {radius}")
