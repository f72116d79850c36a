"""`run --refine`: sizes between the ends of each crossover's bracket, measured
until every bracket is within a factor of 2 or the time budget is spent.

After the sweep's cells, the run is derived and its crossovers read
(judge/crossover.py); every bracket wider than crossover.NARROW gets the size
the plan puts between its ends (matrix.between: near their geometric mean, a
number a person would write), with the cells that judge it (matrix.refinement:
the parallel cell and its references). The sampler measures those cells as it
measured the others, in a pass of their own, into the same runs and files;
then the crossovers are read again. A pass starts only when its estimate
(the seconds per cell of the last pass, the sweep's own for the first) fits
in what is left of the budget.
"""

from __future__ import annotations

import time

from ..judge import crossover
from ..judge.derive import derive
from ..plan import matrix
from ..plan.workload import WORKLOADS
from .sweep_events import Refined, Refining

# Why the refinement ended.
NARROW = "narrow"      # every bracket within crossover.NARROW
BUDGET = "budget"      # the next pass would not fit in the budget
NO_SIZE = "no size"    # the wide brackets have no whole size left between their ends


def refine(sweep, budget: float, per_cell: float) -> None:
    """Passes of the sweep's sampler over the sizes the crossovers' wide brackets
    ask for, within `budget` seconds; `per_cell` is what a cell has taken so far."""
    run = next(iter(sweep.runs.values()))
    spent, planned = 0.0, list(sweep.cells)
    while True:
        wide, cells = _wanted(derive(run))
        if not cells:
            why = NARROW if not wide else NO_SIZE
            break
        if spent + per_cell * len(cells) > budget:
            why = BUDGET
            break
        sweep.emit(Refining(tuple(dict.fromkeys(f"{c.program}/n:{c.n}" for c in cells)),
                            len(wide)))
        start = time.monotonic()
        for each in sweep.runs.values():
            each.planned_cells = (each.planned_cells or 0) + len(cells)
        _pass(sweep, cells)
        planned += cells
        took = time.monotonic() - start
        spent += took
        per_cell = took / len(cells)
    sweep.cells = planned
    programs = list(WORKLOADS)
    for each in sweep.runs.values():
        # The added cells take their places among the others: by program, then size.
        each.cells.sort(key=lambda c: (programs.index(c.program) if c.program in programs
                                       else len(programs), c.n))
    sweep.emit(Refined(len(wide), why, spent, budget))


def _pass(sweep, cells: list[matrix.Cell]) -> None:
    """The sampler's pass over `cells` alone: the program sizes measured before
    are neither calibrated nor given rounds again, and what was said of the
    machine as the sweep started is not said again."""
    sweep.cells = cells
    groups = getattr(sweep.sampler, "groups", None)
    if groups is not None:
        sweep.sampler.groups = []
    sweep.warn = lambda message: None
    try:
        sweep.sampler.measure()
    finally:
        del sweep.warn
        if groups is not None:
            sweep.sampler.groups = groups + sweep.sampler.groups


def _wanted(run) -> tuple[list, list[matrix.Cell]]:
    """The crossovers whose brackets are wide, and the cells not yet measured
    that a size between their ends needs."""
    known = {(c.program, c.n, c.threads, c.backend) for c in run.cells}
    wide = [entry for entry in run.crossovers if crossover.wide(entry)]
    cells: list[matrix.Cell] = []
    for entry in wide:
        n = matrix.between(entry.below, entry.at)
        if n is None:
            continue
        for cell in matrix.refinement(entry.program, entry.backend, entry.threads, n,
                                      entry.reference == crossover.SEQUENTIAL_REFERENCE):
            if (cell.program, cell.n, cell.threads, cell.backend) not in known \
                    and cell not in cells:
                cells.append(cell)
    return wide, cells
