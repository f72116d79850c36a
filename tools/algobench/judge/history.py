"""Cells followed across the stored runs, with the points where they changed.

The store answers which runs measured a cell and what its median and interval
were; whether a point is a change is `compare`'s verdict between the
machine's previous run of the cell and this one, judged against all the
cells the two runs share (for the run-wide shift), so it is worked out here,
above both. `series` returns, per cell whose name matches the regular
expression `pattern` (re.search) and per machine (the context's host), the
cell's figure over the runs in date order:

    {"cell": name, "program": str, "backend": str, "n": int, "threads": int,
     "machine": host, "points": [{"run_id": int, "date": iso str,
     "commit": str | None, "median": float, "low": float | None,
     "high": float | None, "changed": bool}],
     "gaps": [{"run_id": int, "date": iso str, "commit": str | None}]}

`median` is the median time per call in seconds; `low` .. `high` its
distribution-free interval (stats.median_interval: the smallest and largest
sample with few samples); `changed` follows CHANGE_RULE. `gaps` are the
machine's runs between the cell's first and last point that have no figure of
the cell (they did not measure it, or it failed there): a chart breaks its
line there rather than draw it across. A run the store cannot read is left
out (the store's `unreadable` names it), never the whole history refused.
"""

from __future__ import annotations

from . import compare
from .. import model
from ..plan.metrics import TIME, Metric

COUNT_RULE = ("a point is a change when its count lies outside the range of the previous "
              "run's (beyond 0.01% for a cell counted once) by more than either run's own "
              "spread")
CHANGE_RULE = ("a point is a change when `./suite compare` of the machine's previous run "
               "of this cell with this run calls the cell slower or faster: its interval of "
               "B/A, divided by the run-wide shift of all cells the two runs share, lies "
               "wholly beyond the larger of 2% and 3 spreads of those cells")


def change_rule(metric: Metric) -> str:
    """When a point of a cell of `metric` is marked a change, in words."""
    return COUNT_RULE if metric.exact else CHANGE_RULE


def series(store, pattern: str, machine: str | None = None, metric: Metric = TIME) -> list[dict]:
    """Every cell of the store matching `pattern` across runs, per machine, its
    changes marked (see the module's description); of a metric of counts,
    its counts from the runs that counted, a change being a count the previous
    one's range does not hold (count_compare). re.error for a pattern that
    is not a regular expression; store.StoreError when the store cannot be read."""
    found = []
    for entry in store.cell_series(pattern, machine, metric):
        entry["points"] = [p for p in entry["points"] if store.readable(p["run_id"])]
        if entry["points"]:
            found.append(entry)
    # (earlier run, later run) -> the labels of the cells that changed: all cells
    # of two runs are compared once, for the run-wide shift.
    changed: dict[tuple[int, int], set[str]] = {}
    for entry in found:
        points = entry["points"]
        for before, point in zip(points, points[1:]):
            pair = (before["run_id"], point["run_id"])
            if pair not in changed:
                changed[pair] = _changed(store, *pair)
            point["changed"] = entry["label"] in changed[pair]
    for entry in found:
        del entry["label"]
    if found:
        _gaps(found, [run for run in store.runs() if run.id not in store.unreadable])
    return found


def _gaps(found: list[dict], runs: list) -> None:
    """Each entry's "gaps": its machine's runs between its first and last point
    that lack a figure of its cell. `runs` come newest first, as the store lists them."""
    by_machine: dict[str | None, list] = {}
    for run in reversed(runs):
        by_machine.setdefault(run.host, []).append(run)
    for entry in found:
        have = {point["run_id"] for point in entry["points"]}
        machine_runs = by_machine.get(entry["machine"], [])
        inside = [i for i, run in enumerate(machine_runs) if run.id in have]
        between = machine_runs[inside[0]:inside[-1] + 1] if inside else []
        entry["gaps"] = [{"run_id": r.id, "date": r.date, "commit": r.commit}
                         for r in between if r.id not in have]


def _changed(store, earlier: int, later: int) -> set[str]:
    """The labels of the cells `compare` calls changed between two stored runs."""
    try:
        return compare.compare_runs(store.load_run(earlier), store.load_run(later)).changed()
    except (model.ResultsError, compare.MetricMismatch):  # two cells of one key: none
        return set()
