"""The context of a run: the machine, the build and the options it measured
with, as results.json's "context" holds them (records.py's Run holds one)."""

from __future__ import annotations

import copy
import dataclasses
from typing import Any

from ..plan import metrics


@dataclasses.dataclass
class Context:
    """The machine, the build and the options a run measured with."""

    host: str | None = None
    cpu_model: str | None = None
    usable_cpus: int | None = None
    kernel: str | None = None
    compiler: str | None = None
    compiler_path: str | None = None
    compiler_version: str | None = None
    build_type: str | None = None
    build_flags: str | None = None
    libstdcxx_version: str | None = None
    omp_env: dict = dataclasses.field(default_factory=dict)
    # The other variables that change what the runtimes do (machine.RUNTIME_PREFIXES).
    runtime_env: dict = dataclasses.field(default_factory=dict)
    git_commit: str | None = None
    git_dirty: bool | None = None
    date: str | None = None
    command_line: list = dataclasses.field(default_factory=list)
    pin: bool = False
    hugepages: bool = False
    # --pin's mode, --numa's policy, the NUMA nodes and where the arrays were placed.
    placement: dict = dataclasses.field(default_factory=dict)
    samples: int | None = None
    min_time: float | None = None
    seed: int | None = None  # of the rounds' shuffled order
    bin_dir: str | None = None
    mhz_per_cpu: int | None = None
    governors: dict = dataclasses.field(default_factory=dict)
    caches: list = dataclasses.field(default_factory=list)
    # measure/shape.Shape.record(): sockets, cores, hardware threads, NUMA nodes,
    # the usable and online CPUs, and its `summary` line.
    shape: dict | None = None
    load_avg: list = dataclasses.field(default_factory=list)
    cv_threshold: float | None = None  # above it a cell's spread is worth a warning
    margin: float | None = None  # the run's comparisons were judged at (None: the default)
    metric: str = metrics.DEFAULT.name  # what the run's cells hold (plan/metrics)
    # Names the run in a results store, however often its files are rewritten or moved.
    run_id: str | None = None
    # With --budget: its minutes, the estimates of the part kept and of the whole
    # sweep, and the sizes and thread counts left out (estimate.Fitted.record).
    budget: dict | None = None
    # One line per warning, as printed: the machine's, then the cells' grouped by kind.
    warnings: list[str] = dataclasses.field(default_factory=list)
    # What the rounds beyond --samples spent and decided (rounds.summary_of).
    extra_rounds: dict | None = None
    # Keys this version does not know, kept so that a rewrite loses nothing.
    extra: dict = dataclasses.field(default_factory=dict)

    def get(self, field: str, default: Any = None) -> Any:
        """A field by name, known or extra."""
        if field in CONTEXT_FIELDS:
            value = getattr(self, field)
            return default if value is None else value
        return self.extra.get(field, default)

    @property
    def environment(self) -> dict:
        """Every recorded variable that changes what the runtimes do, by name."""
        return dict(sorted({**(self.omp_env or {}), **(self.runtime_env or {})}.items()))

    def to_dict(self) -> dict:
        data = {f: getattr(self, f) for f in CONTEXT_FIELDS if f not in OPTIONAL_FIELDS}
        # Left out when unset, so that a file written before they existed is rewritten unchanged.
        for field in OPTIONAL_FIELDS:
            value = getattr(self, field)
            if value is not None and value != [] and value != {}:
                data[field] = copy.copy(value)
        data.update(self.extra)
        return data


# Fields results.json holds only when set, in this order after the others.
OPTIONAL_FIELDS = ("cv_threshold", "margin", "run_id", "warnings", "runtime_env", "extra_rounds",
                   "shape", "budget", "placement")
# The Context fields results.json names (beside the unknown keys kept in `extra`).
CONTEXT_FIELDS = tuple(f.name for f in dataclasses.fields(Context) if f.name != "extra")
