"""Deferred imports.

``lazy_import("networkx")`` returns a stand-in that imports ``networkx`` the
first time it is really used and from then on behaves as the module: reading,
setting and deleting attributes, calling, ``repr``, ``dir`` and truth value are
all forwarded. ``lazy_import("pkg.mod", "func")`` stands in for ``pkg.mod.func``
in the same way. This keeps heavy or optional dependencies out of import time.

Resolution happens at most once per proxy, under a lock, and the result is
cached on the proxy so that later uses cost one slot read and a method call.
An import error is raised unchanged at the use that triggered it, and the next
use tries again.
"""

from __future__ import annotations

import importlib
import threading
from typing import Any

__all__ = ["LazyProxy", "lazy_import"]


class _Unresolved:
    __slots__ = ()

    def __repr__(self) -> str:
        return "<unresolved>"


_UNRESOLVED: Any = _Unresolved()


class LazyProxy:
    """Stand-in for a module (or a module attribute) that is imported on first use.

    The proxy's own state lives in slots whose names cannot clash with anything
    a target is likely to expose; it is only ever written through
    ``object.__setattr__``, because ``__setattr__`` on the proxy is forwarded.
    """

    __slots__ = ("_lazy_module", "_lazy_attribute", "_lazy_target", "_lazy_lock", "__weakref__")

    def __init__(self, module: str, attribute: str | None = None) -> None:
        if not isinstance(module, str) or not module:
            raise TypeError(f"lazy_import() module name must be a non-empty str, got {module!r}")
        if attribute is not None and (not isinstance(attribute, str) or not attribute):
            raise TypeError(f"lazy_import() attribute must be a non-empty str or None, got {attribute!r}")
        object.__setattr__(self, "_lazy_module", module)
        object.__setattr__(self, "_lazy_attribute", attribute)
        object.__setattr__(self, "_lazy_target", _UNRESOLVED)
        # Re-entrant, so that a module that touches its own proxy while being
        # imported gets the partly initialised module instead of a deadlock.
        object.__setattr__(self, "_lazy_lock", threading.RLock())

    def _lazy_resolve(self) -> Any:
        with self._lazy_lock:
            target = self._lazy_target
            if target is _UNRESOLVED:
                target = importlib.import_module(self._lazy_module)
                if self._lazy_attribute is not None:
                    target = getattr(target, self._lazy_attribute)
                object.__setattr__(self, "_lazy_target", target)
        return target

    def _lazy_get(self) -> Any:
        target = self._lazy_target
        return self._lazy_resolve() if target is _UNRESOLVED else target

    # Attribute access. __getattr__ only runs for names that are not the
    # proxy's own, so the slots above are read directly.
    def __getattr__(self, name: str) -> Any:
        return getattr(self._lazy_get(), name)

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self._lazy_get(), name, value)

    def __delattr__(self, name: str) -> None:
        delattr(self._lazy_get(), name)

    def __dir__(self) -> list[str]:
        return dir(self._lazy_get())

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._lazy_get()(*args, **kwargs)

    def __repr__(self) -> str:
        return repr(self._lazy_get())

    def __str__(self) -> str:
        return str(self._lazy_get())

    def __bool__(self) -> bool:
        return bool(self._lazy_get())

    def __eq__(self, other: object) -> bool:
        target = self._lazy_get()
        if isinstance(other, LazyProxy):
            other = other._lazy_get()
        return target == other

    def __hash__(self) -> int:
        return hash(self._lazy_get())

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickle the recipe, not the target.
        return (LazyProxy, (self._lazy_module, self._lazy_attribute))


def lazy_import(module: str, attribute: str | None = None) -> Any:
    """Return a proxy for ``module`` (or ``module.attribute``) that imports on first use.

    Creating the proxy imports nothing.
    """
    return LazyProxy(module, attribute)
