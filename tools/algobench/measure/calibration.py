"""Calibration of a timed loop: how many repetitions make each cell's loop
last --min-time at its own pace, and the warm-up and probe processes they are
chosen from. The arithmetic is a set of functions of (repetitions, loop
seconds) pairs; `Calibrator` runs the processes that give them, for the
program sizes of a timed sweep (timed.py).
"""

from __future__ import annotations

import math

from ..plan.matrix import Cell
from .runner import Process

# The most repetitions one process is given (the programs read a 32-bit int).
MAX_REPETITIONS = 1_000_000_000
# The clock the programs read (gettimeofday) ticks in microseconds: a call
# reported as taking 0 s is taken to last at most one tick when calibrating.
CLOCK_TICK = 1e-6
# Aim a little above --min-time so that run-to-run jitter keeps the loop above it.
CALIBRATION_MARGIN = 1.25
# Loops of short calls (PROBE_BELOW or more) aim higher: the pace of a call of
# microseconds, and of a two-thread team's above all, moves by half from one
# process to the next, and a loop that falls short is measured again.
SHORT_CALL_MARGIN = 2.0
# A round's loop that falls short of --min-time is kept where it lasted at
# least this share of it: the clock's error (a tick at either end, 2 us in
# all) is then at most 4 us / --min-time of the figure, 0.008% at the default
# 50 ms and 0.4% at a 1 ms --min-time, a tenth of the smallest margin a
# comparison is judged at; and the repetitions are the calibrated ones, so
# the first call's excess is spread over as many calls as planned. A loop of
# fewer than PROBE_BELOW calls must reach --min-time itself: there a loop
# faster than calibrated means a probe slowed by a neighbour chose too few
# calls, and the first call's excess weighs on the figure. Shorter, its cell
# is measured again within the round with more repetitions ...
KEPT_SHARE = 0.5
# ... at most this many times; the last loop is kept whatever it lasted.
REMEASURES = 3
# The first call's excess (fresh pages, the thread team started) may add at
# most this share to the figure: more repetitions dilute it ...
FIRST_CALL_LIMIT = 0.08
# ... as long as a process's loop stays within this many --min-time.
LONGEST_LOOP = 8
# The cells of a program size whose first call is a sizeable part of the loop
# (those calibrated from a FIRST_CALL_PROBE-call probe) run one count of calls
# where their paces are alike: the excess spread over more calls in one cell
# than in another biases their ratio (set_intersection at 10^7 on one thread,
# the same call in two builds: 0.66x at 17 calls against 37, 0.95x at 37 each,
# on a VM where first touch costs 0.1-0.25 s), and each cell's own count comes
# from loops that are mostly excess, so the counts of alike calls scatter by a
# factor of two. Alike: probe means within this factor of the next one's ...
ALIKE_PACE = 1.5
# ... and the shared count at most this many times a cell's own.
SHARED_AT_MOST = 2
# When the warm-up asks for fewer repetitions than PROBE_BELOW, one more discarded
# process runs this many, so that the first call's extra cost can be told
# apart from the cost of later calls.
FIRST_CALL_PROBE = 10
PROBE_BELOW = 100


class Calibrator:
    """The warm-up and probe processes of a timed sweep's program sizes, and the
    repetitions chosen from them. `process(member, repetitions)` runs one process
    of a cell of one build; `fail(member, stage, process)` records its failure."""

    def __init__(self, options, process, fail) -> None:
        self.options = options
        self.process = process
        self.fail = fail

    def _calibration_process(self, member, repetitions: int) -> Process:
        """A warm-up or probe process, measured again (a bounded number of
        times) when another process competed with it: the repetitions are
        chosen from these times, and a contended one would mislead them."""
        for _ in range(self.options.retries):
            process = self.process(member, repetitions)
            if process.failure is not None or process.contention is None \
                    or not process.contention.reason():
                return process
            member.record.replaced += 1
        return self.process(member, repetitions)

    def calibrate(self, group) -> None:
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
                self.fail(member, "warm-up", warm)
                continue
            member.record.result = warm.report.result
            member.runs.append((1, warm.report.seconds_per_repetition))
        if not group.members[0].cell.workload.calibrated:
            return
        wanted: dict[Cell, int] = {}
        probed = []  # the members calibrated from a FIRST_CALL_PROBE-call loop
        for member in group.live:
            repetitions = calibrated_repetitions(self.options.min_time, member.runs[0][1])
            if repetitions < PROBE_BELOW:
                # A single call is a sizeable part of the loop: learn what the
                # first call costs beyond the others before choosing.
                repetitions = self._first_call(member, target)
                probed.append(member)
            else:
                # The warm-up's one call pays for cold caches: a short call can
                # look twice as slow as a later one, and a loop counted from it
                # falls short of --min-time and is measured again in its
                # round. A loop of a quarter of the target, at the
                # warm-up's pace, tells the later calls' pace.
                repetitions = self._short_calls(member, repetitions)
            if repetitions is None:
                continue
            wanted[member.cell] = max(wanted.get(member.cell, 1), repetitions)
        alike: dict[Cell, tuple[int, float, int]] = {}
        for member in probed:
            if member.cell not in wanted or not member.live:
                continue
            own, pace, fewest = alike.get(member.cell, (wanted[member.cell], 0.0, 1))
            # Without a line through its loops, a cell never runs fewer calls.
            fewest = max(fewest, own if not member.per_call else repetitions_reaching(
                target, member.record.first_call_excess or 0.0, member.per_call))
            pace = max(pace, member.runs[1][1] / FIRST_CALL_PROBE)
            alike[member.cell] = (own, pace, fewest)
        wanted.update(shared_counts(alike))
        for cell, repetitions in wanted.items():
            set_repetitions(group, cell, repetitions)

    def _probe(self, member, repetitions: int) -> bool:
        """One discarded process of `repetitions` calls; False when it failed."""
        probe = self._calibration_process(member, repetitions)
        if probe.failure is not None:
            self.fail(member, "calibration", probe)
            return False
        member.runs.append((repetitions, probe.report.seconds_per_repetition * repetitions))
        return True

    def _short_calls(self, member, repetitions: int) -> int | None:
        """Repetitions for a cell of short calls, from a discarded loop of about a
        quarter of `repetitions` at the warm-up's pace (or the warm-up's, if
        faster), with SHORT_CALL_MARGIN; None when it failed."""
        probe = max(FIRST_CALL_PROBE, repetitions // 4)
        if not self._probe(member, probe):
            return None
        pace = min(member.runs[0][1], member.runs[-1][1] / probe)
        return calibrated_repetitions(self.options.min_time, pace, SHORT_CALL_MARGIN)

    def _first_call(self, member, target: float) -> int | None:
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
        if wanted > 2 * FIRST_CALL_PROBE or per_call <= 0:
            # Far beyond the probes, the line through two short loops is only
            # as good as their difference: a 1-call loop slowed by a neighbour
            # makes a call look nearly free and the loop run for minutes. A
            # longer loop checks the cost per call; the 10-call loop's mean is
            # an upper bound on it, which keeps that loop within
            # LONGEST_LOOP * --min-time.
            # It runs more calls than the 10-call probe: as many as chosen, up
            # to that bound. (As few as `diluting`, it could be the probe's 10
            # again, and the line through two equal loops is no line.)
            # Where the line failed, the excess is unknown and may be most of
            # the 10-call loop (partial_sum's first touch of 40 MB at 10^7:
            # 0.2 s against 15 ms a call): a loop of the few calls its mean
            # asks for would report mostly excess, three times the steady call,
            # where another build's cell dilutes it. The check runs as many as
            # the bound allows.
            mean = max(member.runs[1][1] / FIRST_CALL_PROBE, CLOCK_TICK)
            longest = max(FIRST_CALL_PROBE + 1, int(LONGEST_LOOP * self.options.min_time / mean))
            check = max(FIRST_CALL_PROBE + 1, longest if per_call <= 0 else min(wanted, longest))
            if not self._probe(member, check):
                return None
            excess, per_call = first_call_fit(member.runs[1], member.runs[2])
            if per_call <= 0:
                return check
            reaching = repetitions_reaching(target, excess, per_call)
            diluting = repetitions_diluting(self.options.min_time, excess, per_call)
            if check < 2 * FIRST_CALL_PROBE:
                # A checking loop a few calls longer than the probe leaves the
                # line to the difference of two loops that are mostly excess
                # (partial_sum at 10^7, 0.25 s of first touch at 10 ms a call:
                # 10 and 11 calls gave 27 ms a call and 4 calls, a loop that
                # reports 75 ms). Its count, the most the bound allows, stays.
                diluting = max(diluting, check)
        member.record.first_call_excess = excess
        member.per_call = per_call
        repetitions = max(reaching, diluting)
        if repetitions >= PROBE_BELOW:
            # A costly first call hid short calls, whose loop aims higher.
            repetitions = max(repetitions, repetitions_reaching(
                SHORT_CALL_MARGIN * self.options.min_time, excess, per_call))
        return repetitions

    def short_loops(self, group, taken: list) -> list[Cell]:
        """The cells of a round's (member, process) pairs whose loop of a
        repeatable call fell short (below KEPT_SHARE of --min-time, or below
        it in a loop of fewer than PROBE_BELOW calls), their repetitions raised
        (in every build) for the loop to reach it: the round measures them
        again, and keeps every other sample it took."""
        if not group.members[0].cell.workload.calibrated:
            return []
        short: dict[Cell, int] = {}
        for member, process in taken:
            loop = process.report.seconds_per_repetition * member.repetitions
            share = KEPT_SHARE if member.repetitions >= PROBE_BELOW else 1.0
            if loop < share * self.options.min_time and member.repetitions < MAX_REPETITIONS:
                member.runs.append((member.repetitions, loop))
                short[member.cell] = max(short.get(member.cell, 1),
                                         next_repetitions(self.options.min_time, member.runs))
        for cell, repetitions in short.items():
            set_repetitions(group, cell, repetitions)
        return list(short)


def set_repetitions(group, cell: Cell, repetitions: int) -> None:
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


def calibrated_repetitions(min_time: float, seconds_per_call: float,
                           margin: float = CALIBRATION_MARGIN) -> int:
    """Repetitions that make a loop of calls lasting seconds_per_call exceed min_time
    by `margin`."""
    per_call = seconds_per_call if seconds_per_call > 0 else CLOCK_TICK
    wanted = math.ceil(margin * min_time / per_call)
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


def shared_counts(cells: dict) -> dict:
    """The count of calls each cell runs, given by cell its (own count, mean
    seconds a call of its probe, the fewest calls that reach the target): cells
    whose probe means lie within ALIKE_PACE of the next one's, in order, run
    the median of their own counts (the lower of the middle two), each where
    that count lies between its fewest and SHARED_AT_MOST times its own."""
    order = sorted(cells, key=lambda cell: cells[cell][1])
    sets: list[list] = []
    for cell in order:
        if sets and cells[cell][1] <= ALIKE_PACE * cells[sets[-1][-1]][1]:
            sets[-1].append(cell)
        else:
            sets.append([cell])
    counts = {}
    for alike in sets:
        owns = sorted(cells[cell][0] for cell in alike)
        shared = owns[(len(owns) - 1) // 2]
        for cell in alike:
            own, _, fewest = cells[cell]
            counts[cell] = shared if fewest <= shared <= SHARED_AT_MOST * own else own
    return counts


def repetitions_reaching(target: float, excess: float, per_call: float) -> int:
    """The fewest repetitions whose loop, excess + r * per_call, lasts `target` (at least 1)."""
    return max(1, min(MAX_REPETITIONS, math.ceil((target - excess) / per_call)))


def repetitions_diluting(min_time: float, excess: float, per_call: float) -> int:
    """Repetitions that keep the first call's excess within FIRST_CALL_LIMIT of the
    figure of a steady call (excess / (r * per_call) <= the limit), without
    making one loop last longer than LONGEST_LOOP * min_time."""
    wanted = math.ceil(excess / (FIRST_CALL_LIMIT * per_call))
    longest = max(1, math.floor((LONGEST_LOOP * min_time - excess) / per_call))
    return max(1, min(MAX_REPETITIONS, wanted, longest))
