"""The files of an A/B run beside the two builds' own folders: ab.md (the
comparison, also printed), pairs.csv (every round's A and B time and their
ratio) and ab.json (the same, for scripts)."""

from __future__ import annotations

import csv
import dataclasses
import io
import pathlib

from ..files import dump_json, replace_file
from .samples_csv import csv_value
from .units import format_seconds

HEADER = ["cell", "median A", "median B", "B/A", "interval", "change", "verdict"]


def _rows(comparison) -> list[list[str]]:
    return [[p.label, format_seconds(p.median_a), format_seconds(p.median_b), f"{p.ratio:.3f}",
             f"{p.low:.3f} .. {p.high:.3f}", f"{(p.ratio - 1) * 100:+.1f}%", p.verdict]
            for p in comparison.pairs]


def rule_text(comparison) -> str:
    coverages = sorted({round(p.coverage, 3) for p in comparison.pairs})
    shown = ", ".join(f"{c:.1%}" for c in coverages) or "none"
    return (f"B/A is the median over rounds of the ratio of the B process to the A process "
            f"run next to it in the same round (above 1: B slower). Interval: distribution-free "
            f"interval of that median from the ratios' order statistics, at least "
            f"{comparison.confidence:.0%} where the rounds allow it, else the widest they give "
            f"(min..max; coverage here: {shown}). A change is clear when the whole interval lies "
            f"beyond ±{comparison.noise:.0%}; an interval covering less than 90% (fewer than "
            f"five rounds) gives no verdict.")


def summary_line(comparison) -> str:
    if comparison.geomean is None:
        return "No cell could be compared."
    counts = ", ".join(f"{count} {name}" for name, count in comparison.verdict_counts().items())
    return (f"Geometric mean of B/A over {len(comparison.pairs)} cells: "
            f"{comparison.geomean:.3f} ({(comparison.geomean - 1) * 100:+.1f}%); {counts}")


def render_markdown(comparison, name_a: str, name_b: str, warnings: list[str]) -> str:
    out = ["# A/B run", "", f"- A: {name_a}", f"- B: {name_b}", ""]
    out += [f"> **Warning:** {w.replace('|', chr(92) + '|')}  " for w in warnings]
    if warnings:
        out.append("")
    if comparison.pairs:
        out.append("| " + " | ".join(HEADER) + " |")
        out.append("|" + "|".join(["---"] + ["---:"] * 5 + ["---"]) + "|")
        out += ["| " + " | ".join(row) + " |" for row in _rows(comparison)]
        out.append("")
    out += [summary_line(comparison), "", rule_text(comparison)]
    if comparison.not_compared:
        out += ["", "## Not compared", ""]
        out += [f"- {label}: {why}" for label, why in comparison.not_compared]
    return "\n".join(out) + "\n"


def render_text(comparison, name_a: str, name_b: str) -> str:
    out = [f"A: {name_a}", f"B: {name_b}", ""]
    if comparison.pairs:
        rows = [HEADER] + _rows(comparison)
        widths = [max(len(row[i]) for row in rows) for i in range(len(HEADER))]
        for number, row in enumerate(rows):
            cells = [row[i].ljust(widths[i]) if i in (0, 6) else row[i].rjust(widths[i])
                     for i in range(len(row))]
            out.append("  ".join(cells).rstrip())
            if number == 0:
                out.append("  ".join("-" * w for w in widths))
        out.append("")
    out += [summary_line(comparison), rule_text(comparison)]
    if comparison.not_compared:
        out += ["", "Not compared:"] + [f"  {label}: {why}" for label, why in comparison.not_compared]
    return "\n".join(out) + "\n"


def render_pairs_csv(comparison) -> str:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(("cell", "round", "seconds_a", "seconds_b", "ratio"))
    for pair in comparison.pairs:
        for values in zip(pair.rounds, pair.seconds_a, pair.seconds_b, pair.ratios):
            writer.writerow([pair.label, *(csv_value(v) for v in values)])
    return buffer.getvalue()


def write(folder: pathlib.Path, comparison, name_a: str, name_b: str,
          warnings: list[str]) -> list[pathlib.Path]:
    folder = pathlib.Path(folder)
    files = {
        "ab.md": render_markdown(comparison, name_a, name_b, warnings),
        "pairs.csv": render_pairs_csv(comparison),
        "ab.json": dump_json({"a": name_a, "b": name_b,
                              "noise_floor": comparison.noise,
                              "confidence": comparison.confidence,
                              "geomean": comparison.geomean,
                              "pairs": [dataclasses.asdict(p) for p in comparison.pairs],
                              "not_compared": [list(item) for item in comparison.not_compared]}),
    }
    for name, text in files.items():
        replace_file(folder / name, text)
    return [folder / name for name in files]
