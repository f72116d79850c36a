"""`./suite report DIR`: rewrites every file of a results folder from its results.json.

Nothing is run: the results are loaded, the figures derived again (with each
memory-bound cell's share of the measured bandwidth), every exporter writes
its files as a run would, and the summary is printed. Useful after a change to
an exporter.

A results.json may have been edited by hand: it is read with
model.load_checked, which refuses in one line what the derive step and the
exporters could not take.

A timed run holds no instruction counts; where the results store holds a
count run of the same build (host, commit with no local change, programs'
folder, flags and compiler) over its programs, that run's work ratios go to
the findings, which then say where the threads' extra work explains a
missing speedup.
"""

from __future__ import annotations

import pathlib
import sys

from .. import export, model
from ..plan import metrics
from ..record import results_folder, store
from ..judge.derive import derive
from .options import store_path

# What makes two runs' programs the same build.
SAME_BUILD = ("host", "git_commit", "bin_dir", "build_flags", "compiler_version")


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
    derive(run, stored_work_ratios(run))
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


def stored_work_ratios(run: model.Run, path: pathlib.Path | None = None) -> dict | None:
    """The work ratios, by cell key, of the newest count run of the same build in
    the store at `path` (default the results store) that counted every program
    of `run`; None for a run of counts, a build with local changes, or none found."""
    context = run.context
    path = store_path(path)
    if run.metric.exact or context.git_dirty is not False or not path.exists():
        return None
    programs = {cell.program for cell in run.cells}
    try:
        with store.Store.open(path, write=False) as the_store:
            for row in the_store.runs():
                metric = metrics.REGISTRY.get(row.metric)
                if metric is None or not metric.exact or row.commit != context.git_commit \
                        or row.dirty is not False or not the_store.readable(row.id):
                    continue
                counted = derive(the_store.load_run(row.id))
                if any(counted.context.get(f) != context.get(f) for f in SAME_BUILD) or \
                        not programs <= {cell.program for cell in counted.cells}:
                    continue
                return {cell.key: cell.work_ratio for cell in counted.cells if cell.work_ratio}
    except (store.StoreError, model.ResultsError):
        return None
    return None
