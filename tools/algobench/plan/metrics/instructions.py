"""Instructions: what one steady call executes, counted under callgrind."""

from __future__ import annotations

from .base import Metric


class Instructions(Metric):
    name = "instructions"
    unit = "instructions"
    exact = True
    sampler = "callgrind"
    step = "count"

    def samples(self, cell) -> list[float]:
        return cell.instruction_samples

    def keep(self, cell, values: list[float]) -> None:
        cell.instruction_samples = list(values)

    def sweep_plan(self, options) -> str:
        return "instruction counts under callgrind (counts are not time)"


INSTRUCTIONS = Instructions()
