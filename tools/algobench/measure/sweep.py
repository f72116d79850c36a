"""One sweep of cells for every metric: the results folder and its files, the
events its listeners hear, the failure log, an interrupt, and the steps after
the cells. How a cell is measured is the metric's sampler's (`SAMPLERS`, by
`Metric.sampler`): timed.py takes processes of calibrated repetitions in
interleaved rounds, counting.py counts instructions under callgrind.

A sampler is a class built from the sweep and the options it is given; the
sweep is the state its parts share (the cells, builds, runs, result ledger,
listeners and files). It has
    options        the options its processes run with
    record(context) what it notes in each build's context
    measure()      every cell of every build; the sweep writes the files after it
    after_cells()  the steps once the cells are done; an exit status
    compare_builds how an A/B run compares its two builds (ab.py)
    plan_lines     what a dry run shows of the cells (a static method)

The sweep writes files but no text: what happens is told to its listeners as
events (sweep_events.py), and the terminal's progress line and messages are
views of them (console.py); the results folder's preparation is in
results_folder.py.
"""

from __future__ import annotations

import pathlib
import time
import uuid

from . import counting, machine, timed
from .. import export
from ..judge.derive import derive
from ..plan import metrics
from ..plan.matrix import Cell
from ..model import Run
from .refine import refine as add_sizes
from .runner import Options, Process, ResultLedger
from ..record.results_folder import FAILURES_LOG
from .sweep_events import (CellFailed, Interrupted, Listener, RunStarted, run_finished, Variant,
                           Warned)

# How a cell is measured, by the metric's sampler.
SAMPLERS = {"timed": timed.Timed, "callgrind": counting.Counting}

__all__ = ["SAMPLERS", "Sweep", "Variant", "plan_lines"]


class Sweep:
    """Every cell of every build measured for `metric`; `settings` are the
    sampler's (timed.Timed's and counting.Counting's arguments)."""

    def __init__(self, cells: list[Cell], options: Options, out_dir: pathlib.Path,
                 command_line: list[str], metric: metrics.Metric = metrics.DEFAULT,
                 listeners: tuple[Listener, ...] = (), variants: list[Variant] | None = None,
                 refine: float | None = None, margin: float | None = None, **settings) -> None:
        self.cells = cells
        # `run --refine`: the seconds the added sizes may take (0: as long as
        # the cells took); None: no sizes are added.
        self.refine = refine
        self.metric = metric
        self.out_dir = pathlib.Path(out_dir)
        self.listeners = listeners
        self.variants = variants or [Variant("", options.bin_dir)]
        self.sampler = SAMPLERS[metric.sampler](self, options, **settings)
        self.options = self.sampler.options
        self.runs: dict[str, Run] = {}
        for variant in self.variants:
            context = machine.collect(variant.bin_dir, command_line, options.pin,
                                      options.hugepages, options.samples, options.min_time)
            context.metric = metric.name
            context.placement = options.placement.context()
            context.run_id = uuid.uuid4().hex
            context.margin = margin  # what its comparisons are judged at
            self.sampler.record(context)
            self.runs[variant.name] = Run(context, planned_cells=len(cells))
        self.ledger = ResultLedger()

    # -- events and files

    def emit(self, event: object) -> None:
        for listener in self.listeners:
            listener(event)

    def warn(self, message: str) -> None:
        first = next(iter(self.runs.values()))
        if message in first.context.warnings:
            return
        for run in self.runs.values():
            run.context.warnings.append(message)
        self.emit(Warned(message))

    def folder(self, variant: Variant) -> pathlib.Path:
        return self.out_dir / variant.name if variant.name else self.out_dir

    def write(self) -> None:
        """Every build's files but the plots (the timed sampler draws them at the end)."""
        for variant in self.variants:
            export.write_all(self.folder(variant), derive(self.runs[variant.name]), final=False)

    def fail(self, record, variant: Variant, stage: str, process: Process) -> None:
        """A cell of one build failed at `stage`: in its record, the failure log and an event."""
        record.status = "failed"
        record.failure = f"{stage}: {process.failure}"
        with open(self.folder(variant) / FAILURES_LOG, "a", encoding="utf-8") as log:
            log.write(f"FAILED {record.name}: {record.failure}\n{process.describe()}\n\n")
        self.emit(CellFailed(record, variant.name, process))

    def run(self) -> int:
        for variant in self.variants:
            self.folder(variant).mkdir(parents=True, exist_ok=True)
        for run in self.runs.values():
            run.in_progress = True
        self.emit(RunStarted(self.cells, self.options, self.variants, self.runs,
                             {v.name: self.folder(v) for v in self.variants}, self.out_dir,
                             metric=self.metric))
        status = 0
        try:
            self.write()
            start = time.monotonic()
            self.sampler.measure()
            if self.refine is not None:
                took = time.monotonic() - start
                add_sizes(self, self.refine or took, took / max(len(self.cells), 1))
        except KeyboardInterrupt:
            for run in self.runs.values():
                run.cut_short(self.options.samples)
            self.emit(Interrupted(after_cells=False))
            self.write()
            status = 130
        else:
            self.write()
            try:
                status = self.sampler.after_cells()
            except KeyboardInterrupt:
                self.emit(Interrupted(after_cells=True))
                status = 130
        first = next(iter(self.runs.values()))
        for run in self.runs.values():
            derive(run)
            # Each build keeps the warnings about its own cells; the first
            # build's are the ones shown.
            run.context.warnings += [f.line for f in run.findings
                                     if f.line not in run.context.warnings]
        for finding in first.findings:
            self.emit(Warned(finding.line))
        for run in self.runs.values():
            run.in_progress = False
        self.write()
        finished = run_finished(self.runs, self.out_dir, status)
        self.emit(finished)
        return finished.status


def plan_lines(cells: list[Cell], options: Options, metric: metrics.Metric) -> list[str]:
    """What a dry run shows: each cell's commands as the metric's sampler would run
    them, nothing run."""
    return SAMPLERS[metric.sampler].plan_lines(cells, options)
