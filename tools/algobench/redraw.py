"""`./suite report DIR`: redraws a results folder's plots and summary.

Nothing is run: the summary (summary.md, summary.csv, with each memory-bound
cell's share of the measured bandwidth) and the plots are drawn again from the
folder's results.json, and the summary is printed. Useful after a change to
the summary or the plots, or when gnuplot was missing during the run.
"""

from __future__ import annotations

import argparse
import importlib
import pathlib
import sys

from . import plots
from .compare import CompareError, load_results

SUMMARY_FUNCTIONS = ("fill_bandwidth_shares", "write_summary_files", "render_markdown")


def _summary_module():
    """The summary module, or None with a message when it cannot redraw yet."""
    try:
        summary = importlib.import_module("algobench.summary")
    except ImportError as error:
        print(f"suite report: no summary module ({error})", file=sys.stderr)
        return None
    missing = [name for name in SUMMARY_FUNCTIONS if not hasattr(summary, name)]
    if missing:
        print(f"suite report: algobench.summary lacks {', '.join(missing)}", file=sys.stderr)
        return None
    return summary


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(
        prog="suite report",
        description="Redraw a results folder's summary and plots from its results.json.",
    )
    parser.add_argument("folder", type=pathlib.Path, help="a results folder (results/<date-time>)")
    parser.add_argument("--no-plots", action="store_true", help="redraw the summary only")
    arguments = parser.parse_args(argv)
    folder = arguments.folder
    if not folder.is_dir():
        print(f"suite report: {folder} is not a folder", file=sys.stderr)
        return 2
    try:
        results = load_results(folder)
    except CompareError as error:
        print(f"suite report: {error}", file=sys.stderr)
        return 2
    status = 0
    summary = _summary_module()
    if summary is not None:
        summary.fill_bandwidth_shares(results)
        summary.write_summary_files(folder, results)
    else:
        status = 1
    if not arguments.no_plots:
        drawn = plots.draw(folder, results)
        if drawn:
            print(f"{len(drawn)} plots in {folder / 'plots'}", file=sys.stderr)
    if summary is not None:
        sys.stdout.write(summary.render_markdown(results))
    return status
