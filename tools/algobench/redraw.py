"""`./suite report DIR`: rewrites every file of a results folder from its results.json.

Nothing is run: the results are loaded, the figures derived again (with each
memory-bound cell's share of the measured bandwidth), every exporter writes
its files as a run would, and the summary is printed. Useful after a change to
an exporter, or when gnuplot was missing during the run.

A results.json may have been edited by hand. `load` holds it to what the
derive step and the exporters take for granted (the types of the context's
fields, whole numbers where the programs took whole numbers, figures that are
finite numbers, program names that can name a file) and refuses it in one
line otherwise; `compare` reads its runs through it too.
"""

from __future__ import annotations

import dataclasses
import json
import pathlib
import re
import sys
from typing import Any

from . import export, model
from .contention import Contention
from .derive import derive
from .matrix import INT_MAX

# Program names end up in file names (plots/time_per_element_<program>.svg).
_PROGRAM_NAME = re.compile(r"[A-Za-z0-9_]+")

# The JSON types each annotation of a Context field allows.
_JSON_TYPES = {"str": (str,), "int": (int,), "float": (int, float), "bool": (bool,),
               "dict": (dict,), "list": (list,), "None": (type(None),)}
# Context fields whose items the exporters use as text.
_TEXT_ITEMS = ("command_line", "warnings", "omp_env", "governors")


def load(path: pathlib.Path | str) -> model.Run:
    """A results folder's run (or a results.json's), as model.load reads it, held
    to what the derive step and the exporters need; ResultsError when it is not."""
    run = model.load(path)
    path = pathlib.Path(path)
    problem = run_problem(run)
    if problem is not None:
        file = path / model.RESULTS_FILE if path.is_dir() else path
        raise model.ResultsError(f"{file}: {problem}")
    return run


def _accepts(annotation: str, value: Any) -> bool:
    for part in annotation.split("|"):
        types = _JSON_TYPES.get(part.strip().split("[")[0])
        if types is None:
            return True  # a type this check does not know is not judged
        if isinstance(value, bool) and bool not in types:
            continue
        if isinstance(value, types):
            return True
    return False


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _is_whole(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _context_problem(context: model.Context) -> str | None:
    for field in dataclasses.fields(model.Context):
        if field.name == "extra":
            continue
        value = getattr(context, field.name)
        if not _accepts(str(field.type), value):
            return f"context: {field.name} is not of type {field.type}: {value!r}"
    for name in _TEXT_ITEMS:
        value = getattr(context, name)
        items = value.values() if isinstance(value, dict) else value
        if not all(isinstance(item, str) for item in items):
            return f"context: {name} holds something other than text: {value!r}"
    return None


def _bandwidth_problem(bandwidth: Any) -> str | None:
    for threads, figures in (bandwidth or {}).items():
        if not isinstance(figures, dict) or not all(map(_is_number, figures.values())):
            return f"bandwidth: the figures for {threads} threads are not numbers: {figures!r}"
    return None


def _cell_problem(cell: model.CellResult) -> str | None:
    if not _PROGRAM_NAME.fullmatch(cell.program):
        return f"program {cell.program!r} is not a program name (letters, digits and _)"
    if not 0 <= cell.n <= INT_MAX:
        return f"n = {cell.n} is outside 0 .. {INT_MAX}"
    if not 1 <= cell.threads <= INT_MAX:
        return f"threads = {cell.threads} is outside 1 .. {INT_MAX}"
    for field, allowed in (("repetitions", _is_whole), ("fourth", _is_whole),
                           ("result", _is_whole), ("failure", lambda v: isinstance(v, str))):
        value = getattr(cell, field)
        if field != "repetitions" and value is None:
            continue
        if not allowed(value):
            return f"{field} is not {'text' if field == 'failure' else 'a whole number'}: {value!r}"
    for index, sample in enumerate(cell.samples, start=1):
        if sample.result is not None and not _is_whole(sample.result):
            return f"sample {index}: result is not a whole number: {sample.result!r}"
        for field in dataclasses.fields(Contention):
            value = getattr(sample.contention, field.name, None)
            if value is not None and not _is_number(value):
                return f"sample {index}: contention {field.name} is not a number: {value!r}"
    return None


def run_problem(run: model.Run) -> str | None:
    """What in a loaded run the derive step or an exporter could not take, or None."""
    problem = _context_problem(run.context) or _bandwidth_problem(run.bandwidth)
    if problem is not None:
        return problem
    for index, cell in enumerate(run.cells, start=1):
        problem = _cell_problem(cell)
        if problem is not None:
            return f"cell {index} ({cell.name}): {problem}"
    try:
        json.dumps(run.to_dict(), allow_nan=False)
    except ValueError:
        return "holds a number that is not finite (NaN or Infinity), which results.json never has"
    return None


def report(folder: pathlib.Path, plots: bool = True, html_only: bool = False) -> int:
    """Rewrites the folder's files and prints the summary; with `html_only`, writes
    report.html alone and prints its path."""
    if not folder.exists():
        print(f"suite report: {folder} is not a folder: it does not exist", file=sys.stderr)
        return 2
    if not folder.is_dir():
        print(f"suite report: {folder} is not a folder (give the results folder that holds "
              f"{model.RESULTS_FILE})", file=sys.stderr)
        return 2
    try:
        run = load(folder)
    except model.ResultsError as error:
        print(f"suite report: {error}", file=sys.stderr)
        return 2
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
