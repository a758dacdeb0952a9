"""Small helpers shared across tessaro.

Kept free of package imports: the database module imports this eagerly, and
pulling in the logger here would defeat its lazy binding.
"""

from __future__ import annotations

import functools
import sqlite3
from collections.abc import Callable

__all__ = ["try_func"]


def try_func[**P, R](func: Callable[P, R]) -> Callable[P, R | None]:
    """Wrap ``func`` so that an ``Exception`` it raises yields ``None`` instead.

    The swallowed exception is logged, with its traceback, at debug level on the
    ``"tessaro"`` logger. Database errors (``sqlite3.Error`` and its subclasses)
    are let through: a locked or broken registry must fail the operation at
    once, not once per wrapped call. ``KeyboardInterrupt``, ``SystemExit`` and
    other ``BaseException``\\ s that are not ``Exception``\\ s are never
    swallowed either. The wrapper carries ``func``'s metadata (``functools.wraps``).
    """

    @functools.wraps(func)
    def wrapper(*args: P.args, **kwargs: P.kwargs) -> R | None:
        try:
            return func(*args, **kwargs)
        except sqlite3.Error:
            raise
        except Exception as exc:
            import logging

            logging.getLogger("tessaro").debug(
                "%s failed with %s: %s",
                getattr(func, "__qualname__", repr(func)),
                type(exc).__name__,
                exc,
                exc_info=True,
            )
            return None

    return wrapper
