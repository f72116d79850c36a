"""report.html: the run as one page that opens in any browser, offline.

At the top the context (host, CPU, compiler, library, commit, date, options)
and the warnings: the busy machine, what was known before the cells ran,
and the grouped findings with the keys the summary uses. Then the summary
table, one row per cell, sortable by any column, warned and failed cells
marked; then the charts: time per element against n, speedup against the
thread count with the ideal line, efficiency at each program's largest size,
share of the memory bandwidth, and the backends side by side at each
program's largest size. A point's tooltip gives its value and its interval;
a legend entry shows or hides its series.

How the charts are made: the suite draws them itself, as SVG written by
chart.py from what report_charts.py picks out of the cells, and the page
carries a few dozen lines of plain JavaScript for the tooltip, the legend
and the sorting. A chart library inlined from npm would put a build step
(or a vendored, minified copy of the library) between the runner, which
needs nothing but Python's standard library, and its output, add a few
hundred kilobytes to every page, and draw the charts only once its script
has run. Drawn here, the charts are in the markup itself: they show without
the script, the page is a few hundred kilobytes for a default sweep (a test
holds it under 2 MB), it is the same bytes for the same results, and its
Content-Security-Policy can allow exactly one script and one stylesheet.
"""

from __future__ import annotations

import pathlib
from html import escape

from ..files import replace_file
from . import summary
from .chart import charts
from .report_charts import EMPTY, run_charts
from .text import plural
from .units import format_seconds
from .web import Column, Field, Row, attributes, page, sortable_table

FILE = "report.html"
RINGED = "points and bars outlined in black: cells a warning names"


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    path = pathlib.Path(folder) / FILE
    replace_file(path, render(run))
    return [path]


def _figure(value: float | None, digits: int = 3) -> str:
    return "" if value is None else f"{value:.{digits}g}"


def context_items(run) -> list[tuple[str, str]]:
    c = run.context
    cpu = c.get("cpu_model", "unknown")
    if c.usable_cpus is not None:
        cpu += f", {c.usable_cpus} usable CPUs"
    if c.mhz_per_cpu:
        cpu += f", {c.mhz_per_cpu} MHz"
    commit = c.get("git_commit", "unknown") + ("-dirty" if c.git_dirty else "")
    options = [f"{c.get('samples', '?')} samples per cell in interleaved rounds",
               f"min time {c.get('min_time', '?')} s"]
    if c.seed is not None:
        options.append(f"seed {c.seed}")
    if c.cv_threshold is not None:
        options.append(f"CV threshold {c.cv_threshold:g}")
    options.append("pinned" if c.pin else "not pinned")
    if c.hugepages:
        options.append("huge pages")
    items = [
        ("host", c.get("host", "unknown")),
        ("CPU", cpu),
        ("kernel", c.get("kernel", "unknown")),
        ("compiler", " ".join(str(v) for v in (c.compiler, c.compiler_version) if v) or "unknown"),
        ("build", " ".join(str(v) for v in (c.build_type, c.build_flags) if v) or "unknown"),
        ("library", c.get("libstdcxx_version", "unknown")),
        ("commit", commit),
        ("date", c.get("date", "unknown")),
        ("options", ", ".join(options)),
    ]
    if c.omp_env:
        items.append(("OpenMP environment", " ".join(f"{k}={v}" for k, v in c.omp_env.items())))
    if c.command_line:
        items.append(("command", " ".join(map(str, c.command_line))))
    if run.bandwidth:
        figures = []
        for threads, kernels in sorted(run.bandwidth.items(), key=lambda kv: _as_int(kv[0])):
            shown = ", ".join(f"{k} {v / 1e9:.3g}" for k, v in kernels.items()
                              if isinstance(v, (int, float)))
            figures.append(f"{threads} threads: {shown}")
        items.append(("bandwidth (GB/s)", "; ".join(figures)))
    return items


def _as_int(text: str) -> tuple:
    return (0, int(text), "") if text.isdigit() else (1, 0, text)


def _context(run) -> str:
    rows = "".join(f"<dt>{escape(k)}</dt><dd>{escape(str(v))}</dd>" for k, v in context_items(run))
    return f"<section id=\"context\">\n<h2>Context</h2>\n<dl class=\"context\">{rows}</dl>\n</section>"


def _warnings(run, listed: list[tuple[str, str]]) -> str:
    """The busy machine, the warnings known before the cells ran, and the findings
    (with the keys the table's notes use)."""
    found_lines = {f.line for f in run.findings} | {run.busy}
    before = [w for w in run.context.warnings if w not in found_lines]
    parts = ["<section id=\"warnings\">", "<h2>Warnings</h2>"]
    if run.busy:
        parts.append(f"<p class=\"banner\"><strong>The machine was busy:</strong> "
                     f"{escape(run.busy)}</p>")
    if before:
        parts.append("<h3>Before the cells ran</h3>")
        parts.append("<ul class=\"warnings\">" + "".join(f"<li>{escape(w)}</li>" for w in before)
                     + "</ul>")
    # summary.notes gives the findings that name cells their keys in order.
    keys = iter(key for key, text in listed if text != summary.ZERO_SIZE_NOTE)
    keyed = [(next(keys, None) if finding.cells else None, finding) for finding in run.findings]
    if keyed:
        parts.append("<h3>What the cells say</h3>")
        items = []
        for key, finding in keyed:
            label = f"<span class=\"key\">{escape(key)}</span>" if key else ""
            cells = ""
            if finding.cells:
                names = "".join(f"<li><code>{escape(n)}</code></li>" for n in finding.cells)
                cells = (f"<details class=\"cells\"><summary>{plural(len(finding.cells), 'cell')}"
                         f"</summary><ul>{names}"
                         "</ul></details>")
            anchor = attributes({"id": f"finding-{key}" if key else None})
            items.append(f"<li{anchor}>{label}{escape(finding.line)}{cells}</li>")
        parts.append("<ul class=\"warnings\">" + "".join(items) + "</ul>")
    others = [(k, text) for k, text in listed if text == summary.ZERO_SIZE_NOTE]
    for key, text in others:
        parts.append(f"<p id=\"finding-{escape(key)}\"><span class=\"key\">{escape(key)}</span>"
                     f"{escape(text)}</p>")
    if not (run.busy or before or keyed):
        parts.append("<p class=\"empty\">No warnings.</p>")
    parts.append("</section>")
    return "\n".join(parts)


COLUMNS = (
    Column("program"), Column("backend"), Column("n", True), Column("threads", True),
    Column("repetitions", True), Column("median time", True, "median time of one call"),
    Column("CV %", True, "coefficient of variation of the samples"),
    Column("speedup", True, "median over rounds of the 1-thread time over this cell's time, "
                            "with its interval"),
    Column("efficiency", True, "speedup / threads"), Column("Melem/s", True),
    Column("GB/s", True), Column("% of bw", True, "share of the probe's memory bandwidth"),
    Column("instructions", True, "instructions of one steady call, counted under callgrind"),
    Column("work ratio", True, "instructions at this thread count over those at 1 thread"),
    Column("status", css="status"),
    Column("notes", help="keys of the warnings that name the cell", css="notes"),
)


def _scaled_field(value: float | None, scale: float) -> Field:
    return Field(_figure(None if value is None else value / scale), value)


def cell_rows(run, by_cell: dict[str, list[str]], warned: set[str]) -> list[Row]:
    rows = []
    for cell in run.cells:
        stats = cell.stats
        cv = stats.cv if stats is not None else None
        median = stats.median if stats is not None else None
        share = cell.bandwidth_share
        keys = by_cell.get(cell.name, [])
        failed = cell.status == "failed"
        marks = ""
        if cell.name in warned:
            marks += "<span class=\"mark w\" title=\"a warning names this cell\">!</span>"
        if failed:
            marks += "<span class=\"mark f\" title=\"this cell failed\">&#x2717;</span>"
        status = Field(cell.status, title=cell.failure)
        notes = Field(", ".join(keys), markup=", ".join(
            f"<a class=\"key\" href=\"#finding-{escape(k)}\">{escape(k)}</a>" for k in keys))
        classes = tuple(name for name, flag in (("warned", cell.name in warned),
                                                 ("failed", failed)) if flag)
        fields = [
            Field(cell.program, markup=marks + escape(cell.program), title=cell.name),
            Field(cell.backend),
            Field(f"{cell.n:,}", cell.n),
            Field(str(cell.threads), cell.threads),
            Field(str(cell.repetitions or ""), cell.repetitions),
            Field(format_seconds(median), median),
            Field("" if cv is None else f"{cv * 100:.1f}", None if cv is None else cv * 100),
            Field(summary.speedup_text(cell), cell.speedup),
            Field(_figure(cell.efficiency), cell.efficiency),
            _scaled_field(cell.items_per_second, 1e6),
            _scaled_field(cell.bytes_per_second, 1e9),
            Field("" if share is None else f"{share * 100:.0f}",
                  None if share is None else share * 100),
            Field(summary.count_text(cell.instructions), cell.instructions),
            Field(summary.work_ratio_text(cell), cell.work_ratio),
            status,
            notes,
        ]
        rows.append(Row(fields, classes, {"cell": cell.name}))
    return rows


def _cells_section(run, by_cell: dict[str, list[str]], warned: set[str]) -> str:
    table = sortable_table(COLUMNS, cell_rows(run, by_cell, warned),
                           caption="One row per cell; click a column's header to sort by it. "
                                   "Speedup: the median over rounds of the 1-thread time over "
                                   "this cell's time in the same round, with its interval.",
                           table_id="cells")
    parts = ["<section id=\"cells-section\">", "<h2>Cells</h2>",
             f"<div class=\"scroll\">{table}</div>"]
    failed = [c for c in run.cells if c.status == "failed"]
    if failed:
        parts.append("<h3>Failed cells</h3><ul class=\"failures\">" + "".join(
            f"<li><code>{escape(c.name)}</code>: {escape(c.failure or 'no reason recorded')}</li>"
            for c in failed) + "</ul>")
    if not run.bandwidth:
        parts.append("<p class=\"empty\">No bandwidth figures: \"% of bw\" stays blank.</p>")
    parts.append("</section>")
    return "\n".join(parts)


def _charts_sections(run, warned: set[str]) -> tuple[str, list[tuple[str, str]]]:
    sections, toc = [], []
    for anchor, heading, made in run_charts(run, warned):
        toc.append((f"charts-{anchor}", heading))
        body = charts([c.render() for c in made]) if made else \
            f"<p class=\"empty\">{escape(EMPTY[anchor])}</p>"
        note = f"<p class=\"sub\">{escape(RINGED)}.</p>" if made and warned else ""
        sections.append(f"<section id=\"charts-{anchor}\">\n<h2>{escape(heading)}</h2>\n{note}"
                        f"{body}\n</section>")
    return "\n".join(sections), toc


def render(run) -> str:
    """The whole report page of a derived run."""
    context = run.context
    host, date = context.get("host", "unknown host"), context.get("date", "unknown date")
    by_cell, listed = summary.notes(run)
    warned = {name for finding in run.findings for name in finding.cells}
    chart_markup, chart_toc = _charts_sections(run, warned)
    toc = [("context", "Context"), ("warnings", "Warnings"), ("cells-section", "Cells")] + chart_toc
    parts = [
        "<header>",
        "<h1>algobench report</h1>",
        f"<p class=\"sub\">{escape(str(host))} · {escape(str(date))} · {len(run.cells)} cells, "
        f"{run.completed_cells} passed</p>",
        "<nav class=\"toc\">" + "".join(f"<a href=\"#{a}\">{escape(t)}</a>" for a, t in toc)
        + "</nav>",
        "</header>",
    ]
    if run.interrupted:
        parts.append(f"<p class=\"banner fail\"><strong>Interrupted:</strong> the run was cut "
                     f"short; {run.completed_cells} of {run.planned_cells or len(run.cells)} "
                     "cells completed.</p>")
    failed = sum(c.status == "failed" for c in run.cells)
    if failed:
        parts.append(f"<p class=\"banner fail\"><strong>{plural(failed, 'cell')} failed"
                     "</strong>: see <a href=\"#cells-section\">Cells</a>.</p>")
    parts += [_context(run), _warnings(run, listed), _cells_section(run, by_cell, warned),
              chart_markup,
              "<footer>Written by algobench from results.json; <code>./suite report</code> "
              "writes it again.</footer>"]
    return page(f"algobench report: {host}, {date}", "\n".join(parts))
