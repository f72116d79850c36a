"""Sweeps across a cluster: one sweep per node, as the tasks of one Slurm job array.

A fleet is a folder (results/fleet-<date-time>/ by default) on a filesystem
the nodes share with the machine it is submitted from:

    manifest.json     what was submitted: job id, tasks, options, build, time limit
    job.sh            the batch script every task runs
    build/            the programs, built once at submit time (unless per node)
    builds/<t>-<node> a task's own build, with --build-per-node
    logs/<t>.log      a task's Slurm log (its standard output and error)
    logs/<t>.state    what the task recorded itself: start, signals, end
    <t>-<node>/       task t's results folder, as `suite run` writes it

Slurm does the scheduling: every task holds its node exclusively (--exclusive,
all its CPUs and memory) and runs `suite fleet task`, which runs the sweep
with the fleet's run options. Nothing is shared between the tasks but the
programs they read, and no task writes a database: `collect` imports the
finished folders into the results store afterwards, on the machine it runs on.

How a task's state is known (`task_status`): while Slurm still knows the task,
its JobState from `scontrol show job` decides. Without accounting storage
Slurm forgets a job MinJobAge seconds after it ended, so after that the task's
own files decide: Slurm's "*** JOB ... CANCELLED AT ... DUE TO TIME LIMIT ***"
line in the log means timed out, the same line without a cause means
cancelled (with another cause, failed); otherwise the exit status in the
state file: 0 done, anything else failed. A task that left no trace was
cancelled while pending when Slurm still knows the rest of its array (such a
task is dropped without a record), and failed to start as far as anyone can
tell once Slurm has forgotten the whole job.
"""

from __future__ import annotations

import dataclasses
import datetime
import json
import math
import pathlib
import re
import shlex
import shutil
import sys
import time
from typing import Callable

from . import model, slurm
from .derive import load_derived
from .files import dump_json, replace_file
from .matrix import Cell
from .store import Store, StoreError

MANIFEST = "manifest.json"
JOB_SCRIPT = "job.sh"
LOGS = "logs"
BUILD = "build"
BUILDS = "builds"
MANIFEST_FORMAT = 1

# A task's states, as `status` and `collect` name them.
PENDING, RUNNING, DONE, FAILED = "pending", "running", "done", "failed"
CANCELLED, TIMED_OUT, UNKNOWN = "cancelled", "timed out", "unknown"
# States a task may still leave.
UNFINISHED = (PENDING, RUNNING, UNKNOWN)

# The time limit a fleet asks for when --time is not given: the sweep's own
# estimate, three times over, at least ten minutes, plus the build of each
# node with --build-per-node. The estimate: a minute for starting, the
# machine's context, the bandwidth probe and the plots, and for each cell
# (its samples + a warm-up and two calibration probes) processes of 50 ms to
# start, a loop of two --min-time, and 50 ns per element for allocating,
# initialising and one call. On the two-core development machine it is about
# 2.5 times what the default sweep takes (45 s).
FIXED_SECONDS = 60.0
PROCESS_SECONDS = 0.05
LOOP_MIN_TIMES = 2.0
SECONDS_PER_ELEMENT = 50e-9
CALIBRATION_PROCESSES = 3
SAFETY = 3.0
MIN_MINUTES = 10
BUILD_MINUTES = 15
TIME_RULE = (f"{SAFETY:g} x the sweep's estimate, at least {MIN_MINUTES} minutes, plus "
             f"{BUILD_MINUTES} minutes with --build-per-node")

# What is shown of the log of a task that did not finish well: its last lines,
# and before them the earlier lines that say what went wrong (a failed cell,
# an error, Slurm's own line when it ended the job).
LOG_TAIL = 12
LOG_TELLING = 8
_TELLING = re.compile(r"\*\*\* JOB |^FAILED |\berror\b|Traceback", re.IGNORECASE)


class FleetError(Exception):
    """A fleet folder or request that cannot be used, said in one line."""


# -- the time limit


def estimate_seconds(cells: list[Cell], samples: int, min_time: float) -> float:
    """How long one sweep of these cells should take on one node (see TIME_RULE)."""
    per_process = PROCESS_SECONDS + LOOP_MIN_TIMES * min_time
    return FIXED_SECONDS + sum(
        (samples + CALIBRATION_PROCESSES) * (per_process + SECONDS_PER_ELEMENT * cell.n)
        for cell in cells)


def time_limit_minutes(estimate: float, build_per_node: bool) -> int:
    minutes = max(MIN_MINUTES, math.ceil(SAFETY * estimate / 60))
    return minutes + (BUILD_MINUTES if build_per_node else 0)


def parse_time_limit(text: str) -> int:
    """A Slurm time limit ("30", "45:00", "2:00:00", "1-12", "1-0:30", "1-0:30:00")
    in whole minutes, seconds rounded up as Slurm does; ValueError otherwise."""
    days, _, rest = text.strip().partition("-") if "-" in text else ("0", "", text.strip())
    parts = rest.split(":")
    if not days.isdigit() or not all(p.isdigit() for p in parts) or not 1 <= len(parts) <= 3:
        raise ValueError(f"not a time limit: {text!r} (minutes, MM:SS, HH:MM:SS, D-HH, "
                         "D-HH:MM or D-HH:MM:SS)")
    numbers = [int(p) for p in parts]
    if "-" in text:  # D-H, D-H:M, D-H:M:S
        hours, minutes, seconds = (numbers + [0, 0])[:3]
    elif len(numbers) == 3:
        hours, minutes, seconds = numbers
    else:  # M or M:S
        hours, (minutes, seconds) = 0, (numbers + [0])[:2]
    total = ((int(days) * 24 + hours) * 60 + minutes) * 60 + seconds
    if total <= 0:
        raise ValueError(f"a time limit must be more than 0, got {text!r}")
    return math.ceil(total / 60)


def format_minutes(minutes: int) -> str:
    """Minutes as Slurm's D-HH:MM:SS (HH:MM:SS under a day)."""
    days, rest = divmod(minutes, 24 * 60)
    text = f"{rest // 60:02d}:{rest % 60:02d}:00"
    return f"{days}-{text}" if days else text


# -- the fleet folder


@dataclasses.dataclass
class Task:
    """One task of the array: its number, its node once known, its files."""

    index: int
    node: str | None  # placed there with --nodelist; else known when it starts
    log: pathlib.Path
    state_file: pathlib.Path

    def folder_name(self, node: str) -> str:
        return f"{self.index}-{node}"


class Fleet:
    """A fleet folder and its manifest."""

    def __init__(self, folder: pathlib.Path, manifest: dict) -> None:
        self.folder = pathlib.Path(folder)
        self.manifest = manifest

    @classmethod
    def load(cls, folder: pathlib.Path) -> "Fleet":
        folder = pathlib.Path(folder)
        path = folder / MANIFEST
        if not folder.is_dir():
            raise FleetError(f"{folder} is not a fleet folder: "
                             f"{'not a folder' if folder.exists() else 'no such folder'}")
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            raise FleetError(f"{folder} is not a fleet folder: it has no {MANIFEST}") from None
        except OSError as error:
            raise FleetError(f"cannot read {path}: {error.strerror or error}") from None
        except (json.JSONDecodeError, UnicodeDecodeError) as error:
            raise FleetError(f"{path} is not JSON: {error}") from None
        problem = _manifest_problem(data)
        if problem:
            raise FleetError(f"{path}: {problem}")
        return cls(folder, data)

    @property
    def job_id(self) -> str:
        return self.manifest["job_id"]

    @property
    def run_options(self) -> list[str]:
        return list(self.manifest["run_options"])

    @property
    def tasks(self) -> list[Task]:
        return [Task(item["task"], item.get("node"), self.folder / item["log"],
                     self.folder / item["state"]) for item in self.manifest["tasks"]]

    def task(self, index: int) -> Task:
        for task in self.tasks:
            if task.index == index:
                return task
        raise FleetError(f"{self.folder} has no task {index} (tasks 0 to "
                         f"{len(self.manifest['tasks']) - 1})")


def _manifest_problem(data) -> str | None:
    if not isinstance(data, dict) or data.get("format") != MANIFEST_FORMAT:
        return f"not a fleet manifest of format {MANIFEST_FORMAT}"
    if not isinstance(data.get("job_id"), str) or not data["job_id"].isdigit():
        return "its job_id is not a Slurm job id"
    if not isinstance(data.get("run_options"), list) \
            or not all(isinstance(o, str) for o in data["run_options"]):
        return "its run_options are not a list of strings"
    tasks = data.get("tasks")
    if not isinstance(tasks, list) or not tasks:
        return "it lists no tasks"
    for item in tasks:
        if not isinstance(item, dict) or not isinstance(item.get("task"), int) \
                or isinstance(item.get("task"), bool) \
                or not all(isinstance(item.get(k), str) for k in ("log", "state")) \
                or not isinstance(item.get("node"), (str, type(None))):
            return f"task entry {item!r} lacks its number, log or state file"
    if data.get("build") not in ("shared", "per-node", "given"):
        return "its build is none of shared, per-node, given"
    return None


def latest(results: pathlib.Path) -> pathlib.Path:
    """The fleet folder under `results` submitted last."""
    found = []
    for manifest in pathlib.Path(results).glob(f"fleet-*/{MANIFEST}"):
        try:
            created = str(json.loads(manifest.read_text(encoding="utf-8")).get("created", ""))
        except (OSError, ValueError, AttributeError):
            continue
        found.append((created, manifest.parent.name, manifest.parent))
    if not found:
        raise FleetError(f"no fleet folder (fleet-*/{MANIFEST}) under {results}; "
                         "name one with --fleet DIR")
    return max(found)[2]


# -- submitting


@dataclasses.dataclass
class Request:
    """What `fleet submit` was asked for, checked and complete."""

    folder: pathlib.Path
    run_options: list[str]
    tasks: int
    nodelist: list[str] | None  # one task per node, in this order
    partition: str | None
    time_minutes: int
    time_given: str | None  # --time as given, or None when estimated
    estimate_seconds: float
    cells: int
    build: str  # "shared", "per-node" or "given"
    bin_dir: pathlib.Path | None  # with "given"
    targets: tuple[str, ...]  # what a build makes
    suite: pathlib.Path
    command_line: list[str]

    def tasks_entries(self) -> list[dict]:
        entries = []
        for index in range(self.tasks):
            node = self.nodelist[index] if self.nodelist else None
            entries.append({"task": index, "node": node,
                            "folder": f"{index}-{node}" if node else f"{index}-<node>",
                            "log": f"{LOGS}/{index}.log", "state": f"{LOGS}/{index}.state"})
        return entries

    def sbatch_options(self) -> list[str]:
        folder = self.folder.resolve()
        options = [f"--array=0-{self.tasks - 1}", "--nodes=1", "--ntasks=1", "--exclusive",
                   "--mem=0", "--no-requeue", f"--time={self.time_given or self.time_minutes}",
                   f"--job-name=algobench-{folder.name}",
                   f"--output={folder / LOGS}/%a.log", f"--chdir={folder}"]
        if self.partition:
            options.append(f"--partition={self.partition}")
        if self.nodelist:
            options.append("--hold")  # released once every task is placed on its node
        return options


def job_script(folder: pathlib.Path, suite: pathlib.Path) -> str:
    """The batch script of every task. It records in logs/<task>.state when it
    started and on which node, each SIGTERM or SIGINT it receives (Slurm sends
    SIGTERM when the job is cancelled or reaches its time limit, SIGKILL
    KillWait seconds later) and the sweep's exit status, which it exits with."""
    python = shlex.quote(sys.executable or "python3")
    return f"""#!/bin/bash
# One task of a fleet: `suite fleet task` runs the sweep on the node Slurm
# gave this task. Written by `suite fleet submit`.
fleet={shlex.quote(str(folder))}
task=${{SLURM_ARRAY_TASK_ID:?not started as a task of a Slurm job array}}
node=${{SLURMD_NODENAME:-$(hostname -s)}}
state="$fleet/{LOGS}/$task.state"
record() {{ printf '%s %s %s\\n' "$1" "$(date +%s)" "$2" >> "$state"; }}
trap 'record signal TERM' TERM
trap 'record signal INT' INT
record start "node=$node job=${{SLURM_JOB_ID:-}}"
python={python}
[ -x "$python" ] || python=python3
"$python" {shlex.quote(str(suite))} fleet task --fleet "$fleet" --task "$task" --node "$node" &
child=$!
# A trapped signal ends `wait` early; wait again until the sweep has written its files.
while :; do
  wait "$child"; status=$?
  kill -0 "$child" 2>/dev/null || break
done
if wait "$child" 2>/dev/null; then status=0; else again=$?; [ "$again" -ne 127 ] && status=$again; fi
record end "status=$status"
exit "$status"
"""


def manifest_for(request: Request, job_id: str | None, bin_dir: pathlib.Path | None) -> dict:
    return {
        "format": MANIFEST_FORMAT,
        "created": datetime.datetime.now(datetime.timezone.utc).isoformat(),
        "job_id": job_id,
        "array_size": request.tasks,
        "tasks": request.tasks_entries(),
        "partition": request.partition,
        "nodelist": request.nodelist,
        "time_limit_minutes": request.time_minutes,
        "time_limit": request.time_given or format_minutes(request.time_minutes),
        "time_limit_rule": "given with --time" if request.time_given else TIME_RULE,
        "estimate_seconds": round(request.estimate_seconds, 1),
        "cells": request.cells,
        "build": request.build,
        "bin_dir": str(bin_dir) if bin_dir is not None else None,
        "build_targets": list(request.targets),
        "run_options": list(request.run_options),
        "suite": str(request.suite),
        "python": sys.executable,
        "command_line": list(request.command_line),
        "sbatch": ["sbatch", *request.sbatch_options(), str(request.folder.resolve() / JOB_SCRIPT)],
    }


def submit(request: Request, build_programs: Callable[[pathlib.Path], pathlib.Path],
           say: Callable[[str], None] = lambda text: None) -> Fleet:
    """Makes the fleet folder, builds the programs once when they are shared,
    writes the batch script and submits the array; then the manifest. Raises
    FleetError or slurm.SlurmError (and what build_programs raises); then what
    this call made in the folder is removed again."""
    folder = request.folder
    made_folder = not folder.exists()
    try:
        (folder / LOGS).mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise FleetError(f"cannot make the fleet folder {folder}: "
                         f"{error.strerror or error}") from None
    submitted = None
    try:
        bin_dir = request.bin_dir
        if request.build == "shared":
            say(f"building the programs once into {folder / BUILD}")
            bin_dir = build_programs((folder / BUILD).resolve())
        script = folder / JOB_SCRIPT
        script.write_text(job_script(folder.resolve(), request.suite), encoding="utf-8")
        script.chmod(0o755)
        submitted = slurm.submit(str(script.resolve()), request.sbatch_options())
        if request.nodelist:
            for index, node in enumerate(request.nodelist):
                slurm.place_task(submitted, index, node)
            slurm.release(submitted)
        replace_file(folder / MANIFEST, dump_json(manifest_for(request, submitted, bin_dir)))
    except BaseException:
        if submitted is not None:
            try:
                slurm.cancel(submitted)
            except slurm.SlurmError:
                pass
        _undo(folder, made_folder)
        raise
    return Fleet.load(folder)


def _undo(folder: pathlib.Path, made_folder: bool) -> None:
    """Removes what a failed submission made in the fleet folder."""
    for name in (MANIFEST, JOB_SCRIPT):
        (folder / name).unlink(missing_ok=True)
    for name in (BUILD, LOGS):
        shutil.rmtree(folder / name, ignore_errors=True)
    if made_folder:
        try:
            folder.rmdir()
        except OSError:
            pass


# -- what a task left behind


@dataclasses.dataclass
class Trace:
    """A task's state file: its last start, the signals after it and its end."""

    started: float | None = None
    node: str | None = None
    signals: list[str] = dataclasses.field(default_factory=list)
    ended: float | None = None
    status: int | None = None


def read_trace(path: pathlib.Path) -> Trace:
    try:
        text = pathlib.Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError:
        return Trace()
    trace = Trace()
    for line in text.splitlines():
        parts = line.split()
        if len(parts) < 2 or not parts[1].isdigit():
            continue  # a line cut short
        event, when, rest = parts[0], float(parts[1]), parts[2:]
        fields = dict(item.partition("=")[::2] for item in rest)
        if event == "start":
            trace = Trace(started=when, node=fields.get("node") or None)
        elif event == "signal" and rest:
            trace.signals.append(rest[0])
        elif event == "end" and fields.get("status", "").lstrip("-").isdigit():
            trace.ended, trace.status = when, int(fields["status"])
    return trace


# slurmstepd's line in a task's log when Slurm ends the job.
_SLURM_END = re.compile(r"\*\*\* JOB \d+ ON \S+ CANCELLED AT \S+(?: DUE TO ([A-Z][A-Z ]*?))?"
                        r"(?: \(.*?\))? \*\*\*")


def slurm_ending(log_text: str) -> tuple[str, str] | None:
    """(state, detail) from the line slurmstepd writes into the log when it
    ends a job: DUE TO TIME LIMIT is a timeout, no cause a cancellation, any
    other cause (preemption, node failure) a failure."""
    found = _SLURM_END.findall(log_text)
    if not found:
        return None
    cause = found[-1]
    if not cause:
        return CANCELLED, "cancelled (Slurm's line in the log)"
    if cause == "TIME LIMIT":
        return TIMED_OUT, "reached its time limit (Slurm's line in the log)"
    return FAILED, f"ended by Slurm due to {cause.lower()}"


def _read_text(path: pathlib.Path) -> str:
    try:
        return pathlib.Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError:
        return ""


def log_tail(path: pathlib.Path) -> list[str]:
    """The lines of a task's log worth showing: the telling ones, "...", the last ones."""
    lines = _read_text(path).splitlines()
    start = max(len(lines) - LOG_TAIL, 0)
    telling = [line for line in lines[:start] if _TELLING.search(line)][-LOG_TELLING:]
    return telling + (["..."] if telling else []) + lines[start:]


# -- a task's state


@dataclasses.dataclass
class TaskStatus:
    task: Task
    state: str
    detail: str
    node: str | None
    folder: pathlib.Path | None  # its results folder, once its node is known


_SLURM_STATES = {
    "PENDING": PENDING, "REQUEUED": PENDING, "REQUEUE_HOLD": PENDING, "REQUEUE_FED": PENDING,
    "RESV_DEL_HOLD": PENDING,
    "RUNNING": RUNNING, "CONFIGURING": RUNNING, "COMPLETING": RUNNING, "SIGNALING": RUNNING,
    "STAGE_OUT": RUNNING, "RESIZING": RUNNING, "SUSPENDED": RUNNING, "STOPPED": RUNNING,
    "COMPLETED": DONE, "CANCELLED": CANCELLED, "TIMEOUT": TIMED_OUT,
}


def _exit_text(trace: Trace) -> str:
    if trace.status is None:
        return ""
    text = f"exit status {trace.status}"
    if trace.signals:
        text += f" after SIG{', SIG'.join(dict.fromkeys(trace.signals))}"
    return text


def task_status(task: Task, record: slurm.JobRecord | None, trace: Trace, log_text: str,
                slurm_problem: str | None = None, job_known: bool = False) -> TaskStatus:
    """A task's state from what Slurm says of it (`record`, None when Slurm no
    longer knows it) and, after that, from its own files (the rule is in the
    module's description). `slurm_problem` says why Slurm could not be asked;
    `job_known` whether Slurm still knows other tasks of the array (a pending
    task cancelled on its own is dropped from the array without a record)."""
    node = trace.node or task.node
    if record is not None and record.nodes not in ("", "(null)", "None") \
            and "," not in record.nodes and "[" not in record.nodes:
        node = trace.node or record.nodes
    if record is not None:
        state = _SLURM_STATES.get(record.state, FAILED)
        if state == PENDING:
            detail = f"waiting ({record.reason})" if record.reason not in ("", "None") else ""
        elif state == RUNNING:
            detail = "ending" if record.state == "COMPLETING" else \
                (f"{record.state.lower()}" if record.state != "RUNNING" else "")
        elif state == FAILED:
            detail = f"Slurm: {record.state}" + (f", {_exit_text(trace)}" if _exit_text(trace)
                                                 else "")
        else:
            detail = _exit_text(trace)
    else:
        ending = slurm_ending(log_text)
        if ending is not None:
            state, detail = ending
            if _exit_text(trace):
                detail += f", {_exit_text(trace)}"
        elif trace.status is not None:
            state, detail = (DONE if trace.status == 0 else FAILED), _exit_text(trace)
        elif slurm_problem:
            state = UNKNOWN
            detail = (f"started on {trace.node}; " if trace.started is not None else "") \
                + slurm_problem
        elif trace.started is not None:
            state, detail = FAILED, (f"started on {trace.node} but recorded no end: killed "
                                     "without warning, or its node failed")
        elif job_known:
            state, detail = CANCELLED, "cancelled while pending (dropped from the array)"
        else:
            state, detail = FAILED, ("never started, and Slurm no longer knows the job: "
                                     "cancelled while pending, or its node could not start it")
    return TaskStatus(task, state, detail, node, None)


def statuses(fleet: Fleet) -> list[TaskStatus]:
    """Every task's state now: one question to Slurm, then each task's files."""
    problem = None
    try:
        records = slurm.job_records(fleet.job_id)
    except slurm.SlurmError as error:
        records, problem = None, str(error)
    by_task: dict[int, slurm.JobRecord] = {}
    for record in records or []:
        for index in record.tasks:
            by_task.setdefault(index, record)
    found = []
    for task in fleet.tasks:
        trace = read_trace(task.state_file)
        status = task_status(task, by_task.get(task.index), trace, _read_text(task.log),
                             problem, job_known=bool(records))
        if status.node:
            status.folder = fleet.folder / task.folder_name(status.node)
        found.append(status)
    return found


def render_status(fleet: Fleet, found: list[TaskStatus]) -> str:
    rows = [["task", "node", "state", "results", "detail"]]
    for status in found:
        folder = status.folder.name if status.folder is not None and status.folder.exists() \
            else ""
        rows.append([str(status.task.index), status.node or "", status.state, folder,
                     status.detail])
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = [f"fleet {fleet.folder} (Slurm job {fleet.job_id}, {len(found)} task"
             f"{'s' if len(found) != 1 else ''})"]
    for row in rows:
        lines.append("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    counts = {}
    for status in found:
        counts[status.state] = counts.get(status.state, 0) + 1
    lines.append(", ".join(f"{count} {state}" for state, count in counts.items()))
    return "\n".join(lines) + "\n"


def results_folders(fleet: Fleet) -> list[tuple[str, pathlib.Path]]:
    """The results folders the tasks left, in task order, each named by its node
    (by its folder's name where two tasks ran on the same node)."""
    found = []
    for task in fleet.tasks:
        node = read_trace(task.state_file).node or task.node
        folders = [fleet.folder / task.folder_name(node)] if node else \
            sorted(fleet.folder.glob(f"{task.index}-*"))
        for folder in folders:
            if (folder / model.RESULTS_FILE).is_file():
                found.append((folder.name.partition("-")[2], folder))
    names = [name for name, _ in found]
    return [(name if names.count(name) == 1 else folder.name, folder) for name, folder in found]


# -- collecting


@dataclasses.dataclass
class Collected:
    """What collect made of one task."""

    status: TaskStatus
    run_ids: list[int] | None = None  # its runs in the store, when imported
    note: str = ""  # why it was not imported, or what to know about its import
    tail: list[str] = dataclasses.field(default_factory=list)

    @property
    def good(self) -> bool:
        return self.status.state == DONE and self.run_ids is not None


def wait_until_finished(fleet: Fleet, poll_seconds: float,
                        progress: Callable[[list[TaskStatus]], None] = lambda found: None,
                        sleep: Callable[[float], None] = time.sleep) -> list[TaskStatus]:
    """Asks again every poll_seconds until no task is pending, running or unknown."""
    while True:
        found = statuses(fleet)
        progress(found)
        if not any(s.state in UNFINISHED for s in found):
            return found
        sleep(poll_seconds)


def _importable(status: TaskStatus) -> tuple[bool, str]:
    """Whether a task's results folder holds a whole run to import, and if not, why."""
    folder = status.folder
    if status.state in UNFINISHED:
        return False, "not finished"
    if folder is None or not (folder / model.RESULTS_FILE).exists():
        return False, "left no results"
    try:
        run = model.load(folder)
    except model.ResultsError as error:
        return False, f"its results cannot be read: {error}"
    if run.interrupted:
        return False, (f"interrupted after {run.completed_cells} of {run.planned_cells} cells; "
                       f"its folder keeps them: {folder}")
    if status.state in (CANCELLED, TIMED_OUT):
        return False, f"its folder keeps what it finished: {folder}"
    return True, ""


def collect(fleet: Fleet, found: list[TaskStatus], store_path: pathlib.Path) -> list[Collected]:
    """Imports every task's whole run into the store: the done ones, and the failed
    ones whose sweep ran to its end (their failed cells are stored as failed).
    Cancelled, timed-out and unfinished tasks are reported, never imported; every
    folder stays where it is."""
    collected = [Collected(status) for status in found]
    wanted = []
    for item in collected:
        importable, why = _importable(item.status)
        if importable:
            wanted.append(item)
        else:
            item.note = why
        if item.status.state != DONE:
            item.tail = log_tail(item.status.task.log)
    if not wanted:
        return collected
    try:
        with Store.open(store_path) as store:
            for item in wanted:
                try:
                    item.run_ids = list(store.import_folder(item.status.folder, load_derived))
                except model.ResultsError as error:
                    item.note = str(error)
                    item.tail = item.tail or log_tail(item.status.task.log)
                else:
                    if item.status.state == FAILED:
                        item.note = ("its sweep ran to the end: its failed cells are stored as "
                                     "failed")
    except StoreError as error:
        # The runs imported before stay in the store; every folder stays where it is.
        raise FleetError(f"{error} (the task folders are kept: `suite fleet collect` "
                         "again imports them)") from None
    return collected


def render_collected(fleet: Fleet, collected: list[Collected]) -> tuple[str, list[str]]:
    """The report of a collect (standard output) and one line per task that is not
    done and imported (standard error)."""
    lines, problems = [f"fleet {fleet.folder} (Slurm job {fleet.job_id})"], []
    for item in collected:
        status = item.status
        where = f" on {status.node}" if status.node else ""
        head = f"task {status.task.index}{where}: {status.state}"
        if status.detail:
            head += f" ({status.detail})"
        if item.run_ids is not None:
            head += (f"; imported as run{'s' if len(item.run_ids) != 1 else ''} "
                     f"{', '.join(map(str, item.run_ids)) or '(none)'} from {status.folder}")
            head += f"; {item.note}" if item.note else ""
        else:
            head += f"; not imported: {item.note}"
        lines.append(head)
        if item.tail:
            lines.append(f"  from {status.task.log}:")
            lines += [f"  | {line}" for line in item.tail]
        elif status.state != DONE:
            lines.append(f"  no log at {status.task.log}")
        if not item.good:
            problems.append(head)
    done = sum(item.good for item in collected)
    lines.append(f"{done} of {len(collected)} task{'s' if len(collected) != 1 else ''} done "
                 "and imported")
    return "\n".join(lines) + "\n", problems
