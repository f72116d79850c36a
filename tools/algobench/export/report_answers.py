"""The report page's first screen: the answers a user acts on.

One line per program says where going parallel starts to pay, by how much
and with which backend, from the run's crossovers, or that it never does in
the sizes measured, or that the program ran at one thread only. Below it, a
decision map: a program per row and a size per column, each cell coloured by
the backend to use at the program's largest thread count, deeper the more
that backend beats the sequential build, hatched where the backends are
equivalent (any of them will do) and marked "?" where the rounds cannot tell
yet. An empty cell says why it is empty.

The verdict words are the ones the derive step writes ("faster", "slower",
"equivalent", "undecided"); a winner written before verdicts existed reads as
undecided where it was a tie and as faster otherwise. Numbers are written as
people write them: "16×", "1.5× (1.4–1.7)", "+12% (−1 to +23)".
"""

from __future__ import annotations

import math
from html import escape

from .text import plural
from .web import attributes, backend_class

# How the map names a backend in the little room of a cell.
SHORT = {"parallel-mode": "pmode", "sequential": "seq", "c++17-par": "par",
         "c++17-par-unseq": "unseq"}
# The map's shades: a cell's speedup over the sequential build from which it takes each.
STRENGTHS = (1.05, 1.5, 2.0, 4.0)
MAP_KEY = ("Each cell: the backend to use at that size on the program's largest thread "
           "count, and its speedup over the sequential build at 1 thread; the deeper the "
           "colour, the larger that speedup. Hatched: equivalent, any backend named in its "
           "tooltip will do. \"?\": undecided, the rounds cannot tell the backends apart yet "
           "(its tooltip says what would decide it). \"–\": one backend only at that size "
           "and thread count, nothing to choose; blank: not measured there. A cell links to "
           "its program's speedup chart.")


def short(backend: str) -> str:
    return SHORT.get(backend, backend)


def size_label(n: int) -> str:
    """10⁶ for a power of ten, else the count with separators."""
    text = str(n)
    if n >= 100 and text == "1" + "0" * (len(text) - 1):
        return "10" + "".join("⁰¹²³⁴⁵⁶⁷⁸⁹"[int(d)] for d in str(len(text) - 1))
    return f"{n:,}"


def times(value: float) -> str:
    """A speedup: "16×", "1.5×", "0.92×"."""
    return f"{value:.0f}×" if value >= 9.95 else f"{value:.2g}×"


def with_range(value: float | None, low: float | None, high: float | None, show=times,
               between: str = "–") -> str:
    """"1.5× (1.4–1.7)", "+1% (−17 to +23)": a figure and, where it has one, its
    interval, whose ends go without the unit."""
    if value is None:
        return ""
    if low is None or high is None:
        return show(value)
    ends = [show(end).rstrip("×%") for end in (low, high)]
    if ends[0] == ends[1] == show(value).rstrip("×%"):
        return show(value)  # an interval too narrow to write
    return f"{show(value)} ({ends[0]}{between}{ends[1]})"


def signed_percent(ratio: float) -> str:
    """A ratio as a signed change: 1.12 is "+12%", 0.83 "−17%"."""
    change = (ratio - 1) * 100
    text = f"{abs(change):.0f}%" if abs(change) >= 9.5 else f"{abs(change):.2g}%"
    return ("−" if change < 0 and text != "0%" else "+") + text


def verdict_of(w) -> str:
    """The winner's lead as a verdict word, reading an older record's tie as undecided."""
    return w.verdict or ("undecided" if w.tied else "faster")


def _speedup(figures) -> str:
    return with_range(*figures) if figures and figures[0] is not None else ""


def _threshold(found: list, at: int | None) -> str:
    """The parallel mode's own threshold for this program, where the run has it, and
    what following this machine would take."""
    known = next((c for c in found if c.threshold is not None), None)
    if known is None:
        return ""
    setting = f"_Settings::{known.setting}" if known.setting else "its setting"
    follow = (f"setting {setting} to {at:,} would follow this machine" if at is not None
              else f"a larger {setting} would keep this call sequential here")
    return f"; the parallel mode starts its team from n = {known.threshold:,}: {follow}"


def program_line(program: str, found: list, threads: list[int]) -> str:
    """One program's answer, from its crossovers (found) and the thread counts it ran at."""
    if not found:
        if threads and max(threads) == 1:
            return f"{program}: measured at 1 thread only; nothing parallel to weigh"
        return f"{program}: no parallel speedup at two sizes or more to tell where it starts to pay"
    pays = [c for c in found if c.found in ("from", "smallest")]
    if pays:
        best = min(pays, key=lambda c: (c.at, -(c.at_speedup[0] or 0) if c.at_speedup else 0))
        where = (f"already at the smallest size, n = {size_label(best.at)}," if best.found
                 == "smallest" else f"from n = {size_label(best.at)}")
        text = (f"{program}: parallel pays off {where} on {plural(best.threads, 'thread')}, "
                f"{_speedup(best.at_speedup)} with {best.backend}")
        if best.found == "from":
            text += f"; below that use the {_reference(best)}"
        return text + (_threshold(found, best.at) if best.found == "from" else "")
    # The best figure at the largest size each line measured; a line whose end
    # below is smaller left its larger sizes open, or faster there alone.
    tops = [c for c in found if c.below is not None and c.below == max(c.sizes, default=None)]
    best = max(tops or found, key=lambda c: (c.below_speedup or (0,))[0] or 0)
    sizes = sorted({n for c in found for n in c.sizes})
    span = (f"n = {size_label(sizes[0])} to {size_label(sizes[-1])}" if len(sizes) > 1
            else f"n = {size_label(sizes[0])}") if sizes else "the sizes measured"
    text = f"{program}: parallel does not pay off in the sizes measured ({span}); use the " \
           f"{_reference(best)}"
    if tops and best.below_speedup and best.below_speedup[0] is not None:
        text += (f"; at best {_speedup(best.below_speedup)} at n = {size_label(best.below)} "
                 f"with {best.backend} on {plural(best.threads, 'thread')}")
    alone = next((c for c in found if c.faster), None)
    if alone is not None:
        text += (f"; faster at n = {', '.join(size_label(n) for n in alone.faster)} alone with "
                 f"{alone.backend} on {plural(alone.threads, 'thread')}")
    return text + _threshold(found, None)


def _reference(crossover) -> str:
    return "sequential build" if crossover.reference == "sequential build" else "1-thread run"


def lines(run) -> list[str]:
    """One answer per program, in the run's order."""
    crossovers = run.crossovers
    if not crossovers:
        return []  # a run derived before crossovers were found: the map answers alone
    programs = list(dict.fromkeys(c.program for c in run.cells if c.ok))
    return [program_line(p, [c for c in crossovers if c.program == p],
                         sorted({c.threads for c in run.cells if c.program == p and c.ok}))
            for p in programs]


def _strength(w) -> int:
    value = w.over_sequential
    if value is None or not math.isfinite(value):
        return 0
    return sum(value >= edge for edge in STRENGTHS)


def _map_cell(w, anchor: str | None) -> str:
    word = verdict_of(w)
    title = [f"{w.program}, n = {w.n:,}, {plural(w.threads, 'thread')}: "]
    if word == "equivalent":
        title[0] += f"equivalent: any of {', '.join(w.tied or [w.backend])} will do"
    elif word == "undecided":
        title[0] += (f"undecided between {', '.join(w.tied or [w.backend, w.runner_up or '?'])}"
                     + (f"; {w.hint} would decide it" if w.hint else ""))
    else:
        title[0] += f"use {w.backend}"
    if w.lead is not None and w.runner_up:
        title.append(f"{w.runner_up} slower by "
                     + with_range(w.lead, w.lead_low, w.lead_high, signed_percent, " to "))
    shown = _speedup((w.over_sequential, w.over_sequential_low, w.over_sequential_high))
    if shown:
        title.append(f"{times(w.over_sequential)} faster than the sequential build: {shown}"
                     if w.over_sequential >= 1 else f"over the sequential build: {shown}")
    body = (f"<span class=\"who\">{escape(short(w.backend))}"
            f"{'?' if word == 'undecided' else ''}</span>"
            + (f"<span class=\"x\">{escape(times(w.over_sequential))}</span>"
               if w.over_sequential is not None else ""))
    if anchor:
        body = f"<a href=\"#{escape(anchor)}\">{body}</a>"
    data = {"class": f"{word} {backend_class(w.backend)} s{_strength(w)}",
            "title": "; ".join(title), "data-program": w.program, "data-n": w.n,
            "data-threads": w.threads, "data-backend": w.backend, "data-verdict": word,
            "data-tied": ",".join(w.tied) or None}
    return f"<td{attributes(data)}>{body}</td>"


def why_empty(run, program: str, n: int, threads: int) -> str:
    """Why there is no winner at this size and thread count."""
    ran = sorted({c.backend for c in run.cells
                  if (c.program, c.n, c.threads) == (program, n, threads) and c.ok})
    if len(ran) == 1:
        return f"only {ran[0]} ran at {plural(threads, 'thread')}: nothing to choose between"
    return f"not measured at {plural(threads, 'thread')}"


def decision_map(run, anchors: dict[str, str]) -> str:
    """Program × n, each cell the backend to use on the program's largest thread count."""
    if not run.winners:
        return ""
    chosen: dict[str, dict[int, object]] = {}
    most = {}
    for w in run.winners:
        most[w.program] = max(most.get(w.program, 0), w.threads)
    for w in sorted(run.winners, key=lambda w: (w.fourth or 0)):
        if w.threads == most[w.program]:
            chosen.setdefault(w.program, {}).setdefault(w.n, w)
    sizes = sorted({n for row in chosen.values() for n in row})
    rows = []
    for program, row in chosen.items():
        cells = "".join(
            _map_cell(row[n], anchors.get(program)) if n in row else
            f"<td class=\"none\" title=\"{escape(why_empty(run, program, n, most[program]))}\">"
            f"{'–' if why_empty(run, program, n, most[program]).startswith('only') else ''}</td>"
            for n in sizes)
        rows.append(f"<tr><th scope=\"row\">{escape(program)}<span class=\"on\">"
                    f"{plural(most[program], 'thread')}</span></th>{cells}</tr>")
    head = "".join(f"<th scope=\"col\">{escape(size_label(n))}</th>" for n in sizes)
    backends = list(dict.fromkeys(w.backend for row in chosen.values() for w in row.values()))
    key = "".join(f"<li><span class=\"swatch {backend_class(b)}\"></span>{escape(short(b))}"
                  f"{'' if short(b) == b else ' = ' + escape(b)}</li>" for b in backends)
    return (f"<div class=\"scroll\"><table class=\"decision\"><thead><tr><th scope=\"col\">n</th>"
            f"{head}</tr></thead>\n<tbody>" + "\n".join(rows) + "</tbody></table></div>\n"
            f"<ul class=\"legend backends\">{key}</ul>\n<p class=\"note\">{escape(MAP_KEY)}</p>")


def section(run, anchors: dict[str, str]) -> str:
    """The answers: a line per program, then the decision map."""
    said = lines(run)
    drawn = decision_map(run, anchors)
    if not (said or drawn):
        return ""
    items = "".join(f"<li>{escape(line)}</li>" for line in said)
    return ("<section id=\"answers\">\n<h2>Answers</h2>\n"
            + (f"<ul class=\"answers\">{items}</ul>\n" if items else "") + drawn + "\n</section>")
