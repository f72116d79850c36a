"""The parts every HTML page of the suite is made of: the page shell and a
sortable table (the SVG charts are chart.py's).

A page is one file that opens offline: the stylesheet (assets/page.css) and
the script (assets/page.js) are inlined, there are no fonts, images or
links to fetch, and a Content-Security-Policy allows nothing but that one
stylesheet and that one script (by their hashes), so a page cannot make a
request even if its text were to smuggle markup in. All text from results
passes through `escape` on its way into the markup.

The script only adds behaviour (the tooltip on hover, series shown and
hidden from a chart's legend, tables sorted by a column header, the run
report's filters and sample strips), so a page without it still shows every
figure; a control that does nothing without it carries the class
needs-script, which the stylesheet hides until the script has marked <html>.
A link may save data the page holds (a data: URI with a `download` name):
that is no request either.

These pieces compose: `page(title, body)` wraps any markup and
`sortable_table` renders rows of `Field`s under `Column`s; the run report,
the history and the machines pages are built from them and chart.py.
"""

from __future__ import annotations

import base64
import dataclasses
import functools
import hashlib
import math
import pathlib
import re
from html import escape
from typing import Sequence

ASSETS = pathlib.Path(__file__).resolve().with_name("assets")


@functools.cache
def asset(name: str) -> str:
    return (ASSETS / name).read_text(encoding="utf-8")


def _source_hash(text: str) -> str:
    """A CSP source expression allowing exactly this inline element's text."""
    digest = hashlib.sha256(text.encode("utf-8")).digest()
    return "'sha256-" + base64.b64encode(digest).decode("ascii") + "'"


def content_policy(style: str, script: str) -> str:
    return (f"default-src 'none'; style-src {_source_hash(style)}; "
            f"script-src {_source_hash(script)}; base-uri 'none'; form-action 'none'")


def page(title: str, body: str) -> str:
    """A whole page: `body` (markup) with the suite's stylesheet and script inlined."""
    style, script = asset("page.css"), asset("page.js")
    return (
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        f"<meta http-equiv=\"Content-Security-Policy\" content=\"{content_policy(style, script)}\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        f"<title>{escape(title)}</title>\n<style>{style}</style>\n</head>\n<body>\n"
        f"{body}\n<script>{script}</script>\n</body>\n</html>\n"
    )


def backend_class(backend: str) -> str:
    """The class that gives a backend its colour on every page: "b-" and the name
    in lower case, each run of other characters than a-z and 0-9 one "-"."""
    return "b-" + re.sub(r"[^a-z0-9]+", "-", backend.lower()).strip("-")


def attributes(values: dict[str, object]) -> str:
    """' name="value" ...' for the values that are not None, escaped."""
    return "".join(f' {name}="{escape(str(value))}"' for name, value in values.items()
                   if value is not None)


# -- tables


@dataclasses.dataclass(frozen=True)
class Column:
    title: str
    numeric: bool = False  # right-aligned, sorted by number
    help: str | None = None  # shown when the pointer rests on the header
    css: str | None = None  # a class of the column's cells


@dataclasses.dataclass(frozen=True)
class Field:
    """One table cell: its text, the key it sorts by when that is not the text
    (a number; None sorts last either way), optional markup instead of the
    text (already escaped) and a tooltip."""

    text: str = ""
    key: float | str | None = None
    markup: str | None = None
    title: str | None = None


@dataclasses.dataclass
class Row:
    fields: list[Field]
    classes: tuple[str, ...] = ()
    data: dict[str, str] = dataclasses.field(default_factory=dict)  # data-* attributes


def _sort_key(field: Field, numeric: bool) -> str | None:
    """The data-key attribute: numbers as Python writes them, text only when it is not
    the cell's own text; "" marks a field with nothing to sort by."""
    if numeric:
        key = field.key
        if isinstance(key, (int, float)) and not isinstance(key, bool) and math.isfinite(key):
            return repr(key)
        return ""
    key = field.text if field.key is None else str(field.key)
    if not key:
        return ""
    # Markup may add marks to the text a reader sees: the key stays the plain text.
    return key if key != field.text or field.markup is not None else None


def sortable_table(columns: Sequence[Column], rows: Sequence[Row], caption: str | None = None,
                   table_id: str | None = None) -> str:
    """A table whose rows a click on any column header sorts (again: the other way)."""
    lines = [f"<table class=\"sortable\"{attributes({'id': table_id})}>"]
    if caption:
        lines.append(f"<caption>{escape(caption)}</caption>")
    head = "".join(
        f"<th scope=\"col\"{attributes({'class': 'num' if c.numeric else None, 'title': c.help})}>"
        f"<button type=\"button\" class=\"sort\">{escape(c.title)}</button></th>"
        for c in columns)
    lines += [f"<thead><tr>{head}</tr></thead>", "<tbody>"]
    for row in rows:
        data = {f"data-{name}": value for name, value in row.data.items()}
        classes = " ".join(row.classes) or None
        cells = []
        for column, field in zip(columns, row.fields):
            extra = attributes({"data-key": _sort_key(field, column.numeric),
                                "title": field.title})
            content = field.markup if field.markup is not None else escape(field.text)
            css = " ".join(c for c in ("num" if column.numeric else "", column.css or "") if c)
            cells.append(f"<td{attributes({'class': css or None})}{extra}>{content}</td>")
        lines.append(f"<tr{attributes({'class': classes, **data})}>{''.join(cells)}</tr>")
    lines += ["</tbody>", "</table>"]
    return "\n".join(lines)
