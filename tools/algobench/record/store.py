"""The results store: every run the suite made or was shown, in one SQLite file.

The results folders stay the record of a run; the store keeps, beside the
folder's path, each run's whole results.json (so a run can be compared even
when its folder is gone), the context fields a listing needs, and one row per
cell with its figures, for queries across runs. `./suite run` and `./suite ab`
register their runs as they go (after the calibration, after every round, at
the end), so an interrupted run is there too; `./suite import` adds folders
written before, or elsewhere.

A run is one entry however often it is registered. Its identity is the run id
a sweep writes into the context when it starts (`run:<hex>`); a results.json
without one (written before run ids) is named by a SHA-256 of its context and
its cells' samples (`sha256:<hex>`), which a rewrite by `./suite report` does
not change, and for the folder A/ or B/ of an A/B run also by that letter (the
two builds of an A/B run of one build against itself can be alike in both).

The store knows runs through the model: it reads and writes them, and
answers queries; the figures of a cell's row come from the derive step. What the runs mean lives above it (history.py marks the
changes of a cell across runs; recorder.py registers a sweep's runs as they
go). Other parts of the suite use it through this API:

    from algobench.record.store import Store, StoreError

    with Store.open(path) as store:       # creates or migrates the file
        # Store.open(path, write=False) reads a store it may not write.
        ids = store.import_folder(folder, derive.load_derived)  # a run or A/B folder
        rows = store.runs()               # RunRow per run, newest first
        run = store.load_run(ids[0])      # a model.Run, as its results.json holds it
        found = store.cell_series("count_if/n:1000000/", machine=None)

The file itself (its schema and migrations, opening it, SQLite's errors) is
store_file.py's; what a run's row holds and the queries on the rows are here.

Every failure of the store itself (locked past BUSY_TIMEOUT, read-only,
damaged or not a store, written by a newer suite) raises StoreError, whose
text is one line naming the file and what to do. A folder without readable
results raises model.ResultsError. A stored run that cannot be read (stored
by a version that let two cells of one name through) is a StoreError of its
own when asked for; `readable` lets a reader of many runs leave it out.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import hashlib
import json
import os
import pathlib
import re
import sqlite3
from typing import Callable

from .. import model
# The file's schema version and application id belong to the store's API too.
from .store_file import APPLICATION_ID, SCHEMA_VERSION, StoreError, StoreFile
from ..plan import metrics
from ..judge.derive import median_count, median_time

STORE_FILE = pathlib.Path("results") / "store.sqlite"
# Names the default store instead of results/store.sqlite (the tests use it).
STORE_ENV = "ALGOBENCH_STORE"
# How a run is taken out of the store (a hint in the messages about it).
REMOVE_COMMAND = "./suite history --remove"

RUNNING, COMPLETE, INTERRUPTED, FAILED = "running", "complete", "interrupted", "failed"

# How a build's results folder is read into a run for the store.
Reader = Callable[[pathlib.Path], model.Run]

def default_path(root: pathlib.Path) -> pathlib.Path:
    """$ALGOBENCH_STORE, or results/store.sqlite under the repository root."""
    return pathlib.Path(os.environ.get(STORE_ENV) or root / STORE_FILE)


@dataclasses.dataclass
class RunRow:
    """One run as `./suite history` lists it."""

    id: int
    date: str | None
    host: str | None
    cpu: str | None
    compiler: str | None          # compiler and version, "GNU 12.2.0"
    library: str | None           # libstdc++ version
    commit: str | None
    dirty: bool | None            # the tree had changes to tracked files
    backends: list[str]
    completed_cells: int
    planned_cells: int | None
    status: str                   # running, complete, interrupted or failed
    folder: str | None
    build: str | None = None      # "A" or "B" in an A/B run
    paired_with: int | None = None  # the id of the A/B run's other build
    metric: str = "time"          # what the run measured: time or instructions


def run_identity(run: model.Run, build: str | None = None) -> str:
    """What makes two registrations the same run (see the module's description);
    `build` is "A" or "B" for a build's folder of an A/B run."""
    if run.context.run_id:
        return f"run:{run.context.run_id}"
    content = {"context": run.context.to_dict(),
               "cells": [[c.program, c.backend, c.n, c.threads, c.fourth, c.times]
                         for c in run.cells]}
    if build:
        content["build"] = build
    text = json.dumps(content, sort_keys=True, default=str)
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def build_of(folder: pathlib.Path | str | None) -> str | None:
    """"A" or "B" when `folder` is that build's folder of an A/B results folder."""
    if folder is None:
        return None
    folder = pathlib.Path(folder)
    other = {"A": "B", "B": "A"}.get(folder.name)
    if other is None or not (folder.parent / other / model.RESULTS_FILE).exists():
        return None
    return folder.name


def _samples_wanted(run: model.Run) -> int | None:
    if run.metric.exact:
        return run.metric.planned(run.context)
    samples = run.context.samples
    return samples if isinstance(samples, int) and samples > 0 else None


def completed_cells(run: model.Run) -> int:
    """Cells that ran and have all their samples (every cell that ran, once a run is over)."""
    wanted = _samples_wanted(run)
    return sum(cell.ok and (wanted is None or run.measured(cell) >= wanted)
               for cell in run.cells)


def content_status(run: model.Run) -> str:
    """A finished run's status as its results tell it: interrupted when it was cut
    short or lacks planned cells or samples, failed when a cell failed."""
    wanted = _samples_wanted(run)
    short = (run.planned_cells is not None and len(run.cells) < run.planned_cells) or any(
        cell.ok and wanted is not None and run.measured(cell) < wanted for cell in run.cells)
    if run.interrupted or short:
        return INTERRUPTED
    if any(cell.status == "failed" for cell in run.cells):
        return FAILED
    return COMPLETE


def final_status(run: model.Run, exit_status: int) -> str:
    """A run's status once the sweep that made it has ended with `exit_status`."""
    if exit_status == 130 or run.interrupted:
        return INTERRUPTED
    if exit_status != 0 or any(cell.status == "failed" for cell in run.cells):
        return FAILED
    return COMPLETE


def _sort_date(date: str | None) -> str:
    """The run's date in UTC, so that dates of other time zones sort right ("" first)."""
    if not date:
        return ""
    try:
        moment = datetime.datetime.fromisoformat(date)
    except ValueError:
        return date
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return moment.isoformat()


def _now() -> str:
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def _cell_row(position: int, cell: model.CellResult) -> tuple:
    return (position, cell.name, cell.program, cell.backend, cell.n, cell.threads, cell.fourth,
            cell.status, len(cell.samples), *median_time(cell), cell.speedup,
            cell.speedup_low, cell.speedup_high, median_count(cell), cell.work_ratio)


_CELL_COLUMNS = ("position", "name", "program", "backend", "n", "threads", "fourth", "status",
                 "samples", "median", "low", "high", "speedup", "speedup_low", "speedup_high",
                 "instructions", "work_ratio")
_RUN_COLUMNS = ("status", "date", "sort_date", "host", "cpu_model", "compiler",
                "compiler_version", "libstdcxx_version", "git_commit", "git_dirty", "backends",
                "planned_cells", "completed_cells", "results", "metric")


def _run_row(run: model.Run, status: str) -> tuple:
    context = run.context
    try:
        results = json.dumps(run.to_dict(), allow_nan=False, separators=(",", ":"))
    except ValueError:
        raise model.ResultsError("the run holds a figure that is not a finite number") from None
    dirty = None if context.git_dirty is None else int(bool(context.git_dirty))
    backends = ",".join(sorted({cell.backend for cell in run.cells}))
    return (status, context.date, _sort_date(context.date), context.host, context.cpu_model,
            context.compiler, context.compiler_version, context.libstdcxx_version,
            context.git_commit, dirty, backends, run.planned_cells, completed_cells(run), results,
            context.metric)


def _label(name: str, fourth: int | None) -> str:
    """The label `compare` gives a cell of this name and fourth argument."""
    return model.CellResult(name=name, program="", n=0, threads=1, fourth=fourth).label


class Store(StoreFile):
    """An open store; use Store.open, best as a context manager."""

    def __init__(self, path: pathlib.Path, connection: sqlite3.Connection) -> None:
        super().__init__(path, connection)
        self._loaded: dict[int, model.Run] = {}
        # The runs `readable` found unreadable: id -> why.
        self.unreadable: dict[int, str] = {}

    # -- writing

    def register(self, run: model.Run, folder: pathlib.Path | str | None = None,
                 status: str | None = None) -> int:
        """Adds a run, or brings the entry of the same run up to date (its cells
        replaced); returns its id. `status` defaults to what its results tell."""
        row = _run_row(run, status or content_status(run))
        cells = [_cell_row(position, cell) for position, cell in enumerate(run.cells)]
        folder = str(pathlib.Path(folder).resolve()) if folder is not None else None
        identity, now = run_identity(run, build_of(folder)), _now()
        with self._transaction() as connection:
            found = connection.execute("SELECT id FROM runs WHERE identity = ?",
                                       (identity,)).fetchone()
            if found is None:
                columns = ("identity", "folder", "registered", "updated") + _RUN_COLUMNS
                run_id = connection.execute(
                    f"INSERT INTO runs ({', '.join(columns)}) "
                    f"VALUES ({', '.join('?' * len(columns))})",
                    (identity, folder, now, now) + row).lastrowid
            else:
                run_id = found[0]
                assignments = ", ".join(f"{column} = ?" for column in _RUN_COLUMNS)
                connection.execute(
                    f"UPDATE runs SET folder = COALESCE(?, folder), updated = ?, {assignments} "
                    "WHERE id = ?", (folder, now) + row + (run_id,))
                connection.execute("DELETE FROM cells WHERE run_id = ?", (run_id,))
            connection.executemany(
                f"INSERT INTO cells (run_id, {', '.join(_CELL_COLUMNS)}) "
                f"VALUES ({', '.join('?' * (len(_CELL_COLUMNS) + 1))})",
                [(run_id,) + cell for cell in cells])
        self._loaded.pop(run_id, None)
        return run_id

    def import_folder(self, folder: pathlib.Path | str, read: Reader = model.load_checked
                      ) -> list[int]:
        """Registers the run of a results folder (results.json), or both runs of an
        A/B folder (A/ and B/); returns their ids. A run already in the store keeps
        its entry (only its folder is updated to this one), unless it was still
        running when last registered: then the folder's results replace it.
        `read` reads a build's folder: the commands pass derive.load_derived, so
        that the stored figures are derived by this version. ResultsError when
        the folder holds no readable results."""
        return [run_id for run_id, _, _ in self.import_results(folder, read)]

    def import_results(self, folder: pathlib.Path | str, read: Reader = model.load_checked
                       ) -> list[tuple[int, str, pathlib.Path]]:
        """import_folder, telling of each run its id, what became of it ("registered",
        "updated" or "already stored") and its folder."""
        folder = pathlib.Path(folder)
        if folder.is_file() and folder.name == model.RESULTS_FILE:
            folder = folder.parent
        if not folder.is_dir():
            what = "does not exist" if not folder.exists() else "is not a folder"
            raise model.ResultsError(f"{folder} {what}")
        if (folder / model.RESULTS_FILE).exists():
            return [self._import_run(folder, read)]
        builds = [folder / name for name in ("A", "B")]
        if all((build / model.RESULTS_FILE).exists() for build in builds):
            found = [self._import_run(build, read) for build in builds]
            self.link_pair(found[0][0], found[1][0], folder)
            return found
        raise model.ResultsError(f"{folder} holds no results: neither {model.RESULTS_FILE} "
                                 f"nor A/ and B/ folders with theirs")

    def _import_run(self, folder: pathlib.Path, read: Reader) -> tuple[int, str, pathlib.Path]:
        run = read(folder)
        with self._guard():
            found = self.connection.execute("SELECT id, status FROM runs WHERE identity = ?",
                                            (run_identity(run, build_of(folder)),)).fetchone()
        if found is not None and found[1] != RUNNING:
            with self._transaction() as connection:
                connection.execute("UPDATE runs SET folder = ? WHERE id = ?",
                                   (str(folder.resolve()), found[0]))
            return found[0], "already stored", folder
        return self.register(run, folder), "registered" if found is None else "updated", folder

    def link_pair(self, run_a: int, run_b: int, folder: pathlib.Path | str | None = None) -> None:
        """Records that two runs are the builds A and B of one A/B run (its folder)."""
        folder = str(pathlib.Path(folder).resolve()) if folder is not None else None
        with self._transaction() as connection:
            connection.execute("INSERT OR IGNORE INTO ab_pairs (folder, run_a, run_b, registered) "
                               "VALUES (?, ?, ?, ?)", (folder, run_a, run_b, _now()))
            if folder is not None:
                connection.execute("UPDATE ab_pairs SET folder = ? WHERE run_a = ? AND run_b = ?",
                                   (folder, run_a, run_b))

    # -- reading

    def runs(self) -> list[RunRow]:
        """Every run, newest first."""
        with self._guard():
            rows = self.connection.execute(
                "SELECT r.id, r.date, r.host, r.cpu_model, r.compiler, r.compiler_version, "
                "r.libstdcxx_version, r.git_commit, r.git_dirty, r.backends, r.completed_cells, "
                "r.planned_cells, r.status, r.folder, a.run_b, b.run_a, r.metric FROM runs r "
                "LEFT JOIN ab_pairs a ON a.run_a = r.id LEFT JOIN ab_pairs b ON b.run_b = r.id "
                "ORDER BY r.sort_date DESC, r.id DESC").fetchall()
        return [RunRow(id=r[0], date=r[1], host=r[2], cpu=r[3],
                       compiler=" ".join(str(p) for p in r[4:6] if p) or None, library=r[6],
                       commit=r[7], dirty=None if r[8] is None else bool(r[8]),
                       backends=[b for b in r[9].split(",") if b], completed_cells=r[10],
                       planned_cells=r[11], status=r[12], folder=r[13],
                       build="A" if r[14] is not None else "B" if r[15] is not None else None,
                       paired_with=r[14] if r[14] is not None else r[15], metric=r[16])
                for r in rows]

    def load_run(self, run_id: int) -> model.Run:
        """The run of this id as its results.json held it when last registered."""
        if run_id in self._loaded:
            return self._loaded[run_id]
        with self._guard():
            found = self.connection.execute("SELECT results FROM runs WHERE id = ?",
                                            (run_id,)).fetchone()
        if found is None:
            raise StoreError(f"store {self.path} has no run @{run_id} (`./suite history` "
                             "lists the runs it holds)")
        try:
            run = model.from_dict(json.loads(found[0]))
            problem = model.run_problem(run)
            if problem is not None:
                raise model.ResultsError(problem)
        except (ValueError, model.ResultsError) as error:
            self.unreadable[run_id] = str(error)
            raise StoreError(f"store {self.path}: run @{run_id} cannot be read ({error}): "
                             f"`{REMOVE_COMMAND} @{run_id}` takes it out of the store") from None
        self._loaded[run_id] = run
        return run

    def readable(self, run_id: int) -> bool:
        """Whether the run of this id can be read (those that cannot are kept in
        `unreadable`, with why); StoreError when the store itself cannot be."""
        if run_id not in self.unreadable:
            with contextlib.suppress(StoreError):
                self.load_run(run_id)
        return run_id not in self.unreadable

    def remove(self, run_id: int) -> RunRow:
        """Takes the run of this id out of the store (its cells, and its link to the
        other build of an A/B run, with it); returns its row as it was. Its results
        folder is not touched."""
        found = [row for row in self.runs() if row.id == run_id]
        if not found:
            raise StoreError(f"store {self.path} has no run @{run_id} (`./suite history` "
                             "lists the runs it holds)")
        with self._transaction() as connection:
            connection.execute("DELETE FROM runs WHERE id = ?", (run_id,))
        self._loaded.pop(run_id, None)
        return found[0]

    def cell_series(self, pattern: str, machine: str | None = None,
                    metric: metrics.Metric = metrics.TIME) -> list[dict]:
        """Every cell matching `pattern` across runs, per machine, in the form
        history.series returns, each point's "changed" False, each entry also
        holding the cell's "label" as `compare` names it. A point's "median"
        is the cell's figure of `metric` (its median time, or its count, which
        has no interval). re.error for a pattern that is not a regular
        expression."""
        re.compile(pattern)
        figures = f"c.{metric.figure}, " + ("NULL, NULL" if metric.exact else "c.low, c.high")
        query = (f"SELECT c.name, c.program, c.backend, c.n, c.threads, c.fourth, {figures}, "
                 "r.id, r.date, r.git_commit, r.host FROM cells c "
                 "JOIN runs r ON r.id = c.run_id "
                 f"WHERE c.status = 'ok' AND {figures.split(',')[0]} IS NOT NULL "
                 "AND c.name REGEXP ?")
        parameters: tuple = (pattern,)
        if machine is not None:
            query += " AND r.host = ?"
            parameters += (machine,)
        with self._guard():
            rows = self.connection.execute(query + " ORDER BY r.sort_date, r.id",
                                           parameters).fetchall()
        series: dict[tuple, dict] = {}
        for (name, program, backend, n, threads, fourth, median, low, high, run_id, date,
             commit, host) in rows:
            key = (name, host)
            if key not in series:
                series[key] = {"cell": name, "program": program, "backend": backend, "n": n,
                               "threads": threads, "machine": host, "points": [],
                               "label": _label(name, fourth)}
            series[key]["points"].append({"run_id": run_id, "date": date, "commit": commit,
                                          "median": median, "low": low, "high": high,
                                          "changed": False})
        return sorted(series.values(), key=lambda e: (e["program"], e["n"], e["backend"],
                                                      e["threads"], e["cell"],
                                                      e["machine"] or ""))


__all__ = ["APPLICATION_ID", "SCHEMA_VERSION", "Store", "StoreError", "RunRow", "default_path"]
