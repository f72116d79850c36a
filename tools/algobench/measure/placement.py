"""Where a cell's processes run: the CPUs of `--pin` and the memory of `--numa`.

Pinned, a t-thread cell of every backend runs on the same t CPUs, chosen from
the machine's shape (shape.py): `close` takes the first t cores, one hardware
thread each, then their second hardware threads; `spread` spreads the cores
evenly over the NUMA nodes (or, on one node, the sockets) and over the cores of
each. The process starts with that CPU set as its affinity, which every
program inherits and oneTBB sizes its arena by; an OpenMP program is told the
same CPUs as its places, one CPU a place, with OMP_PROC_BIND=close. A cell of
more threads than usable CPUs wraps: it runs on every usable CPU, its threads
taking turns, and its record says so.

`--numa local` runs each program under `numactl --localalloc`, `interleave`
under `numactl --interleave=` the nodes of the cell's CPUs; without it the
kernel places an array's pages where the thread that first touches them runs
(the one that fills it), so every parallel call reads that node's memory.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import shutil

from . import shape as shapes
from ..plan.workload import BACKENDS, PARALLEL_MODE

PIN_MODES = ("close", "spread")
NUMA_POLICIES = ("local", "interleave")
NUMACTL = "numactl"
# The user's own OpenMP placement, which --pin would otherwise mix with its own.
PLACEMENT_VARIABLES = ("OMP_PLACES", "OMP_PROC_BIND", "GOMP_CPU_AFFINITY", "KMP_AFFINITY")


def _evenly(items: list, count: int) -> list:
    """`count` of `items`, evenly spaced, the first one first."""
    return [items[i * len(items) // count] for i in range(count)]


def _spread(groups: list[list], count: int) -> list:
    """`count` items taken evenly over `groups` (their sizes' share each, the
    larger remainders first) and evenly within each group."""
    total = sum(len(group) for group in groups)
    shares = [count * len(group) // total for group in groups]
    rest = sorted(range(len(groups)),
                  key=lambda g: (-(count * len(groups[g]) % total), g))
    for g in rest[:count - sum(shares)]:
        shares[g] += 1
    picked = [_evenly(group, share) for group, share in zip(groups, shares) if share]
    # Interleaved, so that a team's first threads are on different nodes too.
    return [item for row in itertools.zip_longest(*picked) for item in row if item is not None]


def cpus_for(machine: shapes.Shape, threads: int, mode: str = "close") -> list[int]:
    """The CPUs a cell of `threads` threads runs on, in the order its threads take
    them: min(threads, usable CPUs) of them (more threads wrap onto these)."""
    cores = list(enumerate(machine.cores))
    socket_of = {index: s for s, indexes in machine.sockets.items() for index in indexes}
    by_node = len({machine.node_of(core[0]) for _, core in cores if core}) > 1
    wanted = min(max(threads, 1), sum(len(core) for _, core in cores))
    chosen: list[int] = []
    level = 0  # the hardware thread of each core taken in this pass
    while len(chosen) < wanted:
        # Each pass takes one hardware thread of the cores that have one left.
        at_level = [(index, core) for index, core in cores if len(core) > level]
        count = min(wanted - len(chosen), len(at_level))
        if mode == "close":
            chosen += [core[level] for _, core in at_level[:count]]
        else:
            groups: dict = {}
            for index, core in at_level:
                key = machine.node_of(core[0]) if by_node else socket_of.get(index)
                groups.setdefault(key, []).append(core[level])
            chosen += _spread(list(groups.values()), count)
        level += 1
    return chosen


def places(cpus: list[int]) -> str:
    """The OMP_PLACES value of one place per CPU, in the order given: "{0},{2}"."""
    return ",".join(f"{{{cpu}}}" for cpu in cpus)


def uses_openmp(cell) -> bool:
    """Whether the cell's program runs its call on an OpenMP team (its placement
    variables then apply)."""
    return cell.backend == PARALLEL_MODE and cell.workload.parallel


class Placement:
    """Where the cells of one sweep run: `pin` (None, "close" or "spread") and
    `numa` (None, "local" or "interleave") on the machine `shape` (this one's
    when not given, read once)."""

    def __init__(self, pin: str | None = None, numa: str | None = None,
                 shape: shapes.Shape | None = None) -> None:
        self.pin, self.numa = pin, numa
        self.shape = shape if shape is not None or not (pin or numa) else shapes.read()

    def cpus(self, cell, given: frozenset | None = None) -> list[int] | None:
        """The CPUs the cell's processes run on, in order (those `given`, as a duet
        gives them); None where they may run on any usable CPU."""
        if given is not None:
            return sorted(given)
        return cpus_for(self.shape, cell.threads, self.pin) if self.pin else None

    def env(self, cell, cpus: list[int] | None) -> dict[str, str]:
        """What an OpenMP program of a pinned cell is told of its CPUs."""
        if not self.pin or cpus is None or not uses_openmp(cell):
            return {}
        return {"OMP_PROC_BIND": "close", "OMP_PLACES": places(cpus)}

    def prefix(self, cpus: list[int] | None) -> list[str]:
        """The numactl command the program runs under, for the cell's CPUs."""
        if self.numa is None:
            return []
        if self.numa == "local":
            return [NUMACTL, "--localalloc", "--"]
        used = cpus if cpus is not None else self.shape.usable
        nodes = sorted({n for n in map(self.shape.node_of, used) if n is not None}) or [0]
        return [NUMACTL, f"--interleave={shapes.format_cpu_list(nodes)}", "--"]

    def allowed_team(self, cell, cpus: list[int]) -> int:
        """The most threads a pinned process of the cell may have while its call
        runs: its OpenMP team, oneTBB's arena (sized by the CPUs it may use), or
        the one thread of a program that only echoes its thread count."""
        via = BACKENDS[cell.backend].threads_via
        if cell.backend == PARALLEL_MODE and not cell.workload.parallel:
            via = None
        return {"openmp": cell.threads, "tbb": min(cell.threads, len(cpus))}.get(via, 1)

    def record(self, cell) -> dict | None:
        """What a cell's record keeps of its pinning: the mode, its CPUs, and how
        many threads share a CPU where they wrap."""
        cpus = self.cpus(cell)
        if cpus is None:
            return None
        found = {"mode": self.pin, "cpus": shapes.format_cpu_list(cpus)}
        if cell.threads > len(cpus):
            team = self.allowed_team(cell, cpus)
            found["wrapped"] = (f"{cell.threads} threads take turns on {len(cpus)} CPU(s)"
                                if team == cell.threads else
                                f"{team} thread(s) on {len(cpus)} CPU(s): oneTBB's arena is as "
                                "large as the CPUs the process may use")
        return found

    def context(self) -> dict:
        """What a run's context keeps: the pinning, the memory policy, the nodes
        and where the arrays were placed (said on a machine of more than one node)."""
        machine = self.shape or shapes.read()
        nodes = [n.node for n in machine.nodes if set(n.cpus) & set(machine.usable)]
        if len(nodes) < 2 and not (self.pin or self.numa):
            return {}  # nothing to say: a run's file stays as it was
        found = {"pin": self.pin, "numa": self.numa, "nodes": len(nodes)}
        if len(nodes) > 1 or self.numa:
            found["arrays"] = {
                None: "first touch: on the node of the thread that fills them",
                "local": "numactl --localalloc: on the node of the thread that fills them",
                "interleave": "numactl --interleave: page by page over the nodes of the "
                              "cell's CPUs"}[self.numa]
        return {k: v for k, v in found.items() if v is not None}


def refusal(pin: str | None, numa: str | None, environ=None) -> str | None:
    """Why a sweep with these options cannot run here, in one line, or None."""
    environ = os.environ if environ is None else environ
    if pin:
        own = [name for name in PLACEMENT_VARIABLES if name in environ]
        if own:
            return (f"--pin places the threads itself, and {', '.join(own)} "
                    f"{'is' if len(own) == 1 else 'are'} set: unset "
                    f"{'it' if len(own) == 1 else 'them'}, or run without --pin to have "
                    f"{'it' if len(own) == 1 else 'them'} honoured")
    if numa and shutil.which(NUMACTL) is None:
        return f"--numa {numa} runs the programs under numactl, which is not installed " \
               "(Debian: apt-get install numactl)"
    return None


@contextlib.contextmanager
def started_on(cpus):
    """Within it, a process started by this thread inherits `cpus` (None: this
    thread's own) as its affinity: a child inherits the CPUs of the thread that
    starts it, for the moment of the start."""
    own = os.sched_getaffinity(0) if cpus is not None else None
    if cpus is not None:
        os.sched_setaffinity(0, cpus)
    try:
        yield
    finally:
        if own is not None:
            os.sched_setaffinity(0, own)
