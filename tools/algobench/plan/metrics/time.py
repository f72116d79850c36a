"""Time: seconds per call of a process's timed loop, one sample per round."""

from __future__ import annotations

from .base import Metric


class Time(Metric):
    name = "time"
    unit = "s"
    exact = False
    sampler = "timed"

    def samples(self, cell) -> list[float]:
        return cell.times

    def sweep_plan(self, options) -> str:
        return (f"warm-up and calibration, then {options.samples} rounds "
                f"(seed {options.seed})")


TIME = Time()
