"""benchmark.json: the run in Google Benchmark's JSON layout, for the tools that read it.

real_time and cpu_time both hold the per-repetition time the program reported
(wall clock): the programs do not measure CPU time. Figures that cannot be
formed are left out with a label saying why, so the file stays strict JSON.
"""

from __future__ import annotations

import math
import pathlib

from ..files import dump_json, replace_file

FILE = "benchmark.json"
# Google Benchmark's time units and their length in seconds.
TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def time_unit(seconds: float | None) -> str:
    """The unit one benchmark name is reported in, chosen from its median."""
    if seconds is None or seconds < 1e-5:
        return "ns"
    if seconds < 1e-2:
        return "us"
    if seconds < 10:
        return "ms"
    return "s"


def _rates(cell, seconds: float) -> dict:
    items, rate = cell.rates(seconds)
    if items is None:
        why = "n is 0: no work" if cell.n <= 0 else "the time is 0 (below the 1 us clock)"
        return {"label": f"items_per_second and bytes_per_second left out: {why}"}
    return {"items_per_second": items, "bytes_per_second": rate}


def _context(context) -> dict:
    governors = context.get("governors") or {}
    out = {
        "date": context.get("date"),
        "host_name": context.get("host"),
        "executable": context.get("bin_dir") or "suite run",
        "num_cpus": context.get("usable_cpus"),
        "mhz_per_cpu": context.get("mhz_per_cpu") or 0,
        "cpu_scaling_enabled": any(g != "performance" for g in governors.values()),
        "caches": context.get("caches") or [],
        "load_avg": context.get("load_avg") or [],
        "library_build_type": "release" if context.get("build_type") == "Release" else "debug",
        "json_schema_version": 1,
    }
    for key in ("cpu_model", "kernel", "compiler", "compiler_version", "build_type",
                "build_flags", "libstdcxx_version", "git_commit", "pin", "hugepages",
                "samples", "min_time"):
        value = context.get(key)
        if isinstance(value, bool):
            value = "true" if value else "false"
        out[f"algobench_{key}"] = "" if value is None else str(value)
    out["algobench_command_line"] = " ".join(context.get("command_line") or [])
    return out


def google_benchmark(run) -> dict:
    """The run as Google Benchmark's JSON document."""
    benchmarks = []
    families: dict[str, int] = {}
    instances: dict[str, int] = {}
    for cell in run.cells:
        family = families.setdefault(cell.program, len(families))
        instance = instances.get(cell.program, 0)
        instances[cell.program] = instance + 1
        common = {"family_index": family, "per_family_instance_index": instance,
                  "run_name": cell.name, "threads": cell.threads}
        if not cell.ok or cell.stats is None:
            benchmarks.append({"name": cell.name, **common, "run_type": "iteration",
                               "repetitions": 0, "repetition_index": 0, "iterations": 0,
                               "error_occurred": True,
                               "error_message": cell.failure or "failed",
                               "label": "failed: no time recorded"})
            continue
        stats = cell.stats
        unit = time_unit(stats.median)
        if not math.isfinite(max(cell.times) / TIME_UNITS[unit]):
            unit = "s"  # a time near the largest float is a float only in seconds
        scale = TIME_UNITS[unit]
        count = len(cell.samples)
        for index, seconds in enumerate(cell.times):
            benchmarks.append({
                "name": cell.name, **common, "run_type": "iteration",
                "repetitions": count, "repetition_index": index,
                "iterations": cell.repetitions,
                "real_time": seconds / scale, "cpu_time": seconds / scale, "time_unit": unit,
                **_rates(cell, seconds),
            })
        for aggregate in ("mean", "median", "stddev", "cv"):
            row = {"name": f"{cell.name}_{aggregate}", **common, "run_type": "aggregate",
                   "repetitions": count, "aggregate_name": aggregate,
                   "aggregate_unit": "percentage" if aggregate == "cv" else "time",
                   "iterations": count, "time_unit": unit}
            value = getattr(stats, aggregate)
            if value is None:
                row["label"] = (f"{aggregate} left out: it needs at least two samples"
                                if count < 2 else f"{aggregate} left out: the mean time is 0")
            elif aggregate == "cv":
                # Google Benchmark stores the coefficient of variation as a fraction.
                row["real_time"] = row["cpu_time"] = value
            else:
                row["real_time"] = row["cpu_time"] = value / scale
                if aggregate in ("mean", "median"):
                    row.update(_rates(cell, value))
            benchmarks.append(row)
    return {"context": _context(run.context), "benchmarks": benchmarks}


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    path = pathlib.Path(folder) / FILE
    replace_file(path, dump_json(google_benchmark(run)))
    return [path]
