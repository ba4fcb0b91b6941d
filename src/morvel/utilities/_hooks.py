"""Run-time replaceable hooks of the public modules, resolved at call time.

Callers and tests replace some attributes of ``morvel.utilities.vortel32``
and ``morvel.utilities.vortel32_dag`` at run time (the codec's batch
functions, the dashboard opener, the native switches).  The private modules
never bind those names themselves: they ask here on every use, so a
replacement on the public module is seen everywhere.
"""
from __future__ import annotations

import importlib
import sys
from typing import Any

WORD_MODULE = "morvel.utilities.vortel32"
DAG_MODULE = "morvel.utilities.vortel32_dag"


def _public(name: str) -> Any:
    module = sys.modules.get(name)
    if module is None:
        module = importlib.import_module(name)
    return module


def word(name: str) -> Any:
    """Attribute ``name`` of ``morvel.utilities.vortel32`` as it is now."""
    return getattr(_public(WORD_MODULE), name)


def dag(name: str) -> Any:
    """Attribute ``name`` of ``morvel.utilities.vortel32_dag`` as it is now."""
    return getattr(_public(DAG_MODULE), name)
