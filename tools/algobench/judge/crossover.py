"""Where going parallel starts to pay: for each program, backend and thread
count, the smallest measured size from which the parallel call is decided
faster than its reference, bracketed by the largest size below it decided
not to (slower, or equivalent). A size between the two whose verdict is open
is listed as undecided, never taken for an end: a bracket says where the
crossover lies, and a second sweep that decides that size must not find it
outside. A size decided faster below an undecided or losing one is listed as
such (`faster`): it pays there, but not from there on as far as is known.

The reference is the sequential build at one thread where the run measured
one (the cell's `vs_sequential`), otherwise the same backend at one thread
(its `speedup`); `reference` names which. A size counts as paying off only
when it and every larger size measured are decided faster (verdict.py, at the
run's margin), so a call that pays at 10^5 and loses its speedup at 10^7 to
the memory bus has no crossover in the sizes measured: its answer is "never",
with the largest size decided not to pay as its end. A size whose figure could
not be formed (its reference failed) is no evidence either way and is left
out; the sizes of a line follow n whatever fourth argument the sweep derives
from it (find_if's zero position, the k of nth_element and partial_sort).

For the parallel mode the record carries the n from which libstdc++ starts a
team for the call and the _Settings member holding it (plan/workload.py), so
that a crossover far above it says what a user could change.
"""

from __future__ import annotations

from ..model import CellResult, Crossover, Run
from ..plan.workload import PARALLEL_MODE
from .verdict import DEFAULT_MARGIN, FASTER, UNDECIDED, verdict

# What a crossover found.
FROM = "from"            # pays off from `at`, not at `below`
SMALLEST = "smallest"    # already at the smallest size measured
NEVER = "never"          # not in the sizes measured
SEQUENTIAL_REFERENCE = "sequential build"
OWN_REFERENCE = "1 thread"
# Brackets within this factor need no size between their ends (`--refine`).
NARROW = 2.0

__all__ = ["Crossover", "FROM", "NARROW", "NEVER", "OWN_REFERENCE", "SEQUENTIAL_REFERENCE",
           "SMALLEST", "crossovers", "speedup_of", "wide"]


def speedup_of(cell: CellResult, reference: str) -> tuple[float | None, float | None, float | None]:
    """The cell's (median, low, high) speedup over `reference`."""
    if reference == SEQUENTIAL_REFERENCE:
        return cell.vs_sequential, cell.vs_sequential_low, cell.vs_sequential_high
    return cell.speedup, cell.speedup_low, cell.speedup_high


def _fixed_fourth(cell: CellResult) -> int | None:
    """The cell's fourth argument where it does not follow the sweep's rule for
    its n (None where it does): a line of sizes keeps one such argument."""
    workload = cell.workload
    return None if workload is not None and cell.fourth == workload.fourth(cell.n) else cell.fourth


def crossovers(run: Run, margin: float | None = None) -> list[Crossover]:
    """One Crossover per program, backend, thread count above 1 (and fourth
    argument, where fixed) with a speedup at one size or more, from a derived
    run; `margin` defaults to the one the run was judged at."""
    if margin is None:
        margin = run.context.get("margin") or DEFAULT_MARGIN
    lines: dict[tuple, list[CellResult]] = {}
    for cell in run.cells:
        if cell.threads > 1 and cell.ok and cell.n > 0 and cell.median is not None:
            key = (cell.program, cell.backend, cell.threads, _fixed_fourth(cell))
            lines.setdefault(key, []).append(cell)
    result = []
    for (program, backend, threads, fourth), cells in sorted(
            lines.items(), key=lambda item: (*item[0][:3], item[0][3] or 0)):
        reference = (SEQUENTIAL_REFERENCE if any(c.vs_sequential is not None for c in cells)
                     else OWN_REFERENCE)
        points = sorted((c.n, speedup_of(c, reference)) for c in cells
                        if speedup_of(c, reference)[0] is not None)
        if not points:
            continue
        words = [verdict(low, high, margin) for _, (_, low, high) in points]
        start = len(points)
        while start > 0 and words[start - 1] == FASTER:
            start -= 1
        # The bracket's lower end: the largest size below the sizes that pay
        # decided not to; those between are undecided, or pay where a larger
        # one is undecided or does not.
        end = start
        while end > 0 and words[end - 1] in (UNDECIDED, FASTER):
            end -= 1
        between = [(n, word) for (n, _), word in zip(points[end:start], words[end:start])]
        workload = cells[0].workload
        entry = Crossover(program, backend, threads, fourth, NEVER, reference,
                          sizes=[n for n, _ in points],
                          undecided=[n for n, word in between if word == UNDECIDED],
                          faster=[n for n, word in between if word == FASTER])
        if backend == PARALLEL_MODE and workload is not None:
            entry.threshold, entry.setting = workload.parallel_min_n, workload.parallel_setting
        if start < len(points):
            entry.found = FROM if start else SMALLEST
            entry.at, entry.at_speedup = points[start]
        if end > 0:
            entry.below, entry.below_speedup = points[end - 1]
        result.append(entry)
    return result


def wide(entry: Crossover, factor: float = NARROW) -> bool:
    """Whether a crossover's bracket spans more than `factor` (a size between
    its ends would narrow it)."""
    return entry.found == FROM and entry.below is not None and entry.at > factor * entry.below
