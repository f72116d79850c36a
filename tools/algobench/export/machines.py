"""The cells x machines view as a plain-text table (the terminal) or JSON."""

from __future__ import annotations

from ..files import dump_json
from .units import format_seconds


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
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    out = [_machine_line(m, reference) for m in view.machines]
    for machine in view.machines[1:]:
        out += [f"  note: {difference}" for difference in machine.get("differences", [])]
    out.append("")
    for number, row in enumerate(rows):
        out.append("  ".join(text.ljust(width) for text, width in zip(row, widths)).rstrip())
        if number == 0:
            out.append("  ".join("-" * width for width in widths))
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
