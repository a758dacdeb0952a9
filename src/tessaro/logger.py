"""The package logger.

Everything in tessaro logs through the ``"tessaro"`` logger. The package only
attaches a ``NullHandler`` so that a library user who configures nothing sees
no "no handlers" noise; where the records go is up to the application.
"""

from __future__ import annotations

import logging
import threading

LOGGER_NAME = "tessaro"

__all__ = ["LOGGER_NAME", "get_logger"]

_setup_lock = threading.Lock()


def get_logger() -> logging.Logger:
    """Return the package logger, with a ``NullHandler`` attached exactly once."""
    logger = logging.getLogger(LOGGER_NAME)
    if not _has_null_handler(logger):
        with _setup_lock:
            if not _has_null_handler(logger):
                logger.addHandler(logging.NullHandler())
    return logger


def _has_null_handler(logger: logging.Logger) -> bool:
    return any(type(handler) is logging.NullHandler for handler in logger.handlers)
