"""The scaling plots of a results folder, drawn as SVG with gnuplot.

From a run's results (derived, as results.json holds them) this writes, into
<results folder>/plots/:

- speedup_<program>.svg for each parallel-mode program: speedup against the
  thread count with the ideal (linear) line, one curve per size;
- time_per_element_<program>.svg for each program: time per element against
  n on log-log axes, one curve per thread count;
- efficiency.svg: parallel efficiency against the thread count of every
  parallel-mode program at its largest size.

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

GNUPLOT_TIMEOUT = 60.0
INSTALL_HINT = "apt-get install gnuplot-nox (Debian, Ubuntu) or your system's gnuplot package"

_said_missing = False


def _ensure_gnuplot() -> str | None:
    """The gnuplot executable; installs it as root on a Debian-family system."""
    global _said_missing
    found = shutil.which("gnuplot")
    if found is not None:
        return found
    can_install = (
        hasattr(os, "geteuid")
        and os.geteuid() == 0
        and pathlib.Path("/etc/debian_version").exists()
        and shutil.which("apt-get") is not None
    )
    if can_install:
        print("gnuplot is missing: installing gnuplot-nox with apt-get", file=sys.stderr)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        for command in (["apt-get", "update"], ["apt-get", "install", "-y", "gnuplot-nox"]):
            completed = subprocess.run(command, env=env, capture_output=True, text=True)
            if completed.returncode != 0:
                tail = "\n".join(completed.stderr.strip().splitlines()[-5:])
                print(f"{' '.join(command)} failed:\n{tail}", file=sys.stderr)
                break
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


def _fourth_name(cell) -> str:
    return (cell.workload.fourth_name if cell.workload is not None else None) or "fourth"


def _quote(text: str) -> str:
    """A gnuplot double-quoted string (\\n inside stays a line break)."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def _quote_path(path: pathlib.Path) -> str:
    """A gnuplot single-quoted string: only the quote itself needs doubling."""
    return "'" + str(path).replace("'", "''") + "'"


def _size_label(cell) -> str:
    label = f"n = {cell.n:,}"
    if cell.fourth is not None:
        label += f", {_fourth_name(cell)} = {cell.fourth:,}"
    return label


def _speedups(cells: list) -> dict[tuple, dict[int, tuple[float, object]]]:
    """(program, n, fourth) -> {threads: (speedup, cell)}, from the derived speedups."""
    result: dict[tuple, dict[int, tuple[float, object]]] = {}
    for cell in cells:
        if cell.speedup is not None:
            result.setdefault((cell.program, cell.n, cell.fourth), {})[cell.threads] = (
                cell.speedup, cell)
    return result


class _Plot:
    """One gnuplot script: settings, datablocks and the plot command."""

    def __init__(self, path: pathlib.Path, title: str):
        self.path = path
        self.lines = [
            'set terminal svg size 900,560 dynamic noenhanced font "sans,13" background rgb "white"',
            f"set output {_quote_path(path)}",
            f"set title {_quote(title)}",
            "set grid",
            "set key outside right top",
            "set pointsize 1",
        ]
        self.series: list[str] = []
        self._blocks = 0

    def add(self, rows: list[tuple[float, float]], title: str, style: str = "linespoints") -> None:
        name = f"$data{self._blocks}"
        self._blocks += 1
        self.lines.append(f"{name} << EOD")
        self.lines.extend(f"{x!r} {y!r}" for x, y in sorted(rows))
        self.lines.append("EOD")
        self.series.append(f"{name} using 1:2 with {style} lw 2 title {_quote(title)}")

    def script(self, extra_series: list[str]) -> str:
        return "\n".join(self.lines + ["plot " + ", ".join(extra_series + self.series)]) + "\n"


def _render(gnuplot: str, plot: _Plot, extra_series: list[str]) -> pathlib.Path | None:
    try:
        completed = subprocess.run(
            [gnuplot],
            input=plot.script(extra_series),
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


def _log_tics(values: list[float]) -> str | None:
    """Range and tics at 1, 2 and 5 times each power of ten, when the values span few decades.

    gnuplot labels only the powers of ten on a log axis, which leaves a plot
    whose curves lie within one decade with a single label or none.
    """
    low, high = min(values) / 1.6, max(values) * 1.6
    first, last = math.floor(math.log10(low)), math.ceil(math.log10(high))
    if last - first > 3:
        return None
    tics = [m * 10.0**e for e in range(first, last + 1) for m in (1, 2, 5)]
    labels = ", ".join(f'"{tic:g}" {tic!r}' for tic in tics if low <= tic <= high)
    return f"set yrange [{low!r}:{high!r}]\nset ytics ({labels})"


def _thread_tics(counts) -> str:
    return "set xtics (" + ", ".join(str(t) for t in sorted(counts)) + ")"


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
    parallel = {c.program for c in cells if _is_parallel(c)}
    written: list[pathlib.Path] = []

    speedups = _speedups(cells)
    for program in programs:
        if program not in parallel:
            continue
        curves = {key: curve for key, curve in speedups.items() if key[0] == program}
        counts = {t for curve in curves.values() for t in curve}
        if not curves or max(counts) <= 1:
            continue
        plot = _Plot(plot_dir / f"speedup_{program}.svg", f"{program}: speedup\n{where}")
        top = max(counts)
        plot.lines += [
            "set xlabel 'threads'",
            "set ylabel 'speedup (time at 1 thread / time at p threads)'",
            f"set xrange [1:{top}]",
            "set yrange [0:*]",
            _thread_tics(counts),
        ]
        for (_, n, fourth), curve in sorted(curves.items(), key=lambda item: (item[0][1], str(item[0][2]))):
            some_cell = next(iter(curve.values()))[1]
            plot.add([(t, s) for t, (s, _) in curve.items()], _size_label(some_cell))
        path = _render(gnuplot, plot, ["x with lines dt 2 lc rgb 'gray40' title 'ideal'"])
        if path:
            written.append(path)

    for program in programs:
        per_threads: dict[tuple, list[tuple[float, float]]] = {}
        names: dict[tuple, str] = {}
        for cell in cells:
            if cell.program != program or cell.n <= 0:
                continue
            nanoseconds = cell_seconds(cell) / cell.n * 1e9
            per_threads.setdefault((cell.threads, cell.fourth), []).append(
                (float(cell.n), nanoseconds)
            )
            names[(cell.threads, cell.fourth)] = _fourth_name(cell)
        if not per_threads:
            continue
        tics = _log_tics([y for rows in per_threads.values() for _, y in rows])
        plot = _Plot(
            plot_dir / f"time_per_element_{program}.svg", f"{program}: time per element\n{where}"
        )
        plot.lines += [
            "set logscale xy",
            "set xlabel 'n (elements)'",
            "set ylabel 'time per element (ns)'",
            "set format x '1e%T'",
            "set offsets graph 0.05, graph 0.05, 0, 0",
        ]
        if tics:
            plot.lines.append(tics)
        for (threads, fourth), rows in sorted(per_threads.items(), key=lambda i: (i[0][0], str(i[0][1]))):
            label = f"{threads} thread" + ("" if threads == 1 else "s")
            if fourth is not None:
                label += f", {names[(threads, fourth)]} = {fourth:,}"
            plot.add(rows, label)
        path = _render(gnuplot, plot, [])
        if path:
            written.append(path)

    overview = _Plot(
        plot_dir / "efficiency.svg", f"Parallel efficiency at each program's largest size\n{where}"
    )
    counts: set[int] = set()
    top_efficiency = 100.0
    for program in programs:
        if program not in parallel:
            continue
        curves = {key: curve for key, curve in speedups.items() if key[0] == program}
        if not curves:
            continue
        largest = max(key[1] for key in curves)
        # With several values of the fourth argument at that size, the first one stands for it.
        key = sorted((k for k in curves if k[1] == largest), key=lambda k: str(k[2]))[0]
        rows = [(threads, 100.0 * speedup / threads) for threads, (speedup, _) in curves[key].items()]
        if len(rows) < 2:
            continue
        counts.update(curves[key])
        top_efficiency = max([top_efficiency] + [e for _, e in rows])
        some_cell = next(iter(curves[key].values()))[1]
        overview.add(rows, f"{program} ({_size_label(some_cell)})")
    if overview.series:
        overview.lines += [
            "set xlabel 'threads'",
            "set ylabel 'parallel efficiency (speedup / threads, %)'",
            f"set xrange [1:{max(counts)}]",
            f"set yrange [0:{math.ceil(top_efficiency * 1.1)}]",
            "set key inside left bottom box opaque",
            _thread_tics(counts),
        ]
        path = _render(gnuplot, overview, ["100 with lines dt 2 lc rgb 'gray40' title 'ideal'"])
        if path:
            written.append(path)
    return written


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    return draw(folder, run)
