"""When a program size has had rounds enough: the rule that spends a sweep's
extra rounds where an answer is still open.

After the --samples rounds, every answer a run states of a program size (each
cell's speedup over one thread and over the sequential build, and at each
thread count the winner's lead over its closest rival) is faster, slower,
equivalent or undecided at the run's margin (judge/verdict.py). An undecided
one gets more rounds only where they can decide it: where rounds whose ratios
fall as its own did so far would more likely than not give a decided interval
(verdict.chance_decided), within the rounds allowed.
On a shared machine most answers are decided in the planned rounds, a few
need a round or two more, and some (short calls on a two-thread team) would
take hundreds: rounds spent alike on all of them go mostly where they change
nothing. So the program sizes whose next answer costs least to decide (its
rounds still wanted times what a round of it takes) go first, each only while
the rounds it wants fit in the time left. A program size stops

- SETTLED when every answer is decided;
- BUDGET when an answer is still open that the rounds allowed (`why`: too
  noisy for the rounds allowed) or the time left (too noisy for the budget)
  cannot decide;
- PLANNED when it states no comparison (cells of one thread alone).

An A/B run keeps its own rule: a program size settles once the interval of
every B/A ratio is narrower than a width, and takes one round at a time.

Everything here is a function of recorded rounds, so the sweep's decisions can
be replayed and tested without running a program.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Callable

from ..judge.derive import by_round, derive, round_ratios, sequential_baseline
from ..judge.pairing import MIN_COVERAGE
from ..judge.stats import median, median_interval, paired_ratios
from ..judge.verdict import DECIDED, DEFAULT_MARGIN, rounds_wanted
from ..judge.verdict import verdict as judged
from ..model import CellResult, Context, Run

SETTLED = "settled"
BUDGET = "budget"
PLANNED = "planned"
# Not yet stopped: another round is wanted.
MORE = "more"
# Why an answer stayed open, in a word.
TOO_NOISY_ROUNDS = "too noisy for the rounds allowed"
TOO_NOISY_BUDGET = "too noisy for the budget"

# A run's program size gets at most this many rounds beyond --samples.
RUN_EXTRA_ROUNDS = 15
# The rounds beyond --samples may take together this share of what the
# --samples rounds took (unless --round-budget says otherwise). On a 2-core
# VM of noisy neighbours, a fifth of the rounds' time (36-45 s of a 5-6
# minute default sweep) decided 5 to 10 more of about 85 open answers: a tenth
# keeps the sweep within 5 minutes on a quiet one, and buys the cheapest of
# those answers first.
BUDGET_SHARE = 0.1
# Fewer rounds than this give no interval covering MIN_COVERAGE of the
# median: three ratios that happen to agree say little.
MIN_ROUNDS = 5

# (build name, cell) of one program size: every build's cells of it.
Members = list[tuple[str, CellResult]]


@dataclasses.dataclass(frozen=True)
class Verdict:
    """Where a program size stands after its rounds so far."""

    state: str  # SETTLED, BUDGET, PLANNED or MORE
    rounds: int
    width: float | None = None  # the widest relative interval of its open answers
    widest: str | None = None  # the answer that has it
    decided: int = 0  # its answers decided ...
    open: int = 0  # ... and still open, of which ...
    beyond: int = 0  # ... no count of rounds allowed would decide these
    # In all, the rounds after which its most promising open answer would be
    # decided (MORE); why its open answers stay open (BUDGET).
    wanted: int | None = None
    why: str | None = None


@dataclasses.dataclass(frozen=True)
class Policy:
    """How a sweep spends rounds beyond --samples."""

    extra_rounds: int  # the most rounds a program size gets beyond --samples
    # The seconds all extra rounds may take together; None: BUDGET_SHARE of
    # what the --samples rounds took.
    budget: float | None
    # The rule: (a program size's members, its rounds, the most it may have,
    # the run's context) -> Verdict.
    judge: Callable[[Members, int, int, Context], Verdict]
    # What a decided answer is, as the closing note says it.
    meaning: str


def rounds_to_decide(ratios: list[float], rounds: int, most: int, margin: float) -> float:
    """The rounds in all after which an answer whose per-round ratios are
    `ratios` (over `rounds` rounds) is more likely decided than not
    (verdict.rounds_wanted), up to `most`: `rounds` itself where it is decided,
    infinity where no count up to `most` is likely to decide it."""
    interval = median_interval(ratios) if len(ratios) > 1 else None
    if interval is None or interval[0] <= 0:
        return max(rounds + 1, MIN_ROUNDS)  # no interval yet: one needs rounds first
    if judged(interval[0], interval[1], margin) in DECIDED:
        return rounds
    wanted = rounds_wanted(ratios, rounds, most, margin)
    return math.inf if wanted is None else wanted


def margin_of(context: Context | None) -> float:
    """The margin a run is judged at (older runs name none: the default)."""
    margin = getattr(context, "margin", None)
    return DEFAULT_MARGIN if margin is None else margin


def answers(cells: list[CellResult], context: Context
            ) -> list[tuple[str, float | None, float | None, list[float]]]:
    """The comparisons a run states of one program size's cells, by name with
    their intervals and per-round ratios: each cell's speedup over one thread
    and over the sequential build, and at each thread count the winner's lead
    over its closest rival; a pair of cells compared twice counts once. The
    figures are the derive step's own, worked out on these cells alone (it
    fills their derived fields, as every write of the run does)."""
    run = derive(Run(context, list(cells)))
    found: dict[frozenset, tuple] = {}
    ones = {c.backend: c for c in run.cells if c.threads == 1}
    for cell in run.cells:
        base = sequential_baseline(run.cells, cell.program, cell.n, cell.fourth)
        for reference, figure, low, high, what in (
                (ones.get(cell.backend), cell.speedup, cell.speedup_low, cell.speedup_high,
                 "over 1 thread"),
                (base, cell.vs_sequential, cell.vs_sequential_low, cell.vs_sequential_high,
                 "over the sequential build")):
            if figure is not None and reference is not None and reference is not cell:
                found.setdefault(frozenset({id(cell), id(reference)}),
                                 (f"{cell.label} {what}", low, high, round_ratios(reference, cell) or []))
    by_place = {(c.backend, c.threads): c for c in run.cells}
    for winner in run.winners:
        best = by_place.get((winner.backend, winner.backend_threads))
        rival = by_place.get((winner.runner_up, winner.runner_up_threads))
        if winner.lead is not None and best is not None and rival is not None:
            found.setdefault(frozenset({id(best), id(rival)}),
                             (f"{winner.program}/n:{winner.n}/threads:{winner.threads} winner's "
                              "lead", winner.lead_low, winner.lead_high, round_ratios(rival, best) or []))
    return list(found.values())


def judge_answers(members: Members, rounds: int, most: int, context: Context) -> Verdict:
    """The rule of a run: settled once every answer is decided at the run's
    margin; at the budget once the open answer quickest to decide would want
    more than `most` rounds; else another round."""
    margin = margin_of(context)
    stated = answers([cell for _, cell in members], context)
    if not stated:
        return Verdict(PLANNED, rounds)
    wanted, widest, width, decided, beyond = math.inf, None, None, 0, 0
    for name, low, high, ratios in stated:
        need = rounds_to_decide(ratios, rounds, most, margin)
        if need <= rounds:
            decided += 1
            continue
        wanted = min(wanted, need)
        beyond += need > most
        wide = (high - low) / math.sqrt(low * high) if low and high and low > 0 else None
        if widest is None or (wide or math.inf) > (width or 0):
            widest, width = name, wide
    still = len(stated) - decided
    if not still:
        return Verdict(SETTLED, rounds, decided=decided)
    if wanted > most:
        return Verdict(BUDGET, rounds, width, widest, decided, still, beyond,
                       why=TOO_NOISY_ROUNDS)
    return Verdict(MORE, rounds, width, widest, decided, still, beyond,
                   wanted=math.ceil(wanted))


def relative_width(ratios: list[float]) -> float | None:
    """The width of the interval of the ratios' median over that median; None
    while the ratios are too few for an interval covering MIN_COVERAGE."""
    interval = median_interval(ratios) if len(ratios) > 1 else None
    middle = median(ratios)
    if interval is None or interval[2] < MIN_COVERAGE or not middle:
        return None
    return (interval[1] - interval[0]) / middle


def judge_widths(series: dict[str, list[float]], rounds: int, most: int,
                 width: float) -> Verdict:
    """The rule of an A/B run: settled once every ratio's interval is narrower
    than `width`, at the budget once `rounds` reached `most`, else another round."""
    if not series:
        return Verdict(PLANNED, rounds)
    widths = {name: relative_width(ratios) for name, ratios in series.items()}
    settled = sum(1 for wide in widths.values() if wide is not None and wide <= width)
    name, wide = max(widths.items(), key=lambda item: float("inf") if item[1] is None
                     else item[1])
    if wide is not None and wide <= width:
        return Verdict(SETTLED, rounds, wide, name, settled)
    open_ = len(widths) - settled
    if rounds >= most:
        return Verdict(BUDGET, rounds, wide, name, settled, open_, open_, why=TOO_NOISY_ROUNDS)
    return Verdict(MORE, rounds, wide, name, settled, open_, wanted=rounds + 1)


def width_rule(width: float) -> Callable[[Members, int, int, Context], Verdict]:
    """judge_widths on an A/B run's B/A ratios, as a Policy's rule."""
    return lambda members, rounds, most, _context: judge_widths(ratio_series(members), rounds,
                                                                most, width)


def choose(wanted: list[tuple[object, int, float]], left: float
           ) -> tuple[list[object], list[object]]:
    """Which of the program sizes that want more rounds get the next one in the
    time `left`: given (key, rounds still wanted, seconds of its last round),
    the cheapest to decide first, each while all it wants fits beside those
    before it; returns (chosen, stopped: all it wants would not fit even alone).
    The others wait for the next round's reckoning."""
    chosen, stopped = [], []
    free = left
    for key, more, cost in sorted(wanted, key=lambda item: item[1] * item[2]):
        if more * cost <= free:
            chosen.append(key)
            free -= more * cost
        elif more * cost > left:
            stopped.append(key)
    return chosen, stopped


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


def open_why(verdicts: dict[str, Verdict]) -> dict[str, int]:
    """The answers left open, by why: beyond any count of rounds allowed, or
    within it but not within the budget."""
    why: dict[str, int] = {}
    for v in verdicts.values():
        for word, count in ((TOO_NOISY_ROUNDS, v.beyond), (TOO_NOISY_BUDGET, v.open - v.beyond)):
            if count:
                why[word] = why.get(word, 0) + count
    return why


def stopped_text(verdicts: dict[str, Verdict], planned: int, budget: float,
                 spent: float, meaning: str) -> str:
    """One paragraph on how the program sizes' rounds ended: the answers
    decided and those still open, with why."""
    beyond = [label for label, v in verdicts.items() if v.rounds > planned]
    decided = sum(v.decided for v in verdicts.values())
    still = [label for label, v in verdicts.items() if v.open]
    why = open_why(verdicts)
    text = (f"rounds beyond the {planned} planned: {len(beyond)} program size(s) took some, "
            f"{spent:.0f} s of a budget of {budget:.0f} s; {decided} answer(s) decided "
            f"({meaning}), {sum(why.values())} open")
    if still:
        text += " (" + ", ".join(f"{count} {word}" for word, count in sorted(why.items())) + ")"
        shown = ", ".join(f"{label} ({verdicts[label].rounds} rounds, "
                          + (f"{verdicts[label].width * 100:.0f}%"
                             if verdicts[label].width is not None else "no interval") + ")"
                          for label in sorted(still)[:5])
        more = f" and {len(still) - 5} more" if len(still) > 5 else ""
        text += f": {shown}{more}"
    return text


def summary_of(verdicts: dict[str, Verdict], planned: int, budget: float,
               spent: float) -> dict:
    """What results.json keeps of the extra rounds: their budget and time, and
    the answers decided and open (by why)."""
    why = open_why(verdicts)
    return {"planned": planned, "budget": round(budget, 3), "spent": round(spent, 3),
            "program_sizes_beyond": sum(1 for v in verdicts.values() if v.rounds > planned),
            "decided": sum(v.decided for v in verdicts.values()),
            "open": sum(why.values()), "open_why": why}
