"""Reading results.json back: the run as any schema version wrote it, and the checks
that hold a file, which may have been edited by hand, to what the derive step and
the exporters take for granted.

`load` reads a file into the records, refusing what does not have their shape;
`load_checked` also refuses, in one line, what they could not take: context
fields of the wrong type, numbers where the programs took whole numbers,
figures that are not finite, programs and statuses the suite does not know.
Keys it does not know are kept as they are. Reading a file of an earlier
schema version happens in `_migrate`, and only there.
"""

from __future__ import annotations

import dataclasses
import json
import math
import pathlib
from typing import Any

from .contention import Contention
from ..plan import metrics
from ..plan.matrix import INT_MAX, cell_name
from ..plan.workload import BACKENDS, PARALLEL_MODE, WORKLOADS
from .context import CONTEXT_FIELDS, Context
from .records import (RESULTS_FILE, SCHEMA_VERSION, STATUSES, CellResult, Finding, ResultsError,
                      Run, Sample, Stats)
from .answers import Crossover, Winner


def load(path: pathlib.Path | str) -> Run:
    """Reads a results folder's results.json (or the file itself)."""
    path = pathlib.Path(path)
    file = path / RESULTS_FILE if path.is_dir() else path
    try:
        data = json.loads(file.read_text(encoding="utf-8"))
    except OSError as error:
        raise ResultsError(f"cannot read {file}: {error.strerror or error}") from error
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise ResultsError(f"{file} is not JSON: {error}") from error
    try:
        return from_dict(data)
    except ResultsError as error:
        raise ResultsError(f"{file}: {error}") from None


def from_dict(data: Any) -> Run:
    """A Run from the JSON form, any schema version this suite has written."""
    version = data.get("schema_version") if isinstance(data, dict) else None
    if isinstance(version, int) and not isinstance(version, bool) and version > SCHEMA_VERSION:
        raise ResultsError(f"written by a newer suite (schema version {version}; this one reads "
                           f"1 to {SCHEMA_VERSION}): read it with that suite")
    if not isinstance(data, dict) or data.get("schema_version") not in range(1, SCHEMA_VERSION + 1):
        raise ResultsError(f"not a results file of schema version 1 to {SCHEMA_VERSION}")
    data = _migrate(data)
    if not isinstance(data.get("cells"), list) or not isinstance(data.get("context"), dict):
        raise ResultsError("lacks its context or its cells")
    context = _context(data["context"])
    cells = [_cell(item, index) for index, item in enumerate(data["cells"])]
    bandwidth = data.get("bandwidth")
    if bandwidth is not None and not isinstance(bandwidth, dict):
        raise ResultsError("its bandwidth figures are not an object")
    planned = data.get("planned_cells")
    found = data.get("findings") or []
    if not isinstance(found, list):
        raise ResultsError("its findings are not a list")
    run = Run(context, cells, bandwidth, interrupted=data.get("interrupted") is True,
              planned_cells=planned if isinstance(planned, int) else None,
              findings=[f for f in map(Finding.from_dict, found) if f is not None],
              winners=_records(Winner, data.get("winners")),
              crossovers=_records(Crossover, data.get("crossovers")),
              extra={k: v for k, v in data.items() if k not in _RUN_KEYS})
    if data.get("in_progress") is True:
        # The sweep that wrote it never ended (killed, or the machine went down).
        run.cut_short(context.samples)
    return run


# The top-level keys and the cell keys results.json has: any other (a note
# added by hand) is kept as it is.
_RUN_KEYS = {"schema_version", "interrupted", "in_progress", "planned_cells", "completed_cells",
             "busy", "findings", "winners", "crossovers", "context", "cells", "bandwidth"}
_CELL_KEYS = set(CellResult("", "", 0, 1).to_dict()) | {"on_cores", "pinned"}
# The cell keys that hold a number or nothing.
_CELL_NUMBERS = ("speedup", "speedup_low", "speedup_high", "efficiency", "items_per_second",
                 "bytes_per_second", "bandwidth_share", "vs_sequential", "vs_sequential_low",
                 "vs_sequential_high", "first_call_excess", "first_call_share", "settle_width",
                 "first_call_instructions", "instructions", "instructions_spread", "work_ratio")


def _records(kind, data: Any) -> list:
    """The derived records of `kind` as written ("which backend wins", the
    crossovers); the derive step makes them again, so a record that does not
    read is left out, and a file without them reads as having none."""
    fields = {f.name for f in dataclasses.fields(kind)}
    # A field added since the file was written takes its default; one this
    # version does not know is left out.
    required = {f.name for f in dataclasses.fields(kind)
                if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING}
    records = []
    for item in data if isinstance(data, list) else []:
        if isinstance(item, dict) and required <= set(item):
            try:
                records.append(kind(**{k: v for k, v in item.items() if k in fields}))
            except TypeError:
                continue
    return records


def _migrate(data: dict) -> dict:
    """Brings a results dictionary of an earlier schema version to the current one.

    Version 1 kept only each sample's time: its samples get no round, so
    speedups fall back to the ratio of medians, and it was never interrupted.
    Versions 1 and 2 measured the parallel-mode programs alone: their cells
    get that backend. Versions 1 to 3 timed their cells: their metric is time.
    """
    version = data.get("schema_version")
    if version == 1:
        data = dict(data, interrupted=False)
    if version in (1, 2):
        cells = data.get("cells")
        if isinstance(cells, list):
            cells = [dict(c, backend=PARALLEL_MODE) if isinstance(c, dict) else c for c in cells]
        data = dict(data, cells=cells, schema_version=3)
    if data.get("schema_version") == 3:
        context = data.get("context")
        if isinstance(context, dict):
            context = dict(context, metric="time")
        data = dict(data, context=context, schema_version=SCHEMA_VERSION)
    return data


def _context(data: dict) -> Context:
    known = {k: v for k, v in data.items() if k in CONTEXT_FIELDS and v is not None}
    extra = {k: v for k, v in data.items() if k not in CONTEXT_FIELDS}
    return Context(**known, extra=extra)


def _number(value: Any, what: str) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ResultsError(f"{what} is not a number: {value!r}")
    return float(value)


def _time(value: Any, what: str) -> float:
    number = _number(value, what)
    if number is None or not math.isfinite(number):
        raise ResultsError(f"{what} is not a finite time: {value!r}")
    return number


def _sample(seconds: float, info: dict, where: str) -> Sample:
    contention = info.get("contention")
    if isinstance(contention, dict):
        fields = {f.name for f in dataclasses.fields(Contention)}
        contention = Contention(**{k: v for k, v in contention.items() if k in fields})
    else:
        contention = None
    round_index = info.get("round")
    remeasured = info.get("remeasured")
    team_cpus = info.get("team_cpus")
    return Sample(seconds, _number(info.get("allocate_seconds"), f"{where}: allocate_seconds"),
                  _number(info.get("init_seconds"), f"{where}: init_seconds"),
                  info.get("result"), round_index if isinstance(round_index, int) else None,
                  contention, remeasured if type(remeasured) is int and remeasured > 0 else 0,
                  team_cpus if type(team_cpus) is int and team_cpus > 0 else None)


def _cell(data: Any, index: int) -> CellResult:
    if not isinstance(data, dict):
        raise ResultsError(f"cell {index + 1} is not an object")
    where = f"cell {index + 1} ({data.get('name') or 'unnamed'})"
    for field in ("program", "n", "threads"):
        if field not in data:
            raise ResultsError(f"{where} lacks {field}")
    for field in ("n", "threads"):
        if isinstance(data[field], bool) or not isinstance(data[field], int):
            raise ResultsError(f"{where}: {field} is not an integer: {data[field]!r}")
    samples = data.get("samples") or []
    if not isinstance(samples, list):
        raise ResultsError(f"{where}: samples is not a list")
    info = data.get("sample_info") or []
    if not isinstance(info, list) or (info and len(info) != len(samples)) \
            or not all(isinstance(item, dict) for item in info):
        raise ResultsError(f"{where}: sample_info does not match its samples")
    stats = data.get("stats")
    if stats is not None:
        if not isinstance(stats, dict):
            raise ResultsError(f"{where}: stats is not an object")
        stats = Stats(**{f.name: _number(stats.get(f.name), f"{where}: {f.name}")
                         for f in dataclasses.fields(Stats)})
        if stats.median is None:
            stats = None
    backend = data.get("backend", PARALLEL_MODE)
    if not isinstance(backend, str) or backend not in BACKENDS:
        raise ResultsError(f"{where}: unknown backend {backend!r}")
    name = data.get("name") or cell_name(data["program"], data["n"], data["threads"], backend)
    return CellResult(
        name=str(name), program=str(data["program"]), n=data["n"], threads=data["threads"],
        backend=backend,
        repetitions=data.get("repetitions") or 1, fourth=data.get("fourth"),
        status=str(data.get("status") or "failed"), failure=data.get("failure"),
        samples=[_sample(_time(s, f"{where}: sample {i + 1}"), info[i] if info else {}, where)
                 for i, s in enumerate(samples)],
        replaced=data.get("replaced") if isinstance(data.get("replaced"), int) else 0,
        result=data.get("result"), stats=stats,
        on_cores=data.get("on_cores") if _is_whole(data.get("on_cores")) else None,
        stopped=data.get("stopped") if isinstance(data.get("stopped"), str) else None,
        instruction_samples=[_count(c, f"{where}: instruction count {i + 1}")
                             for i, c in enumerate(_list(data.get("instruction_samples"),
                                                         f"{where}: instruction_samples"))],
        **{field: _number(data.get(field), f"{where}: {field}") for field in _CELL_NUMBERS},
        pinned=data.get("pinned") if isinstance(data.get("pinned"), dict) else None,
        extra={k: v for k, v in data.items() if k not in _CELL_KEYS},
    )


def _list(value: Any, what: str) -> list:
    if value is None:
        return []
    if not isinstance(value, list):
        raise ResultsError(f"{what} is not a list")
    return value


def _count(value: Any, what: str) -> float:
    number = _number(value, what)
    if number is None or not math.isfinite(number) or number < 0:
        raise ResultsError(f"{what} is not a count of instructions: {value!r}")
    return number


def load_checked(path: pathlib.Path | str) -> Run:
    """A results folder's run (or a results.json's), as load reads it, held
    to what the derive step and the exporters need; ResultsError when it is not."""
    run = load(path)
    path = pathlib.Path(path)
    problem = run_problem(run)
    if problem is not None:
        file = path / RESULTS_FILE if path.is_dir() else path
        raise ResultsError(f"{file}: {problem}")
    return run


# The JSON types each annotation of a Context field allows.
_JSON_TYPES = {"str": (str,), "int": (int,), "float": (int, float), "bool": (bool,),
               "dict": (dict,), "list": (list,), "None": (type(None),)}
# Context fields whose items the exporters use as text.
_TEXT_ITEMS = ("command_line", "warnings", "omp_env", "runtime_env", "governors")


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


def _context_problem(context: Context) -> str | None:
    for field in dataclasses.fields(Context):
        if field.name == "extra":
            continue
        value = getattr(context, field.name)
        if not _accepts(str(field.type), value):
            return f"context: {field.name} is not of type {field.type}: {value!r}"
    if context.margin is not None and not 0 < context.margin <= 1:
        return f"context: margin is not a fraction above 0 and at most 1: {context.margin!r}"
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


def _cell_problem(cell: CellResult) -> str | None:
    # A program of the workload table: its name ends up in file names
    # (plots/time_per_element_<program>.svg), its row gives the rates and the checks.
    if cell.program not in WORKLOADS:
        return f"unknown program {cell.program!r}; known: {', '.join(WORKLOADS)}"
    if cell.status not in STATUSES:
        return f"unknown status {cell.status!r}; known: {', '.join(STATUSES)}"
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
        for field in ("seconds", "allocate_seconds", "init_seconds"):
            value = getattr(sample, field)
            if _is_number(value) and value < 0:  # the runner never keeps a negative time
                return f"sample {index}: {field} is negative: {value!r}"
        if sample.result is not None and not _is_whole(sample.result):
            return f"sample {index}: result is not a whole number: {sample.result!r}"
        for field in dataclasses.fields(Contention):
            value = getattr(sample.contention, field.name, None)
            if value is not None and not _is_number(value):
                return f"sample {index}: contention {field.name} is not a number: {value!r}"
    return None


def run_problem(run: Run) -> str | None:
    """What in a loaded run the derive step or an exporter could not take, or None."""
    problem = _context_problem(run.context) or _bandwidth_problem(run.bandwidth)
    if problem is None and run.context.metric not in metrics.REGISTRY:
        problem = (f"context: metric is {run.context.metric!r}, not one of "
                   f"{', '.join(metrics.REGISTRY)}")
    if problem is not None:
        return problem
    first: dict[tuple, int] = {}  # each cell's key, and the cell that had it first
    for index, cell in enumerate(run.cells, start=1):
        problem = _cell_problem(cell)
        if problem is None and first.setdefault(cell.key, index) != index:
            problem = f"the same cell as cell {first[cell.key]}"
        if problem is not None:
            return f"cell {index} ({cell.name}): {problem}"
    try:
        json.dumps(run.to_dict(), allow_nan=False)
    except ValueError:
        return "holds a number that is not finite (NaN or Infinity), which results.json never has"
    return None
