"""Provenance words on Dask: the same words as the single-process tracker,
computed partition by partition on a cluster.

``track(ddf, table, protected=[...], pipeline=...)`` gives a
:class:`TrackedDaskFrame` whose partitions carry one hidden ``uint32`` word
column per column; column arithmetic, transforms, filters, merges, groupby
aggregations and :func:`concat` keep them, and ``compute()`` returns a
``TrackedDataFrame``.  :func:`persist_results` writes per-row result
fingerprints and a lineage summary from the workers.  Needs the ``dask``
extra (``pip install 'morvel[dask]'``).
"""
from morvel.dask._frame import (
    MAX_COLUMN_SETS,
    WORD_PREFIX,
    DaskPipeline,
    TrackedDaskFrame,
    TrackedDaskGroupBy,
    TrackedDaskSeries,
    compute,
    concat,
    persist,
    track,
    word_column,
)
from morvel.dask._registry import (
    DEFAULT_ENTITY_KEY,
    PortableTracker,
    WordRegistry,
    stable_entity_hash,
)
from morvel.dask._store import persist_results

__all__ = [
    "DEFAULT_ENTITY_KEY",
    "MAX_COLUMN_SETS",
    "WORD_PREFIX",
    "DaskPipeline",
    "PortableTracker",
    "TrackedDaskFrame",
    "TrackedDaskGroupBy",
    "TrackedDaskSeries",
    "WordRegistry",
    "compute",
    "concat",
    "persist",
    "persist_results",
    "stable_entity_hash",
    "track",
    "word_column",
]
