"""The `fleet` subcommands: submit one sweep per node of a Slurm cluster, follow
its tasks, collect their results into the store, compare the machines; and
`fleet task`, what each Slurm task runs.

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
import tempfile

from ..measure import bandwidth
from ..plan import build, matrix
from .. import fleet, model
from ..judge import machines
from ..record import results_folder
from ..fleet import slurm
from ..export import machines as machines_view
from ..export.text import plural
from ..files import replace_file
from . import measuring
from .options import (add_judging_arguments, add_run_arguments, add_store_argument, command_line,
                      path, positive_int, seconds, store_path, typed, whole)
from .request import Refusal, RunRequest, check, perform, terminate_as_interrupt

# How often `fleet collect --wait` asks Slurm again, by default.
DEFAULT_POLL = 20.0


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


@dataclasses.dataclass
class MachinesRequest:
    """`fleet compare`'s options: which runs, how they are judged and shown."""
    folders: list[pathlib.Path]
    fleet: pathlib.Path | None = None
    reference: str | None = None
    relative: bool = False
    json: bool = False
    html: pathlib.Path | str | None = None  # --html alone: ""
    noise_floor: float = 0.0
    resamples: int = 0


def add_parsers(commands) -> None:
    """The parser of `fleet` and its actions among the suite's `commands`."""
    fleet_parser = commands.add_parser(
        "fleet", help="sweep on every node of a Slurm cluster, then gather the results",
        description="One sweep per node as a Slurm job array: submit it, follow its tasks, "
                    "import their results into the results store, compare the machines.")
    actions = fleet_parser.add_subparsers(dest="action", required=True)
    submitting = actions.add_parser(
        "submit", allow_abbrev=False,
        help="submit one sweep per node (any other option is a `run` option for each task)",
        description="Submits a Slurm job array: each task holds a node exclusively and runs "
                    "`suite run` with the run options given here, writing its own results "
                    "folder in the fleet folder.")
    add_submit_options(submitting)
    add_run_arguments(submitting, fleet=True)
    submitting.set_defaults(handler=submit)
    following = actions.add_parser("status", help="the state of each task of a fleet")
    _add_fleet_argument(following)
    following.set_defaults(handler=status)
    collecting = actions.add_parser(
        "collect", help="import the finished tasks' results into the results store",
        description="Imports every finished task's results folder into the results store and "
                    "reports the tasks that failed, were cancelled or ran out of time, with "
                    "the end of their logs. Exit status 0 when every task is done and imported.")
    _add_fleet_argument(collecting)
    collecting.add_argument("--wait", action="store_true",
                         help="wait until no task is pending or running")
    collecting.add_argument("--poll", type=seconds, default=DEFAULT_POLL, metavar="SECONDS",
                         help=f"with --wait, how often to ask Slurm (default {DEFAULT_POLL:g})")
    add_store_argument(collecting, "import the runs into")
    collecting.set_defaults(handler=collect)
    compare_parser = actions.add_parser(
        "compare", help="the cells of a fleet's machines side by side",
        description="Every cell's median time on each machine, and each machine's verdict "
                    "against the first (or --reference) by the rules of `suite compare`.")
    compare_parser.add_argument("folders", nargs="*", type=path, metavar="FOLDER",
                                help="results folders to compare instead of a fleet's")
    _add_fleet_argument(compare_parser)
    compare_parser.add_argument("--reference", metavar="MACHINE",
                                help="the machine the others are judged against (default the "
                                     "first)")
    compare_parser.add_argument("--relative", action="store_true",
                                help="remove each machine's run-wide shift: show the cells that "
                                     "differ more or less than the machine as a whole")
    compare_parser.add_argument("--json", action="store_true", help="print the table as JSON")
    compare_parser.add_argument("--html", nargs="?", const="", type=path, metavar="FILE",
                                help="also write the table as a page, each machine's context a "
                                     "click away (default FILE: machines.html in the fleet "
                                     "folder)")
    add_judging_arguments(compare_parser)
    compare_parser.set_defaults(handler=compare)
    tasking = actions.add_parser(
        "task", help="run one task of a fleet (what each Slurm task runs)",
        description="Runs the sweep of one task of a fleet on this node: builds first with "
                    "--build-per-node, then `suite run` into <task>-<node>/.")
    tasking.add_argument("--fleet", type=path, required=True, metavar="DIR")
    tasking.add_argument("--task", type=whole(0, matrix.INT_MAX), required=True, metavar="N")
    tasking.add_argument("--node", required=True, metavar="NAME")
    tasking.set_defaults(handler=task)


def _add_fleet_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--fleet", type=path, metavar="DIR",
                        help="the fleet folder (default: the last one under results/)")

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


def _loaded(folder: pathlib.Path | None) -> fleet.Fleet:
    """The fleet of --fleet (`folder`), or the last one under results/."""
    try:
        return fleet.Fleet.load(folder or fleet.latest(build.ROOT / "results"))
    except fleet.FleetError as error:
        raise Refusal(str(error)) from None


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


def status(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite fleet status`: the state of each task."""
    found_fleet = _loaded(arguments.fleet)
    sys.stdout.write(fleet.render_status(found_fleet, fleet.statuses(found_fleet)))
    return 0


def collect(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite fleet collect`: the finished tasks' results imported into the store."""
    wait, poll, into = arguments.wait, arguments.poll, store_path(arguments.store)
    found_fleet = _loaded(arguments.fleet)
    if wait:
        last: list[str] = []

        def progress(found) -> None:
            counts: dict[str, int] = {}
            for task_status in found:
                counts[task_status.state] = counts.get(task_status.state, 0) + 1
            line = ", ".join(f"{count} {state}" for state, count in counts.items())
            unknown = [s.detail for s in found if s.state == fleet.UNKNOWN]
            line += f" ({unknown[0]})" if unknown else ""
            if line != (last[0] if last else None):
                print(f"fleet {found_fleet.folder.name}: {line}", file=sys.stderr)
                last[:] = [line]

        found = fleet.wait_until_finished(found_fleet, poll, progress)
    else:
        found = fleet.statuses(found_fleet)
    try:
        collected = fleet.collect(found_fleet, found, into)
    except fleet.FleetError as error:
        raise Refusal(str(error)) from None
    text, problems = fleet.render_collected(found_fleet, collected)
    sys.stdout.write(text)
    for problem in problems:
        print(f"suite fleet collect: {problem}", file=sys.stderr)
    return 1 if problems else 0


def compare(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite fleet compare`: the cells of the fleet's machines (or of results
    folders) side by side."""
    request = typed(MachinesRequest, arguments)
    if request.folders and request.fleet:
        raise Refusal("give either --fleet or results folders, not both")
    if request.folders:
        named = [(str(folder), folder) for folder in request.folders]
    else:
        found_fleet = _loaded(request.fleet)
        named = fleet.results_folders(found_fleet)
        if not named:
            raise Refusal(f"no task of {found_fleet.folder} has left results yet")
    try:
        runs = [(name, model.load_checked(folder)) for name, folder in named]
    except model.ResultsError as error:
        raise Refusal(str(error)) from None
    if request.folders:
        runs = _machine_names(runs)
    if request.reference is not None:
        chosen = [item for item in runs if item[0] == request.reference]
        if not chosen:
            raise Refusal(f"--reference {request.reference} is none of "
                          f"{', '.join(name for name, _ in runs)}")
        runs = chosen + [item for item in runs if item[0] != request.reference]
    try:
        view = machines.compare_machines(runs, request.noise_floor / 100, request.resamples,
                                         relative=request.relative)
    except (ValueError, model.ResultsError) as error:
        raise Refusal(str(error)) from None
    if request.html is not None:
        out = request.html or (pathlib.Path(named[0][1]).parent / "machines.html")
        try:
            replace_file(out, machines_view.render_html(view, dict(runs), "algobench: machines"))
        except OSError as error:
            raise Refusal(f"cannot write {out}: {error.strerror or error}") from None
        print(out, file=sys.stderr)
    render = machines_view.render_json if request.json else machines_view.render_text
    sys.stdout.write(render(view))
    return 0


def _machine_names(runs: list[tuple[str, model.Run]]) -> list[tuple[str, model.Run]]:
    """Results folders named by their host where that tells them apart, else by path."""
    hosts = [run.context.get("host") for _, run in runs]
    if all(hosts) and len(set(hosts)) == len(hosts):
        return [(host, run) for host, (_, run) in zip(hosts, runs)]
    return runs


def task(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite fleet task`: one task's sweep on this node, built first with
    --build-per-node, run as `suite run` into <task>-<node>/."""
    folder, index, node = arguments.fleet, arguments.task, arguments.node
    with terminate_as_interrupt():
        try:
            found_fleet = fleet.Fleet.load(folder)
            the_task = found_fleet.task(index)
        except fleet.FleetError as error:
            raise Refusal(str(error)) from None
        name = the_task.folder_name(node)
        manifest = found_fleet.manifest
        if manifest["build"] == "per-node":
            tree = found_fleet.folder / fleet.BUILDS / name
            print(f"task {the_task.index} on {node}: building the programs into "
                  f"{tree}", file=sys.stderr)
            try:
                bin_dir = build.build_tree(tree, tuple(manifest["build_targets"]))
            except build.BuildError as error:
                raise Refusal(str(error), 1) from None
        else:
            bin_dir = pathlib.Path(manifest["bin_dir"])
        run_argv = [*found_fleet.run_options, "--bin-dir", str(bin_dir),
                    "--out", str(found_fleet.folder / name)]
        print(f"task {the_task.index} of job {found_fleet.job_id} on {node}: "
              f"suite run {shlex.join(run_argv)}", file=sys.stderr, flush=True)
        # A run registers itself in the results store as it goes: here in a scratch
        # store on the node, never in a SQLite file on the shared filesystem that
        # other nodes write too. `fleet collect` imports the folder afterwards.
        with tempfile.TemporaryDirectory(prefix="algobench-task-") as scratch:
            run_argv += ["--store", str(pathlib.Path(scratch) / "s.sqlite")]
            parsed = measuring.run_parser().parse_args(run_argv)
            status = perform("run", None, lambda: measuring.run(parsed, run_argv))
        print(f"task {the_task.index}: this node's scratch store is removed; `suite fleet "
              "collect` imports the results folder into the results store", file=sys.stderr)
        return status
