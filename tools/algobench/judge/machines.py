"""Cells x machines: runs of the same sweep on several machines, side by side.

Every machine's median time of every cell, and its verdict against the
reference machine (the first), each pair judged by `compare.compare` with
its own rules: bootstrap interval of the ratio of medians, noise floor,
samples needed. By default no run-wide shift is removed, since between
machines the shift is what is measured; `relative` removes it, to show the
cells that differ more (or less) than the machine as a whole.

Between machines nearly every cell differs beyond the noise (one machine is
slower), so what is worth marking is a cell that differs beyond its interval
from its machine as a whole: each entry's `apart` says whether the cell's
ratio, divided by the machine's run-wide shift (the median ratio of the
cells), lies wholly beyond the larger of the noise floor and 3 spreads of the
cells; with too few cells for a shift, whether its ratio is clear at all.

`compare_machines` returns plain data (lists of dicts) that any view can draw:
the terminal table, JSON, a page.
"""

from __future__ import annotations

import dataclasses

from . import compare
from ..model import CellResult, Run
from .derive import median_time
from .stats import CONFIDENCE, RESAMPLES, finite

REFERENCE = "reference"


@dataclasses.dataclass
class MachinesView:
    """The machines (the reference first) and one row per cell found in any run."""

    machines: list[dict]
    rows: list[dict]
    relative: bool
    noise: float
    confidence: float


def _standing(cell: CellResult | None) -> str:
    if cell is None:
        return "missing"
    if not cell.ok:
        return f"{cell.status}: {cell.failure or 'no reason given'}"
    if not cell.samples:
        return "no samples"
    return "ok"


def compare_machines(runs: list[tuple[str, Run]], noise: float = compare.NOISE_FLOOR,
                     resamples: int = RESAMPLES, relative: bool = False) -> MachinesView:
    """Each (name, run) against the first. Raises compare.CompareError when a run
    holds the same cell twice."""
    if not runs:
        raise ValueError("no run to compare")
    names = [name for name, _ in runs]
    if len(set(names)) != len(names):
        raise ValueError(f"two runs share a name: {', '.join(names)}")
    reference_name, reference = runs[0]
    cells: dict[tuple, dict[str, CellResult]] = {}
    for name, run in runs:
        seen = set()
        for cell in run.cells:
            if cell.key in seen:
                raise compare.CompareError(f"run {name} has two cells for {cell.label}")
            seen.add(cell.key)
            cells.setdefault(cell.key, {})[name] = cell
    judged: dict[str, dict[str, compare.Matched]] = {}
    drifts: dict[str, compare.Drift | None] = {}
    machines = [_machine(reference_name, reference, None)]
    for name, run in runs[1:]:
        result = compare.compare(reference, run, noise, resamples, drift_correction=relative)
        judged[name] = {m.label: m for m in result.matched}
        drifts[name] = result.drift
        machines.append(_machine(name, run, result))
    rows = []
    for key in sorted(cells, key=compare.key_order):
        present = cells[key]
        first = next(iter(present.values()))
        row = {"cell": first.label, "program": first.program, "backend": first.backend,
               "n": first.n, "threads": first.threads, "fourth": first.fourth, "machines": []}
        for name, _ in runs:
            cell = present.get(name)
            entry = {"machine": name, "median": None, "status": _standing(cell), "ratio": None,
                     "low": None, "high": None, "verdict": None, "apart": False}
            if cell is not None and entry["status"] == "ok":
                entry["median"] = median_time(cell)[0]
            if name == reference_name:
                entry["verdict"] = REFERENCE
            elif first.label in judged[name]:
                matched = judged[name][first.label]
                entry.update(ratio=finite(matched.ratio), low=finite(matched.low),
                             high=finite(matched.high), verdict=matched.verdict,
                             apart=_apart(matched, drifts[name], noise))
            row["machines"].append(entry)
        rows.append(row)
    return MachinesView(machines, rows, relative, noise, CONFIDENCE)


def _apart(matched: compare.Matched, drift: compare.Drift | None, noise: float) -> bool:
    """Whether a cell differs beyond its interval from its machine as a whole (see
    the module's description)."""
    if drift is None or not drift.shift or drift.spread is None:
        return matched.verdict in (compare.SLOWER, compare.FASTER)
    return compare.verdict(matched.low / drift.shift, matched.high / drift.shift,
                           len(matched.samples_a), len(matched.samples_b),
                           compare.clear_threshold(noise, drift.spread)) \
        in (compare.SLOWER, compare.FASTER)


def machines_table(runs: list[tuple[str, Run]], **options) -> list[dict]:
    """The cells x machines table alone: one dict per cell (see compare_machines)."""
    return compare_machines(runs, **options).rows


def _machine(name: str, run: Run, result: compare.Comparison | None) -> dict:
    context = run.context
    entry = {"machine": name, "host": context.get("host"), "cpu_model": context.get("cpu_model"),
             "usable_cpus": context.get("usable_cpus"), "date": context.get("date"),
             "reference": result is None}
    if result is not None:
        drift = result.drift
        entry.update(compared=len(result.matched), geomean=finite(result.geomean),
                     shift=finite(drift.shift) if drift else None,
                     verdicts=result.verdict_counts(),
                     differences=list(result.warnings) + list(result.notes))
    return entry

