"""A whole sweep: every cell in turn, the files rewritten after each, then the
bandwidth probe, the plots and the summary.

The sweep writes files but no text: what happens is told to its listeners as
events (a cell started, a cell finished, a warning, a step that failed), and
the terminal's progress line and messages are views of them (console.py).
"""

from __future__ import annotations

import dataclasses
import datetime
import pathlib
from typing import Callable

from . import bandwidth, export, machine
from .derive import derive
from .findings import DEFAULT_CV_THRESHOLD, cell_warnings, machine_warnings
from .matrix import Cell
from .model import CellResult, Run
from .runner import Options, Process, ResultLedger, command, env_changes, measure


def default_out_dir(root: pathlib.Path) -> pathlib.Path:
    return root / "results" / datetime.datetime.now().strftime("%Y%m%d-%H%M%S")


# The events a sweep emits, in the order they can come.
@dataclasses.dataclass
class RunStarted:
    cells: list[Cell]
    options: Options


@dataclasses.dataclass
class CellStarted:
    cell: Cell
    index: int  # cells finished before this one


@dataclasses.dataclass
class CellDone:
    result: CellResult
    processes: int  # processes run for the cell, discarded ones included
    failed_process: Process | None


@dataclasses.dataclass
class Warned:
    message: str


@dataclasses.dataclass
class StepStarted:
    step: str  # "bandwidth"


@dataclasses.dataclass
class StepFailed:
    step: str  # "bandwidth" or "plots"
    error: Exception


@dataclasses.dataclass
class Interrupted:
    after_cells: bool  # the cells were done, a later step was cut short


@dataclasses.dataclass
class RunFinished:
    run: Run
    out_dir: pathlib.Path
    status: int
    failed: list[str]


Listener = Callable[[object], None]

FAILURES_LOG = "failures.log"


class Sweep:
    def __init__(self, cells: list[Cell], options: Options, out_dir: pathlib.Path,
                 command_line: list[str], probe_bandwidth: bool = True, draw_plots: bool = True,
                 cv_threshold: float = DEFAULT_CV_THRESHOLD,
                 listeners: tuple[Listener, ...] = ()) -> None:
        self.cells = cells
        self.options = options
        self.out_dir = pathlib.Path(out_dir)
        self.probe_bandwidth = probe_bandwidth
        self.draw_plots = draw_plots
        self.cv_threshold = cv_threshold
        self.listeners = listeners
        self.thread_counts = sorted({c.threads for c in cells})
        self.run_data = Run(machine.collect(options.bin_dir, command_line, options.pin,
                                            options.hugepages, options.samples, options.min_time))

    def emit(self, event: object) -> None:
        for listener in self.listeners:
            listener(event)

    def warn(self, message: str) -> None:
        if message in self.run_data.context.warnings:
            return
        self.run_data.context.warnings.append(message)
        self.emit(Warned(message))

    def _write(self, final: bool = False) -> None:
        derive(self.run_data)
        skip = () if self.draw_plots else ("plots",)
        export.write_all(self.out_dir, self.run_data, final=final, skip=skip)

    def _log_failure(self, record: CellResult, process: Process | None) -> None:
        text = f"FAILED {record.name}: {record.failure}\n"
        if process is not None:
            text += process.describe() + "\n"
        with open(self.out_dir / FAILURES_LOG, "a", encoding="utf-8") as log:
            log.write(text + "\n")

    def run(self) -> int:
        self.out_dir.mkdir(parents=True, exist_ok=True)
        self.emit(RunStarted(self.cells, self.options))
        for message in machine_warnings(self.run_data.context, self.thread_counts):
            self.warn(message)
        ledger = ResultLedger()
        interrupted = False
        try:
            self._write()
            for index, cell in enumerate(self.cells):
                self.emit(CellStarted(cell, index))
                outcome = measure(cell, self.options, ledger)
                record = outcome.record()
                self.run_data.cells.append(record)
                self._write()
                if outcome.interrupted:
                    interrupted = True
                    break
                if record.failure:
                    self._log_failure(record, outcome.failed_process)
                self.emit(CellDone(record, outcome.processes, outcome.failed_process))
        except KeyboardInterrupt:
            interrupted = True
        status = 0
        if interrupted:
            self.emit(Interrupted(after_cells=False))
            self._write()
            status = 130
        else:
            try:
                status = self._after_cells()
            except KeyboardInterrupt:
                self.emit(Interrupted(after_cells=True))
                status = 130
        derive(self.run_data)
        for message in cell_warnings(self.run_data, self.cv_threshold):
            self.warn(message)
        self._write()
        failed = [c.name for c in self.run_data.cells if not c.ok]
        if failed:
            status = status or 1
        self.emit(RunFinished(self.run_data, self.out_dir, status, failed))
        return status

    def _after_cells(self) -> int:
        """The bandwidth probe and the plots, once every cell has run."""
        status = 0
        if self.probe_bandwidth:
            self.emit(StepStarted("bandwidth"))
            try:
                measured = bandwidth.measure(self.options.bin_dir, self.thread_counts)
            except Exception as error:  # the probe's failure must not cost the sweep
                self.emit(StepFailed("bandwidth", error))
                status = 1
            else:
                self.run_data.bandwidth = {str(t): dict(v) for t, v in measured.items()}
        self._write()
        if self.draw_plots:
            derive(self.run_data)
            try:
                export.plots.write(self.out_dir, self.run_data)
            except Exception as error:  # the files above are written; say what failed
                self.emit(StepFailed("plots", error))
                status = 1
        return status


@dataclasses.dataclass
class PlannedCell:
    """What a dry run shows of one cell: its commands, nothing run."""

    cell: Cell
    env: dict[str, str]
    warm_up: list[str]
    sample: list[str]  # the repetitions field is "<repetitions>" for calibrated cells
    calibrated: bool


def plan(cells: list[Cell], options: Options) -> list[PlannedCell]:
    planned = []
    for cell in cells:
        calibrated = cell.workload.calibrated
        warm = command(cell, options.bin_dir, 1)
        sample = list(warm)
        if calibrated:
            sample[3] = "<repetitions>"
        planned.append(PlannedCell(cell, env_changes(cell, options), warm, sample, calibrated))
    return planned
