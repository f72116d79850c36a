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
    figure   the cell's derived figure (the CellResult field, the store's
             column) that a run of this metric is followed by
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
    figure: str = ""

    def samples(self, cell) -> list[float]:
        """The cell's measurements of this metric."""
        raise NotImplementedError

    def planned(self, context) -> int:
        """How many measurements make a cell complete, in a run of `context`."""
        raise NotImplementedError

    def sweep_plan(self, options) -> str:
        """What a sweep of it does with its cells, as the sweep's first line says it."""
        raise NotImplementedError

    def __repr__(self) -> str:
        return f"<metric {self.name}>"
