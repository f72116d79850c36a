"""The gnuplot script a plot of the results folder is drawn from: its
settings, one datablock per curve with its error bars, and the tics of the
axes, written here so that plots.py only picks the curves out of a run.
"""

from __future__ import annotations

import dataclasses
import math
import pathlib
import sys


def quote(text: str) -> str:
    """A gnuplot double-quoted string (\\n inside stays a line break)."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def quote_path(path: pathlib.Path) -> str:
    """A gnuplot single-quoted string: only the quote itself needs doubling."""
    return "'" + str(path).replace("'", "''") + "'"


# One point of a curve, with the spread its error bar shows.
@dataclasses.dataclass
class Point:
    x: float
    y: float
    bar: tuple[float, float] | None = None  # (low, high) of y, when the point has a spread


# A titled curve, its points in the order of x.
@dataclasses.dataclass
class Curve:
    title: str
    points: list[Point]


class Plot:
    """One gnuplot script: settings, one datablock per curve and the plot command.

    A curve is drawn as lines and points under its title; its error bars,
    where it has any, as a second, untitled element in the same line type.
    `bars` names the spread the bars show: the plot says it when it draws any.
    """

    def __init__(self, path: pathlib.Path, title: str, bars: str):
        self.path = path
        self.bars = bars
        self.lines = [
            'set terminal svg size 900,560 dynamic noenhanced font "sans,13" background rgb "white"',
            f"set output {quote_path(path)}",
            f"set title {quote(title)}",
            "set grid",
            "set key outside right top",
            "set pointsize 1",
            "set bars small",
        ]
        self.curves: list[Curve] = []
        self.references: list[str] = []  # plotted first, e.g. the ideal line

    def add(self, points: list[Point], title: str) -> None:
        self.curves.append(Curve(title, sorted(points, key=lambda p: p.x)))

    @property
    def has_bars(self) -> bool:
        return any(p.bar is not None for curve in self.curves for p in curve.points)

    def script(self) -> str:
        lines = list(self.lines)
        if self.has_bars:
            lines.append(f"set label {quote(self.bars)} at screen 0.99, screen 0.03 right")
        elements = list(self.references)
        for index, curve in enumerate(self.curves):
            style = f"lt {index + 1}"
            lines.append(f"$data{index} << EOD")
            lines.extend(f"{p.x!r} {p.y!r}" for p in curve.points)
            lines.append("EOD")
            elements.append(f"$data{index} using 1:2 with linespoints {style} lw 2"
                            f" title {quote(curve.title)}")
            barred = [p for p in curve.points if p.bar is not None]
            if barred:
                lines.append(f"$bars{index} << EOD")
                lines.extend(f"{p.x!r} {p.y!r} {p.bar[0]!r} {p.bar[1]!r}" for p in barred)
                lines.append("EOD")
                # Drawn with the curve's own point over it: a point size of 0
                # would write a singular transform that some SVG readers refuse.
                elements.append(f"$bars{index} using 1:2:3:4 with yerrorbars {style} lw 1.5"
                                " notitle")
        return "\n".join(lines + ["plot " + ", ".join(elements)]) + "\n"


# A log axis of at most this many decades is labelled at 1, 2 and 5 times each
# power of ten; a wider one at the powers of ten, with 2 and 5 as unlabelled tics.
_STEPPED_DECADES = 6
_PAD = 1.6  # the range reaches this factor beyond the data on either side
_STEPS = (1, 2, 5)
# When 1-2-5 would leave fewer than three labels (the data within a factor of
# two or three), these finer steps do.
_FINE_STEPS = (1, 1.5, 2, 3, 4, 5, 6, 7, 8)


def number_label(value: float) -> str:
    """0.05, 2, 150, 20000; 5e-05 and 2e+06 only far from 1."""
    return f"{value:g}"


def log_axis(axis: str, values: list[float], label=number_label) -> list[str]:
    """The range and the tics of a logarithmic axis showing `values` (all > 0).

    Every power of ten in the range is labelled, and enough steps between to
    read a value off, however few or many decades the data spans; gnuplot's
    own tics label only the powers of ten, which leaves a curve lying within
    one decade with a single label or none.
    """
    low, high = min(values) / _PAD, min(max(values) * _PAD, sys.float_info.max)
    first, last = math.floor(math.log10(low)), math.ceil(math.log10(high))

    def tics(steps) -> list[float]:
        found = (float(f"{step}e{power}") for power in range(first, last + 1) for step in steps)
        return [tic for tic in found if low <= tic <= high]

    if math.log10(high / low) > _STEPPED_DECADES:
        labelled = tics((1,))
    else:
        labelled = tics(_STEPS)
        if len(labelled) < 3:
            labelled = tics(_FINE_STEPS)
    minor = [tic for tic in tics(range(2, 10)) if tic not in labelled]
    entries = [f"{quote(label(tic))} {tic!r}" for tic in labelled]
    entries += [f'"" {tic!r} 1' for tic in minor]
    return [f"set {axis}range [{low!r}:{high!r}]", f"set {axis}tics ({', '.join(entries)})"]


def thread_range(counts) -> str:
    """From 1 to the largest count, with a margin: a bar at either end stays off the border."""
    margin = (max(counts) - 1) * 0.04
    return f"set xrange [{1 - margin!r}:{max(counts) + margin!r}]"


def thread_tics(counts) -> str:
    return "set xtics (" + ", ".join(str(t) for t in sorted(counts)) + ")"
