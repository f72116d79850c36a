"""How the suite shows a time to a person (four significant digits in s, ms, us
or ns), an element count on an axis (500, 20k, 1M) and a size in bytes."""

from __future__ import annotations


def format_seconds(seconds: float | None) -> str:
    """"1.5 ms", "250 us", "12.3 ns"; an empty string for a missing time."""
    if seconds is None:
        return ""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if abs(seconds) >= scale:
            return f"{seconds / scale:.4g} {unit}"
    return f"{seconds / 1e-9:.4g} ns"


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
