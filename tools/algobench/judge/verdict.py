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
team's cell scatters, more rounds where its middle is clear of the margin's
edges, so that an interval shrinking as 1/sqrt(rounds) would leave them
within ROUNDS_FACTOR times the rounds; nothing where the middle sits on an
edge or between the margin and the wider edge `clear` sets, and nothing for
a ratio without an interval.
"""

from __future__ import annotations

import math

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
         clear: float | None = None) -> str | None:
    """What would decide a ratio with this middle and interval (None where it is
    decided, or nothing named would): `busy`, its cells ran on a busy machine;
    `scatters`, an unpinned team's cell scattered."""
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
    half = (math.log(high) - math.log(low)) / 2
    return MORE_ROUNDS if half <= distance * math.sqrt(ROUNDS_FACTOR) else None


def margin_of(context) -> float:
    """The margin a run was judged at: its context's, DEFAULT_MARGIN where it records none."""
    margin = getattr(context, "margin", None)
    return DEFAULT_MARGIN if margin is None else margin
