"""Provenance core, lineage layer, persistence and JSON utilities of morvel."""
