"""Marking the model of a factory in a project source file.

A model describes how a factory's cell behaves (a compact model, a lookup
table, a circuit...). ``tessaro build`` registers every object of a source
file that is marked with ``@model`` and defined in that file::

    import brimlay as bl
    from tessaro.modeling import model

    @bl.cell
    def ring(c, radius: float = 10.0): ...

    @model(ring, settings={"radius": 10.0}, pdk_type="generic")
    def ring_model(wavelength):
        ...

The first argument names the factory, either by its name or by the factory
itself. The object is returned unchanged apart from one attribute,
``__tessaro_model__``, that holds the :class:`ModelMark`.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, TypeVar

__all__ = ["MODEL_ATTRIBUTE", "ModelMark", "model", "model_mark"]

MODEL_ATTRIBUTE = "__tessaro_model__"

T = TypeVar("T")


@dataclass(frozen=True)
class ModelMark:
    """What ``@model`` records: the factory modelled, the model's settings and its pdk type."""

    factory: str
    settings: dict[str, Any] = field(default_factory=dict)
    pdk_type: str = "generic"

    def settings_json(self) -> str:
        """The settings as the JSON text the registry stores."""
        return json.dumps(self.settings, sort_keys=True, default=repr)


def model(
    factory: str | Callable[..., Any],
    *,
    settings: Mapping[str, Any] | None = None,
    pdk_type: str = "generic",
) -> Callable[[T], T]:
    """Mark the decorated function or class as the model of ``factory``."""
    if isinstance(factory, str):
        name = factory
    else:
        factory_name = getattr(factory, "factory_name", None)
        if not isinstance(factory_name, str):
            raise TypeError(f"@model needs a factory name or a brimlay factory, got {factory!r}")
        name = factory_name
    if not name:
        raise ValueError("@model needs a non-empty factory name")
    if settings is not None and not isinstance(settings, Mapping):
        raise TypeError(f"@model settings must be a mapping, got {type(settings).__name__}")
    if not isinstance(pdk_type, str) or not pdk_type:
        raise TypeError(f"@model pdk_type must be a non-empty str, got {pdk_type!r}")
    marking = ModelMark(factory=name, settings=dict(settings or {}), pdk_type=pdk_type)

    def decorate(obj: T) -> T:
        try:
            setattr(obj, MODEL_ATTRIBUTE, marking)
        except (AttributeError, TypeError):
            raise TypeError(f"@model can mark functions and classes, not {type(obj).__name__} objects") from None
        return obj

    return decorate


def model_mark(obj: Any) -> ModelMark | None:
    """The mark ``@model`` attached to ``obj``, or ``None``."""
    try:
        mark = getattr(obj, MODEL_ATTRIBUTE, None)
    except Exception:
        return None
    return mark if isinstance(mark, ModelMark) else None
