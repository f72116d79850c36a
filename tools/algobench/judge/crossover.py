"""Where going parallel starts to pay: for each program, backend and thread
count, the smallest measured size from which the parallel call is decided
faster than its reference, bracketed by the largest size below it where it
is not.

The reference is the sequential build at one thread where the run measured
one (the cell's `vs_sequential`), otherwise the same backend at one thread
(its `speedup`); `reference` names which. A size counts as paying off only
when it and every larger size measured are decided faster (verdict.py), so a
call that pays at 10^5 and loses its speedup at 10^7 to the memory bus has no
crossover in the sizes measured.
"""

from __future__ import annotations

import dataclasses

from ..model import CellResult, Run
from .verdict import DEFAULT_MARGIN, FASTER, verdict

# What a crossover found.
FROM = "from"            # pays off from `at`, not at `below`
SMALLEST = "smallest"    # already at the smallest size measured
NEVER = "never"          # not in the sizes measured
SEQUENTIAL_REFERENCE = "sequential build"
OWN_REFERENCE = "1 thread"


@dataclasses.dataclass
class Crossover:
    program: str
    backend: str
    threads: int
    fourth: int | None
    found: str                    # FROM, SMALLEST or NEVER
    reference: str                # SEQUENTIAL_REFERENCE or OWN_REFERENCE
    at: int | None = None         # the smallest n from which it pays
    below: int | None = None      # the largest n under `at` where it does not
    at_speedup: tuple[float | None, float | None, float | None] | None = None
    below_speedup: tuple[float | None, float | None, float | None] | None = None
    sizes: list[int] = dataclasses.field(default_factory=list)

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)


def speedup_of(cell: CellResult, reference: str) -> tuple[float | None, float | None, float | None]:
    """The cell's (median, low, high) speedup over `reference`."""
    if reference == SEQUENTIAL_REFERENCE:
        return cell.vs_sequential, cell.vs_sequential_low, cell.vs_sequential_high
    return cell.speedup, cell.speedup_low, cell.speedup_high


def crossovers(run: Run, margin: float = DEFAULT_MARGIN) -> list[Crossover]:
    """One Crossover per program, backend, fourth argument and thread count
    above 1 with a speedup at two or more sizes, from a derived run."""
    lines: dict[tuple, list[CellResult]] = {}
    for cell in run.cells:
        if cell.threads > 1 and cell.ok and cell.n > 0 and cell.median is not None:
            lines.setdefault((cell.program, cell.backend, cell.fourth, cell.threads), []).append(cell)
    result = []
    for (program, backend, fourth, threads), cells in sorted(
            lines.items(), key=lambda item: (item[0][0], item[0][1], item[0][2] or 0, item[0][3])):
        cells.sort(key=lambda c: c.n)
        reference = (SEQUENTIAL_REFERENCE if any(c.vs_sequential is not None for c in cells)
                     else OWN_REFERENCE)
        figures = [speedup_of(c, reference) for c in cells]
        if sum(f[0] is not None for f in figures) < 2:
            continue
        pays = [verdict(low, high, margin) == FASTER for _, low, high in figures]
        start = len(cells)
        while start > 0 and pays[start - 1]:
            start -= 1
        entry = Crossover(program, backend, threads, fourth, NEVER, reference,
                          sizes=[c.n for c in cells])
        if start == 0:
            entry.found, entry.at, entry.at_speedup = SMALLEST, cells[0].n, figures[0]
        elif start < len(cells):
            entry.found = FROM
            entry.at, entry.at_speedup = cells[start].n, figures[start]
            entry.below, entry.below_speedup = cells[start - 1].n, figures[start - 1]
        else:
            entry.below, entry.below_speedup = cells[-1].n, figures[-1]
        result.append(entry)
    return result
