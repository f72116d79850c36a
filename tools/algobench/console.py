"""What a person sees of a sweep on the terminal: views of the sweep's events.

Progress goes to standard error: on a terminal one line rewritten in place
(cells done of total, the cell running, the time left), otherwise one line per
finished cell. Warnings, failures and the steps after the cells are printed
there too; the summary table goes to standard output at the end.
"""

from __future__ import annotations

import sys
import time
from typing import TextIO

from . import sweep
from .export import summary
from .runner import Options
from .matrix import Cell

# Names of the steps after the cells, as the messages say them.
STEP_NAMES = {"bandwidth": "the bandwidth probe", "plots": "drawing the plots"}


def _weight(cell: Cell, options: Options) -> float:
    """A rough cost in seconds: process start, array set-up growing with n, and
    the timed loops of the calibrated programs."""
    per_process = 0.03 + 4e-8 * cell.n
    loop = options.min_time if cell.workload.calibrated else 0.0
    return (options.samples + 1) * per_process + options.samples * loop


class Console:
    """Listens to a sweep and writes what it hears to the terminal."""

    def __init__(self, stdout: TextIO | None = None, stderr: TextIO | None = None) -> None:
        self.stdout = stdout or sys.stdout
        self.stderr = stderr or sys.stderr
        self._live = self.stderr.isatty()
        self._weights: list[float] = []
        self._done = 0
        self._start = self._cell_start = time.monotonic()

    def __call__(self, event: object) -> None:
        handler = getattr(self, f"_on_{type(event).__name__}", None)
        if handler is not None:
            handler(event)

    def _left(self) -> str:
        elapsed = time.monotonic() - self._start
        done = sum(self._weights[:self._done])
        if done <= 0:
            return "?"
        seconds = round(elapsed * sum(self._weights[self._done:]) / done)
        return f"{seconds // 60}:{seconds % 60:02d}"

    def _clear(self) -> None:
        if self._live:
            self.stderr.write("\r\033[K")
            self.stderr.flush()

    def _say(self, text: str) -> None:
        self._clear()
        self.stderr.write(text)
        self.stderr.flush()

    def _on_RunStarted(self, event: sweep.RunStarted) -> None:
        self._weights = [_weight(c, event.options) for c in event.cells]
        self._done = 0
        self._start = self._cell_start = time.monotonic()

    def _on_CellStarted(self, event: sweep.CellStarted) -> None:
        self._cell_start = time.monotonic()
        if self._live:
            self.stderr.write(f"\r\033[K[{self._done}/{len(self._weights)}] {event.cell.name}  "
                              f"~{self._left()} left")
            self.stderr.flush()

    def _on_CellDone(self, event: sweep.CellDone) -> None:
        record = event.result
        if record.failure:
            text = f"FAILED {record.name}: {record.failure}\n"
            if event.failed_process is not None:
                text += event.failed_process.describe() + "\n"
            self._say(text)
        self._done += 1
        if self._live:
            return
        median = record.stats.median if record.stats is not None else None
        figure = f"median {median:.6g} s" if median is not None else "no samples"
        took = time.monotonic() - self._cell_start
        self.stderr.write(f"[{self._done}/{len(self._weights)}] {record.name} {record.status}, "
                          f"{figure}, {event.processes} processes in {took:.1f} s, "
                          f"~{self._left()} left\n")
        self.stderr.flush()

    def _on_Warned(self, event: sweep.Warned) -> None:
        self._say(f"warning: {event.message}\n")

    def _on_StepStarted(self, event: sweep.StepStarted) -> None:
        if event.step == "bandwidth":
            self._say("measuring memory bandwidth ...\n")

    def _on_StepFailed(self, event: sweep.StepFailed) -> None:
        self._say(f"error: {STEP_NAMES.get(event.step, event.step)} failed: {event.error!r}\n")

    def _on_Interrupted(self, event: sweep.Interrupted) -> None:
        if event.after_cells:
            self._say("interrupted after the cells: their results are kept\n")
        else:
            self._say("interrupted: the results so far are kept\n")

    def _on_RunFinished(self, event: sweep.RunFinished) -> None:
        self._clear()
        self.stdout.write(summary.render_markdown(event.run))
        self.stdout.flush()
        if event.failed:
            self.stderr.write(f"{len(event.failed)} cell(s) failed: {', '.join(event.failed)}\n")
        self.stderr.write(f"results in {event.out_dir}\n")
        self.stderr.flush()


def print_plan(planned: list[sweep.PlannedCell], options: Options,
               stdout: TextIO | None = None) -> None:
    """A dry run: every cell with the exact commands its processes would run."""
    stdout = stdout or sys.stdout
    for item in planned:
        env = " ".join(f"{k}={v}" for k, v in item.env.items())
        prefix = env + " " if env else ""
        stdout.write(f"{item.cell.name}\n  warm-up:  {prefix}{' '.join(item.warm_up)}\n")
        if item.calibrated:
            stdout.write(f"  samples:  {options.samples} x {prefix}{' '.join(item.sample)}"
                         f"   (repetitions: enough for {options.min_time:g} s at the warm-up's pace)\n")
        else:
            stdout.write(f"  samples:  {options.samples} x {prefix}{' '.join(item.sample)}\n")
    stdout.write(f"{len(planned)} cells\n")
