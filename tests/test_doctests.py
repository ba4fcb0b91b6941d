"""The examples in docstrings run against the installed package."""
import doctest
import importlib

import pytest

MODULES = [
    "morvel.utilities._argcheck",
    "morvel.utilities.vortel32",
    "morvel.utilities.vortel32_dag",
    "morvel.utilities.jsonkit",
    "morvel.utilities.persistence.storage",
    "morvel.utilities.persistence.writer",
    "morvel.utilities.persistence.hosted",
    "morvel.utilities.persistence.service",
    "morvel.demo",
    "morvel._standards._fields",
    "morvel._standards.openlineage",
    "morvel._fairness",
    "morvel.pipeline",
]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    module = importlib.import_module(name)
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
