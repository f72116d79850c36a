"""The counting sampler: every cell of every build counted under callgrind
(callgrind.py), the cells side by side up to the usable CPUs.

Counting needs none of what timing needs: no calibration to a --min-time, no
rounds against drift, no retries of contended samples; a neighbour cannot
change how many instructions a loop executes. A cell whose count comes out
the same in every process (callgrind.exact) is counted once; one whose
count moves (a parallel runtime's scheduling, work stealing) is counted
NOT_EXACT_COUNTS times, so that its spread is measured and shown. Valgrind runs a
process's threads one at a time, so one process occupies one CPU whatever
its thread count.

The sweep (sweep.py) writes the same files as for a timed run (the plots of
time aside), after a batch of cells and at the end; a count's progress is
one RoundDone event per cell counted.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import time

from . import ab, callgrind
from ..plan.matrix import Cell, usable_cpus
from ..model import CellResult
from .runner import Options, Process, command, env_changes
from .sweep_events import RoundDone, Variant

# How often a cell whose count is not exact is counted.
NOT_EXACT_COUNTS = 2
# The files are rewritten at most this often (seconds) while cells finish.
WRITE_EVERY = 10.0


@dataclasses.dataclass
class _Task:
    cell: Cell
    variant: Variant
    record: CellResult
    # The next smaller size of the same program, backend, threads and build,
    # whose first call's one-time work a long call may take (callgrind.borrowed).
    donor: _Task | None = None
    # A count of one-call processes waiting for the donor's one-time work.
    waiting: callgrind.Counted | None = None


def _give_donors(tasks: list[_Task]) -> None:
    chains: dict[tuple, list[_Task]] = {}
    for task in tasks:
        if task.cell.workload.calibrated:
            cell = task.cell
            chains.setdefault((cell.program, cell.backend, cell.threads, task.variant.name),
                              []).append(task)
    for chain in chains.values():
        chain.sort(key=lambda task: task.cell.n)
        for smaller, larger in zip(chain, chain[1:]):
            if smaller.cell.n < larger.cell.n:
                larger.donor = smaller


class Counting:
    """Counts every cell of a sweep (sweep.Sweep) under callgrind, up to `workers`
    processes at a time (the usable CPUs by default). A count has no time to
    probe or plot and no rounds: the timed sampler's settings are not its own."""

    compare_builds = staticmethod(ab.counted)

    @staticmethod
    def plan_lines(cells: list[Cell], options: Options) -> list[str]:
        return plan_lines(cells, options)

    def __init__(self, sweep, options: Options, workers: int | None = None,
                 **timed_settings) -> None:
        self.sweep = sweep
        # Under callgrind a program runs some SLOWDOWN times as long as alone.
        self.options = dataclasses.replace(
            options, timeout=None if options.timeout is None else
            options.timeout * callgrind.SLOWDOWN)
        self.workers = workers or usable_cpus()

    def record(self, context) -> None:
        context.samples = 1

    def after_cells(self) -> int:
        return 0

    def _count(self, task: _Task,
               one_call: callgrind.Counted | None = None) -> callgrind.Counted | Process:
        times = 1 if callgrind.exact(task.cell) else NOT_EXACT_COUNTS
        return callgrind.count(task.cell, self.options, self.sweep.ledger, task.variant.bin_dir,
                               times, may_borrow=one_call is None and task.donor is not None,
                               one_call=one_call)

    def measure(self) -> None:
        tasks = []
        for cell in self.sweep.cells:
            for variant in self.sweep.variants:
                record = CellResult(name=cell.name, program=cell.program, n=cell.n,
                                    threads=cell.threads, backend=cell.backend,
                                    fourth=cell.fourth)
                self.sweep.runs[variant.name].cells.append(record)
                tasks.append(_Task(cell, variant, record))
        _give_donors(tasks)
        pool = concurrent.futures.ThreadPoolExecutor(max_workers=self.workers)
        try:
            self._count_all(pool, tasks)
        except KeyboardInterrupt:
            pool.shutdown(wait=True, cancel_futures=True)
            raise
        pool.shutdown(wait=True)

    def _record(self, task: _Task, outcome: callgrind.Counted | Process) -> None:
        if isinstance(outcome, Process):
            self.sweep.fail(task.record, task.variant, "count", outcome)
        elif outcome.one_call:
            task.waiting = outcome
        else:
            self.sweep.metric.keep(task.record, outcome.per_call)
            task.record.result = outcome.process.report.result
            task.record.first_call_instructions = outcome.first_call_extra

    def _count_all(self, pool, tasks: list[_Task]) -> None:
        # The largest sizes first, so that no long process is left to run alone at the end.
        ordered = sorted(tasks, key=lambda task: -task.cell.n)
        futures = {pool.submit(self._count, task): task for task in ordered}
        written = time.monotonic()
        for done, future in enumerate(concurrent.futures.as_completed(futures), start=1):
            self._record(futures[future], future.result())
            self.sweep.emit(RoundDone(done, len(tasks), 0))
            if time.monotonic() - written >= WRITE_EVERY:
                self.sweep.write()
                written = time.monotonic()
        # Smaller sizes first: a donor may itself have borrowed.
        in_full = []
        for task in sorted(tasks, key=lambda task: task.cell.n):
            if task.waiting is None:
                continue
            donor = task.donor.record
            counted = callgrind.borrowed(task.waiting, donor.first_call_instructions
                                         if donor.status != "failed" else None)
            if counted is None:
                in_full.append(task)
            else:
                task.waiting = None
                self._record(task, counted)
        for task, outcome in zip(in_full, pool.map(lambda t: self._count(t, t.waiting), in_full)):
            task.waiting = None
            self._record(task, outcome)


def plan_lines(cells: list[Cell], options: Options) -> list[str]:
    """What a dry run of a count sweep shows: each cell's commands, nothing run."""
    lines = []
    tasks = [_Task(cell, Variant("", options.bin_dir), None) for cell in cells]
    _give_donors(tasks)
    donated = {task.cell: task.donor.cell.n for task in tasks if task.donor is not None}
    for cell in cells:
        env = " ".join(f"{k}={v}" for k, v in {**env_changes(cell, options),
                                                 **callgrind.COUNT_ENV}.items())
        wrapper = " ".join([callgrind.valgrind() or "valgrind", "--tool=callgrind",
                            "--instr-atstart=no", "--callgrind-out-file=<temporary file>"])
        single = " ".join(command(cell, options.bin_dir, 1))
        times = 1 if callgrind.exact(cell) else NOT_EXACT_COUNTS
        lines.append(cell.name)
        lines.append(f"  count:    {env} {wrapper} {single}")
        if cell.workload.calibrated:
            lines.append(f"  then {times} x the same with repetitions 1 + k (k: enough calls "
                         f"for {callgrind.EXTRA_INSTRUCTIONS:,} instructions, at most "
                         f"{callgrind.MOST_EXTRA_CALLS})")
            if cell in donated:
                lines.append(f"  (a call of {callgrind.ONE_CALL_FROM:,} instructions or more: "
                             f"{times} x one call alone instead, less the first call's "
                             f"one-time work at n = {donated[cell]})")
        elif times > 1:
            lines.append(f"  {times} x in all")
    lines.append(f"{len(cells)} cells")
    return lines
