"""The lineage layer: DAG records, the tracker and its node store, live
persistence, row values, the bridge to the compiled bulk logger and the
audits (re-exported by :mod:`morvel.utilities.vortel32_dag`)."""
