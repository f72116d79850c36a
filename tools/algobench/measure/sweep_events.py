"""What a sweep tells its listeners (the console, the store's recorder) as it goes:
one dataclass per event, and the builds it runs. The listeners depend on these
and not on the sweep itself.
"""

from __future__ import annotations

import dataclasses
import pathlib
from typing import Callable

from ..plan import metrics
from ..plan.matrix import Cell
from ..model import CellResult, Run
from .runner import Options, Process


@dataclasses.dataclass(frozen=True)
class Variant:
    """One build whose programs a sweep runs: the only one of a run, A or B of an A/B run."""

    name: str
    bin_dir: pathlib.Path


# The events a sweep emits, in the order they can come.
@dataclasses.dataclass
class RunStarted:
    cells: list[Cell]
    options: Options
    variants: list[Variant]
    # Each build's run as it fills (the same objects throughout the sweep), and
    # the folder its files go to.
    runs: dict[str, Run] = dataclasses.field(default_factory=dict)
    folders: dict[str, pathlib.Path] = dataclasses.field(default_factory=dict)
    out_dir: pathlib.Path | None = None
    metric: metrics.Metric = metrics.DEFAULT  # what the sweep measures, and how it says so


@dataclasses.dataclass
class GroupReady:
    """A program and size has had its warm-ups and its cells' repetitions are chosen."""

    label: str
    repetitions: list[int]  # the distinct counts of its cells, smallest first
    done: int  # groups ready so far
    total: int


@dataclasses.dataclass
class RoundDone:
    index: int  # rounds finished so far
    total: int  # rounds planned
    replaced: int  # contended samples measured again in this round
    planned: int = 0  # the rounds asked for (--samples): a round beyond them is one of ...
    groups: tuple[str, ...] = ()  # ... these program sizes alone,
    why: str = ""  # UNDECIDED
    lengthened: int = 0  # short loops measured again with more repetitions


# Why a round goes beyond --samples: an answer of the program sizes it
# measures is still open.
UNDECIDED = "undecided"


@dataclasses.dataclass
class RoundsEnded:
    """Every program size's rounds have ended: how (rounds.Verdict by label),
    within what budget of seconds for the rounds beyond --samples, and what
    a decided answer is (rounds.Policy.meaning)."""

    verdicts: dict
    planned: int
    budget: float
    spent: float
    meaning: str


@dataclasses.dataclass
class CellFailed:
    result: CellResult
    variant: str
    process: Process | None


@dataclasses.dataclass
class Warned:
    message: str


@dataclasses.dataclass
class StepStarted:
    step: str  # "bandwidth"


@dataclasses.dataclass
class StepFailed:
    step: str  # "bandwidth" or "plots"
    error: Exception


@dataclasses.dataclass
class Refining:
    """`--refine` measures these program sizes between a crossover's ends."""
    sizes: tuple[str, ...]
    brackets: int  # the brackets wider than a factor of 2 before this pass


@dataclasses.dataclass
class Refined:
    """`--refine` is done: how many brackets are still wider, and why it ended."""
    wide: int
    why: str  # refine.NARROW, BUDGET or NO_SIZE
    spent: float
    budget: float


@dataclasses.dataclass
class Interrupted:
    after_cells: bool  # the cells were done, a later step was cut short


@dataclasses.dataclass
class RunFinished:
    runs: dict[str, Run]
    out_dir: pathlib.Path
    status: int
    failed: list[str]


def run_finished(runs: dict[str, Run], out_dir: pathlib.Path, status: int) -> RunFinished:
    """The end of a sweep: its failed cells named (with their build's name
    where there are several), and a status of 1 for them unless it has one."""
    failed = [c.name + (f" ({name})" if name else "")
              for name, run in runs.items() for c in run.cells if c.status == "failed"]
    return RunFinished(runs, out_dir, status or (1 if failed else 0), failed)


Listener = Callable[[object], None]
