"""The results store: every run the suite made or was shown, in one SQLite file.

The results folders stay the record of a run; the store keeps, beside the
folder's path, each run's whole results.json (so a run can be compared even
when its folder is gone), the context fields a listing needs, and one row per
cell with its figures, for queries across runs. `./suite run` and `./suite ab`
register their runs as they go (after the calibration, after every round, at
the end), so an interrupted run is there too; `./suite import` adds folders
written before, or elsewhere.

A run is one entry however often it is registered (its identity:
store_rows.run_identity). The store reads and writes runs through the model
and answers queries; the figures of a cell's row come from the derive step.
What the runs mean lives above it (history.py marks the changes of a cell
across runs; recorder.py registers a sweep's runs as they go).

The file itself (its schema and migrations, opening it, SQLite's errors) is
store_file.py's; a run's identity, its status and its rows are store_rows.py's;
writing them and the queries on them are here.

Every failure of the store itself (locked past BUSY_TIMEOUT, read-only,
damaged or not a store, written by a newer suite) raises StoreError, whose
text is one line naming the file and what to do. A folder without readable
results raises model.ResultsError. A stored run that cannot be read (stored
by a version that let two cells of one name through) is a StoreError of its
own when asked for; `readable` lets a reader of many runs leave it out.
"""

from __future__ import annotations

import contextlib
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
from .store_rows import (CELL_COLUMNS, COMPLETE, FAILED, INTERRUPTED, RUN_COLUMNS, RUNNING,
                         RunRow, build_of, cell_label, cell_row, completed_cells, content_status,
                         final_status, run_identity, run_row, timestamp)

STORE_FILE = pathlib.Path("results") / "store.sqlite"
# Names the default store instead of results/store.sqlite (the tests use it).
STORE_ENV = "ALGOBENCH_STORE"
# How a run is taken out of the store (a hint in the messages about it).
REMOVE_COMMAND = "./suite history --remove"

# How a build's results folder is read into a run for the store.
Reader = Callable[[pathlib.Path], model.Run]

def default_path(root: pathlib.Path) -> pathlib.Path:
    """$ALGOBENCH_STORE, or results/store.sqlite under the repository root."""
    return pathlib.Path(os.environ.get(STORE_ENV) or root / STORE_FILE)


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
        row = run_row(run, status or content_status(run))
        cells = [cell_row(position, cell, run.metric) for position, cell in enumerate(run.cells)]
        folder = str(pathlib.Path(folder).resolve()) if folder is not None else None
        identity, now = run_identity(run, build_of(folder)), timestamp()
        with self._transaction() as connection:
            found = connection.execute("SELECT id FROM runs WHERE identity = ?",
                                       (identity,)).fetchone()
            if found is None:
                columns = ("identity", "folder", "registered", "updated") + RUN_COLUMNS
                run_id = connection.execute(
                    f"INSERT INTO runs ({', '.join(columns)}) "
                    f"VALUES ({', '.join('?' * len(columns))})",
                    (identity, folder, now, now) + row).lastrowid
            else:
                run_id = found[0]
                assignments = ", ".join(f"{column} = ?" for column in RUN_COLUMNS)
                connection.execute(
                    f"UPDATE runs SET folder = COALESCE(?, folder), updated = ?, {assignments} "
                    "WHERE id = ?", (folder, now) + row + (run_id,))
                connection.execute("DELETE FROM cells WHERE run_id = ?", (run_id,))
            connection.executemany(
                f"INSERT INTO cells (run_id, {', '.join(CELL_COLUMNS)}) "
                f"VALUES ({', '.join('?' * (len(CELL_COLUMNS) + 1))})",
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
                               "VALUES (?, ?, ?, ?)", (folder, run_a, run_b, timestamp()))
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
        is the cell's figure of `metric` in the runs of that metric (a time with
        its interval, a count without). re.error for a pattern that is not a
        regular expression."""
        re.compile(pattern)
        query = ("SELECT c.name, c.program, c.backend, c.n, c.threads, c.fourth, c.median, "
                 "c.low, c.high, r.id, r.date, r.git_commit, r.host FROM cells c "
                 "JOIN runs r ON r.id = c.run_id WHERE c.status = 'ok' AND c.median IS NOT NULL "
                 "AND r.metric = ? AND c.name REGEXP ?")
        parameters: tuple = (metric.name, pattern)
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
                               "label": cell_label(name, fourth)}
            series[key]["points"].append({"run_id": run_id, "date": date, "commit": commit,
                                          "median": median, "low": low, "high": high,
                                          "changed": False})
        return sorted(series.values(), key=lambda e: (e["program"], e["n"], e["backend"],
                                                      e["threads"], e["cell"],
                                                      e["machine"] or ""))


__all__ = ["APPLICATION_ID", "COMPLETE", "FAILED", "INTERRUPTED", "RUNNING", "SCHEMA_VERSION",
           "RunRow", "Store", "StoreError", "completed_cells", "content_status", "default_path",
           "final_status"]
