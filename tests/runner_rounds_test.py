"""Interleaved rounds, paired figures, contention and `suite ab`, on stand-in programs."""

import io
import json
import os
import pathlib
import random
import tempfile
import types
import unittest
from unittest import mock

from support import StandinSweep, cell, load, quiet, run_of, run_suite, standin_bin

from algobench.judge import compare, findings, gate, pairing
from algobench.measure import duet, machine, rounds, runner, sweep_events, timed
from algobench.commands.console import Console
from algobench.model.contention import Contention
from algobench.judge.derive import derive
from algobench.model import load_checked


class RoundOrderTest(unittest.TestCase):
    def logged_run(self, seed: str, samples: int = 3):
        with StandinSweep() as the_sweep:
            log = pathlib.Path(the_sweep.out.parent) / "log"
            status, _, err = the_sweep.run(
                "--programs", "count_if,find_if", "--sizes", "100,200", "--threads", "1,2",
                "--samples", str(samples), "--seed", seed, "--min-time", "0.01",
                env={"STANDIN_LOG": str(log)})
            self.assertEqual(status, 0, err)
            lines = [line.split() for line in log.read_text().splitlines()]
            return lines, load(the_sweep.out)

    def test_every_cell_once_per_round_sizes_together_and_repeatable(self):
        lines, results = self.logged_run("11")
        # Warm-ups run one repetition and the probes of short calls a quarter
        # of the loop; the rounds run the calibrated loop (twice 10 ms at 20 us a call: 1,000).
        rounds = [tuple(line[1:4]) for line in lines if line[4] == "1000"]
        cells = {(c["program"], str(c["n"]), str(c["threads"])) for c in results["cells"]}
        self.assertEqual(len(cells), 6)
        chunks = [rounds[i:i + len(cells)] for i in range(0, len(rounds), len(cells))]
        self.assertEqual(len(chunks), 3)
        for chunk in chunks:
            self.assertEqual(set(chunk), cells)
            # The thread counts of one program and size run back to back.
            positions = {key: chunk.index(key) for key in chunk}
            for n in ("100", "200"):
                self.assertEqual(abs(positions[("count_if", n, "1")]
                                     - positions[("count_if", n, "2")]), 1)
        self.assertNotEqual(chunks[0], chunks[1])  # shuffled anew every round
        self.assertEqual(results["context"]["seed"], 11)
        # Each sample knows its round; the same seed gives the same order.
        self.assertEqual(sorted(i["round"] for i in results["cells"][0]["sample_info"]),
                         [0, 1, 2])
        again, _ = self.logged_run("11")
        self.assertEqual([line[1:] for line in again], [line[1:] for line in lines])

    def test_order_changes_between_rounds_and_seeds(self):
        groups = [object() for _ in range(12)]
        rng = random.Random(5)
        first, second = timed.round_order(groups, rng), timed.round_order(groups, rng)
        self.assertEqual(sorted(map(id, first)), sorted(map(id, groups)))
        self.assertNotEqual(first, second)
        self.assertEqual(timed.round_order(groups, random.Random(5)), first)


class PairedSpeedupTest(unittest.TestCase):
    def test_drift_cancels_in_the_paired_ratio(self):
        # The machine's pace drifts from round to round; within each round the
        # two-thread process ran 2x, 2x, 2x, 1.5x and 3x faster than the
        # one-thread one, so the paired speedup is exactly 2.
        drift = [1.0, 5.0, 2.0, 4.0, 3.0]
        one = cell("count_if", 10**6, 1, drift, rounds=True)
        two = cell("count_if", 10**6, 2, [d / r for d, r in zip(drift, [2, 2, 2, 1.5, 3])],
                   rounds=True)
        derive(run_of([one, two]))
        self.assertEqual(two.speedup, 2.0)
        self.assertLessEqual(two.speedup_low, 2.0)
        self.assertGreaterEqual(two.speedup_high, 2.0)
        self.assertEqual(two.efficiency, 1.0)
        # The ratio of medians would have said 3.
        self.assertAlmostEqual(one.median / two.median, 3.0)

    def test_only_rounds_both_cells_have_are_paired(self):
        one = cell("count_if", 1000, 1, [4.0, 4.0, 4.0], rounds=[0, 1, 2])
        two = cell("count_if", 1000, 2, [1.0, 2.0], rounds=[1, 2])
        derive(run_of([one, two]))
        self.assertEqual(two.speedup, 3.0)  # median of 4/1 and 4/2

    def test_a_time_below_the_clock_makes_no_ratio(self):
        one = cell("count_if", 1000, 1, [4.0, 0.0, 4.0], rounds=True)
        two = cell("count_if", 1000, 2, [2.0, 1.0, 0.0], rounds=True)
        derive(run_of([one, two]))
        self.assertEqual(two.speedup, 2.0)  # only round 0 has two real times

    def test_results_without_rounds_fall_back_to_medians(self):
        one, two = cell("count_if", 1000, 1, [4.0, 5.0]), cell("count_if", 1000, 2, [2.0, 3.0])
        derive(run_of([one, two]))
        self.assertAlmostEqual(two.speedup, 4.5 / 2.5)
        self.assertIsNone(two.speedup_low)


class ContentionTest(unittest.TestCase):
    QUIET_STAT = "cpu  1000 0 500 8000 10 0 5 100 0 0\ncpu0 1 2 3\nprocs_running 1\n"

    def test_rule_on_recorded_readings(self):
        # Readings of a two-thread count_if on a quiet two-CPU machine: many
        # switches (the kernel's own threads), almost no one else's CPU time.
        quiet = Contention(wall_seconds=0.3, cpu_seconds=0.55, involuntary_switches=45,
                           steal_share=0.0, others_share=0.02, others_seconds=0.012,
                           runnable_others=0)
        self.assertIsNone(quiet.reason())
        # The same beside one busy process: it took half of the machine.
        busy = Contention(wall_seconds=3.1, cpu_seconds=3.0, involuntary_switches=800,
                          steal_share=0.0, others_share=0.49, others_seconds=3.04,
                          runnable_others=2)
        self.assertEqual(busy.reason(), "other processes used 49% of the CPU time")
        stolen = Contention(wall_seconds=1.0, steal_share=0.12, others_share=0.0,
                            others_seconds=0.0)
        self.assertIn("12% of CPU time stolen", stolen.reason())
        # One 10 ms tick of someone else in a 20 ms sample is a large share of
        # too little time to tell.
        self.assertIsNone(Contention(wall_seconds=0.02, others_share=0.25,
                                     others_seconds=0.01).reason())
        # Another runnable task alone is recorded, not held against the sample.
        self.assertIsNone(Contention(wall_seconds=0.1, others_share=0.0, others_seconds=0.0,
                                     runnable_others=1).reason())

    def test_readings_from_proc_stat_and_wait4(self):
        before = machine.parse_proc_stat(self.QUIET_STAT, 0.5)
        self.assertEqual((before.steal, before.total, before.busy, before.procs_running),
                         (100, 9615, 1505, 1))
        # 4 s of CPU time passed (ticks of 10 ms): 2.5 s busy, of which the
        # child used 0.25 s; 0.5 s stolen.
        after_text = "cpu  1200 0 550 8100 10 0 5 150 0 0\nprocs_running 3\n"
        after = machine.parse_proc_stat(after_text, 0.7)
        usage = types.SimpleNamespace(ru_utime=0.2, ru_stime=0.05, ru_nivcsw=9)
        seen = runner._contention(before, after, 0.25, usage, hz=100)
        self.assertAlmostEqual(seen.steal_share, 50 / 400)
        self.assertAlmostEqual(seen.others_seconds, 2.5 - 0.25)
        self.assertAlmostEqual(seen.others_share, 2.25 / 4.0)
        self.assertEqual((seen.runnable_others, seen.involuntary_switches), (0, 9))
        self.assertAlmostEqual(seen.cpu_seconds, 0.25)
        self.assertIn("stolen", seen.reason())
        self.assertIn("other processes used 56%", seen.reason())
        self.assertIsNone(machine.parse_proc_stat("intr 5\n", 0.0))

    def sweep_contended_at(self, contended_calls: set[int]):
        """A sweep of count_if at two thread counts where the processes started
        in the given places (counting from 1) saw a busy machine."""
        calls = {"n": 0}

        def contended(before, after, wall, usage, hz=None):
            calls["n"] += 1
            seen = quiet(before, after, wall, usage)
            if calls["n"] in contended_calls:
                seen.others_share, seen.others_seconds = 0.5, 0.5
            return seen

        with StandinSweep() as the_sweep:
            status, out, err = the_sweep.run("--programs", "count_if", "--sizes", "100",
                                             "--threads", "1,2", "--samples", "2",
                                             "--min-time", "0.01", contention=contended)
            results = load(the_sweep.out)
        self.assertEqual(status, 0, err)
        return results["cells"], out

    def test_contended_rounds_are_measured_again_and_counted(self):
        # Processes 1 and 2 are the warm-ups, 3 and 4 the probes of their short
        # calls; 5 is the first of the first round, whose two processes then
        # run again.
        cells, out = self.sweep_contended_at({5})
        self.assertEqual([c["replaced"] for c in cells], [1, 1])
        self.assertEqual([len(c["samples"]) for c in cells], [2, 2])
        for item in cells:
            self.assertEqual([i["contended"] for i in item["sample_info"]], [None, None])
            # The first round's samples say they were taken again, for the page to mark.
            self.assertEqual([i.get("remeasured") for i in item["sample_info"]], [1, None])
        self.assertIn("2 samples were measured again because another process competed", out)

    def test_a_contended_warm_up_is_measured_again(self):
        cells, _ = self.sweep_contended_at({1})
        self.assertEqual(sorted(c["replaced"] for c in cells), [0, 1])
        self.assertEqual({c["repetitions"] for c in cells}, {1000})

    def test_one_warning_when_the_machine_was_busy(self):
        noisy = Contention(wall_seconds=1.0, others_share=0.5, others_seconds=1.0,
                           runnable_others=1)
        one = cell("count_if", 10**5, 1, [1e-3, 1e-3, 1e-3], rounds=True)
        two = cell("count_if", 10**5, 2, [9e-3, 3e-2, 1e-2], rounds=True)
        for sample in two.samples:
            sample.contention = noisy
        two.replaced = 6
        run = derive(run_of([one, two]))
        warnings = findings.cell_warnings(run)
        self.assertTrue(warnings[0].startswith("the machine was busy during this run: 6 samples "
                                               "were measured again"), warnings[0])
        self.assertIn("3 of the 6 samples kept still were", warnings[0])
        # The busy cell's own symptoms (no speedup, spread) are not repeated.
        self.assertEqual(len(warnings), 1, warnings)
        self.assertEqual(run.busy, warnings[0])
        quiet = derive(run_of([cell("count_if", 10**5, 1, [1e-3, 1e-3], rounds=True)]))
        self.assertIsNone(quiet.busy)


class AbTest(unittest.TestCase):
    def ab(self, *options, env=None, scale="B:2"):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        root = pathlib.Path(directory.name)
        a, b = standin_bin(root, "A"), standin_bin(root, "B")
        out = root / "out"
        with mock.patch.dict(os.environ, {"STANDIN_SCALE": scale, "STANDIN_FAULT": "",
                                          **(env or {})}), \
                mock.patch("algobench.measure.runner._contention", side_effect=quiet):
            status, stdout, stderr = run_suite(
                ["ab", str(a), str(b), "--out", str(out), "--programs", "count_if,nth_element",
                 "--sizes", "100,1000", "--threads", "1,2", "--samples", "5",
                 "--min-time", "0.001", "--no-bandwidth", "--no-plots", "--seed", "3",
                 *options])
        return status, stdout, stderr, out

    def test_a_build_twice_as_slow_comes_out_slower_around_two(self):
        status, stdout, stderr, out = self.ab("--fail-above", "50")
        self.assertEqual(status, 1, stderr)
        report = json.loads((out / "ab.json").read_text())
        self.assertEqual(len(report["pairs"]), 6)
        for pair in report["pairs"]:
            self.assertEqual(pair["verdict"], "slower", pair["label"])
            self.assertAlmostEqual(pair["ratio"], 2.0, places=3)
            self.assertLessEqual(pair["low"], 2.0 + 1e-9)
            self.assertGreaterEqual(pair["high"], 2.0 - 1e-9)
            self.assertEqual(len(pair["ratios"]), 5)
            self.assertAlmostEqual(pair["coverage"], 1 - 2 / 32)  # min..max of five rounds
        self.assertIn("is 100.0% slower in B (limit 50%", stderr)
        # Each build's results are a run's files; the rounds paired them.
        for build in ("A", "B"):
            self.assertEqual(len(load(out / build)["cells"]), 6)
        rows = (out / "pairs.csv").read_text().splitlines()
        self.assertEqual(len(rows), 1 + 6 * 5)
        self.assertIn("Geometric mean of B/A over 6 cells: 2.000", stdout)
        # Both builds ran the same repetitions in every cell.
        for a_cell, b_cell in zip(load(out / "A")["cells"], load(out / "B")["cells"]):
            self.assertEqual(a_cell["repetitions"], b_cell["repetitions"])

    def test_the_same_build_passes_the_gate(self):
        status, stdout, stderr, _ = self.ab("--fail-above", "5", scale="")
        self.assertEqual(status, 0, stderr)
        self.assertIn("6 equivalent", stdout)

    def test_gate_fails_on_a_failed_or_timed_out_b_cell(self):
        status, _, stderr, out = self.ab("--fail-above", "5", scale="",
                                         env={"STANDIN_FAULT": "count_if:exit_3@B"})
        self.assertEqual(status, 1)
        self.assertIn("suite ab: B failed at count_if/n:100/threads:1", stderr)
        status, _, stderr, _ = self.ab("--fail-above", "5", "--timeout", "0.5", scale="",
                                       env={"STANDIN_FAULT": "nth_element:hang@B"})
        self.assertEqual(status, 1)
        self.assertIn("timed out after 0.5 s", stderr)

    def test_too_few_rounds_give_no_verdict(self):
        # A threshold file of comments only holds no cell to a limit: the gate judged
        # nothing and fails, in JUnit too, rather than pass with 0 cells gated.
        with tempfile.NamedTemporaryFile("w", suffix=".limits") as limits:
            limits.write("# nothing yet\n")
            limits.flush()
            status, stdout, stderr, out = self.ab("--samples", "3", "--thresholds", limits.name)
        self.assertEqual(status, 1, stderr)
        self.assertIn("6 undecided", stdout)
        self.assertIn("undecided (too few samples: more rounds)", stdout)
        self.assertIn("coverage here: 75.0%", stdout)
        self.assertIn("suite ab: the gate judged no cell: no threshold rule of the time metric",
                      stderr)
        self.assertIn('failures="1"', (out / "gate.xml").read_text())

    def test_gate_fails_when_no_cell_could_be_compared(self):
        status, stdout, stderr, _ = self.ab("--fail-above", "5", "--programs", "count_if",
                                            scale="", env={"STANDIN_FAULT": "count_if:exit_3@B"})
        self.assertEqual(status, 1)
        self.assertIn("no cell could be compared", stderr)
        self.assertIn("No cell could be compared.", stdout)

    def test_family_wise_gate_on_noisy_unchanged_cells(self):
        # 50 unchanged cells whose per-round ratios scatter by up to 8%: single
        # 95% intervals would let some through a 5% gate; the corrected ones do not.
        rng = random.Random(1)
        pairs = []
        for index in range(50):
            ratios = [1 + rng.uniform(-0.08, 0.08) for _ in range(5)]
            pairs.append(compare.Matched(f"c{index}", 1.0, 1.0, sorted(ratios)[2], 0, 0,
                                         "equivalent", ratios=ratios))
        comparison = pairing.PairedComparison(pairs, [], [], 0.02, 0.95)
        self.assertEqual(gate.paired_over(comparison, 5), [])
        pairs[0].ratios = [1.3, 1.32, 1.28, 1.31, 1.29]
        pairs[0].ratio = 1.3
        # Only an interval beyond the noise floor fails it.
        self.assertEqual(gate.paired_over(comparison, 5), [])
        pairs[0].low = 1.28
        self.assertEqual([p.label for p, _ in gate.paired_over(comparison, 5)], ["c0"])

    def test_scattered_ratios_get_extra_rounds_and_steady_ones_none(self):
        # count_if's times move by up to 10% from process to process; nth_element's
        # do not, so its ratios are exactly 2 in every round.
        status, _, stderr, out = self.ab("--extra-rounds", "4", "--round-budget", "600",
                                         env={"STANDIN_JITTER": "count_if:0.1"})
        self.assertEqual(status, 0, stderr)
        rounds = {p["label"]: len(p["ratios"])
                  for p in json.loads((out / "ab.json").read_text())["pairs"]}
        self.assertEqual({r for label, r in rounds.items() if "nth_element" in label}, {5})
        self.assertEqual({r for label, r in rounds.items() if "count_if" in label}, {9})
        status, _, stderr, out = self.ab("--extra-rounds", "0",
                                         env={"STANDIN_JITTER": "count_if:0.1"})
        self.assertEqual({len(p["ratios"]) for p in
                          json.loads((out / "ab.json").read_text())["pairs"]}, {5})

    def test_the_stopping_rule_on_recorded_rounds(self):
        # A run's program size by its 2-thread speedups over five rounds, at
        # the default 5% margin, with 20 rounds the most allowed.
        context = run_of([]).context
        cases = {  # ratios -> (state, rounds it wants in all, why it stops)
            "decided faster": ([2.0, 2.02, 1.98, 2.01, 1.99], rounds.SETTLED, None, None),
            "open, a few rounds decide it": ([1.04, 1.10, 1.12, 1.09, 1.11], rounds.MORE, 12,
                                             None),
            # One round of five thrown off by a neighbour: from 12 rounds the
            # interval's ends are the third from either end.
            "open, one round far off": ([1.0, 1.01, 0.99, 1.0, 1.5], rounds.MORE, 12, None),
            "open, one round off on either side": ([0.9, 1.0, 1.01, 0.99, 1.1], rounds.MORE, 17,
                                                   None),
            "open, too noisy for any count": ([0.8, 1.3, 1.0, 1.2, 0.9], rounds.BUDGET, None,
                                              rounds.TOO_NOISY_ROUNDS),
            "no comparison": (None, rounds.PLANNED, None, None),
        }
        for name, (ratios, state, wanted, why) in cases.items():
            members = [("", cell("count_if", 10**5, 1, [1.0] * 5, rounds=True))]
            if ratios:
                members.append(("", cell("count_if", 10**5, 2, [1 / r for r in ratios],
                                         rounds=True)))
            verdict = rounds.judge_answers(members, 5, 20, context)
            with self.subTest(name):
                self.assertEqual((verdict.state, verdict.wanted, verdict.why),
                                 (state, wanted, why))
                self.assertEqual(verdict.decided + verdict.open, 1 if ratios else 0)
        # The cheapest to decide go first while all they want fits; one that
        # would not fit even alone stops, one that fits alone waits its turn.
        wanted = [("dear", 5, 2.0), ("cheap", 1, 2.0), ("hopeless", 10, 5.0)]
        self.assertEqual(rounds.choose(wanted, 12.0), (["cheap", "dear"], ["hopeless"]))
        self.assertEqual(rounds.choose(wanted, 11.0), (["cheap"], ["hopeless"]))
        # An A/B run's rule: every B/A interval narrower than the width, one round at a time.
        def ab_members(ratios):
            a = cell("count_if", 10, 1, [1.0] * len(ratios), rounds=True)
            return rounds.ratio_series([("A", a), ("B", cell("count_if", 10, 1, ratios,
                                                             rounds=True))])
        self.assertEqual(rounds.judge_widths(ab_members([2.0, 2.01, 1.99, 2.02, 2.0]), 5, 9,
                                             0.03).state, rounds.SETTLED)
        self.assertEqual(rounds.judge_widths(ab_members([2.0, 2.1, 1.99, 2.02, 2.0]), 5, 9,
                                             0.03).wanted, 6)
        stopped = rounds.judge_widths(ab_members([2.0, 2.2, 1.8] * 3), 9, 9, 0.03)
        self.assertEqual((stopped.state, stopped.open), (rounds.BUDGET, 1))
        text = rounds.stopped_text({"count_if/n:10": stopped, "find_if/n:10": rounds.Verdict(
            rounds.SETTLED, 5, decided=3)}, 5, 30, 12.4, "decided")
        self.assertIn("1 program size(s) took some, 12 s of a budget of 30 s; 3 answer(s) "
                      "decided (decided), 1 open (1 too noisy for the rounds allowed): "
                      "count_if/n:10 (9 rounds, 20%)", text)

    def test_a_run_gives_extra_rounds_to_answers_rounds_can_decide(self):
        # count_if's times move by up to 30% from process to process: its
        # speedups' intervals are mostly too wide for 7 rounds to decide at
        # 5%, which the rule tells from its first five rounds, replayed here;
        # partial_sum's are exactly 1 in every round, equivalent at once.
        def sweep_of(*options):
            with StandinSweep() as the_sweep:
                status, out, err = the_sweep.run(
                    "--programs", "count_if,partial_sum", "--sizes", "100", "--threads", "1,2",
                    "--samples", "5", *options, env={"STANDIN_JITTER": "count_if:0.3"})
                self.assertEqual(status, 0, err)
                run = load_checked(the_sweep.out)
                return load(the_sweep.out), run, out, err
        results, run, out, err = sweep_of("--extra-rounds", "2", "--round-budget", "600")
        members = [("", c) for c in run.cells if c.program == "count_if"]
        for _, item in members:
            item.samples = [sample for sample in item.samples if sample.round < 5]
        first = rounds.judge_answers(members, 5, 7, run.context)
        for item in results["cells"]:
            if item["program"] == "partial_sum":
                self.assertEqual((item["rounds"], item["stopped"]), (5, rounds.SETTLED))
            elif first.state == rounds.MORE:
                self.assertGreater(item["rounds"], 5)
            else:
                self.assertEqual((item["rounds"], item["stopped"]), (5, first.state))
        figures = results["context"]["extra_rounds"]
        self.assertEqual((figures["decided"] + figures["open"], figures["planned"]), (2, 5))
        self.assertIn(f"{figures['decided']} answer(s) decided (faster, slower or equivalent at "
                      f"the margin), {figures['open']} open", err)
        # Without extra rounds every cell has its planned rounds alone.
        results, _, out, _ = sweep_of("--extra-rounds", "0")
        self.assertEqual({(c["rounds"], c["stopped"]) for c in results["cells"]}, {(5, None)})
        self.assertNotIn("extra_rounds", results["context"])
        self.assertNotIn("Rounds:", out)

    @unittest.skipUnless(len(os.sched_getaffinity(0)) >= 2, "a duet needs two usable CPUs")
    def test_duet_runs_a_and_b_together_on_swapped_cpus(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        log = pathlib.Path(directory.name) / "log"
        hold = 0.4
        status, stdout, stderr, out = self.ab(
            "--duet", "--programs", "count_if", "--sizes", "100", "--samples", "4",
            env={"STANDIN_LOG": str(log), "STANDIN_LOG_CPUS": "1", "STANDIN_HOLD": str(hold)})
        self.assertEqual(status, 0, stderr)
        usable = ",".join(map(str, sorted(os.sched_getaffinity(0))))
        # The rounds' processes: the last 4 rounds of 2 cells in 2 builds (the
        # warm-ups and calibration loops before them run unpinned).
        lines = [line.split() for line in log.read_text().splitlines()][-4 * 2 * 2:]
        single = [(l[0], l[5], float(l[6][3:])) for l in lines if l[3] == "1"]
        self.assertEqual(len(single), 2 * 4)
        first_cpus = []
        for (build_1, cpus_1, at_1), (build_2, cpus_2, at_2) in zip(single[::2], single[1::2]):
            self.assertEqual({build_1, build_2}, {"A", "B"})
            # One CPU each, not the same one, and started together.
            self.assertEqual(len(cpus_1.split(",")) + len(cpus_2.split(",")), 2)
            self.assertNotEqual(cpus_1, cpus_2)
            self.assertLess(abs(at_1 - at_2), hold / 2)
            first_cpus.append(cpus_1 if build_1 == "A" else cpus_2)
        # A's CPU changes hands every round.
        self.assertEqual(first_cpus[0::2], [first_cpus[0]] * 2)
        self.assertEqual(first_cpus[1::2], [first_cpus[1]] * 2)
        self.assertNotEqual(first_cpus[0], first_cpus[1])
        # Two threads do not fit twice: those cells run one after the other, unpinned.
        double = [l for l in lines if l[3] == "2"]
        self.assertEqual({l[5] for l in double}, {f"cpus:{usable}"})
        starts = sorted(float(l[6][3:]) for l in double)
        self.assertTrue(all(b - a >= hold for a, b in zip(starts, starts[1:])), starts)
        report = json.loads((out / "ab.json").read_text())
        self.assertEqual({round(p["ratio"], 3) for p in report["pairs"]}, {2.0})
        self.assertEqual({p["label"]: p["side_by_side"] for p in report["pairs"]},
                         {"count_if/n:100/threads:1": True, "count_if/n:100/threads:2": False})
        self.assertIn("side by side, 1 interleaved (their thread count does not fit twice into "
                      "the usable CPUs): count_if/n:100/threads:2.", stdout)

    def test_a_duet_counts_neither_process_as_the_others_contention(self):
        # 4 s of CPU time passed over the pair (two CPUs, ticks of 10 ms): 2.5 s
        # busy, of which A used 1.0 s and B 1.0 s.
        before = machine.parse_proc_stat("cpu  0 0 0 0 0 0 0 0 0 0\nprocs_running 1\n", 0.0)
        after = machine.parse_proc_stat("cpu  250 0 0 150 0 0 0 0 0 0\nprocs_running 1\n", 0.0)
        pair = [runner.Process([], {}, contention=Contention(cpu_seconds=1.0)) for _ in "AB"]
        with mock.patch("algobench.measure.machine.clock_ticks_per_second", return_value=100):
            duet.shared(pair, before, after, 2.0)
        for process in pair:
            self.assertAlmostEqual(process.contention.others_seconds, 0.5)
            self.assertAlmostEqual(process.contention.others_share, 0.5 / 4.0)

    def test_unusable_builds_are_refused(self):
        status, _, stderr = run_suite(["ab", "/nonexistent/folder", "HEAD", "--programs",
                                       "count_if"])
        self.assertEqual(status, 1)
        self.assertIn("neither a folder of built programs nor a git revision", stderr)
        with tempfile.TemporaryDirectory() as empty:
            status, _, stderr = run_suite(["ab", empty, empty])
            self.assertIn("holds no built programs", stderr)



class ProgressLineTest(unittest.TestCase):
    def test_rounds_beyond_the_planned_ones_and_a_terminal_without_escapes(self):
        class Terminal(io.StringIO):
            def isatty(self):
                return True
        for term, escapes in (("xterm", True), ("dumb", False)):
            with self.subTest(term=term), mock.patch.dict(os.environ, {"TERM": term}):
                err = Terminal()
                console = Console(stdout=io.StringIO(), stderr=err)
                for index in (1, 2, 3, 4):
                    console(sweep_events.RoundDone(index, max(2, index), 0, 2, ("count_if/n:100",),
                                                   sweep_events.UNDECIDED, index % 2))
                text = err.getvalue()
                self.assertEqual("\033" in text, escapes, text)
                self.assertIn("[round 2/2]", text)
                self.assertIn("[round 4, beyond the 2 planned: count_if/n:100 undecided]", text)
                self.assertIn("1 short loop(s) measured again with more repetitions", text)
                self.assertEqual(text.count("note: "), 1)


if __name__ == "__main__":
    unittest.main()
