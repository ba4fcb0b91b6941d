"""The lineage service's web layer (needs the ``service`` extra): the
ASGI gate, the JSON API, the dashboard and its lineage view."""
