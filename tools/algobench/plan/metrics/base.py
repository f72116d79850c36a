"""The interface every metric implements."""

from __future__ import annotations


class Metric:
    """One way of measuring a cell, and what its figures mean.

    name     what a run records (results.json's context "metric")
    unit     the unit of one sample
    exact    whether one sample at one thread is the figure itself: a count
             does not move from process to process, a time does. An exact
             figure has no interval: two runs' figures compare by their ratio
             and the range of their samples, and are shown as counts; others
             by the interval of the ratio of their medians
    sampler  how measure/ runs a cell for it: "timed" (processes of calibrated
             repetitions, in interleaved rounds) or "callgrind" (counted under
             valgrind); metrics that share a sampler share its driver
    step     what one step of a sweep of it is, as its progress line names it
    """

    name: str = ""
    unit: str = ""
    exact: bool = False
    sampler: str = ""
    step: str = "round"

    def samples(self, cell) -> list[float]:
        """The cell's measurements of this metric. Unless the metric has a field
        of its own, they sit among the cell's other keys as NAME_samples, which
        results.json keeps (and the store's figure is their median)."""
        values = cell.extra.get(f"{self.name}_samples")
        return [float(v) for v in values if isinstance(v, (int, float))] \
            if isinstance(values, list) else []

    def keep(self, cell, values: list[float]) -> None:
        """Stores the cell's measurements of this metric, where `samples` reads them."""
        cell.extra[f"{self.name}_samples"] = list(values)

    def planned(self, context) -> int:
        """How many measurements make a cell complete, in a run of `context`: one
        of an exact figure, else one a round."""
        return 1 if self.exact else context.samples or 1

    def sweep_plan(self, options) -> str:
        """What a sweep of it does with its cells, as the sweep's first line says it."""
        raise NotImplementedError

    def __repr__(self) -> str:
        return f"<metric {self.name}>"
