"""The one step that turns measured samples into every figure a run reports.

Statistics of each cell, speedup and efficiency against the same program and
size at one thread, throughput from the workload's bytes per element, and the
share of the measured memory bandwidth. Everything that shows a run (summary,
CSV, JSON, plots, compare) reads these fields and computes none of its own.
"""

from __future__ import annotations

from .model import Run
from .stats import describe, finite, ratio


def derive(run: Run) -> Run:
    """Fills the derived fields of every cell of `run` in place; returns it."""
    for cell in run.cells:
        cell.stats = describe(cell.times) if cell.ok else None
    baselines = {(c.program, c.n, c.fourth): c.median
                 for c in run.cells if c.threads == 1 and c.median is not None}
    for cell in run.cells:
        speedup = ratio(baselines.get((cell.program, cell.n, cell.fourth)), cell.median)
        cell.speedup = speedup
        cell.efficiency = speedup / cell.threads if speedup is not None else None
        cell.items_per_second, cell.bytes_per_second = cell.rates(cell.median)
        cell.bandwidth_share = _bandwidth_share(run, cell)
    return run


def _bandwidth_share(run: Run, cell) -> float | None:
    """The cell's bytes/s over the probe's figure for its thread count and the
    program's reference kernel; None where the program is compute-bound, the
    probe has no such figure, or a rate is missing."""
    workload = cell.workload
    reference = workload.bandwidth_reference if workload is not None else None
    if reference is None or cell.bytes_per_second is None:
        return None
    available = ((run.bandwidth or {}).get(str(cell.threads)) or {}).get(reference)
    if not available:
        return None
    return finite(cell.bytes_per_second / available)
