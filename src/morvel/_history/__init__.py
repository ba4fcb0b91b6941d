"""Row history of a ``morvel.Pipeline``: dropped rows, changed values,
checks along the way and the report a reviewer opens."""
from morvel._history.checks import (
           Check,
           CheckResult,
           ExpectationError,
           ExpectationWarning,
)
from morvel._history.recorder import Change, HistoryRecorder, Step

__all__ = ["Change", "Check", "CheckResult", "ExpectationError", "ExpectationWarning",
           "HistoryRecorder", "Step"]
