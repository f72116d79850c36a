"""What the derive step answers about a run, kept in results.json beside its
cells: which backend to use at each program, size and thread count
(`Winner`), and from which size going parallel pays (`Crossover`). Both are
made again from the cells each time a run is derived; judge/ holds the rules.
"""

from __future__ import annotations

import dataclasses


@dataclasses.dataclass
class Winner:
    """The backend to use at one program, size and thread count, and by how much.

    `over_sequential` is the paired speedup over the sequential build at one
    thread (the best plain code, not the backend's own 1-thread time): the
    median over rounds of the ratio of that cell's time to the winner's time
    of the same round, with its interval. `lead` is the same paired ratio of
    the runner-up's time to the winner's, and the winner is chosen by it (see
    derive.winners). `tied` names the backends, the winner first, whose times
    the rounds cannot tell from the winner's; empty when the lead is clear.
    """

    program: str
    n: int
    fourth: int | None
    threads: int  # the thread count the backends compete at
    backend: str
    median: float
    baseline: str | None  # the name of the sequential build's cell, if measured
    over_sequential: float | None = None
    over_sequential_low: float | None = None
    over_sequential_high: float | None = None
    # The threads the winner's and the runner-up's cells ran on: 1 for a
    # sequential build competing at a higher count.
    backend_threads: int | None = None
    runner_up: str | None = None
    runner_up_threads: int | None = None
    lead: float | None = None
    lead_low: float | None = None
    lead_high: float | None = None
    tied: list[str] = dataclasses.field(default_factory=list)
    # The lead judged at the run's margin (judge/verdict.py): "faster" a clear
    # winner, "equivalent" any of `tied` will do, "undecided" the rounds cannot
    # tell yet; the same of the winner against the sequential build; and, for an
    # undecided one, what would decide it ("more rounds", "a quieter machine", "--pin").
    verdict: str | None = None
    over_sequential_verdict: str | None = None
    hint: str | None = None

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)


@dataclasses.dataclass
class Crossover:
    """Where going parallel starts to pay for one program, backend and thread
    count (judge/crossover.py holds the rule): `found` is "from" (it pays from
    `at`, not at `below`), "smallest" (already at the smallest size measured,
    `at`) or "never" (not in the sizes measured; `below` is the largest decided
    not to pay); `undecided`, the sizes between `below` and `at` (or above
    `below`) whose verdict is open, `faster` those decided faster there, and
    `below` None where no size is decided not to pay. The
    speedups are (median, low, high) over `reference`: "sequential build" or
    "1 thread" (the backend's own). `threshold` is the n from which the
    parallel mode starts a team for the call, and `setting` the member of
    __gnu_parallel::_Settings that holds it (None for the other backends);
    `fourth` is the cells' fourth argument where it does not follow n (None
    where it is the one the sweep derives from n, or there is none)."""

    program: str
    backend: str
    threads: int
    fourth: int | None
    found: str
    reference: str
    at: int | None = None
    below: int | None = None
    at_speedup: tuple | None = None
    below_speedup: tuple | None = None
    sizes: list[int] = dataclasses.field(default_factory=list)
    undecided: list[int] = dataclasses.field(default_factory=list)
    faster: list[int] = dataclasses.field(default_factory=list)
    threshold: int | None = None
    setting: str | None = None

    def __post_init__(self) -> None:
        # results.json holds the speedups as lists.
        for name in ("at_speedup", "below_speedup"):
            if isinstance(getattr(self, name), list):
                setattr(self, name, tuple(getattr(self, name)))

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)
