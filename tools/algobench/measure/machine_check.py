"""`suite check-machine`: whether pinning, the thread ladder and NUMA placement
do on this machine what the suite says they do.

One program at one size (arrays far larger than the caches), for the parallel
mode and the c++17-par variant, at every thread count of the default ladder,
measured in each placement side by side: unpinned, pinned close, pinned
spread, and, where numactl is installed, pinned close with local and with
interleaved memory. The rounds interleave every cell and placement (shuffled,
from a recorded seed), so a neighbour's load lands on all of them alike. Every
process is checked as a sweep's are (its report, its result, its team and,
pinned, the CPUs its threads could run on). The outcome is a short table of
median times with their spread, the CPUs each placement gave each thread
count, and the machine's shape: what a person sends us from a large machine.
"""

from __future__ import annotations

import dataclasses
import math
import random
import shutil

from . import machine, shape as shapes
from .placement import NUMACTL, Placement
from .runner import Options, ResultLedger, attempt
from ..judge import stats
from ..plan import matrix
from ..plan.workload import PAR, PARALLEL_MODE

# (label, --pin, --numa) of each placement compared; the last two need numactl.
PLACEMENTS = (("unpinned", None, None), ("close", "close", None), ("spread", "spread", None),
              ("close+local", "close", "local"), ("close+interleave", "close", "interleave"))
BACKENDS = (PARALLEL_MODE, PAR)
PROGRAM = "count_if"
SIZE = 30_000_000  # 240 MB of arrays: past the caches, and a few minutes on 16 cores


@dataclasses.dataclass
class Row:
    """One cell in every placement: times per call by placement, and failures."""

    backend: str
    threads: int
    kind: str  # "cores", "hardware threads" or "oversubscribed"
    times: dict[str, list[float]] = dataclasses.field(default_factory=dict)
    cpus: dict[str, str] = dataclasses.field(default_factory=dict)
    failures: dict[str, str] = dataclasses.field(default_factory=dict)


def kind(threads: int, machine_shape: shapes.Shape) -> str:
    """What a thread count is on this machine: within its cores, its hardware
    threads, or beyond them."""
    if threads <= len(machine_shape.cores):
        return "cores"
    return "hardware threads" if threads <= len(machine_shape.usable) else "oversubscribed"


def check(bin_dir, backends=BACKENDS, program: str = PROGRAM, n: int = SIZE, samples: int = 5,
          min_time: float = 0.1, seed: int | None = None, timeout: float = 120.0,
          machine_shape: shapes.Shape | None = None, progress=lambda line: None) -> dict:
    """Measures the cells in every placement; returns what check.json holds."""
    machine_shape = machine_shape or shapes.read()
    placements = [p for p in PLACEMENTS if p[2] is None or shutil.which(NUMACTL)]
    seed = random.SystemRandom().randrange(2**31) if seed is None else seed
    cells = [c for c in matrix.build([program], [n], None, backends=list(backends))
             if c.workload.sweeps_threads(c.backend)]
    options = {label: Options(bin_dir, samples, min_time, timeout, pin=pin, numa=numa,
                              shape=machine_shape, seed=seed)
               for label, pin, numa in placements}
    rows = {cell: Row(cell.backend, cell.threads, kind(cell.threads, machine_shape))
            for cell in cells}
    for cell, row in rows.items():
        for label, option in options.items():
            pinned = option.placement.record(cell)
            row.cpus[label] = pinned["cpus"] if pinned else "any"
    ledger, repetitions = ResultLedger(), {}
    for cell in cells:  # the warm-up, unpinned, sets the repetitions of every placement
        process = attempt(cell, 1, options["unpinned"], ledger)
        seconds = process.report.seconds_per_repetition if process.report else None
        repetitions[cell] = max(1, math.ceil(min_time / seconds)) \
            if cell.workload.calibrated and seconds and seconds > 0 else 1
    rng = random.Random(seed)
    order = [(cell, label) for cell in cells for label in options]
    for round_index in range(samples):
        rng.shuffle(order)
        for cell, label in order:
            row = rows[cell]
            if label in row.failures:
                continue
            process = attempt(cell, repetitions[cell], options[label], ledger)
            if process.failure is not None:
                row.failures[label] = process.failure
            else:
                row.times.setdefault(label, []).append(process.report.seconds_per_repetition)
        progress(f"round {round_index + 1} of {samples} done")
    context = machine.collect(bin_dir, [], False, False, samples, min_time)
    return {"host": context.host, "cpu_model": context.cpu_model, "seed": seed,
            "program": program, "n": n, "samples": samples, "min_time": min_time,
            "shape": machine_shape.to_dict(),
            "placements": {label: Placement(pin, numa, machine_shape).context()
                           or {"pin": None} for label, pin, numa in placements},
            "rows": [dataclasses.asdict(row) for row in rows.values()]}


def table(result: dict) -> str:
    """The result as a person reads it: the machine, then one row per cell with
    the median time per call in each placement, its spread and the speedup
    over the unpinned 1-thread cell of its backend."""
    machine_shape = result["shape"]
    sockets, nodes = len(machine_shape["sockets"]), len(machine_shape["nodes"])
    cores, usable = len(machine_shape["cores"]), len(machine_shape["usable"])
    labels = list(result["placements"])
    lines = [f"{result['host']}: {result['cpu_model'] or 'unknown CPU'}; {usable} usable "
             f"CPU(s) on {cores} core(s), {sockets} socket(s), {nodes} NUMA node(s)",
             f"{result['program']}, n = {result['n']:,}, {result['samples']} rounds "
             f"(seed {result['seed']}): median ms per call [min-max], speedup over the "
             "unpinned 1-thread cell", "",
             "| backend | threads | " + " | ".join(labels) + " |",
             "|---|---|" + "---|" * len(labels)]
    base = {}
    for row in result["rows"]:
        if row["threads"] == 1 and row["times"].get("unpinned"):
            base[row["backend"]] = stats.median(row["times"]["unpinned"])
    failures = []
    for row in result["rows"]:
        shown = []
        for label in labels:
            times = row["times"].get(label)
            if label in row["failures"]:
                shown.append("failed")
                failures.append(f"{row['backend']} t={row['threads']} {label}: "
                                f"{row['failures'][label]}")
            elif not times:
                shown.append("-")
            else:
                middle = stats.median(times)
                speedup = stats.ratio(base.get(row["backend"]), middle)
                shown.append(f"{middle * 1e3:.3g} [{min(times) * 1e3:.3g}-{max(times) * 1e3:.3g}]"
                             + (f" {speedup:.2f}x" if speedup else ""))
        lines.append(f"| {row['backend']} | {row['threads']} ({row['kind']}) | "
                     + " | ".join(shown) + " |")
    lines += ["", "CPUs of each thread count: " + "; ".join(
        f"{label} " + ", ".join(f"t={row['threads']}: {row['cpus'][label]}"
                                for row in result["rows"] if row["backend"] == PARALLEL_MODE)
        for label in labels if label != "unpinned")]
    lines += ["Memory: " + "; ".join(f"{label}: {placed.get('arrays', 'first touch')}"
                                     for label, placed in result["placements"].items())]
    if not any(p[2] for p in PLACEMENTS if p[0] in labels):
        lines.append("numactl is not installed: the local and interleaved placements were "
                     "left out")
    lines.append("Every process's report, result, thread count and, pinned, the CPUs of its "
                 "threads were checked: " + (f"{len(failures)} placement(s) failed:"
                                             if failures else "all passed"))
    lines += [f"  {line}" for line in failures]
    return "\n".join(lines) + "\n"
