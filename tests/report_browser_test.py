"""report.html and the history page in a real browser: headless Chromium, driven
by playwright-core (tests/browser/drive.mjs), loads each page from a file://
URL with the network off and every other request aborted, and uses it.

The pages: the report of a small run built by hand with several backends and
thread counts, a warned and a failed cell and markup in its text, whose points,
tooltips, sorted rows and findings grid are written out beside it
(html_pages.py); the report `suite report --html` writes of the run_a fixture;
a history page; three machines side by side; and a default sweep's report,
only opened and timed. A screenshot of each page, and one of its first screen,
goes to <build>/screenshots/ for a person to look at.

Without node (20 or later), the node modules (tests/browser, installed by the
browser_modules CTest fixture) or Chromium (ALGOBENCH_CHROMIUM, `chromium` on
the PATH, /usr/bin/chromium), the test is skipped with the reason; with CI=true
it fails instead.
"""

import base64
import gzip
import json
import os
import statistics
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest

from browser_setup import BROWSER, in_ci, missing_modules
from html_pages import (SMALL_RUN_ANSWERS, SMALL_RUN_MAP, SMALL_RUN_POINTS, SMALL_RUN_SORTED,
                        SMALL_RUN_VALUES, SMALL_RUN_WARNED, default_run, history_series, small_run)
from support import BUILD, REPORT_FIXTURES, ROOT, run_suite

from algobench.judge import machines
from algobench import model
from algobench.judge.derive import derive
from algobench.export import history as history_view
from algobench.export import machines as machines_view
from algobench.export import report_page as html_report

SKIPPED = "browser test skipped:"
BUSY = "the machine was busy during this run: other processes took 40% of a CPU"
# How often the default sweep's page is opened to time it.
OPENINGS = 5
DRIVER_TIMEOUT = 300
NODE_MAJOR = 20
# Figures in a tooltip have three or four significant digits.
TOLERANCE = 0.006
UNITS = {"ns": 1e-9, "us": 1e-6, "µs": 1e-6, "ms": 1e-3, "s": 1.0}
QUANTITY = re.compile(r"(\d+(?:\.\d+)?(?:e[+-]?\d+)?)\s*(ns|us|µs|ms|s)?\b")


def find_chromium() -> str | None:
    named = os.environ.get("ALGOBENCH_CHROMIUM")
    candidates = [named] if named else [shutil.which("chromium"), "/usr/bin/chromium"]
    for candidate in candidates:
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def unavailable() -> str | None:
    """Why the browser test cannot run here, or None."""
    node = shutil.which("node")
    if node is None:
        return "node is not installed"
    version = subprocess.run([node, "--version"], capture_output=True, text=True).stdout.strip()
    match = re.match(r"v(\d+)\.", version)
    if not match or int(match.group(1)) < NODE_MAJOR:
        return f"node {version or '(unknown version)'} is older than {NODE_MAJOR}, which " \
               "playwright-core needs"
    missing = missing_modules()
    if missing:
        return f"the node modules are missing in {BROWSER} ({', '.join(missing)}): " \
               "`npm ci` there installs them"
    if find_chromium() is None:
        named = os.environ.get("ALGOBENCH_CHROMIUM")
        if named:
            return f"ALGOBENCH_CHROMIUM={named} is not an executable file"
        return "Chromium is not installed (apt-get install chromium, or set ALGOBENCH_CHROMIUM)"
    return None


def setUpModule():
    reason = unavailable()
    if reason is None:
        return
    if in_ci():
        raise RuntimeError(f"the browser test cannot run, and CI is true: {reason}")
    print(f"{SKIPPED} {reason}", flush=True)
    raise unittest.SkipTest(reason)


def build_tree() -> pathlib.Path:
    return BUILD if str(BUILD) not in ("", ".") else ROOT / "build" / "release"


def css_colour(rgb: str) -> str:
    """"rgb(0, 114, 178)" as the stylesheet writes it, "#0072b2"."""
    return "#" + "".join(f"{int(v):02x}" for v in re.findall(r"\d+", rgb)[:3])


def quantities(text: str) -> list[float]:
    """Every number in the text, and each one with a time unit in seconds as well."""
    found = []
    for number, unit in QUANTITY.findall(text.replace(",", "")):
        found.append(float(number))
        if unit:
            found.append(float(number) * UNITS[unit])
    return found


class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tree = build_tree()
        pages, shots = tree / "html-pages", tree / "screenshots"
        shutil.rmtree(pages, ignore_errors=True)
        pages.mkdir(parents=True)
        shots.mkdir(parents=True, exist_ok=True)

        cls.runs = {"report": small_run()}
        cls.runs["report"].busy = BUSY
        (pages / "report.html").write_text(html_report.render(cls.runs["report"]), encoding="utf-8")
        # Every file of the folder, so that its page's downloads can be set beside them.
        cls.fixture = fixture = pages / "run_a"
        shutil.copytree(REPORT_FIXTURES / "run_a", fixture)
        status, out, err = run_suite(["report", str(fixture), "--no-plots"])
        assert status == 0, err
        cls.runs["fixture"] = derive(model.load_checked(fixture))
        cls.series = history_series()
        (pages / "history.html").write_text(
            history_view.render_html(cls.series, "History of two cells"), encoding="utf-8")

        # The cells of three machines side by side, one of them twice as slow, and one
        # of its cells half as slow again.
        runs = [(name, small_run(host=name, scale=scale))
                for name, scale in (("a", 1.0), ("b", 2.0), ("<c>", 1.0))]
        for sample in runs[1][1].cells[3].samples:
            sample.seconds *= 1.5
        cls.machines = machines.compare_machines(runs)
        (pages / "machines.html").write_text(
            machines_view.render_html(cls.machines, {}, "Three machines"), encoding="utf-8")

        cls.files = {"report": pages / "report.html", "fixture": fixture / "report.html",
                     "history": pages / "history.html", "machines": pages / "machines.html"}
        cls.shots = {name: shots / f"{name}.png" for name in cls.files}
        default = pages / "default.html"
        default.write_text(html_report.render(default_run()), encoding="utf-8")
        job = {"chromium": find_chromium(),
               "pages": [{"path": str(cls.files[n]), "screenshot": str(cls.shots[n]),
                          "downloads": str(pages / f"{n}-downloads")} for n in cls.files]
               + [{"path": str(default), "screenshot": "", "timings": OPENINGS}]}
        for name in cls.files:
            (pages / f"{name}-downloads").mkdir()
        with tempfile.NamedTemporaryFile("w", suffix=".json") as handle:
            json.dump(job, handle)
            handle.flush()
            completed = subprocess.run(["node", str(BROWSER / "drive.mjs"), handle.name],
                                       cwd=BROWSER, capture_output=True, text=True,
                                       timeout=DRIVER_TIMEOUT)
        if completed.returncode != 0:
            raise AssertionError(f"the browser driver failed (exit status "
                                 f"{completed.returncode}):\n{completed.stderr}")
        observed = json.loads(completed.stdout)
        cls.pages = dict(zip(cls.files, observed["pages"]))
        cls.timed = observed["pages"][-1]
        times = sorted(cls.timed["loadTimes"])
        print(f"Chromium {observed['browser']}; screenshots in {shots}; a default sweep's page "
              f"({default.stat().st_size} bytes) loads in {statistics.median(times):.0f} ms "
              f"(median of {len(times)}, {times[0]:.0f}-{times[-1]:.0f})", flush=True)

    def test_pages_load_offline_without_errors(self):
        for name, page in self.pages.items():
            with self.subTest(name):
                self.assertEqual(page["requests"], [page["url"]])
                self.assertEqual(page["consoleErrors"], [])
                self.assertEqual(page["pageErrors"], [])
                # Text from results that carries markup stayed text.
                self.assertEqual(page["injected"], {"flag": "undefined", "elements": 0})
                self.assertEqual(page["tooltips"], 1)
                self.assertEqual(self.shots[name].read_bytes()[:8], b"\x89PNG\r\n\x1a\n")
                # Without script: no error either, and no control that would do nothing.
                without = page["noScript"]
                self.assertEqual((without["consoleErrors"], without["pageErrors"]), ([], []))
                self.assertEqual(without["needsScriptShown"], 0)
                self.assertGreater(without["rows"], 0)
                # Every point's figures are in its title.
                self.assertEqual(without["untitled"], 0)
        self.assertGreater(self.pages["report"]["needsScriptShown"], 0)
        self.assertEqual(self.timed["errors"], [])

    def test_the_cells_header_stays_in_view_after_scrolling(self):
        for name in ("report", "fixture"):
            with self.subTest(name):
                sticky = self.pages[name]["sticky"]
                self.assertLess(sticky["tableTop"], -100)
                self.assertAlmostEqual(sticky["headTop"], 0, delta=1)

    def test_a_filter_hides_rows_and_chart_series_together(self):
        seen = self.pages["report"]["filter"]
        backend, cells = seen["backend"], self.runs["report"].cells
        # (in the order the last click on a header left them)
        self.assertEqual(sorted(seen["before"]["rows"]), sorted(c.name for c in cells))
        shown = [c.name for c in cells if c.backend != backend]
        self.assertEqual(sorted(seen["filtered"]["rows"]), sorted(shown))
        points = seen["before"]["points"]
        self.assertEqual(sorted(seen["filtered"]["points"]),
                         sorted(p for p in points if p in shown))
        self.assertLess(len(seen["filtered"]["points"]), len(points))
        self.assertTrue(seen["filtered"]["legendMatches"] and seen["before"]["legendMatches"])
        self.assertEqual(seen["restored"], seen["before"])

    def test_the_download_links_save_the_folder_files(self):
        saved = {d["name"]: base64.b64decode(d["content"])
                 for d in self.pages["fixture"]["downloads"]}
        self.assertEqual(set(saved), {"summary.csv", "samples.csv", "results.json.gz"})
        self.assertEqual(saved["summary.csv"], (self.fixture / "summary.csv").read_bytes())
        self.assertEqual(saved["samples.csv"], (self.fixture / "samples.csv").read_bytes())
        self.assertEqual(gzip.decompress(saved["results.json.gz"]),
                         (self.fixture / "results.json").read_bytes())

    def test_the_first_screen_answers_at_a_desktop_and_a_phone_width(self):
        grid = self.pages["report"]["grid"]
        self.assertEqual({(g["program"], g["n"], g["threads"]): (g["backend"], g["verdict"])
                          for g in grid}, SMALL_RUN_MAP)
        for name in ("report", "fixture"):
            for width, seen in self.pages[name]["firstScreen"].items():
                with self.subTest(name, width=width):
                    # On a phone nothing to scroll sideways for (a wide table scrolls in its
                    # own box; on a desktop the cells table may reach past the window,
                    # keeping its header in view); the map within the window.
                    if width == "phone":
                        self.assertLessEqual(seen["pageWidth"], seen["width"])
                    if seen["mapBox"]:
                        self.assertLessEqual(seen["mapBox"]["right"], seen["width"])
        for width, seen in self.pages["report"]["firstScreen"].items():
            with self.subTest(width=width):
                self.assertEqual([a["text"] for a in seen["answers"]], SMALL_RUN_ANSWERS)
                self.assertTrue(all(0 <= a["left"] and a["right"] <= seen["width"]
                                    for a in seen["answers"]))
                self.assertLess(seen["answers"][0]["top"], seen["height"])
                # The busy machine is said above the verdicts it weakens.
                self.assertLessEqual(seen["busy"]["bottom"], seen["answers"][0]["top"])
        desktop = self.pages["report"]["firstScreen"]["desktop"]
        self.assertLessEqual(desktop["map"]["bottom"], desktop["height"])
        # One colour per backend on every chart of both reports, a different one for
        # each backend; the map colours a clear winner's cell with it.
        colours = {}
        for name in ("report", "fixture"):
            for chart in self.pages[name]["charts"]:
                for series in chart["series"]:
                    colours.setdefault(series["backend"], set()).add(series["colour"])
        self.assertGreaterEqual(len(colours), 2)
        self.assertTrue(all(len(found) == 1 for found in colours.values()), colours)
        self.assertEqual(len({c for found in colours.values() for c in found}), len(colours))
        # One click swaps the speedup over the sequential build for each backend's own.
        swap = self.pages["fixture"].get("swap")
        if swap:
            self.assertEqual(swap["after"].count("speedup"), 0)
            self.assertGreater(swap["after"].count("speedup-self"),
                               swap["before"].count("speedup-self"))
        winner = next(g for g in grid if not g["tied"])
        self.assertEqual(winner["colour"], css_colour(next(iter(colours[winner["backend"]]))))

    def test_one_row_per_cell_with_warned_and_failed_cells_marked(self):
        for name in ("report", "fixture"):
            with self.subTest(name):
                rows = self.pages[name]["tables"][0]["rows"]
                self.assertEqual([r["cell"] for r in rows], [c.name for c in self.runs[name].cells])
                self.assertEqual({r["cell"] for r in rows if "failed" in r["classes"]},
                                 {"unique_copy/n:1000000/threads:2"})
        self.assertEqual({r["cell"] for r in self.pages["report"]["tables"][0]["rows"]
                          if "warned" in r["classes"]}, SMALL_RUN_WARNED)
        history_rows = self.pages["history"]["tables"][0]["rows"]
        self.assertEqual([r["cell"] for r in history_rows], [s["cell"] for s in self.series])

    def test_the_machines_page_has_a_row_per_cell_and_marks_the_cell_apart(self):
        rows = self.pages["machines"]["tables"][0]["rows"]
        self.assertEqual([r["cell"] for r in rows], [r["cell"] for r in self.machines.rows])
        self.assertEqual({r["cell"] for r in rows if "differs" in r["classes"]},
                         {self.runs["report"].cells[3].name})

    def test_each_chart_holds_a_point_per_cell(self):
        charts = self.pages["report"]["charts"]
        found = {(c["kind"], c["program"]): sorted(p for s in c["series"] for p in s["points"])
                 for c in charts}
        self.assertEqual(found, {k: sorted(v) for k, v in SMALL_RUN_POINTS.items()})
        for chart in charts:
            self.assertEqual(len(chart["legend"]), len(chart["series"]))
            # The points of warned cells, and only those, are marked.
            for series in chart["series"]:
                self.assertEqual(set(series["marked"]), set(series["points"]) & SMALL_RUN_WARNED)

        history = {c["cell"]: c for c in self.pages["history"]["charts"]}
        for item in self.series:
            series = [s for s in history[item["cell"]]["series"]
                      if s["points"] and s["points"][0].startswith(item["machine"] + "#")]
            self.assertEqual(len(series), 1, item["machine"])
            keys = [f"{item['machine']}#{p['run_id']}" for p in item["points"]]
            self.assertEqual(sorted(series[0]["points"]), sorted(keys))
            self.assertEqual(sorted(series[0]["marked"]),
                             sorted(k for k, p in zip(keys, item["points"]) if p["changed"]))

    def assert_shows(self, line: str, value: float, low=None, high=None):
        found = quantities(line)
        for wanted in (value, low, high):
            if wanted is not None:
                self.assertTrue(any(abs(q - wanted) <= TOLERANCE * abs(wanted) for q in found),
                                f"{wanted:.6g} not in {line!r}")

    def test_hovering_a_point_shows_its_value_and_interval(self):
        for name in ("report", "fixture"):
            charts = self.pages[name]["charts"]
            hovers = self.pages[name]["hovers"]
            with self.subTest(name):
                # Points drawn over others (every 1-thread speedup is 1) cannot be reached.
                self.assertGreaterEqual(sum(h["reachable"] for h in hovers), len(hovers) // 2)
                for index, chart in enumerate(charts):
                    reached = [h for h in hovers if h["chart"] == index and h["reachable"]]
                    self.assertTrue(reached, f"no point of {chart['kind']} {chart['program']} "
                                             "could be hovered")
                    for hover in reached:
                        self.assertTrue(hover["shown"] and hover["active"], hover)
        charts = self.pages["report"]["charts"]
        shown = {(charts[h["chart"]]["kind"], h["key"]): h["text"].split("\n")[1]
                 for h in self.pages["report"]["hovers"] if h["reachable"]}
        for (kind, key), value in SMALL_RUN_VALUES.items():
            with self.subTest(kind, cell=key):
                self.assertIn((kind, key), shown)
                self.assert_shows(shown[kind, key], value)
        points = {f"{s['machine']}#{p['run_id']}": p for s in self.series for p in s["points"]}
        reached = [h for h in self.pages["history"]["hovers"] if h["reachable"]]
        self.assertGreaterEqual(len(reached), len(points) // 2)
        for hover in reached:
            point = points[hover["key"]]
            line = next(x for x in hover["text"].split("\n") if x.startswith("median"))
            self.assert_shows(line, point["median"], point["low"], point["high"])
            self.assertEqual("changed" in hover["text"], point["changed"])

    def test_the_tooltip_goes_away_off_the_points(self):
        for name, page in self.pages.items():
            with self.subTest(name):
                self.assertFalse(page["tooltipAfterLeaving"]["shown"])

    def test_a_legend_entry_hides_and_shows_its_series(self):
        for name, page in self.pages.items():
            if name == "machines":
                continue  # a table alone
            with self.subTest(name):
                self.assertTrue(page["toggles"])
                for toggle in page["toggles"]:
                    series = int(toggle["series"])
                    expected = list(toggle["before"])
                    expected[series] = 0
                    self.assertGreater(toggle["before"][series], 0)
                    self.assertEqual(toggle["hidden"], expected)
                    self.assertEqual(toggle["shown"], toggle["before"])
                    self.assertEqual((toggle["pressedHidden"], toggle["pressedShown"]),
                                     ("false", "true"))

    def test_a_click_on_a_header_sorts_the_rows(self):
        names = [c.name for c in self.runs["report"].cells]
        for name in ("report", "fixture"):
            sorts = self.pages[name]["sorts"][0]["columns"]
            rows = [r["cell"] for r in self.pages[name]["tables"][0]["rows"]]
            for sort in sorts:
                with self.subTest(page=name, column=sort["column"]):
                    self.assertEqual(sorted(sort["first"]["cells"]), sorted(rows))
                    if name == "report" and sort["column"] in SMALL_RUN_SORTED:
                        ascending, descending = SMALL_RUN_SORTED[sort["column"]]
                        self.assertEqual(sort["first"]["cells"], [names[i] for i in ascending])
                        self.assertEqual(sort["second"]["cells"], [names[i] for i in descending])
                    states = [None] * len(sorts)
                    states[sort["index"]] = "ascending"
                    self.assertEqual(sort["first"]["sort"], states)
                    states[sort["index"]] = "descending"
                    self.assertEqual(sort["second"]["sort"], states)
        # The history table sorts by its numbers too, not by their text (9.1 us < 12.5 us).
        sort = next(s for s in self.pages["history"]["sorts"][0]["columns"]
                    if s["column"] == "latest median")
        rows = self.pages["history"]["tables"][0]["rows"]
        self.assertEqual(len(sort["first"]["cells"]), len(rows))
        ordered = sorted(self.series, key=lambda s: s["points"][-1]["median"])
        self.assertEqual(sort["first"]["cells"], [s["cell"] for s in ordered])


if __name__ == "__main__":
    unittest.main()
