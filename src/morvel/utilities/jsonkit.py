"""One JSON entry point for the package: ``dumps`` and ``loads``.

When orjson is installed it does the work: it is fast and serialises numpy
integers, floats, booleans and arrays natively (``OPT_SERIALIZE_NUMPY``), so
numpy values never call back into Python.  Without orjson the standard
library's ``json`` module is used with ``_NumpyEncoder``, a custom encoder
that covers the same numpy values and also dates and datetimes.

The backend is chosen once, when this module loads; ``BACKEND`` says which
("orjson" or "json").  ``dumps`` always returns ``str`` and both functions
have the same signatures under either backend.

>>> import numpy as np
>>> loads(dumps({"n": np.int64(3)}))
{'n': 3}
"""
from __future__ import annotations

from typing import Any, Callable, Optional

try:
    import orjson
except ImportError:
    import json
    from datetime import date, datetime

    class _NumpyEncoder(json.JSONEncoder):
        """JSON encoder that handles numpy types for the stdlib fallback."""

        def default(self, obj: Any) -> Any:
            # numpy is imported per call so that the fallback keeps working
            # (for plain values) on an interpreter without numpy.
            try:
                import numpy as np
            except ImportError:
                return json.JSONEncoder.default(self, obj)
            if isinstance(obj, np.integer):
                return int(obj)
            if isinstance(obj, np.floating):
                return float(obj)
            if isinstance(obj, np.bool_):
                return bool(obj)
            if isinstance(obj, np.ndarray):
                return obj.tolist()
            if isinstance(obj, (date, datetime)):
                return obj.isoformat()
            return json.JSONEncoder.default(self, obj)

    def dumps(
        obj: Any,
        default: Optional[Callable[[Any], Any]] = None,
        indent: Any = None,
        sort_keys: bool = False,
    ) -> str:
        """Serialise ``obj`` to a JSON ``str``.

        numpy scalars and arrays, dates and datetimes are converted by
        ``_NumpyEncoder``; ``default`` is consulted only for objects that
        conversion cannot handle.  ``indent`` and ``sort_keys`` are passed
        to ``json.dumps`` unchanged.

        >>> dumps({"b": 1, "a": 2}, sort_keys=True)
        '{"a": 2, "b": 1}'
        """
        if default is None:
            return json.dumps(obj, cls=_NumpyEncoder, indent=indent, sort_keys=sort_keys)

        fallback = default

        class _Combined(_NumpyEncoder):
            def default(self, o: Any) -> Any:
                try:
                    return _NumpyEncoder.default(self, o)
                except TypeError:
                    return fallback(o)

        return json.dumps(obj, cls=_Combined, indent=indent, sort_keys=sort_keys)

    def loads(s: Any) -> Any:
        """Decode the JSON text ``s``; invalid text raises a ``ValueError``
        subclass (``json.JSONDecodeError``).

        >>> loads('[1, 2]')
        [1, 2]
        """
        return json.loads(s)

    BACKEND = "json"
else:
    _NUMPY_OPT = orjson.OPT_SERIALIZE_NUMPY

    def dumps(
        obj: Any,
        default: Optional[Callable[[Any], Any]] = None,
        indent: Any = None,
        sort_keys: bool = False,
    ) -> str:
        """Serialise ``obj`` to a JSON ``str`` with orjson.

        numpy values stay on orjson's native path.  A truthy ``indent``
        always means two-space indentation (orjson offers no other width);
        a truthy ``sort_keys`` sorts object keys.  ``default`` is called for
        objects orjson cannot serialise; an exception it raises reaches the
        caller unchanged.

        >>> dumps({"b": 1, "a": 2}, sort_keys=True)
        '{"a":2,"b":1}'
        """
        opts = _NUMPY_OPT
        if indent:
            opts |= orjson.OPT_INDENT_2
        if sort_keys:
            opts |= orjson.OPT_SORT_KEYS
        if default is None:
            return orjson.dumps(obj, option=opts).decode("utf-8")
        # orjson replaces whatever ``default`` raises by its own generic
        # "Type is not JSON serializable"; keep the caller's exception so
        # both backends fail the same way.
        raised: list = []

        def _default(o: Any) -> Any:
            try:
                return default(o)
            except Exception as exc:
                raised.append(exc)
                raise

        try:
            result = orjson.dumps(obj, default=_default, option=opts)
        except orjson.JSONEncodeError:
            if raised:
                raise raised[-1] from None
            raise
        return result.decode("utf-8")

    def loads(s: Any) -> Any:
        """Decode JSON from ``str`` or ``bytes``; invalid text raises
        ``orjson.JSONDecodeError``, a ``ValueError`` subclass.

        >>> loads(b'{"a": 1}')
        {'a': 1}
        """
        return orjson.loads(s)

    BACKEND = "orjson"
