"""Devices made of the building blocks."""

import brimlay as bl

from .basics import pad, straight


@bl.cell
def ring(c, radius: float = 10.0, gap: float = 0.2):
    """A ring resonator next to a bus waveguide, with a heater pad."""
    c.place(straight())
    c.place(pad())
    c.add_port("o1", center=(-radius, -radius - gap), orientation=180.0)
    c.add_port("o2", center=(radius, -radius - gap))
    c.info["radius"] = radius


@bl.cell
def mzi(c, delta_length: float = 30.0):
    """A Mach-Zehnder interferometer: a short and a long arm."""
    c.place(straight())
    c.place(straight(length=10.0 + delta_length))
    c.add_port("o1", orientation=180.0)
    c.add_port("o2", center=(40.0 + delta_length, 0.0))
