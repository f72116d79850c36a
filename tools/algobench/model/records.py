"""The records of a run: the run, its cells and what the derive step adds (its
context is context.py's).

The sweep builds a Run as it measures, the derive step fills in the figures
and findings, the exporters and `compare` read it, and Run.save writes it
as results.json; reading it back is reading.py's.
"""

from __future__ import annotations

import dataclasses
import math
import pathlib
from typing import Any

from .contention import Contention
from .answers import Crossover, Winner
from .context import Context
from ..files import dump_json, replace_file
from ..plan import metrics
from ..plan.workload import PARALLEL_MODE, WORKLOADS, Workload

SCHEMA_VERSION = 4
# What a run can have measured (plan/metrics): the time of each call (the
# default), or the instructions its timed loop executed, counted under callgrind.
METRICS = metrics.NAMES
RESULTS_FILE = "results.json"
# What became of a cell: measured to its end, failed, or cut short with the run.
STATUSES = ("ok", "failed", "interrupted")


class ResultsError(ValueError):
    """A results file that cannot be read as a run: unreadable, not JSON, wrong shape."""


@dataclasses.dataclass
class Finding:
    """One kind of warning about a run's cells: what was found, the cells it
    applies to (by name) and what would help, said once."""

    kind: str
    cells: list[str]
    text: str
    advice: str | None = None

    @property
    def line(self) -> str:
        """The warning as one line: what was found, then the advice."""
        return f"{self.text}; {self.advice}" if self.advice else self.text

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)

    @classmethod
    def from_dict(cls, data: Any) -> Finding | None:
        """A finding from its JSON form; None when the data is not one."""
        if not isinstance(data, dict) or not isinstance(data.get("kind"), str) \
                or not isinstance(data.get("text"), str):
            return None
        cells = data.get("cells")
        advice = data.get("advice")
        return cls(data["kind"], [str(c) for c in cells] if isinstance(cells, list) else [],
                   data["text"], advice if isinstance(advice, str) else None)


@dataclasses.dataclass
class Stats:
    """min, median, mean, sample standard deviation (n-1), its ratio to the
    mean, and the quartiles (the interquartile range is the spread plots show)."""

    min: float
    median: float
    mean: float
    stddev: float | None
    cv: float | None
    q1: float | None = None
    q3: float | None = None


@dataclasses.dataclass
class Sample:
    """One measured process: its time per repetition, the rest of its report,
    the round it ran in and what the runner saw of the machine meanwhile."""

    seconds: float
    allocate_seconds: float | None = None
    init_seconds: float | None = None
    result: int | None = None
    round: int | None = None
    contention: Contention | None = None
    # How often its round was measured again (another process competed) before
    # this sample was kept.
    remeasured: int = 0
    # The CPUs its OpenMP team could run on, where fewer than the team's threads
    # (runner.Process.team_cpus).
    team_cpus: int | None = None

    @property
    def contended(self) -> str | None:
        return self.contention.reason() if self.contention is not None else None

    def info(self) -> dict:
        """Everything but the time, as results.json keeps it beside the times
        ("remeasured" and "team_cpus" only when set: a file written before they
        existed reads and writes back the same)."""
        info = {"round": self.round, "allocate_seconds": self.allocate_seconds,
                "init_seconds": self.init_seconds, "result": self.result,
                "contention": self.contention.to_dict() if self.contention else None,
                "contended": self.contended}
        if self.remeasured:
            info["remeasured"] = self.remeasured
        if self.team_cpus is not None:
            info["team_cpus"] = self.team_cpus
        return info


@dataclasses.dataclass
class CellResult:
    """One (program, n, threads, backend) of a run: what was asked, what came
    back, what follows."""

    name: str
    program: str
    n: int
    threads: int
    backend: str = PARALLEL_MODE
    repetitions: int = 1
    fourth: int | None = None
    status: str = "ok"
    failure: str | None = None
    samples: list[Sample] = dataclasses.field(default_factory=list)
    result: int | None = None
    # Samples measured again because the machine was busy while they ran.
    replaced: int = 0
    # Filled by the derive step. The speedup is the median over rounds of the
    # ratio of the 1-thread sample to this cell's sample of the same round,
    # with a bootstrap interval.
    stats: Stats | None = None
    speedup: float | None = None
    speedup_low: float | None = None
    speedup_high: float | None = None
    efficiency: float | None = None
    # Filled by the derive step for a count of hardware threads beyond the
    # physical cores of the usable CPUs: those cores, which its efficiency is
    # stated against.
    on_cores: int | None = None
    items_per_second: float | None = None
    bytes_per_second: float | None = None
    bandwidth_share: float | None = None
    # The paired speedup over the sequential build at one thread of the same
    # program and size (where the run measured it), with its interval.
    vs_sequential: float | None = None
    vs_sequential_low: float | None = None
    vs_sequential_high: float | None = None
    # What the first call of a process costs beyond a later one, and its share
    # of the reported figure, when the runner could estimate it.
    first_call_excess: float | None = None
    first_call_share: float | None = None
    # Why the cell's rounds ended where rounds go where the noise is
    # (rounds.SETTLED, BUDGET or PLANNED; None: a fixed number of rounds), and
    # the widest relative interval of its program size's paired ratios then.
    stopped: str | None = None
    settle_width: float | None = None
    # In a run of the instructions metric: instructions per steady call, one
    # per count, and what a process's first call executed beyond a steady one
    # (None where the call is counted once, first call included).
    instruction_samples: list[float] = dataclasses.field(default_factory=list)
    first_call_instructions: float | None = None
    # Filled by the derive step: the median count, its spread ((max - min) /
    # median) and, at more than one thread, the work ratio: instructions at
    # this thread count over those at one thread of the same backend.
    instructions: float | None = None
    instructions_spread: float | None = None
    work_ratio: float | None = None
    # Under --pin: the mode, the CPUs the cell ran on and, where its threads
    # outnumber them, that they wrapped (measure/placement.py).
    pinned: dict | None = None
    # Keys this version does not know (a note added by hand), kept so that a
    # rewrite loses nothing.
    extra: dict = dataclasses.field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return self.status == "ok"

    @property
    def unmeasured(self) -> str | None:
        """How an interrupted run left the cell without its figure, or None."""
        if self.status != "interrupted":
            return None
        failure = self.failure or ""
        return "not measured: the run was " + (failure if failure.startswith("interrupted")
                                               else "interrupted")

    @property
    def workload(self) -> Workload | None:
        return WORKLOADS.get(self.program)

    @property
    def times(self) -> list[float]:
        return [s.seconds for s in self.samples]

    @property
    def median(self) -> float | None:
        return self.stats.median if self.stats is not None else None

    @property
    def key(self) -> tuple:
        """What matches a cell across runs."""
        return (self.program, self.backend, self.n, self.threads, self.fourth)

    @property
    def label(self) -> str:
        label = self.name
        if self.fourth is not None and "fourth" not in label:
            label += f"/fourth:{self.fourth}"
        return label

    def rates(self, seconds: float | None) -> tuple[float | None, float | None]:
        """(elements/s, bytes/s) of one call lasting `seconds`; None where there is none
        (no time, or no work: a call over zero elements has no rate)."""
        if seconds is None or not seconds > 0 or self.n <= 0:
            return None, None
        items = self.n / seconds
        if not math.isfinite(items):
            return None, None
        workload = self.workload
        rate = items * workload.bytes_per_element if workload is not None else None
        return items, rate if rate is None or math.isfinite(rate) else None

    def to_dict(self) -> dict:
        return {**{
            "name": self.name, "program": self.program, "backend": self.backend, "n": self.n,
            "threads": self.threads,
            "repetitions": self.repetitions, "fourth": self.fourth, "status": self.status,
            "failure": self.failure, "samples": self.times,
            "sample_info": [s.info() for s in self.samples], "replaced": self.replaced,
            "result": self.result,
            "stats": dataclasses.asdict(self.stats) if self.stats is not None else None,
            "speedup": self.speedup, "speedup_low": self.speedup_low,
            "speedup_high": self.speedup_high, "efficiency": self.efficiency,
            "items_per_second": self.items_per_second, "bytes_per_second": self.bytes_per_second,
            "bandwidth_share": self.bandwidth_share,
            "vs_sequential": self.vs_sequential, "vs_sequential_low": self.vs_sequential_low,
            "vs_sequential_high": self.vs_sequential_high,
            "first_call_excess": self.first_call_excess,
            "first_call_share": self.first_call_share,
            "rounds": len(self.samples), "stopped": self.stopped,
            "settle_width": self.settle_width,
            "instruction_samples": self.instruction_samples,
            "first_call_instructions": self.first_call_instructions,
            "instructions": self.instructions, "instructions_spread": self.instructions_spread,
            "work_ratio": self.work_ratio,
        }, **({"on_cores": self.on_cores} if self.on_cores else {}),
           **({"pinned": self.pinned} if self.pinned else {}), **self.extra}

    @property
    def thread_label(self) -> str:
        """The thread count as tables and charts show it: "64 (SMT)" for a count
        of hardware threads beyond the cores."""
        return f"{self.threads} (SMT)" if self.on_cores else str(self.threads)


@dataclasses.dataclass
class Run:
    """A whole run: its context, its cells in run order and the bandwidth figures."""

    context: Context
    cells: list[CellResult] = dataclasses.field(default_factory=list)
    # threads (as a string) -> {"sum": B/s, "copy": B/s, "triad": B/s}
    bandwidth: dict[str, dict[str, float]] | None = None
    # Cut short (Ctrl-C): how many cells were planned, how many completed.
    interrupted: bool = False
    # Written while the sweep is under way and cleared by its last write: a file
    # that still says so is what a killed run left, and reads as cut short.
    in_progress: bool = False
    planned_cells: int | None = None
    # Filled by the derive step: the warning that the machine was busy, if it
    # was, and every warning about the cells, one per kind with the cells it names.
    busy: str | None = None
    findings: list[Finding] = dataclasses.field(default_factory=list)
    # Filled by the derive step where the run measured more than one backend.
    winners: list[Winner] = dataclasses.field(default_factory=list)
    # Filled by the derive step: where going parallel starts to pay.
    crossovers: list[Crossover] = dataclasses.field(default_factory=list)
    schema_version: int = SCHEMA_VERSION
    # Top-level keys this version does not know, kept so that a rewrite loses nothing.
    extra: dict = dataclasses.field(default_factory=dict)

    @property
    def backends(self) -> list[str]:
        """The backends of the run's cells, in the order they first appear."""
        return list(dict.fromkeys(cell.backend for cell in self.cells))

    @property
    def completed_cells(self) -> int:
        """The cells measured to their end; while the sweep is under way, only
        those with all the rounds it planned for every cell (a cell is "ok"
        from its first round on)."""
        wanted = self.metric.planned(self.context) if self.in_progress else 0
        return sum(cell.ok and self.measured(cell) >= wanted for cell in self.cells)

    @property
    def metric(self) -> metrics.Metric:
        """What the run's cells hold (a run of an unknown metric is refused on loading)."""
        return metrics.named(self.context.metric)

    def measured(self, cell: CellResult) -> int:
        """How many measurements of the run's metric the cell holds."""
        return len(self.metric.samples(cell))

    def cut_short(self, wanted: int | None) -> None:
        """Marks the run interrupted, and every cell still "ok" with fewer than
        `wanted` samples (or none) interrupted with it: it is no figure yet."""
        self.interrupted = True
        if self.metric.exact:
            wanted = 1  # an exact figure is complete in one measurement
        for record in self.cells:
            if record.status == "ok" and self.measured(record) < (wanted or 1):
                record.status = "interrupted"
                record.failure = f"interrupted after {len(record.samples)} of {wanted} samples"

    def to_dict(self) -> dict:
        data = {"schema_version": self.schema_version, "interrupted": self.interrupted}
        if self.in_progress:
            data["in_progress"] = True
        data.update({"planned_cells": self.planned_cells, "completed_cells": self.completed_cells,
                "busy": self.busy})
        if self.findings:
            data["findings"] = [finding.to_dict() for finding in self.findings]
        if self.winners:
            data["winners"] = [winner.to_dict() for winner in self.winners]
        if self.crossovers:
            data["crossovers"] = [crossover.to_dict() for crossover in self.crossovers]
        data.update(context=self.context.to_dict(), cells=[c.to_dict() for c in self.cells])
        if self.bandwidth is not None:
            data["bandwidth"] = self.bandwidth
        data.update(self.extra)
        return data

    def save(self, folder: pathlib.Path | str) -> pathlib.Path:
        """Writes results.json into folder (atomically); returns its path."""
        path = pathlib.Path(folder) / RESULTS_FILE
        replace_file(path, dump_json(self.to_dict()))
        return path
