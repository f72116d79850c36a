"""`./suite ab A B`: two builds compared in one run, of either metric.

A and B are folders of built programs or git revisions (built into trees of
their own). Both builds' cells are measured by one sweep, and the two runs
are compared as their sampler measured them (its `compare_builds`):

- timed: the same warm-ups and repetitions, and in every round each cell's A
  and B processes run next to each other in shuffled order, so machine drift
  lands on both alike; the comparison is of the per-round pairs (pairing.py).
  With --extra-rounds, a program and size whose B/A ratios still scatter
  after the --samples rounds gets more rounds, up to that many and within a
  time budget (rounds.py): the noise of a shared machine is uneven across
  cells, and the rounds go where it is. With --duet, the cells that fit twice
  on the CPUs run their A and B processes at the same time (duet.py).
- counted: each build's counts, and their exact ratios (count_compare.py).

The results are a run's files for each build (A/ and B/ of the results
folder) plus the comparison's files; the gate's verdicts are the command's to
write, from the outcome's.
"""

from __future__ import annotations

import dataclasses
import pathlib

from ..export import comparison as view
from ..judge.compare import compare_runs
from ..judge.gate import (NOTHING_COMPARED, count_problems, count_run_problems, count_verdicts,
                          paired_over_limits, paired_verdicts)
from ..judge.pairing import SETTLED_WIDTH, pair_runs
from .sweep_events import Variant

__all__ = ["AbOutcome", "Report", "SETTLED_WIDTH", "counted", "paired_rounds", "run_ab",
           "variants"]


@dataclasses.dataclass
class AbOutcome:
    status: int
    comparison: object  # pairing.PairedComparison or count_compare.CountComparison
    text: str  # the comparison as `ab` prints it
    verdicts: list  # the gate's verdict on every compared cell (gate.Verdict)
    said: list[str]  # what `ab` says of the cells that fail the gate, one line each
    problems: list[str]  # why the gate fails beyond its cells' own failures
    interrupted: bool = False  # the sweep was cut short: some cells were never measured


@dataclasses.dataclass(frozen=True)
class Report:
    """Where and how the comparison is shown: the folder, the builds' names, and
    the cells an `ab --duet` ran side by side (None without --duet)."""

    out_dir: pathlib.Path
    shown_a: str
    shown_b: str
    together: set[str] | None = None


def run_ab(the_sweep, limit, report: Report) -> AbOutcome:
    """Runs the sweep of both builds, compares them and writes the comparison's
    files; `limit(cell label)`, when given, is each cell's gate in percent (None:
    not gated). Whether the gate passes is the command's to say, from the outcome."""
    status = the_sweep.run()
    a, b = the_sweep.runs["A"], the_sweep.runs["B"]
    outcome = the_sweep.sampler.compare_builds(a, b, limit, report)
    outcome.status = status
    outcome.interrupted = a.interrupted or b.interrupted
    return outcome


def paired_rounds(a, b, limit, report: Report) -> AbOutcome:
    """Builds timed in the same rounds: the B/A ratios of their per-round pairs."""
    comparison = pair_runs(a, b)
    view.write_ab(report.out_dir, comparison, report.shown_a, report.shown_b,
                  a.context.warnings, report.together)
    text = view.render_ab_text(comparison, report.shown_a, report.shown_b, report.together)
    if limit is None:
        return AbOutcome(0, comparison, text, [], [], [])
    over = paired_over_limits(comparison, limit)
    said = [f"{pair.label} is {(pair.ratio - 1) * 100:.1f}% slower in B (limit "
            f"{limit(pair.label):g}%; the low end of its family-wise interval is "
            f"{(low - 1) * 100:+.1f}%)" for pair, low in over]
    said += [f"B failed at {failure}" for failure in comparison.failed_b]
    problems = [] if comparison.matched else [NOTHING_COMPARED]
    return AbOutcome(0, comparison, text, paired_verdicts(comparison, over, limit), said,
                     problems)


def counted(a, b, limit, report: Report) -> AbOutcome:
    """Builds counted: each cell's counts in both, and their exact ratio."""
    comparison = compare_runs(a, b, limit)
    view.write_counts_ab(report.out_dir, comparison, report.shown_a, report.shown_b)
    text = view.render_text(comparison, report.shown_a, report.shown_b)
    verdicts = count_verdicts(comparison) if limit is not None else []
    return AbOutcome(0, comparison, text, verdicts, count_problems(comparison),
                     count_run_problems(comparison))


def variants(bin_a: pathlib.Path, bin_b: pathlib.Path) -> list[Variant]:
    return [Variant("A", bin_a), Variant("B", bin_b)]
