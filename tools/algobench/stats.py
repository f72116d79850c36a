"""Statistics of samples, with the standard library where it has them.

Every function returns None rather than a non-finite number: a figure that
cannot be formed (one sample has no spread, a zero time has no rate) is
absent, never NaN or infinity, so the results stay strict JSON.
"""

from __future__ import annotations

import math
import statistics

from .model import Stats


def finite(value: float | None) -> float | None:
    return value if value is not None and math.isfinite(value) else None


def describe(samples: list[float]) -> Stats | None:
    """min, median, mean, sample standard deviation (n-1) and its ratio to the mean."""
    if not samples:
        return None
    mean = statistics.fmean(samples)
    stddev = statistics.stdev(samples) if len(samples) > 1 else None
    cv = stddev / mean if stddev is not None and mean > 0 else None
    q1 = q3 = None
    if len(samples) > 1:
        q1, _, q3 = statistics.quantiles(samples, n=4, method="inclusive")
    return Stats(min=min(samples), median=statistics.median(samples), mean=mean,
                 stddev=stddev, cv=cv, q1=q1, q3=q3)


def ratio(numerator: float | None, denominator: float | None) -> float | None:
    if numerator is None or denominator is None or denominator <= 0:
        return None
    return finite(numerator / denominator)


CONFIDENCE = 0.95


def _below(k: int, n: int) -> float:
    """P(X < k) for X ~ Binomial(n, 1/2): the chance that fewer than k of n
    values fall below the true median."""
    return sum(math.comb(n, i) for i in range(k)) / 2 ** n


def median_interval(values: list[float], confidence: float = CONFIDENCE
                    ) -> tuple[float, float, float] | None:
    """A distribution-free interval of the median: the k-th smallest and k-th
    largest value, for the largest k whose coverage 1 - 2 P(Bin(n, 1/2) < k)
    reaches `confidence`; with too few values for that, the smallest and the
    largest. Returns (low, high, its coverage); None with fewer than two values.

    With n values nothing narrower is honest whatever their distribution: five
    rounds give at best min..max at 93.8%, three at 75%.
    """
    n = len(values)
    if n < 2:
        return None
    ordered = sorted(values)
    k = 1
    while k + 1 <= n // 2 and 1 - 2 * _below(k + 1, n) >= confidence:
        k += 1
    return ordered[k - 1], ordered[n - k], 1 - 2 * _below(k, n)


def paired_ratios(numerators: dict[int, float], denominators: dict[int, float]) -> list[float]:
    """numerator / denominator for every round both have, in round order."""
    # A time of 0 (below the clock) makes no ratio: neither 0 nor infinity.
    return [numerators[r] / denominators[r] for r in sorted(numerators.keys() & denominators.keys())
            if numerators[r] > 0 and denominators[r] > 0
            and math.isfinite(numerators[r] / denominators[r])]
