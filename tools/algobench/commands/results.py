"""The commands that read what earlier runs left: `compare` two runs, `report`
(redraw a results folder, or the store's history page), `history`, `import`
into the store, and `list`, the programs as the workload table describes them.
"""

from __future__ import annotations

import argparse
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
from ..plan.workload import WORKLOADS
from .options import store_path
from .request import Refusal

# A run of the store on the command line: "@12". A folder of that name is "./@12".
STORED_RUN = re.compile(r"@(\d+)")
# The arguments every program reads first, with the defaults the programs use.
PROGRAM_ARGUMENTS = (("n", 10000), ("threads", 1), ("repetitions", 1))


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


def _compared_runs(arguments: argparse.Namespace) -> tuple[model.Run, model.Run]:
    """The two runs `compare` reads: results folders (or files), or runs of the store."""
    stored = [STORED_RUN.fullmatch(text) for text in (arguments.a, arguments.b)]
    if not any(stored):
        return model.load_checked(arguments.a), model.load_checked(arguments.b)
    _check_store_exists(store_path(arguments), 2)
    with store.Store.open(store_path(arguments), write=False) as the_store:
        a, b = (the_store.load_run(int(match.group(1))) if match else model.load_checked(text)
                for match, text in zip(stored, (arguments.a, arguments.b)))
    return a, b


def compare(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite compare A B`: two runs cell by cell, as a table, Markdown or JSON."""
    fail_above = arguments.fail_above
    try:
        a, b = _compared_runs(arguments)
        result = comparing.compare_runs(
            a, b, None if fail_above is None else lambda label: fail_above,
            arguments.noise_floor / 100, arguments.resamples,
            drift_correction=not arguments.no_drift_correction)
        problems = gate.judge(result, fail_above)
    except (model.ResultsError, store.StoreError, comparing.MetricMismatch) as error:
        raise Refusal(str(error)) from None
    name_a = comparison.describe_run(arguments.a, a)
    name_b = comparison.describe_run(arguments.b, b)
    _show(arguments, result, name_a, name_b)
    if arguments.out is not None:
        for warning in result.warnings:
            print(f"warning: {warning}", file=sys.stderr)
    for problem in problems:
        print(f"suite compare: {problem}", file=sys.stderr)
    return 1 if problems else 0


def _show(arguments: argparse.Namespace, result, name_a: str, name_b: str) -> None:
    """A comparison in the format asked for on standard output, and as Markdown in --out."""
    if arguments.out is not None:
        try:
            # Written in place: --out may name a device or a pipe, never to be replaced.
            arguments.out.write_text(comparison.render_markdown(result, name_a, name_b),
                                     encoding="utf-8")
        except OSError as error:
            raise Refusal(f"cannot write --out {arguments.out}: {error.strerror or error}") \
                from None
    if arguments.json:
        sys.stdout.write(comparison.render_json(result, name_a, name_b))
    else:
        render = comparison.render_markdown if arguments.markdown else comparison.render_text
        sys.stdout.write(render(result, name_a, name_b))


def report(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite report`: a results folder's files redrawn, or the store's history page."""
    if arguments.store is not None:
        return _history_page(arguments)
    if arguments.folder is None:
        raise Refusal("give a results folder, or --html --store for the history page")
    given = [option for option, value in (("--cells", arguments.cells), ("--out", arguments.out))
             if value is not None]
    if given:  # a folder's files are rewritten whole, from every cell
        raise Refusal(f"{' and '.join(given)} go{'es' if len(given) == 1 else ''} with --html "
                      "--store (the history page); a results folder is rewritten whole")
    return redraw.report(arguments.folder, plots=not arguments.no_plots, html_only=arguments.html)


def _history_page(arguments: argparse.Namespace) -> int:
    """`report --html --store [PATH]`: every stored cell (or those --cells picks)
    over the runs and across the machines, as one page."""
    if not arguments.html or arguments.folder is not None:
        raise Refusal("--store draws the history page: give --html and no folder")
    if arguments.cells is None:
        arguments.cells = "."
    _compiled(arguments.cells, "--cells")
    path = pathlib.Path(store_path(arguments))
    _check_store_exists(path, 1)
    try:
        with store.Store.open(path, write=False) as the_store:
            series = cell_history.series(the_store, arguments.cells)
            _left_out(arguments, the_store)
    except store.StoreError as error:
        raise Refusal(str(error), 1) from None
    if not series:
        raise Refusal(f"no stored cell matches {arguments.cells!r}", 1)
    out = arguments.out or path.parent / "history.html"
    try:
        replace_file(out, history_view.render_html(series, f"algobench history: {path.name}"))
    except OSError as error:
        raise Refusal(f"cannot write {out}: {error.strerror or error}") from None
    print(out)
    return 0


def import_(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite import DIR...`: results folders registered in the store."""
    unreadable = 0
    try:
        with store.Store.open(store_path(arguments)) as the_store:
            for folder in arguments.folders:
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
    pattern = arguments.cells
    if arguments.remove is not None:
        return _remove(arguments)
    if pattern is not None:
        _compiled(pattern, "CELL-FILTER")
    path = store_path(arguments)
    _check_store_exists(path, 1)
    try:
        with store.Store.open(path, write=False) as the_store:
            _check_machine(the_store, arguments.machine)
            if pattern is None:
                rows = [row for row in the_store.runs()
                        if arguments.machine is None or row.host == arguments.machine]
            else:
                metric = metrics.named(arguments.metric)
                series = cell_history.series(the_store, pattern, arguments.machine, metric)
                _left_out(arguments, the_store)
    except store.StoreError as error:
        raise Refusal(str(error), 1) from None
    if pattern is None:
        sys.stdout.write(history_view.runs_json(rows, str(path)) if arguments.json
                         else history_view.render_runs(rows))
        return 0
    if arguments.json:
        sys.stdout.write(history_view.render_json(series, str(path), pattern,
                                                  arguments.machine,
                                                  cell_history.change_rule(metric), metric))
    elif series:
        sys.stdout.write(history_view.render_text(series, cell_history.change_rule(metric),
                                                  metric))
    if not series:
        on = f" on {arguments.machine}" if arguments.machine is not None else ""
        raise Refusal(f"no cell of the store{on} matches {pattern!r} (cell names are like "
                      "count_if/n:1000000/threads:2)", 1)
    return 0


def _left_out(arguments: argparse.Namespace, the_store: store.Store) -> None:
    """One line per stored run that could not be read, and how to take it out."""
    option = f" --store {arguments.store}" if arguments.store is not None else ""
    for run_id, why in sorted(the_store.unreadable.items()):
        print(f"suite {arguments.command}: run @{run_id} cannot be read ({why}): left out; "
              f"`{store.REMOVE_COMMAND} @{run_id}{option}` takes it out of the store",
              file=sys.stderr)


def _remove(arguments: argparse.Namespace) -> int:
    """`history --remove @N`: the run taken out of the store, its folder left as it is."""
    match = STORED_RUN.fullmatch(arguments.remove)
    if match is None:
        raise Refusal(f"--remove {printable(arguments.remove)}: give a stored run as @N "
                      "(`./suite history` lists them)")
    if arguments.cells is not None or arguments.machine is not None or arguments.json:
        raise Refusal("--remove takes no CELL-FILTER, --machine or --json")
    path = store_path(arguments)
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


def _fourth_default(workload) -> str:
    """A program's own fourth argument, in words: a constant, or the rule the sweep
    follows when the program's default is that same rule."""
    if workload.fourth_default is None:
        return "none"
    probes = (1000, 10_000, 1_000_000)
    values = [workload.fourth_default(n) for n in probes]
    if len(set(values)) == 1:
        return str(values[0])
    if workload.fourth_of_n is not None and workload.fourth_rule \
            and values == [workload.fourth_of_n(n) for n in probes]:
        return workload.fourth_rule.split("=", 1)[-1].strip()
    return f"{workload.fourth_default(PROGRAM_ARGUMENTS[0][1])} at n = {PROGRAM_ARGUMENTS[0][1]}"


def _parallel_text(workload) -> str:
    if not workload.parallel:
        return "no: sequential, the thread count is only echoed"
    if not workload.has_parallel_call:
        return (f"built in the parallel mode, but libstdc++ has no parallel {workload.name}: "
                "every thread count runs the same sequential call")
    text = (f"yes: the call runs on the OpenMP team from n = {workload.parallel_min_n}"
            if workload.parallel_min_n is not None else "yes")
    if workload.max_threads is not None:
        text += f"; at most {workload.max_threads} threads"
    return text


def _count_text(workload) -> str:
    """What one instruction count (--metric instructions) of the program is."""
    if workload.calibrated:
        return ("the instructions of one steady call: a process of 1 + k calls less one of a "
                "single call, over k (the first call's one-time work left out; a call of "
                "5 x 10^7 or more: one call less that work as measured at a smaller size)")
    return "the instructions of the one call of a process, its one-time work included"


def render_list() -> str:
    """Every program of the workload table: arguments and defaults, parallel mode, sample."""
    lines = []
    for workload in WORKLOADS.values():
        arguments = [f"{name} (default {default})" for name, default in PROGRAM_ARGUMENTS]
        if workload.fourth_name is not None:
            fourth = f"{workload.fourth_name} (default {_fourth_default(workload)}"
            if workload.fourth_rule:
                fourth += f"; the sweep passes {workload.fourth_rule}"
            arguments.append(fourth + ")")
        lines += [f"{workload.name}  ({workload.executable})",
                  f"  arguments:     {', '.join(arguments)}",
                  f"  parallel mode: {_parallel_text(workload)}",
                  "  backends:      " + ", ".join(f"{b} ({workload.executable_for(b)})"
                                                  for b in workload.backends),
                  f"  one sample:    {workload.sample_meaning}",
                  f"  one count:     {_count_text(workload)}"]
        if workload.parallel_work:
            lines.append(f"  work ratio:    instructions on p threads over those on one; the "
                         f"parallel mode adds {workload.parallel_work}")
        lines.append("")
    return "\n".join(lines)


def list_(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite list`: the programs, their arguments and what a sample of each is."""
    sys.stdout.write(render_list())
    return 0
