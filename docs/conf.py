"""Sphinx configuration of the vornic documentation (make docs)."""
import doctest
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "vornic"
author = "the vornic developers"
copyright = "the vornic developers"
release = version = "0.1.0"

extensions = [
    "sphinx.ext.doctest",  # every testcode block on these pages runs (make docs)
    "vornic_api",          # the API reference, from the module and its stubs
    "vornic_bench",        # benchmark tables, from the committed results
]

html_theme = "furo"
html_title = "vornic"
exclude_patterns = ["_build"]
# Guide pages name classes and functions without the module prefix.
rst_prolog = ".. currentmodule:: _vornic\n"

doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
