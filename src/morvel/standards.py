"""Lineage in the standards other tools read.

OpenLineage run events (START, COMPLETE or FAIL) of a tracked pipeline,
with the column-lineage facet and morvel's taint facet, sent through the
``openlineage-python`` client's transports (``pip install
'morvel[openlineage]'``), and W3C PROV documents of lineage graphs as
PROV-JSON, PROV-N or PROV-XML (``pip install 'morvel[prov]'``).  Both extras
are imported only when used.
"""
from morvel._standards.export import EXPORT_FORMATS, export_stored, whole_graph_dot
from morvel._standards.openlineage import (
    PRODUCER,
    TAINT_FACET,
    TAINT_FACET_SCHEMA_PATH,
    TAINT_FACET_SCHEMA_URL,
    InvalidEventError,
    emit_openlineage,
    event_to_dict,
    event_to_json,
    openlineage_events,
    stored_openlineage_events,
    validate_openlineage_event,
)
from morvel._standards.provdoc import (
    MORVEL_NS,
    dag_prov_document,
    prov_document,
    prov_from_text,
    prov_to_text,
    stored_prov_document,
)

__all__ = [
    "EXPORT_FORMATS",
    "MORVEL_NS",
    "PRODUCER",
    "TAINT_FACET",
    "TAINT_FACET_SCHEMA_PATH",
    "TAINT_FACET_SCHEMA_URL",
    "InvalidEventError",
    "dag_prov_document",
    "emit_openlineage",
    "event_to_dict",
    "event_to_json",
    "export_stored",
    "openlineage_events",
    "prov_document",
    "prov_from_text",
    "prov_to_text",
    "stored_openlineage_events",
    "stored_prov_document",
    "validate_openlineage_event",
    "whole_graph_dot",
]
