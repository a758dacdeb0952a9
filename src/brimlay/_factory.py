"""The ``@cell`` decorator that turns a cell-building function into a cached factory."""

from __future__ import annotations

import functools
import hashlib
import inspect
import json
from collections.abc import Callable
from typing import Any

from brimlay._layout import TKCell, kcl

__all__ = ["cell", "setting_name"]

_SETTING_KINDS = (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)


def cell(func: Callable[..., Any] | None = None) -> Any:
    """Make ``func`` a cell factory.

    ``func`` receives the new cell as its first argument and its settings as
    the remaining ones, every one of which needs a default. Calling the
    factory merges the given settings with the defaults and returns the cell
    for exactly those settings, building it on the first call only. The cell is
    named after the function, plus a short stable suffix when any setting
    differs from its default. A function, class or ``functools.partial`` given
    as a setting counts by its stable name (``setting_name``), so the suffix
    is the same in every process; two different values of one name in the
    same layout raise ``ValueError``. Each factory object keeps its own cells,
    also when several share a qualified name (factories made by one
    function). Usable as ``@cell`` or ``@cell()``.
    """
    if func is None:
        return cell
    if not callable(func):
        raise TypeError(f"@cell needs a function, got {type(func).__name__}")

    name = getattr(func, "__name__", None)
    if not isinstance(name, str):  # a functools.partial or another callable object: nothing to name the cells by
        raise TypeError(
            "@cell needs a function, whose name names the factory and its cells; got a"
            f" {type(func).__module__}.{type(func).__qualname__} (decorate a def that calls it instead)"
        )
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

    made_by = f"{getattr(func, '__module__', None)}.{getattr(func, '__qualname__', name)}"
    kcl._makers[made_by] = kcl._makers.get(made_by, 0) + 1  # several: their cells are never brought back

    def make(args: tuple[Any, ...], kwargs: dict[str, Any]) -> TKCell:
        bound = settings_signature.bind(*args, **kwargs)
        settings = {**defaults, **bound.arguments}
        changed = {key: value for key, value in settings.items() if not _same(value, defaults[key])}
        key = _settings_key(changed)
        # Cache per factory object: factories that share a qualified name (made
        # by one function, or by a re-executed module) never hand out each
        # other's cells; theirs clash by name, loudly, in create_cell instead.
        cache_key = (factory, key)
        made = kcl._factory_cache.get(cache_key)
        if made is None:
            cell_name = name if not changed else f"{name}_{_suffix(key)}"
            made = kcl._reuse(cell_name, name, made_by, settings)
            if made is None:
                made = kcl.create_cell(cell_name, factory_name=name, settings=settings)
                made.made_by = made_by
                kcl._building.append(made)
                try:
                    func(made, **settings)
                except BaseException:
                    kcl._discard(made)
                    raise
                finally:
                    kcl._building.pop()
            kcl._factory_cache[cache_key] = made
        return made

    @functools.wraps(func)
    def factory(*args: Any, **kwargs: Any) -> TKCell:
        asker = kcl._building[-1] if kcl._building else None
        if asker is not None and asker.factory_name is not None:
            # asked while another cell is being built, whether or not this call succeeds
            kcl.asked.setdefault(asker.factory_name, set()).add(name)
        try:
            made = make(args, kwargs)
        except BaseException:
            if asker is not None:
                kcl._partial.add(asker.index)
            raise
        if asker is not None:
            asker.uses.setdefault(made.index, made)
        return made

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


def setting_name(value: Any) -> str | None:
    """The stable name of a function, class or ``functools.partial``; ``None`` for other values.

    A function or class is named by its module and qualified name
    (``mypkg.tech.bend_euler``), never by where it sits in memory; a partial
    by that name of its function followed by its arguments
    (``functools.partial(mypkg.tech.bend_euler, radius=5.0)``).
    """
    if isinstance(value, functools.partial):
        arguments = [setting_name(value.func) or repr(value.func)]
        arguments += [_text(arg) for arg in value.args]
        arguments += [f"{key}={_text(arg)}" for key, arg in sorted(value.keywords.items())]
        return f"functools.partial({', '.join(arguments)})"
    if isinstance(value, type) or inspect.isroutine(value):
        qualname = getattr(value, "__qualname__", None)
        if isinstance(qualname, str):
            module = getattr(value, "__module__", None)
            return f"{module}.{qualname}" if module else qualname
    return None


def _text(value: Any) -> str:
    return json.dumps(value, sort_keys=True, default=lambda v: setting_name(v) or repr(v))


class _NameClash(ValueError):
    pass


# Starts the key text of a named value, so that it never equals the text of a
# string setting that happens to read like the name.
_NAMED = "\x00"


def _key_text(value: Any) -> str:
    """Key text of a value JSON has no form for; a named value claims its name in the layout."""
    name = setting_name(value)
    if name is None:
        return repr(value)
    claimed = kcl._setting_names.setdefault(name, value)
    if claimed is not value and not _interchangeable(claimed, value):
        raise _NameClash(
            f"two different setting values share the name {name!r}: {_describe(claimed)} and {_describe(value)}; "
            "give each a name of its own (a module-level function)"
        )
    return _NAMED + name


def _interchangeable(a: Any, b: Any) -> bool:
    if isinstance(a, functools.partial) and isinstance(b, functools.partial):
        return _same(a.func, b.func) and _same(a.args, b.args) and _same(a.keywords, b.keywords)
    return _same(a, b)


def _describe(value: Any) -> str:
    code = getattr(getattr(value, "func", value), "__code__", None)
    return repr(value) if code is None else f"{value!r} (defined at {code.co_filename}:{code.co_firstlineno})"


def _settings_key(settings: dict[str, Any]) -> str:
    """Canonical text of a settings mapping; equal settings give equal text."""
    try:
        return json.dumps(settings, sort_keys=True, default=_key_text)
    except _NameClash:
        raise
    except (TypeError, ValueError):
        return repr(sorted(settings.items(), key=lambda item: item[0]))


def _suffix(key: str) -> str:
    return hashlib.blake2s(key.encode("utf-8"), digest_size=4).hexdigest()
