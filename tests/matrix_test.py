"""The sweep matrix: defaults, narrowing, the arguments each cell passes and
the results the runner expects from them."""

import math
import re
import tempfile
import unittest

from support import MACHINES, ROOT, StandinSweep, cell, on_machine, run_of, run_suite, standin_bin

from algobench.export.summary import render_markdown
from algobench.judge.derive import derive
from algobench.measure import estimate, shape
from algobench import cli
from algobench.plan import matrix
from algobench.plan.workload import BACKENDS, WORKLOADS, _NegativeSineCount

SEQUENTIAL = {name for name, w in WORKLOADS.items() if not w.parallel}
# Programs whose thread counts change how the timed call runs.
THREADED = {name for name, w in WORKLOADS.items() if w.has_parallel_call}
# Built in the parallel mode, yet the call runs sequentially at any thread count.
NO_PARALLEL_CALL = {name for name, w in WORKLOADS.items() if w.parallel} - THREADED


class DefaultsTest(unittest.TestCase):
    def test_thread_ladder(self):
        self.assertEqual(matrix.default_threads(1), [1])
        self.assertEqual(matrix.default_threads(2), [1, 2])
        self.assertEqual(matrix.default_threads(6), [1, 2, 4, 6])
        self.assertEqual(matrix.default_threads(8), [1, 2, 4, 8])

    def test_recorded_machines(self):
        """Each recorded machine's shape, its ladder with the counts beyond the cores
        marked, and the efficiency of the top one against the cores."""
        cases = (  # machine, usable CPUs given, (sockets, cores, threads per core, nodes,
            # usable, source), ladder, a part of the summary
            ("two-socket", None, (2, 32, 2, 2, "0-63", "lscpu"), [1, 2, 4, 8, 16, 32, 64],
             "node 1: CPUs 16-31,48-63, 128 GiB"),
            ("one-socket", None, (1, 4, 1, 1, "0-3", "/sys"), [1, 2, 4], "4 usable CPUs (0-3);"),
            ("container", None, (2, 6, 2, 2, "4-7,16-17,28-31", "lscpu"), [1, 2, 4, 6, 10],
             "up to 2 hardware threads per core: 10 usable CPUs (4-7,16-17,28-31 of 0-47 online)"),
            ("two-socket", "0-2,32", (1, 3, 2, 2, "0-2,32", "lscpu"), [1, 2, 3, 4], "of 0-63"),
        )
        for machine, usable, expected, ladder, said in cases:
            with self.subTest(machine=machine, usable=usable), on_machine(machine, usable):
                record = shape.described().record()
                self.assertEqual((record["sockets"], record["cores"], record["threads_per_core"],
                                  len(record["nodes"]), record["usable"], record["source"]),
                                 expected)
                self.assertIn(said, record["summary"])
                cpus, cores = record["hardware_threads"], record["cores"]
                self.assertEqual(matrix.default_threads(cpus, cores), ladder)
                top = ladder[-1]
                run = derive(run_of([cell("count_if", 10**6, 1, [1.0] * 3, rounds=True),
                                     cell("count_if", 10**6, top, [1 / cores] * 3, rounds=True)],
                                    shape=record))
                self.assertAlmostEqual(run.cells[1].efficiency, 1.0)
                self.assertIn(f"| {top} (SMT) |" if top > cores else f"| {top} |",
                              render_markdown(run))
        self.assertEqual(shape.read(MACHINES / "two-socket").caches[-1],
                         {"type": "Unified", "level": 3, "size": 30 << 20, "num_sharing": 32})
        with on_machine("two-socket"):
            status, out, err = run_suite(["run", "--dry-run", "--programs", "count_if", "--sizes",
                                          "1000", "--backends", "parallel-mode"])
            self.assertEqual((status, out.splitlines()[-1]), (0, "7 cells"))
            self.assertIn("default thread counts 1, 2, 4, 8, 16, 32, 64 (SMT)\n", err)
            status, _, err = run_suite(["run", "--programs", "count_if"])
            self.assertEqual(status, 2)
            self.assertIn("ALGOBENCH_SYS_ROOT is set", err)

    def test_default_matrix(self):
        cells = matrix.build(cpus=6)
        self.assertEqual({c.program for c in cells}, set(WORKLOADS))
        self.assertEqual(sorted({c.n for c in cells}), [10**4, 10**5, 10**6, 10**7])
        for program in WORKLOADS:
            threads = sorted({c.threads for c in cells if c.program == program})
            self.assertEqual(threads, [1, 2, 4, 6] if program in THREADED else [1], program)
        self.assertEqual(len(cells), len(THREADED) * 4 * 4 + (len(WORKLOADS) - len(THREADED)) * 4)
        self.assertEqual(len({c.name for c in cells}), len(cells))
        self.assertEqual(cells[0].name, "set_intersection/n:10000/threads:1")

    def test_explicit_threads_sweep_every_parallel_mode_program(self):
        # The table has a parallel-mode program without a parallel call: what this checks.
        self.assertTrue(NO_PARALLEL_CALL)
        cells = matrix.build(sizes=[100], threads=[3, 1], cpus=6)
        for program in WORKLOADS:
            threads = [c.threads for c in cells if c.program == program]
            self.assertEqual(threads, [1] if program in SEQUENTIAL else [1, 3], program)
        # Naming only such a program still runs it at one thread by default.
        for program in NO_PARALLEL_CALL:
            self.assertEqual([c.threads for c in matrix.build([program], [100], cpus=4)], [1])

    def test_ladder(self):
        self.assertEqual(matrix.parse_sizes("1e4:1e6:2"), [10000, 31623, 100000, 316228, 1000000])
        self.assertEqual(matrix.parse_sizes("1e3:1e4:1"), [1000, 10000])
        self.assertEqual(matrix.parse_sizes("12, 1_000,2e3"), [12, 1000, 2000])
        for bad in ("1.5", "a", "1e4:1e3:1", "1:2"):
            with self.subTest(bad), self.assertRaises(ValueError):
                matrix.parse_sizes(bad)


class NarrowingTest(unittest.TestCase):
    def test_options_combine(self):
        cells = matrix.build(["count_if", "find_if"], [100, 200], [1, 3], "n:200|find_if")
        self.assertEqual([c.name for c in cells], [
            "count_if/n:200/threads:1", "count_if/n:200/threads:3",
            "find_if/n:100/threads:1", "find_if/n:200/threads:1"])

    def test_refusals(self):
        for kwargs in ({"programs": ["sort"]}, {"threads": [0]}, {"sizes": [-1]}):
            with self.subTest(kwargs), self.assertRaises(ValueError):
                matrix.build(**kwargs)

    def test_command_line(self):
        status, _, err = run_suite(["run", "--programs", "sort", "--dry-run"])
        self.assertEqual(status, 2)
        self.assertIn("unknown program", err)
        status, _, err = run_suite(["run", "--filter", "nothing-matches", "--dry-run"])
        self.assertEqual((status, err.strip()), (2, "suite run: no cell matches"))

    def test_dry_run_lists_exact_commands_and_runs_nothing(self):
        with StandinSweep() as sweep:
            status, out, _ = sweep.run("--dry-run", "--pin", "--programs", "count_if,nth_element",
                                       "--sizes", "1000", "--threads", "2")
            self.assertFalse(sweep.out.exists())
        self.assertEqual(status, 0)
        self.assertIn("count_if/n:1000/threads:2\n", out)
        self.assertRegex(out, r"warm-up:  \[CPUs \d+([-,]\d+)?\] OMP_PROC_BIND=close "
                              r"OMP_PLACES=\{\d+\}(,\{\d+\})? \S+/bench_count_if 1000 2 1\n")
        # The sequential program is pinned to one CPU, told no places, and gets its
        # k = n*3/4 explicitly.
        self.assertRegex(out, r"warm-up:  \[CPUs \d+\] \S+/bench_nth_element 1000 1 1 750\n")
        self.assertTrue(out.endswith("2 cells\n"))
        # A bare --pin is close, and leaves what follows it (ab's builds) alone.
        for argv, pin in ((["ab", "--pin", "A", "B"], "close"), (["run", "--pin", "spread"],
                                                                 "spread"), (["run"], None)):
            parsed = cli.parser().parse_args(argv)
            self.assertEqual((parsed.pin, getattr(parsed, "a", "A")), (pin, "A"))
        # The default sweep's programs, sizes and backends on 64 CPUs, in 15 minutes.
        with tempfile.TemporaryDirectory() as root:
            status, out, err = run_suite(["run", "--dry-run", "--threads", "1,2,4,8,16,32,64",
                                          "--budget", "15", "--bin-dir",
                                          str(standin_bin(root, "every", tuple(BACKENDS)))])
        kept = re.search(r"estimated duration: (\d+) min \((\d+) cells", err)
        self.assertEqual((status, out.splitlines()[-1]), (0, f"{kept[2]} cells"))
        self.assertLessEqual(int(kept[1]), 15)
        self.assertRegex(err, r"note: --budget 15: left out .*thread counts 2[ ,]")

    def test_a_budget_keeps_the_ends_of_both_ladders(self):
        cells = matrix.build(["count_if"], [10**4, 10**5, 10**6, 10**7], [1, 2, 4, 8, 16, 32, 64])
        # (budget in cells, sizes left out, thread counts left out)
        for budget, sizes, threads in ((28, [], []), (24, [], [2]), (16, [], [2, 8, 32]),
                                       (12, [], [2, 4, 8, 32]), (9, [10**5], [2, 4, 8, 32]),
                                       (6, [10**5], [2, 4, 8, 16, 32]),
                                       (4, [10**5, 10**6], [2, 4, 8, 16, 32])):
            with self.subTest(budget=budget):
                fitted = estimate.fit(cells, budget, len)
                self.assertEqual((fitted.sizes, fitted.threads), (sizes, threads))
                self.assertEqual(fitted.cells, [c for c in cells if c.n not in sizes
                                                and c.threads not in threads])
                self.assertLessEqual(fitted.seconds, budget)
        with self.assertRaisesRegex(ValueError, r"sizes 10000, 10000000; thread counts 1, 64: "
                                                r"4 cells\) take about 4 s"):
            estimate.fit(cells, 3, len)

    def test_estimate(self):
        one = lambda program: matrix.build([program], [10**6], [1])  # noqa: E731
        costs = lambda program, setup, call: {(program, 10**6, 1, "parallel-mode"):  # noqa: E731
                                              (setup, call)}
        plain = dict(extra_rounds=False, bandwidth=False)
        # (cells, sweep, (setup, call), seconds): a fixed 10 s; per process 0.03 s and its
        # setup; a loop of 2 ms calls of two --min-time, after a warm-up, a probe of 10
        # calls and one of 32; extra rounds of a tenth of the planned ones; the files 7
        # times at 2 ms a cell; the probe 4 s a thread count.
        for cells, sweep, known, seconds in (
                (one("count_if"), {}, (0.03, 0.002), 10 + 0.266 + 1.1 * 5 * 0.16 + 0.014 + 4),
                (one("count_if"), dict(builds=2, **plain), (0.03, 0.002),
                 10 + 2 * (0.266 + 5 * 0.16 + 0.014)),
                # A call of 0.2 s: a loop of one, probes of 1 and 10.
                (one("count_if"), plain, (0.5, 0.2), 10 + 2 * 0.53 + 2.2 + 5 * 0.73 + 0.014),
                # One call per process, whatever --min-time.
                (one("partial_sort"), plain, (0.03, 0.45), 10 + 6 * (0.06 + 0.45) + 0.014)):
            with self.subTest(program=cells[0].program, sweep=sweep, known=known):
                self.assertAlmostEqual(
                    estimate.seconds(cells, estimate.Settings(5, 0.05, **sweep),
                                     costs(cells[0].program, *known)), seconds, places=6)


class ArgumentsAndResultsTest(unittest.TestCase):
    def test_fourth_arguments(self):
        self.assertEqual(matrix.Cell("find_if", 1000, 1).fourth, 999)
        self.assertEqual(matrix.Cell("nth_element", 1001, 1).fourth, 750)
        self.assertEqual(matrix.Cell("partial_sort", 10**7, 1).fourth, 7_500_000)
        self.assertIsNone(matrix.Cell("count_if", 1000, 1).fourth)

    def test_expected_results(self):
        expect = lambda program, n, fourth=None: WORKLOADS[program].expected_result(n, fourth)
        self.assertEqual(expect("set_intersection", 1001), 500)
        self.assertEqual(expect("count_if", 7), 3)
        self.assertEqual(expect("find_if", 1000, 999), 999)
        self.assertEqual(expect("find_if", 1000, 1000), 1000)  # no zero stored: not found
        self.assertEqual(expect("find_if", 1000, -5), 1000)
        self.assertIsNone(expect("partial_sort", 1000, 750))

    def test_negative_sine_counts(self):
        count = _NegativeSineCount()
        # Values the program prints for these sizes.
        self.assertEqual(count(12), 5)
        self.assertEqual(count(100000), 49999)
        self.assertEqual(count(10000), 4998)  # from the remembered 12, not from 100000
        self.assertEqual(count(1000), 500)
        self.assertEqual(count(0), 0)
        self.assertEqual(count(54321), sum(1 for i in range(54321) if math.sin(i) < 0))


class DocsFiguresTest(unittest.TestCase):
    """The counts README.md and docs/ quote, held to what the runner says."""

    def test_cell_counts_on_two_cpus(self):
        rows = re.findall(r"^\| `\./suite (run[^`]*)` \| (\d+) \| (\d+) \|$",
                          (ROOT / "docs" / "running.md").read_text(), re.M)
        self.assertEqual(len(rows), 3)
        self.assertIn(f"({rows[0][1]} cells on 2 CPUs)", (ROOT / "README.md").read_text())
        with tempfile.TemporaryDirectory() as root, on_machine("one-socket", "0-1"):
            every = standin_bin(root, "every", tuple(BACKENDS))
            no_tbb = standin_bin(root, "no-tbb", ("parallel-mode", "sequential"))
            for command, *quoted in rows:
                for bin_dir, count in zip((every, no_tbb), quoted):
                    status, out, _ = run_suite([*command.split(), "--dry-run", "--bin-dir", str(bin_dir)])
                    self.assertEqual((status, out.splitlines()[-1]), (0, f"{count} cells"),
                                     (command, bin_dir.name))

    def test_executables_and_programs(self):
        built = lambda names: 1 + sum(len(set(w.backends) & names) for w in WORKLOADS.values())
        expected = (built(set(BACKENDS)), built({"parallel-mode", "sequential"}))
        for page in ("README.md", "docs/backends.md"):
            quoted = re.search(r"(\d+) executables with oneTBB.*?(\d+) without it",
                               (ROOT / page).read_text(), re.S)
            self.assertEqual(tuple(map(int, quoted.groups())), expected, page)
        listed = re.search(r"Eight programs each time one algorithm \(([^)]*)\)",
                           (ROOT / "README.md").read_text()).group(1)
        self.assertEqual(re.findall(r"`(\w+)`", listed), list(WORKLOADS))
        table = re.findall(r"^\| `bench_(\w+)` \|", (ROOT / "docs" / "programs.md").read_text(), re.M)
        self.assertEqual(table, list(WORKLOADS))


if __name__ == "__main__":
    unittest.main()
