"""What a run measures, as one value: every metric implements `Metric`, and
the sweep, the comparisons, the gate, the store and the views take the run's
metric as a value and ask it. Outside this package no code tests which metric
it holds; a new metric is one module here and one entry in `REGISTRY`.

A run names its metric in its context (`context.metric`, results.json's
"metric"); `named` turns that name into the metric.
"""

from __future__ import annotations

from .base import Metric
from .instructions import INSTRUCTIONS
from .time import TIME

# Every metric by the name a run records; the first is the default.
REGISTRY: dict[str, Metric] = {metric.name: metric for metric in (TIME, INSTRUCTIONS)}
NAMES = tuple(REGISTRY)
DEFAULT = TIME


def named(name: str) -> Metric:
    """The metric a run records by `name`; KeyError for one this suite lacks."""
    return REGISTRY[name]


__all__ = ["DEFAULT", "INSTRUCTIONS", "Metric", "NAMES", "REGISTRY", "TIME", "named"]
