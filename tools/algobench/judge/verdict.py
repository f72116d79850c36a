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
EQUIVALENT and UNDECIDED.
"""

from __future__ import annotations

DEFAULT_MARGIN = 0.05
# The margins a user may ask for: below 0.5% the clock and the machine decide
# nothing; at 100% "equivalent" would cover a factor of two.
MARGIN_RANGE = (0.005, 1.0)

FASTER = "faster"
SLOWER = "slower"
EQUIVALENT = "equivalent"
UNDECIDED = "undecided"
DECIDED = (FASTER, SLOWER, EQUIVALENT)


def verdict(low: float | None, high: float | None, margin: float = DEFAULT_MARGIN) -> str:
    """The verdict of a ratio (other's time over this one's) whose interval is
    [low, high], at `margin`."""
    if low is None or high is None or not low <= high:
        return UNDECIDED
    edge = 1.0 + margin
    if low > edge:
        return FASTER
    if high < 1.0 / edge:
        return SLOWER
    if low >= 1.0 / edge and high <= edge:
        return EQUIVALENT
    return UNDECIDED


def decided(low: float | None, high: float | None, margin: float = DEFAULT_MARGIN) -> bool:
    return verdict(low, high, margin) in DECIDED
