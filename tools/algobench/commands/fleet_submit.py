"""`fleet submit`: one sweep per node of a Slurm cluster, submitted as a job array.

A submission is checked as a run request (request.check) and then against the
cluster: the nodes Slurm knows, their CPUs (for the default thread counts),
the time limit, the fleet folder. What needs no cluster is refused first.
"""

from __future__ import annotations

import argparse
import dataclasses
import pathlib
import shlex
import sys

from ..measure import bandwidth
from ..plan import build
from .. import fleet
from ..record import results_folder
from ..fleet import slurm
from ..export.text import plural
from .options import command_line, path, positive_int, typed
from .request import Refusal, RunRequest, check


@dataclasses.dataclass
class SubmitRequest:
    """`fleet submit`'s own options, and the `run` request of each task."""
    run: RunRequest
    partition: str | None = None
    nodes: int | None = None
    nodelist: str | None = None
    time: str | None = None
    build_per_node: bool = False
    fleet: pathlib.Path | None = None
    dry_run: bool = False


def add_submit_options(parser: argparse.ArgumentParser) -> None:
    """The options `fleet submit` takes for itself; all others go to each task's `run`."""
    cluster = parser.add_argument_group("cluster")
    cluster.add_argument("--partition", metavar="P", help="Slurm partition (default: Slurm's)")
    nodes = cluster.add_mutually_exclusive_group()
    nodes.add_argument("--nodes", type=positive_int, metavar="N",
                       help="N tasks, each on a node of its own while they run (default 1)")
    nodes.add_argument("--nodelist", metavar="LIST",
                       help="one task on each of these nodes (a Slurm node list: node[1-4],gpu1)")
    cluster.add_argument("--time", metavar="LIMIT",
                         help="time limit of each task (minutes, HH:MM:SS, D-HH:MM ...; default "
                              f"{fleet.TIME_RULE})")
    cluster.add_argument("--build-per-node", action="store_true",
                         help="build the programs on each node (default: once, at submit time, "
                              "for nodes that share the architecture and toolchain)")
    cluster.add_argument("--fleet", type=path, metavar="DIR",
                         help="the fleet folder, new or empty (default results/fleet-<date-time>)")
    cluster.add_argument("--dry-run", action="store_true",
                         help="print the tasks, the time limit, the sbatch command and the batch "
                              "script; build and submit nothing")


def _run_options(argv: list[str]) -> list[str]:
    """The run options among `fleet submit`'s arguments: everything that is not the
    fleet's own, nor --bin-dir, which each task is given resolved."""
    own = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    add_submit_options(own)
    own.add_argument("--bin-dir")
    _, rest = own.parse_known_args(argv)
    return rest


def _check_fleet_folder(folder: pathlib.Path | None) -> None:
    """Refuses a --fleet that is not a new or empty folder."""
    if folder is not None and folder.exists():
        if not folder.is_dir():
            raise Refusal(f"--fleet {folder} exists and is not a folder")
        if next(folder.iterdir(), None) is not None:
            raise Refusal(f"--fleet {folder} is not empty: a fleet needs a new or empty folder")


class _SlurmUnavailable(Refusal):
    """Slurm could not be asked about the nodes (no client commands, no cluster)."""


def _nodes(request: SubmitRequest) -> tuple[list[str] | None, dict[str, int]]:
    """The nodes --nodelist names (None without it) and the CPUs of every node Slurm
    lists in the partition; refuses nodes Slurm does not know."""
    try:
        nodelist = slurm.hostnames(request.nodelist) if request.nodelist else None
    except slurm.SlurmError as error:
        raise _SlurmUnavailable(str(error)) from None
    try:
        cpus = slurm.node_cpus(request.partition, nodelist)
    except slurm.SlurmError as error:
        raise _SlurmUnavailable(str(error), 1) from None
    where = f" in partition {request.partition}" if request.partition else ""
    if nodelist:
        unknown = [node for node in nodelist if node not in cpus]
        if unknown:
            raise Refusal(f"--nodelist: Slurm lists no node {', '.join(unknown)}{where}")
    elif not cpus:
        raise Refusal(f"Slurm lists no node{where}")
    return nodelist, cpus


def submit(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite fleet submit`: checks the request, builds once (unless per node or given)
    and submits the job array; with --dry-run prints what it would submit."""
    request = typed(SubmitRequest, arguments, run=RunRequest.of(arguments, dry_run=False))
    run_options = _run_options(argv[1:])
    settled = request.run
    time_given = None
    if request.time is not None:
        try:
            time_minutes = fleet.parse_time_limit(request.time)
        except ValueError as error:
            raise Refusal(f"--time: {error}") from None
        time_given = request.time
    _check_fleet_folder(request.fleet)
    folder = request.fleet or results_folder.default_out_dir(build.ROOT, prefix="fleet-")
    # What can be refused without the cluster is refused before asking Slurm.
    check(settled)
    unasked = None  # why Slurm could not be asked, on a dry run that goes on without it
    try:
        nodelist, cpus = _nodes(request)
    except _SlurmUnavailable as error:
        if not request.dry_run:
            raise Refusal(error.message, error.status) from None
        unasked = error.message
        nodelist = slurm.expanded_hostnames(request.nodelist) if request.nodelist else None
        cpus = {}
    tasks = len(nodelist) if nodelist else (request.nodes or 1)
    # Without --threads each node sweeps its own CPU counts: plan for the largest
    # (this machine's, when Slurm cannot say).
    cells = check(settled, cpus=max(cpus.values()) if cpus else None)
    bin_dir = settled.bin_dir.resolve() if settled.bin_dir is not None else None
    estimate = fleet.estimate_seconds(cells, settled.samples, settled.min_time)
    if time_given is None:
        time_minutes = fleet.time_limit_minutes(estimate, request.build_per_node)
    targets = build.PROGRAM_TARGETS + (() if settled.no_bandwidth else (bandwidth.PROBE,))
    job = fleet.Request(
        folder=folder, run_options=run_options, tasks=tasks, nodelist=nodelist,
        partition=request.partition, time_minutes=time_minutes, time_given=time_given,
        estimate_seconds=estimate, cells=len(cells),
        build="given" if bin_dir is not None else
        ("per-node" if request.build_per_node else "shared"),
        bin_dir=bin_dir, targets=targets, suite=build.ROOT / "suite",
        command_line=command_line("fleet", argv))
    limit = (f"{fleet.format_minutes(time_minutes)} (given)" if time_given else
             f"{fleet.format_minutes(time_minutes)} ({fleet.TIME_RULE}; estimate "
             f"{estimate / 60:.1f} min for {len(cells)} cells)")
    if unasked is not None:
        print(f"note: Slurm could not be asked ({unasked}): the node list and the nodes' "
              "CPU counts were not checked; the default thread counts are this machine's",
              file=sys.stderr)
    elif tasks > len(cpus) and not nodelist:
        print(f"note: {tasks} tasks but {len(cpus)} node(s): some tasks will run one after "
              "another on the same node", file=sys.stderr)
    if request.dry_run:
        placed = ", ".join(nodelist) if nodelist else "any node of the partition, one each"
        sbatch = ["sbatch", *job.sbatch_options(), str(folder / fleet.JOB_SCRIPT)]
        built = f"{job.build} ({bin_dir})" if bin_dir else job.build
        print(f"fleet folder: {folder}", f"tasks: {tasks} ({placed})", f"time limit: {limit}",
              f"build: {built}", f"run options: {shlex.join(run_options) or '(none)'}",
              f"sbatch: {shlex.join(sbatch)}", "", sep="\n")
        sys.stdout.write(fleet.job_script(folder, job.suite))
        return 0
    try:
        submitted = fleet.submit(job, lambda tree: build.build_tree(tree, targets),
                                 say=lambda text: print(text, file=sys.stderr))
    except fleet.FleetError as error:
        raise Refusal(str(error)) from None
    except (slurm.SlurmError, build.BuildError) as error:
        raise Refusal(str(error), 1) from None
    print(f"submitted Slurm job {submitted.job_id}: {plural(tasks, 'task')}, "
          f"time limit {limit}", f"fleet folder: {submitted.folder}",
          f"follow it with `suite fleet status --fleet {submitted.folder}`, gather it with "
          f"`suite fleet collect --wait --fleet {submitted.folder}`", sep="\n")
    return 0
