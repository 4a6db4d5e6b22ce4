"""Every code snippet on the documentation pages and in README.md runs, and a snippet written
as a session (>>> prompts) prints what the page shows. Snippets of a page run
in order in one namespace, as a reader would type them."""
import doctest
import importlib
import importlib.util
import pathlib
import unittest

import pytest

sybil = pytest.importorskip("sybil")
from sybil.parsers.myst import PythonCodeBlockParser, SkipParser  # noqa: E402

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.md") if not {"_build", "_examples", "gallery"} & set(p.parts))
PAGES.append(DOCS.parent / "README.md")
PARSER = sybil.Sybil(parsers=[
    PythonCodeBlockParser(doctest_optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE),
    SkipParser(),
])


def test_the_pages_are_found():
    assert {"index.md", "getting-started.md", "sewer.md", "errors.md"} <= {p.name for p in PAGES}


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(DOCS.parent).as_posix())
def test_snippets_run(page):
    document = PARSER.parse(page)
    document.namespace["SCIPY"] = importlib.util.find_spec("scipy") is not None
    for example in document:
        try:
            example.evaluate()
        except unittest.SkipTest:  # a snippet marked to skip, e.g. without SciPy: run the rest
            continue


MODULES = ["tarnlet.runs", "tarnlet.layout", "tarnlet.results", "tarnlet.model", "tarnlet.model._model",
           "tarnlet.model.expr", "tarnlet.model.ensemble", "tarnlet.model.steady"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name):
    """The Examples sections of the public modules' docstrings, as doctests."""
    module = importlib.import_module(name)
    failed, attempted = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
                                        report=True, verbose=False)
    assert failed == 0 and (attempted > 0 or name in ("tarnlet.model",))
