"""Row-following provenance: words and node ids that travel with their rows.

A tracker built with ``follow_rows=True`` makes its tracked Series and
DataFrames keep each element's provenance word (and lineage node id) with
the row the element belongs to through pandas' row selections, reorderings,
alignment, merges, concatenation, group aggregations and windows.  The
tracked classes call into this package from small hooks; everything here is
written once for both families (words only, and words + lineage nodes).
"""
from morvel._rows.core import (
    Family,
    RowsFallbackWarning,
    follows,
    register_family,
)

__all__ = ["Family", "RowsFallbackWarning", "follows", "register_family"]
