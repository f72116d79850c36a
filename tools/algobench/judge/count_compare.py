"""How run B's instruction counts differ from run A's, cell by cell (`ab` and
`compare` of two runs of the instructions metric).

Cells are matched as `compare` matches them (program, backend, n, threads,
fourth argument). A cell counted once (one thread, or a call no parallel
runtime runs) has an exact count: its B/A ratio needs no interval, and any
change beyond EXACT_TOLERANCE is one the builds made, not the machine. A cell
counted more than once (its count moves with the runtime's scheduling) has a
range: B/A lies between its smallest B over largest A and its largest B over
smallest A, and only a change beyond that range is called, and only when B/A
also differs from 1 by more than either side's own spread (its largest count
over its smallest): a few repeats rarely reach the ends of the scheduling's
scatter, so two ranges of one build can miss each other by a hair.

The gate on counts is gate.py's.
"""

from __future__ import annotations

import dataclasses
from typing import Callable

from ..model import CellResult, Run
from ..plan.metrics import Metric
from .stats import geometric_mean, median

# Exact counts closer than this are called the same (a few instructions of a
# process's environment, not of the builds).
EXACT_TOLERANCE = 1e-4
MORE, FEWER, SAME, WITHIN = "more", "fewer", "same", "within spread"
FAILED_IN_B = "failed in B"


@dataclasses.dataclass
class CountPair:
    label: str
    a: CellResult
    b: CellResult
    ratio: float
    low: float
    high: float
    exact: bool
    verdict: str
    limit: float | None = None  # the gate's percent for this cell, if gated


@dataclasses.dataclass
class CountComparison:
    pairs: list[CountPair]
    not_compared: list[tuple[str, str]]  # (label, why)
    failed_in_b: list[tuple[str, str]]  # (label, why): ran in A, failed in B
    geomean: float | None
    gated: bool
    unmeasured_in_b: int = 0  # cells that ran in A and B's interrupted run never measured
    metric: Metric | None = None  # what the cells count
    exact = True  # of figures that do not move from process to process
    warnings = ()  # a count does not depend on the machine: no context is compared

    def changed(self) -> set[str]:
        """The cells whose count changed."""
        return {p.label for p in self.pairs if p.verdict in (MORE, FEWER)}


def _judge(a: list[float], b: list[float]) -> tuple[float, float, float, bool, str]:
    ratio = median(b) / median(a)
    exact = len(a) == 1 and len(b) == 1
    low, high = (ratio, ratio) if exact else (min(b) / max(a), max(b) / min(a))
    spread = max(max(a) / min(a), max(b) / min(b))
    if low > 1 + EXACT_TOLERANCE and ratio > spread:
        verdict = MORE
    elif high < 1 - EXACT_TOLERANCE and ratio < 1 / spread:
        verdict = FEWER
    else:
        verdict = SAME if exact or abs(ratio - 1) <= EXACT_TOLERANCE else WITHIN
    return ratio, low, high, exact, verdict


def compare_counts(a: Run, b: Run, limit: Callable[[str], float | None] | None = None
                   ) -> CountComparison:
    """Every cell of both runs, matched; `limit(cell label)` is its gate in percent
    (None: not gated), or no gate at all when `limit` is None."""
    by_key = {cell.key: cell for cell in b.cells}
    pairs, not_compared, failed_in_b = [], [], []
    unmeasured_in_b = 0
    for cell_a in a.cells:
        cell_b = by_key.get(cell_a.key)
        if cell_b is None:
            continue
        counts_a = a.metric.samples(cell_a) if cell_a.ok else []
        counts_b = b.metric.samples(cell_b) if cell_b.ok else []
        unmeasured = cell_b.unmeasured
        if counts_a and unmeasured:
            not_compared.append((cell_a.label, f"B: {unmeasured}"))
            unmeasured_in_b += 1
            continue
        if counts_a and not cell_b.ok:
            failed_in_b.append((cell_a.label, cell_b.failure or cell_b.status))
            continue
        if not counts_a or not counts_b or min(counts_a + counts_b) <= 0:
            not_compared.append((cell_a.label, "no count in both runs"))
            continue
        ratio, low, high, exact, verdict = _judge(counts_a, counts_b)
        pairs.append(CountPair(cell_a.label, cell_a, cell_b, ratio, low, high, exact, verdict,
                               limit(cell_a.label) if limit is not None else None))
    geomean = geometric_mean([p.ratio for p in pairs]) if pairs else None
    return CountComparison(pairs, not_compared, failed_in_b, geomean, limit is not None,
                           unmeasured_in_b, a.metric)
