"""Sphinx configuration of the tarnlet documentation.

Build with ``bash tools/docs.sh`` (warnings are errors). The block pages'
layout tables come from ``tarnlet.layout``, the API reference from the type
stubs and docstrings, the gallery from ``examples/``: nothing is written twice.
Set TARNLET_DOCS_QUICK=1 to run the gallery examples in their short mode.
"""
from __future__ import annotations

import sys
from importlib import metadata
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

import gallery_setup  # noqa: E402

project = "tarnlet"
author = "the tarnlet developers"
copyright = "the tarnlet developers"
try:
    release = metadata.version("tarnlet")
except metadata.PackageNotFoundError:  # building without the package installed
    release = "unknown"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "sphinx_gallery.gen_gallery",
    "sphinx_design",
    "sphinx-mathjax-offline",  # a local MathJax: the pages render math without network
    "layout_tables",
    "stub_api",
]

myst_enable_extensions = ["dollarmath", "amsmath", "colon_fence", "deflist"]
myst_heading_anchors = 3
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "_examples", "gallery_header.rst", "gallery/*.ipynb", "sg_execution_times.rst"]
templates_path: list[str] = []
smartquotes = False  # "--days" stays two hyphens

html_theme = "pydata_sphinx_theme"
html_title = f"tarnlet {release}"
html_static_path = ["_static"]
html_css_files = ["tarnlet.css"]
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    # The gallery pages give their figures the full width.
    "secondary_sidebar_items": {"*": ["page-toc"], "blocks/*": ["page-toc"], "api/*": ["page-toc"],
                                "gallery/*": []},
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version", "theme-version"],
}
html_sidebars = {"index": [], "getting-started": [], "errors": [], "performance": [],
                 "development": [], "gallery/*": []}
html_show_sourcelink = False

add_module_names = False
toc_object_entries = False
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# Signatures name the package's type aliases instead of spelling them out.
autodoc_type_aliases = {name: name for name in ("ArrayLike", "Scalar", "Record", "States")}
napoleon_numpy_docstring = True
napoleon_google_docstring = False

# ---- gallery: the example scripts as they are, run at build time
# (see _ext/gallery_setup.py for how their source is laid out).
gallery_setup.lay_out()

sphinx_gallery_conf = {
    "examples_dirs": str(gallery_setup.SOURCE),
    "gallery_dirs": "gallery",
    "filename_pattern": r".*\.py$",
    # the storm event's hand-wired route is a module it imports, not an example of its own
    "ignore_pattern": r"(__init__|_handwired)\.py$",
    "reset_argv": "gallery_setup.example_argv",
    "image_scrapers": ("matplotlib", "written_png.scraper"),
    "download_all_examples": False,
    "remove_config_comments": True,
    "plot_gallery": "True",
    "abort_on_example_error": True,
    "show_memory": False,
    "write_computation_times": False,
    "min_reported_time": 10**6,
}


def setup(app) -> None:
    app.connect("env-before-read-docs", gallery_setup.restore_exit)
