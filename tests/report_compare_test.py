"""`suite compare`: matching, ratios with bootstrap intervals, verdicts, CI exit status."""

import copy
import json
import pathlib
import tempfile
import unittest

from support import REPORT_FIXTURES, cell as made_cell, run_of, run_suite

from algobench import compare, model

RUN_A, RUN_B = REPORT_FIXTURES / "run_a", REPORT_FIXTURES / "run_b"


def run_main(*argv):
    return run_suite(["compare", *(str(a) for a in argv)])


def results_with(cells, **context):
    return run_of(cells, **context)


def cell(samples, program="count_if", n=1000, threads=1, status="ok"):
    return made_cell(program, n, threads, samples, status=status)


class FixtureComparisonTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.result = compare.compare(model.load(RUN_A), model.load(RUN_B))
        cls.by_label = {m.label: m for m in cls.result.matched}

    def test_known_slowdown_and_speedup_are_found(self):
        slow = self.by_label["count_if/n:1000000/threads:2"]
        self.assertAlmostEqual(slow.ratio, 2.0, places=6)
        self.assertEqual(slow.verdict, compare.SLOWER)
        self.assertLess(slow.low, 2.0)
        self.assertGreater(slow.high, 2.0)
        fast = self.by_label["find_if/n:10000000/threads:1"]
        self.assertAlmostEqual(fast.ratio, 0.5, places=6)
        self.assertEqual(fast.verdict, compare.FASTER)
        others = [m for m in self.result.matched if m not in (slow, fast)]
        self.assertEqual({m.verdict for m in others}, {compare.UNCLEAR})

    def test_equal_samples_give_ratio_one_and_no_clear_change(self):
        same = self.by_label["count_if/n:100000/threads:1"]
        self.assertEqual(same.ratio, 1.0)
        self.assertLessEqual(same.low, 1.0)
        self.assertGreaterEqual(same.high, 1.0)
        self.assertEqual(same.verdict, compare.UNCLEAR)

    def test_cells_in_one_run_only_are_listed_not_matched(self):
        self.assertEqual(self.result.only_a, ["nth_element/n:1000000/threads:1/fourth:750000"])
        self.assertEqual(self.result.only_b, ["partial_sort/n:1000000/threads:1/fourth:750000"])
        matched_programs = {m.label.split("/")[0] for m in self.result.matched}
        self.assertFalse(matched_programs & {"nth_element", "partial_sort"})

    def test_failed_cells_are_reported_with_the_side_and_reason(self):
        reasons = dict(self.result.not_compared)
        self.assertIn("A: failed", reasons["unique_copy/n:1000000/threads:2"])
        self.assertIn("cannot allocate", reasons["unique_copy/n:1000000/threads:2"])
        self.assertIn("B: failed", reasons["stable_partition/n:1000000/threads:1"])

    def test_geometric_mean_covers_all_matched_cells(self):
        # One cell at 2, one at 0.5, the identical ones at 1: the fresh-noise cells decide.
        self.assertEqual(len(self.result.matched), 21)
        self.assertAlmostEqual(self.result.geomean, 1.0, delta=0.01)

    def test_output_is_repeatable(self):
        first = run_main(RUN_A, RUN_B)
        second = run_main(RUN_A, RUN_B)
        self.assertEqual(first, second)
        self.assertIn("count_if/n:1000000/threads:2", first[1])


class VerdictRuleTest(unittest.TestCase):
    def compare_one(self, a, b):
        result = compare.compare(results_with([cell(a)]), results_with([cell(b)]))
        self.assertEqual(len(result.matched), 1)
        return result.matched[0]

    def test_wide_noise_keeps_a_shifted_median_unclear(self):
        # The medians differ by 5%, far less than the spread of the samples.
        m = self.compare_one([1.0, 2.0, 3.0, 1.5, 2.5], [1.05, 2.1, 3.15, 1.6, 2.6])
        self.assertGreater(m.ratio, 1.02)
        self.assertLess(m.low, 1.0)
        self.assertEqual(m.verdict, compare.UNCLEAR)

    def test_noise_floor(self):
        a = [1.0, 1.001, 0.999, 1.0005, 0.9995]
        self.assertEqual(self.compare_one(a, [x * 1.01 for x in a]).verdict, compare.UNCLEAR)
        self.assertEqual(self.compare_one(a, [x * 0.99 for x in a]).verdict, compare.UNCLEAR)
        self.assertEqual(self.compare_one(a, [x * 1.05 for x in a]).verdict, compare.SLOWER)
        self.assertEqual(self.compare_one(a, [x * 0.95 for x in a]).verdict, compare.FASTER)

    def test_too_few_samples_give_no_verdict_and_never_fail(self):
        m = self.compare_one([1.0, 1.0], [3.0, 3.0])
        self.assertEqual(m.verdict, compare.TOO_FEW)
        result = compare.compare(results_with([cell([1.0, 1.0])]), results_with([cell([3.0, 3.0])]))
        self.assertEqual(result.slowdowns_above(5), [])

    def test_empty_samples_or_bad_times_are_not_compared(self):
        result = compare.compare(
            results_with([cell([]), cell([1.0, float("nan"), 1.0], threads=2)]),
            results_with([cell([1.0, 1.0, 1.0]), cell([1.0, 1.0, 1.0], threads=2)]),
        )
        self.assertEqual(result.matched, [])
        self.assertEqual(len(result.not_compared), 2)

    def test_duplicate_cells_are_an_error(self):
        with self.assertRaises(compare.CompareError):
            compare.compare(results_with([cell([1.0]), cell([2.0])]), results_with([]))


class CommandLineTest(unittest.TestCase):
    def test_fail_above_exit_status(self):
        status, _, err = run_main(RUN_A, RUN_B, "--fail-above", "10")
        self.assertEqual(status, 1)
        self.assertIn("count_if/n:1000000/threads:2", err)
        # A 100% slowdown stays under a 150% limit; without the option nothing fails.
        self.assertEqual(run_main(RUN_A, RUN_B, "--fail-above", "150")[0], 0)
        self.assertEqual(run_main(RUN_A, RUN_B)[0], 0)
        # The reverse comparison only has a clear speed-up at that cell and a slowdown at find_if.
        status, _, err = run_main(RUN_B, RUN_A, "--fail-above", "10")
        self.assertEqual(status, 1)
        self.assertIn("find_if/n:10000000/threads:1", err)
        self.assertNotIn("count_if", err)

    def test_markdown_to_stdout_and_file(self):
        status, out, _ = run_main(RUN_A, RUN_B / "results.json", "--markdown")
        self.assertEqual(status, 0)
        self.assertIn("| cell | median A | median B | B/A | 95% CI | change | verdict |", out)
        row = next(line for line in out.splitlines() if "count_if/n:1000000/threads:2" in line)
        self.assertRegex(row, r"\| 2\.000 \| 1\.9\d\d \.\. 2\.0\d\d \| \+100\.0% \| slower \|$")
        self.assertIn("## Only in A", out)
        with tempfile.TemporaryDirectory() as tmp:
            target = pathlib.Path(tmp) / "cmp.md"
            status, text, _ = run_main(RUN_A, RUN_B, "--out", target)
            self.assertEqual(status, 0)
            self.assertEqual(target.read_text(), out.replace(str(RUN_B / "results.json"), str(RUN_B)))
            self.assertNotIn("| cell |", text)  # the terminal still gets the plain table

    def test_unreadable_input(self):
        with tempfile.TemporaryDirectory() as tmp:
            status, _, err = run_main(pathlib.Path(tmp) / "missing", RUN_B)
            self.assertEqual(status, 2)
            self.assertIn("cannot read", err)
            other = pathlib.Path(tmp) / "results.json"
            other.write_text(json.dumps({"schema_version": 99, "context": {}, "cells": []}))
            status, _, err = run_main(tmp, RUN_B)
            self.assertEqual(status, 2)
            self.assertIn("schema version", err)


class ContextMismatchTest(unittest.TestCase):
    def test_warning_names_each_differing_field(self):
        a = model.load(RUN_A)
        b = copy.deepcopy(model.load(RUN_B))
        b.context.compiler_version = "13.1.0"
        b.context.host = "other-host"
        b.context.build_flags = "-O2"
        result = compare.compare(a, b)
        self.assertEqual(len(result.warnings), 2)
        self.assertIn('host: "bench-host" (A) vs "other-host" (B)', result.warnings[0])
        self.assertIn("compiler_version", result.warnings[1])
        self.assertEqual(len(result.notes), 1)
        self.assertIn("build_flags", result.notes[0])
        with tempfile.TemporaryDirectory() as tmp:
            path = pathlib.Path(tmp) / "results.json"
            b.save(tmp)
            _, out, _ = run_main(RUN_A, path)
            self.assertIn("warning: the runs differ in compiler_version", out)
            _, _, err = run_main(RUN_A, path, "--out", pathlib.Path(tmp) / "c.md")
            self.assertIn("warning: the runs differ in host", err)
            self.assertIn("**Warning:**", (pathlib.Path(tmp) / "c.md").read_text())

    def test_same_machine_gives_no_warning(self):
        # The fixtures differ only in commit and date.
        result = compare.compare(model.load(RUN_A), model.load(RUN_B))
        self.assertEqual(result.warnings, [])
        self.assertEqual(result.notes, [])


if __name__ == "__main__":
    unittest.main()
