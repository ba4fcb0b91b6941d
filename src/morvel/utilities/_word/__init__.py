"""The VORTEL-32 word: layout, codec binding, the provenance tracker and
the Series audits (re-exported by :mod:`morvel.utilities.vortel32`)."""
