"""Statistics of samples, with the standard library where it has them.

Every function returns None rather than a non-finite number: a figure that
cannot be formed (one sample has no spread, a zero time has no rate) is
absent, never NaN or infinity, so the results stay strict JSON.
"""

from __future__ import annotations

import math
import random
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


RESAMPLES = 2000
CONFIDENCE = 0.95


def median_interval(values: list[float], seed: int, resamples: int = RESAMPLES,
                    confidence: float = CONFIDENCE) -> tuple[float, float] | None:
    """Percentile bootstrap interval of the median of `values` (for paired
    ratios: one value per round). None with fewer than two values."""
    if len(values) < 2:
        return None
    rng = random.Random(seed)
    medians = sorted(statistics.median(rng.choices(values, k=len(values)))
                     for _ in range(resamples))
    tail = (1 - confidence) / 2
    low = medians[int(math.floor(tail * resamples))]
    high = medians[min(resamples - 1, int(math.ceil((1 - tail) * resamples)) - 1)]
    return low, high


def paired_ratios(numerators: dict[int, float], denominators: dict[int, float]) -> list[float]:
    """numerator / denominator for every round both have, in round order."""
    return [numerators[r] / denominators[r] for r in sorted(numerators.keys() & denominators.keys())
            if denominators[r] > 0 and math.isfinite(numerators[r] / denominators[r])]
