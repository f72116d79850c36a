"""Runs the cells of a sweep: one warm-up process, then independent samples,
every one of them checked before its time counts."""

from __future__ import annotations

import dataclasses
import math
import os
import pathlib
import shlex
import subprocess

from . import output
from .matrix import Cell
from .model import CellResult, Sample

# The most repetitions one process is given (the programs read a 32-bit int).
MAX_REPETITIONS = 1_000_000_000
# The clock the programs read (gettimeofday) ticks in microseconds: a call
# reported as taking 0 s is taken to last at most one tick when calibrating.
CLOCK_TICK = 1e-6
# Aim a little above --min-time so that run-to-run jitter keeps the loop above it.
CALIBRATION_MARGIN = 1.25
# How often a cell may start its samples over with more repetitions.
RECALIBRATIONS = 3
# When the warm-up asks for fewer repetitions than this, one more discarded
# process runs this many, so that the first call's extra cost can be told
# apart from the cost of later calls.
FIRST_CALL_PROBE = 10


@dataclasses.dataclass
class Options:
    bin_dir: pathlib.Path
    samples: int = 5
    min_time: float = 0.05
    timeout: float | None = 120.0
    pin: bool = False
    hugepages: bool = False


class CheckFailed(Exception):
    """A process whose exit status or report is not what the runner expects."""


@dataclasses.dataclass
class Process:
    """One run of a program and what the runner made of it."""

    command: list[str]
    env_changes: dict[str, str]
    returncode: int | None = None
    stdout: str = ""
    stderr: str = ""
    report: output.Report | None = None
    failure: str | None = None

    def describe(self) -> str:
        """The command, the exit status and everything the program printed."""
        prefix = " ".join(f"{k}={shlex.quote(v)}" for k, v in self.env_changes.items())
        lines = [f"$ {(prefix + ' ') if prefix else ''}{shlex.join(self.command)}",
                 f"exit status: {self.returncode}",
                 "stdout:", self.stdout.rstrip("\n") or "(empty)",
                 "stderr:", self.stderr.rstrip("\n") or "(empty)"]
        return "\n".join(lines)


def command(cell: Cell, bin_dir: pathlib.Path, repetitions: int) -> list[str]:
    argv = [str(pathlib.Path(bin_dir) / cell.workload.executable),
            str(cell.n), str(cell.threads), str(repetitions)]
    if cell.fourth is not None:
        argv.append(str(cell.fourth))
    return argv


def env_changes(cell: Cell, options: Options) -> dict[str, str]:
    """What the runner adds to its own environment for this cell's processes."""
    changes = {}
    if options.pin and cell.workload.parallel:
        changes.update(OMP_PROC_BIND="close", OMP_PLACES="cores")
    if options.hugepages:
        tunables = os.environ.get("GLIBC_TUNABLES")
        hugetlb = "glibc.malloc.hugetlb=1"
        changes["GLIBC_TUNABLES"] = f"{tunables}:{hugetlb}" if tunables else hugetlb
    return changes


def check(cell: Cell, repetitions: int, returncode: int, stdout: str) -> output.Report:
    """Checks one process's exit status and report against what was asked of it."""
    if returncode != 0:
        raise CheckFailed(f"exit status {returncode}")
    try:
        report = output.parse_report(cell.workload, stdout)
    except output.ReportError as error:
        raise CheckFailed(f"malformed report: {error}") from None
    if report.threads != cell.threads:
        raise CheckFailed(f"report says {report.threads} threads, {cell.threads} were passed")
    if report.n != cell.n:
        raise CheckFailed(f"report says n = {report.n}, {cell.n} was passed")
    seconds = report.seconds_per_repetition
    if repetitions >= 1 and not math.isfinite(seconds):
        raise CheckFailed(f"time per repetition is {seconds} with {repetitions} repetitions")
    if seconds < 0:
        raise CheckFailed(f"negative time per repetition ({seconds}): the clock stepped back")
    expected = cell.workload.expected_result(cell.n, cell.fourth)
    if expected is not None and report.result != expected:
        raise CheckFailed(f"result line says {report.result}, expected {expected} "
                          f"for n = {cell.n}")
    return report


def run_process(cell: Cell, repetitions: int, options: Options) -> Process:
    changes = env_changes(cell, options)
    process = Process(command(cell, options.bin_dir, repetitions), changes)
    try:
        completed = subprocess.run(process.command, env={**os.environ, **changes},
                                   capture_output=True, text=True, errors="replace",
                                   timeout=options.timeout)
    except subprocess.TimeoutExpired as expired:
        process.stdout = _text(expired.stdout)
        process.stderr = _text(expired.stderr)
        process.failure = f"timed out after {options.timeout:g} s (killed)"
        return process
    except OSError as error:
        process.failure = f"cannot start: {error}"
        return process
    process.returncode = completed.returncode
    process.stdout, process.stderr = completed.stdout, completed.stderr
    try:
        process.report = check(cell, repetitions, completed.returncode, completed.stdout)
    except CheckFailed as failure:
        process.failure = str(failure)
    return process


def _text(data: bytes | str | None) -> str:
    if data is None:
        return ""
    return data if isinstance(data, str) else data.decode(errors="replace")


def calibrated_repetitions(min_time: float, seconds_per_call: float) -> int:
    """Repetitions that make a loop of calls lasting seconds_per_call exceed min_time."""
    per_call = seconds_per_call if seconds_per_call > 0 else CLOCK_TICK
    wanted = math.ceil(CALIBRATION_MARGIN * min_time / per_call)
    return max(1, min(MAX_REPETITIONS, wanted))


def next_repetitions(min_time: float, runs: list[tuple[int, float]]) -> int:
    """More repetitions after a loop fell short of min_time.

    `runs` holds (repetitions, loop seconds) of the cell's processes so far,
    the short one last. A loop costs about F + r * c: a fixed part F (the
    first call pays for cold caches, page faults and starting the OpenMP
    team) and c per call. With two runs at different repetitions the line
    through them gives F and c, and r is chosen so the loop reaches the
    target; otherwise r grows in proportion to the shortfall.
    """
    target = CALIBRATION_MARGIN * min_time
    repetitions, loop = runs[-1]
    wanted = None
    earlier = [run for run in runs[:-1] if run[0] != repetitions]
    if earlier:
        fixed, per_call = first_call_fit(earlier[-1], runs[-1])
        if per_call > 0:
            wanted = repetitions_reaching(target, fixed, per_call)
    if wanted is None:
        wanted = math.ceil(repetitions * target / max(loop, CLOCK_TICK))
    # A loop measured as (nearly) zero says little: grow at most a thousandfold.
    return max(repetitions + 1, min(MAX_REPETITIONS, 1000 * repetitions, wanted))


def first_call_fit(one: tuple[int, float], many: tuple[int, float]) -> tuple[float, float]:
    """(first call's excess, cost of each later call) from two (repetitions, loop seconds) runs:
    the line loop = excess + r * per_call through both."""
    (r0, loop0), (r1, loop1) = one, many
    per_call = (loop1 - loop0) / (r1 - r0)
    return max(loop0 - per_call * r0, 0.0), per_call


def repetitions_reaching(target: float, excess: float, per_call: float) -> int:
    """The fewest repetitions whose loop, excess + r * per_call, lasts `target` (at least 1)."""
    return max(1, min(MAX_REPETITIONS, math.ceil((target - excess) / per_call)))


@dataclasses.dataclass
class CellOutcome:
    cell: Cell
    repetitions: int
    samples: list[output.Report]
    result: int | None
    failure: str | None
    failed_process: Process | None
    processes: int  # how many processes ran, discarded ones included
    interrupted: bool = False
    # What the first call of a process costs beyond a later one (fresh memory
    # touched, the OpenMP team started), when the runner could estimate it.
    first_call_excess: float | None = None
    seconds_per_later_call: float | None = None

    def record(self) -> CellResult:
        """The cell as the results hold it (the derive step fills in the figures)."""
        return CellResult(
            name=self.cell.name, program=self.cell.program, n=self.cell.n,
            threads=self.cell.threads, repetitions=self.repetitions, fourth=self.cell.fourth,
            status="ok" if self.failure is None else "failed", failure=self.failure,
            samples=[Sample(r.seconds_per_repetition, r.allocate_seconds, r.init_seconds,
                            r.result) for r in self.samples],
            result=self.result, first_call_excess=self.first_call_excess,
            first_call_share=self.first_call_share())

    def first_call_share(self) -> float | None:
        """The share of the reported per-repetition time owed to the first call's excess."""
        if self.first_call_excess is None or self.seconds_per_later_call is None:
            return None
        loop = self.first_call_excess + self.repetitions * self.seconds_per_later_call
        return self.first_call_excess / loop if loop > 0 else None


class ResultLedger:
    """Remembers each (program, n, fourth)'s result so that every thread count
    and sample can be held to the first one seen."""

    def __init__(self) -> None:
        self._seen: dict[tuple, tuple[int, str]] = {}

    def check(self, cell: Cell, result: int | None) -> None:
        if result is None:
            return
        key = (cell.program, cell.n, cell.fourth)
        first = self._seen.setdefault(key, (result, cell.name))
        if first[0] != result:
            raise CheckFailed(f"result {result} differs from {first[0]} reported by {first[1]}")


def measure(cell: Cell, options: Options, ledger: ResultLedger) -> CellOutcome:
    """Warm-up, calibration and samples of one cell; stops at the first failed check.

    Calibrated programs: the warm-up runs one call, and the samples get the
    repetitions that make their loop last --min-time at the warm-up's pace.
    A cold single call can overstate the pace of warm ones (the first parallel
    call also starts the OpenMP team), so whenever a sample's loop falls short
    of --min-time the repetitions are recomputed (next_repetitions) and the
    samples start over, at most RECALIBRATIONS times; every kept sample of a
    cell runs with the same repetitions. The other programs run one call per
    process.
    """
    workload = cell.workload
    outcome = CellOutcome(cell, 1, [], None, None, None, 0)

    def attempt(repetitions: int) -> output.Report | None:
        process = run_process(cell, repetitions, options)
        outcome.processes += 1
        if process.failure is None:
            try:
                ledger.check(cell, process.report.result)
            except CheckFailed as failure:
                process.failure = str(failure)
        if process.failure is not None:
            outcome.failure = process.failure
            outcome.failed_process = process
            return None
        outcome.result = process.report.result
        return process.report

    try:
        warm = attempt(1)
        if warm is None:
            outcome.failure = f"warm-up: {outcome.failure}"
            return outcome
        repetitions = 1
        runs = [(1, warm.seconds_per_repetition)]
        if workload.calibrated:
            repetitions = calibrated_repetitions(options.min_time, warm.seconds_per_repetition)
            if repetitions < FIRST_CALL_PROBE:
                # A single call is a large part of the loop: learn what the
                # first call costs beyond the others before choosing.
                probe = attempt(FIRST_CALL_PROBE)
                if probe is None:
                    outcome.failure = f"calibration: {outcome.failure}"
                    return outcome
                runs.append((FIRST_CALL_PROBE, probe.seconds_per_repetition * FIRST_CALL_PROBE))
                excess, per_call = first_call_fit(runs[0], runs[1])
                if per_call > 0:
                    outcome.first_call_excess = excess
                    outcome.seconds_per_later_call = per_call
                    repetitions = repetitions_reaching(CALIBRATION_MARGIN * options.min_time,
                                                       excess, per_call)
        outcome.repetitions = repetitions
        recalibrations = RECALIBRATIONS if workload.calibrated else 0
        while len(outcome.samples) < options.samples:
            report = attempt(repetitions)
            if report is None:
                outcome.failure = f"sample {len(outcome.samples) + 1}: {outcome.failure}"
                return outcome
            loop = report.seconds_per_repetition * repetitions
            runs.append((repetitions, loop))
            if loop < options.min_time and recalibrations > 0 and repetitions < MAX_REPETITIONS:
                recalibrations -= 1
                repetitions = next_repetitions(options.min_time, runs)
                outcome.repetitions = repetitions
                outcome.samples.clear()
                continue
            outcome.samples.append(report)
    except KeyboardInterrupt:
        outcome.interrupted = True
        outcome.failure = (f"interrupted after {len(outcome.samples)} of {options.samples} "
                           "samples")
    return outcome
