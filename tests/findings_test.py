"""Warnings grouped by kind, the summary's note keys, which backend wins (and
when it is a tie), where going parallel starts to pay, cells of size 0 and the
warning about arrays larger than the free memory."""

import json
import unittest
from unittest import mock

from support import StandinSweep, cell, load, run_of

from algobench.judge import findings
from algobench.measure import machine
from algobench import model
from algobench.model.contention import Contention
from algobench.judge import derive as deriving, verdict
from algobench.judge.derive import derive
from algobench.export import answer_text, summary
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

    def test_why_a_parallel_call_does_not_pay_is_said_outright(self):
        # count_if streams its doubles; the probe reads less on 2 threads than on 1,
        # and a count run of the build says 2 threads do 2.15 times the work.
        cells = [cell("count_if", 10**7, 1, [1.0] * 5, rounds=True),
                 cell("count_if", 10**7, 2, [0.98, 1.0, 1.02, 0.99, 1.01], rounds=True),
                 cell("count_if", 10**6, 2, [0.5] * 5, rounds=True),  # no 1-thread cell
                 cell("count_if", 10**5, 1, [1.0] * 5, rounds=True),
                 cell("count_if", 10**5, 2, [0.5] * 5, rounds=True)]  # decided faster
        bandwidth = {"1": {"sum": 10.7e9}, "2": {"sum": 8.4e9}}
        ratios = {c.key: 2.15 for c in cells if c.threads == 2}
        caches = [{"level": 3, "size": 1 << 20}]
        run = derive(run_of(cells, bandwidth, caches=caches), work_ratios=ratios)
        found = {f.kind: f for f in run.findings}
        self.assertEqual(found[findings.MEMORY_BOUND].cells, [cells[1].name, cells[2].name])
        self.assertIn("count_if n=1e7 t=2 (the probe's sum reads 8.4 GB/s on 2 threads against "
                      "10.7 GB/s on 1)", found[findings.MEMORY_BOUND].text)
        self.assertEqual(found[findings.EXTRA_WORK].cells, [cells[1].name, cells[2].name])
        self.assertIn("count_if n=1e7 t=2 (2.15x the work of one thread, a speedup of at most "
                      "0.93x)", found[findings.EXTRA_WORK].text)
        # A probe that scales explains nothing.
        run = derive(run_of(cells, {"1": {"sum": 8e9}, "2": {"sum": 16e9}}, caches=caches))
        self.assertNotIn(findings.MEMORY_BOUND, {f.kind for f in run.findings})

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

    def test_an_interval_within_the_margin_is_equivalent_in_the_summary_too(self):
        parallel_mode = [1e-3] * 8
        par = [1e-3 * f for f in (0.98, 1.01, 0.97, 1.02, 0.99, 1.03, 0.96, 1.01)]
        (winner,) = self.pair(parallel_mode, par).winners
        self.assertLessEqual(winner.lead_low, 1)
        self.assertEqual(sorted(winner.tied), ["c++17-par", "parallel-mode"])
        self.assertEqual(winner.tied[0], winner.backend)
        markdown = summary.render_markdown(self.pair(parallel_mode, par))
        self.assertEqual(winner.verdict, verdict.EQUIVALENT)
        self.assertIn(f"| equivalent: {', '.join(winner.tied)} |", markdown)

    def test_without_rounds_the_faster_median_wins_undecided_and_old_files_still_load(self):
        run = self.pair([2e-3, 2e-3, 2e-3], [1e-3, 3e-3, 1e-3], rounds=False)
        (winner,) = run.winners
        self.assertEqual((winner.backend, winner.lead, winner.lead_low, winner.verdict,
                          winner.hint), ("c++17-par", 2.0, None, verdict.UNDECIDED, None))
        # A file written before hints were given lacks the field; one key is unknown.
        data = json.loads(json.dumps(run.to_dict()))
        del data["winners"][0]["hint"]
        data["winners"][0]["later"] = 1
        self.assertEqual(model.from_dict(data).winners, run.winners)

    def test_the_verdict_rule_on_recorded_rounds(self):
        """Seven rounds of the sequential build's time over the parallel mode's at
        one thread, whose median's interval runs from the smallest to the largest;
        judged both ways round, and as the winner of the two and its hint."""
        edge = 1.05
        rows = [  # (smallest, largest ratio, margin, verdict, hint[, the five between])
            (1.06, 1.3, 0.05, verdict.FASTER, None),
            (edge, 1.3, 0.05, verdict.UNDECIDED, verdict.MORE_ROUNDS),  # on the edge: not beyond
            (1 / 1.3, 1 / 1.06, 0.05, verdict.SLOWER, None),
            (1 / edge, edge, 0.05, verdict.EQUIVALENT, None),  # the band holds its edges
            (0.99, 1.051, 0.05, verdict.UNDECIDED, verdict.MORE_ROUNDS),  # its middle inside
            # Five of seven rounds beyond the edge: more rounds move the ends onto
            # them. Spread across the edge, no count of rounds allowed decides it.
            (1.01, 1.12, 0.05, verdict.UNDECIDED, verdict.MORE_ROUNDS),
            (1.01, 1.12, 0.05, verdict.UNDECIDED, None, [1.02, 1.04, 1.05, 1.07, 1.1]),
            (1.06, 1.09, 0.10, verdict.EQUIVALENT, None),
            # Scattered beyond what rounds decide: a quieter machine, where the
            # middle lies clear of the edges; within the noise floor of one, nothing.
            (0.7, 1.6, 0.05, verdict.UNDECIDED, verdict.QUIETER, [0.8, 0.9, 1.0, 1.2, 1.4]),
            (0.7, 1.6, 0.05, verdict.UNDECIDED, None, [0.8, 0.9, 1.035, 1.2, 1.4]),
        ]
        for low, high, margin, word, hint, *between in rows:
            with self.subTest(low=low, high=high, margin=margin, between=between):
                middle = (low * high) ** 0.5
                between = between[0] if between else [middle] * 5
                sequential = cell("count_if", 10**6, 1, [low] + between + [high],
                                  backend="sequential", rounds=True)
                parallel_mode = cell("count_if", 10**6, 1, [1.0] * 7, rounds=True)
                run = derive(run_of([sequential, parallel_mode], margin=margin))
                figure = (parallel_mode.vs_sequential_low, parallel_mode.vs_sequential_high)
                self.assertEqual(figure, (low, high))
                self.assertEqual(verdict.verdict(*figure, margin), word)
                _, *turned = deriving.paired(parallel_mode, sequential)
                self.assertEqual(verdict.verdict(*turned, margin), verdict.turned(word))
                (winner,) = run.winners
                self.assertEqual(winner.verdict, verdict.FASTER if word == verdict.SLOWER
                                 else word)
                self.assertEqual(winner.hint, hint)


    def test_pin_is_named_where_pinning_would_move_the_team(self):
        """Two 2-thread cells whose rounds scatter around a ratio of 1, unpinned:
        --pin where the team leaves usable CPUs or the machine has several NUMA
        nodes (or is not known); on every CPU of one node, a quieter machine."""
        def nodes(count):
            return {"nodes": [{"node": i, "cpus": str(i)} for i in range(count)]}
        for usable, shape, hint in ((2, nodes(1), verdict.QUIETER), (4, nodes(1), verdict.PIN),
                                    (2, nodes(2), verdict.PIN), (None, None, verdict.PIN)):
            with self.subTest(usable=usable, shape=shape):
                cells = [cell("count_if", 10**6, 2, [1e-3, 1.3e-3, 0.8e-3, 1.2e-3, 0.9e-3],
                              rounds=True),
                         cell("count_if", 10**6, 2, [1e-3] * 5, rounds=True, backend="c++17-par")]
                run = derive(run_of(cells, usable_cpus=usable, shape=shape))
                (winner,) = run.winners
                self.assertEqual((winner.verdict, winner.hint), (verdict.UNDECIDED, hint))


class CrossoverTest(unittest.TestCase):
    """The smallest n from which a parallel call is decided faster, bracketed."""

    SIZES = (10**4, 10**5, 10**6, 10**7)

    @classmethod
    def line(cls, program: str, speedups: list, backend: str = "parallel-mode"):
        """A derived run: at each size a 1-thread cell of the parallel mode and a
        2-thread cell of `backend` that many times as fast in every round (None:
        the 1-thread cell failed)."""
        cells = []
        for n, speedup in zip(cls.SIZES, speedups):
            cells.append(cell(program, n, 1, [1e-3] * 5, rounds=True, fourth="sweep",
                              status="ok" if speedup else "failed"))
            rounds = speedup if isinstance(speedup, tuple) else [speedup or 1] * 5
            cells.append(cell(program, n, 2, [1e-3 / s for s in rounds], rounds=True,
                              fourth="sweep", backend=backend))
        return derive(run_of(cells))

    def test_brackets(self):
        # partial_sort's k follows n: its sizes make one line all the same. Its
        # parallel-mode program is the sequential build c++17-par is set against.
        open_ = (0.8, 1.3, 1.0, 1.2, 0.9)  # a speedup its rounds leave undecided
        cases = [  # program, backend, speedup per size, (found, at, below[, undecided])
            ("count_if", "parallel-mode", [1, 1, 2, 2], ("from", 10**6, 10**5)),
            # An undecided size is inside the bracket, never one of its ends.
            ("count_if", "parallel-mode", [1, open_, 2, 2], ("from", 10**6, 10**4, [10**5])),
            ("count_if", "parallel-mode", [open_, open_, 2, 2], ("from", 10**6, None,
                                                               [10**4, 10**5])),
            ("count_if", "parallel-mode", [1, 1, open_, open_], ("never", None, 10**5,
                                                               [10**6, 10**7])),
            # Faster at 10^6 alone is no crossover while 10^7 is open.
            ("count_if", "parallel-mode", [0.5, open_, 2, open_], ("never", None, 10**4,
                                                                 [10**5, 10**7])),
            ("count_if", "parallel-mode", [1, 2, open_, 2], ("from", 10**7, 10**4, [10**6])),
            ("count_if", "parallel-mode", [2, 2, 2, 2], ("smallest", 10**4, None)),
            ("count_if", "parallel-mode", [1, 1, 1, 1.04], ("never", None, 10**7)),
            ("partial_sort", "c++17-par", [1, 2, 2, 0.9], ("never", None, 10**7)),
            ("partial_sort", "c++17-par", [2, 1, 2, 2], ("from", 10**6, 10**5)),
            # A size whose reference failed is no evidence either way.
            ("partial_sort", "c++17-par", [1, None, 2, 2], ("from", 10**6, 10**4)),
        ]
        for program, backend, speedups, expected in cases:
            with self.subTest(program=program, speedups=speedups):
                run = self.line(program, speedups, backend)
                (found,) = run.crossovers
                self.assertEqual((found.found, found.at, found.below, found.undecided),
                                 (*expected[:3], expected[3] if len(expected) > 3 else []))
                self.assertEqual(found.sizes, [n for n, s in zip(self.SIZES, speedups) if s])
                own = backend == "parallel-mode"
                self.assertEqual((found.reference, found.threshold, found.setting),
                                 ("1 thread", 1000, "count_minimal_n") if own
                                 else ("sequential build", None, None))
                data = json.loads(json.dumps(run.to_dict()))
                self.assertEqual(model.from_dict(data).crossovers, run.crossovers)
                del data["crossovers"]
                self.assertEqual(model.from_dict(data).crossovers, [])
        text = summary.render_markdown(self.line("count_if", [1, 1, 2, 2]))
        self.assertIn("count_if, parallel-mode, 2 threads (against 1 thread): pays from n = 10^6 "
                      "(2x (2-2)), not at 10^5 (1x (1-1)); the parallel mode starts its team "
                      "from n = 1,000 (__gnu_parallel::_Settings::count_minimal_n), where a "
                      "team does not pay here: raise it towards 10^6", text)
        text = summary.render_markdown(self.line("count_if", [1, 1, open_, open_]))
        self.assertIn("count_if, parallel-mode, 2 threads (against 1 thread): never faster in "
                      "the sizes measured (at 10^5: 1x (1-1)); undecided at 10^6, 10^7; the "
                      "parallel mode starts its team from n = 1,000 (__gnu_parallel::_Settings::"
                      "count_minimal_n), where a team does not pay here: raise it above 10^5",
                      text)
        self.assertEqual(answer_text.crossover_brief(self.line("count_if", [1, open_, 2, 2])
                                                     .crossovers),
                         ["count_if, 2 threads: parallel-mode from 10^6 (not at 10^4; "
                          "10^5 undecided)"])
        (mixed,) = self.line("count_if", [0.5, open_, 2, open_]).crossovers
        self.assertIn(": faster at 10^6, but not from there on, not at 10^4 (0.5x (0.5-0.5)); "
                      "undecided at 10^5, 10^7", answer_text.crossover_text(mixed))


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
        # One usable CPU is said once, with or without counts beyond it.
        for counts in ([1], [1, 2]):
            said = findings.machine_warnings(Context(build_type="Release", usable_cpus=1), counts)
            self.assertEqual(sum("no parallel cell can be measured" in w for w in said), 1)

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
