"""What the HTML page tests share: a small run built by hand with what each
chart of its page must draw written out beside it, a run the size of a default
sweep, and a history built by hand.

`small_run` has two backends and two thread counts of count_if over three
sizes, stable_partition (which the parallel mode runs sequentially) at two
threads, a noisy cell, a failed cell, and text that carries markup (a host, a
warning, a failure, a cell name), which the page must show as text.
"""

from support import cell, run_of

from algobench.judge.derive import derive
from algobench.model import Crossover
from algobench.plan.matrix import build, cell_name
from algobench.plan.workload import BACKENDS

# Text a hand-edited results file could carry; none of it may become markup.
INJECTED_HOST = 'bench<b class="injected">host</b> & "quotes"'
INJECTED_WARNING = "a warning with <script>window.injected = true;</script> in it"
INJECTED_FAILURE = 'exit status 1: <img class="injected" src="https://example.invalid/x.png">'
SEQUENTIAL = cell_name("count_if", 1_000_000, 1, "sequential") + '<i class="injected">"&'

# A last-level cache of 1 MiB: count_if's arrays fit in it up to n = 10^5.
CACHE = {"type": "Unified", "level": 3, "size": 1 << 20, "num_sharing": 2}
BANDWIDTH = {str(t): {"sum": 20e9 * t ** 0.8, "copy": 24e9 * t ** 0.8, "triad": 22e9 * t ** 0.8}
             for t in (1, 2, 4)}


# The rounds' factors of a steady cell, and of the sequential build's cell in
# the small run: the same spread in another order, so that its ratio to the
# parallel mode's cell of the same rounds straddles 1 (1.01, 0.98, 1.03, 0.96, 1.02).
STEADY = (1.0, 1.01, 0.99, 1.02, 0.98)
SHUFFLED = (1.01, 0.99, 1.02, 0.98, 1.0)


def _spread(seconds: float, noisy: bool = False, factors=STEADY) -> list[float]:
    """Five samples around `seconds`: 1-2% apart, or 30% for a noisy cell."""
    factors = (0.7, 1.3, 1.0, 0.8, 1.25) if noisy else factors
    return [seconds * f for f in factors]


def small_run(host: str = INJECTED_HOST, scale: float = 1.0):
    """The derived run; on `host`, every time times `scale`."""
    def timed(program, n, threads, seconds, **more):
        return cell(program, n, threads, _spread(seconds * scale, more.pop("noisy", False),
                                                 more.pop("factors", STEADY)),
                    repetitions=10, rounds=True, **more)
    cells = [timed("count_if", 10_000, 1, 1e-5), timed("count_if", 10_000, 2, 6e-6, noisy=True),
             timed("count_if", 100_000, 1, 1e-4),
             timed("count_if", 1_000_000, 1, 1e-3), timed("count_if", 1_000_000, 2, 5.5e-4),
             timed("count_if", 1_000_000, 1, 1e-3, backend="sequential", name=SEQUENTIAL,
                   factors=SHUFFLED),
             timed("stable_partition", 100_000, 1, 2e-3), timed("stable_partition", 100_000, 2, 2e-3),
             cell("unique_copy", 1_000_000, 2, [], status="failed", failure=INJECTED_FAILURE)]
    run = derive(run_of(cells, BANDWIDTH, host=host, usable_cpus=2, build_type="Release",
                        samples=5, min_time=0.05, seed=11, git_commit="0123456789ab",
                        warnings=[INJECTED_WARNING], caches=[CACHE]))
    # What the derive step judges at the margin, set by hand: the 1-thread tie is an
    # equivalence, and count_if pays from 10^6 on 2 threads, not at 10^4.
    for winner in run.winners:
        winner.verdict = "equivalent" if winner.tied else "faster"
    run.crossovers = [Crossover("count_if", "parallel-mode", 2, None, "from", "sequential build",
                                at=1_000_000, below=10_000, at_speedup=(1.84, 1.8, 1.87),
                                below_speedup=(0.98, 0.7, 1.3), sizes=[10_000, 1_000_000],
                                threshold=1000, setting="count_minimal_n")]
    return run


# small_run's answers, one line per program.
SMALL_RUN_ANSWERS = [
    "count_if: parallel pays off from n = 10⁶ on 2 threads, 1.8× (1.8–1.9) with "
    "parallel-mode; below that use the sequential build; the parallel mode starts its team from n = 1,000: "
    "setting _Settings::count_minimal_n to 1,000,000 would follow this machine",
    "stable_partition: no parallel speedup at two sizes or more to tell where it starts to pay"]


_COUNT_IF = ["count_if/n:10000/threads:1", "count_if/n:10000/threads:2",
             "count_if/n:100000/threads:1", "count_if/n:1000000/threads:1",
             "count_if/n:1000000/threads:2", SEQUENTIAL]
_LARGEST = ["count_if/n:1000000/threads:1", "count_if/n:1000000/threads:2"]
_STABLE_PARTITION = ["stable_partition/n:100000/threads:1", "stable_partition/n:100000/threads:2"]
# {(chart kind, program): cell names} of small_run's page: every timed cell in
# its program's time chart (the failed one nowhere); the speedup against n at 2
# threads over the backend's own 1-thread time (over the sequential build count_if
# has one point only, at 10^6, and stable_partition one size: not charted); the
# share of the bandwidth for count_if alone (stable_partition is compute-bound) at
# the size whose arrays do not fit the 1 MiB cache; the backends at count_if's
# largest size.
SMALL_RUN_POINTS = {
    ("time", "count_if"): _COUNT_IF,
    ("speedup-self", "count_if"): ["count_if/n:10000/threads:2", "count_if/n:1000000/threads:2"],
    ("bandwidth", "count_if"): _LARGEST + [SEQUENTIAL],
    ("time", "stable_partition"): _STABLE_PARTITION,
    ("backends", "count_if"): _LARGEST + [SEQUENTIAL],
}
# The findings grid of small_run, {(program, n, threads): (backend, tied)}: at
# 1 thread the parallel mode and the sequential build tie (the ratios of their
# rounds run from 0.96 to 1.03); at 2 threads the parallel mode's 0.55 ms
# beats the sequential build's 1 ms clearly.
SMALL_RUN_GRID = {("count_if", 1_000_000, 1): ("parallel-mode", ["parallel-mode", "sequential"]),
                  ("count_if", 1_000_000, 2): ("parallel-mode", [])}
# The decision map of small_run, {(program, n, threads): (backend, verdict)}: the
# largest thread count only.
SMALL_RUN_MAP = {("count_if", 1_000_000, 2): ("parallel-mode", "faster")}
# The cells marked: the noisy one, whose spread changes how its figures read (the
# warning that the parallel mode ran stable_partition sequentially does not).
SMALL_RUN_WARNED = {"count_if/n:10000/threads:2"}
# What a point's tooltip shows, by (chart kind, cell): the time per element in
# ns, the speedup, the share of the bandwidth in %, the
# backends' times in seconds. count_if reads a double an element: 8 GB/s of the
# one-thread sum bandwidth of 20 GB/s is 40%. (The sequential build's points lie
# on the parallel mode's 1-thread ones, and are drawn over them.)
SMALL_RUN_VALUES = {
    ("time", SEQUENTIAL): 1.0,
    ("time", "count_if/n:10000/threads:1"): 1.0,
    ("speedup-self", "count_if/n:1000000/threads:2"): 1e-3 / 5.5e-4,
    ("backends", SEQUENTIAL): 1e-3,
    ("bandwidth", SEQUENTIAL): 40.0,
}
# small_run's rows (by index) after one click on a column and after two: ties
# in the table's order, cells without a value last either way; numbers sort as
# numbers, notes as text (the noisy cell's "a" before stable_partition's "b").
SMALL_RUN_SORTED = {
    "median time": ([1, 0, 2, 4, 3, 5, 6, 7, 8], [6, 7, 3, 5, 4, 2, 0, 1, 8]),
    "threads": ([0, 2, 3, 5, 6, 1, 4, 7, 8], [1, 4, 7, 8, 0, 2, 3, 5, 6]),
    "notes": ([1, 7, 0, 2, 3, 4, 5, 6, 8], [7, 1, 0, 2, 3, 4, 5, 6, 8]),
}


def default_run():
    """A derived run shaped like the default sweep with every backend on four CPUs:
    about 180 cells of 5 samples, each with the readings a sweep keeps beside it."""
    cells = []
    for planned in build(cpus=4, backends=list(BACKENDS)):
        made = cell(planned.program, planned.n, planned.threads,
                    _spread(2e-9 * planned.n / planned.threads + 2e-6), backend=planned.backend,
                    repetitions=10, fourth="sweep", rounds=True)
        for sample in made.samples:
            sample.allocate_seconds, sample.init_seconds = 1e-4, 2e-4
            sample.result = planned.n // 2
        cells.append(made)
    return derive(run_of(cells, BANDWIDTH, usable_cpus=4, samples=5, min_time=0.05, seed=5))


def history_series():
    """What the results store hands history.render_html: two cells on two machines, over
    runs on different days, some points changed, one run without an interval, and a
    machine name with markup in it."""
    series = []
    for name, program, n, threads, base in (("count_if/n:1000000/threads:2", "count_if",
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
            series.append({"cell": name, "program": program, "backend": "parallel-mode",
                           "n": n, "threads": threads, "machine": machine, "points": points})
    return series
