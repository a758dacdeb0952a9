"""Cells, ports and the live layout registry."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

from brimlay._data import decode, encode, plain_text

__all__ = ["KCLayout", "KDBCell", "Port", "TKCell", "kcl"]


@dataclass(frozen=True, slots=True)
class Port:
    """A named connection point on a cell."""

    name: str
    center: tuple[float, float] = (0.0, 0.0)
    width: float = 1.0
    orientation: float = 0.0
    layer: tuple[int, int] = (1, 0)

    def to_dict(self) -> dict[str, Any]:
        """Plain, JSON-friendly description of the port."""
        return {
            "name": self.name,
            "center": list(self.center),
            "width": self.width,
            "orientation": self.orientation,
            "layer": list(self.layer),
        }


class KDBCell:
    """Hierarchy view of a cell: which cells place it and which it places.

    Both relations are kept as insertion-ordered dicts from cell index to
    cell, so each neighbour appears once, in order of its first placement.
    """

    __slots__ = ("_parents", "_children")

    def __init__(self) -> None:
        self._parents: dict[int, TKCell] = {}
        self._children: dict[int, TKCell] = {}

    def each_parent_cell(self) -> Iterator[int]:
        """Indices of the distinct cells that place this cell."""
        return iter(list(self._parents))

    def each_child_cell(self) -> Iterator[int]:
        """Indices of the distinct cells that this cell places."""
        return iter(list(self._children))


class TKCell:
    """A cell of the layout: a name, its ports, its settings and what it places."""

    __slots__ = (
        "name", "index", "factory_name", "settings", "info", "ports", "instances", "kdb_cell", "uses", "made_by",
        "restored", "_layout",
    )

    def __init__(
        self,
        layout: KCLayout,
        name: str,
        index: int,
        *,
        factory_name: str | None = None,
        settings: dict[str, Any] | None = None,
        info: dict[str, Any] | None = None,
    ) -> None:
        self._layout = layout
        self.name = name
        self.index = index
        self.factory_name = factory_name
        self.settings: dict[str, Any] = dict(settings or {})
        self.info: dict[str, Any] = dict(info or {})
        self.ports: list[Port] = []
        # One entry per placed instance, repeats included.
        self.instances: list[TKCell] = []
        self.kdb_cell = KDBCell()
        # Cells that factory calls returned while this cell was being built, by index
        # (placed or not): what building this cell needed.
        self.uses: dict[int, TKCell] = {}
        #: The function of the factory that made it (``module.qualname``); None for a cell made otherwise.
        self.made_by: str | None = None
        #: Brought back from plain data (see ``KCLayout.lookup``) rather than built by its factory.
        self.restored = False

    def __repr__(self) -> str:
        return f"TKCell(name={self.name!r}, index={self.index})"

    def add_port(
        self,
        name: str,
        *,
        center: tuple[float, float] = (0.0, 0.0),
        width: float = 1.0,
        orientation: float = 0.0,
        layer: tuple[int, int] = (1, 0),
    ) -> Port:
        """Add a port; port names are unique within a cell."""
        if any(port.name == name for port in self.ports):
            raise ValueError(f"cell {self.name!r} already has a port named {name!r}")
        x, y = center
        layer_number, datatype = layer
        port = Port(
            name=name,
            center=(float(x), float(y)),
            width=float(width),
            orientation=float(orientation),
            layer=(int(layer_number), int(datatype)),
        )
        self.ports.append(port)
        return port

    def place(self, child: TKCell) -> None:
        """Place an instance of ``child`` inside this cell."""
        if not isinstance(child, TKCell):
            raise TypeError(f"can only place a TKCell, got {type(child).__name__}")
        for cell in (self, child):
            if not self._layout._holds(cell):
                raise ValueError(f"cell {cell.name!r} is not in the layout (removed or cleared)")
        if child is self:
            raise ValueError(f"cannot place cell {self.name!r} inside itself")
        if _reaches(child, self):
            raise ValueError(f"placing {child.name!r} inside {self.name!r} would create a cycle")
        self._link(child)

    def _link(self, child: TKCell) -> None:
        self.instances.append(child)
        self.kdb_cell._children.setdefault(child.index, child)
        child.kdb_cell._parents.setdefault(self.index, self)


def _reaches(start: TKCell, goal: TKCell) -> bool:
    """Whether ``goal`` is ``start`` or lies below it in the hierarchy."""
    stack = [start]
    seen: set[int] = set()
    while stack:
        cell = stack.pop()
        if cell is goal:
            return True
        if cell.index in seen:
            continue
        seen.add(cell.index)
        stack.extend(cell.kdb_cell._children.values())
    return False


class KCLayout:
    """The registry of every live cell of the process.

    ``tkcells`` maps cell index to cell in creation order. Indices only grow
    and are never handed out twice, even across ``clear()``.

    ``lookup``, when set, is where factories find cells made before (by
    another process, say): a function from a cell name to that cell's plain
    data (``brimlay.cell_data``) or None. A factory call that would build a
    cell first asks it; when the data is for the same factory function and
    the same settings, the cell is brought back from it instead of running
    the factory: the cells it places and used come from the live layout when
    they are there (and are the same cells: same factory function and
    settings), else from ``lookup`` in turn. A cell brought back is the cell
    the factory would build (name, settings, info, ports, placements in order,
    ``uses``, and the factory names recorded in ``asked``), with
    ``restored`` set; when anything it needs cannot be found, the factory
    runs as usual. Cells brought back along the way belong to no factory
    object until a call of their factory (same function, same settings)
    takes them up, as it would take up a cell it had built. What the factory
    would have done besides making its cell (printing, writing files) is not
    done: ``lookup`` must only answer with cells whose factory's result would
    be the same now.
    """

    def __init__(self) -> None:
        self.tkcells: dict[int, TKCell] = {}
        self._by_name: dict[str, TKCell] = {}
        self._next_index = 0
        # (factory, settings key) -> cell built by that factory call.
        self._factory_cache: dict[tuple[Any, str], TKCell] = {}
        # Stable name -> the function, class or partial that first used it as a setting.
        self._setting_names: dict[str, Any] = {}
        # The cells whose factory functions are running, innermost last.
        self._building: list[TKCell] = []
        #: Factory name -> the factory names it called while building any of its cells, also in
        #: builds that failed (which leave no cells behind to show it).
        self.asked: dict[str, set[str]] = {}
        self.lookup: Callable[[str], dict[str, Any] | None] | None = None
        # Cells brought back from data that no factory call has taken up yet.
        self._unclaimed: set[int] = set()
        # Cells during whose build a factory call failed (their data would not tell the whole story).
        self._partial: set[int] = set()
        # Factory function name (``made_by``) -> how many factories were made of it (kept across ``clear``).
        self._makers: dict[str, int] = {}

    def create_cell(
        self,
        name: str,
        *,
        factory_name: str | None = None,
        settings: dict[str, Any] | None = None,
        info: dict[str, Any] | None = None,
    ) -> TKCell:
        """Create and register a new cell under a unique name."""
        if not isinstance(name, str) or not name:
            raise ValueError(f"a cell name must be a non-empty str, got {name!r}")
        if name in self._by_name:
            # The message names no index: it must read the same whatever else the process built first.
            raise ValueError(f"a cell named {name!r} already exists")
        index = self._next_index
        self._next_index += 1
        cell = TKCell(self, name, index, factory_name=factory_name, settings=settings, info=info)
        self.tkcells[index] = cell
        self._by_name[name] = cell
        return cell

    def cell_by_name(self, name: str) -> TKCell:
        """The live cell called ``name``; ``KeyError`` if there is none."""
        try:
            return self._by_name[name]
        except KeyError:
            raise KeyError(f"no cell named {name!r}") from None

    def clear(self) -> None:
        """Forget every cell, every cached factory result and every setting name."""
        self.tkcells.clear()
        self._by_name.clear()
        self._factory_cache.clear()
        self._setting_names.clear()
        self._building.clear()
        self.asked.clear()
        self._unclaimed.clear()
        self._partial.clear()

    # -- cells brought back from plain data (see ``lookup``) -----------------------------

    def _reuse(self, name: str, factory: str, made_by: str, settings: dict[str, Any]) -> TKCell | None:
        """The cell a factory call would build, brought back or taken up; None: build it."""
        existing = self._by_name.get(name)
        if existing is not None:
            # A live cell of that name: taken up if it was brought back for this very call; else
            # the factory runs and meets the name clash it would meet anyway.
            if existing.index in self._unclaimed and _same_cell(existing, factory, made_by, settings):
                self._unclaimed.discard(existing.index)
                return existing
            return None
        if self.lookup is None or self._makers.get(made_by) != 1:
            return None
        data = self.lookup(name)
        try:
            if data is None or (data["factory"], data["made_by"]) != (factory, made_by) or (
                    plain_text(data["settings"]) != plain_text(encode(settings))):
                return None
        except (KeyError, TypeError, ValueError, RecursionError):
            return None
        made: list[TKCell] = []
        try:
            cell = self._revive(data, made, settings)
        except (KeyError, TypeError, ValueError, RecursionError):
            cell = None
        if cell is None:
            for dropped in reversed(made):
                self._discard(dropped)
            return None
        for revived in made:  # what their factories would have recorded asking for
            if revived.uses and revived.factory_name is not None:
                self.asked.setdefault(revived.factory_name, set()).update(
                    used.factory_name for used in revived.uses.values() if used.factory_name is not None)
        return cell

    def _revive(self, data: dict[str, Any], made: list[TKCell], settings: dict[str, Any] | None) -> TKCell | None:
        assert self.lookup is not None
        found: dict[str, TKCell] = {}
        for name in [*data["instances"], *data["uses"]]:
            if name in found:
                continue
            child = self._by_name.get(name)
            child_data = self.lookup(name)
            if child_data is None or child_data["name"] != name:
                return None
            if child is None:
                child = self._revive(child_data, made, None)
                if child is None:
                    return None
                self._unclaimed.add(child.index)
            elif not _same_cell(child, child_data["factory"], child_data["made_by"], decode(child_data["settings"])):
                return None
            found[name] = child
        cell = self.create_cell(data["name"], factory_name=data["factory"], info=decode(data["info"]),
                                settings=decode(data["settings"]) if settings is None else settings)
        made.append(cell)
        cell.made_by, cell.restored = data["made_by"], True
        for name, x, y, width, orientation, layer, datatype in data["ports"]:
            cell.ports.append(Port(name, (x, y), width, orientation, (layer, datatype)))
        for name in data["instances"]:
            cell._link(found[name])
        for name in data["uses"]:
            cell.uses.setdefault(found[name].index, found[name])
        return cell

    def _holds(self, cell: TKCell) -> bool:
        return self.tkcells.get(cell.index) is cell

    def _discard(self, cell: TKCell) -> None:
        """Remove a cell and every hierarchy link to or from it."""
        if not self._holds(cell):
            return
        for child in cell.kdb_cell._children.values():
            child.kdb_cell._parents.pop(cell.index, None)
        for parent in cell.kdb_cell._parents.values():
            parent.kdb_cell._children.pop(cell.index, None)
            parent.instances[:] = [inst for inst in parent.instances if inst is not cell]
        cell.kdb_cell._children.clear()
        cell.kdb_cell._parents.clear()
        cell.instances.clear()
        cell.uses.clear()
        for other in self.tkcells.values():
            other.uses.pop(cell.index, None)
        del self.tkcells[cell.index]
        del self._by_name[cell.name]
        self._unclaimed.discard(cell.index)
        self._partial.discard(cell.index)
        for key, cached in list(self._factory_cache.items()):
            if cached is cell:
                del self._factory_cache[key]


def _same_cell(cell: TKCell, factory: str, made_by: str, settings: dict[str, Any]) -> bool:
    """Whether ``cell`` is what that factory function makes for those settings (same types too)."""
    if (cell.factory_name, cell.made_by) != (factory, made_by) or cell._layout._makers.get(made_by) != 1:
        return False
    try:
        return plain_text(encode(cell.settings)) == plain_text(encode(settings))
    except (ValueError, RecursionError):
        return False


kcl = KCLayout()
