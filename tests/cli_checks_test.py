"""What a user meets first: options and files the suite cannot use are refused
in one line before anything runs, and list, --version, --force, --quick and
`compare --json` do what they say. Stand-in programs only; nothing is timed."""

import contextlib
import copy
import errno
import fcntl
import io
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from unittest import mock

from support import (REPORT_FIXTURES, ROOT, SUITE, TINY, StandinSweep, load, run_suite,
                     standin_bin, suite_process as suite)

from algobench import __version__, export
from algobench.plan import build
from algobench.record import results_folder
from algobench.plan.workload import WORKLOADS

RUN_A, RUN_B = REPORT_FIXTURES / "run_a", REPORT_FIXTURES / "run_b"
SMALL = ["--programs", "count_if,find_if", "--sizes", "100", "--threads", "1,2", *TINY]


class Refusals(unittest.TestCase):
    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.root = pathlib.Path(directory.name)
        self.bin_dir = standin_bin(self.root)
        self.log = self.root / "started.log"

    def assert_refused(self, status, err, *named, code=2):
        """Exit status `code` and one line on stderr that names each of `named`."""
        self.assertNotIn("Traceback", err)
        lines = [line for line in err.splitlines() if line.strip()]
        self.assertEqual(len(lines), 1, err)
        for text in named:
            self.assertIn(str(text), lines[0])
        self.assertEqual(status, code, err)


class OutFolderTest(Refusals):
    def run_into(self, out, *extra, command="run"):
        with mock.patch.dict(os.environ, {"STANDIN_LOG": str(self.log), "STANDIN_FAULT": ""}):
            if command == "ab":
                return run_suite(["ab", str(self.bin_dir), str(self.bin_dir), "--out", str(out),
                                  *SMALL, *extra])
            return run_suite(["run", "--bin-dir", str(self.bin_dir), "--out", str(out),
                              *SMALL, *extra])

    def test_unusable_folders_are_refused_before_anything_runs(self):
        a_file = self.root / "a_file"
        a_file.write_text("not a folder\n")
        cases = [(a_file, "exists and is not a folder"),
                 (a_file / "below", "is not a folder")]
        if pathlib.Path("/proc/self").exists():
            cases.append((pathlib.Path("/proc/algobench-results"), "cannot be used"))
        for command in ("run", "ab"):
            for out, why in cases:
                with self.subTest(command=command, out=out):
                    status, _, err = self.run_into(out, command=command)
                    self.assert_refused(status, err, f"suite {command}: --out {out}", why)
        self.assertFalse(self.log.exists(), "a program ran")
        self.assertEqual(a_file.read_text(), "not a folder\n")

    def test_output_cut_short_by_its_reader_ends_quietly(self):
        reader = subprocess.Popen([*SUITE, "run", "--dry-run", "--bin-dir", str(self.bin_dir),
                                   "--sizes", "1:1e9:40", "--long"], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        reader.stdout.readline()
        reader.stdout.close()  # as `| head -1` does
        self.assertEqual(reader.wait(timeout=120), 141)
        self.assertNotIn("Traceback", reader.stderr.read())
        reader.stderr.close()
        # A sweep whose reader goes away measures on and is stored as complete.
        the_store = self.root / "store.sqlite"
        reader = subprocess.Popen([*SUITE, "run", "--bin-dir", str(self.bin_dir), "--out",
                                   str(self.root / "out"), "--store", str(the_store), *SMALL,
                                   "--programs", "count_if", "--threads", "1", "--retries", "0",
                                   "--extra-rounds", "0"], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
        reader.stdout.readline()
        reader.stdout.close()  # as `2>&1 | head -1` does
        self.assertEqual(reader.wait(timeout=120), 0)
        self.assertEqual(load(self.root / "out")["cells"][0]["status"], "ok")
        status, out, _ = run_suite(["history", "--store", str(the_store)])
        self.assertRegex(out, r"1/1 +complete")

    def test_the_real_entry_point_says_it_in_one_line(self):
        a_file = self.root / "a_file"
        a_file.write_text("")
        completed = suite("run", "--bin-dir", self.bin_dir, "--out", a_file, *SMALL)
        self.assert_refused(completed.returncode, completed.stderr, f"--out {a_file}")

    def test_a_write_failing_during_the_run_is_one_line(self):
        full = OSError(errno.ENOSPC, "No space left on device")
        full.filename = str(self.root / "out" / "results.json")
        with mock.patch.object(export, "write_all", side_effect=full):
            status, _, err = self.run_into(self.root / "out")
        # The run has said what it starts by then; its end is one line.
        self.assertNotIn("Traceback", err)
        self.assertEqual(status, 2)
        self.assertEqual(err.splitlines()[-1], f"suite run: cannot write the results: "
                                               f"{full.filename}: No space left on device")

    def test_an_earlier_run_is_kept_unless_forced(self):
        out = self.root / "out"
        self.assertEqual(self.run_into(out)[0], 0)
        before = (out / "results.json").read_text()
        status, _, err = self.run_into(out)
        self.assert_refused(status, err, str(out), "not empty", "--force")
        self.assertEqual((out / "results.json").read_text(), before)

    def forced_rerun(self, command, legacy=False):
        """A run, files of the user's and a file the run recorded as its own added,
        then a forced run into the same folder: only the recorded file goes."""
        out = self.root / "out"
        self.assertEqual(self.run_into(out, command=command)[0], 0)
        written = {p.relative_to(out) for p in out.rglob("*")}
        build_dir = out / "A" if command == "ab" else out
        mine = {"notes.txt": "mine\n", "data/raw.csv": "1,2\n",
                f"{build_dir.relative_to(out) / 'plots' / 'mine.txt'}": "kept\n"}
        ours = [build_dir / "plots" / "speedup_count_if.svg", build_dir / "summary.md.tmp"]
        record = out / results_folder.RECORD
        if legacy:  # a folder written before runs kept a record of their files
            record.unlink()
        else:
            files = json.loads(record.read_text())["files"]
            record.write_text(json.dumps({"files": files + [str(p.relative_to(out))
                                                            for p in ours]}))
        for name, text in mine.items():
            (out / name).parent.mkdir(parents=True, exist_ok=True)
            (out / name).write_text(text)
        for path in ours:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text("from an earlier run\n")
        status, _, err = self.run_into(out, "--force", command=command)
        self.assertEqual(status, 0, err)
        for name, text in mine.items():
            self.assertEqual((out / name).read_text(), text, name)
        for path in ours:
            self.assertFalse(path.exists(), path)
        # Whatever the second run wrote is exactly what the first one did.
        rewritten = {p.relative_to(out) for p in out.rglob("*")} - {
            pathlib.Path(p) for p in mine} - {pathlib.Path(p).parent for p in mine}
        self.assertEqual(rewritten, written)
        self.assertEqual(set(json.loads(record.read_text())["files"]),
                         {str(p) for p in written if (out / p).is_file()} - {record.name})

    def test_force_replaces_a_run_and_keeps_other_files(self):
        for legacy in (False, True):
            with self.subTest(legacy=legacy):
                self.forced_rerun("run", legacy)
                shutil.rmtree(self.root / "out")

    def test_force_replaces_an_ab_run(self):
        self.forced_rerun("ab")

    def test_a_folder_in_use_is_refused_and_a_killed_run_reads_as_cut_short(self):
        out = self.root / "out"
        env = dict(os.environ, STANDIN_FAULT="find_if:hang", ALGOBENCH_STORE=str(self.root / "s"))
        first = subprocess.Popen([*SUITE, "run", "--bin-dir", str(self.bin_dir), "--out", str(out),
                                  *SMALL, "--timeout", "600"], env=env, start_new_session=True,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while results_folder.holder(out) is None or not (out / "results.json").exists():
                self.assertLess(time.monotonic(), deadline, "the first run never started")
                time.sleep(0.05)
            for force in ((), ("--force",)):
                status, _, err = self.run_into(out, *force)
                self.assert_refused(status, err, f"{out} is in use by another run (process "
                                                 f"{first.pid})")
            completed = suite("report", out)
            self.assert_refused(completed.returncode, completed.stderr, "in use by a run")
        finally:
            os.killpg(first.pid, signal.SIGKILL)
            first.wait()
        # What the killed run left says it was cut short, to report and to import alike.
        completed = suite("report", out)
        self.assertEqual(completed.returncode, 0, completed.stderr)
        results = load(out)
        self.assertTrue(results["interrupted"])
        self.assertNotIn("ok", {cell["status"] for cell in results["cells"]})
        store = self.root / "store.sqlite"
        self.assertEqual(suite("import", out, "--store", store).returncode, 0)
        self.assertIn("interrupted", suite("history", "--store", store).stdout)

    def test_a_full_disk_under_force_keeps_the_earlier_run(self):
        disk = self.root / "disk"
        disk.mkdir()
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(disk)],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("a small tmpfs cannot be mounted here (needs root)")
        self.addCleanup(subprocess.run, ["umount", "-l", str(disk)])
        out = disk / "out"
        self.assertEqual(self.run_into(out)[0], 0)
        (out / "notes.txt").write_text("mine\n")
        before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
        with open(disk / "filler", "wb") as filler:
            try:
                while True:
                    filler.write(b"\0" * 65536)
                    filler.flush()
            except OSError:
                pass
        status, _, err = self.run_into(out, "--force")
        self.assertEqual(status, 2, err)
        self.assertIn("No space left on device", err.splitlines()[-1])
        self.assertIn(f"{out}/", err.splitlines()[-1])  # the file it could not write
        self.assertEqual({p: p.read_bytes() for p in out.rglob("*") if p.is_file()}, before)

    def test_default_folders_of_the_same_second_do_not_collide(self):
        clock = mock.Mock()
        clock.datetime.now.return_value.strftime.return_value = "20240501-100000"
        with mock.patch.object(results_folder, "datetime", clock):
            first = results_folder.default_out_dir(self.root)
            first.mkdir(parents=True)
            self.assertEqual(results_folder.default_out_dir(self.root).name, "20240501-100000-2")
            self.assertEqual(results_folder.default_out_dir(self.root, "ab-").name, "ab-20240501-100000")


class OptionsTest(Refusals):
    """Values the programs would misread, figures that are no numbers, missing programs:
    each refused in one line before any program runs or any folder is made."""

    def setUp(self):
        super().setUp()
        self.partial = self.root / "partial"  # lacks find_if; its count_if cannot run
        shutil.copytree(self.bin_dir, self.partial, symlinks=True)
        (self.partial / "bench_find_if").unlink()
        (self.partial / "bench_count_if").unlink()
        (self.partial / "bench_count_if").write_text("not a program\n")

    def attempt(self, *argv, command="run"):
        with mock.patch.dict(os.environ, {"STANDIN_LOG": str(self.log)}):
            head = (["ab", str(self.bin_dir), str(self.bin_dir)] if command == "ab"
                    else ["run", "--bin-dir", str(self.bin_dir)])
            return run_suite([*head, "--out", str(self.root / "out"), *TINY, *argv])

    def tearDown(self):
        self.assertFalse(self.log.exists(), "a program ran")
        self.assertFalse((self.root / "out").exists(), "a results folder was made")

    def test_refusals(self):
        limited = [w.name for w in WORKLOADS.values() if w.max_threads is not None]
        limit = min(w.max_threads for w in WORKLOADS.values() if w.max_threads is not None)
        cases = [(["--programs", "count_if", f"--sizes={sizes}"], ["--sizes", named])
                 for sizes, named in (("1e400", "1e400"), ("-1e400", "-1e400"),
                                      ("3e9", "3000000000"), ("4294977296", "4294977296"),
                                      ("100,2147483648", "2147483648"))]
        cases.append((["--sizes", "100", "--threads", f"1,{limit + 1}"],
                      ["--threads", str(limit + 1), *limited]))
        # Empty lists are errors, not "all".
        cases += [([option, value], [option]) for option in ("--programs", "--sizes", "--threads")
                  for value in ("", ",", " ")]
        cases += [([option, value], [option, value])
                  for option in ("--min-time", "--timeout", "--cv-threshold", "--margin")
                  for value in ("inf", "nan", "Infinity")]
        cases += [(["--timeout", "1e300"], ["--timeout", "at most"]),
                  (["--bin-dir", str(self.root / "missing")], ["--bin-dir", "does not exist"]),
                  (["--bin-dir", str(self.partial), "--sizes", "100"],
                   [f"--bin-dir {self.partial} lacks bench_count_if, bench_find_if ("]),
                  (["--sizes", "-1e4"], ["suite run: sizes must be"]),
                  (["--threads", "-1"], ["suite run: thread counts must be"]),
                  (["--filter", "("], ["suite run: --filter '(': not a regular expression"]),
                  (["--samples", "1000000000"], ["would take about", "days", "--long"]),
                  (["--sizes", "1e4,1e7", "--threads", "1,2", "--budget", "0.2"],
                   ["suite run: --budget 0.2: even the ends of this sweep (sizes 10000, "
                    "10000000; thread counts 1, 2:", "give a larger budget"]),
                  (["--budget", "0"], ["argument --budget: must be more than 0"]),
                  (["--retries", "11"], ["argument --retries: must be 0 to 10, got 11"]),
                  (["--margin", "0.1"], ["argument --margin: must be a percentage from 0.5 to "
                                         "100, got 0.1"]),
                  (["--backends", "all,sequential"], ["--backends all,sequential: all stands "
                                                      "alone"])]
        # In the suite's words, never int()'s or float()'s.
        cases += [([option, value], [f"argument {option}: {shown!r} is not a {what}"])
                  for option, value, shown, what in (
                      ("--threads", "x", "x", "whole number"), ("--sizes", "1,nan", "nan",
                                                                "whole number"),
                      ("--sizes", "1e4:x:2", "x", "whole number"),
                      ("--samples", "1.5", "1.5", "whole number"),
                      ("--min-time", "x", "x", "number"))]
        # An item named twice would make two cells of one name: a run nothing could read.
        cases += [([option, value], [f"suite run: --{option[2:]} names {item} twice"])
                  for option, value, item in (("--sizes", "1e4,10000", 10000),
                                              ("--threads", "1,2,1", 1),
                                              ("--programs", "count_if,count_if", "count_if"),
                                              ("--backends", "parallel-mode,parallel-mode",
                                               "parallel-mode"))]
        cases += [([option, ""], [f"argument {option}: an empty path"])
                  for option in ("--out", "--bin-dir", "--store")]
        for argv, named in cases:
            with self.subTest(argv):
                status, _, err = self.attempt(*argv)
                self.assert_refused(status, err, *named)
        for value in ("inf", "nan", "-1"):
            status, _, err = self.attempt("--fail-above", value, command="ab")
            self.assert_refused(status, err, "suite ab: argument --fail-above", value)
        status, _, err = self.attempt("--fail-above", "5", "--junit",
                                      str(self.root / "none" / "gate.xml"), command="ab")
        self.assert_refused(status, err, "suite ab: --junit", "none does not exist")
        status, _, err = self.attempt("--quick", command="ab")
        self.assert_refused(status, err, "unrecognized arguments: --quick (see suite ab --help)")
        # A user's own OpenMP placement is never mixed with --pin's; --numa needs numactl.
        for argv, env, named in (
                (["--pin"], {"OMP_PLACES": "cores"}, ["--pin places", "OMP_PLACES is set"]),
                (["--pin", "spread"], {"GOMP_CPU_AFFINITY": "0", "OMP_PROC_BIND": "true"},
                 ["OMP_PROC_BIND, GOMP_CPU_AFFINITY are set"]),
                (["--numa", "interleave"], {"PATH": str(self.root)}, ["numactl", "not installed"]),
                (["--pin=wide"], {}, ["argument --pin: invalid choice: 'wide'"])):
            with self.subTest(argv), mock.patch.dict(os.environ, env):
                status, _, err = self.attempt(*argv, command="ab")
                self.assert_refused(status, err, *named)
        # A folder of programs lacking one is refused for that one only, by name.
        status, _, err = run_suite(["ab", str(self.partial), str(self.bin_dir), "--programs",
                                    "find_if,nth_element", "--out", str(self.root / "out")])
        self.assert_refused(status, err, f"suite ab: {self.partial} lacks bench_find_if (")
        self.assertNotIn("count_if", err)
        compare_cases = [([option, value], [f"argument {option}"])
                         for option in ("--fail-above", "--noise-floor", "--margin")
                         for value in ("nan", "inf", "-1", "x")]
        compare_cases += [(["--resamples", "10"], ["--resamples", "100"]),
                          (["--resamples", "100000000"], ["--resamples", "100 to 100000"]),
                          (["--out", str(self.root)], [f"--out {self.root}"])]
        for argv, named in compare_cases:
            with self.subTest(argv):
                status, out, err = run_suite(["compare", str(RUN_A), str(RUN_B), *argv])
                self.assert_refused(status, err, "suite compare:", *named)
                self.assertEqual(out, "")
        for option in ("--cells", "--out"):  # a folder is rewritten whole: refused, not ignored
            status, out, err = run_suite(["report", str(self.root / "out"), option, "x"])
            self.assert_refused(status, err, f"suite report: {option} goes with --html --store")

    def test_the_limits_themselves_are_accepted(self):
        limited = [w.name for w in WORKLOADS.values() if w.max_threads is not None]
        limit = min(w.max_threads for w in WORKLOADS.values() if w.max_threads is not None)
        echoing = [w.name for w in WORKLOADS.values() if w.parallel and w.max_threads is None]
        status, out, err = self.attempt("--programs", "count_if", "--sizes", "2147483647",
                                        "--threads", "1", "--dry-run")
        self.assertEqual(status, 0, err)
        self.assertIn("bench_count_if 2147483647 1 1", out)
        # A program that only echoes its count is not held to the parallel mode's limit,
        # and a bin-dir only needs the programs the matrix runs.
        # (The C++17 variants of a program have their own bound: the parallel mode's.)
        for argv in (["--programs", limited[0], "--threads", str(limit)],
                     ["--programs", ",".join(echoing), "--threads", str(limit + 1),
                      "--backends", "parallel-mode"],
                     ["--programs", "nth_element", "--bin-dir", str(self.partial)],
                     ["--samples", "1000000000", "--long"]):
            with self.subTest(argv):
                status, _, err = self.attempt("--sizes", "100", "--dry-run", *argv)
                self.assertEqual(status, 0, err)


class BuildFailureTest(Refusals):
    """A CMake step that fails is one line naming it and its status, exit status 1."""

    def failing(self, *argv, returncode=2, error=None, configured=True):
        with tempfile.TemporaryDirectory() as tmp, \
                mock.patch.object(build, "run_group",
                                  side_effect=error, return_value=returncode) as run, \
                mock.patch.object(build.packages, "missing", return_value=[]), \
                mock.patch.object(build, "build_dir", return_value=pathlib.Path(tmp) / "tree"):
            if configured:
                (pathlib.Path(tmp) / "tree").mkdir()
                (pathlib.Path(tmp) / "tree" / "CMakeCache.txt").write_text("")
            status, _, err = run_suite([*argv, *(["--out", str(pathlib.Path(tmp) / "out")]
                                                 if argv[0] == "run" else [])])
            self.assertFalse((pathlib.Path(tmp) / "out").exists())
        return status, err, [call.args[0] for call in run.call_args_list]

    def test_build_failure_of_run_and_test(self):
        for argv in (["run", "--programs", "count_if"], ["test"]):
            with self.subTest(argv[0]):
                status, err, commands = self.failing(*argv)
                self.assert_refused(status, err, f"suite {argv[0]}: building failed",
                                    "cmake --build --preset release", "status 2", code=1)
                self.assertEqual(len(commands), 1)  # ctest never ran

    def test_configure_failure_and_missing_cmake(self):
        status, err, _ = self.failing("test", "--preset", "asan", configured=False)
        self.assert_refused(status, err, "configuring failed", "cmake --preset asan", code=1)
        status, err, _ = self.failing("run", error=FileNotFoundError(2, "No such file"))
        self.assert_refused(status, err, "cannot run cmake", code=1)

    def test_an_interrupted_build_stops_its_whole_process_group(self):
        # A step whose own child (a compiler) would outlive it unless its group is stopped.
        pid_file = self.root / "compiler.pid"
        step = ("import subprocess, sys, time; c = subprocess.Popen([sys.executable, '-c', "
                f"'import time; time.sleep(60)']); open({str(pid_file)!r}, 'w').write(str(c.pid)); "
                "time.sleep(60)")

        def interrupt(signum, frame):
            raise KeyboardInterrupt
        self.addCleanup(signal.signal, signal.SIGALRM, signal.signal(signal.SIGALRM, interrupt))
        signal.setitimer(signal.ITIMER_REAL, 2.0)
        with self.assertRaises(KeyboardInterrupt):
            build.run_group([sys.executable, "-c", step])
        compiler = pathlib.Path(f"/proc/{pid_file.read_text()}/stat")
        deadline = time.monotonic() + 10
        with contextlib.suppress(FileNotFoundError):
            while compiler.read_text().split(") ")[-1][0] != "Z":  # gone, or a zombie
                self.assertLess(time.monotonic(), deadline, "the compiler outlived the build")
                time.sleep(0.05)

    def test_a_second_build_of_one_tree_waits_for_the_first(self):
        tree, steps = self.root / "tree", []
        tree.mkdir()
        with open(tree / build.LOCK_FILE, "a") as first, \
                mock.patch.object(build, "_step", lambda *step, **_: steps.append(step[0])), \
                mock.patch("sys.stderr", new_callable=io.StringIO) as err:
            fcntl.flock(first, fcntl.LOCK_EX)
            second = threading.Thread(target=build.build_tree, args=(tree, ("bench_count_if",)))
            second.start()
            deadline = time.monotonic() + 10
            while "waiting" not in err.getvalue() and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertEqual(steps, [])  # nothing configured or built while the first holds it
            fcntl.flock(first, fcntl.LOCK_UN)
            second.join(10)
        self.assertEqual(steps, ["building", "building"])
        self.assertEqual(err.getvalue(), f"note: another suite is building {tree.resolve()}; "
                                         "waiting for it to finish\n")

    def test_an_unknown_preset_through_the_real_entry_point(self):
        if shutil.which("cmake") is None:
            self.skipTest("no cmake")
        completed = suite("test", "--preset", "no-such-preset")
        self.assertEqual(completed.returncode, 1)
        self.assertNotIn("Traceback", completed.stderr)
        # CMake's own complaint stays above the one line of the suite.
        self.assertRegex(completed.stderr.splitlines()[-1],
                         r"^suite test: configuring failed: `cmake --preset no-such-preset` "
                         r"exited with status \d+$")


def _leaves(data, path=()):
    """Every (path, value) of a JSON document, objects and lists included."""
    yield path, data
    items = data.items() if isinstance(data, dict) else (
        enumerate(data) if isinstance(data, list) else ())
    for key, value in items:
        yield from _leaves(value, path + (key,))


def _replaced(data, path, value):
    data = copy.deepcopy(data)
    target = data
    for key in path[:-1]:
        target = target[key]
    target[path[-1]] = value
    return data


class HandEditedResultsTest(Refusals):
    """`report` and `compare` on results.json files edited by hand."""

    @classmethod
    def setUpClass(cls):
        with StandinSweep() as the_sweep:
            status, _, err = the_sweep.run("--programs", "count_if,nth_element", "--sizes", "100",
                                           "--threads", "1,2")
            assert status == 0, err
            cls.base = load(the_sweep.out)
        cls.base["bandwidth"] = {"1": {"sum": 1e9, "copy": 2e9, "triad": 3e9},
                                 "2": {"sum": 2e9, "copy": 4e9, "triad": 6e9}}

    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.folder = pathlib.Path(directory.name) / "run"
        self.folder.mkdir()
        self.file = self.folder / "results.json"
        self.reference = pathlib.Path(directory.name) / "reference"
        self.reference.mkdir()
        (self.reference / "results.json").write_text(json.dumps(self.base))

    def write(self, data) -> None:
        self.file.write_text(json.dumps(data))

    def assert_both_refuse(self, *named):
        status, _, err = run_suite(["report", str(self.folder), "--no-plots"])
        self.assert_refused(status, err, "suite report:", *named)
        status, _, err = run_suite(["compare", str(self.reference), str(self.folder),
                                    "--resamples", "100"])
        self.assert_refused(status, err, "suite compare:", *named)

    def test_named_faults(self):
        # Beside what every edit below covers: names that are paths, the edge of a C int.
        cell = ("cells", 0)
        named = f"cell 1 ({self.base['cells'][0]['name']}): "
        for path, value, *said in ((cell + ("n",), None), (cell, "count_if"),
                                   (cell + ("stats", "median"), "fast"),
                                   (cell + ("program",), "../../outside"), (cell + ("n",), 2**31),
                                   (cell + ("samples", 0), -1e-6),
                                   (cell + ("program",), "sort", named + "unknown program 'sort'"),
                                   (cell + ("status",), "done", named + "unknown status 'done'"),
                                   (("context", "margin"), -1, "context: margin is not a "
                                    "fraction above 0 and at most 1: -1"),
                                   (("cells", 1), self.base["cells"][0])):
            with self.subTest(path=path, value=value):
                self.write(_replaced(self.base, path, value))
                self.assert_both_refuse(str(self.file), *said)
        self.assertFalse((self.folder.parent / "outside").exists())
        # Both name the cell: a negative sample above, a duplicate here.
        self.assert_both_refuse(f"cell 2 ({self.base['cells'][0]['name']}): the same cell as "
                                "cell 1")

    def test_files_that_are_not_results(self):
        self.file.write_text("{not json")
        self.assert_both_refuse(str(self.file), "not JSON")
        self.file.write_bytes(b"\xff\xfe")
        self.assert_both_refuse(str(self.file))
        self.file.unlink()
        self.assert_both_refuse(str(self.file), "cannot read")
        self.file.mkdir()
        self.assert_both_refuse(str(self.file))
        status, _, err = run_suite(["report", str(self.folder / "missing")])
        self.assert_refused(status, err, str(self.folder / "missing"), "does not exist")
        (self.folder / "plain").write_text("")
        status, _, err = run_suite(["report", str(self.folder / "plain")])
        self.assert_refused(status, err, "is not a folder")

    def test_no_edit_of_any_field_escapes_as_a_traceback(self):
        # Every field, replaced by values of every JSON type: each file is either
        # redrawn and compared, or refused by both in one line naming it.
        values = [None, "text", [], {}, [1], {"k": "v"}, -1, 0, 2**63, 1.5, 1e308, True,
                  float("nan")]
        refused = 0
        for path, _ in _leaves(self.base):
            if not path or (path[0] == "cells" and len(path) > 1 and path[1] > 0):
                continue
            for value in values:
                with self.subTest(path=path, value=value):
                    self.write(_replaced(self.base, path, value))
                    status, _, err = run_suite(["report", str(self.folder), "--no-plots"])
                    self.assertIn(status, (0, 2), err)
                    if status == 2:
                        refused += 1
                        self.write(_replaced(self.base, path, value))
                        self.assert_both_refuse(str(self.file))
                        continue
                    status, _, err = run_suite(["compare", str(self.reference), str(self.folder),
                                                "--resamples", "100"])
                    self.assertIn(status, (0, 1), err)
        self.assertGreater(refused, 100)


class ListAndVersionTest(unittest.TestCase):
    def test_every_help_screen(self):
        commands = [[c] for c in ("run", "ab", "compare", "report", "history", "import", "list",
                                  "test", "fleet", "check-machine")]
        commands += [["fleet", c] for c in ("submit", "status", "collect", "compare", "task")]
        for command in [[], *commands]:
            with self.subTest(command):
                status, out, err = run_suite([*command, "--help"])
                self.assertEqual((status, err), (0, ""))
                self.assertIn(f"usage: suite {' '.join(command)}".strip(), out)

    def test_list_shows_each_program_from_the_table(self):
        status, out, _ = run_suite(["list"])
        self.assertEqual(status, 0)
        blocks = {block.split()[0]: block for block in out.strip().split("\n\n")}
        self.assertEqual(list(blocks), list(WORKLOADS))
        for name, workload in WORKLOADS.items():
            with self.subTest(name):
                block = blocks[name]
                self.assertIn(workload.executable, block)
                self.assertIn("n (default 10000), threads (default 1), repetitions (default 1)",
                              block)
                self.assertIn(workload.sample_meaning, block)
                if workload.fourth_name:
                    self.assertIn(f"{workload.fourth_name} (default ", block)
        self.assertIn("zero_position (default 10000;", blocks["find_if"])
        self.assertIn("k (default n*3/4;", blocks["nth_element"])
        self.assertIn("no parallel stable_partition", blocks["stable_partition"])
        self.assertIn("parallel mode: no", blocks["partial_sort"])
        self.assertIn("at most 65533 threads", blocks["count_if"])

    def copied_suite(self, root: pathlib.Path) -> pathlib.Path:
        shutil.copy2(ROOT / "suite", root / "suite")
        shutil.copytree(ROOT / "tools" / "algobench", root / "tools" / "algobench",
                        ignore=shutil.ignore_patterns("__pycache__"))
        return root / "suite"

    def test_version_names_the_commit_and_changes(self):
        if shutil.which("git") is None:
            self.skipTest("no git")
        with tempfile.TemporaryDirectory() as tmp:
            root = pathlib.Path(tmp)
            entry = self.copied_suite(root)
            version = lambda: subprocess.run([sys.executable, str(entry), "--version"],
                                             capture_output=True, text=True, timeout=60)
            outside = version()
            self.assertEqual((outside.returncode, outside.stdout),
                             (0, f"suite {__version__} (commit unknown)\n"))
            git = ["git", "-C", tmp, "-c", "user.name=t", "-c", "user.email=t@t",
                   "-c", "safe.directory=*"]
            subprocess.run(git + ["init", "-q"], check=True)
            subprocess.run(git + ["add", "."], check=True)
            subprocess.run(git + ["commit", "-qm", "x"], check=True)
            head = subprocess.run(git + ["rev-parse", "HEAD"], capture_output=True, text=True,
                                  check=True).stdout.strip()
            clean = version()
            if "unknown" in clean.stdout:
                self.skipTest("git does not read this folder (ownership)")
            self.assertEqual(clean.stdout, f"suite {__version__} (commit {head})\n")
            with open(entry, "a") as changed:
                changed.write("\n")
            self.assertEqual(version().stdout, f"suite {__version__} (commit {head}-dirty)\n")


class CompareJsonTest(unittest.TestCase):
    def test_json_holds_what_the_table_shows(self):
        status, text, _ = run_suite(["compare", str(RUN_A), str(RUN_B)])
        json_status, out, _ = run_suite(["compare", str(RUN_A), str(RUN_B), "--json"])
        self.assertEqual(json_status, status)
        data = json.loads(out)
        self.assertEqual(data["a"]["path"], str(RUN_A))
        cells = {c["cell"]: c for c in data["cells"]}
        doubled = cells["count_if/n:1000000/threads:2"]
        self.assertAlmostEqual(doubled["ratio"], 2.0)
        self.assertLessEqual(doubled["low"], 2.0)
        self.assertGreaterEqual(doubled["high"], 2.0)
        self.assertEqual(doubled["verdict"], "slower")
        self.assertAlmostEqual(doubled["change"], 1.0)
        for cell in data["cells"]:
            self.assertIn(cell["cell"], text)  # every row of the table, and no other
        self.assertEqual(len(data["cells"]), sum(data["verdicts"].values()))
        self.assertTrue(data["only_a"])
        for label in data["only_a"] + [c["cell"] for c in data["not_compared"]]:
            self.assertIn(label, text)
        self.assertIn("method", data["shift"])
        self.assertIsNone(data["gate"])

    def test_json_with_the_gate_and_not_with_markdown(self):
        status, out, err = run_suite(["compare", str(RUN_A), str(RUN_B), "--json",
                                      "--fail-above", "10"])
        data = json.loads(out)
        self.assertEqual(status, 1)
        self.assertFalse(data["gate"]["passed"])
        self.assertEqual(data["problems"], [line.removeprefix("suite compare: ")
                                            for line in err.splitlines()])
        status, out, err = run_suite(["compare", str(RUN_A), str(RUN_B), "--json", "--markdown"])
        self.assertEqual((status, out), (2, ""))

    def test_markdown_header_keeps_the_path_apart_from_the_details(self):
        _, out, _ = run_suite(["compare", str(RUN_A), str(RUN_B), "--markdown"])
        line = next(line for line in out.splitlines() if line.startswith("- A: "))
        self.assertRegex(line, rf"^- A: `{re.escape(str(RUN_A))}` \(\S+, \S+\)$")


class QuickTest(unittest.TestCase):
    def test_quick_matrix_and_what_overrides_it(self):
        with StandinSweep() as the_sweep:
            status, out, err = run_suite(["run", "--quick", "--dry-run", "--bin-dir",
                                          str(the_sweep.bin_dir), "--threads", "1,2"])
            self.assertEqual(status, 0, err)
            sizes = {line.split("/")[1] for line in out.splitlines() if "/n:" in line
                     and not line.startswith(" ")}
            self.assertEqual(sizes, {"n:100000"})
            self.assertIn("  samples:  2 x ", out)
            self.assertIn("enough for 0.01 s", out)
            self.assertEqual(err.count("quick run"), 1)
            self.assertIn("not for comparing", err)
            status, out, err = run_suite(["run", "--quick", "--dry-run", "--bin-dir",
                                          str(the_sweep.bin_dir), "--sizes", "1000",
                                          "--samples", "3", "--min-time", "0.2"])
            self.assertIn("n:1000/", out)
            self.assertNotIn("n:100000", out)
            self.assertIn("  samples:  3 x ", out)
            self.assertIn("enough for 0.2 s", out)
            self.assertIn("quick run (no bandwidth probe, no extra rounds)", err)

    def test_a_quick_run_measures_no_bandwidth_and_a_budget_only_the_cells_it_kept(self):
        # An estimate of a minute a size: --budget 2 keeps the smallest and largest.
        minutes = lambda cells, *_: 60 * len({c.n for c in cells})  # noqa: E731
        with StandinSweep() as the_sweep, \
                mock.patch("algobench.measure.bandwidth.measure", side_effect=AssertionError) as probe, \
                mock.patch("algobench.measure.estimate.seconds", side_effect=minutes):
            status, _, err = run_suite(["run", "--quick", "--bin-dir", str(the_sweep.bin_dir),
                                        "--out", str(the_sweep.out), "--no-plots",
                                        "--programs", "count_if,nth_element",
                                        "--threads", "1,2", "--sizes", "1000,2000,3000",
                                        "--budget", "2"])
            results = load(the_sweep.out)
        self.assertEqual(status, 0, err)
        probe.assert_not_called()
        self.assertEqual((results["context"]["samples"], results["context"]["min_time"]),
                         (2, 0.01))
        self.assertEqual({c["n"] for c in results["cells"]}, {1000, 3000})
        self.assertIn("note: --budget 2: left out sizes 2000 (estimated 2 min; the whole sweep "
                      "3 min)\n", err)
        self.assertIn("cells: warm-up and calibration, then 2 rounds (seed ", err)
        self.assertEqual(results["context"]["budget"]["left_out"], {"sizes": [2000],
                                                                    "threads": []})
        self.assertEqual({len(c["samples"]) for c in results["cells"]}, {2})


if __name__ == "__main__":
    unittest.main()
