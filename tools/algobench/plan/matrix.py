"""The sweep matrix: which (program, size, backend, thread count) cells a run measures."""

from __future__ import annotations

import dataclasses
import math
import os
import re

from .workload import BACKENDS, PARALLEL_MODE, SEQUENTIAL, WORKLOADS

# One size per decade from 10^4 to 10^7: the densest ladder that keeps the
# default sweep near a minute on a two-core machine (the 10^7 cells alone,
# mostly allocation and initialisation of the arrays, take about half of it).
DEFAULT_SIZES = (10_000, 100_000, 1_000_000, 10_000_000)


@dataclasses.dataclass(frozen=True)
class Cell:
    """One point of the matrix: a program at a size and a thread count, built
    for one backend."""

    program: str
    n: int
    threads: int
    backend: str = PARALLEL_MODE

    @property
    def name(self) -> str:
        return cell_name(self.program, self.n, self.threads, self.backend)

    @property
    def workload(self):
        return WORKLOADS[self.program]

    @property
    def executable(self) -> str:
        return self.workload.executable_for(self.backend)

    @property
    def fourth(self) -> int | None:
        return WORKLOADS[self.program].fourth(self.n)


def cell_name(program: str, n: int, threads: int, backend: str = PARALLEL_MODE) -> str:
    """"count_if/n:1000/threads:2"; other backends than the parallel mode add
    "/backend:<name>", so the names of the parallel mode's cells never change."""
    name = f"{program}/n:{n}/threads:{threads}"
    return name if backend == PARALLEL_MODE else f"{name}/backend:{backend}"


def usable_cpus() -> int:
    return len(os.sched_getaffinity(0))


def default_threads(cpus: int, cores: int | None = None) -> list[int]:
    """1, 2, 4, ... up to the physical cores of the usable CPUs, that count
    itself, then every usable CPU (hardware threads sharing those cores);
    without `cores`, every CPU counts as a core."""
    cores = min(cores or cpus, cpus)
    counts = []
    t = 1
    while t <= cores:
        counts.append(t)
        t *= 2
    return sorted(set(counts) | {cores, cpus})


def on_cores(threads: int, cores: int | None, cpus: int | None) -> int | None:
    """The cores a count of hardware threads beyond them shares (more threads
    than cores, no more than the usable CPUs); None for any other count."""
    # Counts read back from a results file: whole numbers, or nothing is marked.
    if isinstance(cores, int) and isinstance(cpus, int) and 0 < cores < threads <= cpus:
        return cores
    return None


def geometric_sizes(low: int, high: int, per_decade: int) -> list[int]:
    """Sizes from low to high, `per_decade` steps per factor of ten, rounded."""
    if low <= 0 or high < low or per_decade < 1:
        raise ValueError("need 0 < low <= high and at least one step per decade")
    sizes = []
    step = 10 ** (1 / per_decade)
    k = 0
    while True:
        size = round(low * step**k)
        if size > high * 1.0001:
            break
        if not sizes or size != sizes[-1]:
            sizes.append(size)
        k += 1
    return sizes


def between(low: int, high: int) -> int | None:
    """A size a person would write between `low` and `high`: their geometric
    mean to two significant digits (more where that lands on an end); None
    where no whole number lies between them."""
    if high - low < 2:
        return None
    mean = math.sqrt(low * high)
    for digits in range(2, len(str(high)) + 1):
        scale = 10 ** max(len(str(int(mean))) - digits, 0)
        size = round(mean / scale) * scale
        if low < size < high:
            return size
    size = round(mean)
    return size if low < size < high else None


def refinement(program: str, backend: str, threads: int, n: int,
               sequential_reference: bool) -> list[Cell]:
    """The cells that place a parallel cell of a new size beside its references,
    in run order: the backend at 1 thread, the cell, and the sequential build
    at 1 thread where the line is judged against it (the sequential backend,
    or the program itself where it is built without the parallel mode)."""
    cells = [Cell(program, n, 1, backend), Cell(program, n, threads, backend)]
    if sequential_reference:
        built = SEQUENTIAL if WORKLOADS[program].parallel else PARALLEL_MODE
        cells.append(Cell(program, n, 1, built))
    order = list(BACKENDS)
    return sorted(set(cells), key=lambda c: (order.index(c.backend), c.threads))


def build(programs: list[str] | None = None, sizes: list[int] | None = None,
          threads: list[int] | None = None, pattern: str | None = None,
          cpus: int | None = None, backends: list[str] | None = None,
          cores: int | None = None) -> list[Cell]:
    """The cells in run order: program, then size, then backend, then thread count.

    Explicit thread counts apply to the parallel-mode programs and the C++17
    variants; the sequential builds only echo their thread count and always
    run at 1 thread. Without explicit counts, a parallel-mode program whose
    call the library never hands to the OpenMP team (no parallel version of
    it) runs at 1 thread only: its other thread counts would time the same
    sequential call again. `backends` (default: the parallel mode alone)
    applies to the programs built for them. The default thread counts are
    default_threads(cpus, cores), for this process's CPUs without `cpus`.
    """
    backends = [PARALLEL_MODE] if not backends else list(dict.fromkeys(backends))
    unknown = [b for b in backends if b not in BACKENDS]
    if unknown:
        raise ValueError(f"unknown backend(s): {', '.join(unknown)}; known: {', '.join(BACKENDS)}")
    programs = list(WORKLOADS) if not programs else programs
    unknown = [p for p in programs if p not in WORKLOADS]
    if unknown:
        raise ValueError(f"unknown program(s): {', '.join(unknown)}; known: {', '.join(WORKLOADS)}")
    sizes = list(DEFAULT_SIZES) if not sizes else sizes
    if any(n < 0 for n in sizes):
        raise ValueError("sizes must be 0 or more")
    if threads and any(t < 1 for t in threads):
        raise ValueError("thread counts must be 1 or more")
    parallel_threads = sorted(set(threads or default_threads(cpus or usable_cpus(), cores)))
    regex = re.compile(pattern) if pattern else None
    cells = []
    for program in programs:
        workload = WORKLOADS[program]
        for n in sizes:
            for backend in backends:
                if backend not in workload.backends:
                    continue
                if backend == PARALLEL_MODE:
                    sweeps = workload.has_parallel_call if not threads else workload.parallel
                else:
                    sweeps = workload.sweeps_threads(backend)
                for t in parallel_threads if sweeps else [1]:
                    cell = Cell(program, n, t, backend)
                    if regex is None or regex.search(cell.name):
                        cells.append(cell)
    return cells


def _whole(item: str) -> int:
    """One whole number of a list ("1e6", "2_000"); ValueError, in the suite's
    words, when it is not one, OverflowError when it is too large for a float."""
    item = item.strip()
    digits = item.replace("_", "")
    try:
        value = float(digits) if "e" in digits.lower() else int(digits)
    except ValueError:
        raise ValueError(f"{item!r} is not a whole number") from None
    if value != value or value != int(value):  # NaN, or a fraction
        raise ValueError(f"{item!r} is not a whole number")
    return int(value)


def parse_int_list(text: str) -> list[int]:
    """"10000,1e6,2_000" -> [10000, 1000000, 2000]; scientific notation allowed."""
    values = [_whole(item) for item in text.split(",") if item.strip()]
    if not values:
        raise ValueError(f"no numbers in {text!r}")
    return values


def parse_sizes(text: str) -> list[int]:
    """A list as parse_int_list, or a ladder "LOW:HIGH:STEPS_PER_DECADE" ("1e4:1e7:2")."""
    if ":" in text:
        parts = text.split(":")
        if len(parts) != 3:
            raise ValueError(f"a ladder is LOW:HIGH:STEPS_PER_DECADE, got {text!r}")
        return geometric_sizes(*(_whole(p) for p in parts))
    return parse_int_list(text)


# The programs read n, the thread count and the repetitions with strtol into a
# C int: a larger value reaches them wrapped (3e9 as -1294967296).
INT_MAX = 2**31 - 1


def check_limits(cells: list[Cell]) -> None:
    """Raises ValueError, in one line, when a cell asks a program for more than
    it can take: an n beyond a C int, or more threads than the program accepts
    (its workload's max_threads; a C int for those that only echo the count)."""
    sizes = sorted({c.n for c in cells if c.n > INT_MAX})
    if sizes:
        raise ValueError(f"--sizes: {', '.join(map(str, sizes))} "
                         f"{'is' if len(sizes) == 1 else 'are'} above {INT_MAX}, the largest n "
                         "the programs can read (a 32-bit int)")
    over: dict[int, list[str]] = {}
    for cell in cells:
        limit = cell.workload.threads_limit(cell.backend) or INT_MAX
        who = cell.program if cell.backend == PARALLEL_MODE else cell.executable
        if cell.threads > limit and who not in over.setdefault(limit, []):
            over[limit].append(who)
    if over:
        limit = min(over)
        counts = sorted({c.threads for c in cells
                         if c.threads > limit and (c.program in over[limit]
                                                   or c.executable in over[limit])})
        raise ValueError(f"--threads: {', '.join(map(str, counts))} "
                         f"{'is' if len(counts) == 1 else 'are'} above {limit}, the most "
                         f"{', '.join(over[limit])} accept{'s' if len(over[limit]) == 1 else ''}")
