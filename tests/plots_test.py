"""The plots of a results folder and `suite report`, which redraws them with the summary."""

import contextlib
import io
import math
import json
import pathlib
import re
import shutil
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from unittest import mock

from support import REPORT_FIXTURES, cell, run_of, run_suite

from algobench import model
from algobench.derive import derive
from algobench.export import gnuplot, plots
from algobench.workload import WORKLOADS

RUN_A = REPORT_FIXTURES / "run_a"
SVG = "{http://www.w3.org/2000/svg}svg"
SAMPLE_BARS = "bars: interquartile range of the samples"
ROUND_BARS = "bars: interval of the median over rounds"
# Built in the parallel mode, but the call is sequential at any thread count.
NO_PARALLEL_CALL = sorted(name for name, w in WORKLOADS.items()
                          if w.parallel and not w.has_parallel_call)
WITH_PARALLEL_CALL = sorted(name for name, w in WORKLOADS.items() if w.has_parallel_call)
GROWING_FOURTH = sorted(name for name, w in WORKLOADS.items() if w.fourth_rule)


def load(path=RUN_A):
    return derive(model.load(path))


def svg_text(path):
    root = ElementTree.parse(path).getroot()
    return root, " ".join(t for t in root.itertext())


def svg_series(path):
    """The key entries of an SVG gnuplot wrote, in order: each titled plot
    element is a group gnuplot_plot_<i> whose first text is its key entry."""
    namespace = "{http://www.w3.org/2000/svg}"
    found = []
    for group in ElementTree.parse(path).getroot().iter(f"{namespace}g"):
        if (group.get("id") or "").startswith("gnuplot_plot_"):
            text = group.find(f".//{namespace}text")
            if text is not None:
                found.append("".join(text.itertext()))
    return found


def scripts_of(run):
    """The gnuplot script of every plot `draw` would render of the derived run, by file name;
    gnuplot is not run."""
    drawn = {}

    def render(gnuplot, plot):
        drawn[plot.path.name] = plot.script()
        return plot.path

    with mock.patch.object(plots, "_ensure_gnuplot", return_value="gnuplot"), \
            mock.patch.object(plots, "_render", side_effect=render), \
            tempfile.TemporaryDirectory() as tmp:
        plots.draw(pathlib.Path(tmp), derive(run))
    return drawn


ELEMENT = re.compile(r'(\$\w+) using (\S+) with (\w+)[^,]*?(?:title "((?:[^"\\]|\\.)*)"|notitle)')


def elements(script):
    """The plot command's data elements: (datablock, columns, style, title; "" for notitle)."""
    command = next(line for line in script.splitlines() if line.startswith("plot "))
    return ELEMENT.findall(command)


def titles(script):
    return [title for _, _, style, title in elements(script) if style == "linespoints"]


def block(script, name):
    """A datablock's rows as lists of numbers."""
    lines = script.splitlines()
    start = lines.index(f"{name} << EOD") + 1
    end = lines.index("EOD", start)
    return [[float(v) for v in line.split()] for line in lines[start:end]]


def curve(script, title):
    """(points, bars) of the curve with this title: rows of its two datablocks."""
    found = [name for name, _, style, t in elements(script) if style == "linespoints" and t == title]
    assert len(found) == 1, (title, titles(script))
    bars = found[0].replace("$data", "$bars")
    has_bars = any(name == bars for name, *_ in elements(script))
    return block(script, found[0]), block(script, bars) if has_bars else []


def labelled_tics(script, axis, parse=float):
    """{position: label} of the labelled tics of an axis, and the unlabelled positions."""
    line = next(line for line in script.splitlines() if line.startswith(f"set {axis}tics ("))
    entries = re.findall(r'"([^"]*)" (\S+?)(?: (1))?(?:,|\)$)', line)
    labelled = {float(position): label for label, position, minor in entries if label}
    unlabelled = [float(position) for label, position, minor in entries if not label]
    for position, label in labelled.items():
        assert math.isclose(parse(label), position), (label, position)
    return labelled, unlabelled


def axis_range(script, axis):
    line = next(line for line in script.splitlines() if line.startswith(f"set {axis}range ["))
    low, high = line[line.index("[") + 1:line.index("]")].split(":")
    return float(low), float(high)


def count_value(label):
    """"20k" -> 20000.0, as the x axis of a time plot labels n."""
    scale = {"k": 1e3, "M": 1e6, "G": 1e9}.get(label[-1:], 1)
    return float(label[:-1] if scale != 1 else label) * scale


@unittest.skipIf(shutil.which("gnuplot") is None, "gnuplot is not installed: no plots to check")
class DrawTest(unittest.TestCase):
    def test_every_plot_is_a_nonempty_svg_with_its_title(self):
        with tempfile.TemporaryDirectory() as tmp:
            written = plots.draw(pathlib.Path(tmp), load())
            names = sorted(p.name for p in written)
            # unique_copy failed, stable_partition ran at 1 thread only, the
            # sequential programs have no speedup plot.
            self.assertEqual(
                names,
                sorted(
                    ["efficiency.svg"]
                    + [f"speedup_{p}.svg" for p in ("count_if", "partial_sum", "set_intersection")]
                    + [
                        f"time_per_element_{p}.svg"
                        for p in ("count_if", "partial_sum", "set_intersection", "find_if",
                                  "nth_element", "stable_partition")
                    ]
                ),
            )
            for path in written:
                self.assertEqual(path.parent, pathlib.Path(tmp) / "plots")
                self.assertGreater(path.stat().st_size, 1000)
                root, text = svg_text(path)
                self.assertEqual(root.tag, SVG)
                self.assertIn("bench-host", text)
                self.assertIn("2024-05-01", text)
            _, text = svg_text(pathlib.Path(tmp) / "plots" / "speedup_count_if.svg")
            for expected in ("count_if: speedup", "threads", "ideal", "n = 100,000", "n = 10,000,000"):
                self.assertIn(expected, text)
            _, text = svg_text(pathlib.Path(tmp) / "plots" / "time_per_element_count_if.svg")
            for expected in ("time per element (ns)", "n (elements)", "1 thread", "2 threads"):
                self.assertIn(expected, text)
            _, text = svg_text(pathlib.Path(tmp) / "plots" / "efficiency.svg")
            self.assertIn("partial_sum (n = 10,000,000)", text)
            self.assertNotIn("unique_copy", text)

    def test_quotes_and_underscores_in_the_context_do_not_break_the_script(self):
        results = load()
        results.context.host = "lab\"box_1's \\node"
        with tempfile.TemporaryDirectory() as tmp:
            folder = pathlib.Path(tmp) / "it's here"
            written = plots.draw(folder, results)
            self.assertEqual(len(written), 10)
            _, text = svg_text(folder / "plots" / "efficiency.svg")
            self.assertIn("lab\"box_1's \\node", text)

    def test_the_svg_has_one_series_per_thread_count_and_names_its_bars(self):
        program = GROWING_FOURTH[0]
        rule = WORKLOADS[program].fourth_rule
        cells = [cell(program, n, 1, [n * 1e-8, n * 1.1e-8, n * 1.3e-8], fourth="sweep")
                 for n in (1000, 10000, 100000)]
        cells += [cell("count_if", n, t, [n * 1e-9 / t * f for f in (1, 1.1, 0.9)], rounds=True)
                  for n in (1000, 10000) for t in (1, 2)]
        with tempfile.TemporaryDirectory() as tmp:
            plots.draw(pathlib.Path(tmp), derive(run_of(cells)))
            folder = pathlib.Path(tmp) / "plots"
            path = folder / f"time_per_element_{program}.svg"
            self.assertEqual(svg_series(path), [f"1 thread ({rule})"])
            self.assertIn(SAMPLE_BARS, svg_text(path)[1])
            # A zero point size writes a singular transform some SVG readers refuse.
            for drawn in folder.iterdir():
                self.assertNotRegex(drawn.read_text(), r"scale\(0(\.0*)?\)", drawn.name)
            self.assertEqual(svg_series(folder / "time_per_element_count_if.svg"),
                             ["1 thread", "2 threads"])
            self.assertEqual(svg_series(folder / "speedup_count_if.svg"),
                             ["ideal", "n = 1,000", "n = 10,000"])
            self.assertIn(ROUND_BARS, svg_text(folder / "efficiency.svg")[1])

    def test_nothing_to_draw_from_only_failed_cells(self):
        results = load()
        for failed in results.cells:
            failed.status = "failed"
        derive(results)
        with tempfile.TemporaryDirectory() as tmp:
            self.assertEqual(plots.draw(pathlib.Path(tmp), results), [])


class SpeedupTest(unittest.TestCase):
    def test_the_plots_draw_the_derived_speedups(self):
        cells = [cell("count_if", 10, t, s)
                 for t, s in ((1, [4.0, 4.2, 3.8]), (2, [2.5, 2.5, 2.6]), (4, [1.0, 9.0, 1.0]))]
        derive(run_of(cells))
        curve = plots._speedups(cells)[("count_if", 10, None, "parallel-mode")]
        self.assertEqual({t: s for t, (s, _) in curve.items()}, {1: 1.0, 2: 1.6, 4: 4.0})
        # No base time at one thread: no speedups, so nothing to draw.
        cells[0].status = "failed"
        derive(run_of(cells))
        self.assertEqual(plots._speedups(cells), {})


class TimePerElementTest(unittest.TestCase):
    def test_one_curve_per_thread_count_however_the_fourth_argument_follows_n(self):
        sizes = (1000, 10000, 100000)
        cells = [cell(program, n, 1, [2e-6 * n / 1000] * 3, fourth="sweep")
                 for program in GROWING_FOURTH for n in sizes]
        cells += [cell("count_if", n, t, [1e-6 * n / 1000 / t] * 3, fourth="sweep")
                  for n in sizes for t in (1, 2)]
        scripts = scripts_of(run_of(cells))
        for program in GROWING_FOURTH:
            with self.subTest(program):
                script = scripts[f"time_per_element_{program}.svg"]
                title = f"1 thread ({WORKLOADS[program].fourth_rule})"
                self.assertEqual(titles(script), [title])
                points, _ = curve(script, title)
                self.assertEqual([x for x, _ in points], [float(n) for n in sizes])
                for _, nanoseconds in points:
                    self.assertAlmostEqual(nanoseconds, 2.0)
        self.assertEqual(titles(scripts["time_per_element_count_if.svg"]), ["1 thread", "2 threads"])

    def test_a_fourth_argument_off_the_rule_gets_its_own_curve(self):
        program = GROWING_FOURTH[0]
        workload = WORKLOADS[program]
        odd = workload.fourth(1000) + 1
        cells = [cell(program, n, 1, [1e-6] * 3, fourth="sweep") for n in (1000, 10000)]
        cells.append(cell(program, 1000, 1, [1e-6] * 3, fourth=odd))
        script = scripts_of(run_of(cells))[f"time_per_element_{program}.svg"]
        self.assertEqual(titles(script), [f"1 thread ({workload.fourth_rule})",
                                          f"1 thread ({workload.fourth_name} = {odd:,})"])

    def test_bars_are_the_interquartile_range_per_element(self):
        # Quartiles of 1..5 us (inclusive method): 2 and 4 us; per element of 1000: 2 and 4 ns.
        spread = cell("count_if", 1000, 1, [5e-6, 1e-6, 3e-6, 2e-6, 4e-6])
        single = cell("count_if", 10000, 1, [3e-5])  # one sample: no spread to show
        script = scripts_of(run_of([spread, single]))["time_per_element_count_if.svg"]
        points, bars = curve(script, "1 thread")
        self.assertEqual(points, [[1000.0, 3.0], [10000.0, 3.0]])
        self.assertEqual(len(bars), 1)
        for got, expected in zip(bars[0], [1000.0, 3.0, 2.0, 4.0]):
            self.assertAlmostEqual(got, expected)
        self.assertIn("yerrorbars", [style for _, _, style, _ in elements(script)])
        self.assertIn(f'set label "{SAMPLE_BARS}"', script)
        # Without any spread, no bars and nothing said about them.
        script = scripts_of(run_of([single]))["time_per_element_count_if.svg"]
        self.assertNotIn("yerrorbars", script)
        self.assertNotIn("bars:", script)

    def test_log_axes_label_powers_of_ten_and_1_2_5_steps(self):
        # 10^3 .. 10^6 elements at 0.3 .. 40 ns per element.
        cells = [cell("count_if", 10**e, 1, [10**e * ns * 1e-9] * 2)
                 for e, ns in ((3, 40.0), (4, 3.0), (5, 0.5), (6, 0.3))]
        script = scripts_of(run_of(cells))["time_per_element_count_if.svg"]
        self.assertIn("set logscale xy", script)
        x_tics, _ = labelled_tics(script, "x", count_value)
        for e in range(3, 7):
            self.assertIn(10.0**e, x_tics)
            if e < 6:
                self.assertIn(2 * 10.0**e, x_tics)
                self.assertIn(5 * 10.0**e, x_tics)
        self.assertEqual(x_tics[1e4], "10k")
        y_tics, _ = labelled_tics(script, "y")
        for tic in (0.2, 0.5, 1, 2, 5, 10, 20, 50):
            self.assertIn(tic, y_tics)

    def test_every_range_gets_readable_tics(self):
        for values in ([2.2, 2.9], [0.011, 0.013], [0.3, 40.0], [7e3, 3e4], [1e-3, 1e6]):
            with self.subTest(values):
                lines = "\n".join(gnuplot.log_axis("y", values))
                low, high = axis_range(lines, "y")
                self.assertLessEqual(low, min(values))
                self.assertGreaterEqual(high, max(values))
                labelled, unlabelled = labelled_tics(lines, "y")
                self.assertGreaterEqual(len(labelled), 3)
                self.assertTrue(all(low <= tic <= high for tic in [*labelled, *unlabelled]))
                decades = range(math.ceil(math.log10(low)), math.floor(math.log10(high)) + 1)
                for e in decades:
                    self.assertIn(float(f"1e{e}"), labelled)
                if len(decades) > 6:
                    # Too many decades for 1-2-5 labels: the steps are unlabelled tics.
                    self.assertIn(float(f"2e{decades[0]}"), unlabelled)
                    self.assertLessEqual(len(labelled), len(decades) + 1)
                else:
                    steps = [float(f"{m}e{e}") for e in range(-4, 7) for m in (1, 2, 5)]
                    self.assertEqual([t for t in steps if low <= t <= high],
                                     [t for t in sorted(labelled) if t in steps])


class SpreadOfSpeedupsTest(unittest.TestCase):
    def paired_run(self, programs):
        cells = []
        for program in programs:
            cells += [cell(program, 1000, 1, [4.0, 4.1, 3.9, 4.0, 4.2], rounds=True),
                      cell(program, 1000, 2, [2.5, 2.0, 2.2, 2.6, 2.1], rounds=True)]
        return derive(run_of(cells))

    def test_speedup_and_efficiency_bars_are_the_paired_interval(self):
        program = WITH_PARALLEL_CALL[0]
        run = self.paired_run([program])
        two = next(c for c in run.cells if c.threads == 2)
        self.assertLess(two.speedup_low, two.speedup)
        self.assertLess(two.speedup, two.speedup_high)
        scripts = scripts_of(run)
        script = scripts[f"speedup_{program}.svg"]
        points, bars = curve(script, "n = 1,000")
        self.assertEqual(points, [[1.0, 1.0], [2.0, two.speedup]])
        self.assertEqual(bars[-1], [2.0, two.speedup, two.speedup_low, two.speedup_high])
        self.assertIn(f'set label "{ROUND_BARS}"', script)
        self.assertIn("'ideal'", script)
        low, high = axis_range(script, "x")  # bars at 1 and 2 threads stay off the border
        self.assertTrue(low < 1 and high > 2, (low, high))
        script = scripts["efficiency.svg"]
        points, bars = curve(script, f"{program} (n = 1,000)")
        self.assertAlmostEqual(points[-1][1], 100 * two.efficiency)
        for got, expected in zip(bars[-1], [2.0, 50 * two.speedup, 50 * two.speedup_low,
                                            50 * two.speedup_high]):
            self.assertAlmostEqual(got, expected)
        self.assertIn(f'set label "{ROUND_BARS}"', script)

    def test_results_without_rounds_draw_no_bars(self):
        scripts = scripts_of(load())
        self.assertIn("speedup_count_if.svg", scripts)
        for name, script in scripts.items():
            if not name.startswith("time_per_element"):
                with self.subTest(name):
                    self.assertNotIn("yerrorbars", script)
                    self.assertNotIn("bars:", script)

    def test_efficiency_leaves_out_programs_without_a_parallel_call(self):
        self.assertTrue(NO_PARALLEL_CALL)
        scripts = scripts_of(self.paired_run(WITH_PARALLEL_CALL[:1] + NO_PARALLEL_CALL))
        efficiency = " ".join(titles(scripts["efficiency.svg"]))
        self.assertIn(WITH_PARALLEL_CALL[0], efficiency)
        for program in NO_PARALLEL_CALL:
            self.assertNotIn(program, efficiency)
            # Its speedup, about 1 at any thread count, is still worth seeing.
            self.assertIn(f"speedup_{program}.svg", scripts)
        scripts = scripts_of(self.paired_run(NO_PARALLEL_CALL))
        self.assertNotIn("efficiency.svg", scripts)


class MissingGnuplotTest(unittest.TestCase):
    def test_without_gnuplot_it_asks_for_the_package_then_says_once_how_to_install(self):
        err = io.StringIO()
        with mock.patch.object(plots.shutil, "which", return_value=None), \
                mock.patch.object(plots.packages, "provide", return_value=["gnuplot-nox"]) as provide, \
                mock.patch.object(plots, "_said_missing", False), \
                contextlib.redirect_stderr(err), tempfile.TemporaryDirectory() as tmp:
            self.assertEqual(plots.draw(pathlib.Path(tmp), load()), [])
            self.assertEqual(plots.draw(pathlib.Path(tmp), load()), [])
            self.assertFalse((pathlib.Path(tmp) / "plots").exists())
        # Installed, where it can be, the way every package of the suite is.
        self.assertEqual(provide.call_args.kwargs, {"names": ("gnuplot-nox",), "say": False})
        self.assertEqual(err.getvalue().count("apt-get install gnuplot-nox"), 1)


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
            if shutil.which("gnuplot"):
                self.assertTrue((folder / "plots" / "efficiency.svg").stat().st_size > 0)

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
