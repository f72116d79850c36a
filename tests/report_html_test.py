"""report.html and the history page, read as markup: that text from results
stays text, that nothing is fetched, log axes, runs with little to chart, the
size of a default sweep's page, and `suite report --html`. What the pages
show and how they behave in a browser is tested in report_browser_test.py."""

import base64
import collections
import hashlib
import html.parser
import json
import pathlib
import re
import shutil
import tempfile
import unittest

from html_pages import (INJECTED_FAILURE, INJECTED_HOST, INJECTED_WARNING, SMALL_RUN_ANSWERS,
                        SMALL_RUN_GRID, SMALL_RUN_MAP, SMALL_RUN_POINTS, default_run,
                        history_series, small_run)
from support import REPORT_FIXTURES, cell, run_of, run_suite

from algobench.model.contention import Contention
from algobench.judge.derive import derive
from algobench.export import history as history_view
from algobench.export import report_answers
from algobench.export.report_charts import warned_cells
from algobench.export import report_page as html_report
from algobench.model import Crossover

MAX_PAGE_BYTES = 2 * 1024 * 1024
VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
        "track", "wbr"}


class Element:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent = tag, dict(attrs), parent
        self.text = ""

    @property
    def classes(self):
        return set((self.attrs.get("class") or "").split())

    def ancestor(self, tag):
        node = self.parent
        while node is not None and node.tag != tag:
            node = node.parent
        return node


class Page(html.parser.HTMLParser):
    """Every element of a page with its attributes and parent; the text of
    <script> and <style>, and all other text."""

    def __init__(self, markup):
        super().__init__(convert_charrefs=True)
        self.elements, self.stack, self.text = [], [], []
        self.feed(markup)
        self.close()

    def handle_starttag(self, tag, attrs):
        element = Element(tag, attrs, self.stack[-1] if self.stack else None)
        self.elements.append(element)
        if tag not in VOID:
            self.stack.append(element)

    def handle_startendtag(self, tag, attrs):
        self.elements.append(Element(tag, attrs, self.stack[-1] if self.stack else None))

    def handle_endtag(self, tag):
        while self.stack:
            if self.stack.pop().tag == tag:
                break

    def handle_data(self, data):
        if self.stack:
            self.stack[-1].text += data
        if not self.stack or self.stack[-1].tag not in ("script", "style"):
            self.text.append(data)

    def all(self, tag=None, cls=None):
        return [e for e in self.elements
                if (tag is None or e.tag == tag) and (cls is None or cls in e.classes)]

    def points(self):
        """The data-key of every chart point, by the (kind, program) of its chart."""
        found = collections.defaultdict(list)
        for point in self.all(cls="pt"):
            figure = point.ancestor("figure")
            found[(figure.attrs["data-kind"], figure.attrs.get("data-program"))].append(
                point.attrs["data-key"])
        return found


def source_hash(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode()).digest()).decode() + "'"


class SelfContainedPageChecks:
    """What every page of the suite must be: offline, and only its own script and style."""

    def assert_self_contained(self, markup):
        page = Page(markup)
        for element in page.elements:
            self.assertNotIn("src", element.attrs, element.tag)
            href = element.attrs.get("href")
            if href is not None:
                # A link leads inside the page, or saves data the page holds.
                self.assertTrue(href.startswith("#") or href.startswith("data:")
                                and "download" in element.attrs, href[:80])
        self.assertEqual(len(page.all("script")), 1)
        self.assertEqual(len(page.all("style")), 1)
        style, script = page.all("style")[0].text, page.all("script")[0].text
        self.assertNotRegex(style, r"url\(|@import")
        # (SVG's namespace is a name, not a request.)
        self.assertNotRegex(script, r"fetch\(|XMLHttpRequest|import\(|https?:(?!//www\.w3\.org/2000/svg')")
        # The policy allows exactly the inline script and stylesheet; a change to either
        # that the policy did not follow would leave the page without them.
        policy = next(e.attrs["content"] for e in page.all("meta")
                      if e.attrs.get("http-equiv") == "Content-Security-Policy")
        self.assertIn("default-src 'none'", policy)
        self.assertIn(f"script-src {source_hash(script)}", policy)
        self.assertIn(f"style-src {source_hash(style)}", policy)
        self.assertEqual(page.all(cls="injected"), [])
        return page


class ReportPageTest(SelfContainedPageChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.results = small_run()
        cls.markup = html_report.render(cls.results)
        cls.page = Page(cls.markup)

    def test_is_self_contained_and_shows_results_text_as_text(self):
        self.assert_self_contained(self.markup)
        text = "".join(self.page.text)
        for injected in (INJECTED_HOST, INJECTED_WARNING, INJECTED_FAILURE):
            self.assertIn(injected, text)
        names = [e.attrs["data-cell"] for e in self.page.all("tr") if "data-cell" in e.attrs]
        self.assertEqual(names, [c.name for c in self.results.cells])

    def test_each_chart_holds_a_point_per_cell(self):
        self.assertEqual({key: sorted(names) for key, names in self.page.points().items()},
                         {key: sorted(names) for key, names in SMALL_RUN_POINTS.items()})

    def test_the_answers_come_first_and_name_winners_and_ties(self):
        def cells(table: str, value):
            return {(td.attrs["data-program"], int(td.attrs["data-n"]),
                     int(td.attrs["data-threads"])): (td.attrs["data-backend"], value(td))
                    for td in self.page.all("td") if "data-program" in td.attrs
                    and td.ancestor("table").classes == {table}}
        self.assertEqual(cells("findings", lambda td: td.attrs["data-tied"].split(",")
                               if td.attrs.get("data-tied") else []), SMALL_RUN_GRID)
        self.assertEqual(cells("decision", lambda td: td.attrs["data-verdict"]), SMALL_RUN_MAP)
        self.assertEqual([e.text for e in self.page.all("li") if e.parent.classes == {"answers"}],
                         SMALL_RUN_ANSWERS)
        sections = [e.attrs["id"] for e in self.page.all("section")]
        self.assertLess(sections.index("answers"), sections.index("findings"))
        self.assertLess(sections.index("findings"), sections.index("context"))
        text = "".join(self.page.text)
        self.assertIn("equivalent: pmode, seq", text)
        # Each cell links to its program's speedup chart.
        links = {a.attrs["href"] for a in self.page.all("a") if a.ancestor("table") is not None
                 and a.ancestor("table").classes == {"findings"}}
        self.assertEqual(links, {"#chart-speedup-self-count_if"})
        self.assertEqual([e.attrs.get("id") for e in self.page.all("figure")
                          if e.attrs.get("id") == "chart-speedup-self-count_if"],
                         ["chart-speedup-self-count_if"])

    def test_every_point_has_a_title(self):
        # Without script a point's figures are its <title>.
        titled = {id(e.parent) for e in self.page.all("title") if e.text}
        self.assertTrue(all(id(point) in titled for point in self.page.all(cls="pt")))

    def test_sizes_spanning_decades_are_on_a_log_axis(self):
        # n = 1e4, 1e5, 1e6: equal steps on a log axis, labelled at the powers of ten.
        figure = next(e for e in self.page.all("figure")
                      if e.attrs.get("data-kind") == "time" and e.attrs["data-program"] == "count_if")
        series = next(e for e in self.page.all("g") if e.parent is not None
                      and "series" in e.classes and e.ancestor("figure") is figure)
        xs = sorted(float(p.attrs["cx"]) for p in self.page.all("circle")
                    if p.parent is series)
        self.assertEqual(len(xs), 3)
        self.assertAlmostEqual(xs[1] - xs[0], xs[2] - xs[1], delta=0.2)
        ticks = [e.text for e in self.page.all("text", "tx") if e.ancestor("figure") is figure]
        self.assertEqual(ticks[:1] + ticks[-1:], ["10k", "1M"])
        self.assertIn("100k", ticks)

    def test_the_same_run_gives_the_same_bytes(self):
        self.assertEqual(html_report.render(small_run()), self.markup)


class EdgeRunsTest(unittest.TestCase):
    def test_runs_with_little_to_chart_still_give_a_page_of_every_cell(self):
        interrupted = run_of([cell("count_if", 1000, 1, [1e-5, 1e-5], status="interrupted")])
        interrupted.interrupted = True
        runs = {
            "no cells": run_of([]),
            "every cell failed": run_of([cell("count_if", 1000, 1, [], status="failed")]),
            "size 0 only": run_of([cell("count_if", 0, 1, [1e-7, 2e-7]),
                                   cell("count_if", 0, 2, [1e-7, 2e-7])]),
            "one sample a cell": run_of([cell("count_if", 1000, 1, [1e-5]),
                                         cell("count_if", 1000, 2, [6e-6])]),
            "times of zero": run_of([cell("find_if", 10, 1, [0.0, 0.0])]),
            "interrupted": interrupted,
        }
        # Only the one-sample cells have a positive time to chart (a size of 0 has
        # none per element, nor a speedup; one size gives no line of speedup against n).
        charted = {("time", "count_if"): ["count_if/n:1000/threads:1", "count_if/n:1000/threads:2"]}
        for name, run in runs.items():
            with self.subTest(name):
                page = Page(html_report.render(derive(run)))
                rows = [e.attrs["data-cell"] for e in page.all("tr") if "data-cell" in e.attrs]
                self.assertEqual(rows, [c.name for c in run.cells])
                self.assertEqual(page.points(), charted if name == "one sample a cell" else {})
        self.assertIn("Interrupted", "".join(Page(html_report.render(interrupted)).text))


    def test_a_busy_machine_is_said_once_near_the_top(self):
        cells = [cell("count_if", 10**5, 1, [1e-3] * 3), cell("count_if", 10**5, 2, [6e-4] * 3)]
        for sample in cells[1].samples:
            sample.contention = Contention(wall_seconds=1.0, others_share=0.5,
                                           others_seconds=0.5, runnable_others=1)
        run = derive(run_of(cells))
        page = Page(html_report.render(run))
        self.assertTrue(run.busy)
        self.assertEqual("".join(page.text).count(run.busy), 1)
        self.assertIn("2 passed, on a busy machine", "".join(page.text))
        # Its cells are marked where they are the fewer, not where they are most.
        self.assertEqual(warned_cells(run), {cells[1].name})
        for sample in cells[0].samples:
            sample.contention = cells[1].samples[0].contention
        self.assertEqual(warned_cells(derive(run_of(cells))), set())
        ids = [e.attrs.get("id") for e in page.elements if e.attrs.get("id")]
        self.assertLess(ids.index("busy"), ids.index("context"))


class AnswerLineTest(unittest.TestCase):
    def test_each_form_of_a_programs_answer(self):
        def made(found, at=None, below=None, speedup=None, backend="c++17-par", threads=2):
            return Crossover("count_if", backend, threads, None, found, "sequential build", at,
                             below, speedup if found != "never" else None,
                             speedup if found == "never" else None, [10**4, 10**5, 10**6])
        # (crossovers, thread counts run, the line): the smallest size that pays wins,
        # else the best speedup of a call that never pays, with its size.
        rows = [
            ([made("from", 10**6, 10**5, (1.5, 1.4, 1.7)), made("smallest", 10**4, None,
                                                                  (16.2, 15, 17.4), threads=4)],
             [1, 2, 4], "count_if: parallel pays off already at the smallest size, n = 10⁴, on "
                        "4 threads, 16× (15–17) with c++17-par"),
            ([made("never", None, 10**6, (0.92, 0.83, 1.01)),
              made("never", None, 10**6, (0.5, 0.4, 0.6), backend="parallel-mode")],
             [1, 2], "count_if: parallel does not pay off in the sizes measured (n = 10⁴ to "
                     "10⁶); use the sequential build; at best 0.92× (0.83–1) at n = 10⁶ with "
                     "c++17-par on 2 threads"),
            # Faster at 10^6 alone, 10^7 open: no "at best" from the end below it.
            ([Crossover("count_if", "c++17-par", 2, None, "never", "sequential build", None,
                        10**4, None, (0.56, 0.5, 0.6), [10**4, 10**5, 10**6, 10**7],
                        undecided=[10**5, 10**7], faster=[10**6])],
             [1, 2], "count_if: parallel does not pay off in the sizes measured (n = 10⁴ to "
                     "10⁷); use the sequential build; faster at n = 10⁶ alone with c++17-par on "
                     "2 threads"),
            ([], [1], "count_if: measured at 1 thread only; nothing parallel to weigh"),
        ]
        for found, threads, line in rows:
            with self.subTest(line):
                self.assertEqual(report_answers.program_line("count_if", found, threads), line)
        # A lead as people write it, its interval's ends signed, a minus a minus sign.
        self.assertEqual(report_answers.with_range(1.01, 0.83, 1.23, report_answers.signed_percent,
                                                   " to "), "+1% (−17 to +23)")


class DefaultSweepSizeTest(unittest.TestCase):
    def test_a_default_sweep_page_stays_under_two_megabytes(self):
        run = default_run()
        self.assertGreaterEqual(len(run.cells), 160)
        self.assertGreaterEqual(len({c.backend for c in run.cells}), 3)
        size = len(html_report.render(run).encode("utf-8"))
        self.assertLess(size, MAX_PAGE_BYTES, f"{size} bytes for {len(run.cells)} cells")


class HistoryPageTest(SelfContainedPageChecks, unittest.TestCase):
    def test_is_self_contained_and_shows_results_text_as_text(self):
        title = "count_if & partial_sum <history>"
        page = self.assert_self_contained(history_view.render_html(history_series(), title))
        self.assertIn(title, page.text)

    def test_the_changes_found_head_the_page(self):
        series = history_series()
        found = history_view.changes(series)
        # The step on bench-host, in each of the two cells: from a run with a commit
        # to one without.
        self.assertEqual([(c["cell"], c["machine"]) for c in found],
                         [(s["cell"], s["machine"]) for s in series if s["machine"] == "bench-host"])
        for change in found:
            self.assertAlmostEqual(change["ratio"], 1.25)
            self.assertEqual((change["from"]["commit"], change["to"]["commit"]), ("0000002", None))
        markup = history_view.render_html(series, "t")
        self.assertLess(markup.index('id="changes"'), markup.index('id="series"'))
        self.assertEqual(markup.count("25.0% slower"), 2)

    def test_refuses_series_it_cannot_chart_naming_them(self):
        good = history_series()
        cases = {
            "lacks machine": [{k: v for k, v in good[0].items() if k != "machine"}],
            "not an ISO 8601 date": [dict(good[0], points=[dict(good[0]["points"][0],
                                                                date="yesterday")])],
            "median is not a finite number": [dict(good[0], points=[dict(good[0]["points"][0],
                                                                         median=float("nan"))])],
            "points is not a list": [dict(good[0], points=None)],
        }
        for message, series in cases.items():
            with self.subTest(message), self.assertRaisesRegex(ValueError, message):
                history_view.render_html(series, "t")


class ReportCommandTest(unittest.TestCase):
    def test_html_writes_the_page_alone_and_names_it(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = pathlib.Path(tmp) / "run"
            shutil.copytree(REPORT_FIXTURES / "run_a", folder)
            before = (folder / "results.json").read_bytes()
            status, out, err = run_suite(["report", str(folder), "--html"])
            self.assertEqual((status, err), (0, ""))
            self.assertEqual(out, f"{folder / html_report.FILE}\n")
            self.assertEqual(sorted(p.name for p in folder.iterdir()),
                             ["report.html", "results.json"])
            self.assertEqual((folder / "results.json").read_bytes(), before)
            self.assertEqual(len([r for r in Page((folder / "report.html").read_text()).all("tr")
                                  if "data-cell" in r.attrs]),
                             len(json.loads(before)["cells"]))

    def test_report_writes_the_page_beside_the_summary(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = pathlib.Path(tmp) / "run"
            shutil.copytree(REPORT_FIXTURES / "run_a", folder)
            status, _, _ = run_suite(["report", str(folder), "--no-plots"])
            self.assertEqual(status, 0)
            page = (folder / "report.html").read_text()
            self.assertEqual(run_suite(["report", str(folder), "--no-plots"])[0], 0)
            self.assertEqual((folder / "report.html").read_text(), page)
            self.assertTrue((folder / "summary.md").exists())

    def test_a_folder_it_cannot_read_is_refused_in_one_line(self):
        with tempfile.TemporaryDirectory() as tmp:
            status, out, err = run_suite(["report", str(pathlib.Path(tmp) / "none"), "--html"])
            self.assertEqual((status, out), (2, ""))
            self.assertEqual(len(err.splitlines()), 1)
            self.assertNotIn("Traceback", err)
            (pathlib.Path(tmp) / "results.json").write_text("{not json")
            status, _, err = run_suite(["report", tmp, "--html"])
            self.assertEqual(status, 2)
            self.assertRegex(err, re.compile(r"results\.json is not JSON"))


if __name__ == "__main__":
    unittest.main()
