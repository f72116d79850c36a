"""The cells x machines view: each machine's medians beside the reference's,
judged by compare's own verdicts, as data and through `suite fleet compare`."""

import json
import pathlib
import re
import tempfile
import unittest

from support import cell, run_of, run_suite

from algobench.judge import compare, machines
from algobench.export import machines as machines_view

TIMES = [1.00, 1.01, 0.99, 1.02, 0.98]


def sweep_on(host: str, factor: float, failed: tuple = (), left_out: tuple = (),
             extra: tuple = ()):
    cells = []
    for program, n in (("count_if", 1000), ("count_if", 100000), ("partial_sum", 1000),
                       ("partial_sum", 100000), ("unique_copy", 1000), ("find_if", 1000),
                       *extra):
        if (program, n) in left_out:
            continue
        if (program, n) in failed:
            cells.append(cell(program, n, 1, [], status="failed"))
        else:
            cells.append(cell(program, n, 1, [t * factor * n * 1e-6 for t in TIMES]))
    return run_of(cells, host=host)


class MachinesViewTest(unittest.TestCase):
    def setUp(self):
        self.runs = [("a", sweep_on("a", 1.0)),
                     ("b", sweep_on("b", 2.0, failed=(("find_if", 1000),))),
                     ("c", sweep_on("c", 1.0, left_out=(("count_if", 1000),),
                                    extra=(("nth_element", 1000),)))]

    def entry(self, view, label, machine):
        row = next(r for r in view.rows if r["cell"] == label)
        return next(e for e in row["machines"] if e["machine"] == machine)

    def test_each_machine_against_the_first_by_compare_own_verdicts(self):
        view = machines.compare_machines(self.runs)
        label = "count_if/n:100000/threads:1"
        self.assertEqual(self.entry(view, label, "a")["verdict"], machines.REFERENCE)
        slower = self.entry(view, label, "b")
        self.assertAlmostEqual(slower["ratio"], 2.0)
        expected = next(m for m in compare.compare(self.runs[0][1], self.runs[1][1],
                                                   drift_correction=False).matched
                        if m.label == label)
        self.assertEqual((slower["verdict"], slower["low"], slower["high"]),
                         (expected.verdict, expected.low, expected.high))
        self.assertEqual(slower["verdict"], compare.SLOWER)
        self.assertAlmostEqual(self.entry(view, label, "a")["median"], 0.1)
        self.assertEqual(view.machines[1]["verdicts"][compare.SLOWER], 5)

    def test_relative_removes_each_machine_shift(self):
        view = machines.compare_machines(self.runs, relative=True)
        verdicts = {self.entry(view, r["cell"], "b")["verdict"] for r in view.rows
                    if self.entry(view, r["cell"], "b")["ratio"] is not None}
        self.assertEqual(verdicts, {"equivalent"})

    def test_only_a_cell_apart_from_its_machine_is_marked(self):
        # b is twice as slow throughout, which every cell's verdict says; one cell three
        # times as slow stands apart from its machine, and only its row is marked.
        slow = sweep_on("b", 2.0)
        for sample in slow.cells[1].samples:
            sample.seconds *= 1.5
        view = machines.compare_machines([self.runs[0], ("b", slow)])
        self.assertEqual(view.machines[1]["verdicts"][compare.SLOWER], 6)
        self.assertEqual([r["cell"] for r in view.rows if any(e["apart"] for e in r["machines"])],
                         [slow.cells[1].name])
        page = machines_view.render_html(view, {}, "t")
        self.assertEqual(re.findall(r'<tr class="differs" data-cell="([^"]+)"', page),
                         [slow.cells[1].name])

    def test_failed_and_missing_cells_keep_their_row(self):
        view = machines.compare_machines(self.runs)
        failed = self.entry(view, "find_if/n:1000/threads:1", "b")
        self.assertEqual((failed["median"], failed["verdict"]), (None, None))
        self.assertTrue(failed["status"].startswith("failed"))
        self.assertEqual(self.entry(view, "count_if/n:1000/threads:1", "c")["status"], "missing")
        only_c = self.entry(view, "nth_element/n:1000/threads:1", "a")
        self.assertEqual(only_c["status"], "missing")
        self.assertEqual(len(view.rows), 7)
        self.assertEqual(machines.machines_table(self.runs), view.rows)

    def test_views_and_refusals(self):
        view = machines.compare_machines(self.runs)
        text = machines_view.render_text(view)
        self.assertIn("a (reference)", text)
        self.assertIn("x2.000 slower", text)
        self.assertEqual(json.loads(machines_view.render_json(view))["cells"], view.rows)
        self.assertRaises(ValueError, machines.compare_machines, [self.runs[0], self.runs[0]])


class FleetCompareCommandTest(unittest.TestCase):
    def test_folders_named_by_host_and_a_chosen_reference(self):
        with tempfile.TemporaryDirectory() as directory:
            folders = []
            for name, run in (("a", sweep_on("a", 1.0)), ("b", sweep_on("b", 2.0))):
                folder = pathlib.Path(directory) / name
                folder.mkdir()
                run.save(folder)
                folders.append(str(folder))
            status, out, err = run_suite(["fleet", "compare", *folders, "--reference", "b",
                                          "--json"])
            self.assertEqual(status, 0, err)
            shown = json.loads(out)
            self.assertEqual([m["machine"] for m in shown["machines"]], ["b", "a"])
            self.assertAlmostEqual(shown["cells"][0]["machines"][1]["ratio"], 0.5)
            status, _, err = run_suite(["fleet", "compare", *folders, "--reference", "z"])
            self.assertEqual(status, 2)
            self.assertIn("--reference z", err)
            # The same table as a page: a row per cell, each machine's context a click away.
            page = pathlib.Path(directory) / "m.html"
            status, _, err = run_suite(["fleet", "compare", *folders, "--html", str(page)])
            self.assertEqual(status, 0, err)
            text = page.read_text()
            self.assertEqual(text.count("<tr data-cell=") + text.count("<tr class=\"warned\" "
                                                                       "data-cell="),
                             len(shown["cells"]))
            self.assertEqual(text.count("<details class=\"machine\""), 2)
            self.assertIn("\u00d72.000 slower", text)


if __name__ == "__main__":
    unittest.main()
