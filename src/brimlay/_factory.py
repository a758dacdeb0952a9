"""The ``@cell`` decorator that turns a cell-building function into a cached factory."""

from __future__ import annotations

import functools
import hashlib
import inspect
import json
from collections.abc import Callable
from typing import Any

from brimlay._layout import TKCell, kcl

__all__ = ["cell"]

_SETTING_KINDS = (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)


def cell(func: Callable[..., Any] | None = None) -> Any:
    """Make ``func`` a cell factory.

    ``func`` receives the new cell as its first argument and its settings as
    the remaining ones, every one of which needs a default. Calling the
    factory merges the given settings with the defaults and returns the cell
    for exactly those settings, building it on the first call only. The cell is
    named after the function, plus a short stable suffix when any setting
    differs from its default. Usable as ``@cell`` or ``@cell()``.
    """
    if func is None:
        return cell
    if not callable(func):
        raise TypeError(f"@cell needs a function, got {type(func).__name__}")

    name = func.__name__
    # Cache by where the function is defined, so a re-executed module keeps
    # finding its cells while same-named factories of two modules stay apart
    # (their cells would then clash by name, loudly, in create_cell).
    origin = f"{func.__module__}.{func.__qualname__}"
    signature = inspect.signature(func)
    params = list(signature.parameters.values())
    if not params or params[0].kind not in (
        inspect.Parameter.POSITIONAL_ONLY,
        inspect.Parameter.POSITIONAL_OR_KEYWORD,
    ):
        raise TypeError(f"factory {name!r} must take the new cell as its first positional parameter")
    settings_params = params[1:]
    for param in settings_params:
        if param.kind not in _SETTING_KINDS:
            raise TypeError(f"factory {name!r}: setting {param.name!r} must be a plain or keyword-only parameter")
        if param.default is inspect.Parameter.empty:
            raise TypeError(f"factory {name!r}: setting {param.name!r} needs a default value")
    settings_signature = signature.replace(parameters=settings_params)
    defaults = {param.name: param.default for param in settings_params}

    @functools.wraps(func)
    def factory(*args: Any, **kwargs: Any) -> TKCell:
        bound = settings_signature.bind(*args, **kwargs)
        settings = {**defaults, **bound.arguments}
        changed = {key: value for key, value in settings.items() if not _same(value, defaults[key])}
        key = _settings_key(changed)
        cache_key = (origin, key)
        cell = kcl._factory_cache.get(cache_key)
        if cell is None:
            cell_name = name if not changed else f"{name}_{_suffix(key)}"
            cell = kcl.create_cell(cell_name, factory_name=name, settings=settings)
            kcl._building.append(cell)
            try:
                func(cell, **settings)
            except BaseException:
                kcl._discard(cell)
                raise
            finally:
                kcl._building.pop()
            kcl._factory_cache[cache_key] = cell
        if kcl._building:
            kcl._building[-1].uses.setdefault(cell.index, cell)
        return cell

    factory.__signature__ = settings_signature  # type: ignore[attr-defined]
    factory.factory_name = name  # type: ignore[attr-defined]
    factory.default_settings = dict(defaults)  # type: ignore[attr-defined]
    factory.is_brimlay_factory = True  # type: ignore[attr-defined]
    return factory


def _same(value: Any, default: Any) -> bool:
    if value is default:
        return True
    try:
        return bool(value == default)
    except Exception:
        return False


def _settings_key(settings: dict[str, Any]) -> str:
    """Canonical text of a settings mapping; equal settings give equal text."""
    try:
        return json.dumps(settings, sort_keys=True, default=repr)
    except (TypeError, ValueError):
        return repr(sorted(settings.items(), key=lambda item: item[0]))


def _suffix(key: str) -> str:
    return hashlib.blake2s(key.encode("utf-8"), digest_size=4).hexdigest()
