"""How the suite shows a time to a person (four significant digits in s, ms, us
or ns), the same on its pages (three significant digits, µs) and any other
figure of a page's column, an element count on an axis (500, 20k, 1M) and a
size in bytes.

The text views (terminal, Markdown) write "us" so that any terminal shows
it; a page writes "µs". A figure on a page never turns into 1.35e+03: a
column of them reads the same way whatever its size.
"""

from __future__ import annotations

import math

MICRO_TEXT, MICRO_PAGE = "us", "µs"
# Significant digits of a figure on a page.
PAGE_DIGITS = 3


def format_seconds(seconds: float | None, digits: int = 4, micro: str = MICRO_TEXT) -> str:
    """"1.5 ms", "250 us", "12.3 ns"; an empty string for a missing time."""
    if seconds is None:
        return ""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), (micro, 1e-6)):
        if abs(seconds) >= scale:
            return f"{seconds / scale:.{digits}g} {unit}"
    return f"{seconds / 1e-9:.{digits}g} ns"


def page_seconds(seconds: float | None) -> str:
    """A time as a page shows it, three significant digits in its unit: "1.25 ms",
    "250 µs", "2.00 s", "12.3 ns"."""
    if seconds is None:
        return ""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), (MICRO_PAGE, 1e-6)):
        if abs(seconds) >= scale:
            break
    else:
        unit, scale = "ns", 1e-9
    text = significant(seconds / scale)
    if text == "1,000" and unit != "s":  # 999.96 µs rounds up into the next unit
        return page_seconds(float(f"{seconds:.{PAGE_DIGITS}g}"))
    return f"{text} {unit}"


def significant(value: float | None, digits: int = PAGE_DIGITS) -> str:
    """`value` rounded to `digits` significant digits and written out in full:
    "0.0123", "12.3", "836", "1,350", "2,460,000"; "" for None or not finite."""
    if value is None or not math.isfinite(value):
        return ""
    if value == 0:
        return "0"
    rounded = float(f"{value:.{digits}g}")
    decimals = max(0, digits - 1 - math.floor(math.log10(abs(rounded))))
    return f"{rounded:,.{decimals}f}"


def format_count(value: float) -> str:
    """An element count as an axis label: 500, 20k, 1M, 5G."""
    for scale, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= scale:
            return f"{value / scale:g}{suffix}"
    return f"{value:g}"


def format_bytes(value: float) -> str:
    """A size in bytes with binary prefixes: 512 B, 32 KiB, 1.5 MiB."""
    for scale, suffix in ((1 << 30, "GiB"), (1 << 20, "MiB"), (1 << 10, "KiB")):
        if value >= scale:
            return f"{value / scale:.3g} {suffix}"
    return f"{value:g} B"
