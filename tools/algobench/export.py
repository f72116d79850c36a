"""The files of a run directory: samples.csv, results.json and benchmark.json
(Google Benchmark's JSON format, for the tools that read it).

Every JSON file is strict: json.dumps refuses NaN and infinity here, and the
figures that cannot be formed are None (results.json) or left out with a
label saying why (benchmark.json).
"""

from __future__ import annotations

import csv
import json
import pathlib

from .workload import WORKLOADS

SAMPLE_COLUMNS = ("name", "program", "n", "threads", "repetitions", "fourth", "sample",
                  "seconds_per_repetition", "allocate_seconds", "init_seconds", "result")

# Google Benchmark's time units and their length in seconds.
TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def replace_file(path: pathlib.Path, text: str) -> None:
    """Writes a whole file so that an interruption leaves the old or the new one."""
    temporary = path.with_name(path.name + ".tmp")
    temporary.write_text(text, encoding="utf-8")
    temporary.replace(path)


def dump_json(data: dict) -> str:
    return json.dumps(data, indent=1, allow_nan=False) + "\n"


class SampleLog:
    """samples.csv, one row appended and flushed per sample as it is taken."""

    def __init__(self, path: pathlib.Path) -> None:
        self._file = open(path, "w", newline="", encoding="utf-8")
        self._writer = csv.writer(self._file, lineterminator="\n")
        self._writer.writerow(SAMPLE_COLUMNS)
        self._file.flush()

    def append(self, name: str, program: str, n: int, threads: int, repetitions: int,
               fourth: int | None, index: int, report) -> None:
        values = (name, program, n, threads, repetitions, fourth, index,
                  report.seconds_per_repetition, report.allocate_seconds,
                  report.init_seconds, report.result)
        self._writer.writerow([csv_value(v) for v in values])
        self._file.flush()

    def close(self) -> None:
        self._file.close()


def csv_value(value: object) -> object:
    """A CSV field: empty for None, floats at full precision."""
    if value is None:
        return ""
    return repr(value) if isinstance(value, float) else value


def time_unit(seconds: float | None) -> str:
    """The unit one benchmark name is reported in, chosen from its median."""
    if seconds is None or seconds < 1e-5:
        return "ns"
    if seconds < 1e-2:
        return "us"
    if seconds < 10:
        return "ms"
    return "s"


def _rates(program: str, n: int, seconds: float) -> dict:
    if seconds <= 0:
        return {"label": "items_per_second and bytes_per_second left out: the time is 0 "
                         "(below the 1 us clock)"}
    items = n / seconds
    return {"items_per_second": items,
            "bytes_per_second": items * WORKLOADS[program].bytes_per_element}


def google_benchmark(results: dict) -> dict:
    """The run in Google Benchmark's JSON layout.

    real_time and cpu_time both hold the per-repetition time the program
    reported (wall clock): the programs do not measure CPU time.
    """
    context = results.get("context", {})
    governors = context.get("governors") or {}
    out_context = {
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
        out_context[f"algobench_{key}"] = "" if value is None else str(value)
    out_context["algobench_command_line"] = " ".join(context.get("command_line") or [])

    benchmarks = []
    families: dict[str, int] = {}
    instances: dict[str, int] = {}
    for cell in results.get("cells", []):
        family = families.setdefault(cell["program"], len(families))
        instance = instances.get(cell["program"], 0)
        instances[cell["program"]] = instance + 1
        common = {"family_index": family, "per_family_instance_index": instance,
                  "run_name": cell["name"], "threads": cell["threads"]}
        if cell["status"] != "ok":
            benchmarks.append({"name": cell["name"], **common, "run_type": "iteration",
                               "repetitions": 0, "repetition_index": 0, "iterations": 0,
                               "error_occurred": True,
                               "error_message": cell.get("failure") or "failed",
                               "label": "failed: no time recorded"})
            continue
        stats = cell["stats"]
        unit = time_unit(stats["median"])
        scale = TIME_UNITS[unit]
        count = len(cell["samples"])
        for index, seconds in enumerate(cell["samples"]):
            benchmarks.append({
                "name": cell["name"], **common, "run_type": "iteration",
                "repetitions": count, "repetition_index": index,
                "iterations": cell["repetitions"],
                "real_time": seconds / scale, "cpu_time": seconds / scale, "time_unit": unit,
                **_rates(cell["program"], cell["n"], seconds),
            })
        for aggregate in ("mean", "median", "stddev", "cv"):
            row = {"name": f"{cell['name']}_{aggregate}", **common, "run_type": "aggregate",
                   "repetitions": count, "aggregate_name": aggregate,
                   "aggregate_unit": "percentage" if aggregate == "cv" else "time",
                   "iterations": count, "time_unit": unit}
            value = stats.get(aggregate)
            if value is None:
                row["label"] = (f"{aggregate} left out: it needs at least two samples"
                                if count < 2 else f"{aggregate} left out: the mean time is 0")
            elif aggregate == "cv":
                # Google Benchmark stores the coefficient of variation as a fraction.
                row["real_time"] = row["cpu_time"] = value
            else:
                row["real_time"] = row["cpu_time"] = value / scale
                if aggregate in ("mean", "median"):
                    row.update(_rates(cell["program"], cell["n"], value))
            benchmarks.append(row)
    return {"context": out_context, "benchmarks": benchmarks}


def write_results(out_dir: pathlib.Path, results: dict) -> None:
    """results.json and benchmark.json."""
    replace_file(out_dir / "results.json", dump_json(results))
    replace_file(out_dir / "benchmark.json", dump_json(google_benchmark(results)))
