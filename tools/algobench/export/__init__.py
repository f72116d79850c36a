"""The files a run writes, each drawn by one exporter from the run's results.

Every exporter is one module with a `write(folder, run)` that returns the
paths it wrote; this list is the only place that names them. `./suite run`
writes all but the plots after every cell (so an interrupted run keeps its
files) and all of them at the end; `./suite report` rewrites all of them from
results.json. A new output format is one module and one entry here.

The exporters only render: every figure they show was computed by the derive
step before they are called.
"""

from __future__ import annotations

import dataclasses
import pathlib
from typing import Callable

from . import benchmark_json, plots, report_page, results_json, samples_csv, summary, summary_csv


@dataclasses.dataclass(frozen=True)
class Exporter:
    name: str
    write: Callable[[pathlib.Path, object], list[pathlib.Path]]
    # Drawn only once the cells are done (slow, or needs a finished run).
    at_end_only: bool = False


EXPORTERS: tuple[Exporter, ...] = (
    Exporter("results.json", results_json.write),
    Exporter("benchmark.json", benchmark_json.write),
    Exporter("samples.csv", samples_csv.write),
    Exporter("summary.md", summary.write),
    Exporter("summary.csv", summary_csv.write),
    Exporter(report_page.FILE, report_page.write),
    Exporter("plots", plots.write, at_end_only=True),
)


def write_all(folder: pathlib.Path, run, final: bool = True,
              skip: tuple[str, ...] = ()) -> list[pathlib.Path]:
    """Writes every exporter's files into folder (the end-only ones when `final`)."""
    folder = pathlib.Path(folder)
    written: list[pathlib.Path] = []
    for exporter in EXPORTERS:
        if exporter.name in skip or (exporter.at_end_only and not final):
            continue
        written += exporter.write(folder, run)
    return written
