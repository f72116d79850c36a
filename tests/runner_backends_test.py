"""The backend axis: which cells each backend adds to the matrix, how a backend
a build lacks is refused or left out, and the paired "which backend wins"
figures, on stand-in programs whose times per backend are known."""

from __future__ import annotations

import json
import os
import pathlib
import tempfile
import unittest
from unittest import mock

import support
from support import TINY, StandinSweep, run_suite

from algobench.plan import matrix
from algobench import model
from algobench.plan.workload import BACKENDS, PARALLEL_MODE, SEQUENTIAL, PAR, WORKLOADS

ALL = tuple(BACKENDS)


class MatrixTest(unittest.TestCase):
    def test_each_program_gets_the_backends_it_is_built_for(self):
        cells = matrix.build(sizes=[1000], threads=[1, 2], backends=list(ALL))
        for workload in WORKLOADS.values():
            with self.subTest(workload.name):
                mine = [c for c in cells if c.program == workload.name]
                self.assertEqual(list(dict.fromkeys(c.backend for c in mine)),
                                 list(workload.backends))
                # A sequential build only echoes its thread count: one cell.
                self.assertEqual([c.threads for c in mine if c.backend == SEQUENTIAL],
                                 [1] if workload.parallel else [])
                self.assertEqual([c.threads for c in mine if c.backend == PAR], [1, 2])
                self.assertEqual(len({c.name for c in mine}), len(mine))
                for c in mine:
                    self.assertEqual(c.executable, workload.executable_for(c.backend))

    def test_the_parallel_mode_alone_is_the_matrix_of_before(self):
        alone = matrix.build(sizes=[1000, 10**6], cpus=2, backends=[PARALLEL_MODE])
        self.assertEqual(alone, matrix.build(sizes=[1000, 10**6], cpus=2))
        self.assertTrue(all("backend" not in c.name for c in alone))

    def test_a_filter_can_pick_a_backend_and_unknown_ones_are_named(self):
        cells = matrix.build(sizes=[1000], threads=[1, 2], backends=list(ALL),
                             pattern="backend:c\\+\\+17-par$")
        self.assertTrue(cells)
        self.assertEqual({c.backend for c in cells}, {PAR})
        with self.assertRaisesRegex(ValueError, "unknown backend.*tbb"):
            matrix.build(backends=["tbb"])


def standin_dir(root: pathlib.Path, backends=ALL, info: dict | None = None) -> pathlib.Path:
    """Stand-in programs of `backends`, inside a tree with build-info.json when `info`."""
    tree = root / "tree"
    tree.mkdir()
    bin_dir = support.standin_bin(tree, "bin", backends)
    if info is not None:
        (tree / "build-info.json").write_text(json.dumps(info))
    return bin_dir


def declared(reasons: dict[str, str]) -> dict:
    """build-info's "backends": every one built but those given a reason."""
    return {"backends": {name: {"built": name not in reasons, "reason": reasons.get(name, "")}
                         for name in ALL}}


class RefusalTest(unittest.TestCase):
    """A C++17 variant without oneTBB would run sequentially: the build leaves it
    out, and the runner refuses to sweep it when asked, saying why."""

    REASON = "oneTBB not found (Debian: libtbb-dev)"

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        root = pathlib.Path(self.tmp.name)
        info = declared({PAR: self.REASON, "c++17-par-unseq": self.REASON})
        self.bin_dir = standin_dir(root, (PARALLEL_MODE, SEQUENTIAL), info)
        self.out = root / "out"

    def sweep(self, *options):
        return run_suite(["run", "--bin-dir", str(self.bin_dir), "--out", str(self.out), *TINY,
                          "--programs", "count_if", "--sizes", "100", *options])

    def test_asking_for_a_backend_that_was_not_built_is_refused_with_the_reason(self):
        status, _, err = self.sweep("--backends", "parallel-mode,c++17-par")
        self.assertEqual(status, 2)
        self.assertEqual(err.splitlines(),
                         [f"suite run: --backends: c++17-par is not built: {self.REASON}"])
        self.assertFalse((self.out / "results.json").exists())

    def test_by_default_it_is_left_out_with_a_note(self):
        status, _, err = self.sweep()
        self.assertEqual(status, 0, err)
        self.assertIn(f"note: c++17-par not swept: {self.REASON}", err)
        cells = model.load(self.out).cells
        self.assertEqual({c.backend for c in cells}, {PARALLEL_MODE, SEQUENTIAL})

    def test_a_bare_folder_of_the_eight_programs_sweeps_the_parallel_mode_quietly(self):
        with StandinSweep() as the_sweep:
            status, _, err = the_sweep.run("--programs", "count_if", "--sizes", "100")
            self.assertEqual(status, 0, err)
            self.assertNotIn("note:", err)
            self.assertEqual({c.backend for c in model.load(the_sweep.out).cells},
                             {PARALLEL_MODE})
            status, _, err = the_sweep.run("--programs", "count_if", "--sizes", "100",
                                           "--backends", "sequential", "--force")
            self.assertEqual(status, 2)
            self.assertIn("sequential is not built", err)
            self.assertIn("bench_count_if_seq", err)


class WinnersTest(unittest.TestCase):
    """Stand-ins whose calls take known times per backend: c++17-par 0.5x,
    c++17-par-unseq 3x and the sequential build 1.25x the parallel mode's, all
    scaling with threads."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        root = pathlib.Path(cls.tmp.name)
        cls.bin_dir = standin_dir(root)
        cls.out = root / "out"
        with mock.patch.dict(os.environ, {
                "STANDIN_BACKEND_SCALE": "c++17-par:0.5,c++17-par-unseq:3,sequential:1.25",
                "STANDIN_SECONDS_PER_THREAD": "1", "STANDIN_SECONDS": "4e-05"}), \
                mock.patch("algobench.measure.runner._contention", side_effect=support.quiet):
            cls.status, cls.stdout, cls.err = run_suite(
                ["run", "--bin-dir", str(cls.bin_dir), "--out", str(cls.out), "--no-bandwidth",
                 "--no-plots", "--samples", "3", "--min-time", "0.001",
                 "--programs", "count_if,find_if", "--sizes", "1000", "--threads", "1,2"])
        cls.results = model.load(cls.out)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_every_backend_was_swept_and_checked(self):
        self.assertEqual(self.status, 0, self.err)
        self.assertEqual({(c.program, c.backend) for c in self.results.cells},
                         {("count_if", b) for b in WORKLOADS["count_if"].backends}
                         | {("find_if", b) for b in WORKLOADS["find_if"].backends})
        self.assertTrue(all(c.ok for c in self.results.cells))

    def test_the_fastest_backend_and_its_paired_figures(self):
        winners = {(w.program, w.threads): w for w in self.results.winners}
        self.assertEqual(set(winners), {("count_if", 1), ("count_if", 2), ("find_if", 1),
                                        ("find_if", 2)})
        count_2 = winners[("count_if", 2)]
        self.assertEqual(count_2.backend, PAR)
        # The sequential build at 1 thread takes 1.25 x 4e-5 s; par on 2 threads 0.5 x 2e-5 s.
        self.assertAlmostEqual(count_2.over_sequential, 5.0, delta=0.05)
        self.assertLessEqual(count_2.over_sequential_low, count_2.over_sequential)
        self.assertEqual(count_2.runner_up, PARALLEL_MODE)
        self.assertAlmostEqual(count_2.lead, 2.0, delta=0.02)
        # find_if is built without the parallel mode: its program is the sequential build,
        # and it competes at 2 threads with its 1-thread cell.
        find_2 = winners[("find_if", 2)]
        self.assertEqual((find_2.backend, find_2.runner_up, find_2.runner_up_threads),
                         (PAR, PARALLEL_MODE, 1))
        self.assertAlmostEqual(find_2.over_sequential, 4.0, delta=0.04)
        self.assertAlmostEqual(find_2.lead, 4.0, delta=0.04)

    def test_the_summary_says_it_and_names_every_cells_backend(self):
        self.assertIn("## Which backend wins", self.stdout)
        row = next(line for line in self.stdout.splitlines()
                   if line.startswith("| find_if | 1000 | 2 |"))
        self.assertIn("| c++17-par |", row)
        self.assertIn("| parallel-mode (1 thread) |", row)
        self.assertIn("| count_if | sequential | 1000 | 1 |", self.stdout)

    def test_compare_matches_cells_by_backend(self):
        status, out, err = run_suite(["compare", str(self.out), str(self.out), "--json"])
        self.assertEqual(status, 0, err)
        compared = json.loads(out)
        names = [c["cell"] for c in compared["cells"]]
        self.assertEqual(len(names), len(self.results.cells))
        self.assertIn("count_if/n:1000/threads:2/backend:c++17-par", names)


class AbBackendsTest(unittest.TestCase):
    def test_ab_pairs_the_parallel_mode_unless_asked_for_more(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = pathlib.Path(tmp)
            a, b = support.standin_bin(root, "A", ALL), support.standin_bin(root, "B", ALL)
            seen = {}
            for name, extra in (("default", []), ("all", ["--backends", "all"])):
                with mock.patch.dict(os.environ, {"STANDIN_SCALE": "B:2"}), \
                        mock.patch("algobench.measure.runner._contention", side_effect=support.quiet):
                    status, _, err = run_suite(
                        ["ab", str(a), str(b), "--out", str(root / name), "--programs",
                         "count_if", "--sizes", "100", "--threads", "1,2", "--samples", "5",
                         "--min-time", "0.001", "--no-bandwidth", "--no-plots", *extra])
                self.assertEqual(status, 0, err)
                pairs = json.loads((root / name / "ab.json").read_text())["pairs"]
                seen[name] = {p["label"] for p in pairs}
                self.assertTrue(all(abs(p["ratio"] - 2) < 0.01 for p in pairs))
            self.assertTrue(all("backend:" not in label for label in seen["default"]))
            self.assertEqual(len(seen["default"]), 2)
            # Pairs are matched within a backend: one per cell of every backend.
            self.assertEqual(len(seen["all"]), len(WORKLOADS["count_if"].backends) * 2 - 1)


class ResultsTest(unittest.TestCase):
    def test_results_of_the_parallel_mode_alone_are_read_as_that_backend(self):
        data = support.run_of([support.cell("count_if", 10, 1, [1.0])]).to_dict()
        data["schema_version"] = 2
        del data["cells"][0]["backend"]
        run = model.from_dict(json.loads(json.dumps(data)))
        self.assertEqual(run.cells[0].backend, PARALLEL_MODE)
        self.assertEqual(run.cells[0].key[:2], ("count_if", PARALLEL_MODE))


if __name__ == "__main__":
    unittest.main()
