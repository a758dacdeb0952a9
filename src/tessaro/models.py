"""Record types for the registry: factories, components and models.

Records are plain mutable dataclasses, built by keyword only. The list- and
mapping-valued fields are held as Python values but accept their stored JSON
text as well, so a record can be built straight from a database row; every
assignment (in ``__init__`` and later) goes through the same check, so a
record never holds text where a list or mapping belongs. ``to_db_tuple()``
turns the record back into the values bound to the table's insert statement;
it refuses a name that is not a non-empty ``str``, so such a record is never
written, while rows already stored that way can still be read back.
Functions, classes and ``functools.partial`` values inside settings are
written as their stable name (``mypkg.tech.bend_euler``).

``None`` is let through for those fields on purpose: it stands for "missing"
and is written as SQL NULL, which the ``NOT NULL`` columns then refuse.

``ModelRecord.settings`` is the exception: the database binds it directly, so
it is kept as JSON text; ``ModelRecord.settings_dict`` gives the mapping.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, ClassVar

__all__ = ["ComponentRecord", "FactoryRecord", "ModelRecord"]


def _dump(value: Any) -> str | None:
    """JSON text for a stored field (``None`` stays ``None``)."""
    if value is None:
        return None
    return json.dumps(value, default=_json_default)


def _json_default(value: Any) -> str:
    """Text for a value JSON has no form for: functions, classes and partials by
    their stable name (see ``brimlay.setting_name``), anything else by ``str``."""
    from brimlay import setting_name  # only reached for such values; keeps brimlay's import lazy

    name = setting_name(value)
    return str(value) if name is None else name


def _checked_name(owner: str, name: str, value: Any, *, may_be_empty: bool = False) -> str:
    """A stored name: always a ``str``, non-empty unless ``may_be_empty``."""
    if not isinstance(value, str):
        raise TypeError(f"{owner}.{name} must be a str, got {type(value).__name__}: {value!r}")
    if not value and not may_be_empty:
        raise ValueError(f"{owner}.{name} must not be empty")
    return value


def _parse(owner: str, name: str, text: str, kind: type, what: str) -> Any:
    try:
        value = json.loads(text)
    except json.JSONDecodeError as exc:
        raise ValueError(f"{owner}.{name} is not valid JSON ({exc}): {text!r}") from None
    if not isinstance(value, kind):
        raise ValueError(f"{owner}.{name} must be JSON of {what}, got JSON {type(value).__name__}: {text!r}")
    return value


def _as_list(owner: str, name: str, value: Any) -> list[Any] | None:
    if value is None:
        return None
    if isinstance(value, str):
        return _parse(owner, name, value, list, "a list")
    if isinstance(value, (list, tuple)):
        return list(value)
    raise TypeError(f"{owner}.{name} must be a list or its JSON text, got {type(value).__name__}")


def _as_dict(owner: str, name: str, value: Any) -> dict[str, Any] | None:
    if value is None:
        return None
    if isinstance(value, str):
        return _parse(owner, name, value, dict, "an object")
    if isinstance(value, Mapping):
        return dict(value)
    raise TypeError(f"{owner}.{name} must be a mapping or its JSON text, got {type(value).__name__}")


def _as_json_dict_text(owner: str, name: str, value: Any) -> str | None:
    """Keep valid mapping JSON text as given; serialise a mapping."""
    if value is None:
        return None
    if isinstance(value, str):
        _parse(owner, name, value, dict, "an object")
        return value
    if isinstance(value, Mapping):
        return json.dumps(dict(value), default=_json_default)
    raise TypeError(f"{owner}.{name} must be a mapping or its JSON text, got {type(value).__name__}")


def _as_flag(owner: str, name: str, value: Any) -> bool:
    if isinstance(value, (bool, int)):
        return bool(value)
    raise TypeError(f"{owner}.{name} must be a bool, got {type(value).__name__}")


class _Record:
    """Runs every assignment to a checked field through its converter."""

    __slots__ = ()
    _converters: ClassVar[dict[str, Callable[[str, str, Any], Any]]] = {}

    def __setattr__(self, name: str, value: Any) -> None:
        convert = self._converters.get(name)
        if convert is not None:
            value = convert(type(self).__name__, name, value)
        object.__setattr__(self, name, value)


@dataclass(kw_only=True, eq=True, repr=True)
class FactoryRecord(_Record):
    """A factory: a named cell-building function of a project source file."""

    name: str
    source: str | Path
    status: str = "UNKNOWN"
    message: str = ""
    default_settings: dict[str, Any] = field(default_factory=dict)
    pdk_type: str = "generic"
    parents: list[Any] = field(default_factory=list)
    children: list[Any] = field(default_factory=list)
    is_partial: bool = False
    has_model: bool = False
    tags: list[Any] = field(default_factory=list)
    ignored_sources: list[Any] = field(default_factory=list)
    last_updated: str | None = None

    _converters: ClassVar[dict[str, Callable[[str, str, Any], Any]]] = {
        "default_settings": _as_dict,
        "parents": _as_list,
        "children": _as_list,
        "is_partial": _as_flag,
        "has_model": _as_flag,
        "tags": _as_list,
        "ignored_sources": _as_list,
    }

    def to_db_tuple(self) -> tuple[Any, ...]:
        """The eleven values of a factory row, in insert order (no ``has_model``, no timestamp).

        The name must be a non-empty ``str`` (``TypeError`` / ``ValueError`` otherwise).
        """
        return (
            _checked_name("FactoryRecord", "name", self.name),
            str(self.source),
            self.status,
            self.message,
            _dump(self.default_settings),
            self.pdk_type,
            _dump(self.parents),
            _dump(self.children),
            self.is_partial,
            _dump(self.tags),
            _dump(self.ignored_sources),
        )


@dataclass(kw_only=True, eq=True, repr=True)
class ComponentRecord(_Record):
    """A component: one concrete cell that a factory produced."""

    name: str
    factory_name: str = ""
    ports: list[Any] = field(default_factory=list)
    settings: dict[str, Any] = field(default_factory=dict)
    info: dict[str, Any] = field(default_factory=dict)

    _converters: ClassVar[dict[str, Callable[[str, str, Any], Any]]] = {
        "ports": _as_list,
        "settings": _as_dict,
        "info": _as_dict,
    }

    def to_db_tuple(self) -> tuple[Any, ...]:
        """The five values of a component row, in insert order.

        The name must be a non-empty ``str``; ``factory_name`` a ``str``, empty for
        a cell of no factory (``TypeError`` / ``ValueError`` otherwise).
        """
        return (
            _checked_name("ComponentRecord", "name", self.name),
            _checked_name("ComponentRecord", "factory_name", self.factory_name, may_be_empty=True),
            _dump(self.ports),
            _dump(self.settings),
            _dump(self.info),
        )

    @classmethod
    def from_tkcell(cls, cell: Any) -> ComponentRecord:
        """Describe a live layout cell: its name, factory, ports, settings and info."""
        ports = [_port_dict(port) for port in (cell.ports or ())]
        return cls(
            name=cell.name,
            factory_name=getattr(cell, "factory_name", None) or "",
            ports=ports,
            settings=dict(cell.settings or {}),
            info=dict(cell.info or {}),
        )


def _port_dict(port: Any) -> dict[str, Any]:
    if isinstance(port, Mapping):
        return dict(port)
    to_dict = getattr(port, "to_dict", None)
    if to_dict is None:
        raise TypeError(f"cannot describe port {port!r}: it is neither a mapping nor has to_dict()")
    return dict(to_dict())


@dataclass(kw_only=True, eq=True, repr=True)
class ModelRecord(_Record):
    """A model of one factory (keyed by the factory's name)."""

    factory: str
    settings: str = "{}"
    source: str | Path
    pdk_type: str = "generic"
    status: str = "UNKNOWN"
    message: str = ""

    _converters: ClassVar[dict[str, Callable[[str, str, Any], Any]]] = {
        "settings": _as_json_dict_text,
    }

    @property
    def settings_dict(self) -> dict[str, Any] | None:
        """The settings as a mapping (``None`` when unset)."""
        return None if self.settings is None else json.loads(self.settings)
