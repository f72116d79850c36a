"""The cells of the run report as a table a person can work with: one row per
cell with its figures, filters by program, backend and thread count that hide
the rows and the charts' matching series and points together, each cell's
samples by round one click away, and the run's data to take away.

The samples are behind the cell's CV: the CV says that a cell's samples
scatter, the samples say how (one slow round, a drift over the rounds,
samples taken while another process competed). The CV holds them in words
as its tooltip, which reads without the script, and the figures the script
draws a strip from on a click. Drawn into the markup for every cell, or
each inside a <details>, the strips made a default sweep's page take half
as long again to open.

The data goes with the page as data: links with a `download` name, so the
page stays one file that makes no request and needs no script for them: the
CSVs as summary_csv and samples_csv write them, and results.json as the run
saves it, gzip-compressed (a default sweep's is about 600 kB, 80 kB
compressed; a page holds it base64-encoded, a third larger again).
"""

from __future__ import annotations

import base64
import gzip
import math
from html import escape

from ..files import dump_json
from ..plan.workload import BACKENDS
from . import samples_csv, summary, summary_csv
from .text import plural
from .units import page_seconds, significant
from .web import Column, Field, Row, attributes, backend_class, sortable_table

COLUMNS = (
    Column("program"), Column("backend"), Column("n", True), Column("threads", True),
    Column("repetitions", True), Column("median time", True, "median time of one call"),
    Column("CV %", True, "coefficient of variation of the samples; a click shows the samples "
                         "by round", css="cv"),
    Column("speedup over own 1 thread", True,
           "median over rounds of the same backend's 1-thread time over this cell's time, with "
           "its interval (the speedup charts show it over the sequential build)"),
    Column("efficiency %", True, "speedup / threads, in %"), Column("Melem/s", True),
    Column("GB/s", True), Column("% of bw", True, "share of the probe's memory bandwidth"),
    Column("instructions", True, "instructions of one steady call, counted under callgrind"),
    Column("work ratio", True, "instructions at this thread count over those at 1 thread"),
    Column("status", css="status"),
    Column("notes", help="keys of the warnings that name the cell", css="notes"),
)
# The filters, in the order shown: (row attribute, label).
FILTERS = (("program", "program"), ("backend", "backend"), ("threads", "threads"))

def _sample_text(place: str, sample) -> str:
    text = f"{place}: {page_seconds(sample.seconds)}"
    if sample.remeasured:
        text += f" (its round measured {plural(sample.remeasured, 'more time')} first)"
    if sample.contended:
        text += f" (contended: {sample.contended})"
    return text


def strip(cell) -> dict[str, str | None] | None:
    """The attributes of a CV that opens the cell's samples: the samples in their
    rounds (or their order, where the run did not record rounds) in words, as its
    tooltip, and the figures the script draws them from as a strip: each
    sample's place, time and marks (c: another process competed, r: its round
    was measured again first), the median and the labels of the ends. None
    without a finite sample."""
    samples = [s for s in cell.samples if math.isfinite(s.seconds)]
    if not samples:
        return None
    by_round = all(s.round is not None for s in samples)
    word = "round" if by_round else "sample"
    places = [s.round + 1 if by_round else i + 1 for i, s in enumerate(samples)]
    points = ";".join(f"{x} {s.seconds:.4g} " + ("c" if s.contended else "")
                      + ("r" if s.remeasured else "") for x, s in zip(places, samples))
    times = [s.seconds for s in samples]
    median = cell.median if cell.median is not None and math.isfinite(cell.median) else None
    return {"class": "samples", "title": "; ".join(_sample_text(f"{word} {x}", s) for x, s in zip(places, samples)),
            "data-samples": points, "data-word": word,
            "data-low": page_seconds(min(times)), "data-high": page_seconds(max(times)),
            "data-median": None if median is None else f"{median:.4g}",
            "data-median-label": None if median is None else page_seconds(median),
            "data-replaced": str(cell.replaced) if cell.replaced else None}


def _cv_field(cell) -> Field:
    """The CV, which opens the strip of the cell's samples."""
    stats = cell.stats
    cv = stats.cv if stats is not None else None
    text = "" if cv is None else f"{cv * 100:.1f}"
    opens = strip(cell)
    if opens is None:
        return Field(text, None if cv is None else cv * 100)
    return Field(text, None if cv is None else cv * 100,
                 markup=f"<span{attributes(opens)}>{escape(text or '—')}</span>")


def _backend_markup(backend: str) -> str:
    return f"<span class=\"swatch {backend_class(backend)}\"></span>{escape(backend)}"


def cell_rows(run, by_cell: dict[str, list[str]], warned: set[str]) -> list[Row]:
    rows = []
    for cell in run.cells:
        stats = cell.stats
        median = stats.median if stats is not None else None
        share = cell.bandwidth_share
        efficiency = None if cell.efficiency is None else cell.efficiency * 100
        keys = by_cell.get(cell.name, [])
        failed = cell.status == "failed"
        marks = ""
        if cell.name in warned:
            marks += ("<span class=\"mark w\" title=\"a warning changes how this cell's "
                      "figures read\">!</span>")
        if failed:
            marks += "<span class=\"mark f\" title=\"this cell failed\">&#x2717;</span>"
        notes = Field(", ".join(keys), markup=", ".join(
            f"<a class=\"key\" href=\"#finding-{escape(k)}\">{escape(k)}</a>" for k in keys))
        classes = tuple(name for name, flag in (("warned", cell.name in warned),
                                                 ("failed", failed)) if flag)
        fields = [
            Field(cell.program, markup=marks + escape(cell.program), title=cell.name),
            Field(cell.backend, markup=_backend_markup(cell.backend)),
            Field(f"{cell.n:,}", cell.n),
            Field(cell.thread_label, cell.threads),
            Field(str(cell.repetitions or ""), cell.repetitions),
            Field(page_seconds(median), median),
            _cv_field(cell),
            Field(summary.speedup_text(cell), cell.speedup),
            Field(significant(efficiency), efficiency),
            Field(significant(None if cell.items_per_second is None
                              else cell.items_per_second / 1e6), cell.items_per_second),
            Field(significant(None if cell.bytes_per_second is None
                              else cell.bytes_per_second / 1e9), cell.bytes_per_second),
            Field("" if share is None else f"{share * 100:.0f}",
                  None if share is None else share * 100),
            Field(summary.count_text(cell.instructions), cell.instructions),
            Field(summary.work_ratio_text(cell), cell.work_ratio),
            Field(cell.status, title=cell.failure),
            notes,
        ]
        rows.append(Row(fields, classes, {"cell": cell.name, "program": cell.program,
                                          "backend": cell.backend, "threads": str(cell.threads)}))
    return rows


def _backend_order(backend: str) -> tuple:
    known = tuple(BACKENDS)
    return (known.index(backend) if backend in known else len(known), backend)


def filters(run) -> str:
    """Checkboxes above the table, one per program, backend and thread count the run
    has (where it has more than one); the script hides what is unchecked."""
    values = {
        "program": list(dict.fromkeys(c.program for c in run.cells)),
        "backend": sorted({c.backend for c in run.cells}, key=_backend_order),
        "threads": [str(t) for t in sorted({c.threads for c in run.cells})],
    }
    groups = []
    for name, label in FILTERS:
        if len(values[name]) < 2:
            continue
        boxes = "".join(
            f"<label><input type=\"checkbox\" data-filter=\"{name}\" value=\"{escape(v)}\" "
            f"checked>{_backend_markup(v) if name == 'backend' else escape(v)}</label>"
            for v in values[name])
        groups.append(f"<fieldset><legend>{label}</legend>{boxes}</fieldset>")
    if not groups:
        return ""
    return ("<div class=\"filters needs-script\" role=\"group\" aria-label=\"show the cells of\">"
            + "".join(groups) + "<button type=\"button\" class=\"filter-all\">show all</button>"
            "<output class=\"filter-count\" aria-live=\"polite\"></output></div>")


def _data_link(name: str, media: str, content: bytes, about: str) -> str:
    href = f"data:{media};base64,{base64.b64encode(content).decode('ascii')}"
    size = f"{len(content) / 1024:.0f} kB" if len(content) >= 1024 else f"{len(content)} bytes"
    return (f"<li><a{attributes({'href': href, 'download': name, 'type': media})}>{escape(name)}"
            f"</a> <span class=\"sub\">{escape(about)}, {size}</span></li>")


def downloads(run) -> str:
    """Links that save the cells and the run from the page itself, no request made."""
    results = dump_json(run.to_dict()).encode("utf-8")
    return ("<ul class=\"downloads\">"
            + _data_link(summary_csv.FILE, "text/csv", summary_csv.render(run).encode("utf-8"),
                         "one row per cell")
            + _data_link(samples_csv.FILE, "text/csv", samples_csv.render(run).encode("utf-8"),
                         "one row per sample")
            + _data_link("results.json.gz", "application/gzip", gzip.compress(results, mtime=0),
                         "the whole run as results.json holds it, gzip-compressed")
            + "</ul>")


def section(run, by_cell: dict[str, list[str]], warned: set[str]) -> str:
    """The Cells section: the data to download, the filters, the table, the failures."""
    table = sortable_table(COLUMNS, cell_rows(run, by_cell, warned),
                           caption="One row per cell; click a column's header to sort by it, a "
                                   "CV to see the samples by round. Speedup: the median over "
                                   "rounds of the 1-thread time over this cell's time in the "
                                   "same round, with its interval.",
                           table_id="cells")
    parts = ["<section id=\"cells-section\">", "<h2>Cells</h2>",
             "<div class=\"data\"><span>The data:</span>" + downloads(run) + "</div>",
             filters(run), table]
    failed = [c for c in run.cells if c.status == "failed"]
    if failed:
        parts.append("<h3>Failed cells</h3><ul class=\"failures\">" + "".join(
            f"<li><code>{escape(c.name)}</code>: {escape(c.failure or 'no reason recorded')}</li>"
            for c in failed) + "</ul>")
    if not run.bandwidth:
        parts.append("<p class=\"empty\">No bandwidth figures: \"% of bw\" stays blank.</p>")
    parts.append("</section>")
    return "\n".join(parts)
