"""The `fleet` subcommands: submit one sweep per node of a Slurm cluster
(fleet_submit.py), follow its tasks, collect their results into the store,
compare the machines; and `fleet task`, what each Slurm task runs.
"""

from __future__ import annotations

import argparse
import dataclasses
import pathlib
import shlex
import sys
import tempfile

from ..plan import build, matrix
from .. import fleet, model
from ..judge import machines
from ..export import machines as machines_view
from ..files import replace_file
from . import measuring
from .fleet_submit import add_submit_options, submit
from .options import (add_judging_arguments, add_run_arguments, add_store_argument, path,
                      seconds, store_path, typed, whole)
from .request import Refusal, perform, terminate_as_interrupt

# How often `fleet collect --wait` asks Slurm again, by default.
DEFAULT_POLL = 20.0


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


def _loaded(folder: pathlib.Path | None) -> fleet.Fleet:
    """The fleet of --fleet (`folder`), or the last one under results/."""
    try:
        return fleet.Fleet.load(folder or fleet.latest(build.ROOT / "results"))
    except fleet.FleetError as error:
        raise Refusal(str(error)) from None


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
            line = fleet.state_counts(found)
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
