"""Statistics of a cell's samples and the figures derived from them.

Every function returns None rather than a non-finite number: a figure that
cannot be formed (one sample has no spread, a zero time has no rate) is
absent, never NaN or infinity, so the results stay strict JSON.
"""

from __future__ import annotations

import math
import statistics

from .workload import WORKLOADS


def _finite(value: float) -> float | None:
    return value if math.isfinite(value) else None


def describe(samples: list[float]) -> dict | None:
    """min, median, mean, sample standard deviation (n-1) and its ratio to the mean."""
    if not samples:
        return None
    mean = statistics.fmean(samples)
    stddev = statistics.stdev(samples) if len(samples) > 1 else None
    cv = stddev / mean if stddev is not None and mean > 0 else None
    return {
        "min": min(samples),
        "median": statistics.median(samples),
        "mean": mean,
        "stddev": stddev,
        "cv": cv,
    }


def ratio(numerator: float | None, denominator: float | None) -> float | None:
    if numerator is None or denominator is None or denominator <= 0:
        return None
    return _finite(numerator / denominator)


def throughput(program: str, n: int, median: float | None) -> tuple[float | None, float | None]:
    """(elements/s, bytes/s) of one call at the median time per call."""
    if median is None or median <= 0:
        return None, None
    items = _finite(n / median)
    if items is None:
        return None, None
    return items, _finite(items * WORKLOADS[program].bytes_per_element)


def derive(cells: list[dict]) -> None:
    """Fills stats, speedup, efficiency and throughput of every cell in place.

    Speedup compares a cell's median with the median of the same program and
    size at one thread, when that cell ran and passed.
    """
    for cell in cells:
        cell["stats"] = describe(cell["samples"]) if cell["status"] == "ok" else None
    baselines = {
        (c["program"], c["n"]): c["stats"]["median"]
        for c in cells
        if c["threads"] == 1 and c["stats"] is not None
    }
    for cell in cells:
        median = cell["stats"]["median"] if cell["stats"] else None
        speedup = ratio(baselines.get((cell["program"], cell["n"])), median)
        cell["speedup"] = speedup
        cell["efficiency"] = speedup / cell["threads"] if speedup is not None else None
        cell["items_per_second"], cell["bytes_per_second"] = throughput(
            cell["program"], cell["n"], median)
