"""The gallery's source, laid out from examples/ at every build, and the
arguments each example runs with.

sphinx-gallery wants a header file beside the scripts and reads each
script's docstring as reStructuredText; examples/ stays the scripts alone,
written for the command line. So the gallery source is a copy in
docs/_examples whose docstrings are read as the command line shows them:
the first line becomes the title and indented blocks are shown verbatim.
"""
from __future__ import annotations

import ast
import os
import shutil
import sys
import textwrap
from pathlib import Path
from typing import Any

DOCS = Path(__file__).resolve().parents[1]
ROOT = DOCS.parent
SOURCE = DOCS / "_examples"
FIGURES = DOCS / "_build" / "example-output"  # where the examples write; see written_png.py
QUICK = os.environ.get("TARNLET_DOCS_QUICK", "") not in ("", "0")


def rst_docstring(doc: str) -> str:
    """A command-line docstring as reStructuredText: a title, literal blocks."""
    lines = doc.strip("\n").splitlines()
    if len(lines) > 1 and lines[1].strip() and set(lines[1].strip()) <= set("=-~^"):
        return doc  # already has a title
    # The title is the first sentence of the first paragraph; the rest of
    # that paragraph follows as text.
    end = next((k for k, line in enumerate(lines) if not line.strip()), len(lines))
    first = " ".join(line.strip() for line in lines[:end])
    title, _, rest = first.partition(". ")
    title = title.rstrip(".")
    if len(title) > 60 and ": " in title:  # a long title: its head, the rest as text
        title, _, tail = title.partition(": ")
        rest = f"{tail[:1].upper()}{tail[1:]}. {rest}".strip()
    out = [title, "=" * len(title)] + ([""] + textwrap.wrap(rest, 76) if rest else [])
    previous_blank, in_literal = False, False
    for line in lines[end:]:
        indented = line.startswith((" ", "\t")) and line.strip()
        if indented and previous_blank and not in_literal:
            last = next((text for text in reversed(out) if text.strip()), "")
            if not last.rstrip().endswith("::"):
                out += ["::", ""]
            in_literal = True
        elif line.strip() and not indented:
            in_literal = False
        out.append(line)
        previous_blank = not line.strip()
    return "\n".join(out) + "\n"


def lay_out() -> None:
    shutil.rmtree(SOURCE, ignore_errors=True)
    shutil.rmtree(FIGURES, ignore_errors=True)
    SOURCE.mkdir()
    shutil.copy(DOCS / "gallery_header.rst", SOURCE / "GALLERY_HEADER.rst")
    for script in sorted((ROOT / "examples").glob("*.py")):
        text = script.read_text(encoding="utf-8")
        node = ast.parse(text).body[0]
        if isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant):
            lines = text.splitlines(keepends=True)
            doc = ast.get_docstring(ast.parse(text), clean=False) or ""
            body = "".join(lines[node.end_lineno:])
            text = "".join(lines[:node.lineno - 1]) + '"""' + rst_docstring(doc) + '"""\n' + body
        (SOURCE / script.name).write_text(text, encoding="utf-8")


_sys_exit = sys.exit


def exit_unless_failed(code: object = None) -> None:
    """sys.exit while the gallery runs the examples: a script that ends with
    ``sys.exit(main())`` and succeeds must not end the whole build."""
    if code not in (None, 0):
        _sys_exit(code)


def restore_exit(*args: object) -> None:
    sys.exit = _sys_exit


def example_argv(gallery_conf: dict[str, Any], script_vars: dict[str, Any]) -> list[str]:
    """Command-line arguments of each example: its output in the build folder,
    its short mode when TARNLET_DOCS_QUICK is set. The script also gets its
    own docstring as ``__doc__`` and its path in examples/ as ``__file__``,
    as when it runs on its own (the gallery sets neither)."""
    sys.exit = exit_unless_failed
    source = ROOT / "examples" / Path(script_vars["src_file"]).name
    script_vars["example_globals"]["__doc__"] = ast.get_docstring(ast.parse(source.read_text()), clean=False)
    script_vars["example_globals"]["__file__"] = str(source)
    # Every example that takes an output folder writes into the one whose
    # figures the gallery shows.
    # (relative to the example's folder, where it runs, so that what it prints
    # names no folder of the machine that built the pages)
    argv = ["--out", os.path.relpath(FIGURES, SOURCE)] if '"--out"' in source.read_text() else []
    if source.name == "storm_event.py":
        argv += ["--steps", "1440"] if QUICK else []
    if '"--quick"' in source.read_text() and QUICK:
        argv += ["--quick"]
    if source.name == "ensemble.py":
        argv += ["--scenarios", "8", "--days", "0.5"] if QUICK else ["--scenarios", "40", "--days", "1"]
    return argv
