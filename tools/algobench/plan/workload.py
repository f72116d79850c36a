"""Everything the runner knows about each benchmark program, in one table.

One row per program says how its report looks (result label, time format),
which fourth argument the sweep passes for a size, which result the runner
expects, how the program is built, whether its timed call can be repeated on
the same data, from which size libstdc++'s parallel mode hands the call to the
OpenMP team, how many bytes one call touches per element and how many the
process allocates per element. The matrix, the report parser, the checks,
the derived figures, the warnings, the test stand-in and the tests all read
this table; a new program is one row here, one source file in bench/ and one
line in CMakeLists.txt.

The byte figures count the loads and stores the algorithm itself makes on its
arrays (8 bytes per double, 4 per int), not the extra traffic the hardware
adds (write-allocate, prefetching), so bytes/s computed from them is a floor
on the memory traffic. "sum" marks a read-dominated call, read against the
bandwidth probe's sum kernel; "copy" a read-and-write call, read against its
copy kernel; None a compute-bound call (a sine per element, or comparisons).
"""

from __future__ import annotations

import dataclasses
import math
from typing import Callable

# The parallel mode counts threads in 16 bits and forms threads + 2 there:
# the programs that hand their count to it refuse anything larger.
PARALLEL_MODE_MAX_THREADS = 65533
# What the C++17 variants hand to tbb::global_control as their parallelism:
# oneTBB sets aside some 130 bytes per allowed thread, so the variants refuse
# more than the parallel mode's bound.
PAR_MAX_THREADS = 65533


@dataclasses.dataclass(frozen=True)
class Backend:
    """One way of running a workload's timed call: a build flavour of its program."""

    name: str
    suffix: str  # appended to bench_<name> for this flavour's executable
    # How the thread count reaches the call: "openmp", "tbb", or None when the
    # program only echoes it (a sequential build runs at one thread only).
    threads_via: str | None
    description: str


PARALLEL_MODE = "parallel-mode"
SEQUENTIAL = "sequential"
PAR = "c++17-par"
PAR_UNSEQ = "c++17-par-unseq"

BACKENDS: dict[str, Backend] = {
    b.name: b
    for b in (
        Backend(PARALLEL_MODE, "", "openmp",
                "the program as it is: libstdc++'s parallel mode on OpenMP where the "
                "workload is built in it"),
        Backend(SEQUENTIAL, "_seq", None,
                "the same call built without the parallel mode and without OpenMP"),
        Backend(PAR, "_par", "tbb",
                "the call with std::execution::par, libstdc++'s parallel algorithms on oneTBB"),
        Backend(PAR_UNSEQ, "_par_unseq", "tbb",
                "the call with std::execution::par_unseq, where libstdc++ vectorises it "
                "differently from par"),
    )
}


@dataclasses.dataclass(frozen=True)
class Workload:
    """One benchmark program and what its timed call does."""

    name: str  # the algorithm, e.g. "count_if"; the executable is bench_<name>
    parallel: bool  # built in the parallel mode with OpenMP
    result_label: str | None  # the result line's label, if the program prints one
    expected: Callable[[int, int | None], int | None]  # result for (n, fourth), or None
    read_bytes: float  # per element, one timed call
    written_bytes: float  # per element, one timed call
    bandwidth_reference: str | None  # "sum", "copy" or None (compute-bound)
    # True: the call does the same work every repetition, so the runner picks
    # as many repetitions as make the timed loop last --min-time. False: later
    # repetitions would see different data, so every process times one call.
    calibrated: bool
    sample_meaning: str
    # Bytes the process allocates per element: all of the program's arrays,
    # and the temporary buffer the library asks for where the call uses one.
    # n times this is what a size needs of the machine's free memory.
    allocated_bytes: int
    fixed_time: bool = False  # closing time in fixed notation, nine decimals
    fourth_name: str | None = None  # what the fourth argument means, if there is one
    fourth_of_n: Callable[[int], int] | None = None  # the fourth argument the sweep passes
    fourth_rule: str | None = None  # how the sweep's fourth argument follows n, in words
    fourth_default: Callable[[int], int] | None = None  # the program's own, when none is given
    # Smallest n at which the parallel mode hands the call to the OpenMP team
    # (when more than one thread is allowed); None when it never does. The
    # library compares n with a member of __gnu_parallel::_Settings
    # (<parallel/settings.h>), which a program may change at run time:
    # `parallel_setting` names it; parallel_min_n follows its default.
    parallel_min_n: int | None = None
    parallel_setting: str | None = None
    # The largest thread count the program accepts, or None when it only echoes it.
    max_threads: int | None = None
    # Whether libstdc++ runs the call differently under par_unseq than under
    # par, so that a c++17-par-unseq variant is built and swept.
    par_unseq: bool = False
    # What the parallel mode's call does beyond the sequential one's work, which
    # the work ratio of an instruction count measures ("" where it has no parallel call).
    parallel_work: str = ""

    @property
    def executable(self) -> str:
        return f"bench_{self.name}"

    @property
    def backends(self) -> tuple[str, ...]:
        """The backends this workload is built for. A workload built without the
        parallel mode is its own sequential build, so it has no second one."""
        names = [PARALLEL_MODE]
        if self.parallel:
            names.append(SEQUENTIAL)
        names.append(PAR)
        if self.par_unseq:
            names.append(PAR_UNSEQ)
        return tuple(names)

    def executable_for(self, backend: str) -> str:
        return self.executable + BACKENDS[backend].suffix

    def sweeps_threads(self, backend: str) -> bool:
        """Whether more threads can change how this backend runs the call."""
        if backend == PARALLEL_MODE:
            return self.has_parallel_call
        return BACKENDS[backend].threads_via is not None

    def threads_limit(self, backend: str) -> int | None:
        """The largest thread count this backend's program accepts; None when it echoes."""
        if backend == PARALLEL_MODE:
            return self.max_threads
        return PAR_MAX_THREADS if BACKENDS[backend].threads_via == "tbb" else None

    @property
    def bytes_per_element(self) -> float:
        return self.read_bytes + self.written_bytes

    @property
    def has_parallel_call(self) -> bool:
        """Whether more threads can change how the timed call runs."""
        return self.parallel and self.parallel_min_n is not None

    def fourth(self, n: int) -> int | None:
        """The fourth argument the sweep passes for size n."""
        return None if self.fourth_of_n is None else self.fourth_of_n(n)

    def expected_result(self, n: int, fourth: int | None) -> int | None:
        """The result line's value computed independently of the program, or None."""
        return self.expected(n, fourth)


class _NegativeSineCount:
    """Counts the i in [0, n) with sin(i) < 0, remembering counts already found.

    Python's math.sin is the C library's sin, the one the program calls. A
    count for n starts from the largest remembered count below n, so the
    ladder 10^4 ... 10^7 costs one pass over 10^7 in total.
    """

    def __init__(self) -> None:
        self._known: dict[int, int] = {0: 0}

    def __call__(self, n: int) -> int:
        if n in self._known:
            return self._known[n]
        start = max(m for m in self._known if m <= n)
        count = self._known[start] + sum(map((0.0).__gt__, map(math.sin, range(start, n))))
        self._known[n] = count
        return count


negative_sine_count = _NegativeSineCount()

_LOOP = "mean of a loop of calls lasting at least --min-time"
_ONE_CALL = "one call on fresh data per process (repetitions = 1)"


def _no_result(n: int, fourth: int | None) -> None:
    return None


def _found_position(n: int, fourth: int | None) -> int:
    # A zero position outside 0..n-1 stores no zero: the search reports n.
    return fourth if fourth is not None and 0 <= fourth < n else n


def _three_quarters(n: int) -> int:
    # The programs' own default k = n*3/4, passed explicitly so the command
    # line and the results say which k was used.
    return n * 3 // 4


WORKLOADS: dict[str, Workload] = {
    w.name: w
    for w in (
        Workload("set_intersection", True, "size inserted elements =", lambda n, f: n // 2,
                 12, 4, "sum", True, _LOOP,
                 # 1..n and 2, 4, ..., 2n in, 2n doubles of output
                 # libstdc++ 12 tests set_union_minimal_n for set_intersection
                 # too (<parallel/algo.h>): the n of either range, from 1000.
                 allocated_bytes=32, parallel_min_n=1000, parallel_setting="set_union_minimal_n",
                 max_threads=PARALLEL_MODE_MAX_THREADS,
                 par_unseq=True,
                 parallel_work="searches that split both ranges at matching values, and a "
                               "counting pass before each thread writes its part"),
        Workload("count_if", True, "res = ", lambda n, f: n // 2,
                 8, 0, "sum", True, _LOOP, allocated_bytes=8, fixed_time=True,
                 parallel_min_n=1000, parallel_setting="count_minimal_n",
                 max_threads=PARALLEL_MODE_MAX_THREADS,
                 par_unseq=True,
                 parallel_work="the work-stealing loop's bookkeeping: every chunk taken from "
                               "a shared range by atomic operations, each element through the "
                               "parallel mode's selector instead of the inlined loop"),
        # Every call reads the same input and writes the same output array;
        # only the first touches fresh pages, and that excess is recorded.
        Workload("partial_sum", True, None, _no_result,
                 8, 8, "copy", True, _LOOP, allocated_bytes=16,
                 parallel_min_n=1000, parallel_setting="partial_sum_minimal_n",
                 max_threads=PARALLEL_MODE_MAX_THREADS,
                 parallel_work="a second pass: each thread sums its block, then the blocks "
                               "are summed again with the offsets of the blocks before them"),
        Workload("unique_copy", True, None, _no_result,
                 # A team only above unique_copy_minimal_n (10000), not from it.
                 8, 0, "sum", True, _LOOP, allocated_bytes=16, parallel_min_n=10001,
                 parallel_setting="unique_copy_minimal_n",
                 max_threads=PARALLEL_MODE_MAX_THREADS,
                 par_unseq=True,
                 parallel_work="a second pass: each thread counts the elements it keeps, then "
                               "copies them at the offset the counts give"),
        # Built in the parallel mode, but the library has no parallel
        # stable_partition: every thread count runs the sequential call.
        Workload("stable_partition", True, "left partition size = ",
                 lambda n, f: negative_sine_count(n),
                 6, 6, None, False,
                 _ONE_CALL + ": later calls would find the array already partitioned",
                 # n ints, and the library's temporary buffer of n more
                 allocated_bytes=8,
                 par_unseq=True),
        # The zero sits in the last element: every search scans all n.
        Workload("find_if", False, "pos_found = ", _found_position,
                 4, 0, None, True, "mean of a loop of full scans lasting at least --min-time",
                 allocated_bytes=4,
                 fourth_name="zero_position", fourth_of_n=lambda n: max(n - 1, 0),
                 fourth_rule="zero_position = n-1", fourth_default=lambda n: 10000,
                 par_unseq=True),
        Workload("nth_element", False, None, _no_result,
                 4, 4, None, False,
                 _ONE_CALL + ": later calls would select on already arranged data",
                 allocated_bytes=4,
                 fourth_name="k", fourth_of_n=_three_quarters, fourth_rule="k = n*3/4",
                 fourth_default=_three_quarters,
                 par_unseq=True),
        Workload("partial_sort", False, None, _no_result,
                 4, 4, None, False,
                 _ONE_CALL + ": later calls would sort already arranged data",
                 allocated_bytes=4,
                 fourth_name="k", fourth_of_n=_three_quarters, fourth_rule="k = n*3/4",
                 fourth_default=_three_quarters),
    )
}
