"""The runner's checks: stand-in programs that misbehave must fail their cell,
show their command and output, spare the other cells and fail the run."""

import os
import pathlib
import shutil
import tempfile
import threading
import unittest
from unittest import mock

from support import (TINY, StandinSweep, load, run_suite, standin_bin, strict_json,
                     suite_process)

from algobench.measure import calibration, machine_check, placement, runner
from algobench.measure.shape import Node, Shape, format_cpu_list
from algobench.plan.matrix import Cell


class FaultyProgramTest(unittest.TestCase):
    """Each fault in one program fails exactly that program's cells."""

    def sweep(self, fault: str, program: str, *extra: str, env: dict | None = None):
        with StandinSweep() as sweep:
            status, out, err = sweep.run("--programs", f"{program},nth_element",
                                         "--sizes", "12,40", "--threads", "1,2", *extra,
                                         fault=f"{program}:{fault}", env=env)
            return status, out, err, load(sweep.out)

    def assert_cells_failed(self, results: dict, program: str, reason: str) -> None:
        """Every cell of `program` failed, the first one for `reason`; the others passed."""
        by_program = {}
        for cell in results["cells"]:
            by_program.setdefault(cell["program"], []).append(cell)
        self.assertIn(reason, by_program[program][0]["failure"])
        for cell in by_program[program]:
            self.assertEqual(cell["status"], "failed", cell["name"])
            self.assertTrue(cell["failure"].startswith("warm-up: "), cell["failure"])
            self.assertIsNone(cell["stats"])
        for cell in by_program["nth_element"]:
            self.assertEqual(cell["status"], "ok", cell["name"])
            self.assertEqual(len(cell["samples"]), 2)

    def test_wrong_count_fails_the_cell_and_the_run(self):
        status, _, err, results = self.sweep("wrong_result", "count_if")
        self.assertEqual(status, 1)
        self.assert_cells_failed(results, "count_if", "result line says 7, expected 6")
        # The failing command and its whole output are shown.
        self.assertIn("bench_count_if 12 1 1", err)
        self.assertIn("res = 7", err)
        self.assertIn("count_if/n:12/threads:1", err)

    def test_wrong_negative_sine_count(self):
        _, _, _, results = self.sweep("wrong_result", "stable_partition")
        self.assert_cells_failed(results, "stable_partition", "expected 5")

    def test_missing_result_line(self):
        status, _, err, results = self.sweep("missing_result", "set_intersection")
        self.assertEqual(status, 1)
        self.assert_cells_failed(results, "set_intersection", "malformed report")
        self.assertIn("expected 4 lines, got 3", err)

    def test_echoed_threads_and_size_must_match(self):
        _, _, _, results = self.sweep("wrong_threads", "unique_copy")
        self.assert_cells_failed(results, "unique_copy", "threads")
        _, _, _, results = self.sweep("wrong_n", "partial_sum")
        self.assert_cells_failed(results, "partial_sum", "n = 13")

    def test_exit_status_and_non_finite_time(self):
        _, _, err, results = self.sweep("exit_3", "find_if")
        self.assert_cells_failed(results, "find_if", "exit status 3")
        self.assertIn("exit status: 3", err)
        _, _, err, results = self.sweep("segv", "find_if")
        self.assert_cells_failed(results, "find_if", "killed by SIGSEGV (signal 11)")
        self.assertNotIn("-11", err)
        _, _, _, results = self.sweep("nan_time", "count_if")
        self.assert_cells_failed(results, "count_if", "nan")

    def test_hung_process_times_out(self):
        status, _, _, results = self.sweep("hang", "partial_sort", "--timeout", "2")
        self.assertEqual(status, 1)
        self.assert_cells_failed(results, "partial_sort", "timed out after 2 s")

    def test_no_thread_left_to_wait_with_fails_the_cells(self):
        class NoThread(threading.Thread):
            def start(self):
                raise RuntimeError("can't start new thread")
        with mock.patch.object(runner.threading, "Thread", NoThread):
            status, _, err, results = self.sweep("", "count_if")
        self.assertEqual(status, 1, err)
        self.assertNotIn("Traceback", err)
        for cell in results["cells"]:
            self.assertIn("can't start new thread", cell["failure"])

    def test_clean_run_exits_zero(self):
        # A variable that caps the OpenMP team never reaches the programs (the
        # stand-in fails when it does): a 2-thread cell runs on 2 threads.
        status, out, err, results = self.sweep("", "count_if",
                                               env={"OMP_THREAD_LIMIT": "1", "OMP_DYNAMIC": "true"})
        self.assertIn("note: OMP_THREAD_LIMIT=1 is not passed to the programs", err)
        self.assertEqual(status, 0)
        self.assertEqual({c["status"] for c in results["cells"]}, {"ok"})
        self.assertEqual({c["result"] for c in results["cells"] if c["program"] == "count_if"},
                         {6, 20})
        self.assertIn("| count_if | 40 | 2 |", out)


class TeamTest(unittest.TestCase):
    def test_a_process_on_a_smaller_team_than_it_reports_fails_its_cell(self):
        # A team bound to one CPU runs, is warned about and its binding recorded. A
        # smaller team fails its cell once two looks in a row saw it so: one look
        # may catch a team still starting. The first looks come early, doubling
        # their interval: with the regular one far beyond the loop, it is seen.
        two_cpus = len(os.sched_getaffinity(0)) > 1
        for fault, affinity, status in (("", "", "ok"), ("count_if:small_team", "", "failed"),
                                        ("", "0" if two_cpus else "", "ok")):
            with self.subTest(fault=fault, affinity=affinity), StandinSweep() as sweep, \
                    mock.patch.object(runner, "TEAM_POLL", 60):
                code, _, err = sweep.run("--programs", "count_if", "--sizes", "2000",
                                         "--threads", "2", "--samples", "1", fault=fault,
                                         env={"STANDIN_HOLD": "0.5", **(
                                             {"GOMP_CPU_AFFINITY": affinity} if affinity else {})})
                results = load(sweep.out)
                cell, = results["cells"]
                self.assertEqual(cell["status"], status, err)
                if fault:
                    self.assertIn("ran on 1 thread(s) where it reports 2", cell["failure"])
                confined = [f for f in results.get("findings", []) if f["kind"] == "confined"]
                self.assertEqual(bool(confined), bool(affinity), results.get("findings"))
                self.assertEqual(results["context"].get("runtime_env", {}).get("GOMP_CPU_AFFINITY"),
                                 affinity or None)
                if affinity:
                    self.assertIn("count_if n=2e3 t=2 (2 threads on 1 CPU(s))", err)
                    self.assertIn("Environment: GOMP_CPU_AFFINITY=0",
                                  (sweep.out / "summary.md").read_text())

    def test_pinned_cells_of_every_backend_run_on_their_cpus_with_their_team(self):
        # Four threads wrap onto two CPUs (or one); oneTBB's arena takes what it is given.
        usable = sorted(os.sched_getaffinity(0))
        rows = [("", 4, "ok", None), ("count_if:wide_team", 4, "failed",
                                      f"ran 5 threads pinned to {len(usable[:4])} CPU(s)")]
        if len(usable) > 1:
            rows.append(("count_if:escape", 1, "failed", "outside the "))
        for fault, threads, status, failure in rows:
            with self.subTest(fault=fault), StandinSweep(("parallel-mode", "c++17-par")) as sweep:
                code, _, err = sweep.run("--programs", "count_if", "--sizes", "2000",
                                         "--threads", str(threads), "--samples", "1", "--pin",
                                         "--backends", "parallel-mode,c++17-par", fault=fault,
                                         env={"STANDIN_HOLD": "0.3"})
                results = load(sweep.out)
                self.assertEqual({c["status"] for c in results["cells"]}, {status}, err)
                self.assertEqual(results["context"]["placement"]["pin"], "close")
                for cell in results["cells"]:
                    self.assertEqual(cell["pinned"]["cpus"], format_cpu_list(usable[:threads]))
                    self.assertEqual("wrapped" in cell["pinned"], len(usable) < threads)
                    self.assertIn(failure or "", cell["failure"] or "")

    def test_check_machine_measures_each_placement_side_by_side(self):
        with StandinSweep(("parallel-mode", "c++17-par")) as sweep:
            status, out, err = run_suite(["check-machine", "--bin-dir", str(sweep.bin_dir),
                                          "--size", "2000", "--samples", "1", "--min-time",
                                          "0.001", "--out", str(sweep.out)])
            self.assertEqual(status, 0, err)
            result = strict_json((sweep.out / "check.json").read_text())
            self.assertEqual((sweep.out / "check.md").read_text(), out)
        labels = [label for label, _, numa in machine_check.PLACEMENTS
                  if numa is None or shutil.which("numactl")]
        self.assertEqual(list(result["placements"]), labels)
        self.assertIn("| backend | threads | " + " | ".join(labels) + " |", out)
        self.assertIn("checked: all passed", out)
        for row in result["rows"]:
            self.assertEqual((row["failures"], sorted(row["times"])), ({}, sorted(labels)))
            self.assertIn(f"| {row['backend']} | {row['threads']} (cores) | ", out)

    def test_cpu_sets_by_shape_mode_and_backend(self):
        two = Shape(list(range(16)), [[c, c + 8] for c in range(8)], {0: [0, 1, 2, 3],
                    1: [4, 5, 6, 7]}, [Node(0, [0, 1, 2, 3, 8, 9, 10, 11]),
                                       Node(1, [4, 5, 6, 7, 12, 13, 14, 15])])
        one = Shape([0, 1, 2, 3], [[0], [1], [2], [3]], {0: [0, 1, 2, 3]}, [Node(0, [0, 1, 2, 3])])
        # A container's cpuset: two cores of each socket of `two`.
        part = Shape([2, 3, 6, 7, 10, 11, 14, 15], [[2, 10], [3, 11], [6, 14], [7, 15]],
                     {0: [0, 1], 1: [2, 3]}, two.nodes)
        for machine, mode, threads, cpus in (
                (two, "close", 4, [0, 1, 2, 3]), (two, "close", 9, [*range(8), 8]),
                (two, "close", 20, list(range(16))), (two, "spread", 2, [0, 4]),
                (two, "spread", 3, [0, 4, 2]), (two, "spread", 10, [0, 4, 1, 5, 2, 6, 3, 7, 8, 12]),
                (one, "close", 2, [0, 1]), (one, "spread", 2, [0, 2]), (one, "spread", 3, [0, 1, 2]),
                (part, "close", 2, [2, 3]), (part, "spread", 2, [2, 6]),
                (part, "close", 5, [2, 3, 6, 7, 10]), (part, "spread", 6, [2, 6, 3, 7, 10, 14])):
            with self.subTest(mode=mode, threads=threads, usable=machine.usable):
                self.assertEqual(placement.cpus_for(machine, threads, mode), cpus)
        # Every backend's cell of a thread count gets the same CPUs; only OpenMP is told
        # them as places, and each may start the team its runtime would.
        placed = placement.Placement("spread", "interleave", two)
        for backend, env, team in (("parallel-mode", {"OMP_PROC_BIND": "close",
                                                      "OMP_PLACES": "{0},{4},{2}"}, 3),
                                   ("c++17-par", {}, 3), ("c++17-par-unseq", {}, 3)):
            cell = Cell("count_if", 10**6, 3, backend)
            cpus = placed.cpus(cell)
            self.assertEqual((cpus, placed.env(cell, cpus), placed.allowed_team(cell, cpus)),
                             ([0, 4, 2], env, team), backend)
            self.assertEqual(placed.prefix(cpus), ["numactl", "--interleave=0-1", "--"])
        self.assertEqual(placed.prefix([0]), ["numactl", "--interleave=0", "--"])
        self.assertEqual(placed.allowed_team(Cell("count_if", 10**6, 1, "sequential"), [0]), 1)


class CheckTest(unittest.TestCase):
    """runner.check on reports that are well-formed but not what was asked for."""

    def report(self, closing: str, result: str = "res = 500") -> str:
        return f"Time allocate:1e-05\nTime init:2e-05\n{result}\n{closing}\n"

    def test_accepts_the_report_of_the_command(self):
        report = runner.check(Cell("count_if", 1000, 2), 4, 0,
                              self.report("Result-> cpu:2  :size: 1000  :time: 0.000001000"))
        self.assertEqual((report.result, report.seconds_per_repetition), (500, 1e-06))

    def test_rejects(self):
        cell = Cell("count_if", 1000, 2)
        cases = {
            "wrong count": (0, self.report("Result-> cpu:2  :size: 1000  :time: 0.000001000",
                                           "res = 499")),
            "infinite time": (0, self.report("Result-> cpu:2  :size: 1000  :time: inf")),
            "negative time": (0, self.report("Result-> cpu:2  :size: 1000  :time: -0.000001000")),
            "non-zero exit": (1, self.report("Result-> cpu:2  :size: 1000  :time: 0.000001000")),
            "default-format time": (0, self.report("Result-> cpu:2  :size: 1000  :time: 1e-06")),
        }
        for name, (status, text) in cases.items():
            with self.subTest(name), self.assertRaises(runner.CheckFailed):
                runner.check(cell, 4, status, text)

    def test_find_if_expects_the_zero_position_the_sweep_passes(self):
        cell = Cell("find_if", 1000, 1)
        self.assertEqual(cell.fourth, 999)
        text = "Time allocate:1e-05\nTime init:0\npos_found = 1000\nResult-> cpu:1  :size: 1000  :time: 5e-05\n"
        with self.assertRaisesRegex(runner.CheckFailed, "expected 999"):
            runner.check(cell, 1, 0, text)

    def test_result_ledger_holds_thread_counts_to_one_value(self):
        ledger = runner.ResultLedger()
        ledger.check(Cell("count_if", 10, 1), 5)
        ledger.check(Cell("count_if", 10, 2), 5)
        ledger.check(Cell("count_if", 20, 2), 10)
        with self.assertRaisesRegex(runner.CheckFailed, "count_if/n:10/threads:1"):
            ledger.check(Cell("count_if", 10, 4), 6)


class CalibrationTest(unittest.TestCase):
    def test_repetitions_cover_min_time(self):
        self.assertEqual(calibration.calibrated_repetitions(0.05, 0.2), 1)
        reps = calibration.calibrated_repetitions(0.05, 1e-5)
        self.assertGreaterEqual(reps * 1e-5, 0.05)
        # A call below the microsecond clock counts as one tick, not as free.
        self.assertEqual(calibration.calibrated_repetitions(0.05, 0.0),
                         calibration.calibrated_repetitions(0.05, 1e-6))

    def test_a_fixed_first_call_cost_is_separated_from_the_per_call_cost(self):
        # 20 ms to start the team, 50 us per call: one step reaches the 62.5 ms aimed at.
        loop = lambda r: 0.020 + 50e-6 * r
        reps = calibration.next_repetitions(0.05, [(1, loop(1)), (3, loop(3))])
        self.assertGreaterEqual(loop(reps), 0.05)
        self.assertLess(loop(reps), 0.07)
        # Without a second point the repetitions grow with the shortfall.
        self.assertEqual(calibration.next_repetitions(0.05, [(10, 0.025)]), 25)
        self.assertEqual(calibration.next_repetitions(0.05, [(10, 0.0)]), 10_000)

    def test_first_call_excess_is_told_apart_from_later_calls(self):
        # 100 ms of first touch, 6 ms per later call.
        excess, per_call = calibration.first_call_fit((1, 0.106), (10, 0.160))
        self.assertAlmostEqual(excess, 0.1)
        self.assertAlmostEqual(per_call, 0.006)

    def test_cells_of_alike_pace_share_a_count_of_calls(self):
        # (own count, probe's mean a call, fewest calls reaching the target):
        # set_intersection at 10^7 as calibrated in a default sweep here; the
        # 1-thread oneTBB cells are ten times slower and keep their own.
        cells = {"pm1": (17, 0.030, 5), "pm2": (19, 0.026, 5), "seq": (37, 0.027, 3),
                 "par2": (3, 0.14, 1), "unseq2": (2, 0.15, 1), "par1": (1, 0.33, 1)}
        self.assertEqual(calibration.shared_counts(cells),
                         {"pm1": 19, "pm2": 19, "seq": 19, "par2": 2, "unseq2": 2, "par1": 1})
        # Never below the calls a cell's loop needs, nor above twice its own.
        cells = {"a": (40, 0.020, 30), "b": (10, 0.021, 5), "c": (12, 0.022, 5),
                 "d": (5, 0.023, 1)}
        self.assertEqual(calibration.shared_counts(cells), {"a": 40, "b": 10, "c": 10, "d": 10})

    def first_call_sweep(self, excess: str, min_time: str, one_call_slow: str = "0",
                         seconds: str = "0.0004", scale: str = ""):
        with StandinSweep() as sweep:
            status, _, err = sweep.run("--programs", "set_intersection", "--sizes", "1000",
                                       "--threads", "1", "--min-time", min_time,
                                       env={"STANDIN_SECONDS": seconds,
                                            "STANDIN_FIRST_CALL": excess,
                                            "STANDIN_ONE_CALL_SLOW": one_call_slow,
                                            "STANDIN_REPETITIONS_SCALE": scale})
            (cell,) = load(sweep.out)["cells"]
        self.assertEqual(status, 0, err)
        return cell, err

    def test_a_costly_first_call_is_measured_and_diluted(self):
        # 4 ms of first touch, 0.4 ms a call: 1.25 x 10 ms needs 22 calls, but
        # keeping the excess at 8% of the steady figure takes 125, which fit
        # in a loop of at most 8 x --min-time (80 ms).
        cell, err = self.first_call_sweep("0.004", "0.01")
        self.assertAlmostEqual(cell["first_call_excess"], 0.004, places=5)
        self.assertEqual(cell["repetitions"], 125)
        self.assertAlmostEqual(cell["first_call_share"], 4 / 54, places=3)
        self.assertNotIn("the first call in each process costs", err)

    def test_a_check_that_would_repeat_the_probe_runs_longer(self):
        # 0.3 ms of excess at 0.4 ms a call: 12.5 ms takes 31 calls, diluting
        # the excess 10, the probe's own count. The checking loop runs the 31.
        cell, err = self.first_call_sweep("0.0003", "0.01")
        self.assertEqual(cell["repetitions"], 31, err)
        self.assertAlmostEqual(cell["first_call_excess"], 0.0003, places=5)

    def test_a_one_call_loop_slowed_by_a_neighbour_does_not_make_calls_look_free(self):
        # 0.4 ms a call, but a neighbour slows the 1-call loop to 3.99 ms:
        # fitted through it and the 10-call loop (4 ms), a call costs 1.1 us
        # and 62.5 ms would take 53,000 calls (21 s a process). The checking
        # loop finds the 0.4 ms again.
        cell, _ = self.first_call_sweep("0", "0.05", one_call_slow="0.00359")
        self.assertLessEqual(cell["repetitions"], 8 * 0.05 / 0.0004)
        self.assertAlmostEqual(cell["first_call_excess"], 0, places=4)

    def test_a_first_call_slower_in_the_warm_up_than_in_the_probe(self):
        # 24 us a call after 1.3 ms of excess, 0.5 ms more of it in the warm-up's
        # process: the 1-call loop outlasts the 10-call one, and the 10-call mean
        # (0.15 ms) would give a 3.3 ms loop. The checking loop finds the pace.
        cell, err = self.first_call_sweep("0.0013", "0.01", one_call_slow="0.0005",
                                          seconds="0.000024")
        self.assertNotIn("short loop", err)
        self.assertGreaterEqual(cell["repetitions"] * 0.000024 + 0.0013, 0.01)
        self.assertAlmostEqual(cell["first_call_excess"], 0.0013, places=4)
        # 1.5 ms a call after 20 ms of first touch, the warm-up 20 ms slower
        # still: the 10-call mean (3.5 ms) asks for 2 calls, whose loop would
        # report 11.5 ms a call. The check dilutes the excess as far as a loop
        # of 8 x --min-time allows.
        cell, _ = self.first_call_sweep("0.02", "0.005", one_call_slow="0.02", seconds="0.0015")
        self.assertEqual(cell["repetitions"], 13)
        self.assertAlmostEqual(cell["first_call_excess"], 0.02, places=4)
        # 0.25 s of first touch at 10 ms a call, the checking loop of 11 calls
        # slowed to 25 ms a call: through it and the 10-call loop a call costs
        # 0.175 s, and one call would do. A check so close to the probe keeps
        # its own count.
        cell, _ = self.first_call_sweep("0.25", "0.05", one_call_slow="0.1", seconds="0.01",
                                        scale="11:2.5")
        self.assertEqual(cell["repetitions"], 11)

    def test_short_calls_are_counted_at_the_pace_of_later_calls(self):
        # 20 us a call, the first 40 us: counted from the warm-up alone, 10 ms
        # would take 313 calls, a 6.3 ms loop that falls short and starts the
        # size over; the probe of a quarter loop finds the 20 us. A first call
        # of 1 ms sends the cell to the first-call fit, which finds them too.
        # Either way the loop aims at twice --min-time.
        for first_call in ("0.00002", "0.001"):
            with self.subTest(first_call=first_call), StandinSweep() as sweep:
                status, _, err = sweep.run("--programs", "set_intersection", "--sizes", "1000",
                                           "--threads", "1", "--min-time", "0.01",
                                           env={"STANDIN_SECONDS": "0.00002",
                                                "STANDIN_FIRST_CALL": first_call})
                (cell,) = load(sweep.out)["cells"]
                self.assertEqual(status, 0, err)
                self.assertNotIn("short loop", err)
                self.assertGreaterEqual(cell["repetitions"] * 0.00002, 0.019)

    def test_a_loop_short_in_its_round_is_measured_again_there_or_kept(self):
        # Calibrated at 20 us a call, the rounds' loops of 1,000 calls (20 ms,
        # short calls aiming at twice --min-time) run faster than that.
        cases = {  # pace in those loops -> (repetitions, samples, measured again)
            # 2 ms, a fifth of --min-time: measured again within its round with
            # the repetitions for 12.5 ms at that pace, and kept.
            "a tenth": ("0.1", 6250, [2e-05, 2e-05], True),
            # 8 ms, beyond half of --min-time: kept as it is.
            "0.4 times": ("0.4", 1000, [8e-06, 8e-06], False),
        }
        for name, (factor, repetitions, samples, again) in cases.items():
            with self.subTest(name), StandinSweep() as sweep:
                status, _, err = sweep.run("--programs", "count_if", "--sizes", "1000",
                                           "--threads", "1", "--min-time", "0.01",
                                           env={"STANDIN_REPETITIONS_SCALE": f"1000:{factor}"})
                (cell,) = load(sweep.out)["cells"]
                self.assertEqual(status, 0, err)
                # Its round's other samples stay: no program size starts over.
                self.assertEqual([i["round"] for i in cell["sample_info"]], [0, 1])
                self.assertEqual((cell["repetitions"], cell["samples"]), (repetitions, samples))
                self.assertEqual("1 short loop(s) measured again" in err, again, err)

    def test_a_first_call_too_costly_to_dilute_is_named(self):
        # 4 ms of excess against loops of at most 8 x 2 ms: one call it is, and
        # nearly all of the figure is the excess.
        cell, err = self.first_call_sweep("0.004", "0.002")
        self.assertLessEqual(cell["repetitions"], 30)
        self.assertGreater(cell["first_call_share"], 0.2)
        (line,) = [l for l in err.splitlines() if "first call" in l]
        self.assertTrue(line.startswith("warning: the first call in each process costs more "
                                        "than a later one"), line)
        self.assertIn("in 1 cell: set_intersection n=1e3 t=1 (4 ms more, ", line)
        self.assertIn("; use --min-time 0.036 or more, or --hugepages", line)

    def test_one_call_programs_run_one_repetition(self):
        with StandinSweep() as sweep:
            sweep.run("--programs", "partial_sum,stable_partition,nth_element,partial_sort,"
                      "count_if", "--sizes", "100", "--threads", "1")
            reps = {c["program"]: c["repetitions"] for c in load(sweep.out)["cells"]}
        # Repeatable calls loop for 1.25 * 1 ms at 20 us a call; partial_sum's
        # calls repeat the same work on the same arrays, so it loops too.
        self.assertEqual(reps.pop("count_if"), 63)
        self.assertEqual(reps.pop("partial_sum"), 63)
        self.assertEqual(set(reps.values()), {1})

    def test_each_cell_loops_at_its_own_pace(self):
        # The 2-thread processes are twice as fast: each cell loops 1.25 ms at
        # its own pace, so a slow cell's loop is not stretched to the number
        # of calls the fastest one needs.
        with StandinSweep() as sweep:
            status, _, err = sweep.run("--programs", "count_if", "--sizes", "100,200",
                                       "--threads", "1,2",
                                       env={"STANDIN_SECONDS_PER_THREAD": "1"})
            cells = load(sweep.out)["cells"]
        self.assertEqual(status, 0, err)
        for n in (100, 200):
            reps = {c["threads"]: c["repetitions"] for c in cells if c["n"] == n}
            # 1.25 ms at 20 us a call; 2 ms at 10 us, where a loop of short
            # calls aims higher.
            self.assertEqual((reps[1], reps[2]), (63, 200))


class AfterTheCellsTest(unittest.TestCase):
    """The bandwidth probe and the plots see the sweep's thread counts and results."""

    def test_probe_figures_become_shares_and_reach_the_plots(self):
        drawn = []

        def draw(out_dir, run):
            drawn.append((out_dir, [c.bandwidth_share for c in run.cells]))
            return []

        probe = {1: {"sum": 1e9, "copy": 2e9, "triad": 3e9},
                 2: {"sum": 2e9, "copy": 4e9, "triad": 6e9}}
        with StandinSweep() as sweep, \
                mock.patch("algobench.measure.bandwidth.measure", return_value=probe) as measure, \
                mock.patch("algobench.export.plots.write", side_effect=draw):
            status, _, _ = run_suite(["run", "--bin-dir", str(sweep.bin_dir), "--out",
                                      str(sweep.out), "--programs", "count_if,find_if",
                                      "--sizes", "100", "--threads", "1,2", "--samples", "2",
                                      "--min-time", "0.001"])
            results = load(sweep.out)
        self.assertEqual(status, 0)
        self.assertEqual(measure.call_args.args[1], [1, 2])
        self.assertEqual(results["bandwidth"]["2"]["copy"], 4e9)
        shares = [c["bandwidth_share"] for c in results["cells"]]
        # count_if reads 8 bytes per element against the sum kernel; find_if has none.
        expected = [c["bytes_per_second"] / probe[c["threads"]]["sum"]
                    for c in results["cells"][:2]]
        self.assertEqual(shares, expected + [None])
        self.assertEqual(drawn, [(sweep.out, shares)])

    def test_a_failing_probe_fails_the_run_but_keeps_the_results(self):
        with StandinSweep() as sweep, \
                mock.patch("algobench.measure.bandwidth.measure", side_effect=RuntimeError("no probe")):
            status, _, err = run_suite(["run", "--bin-dir", str(sweep.bin_dir), "--out",
                                        str(sweep.out), "--programs", "count_if", "--sizes", "100",
                                        "--threads", "1", "--samples", "2", "--min-time", "0.001",
                                        "--no-plots"])
            self.assertEqual(status, 1)
            self.assertIn("bandwidth probe failed", err)
            self.assertEqual(load(sweep.out)["cells"][0]["status"], "ok")


    def test_refine_measures_sizes_between_a_bracket_s_ends_within_its_budget(self):
        # Two threads halve the call from n = 20000 on: 10^4 does not pay, 4 x 10^4
        # does, and 20000 (their geometric mean, made readable) halves the bracket.
        for budget, sizes, said in (("600", (10**4, 2 * 10**4, 4 * 10**4), "every bracket"),
                                    ("0.001", (10**4, 4 * 10**4), "1 bracket still wider")):
            with self.subTest(budget=budget), StandinSweep() as sweep:
                status, _, err = sweep.run(
                    "--programs", "count_if", "--sizes", "1e4,4e4", "--threads", "1,2",
                    "--refine", budget,
                    env={"STANDIN_SECONDS_PER_THREAD": "1", "STANDIN_PARALLEL_FROM": "2e4"})
                results = load(sweep.out)
                self.assertEqual(status, 0, err)
                self.assertEqual([(c["n"], c["threads"]) for c in results["cells"]],
                                 [(n, t) for n in sizes for t in (1, 2)])
                self.assertEqual(results["planned_cells"], results["completed_cells"])
                (found,) = results["crossovers"]
                self.assertEqual((found["found"], found["below"], found["at"]),
                                 ("from", sizes[0], sizes[1]))
                self.assertIn(f"note: --refine: {said}", err)


class InterruptTest(unittest.TestCase):
    def interrupted_run(self, fault: str, seed: str = "7"):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        root = pathlib.Path(directory.name)
        bin_dir = standin_bin(root)
        env = {**os.environ, "STANDIN_FAULT": f"find_if:{fault}"}
        completed = suite_process(
            "run", "--bin-dir", bin_dir, "--out", root / "out", "--programs",
            "count_if,find_if,nth_element", "--sizes", "50", "--threads", "1", *TINY, "--seed",
            seed, env=env, timeout=60)
        return completed, root / "out"

    def test_ctrl_c_in_a_round_keeps_the_samples_taken_and_says_so(self):
        completed, out = self.interrupted_run("interrupt_later")
        self.assertEqual(completed.returncode, 130, completed.stderr)
        self.assertIn("interrupted: the results so far are kept", completed.stderr)
        results = load(out)
        self.assertIs(results["interrupted"], True)
        self.assertEqual((results["planned_cells"], results["completed_cells"]), (3, 0))
        # No cell finished its two rounds; none of them failed either.
        self.assertEqual({c["status"] for c in results["cells"]}, {"interrupted"})
        kept = sum(len(c["samples"]) for c in results["cells"])
        rows = (out / "samples.csv").read_text().splitlines()
        self.assertEqual(len(rows), 1 + kept)
        self.assertTrue((out / "summary.md").read_text().splitlines()[2].startswith(
            "> **Interrupted:** the run was cut short; 0 of 3 cells completed."))

    def test_ctrl_c_in_a_warm_up_keeps_the_files(self):
        completed, out = self.interrupted_run("interrupt")
        self.assertEqual(completed.returncode, 130, completed.stderr)
        results = load(out)
        self.assertIs(results["interrupted"], True)
        self.assertEqual([c["samples"] for c in results["cells"]], [[], [], []])
        self.assertNotIn("Traceback", completed.stderr)


class InstructionCountTest(unittest.TestCase):
    """--metric instructions on the stand-ins, under a stand-in valgrind whose
    totals are known in advance: 5000 of one-time work and 1000 a call, each
    thread beyond the first adding 90% to a call."""

    VALGRIND = str(pathlib.Path(__file__).parent / "fixtures" / "runner" / "valgrind.py")

    def count(self, *options: str, env: dict | None = None):
        with StandinSweep() as sweep:
            status, out, err = sweep.run(
                "--metric", "instructions", *options,
                env={"ALGOBENCH_VALGRIND": self.VALGRIND, "STANDIN_WORK_PER_THREAD": "0.9",
                     **(env or {})})
            return status, out, err, (load(sweep.out) if (sweep.out / "results.json").exists()
                                      else None)

    def test_steady_counts_work_ratio_and_finding(self):
        status, out, err, results = self.count("--programs", "count_if,nth_element",
                                               "--sizes", "2000", "--threads", "1,2")
        self.assertEqual(status, 0, err)
        self.assertEqual(results["context"]["metric"], "instructions")
        cells = {c["name"]: c for c in results["cells"]}
        one = cells["count_if/n:2000/threads:1"]
        self.assertEqual(one["instruction_samples"], [1000.0])  # exact: counted once
        self.assertEqual(one["first_call_instructions"], 5000.0)
        two = cells["count_if/n:2000/threads:2"]
        self.assertEqual(two["instruction_samples"], [1900.0, 1900.0])  # on a team: twice
        self.assertAlmostEqual(two["work_ratio"], 1.9)
        # A call that cannot be repeated is counted once, its one-time work included.
        single = cells["nth_element/n:2000/threads:1"]
        self.assertEqual((single["instructions"], single["first_call_instructions"]),
                         (6000.0, None))
        self.assertEqual([f["cells"] for f in results["findings"] if f["kind"] == "extra_work"],
                         [["count_if/n:2000/threads:2"]])
        self.assertIn("1.90x the work of one thread", err)
        self.assertIn("| count_if | 2000 | 2 | 1,900 | 0.000 | 1.900x | 5,000 | ok |", out)

    def test_a_long_call_borrows_the_one_time_work_of_a_smaller_size(self):
        # Calls of 10^8: the larger size is counted from its one-call process less
        # the smaller size's one-time work, unless that work is over 1% of a call.
        for first, processes in (("5000", ["2000 1 1", "2000 1 2", "4000 1 1"]),
                                 ("2000000", ["2000 1 1", "2000 1 2", "4000 1 1", "4000 1 2"])):
            with self.subTest(first=first), tempfile.TemporaryDirectory() as temporary:
                log = pathlib.Path(temporary) / "calls"
                status, _, err, results = self.count(
                    "--programs", "count_if", "--sizes", "2000,4000", "--threads", "1",
                    env={"STANDIN_INSTRUCTIONS": "1e8", "STANDIN_FIRST_INSTRUCTIONS": first,
                         "STANDIN_CALLS_LOG": str(log)})
                self.assertEqual(status, 0, err)
                self.assertEqual(sorted(log.read_text().splitlines()), processes)
                self.assertEqual([(c["instruction_samples"], c["first_call_instructions"])
                                  for c in results["cells"]],
                                 [([1e8], float(first))] * 2)

    def test_a_count_that_cannot_be_read_fails_the_cell(self):
        status, _, err, results = self.count("--programs", "count_if", "--sizes", "12",
                                             "--threads", "1", env={"STANDIN_NO_TOTALS": "1"})
        self.assertEqual(status, 1)
        self.assertIn("no instruction count: callgrind wrote no totals or summary line",
                      results["cells"][0]["failure"])

    def test_ab_gate_holds_each_cell_to_its_threshold(self):
        with tempfile.TemporaryDirectory() as temporary:
            root = pathlib.Path(temporary)
            bin_a, bin_b = standin_bin(root, "A"), standin_bin(root, "B")
            (root / "limits").write_text("count_if/*/threads:1 instructions 0.5\n"
                                         "*/threads:2 instructions 5\n")
            env = {"ALGOBENCH_VALGRIND": self.VALGRIND, "STANDIN_INSTRUCTIONS_SCALE": "B:1.03"}
            with mock.patch.dict(os.environ, env):
                status, out, err = run_suite(
                    ["ab", str(bin_a), str(bin_b), "--metric", "instructions",
                     "--programs", "count_if,partial_sum", "--sizes", "2000",
                     "--threads", "1,2", "--thresholds", str(root / "limits"),
                     "--junit", str(root / "junit.xml"), "--out", str(root / "ab")])
            # B executes 3% more in every cell: above 0.5% at one thread of count_if,
            # within 5% at two, and partial_sum at one thread is not gated.
            self.assertEqual(status, 1, err)
            self.assertRegex(out, r"count_if/n:2000/threads:1 +1,000 +1,030 +1\.030000 +\+3\.000 "
                                  r"+more\n")
            self.assertIn("Counts are not time", out)
            self.assertIn("suite ab: count_if/n:2000/threads:1: B executes +3.000% instructions "
                          "of A (B/A 1.030000; limit 0.5%)\n", err)
            junit = (root / "junit.xml").read_text()
            self.assertEqual(junit, (root / "ab" / "gate.xml").read_text())
            self.assertEqual(junit.count("<testcase "), 3)
            self.assertEqual(junit.count("<failure "), 1)
            self.assertIn("partial_sum/n:2000/threads:1 | instructions | B/A 1.030000 |  | "
                          "not gated", (root / "ab" / "gate.md").read_text())

    def test_refused_without_valgrind_or_the_marks(self):
        with tempfile.TemporaryDirectory() as temporary:
            unmarked = pathlib.Path(temporary) / "bin"
            unmarked.mkdir()
            (unmarked / "bench_count_if").write_text("#!/bin/sh\n")
            (unmarked / "bench_count_if").chmod(0o755)
            (pathlib.Path(temporary) / "build-info.json").write_text(
                '{"instruction_marks": {"built": false, "reason": "the build found no '
                '<valgrind/callgrind.h>"}}')
            for bin_dir, valgrind, said in (
                    (unmarked, self.VALGRIND, "bench_count_if in " + str(unmarked) + " was "
                     "built without the marks of its timed loop: the build found no "
                     "<valgrind/callgrind.h>"),
                    (None, "/nonexistent/valgrind", "$ALGOBENCH_VALGRIND (/nonexistent/valgrind) "
                     "is not an executable file")):
                with self.subTest(said), mock.patch.dict(os.environ,
                                                         {"ALGOBENCH_VALGRIND": valgrind}):
                    bin_dir = bin_dir or standin_bin(pathlib.Path(temporary), "marked")
                    status, out, err = run_suite(
                        ["run", "--metric", "instructions", "--bin-dir", str(bin_dir),
                         "--programs", "count_if", "--sizes", "12", "--threads", "1",
                         "--backends", "parallel-mode",
                         "--out", str(pathlib.Path(temporary) / "out")])
                    self.assertEqual((status, out), (2, ""))
                    self.assertEqual(err, f"suite run: --metric instructions: {said}\n")


if __name__ == "__main__":
    unittest.main()
