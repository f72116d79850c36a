"""summary.csv: one row per cell with its statistics and derived figures."""

from __future__ import annotations

import csv
import dataclasses
import io
import pathlib

from ..files import replace_file
from .samples_csv import csv_value

FILE = "summary.csv"
COLUMNS = ("name", "program", "n", "threads", "repetitions", "fourth", "status", "samples",
           "min", "median", "mean", "stddev", "cv", "speedup", "efficiency",
           "items_per_second", "bytes_per_second", "bandwidth_share", "failure", "backend",
           "instructions", "instructions_spread", "work_ratio", "first_call_instructions")


def render(run) -> str:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(COLUMNS)
    for cell in run.cells:
        values = {**cell.to_dict(), "samples": len(cell.samples)}
        if cell.stats is not None:
            values.update(dataclasses.asdict(cell.stats))
        writer.writerow([csv_value(values.get(c)) for c in COLUMNS])
    return buffer.getvalue()


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    path = pathlib.Path(folder) / FILE
    replace_file(path, render(run))
    return [path]
