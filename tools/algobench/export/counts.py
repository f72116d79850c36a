"""The views of an instruction-count comparison (count_compare.py) and of any
A/B gate's verdicts, for people and for CI.

A count comparison is shown as a table on the terminal, ab.md and ab.json
(the same file names an A/B run of times writes). The gate's verdicts, of
either metric, become gate.md (a Markdown job summary) and gate.xml (JUnit
XML, one test case per gated cell, so that a CI system lists the cells that
failed and why). The gate goes by the table's verdicts: a cell the table
gives no verdict is listed as not judged (skipped in JUnit), and a gate that
judged no cell fails, with its reason as a failed test case.
"""

from __future__ import annotations

import pathlib
from xml.sax.saxutils import quoteattr

from ..files import dump_json, replace_file
from . import comparison as comparison_view
from .text import aligned, markdown
from .summary import count_text

GATE_MARKDOWN, GATE_JUNIT = "gate.md", "gate.xml"
COLUMNS = ("cell", "A instructions", "B instructions", "B/A", "change %", "verdict")
CAVEAT = ("Counts are not time: the instructions a call executes, counted under callgrind. "
          "A memory-bound call can change in time without changing in count; time it "
          "(--metric time) to see that.")


def _rows(comparison) -> list[list[str]]:
    rows = []
    for p in comparison.pairs:
        ratio = f"{p.ratio:.6f}" if p.exact else f"{p.ratio:.6f} ({p.low:.4f}-{p.high:.4f})"
        rows.append([p.label, count_text(_median(p.a)), count_text(_median(p.b)), ratio,
                     f"{(p.ratio - 1) * 100:+.3f}", p.verdict + ("" if p.exact else " *")])
    return rows


def _median(cell) -> float | None:
    return cell.instructions


def _footer(comparison) -> list[str]:
    lines = []
    if comparison.geomean is not None:
        lines.append(f"geometric mean of B/A: {comparison.geomean:.6f}")
    if any(not p.exact for p in comparison.pairs):
        lines.append("* counted more than once (the runtime's scheduling moves the count): "
                     "B/A in parentheses runs from smallest B over largest A to largest B over "
                     "smallest A, and a change is called only beyond it and beyond either "
                     "side's own spread")
    lines += [f"not compared: {label}: {why}" for label, why in comparison.not_compared]
    lines += [f"failed in B: {label}: {why}" for label, why in comparison.failed_in_b]
    lines.append(CAVEAT)
    return lines


def _name(name) -> str:
    """A run's name: text (an A/B run's build), or `compare`'s path, commit and date."""
    return name if isinstance(name, str) else comparison_view._plain_name(name)


def render_text(comparison, name_a, name_b) -> str:
    lines = [f"A: {_name(name_a)}", f"B: {_name(name_b)}", ""]
    lines += aligned([COLUMNS, *_rows(comparison)], right={1, 2, 3, 4})
    return "\n".join(lines + [""] + _footer(comparison)) + "\n"


def render_markdown(comparison, name_a, name_b) -> str:
    lines = ["# Comparison of instruction counts", "", f"- A: {_name(name_a)}",
             f"- B: {_name(name_b)}", ""]
    lines += markdown(COLUMNS, _rows(comparison), right={1, 2, 3, 4})
    return "\n".join(lines + [""] + [f"{line}  " for line in _footer(comparison)]) + "\n"


def render_json(comparison, name_a: str, name_b: str) -> str:
    pairs = [{"label": p.label, "a": p.a.instruction_samples, "b": p.b.instruction_samples,
              "ratio": p.ratio, "low": p.low, "high": p.high, "exact": p.exact,
              "verdict": p.verdict, "limit_percent": p.limit} for p in comparison.pairs]
    return dump_json({"a": name_a, "b": name_b, "metric": "instructions",
                      "geomean": comparison.geomean, "pairs": pairs,
                      "not_compared": [list(i) for i in comparison.not_compared],
                      "failed_in_b": [list(i) for i in comparison.failed_in_b]})


def write_ab(folder: pathlib.Path, comparison, name_a: str, name_b: str) -> list[pathlib.Path]:
    """ab.md and ab.json of an A/B run of counts."""
    folder = pathlib.Path(folder)
    files = {"ab.md": render_markdown(comparison, name_a, name_b),
             "ab.json": render_json(comparison, name_a, name_b)}
    for name, text in files.items():
        replace_file(folder / name, text)
    return [folder / name for name in files]


def _unjudged(v) -> bool:
    return v.limit is not None and not v.judged and not v.failure


def _shown(v) -> str:
    if v.failure:
        return "fail: " + v.failure
    if v.limit is None:
        return "not gated"
    return ("pass" if v.judged else "not judged") + (f": {v.verdict}" if v.verdict else "")


def render_gate_markdown(verdicts: list, passed: bool, problems: list[str]) -> str:
    failed = [v for v in verdicts if v.failure]
    gated = [v for v in verdicts if (v.limit is not None or v.failure) and not _unjudged(v)]
    unjudged = sum(map(_unjudged, verdicts))
    lines = [f"## algobench A/B gate: {'passed' if passed else 'FAILED'}", "",
             f"{len(gated)} cell(s) gated, {len(failed)} failed"
             + (f", {unjudged} not judged." if unjudged else "."), ""]
    rows = [[v.cell, v.metric, v.figure, "" if v.limit is None else f"{v.limit:g}%", _shown(v)]
            for v in verdicts]
    lines += markdown(("cell", "metric", "figure", "limit", "verdict"), rows)
    others = [p for p in problems if not any(p.startswith(v.cell) for v in failed)]
    if others:
        lines += [""] + [f"- {p}" for p in others]
    return "\n".join(lines) + "\n"


def render_junit(verdicts: list, problems: list[str]) -> str:
    """JUnit XML: one test case per gated cell (failures with their reason, cells
    the table gives no verdict skipped), and one per reason the gate failed with
    no cell to blame (`problems`: nothing compared, no cell judged)."""
    cases = [v for v in verdicts if v.limit is not None or v.failure]
    extra = problems
    failures = sum(v.failure is not None for v in cases) + len(extra)
    counted = (f'tests="{len(cases) + len(extra)}" failures="{failures}" '
               f'skipped="{sum(map(_unjudged, cases))}"')
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             f'<testsuites name="algobench ab" {counted}>',
             f'  <testsuite name="algobench ab gate" {counted}>']
    for v in cases:
        head = (f'    <testcase classname={quoteattr("ab." + v.metric)} name={quoteattr(v.cell)}')
        if _unjudged(v):
            lines += [f"{head}>", f"      <skipped message={quoteattr(_shown(v))}/>",
                      "    </testcase>"]
        elif v.failure is None:
            lines.append(f"{head}/>")
        else:
            lines += [f"{head}>",
                      f"      <failure message={quoteattr(v.failure)}>"
                      f"{_text(v.figure)}</failure>",
                      "    </testcase>"]
    for problem in extra:
        lines += ['    <testcase classname="ab" name="comparison">',
                  f"      <failure message={quoteattr(problem)}/>", "    </testcase>"]
    lines += ["  </testsuite>", "</testsuites>"]
    return "\n".join(lines) + "\n"


def _text(value: str) -> str:
    return value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def write_gate(folder: pathlib.Path, verdicts: list, passed: bool,
               problems: list[str]) -> list[pathlib.Path]:
    """gate.md and gate.xml into the A/B run's folder."""
    folder = pathlib.Path(folder)
    replace_file(folder / GATE_MARKDOWN, render_gate_markdown(verdicts, passed, problems))
    replace_file(folder / GATE_JUNIT, render_junit(verdicts, problems))
    return [folder / GATE_MARKDOWN, folder / GATE_JUNIT]
