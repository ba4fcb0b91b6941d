"""Sphinx configuration of the morvel documentation.

Build with ``sphinx-build -W -b html docs docs/_build/html`` from the
checkout, with morvel importable: installed (``pip install ".[docs]"``) or,
on the sources, with ``PYTHONPATH=src`` after ``python tools/build_rust``.
"""
from __future__ import annotations

import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if importlib.util.find_spec("morvel") is None:
    # a source checkout whose native modules were built in place
    sys.path.insert(0, os.path.join(HERE, os.pardir, "src"))

import morvel  # noqa: E402

project = "morvel"
author = "The morvel developers"
copyright = "The morvel developers"  # noqa: A001 - the name Sphinx reads
release = version = morvel.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.viewcode"]
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_theme_options = {"description": "Value-level provenance and fairness taint tracking for pandas"}

autodoc_default_options = {"members": True, "show-inheritance": True}
autodoc_member_order = "bysource"
# Signatures carry the annotations; repeating them in the text adds nothing.
autodoc_typehints = "signature"
# pandas' own members of the tracked Series and DataFrames are pandas'
# documentation, not ours.
autodoc_inherit_docstrings = False
nitpicky = False
