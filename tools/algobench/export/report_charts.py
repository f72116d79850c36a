"""The charts of the run report: time per element against n, speedup against
n per backend and thread count with its interval as a band and a line at 1
(over the sequential build at one thread where the run measured it, and
over each backend's own 1-thread time), share of the memory bandwidth, and
the backends side by side at each program's largest size. (Efficiency
against threads is not drawn: with every program on one chart its lines
and labels collided, and the speedup against n says where a team pays.)
Each is built here from the derived cells alone and drawn by chart.py, which
owns how a backend and a thread count look; here each series only says which
backend and thread count it is.

A chart says what it leaves out: sizes whose arrays
fit in the last-level cache on a chart of memory bandwidth, and a chart that
would hold a single point, which becomes a sentence instead.
"""

from __future__ import annotations

import dataclasses
import math
from collections import Counter
from typing import Callable

from ..plan.workload import BACKENDS, PARALLEL_MODE
from .chart import Axis, Chart, Point, Reference, Series, log_span_wanted
from .text import plural, with_interval
from .units import format_bytes, format_count, format_seconds

TIME_BARS = "bars: interquartile range of the samples"
BAND = ("shaded: interval of the median over rounds; above the line at 1 the parallel call "
        "is faster")
# The kinds of finding that change how a cell's figures read (judge/findings.py).
MARKING = ("busy", "noisy", "confined")
NO_SPEEDUP = "1 = as fast as the reference"
OVER_SEQUENTIAL = "speedup over the sequential build at 1 thread"
OVER_OWN = "speedup over its own 1-thread time"


@dataclasses.dataclass
class Section:
    """One kind of chart on the page: its charts, the charts one click away
    (`alternate`, with the words of that click) and sentences for what is not
    drawn."""

    anchor: str
    heading: str
    charts: list[Chart]
    alternate: list[Chart] = dataclasses.field(default_factory=list)
    alternate_label: str = ""
    intro: str = ""
    notes: list[str] = dataclasses.field(default_factory=list)
    single: list[Chart] = dataclasses.field(default_factory=list)  # of one point: not on the page


def warned_cells(run) -> set[str]:
    """The cells whose figures a warning changes how to read (their spread, a busy
    machine, a team confined to fewer CPUs), the ones the page marks. A warning
    that names more than half the cells marks none: a mark on most rows tells
    nothing apart, and the warning is said of the run instead."""
    return {name for finding in run.findings if finding.kind in MARKING
            and 2 * len(finding.cells) <= len(run.cells) for name in finding.cells}


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


def _threads(cell) -> str:
    """"64 threads (SMT)" for a count of hardware threads beyond the cores."""
    return plural(cell.threads, "thread") + (" (SMT)" if cell.on_cores else "")


def _thread_ticks(cells) -> Callable[[float], str]:
    """The thread axis's labels: each count as the tables show it."""
    labels = {c.threads: c.thread_label for c in cells}
    return lambda t: labels.get(t, f"{t:g}")


def _tip(cell, *lines: str, warned: set[str]) -> str:
    threads = _threads(cell)
    text = [f"{cell.program} · {cell.backend} · {threads} · n = {cell.n:,}", *lines]
    if cell.name in warned:
        text.append("a warning changes how this figure reads")
    return "\n".join(text)


def _iqr(cell, factor: float = 1.0) -> tuple[float | None, float | None]:
    stats = cell.stats
    if stats is None or stats.q1 is None or stats.q3 is None:
        return None, None
    return stats.q1 * factor, stats.q3 * factor


def _series_name(backends: set[str], backend: str, rest: str) -> str:
    return rest if backends <= {PARALLEL_MODE} else f"{backend}, {rest}"


def _point(cell, x: float, y: float, lines: list[str], low, high, warned: set[str]) -> Point:
    return Point(x, y, _tip(cell, *lines, warned=warned), low, high, cell.name,
                 cell.name in warned, threads=cell.threads)


def _against_n(cells: list, warned: set[str], figure) -> list[Series]:
    """One series per backend and thread count of a figure against n; `figure`
    gives a cell's value, the ends of its bar and the lines of its tooltip."""
    backends = {c.backend for c in cells}
    points: dict[tuple, list[Point]] = {}
    named: dict[tuple, str] = {}
    smt: dict[tuple, bool] = {}
    for cell in cells:
        value, low, high, lines = figure(cell)
        key = (cell.backend, cell.threads, _off_rule(cell))
        smt[key[:2]] = bool(cell.on_cores)
        points.setdefault(key, []).append(_point(cell, cell.n, value, lines, low, high, warned))
        named[key] = (cell.workload and cell.workload.fourth_name) or "fourth"
    lines = Counter(key[:2] for key in points)
    series = []
    for backend, threads, fourth in sorted(points, key=lambda k: (_backend_order(k[0]), k[1],
                                                                  -1 if k[2] is None else k[2])):
        name = plural(threads, "thread") + (" (SMT)" if smt[backend, threads] else "")
        if fourth is not None and lines[backend, threads] > 1:
            # A fourth argument off the workload's rule is a line of its own, not a
            # zigzag at its n along the others.
            name += f" ({named[backend, threads, fourth]} = {fourth:,})"
        series.append(Series(_series_name(backends, backend, name),
                             points[backend, threads, fourth], backend=backend, threads=threads))
    return series


def _off_rule(cell) -> int | None:
    """The cell's fourth argument, unless it is the one the workload's rule gives for its n."""
    workload = cell.workload
    if workload is not None and workload.fourth_rule and cell.fourth == workload.fourth(cell.n):
        return None
    return cell.fourth


def _sizes_axis(sizes: set[int]) -> Axis:
    """n: logarithmic when the sizes span a decade or more; one size is its own tick."""
    return Axis("n (elements)", log=log_span_wanted(list(sizes)), format=format_count,
                ticks=sorted(sizes) if len(sizes) == 1 else None)


def time_chart(program: str, cells: list, warned: set[str]) -> Chart | None:
    """Nanoseconds per element against n, one series per backend and thread count."""
    cells = [c for c in cells if c.n > 0]
    if not cells:
        return None

    def figure(cell):
        factor = 1e9 / cell.n
        value = cell.median * factor
        low, high = _iqr(cell, factor)
        return value, low, high, [
            _with_interval(f"{value:.4g} ns per element", low, high, " ns", "interquartile range"),
            f"median {format_seconds(cell.median)} per call"]
    series = _against_n(cells, warned, figure)
    values = [p.y for s in series for p in s.points]
    return Chart(f"{program}: time per element", _sizes_axis({c.n for c in cells}),
                 Axis("time per element (ns)", log=log_span_wanted(values), zero=True), series,
                 note=TIME_BARS, data={"kind": "time", "program": program})


def speedup_chart(program: str, cells: list, warned: set[str],
                  sequential: bool = True) -> Chart | None:
    """Speedup against n, one series per backend and thread count above 1, its
    interval over rounds as a band, with a line at 1 (where going parallel
    starts to pay is where a line crosses it): over the sequential build at
    one thread, or with `sequential` False over each backend's own 1-thread time."""
    def figure(c):
        value, low, high = ((c.vs_sequential, c.vs_sequential_low, c.vs_sequential_high)
                            if sequential else (c.speedup, c.speedup_low, c.speedup_high))
        return value, low, high, [] if value is None else [
            _with_interval(f"{what} {value:.3g}", low, high)]
    what = OVER_SEQUENTIAL if sequential else OVER_OWN
    cells = [c for c in cells if c.threads > 1 and c.n > 0 and figure(c)[0] is not None]
    if not cells:
        return None
    series = _against_n(cells, warned, figure)
    sizes = sorted({c.n for c in cells})
    return Chart(f"{program}: {what}", _sizes_axis(set(sizes)), Axis(what, zero=True), series,
                 [Reference(NO_SPEEDUP, [(sizes[0], 1), (sizes[-1], 1)])], band=True,
                 note=BAND, data={"kind": "speedup" if sequential else "speedup-self",
                                  "program": program})


def last_level_cache(context) -> int | None:
    """The largest cache the run recorded, in bytes, or None."""
    sizes = [c.get("size") for c in context.caches or [] if isinstance(c, dict)]
    sizes = [s for s in sizes if isinstance(s, int) and s > 0]
    return max(sizes) if sizes else None


def bandwidth_chart(program: str, cells: list, warned: set[str],
                    cache: int | None = None) -> Chart | None:
    """The share of the probe's bandwidth against n, one series per backend and
    thread count, without the sizes whose arrays fit in a cache of `cache` bytes."""
    cells = [c for c in cells if c.bandwidth_share is not None]
    if not cells:
        return None
    workload = cells[0].workload
    reference = workload.bandwidth_reference if workload is not None else "reference"
    note = (f"100% is what the probe's {reference} kernel moves at the same thread count; "
            + TIME_BARS)
    if cache is None:
        note += "; the run recorded no cache size, so small sizes may read from a cache"
    else:
        fits = sorted({c.n for c in cells if workload is not None
                       and c.n * workload.allocated_bytes <= cache})
        cells = [c for c in cells if c.n not in fits]
        if fits:
            note += (f"; left out, their arrays fit in the {format_bytes(cache)} last-level "
                     f"cache: n = {', '.join(format_count(n) for n in fits)}")
        if not cells:
            return None

    def figure(cell):
        share = cell.bandwidth_share * 100
        # The share at the quartiles of the time: a shorter time moves more bytes per second.
        q1, q3 = _iqr(cell)
        low = share * cell.median / q3 if q3 else None
        high = share * cell.median / q1 if q1 else None
        return share, low, high, [_with_interval(f"{share:.3g}% of the {reference} kernel's "
                                                 "bandwidth", low, high, "%",
                                                 "interquartile range")]
    return Chart(f"{program}: share of memory bandwidth", _sizes_axis({c.n for c in cells}),
                 Axis(f"% of the probe's {reference} bandwidth", zero=True),
                 _against_n(cells, warned, figure), note=note,
                 data={"kind": "bandwidth", "program": program})


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
            points.append(_point(c, slot[c.threads], c.median, [tip], low, high, warned))
        series.append(Series(backend, points, backend=backend))
    return Chart(f"{program}: backends at {_size(largest)}",
                 Axis("threads", categories=[plural(t, "thread") for t in threads]),
                 Axis("median time per call", zero=True, format=format_seconds), series,
                 bars=True, note=TIME_BARS, data={"kind": "backends", "program": program})


_BACKEND_ORDER = tuple(BACKENDS)


def _backend_order(backend: str) -> tuple:
    return (_BACKEND_ORDER.index(backend) if backend in _BACKEND_ORDER else len(_BACKEND_ORDER),
            backend)


def _drawn(charts: list[Chart | None]) -> tuple[list[Chart], list[str], list[Chart]]:
    """The charts with two points or more, each given its anchor, a sentence for
    those with one, and those."""
    kept, single = [], []
    for chart in charts:
        if chart is None:
            continue
        if chart.points < 2:
            single.append(chart)
            continue
        chart.anchor = f"chart-{chart.data['kind']}-{chart.data.get('program', 'all')}"
        kept.append(chart)
    notes = [f"One point only, so not charted (the table has it): "
             f"{'; '.join(chart.title for chart in single)}."] if single else []
    return kept, notes, single


def run_charts(run, warned: set[str]) -> list[Section]:
    """Every kind of chart, in the order the page shows them."""
    cells = [c for c in run.cells if usable(c)]
    programs = list(dict.fromkeys(c.program for c in cells))
    by_program = {p: [c for c in cells if c.program == p] for p in programs}
    cache = last_level_cache(run.context)

    def section(anchor, heading, made, **more) -> Section:
        kept, notes, single = _drawn(made)
        return Section(anchor, heading, kept, notes=notes, single=single, **more)

    # Over the sequential build where it gives a line (two points or more).
    over_sequential = {p: speedup_chart(p, by_program[p], warned) for p in programs}
    over_sequential = {p: c if c and c.points >= 2 else None for p, c in over_sequential.items()}
    over_own = {p: speedup_chart(p, by_program[p], warned, sequential=False) for p in programs}
    speedup = section("speedup", "Speedup",
                      [over_sequential[p] or over_own[p] for p in programs],
                      intro="Over the sequential build at 1 thread where the run measured it "
                            "(the best plain code), else over each backend's own 1-thread "
                            "time; each chart names its reference.")
    if any(over_sequential.values()):
        speedup.alternate, _, single = _drawn([over_own[p] for p in programs
                                               if over_sequential[p]])
        speedup.single += single
        speedup.alternate_label = "Each backend's speedup over its own 1-thread time"
    return [
        section("time", "Time per element", [time_chart(p, by_program[p], warned)
                                             for p in programs]),
        speedup,
        section("bandwidth", "Share of memory bandwidth",
                [bandwidth_chart(p, by_program[p], warned, cache) for p in programs],
                intro="A blank \"% of bw\" in the table: the program is compute-bound, or the "
                      "probe has no figure at that thread count."),
        section("backends", "Backends side by side", [backends_chart(p, by_program[p], warned)
                                                      for p in programs]),
    ]


EMPTY = {
    "time": "No cell has a time to chart.",
    "speedup": "No program ran at more than one thread with a speedup to show.",
    "bandwidth": "No share of the memory bandwidth: the programs are compute-bound, the "
                 "run has no bandwidth figures, or every size fits in the cache.",
    "backends": "Every program ran with one backend at its largest size: nothing to set side "
                "by side.",
}
