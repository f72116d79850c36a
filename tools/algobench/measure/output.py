"""The one place that knows what the benchmark programs print.

Every program writes the same few lines: the allocation and initialisation
times, for some programs a result line, and a closing report with the thread
count, the size and the time of one repetition. This module turns a workload's
row (its result label and time format) into the anchored pattern of every
line, and parses a program's whole standard output strictly: a missing, extra,
reordered or malformed line is an error, never a guess.
"""

from __future__ import annotations

import dataclasses
import math
import re

from ..plan.workload import Workload

# A time in the stream's default format: general notation with at most six
# significant digits ("0.000227928", "2.19345e-05", "12", "-0"), or a
# non-finite value as glibc prints it ("inf", "-inf", "nan", "-nan").
DEFAULT_TIME = r"-?(?:\d+(?:\.\d+)?(?:e[-+]\d{2,3})?|inf|nan)"
# A time in fixed notation with exactly nine decimals ("0.000007153").
FIXED_TIME = r"-?(?:\d+\.\d{9}|inf|nan)"
INTEGER = r"-?\d+"


def line_patterns(program: Workload) -> list[tuple[str, re.Pattern[str]]]:
    """The anchored pattern of every line the program prints, in order."""
    closing_time = FIXED_TIME if program.fixed_time else DEFAULT_TIME
    patterns = [
        ("allocate", rf"Time allocate:(?P<seconds>{DEFAULT_TIME})"),
        ("init", rf"Time init:(?P<seconds>{DEFAULT_TIME})"),
    ]
    if program.result_label is not None:
        patterns.append(("result", rf"{re.escape(program.result_label)}(?P<value>{INTEGER})"))
    patterns.append(
        (
            "closing",
            rf"Result-> cpu:(?P<threads>{INTEGER})  :size: (?P<n>{INTEGER})"
            rf"  :time: (?P<seconds>{closing_time})",
        )
    )
    return [(kind, re.compile(rf"\A{body}\Z")) for kind, body in patterns]


class ReportError(ValueError):
    """A program's output that does not follow its report format."""


@dataclasses.dataclass(frozen=True)
class Report:
    """One run's report, as numbers."""

    allocate_seconds: float
    init_seconds: float
    result: int | None
    threads: int
    n: int
    seconds_per_repetition: float


def _time(text: str, fixed: bool) -> float:
    value = float(text)
    if not fixed and math.isfinite(value):
        mantissa = text.lstrip("-").split("e")[0].replace(".", "").lstrip("0")
        if len(mantissa) > 6:
            raise ReportError(f"time {text!r} has more than six significant digits")
    return value


def parse_report(program: Workload, text: str) -> Report:
    """Parses a program's whole standard output; raises ReportError on any deviation."""
    if not text.endswith("\n"):
        raise ReportError("output does not end with a newline")
    lines = text[:-1].split("\n")
    patterns = line_patterns(program)
    if len(lines) != len(patterns):
        raise ReportError(f"expected {len(patterns)} lines, got {len(lines)}")
    fields: dict[str, re.Match[str]] = {}
    for number, (line, (kind, pattern)) in enumerate(zip(lines, patterns), start=1):
        match = pattern.match(line)
        if match is None:
            raise ReportError(f"line {number} is not the {kind} line: {line!r}")
        fields[kind] = match
    closing = fields["closing"]
    return Report(
        allocate_seconds=_time(fields["allocate"]["seconds"], False),
        init_seconds=_time(fields["init"]["seconds"], False),
        result=int(fields["result"]["value"]) if "result" in fields else None,
        threads=int(closing["threads"]),
        n=int(closing["n"]),
        seconds_per_repetition=_time(closing["seconds"], program.fixed_time),
    )
