"""What the HTML page tests share: runs made up to exercise a page, and what a
page of them must show, worked out from the run itself.

`mixed_run` has several programs, backends and thread counts, a cell that a
warning names, a failed cell, and text from results that carries markup (a
host, a warning, a failure, a cell name), which the page must show as text.
`default_run` is the size of a default sweep with every backend. The
`expected_*` functions say, from a derived run, what each chart must hold,
so that a test counts against the run rather than against fixed numbers.
"""

import functools
import math
import random

from support import run_of

from algobench.derive import derive
from algobench.matrix import build, cell_name
from algobench.model import CellResult, Sample
from algobench.workload import BACKENDS, WORKLOADS

# Text a hand-edited results file could carry; none of it may become markup.
INJECTED_HOST = 'bench<b class="injected">host</b> & "quotes"'
INJECTED_WARNING = "a warning with <script>window.injected = true;</script> in it"
INJECTED_FAILURE = 'exit status 1: <img class="injected" src="https://example.invalid/x.png">'
INJECTED_SUFFIX = '<i class="injected">"&'

BANDWIDTH = {str(t): {"sum": 20e9 * t ** 0.8, "copy": 24e9 * t ** 0.8, "triad": 22e9 * t ** 0.8}
             for t in (1, 2, 4)}


def _cell(program, n, threads, backend, samples, status="ok", failure=None, name=None):
    workload = WORKLOADS[program]
    cell = CellResult(name=name or cell_name(program, n, threads, backend), program=program,
                      n=n, threads=threads, backend=backend, repetitions=10,
                      fourth=workload.fourth(n), status=status, failure=failure,
                      samples=[Sample(s, round=i) for i, s in enumerate(samples)])
    return cell


def _samples(rng, seconds, spread=0.01, count=5):
    return [seconds * (1 + rng.uniform(-spread, spread)) for _ in range(count)]


def _time(program, n, threads, backend):
    """A plausible time: a cost per element, divided among the threads that help."""
    base = {"count_if": 1.0, "partial_sum": 1.4, "find_if": 2.2, "stable_partition": 20.0,
            "unique_copy": 1.1, "set_intersection": 4.0, "nth_element": 8.0,
            "partial_sort": 30.0}[program] * 1e-9
    factor = {"parallel-mode": 1.0, "sequential": 0.95, "c++17-par": 1.1,
              "c++17-par-unseq": 1.05}[backend]
    helps = WORKLOADS[program].sweeps_threads(backend)
    speed = 0.85 * threads + 0.15 if helps else 1.0
    return base * factor * n / speed + 2e-6


def mixed_run(host: str = INJECTED_HOST, scale: float = 1.0):
    """A derived run of several programs, backends and thread counts, with a noisy
    cell (warned), stable_partition at two threads (warned: no parallel call),
    a failed cell and markup in its text; on `host`, every time times `scale`."""
    rng = random.Random(7)
    cells = []
    sizes = (10_000, 100_000, 1_000_000)
    for n in sizes:
        for backend, threads in (("parallel-mode", (1, 2, 4)), ("c++17-par", (1, 2, 4)),
                                 ("sequential", (1,))):
            for t in threads:
                spread = 0.3 if (n, backend, t) == (10_000, "parallel-mode", 4) else 0.01
                name = None
                if (n, backend, t) == (100_000, "c++17-par", 2):
                    name = cell_name("count_if", n, t, backend) + INJECTED_SUFFIX
                cells.append(_cell("count_if", n, t, backend,
                                   _samples(rng, _time("count_if", n, t, backend), spread),
                                   name=name))
    for n in sizes:
        for backend, threads in (("parallel-mode", (1, 2)), ("sequential", (1,))):
            for t in threads:
                cells.append(_cell("partial_sum", n, t, backend,
                                   _samples(rng, _time("partial_sum", n, t, backend))))
    for n in sizes:
        for backend, threads in (("parallel-mode", (1,)), ("c++17-par", (1, 2))):
            for t in threads:
                cells.append(_cell("find_if", n, t, backend,
                                   _samples(rng, _time("find_if", n, t, backend))))
    for t in (1, 2):
        cells.append(_cell("stable_partition", 100_000, t, "parallel-mode",
                           _samples(rng, _time("stable_partition", 100_000, t,
                                               "parallel-mode"))))
    cells.append(_cell("unique_copy", 1_000_000, 1, "parallel-mode",
                       _samples(rng, _time("unique_copy", 1_000_000, 1, "parallel-mode"))))
    cells.append(_cell("unique_copy", 1_000_000, 2, "parallel-mode", [], status="failed",
                       failure=INJECTED_FAILURE))
    for each in cells:
        for sample in each.samples:
            sample.seconds *= scale
    run = run_of(cells, BANDWIDTH, host=host, usable_cpus=4, build_type="Release",
                 samples=5, min_time=0.05, seed=11, git_commit="0123456789ab",
                 warnings=[INJECTED_WARNING])
    return derive(run)


def default_run():
    """A derived run shaped like the default sweep with every backend on four CPUs:
    about 180 cells of 5 samples, each with the readings a sweep keeps beside it."""
    rng = random.Random(3)
    cells = []
    for planned in build(cpus=4, backends=list(BACKENDS)):
        seconds = _time(planned.program, planned.n, planned.threads, planned.backend)
        cell = _cell(planned.program, planned.n, planned.threads, planned.backend,
                     _samples(rng, seconds, 0.04))
        for sample in cell.samples:
            sample.allocate_seconds, sample.init_seconds = 1e-4, 2e-4
            sample.result = planned.n // 2
        cells.append(cell)
    return derive(run_of(cells, BANDWIDTH, usable_cpus=4, samples=5, min_time=0.05, seed=5))


# -- what a page of a run must show


def usable(cell) -> bool:
    return cell.ok and cell.median is not None and math.isfinite(cell.median) \
        and cell.median > 0


def warned_cells(run) -> set:
    return {name for finding in run.findings for name in finding.cells}


def expected_points(run) -> dict:
    """{(chart kind, program): [cell names]}: the points each chart of the report must
    have, one per cell ("" for the one efficiency chart)."""
    found = {}
    cells = [c for c in run.cells if usable(c)]
    for program in dict.fromkeys(c.program for c in cells):
        mine = [c for c in cells if c.program == program]
        found[("time", program)] = [c.name for c in mine if c.n > 0]
        with_speedup = [c for c in mine if c.speedup is not None]
        if any(c.threads > 1 for c in with_speedup):
            found[("speedup", program)] = [c.name for c in with_speedup]
        shares = [c.name for c in mine if c.bandwidth_share is not None]
        if shares:
            found[("bandwidth", program)] = shares
        largest = [c for c in mine if c.n == max(m.n for m in mine)]
        if len({c.backend for c in largest}) > 1:
            found[("backends", program)] = [c.name for c in largest]
    efficiency = []
    groups = {}
    for c in cells:
        if c.efficiency is not None and WORKLOADS[c.program].sweeps_threads(c.backend):
            groups.setdefault((c.program, c.backend), []).append(c)
    for members in groups.values():
        top = [c for c in members if c.n == max(m.n for m in members)]
        if len(top) >= 2:
            efficiency += [c.name for c in top]
    if efficiency:
        found[("efficiency", "")] = efficiency
    return {key: names for key, names in found.items() if names}


def expected_value(kind: str, cell):
    """(value, low, high) a point of this chart kind shows for the cell, in the
    tooltip's own units (ns per element; %; seconds for the backends)."""
    stats = cell.stats
    if kind == "time":
        scale = 1e9 / cell.n
        return cell.median * scale, stats.q1 * scale, stats.q3 * scale
    if kind == "speedup":
        return cell.speedup, cell.speedup_low, cell.speedup_high
    if kind == "efficiency":
        scale = 100 / cell.threads
        low = cell.speedup_low * scale if cell.speedup_low is not None else None
        high = cell.speedup_high * scale if cell.speedup_high is not None else None
        return cell.efficiency * 100, low, high
    if kind == "bandwidth":
        share = cell.bandwidth_share * 100
        return share, share * cell.median / stats.q3, share * cell.median / stats.q1
    if kind == "backends":
        return cell.median, stats.q1, stats.q3
    raise KeyError(kind)


# The value each column of the cells table sorts by, None where a cell has none.
COLUMN_KEYS = {
    "program": lambda c, notes: c.program,
    "backend": lambda c, notes: c.backend,
    "n": lambda c, notes: c.n,
    "threads": lambda c, notes: c.threads,
    "repetitions": lambda c, notes: c.repetitions,
    "median time": lambda c, notes: c.median,
    "CV %": lambda c, notes: c.stats.cv * 100 if c.stats and c.stats.cv is not None else None,
    "speedup": lambda c, notes: c.speedup,
    "efficiency": lambda c, notes: c.efficiency,
    "Melem/s": lambda c, notes: c.items_per_second,
    "GB/s": lambda c, notes: c.bytes_per_second,
    "% of bw": lambda c, notes: c.bandwidth_share * 100 if c.bandwidth_share is not None else None,
    "status": lambda c, notes: c.status,
    "notes": lambda c, notes: ", ".join(notes.get(c.name, [])) or None,
}


def sorted_names(cells, key, descending: bool) -> list:
    """Cell names in the order a click on a column gives: by key, ties in the table's
    first order, cells without a key last either way."""
    def compare(a, b):
        (i, x), (j, y) = a, b
        if x is None or y is None:
            if (x is None) != (y is None):
                return 1 if x is None else -1
            return i - j
        by = (x > y) - (x < y)
        return (-by if descending else by) or i - j
    keyed = [(i, key(c)) for i, c in enumerate(cells)]
    return [cells[i].name for i, _ in sorted(keyed, key=functools.cmp_to_key(compare))]


def history_series():
    """What the results store hands render_history: two cells on two machines, over
    runs on different days, some points changed, one run without an interval, and a
    machine name with markup in it."""
    series = []
    for cell, program, n, threads, base in (("count_if/n:1000000/threads:2", "count_if",
                                             1_000_000, 2, 1e-5),
                                            ("partial_sum/n:100000/threads:1", "partial_sum",
                                             100_000, 1, 7e-6)):
        for machine, scale, days in (("bench-host", 1.0, (1, 3, 4, 8, 9, 12)),
                                     ('ci<b class="injected">-2</b>', 1.3, (2, 5, 11))):
            points = []
            for index, day in enumerate(days):
                median = base * scale * (1.25 if index >= 3 else 1.0)
                low, high = (median * 0.98, median * 1.03) if index != 1 else (None, None)
                points.append({"run_id": 100 * len(series) + index,
                               "date": f"2024-05-{day:02d}T10:00:00+00:00",
                               "commit": f"{index:07x}" if index % 2 == 0 else None,
                               "median": median, "low": low, "high": high,
                               "changed": index == 3})
            series.append({"cell": cell, "program": program, "backend": "parallel-mode",
                           "n": n, "threads": threads, "machine": machine, "points": points})
    return series
