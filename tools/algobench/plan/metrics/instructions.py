"""Instructions: what one steady call executes, counted under callgrind."""

from __future__ import annotations

from .base import Metric


class Instructions(Metric):
    name = "instructions"
    unit = "instructions"
    exact = True
    sampler = "callgrind"
    step = "count"
    figure = "instructions"

    def samples(self, cell) -> list[float]:
        return cell.instruction_samples

    def sweep_plan(self, options) -> str:
        return "instruction counts under callgrind (counts are not time)"

    def planned(self, context) -> int:
        return 1  # a count is complete in one measurement


INSTRUCTIONS = Instructions()
