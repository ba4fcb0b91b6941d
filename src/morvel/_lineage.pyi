"""Bulk creation of DAG node records for morvel's lineage layer."""
from typing import Any

import numpy as np
import numpy.typing as npt

def log_nodes(
    tracker: Any,
    node_cls: type,
    node_type: Any,
    op_name: str,
    words: npt.NDArray[np.uint32],
    left: npt.NDArray[np.int64],
    right: npt.NDArray[np.int64] | None,
    out: npt.NDArray[np.int64],
    source: Any | None = None,
    persist: bool = False,
) -> None:
    """Log one node per position whose input ids are all non-negative.

    Each node (an instance of ``node_cls`` of type ``node_type``, operation
    ``op_name``, word ``words[i]``, inputs ``[left[i], right[i]]`` or
    ``[left[i]]`` when ``right`` is None) goes into the tracker's ``_nodes``
    and ``_prov_to_nodes`` with the next id of ``_next_node_id``, exactly as
    the tracker's own node creation would store it.  ``out[i]`` receives the
    new id, or -1 where an input id is negative; ``out`` must be a
    contiguous int64 array (it is written in place, never converted).

    Whenever the store grows past ``_max_nodes`` a tenth of it is evicted:
    natively when ``source`` (the SOURCE node type, whose nodes stay) is
    given, else through the tracker's ``_evict_oldest_nodes``.  All arrays
    have one length (``ValueError`` otherwise).

    With ``persist`` each node is passed to the tracker's ``_persist_node``
    while its ``_writer`` is truthy, after the node is stored and indexed
    and before the eviction check.  An error raised there propagates; the
    nodes of earlier positions stay, and ``out[i]`` is written only once
    position i is complete (so positions from the failing one on keep what
    they held).  Call with the tracker's node lock held.
    """
