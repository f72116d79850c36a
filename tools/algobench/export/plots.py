"""The plots of a results folder: the report's charts as standalone SVG files.

The figures are the ones report.html shows, built by report_charts.py from
the derived run and drawn by chart.py; this module only picks the ones that
have a file and writes each as a document of its own, into
<results folder>/plots/:

- time_per_element_<program>.svg: the time chart of each program;
- speedup_<program>.svg: each backend's speedup over its own 1-thread time;
- backends_<program>.svg: the speedup over the sequential build at 1 thread,
  where the run measured that build.

Both speedups are drawn against n, one line per backend and thread count,
their intervals as bands, with a line at 1.

On the page a stylesheet colours the drawing and HTML draws its legend and
note; a file must open in any viewer, so here every class the drawing uses
becomes the presentation attributes the stylesheet gives it (the colours are
read from page.css itself, so that a backend keeps its one colour), and the
title, the run's host and date, the legend and the note are drawn in SVG on
a white background. No viewer needs CSS or script to show it.
"""

from __future__ import annotations

import functools
import pathlib
import re
import textwrap
import xml.etree.ElementTree as ElementTree

from ..files import replace_file
from .chart import HEIGHT, MARGIN_LEFT, WIDTH
from .report_charts import run_charts, warned_cells
from .web import asset

FILES = {"time": "time_per_element_{program}.svg", "speedup-self": "speedup_{program}.svg",
         "speedup": "backends_{program}.svg"}
NAMESPACE = "http://www.w3.org/2000/svg"
TOP = 50  # the title and the run's host and date stand above the drawing
LINE = 16  # one legend entry
NOTE_LINE = 14
NOTE_WIDTH = 105  # characters on a line of the note
FALLBACK = "#cc79a7"  # a backend page.css has no colour for, as the page draws it

# What page.css gives each class of the drawing, as presentation attributes.
INK, MUTED = "#1d2330", "#5b6473"
TEXT = {"font-size": "11", "fill": MUTED, "stroke": "none"}
STYLES = {
    "grid": {"stroke": "#e7eaf0", "stroke-width": "1", "fill": "none"},
    "axis": {"stroke": "#8a93a3", "stroke-width": "1", "fill": "none"},
    "break": {"stroke": "#8a93a3", "stroke-width": "1.5", "fill": "none"},
    "ref": {"stroke": "#6b7280", "stroke-width": "1.5", "stroke-dasharray": "6 4",
            "fill": "none"},
    "line": {"fill": "none", "stroke-width": "2"},
    "iv": {"fill": "none", "stroke-width": "1.3"},
    "band": {"fill-opacity": ".14", "stroke": "none"},
    "pt": {"stroke": "#fff", "stroke-width": "1"},
    "marked": {"stroke": INK, "stroke-width": "2.2"},
    "mk": {"stroke": "none"},
    "tx": {"text-anchor": "middle"},
    "ty": {"text-anchor": "end", "dominant-baseline": "middle"},
    "lx": {"text-anchor": "middle", "fill": INK, "font-size": "12"},
    "ly": {"text-anchor": "middle", "fill": INK, "font-size": "12"},
    "zoom": {"font-size": "10", "font-style": "italic"},
    "tag": {"text-anchor": "end", "font-size": "10", "fill": "inherit"},
}
DASHES = {"d1": "7 4", "d2": "2 3", "d3": "9 3 2 3"}


@functools.cache
def colours() -> dict[str, str]:
    """The colour of each backend class (b-*) and place class (c0 .. c9) of page.css."""
    return dict(re.findall(r"\.([bc][\w-]*) \{ --c: (#[0-9a-fA-F]+); \}", asset("page.css")))


def _resolve(element: ElementTree.Element, dash: str | None = None) -> None:
    """Gives the element and those inside it the attributes their classes stand for."""
    classes = element.attrib.pop("class", "").split()
    if element.tag == "text":
        for name, value in TEXT.items():
            element.attrib.setdefault(name, value)
    colour = next((colours().get(c, FALLBACK) for c in classes if re.fullmatch(r"b-.*|c\d", c)),
                  None)
    if colour is not None:
        element.attrib.update({"fill": colour, "stroke": colour})
    dash = next((DASHES[c] for c in classes if c in DASHES), dash)
    for name in classes:
        element.attrib.update(STYLES.get(name, {}))
    if element.get("fill") == "inherit":
        del element.attrib["fill"]
    if element.tag == "rect" and "pt" in classes:
        element.set("fill-opacity", ".85")
    if "line" in classes and dash:
        element.set("stroke-dasharray", dash)
    for child in element:
        _resolve(child, dash)


def _text(x: float, y: float, text: str, **style: str) -> ElementTree.Element:
    element = ElementTree.Element("text", {"x": f"{x:g}", "y": f"{y:g}", **style})
    element.text = text
    return element


def document(chart, subtitle: str) -> str:
    """The chart as a standalone SVG document, its legend and note below the drawing."""
    legend = [(chart._key(index), series.name, {"data-series": str(index)})
              for index, series in enumerate(chart.series)]
    legend += [("<svg viewBox=\"0 0 26 12\"><path class=\"ref\" d=\"M1,6H25\"/></svg>", r.name,
                {}) for r in chart.references]
    note = textwrap.wrap(chart.note or "", NOTE_WIDTH)
    height = TOP + HEIGHT + 8 + LINE * len(legend) + NOTE_LINE * len(note) + 8
    root = ElementTree.Element("svg", {
        "xmlns": NAMESPACE, "width": str(WIDTH), "height": str(height),
        "viewBox": f"0 0 {WIDTH} {height}", "font-family": "DejaVu Sans, Arial, sans-serif"})
    ElementTree.SubElement(root, "rect", {"width": "100%", "height": "100%", "fill": "#fff"})
    root.append(_text(WIDTH / 2, 20, chart.title, **{"text-anchor": "middle", "fill": INK,
                                                     "font-size": "15", "font-weight": "bold"}))
    root.append(_text(WIDTH / 2, 38, subtitle, **{"text-anchor": "middle"}))
    drawing = ElementTree.fromstring(chart.svg())
    drawing.attrib.update({"y": str(TOP), "width": str(WIDTH), "height": str(HEIGHT)})
    root.append(drawing)
    y = TOP + HEIGHT + 8
    for glyph, name, which in legend:
        key = ElementTree.fromstring(glyph)
        key.attrib.update({"x": str(MARGIN_LEFT), "y": str(y), "width": "26", "height": "12"})
        key.attrib.pop("aria-hidden", None)
        root.append(key)
        root.append(_text(MARGIN_LEFT + 32, y + 10, name, fill=INK, **{"font-size": "12"},
                          **which))
        y += LINE
    for line in note:
        root.append(_text(MARGIN_LEFT, y + 10, line))
        y += NOTE_LINE
    _resolve(root)
    return ElementTree.tostring(root, encoding="unicode") + "\n"


def draw(out_dir: pathlib.Path, run) -> list[pathlib.Path]:
    """Writes every plot of the derived `run` into out_dir/plots; returns the files written."""
    charts = [chart for section in run_charts(run, warned_cells(run))
              for chart in section.charts + section.alternate + section.single
              if chart.data["kind"] in FILES]
    if not charts:
        return []
    plot_dir = pathlib.Path(out_dir) / "plots"
    plot_dir.mkdir(parents=True, exist_ok=True)
    context = run.context
    subtitle = f"{context.get('host', 'unknown host')}, {context.get('date', 'unknown date')}"
    written = []
    for chart in charts:
        path = plot_dir / FILES[chart.data["kind"]].format(program=chart.data.get("program"))
        replace_file(path, '<?xml version="1.0" encoding="UTF-8"?>\n' + document(chart, subtitle))
        written.append(path)
    return written


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    return draw(folder, run)
