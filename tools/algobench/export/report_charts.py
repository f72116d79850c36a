"""The charts of the run report: time per element against n, speedup against
the thread count with the ideal line, efficiency at each program's largest
size, share of the memory bandwidth, and the backends side by side at each
program's largest size. Each is built here from the derived cells alone
and drawn by chart.py; a point's tooltip gives its value and its interval.
"""

from __future__ import annotations

import math

from ..workload import BACKENDS, PARALLEL_MODE
from .chart import Axis, Chart, Point, Reference, Series, log_span_wanted
from .text import plural, with_interval
from .units import format_count, format_seconds

TIME_BARS = "bars: interquartile range of the samples"
ROUND_BARS = "bars: interval of the median over rounds"


def usable(cell) -> bool:
    """A cell with a time to chart: it passed, and its median is a positive number."""
    median = cell.median if cell.ok else None
    return median is not None and math.isfinite(median) and median > 0


def _size(n: int) -> str:
    return f"n = {format_count(n)}"


def _with_interval(text: str, low: float | None, high: float | None, unit: str = "",
                   what: str = "interval") -> str:
    """A tooltip's figure and its interval: "2.5 (interval 2.1 to 2.9)"."""
    return with_interval(text, low, high, lambda v: f"{v:.4g}{unit}", " to ", what)


def _tip(cell, *lines: str, warned: set[str]) -> str:
    threads = plural(cell.threads, "thread")
    text = [f"{cell.program} · {cell.backend} · {threads} · n = {cell.n:,}", *lines]
    if cell.name in warned:
        text.append("a warning names this cell")
    return "\n".join(text)


def _scaled(value: float | None, factor: float) -> float | None:
    return None if value is None else value * factor


def _iqr(cell, factor: float = 1.0) -> tuple[float | None, float | None]:
    stats = cell.stats
    if stats is None or stats.q1 is None or stats.q3 is None:
        return None, None
    return stats.q1 * factor, stats.q3 * factor


def _sweeps_threads(cell) -> bool:
    workload = cell.workload
    return workload is not None and workload.sweeps_threads(cell.backend)


def _series_name(backends: set[str], backend: str, rest: str) -> str:
    return rest if backends <= {PARALLEL_MODE} else f"{backend}, {rest}"


def _group(points: dict[tuple, list[Point]], names: dict[tuple, str]) -> list[Series]:
    """One series per key, the keys (backend, ...) in the backends' usual order."""
    order = sorted(points, key=lambda key: (_backend_order(key[0]), key[1:]))
    return [Series(names[key], points[key]) for key in order]


def _against_n(cells: list, warned: set[str], figure) -> list[Series]:
    """One series per backend and thread count of a figure against n; `figure`
    gives a cell's value, the ends of its bar and the lines of its tooltip."""
    backends = {c.backend for c in cells}
    points: dict[tuple, list[Point]] = {}
    names: dict[tuple, str] = {}
    for cell in cells:
        value, low, high, lines = figure(cell)
        key = (cell.backend, cell.threads)
        names[key] = _series_name(backends, cell.backend, plural(cell.threads, "thread"))
        points.setdefault(key, []).append(Point(
            cell.n, value, _tip(cell, *lines, warned=warned), low, high, cell.name,
            cell.name in warned))
    return _group(points, names)


def time_chart(program: str, cells: list, warned: set[str]) -> Chart | None:
    """Nanoseconds per element against n, one series per backend and thread count."""
    cells = [c for c in cells if c.n > 0]
    if not cells:
        return None

    def figure(cell):
        factor = 1e9 / cell.n
        value = cell.median * factor
        low, high = _iqr(cell, factor)
        return value, low, high, (
            _with_interval(f"{value:.4g} ns per element", low, high, " ns", "interquartile range"),
            f"median {format_seconds(cell.median)} per call")
    series = _against_n(cells, warned, figure)
    values = [p.y for s in series for p in s.points]
    return Chart(f"{program}: time per element", _sizes_axis({c.n for c in cells}),
                 Axis("time per element (ns)", log=log_span_wanted(values)), series,
                 note=TIME_BARS, data={"kind": "time", "program": program})


def _sizes_axis(sizes: set[int]) -> Axis:
    """n: logarithmic when the sizes span a decade or more; one size is its own tick."""
    return Axis("n (elements)", log=log_span_wanted(list(sizes)), format=format_count,
                ticks=sorted(sizes) if len(sizes) == 1 else None)


def speedup_chart(program: str, cells: list, warned: set[str]) -> Chart | None:
    """Speedup against the thread count, one series per backend and size, with the ideal."""
    cells = [c for c in cells if c.speedup is not None]
    if not any(c.threads > 1 for c in cells):
        return None
    backends = {c.backend for c in cells}
    points: dict[tuple, list[Point]] = {}
    names: dict[tuple, str] = {}
    for cell in cells:
        key = (cell.backend, cell.n, cell.fourth if cell.fourth is not None else -1)
        names[key] = _series_name(backends, cell.backend, _size(cell.n))
        points.setdefault(key, []).append(Point(
            cell.threads, cell.speedup,
            _tip(cell, _with_interval(f"speedup {cell.speedup:.3g}", cell.speedup_low,
                                      cell.speedup_high), warned=warned),
            cell.speedup_low, cell.speedup_high, cell.name, cell.name in warned))
    threads = sorted({c.threads for c in cells})
    return Chart(f"{program}: speedup", Axis("threads", ticks=threads, format=str),
                 Axis("speedup over 1 thread", zero=True),
                 _group(points, names), [Reference("ideal", [(1, 1), (max(threads),
                                                                       max(threads))])],
                 note=ROUND_BARS, data={"kind": "speedup", "program": program})


def efficiency_chart(cells: list, warned: set[str]) -> Chart | None:
    """Efficiency against the thread count of every program and backend whose call
    more threads can change, at its largest size."""
    groups: dict[tuple, list] = {}
    for cell in cells:
        if cell.efficiency is not None and _sweeps_threads(cell):
            groups.setdefault((cell.program, cell.backend), []).append(cell)
    backends = {backend for _, backend in groups}
    series = []
    for (program, backend), members in sorted(groups.items()):
        largest = max(c.n for c in members)
        members = [c for c in members if c.n == largest]
        if len(members) < 2:
            continue
        name = _series_name(backends, backend, f"{program} ({_size(largest)})")
        series.append(Series(name, [
            Point(c.threads, c.efficiency * 100,
                  _tip(c, _with_interval(f"efficiency {c.efficiency * 100:.3g}%",
                                         _scaled(c.speedup_low, 100 / c.threads),
                                         _scaled(c.speedup_high, 100 / c.threads), "%"),
                       warned=warned),
                  _scaled(c.speedup_low, 100 / c.threads), _scaled(c.speedup_high, 100 / c.threads),
                  c.name, c.name in warned)
            for c in members]))
    if not series:
        return None
    threads = sorted({p.x for s in series for p in s.points})
    return Chart("Parallel efficiency at each program's largest size",
                 Axis("threads", ticks=threads, format=lambda t: f"{t:g}"),
                 Axis("efficiency (speedup / threads), %", zero=True), series,
                 [Reference("ideal", [(min(threads), 100), (max(threads), 100)])],
                 note=ROUND_BARS, data={"kind": "efficiency", "program": ""})


def bandwidth_chart(program: str, cells: list, warned: set[str]) -> Chart | None:
    """The share of the probe's bandwidth against n, one series per backend and thread count."""
    cells = [c for c in cells if c.bandwidth_share is not None]
    if not cells:
        return None

    def figure(cell):
        share = cell.bandwidth_share * 100
        # The share at the quartiles of the time: a shorter time moves more bytes per second.
        q1, q3 = _iqr(cell)
        low = share * cell.median / q3 if q3 else None
        high = share * cell.median / q1 if q1 else None
        return share, low, high, (_with_interval(f"{share:.3g}% of the measured bandwidth", low,
                                                 high, "%", "interquartile range"),)
    return Chart(f"{program}: share of memory bandwidth", _sizes_axis({c.n for c in cells}),
                 Axis("% of measured bandwidth", zero=True), _against_n(cells, warned, figure),
                 note=TIME_BARS, data={"kind": "bandwidth", "program": program})


def backends_chart(program: str, cells: list, warned: set[str]) -> Chart | None:
    """The median time of each backend and thread count at the program's largest size,
    as bars side by side; None when that size was measured with one backend only."""
    if not cells:
        return None
    largest = max(c.n for c in cells)
    cells = [c for c in cells if c.n == largest]
    backends = sorted({c.backend for c in cells}, key=_backend_order)
    if len(backends) < 2:
        return None
    threads = sorted({c.threads for c in cells})
    slot = {t: i for i, t in enumerate(threads)}
    series = []
    for backend in backends:
        points = []
        for c in cells:
            if c.backend != backend:
                continue
            low, high = _iqr(c)
            tip = with_interval(f"median {format_seconds(c.median)} per call", low, high,
                                format_seconds, " to ", "interquartile range")
            points.append(Point(slot[c.threads], c.median, _tip(c, tip, warned=warned),
                                low, high, c.name, c.name in warned))
        series.append(Series(backend, points, colour=_backend_order(backend)[0]))
    return Chart(f"{program}: backends at {_size(largest)}",
                 Axis("threads", categories=[plural(t, "thread") for t in threads]),
                 Axis("median time per call", zero=True, format=format_seconds), series,
                 bars=True, note=TIME_BARS, data={"kind": "backends", "program": program})


_BACKEND_ORDER = tuple(BACKENDS)


def _backend_order(backend: str) -> tuple:
    return (_BACKEND_ORDER.index(backend) if backend in _BACKEND_ORDER else len(_BACKEND_ORDER),
            backend)


def run_charts(run, warned: set[str]) -> list[tuple[str, str, list[Chart]]]:
    """(anchor, heading, charts) of every kind of chart, in the order the page shows them."""
    cells = [c for c in run.cells if usable(c)]
    programs = list(dict.fromkeys(c.program for c in cells))
    by_program = {p: [c for c in cells if c.program == p] for p in programs}

    def each(make) -> list[Chart]:
        return [chart for chart in (make(p, by_program[p], warned) for p in programs) if chart]

    efficiency = efficiency_chart(cells, warned)
    return [
        ("time", "Time per element", each(time_chart)),
        ("speedup", "Speedup", each(speedup_chart)),
        ("efficiency", "Efficiency", [efficiency] if efficiency else []),
        ("bandwidth", "Share of memory bandwidth", each(bandwidth_chart)),
        ("backends", "Backends side by side", each(backends_chart)),
    ]


EMPTY = {
    "time": "No cell has a time to chart.",
    "speedup": "No program ran at more than one thread with a speedup to show.",
    "efficiency": "No program with a parallel call ran at two thread counts or more.",
    "bandwidth": "No share of the memory bandwidth: the programs are compute-bound or the "
                 "run has no bandwidth figures.",
    "backends": "Every program ran with one backend at its largest size: nothing to set side "
                "by side.",
}
