"""What the results store (store.py) keeps of a run and of its cells: a run's
identity and status, the row `./suite history` lists, and the rows a run and
its cells are written as. A cell's figure is the one of its run's metric:
whatever the metric, its median sits in the cells' median column (with the
interval of that median where the figure moves from process to process), so
a new metric needs no column of its own.
"""

from __future__ import annotations

import dataclasses
import datetime
import hashlib
import json
import pathlib

from .. import model
from ..judge.derive import median_count, median_figure

RUNNING, COMPLETE, INTERRUPTED, FAILED = "running", "complete", "interrupted", "failed"

@dataclasses.dataclass
class RunRow:
    """One run as `./suite history` lists it."""

    id: int
    date: str | None
    host: str | None
    cpu: str | None
    compiler: str | None          # compiler and version, "GNU 12.2.0"
    library: str | None           # libstdc++ version
    commit: str | None
    dirty: bool | None            # the tree had changes to tracked files
    backends: list[str]
    completed_cells: int
    planned_cells: int | None
    status: str                   # running, complete, interrupted or failed
    folder: str | None
    build: str | None = None      # "A" or "B" in an A/B run
    paired_with: int | None = None  # the id of the A/B run's other build
    metric: str = "time"          # what the run measured: time or instructions


def run_identity(run: model.Run, build: str | None = None) -> str:
    """What makes two registrations the same run: the run id a sweep writes into
    the context when it starts (`run:<hex>`); for a results.json without one
    (written before run ids), a SHA-256 of its context and its cells' samples
    (`sha256:<hex>`), which a rewrite by `./suite report` does not change, and
    of `build` ("A" or "B") for a build's folder of an A/B run (the two builds
    of an A/B run of one build against itself can be alike in both)."""
    if run.context.run_id:
        return f"run:{run.context.run_id}"
    content = {"context": run.context.to_dict(),
               "cells": [[c.program, c.backend, c.n, c.threads, c.fourth, c.times]
                         for c in run.cells]}
    if build:
        content["build"] = build
    text = json.dumps(content, sort_keys=True, default=str)
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def build_of(folder: pathlib.Path | str | None) -> str | None:
    """"A" or "B" when `folder` is that build's folder of an A/B results folder."""
    if folder is None:
        return None
    folder = pathlib.Path(folder)
    other = {"A": "B", "B": "A"}.get(folder.name)
    if other is None or not (folder.parent / other / model.RESULTS_FILE).exists():
        return None
    return folder.name


def _samples_wanted(run: model.Run) -> int | None:
    if run.metric.exact:
        return run.metric.planned(run.context)
    samples = run.context.samples
    return samples if isinstance(samples, int) and samples > 0 else None


def completed_cells(run: model.Run) -> int:
    """Cells that ran and have all their samples (every cell that ran, once a run is over)."""
    wanted = _samples_wanted(run)
    return sum(cell.ok and (wanted is None or run.measured(cell) >= wanted)
               for cell in run.cells)


def content_status(run: model.Run) -> str:
    """A finished run's status as its results tell it: interrupted when it was cut
    short or lacks planned cells or samples, failed when a cell failed."""
    wanted = _samples_wanted(run)
    short = (run.planned_cells is not None and len(run.cells) < run.planned_cells) or any(
        cell.ok and wanted is not None and run.measured(cell) < wanted for cell in run.cells)
    if run.interrupted or short:
        return INTERRUPTED
    if any(cell.status == "failed" for cell in run.cells):
        return FAILED
    return COMPLETE


def final_status(run: model.Run, exit_status: int) -> str:
    """A run's status once the sweep that made it has ended with `exit_status`."""
    if exit_status == 130 or run.interrupted:
        return INTERRUPTED
    if exit_status != 0 or any(cell.status == "failed" for cell in run.cells):
        return FAILED
    return COMPLETE


def _sort_date(date: str | None) -> str:
    """The run's date in UTC, so that dates of other time zones sort right ("" first)."""
    if not date:
        return ""
    try:
        moment = datetime.datetime.fromisoformat(date)
    except ValueError:
        return date
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return moment.isoformat()


def timestamp() -> str:
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def cell_row(position: int, cell: model.CellResult, metric) -> tuple:
    """A cell's row: its figure of the run's `metric` in median, low and high."""
    return (position, cell.name, cell.program, cell.backend, cell.n, cell.threads, cell.fourth,
            cell.status, len(cell.samples), *median_figure(cell, metric), cell.speedup,
            cell.speedup_low, cell.speedup_high, median_count(cell), cell.work_ratio)


CELL_COLUMNS = ("position", "name", "program", "backend", "n", "threads", "fourth", "status",
                "samples", "median", "low", "high", "speedup", "speedup_low", "speedup_high",
                "instructions", "work_ratio")
RUN_COLUMNS = ("status", "date", "sort_date", "host", "cpu_model", "compiler",
               "compiler_version", "libstdcxx_version", "git_commit", "git_dirty", "backends",
               "planned_cells", "completed_cells", "results", "metric")


def run_row(run: model.Run, status: str) -> tuple:
    context = run.context
    try:
        results = json.dumps(run.to_dict(), allow_nan=False, separators=(",", ":"))
    except ValueError:
        raise model.ResultsError("the run holds a figure that is not a finite number") from None
    dirty = None if context.git_dirty is None else int(bool(context.git_dirty))
    backends = ",".join(sorted({cell.backend for cell in run.cells}))
    return (status, context.date, _sort_date(context.date), context.host, context.cpu_model,
            context.compiler, context.compiler_version, context.libstdcxx_version,
            context.git_commit, dirty, backends, run.planned_cells, completed_cells(run), results,
            context.metric)


def cell_label(name: str, fourth: int | None) -> str:
    """The label `compare` gives a cell of this name and fourth argument."""
    return model.CellResult(name=name, program="", n=0, threads=1, fourth=fourth).label
