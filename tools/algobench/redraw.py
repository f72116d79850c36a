"""`./suite report DIR`: rewrites every file of a results folder from its results.json.

Nothing is run: the results are loaded, the figures derived again (with each
memory-bound cell's share of the measured bandwidth), every exporter writes
its files as a run would, and the summary is printed. Useful after a change to
an exporter, or when gnuplot was missing during the run.
"""

from __future__ import annotations

import pathlib
import sys

from . import export, model
from .derive import derive


def report(folder: pathlib.Path, plots: bool = True) -> int:
    if not folder.is_dir():
        print(f"suite report: {folder} is not a folder", file=sys.stderr)
        return 2
    try:
        run = model.load(folder)
    except model.ResultsError as error:
        print(f"suite report: {error}", file=sys.stderr)
        return 2
    derive(run)
    written = export.write_all(folder, run, final=plots, skip=() if plots else ("plots",))
    drawn = [path for path in written if path.parent.name == "plots"]
    if drawn:
        print(f"{len(drawn)} plots in {folder / 'plots'}", file=sys.stderr)
    sys.stdout.write(export.summary.render_markdown(run))
    return 0
