"""How run B's times differ from run A's, cell by cell (`./suite compare A B`).

Cells are matched by program, n, thread count and fourth argument. For each
matched pair the figure is the ratio of median times B/A (above 1: B is
slower), with a percentile bootstrap confidence interval: both sample sets are
resampled with replacement, the ratio of the resampled medians is taken, and
the interval is read off the sorted ratios. The random generator is seeded
from a fixed number and the cell's name, so the output does not change from
one invocation to the next nor when cells are added or removed.

Verdict: "slower" when the whole interval lies above 1 + noise floor,
"faster" when it lies below 1 / (1 + noise floor), otherwise "no clear change".
With fewer than MIN_SAMPLES samples on either side no verdict is given.
"""

from __future__ import annotations

import dataclasses
import json
import math
import random
import statistics
import zlib

from .model import CellResult, Run, ResultsError

RESAMPLES = 2000
CONFIDENCE = 0.95
NOISE_FLOOR = 0.02  # a change within ±2% is never called clear
MIN_SAMPLES = 3
SEED = 20240501

# Context fields whose difference makes the two runs' times hard to compare.
WARN_FIELDS = ("host", "cpu_model", "compiler", "compiler_version", "libstdcxx_version")
# Context fields whose difference is worth a note.
NOTE_FIELDS = ("usable_cpus", "build_type", "build_flags", "omp_env", "pin", "hugepages")

FASTER, SLOWER, UNCLEAR, TOO_FEW = "faster", "slower", "no clear change", "too few samples"


class CompareError(ResultsError):
    """Runs that cannot be compared: duplicate cells."""


def _index(run: Run, which: str) -> dict[tuple, CellResult]:
    cells: dict[tuple, CellResult] = {}
    for cell in run.cells:
        if cell.key in cells:
            raise CompareError(f"run {which} has two cells for {cell.label}")
        cells[cell.key] = cell
    return cells


def _order(key: tuple) -> tuple:
    program, n, threads, fourth = key
    return (str(program), n, threads, -1 if fourth is None else fourth)


def _unusable(cell: CellResult) -> str | None:
    """Why a cell cannot be compared, or None."""
    if not cell.ok:
        return f"failed ({cell.failure or 'no reason given'})"
    if not cell.samples:
        return "no samples"
    if not all(math.isfinite(s) and s > 0 for s in cell.times):
        return "samples not positive finite times"
    return None


def bootstrap_interval(
    a: list[float],
    b: list[float],
    seed: int,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
) -> tuple[float, float]:
    """Percentile bootstrap interval of median(b) / median(a)."""
    rng = random.Random(seed)
    ratios = sorted(
        statistics.median(rng.choices(b, k=len(b))) / statistics.median(rng.choices(a, k=len(a)))
        for _ in range(resamples)
    )
    tail = (1 - confidence) / 2
    low = ratios[int(math.floor(tail * resamples))]
    high = ratios[min(resamples - 1, int(math.ceil((1 - tail) * resamples)) - 1)]
    return low, high


def verdict(low: float, high: float, count_a: int, count_b: int, noise: float) -> str:
    if min(count_a, count_b) < MIN_SAMPLES:
        return TOO_FEW
    if low > 1 + noise:
        return SLOWER
    if high < 1 / (1 + noise):
        return FASTER
    return UNCLEAR


@dataclasses.dataclass
class Matched:
    label: str
    median_a: float
    median_b: float
    ratio: float
    low: float
    high: float
    verdict: str


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

    min_samples: int = MIN_SAMPLES

    def verdict_counts(self) -> dict[str, int]:
        """How many matched cells got each verdict, in the order the summary names them."""
        return {v: sum(m.verdict == v for m in self.matched)
                for v in (SLOWER, FASTER, UNCLEAR, TOO_FEW)}

    def slowdowns_above(self, percent: float) -> list[Matched]:
        return [m for m in self.matched if m.verdict == SLOWER and m.ratio > 1 + percent / 100]


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
    return warnings, notes


def compare(
    a: Run,
    b: Run,
    noise: float = NOISE_FLOOR,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
) -> Comparison:
    cells_a, cells_b = _index(a, "A"), _index(b, "B")
    matched: list[Matched] = []
    not_compared: list[tuple[str, str]] = []
    for key in sorted(cells_a.keys() & cells_b.keys(), key=_order):
        cell_a, cell_b = cells_a[key], cells_b[key]
        label = cell_a.label
        reasons = [
            f"{which}: {why}"
            for which, why in (("A", _unusable(cell_a)), ("B", _unusable(cell_b)))
            if why is not None
        ]
        if reasons:
            not_compared.append((label, "; ".join(reasons)))
            continue
        samples_a, samples_b = cell_a.times, cell_b.times
        median_a, median_b = statistics.median(samples_a), statistics.median(samples_b)
        seed = SEED ^ zlib.crc32(repr(key).encode())
        low, high = bootstrap_interval(samples_a, samples_b, seed, resamples, confidence)
        matched.append(
            Matched(
                label,
                median_a,
                median_b,
                median_b / median_a,
                low,
                high,
                verdict(low, high, len(samples_a), len(samples_b), noise),
            )
        )
    only_a = sorted(cells_a[k].label for k in cells_a.keys() - cells_b.keys())
    only_b = sorted(cells_b[k].label for k in cells_b.keys() - cells_a.keys())
    warnings, notes = context_differences(a.context, b.context)
    geomean = statistics.geometric_mean([m.ratio for m in matched]) if matched else None
    return Comparison(
        matched, not_compared, only_a, only_b, warnings, notes, geomean, noise, resamples, confidence
    )


