"""Runs one process of a cell and checks it before its time counts.

Every process is timed by the program itself (its closing line); the runner
adds what it saw of the machine while the process ran (contention.py): the
host's steal time and runnable tasks from /proc/stat, and the child's CPU time
and involuntary context switches from os.wait4.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import os
import pathlib
import shlex
import signal
import subprocess
import tempfile
import threading
import time
from typing import Callable

from . import machine, output
from .placement import Placement, started_on
from .shape import Shape, format_cpu_list
from ..model.contention import RETRIES, Contention
from ..plan.matrix import Cell
from ..plan.workload import PARALLEL_MODE

# How often the runner looks at the threads of a process whose call should run on
# a team: seldom enough to cost the program nothing it would notice ...
TEAM_POLL = 0.1
# ... after first looks at this interval, doubling up to it: a loop of 60 ms
# (two threads bound to one CPU by GOMP_CPU_AFFINITY, 15 ms a call) ended
# before the first look at 0.1 s, and its team was never seen.
TEAM_FIRST_POLL = 0.005


@dataclasses.dataclass
class Options:
    bin_dir: pathlib.Path
    samples: int = 5  # rounds: one sample of every cell each
    min_time: float = 0.05
    timeout: float | None = 120.0
    pin: str | None = None  # None, or how cells are pinned: "close" or "spread"
    hugepages: bool = False
    seed: int = 0  # of the rounds' shuffled order
    retries: int = RETRIES  # re-measurements of a contended round of a cell group
    numa: str | None = None  # None, or the memory policy: "local" or "interleave"
    shape: Shape | None = None  # the machine pinned on (this one's, read when needed)

    @functools.cached_property
    def placement(self) -> Placement:
        return Placement(self.pin, self.numa, self.shape)


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
    killed_after: float | None = None  # the timeout, when the runner killed it
    contention: Contention | None = None
    # The most threads the process was seen to have once its timed loop began
    # (None: not looked at, or it ended before a look).
    team: int | None = None
    # How many CPUs the threads of that team could run on once all had started,
    # where that was fewer than the team (or the CPUs the process was given) has:
    # its threads then take turns on them (an affinity setting confined them).
    team_cpus: int | None = None

    def describe(self) -> str:
        """The command, the exit status and everything the program printed."""
        prefix = " ".join(f"{k}={shlex.quote(v)}" for k, v in self.env_changes.items())
        status = (f"killed after {self.killed_after:g} s (timeout)"
                  if self.killed_after is not None else
                  ended(self.returncode) if (self.returncode or 0) < 0 else
                  f"exit status: {self.returncode}")
        lines = [f"$ {(prefix + ' ') if prefix else ''}{shlex.join(self.command)}",
                 status,
                 "stdout:", self.stdout.rstrip("\n") or "(empty)",
                 "stderr:", self.stderr.rstrip("\n") or "(empty)"]
        return "\n".join(lines)


def ended(returncode: int | None) -> str:
    """How a process ended: its exit status, or the signal that killed it, by name."""
    if returncode is None or returncode >= 0:
        return f"exit status {returncode}"
    try:
        name = signal.Signals(-returncode).name
    except ValueError:
        name = "a signal"
    return f"killed by {name} (signal {-returncode})"


def command(cell: Cell, bin_dir: pathlib.Path, repetitions: int) -> list[str]:
    argv = [str(pathlib.Path(bin_dir) / cell.executable),
            str(cell.n), str(cell.threads), str(repetitions)]
    if cell.fourth is not None:
        argv.append(str(cell.fourth))
    return argv


def env_changes(cell: Cell, options: Options, cpus: list[int] | None = None) -> dict[str, str]:
    """What the runner adds to its own environment for this cell's processes (on
    `cpus`, by default those --pin gives the cell)."""
    placement = options.placement
    changes = placement.env(cell, placement.cpus(cell) if cpus is None else cpus)
    if options.hugepages:
        tunables = os.environ.get("GLIBC_TUNABLES")
        hugetlb = "glibc.malloc.hugetlb=1"
        changes["GLIBC_TUNABLES"] = f"{tunables}:{hugetlb}" if tunables else hugetlb
    return changes


def launch_prefix(cell: Cell, options: Options) -> str:
    """What precedes a cell's command as a dry run shows it: the CPUs --pin gives it,
    the variables the runner sets and the numactl that --numa runs it under."""
    cpus = options.placement.cpus(cell)
    words = [f"[CPUs {format_cpu_list(cpus)}]"] if cpus is not None else []
    words += [f"{k}={v}" for k, v in env_changes(cell, options).items()]
    words += options.placement.prefix(cpus)
    return " ".join(words) + " " if words else ""


def expected_team(cell: Cell) -> int | None:
    """The threads a process of the cell must have while its call runs: those of the
    parallel mode's team where the call is parallel at that size, else None (the
    C++17 variants start their workers as oneTBB sees fit)."""
    workload = cell.workload
    if cell.backend != PARALLEL_MODE or cell.threads < 2 or not workload.has_parallel_call \
            or cell.n < workload.parallel_min_n:
        return None
    return cell.threads


def _threads(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/status", encoding="ascii", errors="replace") as status:
            for line in status:
                if line.startswith("Threads:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


def _team_cpus(pid: int) -> set[int] | None:
    """The CPUs the threads of a process may run on together (the union of their
    affinity masks), or None when they cannot be read."""
    cpus: set[int] = set()
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            try:
                cpus |= os.sched_getaffinity(int(tid))
            except (OSError, ValueError):  # a thread that has just ended
                continue
    except OSError:
        return None
    return cpus or None


def _watch_team(pid: int, waiter: threading.Thread, stdout, timeout: float | None,
                wanted: int | None, whole: bool = False) -> tuple[int | None, set | None, bool]:
    """Waits for the process as waiter.join(timeout) would, looking now and then at
    its thread count while its timed loop runs (it has printed its initialisation
    time and not yet its closing line); returns the most threads seen (or None),
    the CPUs those threads could run on once there were `wanted` of them (or
    None), and whether two looks in a row saw that most: a team still starting
    (a short loop on a busy machine) may be seen once with fewer. It stops
    looking once it has seen `wanted`; with `whole` it looks until the loop ends,
    and the CPUs are those of every look."""
    deadline = None if timeout is None else time.monotonic() + timeout
    seen = cpus = last = None
    steady = False
    poll = TEAM_FIRST_POLL
    while waiter.is_alive():
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            break
        if not whole and seen is not None and seen >= wanted:
            waiter.join(left)
            break
        waiter.join(poll if left is None else min(poll, left))
        poll = min(TEAM_POLL, 2 * poll)
        printed = os.pread(stdout.fileno(), 4096, 0)
        # Between these two lines runs the timed loop, and with it the team.
        if waiter.is_alive() and b"Time init:" in printed and b"Result->" not in printed:
            count = _threads(pid)
            if count is not None:
                grew, seen = count > (seen or 0), max(seen or 0, count)
                steady = (steady and not grew) or (count == last == seen)
                last = count
                # The team's affinity is set as its threads start (GOMP_CPU_AFFINITY,
                # OMP_PLACES, taskset): read as the runner stops looking, or, looking
                # through the loop, whenever new threads appeared.
                if whole and grew:
                    cpus = (cpus or set()) | (_team_cpus(pid) or set())
                elif not whole and seen >= wanted:
                    cpus = _team_cpus(pid)
    return seen, cpus, steady


def check(cell: Cell, repetitions: int, returncode: int, stdout: str) -> output.Report:
    """Checks one process's exit status and report against what was asked of it."""
    if returncode != 0:
        raise CheckFailed(ended(returncode))
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


def run_process(cell: Cell, repetitions: int, options: Options,
                bin_dir: pathlib.Path | None = None, wrapper: list[str] | None = None,
                extra_env: dict[str, str] | None = None, cpus: frozenset[int] | None = None,
                started: Callable[[subprocess.Popen], None] | None = None) -> Process:
    """Runs one process of the cell (from bin_dir, by default the options') and checks it;
    `wrapper` is a command that runs the program (valgrind), `extra_env` what it adds.
    With `cpus`, the process runs on those CPUs alone; `started` hears of the child."""
    placement = options.placement
    placed = placement.cpus(cell, cpus)
    changes = dict(env_changes(cell, options, placed), **(extra_env or {}))
    process = Process(placement.prefix(placed) + (wrapper or [])
                      + command(cell, bin_dir or options.bin_dir, repetitions), changes)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        before = machine.cpu_times()
        try:
            with started_on(frozenset(placed) if placed is not None else None):
                child = subprocess.Popen(process.command,
                                         env=machine.program_environment(changes),
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        except OSError as error:
            process.failure = f"cannot start: {error}"
            return process
        if started is not None:
            started(child)
        start = time.monotonic()
        waited: list = []

        def wait_for_child() -> None:
            try:
                waited.append(os.wait4(child.pid, 0))
            except ChildProcessError:
                # kill() polls first, and reaps a child that had just ended (killed by
                # the same Ctrl-C or SIGTERM that interrupts the runner).
                pass

        waiter = threading.Thread(target=wait_for_child, daemon=True)
        try:
            waiter.start()
        except RuntimeError as error:  # "can't start new thread": the machine's limit
            child.kill()
            child.wait()
            process.failure = (f"the runner could not start a thread to wait for the program "
                               f"({error}): this machine's limit of threads or processes is "
                               "reached")
            return process
        # Under a wrapper the threads seen are not the program's alone.
        wanted = expected_team(cell) if wrapper is None else None
        # A pinned process is looked at through its loop: its threads and their CPUs.
        pinned = bool(options.pin) and placed is not None and wrapper is None
        spanned, steady = None, False
        try:
            if wanted is None and not pinned:
                waiter.join(options.timeout)
            else:
                process.team, spanned, steady = _watch_team(child.pid, waiter, out,
                                                            options.timeout, wanted, whole=pinned)
                given = len(placed if placed is not None else os.sched_getaffinity(0))
                if wanted is not None and spanned is not None \
                        and len(spanned) < min(wanted, given):
                    process.team_cpus = len(spanned)
            if waiter.is_alive():
                child.kill()
                waiter.join()
                process.killed_after = options.timeout
        except BaseException:  # Ctrl-C: leave no program behind
            child.kill()
            waiter.join()
            raise
        wall = time.monotonic() - start
        after = machine.cpu_times()
        if not waited:  # it ended as the timeout killed it: kill() reaped it
            process.failure = f"timed out after {options.timeout:g} s (killed)"
            return process
        _, status, usage = waited[0]
        child.returncode = process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        process.stdout = out.read().decode(errors="replace")
        process.stderr = err.read().decode(errors="replace")
    process.contention = _contention(before, after, wall, usage)
    if process.killed_after is not None:
        process.returncode = None
        process.failure = f"timed out after {options.timeout:g} s (killed)"
        return process
    try:
        process.report = check(cell, repetitions, process.returncode, process.stdout)
    except CheckFailed as failure:
        process.failure = str(failure)
    if process.failure is None and wanted is not None and process.team is not None \
            and process.team < wanted and steady:
        process.failure = (f"ran on {process.team} thread(s) where it reports {wanted}: the "
                           "OpenMP runtime started a smaller team")
    if process.failure is None and pinned:
        process.failure = _off_pin(cell, placed, placement.allowed_team(cell, placed),
                                   process.team, spanned)
    return process


def _off_pin(cell: Cell, cpus: list[int], allowed: int, team: int | None,
             spanned: set | None) -> str | None:
    """Why a pinned process did not run where it was put, or None: its threads
    could run on CPUs outside its set, or were more than the set allows."""
    outside = (spanned or set()) - set(cpus)
    if outside:
        return (f"its threads could run on CPU(s) {format_cpu_list(outside)}, outside the "
                f"{format_cpu_list(cpus)} it was pinned to")
    if team is not None and team > allowed:
        return (f"ran {team} threads pinned to {len(cpus)} CPU(s), where its runtime should "
                f"start at most {allowed} for {cell.threads}")
    return None


def _contention(before, after, wall: float, usage, hz: int | None = None) -> Contention:
    cpu = usage.ru_utime + usage.ru_stime
    steal_share = others_share = others_seconds = runnable = load = None
    if before is not None and after is not None:
        hz = hz or machine.clock_ticks_per_second()
        total = after.total - before.total
        steal_share = (after.steal - before.steal) / total if total > 0 else 0.0
        # What ran on the CPUs besides the child (the runner waits meanwhile).
        others_seconds = max((after.busy - before.busy) / hz - cpu, 0.0)
        others_share = others_seconds / (total / hz) if total > 0 else 0.0
        runnable = max(before.procs_running - 1, 0)  # the runner itself is running
        load = before.load_avg
    return Contention(wall_seconds=wall, cpu_seconds=cpu, involuntary_switches=usage.ru_nivcsw,
                      steal_share=steal_share, others_share=others_share,
                      others_seconds=others_seconds, runnable_others=runnable, load_avg=load)


class ResultLedger:
    """Remembers each (program, n, fourth)'s result so that every thread count,
    sample and build can be held to the first one seen."""

    def __init__(self) -> None:
        self._seen: dict[tuple, tuple[int, str]] = {}

    def check(self, cell: Cell, result: int | None) -> None:
        if result is None:
            return
        key = (cell.program, cell.n, cell.fourth)
        first = self._seen.setdefault(key, (result, cell.name))
        if first[0] != result:
            raise CheckFailed(f"result {result} differs from {first[0]} reported by {first[1]}")


def attempt(cell: Cell, repetitions: int, options: Options, ledger: ResultLedger,
            bin_dir: pathlib.Path | None = None, wrapper: list[str] | None = None,
            extra_env: dict[str, str] | None = None, **placement) -> Process:
    """One checked process of the cell; its `failure` says what was wrong, if anything.
    `placement`: run_process's `cpus` and `started`."""
    process = run_process(cell, repetitions, options, bin_dir, wrapper, extra_env, **placement)
    if process.failure is None:
        try:
            ledger.check(cell, process.report.result)
        except CheckFailed as failure:
            process.failure = str(failure)
    return process
