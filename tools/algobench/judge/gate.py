"""The gate: which cells of a comparison fail a CI job, for every metric and
for `ab`, `compare` and `--thresholds` alike. Its record is `Verdict`, one per
cell; gate.md and gate.xml are rendered from those in export/.

Each cell is held to its own limit in percent: --fail-above for all, or the
first rule of a threshold file (thresholds.py) naming it; a cell no rule
names and no --fail-above covers is not gated. Only a cell whose interval
lies wholly beyond the comparison's clear-change threshold (of counts: one
the table calls "more") can fail, whatever the margin the table's words are
judged at; a cell without the samples to be judged is not judged, and a gate
that judged no cell fails. A cell that ran in A but failed in B fails too, as does a
comparison in which no cell could be compared and one whose B was interrupted
before it measured cells that ran in A: those cells did not fail, they were
never measured, but a gate cannot vouch for them.

Of two separate runs of times (`compare`), the chance of a false alarm over
all m judged cells together is FAMILY_ERROR: a cell fails when it is clearly
slower and its interval at confidence 1 - FAMILY_ERROR / m (Bonferroni),
divided by the run-wide shift, lies wholly above both 1 + PERCENT/100 and the
clear change threshold. Of an A/B run of times (`ab`), the same correction
applies to the interval of the cell's per-round ratios or, when the rounds
are too few for it, to the widest one they give (the smallest and the largest
ratio: every round must show the slowdown). Of counts, a cell fails when even
the low end of its ratio lies above 1 + PERCENT/100.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Callable

from . import thresholds
from .compare import MAX_RESAMPLES, MIN_SAMPLES, Comparison, Matched
from .count_compare import FAILED_IN_B, MORE, CountComparison, CountPair
from .pairing import PairedComparison
from ..plan.metrics import Metric
from .stats import (FAMILY_ERROR, RESAMPLES, bonferroni_confidence, bootstrap_interval,
                    median_interval)

# The gate's interval reaches far into the tails of the bootstrap: it takes
# enough resamples that each tail holds at least this many, up to a cap.
GATE_TAIL_RESAMPLES = 10
# What makes a gate fail that judged no cell at all.
NOTHING_COMPARED = "no cell could be compared"

Limit = Callable[[str], "float | None"]


def unmeasured_line(count: int) -> str:
    """The gate's reason to fail a comparison with a B cut short."""
    return (f"B is an interrupted run: {count} cell(s) that ran in A were not measured in B, "
            "so the gate cannot vouch for them")


def gate_resamples(confidence: float, resamples: int = RESAMPLES) -> int:
    """Enough resamples that each tail of a `confidence` interval holds
    GATE_TAIL_RESAMPLES of them, never fewer than `resamples`, at most the cap."""
    needed = math.ceil(GATE_TAIL_RESAMPLES / ((1 - confidence) / 2))
    return max(resamples, min(needed, MAX_RESAMPLES))


@dataclasses.dataclass
class GateHit:
    """A cell over the gate's limit, with its Bonferroni interval divided by the shift."""

    matched: Matched
    low: float
    high: float


@dataclasses.dataclass
class Gate:
    """The `--fail-above` decision."""

    percent: float
    bound: float              # the corrected interval must lie above this factor
    cells: int                # m, the judged cells
    confidence: float         # 1 - FAMILY_ERROR / m
    slowdowns: list[GateHit]
    failed_in_b: list[tuple[str, str]]  # (label, why) of cells that ran in A only
    corrected: bool           # whether intervals are divided by the run-wide shift
    matched: int = 0          # compared cells, judged or not
    family_error: float = FAMILY_ERROR
    unmeasured_in_b: int = 0  # cells that ran in A and B's interrupted run never measured

    @property
    def passed(self) -> bool:
        return (self.cells > 0 and not self.slowdowns and not self.failed_in_b
                and not self.unmeasured_in_b)

    def causes(self) -> list[str]:
        """One line per reason the gate fails (beyond there being no cell to compare)."""
        against = " relative to the run-wide shift" if self.corrected else ""
        lines = [
            f"{hit.matched.label} is {(hit.matched.relative - 1) * 100:.1f}% slower{against}"
            f" (B/A {hit.matched.ratio:.3f}); its {self.confidence:.2%} interval"
            f" {hit.low:.3f} .. {hit.high:.3f} lies wholly above {self.bound:.3f}"
            f" (limit {self.percent:g}%)"
            for hit in self.slowdowns
        ]
        lines += [f"{label} {why}" for label, why in self.failed_in_b]
        if self.unmeasured_in_b:
            lines.append(unmeasured_line(self.unmeasured_in_b))
        if self.cells == 0 and self.matched:
            lines.append(f"no compared cell has the {MIN_SAMPLES} samples a side it takes"
                         f" to be judged")
        return lines


def judge_compare(comparison: Comparison, percent: float) -> Gate:
    """Which cells fail `--fail-above percent`, with a family-wise error of FAMILY_ERROR."""
    judged = [m for m in comparison.matched if m.judged]
    confidence = bonferroni_confidence(len(judged))
    threshold = comparison.drift.threshold if comparison.drift else comparison.noise
    bound = max(1 + percent / 100, 1 + threshold)
    divisor = comparison.drift.divisor if comparison.drift else 1.0
    slowdowns = []
    for m in judged:
        # The corrected interval is wider than the 95% one, so only a cell above
        # the bound (and so the threshold) at 95% can be above it at all.
        if not m.relative_low > bound:
            continue
        low, high = bootstrap_interval(m.samples_a, m.samples_b, m.seed,
                                       gate_resamples(confidence, comparison.resamples),
                                       confidence)
        if low / divisor > bound:
            slowdowns.append(GateHit(m, low / divisor, high / divisor))
    return Gate(percent, bound, len(judged), confidence, slowdowns, comparison.failed_in_b,
                corrected=comparison.drift is not None and comparison.drift.corrected,
                matched=len(comparison.matched), unmeasured_in_b=comparison.unmeasured_in_b)


@dataclasses.dataclass
class Verdict:
    """One cell's verdict at the gate."""

    cell: str
    metric: str
    figure: str  # e.g. "B/A 1.004"
    limit: float | None  # percent, None: not gated
    failure: str | None  # why it failed, None when it passed
    verdict: str = ""  # the table's verdict on the cell, in its words ("": not compared)
    judged: bool = True  # whether that verdict is one the gate can go by


def limits(rules: list[thresholds.Rule] | None, fail_above: float | None,
           metric: Metric) -> Limit:
    """Each cell's limit in percent as a function of its label: the first rule of
    `metric` naming it (thresholds.limit), else `fail_above`; None: not gated."""
    if rules is None:
        return lambda label: fail_above
    return lambda label: thresholds.limit(rules, label, metric, fail_above)


def paired_over(comparison: PairedComparison, percent: float) -> list[tuple[Matched, float]]:
    """The cells of an A/B run of times whose interval lies beyond the noise floor
    and whose Bonferroni-corrected interval lies wholly above `percent`, with the
    low end of that interval."""
    judged = [pair for pair in comparison.matched if pair.judged]
    if not judged:
        return []
    confidence = bonferroni_confidence(len(judged))
    over = []
    for pair in judged:
        if not pair.low > 1 + comparison.noise or pair.ratio <= 1 + percent / 100:
            continue
        interval = median_interval(pair.ratios, confidence)
        low = interval[0] if interval is not None else pair.low
        if low > 1 + percent / 100:
            over.append((pair, low))
    return over


def paired_over_limits(comparison: PairedComparison, limit: Limit) -> list[tuple[Matched, float]]:
    """The pairs of an A/B run of times over their own limit: paired_over at each
    distinct limit, kept for the cells held to it."""
    by_label = {pair.label: limit(pair.label) for pair in comparison.matched}
    over = []
    for percent in sorted({v for v in by_label.values() if v is not None}):
        over += [(pair, low) for pair, low in paired_over(comparison, percent)
                 if by_label[pair.label] == percent]
    return over


def paired_verdicts(comparison: PairedComparison, over: list[tuple[Matched, float]],
                    limit: Limit) -> list[Verdict]:
    """The gate's verdict on every cell an A/B run of times compared; `over` are
    the cells over their limit (paired_over_limits)."""
    lows = {pair.label: low for pair, low in over}
    metric = comparison.metric.name
    verdicts = []
    for pair in comparison.matched:
        percent = limit(pair.label)
        failure = (f"{(pair.ratio - 1) * 100:.1f}% slower, the low end of its family-wise "
                   f"interval {(lows[pair.label] - 1) * 100:+.1f}% above the limit of "
                   f"{percent:g}%" if pair.label in lows else None)
        verdicts.append(Verdict(pair.label, metric, f"B/A {pair.ratio:.3f}", percent, failure,
                                pair.word, pair.judged))
    verdicts += [Verdict(f.split(":", 1)[0], metric, "", None, f"failed in B: {f}")
                 for f in comparison.failed_b]
    return verdicts


def count_over(pair: CountPair) -> bool:
    """Whether a cell of counts fails its limit: called "more", even the low end
    of its ratio above it."""
    return pair.limit is not None and pair.verdict == MORE and pair.low > 1 + pair.limit / 100


def count_problems(comparison: CountComparison) -> list[str]:
    """Why the gate on a comparison of counts fails, one line each (nothing when
    it passes or there is none)."""
    if not comparison.gated:
        return []
    unit = comparison.metric.unit
    lines = [f"{p.label}: B executes {(p.ratio - 1) * 100:+.3f}% {unit} of A (B/A "
             f"{p.ratio:.6f}{'' if p.exact else f', at least {p.low:.6f}'}; limit "
             f"{p.limit:g}%)" for p in comparison.pairs if count_over(p)]
    lines += [f"{label}: {FAILED_IN_B} ({why})" for label, why in comparison.failed_in_b]
    return lines + count_run_problems(comparison)


def count_run_problems(comparison: CountComparison) -> list[str]:
    """The reasons a gate on counts fails that no one cell stands for."""
    lines = ([unmeasured_line(comparison.unmeasured_in_b)] if comparison.unmeasured_in_b
             else [])
    return lines + ([] if comparison.pairs else [NOTHING_COMPARED])


def count_verdicts(comparison: CountComparison) -> list[Verdict]:
    """The gate's verdict on every cell of a comparison of counts."""
    verdicts = []
    for p in comparison.pairs:
        figure = f"B/A {p.ratio:.6f}" + ("" if p.exact else f" (at least {p.low:.6f})")
        failure = (f"{(p.ratio - 1) * 100:+.3f}% instructions, above the limit of {p.limit:g}%"
                   if count_over(p) else None)
        verdicts.append(Verdict(p.label, comparison.metric.name, figure, p.limit, failure,
                                p.verdict))
    verdicts += [Verdict(label, comparison.metric.name, "", None, f"failed in B: {why}")
                 for label, why in comparison.failed_in_b]
    return verdicts


def nothing_judged(verdicts: list[Verdict]) -> str | None:
    """Why a gate fails that judged none of the compared cells, or None when it
    judged one (or no cell was compared: that has its own reason)."""
    compared = [v for v in verdicts if v.verdict]
    gated = [v for v in compared if v.limit is not None]
    if not compared or any(v.judged for v in gated):
        return None
    if not gated:
        return (f"the gate judged no cell: no threshold rule of the {compared[0].metric} "
                "metric names a compared cell, and there is no --fail-above")
    words = ", ".join(sorted({v.verdict for v in gated}))
    return (f"the gate judged no cell: none of the {len(gated)} cell(s) held to a limit has "
            f"a verdict ({words})")


def judge(result, fail_above: float | None) -> list[str]:
    """What makes `compare` of two runs (compare.compare_runs) exit with status 1,
    one line each: its gate at --fail-above when given, and no cell compared."""
    if result.exact:
        return count_problems(result) or ([NOTHING_COMPARED] if not result.pairs else [])
    if fail_above is not None:
        result.gate = judge_compare(result, fail_above)
    return result.problems()


def decide(verdicts: list[Verdict], problems: list[str]) -> tuple[bool, list[str]]:
    """Whether the gate passes, and why it fails beyond its cells' own failures:
    `problems` (the run's), and a gate that judged no cell."""
    unjudged = nothing_judged(verdicts)
    problems = problems + ([unjudged] if unjudged else [])
    return not problems and not any(v.failure for v in verdicts), problems
