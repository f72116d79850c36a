"""Command line of the suite: `run` sweeps the programs, `test` runs the tests,
`compare` and `report` work on the results of earlier runs, `ab` measures two
builds against each other, `list` shows the programs, `import` and `history`
fill and read the results store, `fleet` runs a sweep on every node of a Slurm cluster.

Whatever the suite cannot use (an option, a results folder, a results file) is
refused before anything runs, in one line on standard error naming it, with
exit status 2; a build that fails ends with one line naming the CMake step,
with exit status 1.

This module assembles the parser and dispatches: each command's parser and
handler are in a module of commands/ (measuring, results, fleet); the handler
turns its parsed options into a typed request at once and raises
request.Refusal for what it cannot do. Below the commands the folders follow the pipeline: plan/ (what
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

from .measure import machine
from .commands import fleet, measuring, results
from .commands.options import Parser
from .commands.request import perform

# Exit status of a command whose reader went away (a shell's, for a process ended by SIGPIPE).
BROKEN_PIPE_STATUS = 141


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


def parser() -> argparse.ArgumentParser:
    top = Parser(prog="suite", description=__doc__.split("\n\n")[0])
    top.add_argument("--version", action=_Version,
                     help="print the suite's version and the git commit of its tree")
    commands = top.add_subparsers(dest="command", required=True)
    measuring.add_parsers(commands)
    results.add_parsers(commands)
    fleet.add_parsers(commands)
    return top


def main(argv: list[str]) -> int:
    """`suite <argv>`: the command's handler, its refusal printed in one line. Output
    cut short by its reader (`| head`) ends the command quietly, with the status a
    shell gives a program that SIGPIPE ended, so that a pipeline under pipefail
    sees it as it sees any other program there."""
    try:
        arguments = parser().parse_args(argv)
        status = perform(arguments.command, getattr(arguments, "action", None),
                         lambda: arguments.handler(arguments, argv[1:]))
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # Python flushes standard output again on exit: let that go nowhere.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return BROKEN_PIPE_STATUS
