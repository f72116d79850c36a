"""Submitting a fleet: the time limit each task asks for, the batch script
every task runs, the manifest, and the submission itself (the fleet folder
made, the programs built once unless per node, the job array handed to
sbatch; undone when it fails).
"""

from __future__ import annotations

import dataclasses
import datetime
import math
import pathlib
import shlex
import shutil
import sys
from typing import Callable

from . import slurm
from ..files import dump_json, replace_file
from ..measure import estimate
from ..plan.matrix import Cell
from .folder import BUILD, JOB_SCRIPT, LOGS, MANIFEST, MANIFEST_FORMAT, Fleet, FleetError

# The time limit a fleet asks for when --time is not given: the sweep's own
# estimate (measure/estimate.py, with the default costs: the nodes' own runs
# are not in the store of the machine that submits), four times over (a node
# shared with other jobs, rounds measured again), at least ten minutes, plus
# the build of each node with --build-per-node.
SAFETY = 4.0
MIN_MINUTES = 10
BUILD_MINUTES = 15
TIME_RULE = (f"{SAFETY:g} x the sweep's estimate, at least {MIN_MINUTES} minutes, plus "
             f"{BUILD_MINUTES} minutes with --build-per-node")

def estimate_seconds(cells: list[Cell], samples: int, min_time: float,
                     extra_rounds: bool = True) -> float:
    """How long one sweep of these cells should take on one node (see TIME_RULE),
    with or without the extra rounds (a fleet's sweeps take them)."""
    return estimate.seconds(cells, estimate.Settings(samples, min_time, extra_rounds))


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


