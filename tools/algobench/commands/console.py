"""What a person sees of a sweep on the terminal: views of the sweep's events.

Progress goes to standard error: on a terminal one line rewritten in place
(the program and size being calibrated, then the rounds done and the time
left), otherwise one line when the calibration is done and one per round.
Warnings, failures and the steps after the cells are printed there too; the
summary table goes to standard output at the end.
"""

from __future__ import annotations

import os
import sys
import time
from typing import TextIO

from ..measure import estimate, refine, rounds, sweep_events
from ..export import answer_text, summary
from ..export.text import plural

# Why rounds go on past --samples, said once when the first of them ends.
_BEYOND = {sweep_events.UNDECIDED: "program sizes with an answer still open that more rounds "
                                   "can decide get extra rounds, the cheapest to decide "
                                   "first, within a time budget (--extra-rounds, "
                                   "--round-budget)"}
# Names of the steps after the cells, as the messages say them.
STEP_NAMES = {"bandwidth": "the bandwidth probe", "plots": "drawing the plots"}


class Console:
    """Listens to a sweep and writes what it hears to the terminal."""

    def __init__(self, stdout: TextIO | None = None, stderr: TextIO | None = None,
                 summary_at_end: bool = True, estimate: float | None = None) -> None:
        self.stdout = stdout or sys.stdout
        self.estimate = estimate  # seconds the whole sweep should take, said at its start
        self.stderr = stderr or sys.stderr
        self.summary_at_end = summary_at_end
        # Escapes rewrite the line only on a terminal that understands them.
        self._live = self.stderr.isatty() and os.environ.get("TERM", "") not in ("", "dumb")
        self._beyond_said = False
        self._step = "round"  # what a RoundDone finishes, as the sweep's metric names it
        self._start = self._rounds_start = time.monotonic()

    def __call__(self, event: object) -> None:
        handler = getattr(self, f"_on_{type(event).__name__}", None)
        if handler is None:
            return
        try:
            handler(event)
        except BrokenPipeError:
            # Standard error's reader went away (`2>&1 | head`): the sweep is not
            # its output, it goes on to its end, and the rest it says goes nowhere.
            _to_devnull(self.stderr)

    def _clear(self) -> None:
        if self._live:
            self.stderr.write("\r\033[K")
            self.stderr.flush()

    def _say(self, text: str) -> None:
        self._clear()
        self.stderr.write(text)
        self.stderr.flush()

    def _status(self, text: str) -> None:
        """A progress line: rewritten in place on a terminal, a line of its own otherwise."""
        if self._live:
            self.stderr.write(f"\r\033[K{text}")
        else:
            self.stderr.write(text + "\n")
        self.stderr.flush()

    def _on_RunStarted(self, event: sweep_events.RunStarted) -> None:
        self._start = self._rounds_start = time.monotonic()
        builds = f" of {len(event.variants)} builds" if len(event.variants) > 1 else ""
        self._step = event.metric.step
        took = f", estimated {estimate.duration(self.estimate)}" if self.estimate else ""
        self._say(f"{len(event.cells)} cells{builds}: {event.metric.sweep_plan(event.options)}"
                  f"{took}\n")

    def _on_GroupReady(self, event: sweep_events.GroupReady) -> None:
        if self._live:
            counts = event.repetitions or [1]
            shown = f"{counts[0]}" if len(counts) == 1 else f"{counts[0]}-{counts[-1]}"
            self._status(f"[warm-up {event.done}/{event.total}] {event.label}: "
                         f"{shown} repetition(s)")
        elif event.done == event.total:
            took = time.monotonic() - self._start
            self._status(f"warm-up and calibration of {event.total} program sizes done "
                         f"in {took:.1f} s")
        if event.done == event.total:
            self._rounds_start = time.monotonic()

    def _on_RoundDone(self, event: sweep_events.RoundDone) -> None:
        took = time.monotonic() - self._rounds_start
        left = round(took / event.index * max(event.total - event.index, 0))
        extra = (f", {event.replaced} sample(s) measured again (machine busy)"
                 if event.replaced else "")
        if event.lengthened:
            extra += (f", {event.lengthened} short loop(s) measured again with more "
                      "repetitions")
        if event.planned and event.index > event.planned:
            # A round beyond --samples measures only the program sizes named.
            if not self._beyond_said:
                self._beyond_said = True
                self._say(f"note: {_BEYOND[event.why]} (rounds {event.planned + 1} on)\n")
            self._status(f"[round {event.index}, beyond the {event.planned} planned: "
                         f"{_names(event.groups)} {event.why}] done after {took:.1f} s"
                         f"{extra}")
            return
        self._status(f"[{self._step} {event.index}/{event.total}] done after {took:.1f} s{extra}, "
                     f"~{left // 60}:{left % 60:02d} left")

    def _on_RoundsEnded(self, event: sweep_events.RoundsEnded) -> None:
        self._say("note: " + rounds.stopped_text(event.verdicts, event.planned, event.budget,
                                                 event.spent, event.meaning) + "\n")

    def _on_Refining(self, event: sweep_events.Refining) -> None:
        self._start = time.monotonic()  # the added sizes' calibration is timed from here
        self._say(f"note: --refine: {plural(event.brackets, 'bracket')} wider than a factor "
                  f"of 2; measuring {_names(event.sizes, 6)}\n")

    def _on_Refined(self, event: sweep_events.Refined) -> None:
        why = {refine.NARROW: "every bracket is within a factor of 2" if event.spent else
                              "no bracket is wider than a factor of 2: no size added",
               refine.NO_SIZE: "no whole size is left between the ends of "
                               f"{plural(event.wide, 'bracket')} wider than a factor of 2",
               refine.BUDGET: f"{plural(event.wide, 'bracket')} still wider than a factor of 2: "
                              f"the next sizes would not fit in the {event.budget:.3g} s "
                              "budget (--refine SECONDS sets it)"}[event.why]
        self._say(f"note: --refine: {why}; the added sizes took {event.spent:.1f} s\n")

    def _on_CellFailed(self, event: sweep_events.CellFailed) -> None:
        record = event.result
        build = f" ({event.variant})" if event.variant else ""
        text = f"FAILED {record.name}{build}: {record.failure}\n"
        if event.process is not None:
            text += event.process.describe() + "\n"
        self._say(text)

    def _on_Warned(self, event: sweep_events.Warned) -> None:
        self._say(f"warning: {event.message}\n")

    def _on_StepStarted(self, event: sweep_events.StepStarted) -> None:
        if event.step == "bandwidth":
            self._say("measuring memory bandwidth ...\n")

    def _on_StepFailed(self, event: sweep_events.StepFailed) -> None:
        self._say(f"error: {STEP_NAMES.get(event.step, event.step)} failed: {event.error!r}\n")

    def _on_Interrupted(self, event: sweep_events.Interrupted) -> None:
        if event.after_cells:
            self._say("interrupted after the cells: their results are kept\n")
        else:
            self._say("interrupted: the results so far are kept\n")

    def _on_RunFinished(self, event: sweep_events.RunFinished) -> None:
        self._clear()
        if self.summary_at_end and len(event.runs) == 1:
            try:
                self.stdout.write(summary.render_markdown(next(iter(event.runs.values()))))
                self.stdout.flush()
            except BrokenPipeError:
                # The reader of the summary went away (`| head`): the run itself stands.
                _to_devnull(self.stdout)
        first = next(iter(event.runs.values()), None)
        if len(event.runs) == 1 and first.crossovers:
            self.stderr.write("where going parallel pays, against the reference named in "
                              "summary.md:\n" + "".join(f"  {line}\n" for line in
                                                       answer_text.crossover_brief(first.crossovers)))
        if event.failed:
            self.stderr.write(f"{len(event.failed)} cell(s) failed: {', '.join(event.failed)}\n")
        self.stderr.write(f"results in {event.out_dir}\n")
        self.stderr.flush()


def _names(labels: tuple[str, ...], shown: int = 3) -> str:
    """The first few program sizes of a round, and how many more."""
    more = len(labels) - shown
    return ", ".join(labels[:shown]) + (f" and {more} more" if more > 0 else "")


def _to_devnull(stream: TextIO) -> None:
    """Points a closed pipe's file descriptor at /dev/null, so that later writes
    and Python's flush at exit go nowhere instead of failing."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, stream.fileno())
    except (OSError, ValueError):  # not a file descriptor (a test's StringIO)
        pass
    finally:
        os.close(devnull)
