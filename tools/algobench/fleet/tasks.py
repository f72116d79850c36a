"""What became of a fleet's tasks: each task's own trace and log, its state
(from Slurm while Slurm knows it, else from what it left), and the collection
of the finished tasks' results into the store.
"""

from __future__ import annotations

import collections
import dataclasses
import pathlib
import re
import time
from typing import Callable

from .. import model
from . import slurm
from ..judge.derive import load_derived
from ..export.text import aligned, plural
from ..record.store import Store, StoreError
from .folder import Fleet, FleetError, Task

# A task's states, as `status` and `collect` name them.
PENDING, RUNNING, DONE, FAILED = "pending", "running", "done", "failed"
CANCELLED, TIMED_OUT, UNKNOWN = "cancelled", "timed out", "unknown"
# States a task may still leave.
UNFINISHED = (PENDING, RUNNING, UNKNOWN)

# What is shown of the log of a task that did not finish well: its last lines,
# and before them the earlier lines that say what went wrong (a failed cell,
# an error, Slurm's own line when it ended the job).
LOG_TAIL = 12
LOG_TELLING = 8
_TELLING = re.compile(r"\*\*\* JOB |^FAILED |\berror\b|Traceback", re.IGNORECASE)

@dataclasses.dataclass
class Trace:
    """A task's state file: its last start, the signals after it and its end."""

    started: float | None = None
    node: str | None = None
    signals: list[str] = dataclasses.field(default_factory=list)
    ended: float | None = None
    status: int | None = None


def read_trace(path: pathlib.Path) -> Trace:
    trace = Trace()
    for line in _read_text(path).splitlines():
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
    lines = [f"fleet {fleet.folder} (Slurm job {fleet.job_id}, {plural(len(found), 'task')})"]
    lines += aligned(rows, rule=False)
    lines.append(state_counts(found))
    return "\n".join(lines) + "\n"


def state_counts(found: list[TaskStatus]) -> str:
    """How many tasks are in each state, "3 done, 1 running"."""
    counts = collections.Counter(status.state for status in found)
    return ", ".join(f"{count} {state}" for state, count in counts.items())


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
    lines.append(f"{done} of {plural(len(collected), 'task')} done and imported")
    return "\n".join(lines) + "\n", problems
