"""Cells as plain data: what a cell holds, in a form that JSON carries and that comes back exactly.

A value comes back exactly when it is made only of ``None``, ``bool``,
``int``, ``float``, ``str``, ``list``, ``tuple`` and ``dict`` (of exactly
those types, subclasses excluded): scalars stay as they are, and each
container becomes a one-key object (``{"l": [...]}``, ``{"t": [...]}``,
``{"d": [[key, value], ...]}``) so that a tuple stays a tuple and a dict
keeps its key types and order. Anything else (a function, an enum member, a
NumPy number) has no exact plain form, and the cell holding it is not
described.
"""

from __future__ import annotations

import json
from typing import Any

__all__ = ["cell_data", "decode", "encode", "plain_text"]

_SCALARS = (type(None), bool, int, float, str)


def encode(value: Any) -> Any:
    """``value`` as plain data that ``decode`` turns back into an equal value of the same types."""
    kind = type(value)
    if kind in _SCALARS:
        return value
    if kind is list:
        return {"l": [encode(item) for item in value]}
    if kind is tuple:
        return {"t": [encode(item) for item in value]}
    if kind is dict:
        return {"d": [[encode(key), encode(item)] for key, item in value.items()]}
    raise ValueError(f"a {kind.__name__} value has no exact plain form")


def plain_text(data: Any) -> str:
    """The text of encoded data, equal for equal values of equal types (``1`` and ``1.0`` differ)."""
    return json.dumps(data, sort_keys=True)


def decode(data: Any) -> Any:
    """The value ``encode`` described."""
    if not isinstance(data, dict):
        return data
    ((kind, items),) = data.items()
    if kind == "l":
        return [decode(item) for item in items]
    if kind == "t":
        return tuple(decode(item) for item in items)
    if kind == "d":
        return {decode(key): decode(item) for key, item in items}
    raise ValueError(f"unknown kind of plain data {kind!r}")


def cell_data(cell: Any) -> dict[str, Any]:
    """Everything ``cell`` holds, as plain data from which ``KCLayout`` can bring it back.

    Its name, factory (name and the function behind it), settings, info,
    ports, the cells it places (in order, repeats included) and the cells its
    build used, by name. Only a cell made by a factory whose function made
    no other factory, whose build finished without any failed factory call,
    and whose settings and info have an exact plain form (see the module
    docstring), can be described; ``ValueError`` says why another cannot.
    """
    layout = cell._layout
    if cell.made_by is None:
        raise ValueError(f"cell {cell.name!r} was not made by a factory")
    if cell.index in layout._partial:
        raise ValueError(f"a factory call failed while cell {cell.name!r} was built")
    if layout._makers.get(cell.made_by) != 1:
        raise ValueError(f"several factories are made of the function of cell {cell.name!r}")
    try:
        settings, info = encode(cell.settings), encode(cell.info)
    except RecursionError:
        raise ValueError(f"cell {cell.name!r} holds a value nested too deeply") from None
    return {
        "name": cell.name,
        "factory": cell.factory_name,
        "made_by": cell.made_by,
        "settings": settings,
        "info": info,
        "ports": [[p.name, *p.center, p.width, p.orientation, *p.layer] for p in cell.ports],
        "instances": [child.name for child in cell.instances],
        "uses": [used.name for used in cell.uses.values()],
    }
