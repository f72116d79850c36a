"""A fleet without a cluster: what it reads in Slurm's answers, how it tells a
task's end apart once Slurm has forgotten it, the time limits it asks for,
what its batch script records when a task ends or is signalled, and the
options it refuses before asking Slurm anything."""

import json
import os
import pathlib
import signal
import subprocess
import tempfile
import time
import unittest
from unittest import mock

from support import ROOT, load, run_suite, standin_bin

from algobench import fleet
from algobench.plan import matrix
from algobench.fleet import slurm
from algobench.plan.workload import BACKENDS

# `scontrol --oneliner show job 11` on a 22.05 cluster, shortened: an array of
# four with a throttle, task 0 running, tasks 1-2 pending, task 3 cancelled.
SCONTROL = """\
JobId=11 ArrayJobId=11 ArrayTaskId=1-2%2 ArrayTaskThrottle=2 JobName=job.sh JobState=PENDING Reason=Resources ExitCode=0:0 NodeList= SchedNodeList=vm Command=/f/job.sh WorkDir=/f
JobId=12 ArrayJobId=11 ArrayTaskId=0 ArrayTaskThrottle=2 JobName=job.sh JobState=RUNNING Reason=None ExitCode=0:0 NodeList=vm BatchHost=vm Command=/f/job.sh JobState=COMPLETED WorkDir=/f
JobId=15 ArrayJobId=14 ArrayTaskId=0 JobName=other JobState=TIMEOUT Reason=TimeLimit NodeList=vm
"""


class SlurmAnswersTest(unittest.TestCase):
    def test_the_records_of_one_array(self):
        records = slurm.parse_records(SCONTROL, "11")
        self.assertEqual([(r.job_id, r.tasks, r.state, r.nodes) for r in records],
                         [("11", [1, 2], "PENDING", ""), ("12", [0], "RUNNING", "vm")])
        self.assertEqual(records[0].reason, "Resources")

    def test_task_lists(self):
        self.assertEqual(slurm.task_ids("3"), [3])
        self.assertEqual(slurm.task_ids("0-2"), [0, 1, 2])
        self.assertEqual(slurm.task_ids("1,4-8:2%3"), [1, 4, 6, 8])
        for text in ("a-b", "1-", "1-2:x"):
            with self.subTest(text=text):
                self.assertRaises(ValueError, slurm.task_ids, text)


def record(state: str, reason: str = "None", nodes: str = "vm") -> slurm.JobRecord:
    return slurm.JobRecord("12", [0], state, reason, nodes)


TIME_LIMIT = "slurmstepd-vm: error: *** JOB 12 ON vm CANCELLED AT 2026-12-08T02:35:41 DUE TO TIME LIMIT ***\n"
CANCELLED = "slurmstepd-vm: error: *** JOB 12 ON vm CANCELLED AT 2026-12-08T02:34:13 ***\n"
PREEMPTED = "slurmstepd: error: *** JOB 12 ON vm CANCELLED AT 2026-12-08T02:34:13 DUE TO PREEMPTION ***\n"
STARTED = fleet.Trace(started=1.0, node="vm")
ENDED_0 = fleet.Trace(started=1.0, node="vm", ended=2.0, status=0)
ENDED_1 = fleet.Trace(started=1.0, node="vm", ended=2.0, status=1)
TERMED = fleet.Trace(started=1.0, node="vm", signals=["TERM"], ended=2.0, status=130)


class TaskStateTest(unittest.TestCase):
    def state(self, slurm_record, trace, log="", problem=None, job_known=False):
        task = fleet.Task(0, None, pathlib.Path("0.log"), pathlib.Path("0.state"))
        return fleet.task_status(task, slurm_record, trace, log, problem, job_known)

    def test_slurm_decides_while_it_knows_the_task(self):
        cases = [
            ("PENDING", fleet.Trace(), fleet.PENDING), ("RUNNING", STARTED, fleet.RUNNING),
            ("COMPLETING", ENDED_0, fleet.RUNNING), ("COMPLETED", ENDED_0, fleet.DONE),
            ("CANCELLED", TERMED, fleet.CANCELLED), ("TIMEOUT", TERMED, fleet.TIMED_OUT),
            ("FAILED", ENDED_1, fleet.FAILED), ("NODE_FAIL", STARTED, fleet.FAILED),
            ("OUT_OF_MEMORY", ENDED_1, fleet.FAILED),
            # Slurm's word beats a state file that says otherwise (the task may
            # still be ending, or be killed after it recorded its end).
            ("RUNNING", ENDED_0, fleet.RUNNING), ("TIMEOUT", ENDED_0, fleet.TIMED_OUT),
        ]
        for state, trace, expected in cases:
            with self.subTest(state=state, trace=trace):
                self.assertEqual(self.state(record(state), trace).state, expected)
        self.assertIn("Resources", self.state(record("PENDING", "Resources", ""),
                                              fleet.Trace()).detail)
        self.assertEqual(self.state(record("RUNNING"), fleet.Trace()).node, "vm")

    def test_the_task_files_decide_once_slurm_has_forgotten_it(self):
        cases = [
            (TERMED, TIME_LIMIT, fleet.TIMED_OUT), (TERMED, CANCELLED, fleet.CANCELLED),
            (STARTED, CANCELLED, fleet.CANCELLED),  # killed before it could record its end
            (TERMED, PREEMPTED, fleet.FAILED),
            (ENDED_0, "", fleet.DONE), (ENDED_1, "", fleet.FAILED),
            # A SIGTERM that was not Slurm ending the job: the exit status decides.
            (TERMED, "", fleet.FAILED),
            (STARTED, "", fleet.FAILED),  # started, never ended, forgotten: killed outright
            (fleet.Trace(), "", fleet.FAILED),
        ]
        for trace, log, expected in cases:
            with self.subTest(trace=trace, log=log):
                self.assertEqual(self.state(None, trace, "sweep output\n" + log).state, expected)
        self.assertIn("exit status 130 after SIGTERM",
                      self.state(None, TERMED, TIME_LIMIT).detail)

    def test_a_task_without_trace_while_its_array_is_known_was_cancelled_pending(self):
        self.assertEqual(self.state(None, fleet.Trace(), job_known=True).state, fleet.CANCELLED)

    def test_an_unreachable_controller_leaves_only_what_the_files_settle(self):
        problem = "cannot ask Slurm about job 12: Unable to contact slurm controller"
        self.assertEqual(self.state(None, STARTED, problem=problem).state, fleet.UNKNOWN)
        self.assertIn("Unable to contact", self.state(None, fleet.Trace(), problem=problem).detail)
        self.assertEqual(self.state(None, ENDED_0, problem=problem).state, fleet.DONE)
        self.assertEqual(self.state(None, TERMED, TIME_LIMIT, problem=problem).state,
                         fleet.TIMED_OUT)

    def test_the_state_file_is_read_from_its_last_start(self):
        with tempfile.TemporaryDirectory() as directory:
            path = pathlib.Path(directory) / "0.state"
            path.write_text("start 100 node=a job=5\nsignal 101 TERM\nend 102 status=130\n"
                            "start 200 node=b job=6\nsignal 201 TERM\nend 2")
            trace = fleet.read_trace(path)
        self.assertEqual((trace.node, trace.signals, trace.status), ("b", ["TERM"], None))
        self.assertEqual(fleet.read_trace(pathlib.Path("/nonexistent/0.state")), fleet.Trace())


class LogTailTest(unittest.TestCase):
    def test_what_went_wrong_is_shown_with_the_last_lines(self):
        lines = ([f"progress {i}" for i in range(40)] + ["FAILED count_if/n:1000/threads:1: boom"]
                 + [f"summary {i}" for i in range(40)] + [CANCELLED.strip()]
                 + [f"end {i}" for i in range(fleet.LOG_TAIL)])
        with tempfile.TemporaryDirectory() as directory:
            log = pathlib.Path(directory) / "0.log"
            log.write_text("\n".join(lines) + "\n")
            shown = fleet.log_tail(log)
            self.assertEqual(fleet.log_tail(log.with_name("missing.log")), [])
        self.assertEqual(shown, [lines[40], CANCELLED.strip(), "..."] + lines[-fleet.LOG_TAIL:])


class TimeLimitTest(unittest.TestCase):
    def test_slurm_time_formats_in_whole_minutes(self):
        accepted = {"30": 30, "0:05": 1, "45:30": 46, "2:00:00": 120, "1-12": 2160,
                    "1-0:30": 1470, "1-0:0:1": 1441}
        for text, minutes in accepted.items():
            with self.subTest(text=text):
                self.assertEqual(fleet.parse_time_limit(text), minutes)
        for text in ("", "0", "0:00", "abc", "1:2:3:4", "-5", "1-", "infinite", "1.5"):
            with self.subTest(text=text):
                self.assertRaises(ValueError, fleet.parse_time_limit, text)
        self.assertEqual(fleet.format_minutes(1470), "1-00:30:00")

    def test_the_default_sweep_gets_room_to_spare(self):
        # 180 cells: 5 min 45 s on a busy day of the two-core machine, extra
        # rounds included, and the limit leaves room for twice that at half the pace.
        cells = matrix.build(cpus=2, backends=list(BACKENDS))
        estimate = fleet.estimate_seconds(cells, 5, 0.05)
        self.assertGreater(estimate, 345)
        limit = fleet.time_limit_minutes(estimate, build_per_node=False)
        self.assertGreaterEqual(limit * 60, 2 * 2 * 345)
        self.assertGreater(fleet.time_limit_minutes(estimate, build_per_node=True), limit)
        # More of any kind of work never shortens the limit.
        bigger = matrix.build(sizes=[10**4, 10**5, 10**6, 10**7, 10**8], cpus=64)
        self.assertGreater(fleet.estimate_seconds(bigger, 20, 0.2), estimate)


class JobScriptTest(unittest.TestCase):
    """The batch script run by bash as Slurm would run a task, without Slurm."""

    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        root = pathlib.Path(directory.name)
        bin_dir = standin_bin(root)
        self.folder = root / "fleet"
        (self.folder / fleet.LOGS).mkdir(parents=True)
        request = fleet.Request(
            folder=self.folder, run_options=["--programs", "count_if", "--sizes", "1000",
                                             "--threads", "1", "--samples", "2",
                                             "--min-time", "0.001", "--timeout", "300",
                                             "--no-bandwidth", "--no-plots"],
            tasks=1, nodelist=None, partition=None, time_minutes=10, time_given=None,
            estimate_seconds=60.0, cells=1, build="given", bin_dir=bin_dir, targets=(),
            suite=ROOT / "suite", command_line=[])
        (self.folder / fleet.MANIFEST).write_text(
            json.dumps(fleet.manifest_for(request, "12", bin_dir)))
        self.script = self.folder / fleet.JOB_SCRIPT
        self.script.write_text(fleet.job_script(self.folder, request.suite))
        self.task = fleet.Fleet.load(self.folder).task(0)

    def start(self, fault: str = "") -> subprocess.Popen:
        env = {**os.environ, "SLURM_ARRAY_TASK_ID": "0", "SLURMD_NODENAME": "n1",
               "SLURM_JOB_ID": "13", "STANDIN_FAULT": fault}
        return subprocess.Popen(["bash", str(self.script)], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, start_new_session=True)

    def test_a_task_records_where_it_ran_and_how_it_ended(self):
        for fault, status, state in (("", 0, fleet.DONE), ("count_if:exit_3", 1, fleet.FAILED)):
            with self.subTest(fault=fault):
                for path in self.folder.glob("0-n1/*"):
                    path.unlink()
                self.task.state_file.unlink(missing_ok=True)
                process = self.start(fault)
                output, _ = process.communicate(timeout=120)
                self.assertEqual(process.returncode, status, output)
                trace = fleet.read_trace(self.task.state_file)
                self.assertEqual((trace.node, trace.status, trace.signals), ("n1", status, []))
                self.assertEqual(fleet.task_status(self.task, None, trace, output).state, state)
                results = load(self.folder / "0-n1")
                self.assertFalse(results["interrupted"])

    def test_sigterm_to_the_task_keeps_what_the_sweep_measured(self):
        # Slurm signals every process of the task when it cancels it or its time is up.
        process = self.start("count_if:hang")
        results = self.folder / "0-n1" / "results.json"
        deadline = time.monotonic() + 60
        while not results.exists() and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertTrue(results.exists(), "the sweep never started")
        os.killpg(process.pid, signal.SIGTERM)
        output, _ = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 130, output)
        self.assertNotIn("Traceback", output)
        trace = fleet.read_trace(self.task.state_file)
        self.assertEqual((trace.signals, trace.status), (["TERM"], 130))
        self.assertTrue(json.loads(results.read_text())["interrupted"])


class SubmitRefusalsTest(unittest.TestCase):
    """What `fleet submit` refuses needs no cluster: no Slurm command may run."""

    def test_refused_in_one_line_before_slurm_is_asked(self):
        with tempfile.TemporaryDirectory() as directory:
            taken = pathlib.Path(directory) / "taken"
            taken.mkdir()
            (taken / "file").write_text("")
            cases = [
                (["--time", "soon"], "--time"), (["--time", "0"], "--time"),
                (["--fleet", str(taken)], "not empty"),
                (["--programs", "nosuch"], "nosuch"),
                (["--bin-dir", directory], "lacks"),
                (["--nodes", "0"], "--nodes"), (["--nodes", "2", "--nodelist", "a"], "--nodelist"),
                (["--out", directory], "--out"), (["--samples", "0"], "--samples"),
                (["--samples", "1000000000"], "--long"),
            ]
            with mock.patch.object(slurm, "_run", side_effect=AssertionError("Slurm asked")):
                for argv, named in cases:
                    with self.subTest(argv=argv):
                        status, _, err = run_suite(["fleet", "submit", *argv])
                        self.assertEqual(status, 2, err)
                        self.assertNotIn("Traceback", err)
                        self.assertEqual(len(err.strip().splitlines()), 1, err)
                        self.assertIn(named, err)

    def test_a_dry_run_without_slurm_still_shows_the_script(self):
        with mock.patch.object(slurm, "_run", side_effect=slurm.SlurmError("sinfo not found")):
            status, out, err = run_suite(["fleet", "submit", "--dry-run", "--nodelist", "n[08-10]",
                                          "--programs", "count_if", "--sizes", "100"])
        self.assertEqual(status, 0, err)
        self.assertIn("not checked", err)
        self.assertIn("tasks: 3 (n08, n09, n10)", out)
        self.assertIn("--array=0-2", out)
        self.assertIn("#!/bin/bash", out)

    def test_a_folder_that_is_not_a_fleet(self):
        with tempfile.TemporaryDirectory() as directory:
            broken = pathlib.Path(directory)
            (broken / fleet.MANIFEST).write_text("{not json")
            for command in ("status", "collect", "compare"):
                with self.subTest(command=command):
                    status, _, err = run_suite(["fleet", command, "--fleet", directory])
                    self.assertEqual(status, 2, err)
                    self.assertIn("is not JSON", err)


if __name__ == "__main__":
    unittest.main()
