"""samples.csv: one row per kept sample, with everything its program reported.

Runs loaded from a results.json keep only the time of each sample; for them
the file the run wrote is left as it is rather than rewritten with blanks.
"""

from __future__ import annotations

import csv
import io
import pathlib

from ..files import replace_file

FILE = "samples.csv"
COLUMNS = ("name", "program", "n", "threads", "repetitions", "fourth", "sample",
           "seconds_per_repetition", "allocate_seconds", "init_seconds", "result", "round",
           "contended", "backend")


def csv_value(value: object) -> object:
    """A CSV field: empty for None, floats at full precision."""
    if value is None:
        return ""
    return repr(value) if isinstance(value, float) else value


def render(run) -> str:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(COLUMNS)
    for cell in run.cells:
        for index, sample in enumerate(cell.samples):
            values = (cell.name, cell.program, cell.n, cell.threads, cell.repetitions,
                      cell.fourth, index, sample.seconds, sample.allocate_seconds,
                      sample.init_seconds, sample.result, sample.round, sample.contended,
                      cell.backend)
            writer.writerow([csv_value(v) for v in values])
    return buffer.getvalue()


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    path = pathlib.Path(folder) / FILE
    complete = all(s.allocate_seconds is not None for c in run.cells for s in c.samples)
    if not complete and path.exists():
        return []
    replace_file(path, render(run))
    return [path]
