"""`suite compare`: matching, ratios with bootstrap intervals, the run-wide shift,
verdicts, the gate and the exit status."""

import copy
import json
import math
import pathlib
import random
import statistics
import tempfile
import unittest
from xml.etree import ElementTree

from support import MACHINES, REPORT_FIXTURES, cell, run_of, run_suite

from algobench.judge import compare, gate, pairing, stats, thresholds, verdict
from algobench import model
from algobench.plan import metrics
from algobench.record import store
from algobench.export import gate_report
from algobench.measure import shape

RUN_A, RUN_B = REPORT_FIXTURES / "run_a", REPORT_FIXTURES / "run_b"


def run_main(*argv):
    return run_suite(["compare", *(str(a) for a in argv)])


def drifting_runs(count, drift=1.0, noise=0.005, samples=7, jitter=0.0, changed=None, seed=1):
    """Two runs of `count` cells with Gaussian sample noise (a fraction), B slower by
    `drift` times a per-cell factor whose logs are spread as a normal distribution of
    standard deviation `jitter` (its quantiles, shuffled), and by changed[i] more at cell i."""
    rng = random.Random(seed)
    quantiles = [statistics.NormalDist(0, jitter or 1).inv_cdf((i + 0.5) / count)
                 for i in range(count)]
    rng.shuffle(quantiles)
    cells_a, cells_b = [], []
    for i in range(count):
        base = 1e-3 * (1 + i % 7)
        factor = drift * (math.exp(quantiles[i]) if jitter else 1) * (changed or {}).get(i, 1.0)
        for cells, scale in ((cells_a, base), (cells_b, base * factor)):
            cells.append(cell("count_if", 1000 + i, 1,
                              [scale * (1 + rng.gauss(0, noise)) for _ in range(samples)]))
    return run_of(cells_a), run_of(cells_b)


def gated(a, b, percent, **options):  # `compare` with --fail-above percent
    result = compare.compare(a, b, **options)
    result.gate = gate.judge_compare(result, percent)
    return result


def label(i):
    return f"count_if/n:{1000 + i}/threads:1"


def save_pair(tmp, a, b):
    """The two runs written as results folders under tmp; their paths."""
    paths = pathlib.Path(tmp) / "a", pathlib.Path(tmp) / "b"
    for run, path in zip((a, b), paths):
        path.mkdir()
        run.save(path)
    return paths


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
        self.assertLessEqual({m.verdict for m in others}, {verdict.EQUIVALENT, verdict.UNDECIDED})

    def test_equal_samples_give_ratio_one_and_no_clear_change(self):
        same = self.by_label["count_if/n:100000/threads:1"]
        self.assertEqual(same.ratio, 1.0)
        self.assertLessEqual(same.low, 1.0)
        self.assertGreaterEqual(same.high, 1.0)
        self.assertEqual(same.verdict, verdict.EQUIVALENT)

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
    def compare_one(self, a, b, margin=verdict.DEFAULT_MARGIN):
        result = compare.compare(run_of([cell("count_if", 1000, 1, a)]),
                                 run_of([cell("count_if", 1000, 1, b)]), margin=margin)
        self.assertEqual(len(result.matched), 1)
        return result.matched[0]

    def test_wide_noise_keeps_a_shifted_median_unclear(self):
        # The medians differ by 5%, far less than the spread of the samples.
        m = self.compare_one([1.0, 2.0, 3.0, 1.5, 2.5], [1.05, 2.1, 3.15, 1.6, 2.6])
        self.assertGreater(m.ratio, 1.02)
        self.assertLess(m.low, 1.0)
        self.assertEqual((m.verdict, m.hint), (verdict.UNDECIDED, None))

    def test_the_margin_and_the_noise_floor(self):
        a = [1.0, 1.001, 0.999, 1.0005, 0.9995]
        # (B/A, margin, verdict): slower or faster beyond both, equivalent within the margin.
        for factor, margin, word in ((1.01, 0.05, verdict.EQUIVALENT),
                                     (0.99, 0.05, verdict.EQUIVALENT),
                                     (1.08, 0.05, verdict.SLOWER), (0.92, 0.05, verdict.FASTER),
                                     (1.05, 0.01, verdict.SLOWER),
                                     (1.015, 0.01, verdict.UNDECIDED)):
            with self.subTest(factor=factor, margin=margin):
                m = self.compare_one(a, [x * factor for x in a], margin)
                self.assertEqual(m.verdict, word)
                # Between the margin and the noise floor no round decides it.
                self.assertIsNone(m.hint)

    def test_too_few_samples_give_no_verdict_and_never_fail(self):
        m = self.compare_one([1.0, 1.0], [3.0, 3.0])
        self.assertEqual((m.word, m.judged), ("undecided (too few samples: more rounds)", False))
        steady = [1.0, 1.01, 0.99]
        result = gated(
            run_of([cell("count_if", 1000, 1, [1.0, 1.0]), cell("count_if", 1000, 2, steady)]),
            run_of([cell("count_if", 1000, 1, [3.0, 3.0]), cell("count_if", 1000, 2, steady)]), 5)
        self.assertEqual(result.gate.slowdowns, [])
        self.assertEqual(result.gate.cells, 1)
        self.assertTrue(result.gate.passed)
        # With no cell to judge at all the gate cannot vouch for anything.
        alone = gated(run_of([cell("count_if", 1000, 1, [1.0, 1.0])]),
                      run_of([cell("count_if", 1000, 1, [3.0, 3.0])]), 5)
        self.assertFalse(alone.gate.passed)
        self.assertIn("no compared cell has the 3 samples", alone.problems()[0])
        # `ab` of two rounds: a cell 672% slower that its table gives no verdict
        # neither fails a 0% gate nor lets it pass having judged nothing.
        pair = compare.Matched(label(0), 1.0, 7.722, 7.722, 7.7, 7.8, verdict.UNDECIDED,
                               ratios=[7.7, 7.8], judged=False)
        paired = pairing.PairedComparison([pair], [], [], 0.02, 0.95)
        self.assertEqual(gate.paired_over(paired, 0), [])
        rows = gate.paired_verdicts(paired, [], lambda label: 0.0)
        why = gate.nothing_judged(rows)
        self.assertEqual(why, "the gate judged no cell: none of the 1 cell(s) held to a limit "
                              "has a verdict (undecided (too few samples))")
        suite = ElementTree.fromstring(gate_report.render_junit(rows, [why])).find("testsuite")
        self.assertEqual([suite.get(k) for k in ("tests", "failures", "skipped")], ["2", "1", "1"])
        self.assertIn("| 0% | not judged: undecided (too few samples) |",
                      gate_report.render_gate_markdown(rows, False, [why]))

    def test_empty_samples_or_bad_times_are_not_compared(self):
        result = compare.compare(
            run_of([cell("count_if", 1000, 1, []),
                    cell("count_if", 1000, 2, [1.0, float("nan"), 1.0])]),
            run_of([cell("count_if", 1000, 1, [1.0] * 3), cell("count_if", 1000, 2, [1.0] * 3)]),
        )
        self.assertEqual(result.matched, [])
        self.assertEqual(len(result.not_compared), 2)

    def test_duplicate_cells_are_an_error(self):
        with self.assertRaises(compare.CompareError):
            compare.compare(run_of([cell("count_if", 1000, 1, [1.0]),
                                    cell("count_if", 1000, 1, [2.0])]), run_of([]))


class CommandLineTest(unittest.TestCase):
    def test_fail_above_exit_status(self):
        status, _, err = run_main(RUN_A, RUN_B, "--fail-above", "10")
        self.assertEqual(status, 1)
        self.assertIn("count_if/n:1000000/threads:2 is 100.0% slower", err)
        # A 100% slowdown stays under a 150% limit, but stable_partition, which ran
        # in A, timed out in B; without the option neither fails the command.
        status, _, err = run_main(RUN_A, RUN_B, "--fail-above", "150")
        self.assertEqual(status, 1)
        self.assertEqual(err.splitlines(), ["suite compare: stable_partition/n:1000000/threads:1"
                                            " timed out after 60 s in B but ran in A"])
        self.assertEqual(run_main(RUN_A, RUN_B)[0], 0)
        # The reverse comparison only has a clear speed-up at that cell and a slowdown at
        # find_if, and unique_copy fails in its B.
        status, _, err = run_main(RUN_B, RUN_A, "--fail-above", "10")
        self.assertEqual(status, 1)
        self.assertIn("find_if/n:10000000/threads:1", err)
        self.assertIn("unique_copy/n:1000000/threads:2 failed in B (exit status 1", err)
        self.assertNotIn("count_if", err)

    def test_markdown_to_stdout_and_file(self):
        status, out, _ = run_main(RUN_A, RUN_B / "results.json", "--markdown")
        self.assertEqual(status, 0)
        self.assertIn("| cell | median A | median B | B/A | 95% CI | change | vs shift | verdict |",
                      out)
        row = next(line for line in out.splitlines() if "count_if/n:1000000/threads:2" in line)
        self.assertRegex(
            row, r"\| 2\.000 \| 1\.9\d\d \.\. 2\.0\d\d \| \+100\.0% \| \+100\.0% \| slower \|$")
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


class StatisticsTest(unittest.TestCase):
    def test_percentile_interval_reads_the_central_share(self):
        self.assertEqual(stats.percentile_interval(list(range(100)), 0.90), (5, 94))
        self.assertEqual(stats.percentile_interval(list(range(1000)), 0.999), (0, 999))

    def test_robust_spread_ignores_outliers_and_matches_a_normal_sd(self):
        # Deviations from the median 3 are 2, 1, 0, 1, 97: their median is 1.
        self.assertAlmostEqual(stats.robust_spread([1, 2, 3, 4, 100]), 1.4826)
        rng = random.Random(7)
        values = [rng.gauss(0, 0.1) for _ in range(4000)]
        self.assertAlmostEqual(stats.robust_spread(values), 0.1, delta=0.005)
        self.assertAlmostEqual(stats.robust_spread(values + [50.0] * 200), 0.1, delta=0.01)

    def test_shift_is_the_median_ratio_with_an_interval_over_cells(self):
        logs = [math.log(1.2)] * 9 + [math.log(5.0), math.log(0.1)]
        shift, low, high = stats.shift_interval(logs, seed=3)
        self.assertAlmostEqual(shift, 1.2)
        self.assertLessEqual(low, 1.2)
        self.assertGreaterEqual(high, 1.2)
        spread = [math.log(1.2 + 0.01 * i) for i in range(-10, 11)]
        shift, low, high = stats.shift_interval(spread, seed=3)
        self.assertAlmostEqual(shift, 1.2)
        self.assertTrue(1.15 < low < 1.2 < high < 1.25, (low, high))


class DriftTest(unittest.TestCase):
    def test_uniform_drift_is_a_shift_not_a_change(self):
        a, b = drifting_runs(40, drift=1.2)
        result = compare.compare(a, b)
        self.assertTrue(result.drift.corrected)
        self.assertAlmostEqual(result.drift.shift, 1.2, delta=0.01)
        self.assertLess(result.drift.shift_low, result.drift.shift)
        self.assertGreater(result.drift.shift_high, result.drift.shift)
        self.assertEqual({m.verdict for m in result.matched}, {verdict.EQUIVALENT})
        for m in result.matched:
            self.assertAlmostEqual(m.ratio, 1.2, delta=0.03)
            self.assertAlmostEqual(m.relative, 1.0, delta=0.02)
        # Judged on B/A itself, every cell of the same runs looks slower.
        plain = compare.compare(a, b, drift_correction=False)
        self.assertEqual(plain.drift.method, compare.CORRECTION_OFF)
        self.assertEqual({m.verdict for m in plain.matched}, {compare.SLOWER})
        self.assertEqual([m.ratio for m in plain.matched], [m.ratio for m in result.matched])

    def test_real_changes_among_drifting_cells_are_found(self):
        a, b = drifting_runs(40, drift=1.2, changed={7: 2.0, 12: 0.5})
        result = compare.compare(a, b)
        self.assertAlmostEqual(result.drift.shift, 1.2, delta=0.01)
        by_label = {m.label: m for m in result.matched}
        self.assertEqual(by_label[label(7)].verdict, compare.SLOWER)
        self.assertAlmostEqual(by_label[label(7)].relative, 2.0, delta=0.05)
        self.assertAlmostEqual(by_label[label(7)].ratio, 2.4, delta=0.06)
        self.assertEqual(by_label[label(12)].verdict, compare.FASTER)
        self.assertAlmostEqual(by_label[label(12)].relative, 0.5, delta=0.02)
        self.assertEqual(result.verdict_counts()[verdict.EQUIVALENT], 38)

    def test_unequal_drift_widens_the_threshold_to_the_cells_spread(self):
        # Cells drift by 20% give or take 3% each, their samples are steadier than
        # that: without the spread most would look changed.
        a, b = drifting_runs(40, drift=1.2, noise=0.002, jitter=0.03, changed={5: 1.5})
        result = compare.compare(a, b)
        self.assertAlmostEqual(result.drift.spread, 0.03, delta=0.012)
        self.assertGreater(result.drift.threshold, 0.06)
        slower = [m.label for m in result.matched if m.verdict == compare.SLOWER]
        self.assertEqual(slower, [label(5)])
        self.assertEqual(result.verdict_counts()[compare.FASTER], 0)
        floor_only = [m for m in result.matched
                      if compare.verdict(m.relative_low, m.relative_high, 7, 7,
                                         compare.NOISE_FLOOR, margin=0.01)
                      in (verdict.SLOWER, verdict.FASTER)]
        self.assertGreater(len(floor_only), 10)

    def test_too_few_cells_fall_back_to_the_plain_rule(self):
        a, b = drifting_runs(compare.MIN_CELLS - 1, drift=1.2)
        result = compare.compare(a, b)
        self.assertTrue(result.drift.too_few_cells)
        self.assertIsNone(result.drift.shift)
        self.assertEqual({m.verdict for m in result.matched}, {compare.SLOWER})
        self.assertEqual([m.relative for m in result.matched], [m.ratio for m in result.matched])
        with tempfile.TemporaryDirectory() as tmp:
            status, out, _ = run_main(*save_pair(tmp, a, b))
        self.assertEqual(status, 0)
        self.assertIn("No run-wide shift removed (4 matched cells are too few, 5 needed", out)
        self.assertNotIn("Run-wide shift:", out)
        a, b = drifting_runs(compare.MIN_CELLS, drift=1.2)
        self.assertTrue(compare.compare(a, b).drift.corrected)

    def test_output_names_the_shift_the_spread_and_the_threshold(self):
        a, b = drifting_runs(30, drift=1.2)
        with tempfile.TemporaryDirectory() as tmp:
            path_a, path_b = save_pair(tmp, a, b)
            status, out, err = run_main(path_a, path_b, "--fail-above", "5")
            self.assertEqual((status, err), (0, ""))
            self.assertRegex(out, r"Run-wide shift: median B/A 1\.(19|20|21)\d \(\+\d+\.\d%\)"
                                  r" over 30 cells, 95% interval 1\.\d{3} \.\. 1\.\d{3}\."
                                  r" Between two separate runs")
            self.assertIn("./suite ab A B", out)
            self.assertRegex(out, r"divided by the shift 1\.\d{3}.*faster when the whole"
                                  r" interval lies beyond ±5\.0%, the margin or, if larger, the"
                                  r" ±2% noise floor and 3 × the cells' spread of \d\.\d%")
            self.assertIn("30 equivalent", out)
            # Runs known to be interleaved: the same drift is a slowdown of every cell.
            status, out, err = run_main(path_a, path_b, "--fail-above", "5",
                                        "--no-drift-correction")
            self.assertEqual(status, 1)
            self.assertIn("Not removed: drift correction is off", out)
            self.assertEqual(len(err.splitlines()), 30)


class GateTest(unittest.TestCase):
    def one_cell_among_unchanged(self, others, percent):
        """A cell 20% slower in 8 of its 9 samples, beside `others` identical cells."""
        steady = [1.0, 1.01, 0.99, 1.02, 0.98]
        a = [cell("count_if", 1000, 1, [1.0] * 9)]
        b = [cell("count_if", 1000, 1, [1.2] * 8 + [1.0])]
        for cells in (a, b):
            cells += [cell("count_if", 2000 + i, 1, steady) for i in range(others)]
        return gated(run_of(a), run_of(b), percent)

    def test_bonferroni_interval_widens_with_the_number_of_cells(self):
        # A resampled median of B falls on the 1.0 with probability 0.0015: inside
        # the 99% interval of 5 cells, outside the 99.9% interval of 50.
        few, many = self.one_cell_among_unchanged(4, 10), self.one_cell_among_unchanged(49, 10)
        self.assertEqual((few.gate.cells, many.gate.cells), (5, 50))
        self.assertAlmostEqual(many.gate.confidence, 0.999)
        for result in (few, many):
            self.assertEqual(result.matched[0].verdict, compare.SLOWER)
            self.assertGreater(result.matched[0].low, 1.1)
        self.assertEqual([hit.matched.label for hit in few.gate.slowdowns], [label(0)])
        self.assertEqual(many.gate.slowdowns, [])
        self.assertTrue(many.gate.passed)

    def test_the_gate_judges_the_change_relative_to_the_run(self):
        # B ran 20% faster overall; one cell lost that and 50% more relative to the rest.
        a, b = drifting_runs(30, drift=0.8, changed={3: 1.5})
        result = gated(a, b, 30)
        self.assertEqual([hit.matched.label for hit in result.gate.slowdowns], [label(3)])
        self.assertGreater(result.gate.slowdowns[0].low, 1.3)
        self.assertLess(result.matched[3].low, 1.3)
        self.assertTrue(gated(a, b, 30, drift_correction=False).gate.passed)
        # Cells scatter ±3% around the shift: a cell that is 30% slower in 8 of 9
        # samples but only 5% in the 9th is clearly slower at 95%, yet at the
        # gate's confidence its interval reaches into that scatter.
        a, b = drifting_runs(49, noise=0.002, jitter=0.03)
        a.cells.append(cell("count_if", 5000, 1, [1.0] * 9))
        b.cells.append(cell("count_if", 5000, 1, [1.3] * 8 + [1.05]))
        result = gated(a, b, 0)
        self.assertEqual(result.matched[-1].verdict, compare.SLOWER)
        self.assertGreater(result.gate.bound, 1.06)
        self.assertTrue(result.gate.passed)
        bare = gated(a, b, 0, noise=0.0, drift_correction=False)
        self.assertIn("count_if/n:5000/threads:1",
                      [hit.matched.label for hit in bare.gate.slowdowns])

    def test_unchanged_noisy_cells_pass_and_a_real_slowdown_fails(self):
        a, b = drifting_runs(60, noise=0.03, samples=5, seed=11)
        # Cell by cell at 95%, some of these unchanged cells look slower.
        raw = [m for m in compare.compare(a, b).matched if m.low > 1.0]
        self.assertGreater(len(raw), 0)
        result = gated(a, b, 0)
        self.assertEqual(result.gate.cells, 60)
        self.assertEqual(result.gate.slowdowns, [])
        self.assertEqual(result.problems(), [])
        a, b = drifting_runs(60, noise=0.03, samples=5, seed=11, changed={20: 2.0})
        result = gated(a, b, 50)
        self.assertEqual([hit.matched.label for hit in result.gate.slowdowns], [label(20)])
        self.assertEqual(len(result.problems()), 1)
        self.assertRegex(result.problems()[0], rf"^{label(20)} is 9\d\.\d% slower relative to the"
                                               r" run-wide shift \(B/A 1\.99\d\)")
        # The same cell is under a 150% limit.
        self.assertTrue(gated(a, b, 150).gate.passed)

    def test_cells_that_broke_in_b_fail_the_gate_only(self):
        ok = [1.0, 1.01, 0.99]
        a = run_of([cell("count_if", 1000, t, ok) for t in (1, 2, 4, 16)]
                   + [cell("count_if", 1000, 8, [], status="failed")])
        b = run_of([cell("count_if", 1000, 1, ok), cell("count_if", 1000, 2, [], status="failed"),
                    cell("count_if", 1000, 4, [], status="failed",
                         failure="timed out after 0.5 s (killed)"),
                    cell("count_if", 1000, 8, [], status="failed"),
                    cell("count_if", 1000, 16, [], status="interrupted",
                         failure="interrupted after 0 of 3 samples")])
        with tempfile.TemporaryDirectory() as tmp:
            path_a, path_b = save_pair(tmp, a, b)
            status, out, err = run_main(path_a, path_b)
            self.assertEqual((status, err), (0, ""))
            self.assertIn("count_if/n:1000/threads:2: B: failed (exit status 1)", out)
            self.assertIn("count_if/n:1000/threads:16: B: not measured: the run was interrupted"
                          " after 0 of 3 samples", out)
            status, out, err = run_main(path_a, path_b, "--fail-above", "10")
        self.assertEqual(status, 1)
        # Threads 8 failed in both runs: no regression, not named. Threads 16 did not
        # fail, B was cut short before it: the gate cannot vouch for it all the same.
        self.assertEqual(err.splitlines(), [
            "suite compare: count_if/n:1000/threads:2 failed in B (exit status 1) but ran in A",
            "suite compare: count_if/n:1000/threads:4 timed out after 0.5 s (killed) in B"
            " but ran in A",
            "suite compare: B is an interrupted run: 1 cell(s) that ran in A were not measured"
            " in B, so the gate cannot vouch for them",
        ])
        self.assertIn("Failed: 2 failed in B, 1 not measured in B (interrupted).", out)

    def test_nothing_to_compare_exits_with_status_1(self):
        cases = [
            ([cell("count_if", 1000, 1, [1.0] * 3)], [cell("find_if", 1000, 1, [1.0] * 3)],
             "the runs have no cell in common"),
            ([cell("count_if", 1000, 1, [], status="failed")],
             [cell("count_if", 1000, 1, [], status="failed")],
             "the one cell in common has no usable samples in both runs"),
        ]
        for cells_a, cells_b, why in cases:
            with self.subTest(why), tempfile.TemporaryDirectory() as tmp:
                paths = save_pair(tmp, run_of(cells_a), run_of(cells_b))
                for extra in ((), ("--fail-above", "5")):
                    status, out, err = run_main(*paths, *extra)
                    self.assertEqual(status, 1)
                    self.assertEqual(err, f"suite compare: no cell could be compared: {why}\n")
                    self.assertIn("No cell could be compared.", out)


class ContextMismatchTest(unittest.TestCase):
    def test_warning_names_each_differing_field(self):
        a = model.load(RUN_A)
        b = copy.deepcopy(model.load(RUN_B))
        b.context.compiler_version = "13.1.0"
        b.context.host = "other-host"
        b.context.build_flags = "-O2"
        a.context.omp_env = {"OMP_PLACES": "cores", "OMP_WAIT_POLICY": "active"}
        b.context.omp_env = {"OMP_PLACES": "cores"}
        b.context.runtime_env = {"GOMP_CPU_AFFINITY": "0"}
        # The same machine in another cpuset: its shape differs in what the cores share.
        a.context.shape = shape.read(MACHINES / "container").record()
        b.context.shape = shape.read(MACHINES / "container", [4, 5, 6, 7]).record()
        result = compare.compare(a, b)
        self.assertEqual(len(result.warnings), 2)
        self.assertIn('host: "bench-host" (A) vs "other-host" (B)', result.warnings[0])
        self.assertIn("compiler_version", result.warnings[1])
        self.assertEqual(len(result.notes), 3)
        self.assertIn("build_flags", result.notes[0])
        self.assertEqual(result.notes[1], 'the runs differ in shape: sockets 2 (A) vs 1 (B), '
                         'cores 6 (A) vs 4 (B), threads_per_core 2 (A) vs 1 (B), usable '
                         '"4-7,16-17,28-31" (A) vs "4-7" (B)')
        self.assertEqual(result.notes[2], 'the runs differ in environment variables '
                         'GOMP_CPU_AFFINITY, OMP_WAIT_POLICY: GOMP_CPU_AFFINITY: unset (A) vs '
                         '"0" (B); OMP_WAIT_POLICY: "active" (A) vs unset (B)')
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


def counted(program, n, threads, counts, status="ok"):
    """A cell of a run of instruction counts."""
    record = cell(program, n, threads, [], status)
    record.instruction_samples = list(counts)
    return record


class CountComparisonTest(unittest.TestCase):
    """Instruction counts compared: exact ratios, ranges, the per-cell gate and its files."""

    def runs(self):
        a = run_of([counted("count_if", 1000, 1, [1e6]), counted("count_if", 1000, 2, [2e6, 2.01e6]),
                    counted("partial_sum", 1000, 1, [5e5]), counted("find_if", 1000, 1, [4e5]),
                    counted("nth_element", 1000, 2, [1000, 1003])], metric="instructions")
        b = run_of([counted("count_if", 1000, 1, [1.003e6]),
                    counted("count_if", 1000, 2, [2.005e6, 2.02e6]),
                    counted("partial_sum", 1000, 1, [5.0002e5]),
                    counted("find_if", 1000, 1, [], status="failed"),
                    counted("nth_element", 1000, 2, [999.8, 999.85])], metric="instructions")
        return a, b

    def test_verdicts_and_gate_per_cell(self):
        a, b = self.runs()
        limits = {"count_if/n:1000/threads:1": 0.2, "count_if/n:1000/threads:2": 0.2}
        result = compare.compare_runs(a, b, lambda label: limits.get(label))
        by_label = {p.label: p for p in result.pairs}
        one = by_label["count_if/n:1000/threads:1"]
        self.assertEqual((one.exact, one.verdict, gate.count_over(one)), (True, "more", True))
        self.assertAlmostEqual(one.ratio, 1.003)
        # Counted twice on each side: the ranges overlap, so no change is called and
        # the low end (2.005 / 2.01) keeps the neighbour-free gate from tripping.
        ranged = by_label["count_if/n:1000/threads:2"]
        self.assertEqual((ranged.exact, ranged.verdict, gate.count_over(ranged)),
                         (False, "within spread", False))
        self.assertEqual(by_label["partial_sum/n:1000/threads:1"].verdict, "same")
        # Ranges of one build that miss each other by less than A's own spread.
        self.assertEqual(by_label["nth_element/n:1000/threads:2"].verdict, "within spread")
        self.assertEqual(gate.count_problems(result), [
            "count_if/n:1000/threads:1: B executes +0.300% instructions of A (B/A 1.003000; "
            "limit 0.2%)", "find_if/n:1000/threads:1: failed in B (exit status 1)"])
        verdicts = gate.count_verdicts(result)
        suite = ElementTree.fromstring(gate_report.render_junit(
            verdicts, gate.count_run_problems(result))).find("testsuite")
        self.assertEqual((suite.get("tests"), suite.get("failures")), ("3", "2"))
        failed = [case.get("name") for case in suite.iter("testcase")
                  if case.find("failure") is not None]
        self.assertEqual(failed, ["count_if/n:1000/threads:1", "find_if/n:1000/threads:1"])
        markdown = gate_report.render_gate_markdown(verdicts, False, gate.count_problems(result))
        self.assertIn("## algobench A/B gate: FAILED", markdown)
        self.assertIn("| partial_sum/n:1000/threads:1 | instructions | B/A 1.000040 |  | "
                      "not gated |", markdown)
        # At 0% for every cell "same" and "within spread" still pass; with rules for
        # the other metric only, the gate judged nothing and fails in JUnit too.
        zero = compare.compare_runs(a, b, lambda label: 0.0)
        self.assertEqual([p.label for p in zero.pairs if gate.count_over(p)],
                         ["count_if/n:1000/threads:1"])
        none = gate.count_verdicts(compare.compare_runs(a, b, lambda label: None))
        why = gate.nothing_judged(none)
        self.assertIn("no threshold rule of the instructions metric names a compared cell", why)
        suite = ElementTree.fromstring(gate_report.render_junit(none, [why])).find("testsuite")
        self.assertEqual((suite.get("tests"), suite.get("failures")), ("2", "2"))

    def test_threshold_file_errors_are_one_line(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = pathlib.Path(tmp) / "limits"
            for text, error in (
                    ("count_if/* cycles 2\n", "limits:1: unknown metric 'cycles' (one of time, "
                                               "instructions)"),
                    ("# comment\n\ncount_if/* time two\n",
                     "limits:3: the limit 'two' is not a percentage of 0 or more"),
                    ("count_if/* time -1\n", "limits:1: the limit '-1' is not a percentage"),
                    ("count_if/* time\n", "limits:1: a rule is three words"),
                    ("count_if/* time 2\nsort/* instructions 1 # none\n",
                     "limits:2: no cell of this run matches 'sort/*'")):
                with self.subTest(text):
                    path.write_text(text)
                    with self.assertRaises(thresholds.ThresholdError) as caught:
                        rules = thresholds.read(path)
                        thresholds.check_cells(rules, ["count_if/n:10/threads:1"])
                    self.assertIn(error, str(caught.exception))
                    self.assertNotIn("\n", str(caught.exception))
            path.write_text("*/threads:1 instructions 0.5\ncount_if/* instructions 3\n"
                            "nth_element/n:10/threads:1 time 7\n")
            rules = thresholds.read(path)
            # The first rule of the metric wins; a label's "/fourth:K" need not be named.
            self.assertEqual(thresholds.limit(rules, "count_if/n:10/threads:1",
                                              metrics.INSTRUCTIONS, None), 0.5)
            self.assertEqual(thresholds.limit(rules, "count_if/n:10/threads:2",
                                              metrics.INSTRUCTIONS, None), 3.0)
            self.assertEqual(thresholds.limit(rules, "nth_element/n:10/threads:1/fourth:7",
                                              metrics.TIME, 1.0), 7.0)
            self.assertEqual(thresholds.limit(rules, "find_if/n:10/threads:2", metrics.TIME,
                                              1.0), 1.0)

    def test_a_new_metric_is_one_registry_entry(self):
        """A stand-in exact metric, registered here only, goes through results.json,
        the compare, a threshold file, the gate and the store with nothing else added."""
        widgets = type("Widgets", (metrics.Metric,), {"name": "widgets", "unit": "widgets",
                                                      "exact": True, "sampler": "callgrind"})()
        metrics.REGISTRY["widgets"] = widgets
        self.addCleanup(metrics.REGISTRY.pop, "widgets")
        runs = []
        for counts in ([100, 200], [100, 300]):
            cells = [cell("count_if", 1000, t, []) for t in (1, 2)]
            for record, count in zip(cells, counts):
                widgets.keep(record, [count])
            runs.append(run_of(cells, metric="widgets"))
        with tempfile.TemporaryDirectory() as tmp:
            a, b = (model.load_checked(path) for path in save_pair(tmp, *runs))
            self.assertIs(a.metric, widgets)
            path = pathlib.Path(tmp) / "limits"
            path.write_text("*/threads:2 widgets 10\n")
            limit = gate.limits(thresholds.read(path), None, widgets)
            result = compare.compare_runs(a, b, limit)
            self.assertEqual([(p.verdict, p.limit) for p in result.pairs],
                             [("same", None), ("more", 10.0)])
            self.assertEqual(gate.count_problems(result), [
                "count_if/n:1000/threads:2: B executes +50.000% widgets of A (B/A 1.500000; "
                "limit 10%)"])
            with store.Store.open(pathlib.Path(tmp) / "s.sqlite") as kept:
                kept.register(b)
                series = kept.cell_series("^count_if/", metric=widgets)
                self.assertEqual(kept.cell_series("^count_if/"), [])
            self.assertEqual([entry["points"][0]["median"] for entry in series], [100, 300])

    def test_compare_refuses_runs_of_different_metrics(self):
        with tempfile.TemporaryDirectory() as tmp:
            counts_a, _ = self.runs()
            timed = run_of([cell("count_if", 1000, 1, [1e-3, 1e-3, 1e-3])])
            a, b = save_pair(tmp, counts_a, timed)
            status, out, err = run_main(a, b)
            self.assertEqual((status, out), (2, ""))
            self.assertEqual(err, "suite compare: A holds instructions and B holds time: compare "
                                  "runs of the same metric (a count is not a time)\n")


if __name__ == "__main__":
    unittest.main()
