"""The plots of a results folder, read as SVG, and `suite report`, which redraws
them with the summary."""

import json
import pathlib
import shutil
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from html_pages import INJECTED_HOST, SMALL_RUN_POINTS, small_run
from support import REPORT_FIXTURES, cell, run_of, run_suite

from algobench import model
from algobench.judge.derive import derive
from algobench.export import plots
from algobench.plan.workload import WORKLOADS

RUN_A = REPORT_FIXTURES / "run_a"
SVG = "{http://www.w3.org/2000/svg}"
SAMPLE_BARS = "bars: interquartile range of the samples"
from algobench.export.report_charts import BAND, NO_SPEEDUP
# Built in the parallel mode, but the call is sequential at any thread count.
NO_PARALLEL_CALL = sorted(name for name, w in WORKLOADS.items()
                          if w.parallel and not w.has_parallel_call)
WITH_PARALLEL_CALL = sorted(name for name, w in WORKLOADS.items() if w.has_parallel_call)
GROWING_FOURTH = sorted(name for name, w in WORKLOADS.items() if w.fourth_rule)


def load(path=RUN_A):
    return derive(model.load(path))


def draw(run, folder=None):
    """{file name: root element} of every plot `draw` writes of the derived run,
    each checked to be a standalone SVG document: its own namespace, a white
    background, no class or style left for a stylesheet, no script."""
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp) / (folder or "r")
        written = plots.draw(folder, run)
        found = {}
        for path in written:
            assert path.parent == folder / "plots", path
            root = ElementTree.parse(path).getroot()
            assert root.tag == f"{SVG}svg" and root[0].get("fill") == "#fff", path.name
            for element in root.iter():
                assert not {"class", "style"} & set(element.attrib), (path.name, element.attrib)
                assert element.tag not in (f"{SVG}script", f"{SVG}style"), path.name
            found[path.name] = root
        return found


def text(root):
    return " ".join(root.itertext())


def series(root):
    """{legend name: {cell name: tooltip}} of a plot's series, in the legend's order."""
    names = {t.get("data-series"): t.text for t in root.iter(f"{SVG}text") if t.get("data-series")}
    drawn = {}
    for group in root.iter(f"{SVG}g"):
        if group.get("data-series") is not None:
            drawn[names[group.get("data-series")]] = {
                point.get("data-key"): point.find(f"{SVG}title").text
                for point in group if point.get("data-key")}
    return drawn


def intervals(root):
    """How many points of a plot have an interval bar drawn."""
    return sum(path.get("d").count("V") for path in root.iter(f"{SVG}path")
               if path.get("stroke-width") == "1.3")


class DrawTest(unittest.TestCase):
    def test_every_plot_is_a_standalone_svg_with_its_title_host_and_date(self):
        results = load()
        results.context.host = INJECTED_HOST + "_1's \\node"
        drawn = draw(results, "it's here")
        # unique_copy failed, stable_partition ran at 1 thread only, the
        # sequential programs have no speedup plot.
        self.assertEqual(sorted(drawn), sorted(
            [f"speedup_{p}.svg" for p in ("count_if", "partial_sum", "set_intersection")]
            + [f"time_per_element_{p}.svg" for p in ("count_if", "partial_sum", "set_intersection",
                                                     "find_if", "nth_element", "stable_partition")]))
        for name, root in drawn.items():
            with self.subTest(name):
                self.assertIn(results.context.host, text(root))
                self.assertIn("2024-05-01", text(root))
        root = drawn["speedup_count_if.svg"]
        self.assertEqual(list(series(root)), ["2 threads"])
        for expected in ("count_if: speedup", "n (elements)", NO_SPEEDUP, BAND):
            self.assertIn(expected, text(root))
        root = drawn["time_per_element_count_if.svg"]
        self.assertEqual(list(series(root)), ["1 thread", "2 threads"])
        for expected in ("time per element (ns)", "n (elements)", SAMPLE_BARS):
            self.assertIn(expected, text(root))

    def test_each_plot_holds_the_points_of_its_chart_on_the_page(self):
        # Two backends, one of them the sequential build: the speedup over it is backends_*.
        # Over the sequential build count_if has one point: no line, no file; the
        # page leaves out stable_partition's one-point speedup, its file keeps it.
        files = {f"time_per_element_{p}.svg": SMALL_RUN_POINTS["time", p]
                 for p in ("count_if", "stable_partition")}
        files.update({"speedup_count_if.svg": SMALL_RUN_POINTS["speedup-self", "count_if"],
                      "speedup_stable_partition.svg": ["stable_partition/n:100000/threads:2"]})
        drawn = draw(small_run())
        self.assertEqual(sorted(drawn), sorted(files))
        for name, expected in files.items():
            with self.subTest(name):
                points = {k for tips in series(drawn[name]).values() for k in tips}
                self.assertEqual(points, set(expected))
        # A backend has page.css's colour on its marks too.
        sequential = next(g for g in drawn["time_per_element_count_if.svg"].iter(f"{SVG}g")
                          if g.get("data-backend") == "sequential")
        self.assertEqual(sequential.get("fill"), plots.colours()["b-sequential"])

    def test_nothing_to_draw_from_only_failed_cells(self):
        results = load()
        for failed in results.cells:
            failed.status = "failed"
        derive(results)
        self.assertEqual(draw(results), {})


class TimePerElementTest(unittest.TestCase):
    def test_one_series_per_thread_count_however_the_fourth_argument_follows_n(self):
        sizes = (1000, 10000, 100000)
        cells = [cell(program, n, 1, [2e-6 * n / 1000] * 3, fourth="sweep")
                 for program in GROWING_FOURTH for n in sizes]
        cells += [cell("count_if", n, t, [1e-6 * n / 1000 / t] * 3, fourth="sweep")
                  for n in sizes for t in (1, 2)]
        # ... and a fourth argument off the rule gets its own.
        odd = WORKLOADS[GROWING_FOURTH[0]].fourth(1000) + 1
        cells.append(cell(GROWING_FOURTH[0], 1000, 1, [2e-6] * 3, fourth=odd, name="odd"))
        drawn = draw(derive(run_of(cells)))
        for program in GROWING_FOURTH:
            with self.subTest(program):
                found = series(drawn[f"time_per_element_{program}.svg"])
                tips = found.pop("1 thread")
                self.assertEqual(len(tips), len(sizes))
                for tip in tips.values():
                    self.assertIn("\n2 ns per element", tip)
                odd_line = [f"1 thread ({WORKLOADS[program].fourth_name} = {odd:,})"]
                self.assertEqual(list(found), odd_line if program == GROWING_FOURTH[0] else [])
        self.assertEqual(list(series(drawn["time_per_element_count_if.svg"])),
                         ["1 thread", "2 threads"])

    def test_bars_are_the_interquartile_range_per_element(self):
        # Quartiles of 1..5 us (inclusive method): 2 and 4 us; per element of 1000: 2 and 4 ns.
        spread = cell("count_if", 1000, 1, [5e-6, 1e-6, 3e-6, 2e-6, 4e-6])
        single = cell("count_if", 10000, 1, [3e-5])  # one sample: no spread to show
        root = draw(derive(run_of([spread, single])))["time_per_element_count_if.svg"]
        tips = series(root)["1 thread"]
        self.assertIn("3 ns per element (interquartile range 2 ns to 4 ns)", tips[spread.name])
        self.assertIn("3 ns per element\n", tips[single.name])
        self.assertEqual(intervals(root), 1)


class SpreadOfSpeedupsTest(unittest.TestCase):
    def paired_run(self, programs):
        cells = []
        for program in programs:
            cells += [cell(program, 1000, 1, [4.0, 4.1, 3.9, 4.0, 4.2], rounds=True),
                      cell(program, 1000, 2, [2.5, 2.0, 2.2, 2.6, 2.1], rounds=True)]
        return derive(run_of(cells))

    def test_speedup_bars_are_the_paired_interval(self):
        program = WITH_PARALLEL_CALL[0]
        run = self.paired_run([program])
        two = next(c for c in run.cells if c.threads == 2)
        self.assertLess(two.speedup_low, two.speedup)
        self.assertLess(two.speedup, two.speedup_high)
        drawn = draw(run)
        root = drawn[f"speedup_{program}.svg"]
        self.assertIn(f"time {two.speedup:.3g} (interval {two.speedup_low:.4g} to "
                      f"{two.speedup_high:.4g})", series(root)["2 threads"][two.name])
        # One size: its bar, not a band.
        self.assertEqual(intervals(root), 1)
        self.assertIn(NO_SPEEDUP, text(root))

    def test_the_plots_draw_the_derived_speedups_and_no_bars_without_rounds(self):
        cells = [cell("count_if", 10, t, s)
                 for t, s in ((1, [4.0, 4.2, 3.8]), (2, [2.5, 2.5, 2.6]), (4, [1.0, 9.0, 1.0]))]
        drawn = series(draw(derive(run_of(cells)))["speedup_count_if.svg"])
        tips = {k: v for found in drawn.values() for k, v in found.items()}
        self.assertEqual([tips[c.name].splitlines()[1] for c in cells[1:]],
                         [f"speedup over its own 1-thread time {s}" for s in (1.6, 4)])
        for name, root in draw(load()).items():
            if not name.startswith("time_per_element"):
                self.assertEqual(intervals(root), 0, name)

    def test_programs_without_a_parallel_call_keep_their_speedup_plot(self):
        self.assertTrue(NO_PARALLEL_CALL)
        drawn = draw(self.paired_run(NO_PARALLEL_CALL))
        for program in NO_PARALLEL_CALL:
            # Its speedup, about 1 at any thread count, is still worth seeing.
            self.assertIn(f"speedup_{program}.svg", drawn)


class ReportCommandTest(unittest.TestCase):
    def report(self, *argv):
        return run_suite(["report", *map(str, argv)])

    def test_rewrites_every_file_of_the_folder_from_its_results(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = pathlib.Path(tmp) / "2024-05-01T10-00-00"
            shutil.copytree(RUN_A, folder)
            before = json.loads((folder / "results.json").read_text())
            # What a user added by hand stays.
            before["notes"], before["cells"][2]["comment"] = "rerun on a quiet node", "odd"
            (folder / "results.json").write_text(json.dumps(before))
            status, out, _ = self.report(folder)
            self.assertEqual(status, 0)
            # The fixture holds what a run of the previous schema wrote: derived
            # again, it comes out the same but for the version and the backend
            # every cell of that schema ran on.
            after = json.loads((folder / "results.json").read_text())
            self.assertEqual(after["schema_version"], 4)
            self.assertEqual({c.pop("backend") for c in after["cells"]}, {"parallel-mode"})
            # ... and the metric it measured, time, without counts ...
            self.assertEqual(after["context"].pop("metric"), "time")
            self.assertEqual({json.dumps(c.pop("instruction_samples")) for c in after["cells"]},
                             {"[]"})
            # ... and without a sequential build in the run, no speedup over it.
            for field in ("vs_sequential", "vs_sequential_low", "vs_sequential_high",
                          "first_call_instructions", "instructions", "instructions_spread",
                          "work_ratio"):
                self.assertEqual({c.pop(field) for c in after["cells"]}, {None})
            # ... and each cell says how many rounds it had, none beyond the planned ones.
            for field in ("stopped", "settle_width"):
                self.assertEqual({c.pop(field) for c in after["cells"]}, {None})
            self.assertEqual([c.pop("rounds") for c in after["cells"]],
                             [len(c["samples"]) for c in before["cells"]])
            # ... and where going parallel starts to pay, for every program measured on 2 threads.
            self.assertEqual({c["program"] for c in after.pop("crossovers")},
                             {c["program"] for c in before["cells"]
                              if c["threads"] > 1 and c["status"] == "ok"})
            self.assertEqual(dict(after, schema_version=2), before)
            rewritten = (folder / "results.json").read_bytes()
            self.assertEqual(self.report(folder)[0], 0)
            self.assertEqual((folder / "results.json").read_bytes(), rewritten)
            summary_md = (folder / "summary.md").read_text()
            self.assertEqual(out, summary_md)
            self.assertIn("count_if", summary_md)
            csv_lines = (folder / "summary.csv").read_text().splitlines()
            self.assertEqual(len(csv_lines), 1 + len(load().cells))
            self.assertIn('"benchmarks"', (folder / "benchmark.json").read_text())
            self.assertIn("count_if", (folder / "plots" / "speedup_count_if.svg").read_text())

    def test_bandwidth_shares_reach_the_summary(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = pathlib.Path(tmp) / "r"
            shutil.copytree(RUN_A, folder)
            run = model.load(folder)
            for item in run.cells:
                item.bandwidth_share = None  # as if the run had stored none
            run.bandwidth = {"1": {"sum": 8e9, "copy": 8e9, "triad": 8e9}}
            run.save(folder)
            status, out, _ = self.report(folder, "--no-plots")
            self.assertEqual(status, 0)
            self.assertFalse((folder / "plots").exists())
        share = model.load(RUN_A).cells[0]  # count_if at 10^5 on one thread
        derive(run_of([share], {"1": {"sum": 8e9, "copy": 8e9, "triad": 8e9}}))
        row = next(line for line in out.splitlines()
                   if line.startswith(f"| count_if | {share.n} | 1 |"))
        self.assertTrue(row.endswith(f"| {share.bandwidth_share * 100:.0f} | ok |"), row)

    def test_refuses_a_folder_without_results(self):
        with tempfile.TemporaryDirectory() as tmp:
            status, _, err = self.report(tmp)
            self.assertEqual(status, 2)
            self.assertIn("results.json", err)
            status, _, err = self.report(pathlib.Path(tmp) / "missing")
            self.assertEqual(status, 2)
            self.assertIn("is not a folder", err)


if __name__ == "__main__":
    unittest.main()
