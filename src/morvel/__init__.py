"""morvel: value-level data provenance and fairness taint tracking for pandas.

Start with :class:`morvel.Pipeline`.  The provenance core lives in
:mod:`morvel.utilities.vortel32`, the lineage layer in
:mod:`morvel.utilities.vortel32_dag`, and the JSON helper in
:mod:`morvel.utilities.jsonkit`.
"""
from typing import Any

__version__ = "0.1.0"
__all__ = ["ExpectationError", "ExpectationWarning", "Pipeline"]


def __getattr__(name: str) -> Any:
    # The front loads the native codec: import it on first use only, so that
    # ``import morvel`` (the command line, the service) stays light.
    if name == "Pipeline":
        from morvel.pipeline import Pipeline
        return Pipeline
    if name in ("ExpectationError", "ExpectationWarning"):
        from morvel._history import checks
        return getattr(checks, name)
    raise AttributeError(f"module 'morvel' has no attribute {name!r}")
