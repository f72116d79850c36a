"""How long a sweep will take and on which machine it is planned: the
estimate a dry run and the first console line give, the part of the matrix
--budget keeps, the refusal of a sweep too long to be meant, and the
machine a dry run plans the default thread counts for. Each takes the run
request (request.RunRequest) it is asked for.
"""

from __future__ import annotations

import sys

from ..measure import estimate, shape
from ..plan import matrix
from .options import store_path
from .refusal import Refusal

# The longest sweep that runs without --long: one estimated above it is more
# likely a mistyped option than a plan.
LONGEST_SWEEP = 24 * 3600


def planned_for(request) -> tuple[int, int]:
    """The usable CPUs and their physical cores the default thread counts are
    planned for: this machine's, or on a dry run the machine that
    ALGOBENCH_SYS_ROOT and ALGOBENCH_USABLE_CPUS describe (said in a note)."""
    other = shape.elsewhere()
    if other and not request.dry_run:
        raise Refusal(f"{other} is set: a sweep measures this process's own CPUs, so only "
                      "--dry-run can plan for the machine it describes; unset it to measure")
    try:
        planned = shape.described()
    except ValueError as error:
        raise Refusal(str(error)) from None
    cpus, cores = len(planned.usable), len(planned.cores)
    if other:
        ladder = ", ".join(str(t) + (" (SMT)" if matrix.on_cores(t, cores, cpus) else "")
                           for t in matrix.default_threads(cpus, cores))
        print(f"note: planned for the machine {other} describes: {planned.summary()}; "
              f"default thread counts {ladder}", file=sys.stderr)
    return cpus, cores


def estimated(request, cells: list[matrix.Cell], builds: int = 1) -> float:
    """How long the sweep of `cells` should take, in seconds (estimate.py)."""
    if request.known is None:
        request.known = estimate.known_costs(store_path(request.store))
    return estimate.seconds(cells, estimate.Settings(
        request.samples, request.min_time, request.extra_rounds > 0, request.round_budget,
        not request.no_bandwidth, builds, request.metric.sampler), request.known)


def estimate_line(request, cells: list[matrix.Cell], builds: int = 1) -> str:
    """What a dry run says of the sweep's duration, and what the estimate rests on."""
    seconds = estimated(request, cells, builds)
    known = sum(estimate.key(cell) in request.known for cell in cells)
    return (f"estimated duration: {estimate.duration(seconds)} ({len(cells)} cells; the costs "
            f"of {known} from this machine's earlier runs in the store, of the others from "
            "the defaults)")


def fit_budget(request, cells: list[matrix.Cell], builds: int) -> list[matrix.Cell]:
    """The cells that fit --budget, saying in one line which sizes and thread counts
    were left out; a Refusal when not even the ends of the matrix fit."""
    if request.budget is None:
        return cells
    try:
        fitted = estimate.fit(cells, request.budget * 60,
                              lambda kept: estimated(request, kept, builds))
    except ValueError as error:
        raise Refusal(f"--budget {request.budget:g}: {error}") from None
    if fitted.sizes or fitted.threads:
        print(f"note: {fitted.line(request.budget)}", file=sys.stderr)
    request.fitted = fitted.record(request.budget)
    return fitted.cells


def check_length(request, cells: list[matrix.Cell], builds: int) -> None:
    """Refuses a sweep estimated to take more than LONGEST_SWEEP unless --long asks for it."""
    if request.long:
        return
    seconds = estimated(request, cells, builds)
    if seconds > LONGEST_SWEEP:
        raise Refusal(f"this sweep would take about {_duration(seconds)} ({len(cells)} cells, "
                      f"{request.samples} rounds, --min-time {request.min_time:g}); give "
                      "--long to run it anyway")


def _duration(seconds: float) -> str:
    """A long duration in the unit that reads best: hours up to a few days, then days."""
    hours = seconds / 3600
    return f"{hours:,.0f} hours" if hours < 72 else f"{hours / 24:,.0f} days"
