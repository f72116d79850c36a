"""The report parser on outputs captured from every program, and on the
deviations it must refuse."""

import math
import unittest

from support import FIXTURES

from algobench.measure.output import ReportError, parse_report
from algobench.plan.workload import WORKLOADS as PROGRAMS

OUTPUTS = FIXTURES / "outputs"


def captured(name: str) -> str:
    return (OUTPUTS / f"{name}.txt").read_text()


class CapturedOutputTest(unittest.TestCase):
    def test_every_program(self):
        # (result, threads, n, seconds per repetition) as each capture shows them.
        expected = {
            "set_intersection": (500, 2, 1000, 0.00667365),
            "count_if": (500, 2, 1000, 0.006533305),
            "partial_sum": (None, 2, 1000, 0.000305971),
            "unique_copy": (None, 2, 1000, 1.35104e-06),
            "stable_partition": (500, 2, 1000, 4.43459e-05),
            "find_if": (999, 1, 1000, None),
            "nth_element": (None, 2, 1000, 5.32468e-06),
            "partial_sort": (None, 2, 1000, 3.56038e-05),
        }
        # Captures of the eight original programs; the program tests cover any other.
        self.assertLessEqual(expected.keys(), PROGRAMS.keys())
        for name, (result, threads, n, seconds) in expected.items():
            with self.subTest(name):
                report = parse_report(PROGRAMS[name], captured(name))
                self.assertEqual((report.result, report.threads, report.n),
                                 (result, threads, n))
                if seconds is not None:
                    self.assertEqual(report.seconds_per_repetition, seconds)
                self.assertGreater(report.allocate_seconds, 0)

    def test_non_finite_and_signed_zero_times(self):
        cases = {
            "count_if_no_repetitions": (PROGRAMS["count_if"], math.isnan),
            "count_if_no_repetitions_inf": (PROGRAMS["count_if"], math.isinf),
            "partial_sum_no_repetitions": (PROGRAMS["partial_sum"], math.isnan),
            "find_if_negative_repetitions": (PROGRAMS["find_if"], lambda t: t == 0),
        }
        for name, (program, holds) in cases.items():
            with self.subTest(name):
                self.assertTrue(holds(parse_report(program, captured(name)).seconds_per_repetition))
        minus_inf = captured("partial_sum").replace("0.000305971", "-inf")
        self.assertEqual(parse_report(PROGRAMS["partial_sum"], minus_inf).seconds_per_repetition,
                         -math.inf)

    def test_time_formats_are_held_to_their_program(self):
        # count_if prints nine fixed decimals; the others the stream's six digits.
        fixed = captured("count_if")
        with self.assertRaises(ReportError):
            parse_report(PROGRAMS["count_if"], fixed.replace("0.006533305", "0.00653331"))
        with self.assertRaises(ReportError):
            parse_report(PROGRAMS["set_intersection"],
                         captured("set_intersection").replace("0.00667365", "0.006673650"))
        scientific = captured("nth_element_1e6").replace("0.00841117", "8.41117e-03")
        self.assertEqual(parse_report(PROGRAMS["nth_element"], scientific).seconds_per_repetition,
                         8.41117e-03)


class MalformedOutputTest(unittest.TestCase):
    def test_rejected(self):
        text = captured("set_intersection")
        lines = text.splitlines()
        program = PROGRAMS["set_intersection"]
        cases = {
            "missing result line": "\n".join(lines[:2] + lines[3:]) + "\n",
            "missing closing line": "\n".join(lines[:3]) + "\n",
            "extra line": text + "done\n",
            "reordered lines": "\n".join([lines[1], lines[0]] + lines[2:]) + "\n",
            "no final newline": text.rstrip("\n"),
            "carriage returns": text.replace("\n", "\r\n"),
            "single space in closing line": text.replace("cpu:2  :size:", "cpu:2 :size:"),
            "result label of another program": text.replace("size inserted elements =", "res = "),
            "non-numeric result": text.replace("=500", "=five hundred"),
            "seven significant digits": text.replace("0.00667365", "0.006673651"),
            "trailing blank": text.replace("0.00667365", "0.00667365 "),
            "empty output": "",
        }
        for name, bad in cases.items():
            with self.subTest(name), self.assertRaises(ReportError):
                parse_report(program, bad)

    def test_result_line_where_none_belongs(self):
        text = captured("partial_sum")
        lines = text.splitlines()
        with self.assertRaises(ReportError):
            parse_report(PROGRAMS["partial_sum"], "\n".join(lines[:2] + ["res = 1"] + lines[2:]) + "\n")


if __name__ == "__main__":
    unittest.main()
