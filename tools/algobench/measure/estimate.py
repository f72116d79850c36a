"""How long a sweep will take, said before it starts, and the part of its
matrix that fits a time budget (`--budget MINUTES`).

The estimate adds up what a sweep does, cell by cell, with the rules of
timed.py and calibration.py (whose constants it reads):

- a process costs PROCESS_SECONDS (starting it, the runner's checks of its
  team and of the machine around it, reading its report), its setup
  (allocating and filling its arrays) and its timed loop;
- a cell runs a warm-up of one call; a repeated call then its calibration
  probes (a quarter of the loop for short calls; ten calls and, far from
  them, a checking loop for long ones) and each round a loop of about
  LOOP_MIN_TIMES x --min-time (the calibration aims at 1.25 to 2 times it
  and may lengthen a loop to dilute a costly first call), or of one call
  where one call lasts longer; a one-call program one call each round;
- --samples rounds, then the extra rounds: their default budget, a share of
  the planned rounds (rounds.BUDGET_SHARE, which a sweep of open answers
  spends nearly whole), or --round-budget; every process once per build (an
  A/B run's two);
- the files rewritten after the calibration and after every round
  (WRITE_SECONDS per cell each time), the bandwidth probe once per thread
  count (PROBE_SECONDS) and a fixed part (the machine's context, the plots).

A cell's setup and call come from the latest runs of the results store on
this machine (the same host name) that measured the same cell: the median
of its samples' allocation and initialisation, and its median time per
call. Other cells take DEFAULT_COSTS: nanoseconds per element at one thread,
measured at n = 10^7 on the two-core development machine, with no speedup
assumed for more threads (a sort's call grows faster than n, so its figure
at 10^7 overstates smaller sizes). There the default sweep (180 cells) took
285-289 s with --extra-rounds 0, which this estimates at 5.8 minutes. Rounds
measured again on a busy machine and loops recalibrated are not counted:
they make a sweep longer than its estimate.

Counting instructions (the "callgrind" sampler) runs a cell's one or
NOT_EXACT_COUNTS processes, each a warm call and a few more, callgrind.SLOWDOWN
times as slow, side by side on the usable CPUs.
"""

from __future__ import annotations

import dataclasses
import math
import pathlib
import socket
from typing import Callable

from . import calibration, callgrind
from .counting import NOT_EXACT_COUNTS
from .rounds import BUDGET_SHARE
from ..judge.stats import median
from ..plan.matrix import Cell, usable_cpus
from ..record.store import Store, StoreError

PROCESS_SECONDS = 0.03
LOOP_MIN_TIMES = 2.0
WRITE_SECONDS = 0.002
PROBE_SECONDS = 4.0
FIXED_SECONDS = 10.0
# Setup and call, nanoseconds per element at one thread (n = 10^7 on the
# two-core development machine); UNKNOWN_COSTS for a program not listed.
DEFAULT_COSTS = {"set_intersection": (62, 16), "count_if": (30, 1.4), "partial_sum": (31, 32),
                 "unique_copy": (60, 1.7), "stable_partition": (15, 23), "find_if": (16, 15),
                 "nth_element": (22, 11), "partial_sort": (23, 200)}
UNKNOWN_COSTS = (100, 200)
# How many of this machine's latest timed runs the store's costs come from.
HISTORY_RUNS = 3

# A cell's (setup seconds, seconds per call), by (program, n, threads, backend).
Costs = dict[tuple, tuple[float, float]]


def key(cell) -> tuple:
    return (cell.program, cell.n, cell.threads, cell.backend)


def known_costs(store_path: pathlib.Path | None) -> Costs:
    """The cells this machine's latest runs in the store timed; none when
    there is no store or it cannot be read (the estimate then takes the defaults)."""
    costs: Costs = {}
    if store_path is None or not store_path.is_file():
        return costs
    try:
        with Store.open(store_path, write=False) as store:
            host = socket.gethostname()
            # Only timed samples carry a time per call: a count run's cells add nothing.
            rows = [r for r in store.runs() if r.host == host]
            timed = 0
            for row in rows:
                if timed == HISTORY_RUNS:
                    break
                if not store.readable(row.id):
                    continue
                cells = [cell for cell in store.load_run(row.id).cells if cell.times]
                timed += bool(cells)
                for cell in cells:
                    setups = [s.allocate_seconds + s.init_seconds for s in cell.samples
                              if s.allocate_seconds is not None and s.init_seconds is not None]
                    if setups and key(cell) not in costs:
                        costs[key(cell)] = (median(setups), median(cell.times))
    except StoreError:
        return {}
    return costs


def _costs(cell: Cell, known: Costs) -> tuple[float, float]:
    if key(cell) in known:
        return known[key(cell)]
    setup, call = DEFAULT_COSTS.get(cell.program, UNKNOWN_COSTS)
    return setup * 1e-9 * cell.n, call * 1e-9 * cell.n


def _timed_cell(cell: Cell, min_time: float, known: Costs) -> tuple[float, float]:
    """(seconds before the rounds: warm-up and probes; seconds of one round)."""
    setup, call = _costs(cell, known)
    process = PROCESS_SECONDS + setup
    loops = [call]  # the warm-up
    if cell.workload.calibrated:
        repetitions = calibration.calibrated_repetitions(min_time, call)
        if repetitions >= calibration.PROBE_BELOW:
            loops.append(max(calibration.FIRST_CALL_PROBE, repetitions // 4) * call)
        else:
            loops.append(calibration.FIRST_CALL_PROBE * call)
            if repetitions > 2 * calibration.FIRST_CALL_PROBE:
                loops.append(min(repetitions * call, calibration.LONGEST_LOOP * min_time))
        loop = max(call, LOOP_MIN_TIMES * min_time)
    else:
        loop = call
    return len(loops) * process + sum(loops), process + loop


@dataclasses.dataclass(frozen=True)
class Settings:
    """What decides a sweep's time beyond its cells (a RunRequest's settled options)."""

    samples: int
    min_time: float
    extra_rounds: bool = True
    round_budget: float | None = None  # None: as long as the planned rounds
    bandwidth: bool = True
    builds: int = 1
    sampler: str = "timed"


def seconds(cells: list[Cell], sweep: Settings, known: Costs | None = None,
            cpus: int | None = None) -> float:
    """The estimated duration of `sweep` over `cells` (see the module's text);
    `cpus`: where counting processes run side by side (the usable CPUs)."""
    known = known or {}
    if sweep.sampler == "callgrind":
        work = 0.0
        for cell in cells:
            setup, call = _costs(cell, known)
            times = 1 if callgrind.exact(cell) else NOT_EXACT_COUNTS
            work += times * (PROCESS_SECONDS + callgrind.SLOWDOWN * (setup + 3 * call))
        width = max(1, min(cpus or usable_cpus(), len(cells)))
        return FIXED_SECONDS + sweep.builds * work / width + 2 * WRITE_SECONDS * len(cells)
    before = rounds = 0.0
    for cell in cells:
        first, each = _timed_cell(cell, sweep.min_time, known)
        before, rounds = before + first, rounds + each
    rounds *= sweep.samples
    extra = 0.0 if not sweep.extra_rounds else (
        rounds * BUDGET_SHARE if sweep.round_budget is None else sweep.round_budget / sweep.builds)
    writes = WRITE_SECONDS * len(cells) * (sweep.samples + 2)
    probe = PROBE_SECONDS * len({c.threads for c in cells}) if sweep.bandwidth else 0.0
    return FIXED_SECONDS + sweep.builds * (before + rounds + extra + writes) + probe


def duration(seconds: float) -> str:
    """A duration as a person plans with it: "40 s", "12 min", "3 h 05 min"."""
    if seconds < 60:
        return f"{max(1, round(seconds))} s"
    minutes = math.ceil(seconds / 60)
    return f"{minutes} min" if minutes < 60 else f"{minutes // 60} h {minutes % 60:02d} min"


@dataclasses.dataclass
class Fitted:
    """The part of a matrix kept within a budget, and what was left out."""

    cells: list[Cell]
    seconds: float
    whole_seconds: float
    sizes: list[int]  # left out
    threads: list[int]  # left out

    def line(self, minutes: float) -> str:
        left = [f"{what} {', '.join(map(str, values))}" for what, values in
                (("sizes", self.sizes), ("thread counts", self.threads)) if values]
        return (f"--budget {minutes:g}: left out {' and '.join(left)} (estimated "
                f"{duration(self.seconds)}; the whole sweep {duration(self.whole_seconds)})")

    def record(self, minutes: float) -> dict:
        return {"minutes": minutes, "estimate_minutes": round(self.seconds / 60, 1),
                "whole_estimate_minutes": round(self.whole_seconds / 60, 1),
                "left_out": {"sizes": self.sizes, "threads": self.threads}}


def _thinned(ladder: list[int]) -> list[int]:
    """The ladder less the inner point whose neighbours lie closest together (in
    ratio), the smaller on a tie: what is left stays as evenly spread as can be."""
    gaps = [round(math.log(max(ladder[i + 1], 1) / max(ladder[i - 1], 1)), 9)
            for i in range(1, len(ladder) - 1)]
    drop = 1 + gaps.index(min(gaps))
    return ladder[:drop] + ladder[drop + 1:]


def fit(cells: list[Cell], budget: float, estimate: Callable[[list[Cell]], float]) -> Fitted:
    """The most of `cells` whose estimate is within `budget` seconds: inner sizes and
    thread counts are left out, one at a time from the ladder with more of them
    (thread counts on a tie), the smallest and largest size, one thread and the
    most threads always kept. ValueError, saying what the least would take,
    when even those do not fit."""
    sizes, threads = sorted({c.n for c in cells}), sorted({c.threads for c in cells})
    kept, whole = cells, estimate(cells)
    took = whole
    while took > budget:
        if max(len(sizes), len(threads)) <= 2:
            raise ValueError(f"even the ends of this sweep (sizes {', '.join(map(str, sizes))}; "
                             f"thread counts {', '.join(map(str, threads))}: {len(kept)} cells) "
                             f"take about {duration(took)}: give a larger budget, or fewer "
                             "programs or backends")
        if len(threads) >= len(sizes):
            threads = _thinned(threads)
        else:
            sizes = _thinned(sizes)
        kept = [c for c in cells if c.n in sizes and c.threads in threads]
        took = estimate(kept)
    left = lambda every, still: sorted(set(every) - set(still))  # noqa: E731
    return Fitted(kept, took, whole, left({c.n for c in cells}, sizes),
                  left({c.threads for c in cells}, threads))
