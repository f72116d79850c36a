"""A comparison of instruction counts (runs of an exact metric: count_compare),
`compare` and `ab` alike: each cell's exact ratio or range, as text,
Markdown and JSON (comparison.py draws them through its own calls)."""

from __future__ import annotations

from ..files import dump_json
from .summary import count_text as instructions
from .text import aligned, markdown, run_name

COUNT_COLUMNS = ("cell", "A instructions", "B instructions", "B/A", "change %", "verdict")
CAVEAT = ("Counts are not time: the instructions a call executes, counted under callgrind. "
          "A memory-bound call can change in time without changing in count; time it "
          "(--metric time) to see that.")


def _count_rows(comparison) -> list[list[str]]:
    rows = []
    for p in comparison.pairs:
        ratio = f"{p.ratio:.6f}" if p.exact else f"{p.ratio:.6f} ({p.low:.4f}-{p.high:.4f})"
        rows.append([p.label, instructions(p.a.instructions), instructions(p.b.instructions),
                     ratio, f"{(p.ratio - 1) * 100:+.3f}", p.verdict + ("" if p.exact else " *")])
    return rows


def _count_footer(comparison) -> list[str]:
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


def count_text(comparison, name_a, name_b) -> str:
    lines = [f"A: {run_name(name_a)}", f"B: {run_name(name_b)}", ""]
    lines += aligned([COUNT_COLUMNS, *_count_rows(comparison)], right={1, 2, 3, 4})
    return "\n".join(lines + [""] + _count_footer(comparison)) + "\n"


def count_markdown(comparison, name_a, name_b) -> str:
    lines = ["# Comparison of instruction counts", "", f"- A: {run_name(name_a)}",
             f"- B: {run_name(name_b)}", ""]
    lines += markdown(COUNT_COLUMNS, _count_rows(comparison), right={1, 2, 3, 4})
    return "\n".join(lines + [""] + [f"{line}  " for line in _count_footer(comparison)]) + "\n"


def count_json(comparison, name_a: str, name_b: str) -> str:
    pairs = [{"label": p.label, "a": p.a.instruction_samples, "b": p.b.instruction_samples,
              "ratio": p.ratio, "low": p.low, "high": p.high, "exact": p.exact,
              "verdict": p.verdict, "limit_percent": p.limit} for p in comparison.pairs]
    return dump_json({"a": name_a, "b": name_b, "metric": comparison.metric.name,
                      "geomean": comparison.geomean, "pairs": pairs,
                      "not_compared": [list(i) for i in comparison.not_compared],
                      "failed_in_b": [list(i) for i in comparison.failed_in_b]})
