"""`./suite report DIR`: rewrites every file of a results folder from its results.json.

Nothing is run: the results are loaded, the figures derived again (with each
memory-bound cell's share of the measured bandwidth), every exporter writes
its files as a run would, and the summary is printed. Useful after a change to
an exporter.

A results.json may have been edited by hand: it is read with
model.load_checked, which refuses in one line what the derive step and the
exporters could not take.
"""

from __future__ import annotations

import pathlib
import sys

from .. import export, model
from ..record import results_folder
from ..judge.derive import derive


def report(folder: pathlib.Path, plots: bool = True, html_only: bool = False,
           margin: float | None = None) -> int:
    """Rewrites the folder's files and prints the summary; with `html_only`, writes
    report.html alone and prints its path. `margin`: the run judged again at it."""
    if not folder.exists():
        print(f"suite report: {folder} is not a folder: it does not exist", file=sys.stderr)
        return 2
    if not folder.is_dir():
        print(f"suite report: {folder} is not a folder (give the results folder that holds "
              f"{model.RESULTS_FILE})", file=sys.stderr)
        return 2
    pid = results_folder.holder(folder)
    if pid is not None:
        print(f"suite report: {folder} is in use by a run (process {pid or 'unknown'}): report "
              "it once that run has ended", file=sys.stderr)
        return 2
    try:
        run = model.load_checked(folder)
    except model.ResultsError as error:
        print(f"suite report: {error}", file=sys.stderr)
        return 2
    if margin is not None:
        run.context.margin = margin
    derive(run)
    try:
        if html_only:
            path, = export.report_page.write(folder, run)
            print(path)
            return 0
        written = export.write_all(folder, run, final=plots, skip=() if plots else ("plots",))
    except OSError as error:
        print(f"suite report: cannot write into {folder}: {error.filename or folder}: "
              f"{error.strerror or error}", file=sys.stderr)
        return 2
    drawn = [path for path in written if path.parent.name == "plots"]
    if drawn:
        print(f"{len(drawn)} plots in {folder / 'plots'}", file=sys.stderr)
    sys.stdout.write(export.summary.render_markdown(run))
    return 0
