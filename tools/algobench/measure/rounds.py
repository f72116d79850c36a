"""When a program size has had rounds enough: the rule that spends a sweep's
extra rounds where the machine's noise is.

After the --samples rounds, a program size whose paired ratios (a run's
speedups, an A/B run's B/A) still scatter gets more rounds, and one whose
ratios have settled gets none: on a shared machine most cells give the same
ratio in every round while a few (short calls, two-thread teams) scatter by
10-30%, and rounds spent alike on all of them go mostly where they change
nothing. A program size stops

- SETTLED when the interval of the median of every one of its ratios
  (stats.median_interval, covering at least 90%) is narrower than the
  target, relative to the median;
- BUDGET when it still scatters and its rounds reached the most allowed, or
  the next round would overrun the time budget of the extra rounds;
- PLANNED when it has no paired ratio to settle (cells of one thread alone).

Everything here is a function of recorded rounds, so the sweep's decisions can
be replayed and tested without running a program.
"""

from __future__ import annotations

import dataclasses
from typing import Callable

from ..judge.derive import by_round
from ..model import CellResult
from ..judge.pairing import MIN_COVERAGE
from ..judge.stats import median, median_interval, paired_ratios

SETTLED = "settled"
BUDGET = "budget"
PLANNED = "planned"
# Not yet stopped: another round is wanted.
MORE = "more"

# A run's speedups settle at an interval 10% of their median wide: two
# sweeps' medians then tend to agree within 10%.
RUN_WIDTH = 0.10
# A run's program size gets at most this many rounds beyond --samples.
RUN_EXTRA_ROUNDS = 15

# (build name, cell) of one program size: every build's cells of it.
Members = list[tuple[str, CellResult]]


@dataclasses.dataclass(frozen=True)
class Policy:
    """How a sweep spends rounds beyond --samples."""

    width: float  # the widest relative interval a settled ratio may have
    extra_rounds: int  # the most rounds a program size gets beyond --samples
    # The seconds all extra rounds may take together; None: as long as the
    # --samples rounds took.
    budget: float | None
    # The paired ratios of one program size, by name.
    series: Callable[[Members], dict[str, list[float]]]


@dataclasses.dataclass(frozen=True)
class Verdict:
    """Where a program size stands after its rounds so far."""

    state: str  # SETTLED, BUDGET, PLANNED or MORE
    rounds: int
    width: float | None = None  # the widest relative interval of its ratios
    widest: str | None = None  # the ratio that has it


def relative_width(ratios: list[float]) -> float | None:
    """The width of the interval of the ratios' median over that median; None
    while the ratios are too few for an interval covering MIN_COVERAGE (five):
    three ratios that happen to agree say little."""
    interval = median_interval(ratios) if len(ratios) > 1 else None
    middle = median(ratios)
    if interval is None or interval[2] < MIN_COVERAGE or not middle:
        return None
    return (interval[1] - interval[0]) / middle


def judge(series: dict[str, list[float]], rounds: int, most: int, width: float) -> Verdict:
    """The rule: settled once every ratio's interval is narrower than `width`,
    at the budget once `rounds` reached `most`, else another round."""
    if not series:
        return Verdict(PLANNED, rounds)
    widths = {name: relative_width(ratios) for name, ratios in series.items()}
    name, wide = max(widths.items(), key=lambda item: float("inf") if item[1] is None
                     else item[1])
    if wide is not None and wide <= width:
        return Verdict(SETTLED, rounds, wide, name)
    return Verdict(BUDGET if rounds >= most else MORE, rounds, wide, name)


def choose(wanted: list[tuple[object, float | None, float]], left: float
           ) -> tuple[list[object], list[object]]:
    """Which of the program sizes that want another round get one in the time
    `left`: given (key, width, seconds of its last round), the widest first while
    their rounds fit; returns (chosen, stopped at the budget)."""
    chosen, stopped = [], []
    for key, _, cost in sorted(wanted, key=lambda item: -(item[1] if item[1] is not None
                                                           else float("inf"))):
        if cost <= left:
            chosen.append(key)
            left -= cost
        else:
            stopped.append(key)
    return chosen, stopped


def speedup_series(members: Members) -> dict[str, list[float]]:
    """A run's paired speedups: every cell of more than one thread against the
    1-thread cell of its build and backend, round by round."""
    found = {}
    baselines = {(build, cell.backend): cell for build, cell in members if cell.threads == 1}
    for build, cell in members:
        base = baselines.get((build, cell.backend))
        if cell.threads == 1 or base is None:
            continue
        rounds_base, rounds_cell = by_round(base), by_round(cell)
        if rounds_base is not None and rounds_cell is not None:
            found[cell.label + (f" ({build})" if build else "")] = \
                paired_ratios(rounds_base, rounds_cell)
    return found


def ratio_series(members: Members) -> dict[str, list[float]]:
    """An A/B run's per-round B/A of every cell of the program size."""
    builds: dict[str, dict[tuple, CellResult]] = {}
    for build, cell in members:
        builds.setdefault(build, {})[cell.key] = cell
    found = {}
    for key, cell_a in builds.get("A", {}).items():
        cell_b = builds.get("B", {}).get(key)
        rounds_a = by_round(cell_a)
        rounds_b = by_round(cell_b) if cell_b is not None else None
        if rounds_a is not None and rounds_b is not None:
            found[cell_a.label] = paired_ratios(rounds_b, rounds_a)
    return found


def stopped_text(verdicts: dict[str, Verdict], planned: int, budget: float,
                 spent: float, width: float) -> str:
    """One paragraph on how the program sizes' rounds ended."""
    beyond = {label: v for label, v in verdicts.items() if v.rounds > planned}
    settled = sorted(label for label, v in verdicts.items() if v.state == SETTLED)
    scattering = sorted(label for label, v in verdicts.items() if v.state == BUDGET)
    text = (f"rounds beyond the {planned} planned: {len(beyond)} program size(s) took some, "
            f"{spent:.0f} s of a budget of {budget:.0f} s; {len(settled)} settled (every paired "
            f"ratio's interval narrower than {width * 100:g}% of it)")
    if scattering:
        shown = ", ".join(f"{label} ({verdicts[label].rounds} rounds, "
                          + (f"{verdicts[label].width * 100:.0f}%"
                             if verdicts[label].width is not None else "no interval") + ")"
                          for label in scattering[:5])
        more = f" and {len(scattering) - 5} more" if len(scattering) > 5 else ""
        text += f", {len(scattering)} stopped at the budget still scattering: {shown}{more}"
    return text
