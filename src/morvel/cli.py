"""The ``morvel`` command.

    morvel demo  [--rows N] [--db PATH] [--out DIR] [--seed S] [--quiet]
    morvel serve --db PATH [--host H] [--port N] --api-key KEY [--api-key KEY ...]
    morvel show  PATH
    morvel graph PATH --pipeline ID --fingerprint WORD [--output FILE]
    morvel graph PATH --row LABEL --column NAME [--pipeline ID] [--output FILE]
    morvel export PATH --pipeline ID --format FORMAT [--fingerprint WORD] [--output FILE]

User mistakes (bad arguments, missing or foreign files, unknown pipelines)
end with exit code 2 and one line on stderr, never a traceback.  Heavy
imports (pandas, the native modules) happen inside the commands, so
``--help`` is instant.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import signal
import sqlite3
import sys
import textwrap
from typing import List, Optional, Sequence, TextIO, Tuple, cast

from morvel import __version__
from morvel.utilities.persistence.service import DEFAULT_PORT

EXIT_USAGE = 2
#: Tables that make an SQLite file a morvel lineage database.
LINEAGE_TABLES = frozenset({"pipelines", "nodes", "edges", "results"})


class UsageError(Exception):
    """A mistake of the user's: reported in one line, exit code 2."""


class _HelpFormatter(argparse.HelpFormatter):
    """Wraps help text at spaces only, so that option names such as
    ``--api-key`` are never split at their hyphens."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        return textwrap.fill(" ".join(text.split()), width, initial_indent=indent,
                             subsequent_indent=indent, break_on_hyphens=False)

    def _split_lines(self, text: str, width: int) -> List[str]:
        return textwrap.wrap(" ".join(text.split()), width, break_on_hyphens=False)


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors: "morvel demo: error: ... (see --help)"."""

    def __init__(self, *args, **kwargs) -> None:
        kwargs.setdefault("formatter_class", _HelpFormatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    def _print_message(self, message: str, file=None) -> None:
        # Let a reader gone early reach main() (argparse of Python 3.11+
        # swallows it, 3.10 does not), so every Python ends the same way.
        if message:
            (file or sys.stderr).write(message)


class _CommandParser(_Parser):
    """The parser of one command: arguments it does not know are reported
    under the command's own name ("morvel show: error: unrecognized
    arguments: ..."), not left for the top-level parser to report as
    "morvel: error: ..."."""

    def parse_known_args(  # type: ignore[override]
        self, args: Optional[Sequence[str]] = None, namespace: Optional[argparse.Namespace] = None
    ) -> Tuple[argparse.Namespace, List[str]]:
        parsed, extras = super().parse_known_args(args, namespace)
        if extras:
            self.error(f"unrecognized arguments: {' '.join(extras)}")
        return parsed, extras


# ---------------------------------------------------------------------------
# Argument types: each raises ArgumentTypeError with a short reason
# ---------------------------------------------------------------------------


def _int_in(low: int, high: Optional[int]):
    def convert(text: str) -> int:
        try:
            value = int(text.replace("_", "").replace(",", ""), 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be a whole number, got {text!r}") from None
        if value < low or (high is not None and value > high):
            span = f"at least {low:,}" if high is None else f"between {low:,} and {high:,}"
            raise argparse.ArgumentTypeError(f"must be {span}, got {value:,}")
        return value

    return convert


def _fingerprint(text: str) -> int:
    """A provenance word: decimal or 0x-prefixed hexadecimal, 32 bits."""
    s = text.strip()
    try:
        value = int(s, 16) if s.lower().startswith("0x") else int(s, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"must be a 32-bit word in decimal or 0x hexadecimal, got {text!r}"
        ) from None
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"must fit in 32 bits, got {text!r}")
    return value


def _api_key(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty")
    return text


MAX_DEMO_ROWS = 1_000_000


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="morvel",
        description="Value-level provenance and fairness taint tracking for pandas pipelines.",
    )
    parser.add_argument("--version", action="version", version=f"morvel {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_CommandParser)
    sub.required = True

    demo = sub.add_parser(
        "demo",
        help="score a synthetic credit-application table and show what the library finds",
        description="Generate a seeded synthetic credit-application table, wrap it with "
        "gender and age protected, compute a credit score and an approval flag with "
        "element-level lineage, print the column risk report and the audit of one approved "
        "applicant's score, and write the lineage to an embedded SQLite file, the DOT text of "
        "that score's graph and (with Graphviz installed) an SVG of it.",
    )
    demo.add_argument("--rows", type=_int_in(1, MAX_DEMO_ROWS), default=10_000,
                      help="number of applications to generate (default 10,000)")
    demo.add_argument("--db", metavar="PATH", default=None,
                      help="SQLite lineage file to write (default OUT/lineage.db); "
                           "an existing lineage file gains one more pipeline")
    demo.add_argument("--out", metavar="DIR", default="morvel-demo",
                      help="folder for the graph files (default ./morvel-demo)")
    demo.add_argument("--seed", type=_int_in(0, 2**32 - 1), default=7,
                      help="random seed of the synthetic data (default 7)")
    demo.add_argument("--quiet", action="store_true", help="no progress lines on stderr")

    serve = sub.add_parser(
        "serve",
        help="run the lineage service and its dashboard on an SQLite file",
        description="Start the lineage HTTP service and web dashboard (at /, API reference at /docs), "
        "storing into the SQLite file PATH. "
        "Each --api-key KEY[:TENANT] admits one client key (tenant 'default' when omitted) and signs "
        "in to the dashboard. Needs the service extra: pip install \"morvel[service]\". "
        "Stop it with Ctrl-C.",
    )
    serve.add_argument("--db", metavar="PATH", required=True, help="SQLite lineage file (created if missing)")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=_int_in(0, 65535), default=DEFAULT_PORT,
                       help=f"TCP port (default {DEFAULT_PORT}; 0 picks a free port)")
    serve.add_argument("--api-key", metavar="KEY", action="append", required=True, type=_api_key,
                       help="accepted API key, optionally KEY:TENANT; repeatable")

    show = sub.add_parser(
        "show",
        help="list the pipelines in a lineage database",
        description="List the pipelines stored in the SQLite lineage file PATH with their "
        "status, node and edge counts and protected sources.",
    )
    show.add_argument("path", metavar="PATH", help="SQLite lineage file")

    graph = sub.add_parser(
        "graph",
        help="print the stored graph behind one fingerprint or one saved value as DOT",
        description="Print, as Graphviz DOT, the stored lineage graph upstream of the node "
        "with fingerprint WORD in pipeline ID of the SQLite lineage file PATH; or, with --row "
        "and --column, the lineage of the one value a lineage pipeline saved at that row "
        "label and column (every node kept; the latest save, or that of pipeline ID).",
    )
    graph.add_argument("path", metavar="PATH", help="SQLite lineage file")
    graph.add_argument("--pipeline", metavar="ID", default=None,
                       type=_int_in(1, None), help="pipeline id (see morvel show)")
    graph.add_argument("--fingerprint", metavar="WORD", default=None, type=_fingerprint,
                       help="provenance word of the node, decimal or 0x hexadecimal")
    graph.add_argument("--row", metavar="LABEL", default=None,
                       help="row label of a saved value (as text)")
    graph.add_argument("--column", metavar="NAME", default=None,
                       help="column name of a saved value")
    graph.add_argument("--output", "-o", metavar="FILE", default=None,
                       help="write the DOT text to FILE instead of stdout")
    graph.set_defaults(check=lambda args: _check_graph_args(args, graph))
    _add_export_parser(sub)
    return parser


def _check_graph_args(args: argparse.Namespace, graph: argparse.ArgumentParser) -> None:
    """``graph`` takes either --pipeline and --fingerprint, or --row and
    --column (with --pipeline optional)."""
    if args.row is None and args.column is None:
        missing = [name for name, value in (("--pipeline", args.pipeline), ("--fingerprint", args.fingerprint))
                   if value is None]
        if missing:
            graph.error("the following arguments are required: " + ", ".join(missing))
        return
    if args.row is None or args.column is None:
        graph.error("--row and --column go together")
    if args.fingerprint is not None:
        graph.error("--fingerprint cannot be combined with --row and --column")


#: ``morvel export --format`` values (the exporters themselves are imported
#: only when the command runs).
EXPORT_FORMATS = ("openlineage", "prov-json", "prov-n", "prov-xml", "dot")


def _add_export_parser(sub: "argparse._SubParsersAction") -> None:
    export = sub.add_parser(
        "export",
        help="write stored lineage as OpenLineage events, W3C PROV or DOT",
        description="Write the stored lineage of pipeline ID of the SQLite lineage file PATH in a "
        "standard format: openlineage (the run's START and COMPLETE or FAIL events, one JSON "
        "object per line, with column lineage and the taint facet), prov-json, prov-n or prov-xml "
        "(a W3C PROV document of the whole graph, or of the graph behind one fingerprint) or dot. "
        "openlineage needs pip install 'morvel[openlineage]', the prov formats "
        "pip install 'morvel[prov]'.",
    )
    export.add_argument("path", metavar="PATH", help="SQLite lineage file")
    export.add_argument("--pipeline", metavar="ID", required=True, type=_int_in(1, None),
                        help="pipeline id (see morvel show)")
    export.add_argument("--format", required=True, choices=EXPORT_FORMATS, metavar="FORMAT",
                        help="one of " + ", ".join(EXPORT_FORMATS))
    export.add_argument("--fingerprint", metavar="WORD", type=_fingerprint, default=None,
                        help="only the graph behind the node with this provenance word "
                             "(not with openlineage)")
    export.add_argument("--namespace", default="morvel",
                        help="OpenLineage namespace of the job and datasets (default morvel)")
    export.add_argument("--output", "-o", metavar="FILE", default=None,
                        help="write to FILE instead of stdout")


# ---------------------------------------------------------------------------
# Path checks
# ---------------------------------------------------------------------------


def _writable_file_path(path: str, what: str, parent_may_be_missing: bool = False) -> str:
    """A file we may create or overwrite: not a folder, in a writable folder
    (or, with ``parent_may_be_missing``, in one the caller will create)."""
    if os.path.isdir(path):
        raise UsageError(f"{what} {path!r} is a folder, expected a file path")
    parent = os.path.dirname(os.path.abspath(path))
    if os.path.exists(parent):
        if not os.path.isdir(parent):
            raise UsageError(f"{what} {path!r}: {parent!r} is not a folder")
        if not os.access(parent, os.W_OK) and not os.access(path, os.W_OK):
            raise UsageError(f"{what} {path!r}: folder {parent!r} is not writable")
    elif not parent_may_be_missing:
        raise UsageError(f"{what} {path!r}: folder {parent!r} does not exist")
    return path


def _existing_database(path: str) -> str:
    """An existing morvel lineage file.  Checked read-only, so that a
    mistaken path is never created, extended or otherwise changed."""
    if not os.path.exists(path):
        raise UsageError(f"no such file: {path!r}")
    if os.path.isdir(path):
        raise UsageError(f"{path!r} is a folder, expected an SQLite lineage file")
    try:
        with open(path, "rb") as fh:
            header = fh.read(16)
    except OSError as exc:
        raise UsageError(f"cannot read {path!r}: {exc.strerror or exc}") from None
    if header != b"SQLite format 3\x00":
        raise UsageError(f"{path!r} is not an SQLite database")
    try:
        uri = pathlib.Path(path).absolute().as_uri() + "?mode=ro"
        con = sqlite3.connect(uri, uri=True)
        try:
            tables = {r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        finally:
            con.close()
    except sqlite3.Error as exc:
        raise UsageError(f"cannot read {path!r} as SQLite: {exc}") from None
    if not LINEAGE_TABLES <= tables:
        raise UsageError(f"{path!r} is not a morvel lineage database (no {', '.join(sorted(LINEAGE_TABLES - tables))} table)")
    return path


def _reusable_database(path: str, what: str, parent_may_be_missing: bool = False) -> str:
    """A lineage file to write into: new, empty, or an existing lineage file."""
    _writable_file_path(path, what, parent_may_be_missing)
    if os.path.exists(path) and os.path.getsize(path) > 0:
        _existing_database(path)
    return path


# ---------------------------------------------------------------------------
# Commands
# ---------------------------------------------------------------------------


def _redirect_to_devnull(stream: TextIO) -> None:
    """Point the file descriptor under ``stream`` at the null device, so that
    what is still buffered or printed later goes nowhere instead of raising
    ``BrokenPipeError`` again (also when the interpreter flushes at exit)."""
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


class _ReaderMayLeave:
    """A text stream that outlives its reader: once the reader has gone
    (``morvel demo | head``), later output is dropped instead of raising, so
    that the demo still writes its database and graph files."""

    def __init__(self, stream: Optional[TextIO]) -> None:
        self._stream = stream
        self._gone = stream is None  # started with the descriptor closed (>&-)

    def write(self, text: str) -> int:
        stream = self._stream
        if not self._gone and stream is not None:
            try:
                stream.write(text)
            except BrokenPipeError:
                self._leave()
        return len(text)

    def flush(self) -> None:
        stream = self._stream
        if not self._gone and stream is not None:
            try:
                stream.flush()
            except BrokenPipeError:
                self._leave()

    def _leave(self) -> None:
        self._gone = True
        if self._stream is not None:
            _redirect_to_devnull(self._stream)


def cmd_demo(args: argparse.Namespace) -> int:
    """Check the paths, then run :func:`morvel.demo.run_demo`."""
    out = args.out
    if os.path.exists(out) and not os.path.isdir(out):
        raise UsageError(f"--out {out!r} exists and is not a folder")
    db = args.db if args.db is not None else os.path.join(out, "lineage.db")
    _reusable_database(db, "--db", parent_may_be_missing=True)
    parent = os.path.dirname(os.path.abspath(db))
    try:
        os.makedirs(out, exist_ok=True)
        os.makedirs(parent, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"cannot create folder: {exc.strerror or exc}: {exc.filename!r}") from None

    from morvel.demo import run_demo

    stdout = _ReaderMayLeave(sys.stdout)
    progress = None if args.quiet else _ReaderMayLeave(sys.stderr)
    # The demo only writes and flushes: the wrappers stand in for text streams.
    run_demo(rows=args.rows, db=db, out=out, seed=args.seed, stdout=cast(TextIO, stdout),
             progress=cast(Optional[TextIO], progress))
    stdout.flush()
    return 0


def cmd_serve(args: argparse.Namespace) -> int:
    """Check the database path, keys and address, then run the lineage
    service until Ctrl-C or SIGTERM."""
    _reusable_database(args.db, "--db")
    from morvel.utilities.persistence import service

    try:
        keys = service.parse_api_keys(args.api_key)
    except ValueError as exc:
        raise UsageError(f"--api-key: {exc}") from None
    try:
        running = service.open_service(args.db, keys, host=args.host, port=args.port)
    except (service.StartError, service.ServiceUnavailable) as exc:
        raise UsageError(str(exc)) from None
    # Stop cleanly (database closed) on SIGTERM as on Ctrl-C.
    previous = signal.signal(signal.SIGTERM, _raise_interrupt)
    try:
        service.run(running, args.db)
    finally:
        signal.signal(signal.SIGTERM, previous)
    return 0


def _raise_interrupt(signum, frame):  # pragma: no cover - runs in the service process
    raise KeyboardInterrupt


def _open_storage(path: str):
    from morvel.utilities.persistence.storage import SQLiteStorage

    storage = SQLiteStorage(_existing_database(path))
    storage.connect()
    return storage


def _printable(text: str) -> str:
    """``text`` with control characters written as escapes: names in a
    lineage database come from the service's clients, and must neither
    break the table's lines nor send escape sequences to the terminal."""
    return "".join(ch if ch.isprintable() else ascii(ch)[1:-1] for ch in text)


def _printable_or_none(text: Optional[str]) -> Optional[str]:
    return None if text is None else _printable(str(text))


def format_pipelines(pipelines: List[dict]) -> str:
    """The ``morvel show`` table: one line per pipeline, oldest first."""
    headers = ["id", "name", "status", "nodes", "edges", "results", "created", "tenant",
               "protected sources"]
    rows = [
        [
            str(p["pipeline_id"]),
            str(p["name"]),
            str(p["status"]),
            f"{p['node_count']:,}",
            f"{p['edge_count']:,}",
            f"{p['result_count']:,}",
            str(p["created_at"] or "-").replace("T", " ")[:19],
            str(p["tenant_id"] or "-"),
            ", ".join(p["protected_sources"]) or "-",
        ]
        for p in sorted(pipelines, key=lambda p: p["pipeline_id"])
    ]
    rows = [[_printable(cell) for cell in row] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]
    right = {0, 3, 4, 5}

    def line(cells: List[str]) -> str:
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return "\n".join([line(headers), line(["-" * w for w in widths]), *(line(r) for r in rows)])


def cmd_show(args: argparse.Namespace) -> int:
    """List the pipelines of a lineage file (``list_pipelines`` of the store)."""
    storage = _open_storage(args.path)
    try:
        pipelines = storage.list_pipelines()
    finally:
        storage.disconnect()
    if not pipelines:
        print(f"{args.path}: no pipelines stored yet")
        return 0
    print(f"{args.path}: {len(pipelines)} pipeline{'s' if len(pipelines) != 1 else ''}")
    print(format_pipelines(pipelines))
    return 0


def stored_graph_to_dot(graph: dict) -> str:
    """DOT text of a stored graph (``SQLiteStorage.pipeline_graph``), drawn
    like ``ComputationDAG.to_graphviz``: the stored records are turned back
    into DAG records, ordered breadth-first from the root, node ids being
    the store's own."""
    from collections import deque

    from morvel.utilities.vortel32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType

    parents: dict = {}
    for e in graph["edges"]:
        parents.setdefault(e["child_id"], []).append((e["position"], e["parent_id"]))
    stored = {n["node_id"]: n for n in graph["nodes"]}
    nodes: dict = {}
    edges: List[DAGEdge] = []
    queue, seen = deque([graph["root"]]), set()
    while queue:
        nid = queue.popleft()
        if nid in seen or nid not in stored:
            continue
        seen.add(nid)
        rec = stored[nid]
        inputs = [pid for _, pid in sorted(parents.get(nid, []))]
        kind = NodeType[rec["node_type"]] if rec["node_type"] in NodeType.__members__ else NodeType.CUSTOM
        nodes[nid] = DAGNode(
            node_id=nid, node_type=kind, operation=_printable(rec["operation"] or ""), inputs=inputs,
            provenance=rec["fingerprint"], metadata=rec["metadata"] or {},
            table=_printable_or_none(rec["table_name"]),
            column=_printable_or_none(rec["column_name"]), pair_id=rec["pair_id"],
            is_protected=rec["is_protected"],
        )
        for pos, pid in sorted(parents.get(nid, [])):
            edges.append(DAGEdge(source_id=pid, target_id=nid, input_index=pos))
            if pid not in seen:
                queue.append(pid)
    return ComputationDAG(root_id=graph["root"], nodes=nodes, edges=edges).to_graphviz()


def cmd_graph(args: argparse.Namespace) -> int:
    """Print (or write) the stored graph behind one fingerprint as DOT."""
    if args.output is not None:
        _writable_file_path(args.output, "--output")
        if os.path.exists(args.output) and os.path.exists(args.path) \
                and os.path.samefile(args.output, args.path):
            raise UsageError(f"--output {args.output!r} is the lineage database itself")
    if args.row is not None:
        return _graph_of_value(args)
    storage = _open_storage(args.path)
    try:
        if storage.get_pipeline(args.pipeline) is None:
            raise UsageError(f"{args.path!r} has no pipeline {args.pipeline} (see morvel show {args.path})")
        try:
            graph = storage.pipeline_graph(args.pipeline, args.fingerprint)
        except KeyError:
            raise UsageError(
                f"pipeline {args.pipeline} has no node with fingerprint 0x{args.fingerprint:08X}"
            ) from None
    finally:
        storage.disconnect()
    return _write_dot(stored_graph_to_dot(graph), args.output, len(graph["nodes"]), len(graph["edges"]))


def _write_dot(dot: str, output: Optional[str], nodes: int, edges: int) -> int:
    """Print a DOT graph, or write it to ``output`` and say so on stderr."""
    if output is None:
        print(dot)
    else:
        with open(output, "w", encoding="utf-8") as fh:
            fh.write(dot + "\n")
        print(f"wrote {nodes} nodes, {edges} edges to {output}", file=sys.stderr)
    return 0


def _graph_of_value(args: argparse.Namespace) -> int:
    """``graph --row --column``: the saved lineage of one value, read node by
    node from the saved blocks."""
    from morvel.utilities._columnar_store import SavedLineage, _connection
    from morvel.utilities._lineage_db import find_value

    storage = _open_storage(args.path)
    try:
        if args.pipeline is not None and storage.get_pipeline(args.pipeline) is None:
            raise UsageError(f"{args.path!r} has no pipeline {args.pipeline} (see morvel show {args.path})")
        with _connection(storage) as conn:
            found = find_value(conn, args.column, args.row, args.pipeline)
        if found is None:
            where = "" if args.pipeline is None else f" of pipeline {args.pipeline}"
            raise UsageError(
                f"no saved value at row {_printable(args.row)!r}, column {_printable(args.column)!r}{where} "
                "(a lineage pipeline saves the values of Pipeline.output(frame) or save(..., values=frame))")
        store_id, node_id = found[0], found[1]
        dag = SavedLineage(storage, store_id).get_dag(node_id)
    finally:
        storage.disconnect()
    return _write_dot(dag.to_graphviz(), args.output, len(dag.nodes), len(dag.edges))


def cmd_export(args: argparse.Namespace) -> int:
    """Write the stored lineage of one pipeline in a standard format."""
    if args.fingerprint is not None and args.format == "openlineage":
        raise UsageError("--fingerprint applies to prov-json, prov-n, prov-xml and dot; "
                         "openlineage events describe the whole run")
    if not args.namespace.strip():
        raise UsageError("--namespace must not be empty")
    if args.output is not None:
        _writable_file_path(args.output, "--output")
        if os.path.exists(args.output) and os.path.exists(args.path) \
                and os.path.samefile(args.output, args.path):
            raise UsageError(f"--output {args.output!r} is the lineage database itself")
    try:
        from morvel._standards.export import export_stored

        if args.format == "openlineage":
            from morvel._standards.openlineage import _client_modules

            _client_modules()
        elif args.format != "dot":
            from morvel._standards.provdoc import _prov_model, prov_to_text

            _prov_model()
            if args.format == "prov-xml":
                prov_to_text(_prov_model().ProvDocument(), "xml")
    except ImportError as exc:
        raise UsageError(f"the {args.format} format cannot be written here: {exc}") from None
    storage = _open_storage(args.path)
    try:
        if storage.get_pipeline(args.pipeline) is None:
            raise UsageError(f"{args.path!r} has no pipeline {args.pipeline} (see morvel show {args.path})")
        try:
            text = export_stored(storage, args.pipeline, args.format, args.fingerprint, args.namespace)
        except KeyError:
            raise UsageError(
                f"pipeline {args.pipeline} has no node with fingerprint 0x{args.fingerprint:08X}"
            ) from None
    finally:
        storage.disconnect()
    if args.output is None:
        print(text)
    else:
        with open(args.output, "w", encoding="utf-8") as fh:
            fh.write(text if text.endswith("\n") else text + "\n")
        print(f"wrote {args.format} to {args.output}", file=sys.stderr)
    return 0


COMMANDS = {"demo": cmd_demo, "serve": cmd_serve, "show": cmd_show, "graph": cmd_graph, "export": cmd_export}


#: Exit code when the reader of the output went away, as for a command
#: ended by SIGPIPE in the shell (128 + 13).
EXIT_BROKEN_PIPE = 141


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the ``morvel`` console script; returns the exit code."""
    try:
        return _run(argv)
    except BrokenPipeError:
        # ``morvel show DB | head -1``: the reader has all it wanted.
        _redirect_to_devnull(sys.stdout)
        return EXIT_BROKEN_PIPE
    except SystemExit:
        # argparse exits after --help and usage errors; what is still
        # buffered must reach the reader now, not fail at exit.
        try:
            _flush_stdout()
        except BrokenPipeError:
            _redirect_to_devnull(sys.stdout)
            return EXIT_BROKEN_PIPE
        raise


def _flush_stdout() -> None:
    if sys.stdout is not None:  # None when started with stdout closed
        sys.stdout.flush()


def _run(argv: Optional[Sequence[str]]) -> int:
    parser = build_parser()
    args = parser.parse_args(list(sys.argv[1:] if argv is None else argv))
    check = getattr(args, "check", None)
    if check is not None:
        check(args)
    try:
        code = COMMANDS[args.command](args)
    except UsageError as exc:
        print(f"morvel {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"morvel {args.command}: interrupted", file=sys.stderr)
        return 130
    # Flush here, so that a reader gone early is noticed while we can still
    # exit quietly rather than in the interpreter's own flush at exit.
    _flush_stdout()
    return code


if __name__ == "__main__":
    sys.exit(main())
