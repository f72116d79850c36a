"""The results store: runs register themselves as they go, folders import once,
a store of an earlier version is migrated, a damaged store costs no results,
two writers share one store, and the history marks real changes only.
Stand-in programs and hand-built runs; nothing is timed."""

import contextlib
import json
import os
import pathlib
import random
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import unittest
from unittest import mock

import support
from support import (FIXTURES, ROOT, SUITE, TINY, cell, load, quiet, run_of, run_suite,
                     standin_bin, suite_process)

from algobench.commands import redraw
from algobench.judge import history
from algobench import model
from algobench.record import recorder, store, store_file
from algobench.export import history as history_view
from algobench.record.store import Store, StoreError

SMALL = ["--programs", "count_if,find_if", "--sizes", "100", "--threads", "1,2"]
# What a run in a process of its own needs: no retries, which a busy test machine
# would make slow, and the programs the stand-ins are.
PROCESS = [*SMALL, "--min-time", "0.001", "--no-bandwidth", "--no-plots", "--retries", "0",
           "--extra-rounds", "0"]


def _interpreter_of(user: int) -> str | None:
    """A Python this user may run (the test's own may be in a home of root's)."""
    for candidate in (sys.executable, "/usr/bin/python3"):
        try:
            subprocess.run([candidate, "-c", "import sqlite3"], user=user, check=True,
                           capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            continue
        return candidate
    return None


class StoreCase(unittest.TestCase):
    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.root = pathlib.Path(directory.name)
        self.path = self.root / "store.sqlite"

    def suite_run(self, out: pathlib.Path, *options, command="run", env=None):
        """A small stand-in `run` (or `ab` of the stand-ins against themselves) into `out`."""
        bin_dir = self.root / "bin"
        if not bin_dir.exists():
            standin_bin(self.root)
        head = ["run", "--bin-dir", str(bin_dir)] if command == "run" else \
            ["ab", str(bin_dir), str(bin_dir)]
        with mock.patch.dict(os.environ, {"STANDIN_FAULT": "", **(env or {})}), \
                mock.patch("algobench.measure.runner._contention", side_effect=quiet):
            return run_suite([*head, "--out", str(out), "--store", str(self.path), *SMALL, *TINY,
                              "--extra-rounds", "0", *options])

    def stored(self) -> list[store.RunRow]:
        with Store.open(self.path) as the_store:
            return the_store.runs()

    def cells_of(self, run_id: int) -> list[tuple]:
        with contextlib.closing(sqlite3.connect(self.path)) as connection:
            return connection.execute("SELECT name, samples, median FROM cells WHERE run_id = ? "
                                      "ORDER BY position", (run_id,)).fetchall()

    def assert_matches_folder(self, run_id: int, folder: pathlib.Path):
        """The stored run is the folder's results.json, its cells rows its figures."""
        results = load(folder)
        with contextlib.closing(sqlite3.connect(self.path)) as connection:
            stored = connection.execute("SELECT results FROM runs WHERE id = ?",
                                        (run_id,)).fetchone()[0]
        self.assertEqual(json.loads(stored), results)
        with Store.open(self.path) as the_store:
            self.assertEqual(the_store.load_run(run_id).to_dict(), model.load(folder).to_dict())
        expected = [(c["name"], len(c["samples"]), c["stats"]["median"] if c["stats"] else None)
                    for c in results["cells"]]
        self.assertEqual(self.cells_of(run_id), expected)


class RegistrationTest(StoreCase):
    def test_a_run_registers_itself_round_by_round(self):
        seen = []

        class Spy:  # the console's place among the listeners: it hears each event first
            def __call__(spy, event):
                if type(event).__name__ == "RoundDone":
                    written = load(self.root / "out")
                    seen.append((sorted({s for _, s, _ in self.cells_of(1)}),
                                 written["in_progress"], written["completed_cells"]))

        with mock.patch("algobench.commands.measuring.Console", lambda **_: Spy()):
            status, _, err = self.suite_run(self.root / "out", "--samples", "3")
        self.assertEqual(status, 0, err)
        self.assertIn(f"stored as @1 in {self.path}", err)
        # Registered after the calibration and after every round, before the end;
        # results.json counts no cell complete before its last planned round.
        self.assertEqual(seen, [([0], True, 0), ([1], True, 0), ([2], True, 3)])
        [row] = self.stored()
        self.assertEqual((row.id, row.status, row.completed_cells, row.planned_cells,
                          row.backends, row.folder),
                         (1, "complete", 3, 3, ["parallel-mode"], str(self.root / "out")))
        self.assert_matches_folder(1, self.root / "out")

    def test_a_run_cut_short_is_there_and_its_folder_completes_it(self):
        # A run that never reached its end (killed) stays "running" ...
        with mock.patch.object(recorder.Recorder, "_on_RunFinished"):
            self.assertEqual(self.suite_run(self.root / "out")[0], 0)
        [row] = self.stored()
        self.assertEqual(row.status, "running")
        # ... until its folder is imported: the same run, brought up to date.
        status, out, _ = run_suite(["import", str(self.root / "out"), "--store", str(self.path)])
        self.assertEqual((status, out), (0, f"@1 updated: {self.root / 'out'}\n"))
        self.assertEqual([(r.id, r.status) for r in self.stored()], [(1, "complete")])

    def test_ctrl_c_leaves_an_interrupted_run(self):
        bin_dir = standin_bin(self.root)
        completed = suite_process(
            "run", "--bin-dir", bin_dir, "--out", self.root / "out", "--store", self.path,
            *PROCESS, "--samples", "2", env={**os.environ, "STANDIN_FAULT": "find_if:interrupt_later"})
        self.assertEqual(completed.returncode, 130, completed.stderr)
        [row] = self.stored()
        self.assertEqual((row.status, row.completed_cells, row.planned_cells),
                         ("interrupted", 0, 3))
        self.assert_matches_folder(row.id, self.root / "out")

    def test_an_ab_run_registers_both_builds_as_a_pair(self):
        status, _, err = self.suite_run(self.root / "ab", command="ab")
        self.assertEqual(status, 0, err)
        self.assertIn(f"stored as @1 (A), @2 (B) in {self.path}", err)
        rows = {row.id: row for row in self.stored()}
        self.assertEqual({(i, r.build, r.paired_with, r.status) for i, r in rows.items()},
                         {(1, "A", 2, "complete"), (2, "B", 1, "complete")})
        for run_id, build in ((1, "A"), (2, "B")):
            self.assert_matches_folder(run_id, self.root / "ab" / build)
        # Importing the folder finds the same pair.
        with Store.open(self.path) as the_store:
            self.assertEqual(the_store.import_folder(self.root / "ab"), [1, 2])
        self.assertEqual(len(self.stored()), 2)


class ImportTest(StoreCase):
    def test_a_folder_is_one_run_however_often_and_wherever_imported(self):
        self.assertEqual(self.suite_run(self.root / "out")[0], 0)
        shutil.copytree(self.root / "out", self.root / "moved")
        for folder, said in ((self.root / "out", "already stored"),
                             (self.root / "moved", "already stored")):
            status, out, _ = run_suite(["import", str(folder), "--store", str(self.path)])
            self.assertEqual((status, out), (0, f"@1 {said}: {folder}\n"))
        [row] = self.stored()
        self.assertEqual(row.folder, str(self.root / "moved"))  # where it was seen last

    def test_folders_written_before_run_ids_are_named_by_their_content(self):
        self.assertEqual(self.suite_run(self.root / "ab", command="ab")[0], 0)
        for build in ("A", "B"):  # as a suite without run ids wrote them
            results = self.root / "ab" / build / "results.json"
            data = json.loads(results.read_text())
            del data["context"]["run_id"]
            results.write_text(json.dumps(data))
        other = self.root / "other.sqlite"
        argv = ["import", "--store", str(other)]
        self.assertEqual(run_suite([*argv, str(self.root / "ab" / "A")])[:2],
                         (0, f"@1 registered: {self.root / 'ab' / 'A'}\n"))
        # A rewrite by `report` changes no identity; the A/B folder adds B and the pair.
        self.assertEqual(run_suite(["report", str(self.root / "ab" / "A"), "--no-plots"])[0], 0)
        status, out, _ = run_suite([*argv, str(self.root / "ab")])
        self.assertEqual(out.splitlines(), [f"@1 already stored: {self.root / 'ab' / 'A'}",
                                            f"@2 registered: {self.root / 'ab' / 'B'}"])
        with Store.open(other) as the_store:
            self.assertEqual([(r.id, r.build, r.paired_with) for r in the_store.runs()],
                             [(2, "B", 1), (1, "A", 2)])

    def test_folders_without_results_are_named_and_the_others_imported(self):
        self.assertEqual(self.suite_run(self.root / "out")[0], 0)
        (self.root / "empty").mkdir()
        (self.root / "broken").mkdir()
        (self.root / "broken" / "results.json").write_text("{not json")
        status, out, err = run_suite(["import", str(self.root / "missing"),
                                      str(self.root / "empty"), str(self.root / "broken"),
                                      str(self.root / "out"), "--store", str(self.path)])
        self.assertEqual(status, 2)
        self.assertEqual(out, f"@1 already stored: {self.root / 'out'}\n")
        self.assertNotIn("Traceback", err)
        lines = err.splitlines()
        self.assertEqual(len(lines), 3, err)
        for line, name, why in zip(lines, ("missing", "empty", "broken"),
                                   ("does not exist", "holds no results", "not JSON")):
            self.assertIn(str(self.root / name), line)
            self.assertIn(why, line)
        with Store.open(self.path) as the_store, self.assertRaises(model.ResultsError):
            the_store.import_folder(self.root / "empty")


# The schema of version 1 stores: runs and cells, no A/B pairs.
VERSION_1 = [
    """CREATE TABLE runs (id INTEGER PRIMARY KEY, identity TEXT NOT NULL UNIQUE, folder TEXT,
       status TEXT NOT NULL, date TEXT, sort_date TEXT NOT NULL, host TEXT, cpu_model TEXT,
       compiler TEXT, compiler_version TEXT, libstdcxx_version TEXT, git_commit TEXT,
       git_dirty INTEGER, backends TEXT NOT NULL, planned_cells INTEGER,
       completed_cells INTEGER NOT NULL, results TEXT NOT NULL, registered TEXT NOT NULL,
       updated TEXT NOT NULL)""",
    "CREATE INDEX runs_by_date ON runs (sort_date, id)",
    """CREATE TABLE cells (run_id INTEGER NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
       position INTEGER NOT NULL, name TEXT NOT NULL, program TEXT NOT NULL,
       backend TEXT NOT NULL, n INTEGER NOT NULL, threads INTEGER NOT NULL, fourth INTEGER,
       status TEXT NOT NULL, samples INTEGER NOT NULL, median REAL, low REAL, high REAL,
       speedup REAL, speedup_low REAL, speedup_high REAL, PRIMARY KEY (run_id, position))""",
    "CREATE INDEX cells_by_name ON cells (name)",
    f"PRAGMA application_id = {store.APPLICATION_ID}",
    "PRAGMA user_version = 1",
]


def _version_1_store(path: pathlib.Path) -> model.Run:
    """A store of version 1 holding one run of old-host, which it returns."""
    old = run_of([cell("count_if", 1000, 1, [1.0e-3, 1.1e-3, 1.2e-3])], host="old-host")
    with sqlite3.connect(path) as connection:
        for statement in VERSION_1:
            connection.execute(statement)
        connection.execute(
            "INSERT INTO runs (identity, folder, status, date, sort_date, host, backends, "
            "completed_cells, results, registered, updated) VALUES ('run:old', '/gone', "
            "'complete', ?, ?, 'old-host', 'parallel-mode', 1, ?, 'then', 'then')",
            (old.context.date, old.context.date, json.dumps(old.to_dict())))
        connection.execute("INSERT INTO cells VALUES (1, 0, 'count_if/n:1000/threads:1', "
                           "'count_if', 'parallel-mode', 1000, 1, NULL, 'ok', 3, 1.1e-3, "
                           "1.0e-3, 1.2e-3, NULL, NULL, NULL)")
    connection.close()
    return old


class MigrationTest(StoreCase):
    def test_a_version_1_store_is_migrated_and_keeps_its_runs(self):
        old = _version_1_store(self.path)
        status, out, err = run_suite(["history", "--store", str(self.path)])
        self.assertEqual(status, 0, err)
        self.assertIn("old-host", out)
        with sqlite3.connect(self.path) as connection:
            self.assertEqual(connection.execute("PRAGMA user_version").fetchone()[0],
                             store.SCHEMA_VERSION)
        connection.close()
        self.assertEqual(self.suite_run(self.root / "ab", command="ab")[0], 0)
        with Store.open(self.path) as the_store:
            self.assertEqual(the_store.load_run(1).to_dict(), old.to_dict())
            self.assertEqual([(r.id, r.build) for r in the_store.runs()][-1], (1, None))
            self.assertEqual({r.build for r in the_store.runs()}, {"A", "B", None})
            [entry] = history.series(the_store, "count_if/n:1000/threads:1$", machine="old-host")
            self.assertEqual([p["median"] for p in entry["points"]], [1.1e-3])


def _valid_store(path: pathlib.Path) -> None:
    with Store.open(path) as the_store:
        the_store.register(run_of([cell("count_if", 1000, 1, [1e-3] * 50)]))


def _truncated(path):
    _valid_store(path)
    data = path.read_bytes()
    path.write_bytes(data[:len(data) // 2])


def _sql(*statements):
    def damage(path):
        _valid_store(path)
        with sqlite3.connect(path) as connection:
            for statement in statements:
                connection.execute(statement)
        connection.close()
    return damage


def _foreign(path):
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE notes (text TEXT)")
    connection.close()


DAMAGE = {  # name: (make the damaged store, what the message says)
    "not a database": (lambda p: p.write_text("my notes\n" * 200), "is damaged or not a"),
    "truncated": (_truncated, "is damaged or not a"),
    "newer": (_sql("PRAGMA user_version = 99"), "newer version of the suite"),
    "foreign": (_foreign, "not a results store (it holds notes)"),
    "without its tables": (_sql("DROP TABLE cells"), "lacks its table(s) cells"),
}


class DamageTest(StoreCase):
    """Whatever is wrong with the store, the run writes all its files and says so once."""

    def assert_run_kept(self, status, err, out: pathlib.Path, *words):
        self.assertEqual(status, 1, err)
        self.assertNotIn("Traceback", err)
        named = [line for line in err.splitlines() if str(self.path) in line]
        self.assertEqual(len(named), 1, err)
        self.assertTrue(named[0].startswith("suite run: the results were not registered: "
                                            f"store {self.path} "), named[0])
        for word in words + (f"./suite import {out}",):
            self.assertIn(word, named[0])
        results = load(out)
        self.assertEqual([len(c["samples"]) for c in results["cells"]], [2, 2, 2])
        self.assertTrue((out / "summary.md").exists() and (out / "samples.csv").exists())

    def test_damaged_stores(self):
        for name, (damage, words) in DAMAGE.items():
            with self.subTest(name):
                self.path = self.root / name / "store.sqlite"
                self.path.parent.mkdir()
                damage(self.path)
                before = self.path.read_bytes()
                out = self.root / name / "out"
                self.assert_run_kept(*self.suite_run(out)[::2], out, words)
                for argv, code in ((["history"], 1), (["import", str(out)], 1),
                                   (["compare", "@1", "@1"], 2)):
                    status, _, err = run_suite([*argv, "--store", str(self.path)])
                    self.assertEqual((status, err.count("\n")), (code, 1), err)
                    self.assertIn(f"store {self.path} ", err)
                    self.assertIn(words, err)
                with self.assertRaisesRegex(StoreError, re.escape(words)):
                    Store.open(self.path)
                self.assertEqual(self.path.read_bytes(), before)  # nothing lost either

    def test_a_locked_store(self):
        _valid_store(self.path)
        holder = sqlite3.connect(self.path, isolation_level=None)
        self.addCleanup(holder.close)
        holder.execute("BEGIN EXCLUSIVE")
        with mock.patch.object(store_file, "BUSY_TIMEOUT", 0.1):
            status, _, err = self.suite_run(self.root / "out")
            self.assert_run_kept(status, err, self.root / "out", "is locked by another process")
            status, _, err = run_suite(["import", str(self.root / "out"), "--store",
                                        str(self.path)])
            self.assertEqual((status, err.count("\n")), (1, 1), err)
            self.assertIn("is locked", err)
        holder.execute("ROLLBACK")
        status, out, _ = run_suite(["import", str(self.root / "out"), "--store", str(self.path)])
        self.assertEqual((status, out), (0, f"@2 registered: {self.root / 'out'}\n"))

    def test_a_read_only_store(self):
        # A store of an earlier version, in a folder and a file no one may write: it
        # is read through the migration, and the commands that write refuse.
        self.path = self.root / "read-only" / "store.sqlite"
        self.path.parent.mkdir()
        _version_1_store(self.path)
        before = self.path.read_bytes()
        self.path.chmod(0o444)
        self.path.parent.chmod(0o555)
        self.addCleanup(self.path.parent.chmod, 0o755)
        self.root.chmod(0o777)
        out = self.root / "out"
        page = self.root / "history.html"
        commands = [(["history", "count_if", "--store", str(self.path)], 0, "1 ms .. 1.2 ms"),
                    (["compare", "@1", "@1", "--store", str(self.path)], 0, "count_if"),
                    (["report", "--html", "--store", str(self.path), "--out", str(page)], 0,
                     str(page)),
                    (["import", str(out), "--store", str(self.path)], 1, "cannot be written"),
                    (["history", "--remove", "@1", "--store", str(self.path)], 1,
                     "cannot be written")]
        if os.geteuid() != 0:
            self.assert_run_kept(*self.suite_run(out)[::2], out, "cannot be written")
            for argv, code, word in commands:
                status, printed, err = run_suite(argv)
                self.assertEqual(status, code, err)
                self.assertIn(word, printed + err)
            self.assertEqual(self.path.read_bytes(), before)
            return
        # Root writes anyway: the run is that of an ordinary user.
        nobody = 65534
        python = _interpreter_of(nobody)
        if python is None:
            self.skipTest("no Python that an ordinary user may run")
        # The user may not read this checkout (a private folder, root's home):
        # the run takes the suite and its stand-in from a copy in the test's folder.
        checkout = self.root / "checkout"
        shutil.copytree(ROOT / "tools", checkout / "tools",
                        ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy2(ROOT / "suite", checkout / "suite")
        standin = checkout / FIXTURES.relative_to(ROOT)
        standin.mkdir(parents=True)
        shutil.copy2(FIXTURES / "standin.py", standin / "standin.py")
        readable = subprocess.run([python, "-c", "import sys; open(sys.argv[1]).close()",
                                   str(checkout / "suite")], user=nobody, capture_output=True)
        if readable.returncode != 0:
            self.skipTest(f"an ordinary user may not read {self.root} (its parent is private)")
        with mock.patch.object(support, "FIXTURES", standin):
            bin_dir = standin_bin(self.root)
        completed = subprocess.run(
            [python, str(checkout / "suite"), "run", "--bin-dir", str(bin_dir), "--out", str(out),
             "--store", str(self.path), *PROCESS, "--samples", "2"], capture_output=True,
            text=True, timeout=120, user=nobody,
            env={**os.environ, "HOME": str(self.root), "STANDIN_FAULT": "",
                 "PATH": f"{pathlib.Path(python).parent}:/usr/bin:/bin"})
        self.assert_run_kept(completed.returncode, completed.stderr, out, "cannot be written")
        # The commands in one process of that user's, each as `suite` runs it.
        driver = ("import contextlib, io, json, sys\n"
                  "sys.path.insert(0, sys.argv[1])\n"
                  "from algobench import cli\n"
                  "said = []\n"
                  "for argv in json.loads(sys.argv[2]):\n"
                  "    text = io.StringIO()\n"
                  "    with contextlib.redirect_stdout(text), contextlib.redirect_stderr(text):\n"
                  "        said.append([cli.main(argv), text.getvalue()])\n"
                  "print(json.dumps(said))\n")
        completed = subprocess.run(
            [python, "-c", driver, str(checkout / "tools"), json.dumps([c[0] for c in commands])],
            user=nobody, capture_output=True, text=True, timeout=120,
            env={**os.environ, "HOME": str(self.root)})
        self.assertEqual(completed.returncode, 0, completed.stderr)
        for (argv, code, word), (status, text) in zip(commands, json.loads(completed.stdout)):
            self.assertEqual(status, code, text)
            self.assertIn(word, text)
        self.assertEqual(self.path.read_bytes(), before)


class ConcurrencyTest(StoreCase):
    def test_two_runs_write_to_one_store_at_once(self):
        bin_dir = standin_bin(self.root)
        runs = [subprocess.Popen(
            [*SUITE, "run", "--bin-dir", str(bin_dir), "--out", str(self.root / f"out{i}"),
             "--store", str(self.path), *PROCESS, "--samples", "4"], stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, text=True) for i in range(2)]
        for process in runs:
            _, err = process.communicate(timeout=120)
            self.assertEqual(process.returncode, 0, err)
        rows = self.stored()
        self.assertEqual(sorted(r.status for r in rows), ["complete", "complete"])
        for row in rows:
            self.assert_matches_folder(row.id, pathlib.Path(row.folder))

    def test_writers_in_threads_wait_for_each_other(self):
        _valid_store(self.path)

        def write(index):
            with Store.open(self.path) as the_store:
                for number in range(20):
                    made = run_of([cell("count_if", 1000, t, [1e-3] * 5) for t in (1, 2)])
                    made.context.run_id = f"{index}-{number}"
                    the_store.register(made)

        threads = [threading.Thread(target=write, args=(i,)) for i in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(len(self.stored()), 61)
        with sqlite3.connect(self.path) as connection:
            self.assertEqual(connection.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
            self.assertEqual(connection.execute("SELECT count(*) FROM cells").fetchone(), (121,))
        connection.close()


STEP = "count_if/n:100000/threads:2"


def _series_run(index: int, host: str, day: float, factor: float, step: float,
                rng: random.Random) -> model.Run:
    """Eight cells of five samples within 0.2%, all slower by `factor`, STEP by `step` more."""
    cells = []
    for n in (1000, 10_000, 100_000, 1_000_000):
        for threads in (1, 2):
            base = n * 1e-9 * (2 if host == "other" else 1) * factor / threads
            base *= step if f"count_if/n:{n}/threads:{threads}" == STEP else 1
            cells.append(cell("count_if", n, threads,
                              [base * rng.uniform(0.998, 1.002) for _ in range(5)]))
    made = run_of(cells, host=host, date=f"2024-05-{int(day):02d}T{int(day % 1 * 24):02d}:00:00")
    made.context.run_id = f"{host}-{index}"
    return made


class HistoryTest(StoreCase):
    def setUp(self):
        super().setUp()
        rng = random.Random(3)
        # Day 3: the whole machine 25% slower (drift); day 5 on: STEP 50% slower.
        plan = [(1, 1.0, 1.0), (2, 1.0, 1.0), (3, 1.25, 1.0), (4, 1.0, 1.0), (5, 1.0, 1.5),
                (6, 1.0, 1.5)]
        made = [_series_run(i, "h", day, factor, step, rng)
                for i, (day, factor, step) in enumerate(plan)]
        # Another machine, twice as slow, between them in time.
        made += [_series_run(i, "other", day + 0.5, 1.0, 1.0, rng) for i, day in enumerate((1, 2))]
        random.Random(1).shuffle(made)  # registered out of date order
        with Store.open(self.path) as the_store:
            self.ids = {the_store.register(run): run.context.date for run in made}

    def test_only_the_real_step_is_a_change(self):
        with Store.open(self.path) as the_store:
            series = history.series(the_store, "^count_if/")
            self.assertEqual(history.series(the_store, STEP, machine="nowhere"), [])
        self.assertEqual(len(series), 16)  # 8 cells on 2 machines
        for entry in series:
            with self.subTest(cell=entry["cell"], machine=entry["machine"]):
                self.assertEqual(set(entry), {"cell", "program", "backend", "n", "threads",
                                              "machine", "points", "gaps"})
                self.assertEqual(entry["gaps"], [])  # every run measured every cell
                dates = [p["date"] for p in entry["points"]]
                self.assertEqual(dates, sorted(dates))
                self.assertEqual([self.ids[p["run_id"]] for p in entry["points"]], dates)
                changed = [dates.index(p["date"]) for p in entry["points"] if p["changed"]]
                real = (entry["cell"], entry["machine"]) == (STEP, "h")
                self.assertEqual(changed, [4] if real else [])
        step = next(e for e in series if (e["cell"], e["machine"]) == (STEP, "h"))
        point = step["points"][4]
        self.assertEqual(set(point), {"run_id", "date", "commit", "median", "low", "high",
                                      "changed"})
        self.assertLessEqual(point["low"], point["median"])
        self.assertGreaterEqual(point["high"], point["median"])
        self.assertAlmostEqual(point["median"] / step["points"][3]["median"], 1.5, delta=0.01)

    def test_counts_have_a_history_of_their_own(self):
        with Store.open(self.path) as the_store:
            for day, count in enumerate((1000.0, 1000.0, 1010.0), start=7):
                record = cell("count_if", 1000, 1, [])
                record.instruction_samples = [count]
                the_store.register(run_of([record], host="h", metric="instructions",
                                          date=f"2024-05-0{day}T00:00:00+00:00"))
            times = history.series(the_store, "^count_if/n:1000/threads:1$", machine="h")
        self.assertNotIn("2024-05-09", json.dumps(times))  # a count is no time
        status, out, _ = run_suite(["history", "^count_if/n:1000/threads:1$", "--metric",
                                    "instructions", "--store", str(self.path)])
        self.assertEqual(status, 0)
        self.assertEqual(len([line for line in out.splitlines() if "2024-05" in line]), 3, out)
        marked = [line for line in out.splitlines() if line.endswith(" *")]
        self.assertEqual(len(marked), 1, out)
        self.assertIn("2024-05-09", marked[0])
        self.assertIn("1,010  +1.0% *", marked[0])

    def test_a_timed_run_takes_the_work_ratios_of_a_count_run_of_its_build(self):
        build = dict(host="h", git_commit="abc", git_dirty=False, bin_dir="/b")
        with Store.open(self.path) as the_store:
            for commit, ratio in (("abc", 2.15), ("other", 1.0)):
                cells = [cell("count_if", 1000, t, []) for t in (1, 2)]
                for record, count in zip(cells, (1000.0, 1000.0 * ratio)):
                    record.instruction_samples = [count]
                the_store.register(run_of(cells, metric="instructions", **dict(
                    build, git_commit=commit)))
        timed = run_of([cell("count_if", 1000, 2, [1.0])], **build)
        (two,) = timed.cells
        self.assertEqual(redraw.stored_work_ratios(timed, self.path), {two.key: 2.15})
        for field, value in (("git_dirty", True), ("bin_dir", "/other"), ("git_commit", "new")):
            other = run_of(timed.cells, **dict(build, **{field: value}))
            self.assertIsNone(redraw.stored_work_ratios(other, self.path), field)

    def test_the_command_marks_the_step_and_states_the_rule(self):
        status, out, _ = run_suite(["history", STEP, "--machine", "h", "--store", str(self.path)])
        self.assertEqual(status, 0)
        marked = [line for line in out.splitlines() if line.endswith(" *")]
        self.assertEqual(len(marked), 1, out)
        self.assertRegex(marked[0], r"\+(49|50)\.\d%")
        self.assertIn("2024-05-05", marked[0])
        self.assertIn(history.CHANGE_RULE, out)
        status, out, _ = run_suite(["history", STEP, "--json", "--store", str(self.path)])
        data = json.loads(out)
        self.assertEqual(data["change_rule"], history.CHANGE_RULE)
        self.assertEqual([e["machine"] for e in data["cells"]], ["h", "other"])
        status, _, err = run_suite(["history", "(", "--store", str(self.path)])
        self.assertEqual((status, err.count("\n")), (2, 1), err)
        status, out, _ = run_suite(["history", "--machine", "other", "--json",
                                    "--store", str(self.path)])
        self.assertEqual([r["date"][:10] for r in json.loads(out)["runs"]],
                         ["2024-05-02", "2024-05-01"])
        for cells in ([], [STEP]):  # a machine the store has no run of is said to be so
            status, _, err = run_suite(["history", *cells, "--machine", "nowhere",
                                        "--store", str(self.path)])
            self.assertEqual((status, err.count("\n")), (1, 1), err)
            self.assertIn("--machine nowhere: no run of that machine is stored; it holds runs "
                          "of h, other", err)
        # A host name's control characters cannot break the table.
        with Store.open(self.path) as the_store:
            the_store.register(_series_run(9, "bad\nhost\x1b[2J", 7, 1.0, 1.0, random.Random(1)))
        status, out, _ = run_suite(["history", "--store", str(self.path)])
        self.assertEqual(len(out.splitlines()), 2 + len(self.ids) + 1, out)
        self.assertIn("bad\\nhost\\x1b[2J", out)


    def test_a_run_the_store_cannot_read_is_left_out_until_removed(self):
        # Stored by a version that let two cells of one name through.
        bad = _series_run(9, "h", 4.5, 9.0, 9.0, random.Random(2))
        bad.cells.append(bad.cells[0])
        with Store.open(self.path) as the_store:
            bad_id = the_store.register(bad, self.root)
        store_option = ["--store", str(self.path)]
        reads = [(["history", STEP, "--machine", "h", *store_option], "history"),
                 (["report", "--html", "--store", str(self.path), "--cells", STEP, "--out",
                   str(self.root / "h.html")], "report")]
        expected = [run_suite(argv)[:2] for argv, _ in reads]
        for argv, command in reads + [(["compare", f"@{bad_id}", "@1", *store_option],
                                       "compare")]:
            status, out, err = run_suite(argv)
            self.assertEqual(err.count("\n"), 1, err)
            self.assertIn(f"suite {command}: ", err)
            self.assertIn(f"run @{bad_id} cannot be read (cell 9 (", err)
            self.assertIn(f"`./suite history --remove @{bad_id}", err)
            if command == "compare":  # asked for by name: refused
                self.assertEqual((status, out), (2, ""))
        status, out, err = run_suite(["history", "--remove", f"@{bad_id}", *store_option])
        self.assertEqual((status, err), (0, ""))
        self.assertIn(f"removed @{bad_id} (2024-05-04T12:00:00, h, complete)", out)
        self.assertIn(f"its folder {self.root} is left as it is", out)
        self.assertEqual(sorted(r.id for r in self.stored()), sorted(self.ids))
        self.assertEqual([run_suite(argv) for argv, _ in reads],
                         [(*result, "") for result in expected])
        for argv, code, why in ((["--remove", f"@{bad_id}"], 2, f"has no run @{bad_id}"),
                                (["--remove", "1"], 2, "give a stored run as @N"),
                                (["--remove", "@1", "--store", str(self.root / "none")], 1,
                                 "there is no store")):
            status, out, err = run_suite(["history", *store_option, *argv])
            self.assertEqual((status, out, err.count("\n")), (code, "", 1), err)
            self.assertIn(why, err)
        self.assertTrue(self.root.is_dir())

    def test_a_run_without_the_cell_is_a_gap_in_its_line(self):
        # Day 4.5 on h: STEP failed there and the other cells ran.
        gap = _series_run(9, "h", 4.5, 1.0, 1.0, random.Random(2))
        failed = next(c for c in gap.cells if c.name == STEP)
        failed.status, failed.samples = "failed", []
        with Store.open(self.path) as the_store:
            gap_id = the_store.register(gap)
            series = history.series(the_store, STEP + "$")
        self.assertEqual({e["machine"]: [g["run_id"] for g in e["gaps"]] for e in series},
                         {"h": [gap_id], "other": []})
        page = history_view.render_html(series, "t")
        # h's line (the first series) starts again after the gap; other's is one stroke.
        lines = re.findall(r'data-series="(\d)">\s*<path class="line" d="([^"]+)"', page)
        self.assertEqual([(s, d.count("M")) for s, d in lines], [("0", 2), ("1", 1)])

    def test_the_history_page_charts_the_picked_cells_per_machine(self):
        page = self.root / "history.html"
        status, out, err = run_suite(["report", "--html", "--store", str(self.path),
                                      "--cells", STEP + "$", "--out", str(page)])
        self.assertEqual(status, 0, err)
        self.assertEqual(out.strip(), str(page))
        text = page.read_text()
        # The one cell, with a series for each machine and the step marked.
        self.assertIn(STEP, text)
        self.assertNotIn("count_if/n:1000/threads:1<", text)
        self.assertIn(">h<", text)
        self.assertIn(">other<", text)
        for argv, word in ((["report", "--store", str(self.path)], "--html"),
                           (["report", "--html", "--store", str(self.path), "--cells", "("],
                            "--cells"),
                           (["report", "--html", "--store", str(self.path), "--cells", "zzz"],
                            "no stored cell")):
            status, _, err = run_suite(argv)
            self.assertNotEqual(status, 0)
            self.assertIn(word, err)
            self.assertEqual(err.count("\n"), 1, err)


class CompareByIdTest(StoreCase):
    def test_stored_runs_compare_as_their_folders_do_even_when_gone(self):
        for out in ("one", "two"):
            self.assertEqual(self.suite_run(self.root / out, "--samples", "3")[0], 0)
        by_folder = run_suite(["compare", str(self.root / "one"), str(self.root / "two"),
                               "--json"])
        shutil.rmtree(self.root / "one")
        by_id = run_suite(["compare", "@1", "@2", "--json", "--store", str(self.path)])
        mixed = run_suite(["compare", "@1", str(self.root / "two"), "--json",
                           "--store", str(self.path)])
        self.assertEqual(by_id[0], by_folder[0])
        for result in (by_id, mixed):
            self.assertEqual(json.loads(result[1])["cells"], json.loads(by_folder[1])["cells"])
        self.assertEqual(json.loads(by_id[1])["a"]["path"], "@1")
        for argv, why in ((["@3", "@1", "--store", str(self.path)], "has no run @3"),
                          (["@1", "@2", "--store", str(self.root / "none.sqlite")],
                           "there is no store at")):
            status, out, err = run_suite(["compare", *argv])
            self.assertEqual((status, out, err.count("\n")), (2, "", 1), err)
            self.assertIn(why, err)


if __name__ == "__main__":
    unittest.main()
