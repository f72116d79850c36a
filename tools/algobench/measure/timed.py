"""The timed sampler: warm-up and calibration, then interleaved rounds, then
the bandwidth probe and the plots.

The machines this runs on drift: the same loop can take 1.9x as long a minute
later. So the samples are taken in rounds. After every cell has had its
warm-up, and every cell its repetitions (enough for its own loop to last
--min-time, the same for both builds of an A/B run; calibration.py), each round
runs one process of every cell, in an order shuffled per round from a recorded
seed: drift lands on every cell alike instead of on one cell's consecutive
samples. Within a round the thread counts of one program and size run back to
back (and the two builds of a cell next to each other), so the ratios the
speedups and A/B figures are made of compare processes measured close in time.

A round of a program and size whose processes saw another process compete for
the machine (contention.py) is measured again, at most `Options.retries`
times; the cells record how many samples were replaced. A cell whose loop
fell well short of --min-time is measured again within its round with more
repetitions (calibration.py), and the round keeps the other cells' samples:
a program size never starts its samples over.

After the --samples rounds, a policy (rounds.py) may give the program sizes
with an answer still open more rounds, where they can decide it within a time
budget; each cell records why its rounds ended. In an A/B run with duet pairs, a cell
whose thread count fits twice on the CPUs runs its A and B processes at the
same time on CPU sets of their own (duet.py).
"""

from __future__ import annotations

import dataclasses
import random
import time

from . import ab, bandwidth, duet, machine, rounds
from .. import export
from ..model.contention import Contention
from ..judge.derive import derive
from ..judge.findings import DEFAULT_CV_THRESHOLD, machine_warnings
from ..plan.matrix import Cell
from ..model import CellResult, Sample
from .calibration import REMEASURES, Calibrator
from .runner import Options, Process, attempt, command, env_changes, launch_prefix
from .sweep_events import (UNDECIDED, GroupReady, RoundDone, RoundsEnded, StepFailed,
                           StepStarted, Variant)


@dataclasses.dataclass
class _Measured:
    """One cell of one build while the sweep measures it."""

    cell: Cell
    variant: Variant
    record: CellResult
    runs: list[tuple[int, float]] = dataclasses.field(default_factory=list)  # (reps, loop s)
    per_call: float | None = None
    repetitions: int = 1

    @property
    def live(self) -> bool:
        return self.record.status == "ok"


@dataclasses.dataclass
class _Group:
    """One program and size: its cells of every build, measured together."""

    label: str
    members: list[_Measured]
    rounds_kept: int = 0
    seconds: float = 0.0  # what its last round took
    verdict: rounds.Verdict | None = None  # once its rounds have ended

    @property
    def live(self) -> list[_Measured]:
        return [m for m in self.members if m.live]


def round_order(groups: list, rng: random.Random) -> list:
    """The groups of one round in shuffled order."""
    order = list(groups)
    rng.shuffle(order)
    return order


def group_order(members: list[_Measured], rng: random.Random) -> list[_Measured]:
    """A group's processes for one round: thread counts in shuffled order, and
    each cell's builds next to each other in shuffled order."""
    by_cell: dict[Cell, list[_Measured]] = {}
    for member in members:
        by_cell.setdefault(member.cell, []).append(member)
    cells = list(by_cell)
    rng.shuffle(cells)
    order = []
    for cell in cells:
        builds = by_cell[cell]
        rng.shuffle(builds)
        order += builds
    return order


class Timed:
    """Times every cell of a sweep (sweep.Sweep) in interleaved rounds."""

    compare_builds = staticmethod(ab.paired_rounds)

    @staticmethod
    def plan_lines(cells: list[Cell], options: Options) -> list[str]:
        return plan_lines(cells, options)

    def __init__(self, sweep, options: Options, probe_bandwidth: bool = True,
                 draw_plots: bool = True, cv_threshold: float = DEFAULT_CV_THRESHOLD,
                 policy: rounds.Policy | None = None, duet_sets: bool = False) -> None:
        self.sweep = sweep
        self.options = options
        self.probe_bandwidth = probe_bandwidth
        self.draw_plots = draw_plots
        self.cv_threshold = cv_threshold
        # How rounds beyond the --samples ones go to the groups with an
        # answer still open (None: none do).
        self.policy = policy
        # Whether a cell of two builds that fits twice on the CPUs runs its
        # two processes at the same time (duet.py).
        self.duet = duet_sets and len(sweep.variants) == 2
        self.thread_counts = sorted({c.threads for c in sweep.cells})
        self.rng = random.Random(options.seed)
        self.groups: list[_Group] = []
        self.calibrator = Calibrator(options, self._process, self._fail)

    def record(self, context) -> None:
        context.seed = self.options.seed
        context.cv_threshold = self.cv_threshold

    def _process(self, member: _Measured, repetitions: int) -> Process:
        return attempt(member.cell, repetitions, self.options, self.sweep.ledger,
                       member.variant.bin_dir)

    def _pinned(self, cell: Cell) -> dict | None:
        """The cell's pinning as recorded: none for a duet's, whose sets change hands."""
        return None if self.duet and duet.cpu_sets(cell.threads) \
            else self.options.placement.record(cell)

    def _fail(self, member: _Measured, stage: str, process: Process) -> None:
        self.sweep.fail(member.record, member.variant, stage, process)

    def measure(self) -> None:
        runnable = machine.runnable_others()
        largest: dict[str, int] = {}
        for cell in self.sweep.cells:
            largest[cell.program] = max(largest.get(cell.program, 0), cell.n)
        first = next(iter(self.sweep.runs.values()))
        for message in machine_warnings(first.context, self.thread_counts, runnable,
                                        largest, machine.memory_available()):
            self.sweep.warn(message)
        self._prepare()
        self._rounds()

    def _prepare(self) -> None:
        """Every cell's warm-up, then each program and size's repetitions."""
        by_group: dict[tuple, _Group] = {}
        for cell in self.sweep.cells:
            key = (cell.program, cell.n, cell.fourth)
            group = by_group.get(key)
            if group is None:
                group = by_group[key] = _Group(f"{cell.program}/n:{cell.n}", [])
                self.groups.append(group)
            for variant in self.sweep.variants:
                record = CellResult(name=cell.name, program=cell.program, n=cell.n,
                                    threads=cell.threads, backend=cell.backend,
                                    fourth=cell.fourth, pinned=self._pinned(cell))
                self.sweep.runs[variant.name].cells.append(record)
                group.members.append(_Measured(cell, variant, record))
        for done, group in enumerate(self.groups, start=1):
            self.calibrator.calibrate(group)
            self.sweep.emit(GroupReady(group.label,
                                       sorted({m.repetitions for m in group.members}),
                                       done, len(self.groups)))
        self.sweep.write()

    def _rounds(self) -> None:
        wanted = self.options.samples
        start = time.monotonic()
        for index in range(wanted):
            self._round([g for g in self.groups if g.live], index, wanted, "", total=wanted)
        if self.policy is not None:
            self._extra_rounds(wanted, time.monotonic() - start)

    def _round(self, groups: list[_Group], index: int, wanted: int, why: str,
               total: int, left: float = float("inf")) -> float:
        """One round of `groups`, the files written after it; the seconds it
        took, writing included. A group whose last round took longer than what
        is `left` of that time sits this round out, so that a budget is never
        overrun by more than one group's round taking longer than its last
        (and the files' writing)."""
        began = time.monotonic()
        replaced = lengthened = 0
        took = 0.0
        ran = []
        for group in round_order(groups, self.rng):
            if group.seconds > left - took:
                continue
            start = time.monotonic()
            more, again = self._group_round(group, index)
            replaced, lengthened = replaced + more, lengthened + again
            group.seconds = time.monotonic() - start
            took += group.seconds
            ran.append(group.label)
        self.sweep.write()
        self.sweep.emit(RoundDone(index + 1, total, replaced, wanted, tuple(ran), why,
                                  lengthened))
        return time.monotonic() - began

    def _extra_rounds(self, index: int, planned_seconds: float) -> None:
        """Rounds beyond --samples for the groups with an answer still open
        that more rounds can decide, the cheapest to decide first, while the
        rounds each wants fit in the budget."""
        policy, wanted = self.policy, self.options.samples
        budget = planned_seconds * rounds.BUDGET_SHARE if policy.budget is None else policy.budget
        context = next(iter(self.sweep.runs.values())).context
        spent = 0.0
        while True:
            asking = []
            for group in self.groups:
                if not group.live or group.verdict is not None:
                    continue
                verdict = policy.judge([(m.variant.name, m.record) for m in group.live],
                                       group.rounds_kept, wanted + policy.extra_rounds, context)
                if verdict.state == rounds.MORE:
                    asking.append((group, verdict))
                else:
                    self._stop(group, verdict)
            chosen, _ = rounds.choose([(group, verdict.wanted - group.rounds_kept, group.seconds)
                                       for group, verdict in asking], budget - spent)
            if not chosen:
                # What the rest would want does not fit in the time left.
                for group, verdict in asking:
                    self._stop(group, dataclasses.replace(verdict, state=rounds.BUDGET,
                                                          why=rounds.TOO_NOISY_BUDGET))
                break
            spent += self._round(chosen, index, wanted, UNDECIDED, total=index + 1,
                                 left=budget - spent)
            index += 1
        verdicts = {g.label: g.verdict for g in self.groups if g.verdict}
        for run in self.sweep.runs.values():
            run.context.extra_rounds = rounds.summary_of(verdicts, wanted, budget, spent)
        self.sweep.emit(RoundsEnded(verdicts, wanted, budget, spent, policy.meaning))

    def _stop(self, group: _Group, verdict: rounds.Verdict) -> None:
        group.verdict = verdict
        for member in group.members:
            member.record.stopped = verdict.state
            member.record.settle_width = verdict.width

    def _group_round(self, group: _Group, index: int) -> tuple[int, int]:
        """One round of a program and size; returns how many samples were
        replaced (contention) and how many short loops were measured again."""
        replaced = 0
        for retry in range(self.options.retries + 1):
            taken = self._take(group.live, index)
            contended = any(p.contention is not None and p.contention.reason()
                            for _, p in taken)
            if not contended or retry == self.options.retries:
                break
            replaced += len(taken)
            for member, _ in taken:
                member.record.replaced += 1
        lengthened = 0
        for _ in range(REMEASURES):
            short = self.calibrator.short_loops(group, taken)
            if not short:
                break
            again = self._take([m for m in group.live if m.cell in short], index)
            taken = [pair for pair in taken if pair[0].cell not in short] + again
            lengthened += len(again)
        for member, process in taken:
            report = process.report
            member.record.samples.append(Sample(
                report.seconds_per_repetition, report.allocate_seconds, report.init_seconds,
                report.result, index, process.contention or Contention(), retry,
                process.team_cpus))
        group.rounds_kept += 1
        return replaced, lengthened

    def _take(self, members: list[_Measured], index: int) -> list[tuple[_Measured, Process]]:
        """One process of each of `members` in the round's order; a failed one
        fails its cell and is left out."""
        taken = []
        for step in duet.steps(group_order(members, self.rng), self.duet, index):
            for member, process in self._step(step):
                if process.failure is not None:
                    self._fail(member, f"round {index + 1}", process)
                    continue
                taken.append((member, process))
        return taken

    def _step(self, step: duet.Step) -> list[tuple[_Measured, Process]]:
        """One process, or a duet's two at the same time on their CPU sets."""
        if step.cpu_sets is None:
            return [(member, self._process(member, member.repetitions))
                    for member in step.members]
        processes = duet.run_together(
            [(lambda cpus, started, m=member: attempt(m.cell, m.repetitions, self.options,
                                                      self.sweep.ledger, m.variant.bin_dir,
                                                      cpus=cpus, started=started))
             for member in step.members], step.cpu_sets)
        return list(zip(step.members, processes))

    def after_cells(self) -> int:
        """The bandwidth probe and the plots, once every cell has run."""
        status = 0
        runs = self.sweep.runs
        if self.probe_bandwidth:
            self.sweep.emit(StepStarted("bandwidth"))
            try:
                measured = bandwidth.measure(self.sweep.variants[0].bin_dir, self.thread_counts,
                                             placement=self.options.placement)
            except Exception as error:  # the probe's failure must not cost the sweep
                self.sweep.emit(StepFailed("bandwidth", error))
                status = 1
            else:
                figures = {str(t): dict(v) for t, v in measured.items()}
                for run in runs.values():
                    run.bandwidth = figures
        self.sweep.write()
        if self.draw_plots:
            for variant in self.sweep.variants:
                try:
                    export.plots.write(self.sweep.folder(variant), derive(runs[variant.name]))
                except Exception as error:  # the files above are written; say what failed
                    self.sweep.emit(StepFailed("plots", error))
                    status = 1
        return status


def plan_lines(cells: list[Cell], options: Options) -> list[str]:
    """What a dry run of timed cells shows: each cell's warm-up and sample commands."""
    lines = []
    for cell in cells:
        prefix = launch_prefix(cell, options)
        warm_up = command(cell, options.bin_dir, 1)
        sample = list(warm_up)
        lines += [cell.name, f"  warm-up:  {prefix}{' '.join(warm_up)}"]
        if cell.workload.calibrated:
            sample[3] = "<repetitions>"
            lines.append(f"  samples:  {options.samples} x {prefix}{' '.join(sample)}   "
                         f"(repetitions: enough for {options.min_time:g} s at the warm-up's "
                         "pace, the same for every thread count of this size)")
        else:
            lines.append(f"  samples:  {options.samples} x {prefix}{' '.join(sample)}")
    lines.append(f"{len(cells)} cells")
    return lines
