"""A whole sweep: warm-up and calibration, then interleaved rounds, then the
bandwidth probe and the plots; the files are rewritten after every round.

The machines this runs on drift: the same loop can take 1.9x as long a minute
later. So the samples are taken in rounds. After every cell has had its
warm-up, and every cell its repetitions (enough for its own loop to last
--min-time, the same for both builds of an A/B run), each round runs one process
of every cell, in an order shuffled per round from a recorded seed: drift
lands on every cell alike instead of on one cell's consecutive samples. Within
a round the thread counts of one program and size run back to back (and the
two builds of a cell next to each other), so the ratios the speedups and A/B
figures are made of compare processes measured close in time.

A round of a program and size whose processes saw another process compete for
the machine (contention.py) is measured again, at most `Options.retries`
times; the cells record how many samples were replaced.

After the --samples rounds, a policy (rounds.py) may give the program sizes
whose paired ratios still scatter more rounds, within a time budget; each
cell records why its rounds ended. In an A/B run with duet pairs, a cell
whose thread count fits twice on the CPUs runs its A and B processes at the
same time on CPU sets of their own (duet.py).

The sweep writes files but no text: what happens is told to its listeners as
events, and the terminal's progress line and messages are views of them
(console.py); the events are in sweep_events.py, the results folder's
preparation in results_folder.py.

This module is longer than the others because it is one class: the warm-up,
calibration, rounds and the steps after them share the sweep's state (its
groups, ledger, seed and files), and split apart they would pass that state
around instead.
"""

from __future__ import annotations

import dataclasses
import pathlib
import random
import time
import uuid

from . import bandwidth, duet, machine, rounds
from .. import export
from ..model.contention import Contention
from ..judge.derive import derive
from ..judge.findings import DEFAULT_CV_THRESHOLD, machine_warnings
from ..plan.matrix import Cell
from ..model import CellResult, Run, Sample
from .runner import (CALIBRATION_MARGIN, CLOCK_TICK, FIRST_CALL_PROBE, LONGEST_LOOP,
                     MAX_REPETITIONS, PROBE_BELOW, RECALIBRATIONS, SHORT_CALL_MARGIN, Options,
                     Process, ResultLedger, attempt, calibrated_repetitions, command, env_changes,
                     first_call_fit, next_repetitions, repetitions_diluting, repetitions_reaching)
from ..record.results_folder import FAILURES_LOG
from .sweep_events import (RECALIBRATED, UNSETTLED, CellFailed, GroupReady, Interrupted, Listener,
                           RoundDone, RoundsEnded, RunStarted, StepFailed, run_finished,
                           StepStarted, Variant, Warned)


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
    recalibrations: int = RECALIBRATIONS
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


class Sweep:
    def __init__(self, cells: list[Cell], options: Options, out_dir: pathlib.Path,
                 command_line: list[str], probe_bandwidth: bool = True, draw_plots: bool = True,
                 cv_threshold: float = DEFAULT_CV_THRESHOLD,
                 listeners: tuple[Listener, ...] = (),
                 variants: list[Variant] | None = None,
                 policy: rounds.Policy | None = None,
                 duet_sets: bool = False) -> None:
        self.cells = cells
        self.options = options
        self.out_dir = pathlib.Path(out_dir)
        self.probe_bandwidth = probe_bandwidth
        self.draw_plots = draw_plots
        self.cv_threshold = cv_threshold
        self.listeners = listeners
        self.variants = variants or [Variant("", options.bin_dir)]
        # How rounds beyond the --samples ones go to the groups whose paired
        # ratios still scatter (None: none do).
        self.policy = policy
        # Whether a cell of two builds that fits twice on the CPUs runs its
        # two processes at the same time (duet.py).
        self.duet = duet_sets and len(self.variants) == 2
        self.thread_counts = sorted({c.threads for c in cells})
        self.runs: dict[str, Run] = {}
        for variant in self.variants:
            context = machine.collect(variant.bin_dir, command_line, options.pin,
                                      options.hugepages, options.samples, options.min_time)
            context.seed = options.seed
            context.cv_threshold = cv_threshold
            context.run_id = uuid.uuid4().hex
            self.runs[variant.name] = Run(context, planned_cells=len(cells))
        self.ledger = ResultLedger()
        self.rng = random.Random(options.seed)
        self.groups: list[_Group] = []

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

    def write(self, final: bool = False) -> None:
        for variant in self.variants:
            run = derive(self.runs[variant.name])
            skip = () if self.draw_plots else ("plots",)
            export.write_all(self.folder(variant), run, final=final, skip=skip)

    def _fail(self, member: _Measured, stage: str, process: Process | None,
              failure: str | None = None) -> None:
        record = member.record
        record.status = "failed"
        record.failure = f"{stage}: {failure or process.failure}"
        text = f"FAILED {record.name}: {record.failure}\n"
        if process is not None:
            text += process.describe() + "\n"
        with open(self.folder(member.variant) / FAILURES_LOG, "a", encoding="utf-8") as log:
            log.write(text + "\n")
        self.emit(CellFailed(record, member.variant.name, process))

    # -- the phases

    def run(self) -> int:
        for variant in self.variants:
            self.folder(variant).mkdir(parents=True, exist_ok=True)
        self.emit(RunStarted(self.cells, self.options, self.variants, self.runs,
                             {v.name: self.folder(v) for v in self.variants}, self.out_dir))
        first = next(iter(self.runs.values()))
        runnable = machine.runnable_others()
        largest: dict[str, int] = {}
        for cell in self.cells:
            largest[cell.program] = max(largest.get(cell.program, 0), cell.n)
        for message in machine_warnings(first.context, self.thread_counts, runnable,
                                        largest, machine.memory_available()):
            self.warn(message)
        status = 0
        for run in self.runs.values():
            run.in_progress = True
        try:
            self.write()
            self._prepare()
            self._rounds()
        except KeyboardInterrupt:
            self._interrupted()
            status = 130
        else:
            self.write()
            try:
                status = self._after_cells()
            except KeyboardInterrupt:
                self.emit(Interrupted(after_cells=True))
                status = 130
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

    def _prepare(self) -> None:
        """Every cell's warm-up, then each program and size's repetitions."""
        by_group: dict[tuple, _Group] = {}
        for cell in self.cells:
            key = (cell.program, cell.n, cell.fourth)
            group = by_group.get(key)
            if group is None:
                group = by_group[key] = _Group(f"{cell.program}/n:{cell.n}", [])
                self.groups.append(group)
            for variant in self.variants:
                record = CellResult(name=cell.name, program=cell.program, n=cell.n,
                                    threads=cell.threads, backend=cell.backend,
                                    fourth=cell.fourth)
                self.runs[variant.name].cells.append(record)
                group.members.append(_Measured(cell, variant, record))
        for done, group in enumerate(self.groups, start=1):
            self._calibrate(group)
            self.emit(GroupReady(group.label, sorted({m.repetitions for m in group.members}),
                                 done, len(self.groups)))
        self.write()

    def _process(self, member: _Measured, repetitions: int) -> Process:
        return attempt(member.cell, repetitions, self.options, self.ledger,
                       member.variant.bin_dir)

    def _calibration_process(self, member: _Measured, repetitions: int) -> Process:
        """A warm-up or probe process, measured again (a bounded number of
        times) when another process competed with it: the repetitions are
        chosen from these times, and a contended one would mislead them."""
        for _ in range(self.options.retries):
            process = self._process(member, repetitions)
            if process.failure is not None or process.contention is None \
                    or not process.contention.reason():
                return process
            member.record.replaced += 1
        return self._process(member, repetitions)

    def _calibrate(self, group: _Group) -> None:
        """Warm-ups, and for repeatable calls the repetitions that make each
        cell's loop last --min-time at its own pace. A cell of two builds runs
        the same loop in both (the most either needs). One count for the whole
        program size would run a slow backend's loop as many calls as the
        fastest cell needs: set_intersection at 10^7 on oneTBB for 7 s a
        process instead of 0.3 s."""
        target = CALIBRATION_MARGIN * self.options.min_time
        for member in group.members:
            warm = self._calibration_process(member, 1)
            if warm.failure is not None:
                self._fail(member, "warm-up", warm)
                continue
            member.record.result = warm.report.result
            member.runs.append((1, warm.report.seconds_per_repetition))
        if not group.members[0].cell.workload.calibrated:
            return
        wanted: dict[Cell, int] = {}
        for member in group.live:
            repetitions = calibrated_repetitions(self.options.min_time, member.runs[0][1])
            if repetitions < PROBE_BELOW:
                # A single call is a sizeable part of the loop: learn what the
                # first call costs beyond the others before choosing.
                repetitions = self._first_call(member, target)
            else:
                # The warm-up's one call pays for cold caches: a short call can
                # look twice as slow as a later one, and a loop counted from it
                # falls short of --min-time, which costs its program size a
                # fresh start. A loop of a quarter of the target, at the
                # warm-up's pace, tells the later calls' pace.
                repetitions = self._short_calls(member, repetitions)
            if repetitions is None:
                continue
            wanted[member.cell] = max(wanted.get(member.cell, 1), repetitions)
        for cell, repetitions in wanted.items():
            self._set_repetitions(group, cell, repetitions)

    def _probe(self, member: _Measured, repetitions: int) -> bool:
        """One discarded process of `repetitions` calls; False when it failed."""
        probe = self._calibration_process(member, repetitions)
        if probe.failure is not None:
            self._fail(member, "calibration", probe)
            return False
        member.runs.append((repetitions, probe.report.seconds_per_repetition * repetitions))
        return True

    def _short_calls(self, member: _Measured, repetitions: int) -> int | None:
        """Repetitions for a cell of short calls, from a discarded loop of about a
        quarter of `repetitions` at the warm-up's pace (or the warm-up's, if
        faster), with SHORT_CALL_MARGIN; None when it failed."""
        probe = max(FIRST_CALL_PROBE, repetitions // 4)
        if not self._probe(member, probe):
            return None
        pace = min(member.runs[0][1], member.runs[-1][1] / probe)
        return calibrated_repetitions(self.options.min_time, pace, SHORT_CALL_MARGIN)

    def _first_call(self, member: _Measured, target: float) -> int | None:
        """Repetitions for a cell whose first call is a large part of its loop:
        enough for --min-time and to dilute the first call's excess, from the
        line through a 1-call and a 10-call loop. When the excess decides, a
        longer loop checks the cost per call (the short loops leave it to the
        difference of two noisy times). None when a process failed."""
        if not self._probe(member, FIRST_CALL_PROBE):
            return None
        excess, per_call = first_call_fit(member.runs[0], member.runs[1])
        if per_call <= 0:
            # The 1-call loop took longer than the 10-call one: the first call's
            # excess moved between the two processes (a thread pool slower to
            # start, a neighbour), and the line through them says nothing. The
            # 10-call loop's mean is then mostly excess, and where it asks for
            # many calls, a loop counted from it alone falls short of
            # --min-time (oneTBB's count_if at 10^4: 0.15 ms against 24 us a
            # call); the checking loop below finds the pace.
            wanted = calibrated_repetitions(self.options.min_time,
                                            member.runs[1][1] / FIRST_CALL_PROBE)
        else:
            reaching = repetitions_reaching(target, excess, per_call)
            diluting = repetitions_diluting(self.options.min_time, excess, per_call)
            wanted = max(reaching, diluting)
        if per_call <= 0 and wanted <= 2 * FIRST_CALL_PROBE:
            return wanted  # a few calls: their mean is near enough
        if wanted > 2 * FIRST_CALL_PROBE:
            # Far beyond the probes, the line through two short loops is only
            # as good as their difference: a 1-call loop slowed by a neighbour
            # makes a call look nearly free and the loop run for minutes. A
            # longer loop checks the cost per call; the 10-call loop's mean is
            # an upper bound on it, which keeps that loop within
            # LONGEST_LOOP * --min-time.
            # It runs more calls than the 10-call probe: as many as chosen, up
            # to that bound. (As few as `diluting`, it could be the probe's 10
            # again, and the line through two equal loops is no line.)
            mean = max(member.runs[1][1] / FIRST_CALL_PROBE, CLOCK_TICK)
            longest = max(FIRST_CALL_PROBE + 1, int(LONGEST_LOOP * self.options.min_time / mean))
            check = max(FIRST_CALL_PROBE + 1, min(wanted, longest))
            if not self._probe(member, check):
                return None
            excess, per_call = first_call_fit(member.runs[1], member.runs[2])
            if per_call <= 0:
                return check
            reaching = repetitions_reaching(target, excess, per_call)
            diluting = repetitions_diluting(self.options.min_time, excess, per_call)
        member.record.first_call_excess = excess
        member.per_call = per_call
        repetitions = max(reaching, diluting)
        if repetitions >= PROBE_BELOW:
            # A costly first call hid short calls, whose loop aims higher.
            repetitions = max(repetitions, repetitions_reaching(
                SHORT_CALL_MARGIN * self.options.min_time, excess, per_call))
        return repetitions

    def _set_repetitions(self, group: _Group, cell: Cell, repetitions: int) -> None:
        """The repetitions of a cell, in every build."""
        for member in group.members:
            if member.cell != cell:
                continue
            member.repetitions = repetitions
            member.record.repetitions = repetitions
            excess, per_call = member.record.first_call_excess, member.per_call
            if excess is not None and per_call is not None:
                loop = excess + repetitions * per_call
                member.record.first_call_share = excess / loop if loop > 0 else None

    def _rounds(self) -> None:
        wanted = self.options.samples
        index = 0
        # Rounds go on until every group has its samples; a group whose loops
        # fell short starts over with more repetitions, in rounds of its own.
        limit = wanted * (1 + RECALIBRATIONS)
        start = time.monotonic()
        while index < limit:
            pending = [g for g in self.groups if g.live and g.rounds_kept < wanted]
            if not pending:
                break
            replaced = 0
            for group in round_order(pending, self.rng):
                replaced += self._timed_round(group, index)
            index += 1
            self.write()
            self.emit(RoundDone(index, max(wanted, index), replaced, wanted,
                                tuple(g.label for g in pending), RECALIBRATED))
        if self.policy is not None:
            self._extra_rounds(index, time.monotonic() - start)

    def _extra_rounds(self, index: int, planned_seconds: float) -> None:
        """Rounds beyond --samples for the groups whose paired ratios still
        scatter, widest first, until each settles or the budget is spent."""
        policy, wanted = self.policy, self.options.samples
        budget = planned_seconds if policy.budget is None else policy.budget
        spent = 0.0
        while True:
            asking = []
            for group in self.groups:
                if not group.live or group.verdict is not None:
                    continue
                verdict = rounds.judge(policy.series([(m.variant.name, m.record)
                                                      for m in group.live]),
                                       group.rounds_kept, wanted + policy.extra_rounds,
                                       policy.width)
                if verdict.state == rounds.MORE:
                    asking.append((group, verdict.width, group.seconds))
                else:
                    self._stop(group, verdict)
            chosen, over = rounds.choose(asking, budget - spent)
            over_ids = {id(group) for group in over}
            for group, width, _ in asking:
                if id(group) in over_ids:
                    self._stop(group, rounds.Verdict(rounds.BUDGET, group.rounds_kept, width))
            if not chosen:
                break
            replaced = 0
            start = time.monotonic()
            for group in round_order(chosen, self.rng):
                group.recalibrations = 0  # its samples so far are kept, whatever comes
                replaced += self._timed_round(group, index)
            spent += time.monotonic() - start
            index += 1
            self.write()
            self.emit(RoundDone(index, index, replaced, wanted,
                                tuple(g.label for g in chosen), UNSETTLED))
        self.emit(RoundsEnded({g.label: g.verdict for g in self.groups if g.verdict},
                              wanted, budget, spent, policy.width))

    def _stop(self, group: _Group, verdict: rounds.Verdict) -> None:
        group.verdict = verdict
        for member in group.members:
            member.record.stopped = verdict.state
            member.record.settle_width = verdict.width

    def _timed_round(self, group: _Group, index: int) -> int:
        start = time.monotonic()
        replaced = self._group_round(group, index)
        group.seconds = time.monotonic() - start
        return replaced

    def _group_round(self, group: _Group, index: int) -> int:
        """One round of a program and size; returns how many samples were replaced."""
        replaced = 0
        for retry in range(self.options.retries + 1):
            taken: list[tuple[_Measured, Process]] = []
            for step in duet.steps(group_order(group.live, self.rng), self.duet, index):
                for member, process in self._step(step):
                    if process.failure is not None:
                        self._fail(member, f"round {index + 1}", process)
                        continue
                    taken.append((member, process))
            contended = any(p.contention is not None and p.contention.reason()
                            for _, p in taken)
            if not contended or retry == self.options.retries:
                break
            replaced += len(taken)
            for member, _ in taken:
                member.record.replaced += 1
        if self._fell_short(group, taken):
            return replaced
        for member, process in taken:
            report = process.report
            member.record.samples.append(Sample(
                report.seconds_per_repetition, report.allocate_seconds, report.init_seconds,
                report.result, index, process.contention or Contention(), retry,
                process.team_cpus))
        group.rounds_kept += 1
        return replaced

    def _step(self, step: duet.Step) -> list[tuple[_Measured, Process]]:
        """One process, or a duet's two at the same time on their CPU sets."""
        if step.cpu_sets is None:
            return [(member, self._process(member, member.repetitions))
                    for member in step.members]
        processes = duet.run_together(
            [(lambda cpus, started, m=member: attempt(m.cell, m.repetitions, self.options,
                                                      self.ledger, m.variant.bin_dir,
                                                      cpus=cpus, started=started))
             for member in step.members], step.cpu_sets)
        return list(zip(step.members, processes))

    def _fell_short(self, group: _Group, taken: list[tuple[_Measured, Process]]) -> bool:
        """Whether a loop of a repeatable call fell short of --min-time, in which
        case its cell gets more repetitions and the group starts its samples
        over (its rounds stay paired)."""
        if not group.members[0].cell.workload.calibrated or group.recalibrations <= 0:
            return False
        short: dict[Cell, int] = {}
        for member, process in taken:
            loop = process.report.seconds_per_repetition * member.repetitions
            if loop < self.options.min_time and member.repetitions < MAX_REPETITIONS:
                member.runs.append((member.repetitions, loop))
                short[member.cell] = max(short.get(member.cell, 1),
                                         next_repetitions(self.options.min_time, member.runs))
        if not short:
            return False
        group.recalibrations -= 1
        for cell, repetitions in short.items():
            self._set_repetitions(group, cell, repetitions)
        for item in group.members:
            item.record.samples.clear()
        group.rounds_kept = 0
        return True

    def _interrupted(self) -> None:
        for run in self.runs.values():
            run.cut_short(self.options.samples)
        self.emit(Interrupted(after_cells=False))
        self.write()

    def _after_cells(self) -> int:
        """The bandwidth probe and the plots, once every cell has run."""
        status = 0
        if self.probe_bandwidth:
            self.emit(StepStarted("bandwidth"))
            try:
                measured = bandwidth.measure(self.variants[0].bin_dir, self.thread_counts)
            except Exception as error:  # the probe's failure must not cost the sweep
                self.emit(StepFailed("bandwidth", error))
                status = 1
            else:
                figures = {str(t): dict(v) for t, v in measured.items()}
                for run in self.runs.values():
                    run.bandwidth = figures
        self.write()
        if self.draw_plots:
            for variant in self.variants:
                try:
                    export.plots.write(self.folder(variant), derive(self.runs[variant.name]))
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
