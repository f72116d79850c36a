"""Counts the instructions a cell's timed loop executes, under Valgrind's callgrind.

A time moves with whatever else the machine runs; the instructions a loop
executes do not. The programs mark their timed loop (the harness's
begin_counted_loop/end_counted_loop, which switch callgrind's counting on and
off for all threads), and callgrind runs with --instr-atstart=no, so the
total it writes holds the loop alone.

A steady count per call leaves out the first call's one-time work (lazy
binding of library calls, starting the thread team or oneTBB's workers; the
first touch of fresh pages is the kernel's and never counted): a process of
one call and a process of 1 + k calls differ by k steady calls, and k is
chosen so that they hold at least EXTRA_INSTRUCTIONS, which makes a few
thousand instructions of a parallel runtime's scheduling a small share. A
count that moves from process to process is taken from more processes of
1 + k calls against the one process of one call. A
call that cannot be repeated on the same data (the workload's `calibrated`
is False) is counted once, first call included.

A call of ONE_CALL_FROM instructions or more makes the process of 1 + k
calls the costliest part of a sweep (find_if at 10^7 runs some 10 s a call
under callgrind), while its first call's one-time work is a few hundred
thousand instructions at most and does not grow with n: across the sizes of
one program, backend and thread count it moves by under a thousand. Such a
cell is counted from processes of one call, less the one-time work measured
at a smaller size of the same program, backend and threads (its donor), as
long as that work is at most BORROWED_SHARE of the call; otherwise, or
without a donor, it is counted as any other.

Idle OpenMP threads would spin while they wait, and Valgrind runs a process's
threads one at a time, so the spinning would be counted: the programs run
with OMP_WAIT_POLICY=PASSIVE. oneTBB's idle workers spin briefly before they
sleep, with no setting to stop it; those counts scatter more.
"""

from __future__ import annotations

import dataclasses
import math
import os
import pathlib
import re
import shutil
import tempfile

from ..plan import build
from ..plan.matrix import Cell
from .runner import Options, Process, ResultLedger, attempt
from ..plan.workload import PARALLEL_MODE

# Names the valgrind to run instead of the one on PATH (the tests give a stand-in).
VALGRIND_ENV = "ALGOBENCH_VALGRIND"
# The text harness.cpp puts into a program built with the marks.
MARKS_TAG = b"algobench-instruction-marks"
# The least the extra calls of the second process should execute.
EXTRA_INSTRUCTIONS = 10_000_000
# The most extra calls a cell is given, however short its call.
MOST_EXTRA_CALLS = 1000
# A repeatable call of this many instructions or more, with a donor, is counted
# from processes of one call (see above).
ONE_CALL_FROM = 50_000_000
# The largest share of such a call its donor's one-time work may be.
BORROWED_SHARE = 0.01
# How many times as long a program runs under callgrind as alone, about: a
# process's --timeout is stretched by it.
SLOWDOWN = 50
# What the programs run with under callgrind, beyond the runner's own changes.
COUNT_ENV = {"OMP_WAIT_POLICY": "PASSIVE"}
_TOTALS = re.compile(r"^(totals|summary):\s*(\d+)", re.MULTILINE)


class CountError(Exception):
    """A callgrind output that holds no instruction total."""


@dataclasses.dataclass
class Counted:
    """The counts of a cell: instructions per steady call (one per process of
    1 + k calls), and what the first call executed beyond a steady one (None
    where the call is counted once, first call included)."""

    per_call: list[float]
    first_call_extra: float | None
    process: Process
    # Counted from processes of one call, one-time work included, to be taken
    # off with a donor's (borrowed()).
    one_call: bool = False


def borrowed(counted: Counted, excess: float | None) -> Counted | None:
    """The steady counts of a cell counted from one-call processes, less the
    one-time work `excess` of its donor; None where that work is unknown or
    more than BORROWED_SHARE of the call, and the cell must be counted in full."""
    if excess is None or excess < 0 or excess > BORROWED_SHARE * min(counted.per_call):
        return None
    return Counted([total - excess for total in counted.per_call], excess, counted.process)


def valgrind() -> str | None:
    """The valgrind to run: $ALGOBENCH_VALGRIND, or the one on PATH; None when there is none."""
    chosen = os.environ.get(VALGRIND_ENV)
    if chosen:
        return chosen if os.access(chosen, os.X_OK) else None
    return shutil.which("valgrind")


def unavailable(bin_dir: pathlib.Path, executables: list[str]) -> str | None:
    """Why the programs of bin_dir cannot be counted (no valgrind, or a program
    built without the marks), or None when they can."""
    if valgrind() is None:
        chosen = os.environ.get(VALGRIND_ENV)
        return (f"${VALGRIND_ENV} ({chosen}) is not an executable file" if chosen else
                "valgrind is not installed (Debian: valgrind)")
    for executable in executables:
        try:
            marked = MARKS_TAG in (pathlib.Path(bin_dir) / executable).read_bytes()
        except OSError:
            continue  # a missing program is refused elsewhere, with its own message
        if not marked:
            said = build.build_info(bin_dir).get("instruction_marks") or {}
            reason = said.get("reason") if isinstance(said, dict) else None
            return (f"{executable} in {bin_dir} was built without the marks of its timed loop"
                    + (f": {reason}" if reason else " (a build without <valgrind/callgrind.h>, "
                                                    "or from before the marks existed)"))
    return None


def total(text: str) -> int:
    """The instruction total of a callgrind output file: its totals line (or,
    lacking one, its summary line), summed over the parts a file may hold."""
    found: dict[str, int] = {}
    for match in _TOTALS.finditer(text):
        found[match.group(1)] = found.get(match.group(1), 0) + int(match.group(2))
    if "totals" in found:
        return found["totals"]
    if "summary" in found:
        return found["summary"]
    raise CountError("callgrind wrote no totals or summary line")


def extra_calls(first: int) -> int:
    """Calls beyond the first for the second process: enough to execute
    EXTRA_INSTRUCTIONS at the pace of a first call that executed `first`."""
    return max(1, min(MOST_EXTRA_CALLS, math.ceil(EXTRA_INSTRUCTIONS / max(first, 1))))


def steady(first: int, more: int, extra: int) -> tuple[float, float]:
    """(instructions per steady call, the first call's excess over it) from the
    totals of a 1-call process and a (1 + extra)-call process."""
    per_call = (more - first) / extra
    return per_call, first - per_call


def _counted_process(cell: Cell, repetitions: int, options: Options, ledger: ResultLedger,
                     bin_dir: pathlib.Path | None) -> tuple[Process, int | None]:
    with tempfile.TemporaryDirectory(prefix="algobench-callgrind-") as folder:
        out = pathlib.Path(folder) / "callgrind.out"
        wrapper = [valgrind() or "valgrind", "--tool=callgrind", "--instr-atstart=no",
                   f"--callgrind-out-file={out}"]
        process = attempt(cell, repetitions, options, ledger, bin_dir,
                          wrapper=wrapper, extra_env=COUNT_ENV)
        if process.failure is not None:
            return process, None
        try:
            return process, total(out.read_text(encoding="utf-8", errors="replace"))
        except (OSError, CountError) as error:
            process.failure = f"no instruction count: {getattr(error, 'strerror', None) or error}"
            return process, None


def count(cell: Cell, options: Options, ledger: ResultLedger,
          bin_dir: pathlib.Path | None = None, times: int = 1,
          may_borrow: bool = False, one_call: Counted | None = None) -> Counted | Process:
    """`times` steady counts of the cell (one process of a single call, then
    `times` processes of 1 + k calls), or the process that failed. With
    `may_borrow` (the cell has a donor), a call of ONE_CALL_FROM or more is
    counted from `times` processes of one call (Counted.one_call); given such a
    count in `one_call`, its first process stands for the single call."""
    if one_call is not None:
        process, first = one_call.process, round(one_call.per_call[0])
    else:
        process, first = _counted_process(cell, 1, options, ledger, bin_dir)
    if first is None:
        return process
    alone = cell.workload.calibrated and may_borrow and first >= ONE_CALL_FROM
    if not cell.workload.calibrated or alone:
        # Later calls would see other data, or cost more than they tell:
        # every count is a process of one call.
        counts = [float(first)]
        for _ in range(times - 1):
            process, again = _counted_process(cell, 1, options, ledger, bin_dir)
            if again is None:
                return process
            counts.append(float(again))
        return Counted(counts, None, process, one_call=alone)
    extra = extra_calls(first)
    counts, excesses = [], []
    for _ in range(times):
        process, more = _counted_process(cell, 1 + extra, options, ledger, bin_dir)
        if more is None:
            return process
        per_call, excess = steady(first, more, extra)
        if per_call < 0:
            process.failure = (f"{1 + extra} calls counted fewer instructions ({more}) than "
                               f"one ({first})")
            return process
        counts.append(per_call)
        excesses.append(excess)
    return Counted(counts, min(excesses), process)


def exact(cell: Cell) -> bool:
    """Whether the cell's count comes out the same in every process: one thread,
    or a call that never reaches a parallel runtime."""
    return cell.threads == 1 or not cell.workload.sweeps_threads(cell.backend) or (
        cell.backend == PARALLEL_MODE and cell.n < (cell.workload.parallel_min_n or 0))
