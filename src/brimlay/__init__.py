"""brimlay: a small, pure-Python layout library.

It keeps one live registry of cells per process, ``kcl``. Cells carry ports,
settings and info, and place instances of other cells; ``@cell`` turns a
function into a factory that builds (and caches) one cell per distinct set
of settings. A function, class or ``functools.partial`` setting is named by
its module and qualified name (``setting_name``), never by its address::

    import brimlay as bl

    @bl.cell
    def straight(c, length: float = 10.0):
        c.add_port("o1")
        c.add_port("o2", center=(length, 0.0), orientation=180.0)

    @bl.cell
    def ring(c, radius: float = 10.0):
        c.add_port("o1")
        c.place(straight(length=radius))
"""

from brimlay._data import cell_data
from brimlay._factory import cell, setting_name
from brimlay._layout import KCLayout, KDBCell, Port, TKCell, kcl

__version__ = "0.2"

__all__ = ["KCLayout", "KDBCell", "Port", "TKCell", "cell", "cell_data", "kcl", "setting_name"]
