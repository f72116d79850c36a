"""The results store's contents for a person (aligned text) or a script (JSON):
the runs it holds, and cells followed across runs (`./suite history`)."""

from __future__ import annotations

import dataclasses

from ..files import dump_json
from .units import format_seconds

COMMIT_DIGITS = 12


def _table(rows: list[list[str]], left: set[int]) -> list[str]:
    """Rows aligned in columns (words to the left, figures to the right), a rule
    under the first."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for number, row in enumerate(rows):
        cells = [text.ljust(widths[i]) if i in left else text.rjust(widths[i])
                 for i, text in enumerate(row)]
        lines.append("  ".join(cells).rstrip())
        if number == 0:
            lines.append("  ".join("-" * w for w in widths))
    return lines


def _commit(commit: str | None, dirty: bool | None = None) -> str:
    if not commit:
        return ""
    return commit[:COMMIT_DIGITS] + ("-dirty" if dirty else "")


def _cells(row) -> str:
    planned = "?" if row.planned_cells is None else str(row.planned_cells)
    return f"{row.completed_cells}/{planned}"


RUN_HEADER = ["run", "date", "host", "CPU", "compiler", "libstdc++", "commit", "backends",
              "cells", "status", "A/B"]


def _pair(row) -> str:
    if row.build is None:
        return ""
    other = "B" if row.build == "A" else "A"
    return f"{row.build} ({other}: @{row.paired_with})"


def render_runs(rows: list) -> str:
    """The runs of a store, one line each, in the order given (newest first)."""
    if not rows:
        return "No runs in the store.\n"
    table = [RUN_HEADER] + [
        [f"@{row.id}", row.date or "", row.host or "", row.cpu or "", row.compiler or "",
         row.library or "", _commit(row.commit, row.dirty), ",".join(row.backends),
         _cells(row), row.status, _pair(row)]
        for row in rows]
    return "\n".join(_table(table, left={1, 2, 3, 4, 5, 6, 7, 9, 10})) + "\n"


def runs_json(rows: list, store: str) -> str:
    return dump_json({"store": store, "runs": [dataclasses.asdict(row) for row in rows]})


POINT_HEADER = ["run", "date", "commit", "median", "interval", "change"]


def _change(before: dict | None, point: dict) -> str:
    if before is None or not before["median"] > 0:
        return ""
    text = f"{(point['median'] / before['median'] - 1) * 100:+.1f}%"
    return text + (" *" if point["changed"] else "")


def render_history(series: list[dict], rule: str) -> str:
    """Each cell's median time per call over the runs, on each machine, with the
    points marked `*` that changed by more than the noise (`rule` says how)."""
    out = []
    for entry in series:
        out.append(f"{entry['cell']} on {entry['machine'] or 'an unknown host'}")
        points = entry["points"]
        rows = [POINT_HEADER] + [
            [f"@{point['run_id']}", point["date"] or "", _commit(point["commit"]),
             format_seconds(point["median"]),
             f"{format_seconds(point['low'])} .. {format_seconds(point['high'])}"
             if point["low"] is not None else "",
             _change(before, point)]
            for before, point in zip([None] + points, points)]
        out += ["  " + line for line in _table(rows, left={0, 1, 2})]
        out.append("")
    out.append("median: median time per call; interval: the distribution-free interval of "
               "that median (95% where the run's samples allow it, else their smallest to "
               f"largest); change: against the machine's previous run; *: {rule}.")
    return "\n".join(out) + "\n"


def history_json(series: list[dict], store: str, pattern: str, machine: str | None,
                 rule: str) -> str:
    return dump_json({"store": store, "pattern": pattern, "machine": machine,
                      "change_rule": rule, "cells": series})
