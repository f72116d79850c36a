"""report.html: the run as one page that opens in any browser, offline.

At the top the context (host, CPU, compiler, library, commit, date, options)
and the warnings: the busy machine, what was known before the cells ran,
and the grouped findings with the keys the summary uses. Then the summary
table, one row per cell, sortable by any column, warned and failed cells
marked; then the charts: time per element against n, speedup against the
thread count with the ideal line, efficiency at each program's largest size,
share of the memory bandwidth, and the backends side by side at each
program's largest size. A point's tooltip gives its value and its interval;
a legend entry shows or hides its series.

How the charts are made: the suite draws them itself, as SVG written here
(web.py), and the page carries a few dozen lines of plain JavaScript for the
tooltip, the legend and the sorting. A chart library inlined from npm would
put a build step (or a vendored, minified copy of the library) between the
runner, which needs nothing but Python's standard library, and its output,
add a few hundred kilobytes to every page, and draw the charts only once its
script has run. Drawn here, the charts are in the markup itself: they show
without the script, the page is a few hundred kilobytes for a default sweep
(a test holds it under 2 MB), it is the same bytes for the same results, and
its Content-Security-Policy can allow exactly one script and one stylesheet.

`render_history` draws a page of the same make for the results store: a
cell's figure over runs and across machines.
"""

from __future__ import annotations

import datetime
import math
import pathlib
from html import escape
from typing import Any

from ..files import replace_file
from . import summary
from .units import format_count, format_seconds
from .web import Axis, Chart, Column, Field, Point, Reference, Row, Series, attributes, charts, \
    log_span_wanted, page, sortable_table

FILE = "report.html"

# The backend a run measures unless asked for others; its name is left out of
# series names when a chart shows no other.
DEFAULT_BACKEND = "parallel-mode"
TIME_BARS = "bars: interquartile range of the samples"
ROUND_BARS = "bars: interval of the median over rounds"
RINGED = "points and bars outlined in black: cells a warning names"


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    path = pathlib.Path(folder) / FILE
    replace_file(path, render(run))
    return [path]


# -- what the charts show of a cell


def usable(cell) -> bool:
    """A cell with a time to chart: it passed, and its median is a positive number."""
    median = cell.median if cell.ok else None
    return median is not None and math.isfinite(median) and median > 0


def _threads(threads: int) -> str:
    return f"{threads} thread" + ("" if threads == 1 else "s")


def _size(n: int) -> str:
    return f"n = {format_count(n)}"


def _figure(value: float | None, digits: int = 3) -> str:
    return "" if value is None else f"{value:.{digits}g}"


def _interval_text(low: float | None, high: float | None, unit: str = "",
                   what: str = "interval") -> str:
    if low is None or high is None:
        return ""
    return f" ({what} {low:.4g}{unit} to {high:.4g}{unit})"


def _tip(cell, *lines: str, warned: set[str]) -> str:
    text = [f"{cell.program} · {cell.backend} · {_threads(cell.threads)} · n = {cell.n:,}",
            *lines]
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
    return rest if backends <= {DEFAULT_BACKEND} else f"{backend}, {rest}"


def _group(points: dict[tuple, list[Point]], names: dict[tuple, str]) -> list[Series]:
    """One series per key, the keys (backend, ...) in the backends' usual order."""
    order = sorted(points, key=lambda key: (_backend_order(key[0]), key[1:]))
    return [Series(names[key], points[key]) for key in order]


def time_chart(program: str, cells: list, warned: set[str]) -> Chart | None:
    """Nanoseconds per element against n, one series per backend and thread count."""
    cells = [c for c in cells if c.n > 0]
    if not cells:
        return None
    backends = {c.backend for c in cells}
    points: dict[tuple, list[Point]] = {}
    names: dict[tuple, str] = {}
    for cell in cells:
        factor = 1e9 / cell.n
        value = cell.median * factor
        low, high = _iqr(cell, factor)
        key = (cell.backend, cell.threads)
        names[key] = _series_name(backends, cell.backend, _threads(cell.threads))
        points.setdefault(key, []).append(Point(
            cell.n, value, _tip(cell, f"{value:.4g} ns per element"
                                + _interval_text(low, high, " ns", "interquartile range"),
                                f"median {format_seconds(cell.median)} per call",
                                warned=warned),
            low, high, cell.name, cell.name in warned))
    values = [p.y for ps in points.values() for p in ps]
    return Chart(f"{program}: time per element", _sizes_axis({c.n for c in cells}),
                 Axis("time per element (ns)", log=log_span_wanted(values)),
                 _group(points, names), note=TIME_BARS,
                 data={"kind": "time", "program": program})


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
            _tip(cell, f"speedup {cell.speedup:.3g}"
                 + _interval_text(cell.speedup_low, cell.speedup_high), warned=warned),
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
                  _tip(c, f"efficiency {c.efficiency * 100:.3g}%"
                       + _interval_text(_scaled(c.speedup_low, 100 / c.threads),
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
    backends = {c.backend for c in cells}
    points: dict[tuple, list[Point]] = {}
    names: dict[tuple, str] = {}
    for cell in cells:
        share = cell.bandwidth_share * 100
        # The share at the quartiles of the time: a shorter time moves more bytes per second.
        q1, q3 = _iqr(cell)
        low = share * cell.median / q3 if q3 else None
        high = share * cell.median / q1 if q1 else None
        key = (cell.backend, cell.threads)
        names[key] = _series_name(backends, cell.backend, _threads(cell.threads))
        points.setdefault(key, []).append(Point(
            cell.n, share, _tip(cell, f"{share:.3g}% of the measured bandwidth"
                                + _interval_text(low, high, "%", "interquartile range"),
                                warned=warned),
            low, high, cell.name, cell.name in warned))
    return Chart(f"{program}: share of memory bandwidth", _sizes_axis({c.n for c in cells}),
                 Axis("% of measured bandwidth", zero=True), _group(points, names),
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
            spread = "" if low is None else \
                f" (interquartile range {format_seconds(low)} to {format_seconds(high)})"
            points.append(Point(slot[c.threads], c.median,
                                _tip(c, f"median {format_seconds(c.median)} per call{spread}",
                                     warned=warned),
                                low, high, c.name, c.name in warned))
        series.append(Series(backend, points, colour=_backend_order(backend)[0]))
    return Chart(f"{program}: backends at {_size(largest)}",
                 Axis("threads", categories=[_threads(t) for t in threads]),
                 Axis("median time per call", zero=True, format=format_seconds), series,
                 bars=True, note=TIME_BARS, data={"kind": "backends", "program": program})


_BACKEND_ORDER = ("parallel-mode", "sequential", "c++17-par", "c++17-par-unseq")


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


_EMPTY = {
    "time": "No cell has a time to chart.",
    "speedup": "No program ran at more than one thread with a speedup to show.",
    "efficiency": "No program with a parallel call ran at two thread counts or more.",
    "bandwidth": "No share of the memory bandwidth: the programs are compute-bound or the "
                 "run has no bandwidth figures.",
    "backends": "Every program ran with one backend at its largest size: nothing to set side "
                "by side.",
}


# -- the page's parts


def _context_items(run) -> list[tuple[str, str]]:
    c = run.context
    cpu = c.get("cpu_model", "unknown")
    if c.usable_cpus is not None:
        cpu += f", {c.usable_cpus} usable CPUs"
    if c.mhz_per_cpu:
        cpu += f", {c.mhz_per_cpu} MHz"
    commit = c.get("git_commit", "unknown") + ("-dirty" if c.git_dirty else "")
    options = [f"{c.get('samples', '?')} samples per cell in interleaved rounds",
               f"min time {c.get('min_time', '?')} s"]
    if c.seed is not None:
        options.append(f"seed {c.seed}")
    if c.cv_threshold is not None:
        options.append(f"CV threshold {c.cv_threshold:g}")
    options.append("pinned" if c.pin else "not pinned")
    if c.hugepages:
        options.append("huge pages")
    items = [
        ("host", c.get("host", "unknown")),
        ("CPU", cpu),
        ("kernel", c.get("kernel", "unknown")),
        ("compiler", " ".join(str(v) for v in (c.compiler, c.compiler_version) if v) or "unknown"),
        ("build", " ".join(str(v) for v in (c.build_type, c.build_flags) if v) or "unknown"),
        ("library", c.get("libstdcxx_version", "unknown")),
        ("commit", commit),
        ("date", c.get("date", "unknown")),
        ("options", ", ".join(options)),
    ]
    if c.omp_env:
        items.append(("OpenMP environment", " ".join(f"{k}={v}" for k, v in c.omp_env.items())))
    if c.command_line:
        items.append(("command", " ".join(map(str, c.command_line))))
    if run.bandwidth:
        figures = []
        for threads, kernels in sorted(run.bandwidth.items(), key=lambda kv: _as_int(kv[0])):
            shown = ", ".join(f"{k} {v / 1e9:.3g}" for k, v in kernels.items()
                              if isinstance(v, (int, float)))
            figures.append(f"{threads} threads: {shown}")
        items.append(("bandwidth (GB/s)", "; ".join(figures)))
    return items


def _as_int(text: str) -> tuple:
    return (0, int(text), "") if text.isdigit() else (1, 0, text)


def _context(run) -> str:
    rows = "".join(f"<dt>{escape(k)}</dt><dd>{escape(str(v))}</dd>" for k, v in _context_items(run))
    return f"<section id=\"context\">\n<h2>Context</h2>\n<dl class=\"context\">{rows}</dl>\n</section>"


def _warnings(run, listed: list[tuple[str, str]]) -> str:
    """The busy machine, the warnings known before the cells ran, and the findings
    (with the keys the table's notes use)."""
    found_lines = {f.line for f in run.findings} | {run.busy}
    before = [w for w in run.context.warnings if w not in found_lines]
    parts = ["<section id=\"warnings\">", "<h2>Warnings</h2>"]
    if run.busy:
        parts.append(f"<p class=\"banner\"><strong>The machine was busy:</strong> "
                     f"{escape(run.busy)}</p>")
    if before:
        parts.append("<h3>Before the cells ran</h3>")
        parts.append("<ul class=\"warnings\">" + "".join(f"<li>{escape(w)}</li>" for w in before)
                     + "</ul>")
    # summary.notes gives the findings that name cells their keys in order.
    keys = iter(key for key, text in listed if text != summary.ZERO_SIZE_NOTE)
    keyed = [(next(keys, None) if finding.cells else None, finding) for finding in run.findings]
    if keyed:
        parts.append("<h3>What the cells say</h3>")
        items = []
        for key, finding in keyed:
            label = f"<span class=\"key\">{escape(key)}</span>" if key else ""
            cells = ""
            if finding.cells:
                names = "".join(f"<li><code>{escape(n)}</code></li>" for n in finding.cells)
                cells = (f"<details class=\"cells\"><summary>{len(finding.cells)} "
                         f"cell{'s' if len(finding.cells) != 1 else ''}</summary><ul>{names}"
                         "</ul></details>")
            anchor = attributes({"id": f"finding-{key}" if key else None})
            items.append(f"<li{anchor}>{label}{escape(finding.line)}{cells}</li>")
        parts.append("<ul class=\"warnings\">" + "".join(items) + "</ul>")
    others = [(k, text) for k, text in listed if text == summary.ZERO_SIZE_NOTE]
    for key, text in others:
        parts.append(f"<p id=\"finding-{escape(key)}\"><span class=\"key\">{escape(key)}</span>"
                     f"{escape(text)}</p>")
    if not (run.busy or before or keyed):
        parts.append("<p class=\"empty\">No warnings.</p>")
    parts.append("</section>")
    return "\n".join(parts)


COLUMNS = (
    Column("program"), Column("backend"), Column("n", True), Column("threads", True),
    Column("repetitions", True), Column("median time", True, "median time of one call"),
    Column("CV %", True, "coefficient of variation of the samples"),
    Column("speedup", True, "median over rounds of the 1-thread time over this cell's time, "
                            "with its interval"),
    Column("efficiency", True, "speedup / threads"), Column("Melem/s", True),
    Column("GB/s", True), Column("% of bw", True, "share of the probe's memory bandwidth"),
    Column("status", css="status"),
    Column("notes", help="keys of the warnings that name the cell", css="notes"),
)


def _scaled_field(value: float | None, scale: float) -> Field:
    return Field(_figure(None if value is None else value / scale), value)


def cell_rows(run, by_cell: dict[str, list[str]], warned: set[str]) -> list[Row]:
    rows = []
    for cell in run.cells:
        stats = cell.stats
        cv = stats.cv if stats is not None else None
        median = stats.median if stats is not None else None
        share = cell.bandwidth_share
        keys = by_cell.get(cell.name, [])
        failed = cell.status == "failed"
        marks = ""
        if cell.name in warned:
            marks += "<span class=\"mark w\" title=\"a warning names this cell\">!</span>"
        if failed:
            marks += "<span class=\"mark f\" title=\"this cell failed\">&#x2717;</span>"
        status = Field(cell.status, title=cell.failure)
        notes = Field(", ".join(keys), markup=", ".join(
            f"<a class=\"key\" href=\"#finding-{escape(k)}\">{escape(k)}</a>" for k in keys))
        classes = tuple(name for name, flag in (("warned", cell.name in warned),
                                                 ("failed", failed)) if flag)
        fields = [
            Field(cell.program, markup=marks + escape(cell.program), title=cell.name),
            Field(cell.backend),
            Field(f"{cell.n:,}", cell.n),
            Field(str(cell.threads), cell.threads),
            Field(str(cell.repetitions or ""), cell.repetitions),
            Field(format_seconds(median), median),
            Field("" if cv is None else f"{cv * 100:.1f}", None if cv is None else cv * 100),
            Field(summary.speedup_text(cell), cell.speedup),
            Field(_figure(cell.efficiency), cell.efficiency),
            _scaled_field(cell.items_per_second, 1e6),
            _scaled_field(cell.bytes_per_second, 1e9),
            Field("" if share is None else f"{share * 100:.0f}",
                  None if share is None else share * 100),
            status,
            notes,
        ]
        rows.append(Row(fields, classes, {"cell": cell.name}))
    return rows


def _cells_section(run, by_cell: dict[str, list[str]], warned: set[str]) -> str:
    table = sortable_table(COLUMNS, cell_rows(run, by_cell, warned),
                           caption="One row per cell; click a column's header to sort by it. "
                                   "Speedup: the median over rounds of the 1-thread time over "
                                   "this cell's time in the same round, with its interval.",
                           table_id="cells")
    parts = ["<section id=\"cells-section\">", "<h2>Cells</h2>",
             f"<div class=\"scroll\">{table}</div>"]
    failed = [c for c in run.cells if c.status == "failed"]
    if failed:
        parts.append("<h3>Failed cells</h3><ul class=\"failures\">" + "".join(
            f"<li><code>{escape(c.name)}</code>: {escape(c.failure or 'no reason recorded')}</li>"
            for c in failed) + "</ul>")
    if not run.bandwidth:
        parts.append("<p class=\"empty\">No bandwidth figures: \"% of bw\" stays blank.</p>")
    parts.append("</section>")
    return "\n".join(parts)


def _charts_sections(run, warned: set[str]) -> tuple[str, list[tuple[str, str]]]:
    sections, toc = [], []
    for anchor, heading, made in run_charts(run, warned):
        toc.append((f"charts-{anchor}", heading))
        body = charts([c.render() for c in made]) if made else \
            f"<p class=\"empty\">{escape(_EMPTY[anchor])}</p>"
        note = f"<p class=\"sub\">{escape(RINGED)}.</p>" if made and warned else ""
        sections.append(f"<section id=\"charts-{anchor}\">\n<h2>{escape(heading)}</h2>\n{note}"
                        f"{body}\n</section>")
    return "\n".join(sections), toc


def render(run) -> str:
    """The whole report page of a derived run."""
    context = run.context
    host, date = context.get("host", "unknown host"), context.get("date", "unknown date")
    by_cell, listed = summary.notes(run)
    warned = {name for finding in run.findings for name in finding.cells}
    chart_markup, chart_toc = _charts_sections(run, warned)
    toc = [("context", "Context"), ("warnings", "Warnings"), ("cells-section", "Cells")] + chart_toc
    parts = [
        "<header>",
        "<h1>algobench report</h1>",
        f"<p class=\"sub\">{escape(str(host))} · {escape(str(date))} · {len(run.cells)} cells, "
        f"{run.completed_cells} passed</p>",
        "<nav class=\"toc\">" + "".join(f"<a href=\"#{a}\">{escape(t)}</a>" for a, t in toc)
        + "</nav>",
        "</header>",
    ]
    if run.interrupted:
        parts.append(f"<p class=\"banner fail\"><strong>Interrupted:</strong> the run was cut "
                     f"short; {run.completed_cells} of {run.planned_cells or len(run.cells)} "
                     "cells completed.</p>")
    failed = sum(c.status == "failed" for c in run.cells)
    if failed:
        parts.append(f"<p class=\"banner fail\"><strong>{failed} cell"
                     f"{'s' if failed != 1 else ''} failed</strong>: see "
                     "<a href=\"#cells-section\">Cells</a>.</p>")
    parts += [_context(run), _warnings(run, listed), _cells_section(run, by_cell, warned),
              chart_markup,
              "<footer>Written by algobench from results.json; <code>./suite report</code> "
              "writes it again.</footer>"]
    return page(f"algobench report: {host}, {date}", "\n".join(parts))


# -- the history of cells over runs and machines


HISTORY_KEYS = ("cell", "program", "backend", "n", "threads", "machine", "points")
POINT_KEYS = ("run_id", "date", "commit", "median", "low", "high", "changed")


def _parse_date(text: Any, where: str) -> float:
    if not isinstance(text, str):
        raise ValueError(f"{where}: date is not text: {text!r}")
    try:
        moment = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise ValueError(f"{where}: date {text!r} is not an ISO 8601 date") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.timestamp()


def _check_series(series: Any) -> None:
    """ValueError naming the first series or point that lacks what the page needs."""
    if not isinstance(series, list):
        raise ValueError("the history is not a list of series")
    for index, item in enumerate(series, start=1):
        if not isinstance(item, dict):
            raise ValueError(f"series {index} is not an object")
        missing = [k for k in HISTORY_KEYS if k not in item]
        if missing:
            raise ValueError(f"series {index} lacks {', '.join(missing)}")
        if not isinstance(item["points"], list):
            raise ValueError(f"series {index} ({item['cell']}): points is not a list")
        for number, point in enumerate(item["points"], start=1):
            where = f"series {index} ({item['cell']}, {item['machine']}) point {number}"
            if not isinstance(point, dict):
                raise ValueError(f"{where} is not an object")
            lacking = [k for k in ("run_id", "date", "median") if k not in point]
            if lacking:
                raise ValueError(f"{where} lacks {', '.join(lacking)}")
            for key in ("median", "low", "high"):
                value = point.get(key)
                if key != "median" and value is None:
                    continue
                if isinstance(value, bool) or not isinstance(value, (int, float)) \
                        or not math.isfinite(value):
                    raise ValueError(f"{where}: {key} is not a finite number: {value!r}")
            _parse_date(point["date"], where)


def _date_ticks(low: float, high: float) -> tuple[list[float], str]:
    """Tick positions (seconds since the epoch, on whole days or hours) and their format."""
    span = max(high - low, 1.0)
    for step, pattern in ((3600, "%m-%d %H:%M"), (6 * 3600, "%m-%d %H:%M"), (86400, "%Y-%m-%d"),
                          (2 * 86400, "%Y-%m-%d"), (7 * 86400, "%Y-%m-%d"),
                          (14 * 86400, "%Y-%m-%d"), (30 * 86400, "%Y-%m-%d"),
                          (91 * 86400, "%Y-%m-%d"), (365 * 86400, "%Y-%m-%d")):
        if span / step <= 6:
            break
    first = math.ceil(low / step) * step
    ticks = [float(t) for t in range(int(first), int(high) + 1, step)]
    if not ticks:  # all points inside one step: label the first point's moment
        ticks = [low]
    return ticks, pattern


def _date_label(pattern: str):
    def label(seconds: float) -> str:
        moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
        return moment.strftime(pattern)
    return label


def history_chart(cell: str, members: list[dict]) -> Chart:
    """One cell's median over the runs' dates, one series per machine; changed points ringed."""
    series = []
    all_x, all_y = [], []
    for item in members:
        points = []
        for point in item["points"]:
            x = _parse_date(point["date"], cell)
            median, low, high = point["median"], point.get("low"), point.get("high")
            tip = [f"{item['machine']} · run {point['run_id']}", f"{point['date']}",
                   f"median {format_seconds(median)}"
                   + (f" (interval {format_seconds(low)} to {format_seconds(high)})"
                      if low is not None and high is not None else "")]
            if point.get("commit"):
                tip.insert(2, f"commit {point['commit']}")
            if point.get("changed"):
                tip.append("changed against the run before")
            points.append(Point(x, median, "\n".join(map(str, tip)), low, high,
                                f"{item['machine']}#{point['run_id']}", bool(point.get("changed"))))
            all_x.append(x)
            all_y += [v for v in (median, low, high) if v is not None]
        series.append(Series(str(item["machine"]), points))
    ticks, pattern = _date_ticks(min(all_x), max(all_x)) if all_x else ([], "%Y-%m-%d")
    first = members[0]
    title = (f"{cell}: {first['program']}, {first['backend']}, {_threads(first['threads'])}, "
             f"n = {first['n']:,}")
    return Chart(title, Axis("date of the run (UTC)", ticks=ticks, format=_date_label(pattern)),
                 Axis("median time per call", log=min(all_y, default=0) > 0
                      and log_span_wanted(all_y), format=format_seconds),
                 series, note="bars: the interval each run gives its median; ringed: changed",
                 data={"kind": "history", "cell": cell})


def render_history(series: list[dict], title: str) -> str:
    """A page charting cells' figures over runs and across machines.

    `series` holds one entry per cell and machine: {"cell", "program", "backend",
    "n", "threads", "machine", "points": [{"run_id", "date" (ISO 8601), "commit",
    "median", "low", "high", "changed"}]}. Each cell gets one chart (a series per
    machine, x the run's date), and a table lists every series with its latest
    figure. Raises ValueError naming what is missing from `series`.
    """
    _check_series(series)
    by_cell: dict[str, list[dict]] = {}
    for item in series:
        by_cell.setdefault(str(item["cell"]), []).append(item)
    columns = (Column("cell"), Column("machine"), Column("program"), Column("backend"),
               Column("n", True), Column("threads", True), Column("runs", True),
               Column("last run"), Column("latest median", True), Column("changes", True))
    rows = []
    for item in series:
        points = sorted(item["points"], key=lambda p: _parse_date(p["date"], item["cell"]))
        last = points[-1] if points else None
        changes = sum(bool(p.get("changed")) for p in points)
        rows.append(Row([
            Field(str(item["cell"])), Field(str(item["machine"])), Field(str(item["program"])),
            Field(str(item["backend"])), Field(f"{item['n']:,}", item["n"]),
            Field(str(item["threads"]), item["threads"]), Field(str(len(points)), len(points)),
            Field(str(last["date"]) if last else ""),
            Field(format_seconds(last["median"]) if last else "",
                  last["median"] if last else None),
            Field(str(changes), changes),
        ], ("warned",) if changes else (), {"cell": str(item["cell"])}))
    machines = len({str(s["machine"]) for s in series})
    made = [history_chart(cell, members).render() for cell, members in by_cell.items()
            if any(m["points"] for m in members)]
    body = [
        "<header>", f"<h1>{escape(title)}</h1>",
        f"<p class=\"sub\">{len(by_cell)} cell{'s' if len(by_cell) != 1 else ''} on "
        f"{machines} machine{'s' if machines != 1 else ''}</p>", "</header>",
        "<section id=\"series\">", "<h2>Series</h2>",
        "<div class=\"scroll\">" + sortable_table(columns, rows, table_id="series-table")
        + "</div>", "</section>",
        "<section id=\"charts-history\">", "<h2>Over runs and machines</h2>",
        charts(made) if made else "<p class=\"empty\">No points to chart.</p>",
        "</section>",
    ]
    return page(title, "\n".join(body))


# -- the machines page


def _machine_entry(entry: dict) -> Field:
    """One machine's figure of a cell: its median, and beside it the ratio to the
    reference machine with compare's verdict; the interval in the tooltip."""
    if entry["median"] is None:
        status = str(entry["status"])
        return Field(status.split(":")[0], None, title=status if ":" in status else None)
    text = format_seconds(entry["median"])
    verdict = entry["verdict"]
    if verdict == "reference" or entry["ratio"] is None:
        return Field(text if verdict == "reference" else f"{text} (not compared)",
                     entry["median"])
    interval = ""
    if entry["low"] is not None and entry["high"] is not None:
        interval = f"interval of the ratio {entry['low']:.3f}-{entry['high']:.3f}"
    return Field(f"{text} ×{entry['ratio']:.3f} {verdict}", entry["ratio"],
                 markup=(f"{escape(text)} <span class=\"ratio {escape(str(verdict))}\">"
                         f"×{entry['ratio']:.3f} {escape(str(verdict))}</span>"),
                 title=interval or None)


def render_machines(view, runs: dict, title: str) -> str:
    """The cells of several machines side by side: one row per cell, one column per
    machine (its median, its ratio to the reference machine and the verdict of
    `compare`), and each machine's whole context one click away.

    `view` is machines.compare_machines' result, `runs` its runs by machine name."""
    reference = view.machines[0]["machine"]
    parts = ["<header>", f"<h1>{escape(title)}</h1>",
             f"<p class=\"sub\">{len(view.rows)} cells on {len(view.machines)} machines, each "
             f"judged against {escape(str(reference))}</p>", "</header>",
             "<section id=\"machines\">", "<h2>Machines</h2>"]
    for machine in view.machines:
        name = str(machine["machine"])
        about = ", ".join(str(machine[k]) for k in ("host", "cpu_model", "date") if machine.get(k))
        line = "reference" if machine["reference"] else (
            f"geometric mean of the ratios {machine['geomean']:.3f} over "
            f"{machine['compared']} cells" if machine.get("geomean") is not None
            else "no cell could be compared")
        counts = ", ".join(f"{n} {v}" for v, n in (machine.get("verdicts") or {}).items() if n)
        notes = "".join(f"<li>{escape(str(d))}</li>" for d in machine.get("differences", []))
        run = runs.get(name)
        context = "".join(f"<dt>{escape(k)}</dt><dd>{escape(str(v))}</dd>"
                          for k, v in _context_items(run)) if run is not None else ""
        parts.append(
            f"<details class=\"machine\"{attributes({'data-machine': name})}><summary>"
            f"<strong>{escape(name)}</strong>: {escape(about)} ({escape(line)}"
            f"{'; ' + escape(counts) if counts else ''})</summary>"
            + (f"<ul class=\"warnings\">{notes}</ul>" if notes else "")
            + f"<dl class=\"context\">{context}</dl></details>")
    parts.append("</section>")
    # The cell's name stays in the row's data-cell; its parts make the columns
    # narrow enough for the machines' to be seen beside them.
    columns = [Column("program"), Column("backend"), Column("n", True), Column("threads", True),
               Column("fourth", True)]
    columns += [Column(str(m["machine"]) + (" (reference)" if m["reference"] else ""), True,
                       help=None if m["reference"] else
                       f"median; ratio to {reference} and the verdict of suite compare")
                for m in view.machines]
    rows = []
    for row in view.rows:
        fourth = row.get("fourth")
        fields = [Field(str(row["program"])), Field(str(row["backend"])),
                  Field(f"{row['n']:,}", row["n"]), Field(str(row["threads"]), row["threads"]),
                  Field("" if fourth is None else f"{fourth:,}", fourth)]
        fields += [_machine_entry(entry) for entry in row["machines"]]
        changed = any(e["verdict"] in ("slower", "faster") for e in row["machines"])
        rows.append(Row(fields, ("warned",) if changed else (), {"cell": str(row["cell"])}))
    rule = ("each machine's run-wide shift removed" if view.relative else
            "no run-wide shift removed: between machines it is what is measured")
    parts += ["<section id=\"cells\">", "<h2>Cells x machines</h2>",
              f"<p class=\"sub\">Median time per call; beside it the ratio to "
              f"{escape(str(reference))} (above 1: slower) and the verdict of "
              f"<code>suite compare</code> on the {view.confidence:.0%} interval of the ratio "
              f"(clear beyond ±{view.noise:.0%}; {rule}). Rows with a clear difference are "
              "marked; the interval shows on hovering a ratio.</p>",
              "<div class=\"scroll\">" + sortable_table(columns, rows, table_id="machines-table")
              + "</div>", "</section>"]
    return page(title, "\n".join(parts))
