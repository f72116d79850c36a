"""The comparison of two runs as a plain-text table (the terminal) or Markdown."""

from __future__ import annotations

from .units import format_seconds

def _rows(comparison) -> list[list[str]]:
    return [
        [
            m.label,
            format_seconds(m.median_a),
            format_seconds(m.median_b),
            f"{m.ratio:.3f}",
            f"{m.low:.3f} .. {m.high:.3f}",
            f"{(m.ratio - 1) * 100:+.1f}%",
            m.verdict,
        ]
        for m in comparison.matched
    ]


HEADER = ["cell", "median A", "median B", "B/A", "CI", "change", "verdict"]


def _rule_text(comparison) -> str:
    return (
        f"B/A is the ratio of median times (above 1: B slower). CI: "
        f"{comparison.confidence:.0%} bootstrap interval, {comparison.resamples} resamples. "
        f"A change is clear when the whole interval lies beyond "
        f"±{comparison.noise:.0%}; cells with fewer than {comparison.min_samples} samples get no verdict."
    )


def _summary_line(comparison) -> str:
    counts = comparison.verdict_counts()
    if comparison.geomean is None:
        return "No cell could be compared."
    return (
        f"Geometric mean of B/A over {len(comparison.matched)} cells: {comparison.geomean:.3f}"
        f" ({(comparison.geomean - 1) * 100:+.1f}%); "
        + ", ".join(f"{count} {name}" for name, count in counts.items() if count)
    )


def render_text(comparison, name_a: str, name_b: str) -> str:
    out = [f"A: {name_a}", f"B: {name_b}"]
    out += [f"warning: {w}" for w in comparison.warnings]
    out += [f"note: {n}" for n in comparison.notes]
    out.append("")
    if comparison.matched:
        header = HEADER[:4] + [f"{comparison.confidence:.0%} CI"] + HEADER[5:]
        rows = [header] + _rows(comparison)
        widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
        for number, row in enumerate(rows):
            cells = [
                row[i].ljust(widths[i]) if i in (0, 6) else row[i].rjust(widths[i])
                for i in range(len(row))
            ]
            out.append("  ".join(cells).rstrip())
            if number == 0:
                out.append("  ".join("-" * w for w in widths))
        out.append("")
    out.append(_summary_line(comparison))
    out.append(_rule_text(comparison))
    for title, items in (
        ("Not compared", [f"{label}: {why}" for label, why in comparison.not_compared]),
        ("Only in A", comparison.only_a),
        ("Only in B", comparison.only_b),
    ):
        if items:
            out += ["", f"{title}:"] + [f"  {item}" for item in items]
    return "\n".join(out) + "\n"


def _md_escape(text: str) -> str:
    return text.replace("|", "\\|")


def render_markdown(comparison, name_a: str, name_b: str) -> str:
    out = ["# Comparison of two runs", "", f"- A: `{name_a}`", f"- B: `{name_b}`", ""]
    if comparison.warnings or comparison.notes:
        out += [f"> **Warning:** {_md_escape(w)}  " for w in comparison.warnings]
        out += [f"> Note: {_md_escape(n)}  " for n in comparison.notes]
        out.append("")
    if comparison.matched:
        header = HEADER[:4] + [f"{comparison.confidence:.0%} CI"] + HEADER[5:]
        out.append("| " + " | ".join(header) + " |")
        out.append("|" + "|".join(["---"] + ["---:"] * 5 + ["---"]) + "|")
        for row in _rows(comparison):
            out.append("| " + " | ".join(_md_escape(c) for c in row) + " |")
        out.append("")
    out += [_summary_line(comparison), "", _rule_text(comparison)]
    for title, items in (
        ("Not compared", [f"{label}: {why}" for label, why in comparison.not_compared]),
        ("Only in A", comparison.only_a),
        ("Only in B", comparison.only_b),
    ):
        if items:
            out += ["", f"## {title}", ""] + [f"- {_md_escape(item)}" for item in items]
    return "\n".join(out) + "\n"




def describe_run(path: str, run) -> str:
    """A run's name in the header: its path, commit and date."""
    details = [str(run.context.get(k)) for k in ("git_commit", "date") if run.context.get(k)]
    return path + (f" ({', '.join(details)})" if details else "")
