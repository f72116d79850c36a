"""How the suite shows a time to a person: four significant digits in s, ms, us or ns."""

from __future__ import annotations


def format_seconds(seconds: float | None) -> str:
    """"1.5 ms", "250 us", "12.3 ns"; an empty string for a missing time."""
    if seconds is None:
        return ""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if abs(seconds) >= scale:
            return f"{seconds / scale:.4g} {unit}"
    return f"{seconds / 1e-9:.4g} ns"
