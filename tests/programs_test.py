"""Runs every built benchmark program with small arguments and checks its
whole report: exit status, every line against the report patterns, the values
a run must produce, and what bad input gets.

The line patterns come from the runner's own parser (algobench.output), so
the programs and the runner can never drift apart on the format.
"""

from __future__ import annotations

import math
import pathlib
import re
import subprocess
import unittest

import support

from algobench.measure import callgrind
from algobench.plan.matrix import Cell
from algobench.measure.output import ReportError, line_patterns, parse_report
from algobench.measure.runner import Options, ResultLedger
from algobench.plan.workload import SEQUENTIAL
from algobench.plan.workload import WORKLOADS as PROGRAMS

PARALLEL = [p for p in PROGRAMS.values() if p.parallel]
setUpModule = support.require_build


def run(name: str, *args: object, starved: bool = False, limit_stack: int | None = None):
    """Runs bench_<name>; fails the test on any sanitizer report."""
    return support.run_program(PROGRAMS[name].executable, *args, starved=starved,
                               limit_stack=limit_stack)


def report(name: str, *args: object):
    completed = run(name, *args)
    if completed.returncode != 0:
        raise AssertionError(f"{name} {args} exited {completed.returncode}: {completed.stderr}")
    return parse_report(PROGRAMS[name], completed.stdout)


def negative_sines(n: int) -> int:
    return sum(1 for i in range(n) if math.sin(i) < 0)


class EveryProgramTest(unittest.TestCase):
    def test_run_without_arguments_prints_its_lines_and_defaults(self):
        for program in PROGRAMS.values():
            with self.subTest(program.name):
                completed = run(program.name)
                self.assertEqual(completed.returncode, 0, completed.stderr)
                self.assertEqual(completed.stderr, "")
                lines = completed.stdout.split("\n")
                self.assertEqual(lines[-1], "", "output must end with a newline")
                patterns = line_patterns(program)
                self.assertEqual(len(lines) - 1, len(patterns), completed.stdout)
                for line, (kind, pattern) in zip(lines, patterns):
                    self.assertRegex(line, pattern, kind)
                parsed = parse_report(program, completed.stdout)
                self.assertEqual((parsed.threads, parsed.n), (1, 10000))

    def test_negative_size_is_refused_before_any_output(self):
        for program in PROGRAMS.values():
            for text in ("-1", "-2147483648", "4294967295"):
                with self.subTest(program.name, n=text):
                    completed = run(program.name, text, 2, 3)
                    self.assertEqual(completed.returncode, 2)
                    self.assertEqual(completed.stdout, "")
                    message, usage_line = completed.stderr.splitlines()
                    self.assertRegex(message, rf"^{program.executable}: n must be 0 or more, got -\d+")
                    self.assertTrue(usage_line.startswith(f"usage: {program.executable} [n=10000]"))

    def test_help_prints_usage_and_exits_0(self):
        for program in PROGRAMS.values():
            for flag in ("-h", "--help"):
                with self.subTest(program.name, flag=flag):
                    completed = run(program.name, flag)
                    self.assertEqual(completed.returncode, 0)
                    self.assertRegex(
                        completed.stdout,
                        rf"\Ausage: {program.executable} \[n=10000\] \[threads=1\] \[repetitions=1\]"
                        r"( \[\w+=[^\]]+\])?\n\Z",
                    )
                    self.assertEqual(completed.stderr, "")

    def test_impossible_allocation_ends_with_a_message_and_status_1(self):
        for program in PROGRAMS.values():
            with self.subTest(program.name):
                completed = run(program.name, 100_000_000, starved=True)
                self.assertEqual(completed.returncode, 1, completed.stderr)
                self.assertEqual(completed.stdout, "")
                self.assertRegex(
                    completed.stderr,
                    rf"\A{program.executable}: cannot allocate [48]00000000 bytes for the [a-z ]+ array\n\Z",
                )

    def test_zero_and_negative_repetitions_run_nothing(self):
        for program in PROGRAMS.values():
            for repetitions in (0, -3):
                with self.subTest(program.name, repetitions=repetitions):
                    parsed = report(program.name, 1000, 1, repetitions)
                    time = parsed.seconds_per_repetition
                    if repetitions == 0:
                        self.assertTrue(math.isinf(time) or math.isnan(time), time)
                    else:
                        self.assertTrue(math.isnan(time) or time <= 0, time)
                    # Nothing ran: find_if reports the end (n), the others an empty result.
                    expected = None if program.result_label is None else 0
                    if program.name == "find_if":
                        expected = 1000
                    self.assertEqual(parsed.result, expected)

    def test_threads_are_echoed_as_given(self):
        for program in PROGRAMS.values():
            for threads in (0, -1, 3):
                with self.subTest(program.name, threads=threads):
                    self.assertEqual(report(program.name, 100, threads).threads, threads)

    def test_thread_counts_the_parallel_mode_cannot_index_or_start_are_refused(self):
        # The parallel mode counts threads in 16 bits; stable_partition never
        # enters a parallel region and the sequential programs only echo. A
        # count the OpenMP runtime has no stack to start (libgomp keeps ~128
        # bytes a thread on the caller's stack) ends with a line, not SIGSEGV.
        eight_mib = 8 << 20
        for threads, stack, status, message in (
                (65534, None, 2, "threads must be at most 65533, got 65534\n"),
                (2147483647, None, 2, "threads must be at most 65533, got 2147483647\n"),
                (65533, eight_mib, 1, "cannot start 65533 threads: the OpenMP runtime needs about "
                                      "17407 KiB of stack to start them, and the stack's hard "
                                      "limit is 8192 KiB (see ulimit -Hs)\n")):
            for program in PROGRAMS.values():
                with self.subTest(program.name, threads=threads, stack=stack):
                    completed = run(program.name, 100, threads, limit_stack=stack)
                    if program.max_threads is not None:
                        self.assertEqual(program.max_threads, 65533)
                        self.assertEqual(completed.returncode, status, completed.stderr)
                        self.assertEqual(completed.stdout, "")
                        self.assertTrue(
                            completed.stderr.startswith(f"{program.executable}: {message}"),
                            completed.stderr,
                        )
                    else:
                        self.assertEqual(parse_report(program, completed.stdout).threads, threads)

    def test_non_numeric_size_gives_empty_arrays(self):
        for program in PROGRAMS.values():
            with self.subTest(program.name):
                self.assertEqual(report(program.name, "lots").n, 0)

    def test_the_build_declares_the_programs_of_the_workload_table(self):
        # CMake's add_benchmark() lines and the runner's table must name the same
        # programs, with the same build flavour.
        self.assertEqual(sorted(support.BUILD_INFO["programs"]),
                         sorted(p.executable for p in PROGRAMS.values()))
        self.assertEqual(sorted(support.BUILD_INFO["parallel_programs"]),
                         sorted(p.executable for p in PROGRAMS.values() if p.parallel))
        # ... and the same backend variants of each, as far as this build made them.
        built = [b for b, entry in support.BUILD_INFO["backends"].items() if entry["built"]]
        self.assertEqual(sorted(support.BUILD_INFO["variants"]),
                         sorted(p.executable_for(b) for p in PROGRAMS.values()
                                for b in p.backends if b in built and b != "parallel-mode"))

    def test_build_links_openmp_only_into_the_parallel_mode_programs(self):
        for program in PROGRAMS.values():
            with self.subTest(program.name):
                libraries = subprocess.run(
                    ["ldd", str(pathlib.Path(support.BIN) / program.executable)], capture_output=True, text=True, check=True
                ).stdout
                # GCC's OpenMP runtime, or LLVM's in a clang++ build.
                runtime = re.search(r"\blib(gomp|omp)\.so", libraries) is not None
                self.assertEqual(runtime, program.parallel, libraries)


class CountsTest(unittest.TestCase):
    """The values on the result lines, which no thread count or repetition count may change."""

    EXPECTED = {
        "set_intersection": {0: 0, 1: 0, 2: 1, 3: 1, 9: 4, 10000: 5000, 100001: 50000},
        "count_if": {0: 0, 1: 0, 2: 1, 7: 3, 1000: 500, 100001: 50000},
        "stable_partition": {
            0: 0, 1: 0, 4: 0, 5: 1, 7: 3, 10: 3, 12: 5, 20: 9, 100: 49, 1000: 500, 10000: 4998,
            100000: 49999,
        },
    }

    def test_counts_for_several_sizes(self):
        for name, counts in self.EXPECTED.items():
            for n, count in counts.items():
                with self.subTest(name, n=n):
                    parsed = report(name, n)
                    self.assertEqual(parsed.result, count)
                    self.assertEqual(parsed.n, n)

    def test_stable_partition_counts_are_the_negative_sines(self):
        for n in (3, 12, 333, 4321):
            with self.subTest(n=n):
                self.assertEqual(report("stable_partition", n).result, negative_sines(n))

    def test_same_count_for_any_thread_and_repetition_count(self):
        # 200000 elements: large enough for the parallel mode to split the work.
        for name, expected in (("set_intersection", 100000), ("count_if", 100000),
                               ("stable_partition", negative_sines(200000))):
            for threads in (1, 2, 4, 8):
                for repetitions in (1, 3):
                    with self.subTest(name, threads=threads, repetitions=repetitions):
                        parsed = report(name, 200000, threads, repetitions)
                        self.assertEqual((parsed.result, parsed.threads), (expected, threads))

    def test_fourth_argument_changes_nothing_in_the_parallel_programs(self):
        for program in PARALLEL:
            with self.subTest(program.name):
                plain, extra = report(program.name, 99, 2, 2), report(program.name, 99, 2, 2, 5)
                self.assertEqual((plain.result, plain.n), (extra.result, extra.n))

    def test_count_if_closing_time_is_fixed_while_time_lines_are_not(self):
        completed = run("count_if", 1000, 1, 3)
        _, _, result, closing = completed.stdout.splitlines()
        self.assertRegex(closing, r"  :time: \d+\.\d{9}$")
        self.assertEqual(result, "res = 500")
        # The parser holds the two time lines to the default format's six
        # significant digits, which a fixed nine-decimal time of a millisecond
        # or more would exceed.
        parse_report(PROGRAMS["count_if"], completed.stdout)


class FindIfTest(unittest.TestCase):
    def test_position_of_the_zero(self):
        cases = [
            ((10000, 1, 1, 5000), 5000),
            ((10000, 1, 1, 0), 0),
            ((10000, 1, 1, 9999), 9999),
            ((20000,), 10000),  # the default position, inside the array
            ((), 10000),  # the default position is past the end: no zero is stored
            ((10000, 1, 1, -1), 10000),
            ((10000, 1, 1, 10000), 10000),
            ((100, 1, 1, 2147483647), 100),
            ((0, 1, 1, 0), 0),
            ((10000, 1, 1, 5000, 7), 5000),  # a fifth argument is ignored
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                self.assertEqual(report("find_if", *args).result, expected)

    def test_repetitions_and_threads_do_not_change_the_position(self):
        for threads in (0, -3, 64):
            for repetitions in (1, 5):
                with self.subTest(threads=threads, repetitions=repetitions):
                    parsed = report("find_if", 10000, threads, repetitions, 4321)
                    self.assertEqual((parsed.result, parsed.threads), (4321, threads))


class SelectionTest(unittest.TestCase):
    def test_valid_indices_print_exactly_the_three_lines(self):
        for name in ("nth_element", "partial_sort"):
            for args in ((), (10,), (1,), (0,), (1000, 1, 3, 1000), (1000, 1, 3, 0), (5, 2, 2, 5)):
                with self.subTest(name, args=args):
                    parsed = report(name, *args)
                    self.assertIsNone(parsed.result)
                    self.assertEqual(parsed.n, args[0] if args else 10000)

    def test_index_outside_the_array_is_refused(self):
        for name in ("nth_element", "partial_sort"):
            for n, k in ((10, 11), (10, -1), (0, 1), (1000, 2147483647)):
                with self.subTest(name, n=n, k=k):
                    completed = run(name, n, 1, 1, k)
                    self.assertEqual(completed.returncode, 2)
                    self.assertEqual(completed.stdout, "")
                    message, usage_line = completed.stderr.splitlines()
                    self.assertEqual(
                        message,
                        f"bench_{name}: k must lie within 0..n (0..{n} for n = {n}), got k = {k}",
                    )
                    self.assertTrue(usage_line.startswith(f"usage: bench_{name} "))


class ParserTest(unittest.TestCase):
    """The strict parser rejects what a program must never print."""

    GOOD = "Time allocate:2.19345e-05\nTime init:0.000227928\nres = 5000\nResult-> cpu:1  :size: 10000  :time: 0.000007153\n"

    def test_accepts_non_finite_times(self):
        for time, check in (("inf", math.isinf), ("-nan", math.isnan), ("nan", math.isnan)):
            text = self.GOOD.replace("0.000007153", time)
            self.assertTrue(check(parse_report(PROGRAMS["count_if"], text).seconds_per_repetition))

    def test_rejects_malformed_reports(self):
        bad = {
            "missing result": self.GOOD.replace("res = 5000\n", ""),
            "default format where fixed is due": self.GOOD.replace("0.000007153", "7.153e-06"),
            "blank after label": self.GOOD.replace("Time init:", "Time init: "),
            "one blank before size": self.GOOD.replace("  :size:", " :size:"),
            "extra line": self.GOOD + "done\n",
            "no final newline": self.GOOD[:-1],
            "seven digits": self.GOOD.replace("2.19345e-05", "2.193451e-05"),
        }
        for reason, text in bad.items():
            with self.subTest(reason):
                with self.assertRaises(ReportError):
                    parse_report(PROGRAMS["count_if"], text)


class InstructionCountTest(unittest.TestCase):
    """The marks of the timed loop under the real callgrind, at small n."""

    def setUp(self):
        if support.SANITIZED or callgrind.unavailable(pathlib.Path(support.BIN),
                                                      ["bench_count_if_seq"]):
            self.skipTest("no valgrind, or a build without the marks (or sanitized)")

    def steady(self, n: int) -> list[float]:
        """Two steady counts of the sequential count_if at n, from separate processes."""
        counted = callgrind.count(Cell("count_if", n, 1, SEQUENTIAL),
                                  Options(bin_dir=pathlib.Path(support.BIN)), ResultLedger(),
                                  times=2)
        self.assertIsInstance(counted, callgrind.Counted, getattr(counted, "failure", ""))
        return counted.per_call

    def test_one_thread_counts_are_identical_and_linear_in_n(self):
        counts = {n: self.steady(n) for n in (1000, 2000, 3000)}
        for n, pair in counts.items():
            self.assertEqual(pair[0], pair[1], n)  # the same in every process
        # Each element costs the same instructions: the loop alone is counted.
        self.assertEqual(counts[2000][0] - counts[1000][0], counts[3000][0] - counts[2000][0])
        self.assertGreater(counts[1000][0], 1000)

    def test_output_under_callgrind_is_the_programs_own(self):
        # The marks change nothing a program prints: only the times differ.
        for name, args in (("count_if", (2000, 2, 3)), ("nth_element", (2000, 1, 1))):
            native = run(name, *args)
            counted = subprocess.run(
                [callgrind.valgrind(), "--tool=callgrind", "--instr-atstart=no",
                 "--callgrind-out-file=/dev/null", str(pathlib.Path(support.BIN) /
                                                        PROGRAMS[name].executable),
                 *map(str, args)], capture_output=True, text=True, timeout=300)
            untimed = lambda text: re.sub(r"(Time \w+:|:time: )[0-9.e+-]+", r"\1", text)
            self.assertEqual(untimed(counted.stdout), untimed(native.stdout), name)


if __name__ == "__main__":
    unittest.main()
