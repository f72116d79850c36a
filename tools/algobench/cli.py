"""Command line of the suite: `run` sweeps the programs, `test` runs the tests,
`compare` and `report` work on the results of earlier runs, `ab` measures two
builds against each other, `list` shows the programs, `import` and `history`
fill and read the results store, `fleet` runs a sweep on every node of a Slurm cluster.

Whatever the suite cannot use (an option, a results folder, a results file) is
refused before anything runs, in one line on standard error naming it, with
exit status 2; a build that fails ends with one line naming the CMake step,
with exit status 1.

This module holds the parser alone: each command's handler is in a module of
commands/ (measuring, results, fleet), which raises request.Refusal for what
it cannot do. Below the commands the folders follow the pipeline: plan/ (what
to measure and how to build it), measure/ (processes, calibration, sweeps),
judge/ (statistics, derive, findings, comparisons, the gate), record/ (the
results folder, the store) and export/ (the files and pages drawn from a run),
with model/, the results every stage speaks. Imports run one way, down this
order: cli, commands, fleet, measure, record, judge, model, export, plan,
files; a module may import its own folder and those after it, never one
before (tests/runner_layers_test.py holds it to that).
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys

from .measure import ab, machine, rounds
from .judge import compare
from .plan import matrix
from . import model
from .commands import fleet as fleet_commands
from .commands import measuring, results
from .commands.options import (DEFAULT_MIN_TIME, DEFAULT_SAMPLES, QUICK_MIN_TIME, QUICK_SAMPLES,
                               QUICK_SIZES, add_store_argument, comma_list, int_list, path,
                               chosen_parser, negative_values_joined, percentage,
                               positive_float, positive_int, seconds, text, whole)
from .commands.request import perform
from .model.contention import RETRIES
from .judge.findings import DEFAULT_CV_THRESHOLD
from .plan.workload import BACKENDS, PARALLEL_MODE, WORKLOADS

# How often `fleet collect --wait` asks Slurm again, by default.
DEFAULT_POLL = 20.0
# Exit status of a command whose reader went away (a shell's, for a process ended by SIGPIPE).
BROKEN_PIPE_STATUS = 141


class _Parser(argparse.ArgumentParser):
    """Refuses an option in one line on standard error (exit status 2), without
    the usage block; --help shows that. An option a command does not take is
    refused by that command's parser, pointing to its own --help, and a negative
    number given as an option's value is that value, so that the suite's own
    check refuses it by name."""

    def error(self, message: str):
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")

    def parse_args(self, args=None, namespace=None):
        args = negative_values_joined(self, list(sys.argv[1:] if args is None else args))
        arguments, extra = self.parse_known_args(args, namespace)
        if extra:
            chosen_parser(self, arguments).error(f"unrecognized arguments: {' '.join(extra)}")
        return arguments


def _add_run_arguments(run: argparse.ArgumentParser, ab_command: bool = False,
                       fleet: bool = False) -> None:
    """The options of a sweep; `ab` leaves out what an A/B run has no use for, and
    `fleet` what a fleet decides itself (where each task writes, what a dry run is)."""
    choose = run.add_argument_group("what to measure")
    choose.add_argument("--programs", type=comma_list, metavar="LIST",
                        help=f"comma-separated programs (default all: {', '.join(WORKLOADS)})")
    choose.add_argument("--sizes", type=int_list(matrix.parse_sizes), metavar="LIST",
                        help="comma-separated n (1e6 allowed), or a ladder LOW:HIGH:STEPS_PER_DECADE "
                             "(default 1e4:1e7:1)")
    choose.add_argument("--threads", type=int_list(matrix.parse_int_list), metavar="LIST",
                        help="thread counts of the parallel-mode programs (default 1, 2, 4 ... up "
                             "to the usable CPUs, and their number); sequential ones run at 1")
    choose.add_argument("--backends", type=comma_list, metavar="LIST",
                        help=f"comma-separated backends, or all: every one built ("
                             f"{', '.join(BACKENDS)}; default all for run, {PARALLEL_MODE} "
                             "for ab)")
    choose.add_argument("--filter", metavar="REGEX",
                        help="keep only cells whose name (program/n:N/threads:T, and "
                             "/backend:NAME for the backends other than the parallel mode) "
                             "matches")
    how = run.add_argument_group("how to measure")
    how.add_argument("--samples", type=positive_int,
                     help=f"rounds, each one measured process of every cell (default "
                          f"{DEFAULT_SAMPLES})")
    how.add_argument("--seed", type=whole(-2**63, 2**63 - 1), metavar="N",
                     help="seed of the rounds' shuffled order (default: a new one, recorded)")
    how.add_argument("--retries", type=whole(0, 10), default=RETRIES, metavar="N",
                     help="how often a round disturbed by other processes is measured again "
                          f"(0 to 10, default {RETRIES})")
    if not fleet:
        how.add_argument("--extra-rounds", type=whole(0, 100), metavar="N",
                         help="up to N more rounds, after --samples, for the program sizes whose "
                              "paired ratios still scatter: intervals wider than "
                              + (f"{ab.SETTLED_WIDTH * 100:g}%% of the B/A ratio (0 to 100; "
                                 "default 0)" if ab_command else
                                 f"{rounds.RUN_WIDTH * 100:g}%% of the speedup (0 to 100; "
                                 f"default {rounds.RUN_EXTRA_ROUNDS}; 0: every program size "
                                 "gets --samples rounds)"))
        how.add_argument("--round-budget", type=seconds, metavar="SECONDS",
                         help="the most time the rounds beyond --samples take together "
                              "(default: as long as the --samples rounds took)")
    how.add_argument("--min-time", type=seconds, metavar="SECONDS",
                     help="shortest timed loop per process for the programs that repeat their "
                          f"call (default {DEFAULT_MIN_TIME:g})")
    how.add_argument("--timeout", type=seconds, default=120.0, metavar="SECONDS",
                     help="longest a single process may run before its cell fails (default "
                          "120; under callgrind, --metric instructions, 50 times as long)")
    how.add_argument("--pin", action="store_true",
                     help="run the parallel-mode programs with OMP_PROC_BIND=close OMP_PLACES=cores")
    how.add_argument("--hugepages", action="store_true",
                     help="run every program with GLIBC_TUNABLES=glibc.malloc.hugetlb=1")
    how.add_argument("--cv-threshold", type=positive_float, default=DEFAULT_CV_THRESHOLD,
                     metavar="FRACTION", help="warn about cells whose CV exceeds this (default 0.05)")
    how.add_argument("--long", action="store_true",
                     help="run a sweep estimated to take more than a day (refused without it)")
    how.add_argument("--no-bandwidth", action="store_true",
                     help="skip the memory bandwidth probe after the cells")
    how.add_argument("--no-plots", action="store_true", help="draw no plots after the cells")
    if not fleet:
        how.add_argument("--metric", choices=model.METRICS, default="time",
                         help="time each call (default), or count the instructions of each "
                              "steady call under valgrind's callgrind: exact where one thread "
                              "runs it, and not moved by other processes (counts are not time)")
    where = run.add_argument_group("where")
    if not fleet:
        where.add_argument("--out", type=path, metavar="DIR",
                           help="results directory (default results/<YYYYmmdd-HHMMSS>); it must "
                                "be new or empty unless --force is given")
        where.add_argument("--force", action="store_true",
                           help="use a --out folder that holds files: an earlier run's results "
                                "there are removed first, anything else is kept")
        add_store_argument(where, "register the run in")
    if ab_command:
        return
    how.add_argument("--quick", action="store_true",
                     help=f"a smoke check, not figures: n = {QUICK_SIZES[0]}, {QUICK_SAMPLES} "
                          f"rounds, --min-time {QUICK_MIN_TIME:g}, no bandwidth probe (options "
                          "given explicitly still apply)")
    where.add_argument("--bin-dir", type=path, metavar="DIR",
                       help="take the programs from DIR instead of building the release preset")
    if fleet:
        return
    where.add_argument("--dry-run", action="store_true",
                       help="list the cells and their commands without running anything")


def version_text() -> str:
    """The suite's version and the commit of its tree ("-dirty" with changes to tracked
    files; "unknown" outside a git checkout)."""
    version = importlib.import_module(__package__).__version__
    commit, dirty = machine.git_commit()
    shown = (commit + ("-dirty" if dirty else "")) if commit else "unknown"
    return f"suite {version} (commit {shown})"


class _Version(argparse.Action):
    """--version: prints version_text() and exits, as argparse's own version action
    would, but finds the commit only when asked."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write(version_text() + "\n")
        parser.exit()


def _add_compare_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("a", type=text, help="the reference run: a results folder, its results.json, or "
                                  "@ID, a run of the store (`./suite history` lists them)")
    parser.add_argument("b", type=text, help="the run compared with it")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--markdown", action="store_true", help="print Markdown instead of a table")
    shown.add_argument("--json", action="store_true",
                       help="print the comparison as JSON, for scripts")
    parser.add_argument("--out", type=path, metavar="FILE",
                        help="also write the Markdown report to FILE")
    parser.add_argument("--fail-above", type=percentage, metavar="PERCENT",
                        help="exit with status 1 when a cell is clearly slower by more than "
                             "PERCENT relative to the run-wide shift (judged on Bonferroni "
                             "intervals: a 5%% chance of a false alarm over all cells), or when "
                             "a cell that ran in A failed or timed out in B")
    _add_judging_arguments(parser)
    parser.add_argument("--no-drift-correction", action="store_true",
                        help="judge each cell's B/A itself instead of its change relative to the "
                             "run-wide shift (for runs known to be interleaved)")
    add_store_argument(parser, "read @ID runs from")


def _add_judging_arguments(parser: argparse.ArgumentParser) -> None:
    """How a comparison tells a change from noise (`compare`, `fleet compare`)."""
    parser.add_argument("--noise-floor", type=percentage, default=compare.NOISE_FLOOR * 100,
                        metavar="PERCENT",
                        help=f"changes within this are never clear (default "
                             f"{compare.NOISE_FLOOR * 100:g})")
    parser.add_argument("--resamples", type=whole(100, compare.MAX_RESAMPLES),
                        default=compare.RESAMPLES, metavar="N",
                        help=f"bootstrap resamples per interval, 100 to "
                             f"{compare.MAX_RESAMPLES} (default {compare.RESAMPLES})")


def _add_fleet_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--fleet", type=path, metavar="DIR",
                        help="the fleet folder (default: the last one under results/)")


def _add_fleet_parsers(commands) -> None:
    fleet_parser = commands.add_parser(
        "fleet", help="sweep on every node of a Slurm cluster, then gather the results",
        description="One sweep per node as a Slurm job array: submit it, follow its tasks, "
                    "import their results into the results store, compare the machines.")
    actions = fleet_parser.add_subparsers(dest="action", required=True)
    submit = actions.add_parser(
        "submit", allow_abbrev=False,
        help="submit one sweep per node (any other option is a `run` option for each task)",
        description="Submits a Slurm job array: each task holds a node exclusively and runs "
                    "`suite run` with the run options given here, writing its own results "
                    "folder in the fleet folder.")
    fleet_commands.add_submit_options(submit)
    _add_run_arguments(submit, fleet=True)
    submit.set_defaults(handler=fleet_commands.submit)
    status = actions.add_parser("status", help="the state of each task of a fleet")
    _add_fleet_argument(status)
    status.set_defaults(handler=fleet_commands.status)
    collect = actions.add_parser(
        "collect", help="import the finished tasks' results into the results store",
        description="Imports every finished task's results folder into the results store and "
                    "reports the tasks that failed, were cancelled or ran out of time, with "
                    "the end of their logs. Exit status 0 when every task is done and imported.")
    _add_fleet_argument(collect)
    collect.add_argument("--wait", action="store_true",
                         help="wait until no task is pending or running")
    collect.add_argument("--poll", type=seconds, default=DEFAULT_POLL, metavar="SECONDS",
                         help=f"with --wait, how often to ask Slurm (default {DEFAULT_POLL:g})")
    add_store_argument(collect, "import the runs into")
    collect.set_defaults(handler=fleet_commands.collect)
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
    _add_judging_arguments(compare_parser)
    compare_parser.set_defaults(handler=fleet_commands.compare)
    task = actions.add_parser(
        "task", help="run one task of a fleet (what each Slurm task runs)",
        description="Runs the sweep of one task of a fleet on this node: builds first with "
                    "--build-per-node, then `suite run` into <task>-<node>/.")
    task.add_argument("--fleet", type=path, required=True, metavar="DIR")
    task.add_argument("--task", type=whole(0, matrix.INT_MAX), required=True, metavar="N")
    task.add_argument("--node", required=True, metavar="NAME")
    task.set_defaults(handler=fleet_commands.task)


def parser() -> argparse.ArgumentParser:
    top = _Parser(prog="suite", description=__doc__.split("\n\n")[0])
    top.add_argument("--version", action=_Version,
                     help="print the suite's version and the git commit of its tree")
    commands = top.add_subparsers(dest="command", required=True)
    run = commands.add_parser(
        "run", help="sweep the programs over sizes and thread counts",
        description="Builds the programs, runs every cell of the sweep (a warm-up and "
                    "--samples checked processes each) and writes results/<date>/.")
    _add_run_arguments(run)
    run.set_defaults(handler=measuring.run)
    ab_parser = commands.add_parser(
        "ab", help="compare two builds in one interleaved run",
        description="Runs the cells of two builds (folders of programs or git revisions) in "
                    "the same rounds, each cell's A and B processes next to each other, and "
                    "reports the median per-round ratio B/A of every cell.")
    ab_parser.add_argument("a", type=text, help="the reference build: a folder of programs or a git revision")
    ab_parser.add_argument("b", type=text, help="the build compared with it")
    ab_parser.add_argument("--fail-above", type=percentage, metavar="PERCENT",
                           help="exit with status 1 when a cell of B is clearly slower by more "
                                "than PERCENT (family-wise 5%% false alarms), a cell of B "
                                "failed, or the gate judged no cell")
    ab_parser.add_argument("--duet", action="store_true",
                           help="run the A and B processes of a cell whose thread count fits "
                                "twice into the usable CPUs at the same time, each on CPUs of "
                                "its own, the CPUs changing hands every round")
    gate = ab_parser.add_argument_group("the gate, for CI")
    gate.add_argument("--thresholds", type=path, metavar="FILE",
                      help="per-cell limits of the gate, one rule a line: CELL-GLOB METRIC "
                           "PERCENT (e.g. 'count_if/* instructions 0.5'); the first rule of "
                           "the run's metric that matches a cell applies, --fail-above to the "
                           "others. The verdicts go to gate.md and gate.xml (JUnit) in the "
                           "A/B folder")
    gate.add_argument("--junit", type=path, metavar="FILE",
                      help="also write the gate's JUnit XML to FILE")
    gate.add_argument("--summary", type=path, metavar="FILE",
                      help="also append the gate's Markdown summary to FILE (e.g. "
                           "$GITHUB_STEP_SUMMARY)")
    _add_run_arguments(ab_parser, ab_command=True)
    ab_parser.set_defaults(handler=measuring.ab)
    test = commands.add_parser("test", help="build, then run every test")
    test.add_argument("--preset", default="release",
                      help="CMake preset: release (default), asan (AddressSanitizer and "
                           "UndefinedBehaviorSanitizer) or clang (built with clang++)")
    test.set_defaults(handler=measuring.test)
    compare_parser = commands.add_parser(
        "compare", help="compare the results of two runs",
        description="Compare two runs' times cell by cell (B against A).")
    _add_compare_arguments(compare_parser)
    compare_parser.set_defaults(handler=results.compare, parser=compare_parser)
    report = commands.add_parser(
        "report", help="rewrite a results directory's files and print its summary",
        description="Rewrite a results folder's summary, exports, HTML report and plots from its "
                    "results.json.")
    report.add_argument("folder", type=path, nargs="?",
                        help="a results folder (results/<date-time>)")
    report.add_argument("--no-plots", action="store_true", help="redraw the files, not the plots")
    report.add_argument("--html", action="store_true",
                        help="write only the HTML report (report.html) and print its path")
    report.add_argument("--store", nargs="?", const="", metavar="PATH",
                        help="with --html and no folder: the history page of the store (default "
                             "results/store.sqlite): each cell's figure over the runs, one "
                             "curve per machine, written to history.html beside the store")
    report.add_argument("--cells", metavar="REGEX",
                        help="with --store: the cells the history page shows (default all)")
    report.add_argument("--out", type=path, metavar="FILE",
                        help="with --store: where the history page goes")
    report.set_defaults(handler=results.report)
    listing = commands.add_parser(
        "list", help="list the programs, their arguments and what a sample of each is",
        description="The benchmark programs as the runner knows them: their arguments and "
                    "defaults, whether they run in the parallel mode, what one sample is.")
    listing.set_defaults(handler=results.list_)
    importing = commands.add_parser(
        "import", help="register results folders in the results store",
        description="Registers the runs of results folders (a run's folder with results.json, "
                    "or an A/B folder with A/ and B/) in the store; a run already there stays "
                    "one run.")
    importing.add_argument("folders", nargs="+", type=path, metavar="DIR",
                           help="a results folder")
    add_store_argument(importing, "register the runs in")
    importing.set_defaults(handler=results.import_)
    past = commands.add_parser(
        "history", help="list the stored runs, or follow cells across them; --remove @N "
                        "takes a run out of the store",
        description="Without CELL-FILTER: every run of the store, newest first. With it: each "
                    "matching cell's median time per call over the runs of each machine, in "
                    "date order, with the changes beyond the noise marked.")
    past.add_argument("cells", nargs="?", metavar="CELL-FILTER",
                      help="a regular expression over cell names "
                           "(count_if/n:1000000/threads:2)")
    past.add_argument("--machine", metavar="HOST", help="only the runs of this host")
    past.add_argument("--json", action="store_true", help="print JSON, for scripts")
    past.add_argument("--metric", choices=model.METRICS, default="time",
                      help="follow the cells' times (default) or their instruction counts, "
                           "from the runs of that metric")
    past.add_argument("--remove", metavar="@N",
                      help="take the run @N out of the store (its results folder is not "
                           "touched), e.g. one the store can no longer read")
    add_store_argument(past, "read")
    past.set_defaults(handler=results.history)
    _add_fleet_parsers(commands)
    # The fleet's commands parse the `run` of each task with this same parser.
    top.set_defaults(top=top)
    return top


def main(argv: list[str]) -> int:
    """`suite <argv>`: the command's handler, its refusal printed in one line. Output
    cut short by its reader (`| head`) ends the command quietly, with the status a
    shell gives a program that SIGPIPE ended, so that a pipeline under pipefail
    sees it as it sees any other program there."""
    try:
        status = perform(parser().parse_args(argv), argv[1:])
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # Python flushes standard output again on exit: let that go nowhere.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return BROKEN_PIPE_STATUS
