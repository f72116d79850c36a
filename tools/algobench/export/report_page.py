"""report.html: the run as one page that opens in any browser, offline.

At the top the busy machine's warning, once, then the answers
(report_answers.py): a line per program on where going parallel pays, and
the decision map; one click away, the grid of the backend to use per
program, size and thread count (the derive step's winners, the ones the
summary prints), coloured by that backend, with the lead over the runner-up
or the tie. Below, the context (host, CPU, compiler, library, commit, date, options)
and the warnings: what was known before the cells ran, and the grouped
findings with the keys the summary uses. Then the cells (report_table.py):
the run's data to download, filters that hide rows and chart series
together, and one row per cell, sortable by any column, warned and failed
cells marked, its samples by round behind its CV; then the charts
(report_charts.py). A point's tooltip gives its value and its interval; a
legend entry shows or hides its series.

How the charts are made: the suite draws them itself, as SVG written by
chart.py from what report_charts.py picks out of the cells, and the page
carries plain JavaScript for the tooltip, the legend, the speedup toggle and
the sorting. A chart library inlined from npm (Vega-Lite with Vega, about
0.7 MB minified; Observable Plot with d3, about 0.4 MB) would put a vendored
copy between the runner, which needs nothing but Python's standard library,
and its output, grow every page by that much, and draw the charts only once
its script has run. Drawn here, the charts are in the markup itself: every
point's figures are its SVG title, shown without the script, the page of a
default sweep stays well under 2 MB (a test holds it there), it is the same
bytes for the same results, and its Content-Security-Policy can allow
exactly one script and one stylesheet.
"""

from __future__ import annotations

import pathlib
from html import escape

from ..files import replace_file
from ..plan.workload import WORKLOADS
from . import answer_text, report_answers, report_table, summary
from .chart import charts
from .report_charts import EMPTY, run_charts, warned_cells
from .text import plural
from .web import attributes, backend_class, page

FILE = "report.html"
RINGED = "points and bars outlined in black: cells whose figures a warning changes"
BUSY_CELLS = ("these cells ran while the machine was busy (see the warning at the top), "
              "which may explain their spread or a missing speedup")
# How the findings grid names a backend in the little room of a cell.
SHORT = {"parallel-mode": "pmode", "sequential": "seq", "c++17-par": "par",
         "c++17-par-unseq": "unseq"}
GRID_NOTE = ("Each cell: the backend to use at that size and thread count, the one every "
             "other trails by the median over rounds of the same-round ratio of times; "
             "\"by 12% (5-20)\": the runner-up is that much slower, with its 95% interval; "
             "\"equivalent\" where the backends named are within the run's margin of each "
             "other (any will do), \"undecided\" where the rounds cannot tell yet, with what "
             "would decide it. A cell links to its program's speedup chart.")


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    path = pathlib.Path(folder) / FILE
    replace_file(path, render(run))
    return [path]


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
    shape = (c.shape or {}).get("summary")
    items = [
        ("host", c.get("host", "unknown")),
        ("CPU", cpu),
        *([("shape", shape)] if isinstance(shape, str) else []),
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
    if c.runtime_env:
        items.append(("runtime environment",
                      " ".join(f"{k}={v}" for k, v in c.runtime_env.items())))
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
            # The busy machine's warning stands at the top of the page, once.
            line = BUSY_CELLS if run.busy and finding.line == run.busy else finding.line
            items.append(f"<li{anchor}>{label}{escape(line)}{cells}</li>")
        parts.append("<ul class=\"warnings\">" + "".join(items) + "</ul>")
    others = [(k, text) for k, text in listed if text == summary.ZERO_SIZE_NOTE]
    for key, text in others:
        parts.append(f"<p id=\"finding-{escape(key)}\"><span class=\"key\">{escape(key)}</span>"
                     f"{escape(text)}</p>")
    if not (run.busy or before or keyed):
        parts.append("<p class=\"empty\">No warnings.</p>")
    parts.append("</section>")
    return "\n".join(parts)


def _charts_sections(run, warned: set[str]) -> tuple[str, list[tuple[str, str]], dict[str, str]]:
    """The charts' sections, their entries in the contents, and the chart each
    program's findings link to: its speedup chart, else its time chart."""
    sections, toc, links = [], [], {}
    made = run_charts(run, warned)
    for kind in ("speedup", "speedup-self", "time"):
        for section in made:
            for chart in section.charts:
                if chart.data.get("kind") == kind and "program" in chart.data:
                    links.setdefault(chart.data["program"], chart.anchor)
    for section in made:
        anchor = section.anchor
        toc.append((f"charts-{anchor}", section.heading))
        parts = [f"<section id=\"charts-{anchor}\">", f"<h2>{escape(section.heading)}</h2>"]
        if section.intro:
            parts.append(f"<p class=\"sub\">{escape(section.intro)}</p>")
        if section.charts and warned:
            parts.append(f"<p class=\"sub\">{escape(RINGED)}.</p>")
        if section.alternate:
            parts.append("<p class=\"needs-script\"><button type=\"button\" class=\"swap\" "
                          "aria-pressed=\"false\">Show each backend's speedup over its own "
                          "1-thread time</button></p>")
        parts.append(charts([c.render() for c in section.charts]) if section.charts else
                     f"<p class=\"empty\">{escape(EMPTY[anchor])}</p>")
        if section.alternate:
            parts.append(f"<details class=\"alternate\"><summary>{escape(section.alternate_label)}"
                         f"</summary>\n{charts([c.render() for c in section.alternate])}\n"
                         "</details>")
        parts += [f"<p class=\"sub\">{escape(note)}</p>" for note in section.notes]
        parts.append("</section>")
        sections.append("\n".join(parts))
    return "\n".join(sections), toc, links


def _short(backend: str) -> str:
    return SHORT.get(backend, backend)


def _grid_cell(w, anchor: str | None) -> str:
    """One cell of the findings grid: the winner (or the tie) and the lead."""
    on = "" if w.backend_threads in (None, w.threads) else f" @{w.backend_threads}"
    lead = answer_text.lead_text(w)
    if w.tied:
        word = w.verdict or "tie"
        shown = f"{word}: " + ", ".join(_short(b) for b in w.tied)
        classes = f"tie {word}"
        title = (f"{word}: {', '.join(w.tied)}: " + (
            "any of them will do" if word == "equivalent" else "the rounds cannot tell them "
            "apart yet" + (f"; {w.hint} would decide it" if w.hint else "")))
    else:
        shown = _short(w.backend) + on
        classes = f"win {backend_class(w.backend)}"
        title = f"use {answer_text.winner_label(w)}"
    if lead and w.runner_up:
        title += f"; {w.runner_up} slower by {lead}"
    # A tie's lead is no lead: its interval alone says how close the backends are.
    body = (f"<span class=\"who\">{escape(shown)}</span>"
            + (f" <span class=\"lead\">{'' if w.tied else 'by '}{escape(lead)}</span>"
               if lead else ""))
    if anchor:
        body = f"<a href=\"#{escape(anchor)}\">{body}</a>"
    data = {"class": classes, "title": title, "data-program": w.program, "data-n": w.n,
            "data-threads": w.threads, "data-backend": w.backend,
            "data-tied": ",".join(w.tied) or None}
    return f"<td{attributes(data)}>{body}</td>"


def _findings(run, anchors: dict[str, str]) -> str:
    """The answer first: per program and size (rows) and thread count (columns)
    the backend to use, coloured by it, or the tie."""
    if not run.winners:
        return ""
    threads = sorted({w.threads for w in run.winners})
    rows: dict[tuple, dict[int, object]] = {}
    for w in sorted(run.winners, key=lambda w: (w.program, w.n, w.fourth or 0)):
        rows.setdefault((w.program, w.n, w.fourth), {})[w.threads] = w
    head = "".join(f"<th scope=\"col\">{plural(t, 'thread')}</th>" for t in threads)
    lines, previous = [], None
    for (program, n, fourth), by_threads in rows.items():
        label = f"n = {report_answers.size_label(n)}"
        workload = WORKLOADS.get(program)
        if fourth is not None and workload is not None and workload.fourth_name:
            label += f", {workload.fourth_name} = {fourth:,}"
        cells = "".join(_grid_cell(by_threads[t], anchors.get(program)) if t in by_threads
                        else f"<td class=\"none\" "
                        f"title=\"{escape(report_answers.why_empty(run, program, n, t))}\">–</td>"
                        for t in threads)
        # A program's name heads its first row only.
        name = escape(program) if program != previous else ""
        previous = program
        lines.append(f"<tr><th scope=\"row\">{name}</th><td class=\"n\">"
                     f"{escape(label)}</td>{cells}</tr>")
    backends = list(dict.fromkeys(b for w in run.winners for b in (w.backend, *w.tied)))
    key = "".join(f"<li><span class=\"swatch {backend_class(b)}\"></span>{escape(_short(b))}"
                  f"{'' if _short(b) == b else ' = ' + escape(b)}</li>" for b in backends)
    # Below the answers, one click away: every thread count, with the lead.
    return ("<section id=\"findings\">\n<details class=\"grid\"><summary>Which backend to "
            "use at each thread count</summary>\n<div class=\"scroll\">"
            f"<table class=\"findings\"><thead><tr><th scope=\"col\">program</th>"
            f"<th scope=\"col\">size</th>{head}</tr></thead>\n<tbody>" + "\n".join(lines)
            + f"</tbody></table></div>\n<ul class=\"legend backends\">{key}</ul>\n"
            f"<p class=\"note\">{escape(GRID_NOTE)}</p>\n</details>\n</section>")


def render(run) -> str:
    """The whole report page of a derived run."""
    context = run.context
    host, date = context.get("host", "unknown host"), context.get("date", "unknown date")
    by_cell, listed = summary.notes(run)
    warned = warned_cells(run)
    chart_markup, chart_toc, links = _charts_sections(run, warned)
    answers = report_answers.section(run, links)
    toc = ([("answers", "Answers")] if answers else []) + [
        ("context", "Context"), ("warnings", "Warnings"), ("cells-section", "Cells")] + chart_toc
    parts = [
        "<header>",
        f"<h1>algobench report <span class=\"sub\">{escape(str(host))} · {escape(str(date))} · "
        f"{len(run.cells)} cells, {run.completed_cells} passed"
        f"{', on a busy machine' if run.busy else ''}</span></h1>",
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
    # The busy machine's warning comes before the verdicts it weakens.
    if run.busy:
        parts.append(f"<p class=\"banner\" id=\"busy\"><strong>The machine was busy:</strong> "
                     f"{escape(run.busy)}</p>")
    parts += [answers, _findings(run, links)]
    parts += [_context(run), _warnings(run, listed), report_table.section(run, by_cell, warned),
              chart_markup,
              "<footer>Written by algobench from results.json; <code>./suite report</code> "
              "writes it again.</footer>"]
    return page(f"algobench report: {host}, {date}", "\n".join(p for p in parts if p))
