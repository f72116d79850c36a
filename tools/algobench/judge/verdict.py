"""The words every comparison the suite states ends in.

A comparison is a paired ratio, the other side's time over this side's
(above 1: this side is faster), with its interval. Against a margin m
(`--margin`, DEFAULT_MARGIN) it is one of:

- FASTER: the whole interval above 1 + m;
- SLOWER: the whole interval below 1 / (1 + m);
- EQUIVALENT: the whole interval inside [1 / (1 + m), 1 + m]: either side
  will do;
- UNDECIDED: the interval crosses an edge of the margin, or there is none:
  the rounds cannot tell yet.

The band is symmetric on a ratio's scale, so turning a comparison round
(B against A instead of A against B) swaps FASTER and SLOWER and keeps
EQUIVALENT and UNDECIDED. Where a comparison knows its ratios scatter more
than their interval shows (`compare` of two separate runs), `clear` widens
the edge FASTER and SLOWER must clear, never the band of EQUIVALENT.

An undecided verdict says what would decide it (`hint`): a quieter machine
where the machine was busy while its cells ran, --pin where an unpinned
team's cell scatters, more rounds where ROUNDS_FACTOR times the rounds would
decide it: given the per-round ratios, where rounds like them would more
likely than not (chance_decided, the rule a sweep spends its extra rounds
by); given an interval alone, where its middle is clear of the margin's
edges so that an interval shrinking as 1/sqrt(rounds) would leave them.
Where no such count of rounds would, but the middle lies further than
NOISE_FLOOR from every edge, a quieter machine: what scatters the rounds of
one call there is the machine (on a shared 2-core VM, one virtual CPU ran the
same loop 1.7x slower for seconds at a time while the other did not, with
nothing else running in the VM). Nothing where the middle sits within
NOISE_FLOOR of an edge or between the margin and the wider edge `clear`
sets, and nothing for a ratio without an interval.
"""

from __future__ import annotations

import math

from .stats import interval_rank

DEFAULT_MARGIN = 0.05
# The margins a user may ask for: below 0.5% the clock and the machine decide
# nothing; at 100% "equivalent" would cover a factor of two.
MARGIN_RANGE = (0.005, 1.0)

FASTER = "faster"
SLOWER = "slower"
EQUIVALENT = "equivalent"
UNDECIDED = "undecided"
DECIDED = (FASTER, SLOWER, EQUIVALENT)
# What would decide an undecided verdict.
MORE_ROUNDS = "more rounds"
QUIETER = "a quieter machine"
PIN = "--pin"
# More rounds are the hint where they would decide within this many times the rounds.
ROUNDS_FACTOR = 4
# An open answer wants the rounds after which it is at least this likely decided.
DECIDING_CHANCE = 0.5
# What the processes of one call still scatter on a quiet machine: a change
# within it is never called clear (compare's default noise floor), and an
# answer whose middle lies within it of a margin's edge is not one a quieter
# machine would decide.
NOISE_FLOOR = 0.02


def verdict(low: float | None, high: float | None, margin: float = DEFAULT_MARGIN,
            clear: float | None = None) -> str:
    """The verdict of a ratio (other's time over this one's) whose interval is
    [low, high], at `margin`; FASTER and SLOWER beyond `clear` too, where given."""
    if low is None or high is None or not 0 < low <= high:
        return UNDECIDED
    edge = 1.0 + max(margin, clear or 0.0)
    if low > edge:
        return FASTER
    if high < 1.0 / edge:
        return SLOWER
    edge = 1.0 + margin
    if low >= 1.0 / edge and high <= edge:
        return EQUIVALENT
    return UNDECIDED


def decided(low: float | None, high: float | None, margin: float = DEFAULT_MARGIN) -> bool:
    return verdict(low, high, margin) in DECIDED


def turned(word: str) -> str:
    """The verdict of the same comparison seen from the other side."""
    return {FASTER: SLOWER, SLOWER: FASTER}.get(word, word)


def hint(middle: float | None, low: float | None, high: float | None,
         margin: float = DEFAULT_MARGIN, busy: bool = False, scatters: bool = False,
         clear: float | None = None, ratios: list[float] | None = None) -> str | None:
    """What would decide a ratio with this middle and interval (None where it is
    decided, or nothing named would): `busy`, its cells ran on a busy machine;
    `scatters`, an unpinned team's cell scattered. Given the per-round `ratios`
    the interval was taken from, more rounds are the hint where rounds like
    them would more likely than not decide it (chance_decided), as the
    sweep's extra rounds judge it; a quieter machine where no count of rounds
    allowed would, and the middle lies clear of the edges by NOISE_FLOOR."""
    if verdict(low, high, margin, clear) in DECIDED or middle is None or low is None \
            or high is None or not 0 < low <= middle <= high:
        return None  # decided, or without rounds to judge it by
    if busy:
        return QUIETER
    if scatters:
        return PIN
    inner, outer = math.log1p(margin), math.log1p(max(margin, clear or 0.0))
    if inner < abs(math.log(middle)) < outer:
        return None  # between the margin and what is clear: no round decides it
    distance = min(abs(abs(math.log(middle)) - edge) for edge in (inner, outer))
    if ratios and len(ratios) > 1 and clear is None:
        more = rounds_wanted(ratios, len(ratios), ROUNDS_FACTOR * len(ratios), margin)
    else:
        half = (math.log(high) - math.log(low)) / 2
        more = half <= distance * math.sqrt(ROUNDS_FACTOR)
    if more:
        return MORE_ROUNDS
    return QUIETER if distance > math.log1p(NOISE_FLOOR) else None


def margin_of(context) -> float:
    """The margin a run was judged at: its context's, DEFAULT_MARGIN where it records none."""
    margin = getattr(context, "margin", None)
    return DEFAULT_MARGIN if margin is None else margin


def chance_decided(ratios: list[float], total: int, margin: float) -> float:
    """The chance that `total` rounds whose ratios fall as these did (each a
    draw from them) give an interval (stats.median_interval: the k-th smallest
    and k-th largest) that is decided at `margin`. The ends are order
    statistics, so it is a count: faster while fewer than k ratios lie at or
    below the margin's upper edge, slower likewise, equivalent while fewer
    than k lie beyond each edge. A ratio a neighbour threw far off thus costs
    a round or two, as the interval's rank moves past it, where a width
    shrinking as 1/sqrt(rounds) from min..max would call it hopeless."""
    edge = 1.0 + margin
    below = sum(r < 1.0 / edge for r in ratios) / len(ratios)
    above = sum(r > edge for r in ratios) / len(ratios)
    k = interval_rank(total)

    def fewer_than_k(p: float) -> float:  # P(Binomial(total, p) < k)
        return sum(math.comb(total, i) * p ** i * (1 - p) ** (total - i) for i in range(k))
    faster, slower = fewer_than_k(1.0 - above), fewer_than_k(1.0 - below)
    within = 1.0 - below - above
    equivalent = sum(math.comb(total, i) * math.comb(total - i, j) * below ** i * above ** j
                     * within ** (total - i - j) for i in range(k) for j in range(k))
    return faster + slower + equivalent


def rounds_wanted(ratios: list[float], rounds: int, most: int, margin: float) -> int | None:
    """The fewest rounds in all, beyond `rounds` and up to `most`, after which
    an answer of these per-round ratios is more likely decided than not
    (chance_decided); None where no such count is."""
    return next((total for total in range(rounds + 1, most + 1)
                 if chance_decided(ratios, total, margin) >= DECIDING_CHANCE), None)
