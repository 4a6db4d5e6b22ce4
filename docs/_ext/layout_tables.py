"""The ``layout-table`` directive: a vector's layout table, generated from
``tarnlet.layout`` when the pages are built.

    ```{layout-table} SEWER.u
    ```

    ```{layout-table} FRACTIONATION.pars
    :read-only:
    ```

One row per entry (index, name, unit, meaning). Runs of three or more
consecutive entries with the same unit and meaning (such as the parameter
entries a block does not read) are shown as one row with an index range.
``:read-only:`` shows only the entries the block reads.
"""
from __future__ import annotations

import importlib
from typing import Any

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective

MIN_RUN = 3  # shortest run of alike entries shown as one row


def find_layout(path: str) -> Any:
    """``SEWER.u`` -> tarnlet.layout.SEWER.u; ``STREAM`` -> tarnlet.layout.STREAM."""
    obj: Any = importlib.import_module("tarnlet.layout")
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


def grouped_rows(entries: list[Any]) -> list[tuple[str, str, str, str]]:
    """(indices, names, unit, meaning) rows; runs of alike entries merged."""
    rows: list[tuple[str, str, str, str]] = []
    start = 0
    while start < len(entries):
        end = start
        while (end + 1 < len(entries) and entries[end + 1].index == entries[end].index + 1
               and (entries[end + 1].unit, entries[end + 1].meaning) == (entries[start].unit, entries[start].meaning)):
            end += 1
        first, last = entries[start], entries[end]
        if end - start + 1 >= MIN_RUN:
            rows.append((f"{first.index}–{last.index}", f"{first.name} … {last.name}", first.unit, first.meaning))
            start = end + 1
        else:
            rows.append((str(first.index), first.name, first.unit, first.meaning))
            start += 1
    return rows


def paragraph(text: str, literal: bool = False) -> nodes.paragraph:
    para = nodes.paragraph()
    if literal:
        for k, part in enumerate(text.split(" … ")):
            if k:
                para += nodes.Text(" … ")
            para += nodes.literal(part, part)
    else:
        para += nodes.Text(text)
    return para


class LayoutTable(SphinxDirective):
    required_arguments = 1
    has_content = False
    option_spec = {"read-only": directives.flag}

    def run(self) -> list[nodes.Node]:
        name = self.arguments[0]
        try:
            layout = find_layout(name)
        except (ImportError, AttributeError) as exc:
            raise self.error(f"layout-table: cannot find tarnlet.layout.{name}: {exc}") from exc
        entries = list(layout)
        caption = f"{layout.title}: {len(entries)} entr{'y' if len(entries) == 1 else 'ies'}"
        if "read-only" in self.options:
            entries = [e for e in entries if e.read]
            caption += f", of which the {len(entries)} read"
        header = ("index", "name", "unit", "meaning")
        table = nodes.table(classes=["layout-table"])
        table += nodes.title(caption, caption)
        group = nodes.tgroup(cols=len(header))
        table += group
        for width in (8, 18, 14, 60):
            group += nodes.colspec(colwidth=width)
        head = nodes.thead()
        group += head
        head += self.row(header, literal_name=False)
        body = nodes.tbody()
        group += body
        for row in grouped_rows(entries):
            body += self.row(row, literal_name=True)
        table["ids"].append(nodes.make_id(f"layout-{name}"))
        return [table]

    @staticmethod
    def row(cells: tuple[str, ...], literal_name: bool) -> nodes.row:
        row = nodes.row()
        for k, text in enumerate(cells):
            entry = nodes.entry()
            entry += paragraph(text, literal=literal_name and k == 1)
            row += entry
        return row


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_directive("layout-table", LayoutTable)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
