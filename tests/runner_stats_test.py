"""Statistics, derived figures, bandwidth shares, the summary and the warnings
the figures trigger, on known samples."""

import math
import pathlib
import tempfile
import unittest

from support import cell, run_of

from algobench import export
from algobench.judge import findings, stats
from algobench.judge.derive import derive
from algobench.model import Context


class DescribeTest(unittest.TestCase):
    def test_known_samples(self):
        result = stats.describe([4.0, 1.0, 3.0, 2.0])
        self.assertEqual(result.min, 1.0)
        self.assertEqual(result.median, 2.5)
        self.assertEqual(result.mean, 2.5)
        # Sample standard deviation (n-1): sqrt(5/3).
        self.assertAlmostEqual(result.stddev, math.sqrt(5 / 3), places=12)
        self.assertAlmostEqual(result.cv, math.sqrt(5 / 3) / 2.5, places=12)

    def test_figures_that_cannot_be_formed_are_none(self):
        self.assertIsNone(stats.describe([]))
        one = stats.describe([2e-6])
        self.assertEqual((one.median, one.stddev, one.cv), (2e-6, None, None))
        zeros = stats.describe([0.0, 0.0])
        self.assertEqual((zeros.stddev, zeros.cv), (0.0, None))


class MedianIntervalTest(unittest.TestCase):
    def test_order_statistics_and_their_coverage(self):
        # Five values: nothing narrower than min..max is honest, at 1 - 2/32.
        self.assertEqual(stats.median_interval([3.0, 1.0, 5.0, 2.0, 4.0]), (1.0, 5.0, 0.9375))
        # Ten values: the 2nd smallest to the 2nd largest covers 1 - 2 * 11/1024;
        # the 3rd would cover only 89%.
        low, high, coverage = stats.median_interval([float(v) for v in range(10)])
        self.assertEqual((low, high), (1.0, 8.0))
        self.assertAlmostEqual(coverage, 1 - 22 / 1024)
        self.assertEqual(stats.median_interval([1.0, 2.0, 3.0])[2], 0.75)
        self.assertIsNone(stats.median_interval([1.0]))


class DeriveTest(unittest.TestCase):
    def setUp(self):
        self.cells = [
            cell("count_if", 1000, 1, [4e-3, 5e-3, 6e-3]),
            cell("count_if", 1000, 2, [2e-3, 2.5e-3, 9e-3]),
            cell("count_if", 2000, 2, [1e-3, 1e-3]),  # no 1-thread cell at this size
            cell("partial_sum", 1000, 1, [0.0, 0.0]),
            cell("set_intersection", 1000, 1, [1e-3], status="failed"),
            cell("set_intersection", 1000, 2, [1e-3, 1e-3]),
        ]
        derive(run_of(self.cells))

    def test_speedup_and_efficiency_use_medians_at_one_thread(self):
        one, two, unpaired, _, failed, orphan = self.cells
        self.assertEqual((one.speedup, one.efficiency), (1.0, 1.0))
        self.assertAlmostEqual(two.speedup, 5e-3 / 2.5e-3)
        self.assertAlmostEqual(two.efficiency, 1.0)
        self.assertIsNone(unpaired.speedup)
        self.assertIsNone(failed.stats)
        self.assertIsNone(orphan.speedup)  # its 1-thread cell failed

    def test_throughput_from_the_bytes_table(self):
        one = self.cells[0]
        self.assertAlmostEqual(one.items_per_second, 1000 / 5e-3)
        self.assertAlmostEqual(one.bytes_per_second, 8 * 1000 / 5e-3)  # n doubles read
        orphan = self.cells[-1]
        self.assertAlmostEqual(orphan.bytes_per_second, 16 * 1000 / 1e-3)

    def test_zero_time_gives_no_rate(self):
        zero = self.cells[3]
        self.assertEqual(zero.stats.median, 0.0)
        self.assertIsNone(zero.items_per_second)
        self.assertIsNone(zero.bytes_per_second)


class BandwidthShareTest(unittest.TestCase):
    def test_share_against_the_reference_kernel_at_the_same_thread_count(self):
        cells = [cell("count_if", 10**6, 2, [1e-3, 1e-3]),        # reads: sum
                 cell("partial_sum", 10**6, 2, [4e-3, 4e-3]),     # reads and writes: copy
                 cell("find_if", 10**6, 1, [1e-3, 1e-3]),         # compute-bound: none
                 cell("count_if", 10**6, 4, [1e-3, 1e-3])]        # no probe figure for 4
        run = derive(run_of(cells, {"1": {"sum": 1e10, "copy": 1e10, "triad": 1e10},
                                    "2": {"sum": 16e9, "copy": 8e9, "triad": 9e9}}))
        self.assertAlmostEqual(cells[0].bandwidth_share, 8e9 / 16e9)
        self.assertAlmostEqual(cells[1].bandwidth_share, 4e9 / 8e9)
        self.assertIsNone(cells[2].bandwidth_share)
        self.assertIsNone(cells[3].bandwidth_share)
        table = export.summary.render_markdown(run)
        self.assertIn("| count_if | 1000000 | 2 | 1 | 1 ms |", table)
        self.assertRegex(table, r"\| count_if \| 1000000 \| 2 \|.*\| 50 \| ok \|")
        self.assertRegex(table, r"\| find_if \| 1000000 \| 1 \|.*\|  \| ok \|")
        # Without probe figures every share goes back to blank.
        run.bandwidth = None
        derive(run)
        self.assertEqual({c.bandwidth_share for c in cells}, {None})

    def test_summary_files_from_results_alone(self):
        cells = [cell("count_if", 100, 1, [1e-6, 2e-6]),
                 cell("count_if", 100, 2, [], status="failed")]
        run = derive(run_of(cells))
        with tempfile.TemporaryDirectory() as directory:
            export.summary.write(pathlib.Path(directory), run)
            export.summary_csv.write(pathlib.Path(directory), run)
            markdown = (pathlib.Path(directory) / "summary.md").read_text()
            rows = (pathlib.Path(directory) / "summary.csv").read_text().splitlines()
        self.assertIn("- `count_if/n:100/threads:2`: exit status 1", markdown)
        self.assertEqual(len(rows), 3)
        self.assertIn("1.5e-06", rows[1])  # full precision median


class WarningTest(unittest.TestCase):
    def findings(self, cells):
        return findings.cell_findings(derive(run_of(cells)), 0.05)

    def test_noisy_cells(self):
        (noisy,) = self.findings([cell("count_if", 10**6, 1, [1.0, 1.2, 0.8]),
                                  cell("nth_element", 10**6, 1, [1.0, 1.2, 0.8]),
                                  cell("find_if", 10**6, 1, [1.0, 1.01, 0.99])])
        self.assertEqual(noisy.kind, findings.NOISY)
        self.assertEqual(noisy.cells, ["count_if/n:1000000/threads:1",
                                       "nth_element/n:1000000/threads:1"])
        self.assertIn("in 2 cells: count_if n=1e6 t=1 (20.0%), nth_element n=1e6 t=1 (20.0%)",
                      noisy.line)
        # One call per sample: a longer loop is advice for count_if alone.
        self.assertIn("a longer timed loop for count_if (--min-time)", noisy.advice)
        (one_call,) = self.findings([cell("nth_element", 10**6, 1, [1.0, 1.2, 0.8])])
        self.assertNotIn("--min-time", one_call.line)
        self.assertNotIn("--pin", one_call.line)

    def test_no_speedup_where_the_parallel_mode_engages_no_team_below(self):
        found = self.findings([
            cell("count_if", 10**5, 1, [1e-3, 1e-3]), cell("count_if", 10**5, 2, [2e-3, 2e-3]),
            cell("count_if", 500, 1, [1e-6, 1e-6]), cell("count_if", 500, 2, [2e-6, 2e-6]),
            cell("unique_copy", 10**4, 1, [1e-5, 1e-5]), cell("unique_copy", 10**4, 2, [2e-5, 2e-5]),
            cell("partial_sum", 10**5, 1, [2e-3, 2e-3]), cell("partial_sum", 10**5, 2, [1e-3, 1e-3]),
        ])
        self.assertEqual([f.kind for f in found], [findings.NO_SPEEDUP, findings.NO_TEAM], found)
        self.assertEqual(found[0].cells, ["count_if/n:100000/threads:2"])
        self.assertIn("(count_if from n = 1000): count_if n=1e5 t=2 (0.50x)", found[0].line)
        # Below its threshold (unique_copy's is n > 10000) the call never had a team.
        self.assertEqual(found[1].cells, ["count_if/n:500/threads:2",
                                          "unique_copy/n:10000/threads:2"])
        self.assertIn("no team for count_if below n = 1000 (_Settings::count_minimal_n) and "
                      "unique_copy below n = 10001 (_Settings::unique_copy_minimal_n)",
                      found[1].line)

    def test_machine_and_build(self):
        context = Context(build_type="RelWithDebInfo", usable_cpus=2,
                          governors={"0": "performance", "1": "powersave"})
        warnings = findings.machine_warnings(context, [1, 2, 4, 8])
        self.assertEqual(len(warnings), 3)
        self.assertIn("RelWithDebInfo build, not Release", warnings[0])
        self.assertIn("powersave on CPU(s) 1,", warnings[1])
        self.assertIn("thread count(s) 4, 8 exceed the 2 usable CPUs", warnings[2])
        quiet = Context(build_type="Release", usable_cpus=2, governors={"0": "performance"})
        self.assertEqual(findings.machine_warnings(quiet, [1, 2]), [])

    def test_stable_partition_is_named_once_as_sequential(self):
        (sequential,) = self.findings([cell("stable_partition", n, t, [1e-3, 1e-3])
                                       for n in (10**4, 10**5) for t in (1, 2)])
        self.assertIn("no parallel stable_partition", sequential.line)
        self.assertEqual(sequential.cells, ["stable_partition/n:10000/threads:2",
                                            "stable_partition/n:100000/threads:2"])


if __name__ == "__main__":
    unittest.main()
