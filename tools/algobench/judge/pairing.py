"""Two builds measured in one run (`./suite ab A B`): per-round ratios and what they say.

In every round each cell ran an A process and a B process next to each other,
so the ratio of the two times of one round sees the machine in one state. A
cell's figure is the median of those ratios over the rounds (B/A, above 1: B
is slower) with a distribution-free interval of that median (order statistics
of the ratios, stats.median_interval), and the verdict rule of `compare` at
the run's margin: faster or slower when the whole interval lies beyond the
larger of the margin and the noise floor, equivalent within the margin. An
interval whose coverage falls below MIN_COVERAGE (fewer than five rounds)
is not judged: undecided, for more rounds.

The gate (`--fail-above PERCENT`) is gate.py's.
"""

from __future__ import annotations

import dataclasses

from .compare import NOISE_FLOOR, Matched, verdict_counts
from .derive import by_round
from ..model import CellResult, Run
from ..plan.metrics import TIME, Metric
from .stats import CONFIDENCE, geometric_mean, median, median_interval, paired_ratios
from .verdict import UNDECIDED, margin_of

MIN_COVERAGE = 0.9
# An A/B run with extra rounds gives a program and size more of them while the
# interval of one of its cells' ratios is wider than this, relative to the
# ratio (rounds.py): the rounds go where the machine's noise is, not everywhere.
SETTLED_WIDTH = 0.03


@dataclasses.dataclass
class PairedComparison:
    """The matched cells of an A/B run, and the cells that could not be compared."""

    matched: list[Matched]
    not_compared: list[tuple[str, str]]  # (label, why)
    failed_b: list[str]  # cells that failed or timed out in B while A's ran
    noise: float
    confidence: float
    metric: Metric = TIME  # what the cells measured, in rounds
    margin: float | None = None  # what the verdicts were judged at

    @property
    def geomean(self) -> float | None:
        return geometric_mean([m.ratio for m in self.matched])

    def verdict_counts(self) -> dict[str, int]:
        return verdict_counts(self.matched)


def _why_not(cell: CellResult, side: str) -> str | None:
    if cell.unmeasured:
        return f"{side}: {cell.unmeasured}"
    if cell.status != "ok":
        return f"{side}: {cell.status} ({cell.failure or 'no reason given'})"
    return None


def pair_runs(a: Run, b: Run, noise: float = NOISE_FLOOR,
              confidence: float = CONFIDENCE) -> PairedComparison:
    """Matches the cells of two runs measured in the same rounds, cell by cell."""
    cells_b = {cell.key: cell for cell in b.cells}
    matched, not_compared, failed_b = [], [], []
    for cell_a in a.cells:
        cell_b = cells_b.get(cell_a.key)
        if cell_b is None:
            not_compared.append((cell_a.label, "B: not measured"))
            continue
        reasons = [r for r in (_why_not(cell_a, "A"), _why_not(cell_b, "B")) if r]
        if cell_a.status == "ok" and cell_b.status == "failed":
            failed_b.append(f"{cell_b.label}: {cell_b.failure or 'failed'}")
        if reasons:
            not_compared.append((cell_a.label, "; ".join(reasons)))
            continue
        rounds_a, rounds_b = by_round(cell_a), by_round(cell_b)
        if rounds_a is None or rounds_b is None:
            not_compared.append((cell_a.label, "samples carry no rounds"))
            continue
        ratios = paired_ratios(rounds_b, rounds_a)
        common = sorted(rounds_a.keys() & rounds_b.keys())
        if not ratios:
            not_compared.append((cell_a.label, "no round has both builds"))
            continue
        interval = median_interval(ratios, confidence)
        low, high, coverage = interval if interval is not None else (ratios[0], ratios[0], 0.0)
        pair = Matched(
            cell_a.label, median(rounds_a.values()), median(rounds_b.values()), median(ratios),
            low, high, UNDECIDED, samples_a=[rounds_a[r] for r in common],
            samples_b=[rounds_b[r] for r in common], rounds=common, ratios=ratios,
            coverage=coverage)
        pair.judge(a, b, [cell_a, cell_b], (pair.ratio, low, high), coverage >= MIN_COVERAGE,
                   noise, margin_of(a.context))
        matched.append(pair)
    return PairedComparison(matched, not_compared, failed_b, noise, confidence, a.metric,
                            margin_of(a.context))

