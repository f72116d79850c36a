"""The words the summary states its answers in: which backend to use at each
program, size and thread count, and from which size going parallel pays.
summary.md, the terminal and the report page all word them from here.
"""

from __future__ import annotations

from .text import markdown, plural, with_interval
from .units import format_seconds


def _interval(value: float | None, low: float | None, high: float | None,
              unit: str = "x") -> str:
    """"1.52x (1.41-1.6)": a figure and its interval, without the unit at the ends."""
    return "" if value is None else with_interval(f"{value:.3g}{unit}", low, high)


def _on(threads: int | None, compared_at: int) -> str:
    """" (1 thread)" for a cell that competes at another thread count than its own."""
    if threads is None or threads == compared_at:
        return ""
    return f" ({plural(threads, 'thread')})"


WINNER_COLUMNS = ("program", "n", "threads", "backend to use", "median time",
                  "vs sequential, 1 thread", "runner-up", "runner-up slower by")
WINNERS_NOTE = ("The backend to use beats every other by the median over rounds of the "
                "other's time over its own in the same round; \"slower by\" is that ratio for "
                "the closest one, the runner-up, with its 95% interval. Each comparison is "
                "judged at a margin of {margin}: faster where the whole interval lies beyond it, "
                "equivalent where it lies within it, undecided where it crosses its edge. Where "
                "the backend to use is not faster than every other, the row says \"equivalent\" "
                "(any of those named will do) or \"undecided\" (the rounds cannot tell yet, "
                "with what would decide it), names them and gives the ratio over the closest "
                "of them. \"vs sequential\": the same paired ratio of the sequential "
                "build's 1-thread time to the winner's, judged alike (for the programs built "
                "without the parallel mode, their own program is the sequential build).")


def margin_text(margin: float | None) -> str:
    """A run's margin as a user gives it: "5%" (None: the default it was judged at)."""
    return f"{(0.05 if margin is None else margin) * 100:g}%"


def winner_label(w) -> str:
    """"c++17-par", "sequential (1 thread)" or, where the backend to use is not
    faster than every other, "equivalent: parallel-mode, sequential" and
    "undecided: parallel-mode, sequential (more rounds)"."""
    if w.tied:
        word = w.verdict or "tie"
        return f"{word}: " + ", ".join(w.tied) + (f" ({w.hint})" if w.hint else "")
    return w.backend + _on(w.backend_threads, w.threads)


def over_sequential_text(w) -> str:
    """The winner's paired speedup over the sequential build and its verdict:
    "1.52x (1.41-1.6) faster"."""
    text = _interval(w.over_sequential, w.over_sequential_low, w.over_sequential_high)
    return f"{text} {w.over_sequential_verdict}" if text and w.over_sequential_verdict else text


def lead_text(w) -> str:
    """The runner-up's paired lag behind the winner in %, with its interval: "12% (5-20)"."""
    if w.lead is None:
        return ""
    low = None if w.lead_low is None else (w.lead_low - 1) * 100
    high = None if w.lead_high is None else (w.lead_high - 1) * 100
    return _interval((w.lead - 1) * 100, low, high, unit="%")


def render_winners(run) -> list[str]:
    """The "which backend wins" table: per program, size and thread count the
    backend to use (or the tie), its time, its paired speedup over the
    sequential build at one thread, and its paired lead over the runner-up.
    No lines when the run measured one backend."""
    found = run.winners
    if not found:
        return []
    rows = []
    for w in sorted(found, key=lambda w: (w.program, w.n, w.threads)):
        rows.append([w.program, str(w.n), str(w.threads), winner_label(w),
                     format_seconds(w.median), over_sequential_text(w),
                     (w.runner_up or "") + _on(w.runner_up_threads, w.threads), lead_text(w)])
    lines = ["", "## Which backend wins", ""]
    lines += markdown(WINNER_COLUMNS, rows, right={1, 2, 4, 5, 7})
    lines += ["", WINNERS_NOTE.format(margin=margin_text(run.context.margin))]
    return lines


CROSSOVER_NOTE = ("Where going parallel pays: per program, backend and thread count, the "
                  "smallest n from which the call is decided faster than its reference (beyond "
                  "the margin, at that n and every larger one measured), and the largest n "
                  "below it where it is not, each with its paired speedup and 95% interval. "
                  "The reference is the sequential build at 1 thread where the run measured "
                  "it, else the backend's own 1-thread time. `suite run --refine` measures "
                  "sizes between the ends until they are within a factor of 2.")


def size_text(n: int) -> str:
    """n as people write a size: "10^6" for a power of ten from 10^4, "320,000" otherwise."""
    digits = str(n)
    if n >= 10_000 and digits.strip("0") == "1":
        return f"10^{len(digits) - 1}"
    return f"{n:,}"


def _speedup(figures) -> str:
    return _interval(*figures) if figures else ""


def crossover_text(c) -> str:
    """One crossover in words, with what a user could change where the parallel
    mode starts its team far from where it pays: "count_if, parallel-mode, 2
    threads (against the sequential build): pays from n = 10^7 (1.5x (1.4-1.7)),
    not at 10^6 (0.98x (0.9-1.1)); the parallel mode starts its team from ..."."""
    against = "the sequential build" if c.reference == "sequential build" else "1 thread"
    where = f"{c.program}, {c.backend}, {plural(c.threads, 'thread')} (against {against})"
    if c.found == "from":
        text = f"pays from n = {size_text(c.at)} ({_speedup(c.at_speedup)})"
        if c.below is not None:
            text += f", not at {size_text(c.below)} ({_speedup(c.below_speedup)})"
    elif c.found == "smallest":
        text = (f"pays already at the smallest n measured, {size_text(c.at)} "
                f"({_speedup(c.at_speedup)})")
    elif c.faster:
        text = f"faster at {_sizes(c.faster)}, but not from there on"
        if c.below is not None:
            text += f", not at {size_text(c.below)} ({_speedup(c.below_speedup)})"
    elif c.below is not None:
        text = (f"never faster in the sizes measured (at {size_text(c.below)}: "
                f"{_speedup(c.below_speedup)})")
    else:
        text = "never decided faster in the sizes measured"
    if c.undecided:
        text += f"; undecided at {_sizes(c.undecided)}"
    if c.threshold is None or c.setting is None:
        return f"{where}: {text}"
    team = (f"the parallel mode starts its team from n = {size_text(c.threshold)} "
            f"(__gnu_parallel::_Settings::{c.setting})")
    if c.below is not None and c.below >= c.threshold:
        upto = "above " + size_text(c.below) if c.found == "never" else "towards " + size_text(c.at)
        team += (f", where a team does not pay here: raise it {upto} to follow this machine "
                 "(a program sets it with __gnu_parallel::_Settings::set)")
    elif c.found == "from" and (c.below or 0) < c.threshold <= c.at:
        team += ", within the bracket: it fits this machine"
    elif c.found == "never" and c.sizes and max(c.sizes) < c.threshold:
        team += ", above every n measured: no team ran"
    return f"{where}: {text}; {team}"


def _sizes(sizes) -> str:
    return ", ".join(size_text(n) for n in sizes)


def crossover_brief(crossovers) -> list[str]:
    """The crossovers in a few lines, one per program and thread count: "count_if,
    2 threads: parallel-mode from 10^6 (not at 10^5), c++17-par never"."""
    said: dict[tuple, list[str]] = {}
    for c in crossovers:
        bracket = [f"not at {size_text(c.below)}"] if c.below is not None and c.found == "from" \
            else []
        bracket += [f"{_sizes(c.undecided)} undecided"] if c.undecided else []
        never = f"faster at {_sizes(c.faster)} only" if c.faster else "never"
        answer = {"from": f"from {size_text(c.at or 0)}",
                  "smallest": f"already at {size_text(c.at or 0)}"}.get(c.found, never)
        answer += f" ({'; '.join(bracket)})" if bracket else ""
        said.setdefault((c.program, c.threads), []).append(f"{c.backend} {answer}")
    return [f"{program}, {plural(threads, 'thread')}: {', '.join(answers)}"
            for (program, threads), answers in said.items()]


def render_crossovers(run) -> list[str]:
    """The "where going parallel pays" section: one line per crossover."""
    if not run.crossovers:
        return []
    return ["", "## Where going parallel pays", ""] + [
        f"- {crossover_text(c)}" for c in run.crossovers] + ["", CROSSOVER_NOTE]
