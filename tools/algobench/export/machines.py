"""The cells x machines view: each machine's medians beside the reference
machine's, with the ratio and compare's verdict, as a plain-text table (the
terminal), JSON, or an HTML page with each machine's whole context.
"""

from __future__ import annotations

from html import escape

from ..files import dump_json
from .report_page import context_items
from .text import aligned, interval
from .units import format_seconds, page_seconds
from .web import Column, Field, Row, attributes, page, sortable_table


def _entry_text(entry: dict) -> str:
    if entry["median"] is None:
        return entry["status"]
    text = format_seconds(entry["median"])
    if entry["verdict"] == "reference":
        return text
    if entry["ratio"] is None:
        return f"{text} (not compared)"
    return f"{text} x{entry['ratio']:.3f} {entry['verdict']}"


def _machine_line(machine: dict, reference: str) -> str:
    about = ", ".join(str(machine[key]) for key in ("host", "cpu_model") if machine.get(key))
    line = f"{machine['machine']}: {about or 'no host recorded'}"
    if machine["reference"]:
        return line + " (reference)"
    if machine.get("geomean") is None:
        return line + f"; no cell could be compared with {reference}"
    counts = ", ".join(f"{count} {name}" for name, count in machine["verdicts"].items() if count)
    return (line + f"; against {reference}: geometric mean of the ratios "
            f"{machine['geomean']:.3f} over {machine['compared']} cells ({counts})")


def render_text(view) -> str:
    reference = view.machines[0]["machine"]
    header = ["cell"] + [m["machine"] + (" (reference)" if m["reference"] else "")
                         for m in view.machines]
    rows = [header] + [[row["cell"]] + [_entry_text(e) for e in row["machines"]]
                       for row in view.rows]
    out = [_machine_line(m, reference) for m in view.machines]
    for machine in view.machines[1:]:
        out += [f"  note: {difference}" for difference in machine.get("differences", [])]
    out.append("")
    out += aligned(rows)
    out.append("")
    if view.relative:
        rule = (f"each machine's run-wide shift removed, clear when the whole interval divided "
                f"by it lies beyond the larger of the ±{view.noise:.0%} noise floor and 3 "
                "spreads of the cells (the cells that differ more or less than the machine as "
                "a whole)")
    else:
        rule = (f"clear when the whole interval lies beyond the ±{view.noise:.0%} noise floor; "
                "no run-wide shift removed, since between machines it is what is measured")
    out.append(f"Median time per cell; beside it the ratio to {reference} (above 1: slower) and "
               f"the verdict `suite compare` gives the pair on the {view.confidence:.0%} "
               f"bootstrap interval of the ratio: {rule}.")
    return "\n".join(out) + "\n"


def render_json(view) -> str:
    return dump_json({"machines": view.machines, "relative": view.relative,
                      "noise_floor": view.noise, "confidence": view.confidence,
                      "cells": view.rows})


# -- the page


def _machine_entry(entry: dict) -> Field:
    """One machine's figure of a cell: its median, and beside it the ratio to the
    reference machine with compare's verdict; the interval in the tooltip."""
    if entry["median"] is None:
        status = str(entry["status"])
        return Field(status.split(":")[0], None, title=status if ":" in status else None)
    text = page_seconds(entry["median"])
    verdict = entry["verdict"]
    if verdict == "reference" or entry["ratio"] is None:
        return Field(text if verdict == "reference" else f"{text} (not compared)",
                     entry["median"])
    ends = interval(entry["low"], entry["high"], ".3f")
    css = "ratio " + (verdict if verdict in ("slower", "faster") else "unclear") \
        + (" apart" if entry.get("apart") else "")
    apart = "; apart from its machine as a whole" if entry.get("apart") else ""
    return Field(f"{text} ×{entry['ratio']:.3f} {verdict}", entry["ratio"],
                 markup=(f"{escape(text)} <span class=\"{css}\">"
                         f"×{entry['ratio']:.3f} {escape(str(verdict))}</span>"),
                 title=f"interval of the ratio {ends}{apart}" if ends else None)


def render_html(view, runs: dict, title: str) -> str:
    """The cells of several machines side by side: one row per cell, one column per
    machine (its median, its ratio to the reference machine and the verdict of
    `compare`), and each machine's whole context one click away.

    `view` is machines.compare_machines' result, `runs` its runs by machine name."""
    reference = view.machines[0]["machine"]
    parts = ["<header>", f"<h1>{escape(title)}</h1>",
             f"<p class=\"sub\">{len(view.rows)} cells on {len(view.machines)} machines, each "
             f"judged against {escape(str(reference))}</p>", "</header>",
             "<section id=\"machines\">", "<h2>Machines</h2>"]
    for machine in view.machines:
        name = str(machine["machine"])
        about = ", ".join(str(machine[k]) for k in ("host", "cpu_model", "date") if machine.get(k))
        line = "reference" if machine["reference"] else (
            f"geometric mean of the ratios {machine['geomean']:.3f} over "
            f"{machine['compared']} cells" if machine.get("geomean") is not None
            else "no cell could be compared")
        counts = ", ".join(f"{n} {v}" for v, n in (machine.get("verdicts") or {}).items() if n)
        notes = "".join(f"<li>{escape(str(d))}</li>" for d in machine.get("differences", []))
        run = runs.get(name)
        context = "".join(f"<dt>{escape(k)}</dt><dd>{escape(str(v))}</dd>"
                          for k, v in context_items(run)) if run is not None else ""
        parts.append(
            f"<details class=\"machine\"{attributes({'data-machine': name})}><summary>"
            f"<strong>{escape(name)}</strong>: {escape(about)} ({escape(line)}"
            f"{'; ' + escape(counts) if counts else ''})</summary>"
            + (f"<ul class=\"warnings\">{notes}</ul>" if notes else "")
            + f"<dl class=\"context\">{context}</dl></details>")
    parts.append("</section>")
    # The cell's name stays in the row's data-cell; its parts make the columns
    # narrow enough for the machines' to be seen beside them.
    columns = [Column("program"), Column("backend"), Column("n", True), Column("threads", True),
               Column("fourth", True)]
    columns += [Column(str(m["machine"]) + (" (reference)" if m["reference"] else ""), True,
                       help=None if m["reference"] else
                       f"median; ratio to {reference} and the verdict of suite compare")
                for m in view.machines]
    rows = []
    for row in view.rows:
        fourth = row.get("fourth")
        fields = [Field(str(row["program"])), Field(str(row["backend"])),
                  Field(f"{row['n']:,}", row["n"]), Field(str(row["threads"]), row["threads"]),
                  Field("" if fourth is None else f"{fourth:,}", fourth)]
        fields += [_machine_entry(entry) for entry in row["machines"]]
        apart = any(e.get("apart") for e in row["machines"])
        rows.append(Row(fields, ("differs",) if apart else (), {"cell": str(row["cell"])}))
    rule = ("each machine's run-wide shift removed" if view.relative else
            "no run-wide shift removed: between machines it is what is measured")
    parts += ["<section id=\"cells\">", "<h2>Cells x machines</h2>",
              f"<p class=\"sub\">Median time per call; beside it the ratio to "
              f"{escape(str(reference))} (above 1: slower) and the verdict of "
              f"<code>suite compare</code> on the {view.confidence:.0%} interval of the ratio "
              f"(clear beyond ±{view.noise:.0%}; {rule}). Marked, with its ratio in bold: a "
              "cell that differs from its machine as a whole beyond its interval (its ratio "
              "over the median ratio of the cells lies wholly beyond the noise and 3 spreads "
              "of the cells). The interval shows on hovering a ratio.</p>",
              sortable_table(columns, rows, table_id="machines-table"), "</section>"]
    return page(title, "\n".join(parts))
