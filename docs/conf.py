"""Sphinx configuration of the kiv documentation (built with warnings as errors by scripts/test.sh)."""

project = "kiv"
author = "the kiv developers"
copyright = "the kiv developers"

extensions = ["sphinx.ext.autodoc"]
# The API reference is read from the installed package's docstrings, signatures in the order of the source.
autodoc_member_order = "bysource"
autodoc_typehints = "none"
nitpicky = False
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path: list[str] = []
