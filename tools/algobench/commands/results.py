"""The commands that read what earlier runs left: `compare` two runs, `report`
(redraw a results folder, or the store's history page), `history`, `import`
into the store; and `list` (in listing.py) among them on the command line.
"""

from __future__ import annotations

import argparse
import dataclasses
import pathlib
import re
import sys

from ..judge import compare as comparing
from ..judge import gate
from .. import model
from . import redraw
from ..record import store
from ..judge import history as cell_history
from ..judge.derive import load_derived
from ..export import comparison, history as history_view
from ..export.text import printable
from ..files import replace_file
from ..plan import metrics
from ..plan.metrics import Metric
from ..judge.verdict import DEFAULT_MARGIN
from .options import (add_judging_arguments, add_margin_argument, add_store_argument, margin,
                      path, percentage, store_path, text, typed)
from . import listing
from .request import Refusal

# A run of the store on the command line: "@12". A folder of that name is "./@12".
STORED_RUN = re.compile(r"@(\d+)")


@dataclasses.dataclass
class CompareRequest:
    """`compare`'s options: the two runs, how they are shown and judged."""
    a: str
    b: str
    markdown: bool = False
    json: bool = False
    out: pathlib.Path | None = None
    fail_above: float | None = None
    noise_floor: float = comparing.NOISE_FLOOR * 100
    resamples: int = comparing.RESAMPLES
    no_drift_correction: bool = False
    store: pathlib.Path | None = None
    margin: float = DEFAULT_MARGIN * 100  # percent


@dataclasses.dataclass
class ReportRequest:
    """`report`'s options: a results folder to redraw, or the store's history page."""
    folder: pathlib.Path | None = None
    margin: float | None = None  # percent; None: the run's own
    no_plots: bool = False
    html: bool = False
    store: str | None = None  # --store alone: ""
    cells: str | None = None
    out: pathlib.Path | None = None


@dataclasses.dataclass
class HistoryRequest:
    """`history`'s options: the runs of the store, or cells followed across them."""
    cells: str | None = None
    machine: str | None = None
    json: bool = False
    metric: Metric = metrics.DEFAULT
    remove: str | None = None
    store: pathlib.Path | None = None


def add_parsers(commands) -> None:
    """The parsers of `compare`, `report`, `list`, `import` and `history` among the
    suite's `commands`."""
    compare_parser = commands.add_parser(
        "compare", help="compare the results of two runs",
        description="Compare two runs' times cell by cell (B against A).")
    _add_compare_arguments(compare_parser)
    compare_parser.set_defaults(handler=compare)
    redrawing = commands.add_parser(
        "report", help="rewrite a results directory's files and print its summary",
        description="Rewrite a results folder's summary, exports, HTML report and plots from its "
                    "results.json.")
    redrawing.add_argument("folder", type=path, nargs="?",
                        help="a results folder (results/<date-time>)")
    redrawing.add_argument("--no-plots", action="store_true", help="redraw the files, not the plots")
    redrawing.add_argument("--html", action="store_true",
                        help="write only the HTML report (report.html) and print its path")
    redrawing.add_argument("--store", nargs="?", const="", metavar="PATH",
                        help="with --html and no folder: the history page of the store (default "
                             "results/store.sqlite): each cell's figure over the runs, one "
                             "curve per machine, written to history.html beside the store")
    redrawing.add_argument("--margin", type=margin, metavar="PERCENT",
                        help="judge the run's comparisons again at this margin (default: the "
                             "one it was judged at), and record it in its results.json")
    redrawing.add_argument("--cells", metavar="REGEX",
                        help="with --store: the cells the history page shows (default all)")
    redrawing.add_argument("--out", type=path, metavar="FILE",
                        help="with --store: where the history page goes")
    redrawing.set_defaults(handler=report)
    listing.add_parser(commands)
    importing = commands.add_parser(
        "import", help="register results folders in the results store",
        description="Registers the runs of results folders (a run's folder with results.json, "
                    "or an A/B folder with A/ and B/) in the store; a run already there stays "
                    "one run.")
    importing.add_argument("folders", nargs="+", type=path, metavar="DIR",
                           help="a results folder")
    add_store_argument(importing, "register the runs in")
    importing.set_defaults(handler=import_)
    past = commands.add_parser(
        "history", help="list the stored runs, or follow cells across them; --remove @N "
                        "takes a run out of the store",
        description="Without CELL-FILTER: every run of the store, newest first. With it: each "
                    "matching cell's median time per call over the runs of each machine, in "
                    "date order, with the changes beyond the noise marked.")
    past.add_argument("cells", nargs="?", metavar="CELL-FILTER",
                      help="a regular expression over cell names "
                           "(count_if/n:1000000/threads:2)")
    past.add_argument("--machine", metavar="HOST", help="only the runs of this host")
    past.add_argument("--json", action="store_true", help="print JSON, for scripts")
    past.add_argument("--metric", choices=model.METRICS, default="time",
                      help="follow the cells' times (default) or their instruction counts, "
                           "from the runs of that metric")
    past.add_argument("--remove", metavar="@N",
                      help="take the run @N out of the store (its results folder is not "
                           "touched), e.g. one the store can no longer read")
    add_store_argument(past, "read")
    past.set_defaults(handler=history)


def _add_compare_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("a", type=text, help="the reference run: a results folder, its results.json, or "
                                  "@ID, a run of the store (`./suite history` lists them)")
    parser.add_argument("b", type=text, help="the run compared with it")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--markdown", action="store_true", help="print Markdown instead of a table")
    shown.add_argument("--json", action="store_true",
                       help="print the comparison as JSON, for scripts")
    parser.add_argument("--out", type=path, metavar="FILE",
                        help="also write the Markdown report to FILE")
    parser.add_argument("--fail-above", type=percentage, metavar="PERCENT",
                        help="exit with status 1 when a cell is clearly slower by more than "
                             "PERCENT relative to the run-wide shift (judged on Bonferroni "
                             "intervals: a 5%% chance of a false alarm over all cells), or when "
                             "a cell that ran in A failed or timed out in B")
    add_judging_arguments(parser)
    add_margin_argument(parser, "cell's change")
    parser.add_argument("--no-drift-correction", action="store_true",
                        help="judge each cell's B/A itself instead of its change relative to the "
                             "run-wide shift (for runs known to be interleaved)")
    add_store_argument(parser, "read @ID runs from")


def _check_store_exists(path: pathlib.Path, status: int) -> None:
    """Refuses a store that is not there yet (a command that only reads it does not
    create it)."""
    if not path.exists():
        raise Refusal(f"there is no store at {path} yet: `./suite run`, `./suite ab` and "
                      "`./suite import DIR` fill it", status)


def _compiled(pattern: str, what: str) -> None:
    try:
        re.compile(pattern)
    except re.error as error:
        raise Refusal(f"{what} {pattern!r} is not a regular expression: {error}") from None


def _compared_runs(request: CompareRequest) -> tuple[model.Run, model.Run]:
    """The two runs `compare` reads: results folders (or files), or runs of the store."""
    stored = [STORED_RUN.fullmatch(text) for text in (request.a, request.b)]
    if not any(stored):
        return model.load_checked(request.a), model.load_checked(request.b)
    _check_store_exists(store_path(request.store), 2)
    with store.Store.open(store_path(request.store), write=False) as the_store:
        a, b = (the_store.load_run(int(match.group(1))) if match else model.load_checked(text)
                for match, text in zip(stored, (request.a, request.b)))
    return a, b


def compare(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite compare A B`: two runs cell by cell, as a table, Markdown or JSON."""
    request = typed(CompareRequest, arguments)
    fail_above = request.fail_above
    try:
        a, b = _compared_runs(request)
        result = comparing.compare_runs(
            a, b, None if fail_above is None else lambda label: fail_above,
            request.noise_floor / 100, request.resamples,
            drift_correction=not request.no_drift_correction, margin=request.margin / 100)
        problems = gate.judge(result, fail_above)
    except (model.ResultsError, store.StoreError, comparing.MetricMismatch) as error:
        raise Refusal(str(error)) from None
    name_a = comparison.describe_run(request.a, a)
    name_b = comparison.describe_run(request.b, b)
    _show(request, result, name_a, name_b)
    if request.out is not None:
        for warning in result.warnings:
            print(f"warning: {warning}", file=sys.stderr)
    for problem in problems:
        print(f"suite compare: {problem}", file=sys.stderr)
    return 1 if problems else 0


def _show(request: CompareRequest, result, name_a: str, name_b: str) -> None:
    """A comparison in the format asked for on standard output, and as Markdown in --out."""
    if request.out is not None:
        try:
            # Written in place: --out may name a device or a pipe, never to be replaced.
            request.out.write_text(comparison.render_markdown(result, name_a, name_b),
                                     encoding="utf-8")
        except OSError as error:
            raise Refusal(f"cannot write --out {request.out}: {error.strerror or error}") \
                from None
    if request.json:
        sys.stdout.write(comparison.render_json(result, name_a, name_b))
    else:
        render = comparison.render_markdown if request.markdown else comparison.render_text
        sys.stdout.write(render(result, name_a, name_b))


def report(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite report`: a results folder's files redrawn, or the store's history page."""
    request = typed(ReportRequest, arguments)
    if request.store is not None:
        if request.margin is not None:
            raise Refusal("--margin goes with a results folder, not the history page")
        return _history_page(request)
    if request.folder is None:
        raise Refusal("give a results folder, or --html --store for the history page")
    given = [option for option, value in (("--cells", request.cells), ("--out", request.out))
             if value is not None]
    if given:  # a folder's files are rewritten whole, from every cell
        raise Refusal(f"{' and '.join(given)} go{'es' if len(given) == 1 else ''} with --html "
                      "--store (the history page); a results folder is rewritten whole")
    return redraw.report(request.folder, plots=not request.no_plots, html_only=request.html,
                         margin=None if request.margin is None else request.margin / 100)


def _history_page(request: ReportRequest) -> int:
    """`report --html --store [PATH]`: every stored cell (or those --cells picks)
    over the runs and across the machines, as one page."""
    if not request.html or request.folder is not None:
        raise Refusal("--store draws the history page: give --html and no folder")
    if request.cells is None:
        request.cells = "."
    _compiled(request.cells, "--cells")
    path = pathlib.Path(store_path(request.store))
    _check_store_exists(path, 1)
    try:
        with store.Store.open(path, write=False) as the_store:
            series = cell_history.series(the_store, request.cells)
            _left_out("report", request.store, the_store)
    except store.StoreError as error:
        raise Refusal(str(error), 1) from None
    if not series:
        raise Refusal(f"no stored cell matches {request.cells!r}", 1)
    out = request.out or path.parent / "history.html"
    try:
        replace_file(out, history_view.render_html(series, f"algobench history: {path.name}"))
    except OSError as error:
        raise Refusal(f"cannot write {out}: {error.strerror or error}") from None
    print(out)
    return 0


def import_(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite import DIR...`: results folders registered in the store."""
    folders, path = arguments.folders, store_path(arguments.store)
    unreadable = 0
    try:
        with store.Store.open(path) as the_store:
            for folder in folders:
                try:
                    found = the_store.import_results(folder, load_derived)
                except model.ResultsError as error:
                    print(f"suite import: {error}", file=sys.stderr)
                    unreadable += 1
                    continue
                for run_id, what, run_folder in found:
                    print(f"@{run_id} {what}: {run_folder}")
    except store.StoreError as error:
        raise Refusal(str(error), 1) from None
    return 2 if unreadable else 0


def history(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite history [CELL-FILTER]`: the stored runs, or cells followed across them."""
    request = typed(HistoryRequest, arguments, metric=metrics.named(arguments.metric))
    pattern = request.cells
    if request.remove is not None:
        return _remove(request)
    if pattern is not None:
        _compiled(pattern, "CELL-FILTER")
    path = store_path(request.store)
    _check_store_exists(path, 1)
    try:
        with store.Store.open(path, write=False) as the_store:
            _check_machine(the_store, request.machine)
            if pattern is None:
                rows = [row for row in the_store.runs()
                        if request.machine is None or row.host == request.machine]
            else:
                metric = request.metric
                series = cell_history.series(the_store, pattern, request.machine, metric)
                _left_out("history", request.store, the_store)
    except store.StoreError as error:
        raise Refusal(str(error), 1) from None
    if pattern is None:
        sys.stdout.write(history_view.runs_json(rows, str(path)) if request.json
                         else history_view.render_runs(rows))
        return 0
    if request.json:
        sys.stdout.write(history_view.render_json(series, str(path), pattern,
                                                  request.machine,
                                                  cell_history.change_rule(metric), metric))
    elif series:
        sys.stdout.write(history_view.render_text(series, cell_history.change_rule(metric),
                                                  metric))
    if not series:
        on = f" on {request.machine}" if request.machine is not None else ""
        raise Refusal(f"no cell of the store{on} matches {pattern!r} (cell names are like "
                      "count_if/n:1000000/threads:2)", 1)
    return 0


def _left_out(command: str, given_store, the_store: store.Store) -> None:
    """One line per stored run that could not be read, and how to take it out
    (with the --store `command` was given)."""
    option = f" --store {given_store}" if given_store is not None else ""
    for run_id, why in sorted(the_store.unreadable.items()):
        print(f"suite {command}: run @{run_id} cannot be read ({why}): left out; "
              f"`{store.REMOVE_COMMAND} @{run_id}{option}` takes it out of the store",
              file=sys.stderr)


def _remove(request: HistoryRequest) -> int:
    """`history --remove @N`: the run taken out of the store, its folder left as it is."""
    match = STORED_RUN.fullmatch(request.remove)
    if match is None:
        raise Refusal(f"--remove {printable(request.remove)}: give a stored run as @N "
                      "(`./suite history` lists them)")
    if request.cells is not None or request.machine is not None or request.json:
        raise Refusal("--remove takes no CELL-FILTER, --machine or --json")
    path = store_path(request.store)
    _check_store_exists(path, 1)
    run_id = int(match.group(1))
    try:
        with store.Store.open(path) as the_store:
            if all(row.id != run_id for row in the_store.runs()):
                raise Refusal(f"store {path} has no run @{run_id} (`./suite history` lists the "
                              "runs it holds)")
            row = the_store.remove(run_id)
    except store.StoreError as error:
        raise Refusal(str(error), 1) from None
    what = ", ".join(str(part) for part in (row.date, row.host, row.status) if part)
    folder = (f"its folder {printable(row.folder)} is left as it is" if row.folder
              else "it had no folder")
    print(f"removed @{row.id} ({what}) from {path}: {folder}")
    return 0


def _check_machine(the_store: store.Store, machine: str | None) -> None:
    """Refuses (status 1) a --machine of which the store holds no run, naming those it does."""
    if machine is None:
        return
    hosts = sorted({row.host for row in the_store.runs() if row.host})
    if machine not in hosts:
        held = (f"it holds runs of {', '.join(printable(host) for host in hosts)}" if hosts
                else "it holds no run")
        raise Refusal(f"--machine {printable(machine)}: no run of that machine is stored; "
                      f"{held}", 1)

