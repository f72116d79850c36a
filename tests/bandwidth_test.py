"""The bandwidth probe: its command line, its figures, and the strict reading of its output."""

import contextlib
import io
import math
import os
import pathlib
import stat
import subprocess
import sys
import tempfile
import unittest

from support import BIN

from algobench.measure import bandwidth, placement
from algobench.plan.matrix import Cell

# Small arrays and few repetitions: the sanitized build is several times slower.
SMALL_MIB, SMALL_REPETITIONS = 4, 2

GOOD_OUTPUT = (
    "threads: 2\narray bytes: 4194304\nrepetitions: 2\n"
    "sum: 25158075312\ncopy: 59911781515\ntriad: 80520845464\n"
)


def probe_path():
    return pathlib.Path(BIN) / bandwidth.PROBE


@unittest.skipIf(BIN is None, "no built probe: run through CTest or build the release preset")
class ProbeProgramTest(unittest.TestCase):
    def run_probe(self, *args):
        return subprocess.run([str(probe_path()), *args], env=dict(os.environ),
                              capture_output=True, text=True, timeout=120)

    def test_figures_are_positive_at_each_thread_count(self):
        figures = bandwidth.measure(BIN, [2, 1, 2], array_mib=SMALL_MIB,
                                    repetitions=SMALL_REPETITIONS)
        self.assertEqual(sorted(figures), [1, 2])
        for threads, rates in figures.items():
            self.assertEqual(sorted(rates), sorted(bandwidth.KERNELS))
            for kernel, rate in rates.items():
                self.assertTrue(math.isfinite(rate) and rate > 0, (threads, kernel, rate))

    def test_report_names_the_team_and_the_array(self):
        completed = self.run_probe("2", str(SMALL_MIB), str(SMALL_REPETITIONS))
        self.assertEqual(completed.returncode, 0, completed.stderr)
        probe = bandwidth.parse_output(completed.stdout)
        self.assertEqual(probe.threads, 2)
        self.assertEqual(probe.array_bytes, SMALL_MIB * 1024 * 1024)
        self.assertEqual(probe.repetitions, SMALL_REPETITIONS)

    def test_bad_command_lines_are_refused(self):
        for args in ([], ["0"], ["2x"], ["-1"], ["2", "0"], ["2", "4", "0"], ["1", "2", "3", "4"]):
            with self.subTest(args=args):
                completed = self.run_probe(*args)
                self.assertEqual(completed.returncode, 2)
                self.assertEqual(completed.stdout, "")
                self.assertIn("usage: bandwidth_probe threads", completed.stderr)


class ParseOutputTest(unittest.TestCase):
    def test_good_output(self):
        probe = bandwidth.parse_output(GOOD_OUTPUT)
        self.assertEqual(probe.threads, 2)
        self.assertEqual(probe.rates, {"sum": 25158075312.0, "copy": 59911781515.0,
                                       "triad": 80520845464.0})

    def test_malformed_output_is_rejected(self):
        lines = GOOD_OUTPUT.splitlines(keepends=True)
        cases = {
            "no final newline": GOOD_OUTPUT[:-1],
            "empty": "",
            "missing line": "".join(lines[:-1]),
            "extra line": GOOD_OUTPUT + "note: hot\n",
            "reordered": "".join(lines[:3] + [lines[4], lines[3], lines[5]]),
            "zero rate": GOOD_OUTPUT.replace("sum: 25158075312", "sum: 0"),
            "negative rate": GOOD_OUTPUT.replace("sum: 25158075312", "sum: -25158075312"),
            "float rate": GOOD_OUTPUT.replace("copy: 59911781515", "copy: 5.99e10"),
            "unit suffix": GOOD_OUTPUT.replace("triad: 80520845464", "triad: 80520845464 B/s"),
            "leading space": GOOD_OUTPUT.replace("threads: 2", " threads: 2"),
            "leading zero": GOOD_OUTPUT.replace("threads: 2", "threads: 02"),
            "windows line ends": GOOD_OUTPUT.replace("\n", "\r\n"),
        }
        for name, text in cases.items():
            with self.subTest(name):
                with self.assertRaises(bandwidth.ProbeError):
                    bandwidth.parse_output(text)


class MeasureTest(unittest.TestCase):
    def fake_probe(self, folder, body):
        """A stand-in probe: a Python script that prints what the case needs."""
        path = pathlib.Path(folder) / bandwidth.PROBE
        path.write_text(f"#!{sys.executable}\nimport sys\n{body}\n")
        path.chmod(path.stat().st_mode | stat.S_IXUSR)
        return path

    def test_missing_probe_gives_nothing_and_one_note(self):
        with tempfile.TemporaryDirectory() as tmp, contextlib.redirect_stderr(io.StringIO()) as err:
            self.assertEqual(bandwidth.measure(tmp, [1, 2]), {})
        self.assertEqual(err.getvalue().count("\n"), 1)
        self.assertIn("bandwidth_probe", err.getvalue())

    def test_team_smaller_than_asked_is_an_error(self):
        with tempfile.TemporaryDirectory() as tmp:
            self.fake_probe(tmp, f"sys.stdout.write({GOOD_OUTPUT!r})")
            self.assertEqual(sorted(bandwidth.measure(tmp, [2])), [2])
            with self.assertRaisesRegex(bandwidth.ProbeError, "asked for 4 threads but ran 2"):
                bandwidth.measure(tmp, [4])

    def test_failing_or_hanging_probe_is_an_error(self):
        with tempfile.TemporaryDirectory() as tmp:
            self.fake_probe(tmp, "sys.stderr.write('cannot allocate\\n'); sys.exit(1)")
            with self.assertRaisesRegex(bandwidth.ProbeError, "status 1: cannot allocate"):
                bandwidth.measure(tmp, [1])
            self.fake_probe(tmp, "import time; time.sleep(30)")
            with self.assertRaisesRegex(bandwidth.ProbeError, "took more than"):
                bandwidth.measure(tmp, [1], timeout=0.5)

    def test_size_arguments_reach_the_probe(self):
        with tempfile.TemporaryDirectory() as tmp:
            log = pathlib.Path(tmp) / "args"
            self.fake_probe(tmp, f"import os; open({str(log)!r}, 'a').write(' '.join(sys.argv[1:])"
                                 " + ' ' + os.environ.get('OMP_PLACES', '-') + ' '"
                                 " + str(sorted(os.sched_getaffinity(0))) + '\\n')\n"
                                 f"sys.stdout.write({GOOD_OUTPUT!r})")
            bandwidth.measure(tmp, [2], array_mib=8, repetitions=3)
            # Pinned, the probe runs where a cell of as many threads does.
            pinned = placement.Placement("close")
            bandwidth.measure(tmp, [2], placement=pinned)
            cpus = pinned.cpus(Cell("count_if", 1, 2))
            self.assertEqual(log.read_text().splitlines(), [
                f"2 8 3 - {sorted(os.sched_getaffinity(0))}",
                f"2 {placement.places(cpus)} {sorted(cpus)}"])


if __name__ == "__main__":
    unittest.main()
