"""Two runs' matched cells, in every format: `compare` and `ab` alike.

`compare` of two separate runs is drawn as a plain-text table (the terminal),
Markdown or JSON; a run is named by what describe_run gives: its path, and
its commit and date where the results record them. An A/B run (`ab`) is drawn
from the same matched-cell records with the same table, as text (printed) and
as the files of its results folder beside the two builds' own (write_ab):
ab.md, pairs.csv (every round's A and B time and their ratio) and ab.json.
A comparison of counts (an exact metric) has its own table
(count_comparison.py), drawn through the same calls.

Each cell's verdict is one of the four words of judge/verdict.py, an
undecided one with what would decide it.
"""

from __future__ import annotations

import csv
import io
import math
import pathlib

from ..files import dump_json, replace_file
from .count_comparison import count_json, count_markdown, count_text
from .samples_csv import csv_value
from .text import aligned, interval, markdown, run_details, run_name
from .units import format_seconds


def _percent(factor: float) -> str:
    return f"{(factor - 1) * 100:+.1f}%"


def _row(m, shift: bool) -> list[str]:
    """A matched cell's line of the table; with `shift`, its change relative to the run."""
    row = [m.label, format_seconds(m.median_a), format_seconds(m.median_b), f"{m.ratio:.3f}",
           interval(m.low, m.high, ".3f", " .. "), _percent(m.ratio)]
    return row + ([_percent(m.relative)] if shift else []) + [m.word]


def _text_table(header: list[str], rows: list[list[str]]) -> list[str]:
    """Aligned columns under a rule, the words (first and last column) to the left,
    the figures to the right; then an empty line."""
    return aligned([header] + rows, right=range(1, len(header) - 1)) + [""]


def _markdown_table(header: list[str], rows: list[list[str]]) -> list[str]:
    """A Markdown table, the figures right-aligned; then an empty line."""
    return markdown(header, rows, right=range(1, len(header) - 1), right_rule="---:") + [""]


HEADER = ["cell", "median A", "median B", "B/A", "CI", "change", "vs shift", "verdict"]


def _header(comparison) -> list[str]:
    return HEADER[:4] + [f"{comparison.confidence:.0%} CI"] + HEADER[5:]


def _shift_line(comparison) -> str | None:
    """The run-wide shift, which no verdict judges."""
    drift = comparison.drift
    if drift is None or drift.shift is None:
        return None
    text = (f"Run-wide shift: median B/A {drift.shift:.3f} ({_percent(drift.shift)}) over"
            f" {drift.cells} cells, {comparison.confidence:.0%} interval"
            f" {interval(drift.shift_low, drift.shift_high, '.3f', ' .. ')}. ")
    if not drift.corrected:
        return text + "Not removed: drift correction is off, the runs taken as interleaved."
    return text + ("Between two separate runs it cannot be told apart from machine drift;"
                   " a change affecting every cell is measured with `./suite ab A B`,"
                   " which interleaves the two builds in one run.")


def _margin_text(comparison) -> str:
    """What the words mean at the comparison's margin."""
    return (f"equivalent when it lies within ±{comparison.margin:.1%} (the margin), undecided "
            "otherwise, with what would decide it")


def _rule_text(comparison) -> str:
    drift = comparison.drift
    text = (f"B/A is the ratio of median times (above 1: B slower); CI: "
            f"{comparison.confidence:.0%} bootstrap interval, {comparison.resamples} resamples. ")
    floor = f"±{comparison.noise:.0%} noise floor"
    if drift is not None and drift.corrected:
        spread = f"{(math.exp(drift.spread) - 1) * 100:.1f}%"
        text += (f"Verdicts judge the change relative to the run (B/A and its CI divided by the"
                 f" shift {drift.shift:.3f}: \"vs shift\"): slower or faster when the whole"
                 f" interval lies beyond ±{max(drift.threshold, comparison.margin):.1%}, the"
                 f" margin or, if larger, the {floor} and {drift.multiple:g} × the cells' spread"
                 f" of {spread} (robust SD of log B/A, 1.4826 × MAD)")
    else:
        why = (f"{drift.cells} matched cells are too few, {drift.min_cells} needed, to tell a"
               f" shift common to all from the cells' own changes"
               if drift is not None and drift.too_few_cells else "drift correction off")
        text += (f"No run-wide shift removed ({why}): slower or faster when the whole interval"
                 f" of B/A lies beyond the margin or, if larger, the {floor}")
    return (text + f"; {_margin_text(comparison)}; fewer than {comparison.min_samples} samples:"
            " not judged.")


def _gate_line(comparison) -> str | None:
    gate = comparison.gate
    if gate is None:
        return None
    against = " divided by the shift" if gate.corrected else ""
    text = (f"Gate --fail-above {gate.percent:g}%: fails when a cell that ran in A failed in B,"
            f" or when a cell's {gate.confidence:.2%} interval (Bonferroni over"
            f" {gate.cells} judged cells: a {gate.family_error:.0%} chance of any false alarm)"
            f"{against} lies wholly above {gate.bound:.3f}. ")
    if gate.passed:
        return text + "Passed."
    failed = [f"{len(gate.slowdowns)} slower" if gate.slowdowns else "",
              f"{len(gate.failed_in_b)} failed in B" if gate.failed_in_b else "",
              f"{gate.unmeasured_in_b} not measured in B (interrupted)"
              if gate.unmeasured_in_b else "",
              "no cell judged" if gate.cells == 0 else ""]
    return text + "Failed: " + ", ".join(f for f in failed if f) + "."


def _summary_line(comparison) -> str:
    counts = comparison.verdict_counts()
    if comparison.geomean is None:
        return "No cell could be compared."
    return (
        f"Geometric mean of B/A over {len(comparison.matched)} cells: {comparison.geomean:.3f}"
        f" ({(comparison.geomean - 1) * 100:+.1f}%); "
        + ", ".join(f"{count} {name}" for name, count in counts.items() if count)
    )


def _lines_below(comparison) -> list[str]:
    lines = [_summary_line(comparison), _shift_line(comparison), _rule_text(comparison),
             _gate_line(comparison)]
    return [line for line in lines if line is not None]


def _code(text: str) -> str:
    """A Markdown code span that survives backticks in the text."""
    fence = "``" if "`" in text else "`"
    pad = " " if fence == "``" else ""
    return f"{fence}{pad}{text}{pad}{fence}"


def _markdown_name(name: dict) -> str:
    details = run_details(name)
    return _code(name["path"]) + (f" ({_md_escape(details)})" if details else "")


def render_text(comparison, name_a: dict, name_b: dict) -> str:
    if comparison.exact:
        return count_text(comparison, name_a, name_b)
    out = [f"A: {run_name(name_a)}", f"B: {run_name(name_b)}"]
    out += [f"warning: {w}" for w in comparison.warnings]
    out += [f"note: {n}" for n in comparison.notes]
    out.append("")
    if comparison.matched:
        out += _text_table(_header(comparison), [_row(m, True) for m in comparison.matched])
    out += _lines_below(comparison)
    return "\n".join(out + _text_sections(_sections(comparison))) + "\n"


def _md_escape(text: str) -> str:
    return text.replace("|", "\\|")


def render_markdown(comparison, name_a: dict, name_b: dict) -> str:
    if comparison.exact:
        return count_markdown(comparison, name_a, name_b)
    out = ["# Comparison of two runs", "", f"- A: {_markdown_name(name_a)}",
           f"- B: {_markdown_name(name_b)}", ""]
    if comparison.warnings or comparison.notes:
        out += [f"> **Warning:** {_md_escape(w)}  " for w in comparison.warnings]
        out += [f"> Note: {_md_escape(n)}  " for n in comparison.notes]
        out.append("")
    if comparison.matched:
        out += _markdown_table(_header(comparison),
                               [[_md_escape(c) for c in _row(m, True)] for m in comparison.matched])
    below = _lines_below(comparison)
    out += [below[0]]
    for line in below[1:]:
        out += ["", _md_escape(line)]
    return "\n".join(out + _markdown_sections(_sections(comparison), _md_escape)) + "\n"


def _sections(comparison) -> list[tuple[str, list[str]]]:
    """The cells left out of the table, by why."""
    return [("Not compared", [f"{label}: {why}" for label, why in comparison.not_compared]),
            ("Only in A", comparison.only_a), ("Only in B", comparison.only_b)]


def _text_sections(sections: list[tuple[str, list[str]]]) -> list[str]:
    out = []
    for title, items in sections:
        if items:
            out += ["", f"{title}:"] + [f"  {item}" for item in items]
    return out


def _markdown_sections(sections: list[tuple[str, list[str]]], escape=str) -> list[str]:
    out = []
    for title, items in sections:
        if items:
            out += ["", f"## {title}", ""] + [f"- {escape(item)}" for item in items]
    return out


def describe_run(path, run) -> dict:
    """A run's name: the path it was read from, and its commit and date if recorded."""
    return {"path": str(path), "git_commit": run.context.get("git_commit"),
            "date": run.context.get("date")}


def _finite(value: float | None) -> float | None:
    return value if value is not None and math.isfinite(value) else None


def to_json(comparison, name_a: dict, name_b: dict) -> dict:
    """The comparison as plain data: every figure the table and the lines below it show."""
    drift = comparison.drift
    gate = comparison.gate
    return {
        "a": dict(name_a),
        "b": dict(name_b),
        "confidence": comparison.confidence,
        "resamples": comparison.resamples,
        "noise_floor": comparison.noise,
        "min_samples": comparison.min_samples,
        "margin": comparison.margin,
        "cells": [
            {"cell": m.label, "median_a": m.median_a, "median_b": m.median_b,
             "ratio": _finite(m.ratio), "low": _finite(m.low), "high": _finite(m.high),
             "change": _finite(m.ratio - 1), "relative": _finite(m.relative),
             "relative_low": _finite(m.relative_low), "relative_high": _finite(m.relative_high),
             "relative_change": _finite(m.relative - 1), "verdict": m.verdict,
             "hint": m.hint, "judged": m.judged}
            for m in comparison.matched
        ],
        "verdicts": comparison.verdict_counts(),
        "geomean": _finite(comparison.geomean),
        "shift": None if drift is None else {
            "method": drift.method, "cells": drift.cells, "ratio": _finite(drift.shift),
            "low": _finite(drift.shift_low), "high": _finite(drift.shift_high),
            "spread": _finite(drift.spread), "divisor": drift.divisor,
            "threshold": drift.threshold, "removed": drift.corrected},
        "not_compared": [{"cell": label, "reason": why} for label, why in comparison.not_compared],
        "only_a": list(comparison.only_a),
        "only_b": list(comparison.only_b),
        "failed_in_b": [{"cell": label, "reason": why} for label, why in comparison.failed_in_b],
        "warnings": list(comparison.warnings),
        "notes": list(comparison.notes),
        "gate": None if gate is None else {
            "percent": gate.percent, "bound": gate.bound, "cells": gate.cells,
            "confidence": gate.confidence, "passed": gate.passed,
            "slowdowns": [{"cell": hit.matched.label, "low": hit.low, "high": hit.high}
                          for hit in gate.slowdowns]},
        "problems": comparison.problems(),
    }


def render_json(comparison, name_a: dict, name_b: dict) -> str:
    if comparison.exact:
        return count_json(comparison, name_a, name_b)
    return dump_json(to_json(comparison, name_a, name_b))


# -- an A/B run: the two builds measured in the same rounds

AB_HEADER = ["cell", "median A", "median B", "B/A", "interval", "change", "verdict"]


def _ab_rule_text(comparison) -> str:
    coverages = sorted({round(m.coverage, 3) for m in comparison.matched})
    shown = ", ".join(f"{c:.1%}" for c in coverages) or "none"
    return (f"B/A is the median over rounds of the ratio of the B process to the A process "
            f"run next to it in the same round (above 1: B slower). Interval: distribution-free "
            f"interval of that median from the ratios' order statistics, at least "
            f"{comparison.confidence:.0%} where the rounds allow it, else the widest they give "
            f"(min..max; coverage here: {shown}). Slower or faster when the whole interval lies "
            f"beyond ±{max(comparison.noise, comparison.margin):.1%}, the margin or, if larger, "
            f"the ±{comparison.noise:.0%} noise floor; {_margin_text(comparison)}; an interval "
            "covering less than 90% (fewer than five rounds) is not judged.")


def _ab_summary_line(comparison) -> str:
    if comparison.geomean is None:
        return "No cell could be compared."
    counts = ", ".join(f"{count} {name}" for name, count in comparison.verdict_counts().items()
                       if count)
    return (f"Geometric mean of B/A over {len(comparison.matched)} cells: "
            f"{comparison.geomean:.3f} ({(comparison.geomean - 1) * 100:+.1f}%); {counts}")


def _duet_line(comparison, together: set[str] | None) -> list[str]:
    """Which cells of an `ab --duet` ran their two builds side by side; none without it."""
    if together is None:
        return []
    apart = [m.label for m in comparison.matched if m.label not in together]
    side = len(comparison.matched) - len(apart)
    if not apart:
        return [f"--duet: all {side} cells ran their A and B processes side by side."]
    return [f"--duet: {side} cell(s) ran their A and B processes side by side, {len(apart)}"
            f" interleaved (their thread count does not fit twice into the usable CPUs):"
            f" {', '.join(apart)}."]


def _ab_sections(comparison) -> list[tuple[str, list[str]]]:
    return [("Not compared", [f"{label}: {why}" for label, why in comparison.not_compared])]


def render_ab_markdown(comparison, name_a: str, name_b: str, warnings: list[str],
                       together: set[str] | None = None) -> str:
    """ab.md: the A/B run's table, summary and rule, with the run's warnings;
    `together`: the cells an `ab --duet` ran side by side."""
    out = ["# A/B run", "", f"- A: {name_a}", f"- B: {name_b}", ""]
    out += [f"> **Warning:** {_md_escape(w)}  " for w in warnings]
    if warnings:
        out.append("")
    if comparison.matched:
        out += _markdown_table(AB_HEADER, [_row(m, False) for m in comparison.matched])
    out += [_ab_summary_line(comparison), "", _ab_rule_text(comparison)]
    out += [line for duet in _duet_line(comparison, together) for line in ("", duet)]
    return "\n".join(out + _markdown_sections(_ab_sections(comparison))) + "\n"


def render_ab_text(comparison, name_a: str, name_b: str,
                   together: set[str] | None = None) -> str:
    """The A/B run's comparison as `ab` prints it."""
    out = [f"A: {name_a}", f"B: {name_b}", ""]
    if comparison.matched:
        out += _text_table(AB_HEADER, [_row(m, False) for m in comparison.matched])
    out += [_ab_summary_line(comparison), _ab_rule_text(comparison)]
    out += _duet_line(comparison, together)
    return "\n".join(out + _text_sections(_ab_sections(comparison))) + "\n"


def render_pairs_csv(comparison) -> str:
    """pairs.csv: every round of every matched cell, A's and B's time and their ratio."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(("cell", "round", "seconds_a", "seconds_b", "ratio"))
    for m in comparison.matched:
        for values in zip(m.rounds, m.samples_a, m.samples_b, m.ratios):
            writer.writerow([m.label, *(csv_value(v) for v in values)])
    return buffer.getvalue()


def _ab_pair(m, together: set[str] | None) -> dict:
    pair = {"label": m.label, "rounds": m.rounds, "seconds_a": m.samples_a,
            "seconds_b": m.samples_b, "ratios": m.ratios, "median_a": m.median_a,
            "median_b": m.median_b, "ratio": m.ratio, "low": m.low, "high": m.high,
            "verdict": m.verdict, "hint": m.hint, "coverage": m.coverage}
    if together is not None:
        pair["side_by_side"] = m.label in together  # False: interleaved despite --duet
    return pair


def write_ab(folder: pathlib.Path, comparison, name_a: str, name_b: str,
             warnings: list[str], together: set[str] | None = None) -> list[pathlib.Path]:
    """Writes ab.md, pairs.csv and ab.json into the A/B run's folder; returns their paths.
    `together`: the cells an `ab --duet` ran side by side (None without --duet)."""
    folder = pathlib.Path(folder)
    files = {
        "ab.md": render_ab_markdown(comparison, name_a, name_b, warnings, together),
        "pairs.csv": render_pairs_csv(comparison),
        "ab.json": dump_json({"a": name_a, "b": name_b,
                              "noise_floor": comparison.noise, "margin": comparison.margin,
                              "confidence": comparison.confidence,
                              "geomean": comparison.geomean,
                              "pairs": [_ab_pair(m, together) for m in comparison.matched],
                              "not_compared": [list(item) for item in comparison.not_compared]}),
    }
    for name, text in files.items():
        replace_file(folder / name, text)
    return [folder / name for name in files]


def write_counts_ab(folder: pathlib.Path, comparison, name_a: str, name_b: str
                    ) -> list[pathlib.Path]:
    """ab.md and ab.json of an A/B run of counts."""
    folder = pathlib.Path(folder)
    files = {"ab.md": count_markdown(comparison, name_a, name_b),
             "ab.json": count_json(comparison, name_a, name_b)}
    for name, text in files.items():
        replace_file(folder / name, text)
    return [folder / name for name in files]
