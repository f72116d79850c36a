"""summary.md, and the same table on the terminal at the end of a run.

Everything here reads the run's fields alone, so a summary can be redrawn
later without running anything.

When a warning names cells, the table gets a last column, "notes", in which
each such cell carries that warning's key ("a", "b", ...); the keys are
listed with their warnings below the table, and the cells of size 0 get one
key saying why they have no speedup. A run without notes has no such column.
"""

from __future__ import annotations

import pathlib

from ..files import replace_file
from ..plan.workload import PARALLEL_MODE
from .text import markdown, printable, with_interval
from .units import format_seconds
from .answer_text import render_crossovers, render_winners

FILE = "summary.md"
COLUMNS = ("program", "n", "threads", "repetitions", "median time", "CV %", "speedup",
           "efficiency", "Melem/s", "GB/s", "% of bw", "status", "notes")
SMT_NOTE = ("(SMT): a thread count beyond the physical cores of the usable CPUs, its "
            "threads sharing those cores as hardware threads; its efficiency is the speedup "
            "over the cores, not over the threads.")
ZERO_SIZE_NOTE = ("no work at n = 0, so no speedup, efficiency or throughput (the times are "
                  "the clock's noise around an empty loop)")


def _number(value: float | None, scale: float = 1.0, digits: int = 3) -> str:
    return "" if value is None else f"{value / scale:.{digits}g}"


def speedup_text(cell) -> str:
    """The paired speedup with its interval over rounds, where it has one."""
    text = _number(cell.speedup)
    if not text or cell.threads == 1:
        return text
    return with_interval(text, cell.speedup_low, cell.speedup_high)


def _key(index: int) -> str:
    """a, b, ..., z, aa, ab, ...: a footnote key that survives plain text."""
    key = ""
    index += 1
    while index:
        index, rest = divmod(index - 1, 26)
        key = chr(ord("a") + rest) + key
    return key


def notes(run) -> tuple[dict[str, list[str]], list[tuple[str, str]]]:
    """The keys of every cell's notes, by cell name, and each key with its text."""
    listed: list[tuple[str, str]] = []
    by_cell: dict[str, list[str]] = {}
    for finding in run.findings:
        if not finding.cells:
            continue
        key = _key(len(listed))
        text = finding.line
        if finding.kind == "busy" and run.busy:
            text = ("the machine was busy while these cells ran, and their spread or missing "
                    "speedup may be its doing: see the warning above")
        listed.append((key, text))
        for name in finding.cells:
            by_cell.setdefault(name, []).append(key)
    empty = [cell for cell in run.cells if cell.n == 0]
    if empty:
        key = _key(len(listed))
        listed.append((key, ZERO_SIZE_NOTE))
        for cell in empty:
            by_cell.setdefault(cell.name, []).append(key)
    return by_cell, listed


def _row(cell, keys: list[str], backends: bool = False) -> list[str]:
    """The cell's columns; `keys` is [its notes] when the table has that column, else [];
    `backends` adds the backend after the program."""
    stats = cell.stats
    cv = stats.cv if stats is not None else None
    share = cell.bandwidth_share
    return [
        cell.program,
        *([cell.backend] if backends else []),
        str(cell.n),
        cell.thread_label,
        str(cell.repetitions or ""),
        format_seconds(stats.median if stats is not None else None),
        "" if cv is None else f"{cv * 100:.1f}",
        speedup_text(cell),
        _number(cell.efficiency),
        _number(cell.items_per_second, 1e6),
        _number(cell.bytes_per_second, 1e9),
        "" if share is None else f"{share * 100:.0f}",
        cell.status,
    ] + keys


COUNT_COLUMNS = ("program", "n", "threads", "instructions per call", "spread %", "work ratio",
                 "first call +", "status", "notes")
COUNT_NOTE = ("Instructions per call: the instructions one steady call of the timed loop "
              "executes, counted under callgrind (the difference between a process of one call "
              "and one of 1 + k calls, over k; a call of 5 x 10^7 or more: a process of one "
              "call less the first call's extra at the next smaller size); \"first call +\": "
              "what the first call of a process executes beyond that (lazy binding, starting "
              "the threads), blank where the call cannot be repeated and its one count includes "
              "it. Spread: (largest - smallest) / median of the counts, for the cells counted "
              "more than once (more than one thread: the runtime's scheduling moves the "
              "count). Work ratio: "
              "instructions at this thread count over those at 1 thread of the same backend, "
              "the extra work a parallel call does (a second pass, the bookkeeping of "
              "splitting and stealing); at 2 threads a ratio near 2 leaves no room for a "
              "speedup. Counts are not time: a memory-bound call can change in time without "
              "changing in count.")


def count_text(value: float | None) -> str:
    """An instruction count, whole, with thousands separators."""
    return "" if value is None else f"{value:,.0f}"


def work_ratio_text(cell) -> str:
    return "" if cell.work_ratio is None else f"{cell.work_ratio:.3f}x"


def _count_row(cell, keys: list[str], backends: bool = False) -> list[str]:
    spread = cell.instructions_spread if len(cell.instruction_samples) > 1 else None
    return [cell.program, *([cell.backend] if backends else []), str(cell.n), cell.thread_label,
            count_text(cell.instructions), "" if spread is None else f"{spread * 100:.3f}",
            work_ratio_text(cell), count_text(cell.first_call_instructions), cell.status] + keys


def _rounds_lines(run) -> list[str]:
    """How many rounds the cells took where the rounds went where an answer was open."""
    adaptive = [cell for cell in run.cells if cell.stopped]
    if not adaptive:
        return []
    planned = run.context.get("samples")
    beyond = [cell for cell in adaptive if planned is not None and len(cell.samples) > planned]
    scattering = [cell for cell in adaptive if cell.stopped == "budget"]
    line = (f"Rounds: {planned} planned; {len(beyond)} of {len(adaptive)} cells took more "
            "(an answer of their program size was still open)")
    if beyond:
        line += f", up to {max(len(cell.samples) for cell in beyond)}"
    line += "; "
    if scattering:
        shown = ", ".join(f"{cell.name} ({len(cell.samples)} rounds"
                          + (f", {cell.settle_width * 100:.0f}% wide"
                             if cell.settle_width is not None else "") + ")"
                          for cell in scattering[:6])
        more = f" and {len(scattering) - 6} more" if len(scattering) > 6 else ""
        line += f"stopped with an answer still open: {shown}{more}."
    else:
        line += "none stopped with an answer open."
    return ["", line]


def render_markdown(run) -> str:
    """The summary table, with a heading naming the machine and the failures below it."""
    context = run.context
    lines = [
        f"# algobench sweep, {context.get('date', 'date unknown')}",
        "",
    ]
    if run.interrupted:
        lines += [f"> **Interrupted:** the run was cut short; {run.completed_cells} of "
                  f"{run.planned_cells or len(run.cells)} cells completed. Cells marked "
                  "\"interrupted\" hold the samples taken so far.", ""]
    if run.busy:
        lines += [f"> **Warning:** {run.busy}", ""]
    placed = context.get("placement", {})  # --pin's mode, --numa's policy
    lines += [
        f"{context.get('host', '?')}: {context.get('cpu_model', '?')}, "
        f"{context.get('usable_cpus', '?')} usable CPUs; {context.get('build_type', '?')} build, "
        f"{context.get('compiler', '?')} {context.get('compiler_version', '')}".rstrip()
        + ("; instruction counts under callgrind" if run.metric.exact else
           f"; {context.get('samples', '?')} samples per cell in interleaved rounds"
           + (f" (seed {context.get('seed')})" if context.get("seed") is not None else "")
           + f", min time {context.get('min_time', '?')} s")
        + ("; pinned" if context.get("pin") else "")
        + (f" ({placed['pin']})" if placed.get("pin") else "")
        + {"local": "; local memory", "interleave": "; interleaved memory"}.get(
            placed.get("numa"), "")
        + ("; huge pages" if context.get("hugepages") else ""),
        "",
    ]
    shape = (context.get("shape") or {}).get("summary")
    if isinstance(shape, str):
        lines += [f"Shape: {printable(shape)}", ""]
    if context.environment:
        # What the runtimes were told beyond the defaults (affinity, spinning,
        # allocator, preloaded libraries).
        lines += ["Environment: " + printable(" ".join(f"{k}={v}" for k, v in
                                                       context.environment.items())), ""]
    by_cell, listed = notes(run)
    if run.metric.exact:
        return "\n".join(lines + _count_table(run, by_cell, listed)) + "\n"
    table, backends = _table(run, COLUMNS, _row, by_cell, listed)
    lines += table
    lines += ["", "Speedup: the median over rounds of the 1-thread time over this cell's time "
              "in the same round, with its 95% bootstrap interval."]
    if any(cell.on_cores for cell in run.cells):
        lines += ["", SMT_NOTE]
    if backends:
        lines += ["", "The speedup of a backend is against its own 1-thread time; the table "
                  "below compares the backends with each other."]
    lines += render_winners(run)
    lines += render_crossovers(run)
    lines += _rounds_lines(run)
    replaced = sum(cell.replaced for cell in run.cells)
    if replaced:
        lines += [f"{replaced} samples were measured again because another process competed "
                  "for the machine while they ran."]
    lines += _notes_and_failures(run, listed)
    if not run.bandwidth:
        lines += ["", "No bandwidth figures: \"% of bw\" stays blank."]
    return "\n".join(lines) + "\n"


def _notes_and_failures(run, listed: list[tuple[str, str]]) -> list[str]:
    """The notes the table's keys point to, then the failed cells and why."""
    lines = []
    if listed:
        lines += ["", "Notes:", ""]
        lines += [f"- {key}: {text}" for key, text in listed]
    failed = [cell for cell in run.cells if cell.status == "failed"]
    if failed:
        lines += ["", "Failed cells:", ""]
        lines += [f"- `{cell.name}`: {cell.failure or 'no reason recorded'}" for cell in failed]
    return lines


def _table(run, columns: tuple, row, by_cell: dict[str, list[str]],
           listed: list[tuple[str, str]]) -> tuple[list[str], bool]:
    """The cells' table, a row each by `row(cell, keys, backends)`, its last column
    (the notes) only when `listed`; and whether it has a backend column. A run of
    the parallel mode alone reads as it always has; with other backends every row
    says which one it is."""
    columns = columns if listed else columns[:-1]
    backends = run.backends not in ([], [PARALLEL_MODE])
    if backends:
        columns = (columns[0], "backend", *columns[1:])
    rows = [row(cell, [", ".join(by_cell.get(cell.name, []))] if listed else [], backends)
            for cell in run.cells]
    words = ("program", "backend", "status", "notes")
    return markdown(columns, rows, right={i for i, c in enumerate(columns) if c not in words}), \
        backends


def _count_table(run, by_cell: dict[str, list[str]], listed: list[tuple[str, str]]) -> list[str]:
    """The table of a run of counts, its note, its notes and failures."""
    lines = _table(run, COUNT_COLUMNS, _count_row, by_cell, listed)[0]
    lines += ["", COUNT_NOTE]
    lines += _notes_and_failures(run, listed)
    return lines


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    path = pathlib.Path(folder) / FILE
    replace_file(path, render_markdown(run))
    return [path]
