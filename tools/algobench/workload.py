"""What the runner knows about each program's timed call.

One entry per program says what a sample of it means, which fourth argument
the sweep passes, what result the runner expects, from which size libstdc++'s
parallel mode runs the call on the OpenMP team, and how many bytes the call
touches per element. The byte figures count the loads and stores the algorithm
itself makes on its arrays (8 bytes per double, 4 per int), not the extra
traffic the hardware adds (write-allocate, prefetching), so bytes/s computed
from them is a floor on the memory traffic:

| program          | read B/elem | written B/elem | reference | why                                          |
|------------------|-------------|----------------|-----------|----------------------------------------------|
| set_intersection | 12          | 4              | sum       | all n of 1..n, the n/2 of 2,4,.. that are <= n; n/2 doubles out |
| count_if         | 8           | 0              | sum       | n doubles                                    |
| partial_sum      | 8           | 8              | copy      | n doubles in, n doubles out                  |
| unique_copy      | 8           | 0              | sum       | n equal doubles in, one double out           |
| stable_partition | 6           | 6              | None      | each int moved once, the n/2 rejected ones twice (via the buffer) |
| find_if          | 4           | 0              | None      | n ints (the zero sits at n-1)                |
| nth_element      | 4           | 4              | None      | one pass over n ints (the real count is a small multiple) |
| partial_sort     | 4           | 4              | None      | one pass over n ints (the real count is ~log k passes) |

"sum" marks a read-dominated call, compared with the bandwidth probe's sum
kernel; "copy" a read-and-write call, compared with its copy kernel; None a
compute-bound call (a sine per element, or comparisons), which gets no share
of the memory bandwidth.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Callable

from .output import PROGRAMS


@dataclasses.dataclass(frozen=True)
class Workload:
    program: str
    read_bytes: float  # per element, one timed call
    written_bytes: float  # per element, one timed call
    bandwidth_reference: str | None  # "sum", "copy" or None (compute-bound)
    # True: the call does the same work every repetition, so the runner picks
    # as many repetitions as make the timed loop last --min-time. False: later
    # repetitions would see different data or memory, so every process times
    # exactly one call on fresh data.
    calibrated: bool
    # Smallest n at which libstdc++'s parallel mode hands the call to the
    # OpenMP team (when more than one thread is allowed); None when the call
    # never runs in parallel.
    parallel_min_n: int | None
    sample_meaning: str

    @property
    def bytes_per_element(self) -> float:
        return self.read_bytes + self.written_bytes

    def fourth(self, n: int) -> int | None:
        """The fourth argument the sweep passes for size n."""
        if self.program == "find_if":
            # The zero sits in the last element: every search scans all n.
            return max(n - 1, 0)
        if self.program in ("nth_element", "partial_sort"):
            # The program's own default k = n*3/4, passed explicitly so the
            # command line and the results say which k was used.
            return n * 3 // 4
        return None

    def expected_result(self, n: int, fourth: int | None) -> int | None:
        """The result line's value computed independently of the program, or None."""
        return _EXPECTED[self.program](n, fourth)


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

_EXPECTED: dict[str, Callable[[int, int | None], int | None]] = {
    "set_intersection": lambda n, fourth: n // 2,
    "count_if": lambda n, fourth: n // 2,
    "partial_sum": lambda n, fourth: None,
    "unique_copy": lambda n, fourth: None,
    "stable_partition": lambda n, fourth: negative_sine_count(n),
    "find_if": lambda n, fourth: fourth if fourth is not None and 0 <= fourth < n else n,
    "nth_element": lambda n, fourth: None,
    "partial_sort": lambda n, fourth: None,
}

_ONE_CALL = "one call on fresh data per process (repetitions = 1)"

WORKLOADS: dict[str, Workload] = {
    w.program: w
    for w in (
        Workload("set_intersection", 12, 4, "sum", True, 1000,
                 "mean of a loop of calls lasting at least --min-time"),
        Workload("count_if", 8, 0, "sum", True, 1000,
                 "mean of a loop of calls lasting at least --min-time"),
        Workload("partial_sum", 8, 8, "copy", False, 1000,
                 _ONE_CALL + ", including the first touch of the output array"),
        Workload("unique_copy", 8, 0, "sum", True, 10001,
                 "mean of a loop of calls lasting at least --min-time"),
        Workload("stable_partition", 6, 6, None, False, None,
                 _ONE_CALL + ": later calls would find the array already partitioned"),
        Workload("find_if", 4, 0, None, True, None,
                 "mean of a loop of full scans lasting at least --min-time"),
        Workload("nth_element", 4, 4, None, False, None,
                 _ONE_CALL + ": later calls would select on already arranged data"),
        Workload("partial_sort", 4, 4, None, False, None,
                 _ONE_CALL + ": later calls would sort already arranged data"),
    )
}

assert WORKLOADS.keys() == PROGRAMS.keys(), "every program needs a workload entry"
