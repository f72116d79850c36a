"""How the suite writes tables and figures as text: aligned columns for the
terminal, Markdown tables for the files, an interval beside its figure, and
a count with its noun.

Every view that writes text builds its rows as lists of strings and hands
them here, so a column lines up, a Markdown table is ruled and an interval
reads ("1.52x (1.41-1.6)") the same way in each of them.
"""

from __future__ import annotations

from typing import Callable, Collection, Sequence

# How one end of an interval is written: a format spec or a function.
Show = str | Callable[[float], str]


def printable(text: str) -> str:
    """`text` with its control characters (a host name's newline or escape) written
    as Python escapes, so that they cannot break a line or move the cursor."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in text)


def aligned(rows: Sequence[Sequence[str]], right: Collection[int] = (),
            rule: bool = True) -> list[str]:
    """Rows in columns two spaces apart, words to the left and the columns in
    `right` (figures) to the right; with `rule`, a line of dashes under the first.
    Control characters in a cell are escaped."""
    rows = [[printable(text) for text in row] for row in rows]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for number, row in enumerate(rows):
        cells = [text.rjust(widths[i]) if i in right else text.ljust(widths[i])
                 for i, text in enumerate(row)]
        lines.append("  ".join(cells).rstrip())
        if rule and number == 0:
            lines.append("  ".join("-" * width for width in widths))
    return lines


def markdown(header: Sequence[str], rows: Sequence[Sequence[str]], right: Collection[int] = (),
             right_rule: str = "--:") -> list[str]:
    """A Markdown table: the header, its rule (the columns in `right` aligned
    right, written `right_rule`) and one line per row. Cells go in as they are."""
    rule = "|".join(right_rule if i in right else "---" for i in range(len(header)))
    return ["| " + " | ".join(header) + " |", f"|{rule}|"] + [
        "| " + " | ".join(row) + " |" for row in rows]


def _shown(value: float, show: Show) -> str:
    return show(value) if callable(show) else format(value, show)


def interval(low: float | None, high: float | None, show: Show = ".3g",
             between: str = "-") -> str:
    """"1.41-1.6": the two ends of an interval; "" when either is missing. A
    hyphen after a negative end would read as a minus sign: "-1.96 to 42.3"."""
    if low is None or high is None:
        return ""
    if between == "-" and low < 0:
        between = " to "
    return f"{_shown(low, show)}{between}{_shown(high, show)}"


def with_interval(text: str, low: float | None, high: float | None, show: Show = ".3g",
                  between: str = "-", what: str = "") -> str:
    """text followed by its interval in brackets, "1.52x (1.41-1.6)" or, naming
    it, "1.5 ms (interval 1.4 ms to 1.6 ms)"; text alone without both ends."""
    ends = interval(low, high, show, between)
    if not ends:
        return text
    return f"{text} ({what + ' ' if what else ''}{ends})"


def plural(count: int, noun: str) -> str:
    """"1 thread", "2 threads": a count with its noun."""
    return f"{count} {noun}" + ("" if count == 1 else "s")


def run_details(name: dict) -> str:
    """A compared run's commit and date, where recorded."""
    return ", ".join(str(name[key]) for key in ("git_commit", "date") if name.get(key))


def run_name(name: dict | str) -> str:
    """A compared run as text: an A/B run's build as it is, `compare`'s path with
    its commit and date."""
    if isinstance(name, str):
        return name
    details = run_details(name)
    return name["path"] + (f" ({details})" if details else "")
