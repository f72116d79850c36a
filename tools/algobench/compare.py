"""`./suite compare A B`: how run B's times differ from run A's, cell by cell.

Cells are matched by program, n, thread count and fourth argument. For each
matched pair the figure is the ratio of median times B/A (above 1: B is
slower), with a percentile bootstrap confidence interval: both sample sets are
resampled with replacement, the ratio of the resampled medians is taken, and
the interval is read off the sorted ratios. The random generator is seeded
from a fixed number and the cell's name, so the output does not change from
one invocation to the next nor when cells are added or removed.

Verdict: "slower" when the whole interval lies above 1 + noise floor,
"faster" when it lies below 1 / (1 + noise floor), otherwise "no clear change".
With fewer than MIN_SAMPLES samples on either side no verdict is given.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import pathlib
import random
import statistics
import sys
import zlib

RESAMPLES = 2000
CONFIDENCE = 0.95
NOISE_FLOOR = 0.02  # a change within ±2% is never called clear
MIN_SAMPLES = 3
SEED = 20240501

# Context fields whose difference makes the two runs' times hard to compare.
WARN_FIELDS = ("host", "cpu_model", "compiler", "compiler_version", "libstdcxx_version")
# Context fields whose difference is worth a note.
NOTE_FIELDS = ("usable_cpus", "build_type", "build_flags", "omp_env", "pin", "hugepages")

FASTER, SLOWER, UNCLEAR, TOO_FEW = "faster", "slower", "no clear change", "too few samples"


class CompareError(ValueError):
    """Input that cannot be compared: unreadable, not a results file, duplicate cells."""


def load_results(path: pathlib.Path | str) -> dict:
    """Reads a results folder's results.json (or the file itself) and checks its frame."""
    path = pathlib.Path(path)
    file = path / "results.json" if path.is_dir() else path
    try:
        results = json.loads(file.read_text(encoding="utf-8"))
    except OSError as error:
        raise CompareError(f"cannot read {file}: {error.strerror or error}") from error
    except json.JSONDecodeError as error:
        raise CompareError(f"{file} is not JSON: {error}") from error
    if not isinstance(results, dict) or results.get("schema_version") != 1:
        raise CompareError(f"{file} is not a results file of schema version 1")
    if not isinstance(results.get("cells"), list) or not isinstance(results.get("context"), dict):
        raise CompareError(f"{file} lacks its context or its cells")
    return results


def cell_key(cell: dict) -> tuple:
    return (cell["program"], cell["n"], cell["threads"], cell.get("fourth"))


def cell_label(cell: dict) -> str:
    label = cell.get("name") or f"{cell['program']}/n:{cell['n']}/threads:{cell['threads']}"
    if cell.get("fourth") is not None and "fourth" not in label:
        label += f"/fourth:{cell['fourth']}"
    return label


def _order(key: tuple) -> tuple:
    program, n, threads, fourth = key
    return (str(program), n, threads, -1 if fourth is None else fourth)


def _index(results: dict, which: str) -> dict[tuple, dict]:
    cells: dict[tuple, dict] = {}
    for cell in results["cells"]:
        try:
            key = cell_key(cell)
        except (KeyError, TypeError) as error:
            raise CompareError(f"run {which}: a cell lacks program, n or threads") from error
        if key in cells:
            raise CompareError(f"run {which} has two cells for {cell_label(cell)}")
        cells[key] = cell
    return cells


def _unusable(cell: dict) -> str | None:
    """Why a cell cannot be compared, or None."""
    if cell.get("status") != "ok":
        return f"failed ({cell.get('failure') or 'no reason given'})"
    samples = cell.get("samples") or []
    if not samples:
        return "no samples"
    if not all(isinstance(s, (int, float)) and math.isfinite(s) and s > 0 for s in samples):
        return "samples not positive finite times"
    return None


def bootstrap_interval(
    a: list[float],
    b: list[float],
    seed: int,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
) -> tuple[float, float]:
    """Percentile bootstrap interval of median(b) / median(a)."""
    rng = random.Random(seed)
    ratios = sorted(
        statistics.median(rng.choices(b, k=len(b))) / statistics.median(rng.choices(a, k=len(a)))
        for _ in range(resamples)
    )
    tail = (1 - confidence) / 2
    low = ratios[int(math.floor(tail * resamples))]
    high = ratios[min(resamples - 1, int(math.ceil((1 - tail) * resamples)) - 1)]
    return low, high


def verdict(low: float, high: float, count_a: int, count_b: int, noise: float) -> str:
    if min(count_a, count_b) < MIN_SAMPLES:
        return TOO_FEW
    if low > 1 + noise:
        return SLOWER
    if high < 1 / (1 + noise):
        return FASTER
    return UNCLEAR


@dataclasses.dataclass
class Matched:
    label: str
    median_a: float
    median_b: float
    ratio: float
    low: float
    high: float
    verdict: str


@dataclasses.dataclass
class Comparison:
    matched: list[Matched]
    not_compared: list[tuple[str, str]]  # (label, why)
    only_a: list[str]
    only_b: list[str]
    warnings: list[str]
    notes: list[str]
    geomean: float | None
    noise: float
    resamples: int
    confidence: float

    def slowdowns_above(self, percent: float) -> list[Matched]:
        return [m for m in self.matched if m.verdict == SLOWER and m.ratio > 1 + percent / 100]


def context_differences(a: dict, b: dict) -> tuple[list[str], list[str]]:
    """Warnings (host, CPU, compiler, library) and notes (build, environment) on the contexts."""
    warnings, notes = [], []
    for fields, out in ((WARN_FIELDS, warnings), (NOTE_FIELDS, notes)):
        for field in fields:
            if a.get(field) != b.get(field):
                out.append(
                    f"the runs differ in {field}: {json.dumps(a.get(field))} (A)"
                    f" vs {json.dumps(b.get(field))} (B)"
                )
    return warnings, notes


def compare(
    a: dict,
    b: dict,
    noise: float = NOISE_FLOOR,
    resamples: int = RESAMPLES,
    confidence: float = CONFIDENCE,
) -> Comparison:
    cells_a, cells_b = _index(a, "A"), _index(b, "B")
    matched: list[Matched] = []
    not_compared: list[tuple[str, str]] = []
    for key in sorted(cells_a.keys() & cells_b.keys(), key=_order):
        cell_a, cell_b = cells_a[key], cells_b[key]
        label = cell_label(cell_a)
        reasons = [
            f"{which}: {why}"
            for which, why in (("A", _unusable(cell_a)), ("B", _unusable(cell_b)))
            if why is not None
        ]
        if reasons:
            not_compared.append((label, "; ".join(reasons)))
            continue
        samples_a = [float(s) for s in cell_a["samples"]]
        samples_b = [float(s) for s in cell_b["samples"]]
        median_a, median_b = statistics.median(samples_a), statistics.median(samples_b)
        seed = SEED ^ zlib.crc32(repr(key).encode())
        low, high = bootstrap_interval(samples_a, samples_b, seed, resamples, confidence)
        matched.append(
            Matched(
                label,
                median_a,
                median_b,
                median_b / median_a,
                low,
                high,
                verdict(low, high, len(samples_a), len(samples_b), noise),
            )
        )
    only_a = sorted(cell_label(cells_a[k]) for k in cells_a.keys() - cells_b.keys())
    only_b = sorted(cell_label(cells_b[k]) for k in cells_b.keys() - cells_a.keys())
    warnings, notes = context_differences(a["context"], b["context"])
    geomean = (
        math.exp(sum(math.log(m.ratio) for m in matched) / len(matched)) if matched else None
    )
    return Comparison(
        matched, not_compared, only_a, only_b, warnings, notes, geomean, noise, resamples, confidence
    )


def format_seconds(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.4g} {unit}"
    return f"{seconds / 1e-9:.4g} ns"


def _rows(comparison: Comparison) -> list[list[str]]:
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


def _rule_text(comparison: Comparison) -> str:
    return (
        f"B/A is the ratio of median times (above 1: B slower). CI: "
        f"{comparison.confidence:.0%} bootstrap interval, {comparison.resamples} resamples. "
        f"A change is clear when the whole interval lies beyond "
        f"±{comparison.noise:.0%}; cells with fewer than {MIN_SAMPLES} samples get no verdict."
    )


def _summary_line(comparison: Comparison) -> str:
    counts = {v: sum(m.verdict == v for m in comparison.matched) for v in (SLOWER, FASTER, UNCLEAR, TOO_FEW)}
    if comparison.geomean is None:
        return "No cell could be compared."
    return (
        f"Geometric mean of B/A over {len(comparison.matched)} cells: {comparison.geomean:.3f}"
        f" ({(comparison.geomean - 1) * 100:+.1f}%); "
        + ", ".join(f"{count} {name}" for name, count in counts.items() if count)
    )


def render_text(comparison: Comparison, name_a: str, name_b: str) -> str:
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


def render_markdown(comparison: Comparison, name_a: str, name_b: str) -> str:
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


def _describe(path: str, results: dict) -> str:
    context = results["context"]
    details = [str(context[k]) for k in ("git_commit", "date") if context.get(k)]
    return path + (f" ({', '.join(details)})" if details else "")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(
        prog="suite compare",
        description="Compare two runs' times cell by cell (B against A).",
    )
    parser.add_argument("a", help="the reference run: a results folder or its results.json")
    parser.add_argument("b", help="the run compared with it")
    parser.add_argument("--markdown", action="store_true", help="print Markdown instead of a table")
    parser.add_argument("--out", type=pathlib.Path, help="also write the Markdown report to FILE")
    parser.add_argument(
        "--fail-above",
        type=float,
        metavar="PERCENT",
        help="exit with status 1 when a cell is clearly slower by more than PERCENT",
    )
    parser.add_argument(
        "--noise-floor",
        type=float,
        default=NOISE_FLOOR * 100,
        metavar="PERCENT",
        help=f"changes within this are never clear (default {NOISE_FLOOR * 100:g})",
    )
    parser.add_argument(
        "--resamples", type=int, default=RESAMPLES, help=f"bootstrap resamples (default {RESAMPLES})"
    )
    arguments = parser.parse_args(argv)
    if arguments.resamples < 100:
        parser.error("--resamples must be at least 100")
    if arguments.noise_floor < 0 or (arguments.fail_above is not None and arguments.fail_above < 0):
        parser.error("percentages must not be negative")
    try:
        a, b = load_results(arguments.a), load_results(arguments.b)
        comparison = compare(a, b, arguments.noise_floor / 100, arguments.resamples)
    except CompareError as error:
        print(f"suite compare: {error}", file=sys.stderr)
        return 2
    name_a, name_b = _describe(arguments.a, a), _describe(arguments.b, b)
    if arguments.markdown:
        sys.stdout.write(render_markdown(comparison, name_a, name_b))
    else:
        sys.stdout.write(render_text(comparison, name_a, name_b))
    if arguments.out is not None:
        arguments.out.write_text(render_markdown(comparison, name_a, name_b), encoding="utf-8")
        for warning in comparison.warnings:
            print(f"warning: {warning}", file=sys.stderr)
    if arguments.fail_above is not None:
        over = comparison.slowdowns_above(arguments.fail_above)
        if over:
            for m in over:
                print(
                    f"suite compare: {m.label} is {(m.ratio - 1) * 100:.1f}% slower"
                    f" (limit {arguments.fail_above:g}%)",
                    file=sys.stderr,
                )
            return 1
    return 0
