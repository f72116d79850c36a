"""Every estimator the suite reports, with the standard library where it has them.

The derive step, `compare`, `ab`, the machines view and the store all take
their medians, intervals, spreads and corrections from here, so one figure
is computed one way wherever it is shown, and each level (CONFIDENCE,
FAMILY_ERROR, RESAMPLES) is set once.

The descriptive functions return None rather than a non-finite number: a
figure that cannot be formed (one sample has no spread, a zero time has no
rate) is absent, never NaN or infinity, so the results stay strict JSON.
"""

from __future__ import annotations

import math
import random
import statistics

from ..model import Stats


def finite(value: float | None) -> float | None:
    return value if value is not None and math.isfinite(value) else None


def _scaled(values: list[float]) -> tuple[list[float], int]:
    """The values, and the power of two they were divided by so that sums and
    interpolations of them stay below the largest float (1e308 is a finite
    sample); the power is 0, and the values untouched, for any usual figure."""
    top = max((abs(v) for v in values if math.isfinite(v)), default=0.0)
    shift = max(0, math.frexp(top)[1] - 960)
    return ([math.ldexp(v, -shift) for v in values] if shift else values), shift


def describe(samples: list[float]) -> Stats | None:
    """min, median, mean, sample standard deviation (n-1) and its ratio to the mean."""
    if not samples:
        return None
    scaled, shift = _scaled(samples)
    mean = statistics.fmean(scaled)
    stddev = statistics.stdev(scaled) if len(scaled) > 1 else None
    cv = stddev / mean if stddev is not None and mean > 0 else None
    q1 = q3 = None
    if len(scaled) > 1:
        q1, _, q3 = statistics.quantiles(scaled, n=4, method="inclusive")

    def back(value):  # none of them exceeds the largest sample
        return value if value is None or not shift else math.ldexp(value, shift)
    return Stats(min=min(samples), median=back(statistics.median(scaled)), mean=back(mean),
                 stddev=back(stddev), cv=cv, q1=back(q1), q3=back(q3))


def ratio(numerator: float | None, denominator: float | None) -> float | None:
    if numerator is None or denominator is None or denominator <= 0:
        return None
    return finite(numerator / denominator)


# The coverage of every interval the suite shows.
CONFIDENCE = 0.95
# The chance, over all cells of a comparison together, of a false alarm by a gate.
FAMILY_ERROR = 0.05
# Bootstrap resamples of an interval.
RESAMPLES = 2000
# 1.4826 x MAD estimates the standard deviation of normally distributed values.
MAD_SCALE = 1.4826


def median(values) -> float | None:
    """The median, or None of no values."""
    values, shift = _scaled(list(values))
    if not values:
        return None
    return math.ldexp(statistics.median(values), shift) if shift else statistics.median(values)


def geometric_mean(values: list[float]) -> float | None:
    """The geometric mean of positive factors, or None of none."""
    return statistics.geometric_mean(values) if values else None


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
    k = interval_rank(n, confidence)
    return ordered[k - 1], ordered[n - k], 1 - 2 * _below(k, n)


def interval_rank(n: int, confidence: float = CONFIDENCE) -> int:
    """The rank k of median_interval's ends among n values (at least 1)."""
    k = 1
    while k + 1 <= n // 2 and 1 - 2 * _below(k + 1, n) >= confidence:
        k += 1
    return k


def paired_ratios(numerators: dict[int, float], denominators: dict[int, float]) -> list[float]:
    """numerator / denominator for every round both have, in round order."""
    # A time of 0 (below the clock) makes no ratio: neither 0 nor infinity.
    return [numerators[r] / denominators[r] for r in sorted(numerators.keys() & denominators.keys())
            if numerators[r] > 0 and denominators[r] > 0
            and math.isfinite(numerators[r] / denominators[r])]


def percentile_interval(values: list[float], confidence: float) -> tuple[float, float]:
    """The central `confidence` share of sorted bootstrap values, as (low, high)."""
    count = len(values)
    tail = (1 - confidence) / 2
    # The small allowance keeps a rounding error in `tail` from moving an index.
    low = values[max(0, math.floor(tail * count + 1e-9))]
    high = values[min(count - 1, math.ceil((1 - tail) * count - 1e-9) - 1)]
    return low, high


def bootstrap_interval(
    a: list[float],
    b: list[float],
    seed: int,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
) -> tuple[float, float]:
    """Percentile bootstrap interval of median(b) / median(a)."""
    rng = random.Random(seed)
    ratios = sorted(
        statistics.median(rng.choices(b, k=len(b))) / statistics.median(rng.choices(a, k=len(a)))
        for _ in range(resamples)
    )
    return percentile_interval(ratios, confidence)


def robust_spread(values: list[float]) -> float:
    """1.4826 x the median absolute deviation: a standard deviation that outliers barely move."""
    centre = statistics.median(values)
    return MAD_SCALE * statistics.median(abs(v - centre) for v in values)


def shift_interval(
    log_ratios: list[float],
    seed: int,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
) -> tuple[float, float, float]:
    """(median, low, high) of the cells' B/A: the median of the log ratios, back as a
    factor, with a percentile bootstrap interval that resamples the cells."""
    rng = random.Random(seed)
    medians = sorted(
        statistics.median(rng.choices(log_ratios, k=len(log_ratios))) for _ in range(resamples)
    )
    low, high = percentile_interval(medians, confidence)
    return math.exp(statistics.median(log_ratios)), math.exp(low), math.exp(high)


def bonferroni_confidence(cells: int, family_error: float = FAMILY_ERROR) -> float:
    """The confidence of each of `cells` intervals so that all hold together with
    probability at least 1 - family_error."""
    return 1 - family_error / max(cells, 1)
