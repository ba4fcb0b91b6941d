"""OpenLineage run events of a tracked pipeline, built with the official
``openlineage-python`` client's models and sent through its transports.

One run gives a START event and a COMPLETE (or FAIL) event.  Inputs are the
tables wrapped with the tracker (schema facet, and the taint facet naming
their protected columns); the output is the result frame, named by the
caller, with its schema, the standard column-lineage facet and morvel's
taint facet (``morvel_taint``, with its own schema URL and producer).
"""
from __future__ import annotations

import json
import os
import traceback
import uuid
import warnings
from datetime import datetime, timedelta, timezone
from typing import Any, Dict, Iterable, List, Optional, Sequence, Union

from morvel import __version__
from morvel._standards._fields import (
    AGGREGATION,
    FILTER,
    JOIN,
    TRANSFORMATION,
    FieldLineage,
    TableSchema,
    result_lineage,
    stored_lineage,
    stored_tables,
    tracker_tables,
)
from morvel.utilities._argcheck import check_exact

#: Where the project lives; the producer URI and the taint facet's schema
#: URL are built from it.
PROJECT_URL = "https://github.com/morvel/morvel"
#: The ``producer`` of every event and facet morvel writes.
PRODUCER = f"{PROJECT_URL}/tree/v{__version__}"
#: Key of morvel's custom dataset facet.
TAINT_FACET = "morvel_taint"
#: Schema URL of the taint facet; the schema ships inside the package
#: (``morvel/_standards/schemas/TaintDatasetFacet.json``).
TAINT_FACET_SCHEMA_URL = (
    f"{PROJECT_URL}/blob/v{__version__}/src/morvel/_standards/schemas/"
    "TaintDatasetFacet.json#/$defs/TaintDatasetFacet"
)
TAINT_FACET_SCHEMA_PATH = os.path.join(os.path.dirname(__file__), "schemas", "TaintDatasetFacet.json")

#: Subtypes the standard allows for each transformation type.
TRANSFORMATION_SUBTYPES = {
    "DIRECT": ("IDENTITY", "TRANSFORMATION", "AGGREGATION"),
    "INDIRECT": ("JOIN", "GROUP_BY", "FILTER", "SORT", "WINDOW", "CONDITIONAL"),
}
STATUSES = ("COMPLETE", "FAIL")

_INSTALL = "install it with: pip install 'morvel[openlineage]'"


def _client_modules() -> Any:
    """The client's modules, imported on first use with a clear message
    when the optional extra is missing."""
    try:
        import attr
        from openlineage.client import client, event_v2
        from openlineage.client.generated import (
            column_lineage_dataset,
            error_message_run,
            job_type_job,
            processing_engine_run,
            schema_dataset,
            tags_run,
        )
        from openlineage.client.generated.base import DatasetFacet
        from openlineage.client.serde import Serde
        from openlineage.client.transport import get_default_factory
    except ImportError as exc:
        raise ImportError(
            f"OpenLineage export needs the 'openlineage-python' package ({exc}); {_INSTALL}"
        ) from exc
    return _Modules(attr, client, event_v2, column_lineage_dataset, error_message_run, job_type_job,
                    processing_engine_run, schema_dataset, DatasetFacet, Serde, get_default_factory, tags_run)


class _Modules:
    def __init__(self, attr: Any, client: Any, event_v2: Any, column_lineage: Any, error_message: Any,
                 job_type: Any, processing_engine: Any, schema: Any, dataset_facet: Any, serde: Any,
                 factory: Any, tags: Any) -> None:
        self.attr = attr
        self.client = client
        self.ev = event_v2
        self.cl = column_lineage
        self.err = error_message
        self.jt = job_type
        self.pe = processing_engine
        self.schema = schema
        self.Serde = serde
        self.factory = factory
        self.tags = tags
        self.TaintDatasetFacet = _taint_facet_class(attr, dataset_facet)


_TAINT_CLASS: Dict[int, Any] = {}


def _taint_facet_class(attr: Any, dataset_facet: Any) -> Any:
    """morvel's custom dataset facet, a subclass of the client's
    ``DatasetFacet`` (made once, when the client is first imported)."""
    key = id(dataset_facet)
    if key not in _TAINT_CLASS:

        @attr.define
        class TaintDatasetFacet(dataset_facet):  # type: ignore[misc, valid-type]
            """Fairness taint and risk of each column: whether it derives from a
            protected attribute, its highest risk taint / (1 + depth), its
            smallest tainted depth, its risk level and the protected sources."""

            columns: Dict[str, Dict[str, Any]] = attr.field(factory=dict)

            @staticmethod
            def _get_schema() -> str:
                return TAINT_FACET_SCHEMA_URL

        _TAINT_CLASS[key] = TaintDatasetFacet
    return _TAINT_CLASS[key]


# ---------------------------------------------------------------------------
# Building events
# ---------------------------------------------------------------------------


def _transformations(ol: _Modules, kinds: Iterable[str]) -> List[Any]:
    """Standard transformations for the kinds of step between a source and
    an output column: one DIRECT entry (IDENTITY, TRANSFORMATION or
    AGGREGATION) and an INDIRECT entry for a join or a filter on the way.
    No step of morvel hides the data, so ``masking`` is false."""
    kinds = set(kinds)
    T = ol.cl.Transformation
    if AGGREGATION in kinds:
        direct = T(type="DIRECT", subtype="AGGREGATION", description="aggregated", masking=False)
    elif TRANSFORMATION in kinds:
        direct = T(type="DIRECT", subtype="TRANSFORMATION", description="computed from", masking=False)
    else:
        direct = T(type="DIRECT", subtype="IDENTITY", description="copied unchanged", masking=False)
    out = [direct]
    if JOIN in kinds:
        out.append(T(type="INDIRECT", subtype="JOIN", description="taken through a merge", masking=False))
    if FILTER in kinds:
        out.append(T(type="INDIRECT", subtype="FILTER", description="rows filtered", masking=False))
    return out


def _column_lineage_facet(ol: _Modules, namespace: str, fields: Sequence[FieldLineage],
                          producer: str) -> Any:
    out = {}
    for f in fields:
        if not f.sources:
            continue
        inputs = [
            ol.cl.InputField(namespace=namespace, name=table, field=column,
                             transformations=_transformations(ol, kinds))
            for (table, column), kinds in sorted(f.sources.items())
        ]
        out[f.name] = ol.cl.Fields(inputFields=inputs)
    return ol.cl.ColumnLineageDatasetFacet(fields=out, producer=producer)


def _taint_facet(ol: _Modules, namespace: str, fields: Sequence[FieldLineage],
                 protected: Iterable[tuple], producer: str) -> Any:
    protected = set(protected)
    columns: Dict[str, Dict[str, Any]] = {}
    for f in fields:
        entry: Dict[str, Any] = {"tainted": f.tainted, "maxRisk": f.max_risk, "riskLevel": f.risk_level}
        if f.min_depth is not None:
            entry["minDepth"] = f.min_depth
        entry["protectedSources"] = [
            {"namespace": namespace, "name": t, "field": c} for t, c in sorted(f.sources) if (t, c) in protected
        ]
        columns[f.name] = entry
    return ol.TaintDatasetFacet(columns=columns, producer=producer)


def _input_taint_facet(ol: _Modules, table: TableSchema, producer: str) -> Any:
    columns = {}
    for c in table.columns:
        if c in table.protected:
            columns[c] = {"tainted": True, "maxRisk": 1.0, "minDepth": 0, "riskLevel": "HIGH", "protected": True}
        else:
            columns[c] = {"tainted": False, "maxRisk": 0.0, "riskLevel": "CLEAN", "protected": False}
    return ol.TaintDatasetFacet(columns=columns, producer=producer)


def _schema_facet(ol: _Modules, columns: Sequence[tuple], producer: str) -> Any:
    S = ol.schema
    return S.SchemaDatasetFacet(
        fields=[S.SchemaDatasetFacetFields(name=name, type=dtype) for name, dtype in columns],
        producer=producer,
    )


def _iso(moment: Optional[Union[datetime, str]], default: datetime) -> str:
    if moment is None:
        moment = default
    if isinstance(moment, str):
        return moment
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return moment.isoformat()


def _build_events(
    ol: _Modules,
    *,
    tables: Sequence[TableSchema],
    output_name: Optional[str],
    output_schema: Sequence[tuple],
    fields: Sequence[FieldLineage],
    job_name: str,
    namespace: str,
    status: Optional[str],
    run_id: Optional[str],
    error: Any,
    started_at: Any,
    ended_at: Any,
    producer: str,
) -> List[Any]:
    ev = ol.ev
    now = datetime.now(timezone.utc)
    run_id = str(run_id) if run_id is not None else str(uuid.uuid4())
    protected = {(t.name, c) for t in tables for c in t.protected}

    def inputs() -> List[Any]:
        return [
            ev.InputDataset(namespace=namespace, name=t.name, facets={
                "schema": _schema_facet(ol, [(c, t.types.get(c)) for c in t.columns], producer),
                TAINT_FACET: _input_taint_facet(ol, t, producer),
            })
            for t in tables
        ]

    def outputs(final: bool) -> List[Any]:
        if output_name is None:
            return []
        facets: Dict[str, Any] = {"schema": _schema_facet(ol, output_schema, producer)}
        if final:
            facets["columnLineage"] = _column_lineage_facet(ol, namespace, fields, producer)
            facets[TAINT_FACET] = _taint_facet(ol, namespace, fields, protected, producer)
        return [ev.OutputDataset(namespace=namespace, name=output_name, facets=facets)]

    job = ev.Job(namespace=namespace, name=job_name, facets={
        "jobType": ol.jt.JobTypeJobFacet(processingType="BATCH", integration="MORVEL", jobType="PIPELINE",
                                        producer=producer),
    })
    engine = ol.pe.ProcessingEngineRunFacet(version=__version__, name="morvel", producer=producer)
    start_time = _iso(started_at, now - timedelta(microseconds=1))
    events = [ev.RunEvent(eventType=ev.RunState.START, eventTime=start_time,
                          run=ev.Run(runId=run_id, facets={"processing_engine": engine}),
                          job=job, inputs=inputs(), outputs=outputs(False), producer=producer)]
    if status is None:
        return events
    run_facets: Dict[str, Any] = {"processing_engine": engine}
    if status == "FAIL" and error is not None:
        if isinstance(error, BaseException):
            message = f"{type(error).__name__}: {error}"
            trace = "".join(traceback.format_exception(type(error), error, error.__traceback__))
        else:
            message, trace = str(error), None
        run_facets["errorMessage"] = ol.err.ErrorMessageRunFacet(
            message=message, programmingLanguage="python", stackTrace=trace, producer=producer)
    state = ev.RunState.COMPLETE if status == "COMPLETE" else ev.RunState.FAIL
    events.append(ev.RunEvent(eventType=state, eventTime=_iso(ended_at, now),
                              run=ev.Run(runId=run_id, facets=run_facets),
                              job=job, inputs=inputs(), outputs=outputs(True), producer=producer))
    return events


def _check_status(status: Any) -> str:
    check_exact(status, "status", str)
    up = status.upper()
    if up not in STATUSES:
        raise ValueError(f"status must be 'COMPLETE' or 'FAIL', got {status!r}")
    return up


def openlineage_events(
    tracker: Any,
    result: Any,
    output_name: str = "result",
    *,
    job_name: str,
    namespace: str = "morvel",
    status: str = "COMPLETE",
    run_id: Optional[str] = None,
    sources: Optional[Dict[str, Any]] = None,
    error: Any = None,
    started_at: Optional[Union[datetime, str]] = None,
    ended_at: Optional[Union[datetime, str]] = None,
    producer: str = PRODUCER,
) -> List[Any]:
    """The START and COMPLETE (or FAIL) ``RunEvent`` objects of one run.

    ``tracker`` is the ``ProvenanceTracker`` or ``DAGTracker`` the pipeline
    used, ``result`` the tracked result frame (or one tracked Series), named
    ``output_name`` in ``namespace``.  Each output column is mapped to the
    source columns its words name; with a ``DAGTracker`` the graph adds the
    kind of step (transformation, aggregation, join, filter).  ``sources``
    (table name -> the plain frame that was wrapped) adds column types to the
    input schemas.  With ``status="FAIL"``, ``error`` (an exception or a
    text) goes into the error-message facet; ``result`` may then be None.

    >>> import pandas as pd
    >>> from morvel.utilities.vortel32 import ProvenanceTracker, wrap_dataframe
    >>> t = ProvenanceTracker()
    >>> df = wrap_dataframe(pd.DataFrame({"a": [1.0], "b": [2.0]}), t, "t", protected=["b"])
    >>> df["s"] = df["a"] + df["b"]
    >>> start, done = openlineage_events(t, df, "out", job_name="doc")
    >>> sorted(f.field for f in done.outputs[0].facets["columnLineage"].fields["s"].inputFields)
    ['a', 'b']
    """
    check_exact(output_name, "output_name", str)
    check_exact(job_name, "job_name", str)
    check_exact(namespace, "namespace", str)
    check_exact(producer, "producer", str)
    check_exact(sources, "sources", dict, allow_none=True)
    status = _check_status(status)
    if result is None and status == "COMPLETE":
        raise ValueError("a completed run needs its result frame")
    owner = getattr(result, "_tracker", None)
    if owner is not None and owner is not tracker:
        # Words are pair numbers of the tracker that issued them: decoded with
        # another tracker's registry they would name the wrong columns.
        raise ValueError("result was computed with another tracker; pass the tracker it carries")
    ol = _client_modules()
    schema, fields = result_lineage(tracker, result) if result is not None else ([], [])
    return _build_events(
        ol, tables=tracker_tables(tracker, sources), output_name=output_name if result is not None else None,
        output_schema=schema, fields=fields, job_name=job_name, namespace=namespace, status=status,
        run_id=run_id, error=error, started_at=started_at, ended_at=ended_at, producer=producer,
    )


def stored_openlineage_events(lineage: Dict[str, Any], *, namespace: str = "morvel",
                              job_name: Optional[str] = None, producer: str = PRODUCER) -> List[Any]:
    """Run events of a stored pipeline (``SQLiteStorage.pipeline_lineage``):
    START, then COMPLETE or FAIL by its stored status (START alone while it
    is still running).  The output dataset is named after the pipeline and
    has one field per stored result output; the run id is derived from the
    pipeline's id and creation time, so exporting twice gives the same id."""
    ol = _client_modules()
    p = lineage["pipeline"]
    status = {"completed": "COMPLETE", "failed": "FAIL"}.get(p["status"])
    fields = stored_lineage(lineage)
    run_id = uuid.uuid5(uuid.NAMESPACE_URL, f"morvel:pipeline:{p['pipeline_id']}:{p['created_at']}")
    error = "the pipeline was marked failed" if status == "FAIL" else None
    return _build_events(
        ol, tables=stored_tables(lineage), output_name=f"{p['name']}.results" if fields else None,
        output_schema=[(f.name, None) for f in fields], fields=fields,
        job_name=job_name or str(p["name"]), namespace=namespace, status=status, run_id=str(run_id),
        error=error, started_at=p["created_at"], ended_at=p["completed_at"] or p["created_at"],
        producer=producer,
    )


# ---------------------------------------------------------------------------
# Serialising, validating and sending
# ---------------------------------------------------------------------------


def event_to_dict(event: Any) -> Dict[str, Any]:
    """The JSON form of a client event, as its transports send it."""
    ol = _client_modules()
    return ol.Serde.to_dict(event)


def event_to_json(event: Any) -> str:
    """JSON text of one event (sorted keys, one line)."""
    return json.dumps(event_to_dict(event), sort_keys=True)


class InvalidEventError(ValueError):
    """An event that does not conform to the OpenLineage models."""


def _need(d: Any, key: str, kind: type, where: str, optional: bool = False) -> Any:
    if not isinstance(d, dict):
        raise InvalidEventError(f"{where} must be an object, got {type(d).__name__}")
    if key not in d:
        if optional:
            return None
        raise InvalidEventError(f"{where}.{key} is required")
    value = d[key]
    if kind is float:
        ok = isinstance(value, (int, float)) and not isinstance(value, bool)
    elif kind is int:
        ok = isinstance(value, int) and not isinstance(value, bool)
    else:
        ok = isinstance(value, kind)
    if not ok:
        raise InvalidEventError(f"{where}.{key} must be {kind.__name__}, got {type(value).__name__}")
    return value


def _facet_base(d: Dict[str, Any], where: str) -> Dict[str, Any]:
    _need(d, "_producer", str, where)
    _need(d, "_schemaURL", str, where)
    return {"producer": d["_producer"]}


def _rebuild_facet(ol: _Modules, key: str, d: Dict[str, Any], where: str) -> Any:
    base = _facet_base(d, where)
    allowed = {"_producer", "_schemaURL"}
    if key == "schema":
        allowed |= {"fields"}
        fields = [_rebuild_schema_field(ol, f, f"{where}.fields[{i}]")
                  for i, f in enumerate(_need(d, "fields", list, where, optional=True) or [])]
        facet = ol.schema.SchemaDatasetFacet(fields=fields, **base)
    elif key == "columnLineage":
        allowed |= {"fields", "dataset"}
        out = {}
        for name, fd in _need(d, "fields", dict, where).items():
            w = f"{where}.fields[{name!r}]"
            inputs = [_rebuild_input_field(ol, f, f"{w}.inputFields[{i}]")
                      for i, f in enumerate(_need(fd, "inputFields", list, w))]
            out[name] = ol.cl.Fields(inputFields=inputs,
                                     transformationDescription=_need(fd, "transformationDescription", str, w, True),
                                     transformationType=_need(fd, "transformationType", str, w, True))
        dataset = [_rebuild_input_field(ol, f, f"{where}.dataset[{i}]")
                   for i, f in enumerate(_need(d, "dataset", list, where, optional=True) or [])]
        facet = ol.cl.ColumnLineageDatasetFacet(fields=out, dataset=dataset, **base)
    elif key == TAINT_FACET:
        allowed |= {"columns"}
        columns = _need(d, "columns", dict, where)
        for name, c in columns.items():
            _check_taint_column(c, f"{where}.columns[{name!r}]")
        facet = ol.TaintDatasetFacet(columns=columns, **base)
    elif key == "jobType":
        allowed |= {"processingType", "integration", "jobType"}
        facet = ol.jt.JobTypeJobFacet(processingType=_need(d, "processingType", str, where),
                                      integration=_need(d, "integration", str, where),
                                      jobType=_need(d, "jobType", str, where, optional=True), **base)
    elif key == "processing_engine":
        allowed |= {"version", "name", "openlineageAdapterVersion"}
        facet = ol.pe.ProcessingEngineRunFacet(
            version=_need(d, "version", str, where), name=_need(d, "name", str, where, optional=True),
            openlineageAdapterVersion=_need(d, "openlineageAdapterVersion", str, where, optional=True), **base)
    elif key == "errorMessage":
        allowed |= {"message", "programmingLanguage", "stackTrace"}
        facet = ol.err.ErrorMessageRunFacet(
            message=_need(d, "message", str, where), programmingLanguage=_need(d, "programmingLanguage", str, where),
            stackTrace=_need(d, "stackTrace", str, where, optional=True), **base)
    elif key == "tags" and where.startswith("event.run."):
        # added by the client itself (its version, configured run tags)
        allowed |= {"tags"}
        tags = []
        for i, t in enumerate(_need(d, "tags", list, where)):
            w = f"{where}.tags[{i}]"
            if set(t) - {"key", "value", "source"}:
                raise InvalidEventError(f"{w} has unknown keys")
            tags.append(ol.tags.TagsRunFacetFields(key=_need(t, "key", str, w), value=_need(t, "value", str, w),
                                                   source=_need(t, "source", str, w, optional=True)))
        facet = ol.tags.TagsRunFacet(tags=tags, **base)
    else:
        raise InvalidEventError(f"{where}: facet {key!r} is not one morvel or the client writes")
    extra = set(d) - allowed
    if extra:
        raise InvalidEventError(f"{where} has unknown keys {sorted(extra)}")
    return facet


def _rebuild_schema_field(ol: _Modules, f: Any, where: str) -> Any:
    extra = set(f) - {"name", "type", "description", "fields"} if isinstance(f, dict) else set()
    if extra:
        raise InvalidEventError(f"{where} has unknown keys {sorted(extra)}")
    nested = [_rebuild_schema_field(ol, g, f"{where}.fields[{i}]")
              for i, g in enumerate(_need(f, "fields", list, where, optional=True) or [])]
    return ol.schema.SchemaDatasetFacetFields(
        name=_need(f, "name", str, where), type=_need(f, "type", str, where, optional=True),
        description=_need(f, "description", str, where, optional=True), fields=nested)


def _rebuild_input_field(ol: _Modules, f: Any, where: str) -> Any:
    transformations = []
    for i, t in enumerate(_need(f, "transformations", list, where, optional=True) or []):
        w = f"{where}.transformations[{i}]"
        kind = _need(t, "type", str, w)
        subtype = _need(t, "subtype", str, w, optional=True)
        if kind not in TRANSFORMATION_SUBTYPES:
            raise InvalidEventError(f"{w}.type must be DIRECT or INDIRECT, got {kind!r}")
        if subtype is not None and subtype not in TRANSFORMATION_SUBTYPES[kind]:
            raise InvalidEventError(f"{w}.subtype {subtype!r} is not a {kind} subtype")
        transformations.append(ol.cl.Transformation(
            type=kind, subtype=subtype, description=_need(t, "description", str, w, optional=True),
            masking=_need(t, "masking", bool, w, optional=True)))
    return ol.cl.InputField(namespace=_need(f, "namespace", str, where), name=_need(f, "name", str, where),
                            field=_need(f, "field", str, where), transformations=transformations)


_TAINT_KEYS = {"tainted": bool, "maxRisk": float, "minDepth": int, "riskLevel": str, "protected": bool,
               "protectedSources": list}


def _check_taint_column(c: Any, where: str) -> None:
    for key in ("tainted", "maxRisk", "riskLevel"):
        _need(c, key, _TAINT_KEYS[key], where)
    for key, kind in _TAINT_KEYS.items():
        _need(c, key, kind, where, optional=True)
    extra = set(c) - set(_TAINT_KEYS)
    if extra:
        raise InvalidEventError(f"{where} has unknown keys {sorted(extra)}")
    if not 0.0 <= c["maxRisk"] <= 1.0:
        raise InvalidEventError(f"{where}.maxRisk must lie in [0, 1]")
    if c["riskLevel"] not in ("HIGH", "MEDIUM", "LOW", "CLEAN"):
        raise InvalidEventError(f"{where}.riskLevel {c['riskLevel']!r} is not a risk level")
    for i, s in enumerate(c.get("protectedSources", [])):
        w = f"{where}.protectedSources[{i}]"
        for key in ("namespace", "name", "field"):
            _need(s, key, str, w)
        if set(s) != {"namespace", "name", "field"}:
            raise InvalidEventError(f"{w} has unknown keys")


def _rebuild_facets(ol: _Modules, facets: Any, where: str) -> Dict[str, Any]:
    if facets is None:
        return {}
    if not isinstance(facets, dict):
        raise InvalidEventError(f"{where} must be an object")
    return {k: _rebuild_facet(ol, k, v, f"{where}.{k}") for k, v in facets.items()}


def validate_openlineage_event(event: Any) -> Dict[str, Any]:
    """Check one run event (a client ``RunEvent`` or its JSON form) against
    the OpenLineage models of the installed client and return its JSON form.

    Neither the client nor ``openlineage-integration-common`` ships the core
    OpenLineage JSON schema, so the event is rebuilt from its JSON form through the client's generated models (whose
    validators check the event time, the run id as a UUID and the URIs),
    with the types of every field checked on the way, the transformation
    types and subtypes checked against the ones the standard defines and
    morvel's taint facet against its own schema; the rebuilt event must
    serialise back to exactly the same JSON.  Raises
    :class:`InvalidEventError` on the first difference.
    """
    ol = _client_modules()
    d = event if isinstance(event, dict) else event_to_dict(event)
    d = json.loads(json.dumps(d))  # JSON types only
    ev = ol.ev
    allowed = {"eventType", "eventTime", "run", "job", "inputs", "outputs", "producer", "schemaURL"}
    extra = set(d) - allowed if isinstance(d, dict) else set()
    if extra:
        raise InvalidEventError(f"event has unknown keys {sorted(extra)}")
    try:
        state = ev.RunState(_need(d, "eventType", str, "event"))
    except ValueError:
        raise InvalidEventError(f"event.eventType {d['eventType']!r} is not a run state") from None
    run_d = _need(d, "run", dict, "event")
    job_d = _need(d, "job", dict, "event")
    try:
        run = ev.Run(runId=_need(run_d, "runId", str, "event.run"),
                     facets=_rebuild_facets(ol, run_d.get("facets"), "event.run.facets"))
        job = ev.Job(namespace=_need(job_d, "namespace", str, "event.job"), name=_need(job_d, "name", str, "event.job"),
                     facets=_rebuild_facets(ol, job_d.get("facets"), "event.job.facets"))
        datasets: Dict[str, List[Any]] = {}
        for side, cls in (("inputs", ev.InputDataset), ("outputs", ev.OutputDataset)):
            datasets[side] = []
            for i, ds in enumerate(_need(d, side, list, "event", optional=True) or []):
                w = f"event.{side}[{i}]"
                datasets[side].append(cls(namespace=_need(ds, "namespace", str, w), name=_need(ds, "name", str, w),
                                          facets=_rebuild_facets(ol, ds.get("facets"), f"{w}.facets")))
        rebuilt = ev.RunEvent(eventType=state, eventTime=_need(d, "eventTime", str, "event"), run=run, job=job,
                              inputs=datasets["inputs"], outputs=datasets["outputs"],
                              producer=_need(d, "producer", str, "event"))
    except InvalidEventError:
        raise
    except (TypeError, ValueError) as exc:  # the client's validators
        raise InvalidEventError(f"event rejected by the OpenLineage models: {exc}") from None
    again = json.loads(json.dumps(ol.Serde.to_dict(rebuilt)))
    if again != d:
        diff = sorted(k for k in set(again) | set(d) if again.get(k) != d.get(k))
        raise InvalidEventError(f"event differs from its rebuilt form in {diff} "
                                f"(schema URL or a facet's schema URL wrong, or a value of the wrong form)")
    return d


def _transport_config(transport: str, url: Optional[str], endpoint: str, api_key: Optional[str],
                      file_path: Optional[str], append: bool, timeout: float, retries: int) -> Dict[str, Any]:
    if transport == "console":
        return {"type": "console"}
    if transport == "file":
        if not file_path:
            raise ValueError("the file transport needs file_path")
        return {"type": "file", "log_file_path": os.fspath(file_path), "append": bool(append)}
    if transport == "http":
        if not url:
            raise ValueError("the http transport needs url")
        config: Dict[str, Any] = {"type": "http", "url": url, "endpoint": endpoint, "timeout": float(timeout),
                                  "retry": {"total": int(retries)}}
        if api_key:
            config["auth"] = {"type": "api_key", "apiKey": api_key}
        return config
    raise ValueError(f"transport must be 'http', 'file' or 'console', got {transport!r}")


def emit_openlineage(
    events: Sequence[Any],
    *,
    transport: str = "console",
    url: Optional[str] = None,
    endpoint: str = "api/v1/lineage",
    api_key: Optional[str] = None,
    file_path: Optional[str] = None,
    append: bool = True,
    timeout: float = 5.0,
    retries: int = 3,
    validate: bool = True,
) -> int:
    """Send ``events`` through the OpenLineage client with one of its
    transports, configured by these arguments only ("http": ``url``,
    ``endpoint``, ``api_key``, ``timeout``, ``retries``; "file":
    ``file_path``, one JSON event per line, appended; "console": the
    client's log).  Every event is validated first (``validate``).  Returns
    the number of events handed to the transport: 0 when the client is
    switched off in its environment (``OPENLINEAGE_DISABLED``), with a
    warning.  Transport failures (an unreachable or refusing endpoint) raise.
    """
    check_exact(transport, "transport", str)
    ol = _client_modules()
    config = _transport_config(transport, url, endpoint, api_key, file_path, append, timeout, retries)
    if validate:
        for event in events:
            validate_openlineage_event(event)
    chosen = ol.factory().create(config)
    client = ol.client.OpenLineageClient(transport=chosen)
    if client.transport is not chosen:
        warnings.warn("the OpenLineage client is disabled in this environment (OPENLINEAGE_DISABLED); "
                      "no event was sent", UserWarning, stacklevel=2)
        return 0
    try:
        for event in events:
            client.emit(event)
    finally:
        client.close(timeout=timeout)
    return len(events)
