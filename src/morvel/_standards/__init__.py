"""Lineage in the formats other tools read: OpenLineage run events and
W3C PROV documents.  The public front is :mod:`morvel.standards`."""
