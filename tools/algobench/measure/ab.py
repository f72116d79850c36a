"""`./suite ab A B`: two builds compared in one interleaved run.

A and B are folders of built programs or git revisions (built into trees of
their own). Both builds' cells are measured by one sweep: the same warm-ups
and repetitions, and in every round each cell's A and B processes run next to
each other in shuffled order, so machine drift lands on both alike. The
results are a run's files for each build (A/ and B/ of the results folder)
plus the per-round pairs and the comparison (pairing.py).

With --extra-rounds, a program and size whose B/A ratios still scatter after
the --samples rounds gets more rounds, up to that many and within a time
budget (rounds.py): the noise of a shared machine is uneven across cells, and
the rounds go where it is. With --duet, the cells that fit twice on the CPUs
run their A and B processes at the same time (duet.py).
"""

from __future__ import annotations

import dataclasses
import pathlib

from . import sweep
from ..judge.gate import paired_over, paired_over_limits
from ..judge.pairing import SETTLED_WIDTH, PairedComparison, pair_runs

__all__ = ["AbOutcome", "SETTLED_WIDTH", "run_ab", "variants"]


@dataclasses.dataclass
class AbOutcome:
    status: int
    comparison: PairedComparison | None
    over_limit: list  # (compare.Matched, corrected low) above --fail-above
    no_cell: bool
    interrupted: bool = False  # the sweep was cut short: some cells were never measured


def run_ab(the_sweep: sweep.Sweep, fail_above: float | None, write_report,
           limit=None) -> AbOutcome:
    """Runs the sweep of both builds, pairs them and finds the cells over the gate's
    limit; whether the gate passes is the command's to say, from all its verdicts.

    `write_report(comparison)` writes the comparison's files (a renderer's
    job, handed in by the command line); `limit(cell label)`, when given, is
    each cell's own limit in percent (None: not gated), from a threshold file."""
    status = the_sweep.run()
    a, b = the_sweep.runs["A"], the_sweep.runs["B"]
    comparison = pair_runs(a, b)
    write_report(comparison)
    over = (paired_over_limits(comparison, limit) if limit is not None else
            paired_over(comparison, fail_above) if fail_above is not None else [])
    return AbOutcome(status, comparison, over, not comparison.matched,
                     a.interrupted or b.interrupted)


def variants(bin_a: pathlib.Path, bin_b: pathlib.Path) -> list[sweep.Variant]:
    return [sweep.Variant("A", bin_a), sweep.Variant("B", bin_b)]
