"""Runs every backend variant the build made against its parallel-mode
program: the same report lines apart from the times, the same refusals under
the variant's own name, the libraries each links, build-info.json's account
of them, and the refusal to build the policy variants where libstdc++ would
quietly run std::execution::par sequentially.
"""

from __future__ import annotations

import json
import pathlib
import shlex
import subprocess
import tempfile
import time
import unittest

import support
from support import BUILD_INFO, run_program as run

from algobench.measure.output import line_patterns, parse_report
from algobench.plan.workload import WORKLOADS

BIN = pathlib.Path(support.BIN) if support.BIN else None

# The executable's suffix for each backend, as build-info.json names them.
BACKENDS = {"_seq": "sequential", "_par": "c++17-par", "_par_unseq": "c++17-par-unseq"}
POLICY_BACKENDS = ("c++17-par", "c++17-par-unseq")
# What the policy variants refuse: oneTBB sizes its worker table by the count.
TBB_MAX_THREADS = 65533
# The message backend.h stops a policy build with when libstdc++ has no oneTBB.
SEQUENTIAL_PAR_ERROR = "std::execution::par would run sequentially"

setUpModule = support.require_build


def split_variant(executable: str):
    """(workload, backend) of a variant's executable name."""
    for suffix in sorted(BACKENDS, key=len, reverse=True):
        for workload in WORKLOADS.values():
            if executable == workload.executable + suffix:
                return workload, BACKENDS[suffix]
    raise AssertionError(f"{executable} names no workload and backend")


VARIANTS = [(name, *split_variant(name)) for name in BUILD_INFO.get("variants", [])]


def without_times(workload, stdout: str) -> list[str]:
    """The report's lines with every time replaced by "T", after a strict parse."""
    parse_report(workload, stdout)
    lines = stdout.splitlines()
    for i, (line, (_, pattern)) in enumerate(zip(lines, line_patterns(workload))):
        match = pattern.match(line)
        if "seconds" in pattern.groupindex:
            lines[i] = line[:match.start("seconds")] + "T" + line[match.end("seconds"):]
    return lines


def argument_lists(workload) -> list[tuple]:
    """n, threads, repetitions and the fourth argument where the program reads one."""
    lists = []
    for n in (0, 1, 3, 7, 1001, 100000):
        for threads in (1, 2):
            if workload.fourth_name is None:
                lists.append((n, threads, 1))
            else:
                # The program's default, the sweep's choice and the last valid one.
                lists += [(n, threads), (n, threads, 1, workload.fourth(n)), (n, threads, 2, n)]
    return lists


class SameReportTest(unittest.TestCase):
    def test_every_variant_reports_what_its_program_reports(self):
        self.assertTrue(VARIANTS, "the build made no variants")
        reference: dict[tuple, list[str]] = {}
        for executable, workload, backend in VARIANTS:
            for args in argument_lists(workload):
                with self.subTest(executable, args=args):
                    key = (workload.name, args)
                    if key not in reference:
                        completed = run(workload.executable, *args)
                        self.assertEqual(completed.returncode, 0, completed.stderr)
                        reference[key] = without_times(workload, completed.stdout)
                    completed = run(executable, *args)
                    self.assertEqual(completed.returncode, 0, completed.stderr)
                    self.assertEqual(completed.stderr, "")
                    self.assertEqual(without_times(workload, completed.stdout), reference[key])

    def test_counts_reach_their_known_values_in_every_variant(self):
        # A size at which every parallel implementation splits the work.
        n = 200001
        for executable, workload, backend in VARIANTS:
            if workload.result_label is None:
                continue
            fourth = workload.fourth(n)
            for threads in (1, 2):
                with self.subTest(executable, threads=threads):
                    completed = run(executable, n, threads, 2, *([fourth] if fourth is not None else []))
                    self.assertEqual(completed.returncode, 0, completed.stderr)
                    report = parse_report(workload, completed.stdout)
                    self.assertEqual(report.result, workload.expected_result(n, fourth))


class LinkTest(unittest.TestCase):
    @staticmethod
    def libraries(executable: str) -> str:
        return subprocess.run(["ldd", str(BIN / executable)], capture_output=True, text=True,
                              check=True).stdout

    def test_sequential_variants_link_no_openmp_and_policy_variants_link_onetbb_only(self):
        for executable, workload, backend in VARIANTS:
            with self.subTest(executable):
                libraries = self.libraries(executable)
                self.assertNotIn("libgomp", libraries)
                self.assertEqual("libtbb" in libraries, backend in POLICY_BACKENDS)


class TeamTest(unittest.TestCase):
    """A parallel backend that quietly runs on one thread (OpenMP pragmas that a
    compiler drops, a library without its oneTBB backend) still prints the
    right report: only the threads its process starts tell. They are counted
    in /proc while the process runs, which a busy machine does not change."""

    def most_threads(self, executable: str, n: int = 2000000, repetitions: int = 200,
                     enough: int | None = None) -> int:
        """The most threads the process had at once, running 2 threads for a while;
        with `enough`, the process is ended once it has had that many."""
        process = subprocess.Popen([str(BIN / executable), str(n), "2", str(repetitions)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        tasks = pathlib.Path(f"/proc/{process.pid}/task")
        most = 0
        while process.poll() is None:
            try:
                most = max(most, len(list(tasks.iterdir())))
            except OSError:  # ended between the poll and the listing
                break
            if enough is not None and most >= enough:
                process.kill()
                process.communicate(timeout=120)
                return most
            time.sleep(0.002)
        _, err = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 0, err)
        return most

    def test_parallel_backends_start_a_second_thread_and_the_sequential_one_none(self):
        count_if = WORKLOADS["count_if"]
        for executable in (count_if.executable, count_if.executable_for("c++17-par")):
            if (BIN / executable).exists():
                with self.subTest(executable):
                    self.assertGreaterEqual(self.most_threads(executable), 2)
        self.assertEqual(self.most_threads(count_if.executable_for("sequential")), 1)

    def test_the_parallel_mode_starts_its_team_from_the_size_the_workload_table_says(self):
        # The crossovers and findings set each call beside this size (the
        # library's _Settings member's default).
        for workload in WORKLOADS.values():
            if workload.has_parallel_call:
                with self.subTest(workload.name):
                    threshold = workload.parallel_min_n
                    self.assertEqual(self.most_threads(workload.executable, threshold - 1, 5000), 1)
                    self.assertEqual(
                        self.most_threads(workload.executable, threshold, 10**6, enough=2), 2)


class RefusalTest(unittest.TestCase):
    """Bad input gets the same answers as from the eight programs, under the variant's name."""

    def test_negative_size_is_refused_naming_the_variant(self):
        for executable, workload, backend in VARIANTS:
            with self.subTest(executable):
                completed = run(executable, -5, 2, 3)
                self.assertEqual((completed.returncode, completed.stdout), (2, ""))
                message, usage_line = completed.stderr.splitlines()
                self.assertEqual(message, f'{executable}: n must be 0 or more, got -5 (from "-5")')
                self.assertTrue(usage_line.startswith(f"usage: {executable} [n=10000]"), usage_line)

    def test_help_names_the_variant_with_its_programs_arguments(self):
        for executable, workload, backend in VARIANTS:
            with self.subTest(executable):
                completed = run(executable, "--help")
                self.assertEqual((completed.returncode, completed.stderr), (0, ""))
                reference = run(workload.executable, "--help").stdout
                self.assertEqual(completed.stdout,
                                 reference.replace(workload.executable, executable, 1))

    def test_thread_counts_oneTBB_cannot_take_are_refused_and_the_rest_echoed(self):
        for executable, workload, backend in VARIANTS:
            for threads in (0, -1, TBB_MAX_THREADS, TBB_MAX_THREADS + 1, 2147483647):
                with self.subTest(executable, threads=threads):
                    completed = run(executable, 100, threads)
                    if backend in POLICY_BACKENDS and threads > TBB_MAX_THREADS:
                        self.assertEqual((completed.returncode, completed.stdout), (2, ""))
                        self.assertTrue(completed.stderr.startswith(
                            f"{executable}: threads must be at most {TBB_MAX_THREADS}, "
                            f"got {threads}\nusage: {executable} "), completed.stderr)
                    else:
                        # The sequential variants only echo; 0 or less means
                        # one thread to oneTBB, which refuses 0 itself.
                        self.assertEqual(completed.returncode, 0, completed.stderr)
                        self.assertEqual(parse_report(workload, completed.stdout).threads, threads)

    def test_impossible_allocation_ends_with_a_message_naming_the_variant(self):
        for executable, workload, backend in VARIANTS:
            with self.subTest(executable):
                completed = run(executable, 100_000_000, starved=True)
                self.assertEqual((completed.returncode, completed.stdout), (1, ""), completed.stderr)
                self.assertRegex(completed.stderr,
                                 rf"\A{executable}: cannot allocate \d+ bytes for the [a-z ]+ array\n\Z")


class BuildInfoTest(unittest.TestCase):
    def test_variants_are_exactly_the_variant_executables_present(self):
        present = {path.name for path in BIN.glob("bench_*")}
        programs = {workload.executable for workload in WORKLOADS.values()}
        self.assertEqual(sorted(BUILD_INFO["variants"]), sorted(present - programs))
        self.assertEqual(len(set(BUILD_INFO["variants"])), len(BUILD_INFO["variants"]))

    def test_backends_say_what_was_built_and_why_not(self):
        backends = BUILD_INFO["backends"]
        self.assertEqual(set(backends), {"parallel-mode", *BACKENDS.values()})
        built = {backend for _, _, backend in VARIANTS}
        for backend, entry in backends.items():
            with self.subTest(backend):
                self.assertEqual(entry["reason"] == "", entry["built"], entry)
                if backend != "parallel-mode":
                    self.assertEqual(entry["built"], backend in built)
        self.assertEqual(backends["c++17-par"], backends["c++17-par-unseq"])
        if backends["c++17-par"]["built"]:
            self.assertRegex(BUILD_INFO["tbb_version"], r"^\d+\.\d+")

    def test_each_backend_covers_the_workloads_it_is_for(self):
        by_backend: dict[str, set[str]] = {}
        for _, workload, backend in VARIANTS:
            by_backend.setdefault(backend, set()).add(workload.name)
        # The plain builds of find_if, nth_element and partial_sort already are
        # the sequential ones.
        self.assertEqual(by_backend.get("sequential"),
                         {w.name for w in WORKLOADS.values() if w.parallel})
        if BUILD_INFO["backends"]["c++17-par"]["built"]:
            self.assertEqual(by_backend["c++17-par"], set(WORKLOADS))
            # par_unseq only where it takes its own path: never without par, never all.
            self.assertLess(by_backend["c++17-par-unseq"], set(WORKLOADS))


class TbbRequirementTest(unittest.TestCase):
    """libstdc++ without its oneTBB backend runs std::execution::par sequentially:
    no policy variant may be built that way."""

    def policy_compile_command(self) -> list[str]:
        if not BUILD_INFO["backends"]["c++17-par"]["built"]:
            self.skipTest("this build has no policy variants: "
                          + BUILD_INFO["backends"]["c++17-par"]["reason"])
        commands = json.loads((support.BUILD / "compile_commands.json").read_text())
        for entry in commands:
            if "bench_count_if_par.dir" in entry["command"]:
                command = shlex.split(entry["command"])
                # Compile only: nothing is written into the build tree.
                output = command.index("-o")
                return command[:output] + command[output + 2:] + ["-fsyntax-only"]
        self.fail("compile_commands.json has no command for bench_count_if_par")

    def test_a_policy_variant_does_not_compile_without_the_onetbb_backend(self):
        command = self.policy_compile_command()
        directory = support.BUILD
        compiled = subprocess.run(command, cwd=directory, capture_output=True, text=True)
        self.assertEqual(compiled.returncode, 0, compiled.stderr)
        refused = subprocess.run(command + ["-D_GLIBCXX_USE_TBB_PAR_BACKEND=0"], cwd=directory,
                                 capture_output=True, text=True)
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn(f"#error \"{SEQUENTIAL_PAR_ERROR}", refused.stderr)

    def test_configuring_without_the_onetbb_backend_builds_no_policy_variant_and_says_why(self):
        cases = {
            "backend not selected": ("-DCMAKE_CXX_FLAGS=-D_GLIBCXX_USE_TBB_PAR_BACKEND=0",
                                     "does not select its oneTBB backend"),
            "oneTBB not found": ("-DCMAKE_DISABLE_FIND_PACKAGE_TBB=ON", "found no oneTBB"),
            "switched off": ("-DALGOBENCH_PAR_BACKEND=OFF", "switched off"),
        }
        for case, (option, reason) in cases.items():
            with self.subTest(case), tempfile.TemporaryDirectory() as tree:
                configured = subprocess.run(
                    ["cmake", "-S", str(support.ROOT), "-B", tree, "-DBUILD_TESTING=OFF",
                     f"-DCMAKE_CXX_COMPILER={BUILD_INFO['cxx_compiler']}", option],
                    capture_output=True, text=True)
                self.assertEqual(configured.returncode, 0, configured.stderr)
                info = json.loads((pathlib.Path(tree) / "build-info.json").read_text())
                if case == "backend not selected" and "tbb_version" not in info:
                    # Where the machine has no oneTBB, that is the reason given first.
                    reason = "found no oneTBB"
                warning = " ".join(configured.stderr.split())
                self.assertIn("variants are not built: ", warning)
                self.assertIn(reason, warning)
                for backend in POLICY_BACKENDS:
                    self.assertFalse(info["backends"][backend]["built"])
                    self.assertIn(reason, info["backends"][backend]["reason"])
                self.assertTrue(info["backends"]["sequential"]["built"])
                self.assertEqual(sorted(info["variants"]),
                                 sorted(w.executable + "_seq" for w in WORKLOADS.values()
                                        if w.parallel))
                self.assertEqual(info["programs"], BUILD_INFO["programs"])


if __name__ == "__main__":
    unittest.main()
