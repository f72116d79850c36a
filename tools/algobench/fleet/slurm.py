"""The Slurm commands a fleet needs: sbatch, scontrol, sinfo and scancel.

Each is run as a process with this process's environment, so SLURM_CONF (and
every other SLURM_* setting) chooses the cluster. Nothing here keeps state:
Slurm is asked again every time. `scontrol show job` is the one query of a
job's state; it works without accounting storage, and knows a job until
MinJobAge seconds after it ended.
"""

from __future__ import annotations

import dataclasses
import os
import re
import subprocess

# How long one Slurm command may take before the controller counts as unreachable.
COMMAND_TIMEOUT = 60


class SlurmError(RuntimeError):
    """A Slurm command that could not be run or refused what it was asked, in one line."""


def _run(arguments: list[str], what: str) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(arguments, capture_output=True, text=True, env=dict(os.environ),
                              timeout=COMMAND_TIMEOUT)
    except FileNotFoundError:
        raise SlurmError(f"cannot {what}: {arguments[0]} not found (are Slurm's client "
                         "commands installed and on PATH?)") from None
    except OSError as error:
        raise SlurmError(f"cannot {what}: cannot run {arguments[0]}: "
                         f"{error.strerror or error}") from None
    except subprocess.TimeoutExpired:
        raise SlurmError(f"cannot {what}: {arguments[0]} did not answer within "
                         f"{COMMAND_TIMEOUT} s") from None


def _checked(arguments: list[str], what: str) -> str:
    completed = _run(arguments, what)
    if completed.returncode != 0:
        message = _last_line(completed.stderr) or f"exit status {completed.returncode}"
        raise SlurmError(f"cannot {what}: {message}")
    return completed.stdout


def _last_line(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else ""


def submit(script: str, options: list[str]) -> str:
    """sbatch --parsable OPTIONS SCRIPT; the job id."""
    out = _checked(["sbatch", "--parsable", *options, script], "submit the job")
    job_id = out.strip().split(";")[0]
    if not job_id.isdigit():
        raise SlurmError(f"cannot submit the job: sbatch answered {out.strip()!r}, not a job id")
    return job_id


def hostnames(nodelist: str) -> list[str]:
    """A Slurm node list ("node[1-3],gpu7") as the node names it stands for."""
    out = _checked(["scontrol", "show", "hostnames", nodelist], f"expand --nodelist {nodelist}")
    names = out.split()
    if not names:
        raise SlurmError(f"--nodelist {nodelist} names no node")
    return names


def expanded_hostnames(nodelist: str) -> list[str]:
    """A node list ("node[1-3,7],gpu1") expanded here, as `scontrol show hostnames`
    would, for a dry run without Slurm: ranges and lists in brackets, zero padding kept."""
    names = []
    for prefix, inside, plain in re.findall(r"([^,\[]*)\[([^\]]*)\]|([^,]+)", nodelist):
        if plain:
            names.append(plain)
            continue
        for part in inside.split(","):
            low, _, high = part.partition("-")
            width = len(low)
            names += [f"{prefix}{number:0{width}d}"
                      for number in range(int(low), int(high or low) + 1)] \
                if low.isdigit() and (high or low).isdigit() else [f"{prefix}[{part}]"]
    return names


def node_cpus(partition: str | None = None, nodes: list[str] | None = None) -> dict[str, int]:
    """The CPUs of each node Slurm would consider (the partition's, or these nodes)."""
    arguments = ["sinfo", "--noheader", "--Node", "--format=%N %c"]
    if partition:
        arguments.append(f"--partition={partition}")
    if nodes:
        arguments.append(f"--nodes={','.join(nodes)}")
    cpus: dict[str, int] = {}
    for line in _checked(arguments, "list the nodes").splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[1].isdigit():
            cpus[parts[0]] = int(parts[1])
    return cpus


def place_task(job_id: str, task: int, node: str) -> None:
    """Pins one pending task of a held array to a node."""
    _checked(["scontrol", "update", f"JobId={job_id}_{task}", f"NodeList={node}"],
             f"place task {task} of job {job_id} on {node}")


def release(job_id: str) -> None:
    _checked(["scontrol", "release", job_id], f"release job {job_id}")


def cancel(job_id: str) -> None:
    _checked(["scancel", job_id], f"cancel job {job_id}")


@dataclasses.dataclass
class JobRecord:
    """One record of `scontrol show job`: a task of an array (or the pending rest
    of it, standing for several tasks)."""

    job_id: str
    tasks: list[int]
    state: str  # JobState: PENDING, RUNNING, COMPLETED, TIMEOUT, CANCELLED ...
    reason: str = ""
    nodes: str = ""
    exit_code: str = ""


def task_ids(text: str) -> list[int]:
    """An ArrayTaskId field as the task numbers it stands for: "3", "0-2",
    "1,4-6:2", with an optional "%N" throttle."""
    tasks: list[int] = []
    for span in text.split("%")[0].split(","):
        match = _TASK_SPAN.fullmatch(span)
        if match is None:
            raise ValueError(f"not a task list: {text!r}")
        first, last, step = match.groups()
        tasks += range(int(first), int(last or first) + 1, int(step or 1))
    return tasks


_TASK_SPAN = re.compile(r"(\d+)(?:-(\d+)(?::(\d+))?)?")


_FIELD = re.compile(r"(?:^|\s)([A-Za-z_/:]+)=(\S*)")


def parse_records(text: str, array_job_id: str) -> list[JobRecord]:
    """The records of `scontrol --oneliner show job` that belong to this array job."""
    records = []
    for line in text.splitlines():
        fields: dict[str, str] = {}
        for key, value in _FIELD.findall(line):
            fields.setdefault(key, value)  # a later "key=" may be the command's own text
        if fields.get("ArrayJobId", fields.get("JobId")) != array_job_id:
            continue
        task = fields.get("ArrayTaskId")
        if task is None or task in ("", "N/A"):
            continue
        state = fields.get("JobState", "")
        if not state:
            continue
        records.append(JobRecord(fields.get("JobId", ""), task_ids(task), state,
                                 fields.get("Reason", ""), fields.get("NodeList", ""),
                                 fields.get("ExitCode", "")))
    return records


def job_records(array_job_id: str) -> list[JobRecord] | None:
    """What Slurm knows of an array job's tasks now; None when it no longer knows
    the job (it ended more than MinJobAge ago). Raises SlurmError when the
    controller cannot be asked."""
    completed = _run(["scontrol", "--oneliner", "show", "job", array_job_id],
                     f"ask Slurm about job {array_job_id}")
    if completed.returncode != 0:
        if "invalid job id" in completed.stderr.lower():
            return None
        message = _last_line(completed.stderr) or f"exit status {completed.returncode}"
        raise SlurmError(f"cannot ask Slurm about job {array_job_id}: {message}")
    return parse_records(completed.stdout, array_job_id)
