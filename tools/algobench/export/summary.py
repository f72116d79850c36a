"""summary.md, and the same table on the terminal at the end of a run.

Everything here reads the run's fields alone, so a summary can be redrawn
later without running anything.
"""

from __future__ import annotations

import pathlib

from ..files import replace_file
from .units import format_seconds

FILE = "summary.md"
COLUMNS = ("program", "n", "threads", "repetitions", "median time", "CV %", "speedup",
           "efficiency", "Melem/s", "GB/s", "% of bw", "status")


def _number(value: float | None, scale: float = 1.0, digits: int = 3) -> str:
    return "" if value is None else f"{value / scale:.{digits}g}"


def _row(cell) -> list[str]:
    stats = cell.stats
    cv = stats.cv if stats is not None else None
    share = cell.bandwidth_share
    return [
        cell.program,
        str(cell.n),
        str(cell.threads),
        str(cell.repetitions or ""),
        format_seconds(stats.median if stats is not None else None),
        "" if cv is None else f"{cv * 100:.1f}",
        _number(cell.speedup),
        _number(cell.efficiency),
        _number(cell.items_per_second, 1e6),
        _number(cell.bytes_per_second, 1e9),
        "" if share is None else f"{share * 100:.0f}",
        cell.status,
    ]


def render_markdown(run) -> str:
    """The summary table, with a heading naming the machine and the failures below it."""
    context = run.context
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
    lines += ["| " + " | ".join(_row(cell)) + " |" for cell in run.cells]
    failed = [cell for cell in run.cells if not cell.ok]
    if failed:
        lines += ["", "Failed cells:", ""]
        lines += [f"- `{cell.name}`: {cell.failure or 'no reason recorded'}" for cell in failed]
    if not run.bandwidth:
        lines += ["", "No bandwidth figures: \"% of bw\" stays blank."]
    return "\n".join(lines) + "\n"


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    path = pathlib.Path(folder) / FILE
    replace_file(path, render_markdown(run))
    return [path]
