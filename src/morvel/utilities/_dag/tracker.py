"""The DAG tracker: node store, operation log and graph queries."""
from __future__ import annotations

import collections
import threading
from typing import Any, Dict, List, Optional

from morvel.utilities._argcheck import as_int, check_exact, type_error
from morvel.utilities._dag.columnar import ColumnarNodeStore
from morvel.utilities._dag.live import _LivePersistence
from morvel.utilities._dag.records import ComputationDAG, DAGEdge, DAGNode, NodeType
from morvel.utilities._dag.store import DictNodeStore
from morvel.utilities._word.tracker import ProvenanceTracker


class DAGTracker(_LivePersistence, ProvenanceTracker):
    """Provenance tracker with a bounded in-memory operation log.

    Every tracked element-level operation becomes a :class:`DAGNode`; nodes
    are indexed by id, by provenance word and (sources) by (table, column),
    and the graph behind any node can be rebuilt with :meth:`get_dag`.  With a
    non-empty ``api_key`` the tracker also streams nodes, edges and row values
    to the hosted lineage service at ``service_url``.

    >>> t = DAGTracker()
    >>> src = t.create_source_node("people", "age", 0)
    >>> t.log_unary("neg", src, 0)
    1
    """

    def __init__(
        self,
        api_key: Optional[str] = None,
        tenant_id: Optional[str] = None,
        service_url: str = "",
        pipeline_name: Optional[str] = None,
        *,
        follow_rows: bool = False,
        columnar: bool = False,
        memory_budget: Optional[int] = None,
    ) -> None:
        check_exact(api_key, "api_key", str, allow_none=True)
        check_exact(tenant_id, "tenant_id", str, allow_none=True)
        check_exact(service_url, "service_url", str)
        check_exact(pipeline_name, "pipeline_name", str, allow_none=True)
        super().__init__(follow_rows=follow_rows)
        self._dag_lock = threading.Lock()
        # Node ids, records, the provenance index and eviction: one owner.
        self._store: Any
        if columnar:
            self._store = ColumnarNodeStore(memory_budget)
        else:
            if memory_budget is not None:
                raise ValueError("memory_budget applies to the columnar store (columnar=True)")
            self._store = DictNodeStore()
        self._value_buffer: list = []
        self._value_buffer_lock = threading.Lock()
        self._value_flush_threshold = 5000
        self._nodes_persisted = False
        self._source_nodes: Dict[tuple, int] = {}
        self._writer: Any = None
        self._storage: Any = None
        self._pipeline_id = None
        self._pipeline_name = pipeline_name
        self._api_key = api_key
        self._tenant_id = tenant_id
        self._service_url = service_url
        self._dashboard_synced = False
        self._pipeline_failed = False
        self._nodes_written = 0
        self._edges_written = 0
        if api_key:
            self.enable_persistence()

    # -- pickling -----------------------------------------------------------

    # Connections and threads stay with the process that opened them: a
    # copy gets fresh locks and works in memory (its persistence is off).
    _UNPICKLED = ("_writer", "_storage", "_pipeline_id", "_api_key")

    def __getstate__(self) -> dict:
        state = super().__getstate__()
        del state["_dag_lock"], state["_value_buffer_lock"]
        for name in self._UNPICKLED:
            if name in state:
                state[name] = None
        return state

    def __setstate__(self, state: dict) -> None:
        super().__setstate__(state)
        self._dag_lock = threading.Lock()
        self._value_buffer_lock = threading.Lock()

    # -- node store ---------------------------------------------------------

    def _create_node(
        self,
        node_type: NodeType,
        operation: str,
        inputs: list,
        provenance: int,
        **kwargs: Any,
    ) -> int:
        """Create, store and index one node; returns its id.

        Extra keywords (``table``, ``column``, ``pair_id``, ``is_protected``,
        ``metadata``) become fields of the record.
        """
        if type(node_type) is not NodeType:
            raise type_error("node_type", "NodeType", node_type)
        if type(operation) is not str:
            raise type_error("operation", "str", operation)
        if type(inputs) is not list:
            raise type_error("inputs", "list", inputs)
        if type(provenance) is not int:
            provenance = as_int(provenance, "provenance")
        with self._dag_lock:
            store = self._store
            node = store.add(node_type, operation, inputs, provenance, kwargs, self.is_tainted)
            if self._writer:
                self._persist_node(node)
            if store.over_capacity():
                self._evict_oldest_nodes()
        return node.node_id

    def _evict_oldest_nodes(self) -> None:
        """Remove a tenth of the store, oldest non-source nodes first.

        Called with ``_dag_lock`` held.
        """
        self._store.evict_oldest()

    # The store's state under the names it has always had on the tracker.

    @property
    def _nodes(self) -> Dict[int, DAGNode]:
        return self._store.nodes

    @_nodes.setter
    def _nodes(self, value: Dict[int, DAGNode]) -> None:
        self._store.nodes = value

    @property
    def _prov_to_nodes(self) -> Dict[int, List[int]]:
        return self._store.index

    @_prov_to_nodes.setter
    def _prov_to_nodes(self, value: Dict[int, List[int]]) -> None:
        self._store.index = value

    @property
    def _next_node_id(self) -> int:
        return self._store.next_id

    @_next_node_id.setter
    def _next_node_id(self, value: int) -> None:
        self._store.next_id = value

    @property
    def _max_nodes(self) -> int:
        return self._store.max_nodes

    @_max_nodes.setter
    def _max_nodes(self, value: int) -> None:
        self._store.max_nodes = value

    # -- operation log ------------------------------------------------------

    def create_source_node(self, table: str, column: str, provenance: int) -> int:
        """Id of the SOURCE node of (table, column), created on first use with
        ``provenance``; later calls return the same id."""
        check_exact(table, "table", str)
        check_exact(column, "column", str)
        provenance = as_int(provenance, "provenance")
        if not table or not column:
            raise ValueError("table and column must be non-empty strings")
        if self._dashboard_synced:
            self._start_new_pipeline()
        key = (table, column)
        existing = self._source_nodes.get(key)
        if existing is not None:
            return existing
        node_id = self._create_node(
            NodeType.SOURCE,
            f"{table}.{column}",
            [],
            provenance,
            table=table,
            column=column,
            pair_id=self.get_id(table, column),
            is_protected=self.is_protected(table, column),
        )
        self._source_nodes[key] = node_id
        return node_id

    def log_unary(
        self,
        op_name: str,
        input_node: int,
        result_prov: int,
        metadata: Optional[dict] = None,
    ) -> int:
        """Log a one-input step; returns the new node id."""
        if type(op_name) is not str:
            raise type_error("op_name", "str", op_name)
        if type(input_node) is not int:
            input_node = as_int(input_node, "input_node")
        if type(result_prov) is not int:
            result_prov = as_int(result_prov, "result_prov")
        if metadata is not None and type(metadata) is not dict:
            raise type_error("metadata", "dict", metadata)
        input_node = self._store.stored_id(input_node)
        return self._create_node(
            NodeType.UNARY, op_name, [input_node], result_prov, metadata=metadata if metadata else {}
        )

    def log_binary(
        self,
        op_name: str,
        left_node: int,
        right_node: int,
        result_prov: int,
        metadata: Optional[dict] = None,
    ) -> int:
        """Log a two-input step (left operand first); returns the new node id."""
        if type(op_name) is not str:
            raise type_error("op_name", "str", op_name)
        if type(left_node) is not int:
            left_node = as_int(left_node, "left_node")
        if type(right_node) is not int:
            right_node = as_int(right_node, "right_node")
        if type(result_prov) is not int:
            result_prov = as_int(result_prov, "result_prov")
        if metadata is not None and type(metadata) is not dict:
            raise type_error("metadata", "dict", metadata)
        store = self._store
        left_node = store.stored_id(left_node)
        right_node = store.stored_id(right_node)
        return self._create_node(
            NodeType.BINARY,
            op_name,
            [left_node, right_node],
            result_prov,
            metadata=metadata if metadata else {},
        )

    def log_merge(
        self,
        left_nodes: list,
        right_nodes: list,
        result_prov: int,
        merge_type: str = "inner",
        metadata: Optional[dict] = None,
    ) -> int:
        """Log a merge of two node lists; returns the new node id."""
        check_exact(left_nodes, "left_nodes", list)
        check_exact(right_nodes, "right_nodes", list)
        result_prov = as_int(result_prov, "result_prov")
        check_exact(merge_type, "merge_type", str)
        check_exact(metadata, "metadata", dict, allow_none=True)
        merged_meta: Dict[str, Any] = {"merge_type": merge_type}
        if metadata:
            merged_meta.update(metadata)
        return self._create_node(
            NodeType.MERGE,
            "merge_" + merge_type,
            left_nodes + right_nodes,
            result_prov,
            metadata=merged_meta,
        )

    def log_aggregate(
        self,
        op_name: str,
        input_nodes: list,
        result_prov: int,
        metadata: Optional[dict] = None,
    ) -> int:
        """Log an aggregation over ``input_nodes`` (stored as given); returns
        the new node id."""
        check_exact(op_name, "op_name", str)
        check_exact(input_nodes, "input_nodes", list)
        result_prov = as_int(result_prov, "result_prov")
        check_exact(metadata, "metadata", dict, allow_none=True)
        return self._create_node(
            NodeType.AGGREGATE, op_name, input_nodes, result_prov, metadata=metadata if metadata else {}
        )

    # -- graph queries ------------------------------------------------------

    def get_node(self, node_id: int) -> Optional[DAGNode]:
        """The stored node, or None when unknown or evicted."""
        return self._store.get(as_int(node_id, "node_id"))

    def get_nodes_for_provenance(self, provenance: int) -> List[DAGNode]:
        """Stored nodes with this provenance word, in creation order."""
        return self._store.for_word(as_int(provenance, "provenance"))

    def get_dag(self, root_node_id: int) -> ComputationDAG:
        """The graph upstream of ``root_node_id``, breadth first from it.

        >>> DAGTracker().get_dag(7).nodes
        {}
        """
        root_node_id = as_int(root_node_id, "root_node_id")
        store = self._store
        if isinstance(store, ColumnarNodeStore):
            return store.get_dag(root_node_id)
        visited = set()
        queue = collections.deque([root_node_id])
        nodes: Dict[int, DAGNode] = {}
        edges: List[DAGEdge] = []
        while queue:
            nid = queue.popleft()
            if nid in visited:
                continue
            visited.add(nid)
            node = store.get(nid)
            if node is None:
                continue
            nodes[nid] = node
            for i, input_id in enumerate(node.inputs):
                edges.append(DAGEdge(source_id=input_id, target_id=nid, input_index=i))
                if input_id not in visited:
                    queue.append(input_id)
        return ComputationDAG(root_id=root_node_id, nodes=nodes, edges=edges)

    def get_dag_for_provenance(self, provenance: int) -> Optional[ComputationDAG]:
        """Graph of the most recent stored node with this provenance, or None."""
        if isinstance(self._store, ColumnarNodeStore):
            return self._store.columnar.get_dag_for_provenance(as_int(provenance, "provenance"))
        nodes = self.get_nodes_for_provenance(provenance)
        if not nodes:
            return None
        return self.get_dag(max(n.node_id for n in nodes))

    def dag_stats(self) -> Dict[str, Any]:
        """Counts over the node store."""
        if isinstance(self._store, ColumnarNodeStore):
            return self._store.stats()
        nodes = self._store.snapshot()
        source_count = sum(1 for n in nodes if n.is_source)
        protected_count = sum(1 for n in nodes if n.is_protected)
        counts: Dict[str, int] = {}
        for n in nodes:
            if not n.is_source:
                counts[n.operation] = counts.get(n.operation, 0) + 1
        return {
            "total_nodes": len(nodes),
            "source_nodes": source_count,
            "protected_sources": protected_count,
            "operation_nodes": len(nodes) - source_count,
            "operation_counts": counts,
            "unique_provenances": self._store.word_count(),
        }

