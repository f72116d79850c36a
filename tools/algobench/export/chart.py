"""The charts of the suite's HTML pages, drawn as SVG here in Python.

A chart has axes, a grid, lines (or grouped bars), interval bars and one
element per point, each point carrying its figures as an SVG <title>, which
a browser shows without any script. The page's script only adds behaviour
(a richer tooltip on hover, series shown and hidden from the legend).
`Chart(...).render()` draws `Series` of `Point`s on two `Axis`es; `charts`
lays several out.

This module owns the page's one encoding, so that a figure reads the same on
every chart: a backend has one colour wherever it is drawn (web.backend_class,
the same class colours the findings grid and the table's swatches), a thread
count one marker shape (and, on a chart against n, one line style), and an
axis either starts at 0 or says that it does not. Ticks fall on round values
(1, 2 or 5 times a power of ten: axes.py). The encoding and the drawing that
applies it are kept together here: apart, the two drifted, and a colour came
to mean a backend on one chart and a thread count on the next.
"""

from __future__ import annotations

import dataclasses
import math
from html import escape
from typing import Sequence

from .axes import ZOOMED, Axis, _f, _range, _Scale, log_span_wanted, number  # noqa: F401
from .web import attributes, backend_class

# The drawing area of a chart, in SVG user units (it scales with the page).
WIDTH, HEIGHT = 640, 360
MARGIN_LEFT, MARGIN_RIGHT, MARGIN_TOP, MARGIN_BOTTOM = 70, 14, 12, 46
# Series without a backend take colours c0 .. c9 of the stylesheet by their
# place; past ten the lines repeat the colours dashed (class d1), then dotted (d2).
COLOURS = 10
DASHES = 4
# Marker shapes, one per thread count (1, 2, 4, 8, 16, 32 threads; a count between
# powers of two takes the shape below it): a circle, then polygons by their corners
# (a square, a triangle, a diamond, a triangle pointing down, a hexagon).
SHAPES = (None, ((-.8, -.8), (.8, -.8), (.8, .8), (-.8, .8)), ((0, -1.1), (1, .75), (-1, .75)),
          ((0, -1.15), (1.15, 0), (0, 1.15), (-1.15, 0)), ((0, 1.1), (1, -.75), (-1, -.75)),
          ((.5, -.9), (1, 0), (.5, .9), (-.5, .9), (-1, 0), (-.5, -.9)))


def shape_index(threads: int | None) -> int:
    """The marker (and line style) of a thread count: the same on every chart."""
    if threads is None or threads < 1:
        return 0
    return min(int(math.log2(threads)), len(SHAPES) - 1)


def marker(shape: int, x: float, y: float, size: float = 4.0) -> tuple[str, str]:
    """(tag, geometry attributes) of a marker centred on x, y."""
    if SHAPES[shape] is None:
        return "circle", f' cx="{_f(x)}" cy="{_f(y)}" r="{_f(size)}"'
    path = "".join(("M" if i == 0 else "L") + f"{_f(x + dx * size * 1.15)},"
                   f"{_f(y + dy * size * 1.15)}" for i, (dx, dy) in enumerate(SHAPES[shape]))
    return "path", f' d="{path}Z"'


@dataclasses.dataclass
class Point:
    """One value of a series: where it is, the interval around y (when it has
    one), its tooltip text and what it stands for (`key`, e.g. a cell name).
    A marked point is drawn ringed."""

    x: float
    y: float
    tip: str
    low: float | None = None
    high: float | None = None
    key: str | None = None
    marked: bool = False
    gap: bool = False  # the line stops before this point: what lies between has no value
    threads: int | None = None  # its marker's thread count, where not the series'


@dataclasses.dataclass
class Series:
    """A named series. A series of one `backend` takes that backend's colour, one
    of one thread count (`threads`) that count's marker and line style; `dash`
    chooses the line style where something else tells series apart (sizes on a
    chart against threads). Series without a backend are coloured by their place."""

    name: str
    points: list[Point]
    backend: str | None = None
    threads: int | None = None
    dash: int | None = None
    tag: str | None = None  # written beside its last point, where colour is not enough


@dataclasses.dataclass
class Reference:
    """A line drawn behind the data (the ideal speedup, say): not a series of points."""

    name: str
    points: list[tuple[float, float]]


@dataclasses.dataclass
class Chart:
    """A chart of series of points, with lines (or, with `bars`, grouped bars over
    the x axis' categories), interval bars, a legend that shows and hides each
    series, and a tooltip per point. `data` become data-* attributes of the
    figure, so that a page or a test can find a chart by what it shows, and
    `anchor` its id, for a link to it."""

    title: str
    x: Axis
    y: Axis
    series: list[Series]
    references: list[Reference] = dataclasses.field(default_factory=list)
    bars: bool = False
    band: bool = False  # each series' intervals as a shaded band along its line, not bars
    note: str | None = None
    data: dict[str, str] = dataclasses.field(default_factory=dict)
    anchor: str | None = None

    @property
    def points(self) -> int:
        return sum(len(s.points) for s in self.series)

    def svg(self) -> str:
        """The drawing alone: axes, references and series, as the page's classes style it."""
        xs = [p.x for s in self.series for p in s.points]
        ys = [v for s in self.series for p in s.points for v in (p.y, p.low, p.high)
              if v is not None]
        # A reference line (the ideal) is part of what the axes show.
        xs += [x for r in self.references for x, _ in r.points]
        ys += [y for r in self.references for _, y in r.points]
        x_scale = _Scale(self.x, *_range(self.x, xs), MARGIN_LEFT, WIDTH - MARGIN_RIGHT)
        y_scale = _Scale(self.y, *_range(self.y, ys), HEIGHT - MARGIN_BOTTOM, MARGIN_TOP)
        parts = [f"<svg viewBox=\"0 0 {WIDTH} {HEIGHT}\" role=\"img\""
                 f" aria-label=\"{escape(self.title)}\">"]
        parts += self._axes(x_scale, y_scale)
        for reference in self.references:
            inside = [(x, y) for x, y in reference.points
                      if (x > 0 or not self.x.log) and (y > 0 or not self.y.log)]
            if len(inside) >= 2:
                path = "".join(("M" if i == 0 else "L") + f"{_f(x_scale(x))},{_f(y_scale(y))}"
                               for i, (x, y) in enumerate(inside))
                parts.append(f"<path class=\"ref\" d=\"{path}\"/>")
        slots = len(self.series)
        for index, series in enumerate(self.series):
            parts.append(self._series(index, series, x_scale, y_scale, slots))
        parts.append("</svg>")
        return "\n".join(parts)

    def render(self) -> str:
        """The page's figure: caption, drawing, a legend of buttons and the note."""
        legend = [
            f"<li><button type=\"button\" data-series=\"{index}\" aria-pressed=\"true\">"
            f"{self._key(index)}{escape(series.name)}</button></li>"
            for index, series in enumerate(self.series)]
        legend += [f"<li class=\"ref-key\"><span class=\"swatch ref\"></span>{escape(r.name)}</li>"
                   for r in self.references]
        figure = {"class": "chart", "id": self.anchor,
                  **{f"data-{k}": v for k, v in self.data.items()}}
        note = f"<p class=\"note\">{escape(self.note)}</p>" if self.note else ""
        return (f"<figure{attributes(figure)}>\n<figcaption>{escape(self.title)}</figcaption>\n"
                + self.svg() + f"\n<ul class=\"legend\">{''.join(legend)}</ul>{note}\n"
                "</figure>")

    def _style(self, index: int) -> str:
        """The series' classes: its colour, and its line style (d1 .. d3) unless solid."""
        series = self.series[index]
        if series.backend is not None:
            colour = backend_class(series.backend)
            dash = series.dash if series.dash is not None else shape_index(series.threads)
        else:
            colour = f"c{index % COLOURS}"
            dash = series.dash if series.dash is not None else index // COLOURS
        dash %= DASHES
        return colour + (f" d{dash}" if dash else "")

    def _key(self, index: int) -> str:
        """The legend's drawing of a series: its colour, line style and marker."""
        series = self.series[index]
        if self.bars:
            shape = "<rect class=\"mk\" x=\"6\" y=\"1\" width=\"14\" height=\"10\"/>"
        else:
            shape = "<path class=\"line\" d=\"M1,6H25\"/>"
            if series.threads is not None:
                tag, geometry = marker(shape_index(series.threads), 13, 6, 3.5)
                shape += f"<{tag} class=\"mk\"{geometry}/>"
        return (f"<svg class=\"glyph {self._style(index)}\" viewBox=\"0 0 26 12\" "
                f"aria-hidden=\"true\">{shape}</svg>")

    def _axes(self, x_scale: _Scale, y_scale: _Scale) -> list[str]:
        left, right = MARGIN_LEFT, WIDTH - MARGIN_RIGHT
        top, bottom = MARGIN_TOP, HEIGHT - MARGIN_BOTTOM
        grid, labels = [], []
        x_ticks, y_ticks = x_scale.ticks(), y_scale.ticks()
        for tick in x_ticks:
            x = _f(x_scale(tick))
            grid.append(f"M{x},{top}V{bottom}")
            labels.append(f"<text x=\"{x}\" y=\"{bottom + 16}\" class=\"tx\">"
                          f"{escape(x_scale.label(tick, x_ticks))}</text>")
        for tick in y_ticks:
            y = _f(y_scale(tick))
            grid.append(f"M{left},{y}H{right}")
            labels.append(f"<text x=\"{left - 6}\" y=\"{y}\" class=\"ty\">"
                          f"{escape(y_scale.label(tick, y_ticks))}</text>")
        axis = f"M{left},{top}V{bottom}H{right}"
        if y_scale.zoomed:
            # A break in the value axis just above its foot, and the words.
            labels.append(f"<path class=\"break\" d=\"M{left - 5},{bottom - 8}l10,-4"
                          f"M{left - 5},{bottom - 3}l10,-4\"/>")
            labels.append(f"<text x=\"{left + 10}\" y=\"{bottom - 4}\" class=\"zoom\">"
                          f"{ZOOMED}</text>")
        return [
            f"<path class=\"grid\" d=\"{''.join(grid)}\"/>",
            f"<path class=\"axis\" d=\"{axis}\"/>",
            *labels,
            f"<text x=\"{(left + right) / 2:g}\" y=\"{HEIGHT - 6}\" class=\"lx\">"
            f"{escape(self.x.label)}</text>",
            f"<text x=\"14\" y=\"{(top + bottom) / 2:g}\" class=\"ly\" "
            f"transform=\"rotate(-90 14 {(top + bottom) / 2:g})\">{escape(self.y.label)}</text>",
        ]

    def _series(self, index: int, series: Series, x_scale: _Scale, y_scale: _Scale,
                slots: int) -> str:
        shown = [p for p in series.points if math.isfinite(p.x) and math.isfinite(p.y)
                 and (p.x > 0 or not self.x.log) and (p.y > 0 or not self.y.log)]
        shown.sort(key=lambda p: p.x)
        group = {"class": f"series {self._style(index)}", "data-series": index,
                 "data-backend": series.backend, "data-threads": series.threads}
        parts = [f"<g{attributes(group)}>"]
        intervals = []
        marks = []
        if self.bars:
            slot = 0.8 / max(slots, 1)
            width = (x_scale(1) - x_scale(0)) * slot
            base = y_scale(y_scale.low if self.y.log else max(y_scale.low, 0.0))
            for p in shown:
                centre = x_scale(p.x - 0.4 + slot * (index + 0.5))
                top = y_scale(p.y)
                marks.append(
                    f"<rect class=\"pt{' marked' if p.marked else ''}\" x=\"{_f(centre - width / 2)}\""
                    f" y=\"{_f(min(top, base))}\" width=\"{_f(width)}\""
                    f" height=\"{_f(abs(base - top))}\"{self._data(p)}")
                intervals.append(self._interval(centre, p, y_scale))
        else:
            ends = [p for p in shown if self._interval(0, p, y_scale)]
            band = self.band and len(ends) >= 2  # a lone point keeps its bar
            if band:
                edge = [(p.x, p.high) for p in ends] + [(p.x, p.low) for p in reversed(ends)]
                parts.append("<path class=\"band\" d=\"" + "".join(
                    ("M" if i == 0 else "L") + f"{_f(x_scale(x))},{_f(y_scale(y))}"
                    for i, (x, y) in enumerate(edge)) + "Z\"/>")
            if len(shown) >= 2:
                line = "".join(("M" if i == 0 or p.gap else "L")
                               + f"{_f(x_scale(p.x))},{_f(y_scale(p.y))}"
                               for i, p in enumerate(shown))
                parts.append(f"<path class=\"line\" d=\"{line}\"/>")
            if series.tag and shown:
                last = shown[-1]
                parts.append(f"<text class=\"tag\" x=\"{_f(x_scale(last.x) - 7)}\" "
                             f"y=\"{_f(y_scale(last.y) - 6)}\">{escape(series.tag)}</text>")
            for p in shown:
                x = x_scale(p.x)
                tag, geometry = marker(shape_index(p.threads or series.threads), x, y_scale(p.y))
                marks.append(f"<{tag} class=\"pt{' marked' if p.marked else ''}\"{geometry}"
                             f"{self._data(p, tag)}")
                if not band:
                    intervals.append(self._interval(x, p, y_scale))
        bars = "".join(i for i in intervals if i)
        if bars:
            parts.append(f"<path class=\"iv\" d=\"{bars}\"/>")
        parts += marks
        parts.append("</g>")
        return "\n".join(parts)

    @staticmethod
    def _data(point: Point, tag: str = "rect") -> str:
        """The rest of a point's element: its key, and its figures as a <title> a
        browser shows on hover without any script."""
        return (f"{attributes({'data-key': point.key})}><title>{escape(point.tip)}</title>"
                f"</{tag}>")

    def _interval(self, x: float, point: Point, y_scale: _Scale) -> str:
        low, high = point.low, point.high
        if low is None or high is None or not (math.isfinite(low) and math.isfinite(high)) \
                or low > high or (self.y.log and low <= 0):
            return ""
        y_low, y_high = _f(y_scale(low)), _f(y_scale(high))
        return (f"M{_f(x)},{y_low}V{y_high}M{_f(x - 3)},{y_low}H{_f(x + 3)}"
                f"M{_f(x - 3)},{y_high}H{_f(x + 3)}")


def charts(figures: Sequence[str]) -> str:
    """Charts laid out side by side as the page's width allows."""
    return "<div class=\"charts\">\n" + "\n".join(figures) + "\n</div>"

