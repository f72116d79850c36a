"""The gate's verdicts (judge/gate.py's Verdict records), of either metric, for CI:
gate.md (a Markdown job summary) and gate.xml (JUnit XML, one test case per
gated cell, so that a CI system lists the cells that failed and why). The
gate goes by the table's verdicts: a cell the table gives no verdict is
listed as not judged (skipped in JUnit), and a gate that judged no cell
fails, with its reason as a failed test case.
"""

from __future__ import annotations

import pathlib
from xml.sax.saxutils import quoteattr

from ..files import replace_file
from .text import markdown

GATE_MARKDOWN, GATE_JUNIT = "gate.md", "gate.xml"


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
