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
    return Stats(min=min(samples), median=statistics.median(samples), mean=mean,
                 stddev=stddev, cv=cv)


def ratio(numerator: float | None, denominator: float | None) -> float | None:
    if numerator is None or denominator is None or denominator <= 0:
        return None
    return finite(numerator / denominator)
