"""The summary of a run, drawn from its results alone.

Everything here reads only the results dictionary (as results.json holds it),
so a summary can be redrawn later without running anything.
"""

from __future__ import annotations

import csv
import io
import math
import pathlib

from .export import csv_value, replace_file
from .workload import WORKLOADS

COLUMNS = ("program", "n", "threads", "repetitions", "median time", "CV %", "speedup",
           "efficiency", "Melem/s", "GB/s", "% of bw", "status")

CSV_COLUMNS = ("name", "program", "n", "threads", "repetitions", "fourth", "status", "samples",
               "min", "median", "mean", "stddev", "cv", "speedup", "efficiency",
               "items_per_second", "bytes_per_second", "bandwidth_share", "failure")


def fill_bandwidth_shares(results: dict) -> None:
    """Sets every cell's bandwidth_share: its bytes/s over the probe's figure for
    the cell's thread count and the program's reference kernel; None where the
    program is compute-bound, the probe has no such figure, or a rate is missing."""
    bandwidth = results.get("bandwidth") or {}
    for cell in results.get("cells", []):
        workload = WORKLOADS.get(cell.get("program"))
        reference = workload.bandwidth_reference if workload else None
        probe = bandwidth.get(str(cell.get("threads")), {}) if reference else {}
        available = probe.get(reference) if reference else None
        rate = cell.get("bytes_per_second")
        share = None
        if rate is not None and available:
            share = rate / available
            if not math.isfinite(share):
                share = None
        cell["bandwidth_share"] = share


def _time(seconds: float | None) -> str:
    if seconds is None:
        return ""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if abs(seconds) >= scale:
            return f"{seconds / scale:.4g} {unit}"
    return f"{seconds / 1e-9:.4g} ns"


def _number(value: float | None, scale: float = 1.0, digits: int = 3) -> str:
    return "" if value is None else f"{value / scale:.{digits}g}"


def _row(cell: dict) -> list[str]:
    stats = cell.get("stats") or {}
    cv = stats.get("cv")
    share = cell.get("bandwidth_share")
    return [
        cell["program"],
        str(cell["n"]),
        str(cell["threads"]),
        str(cell.get("repetitions") or ""),
        _time(stats.get("median")),
        "" if cv is None else f"{cv * 100:.1f}",
        _number(cell.get("speedup")),
        _number(cell.get("efficiency")),
        _number(cell.get("items_per_second"), 1e6),
        _number(cell.get("bytes_per_second"), 1e9),
        "" if share is None else f"{share * 100:.0f}",
        cell["status"],
    ]


def render_markdown(results: dict) -> str:
    """The summary table, with a heading naming the machine and the failures below it."""
    context = results.get("context", {})
    lines = [
        f"# algobench sweep, {context.get('date', 'date unknown')}",
        "",
        f"{context.get('host', '?')}: {context.get('cpu_model', '?')}, "
        f"{context.get('usable_cpus', '?')} usable CPUs; {context.get('build_type', '?')} build, "
        f"{context.get('compiler', '?')} {context.get('compiler_version', '')}".rstrip()
        + f"; {context.get('samples', '?')} samples per cell, min time {context.get('min_time', '?')} s"
        + ("; pinned" if context.get("pin") else "")
        + ("; huge pages" if context.get("hugepages") else ""),
        "",
        "| " + " | ".join(COLUMNS) + " |",
        "|" + "|".join("---" if c in ("program", "status") else "--:" for c in COLUMNS) + "|",
    ]
    cells = results.get("cells", [])
    lines += ["| " + " | ".join(_row(cell)) + " |" for cell in cells]
    failed = [cell for cell in cells if cell["status"] != "ok"]
    if failed:
        lines += ["", "Failed cells:", ""]
        lines += [f"- `{cell['name']}`: {cell.get('failure') or 'no reason recorded'}"
                  for cell in failed]
    if not results.get("bandwidth"):
        lines += ["", "No bandwidth figures: \"% of bw\" stays blank."]
    return "\n".join(lines) + "\n"


def render_csv(results: dict) -> str:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(CSV_COLUMNS)
    for cell in results.get("cells", []):
        stats = cell.get("stats") or {}
        values = {**cell, **stats, "samples": len(cell.get("samples", []))}
        writer.writerow([csv_value(values.get(c)) for c in CSV_COLUMNS])
    return buffer.getvalue()


def write_summary_files(out_dir: pathlib.Path, results: dict) -> None:
    """Writes summary.md and summary.csv into out_dir."""
    out_dir = pathlib.Path(out_dir)
    replace_file(out_dir / "summary.md", render_markdown(results))
    replace_file(out_dir / "summary.csv", render_csv(results))
