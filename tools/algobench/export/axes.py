"""The axes of the suite's charts: how values map onto a side of a chart,
where its ticks fall (1, 2 or 5 times a power of ten, or the powers of ten
of a logarithmic axis) and how they are labelled. chart.py draws with them.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Callable, Sequence

ZOOMED = "axis does not start at 0"

def number(value: float) -> str:
    """A tick label: 0.05, 2, 150, 2e+04 only far from 1."""
    return f"{value:.4g}"


def _step_label(value: float, step: float) -> str:
    """A linear tick with as many decimals as its step has: 1, 1.1, 1.2 (never 1.103)."""
    if abs(value) >= 1e5 or step >= 1 or not step > 0:  # not step > 0: ticks below 1e-12
        return number(round(value, 9))
    decimals = max(0, -math.floor(math.log10(step) + 1e-9))
    return f"{value:.{decimals}f}"


@dataclasses.dataclass
class Axis:
    """How values map onto one side of a chart.

    `ticks`, when given, are the only labelled positions (thread counts, dates);
    otherwise a linear axis gets 1-2-5 steps and a logarithmic one its powers
    of ten with 2 and 5 between where the range is narrow enough. A linear axis
    with `zero` starts at 0; one without is drawn with a break at its foot and
    says that it does not. `categories` turns the x axis of a bar chart into
    named slots (values 0, 1, ...)."""

    label: str
    log: bool = False
    zero: bool = False
    ticks: Sequence[float] | None = None
    format: Callable[[float], str] = number
    categories: Sequence[str] | None = None


def log_span_wanted(values: Sequence[float], decades: float = 1.0) -> bool:
    """Whether positive values span at least `decades` powers of ten (a log axis then)."""
    positive = [v for v in values if v > 0 and math.isfinite(v)]
    return bool(positive) and math.log10(max(positive) / min(positive)) >= decades


def _nice_step(span: float, wanted: int = 5) -> float:
    raw = span / wanted
    power = 10 ** math.floor(math.log10(raw))
    for step in (1, 2, 5, 10):
        if raw <= step * power:
            return step * power
    return 10 * power


def _log_ticks(low: float, high: float) -> list[float]:
    first, last = math.floor(math.log10(low)), math.ceil(math.log10(high))
    decades = math.log10(high / low)
    if decades > 6:
        steps: tuple[float, ...] = (1,)
    elif decades > 0.8:
        steps = (1, 2, 5)
    else:
        steps = (1, 1.5, 2, 3, 4, 5, 6, 7, 8)
    ticks = [float(f"{s}e{p}") for p in range(first, last + 1) for s in steps]
    ticks = [t for t in ticks if low <= t <= high]
    if decades > 6 and len(ticks) > 8:
        ticks = ticks[::math.ceil(len(ticks) / 8)]
    if len(ticks) < 2:
        # A narrow span between two round values: round steps inside it instead.
        return _linear_ticks(low, high)
    return ticks


def _linear_ticks(low: float, high: float) -> list[float]:
    step = _nice_step(high - low)
    first = math.ceil(low / step - 1e-9)
    return [round(k * step, 12) for k in range(first, int(high / step + 1e-9) + 1)]


@dataclasses.dataclass
class _Scale:
    axis: Axis
    low: float
    high: float
    start: float  # pixels at low
    end: float  # pixels at high

    def __call__(self, value: float) -> float:
        if self.axis.log:
            position = (math.log10(value) - math.log10(self.low)) / math.log10(self.high / self.low)
        else:
            position = (value - self.low) / (self.high - self.low)
        return self.start + position * (self.end - self.start)

    def ticks(self) -> list[float]:
        if self.axis.categories is not None:
            return list(range(len(self.axis.categories)))
        if self.axis.ticks is not None:
            return [t for t in self.axis.ticks if self.low <= t <= self.high]
        if self.axis.log:
            return _log_ticks(self.low, self.high)
        return _linear_ticks(self.low, self.high)

    def label(self, value: float, ticks: Sequence[float] = ()) -> str:
        if self.axis.categories is not None:
            return self.axis.categories[int(value)]
        if self.axis.format is number and len(ticks) >= 2:
            return _step_label(value, min(b - a for a, b in zip(ticks, ticks[1:])))
        return self.axis.format(value)

    @property
    def zoomed(self) -> bool:
        """A linear value axis that does not reach 0."""
        return not self.axis.log and self.axis.categories is None and self.low > 0


def _range(axis: Axis, values: list[float]) -> tuple[float, float]:
    """The span an axis shows: the values with a margin (and 0 for `zero`)."""
    if axis.categories is not None:
        return -0.5, len(axis.categories) - 0.5
    values = [v for v in values if math.isfinite(v) and (v > 0 or not axis.log)]
    if axis.ticks:
        values += list(axis.ticks)
    if not values:
        return (1.0, 10.0) if axis.log else (0.0, 1.0)
    low, high = min(values), max(values)
    if axis.log:
        lo, hi = math.log10(low), math.log10(high)
        pad = max(0.06 * (hi - lo), 0.15 if hi - lo < 0.3 else 0.0)
        # Within the normal floats and 300 decades, however extreme the values.
        top = min(max(hi + pad, -306.0), 308.25)
        return 10 ** max(lo - pad, top - 300, -307.0), 10 ** top
    if axis.zero:
        low = min(low, 0.0)
    span = high - low or abs(high) or 1.0
    pad = 0.06 * span
    return (low if axis.zero and low == 0 else low - pad), high + pad


def _f(value: float) -> str:
    """A coordinate, one decimal: the page's size grows with every digit."""
    text = f"{value:.1f}"
    return text[:-2] if text.endswith(".0") else text
