"""The plots of a results folder and `suite report`, which redraws them with the summary."""

import contextlib
import io
import pathlib
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from unittest import mock

from support import REPORT_FIXTURES, cell, run_of, run_suite

from algobench import model
from algobench.derive import derive
from algobench.export import plots

RUN_A = REPORT_FIXTURES / "run_a"
SVG = "{http://www.w3.org/2000/svg}svg"


def load(path=RUN_A):
    return derive(model.load(path))


def svg_text(path):
    root = ElementTree.parse(path).getroot()
    return root, " ".join(t for t in root.itertext())


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
        curve = plots._speedups(cells)[("count_if", 10, None)]
        self.assertEqual({t: s for t, (s, _) in curve.items()}, {1: 1.0, 2: 1.6, 4: 4.0})
        # No base time at one thread: no speedups, so nothing to draw.
        cells[0].status = "failed"
        derive(run_of(cells))
        self.assertEqual(plots._speedups(cells), {})


class MissingGnuplotTest(unittest.TestCase):
    def test_without_gnuplot_and_root_it_says_once_how_to_install(self):
        err = io.StringIO()
        with mock.patch.object(plots.shutil, "which", return_value=None), \
                mock.patch.object(plots.os, "geteuid", return_value=1000), \
                mock.patch.object(plots.subprocess, "run") as run, \
                mock.patch.object(plots, "_said_missing", False), \
                contextlib.redirect_stderr(err), tempfile.TemporaryDirectory() as tmp:
            self.assertEqual(plots.draw(pathlib.Path(tmp), load()), [])
            self.assertEqual(plots.draw(pathlib.Path(tmp), load()), [])
            run.assert_not_called()
            self.assertFalse((pathlib.Path(tmp) / "plots").exists())
        self.assertEqual(err.getvalue().count("apt-get install gnuplot-nox"), 1)

    @unittest.skipUnless(pathlib.Path("/etc/debian_version").exists(), "not a Debian-family system")
    def test_as_root_it_installs_gnuplot_and_says_so(self):
        found = iter([None, "/usr/bin/gnuplot"])  # missing, then there after the install
        which = lambda name: "/usr/bin/apt-get" if name == "apt-get" else next(found)
        err = io.StringIO()
        with mock.patch.object(plots.shutil, "which", side_effect=which), \
                mock.patch.object(plots.os, "geteuid", return_value=0), \
                mock.patch.object(plots.subprocess, "run",
                                  return_value=subprocess.CompletedProcess([], 0, "", "")) as run, \
                contextlib.redirect_stderr(err):
            self.assertEqual(plots._ensure_gnuplot(), "/usr/bin/gnuplot")
        commands = [c.args[0] for c in run.call_args_list]
        self.assertEqual(commands, [["apt-get", "update"], ["apt-get", "install", "-y", "gnuplot-nox"]])
        self.assertIn("installing gnuplot-nox", err.getvalue())


class ReportCommandTest(unittest.TestCase):
    def report(self, *argv):
        return run_suite(["report", *map(str, argv)])

    def test_rewrites_every_file_of_the_folder_from_its_results(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = pathlib.Path(tmp) / "2024-05-01T10-00-00"
            shutil.copytree(RUN_A, folder)
            before = (folder / "results.json").read_bytes()
            status, out, _ = self.report(folder)
            self.assertEqual(status, 0)
            # The fixture holds what a run writes: derived again, it comes out the same.
            self.assertEqual((folder / "results.json").read_bytes(), before)
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
