"""Warnings grouped by kind, the summary's note keys, which backend wins (and
when it is a tie), cells of size 0 and the warning about arrays larger than the
free memory."""

import json
import unittest
from unittest import mock

from support import StandinSweep, cell, load, run_of

from algobench.judge import findings
from algobench.measure import machine
from algobench import model
from algobench.model.contention import Contention
from algobench.judge.derive import derive
from algobench.export import summary
from algobench.model import Context
from algobench.plan.workload import PARALLEL_MODE, WORKLOADS

BUSY = Contention(wall_seconds=1.0, others_share=0.5, others_seconds=0.5, runnable_others=1)


def table_rows(markdown: str) -> dict[str, dict[str, str]]:
    """The summary table's rows as {"program/n/threads": {column: text}}."""
    lines = [line for line in markdown.splitlines() if line.startswith("| ")]
    header = [c.strip() for c in lines[0].strip("|").split("|")]
    rows = {}
    for line in lines[1:]:
        values = dict(zip(header, (c.strip() for c in line.strip("|").split("|"))))
        rows[f"{values['program']}/{values['n']}/{values['threads']}"] = values
    return rows


def note_lines(markdown: str) -> dict[str, str]:
    """The notes below the table: {key: text}."""
    notes = markdown.split("\nNotes:\n", 1)[1]
    return dict(line[2:].split(": ", 1) for line in notes.splitlines() if line.startswith("- "))


class GroupingTest(unittest.TestCase):
    def test_many_cells_of_one_kind_make_one_line(self):
        # Ten noisy cells whose 2-thread cells are twice as fast: one kind only.
        cells = []
        for n in (10**3, 10**4, 10**5, 10**6, 2_500_000):
            cells += [cell("count_if", n, 1, [2.0, 2.4, 1.6]), cell("count_if", n, 2, [1.0, 1.2, 0.8])]
        run = derive(run_of(cells))
        (noisy,) = run.findings
        self.assertEqual(noisy.cells, [c.name for c in cells])
        line = noisy.line
        self.assertIn("in 10 cells: count_if n=1e3 t=1 (20.0%), count_if n=1e3 t=2 (20.0%), ", line)
        self.assertIn("count_if n=1e5 t=2 (20.0%) and 4 more; use ", line)
        self.assertNotIn("2.5e6", line)
        self.assertEqual(line.count("more samples (--samples)"), 1)
        self.assertIn("pinned threads for the cells of more than one thread (--pin)", line)
        self.assertEqual(findings.cell_warnings(run), [line])

    def test_busy_comes_first_and_stands_for_its_cells_symptoms(self):
        one = cell("count_if", 10**5, 1, [1e-3, 1e-3, 1e-3])
        # Slower than one thread and spread out, but contended: the busy warning explains it.
        two = cell("count_if", 10**5, 2, [9e-3, 3e-2, 1e-2])
        for sample in two.samples:
            sample.contention = BUSY
        two.replaced = 6
        quiet = cell("partial_sum", 10**5, 1, [1.0, 1.3, 0.7])
        run = derive(run_of([one, two, quiet]))
        self.assertEqual([f.kind for f in run.findings], [findings.BUSY, findings.NOISY])
        busy, noisy = run.findings
        self.assertEqual(busy.line, findings.busy_warning(run))
        self.assertEqual(run.busy, busy.line)
        self.assertEqual(busy.cells, [two.name])
        self.assertEqual(noisy.cells, [quiet.name])

    def test_first_call_advice_covers_every_named_cell(self):
        cells = [cell("set_intersection", 10**7, 1, [0.01, 0.01], repetitions=3),
                 cell("partial_sum", 10**7, 1, [0.01, 0.01], repetitions=12)]
        cells[0].first_call_excess, cells[0].first_call_share = 0.004, 0.5
        cells[1].first_call_excess, cells[1].first_call_share = 0.001, 0.2
        (first_call,) = derive(run_of(cells)).findings
        self.assertEqual(first_call.kind, findings.FIRST_CALL)
        self.assertIn("set_intersection n=1e7 t=1 (4 ms more, 50% at 3 repetition(s)), "
                      "partial_sum n=1e7 t=1 (1 ms more, 20% at 12 repetition(s))", first_call.text)
        # 4 ms at 10% of the figure needs a loop of 36 ms more.
        self.assertEqual(first_call.advice,
                         "use --min-time 0.036 or more, or --hugepages, for a figure of the "
                         "steady call")

    def test_first_touch_is_named_on_more_than_one_node_unless_interleaved(self):
        cells = [cell("count_if", 10**6, t, [1e-3, 1e-3], backend=b)
                 for t, b in ((1, PARALLEL_MODE), (2, PARALLEL_MODE), (2, "c++17-par"),
                              (2, "sequential"))] + [cell("nth_element", 10**6, 2, [1e-3] * 2)]
        for placement, named in (({"nodes": 2}, [cells[1].name, cells[2].name]),
                                 ({"nodes": 2, "numa": "local"}, [cells[1].name, cells[2].name]),
                                 ({"nodes": 2, "numa": "interleave"}, None),
                                 ({"nodes": 1}, None), ({}, None)):
            with self.subTest(placement):
                found = [f for f in derive(run_of(cells, placement=placement)).findings
                         if f.kind == findings.FIRST_TOUCH]
                self.assertEqual([f.cells for f in found], [named] if named else [])
                if named:
                    self.assertIn("2 NUMA nodes", found[0].line)
                    self.assertIn("--numa interleave", found[0].line)

    def test_compact_sizes(self):
        cases = {0: "0", 12: "12", 999: "999", 1000: "1e3", 3001: "3001", 100000: "1e5",
                 2_500_000: "2.5e6", 31623: "31623", 12_000: "1.2e4"}
        for n, text in cases.items():
            with self.subTest(n=n):
                self.assertEqual(findings.compact_size(n), text)

    def test_findings_survive_results_json(self):
        run = derive(run_of([cell("nth_element", 10**6, 1, [1.0, 1.2, 0.8])]))
        data = json.loads(json.dumps(run.to_dict()))
        self.assertEqual(data["findings"][0]["kind"], findings.NOISY)
        self.assertEqual(model.from_dict(data).findings, run.findings)
        data["findings"] = "noisy"
        with self.assertRaisesRegex(model.ResultsError, "findings are not a list"):
            model.from_dict(data)


class SummaryNotesTest(unittest.TestCase):
    def test_warned_cells_carry_the_keys_of_their_warnings(self):
        cells = [cell("count_if", 10**5, 1, [1e-3, 1e-3]),
                 cell("count_if", 10**5, 2, [1e-3, 3e-3, 2e-3]),      # noisy and no speedup
                 cell("nth_element", 10**5, 1, [1e-3, 1.3e-3, 0.7e-3]),  # noisy
                 cell("find_if", 10**5, 1, [1e-3, 1e-3])]
        markdown = summary.render_markdown(derive(run_of(cells)))
        rows = table_rows(markdown)
        self.assertEqual(rows["count_if/100000/2"]["notes"], "a, b")
        self.assertEqual(rows["nth_element/100000/1"]["notes"], "a")
        self.assertEqual(rows["find_if/100000/1"]["notes"], "")
        self.assertEqual({r["status"] for r in rows.values()}, {"ok"})
        notes = note_lines(markdown)
        self.assertEqual(sorted(notes), ["a", "b"])
        self.assertTrue(notes["a"].startswith("samples vary by more than 5% (CV) in 2 cells"))
        self.assertTrue(notes["b"].startswith("no speedup in 1 cell"))

    def test_busy_note_refers_to_the_warning_above(self):
        one = cell("count_if", 10**5, 1, [1e-3, 1e-3])
        two = cell("count_if", 10**5, 2, [2e-3, 2e-3])
        for sample in two.samples:
            sample.contention = BUSY
        two.replaced = 3
        markdown = summary.render_markdown(derive(run_of([one, two])))
        self.assertEqual(markdown.count("the machine was busy during this run"), 1)
        self.assertEqual(table_rows(markdown)["count_if/100000/2"]["notes"], "a")
        self.assertIn("see the warning above", note_lines(markdown)["a"])
        # The count of samples measured again stays a paragraph of its own, not part of a note.
        lines = markdown.splitlines()
        replaced = lines.index("3 samples were measured again because another process "
                               "competed for the machine while they ran.")
        self.assertFalse(lines[replaced - 1].startswith("- "), lines[replaced - 1])

    def test_a_run_without_warnings_has_no_notes_column(self):
        markdown = summary.render_markdown(derive(run_of([cell("find_if", 100, 1, [1e-6, 1e-6])])))
        self.assertNotIn("Notes:", markdown)
        self.assertNotIn("notes", table_rows(markdown)["find_if/100/1"])
        self.assertIn("|  | ok |\n", markdown)


class WinnersRuleTest(unittest.TestCase):
    """The backend to use is chosen by the paired ratio that states its lead."""

    @staticmethod
    def pair(parallel_mode: list[float], par: list[float], rounds=True):
        return derive(run_of([cell("count_if", 10**6, 2, parallel_mode, rounds=rounds),
                              cell("count_if", 10**6, 2, par, backend="c++17-par",
                                   rounds=rounds)]))

    def test_the_faster_median_loses_to_the_faster_rounds(self):
        # c++17-par is 10% faster in 15 of 20 rounds and ten times slower in the
        # 5 quickest rounds of the parallel mode, which leaves its median time higher.
        parallel_mode = [1e-3 * (1 + 0.1 * i) for i in range(20)]
        par = [t * (10 if i < 5 else 0.9) for i, t in enumerate(parallel_mode)]
        run = self.pair(parallel_mode, par)
        self.assertGreater(run.cells[1].median, run.cells[0].median)
        (winner,) = run.winners
        self.assertEqual((winner.backend, winner.runner_up, winner.tied),
                         ("c++17-par", "parallel-mode", []))
        self.assertAlmostEqual(winner.lead, 1 / 0.9)
        self.assertGreater(winner.lead_low, 1)
        winners = summary.render_markdown(run).split("## Which backend wins")[1]
        row = table_rows(winners)["count_if/1000000/2"]
        self.assertEqual(row["backend to use"], "c++17-par")

    def test_an_interval_reaching_one_is_a_tie_in_the_summary_too(self):
        parallel_mode = [1e-3] * 8
        par = [1e-3 * f for f in (0.98, 1.01, 0.97, 1.02, 0.99, 1.03, 0.96, 1.01)]
        (winner,) = self.pair(parallel_mode, par).winners
        self.assertLessEqual(winner.lead_low, 1)
        self.assertEqual(sorted(winner.tied), ["c++17-par", "parallel-mode"])
        self.assertEqual(winner.tied[0], winner.backend)
        markdown = summary.render_markdown(self.pair(parallel_mode, par))
        self.assertIn(f"| tie: {', '.join(winner.tied)} |", markdown)

    def test_without_rounds_the_faster_median_wins_and_old_files_still_load(self):
        run = self.pair([2e-3, 2e-3, 2e-3], [1e-3, 3e-3, 1e-3], rounds=False)
        (winner,) = run.winners
        self.assertEqual((winner.backend, winner.lead, winner.lead_low, winner.tied),
                         ("c++17-par", 2.0, None, []))
        # A file written before ties were named lacks the field; one key is unknown.
        data = json.loads(json.dumps(run.to_dict()))
        del data["winners"][0]["tied"]
        data["winners"][0]["later"] = 1
        self.assertEqual(model.from_dict(data).winners, run.winners)


class SizeZeroTest(unittest.TestCase):
    def test_no_work_gives_no_ratio_or_rate(self):
        cells = [cell("count_if", 0, 1, [2e-7, 1e-7, 3e-7]), cell("count_if", 0, 2, [1e-7, 1e-7]),
                 cell("count_if", 100, 1, [2e-6, 2e-6]), cell("count_if", 100, 2, [1e-6, 1e-6])]
        run = derive(run_of(cells, {"1": {"sum": 1e10}, "2": {"sum": 1e10}}))
        for empty in cells[:2]:
            self.assertEqual((empty.speedup, empty.efficiency, empty.items_per_second,
                              empty.bytes_per_second, empty.bandwidth_share),
                             (None, None, None, None, None))
            self.assertIsNotNone(empty.median)
        self.assertAlmostEqual(cells[3].speedup, 2.0)
        # The clock's noise at n = 0 (CV 50%) is no warning.
        self.assertEqual(run.findings, [])

    def test_a_sweep_with_size_zero_shows_and_says_why(self):
        with StandinSweep() as sweep:
            status, out, err = sweep.run("--programs", "count_if", "--sizes", "0,100",
                                         "--threads", "1,2")
            results = load(sweep.out)
            written = (sweep.out / "summary.md").read_text()
        self.assertEqual(status, 0, err)
        self.assertIn(written, out)
        cells = {(c["n"], c["threads"]): c for c in results["cells"]}
        for threads in (1, 2):
            self.assertIsNone(cells[0, threads]["speedup"])
            self.assertIsNone(cells[0, threads]["efficiency"])
            self.assertIsNone(cells[0, threads]["items_per_second"])
        self.assertIsNotNone(cells[100, 2]["speedup"])
        rows = table_rows(written)
        notes = note_lines(written)
        for threads in (1, 2):
            row = rows[f"count_if/0/{threads}"]
            self.assertEqual((row["speedup"], row["efficiency"], row["Melem/s"]), ("", "", ""))
            self.assertIn("no work", notes[row["notes"]])
        self.assertNotEqual(rows["count_if/100/2"]["speedup"], "")
        self.assertEqual(written.count("no work at n = 0"), 1)


class MemoryWarningTest(unittest.TestCase):
    RELEASE = Context(build_type="Release", usable_cpus=2)

    def test_names_the_programs_whose_arrays_do_not_fit(self):
        warnings = findings.machine_warnings(
            self.RELEASE, [1], sizes={"set_intersection": 10**8, "count_if": 10**8},
            memory_available=2 << 30)
        self.assertEqual(len(warnings), 1, warnings)
        # 10^8 x 32 bytes is 2.98 GiB; count_if's 10^8 doubles (763 MiB) fit.
        self.assertIn("set_intersection at n = 1e8 allocates 2.98 GiB (32 bytes per element), "
                      "against 2 GiB available", warnings[0])
        self.assertNotIn("count_if", warnings[0])

    def test_the_limit_is_each_program_s_bytes_per_element(self):
        available = 1 << 30
        for program, workload in WORKLOADS.items():
            fits = available // workload.allocated_bytes
            with self.subTest(program):
                self.assertIsNone(findings.memory_warning({program: fits}, available))
                self.assertIn(program, findings.memory_warning({program: fits + 1}, available))

    def test_nothing_known_nothing_said(self):
        self.assertEqual(findings.machine_warnings(self.RELEASE, [1], sizes={"count_if": 10**12}),
                         [])
        self.assertEqual(findings.machine_warnings(self.RELEASE, [1], memory_available=1), [])

    def test_meminfo(self):
        text = "MemTotal:       16384000 kB\nMemFree:  100 kB\nMemAvailable:    8192000 kB\n"
        self.assertEqual(machine.parse_meminfo(text), 8192000 * 1024)
        self.assertIsNone(machine.parse_meminfo("MemTotal: 16384000 kB\n"))

    def test_the_sweep_warns_before_the_cells_run(self):
        with StandinSweep() as sweep, \
                mock.patch("algobench.measure.machine.memory_available", return_value=1000):
            status, _, err = sweep.run("--programs", "count_if,find_if", "--sizes", "10,200",
                                       "--threads", "1")
        self.assertEqual(status, 0, err)
        lines = err.splitlines()
        (warning,) = [i for i, line in enumerate(lines) if "larger than the free memory" in line]
        self.assertIn("count_if at n = 200 allocates 1.56 KiB (8 bytes per element)", lines[warning])
        self.assertNotIn("find_if", lines[warning])  # 800 bytes fit
        calibrated = [i for i, line in enumerate(lines) if "calibration of" in line]
        self.assertLess(warning, calibrated[0])


if __name__ == "__main__":
    unittest.main()
