"""How run B's times differ from run A's, cell by cell (`./suite compare A B`).

It is a little over 400 lines because the matching, the run-wide shift and
the verdict rule read as one argument; split, each half would need the other.

Cells are matched by program, backend, n, thread count and fourth argument. For each
matched pair the figure is the ratio of median times B/A (above 1: B is
slower), with a percentile bootstrap confidence interval: both sample sets are
resampled with replacement, the ratio of the resampled medians is taken, and
the interval is read off the sorted ratios. The random generator is seeded
from a fixed number and the cell's name, so the output does not change from
one invocation to the next nor when cells are added or removed.

Two separate runs on a shared machine differ by more than their samples show:
the whole machine may be some percent slower in the second, and not every
cell feels that equally. So the verdicts are judged against the cells
themselves. The run-wide shift is the median of the cells' log ratios; the
spread is how far cells scatter around it (1.4826 x their median absolute
deviation, a standard deviation that a few truly changed cells do not
inflate). A cell's own change is its ratio divided by the shift, judged at
the margin (`--margin`, verdict.py) as B against A: "slower" only when its
whole interval, divided by the shift, lies above 1 + the larger of the margin
and the threshold, "faster" when it lies below the inverse of that, where the
threshold is the larger of the noise floor and SPREAD_MULTIPLE spreads;
"equivalent" when it lies within the margin; "undecided" otherwise, and with
fewer than MIN_SAMPLES samples on either side (too few to judge: not
judged), each with what would decide it. With fewer than MIN_CELLS matched
cells, or with the correction turned off, the ratio itself is judged against
the noise floor.

The shift is reported, never judged: between two separate runs it cannot be
told apart from the machine's own drift.

The gate (`--fail-above PERCENT`) is gate.py's.
"""

from __future__ import annotations

import dataclasses
import json
import math
import zlib

from ..model import CellResult, Run, ResultsError
from . import count_compare
from .derive import undecided_hint
from .stats import (CONFIDENCE, RESAMPLES, bootstrap_interval, geometric_mean, median,
                    robust_spread, shift_interval)
from .verdict import (DEFAULT_MARGIN, EQUIVALENT, FASTER, MORE_ROUNDS, NOISE_FLOOR, SLOWER,
                      UNDECIDED, verdict as judged)
MIN_SAMPLES = 3
SEED = 20240501

# Fewer matched cells than this and their spread is not worth estimating.
MIN_CELLS = 5
# How many spreads a cell's change must exceed to be told from the scatter of
# unchanged cells. Three: an unchanged cell lands beyond 3 spreads about 0.3%
# of the time, so a sweep of 50 cells calls on average 0.13 of them changed
# that did not change; at 2 spreads it would be 2.3 cells.
SPREAD_MULTIPLE = 3.0
# The most --resamples a comparison takes. Each resample of each cell costs
# about 10 us here, so 10^5 resamples of a 200-cell sweep take minutes and 10^8
# would take days; at 10^5 each tail of a 95% interval already holds 2,500 of
# them, which puts its ends far closer than any run's noise. The gate caps its
# own resamples there too.
MAX_RESAMPLES = 100_000

# Context fields whose difference makes the two runs' times hard to compare.
WARN_FIELDS = ("host", "cpu_model", "compiler", "compiler_version", "libstdcxx_version")
# Context fields whose difference is worth a note; the runtimes' environment
# (omp_env and runtime_env) is noted by variable.
NOTE_FIELDS = ("usable_cpus", "build_type", "build_flags", "pin", "placement", "hugepages")
# What of the machines' shapes (Context.shape, where both runs recorded one) is
# noted when it differs, in one line; "nodes" is their number.
SHAPE_FIELDS = ("sockets", "cores", "threads_per_core", "nodes", "usable")

# Why a cell is undecided before it is judged.
TOO_FEW = "too few samples"

# How the verdicts treat a shift common to all cells.
CORRECTED = "shift removed"
TOO_FEW_CELLS = "too few cells"
CORRECTION_OFF = "correction off"


class CompareError(ResultsError):
    """Runs that cannot be compared: duplicate cells."""


class MetricMismatch(ValueError):
    """Two runs of different metrics: a time cannot be compared with a count."""


def _index(run: Run, which: str) -> dict[tuple, CellResult]:
    cells: dict[tuple, CellResult] = {}
    for cell in run.cells:
        if cell.key in cells:
            raise CompareError(f"run {which} has two cells for {cell.label}")
        cells[cell.key] = cell
    return cells


def key_order(key: tuple) -> tuple:
    """The order cells are listed in: program, n, backend, threads, fourth argument."""
    program, backend, n, threads, fourth = key
    return (str(program), n, str(backend), threads, -1 if fourth is None else fourth)


def _unusable(cell: CellResult) -> str | None:
    """Why a cell cannot be compared, or None."""
    unmeasured = cell.unmeasured
    if unmeasured:
        return unmeasured
    if not cell.ok:
        return f"failed ({cell.failure or 'no reason given'})"
    if not cell.samples:
        return "no samples"
    if not all(math.isfinite(s) and s > 0 for s in cell.times):
        return "samples not positive finite times"
    return None


def _timed_out(cell: CellResult) -> bool:
    return (cell.failure or "").startswith("timed out")


def clear_threshold(noise: float, spread: float | None, multiple: float = SPREAD_MULTIPLE) -> float:
    """The change (a fraction) a cell's whole interval must exceed: the larger of the
    noise floor and `multiple` spreads of the cells' log ratios."""
    if spread is None:
        return noise
    return max(noise, math.exp(multiple * spread) - 1)


def verdict(low: float, high: float, count_a: int, count_b: int, noise: float,
            margin: float = DEFAULT_MARGIN) -> str:
    """B against A, whose B/A interval is [low, high]: faster or slower beyond the
    larger of `margin` and `noise`, equivalent within `margin`, else undecided."""
    if min(count_a, count_b) < MIN_SAMPLES or not 0 < low <= high:
        return UNDECIDED
    return judged(1 / high, 1 / low, margin, clear=noise)


@dataclasses.dataclass
class Matched:
    """One cell of run A matched with the same cell of run B, as `compare` and
    `ab` both report it: the medians, B/A with its interval and the verdict."""

    label: str
    median_a: float
    median_b: float
    ratio: float
    low: float
    high: float
    verdict: str
    # The ratio and its interval divided by the run-wide shift (equal to the
    # above when no shift is removed); `compare` alone removes one.
    relative: float = 0.0
    relative_low: float = 0.0
    relative_high: float = 0.0
    # The times the figures come from: all samples of each cell for `compare`
    # (what its gate resamples), the times of the rounds both builds ran in for `ab`.
    samples_a: list[float] = dataclasses.field(default_factory=list, repr=False, compare=False)
    samples_b: list[float] = dataclasses.field(default_factory=list, repr=False, compare=False)
    seed: int = dataclasses.field(default=0, repr=False, compare=False)
    # Of a pair measured in the same rounds (`ab`): those rounds, the B/A of each
    # and the coverage of the interval low .. high.
    rounds: list[int] = dataclasses.field(default_factory=list, repr=False, compare=False)
    ratios: list[float] = dataclasses.field(default_factory=list, repr=False, compare=False)
    coverage: float = 0.0
    # What would decide an undecided cell (verdict.hint), and whether it had the
    # samples to be judged at all (the gate judges none that had not).
    hint: str | None = None
    judged: bool = True

    @property
    def word(self) -> str:
        """The verdict as the tables show it: "undecided (too few samples: more rounds)"."""
        why = ": ".join(w for w in (None if self.judged else TOO_FEW, self.hint) if w)
        return f"{self.verdict} ({why})" if why else self.verdict

    def judge(self, a: Run, b: Run, cells: list[CellResult], figure: tuple, enough: bool,
              noise: float, margin: float) -> None:
        """Sets the verdict of a B/A figure (middle, low, high) at `margin` beyond
        `noise`, and its hint; `enough`: whether the cell had what it takes to be judged."""
        _, low, high = figure
        self.judged = enough
        self.verdict = judged(1 / high, 1 / low, margin, clear=noise) \
            if enough and 0 < low <= high else UNDECIDED
        self.hint = MORE_ROUNDS if not enough else undecided_hint(
            [a, b], figure, cells, margin, noise)


@dataclasses.dataclass
class Drift:
    """The run-wide shift, the cells' spread around it and the rule they lead to."""

    method: str               # CORRECTED, TOO_FEW_CELLS or CORRECTION_OFF
    cells: int                # matched cells the figures come from
    shift: float | None       # median B/A over those cells (None with too few)
    shift_low: float | None   # its bootstrap interval over cells
    shift_high: float | None
    spread: float | None      # 1.4826 x MAD of the cells' log ratios
    divisor: float            # what each ratio is divided by: the shift, or 1
    threshold: float          # a relative change is clear beyond ±this fraction
    min_cells: int = MIN_CELLS
    multiple: float = SPREAD_MULTIPLE

    @property
    def corrected(self) -> bool:
        return self.method == CORRECTED

    @property
    def too_few_cells(self) -> bool:
        return self.method == TOO_FEW_CELLS


@dataclasses.dataclass
class Comparison:
    matched: list[Matched]
    not_compared: list[tuple[str, str]]  # (label, why)
    only_a: list[str]
    only_b: list[str]
    warnings: list[str]
    notes: list[str]
    geomean: float | None
    noise: float
    resamples: int
    confidence: float
    drift: Drift | None = None
    failed_in_b: list[tuple[str, str]] = dataclasses.field(default_factory=list)
    gate: object = None  # gate.Gate, when the comparison is gated
    unmeasured_in_b: int = 0  # cells that ran in A and B's interrupted run never measured
    margin: float = DEFAULT_MARGIN  # what the verdicts were judged at

    min_samples: int = MIN_SAMPLES
    exact = False  # of figures that move from process to process

    def changed(self) -> set[str]:
        """The cells called slower or faster."""
        return {m.label for m in self.matched if m.verdict in (SLOWER, FASTER)}

    def verdict_counts(self) -> dict[str, int]:
        """How many matched cells got each verdict, in the order the summary names them."""
        return verdict_counts(self.matched)

    def nothing_compared(self) -> str | None:
        """Why no cell could be compared, or None when some could."""
        if self.matched:
            return None
        common = len(self.not_compared)
        if not common:
            return "the runs have no cell in common"
        return (f"none of the {common} cells in common has usable samples in both runs"
                if common > 1 else "the one cell in common has no usable samples in both runs")

    def problems(self) -> list[str]:
        """What makes `compare` exit with status 1, one line each: no cell to compare,
        or the gate's causes when there is one."""
        lines = []
        nothing = self.nothing_compared()
        if nothing:
            lines.append(f"no cell could be compared: {nothing}")
        if self.gate is not None:
            lines += self.gate.causes()
        return lines


def verdict_counts(matched: list[Matched]) -> dict[str, int]:
    """How many cells got each verdict, in the order the summaries name them."""
    return {v: sum(m.verdict == v for m in matched) for v in (SLOWER, FASTER, EQUIVALENT,
                                                               UNDECIDED)}


def context_differences(a, b) -> tuple[list[str], list[str]]:
    """Warnings (host, CPU, compiler, library) and notes (build, environment) on the contexts."""
    warnings, notes = [], []
    for fields, out in ((WARN_FIELDS, warnings), (NOTE_FIELDS, notes)):
        for field in fields:
            if a.get(field) != b.get(field):
                out.append(
                    f"the runs differ in {field}: {json.dumps(a.get(field))} (A)"
                    f" vs {json.dumps(b.get(field))} (B)"
                )
    shape = _shape_difference(a.get("shape"), b.get("shape"))
    if shape:
        notes.append(shape)
    env_a, env_b = a.environment, b.environment
    changed = sorted(name for name in set(env_a) | set(env_b) if env_a.get(name) != env_b.get(name))
    if changed:
        shown = [f"{name}: " + " vs ".join(
            f"{json.dumps(env[name]) if name in env else 'unset'} ({side})"
            for env, side in ((env_a, "A"), (env_b, "B"))) for name in changed]
        notes.append(f"the runs differ in environment variables {', '.join(changed)}: "
                     + "; ".join(shown))
    return warnings, notes


def _shape_difference(a, b) -> str | None:
    """One line naming what of two recorded shapes differs (SHAPE_FIELDS); None
    when nothing does, or a run recorded none."""
    if not (isinstance(a, dict) and isinstance(b, dict)):
        return None

    def field(shape: dict, key: str):
        value = shape.get(key)
        return len(value) if key == "nodes" and isinstance(value, list) else value
    differ = [f"{key} {json.dumps(field(a, key))} (A) vs {json.dumps(field(b, key))} (B)"
              for key in SHAPE_FIELDS if field(a, key) != field(b, key)]
    return f"the runs differ in shape: {', '.join(differ)}" if differ else None


def estimate_drift(
    ratios: list[float],
    noise: float,
    correct: bool = True,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
) -> Drift:
    """The run-wide shift and spread of these B/A ratios, and the rule they give."""
    if len(ratios) < MIN_CELLS:
        method = TOO_FEW_CELLS if correct else CORRECTION_OFF
        return Drift(method, len(ratios), None, None, None, None, 1.0, noise)
    logs = [math.log(r) for r in ratios]
    shift, low, high = shift_interval(logs, SEED ^ zlib.crc32(b"run-wide shift"), resamples,
                                      confidence)
    spread = robust_spread(logs)
    if not correct:
        return Drift(CORRECTION_OFF, len(ratios), shift, low, high, spread, 1.0, noise)
    return Drift(CORRECTED, len(ratios), shift, low, high, spread, shift,
                 clear_threshold(noise, spread))


def compare(
    a: Run,
    b: Run,
    noise: float = NOISE_FLOOR,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
    drift_correction: bool = True,
    margin: float = DEFAULT_MARGIN,
) -> Comparison:
    cells_a, cells_b = _index(a, "A"), _index(b, "B")
    matched: list[Matched] = []
    not_compared: list[tuple[str, str]] = []
    failed_in_b: list[tuple[str, str]] = []
    unmeasured_in_b = 0
    cells: list[list[CellResult]] = []  # the two cells of each matched one
    for key in sorted(cells_a.keys() & cells_b.keys(), key=key_order):
        cell_a, cell_b = cells_a[key], cells_b[key]
        label = cell_a.label
        if cell_a.ok and cell_b.unmeasured:
            unmeasured_in_b += 1
        elif cell_a.ok and not cell_b.ok:
            why = cell_b.failure or "no reason given"
            failed_in_b.append((label, f"{why} in B but ran in A" if _timed_out(cell_b)
                                else f"failed in B ({why}) but ran in A"))
        reasons = [
            f"{which}: {why}"
            for which, why in (("A", _unusable(cell_a)), ("B", _unusable(cell_b)))
            if why is not None
        ]
        if reasons:
            not_compared.append((label, "; ".join(reasons)))
            continue
        samples_a, samples_b = cell_a.times, cell_b.times
        median_a, median_b = median(samples_a), median(samples_b)
        seed = SEED ^ zlib.crc32(repr(key).encode())
        low, high = bootstrap_interval(samples_a, samples_b, seed, resamples, confidence)
        matched.append(Matched(label, median_a, median_b, median_b / median_a, low, high, UNDECIDED,
                               samples_a=samples_a, samples_b=samples_b, seed=seed))
        cells.append([cell_a, cell_b])
    drift = estimate_drift([m.ratio for m in matched], noise, drift_correction, resamples,
                           confidence)
    for m, pair in zip(matched, cells):
        m.relative = m.ratio / drift.divisor
        m.relative_low, m.relative_high = m.low / drift.divisor, m.high / drift.divisor
        m.judge(a, b, pair, (m.relative, m.relative_low, m.relative_high),
                min(len(m.samples_a), len(m.samples_b)) >= MIN_SAMPLES, drift.threshold, margin)
    only_a = sorted(cells_a[k].label for k in cells_a.keys() - cells_b.keys())
    only_b = sorted(cells_b[k].label for k in cells_b.keys() - cells_a.keys())
    warnings, notes = context_differences(a.context, b.context)
    geomean = geometric_mean([m.ratio for m in matched])
    return Comparison(
        matched, not_compared, only_a, only_b, warnings, notes, geomean, noise, resamples,
        confidence, drift, failed_in_b, unmeasured_in_b=unmeasured_in_b, margin=margin,
    )


def compare_runs(a: Run, b: Run, limit=None, noise: float = NOISE_FLOOR,
                 resamples: int = RESAMPLES, confidence: float = CONFIDENCE,
                 drift_correction: bool = True, margin: float = DEFAULT_MARGIN):
    """Two runs of one metric, cell by cell, by the rule its figures call for. An
    exact figure (a count) does not move from process to process: each cell's
    B/A and its range (count_compare), with `limit(label)`, the cell's gate in
    percent, kept beside it. A figure that moves (a time) is judged by the
    interval of its ratio of medians against the run-wide shift (`compare`).
    MetricMismatch for runs of two metrics."""
    if a.metric is not b.metric:
        raise MetricMismatch(f"A holds {a.metric.name} and B holds {b.metric.name}: "
                             "compare runs of the same metric (a count is not a time)")
    if a.metric.exact:
        return count_compare.compare_counts(a, b, limit)
    return compare(a, b, noise, resamples, confidence, drift_correction, margin)
