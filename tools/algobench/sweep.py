"""A whole sweep: every cell in turn, the files rewritten after each, then the
bandwidth probe, the plots and the summary."""

from __future__ import annotations

import datetime
import importlib
import pathlib
import sys
import time
from typing import TextIO

from . import bandwidth, export, machine, stats, summary
from .matrix import Cell
from .output import PROGRAMS
from .runner import Options, ResultLedger, command, env_changes, measure
from .workload import WORKLOADS

DEFAULT_CV_THRESHOLD = 0.05
# Above this share of a calibrated cell's figure, the first call's extra cost
# is worth a warning.
FIRST_CALL_SHARE_THRESHOLD = 0.1


def default_out_dir(root: pathlib.Path) -> pathlib.Path:
    return root / "results" / datetime.datetime.now().strftime("%Y%m%d-%H%M%S")


class Progress:
    """Cells done of total, the current cell and the time left: one line
    rewritten in place on a terminal, one line per finished cell otherwise."""

    def __init__(self, cells: list[Cell], options: Options, stream: TextIO) -> None:
        self._stream = stream
        self._live = stream.isatty()
        self._weights = [self._weight(c, options) for c in cells]
        self._total = len(cells)
        self._done = 0
        self._start = self._cell_start = time.monotonic()

    @staticmethod
    def _weight(cell: Cell, options: Options) -> float:
        # A rough cost in seconds: process start, array set-up growing with n,
        # and the timed loops of the calibrated programs.
        per_process = 0.03 + 4e-8 * cell.n
        loop = options.min_time if WORKLOADS[cell.program].calibrated else 0.0
        return (options.samples + 1) * per_process + options.samples * loop

    def _left(self) -> str:
        elapsed = time.monotonic() - self._start
        done = sum(self._weights[:self._done])
        if done <= 0:
            return "?"
        seconds = round(elapsed * sum(self._weights[self._done:]) / done)
        return f"{seconds // 60}:{seconds % 60:02d}"

    def clear(self) -> None:
        if self._live:
            self._stream.write("\r\033[K")
            self._stream.flush()

    def starting(self, cell: Cell) -> None:
        self._cell_start = time.monotonic()
        if self._live:
            self._stream.write(f"\r\033[K[{self._done}/{self._total}] {cell.name}  "
                               f"~{self._left()} left")
            self._stream.flush()

    def finished(self, record: dict, processes: int) -> None:
        self._done += 1
        if self._live:
            return
        cell_stats = stats.describe(record["samples"])
        figure = (f"median {cell_stats['median']:.6g} s" if cell_stats else "no samples")
        took = time.monotonic() - self._cell_start
        self._stream.write(f"[{self._done}/{self._total}] {record['name']} {record['status']}, "
                           f"{figure}, {processes} processes in {took:.1f} s, "
                           f"~{self._left()} left\n")
        self._stream.flush()


def cell_warnings(results: dict, cv_threshold: float) -> list[str]:
    """What the measured cells say about the quality of their own figures."""
    warnings = []
    sequential_despite_threads = set()
    for cell in results["cells"]:
        if cell["status"] != "ok":
            continue
        workload = WORKLOADS[cell["program"]]
        cv = (cell["stats"] or {}).get("cv")
        if cv is not None and cv > cv_threshold:
            remedies = "more samples (--samples)"
            if workload.calibrated:
                remedies += ", a longer timed loop (--min-time)"
            if PROGRAMS[cell["program"]].parallel and cell["threads"] > 1:
                remedies += ", pinned threads (--pin)"
            warnings.append(f"{cell['name']}: samples vary by {cv * 100:.1f}% (CV above "
                            f"{cv_threshold * 100:g}%): use {remedies} or a quieter machine")
        share = cell.get("first_call_share")
        if share is not None and share > FIRST_CALL_SHARE_THRESHOLD:
            # min-time that brings the first call's share down to the threshold
            excess = cell["first_call_excess"]
            needed = excess * (1 - FIRST_CALL_SHARE_THRESHOLD) / FIRST_CALL_SHARE_THRESHOLD
            warnings.append(
                f"{cell['name']}: the first call in each process costs {excess * 1e3:.3g} ms more "
                f"than a later one (memory touched for the first time, the thread team started), "
                f"{share * 100:.0f}% of the reported time at {cell['repetitions']} "
                f"repetition(s): use --min-time {needed:.2g} or more, or --hugepages, for a "
                "figure of the steady call")
        if not PROGRAMS[cell["program"]].parallel or cell["threads"] < 2:
            continue
        if workload.parallel_min_n is None:
            sequential_despite_threads.add(cell["program"])
        elif cell["n"] >= workload.parallel_min_n and cell["speedup"] is not None \
                and cell["speedup"] <= 1.0:
            warnings.append(
                f"{cell['name']}: no speedup ({cell['speedup']:.2f}x the 1-thread median) "
                f"although libstdc++'s parallel mode runs {cell['program']} on the OpenMP team "
                f"from n = {workload.parallel_min_n}: at this size {cell['threads']} threads are "
                "no faster than one")
    for program in sorted(sequential_despite_threads):
        warnings.append(f"{program}: libstdc++'s parallel mode has no parallel {program}; every "
                        "thread count runs the same sequential call, so no speedup is expected")
    return warnings


def _import_plots():
    """algobench.plots, or None while it does not exist."""
    try:
        return importlib.import_module("algobench.plots")
    except ModuleNotFoundError as error:
        if error.name == "algobench.plots":
            return None
        raise


class Sweep:
    def __init__(self, cells: list[Cell], options: Options, out_dir: pathlib.Path,
                 command_line: list[str], probe_bandwidth: bool = True, draw_plots: bool = True,
                 cv_threshold: float = DEFAULT_CV_THRESHOLD,
                 stdout: TextIO | None = None, stderr: TextIO | None = None) -> None:
        self.cells = cells
        self.options = options
        self.out_dir = pathlib.Path(out_dir)
        self.probe_bandwidth = probe_bandwidth
        self.draw_plots = draw_plots
        self.cv_threshold = cv_threshold
        self.stdout = stdout or sys.stdout
        self.stderr = stderr or sys.stderr
        self.thread_counts = sorted({c.threads for c in cells})
        self.results = {
            "schema_version": 1,
            "context": machine.collect(options.bin_dir, command_line, options.pin,
                                       options.hugepages, options.samples, options.min_time),
            "cells": [],
        }
        self._warned: list[str] = []
        self.progress = Progress(cells, options, self.stderr)

    def warn(self, message: str) -> None:
        if message in self._warned:
            return
        self._warned.append(message)
        self.results["context"]["warnings"] = list(self._warned)
        self.progress.clear()
        self.stderr.write(f"warning: {message}\n")
        self.stderr.flush()

    def _write(self) -> None:
        stats.derive(self.results["cells"])
        summary.fill_bandwidth_shares(self.results)
        export.write_results(self.out_dir, self.results)
        summary.write_summary_files(self.out_dir, self.results)

    def _report_failure(self, record: dict, process) -> None:
        text = f"FAILED {record['name']}: {record['failure']}\n"
        if process is not None:
            text += process.describe() + "\n"
        self.progress.clear()
        self.stderr.write(text)
        self.stderr.flush()
        with open(self.out_dir / "failures.log", "a", encoding="utf-8") as log:
            log.write(text + "\n")

    def run(self) -> int:
        self.out_dir.mkdir(parents=True, exist_ok=True)
        for message in machine.machine_warnings(self.results["context"], self.thread_counts):
            self.warn(message)
        samples = export.SampleLog(self.out_dir / "samples.csv")
        ledger = ResultLedger()
        interrupted = False

        try:
            self._write()
            for cell in self.cells:
                self.progress.starting(cell)
                outcome = measure(cell, self.options, ledger)
                for index, report in enumerate(outcome.samples):
                    samples.append(cell.name, cell.program, cell.n, cell.threads,
                                   outcome.repetitions, cell.fourth, index, report)
                record = outcome.record()
                self.results["cells"].append(record)
                self._write()
                if outcome.interrupted:
                    interrupted = True
                    break
                if record["failure"]:
                    self._report_failure(record, outcome.failed_process)
                self.progress.finished(record, outcome.processes)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            samples.close()
        self.progress.clear()
        status = 0
        if interrupted:
            self.stderr.write("interrupted: the results so far are kept\n")
            self._write()
            status = 130
        else:
            try:
                status = self._after_cells()
            except KeyboardInterrupt:
                self.stderr.write("interrupted after the cells: their results are kept\n")
                status = 130
        for message in cell_warnings(self.results, self.cv_threshold):
            self.warn(message)
        self._write()
        self.stdout.write(summary.render_markdown(self.results))
        failed = [c["name"] for c in self.results["cells"] if c["status"] != "ok"]
        if failed:
            self.stderr.write(f"{len(failed)} cell(s) failed: {', '.join(failed)}\n")
            status = status or 1
        self.stderr.write(f"results in {self.out_dir}\n")
        self.stderr.flush()
        return status

    def _after_cells(self) -> int:
        """The bandwidth probe and the plots, once every cell has run."""
        status = 0
        if self.probe_bandwidth:
            self.stderr.write("measuring memory bandwidth ...\n")
            self.stderr.flush()
            try:
                measured = bandwidth.measure(self.options.bin_dir, self.thread_counts)
            except Exception as error:  # the probe's failure must not cost the sweep
                self.stderr.write(f"error: the bandwidth probe failed: {error!r}\n")
                status = 1
            else:
                self.results["bandwidth"] = {str(t): dict(v) for t, v in measured.items()}
        self._write()
        plots = _import_plots() if self.draw_plots else None
        draw = getattr(plots, "draw", None) if plots is not None else None
        if draw is not None:
            try:
                draw(self.out_dir, self.results)
            except Exception as error:  # the files above are written; say what failed
                self.stderr.write(f"error: drawing the plots failed: {error!r}\n")
                status = 1
        return status


def dry_run(cells: list[Cell], options: Options, stdout: TextIO | None = None) -> int:
    """Lists every cell with the exact commands its processes would run."""
    stdout = stdout or sys.stdout
    for cell in cells:
        workload = WORKLOADS[cell.program]
        env = " ".join(f"{k}={v}" for k, v in env_changes(cell, options).items())
        prefix = env + " " if env else ""
        warm = " ".join(command(cell, options.bin_dir, 1))
        stdout.write(f"{cell.name}\n  warm-up:  {prefix}{warm}\n")
        if workload.calibrated:
            sample = command(cell, options.bin_dir, 0)
            sample[3] = "<repetitions>"
            stdout.write(f"  samples:  {options.samples} x {prefix}{' '.join(sample)}"
                         f"   (repetitions: enough for {options.min_time:g} s at the warm-up's pace)\n")
        else:
            stdout.write(f"  samples:  {options.samples} x {prefix}{warm}\n")
    stdout.write(f"{len(cells)} cells\n")
    return 0
