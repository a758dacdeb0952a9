"""Building blocks that the other factories place."""

import brimlay as bl


@bl.cell
def straight(c, length: float = 10.0, width: float = 0.5):
    """A straight waveguide with an optical port at each end."""
    c.add_port("o1", width=width, orientation=180.0)
    c.add_port("o2", center=(length, 0.0), width=width)
    c.info["length"] = length


@bl.cell
def pad(c, size: float = 80.0):
    """A square metal contact pad."""
    c.add_port("e1", center=(size / 2, size / 2), width=size, layer=(49, 0))
    c.info["area"] = size * size
