"""The scaling plots of a results folder, drawn as SVG with gnuplot.

From a run's results (derived, as results.json holds them) this writes, into
<results folder>/plots/:

- speedup_<program>.svg for each parallel-mode program: speedup against the
  thread count with the ideal (linear) line, one curve per size;
- time_per_element_<program>.svg for each program: time per element against
  n on log-log axes, one curve per thread count (a fourth argument that grows
  with n, like nth_element's k, follows its rule along the curve);
- efficiency.svg: parallel efficiency against the thread count of every
  program with a parallel call, at its largest size.

A run of more than one backend draws one curve per backend in each of these
(the curve's title names it) and adds backends_<program>.svg: each backend's
speedup over the sequential build at one thread against the thread count, at
the program's largest size, the "which backend wins" table as a picture.

Every point carries its spread as an error bar, and the plot says which: the
interquartile range of the samples for times, the interval of the paired
speedup's median over rounds for speedups and efficiencies. A point without
that figure (a single sample, results without rounds) has no bar.

Failed cells and cells without a time are left out. The data goes to gnuplot
inline, as datablocks of the script it reads on standard input.
"""

from __future__ import annotations

import math
import os
import pathlib
import shutil
import subprocess
import sys

from .. import packages
from ..workload import PARALLEL_MODE
from .gnuplot import Plot, Point, log_axis, thread_range, thread_tics
from .text import plural
from .units import format_count

GNUPLOT_TIMEOUT = 60.0
INSTALL_HINT = "apt-get install gnuplot-nox (Debian, Ubuntu) or your system's gnuplot package"

SAMPLE_BARS = "bars: interquartile range of the samples"
ROUND_BARS = "bars: interval of the median over rounds"

_said_missing = False


def _ensure_gnuplot() -> str | None:
    """The gnuplot executable; installed, as root on a Debian-family system, the
    way every package of the suite is (once per process)."""
    global _said_missing
    found = shutil.which("gnuplot")
    if found is not None:
        return found
    if not packages.provide(packages.RUN, "plots", names=("gnuplot-nox",), say=False):
        found = shutil.which("gnuplot")
        if found is not None:
            return found
    if not _said_missing:
        print(
            f"plots skipped: gnuplot is not installed; to get them: {INSTALL_HINT},"
            " then `./suite report <results folder>`",
            file=sys.stderr,
        )
        _said_missing = True
    return None


def cell_seconds(cell) -> float | None:
    """A usable cell's median seconds per repetition; None for failed or empty cells."""
    if not cell.ok or cell.median is None:
        return None
    value = cell.median
    return value if math.isfinite(value) and value > 0 else None


def _is_parallel(cell) -> bool:
    return cell.workload is not None and cell.workload.parallel


def _has_parallel_call(cell) -> bool:
    return cell.workload is not None and cell.workload.has_parallel_call


def _fourth_name(cell) -> str:
    return (cell.workload.fourth_name if cell.workload is not None else None) or "fourth"


def _fourth_rule(cell) -> str | None:
    """The workload's rule when the cell's fourth argument is the one the rule gives for its n."""
    workload = cell.workload
    if cell.fourth is None or workload is None or not workload.fourth_rule:
        return None
    return workload.fourth_rule if workload.fourth(cell.n) == cell.fourth else None


def _size_label(cell) -> str:
    label = f"n = {cell.n:,}"
    if cell.fourth is not None:
        label += f", {_fourth_name(cell)} = {cell.fourth:,}"
    return label


def _interval(low: float | None, high: float | None, scale: float = 1.0
              ) -> tuple[float, float] | None:
    """(low, high) times scale when both are finite numbers in order; None otherwise."""
    if low is None or high is None:
        return None
    low, high = low * scale, high * scale
    if not (math.isfinite(low) and math.isfinite(high)) or low > high:
        return None
    return low, high


def _speedups(cells: list, field: str = "speedup") -> dict[tuple, dict[int, tuple[float, object]]]:
    """(program, n, fourth, backend) -> {threads: (speedup, cell)}, from a derived
    speedup: against the backend's own 1-thread time, or with "vs_sequential"
    against the sequential build's."""
    result: dict[tuple, dict[int, tuple[float, object]]] = {}
    for cell in cells:
        value = getattr(cell, field)
        if value is not None:
            result.setdefault((cell.program, cell.n, cell.fourth, cell.backend), {})[
                cell.threads] = (value, cell)
    return result


def _render(gnuplot: str, plot: Plot) -> pathlib.Path | None:
    try:
        completed = subprocess.run(
            [gnuplot],
            input=plot.script(),
            env=dict(os.environ),
            capture_output=True,
            text=True,
            timeout=GNUPLOT_TIMEOUT,
        )
    except subprocess.TimeoutExpired:
        print(f"plot {plot.path.name}: gnuplot took too long", file=sys.stderr)
        return None
    if completed.returncode != 0 or not plot.path.is_file() or plot.path.stat().st_size == 0:
        print(f"plot {plot.path.name} failed: {completed.stderr.strip()}", file=sys.stderr)
        return None
    return plot.path


def _speedup_point(threads: int, speedup: float, cell, per_thread: bool = False,
                   scale: float = 1.0) -> Point:
    """A speedup (or, per thread, an efficiency) with the interval of its paired median."""
    factor = scale / threads if per_thread else scale
    return Point(threads, speedup * factor,
                 _interval(cell.speedup_low, cell.speedup_high, factor))


def _time_point(cell) -> Point | None:
    """Nanoseconds per element, with the samples' interquartile range; None for
    a time too large to be a float in nanoseconds."""
    per_element = 1e9 / cell.n
    stats = cell.stats
    bar = _interval(stats.q1, stats.q3, per_element) if stats is not None else None
    if bar is not None and (bar[0] <= 0 or not math.isfinite(bar[1])):
        bar = None  # no place on a log axis
    value = cell_seconds(cell) * per_element
    return Point(float(cell.n), value, bar) if math.isfinite(value) else None


def draw(out_dir: pathlib.Path, run) -> list[pathlib.Path]:
    """Draws every plot of `run` into out_dir/plots; returns the files written."""
    gnuplot = _ensure_gnuplot()
    if gnuplot is None:
        return []
    out_dir = pathlib.Path(out_dir)
    plot_dir = out_dir / "plots"
    plot_dir.mkdir(parents=True, exist_ok=True)
    context = run.context
    where = f"{context.get('host', 'unknown host')}, {context.get('date', 'unknown date')}"
    cells = [c for c in run.cells if cell_seconds(c) is not None]
    programs = sorted({c.program for c in cells})
    # With more than one backend every curve says whose it is, and the
    # programs built without the parallel mode get speedup plots for the
    # backends that run them on several threads.
    backends = list(dict.fromkeys(c.backend for c in cells))
    several = backends not in ([], [PARALLEL_MODE])
    parallel = {c.program for c in cells if _is_parallel(c) or (several and c.threads > 1)}
    threaded = {c.program for c in cells if _has_parallel_call(c) or (several and c.threads > 1)}

    def named(cell, label: str) -> str:
        return f"{cell.backend}, {label}" if several else label
    written: list[pathlib.Path] = []

    def render(plot: Plot) -> None:
        path = _render(gnuplot, plot)
        if path:
            written.append(path)

    speedups = _speedups(cells)
    for program in programs:
        if program not in parallel:
            continue
        curves = {key: curve for key, curve in speedups.items() if key[0] == program}
        counts = {t for curve in curves.values() for t in curve}
        if not curves or max(counts) <= 1:
            continue
        plot = Plot(plot_dir / f"speedup_{program}.svg", f"{program}: speedup\n{where}",
                     ROUND_BARS)
        plot.lines += [
            "set xlabel 'threads'",
            "set ylabel 'speedup (time at 1 thread / time at p threads)'",
            thread_range(counts),
            "set yrange [0:*]",
            thread_tics(counts),
        ]
        plot.references.append("x with lines dt 2 lc rgb 'gray40' title 'ideal'")
        for (_, n, fourth, backend), curve in sorted(
                curves.items(), key=lambda item: (backends.index(item[0][3]), item[0][1],
                                                  str(item[0][2]))):
            if several and max(curve) <= 1:
                continue  # a backend run on one thread only has no speedup curve
            some_cell = next(iter(curve.values()))[1]
            plot.add([_speedup_point(t, s, c) for t, (s, c) in curve.items()],
                     named(some_cell, _size_label(some_cell)))
        render(plot)

    for program in programs:
        # One curve per thread count; a fourth argument that follows the
        # workload's rule moves along it with n, any other value has its own.
        series: dict[tuple, list[Point]] = {}
        titles: dict[tuple, str] = {}
        for cell in cells:
            if cell.program != program or cell.n <= 0:
                continue
            rule = _fourth_rule(cell)
            fixed = None if rule is not None else cell.fourth
            key = (backends.index(cell.backend), cell.threads, fixed)
            point = _time_point(cell)
            if point is None:
                continue
            series.setdefault(key, []).append(point)
            title = named(cell, plural(cell.threads, "thread"))
            if rule is not None:
                title += f" ({rule})"
            elif fixed is not None:
                title += f" ({_fourth_name(cell)} = {fixed:,})"
            titles[key] = title
        if not series:
            continue
        points = [p for rows in series.values() for p in rows]
        plot = Plot(plot_dir / f"time_per_element_{program}.svg",
                     f"{program}: time per element\n{where}", SAMPLE_BARS)
        plot.lines += [
            "set logscale xy",
            "set xlabel 'n (elements)'",
            "set ylabel 'time per element (ns)'",
        ]
        plot.lines += log_axis("x", [p.x for p in points], format_count)
        plot.lines += log_axis("y", [y for p in points for y in (p.y, *(p.bar or ()))])
        for key in sorted(series, key=lambda k: (k[0], k[1], -1 if k[2] is None else k[2])):
            plot.add(series[key], titles[key])
        render(plot)

    if several:
        # Which backend wins: each backend's speedup over the sequential build
        # at one thread, at the program's largest size.
        versus = _speedups(cells, "vs_sequential")
        for program in programs:
            curves = {key: curve for key, curve in versus.items() if key[0] == program}
            if not curves:
                continue
            largest = max(key[1] for key in curves)
            chosen = {key: curve for key, curve in curves.items() if key[1] == largest}
            counts = {t for curve in chosen.values() for t in curve}
            plot = Plot(plot_dir / f"backends_{program}.svg",
                         f"{program}: backends against the sequential build\n{where}", ROUND_BARS)
            plot.lines += [
                "set xlabel 'threads'",
                "set ylabel 'speedup over the sequential build at 1 thread'",
                thread_range(counts | {2}),
                "set yrange [0:*]",
                thread_tics(counts),
            ]
            plot.references.append("1 with lines dt 2 lc rgb 'gray40' title 'sequential build, 1 thread'")
            for key, curve in sorted(chosen.items(), key=lambda item: backends.index(item[0][3])):
                some_cell = next(iter(curve.values()))[1]
                plot.add([_speedup_point(t, s, c) for t, (s, c) in sorted(curve.items())],
                         f"{key[3]} ({_size_label(some_cell)})")
            render(plot)

    overview = Plot(plot_dir / "efficiency.svg",
                     f"Parallel efficiency at each program's largest size\n{where}", ROUND_BARS)
    counts: set[int] = set()
    top_efficiency = 100.0
    for program in programs:
        # A program without a parallel call runs the same sequential call at
        # every thread count: its "efficiency" would only be 1 / threads.
        if program not in threaded:
            continue
        for backend in backends:
            curves = {key: curve for key, curve in speedups.items()
                      if key[0] == program and key[3] == backend}
            if not curves:
                continue
            largest = max(key[1] for key in curves)
            # With several values of the fourth argument at that size, the first one stands for it.
            key = sorted((k for k in curves if k[1] == largest), key=lambda k: str(k[2]))[0]
            points = [_speedup_point(t, s, c, per_thread=True, scale=100.0)
                      for t, (s, c) in curves[key].items()]
            if len(points) < 2:
                continue
            counts.update(curves[key])
            top_efficiency = max([top_efficiency] + [p.y for p in points]
                                 + [p.bar[1] for p in points if p.bar is not None])
            some_cell = next(iter(curves[key].values()))[1]
            title = f"{program} ({_size_label(some_cell)})"
            overview.add(points, f"{title}, {backend}" if several else title)
    if overview.curves:
        overview.lines += [
            "set xlabel 'threads'",
            "set ylabel 'parallel efficiency (speedup / threads, %)'",
            thread_range(counts),
            f"set yrange [0:{math.ceil(top_efficiency * 1.1)}]",
            "set key inside left bottom box opaque",
            thread_tics(counts),
        ]
        overview.references.append("100 with lines dt 2 lc rgb 'gray40' title 'ideal'")
        render(overview)
    return written


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    return draw(folder, run)
