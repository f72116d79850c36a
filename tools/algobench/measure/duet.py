"""A/B processes side by side (`ab --duet`): both builds of a cell at the same
moment, each on CPUs of its own.

Run one after the other, A and B see the machine in two states, and on a
shared virtual machine the neighbour that slows one of them may be gone when
the other runs. Run at the same time, both feel the same neighbour. A cell
whose thread count fits twice into the usable CPUs runs its two processes
together, each pinned to a set of CPUs of its own, and the sets change hands
every round, so that neither build keeps the CPU that the machine's other
work favours. A cell that does not fit runs its builds one after the other,
as every other cell does.

The CPU time one build's process uses is no contention for the other's: the
readings of a duet (contention.py) count as others' work only what neither
of the two used.
"""

from __future__ import annotations

import dataclasses
import os
import subprocess
import threading
import time
import types
from typing import Callable

from . import machine, runner
from .runner import Process

# A launcher runs one process on the CPUs given, telling `started` of its child.
Launcher = Callable[[frozenset, Callable[[subprocess.Popen], None]], Process]


@dataclasses.dataclass
class Step:
    """What a round runs at once: one process, or a duet's two with their CPU sets."""

    members: list
    cpu_sets: tuple[frozenset, frozenset] | None = None


def cpu_sets(threads: int, usable: list[int] | None = None
             ) -> tuple[frozenset, frozenset] | None:
    """Two disjoint sets of `threads` usable CPUs each, or None when they do not fit."""
    usable = sorted(os.sched_getaffinity(0) if usable is None else usable)
    if threads < 1 or 2 * threads > len(usable):
        return None
    return frozenset(usable[:threads]), frozenset(usable[threads:2 * threads])


def steps(order: list, enabled: bool, index: int, usable: list[int] | None = None) -> list[Step]:
    """A round's processes of one program size as steps. `order` holds each cell's
    builds next to each other (sweep.group_order); with `enabled`, a cell of two
    builds that fits twice on the CPUs is one step of both, its build A on the
    first set in even rounds and on the second in odd ones."""
    found: list[Step] = []
    position = 0
    while position < len(order):
        member = order[position]
        partner = order[position + 1] if position + 1 < len(order) else None
        sets = cpu_sets(member.cell.threads, usable) if enabled else None
        if sets is not None and partner is not None and partner.cell == member.cell:
            pair = sorted([member, partner], key=lambda m: m.variant.name)
            found.append(Step(pair, sets if index % 2 == 0 else (sets[1], sets[0])))
            position += 2
            continue
        found.append(Step([member]))
        position += 1
    return found


def run_together(launchers: list[Launcher], sets: tuple[frozenset, frozenset]) -> list[Process]:
    """Runs the two launchers' processes at the same time, each on its set of CPUs,
    and returns them with the readings of the machine over both."""
    children: list[subprocess.Popen] = []
    results: list[Process | BaseException | None] = [None, None]

    def launch(slot: int) -> None:
        try:
            results[slot] = launchers[slot](sets[slot], children.append)
        except BaseException as error:  # handed to the thread that waits
            results[slot] = error

    before, start = machine.cpu_times(), time.monotonic()
    threads = [threading.Thread(target=launch, args=(slot,), daemon=True) for slot in (0, 1)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    except BaseException:  # Ctrl-C: leave no program behind
        for child in children:
            if child.poll() is None:
                child.kill()
        for thread in threads:
            thread.join()
        raise
    after, wall = machine.cpu_times(), time.monotonic() - start
    for result in results:
        if isinstance(result, BaseException):
            raise result
    shared(results, before, after, wall)
    return results


def shared(processes: list[Process], before, after, wall: float) -> None:
    """Makes each process's readings of the others' CPU time those of the pair's
    `wall` seconds: what neither process of the pair used."""
    readings = [p.contention for p in processes if p.contention is not None]
    if len(readings) != len(processes):
        return
    both = types.SimpleNamespace(ru_utime=sum(r.cpu_seconds or 0.0 for r in readings),
                                 ru_stime=0.0, ru_nivcsw=0)
    pair = runner._contention(before, after, wall, both)
    for reading in readings:
        reading.steal_share = pair.steal_share
        reading.others_seconds = pair.others_seconds
        reading.others_share = pair.others_share
