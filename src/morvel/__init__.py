"""morvel: value-level data provenance and fairness taint tracking for pandas.

The provenance core lives in :mod:`morvel.utilities.vortel32`, the lineage
layer in :mod:`morvel.utilities.vortel32_dag`, and the JSON helper in
:mod:`morvel.utilities.jsonkit`.
"""

__version__ = "0.1.0"
