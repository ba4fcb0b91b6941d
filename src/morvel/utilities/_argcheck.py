"""Argument checking shared by every public method.

Declared text, list, dict and set arguments must be exactly that built-in
type (subclasses are rejected); integer arguments take anything convertible
to an integer (floats truncate).  A mismatch raises ``TypeError`` with one
standard message.
"""
from __future__ import annotations

import operator
from typing import Any

_MESSAGE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def type_error(name: str, expected: str, value: Any) -> TypeError:
    """Build the standard ``TypeError`` for argument ``name``."""
    return TypeError(_MESSAGE % (name, expected, type(value).__name__))


def check_exact(value: Any, name: str, expected: type, allow_none: bool = False) -> Any:
    """Return ``value`` when its type is exactly ``expected`` (or it is None
    and ``allow_none``); raise the standard ``TypeError`` otherwise.

    >>> check_exact("t", "table", str)
    't'
    """
    if type(value) is expected or (allow_none and value is None):
        return value
    raise type_error(name, expected.__name__, value)


def as_int(value: Any, name: str) -> int:
    """Convert ``value`` to ``int`` the way a typed integer argument does.

    Integers (and anything with ``__index__``) pass through, floats and other
    numbers with ``__int__`` are truncated, and everything else (text, None,
    containers) raises the standard ``TypeError``.

    >>> as_int(3.9, "depth")
    3
    """
    if type(value) is int:
        return value
    try:
        return operator.index(value)
    except TypeError:
        pass
    if isinstance(value, (str, bytes)) or not hasattr(type(value), "__int__"):
        raise type_error(name, "int", value)
    try:
        return int(value)
    except (TypeError, ValueError, OverflowError) as exc:
        raise type_error(name, "int", value) from exc
