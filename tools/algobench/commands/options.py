"""The small pieces the commands share: the parser every command's parser is
(refusing in one line), argparse's value types (each refusing a value in
argparse's own one line), the options of a sweep (`run`, `ab`, `fleet submit`)
and of judging a comparison (`compare`, `fleet compare`) with their defaults,
the results store a command reads or fills, the command line a run records,
how a command line reaches argparse (a negative number as an option's value,
the (sub)command whose parser refuses what it does not take), and how parsed
options become a command's typed request.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import pathlib
import re
import sys
import threading

from .. import model
from ..measure import ab, placement, rounds
from ..judge import compare, verdict
from ..judge.findings import DEFAULT_CV_THRESHOLD
from ..model.contention import RETRIES
from ..plan import build, matrix
from ..plan.workload import BACKENDS, PARALLEL_MODE, WORKLOADS
from ..record import store

# The measurement options' defaults; None in the parsed options means "not given".
DEFAULT_SAMPLES = 5
DEFAULT_MIN_TIME = 0.05
# `run --quick`: a smoke check that everything builds, runs and is checked,
# in seconds; its figures are not worth keeping.
QUICK_SIZES = [100_000]
QUICK_SAMPLES = 2
QUICK_MIN_TIME = 0.01


class Parser(argparse.ArgumentParser):
    """Refuses an option in one line on standard error (exit status 2), without
    the usage block; --help shows that. An option a command does not take is
    refused by that command's parser, pointing to its own --help, and a negative
    number given as an option's value is that value, so that the suite's own
    check refuses it by name."""

    def error(self, message: str):
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")

    def parse_args(self, args=None, namespace=None):
        args = joined_values(self, list(sys.argv[1:] if args is None else args))
        arguments, extra = self.parse_known_args(args, namespace)
        if extra:
            chosen_parser(self, arguments).error(f"unrecognized arguments: {' '.join(extra)}")
        return arguments


def comma_list(text: str) -> list[str]:
    items = [item.strip() for item in text.split(",") if item.strip()]
    if not items:
        raise argparse.ArgumentTypeError(f"no names in {text!r}")
    return items


def _read(text: str, convert, what: str):
    try:
        return convert(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a {what}") from None


def finite(text: str) -> float:
    value = _read(text, float, "number")
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def positive_float(text: str) -> float:
    value = finite(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def seconds(text: str) -> float:
    """A positive duration the runner can wait for (threading's longest timeout)."""
    value = positive_float(text)
    if value > threading.TIMEOUT_MAX:
        raise argparse.ArgumentTypeError(f"must be at most {threading.TIMEOUT_MAX:g} seconds, "
                                         f"got {text}")
    return value


def percentage(text: str) -> float:
    value = finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a percentage of 0 or more, got {text}")
    return value


def margin(text: str) -> float:
    """A margin in percent, within verdict.MARGIN_RANGE."""
    value = finite(text)
    low, high = (bound * 100 for bound in verdict.MARGIN_RANGE)
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"must be a percentage from {low:g} to {high:g}, "
                                         f"got {text}")
    return value


def add_margin_argument(parser, what: str = "comparison") -> None:
    """--margin PERCENT: what `run`, `ab`, `compare` and `report` judge their comparisons at."""
    low, high = (bound * 100 for bound in verdict.MARGIN_RANGE)
    parser.add_argument("--margin", type=margin, default=verdict.DEFAULT_MARGIN * 100,
                        metavar="PERCENT",
                        help=f"judge each {what} at this margin: faster or slower beyond it, "
                             f"equivalent within it, else undecided ({low:g} to {high:g}, "
                             f"default {verdict.DEFAULT_MARGIN * 100:g})")


def positive_int(text: str) -> int:
    value = _read(text, int, "whole number")
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {text}")
    return value


def whole(low: int, high: int):
    """A type for a whole number from `low` to `high`, refused in one short line."""
    def convert(text: str) -> int:
        value = _read(text, int, "whole number")
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {low} to {high}, got {text}")
        return value
    return convert


def text(value: str) -> str:
    """A build, a run or a revision named on the command line: never empty."""
    if not value.strip():
        raise argparse.ArgumentTypeError("an empty name")
    return value


def int_list(parse):
    """A type for a list of sizes or thread counts that `parse` reads."""
    def convert(text: str) -> list[int]:
        try:
            return parse(text)
        except OverflowError:
            raise argparse.ArgumentTypeError(f"{text!r} holds a number too large to be "
                                             "a size or a thread count") from None
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return convert


def path(text: str) -> pathlib.Path:
    """A file or folder named on the command line: an empty one, which would mean
    the current folder, is refused."""
    if not text.strip():
        raise argparse.ArgumentTypeError("an empty path (it would mean the current folder)")
    return pathlib.Path(text)


def add_store_argument(parser, what: str) -> None:
    parser.add_argument("--store", type=path, metavar="PATH",
                        help=f"the results store to {what} (default ${store.STORE_ENV}, else "
                             f"{store.STORE_FILE} in the repository)")


def store_path(given: pathlib.Path | None) -> pathlib.Path:
    """The results store of --store, else the default one."""
    return given or store.default_path(build.ROOT)


def typed(request_type, arguments: argparse.Namespace, **given):
    """The request of type `request_type` (a dataclass) from a command's parsed
    options: each field from the option of its name where the command has one,
    `given` over them. The one place a handler's Namespace is read."""
    found = {field.name: getattr(arguments, field.name)
             for field in dataclasses.fields(request_type)
             if field.init and hasattr(arguments, field.name)}
    return request_type(**{**found, **given})


def command_line(command: str, argv: list[str]) -> list[str]:
    """The command line a run records, as the user typed it."""
    return [sys.argv[0] if sys.argv and sys.argv[0] else "suite", command, *argv]


# A value that argparse would take for an option: a negative number ("-1e4", "-.5", "-inf").
_NEGATIVE = re.compile(r"^-(\.?\d|inf|nan)", re.IGNORECASE)


def _subcommands(parser: argparse.ArgumentParser):
    """The subcommands' parsers of `parser`, by the attribute that names the one chosen."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            yield action.dest, action.choices


def chosen_parser(parser: argparse.ArgumentParser,
            arguments: argparse.Namespace) -> argparse.ArgumentParser:
    """The innermost parser of the (sub)command that `arguments` chose."""
    for dest, choices in _subcommands(parser):
        name = getattr(arguments, dest, None)
        if name in choices:
            return chosen_parser(choices[name], arguments)
    return parser


def _valued_options(parser: argparse.ArgumentParser) -> set[str]:
    """Every option of `parser` and its subcommands that takes exactly one value."""
    found = {option for action in parser._actions if action.nargs is None
             and not isinstance(action, argparse._SubParsersAction)
             for option in action.option_strings}
    for _, choices in _subcommands(parser):
        for sub in choices.values():
            found |= _valued_options(sub)
    return found


def joined_values(parser: argparse.ArgumentParser, args: list[str]) -> list[str]:
    """The arguments as argparse can take them: `--sizes -1e4` as `--sizes=-1e4`
    (argparse would take the value for an option); `--pin close` and `--pin
    spread` as `--pin=MODE`, and a bare `--pin` (as scripts wrote it before it
    took a mode) as `--pin=close`, so that what follows a bare one (`ab --pin A
    B`) stays the argument it was."""
    valued = _valued_options(parser)
    joined: list[str] = []
    index = 0
    while index < len(args):
        token = args[index]
        following = args[index + 1] if index + 1 < len(args) else None
        if token == "--":
            joined += args[index:]
            break
        if token in valued and following is not None and _NEGATIVE.match(following):
            joined.append(f"{token}={following}")
            index += 2
        elif token == "--pin":
            mode = following if following in placement.PIN_MODES else None
            joined.append(f"--pin={mode or placement.PIN_MODES[0]}")
            index += 2 if mode else 1
        else:
            joined.append(token)
            index += 1
    return joined


def add_run_arguments(run: argparse.ArgumentParser, ab_command: bool = False,
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
                         help="up to N more rounds, after --samples, for the program sizes "
                              + (f"whose B/A ratios still scatter: intervals wider than "
                                 f"{ab.SETTLED_WIDTH * 100:g}%% of the ratio (0 to 100; "
                                 "default 0)" if ab_command else
                                 "with a comparison still undecided that more rounds can "
                                 f"decide (0 to 100; default {rounds.RUN_EXTRA_ROUNDS}; 0: "
                                 "every program size gets --samples rounds)"))
        how.add_argument("--round-budget", type=seconds, metavar="SECONDS",
                         help="the most time the rounds beyond --samples take together "
                              f"(default: {rounds.BUDGET_SHARE * 100:g}%% of what the "
                              "--samples rounds took)")
    how.add_argument("--min-time", type=seconds, metavar="SECONDS",
                     help="shortest timed loop per process for the programs that repeat their "
                          f"call (default {DEFAULT_MIN_TIME:g})")
    how.add_argument("--timeout", type=seconds, default=120.0, metavar="SECONDS",
                     help="longest a single process may run before its cell fails (default "
                          "120; under callgrind, --metric instructions, 50 times as long)")
    how.add_argument("--pin", choices=placement.PIN_MODES, metavar="[close|spread]",
                     help="run a t-thread cell of every backend on the same t CPUs: close, "
                          "the default, takes the first t cores (one hardware thread each, "
                          "then their second ones), spread spreads them over the NUMA nodes "
                          "or sockets; OpenMP programs get those CPUs as OMP_PLACES with "
                          "OMP_PROC_BIND=close")
    how.add_argument("--numa", choices=placement.NUMA_POLICIES,
                     help="run the programs under numactl: local, each page on the node of "
                          "the thread that first touches it (--localalloc), or interleave, "
                          "page by page over the nodes of the cell's CPUs (default: the "
                          "kernel's first touch, without numactl)")
    how.add_argument("--hugepages", action="store_true",
                     help="run every program with GLIBC_TUNABLES=glibc.malloc.hugetlb=1")
    how.add_argument("--cv-threshold", type=positive_float, default=DEFAULT_CV_THRESHOLD,
                     metavar="FRACTION", help="warn about cells whose CV exceeds this (default 0.05)")
    add_margin_argument(how, "B/A ratio" if ab_command else
                        "comparison (a backend against another, against the sequential build)")
    how.add_argument("--budget", type=positive_float, metavar="MINUTES",
                     help="leave out inner sizes and thread counts (never the smallest and "
                          "largest size, 1 thread or the most threads) until the sweep's "
                          "estimate fits in MINUTES; refused when even those do not fit")
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
    how.add_argument("--refine", type=seconds, nargs="?", const=0.0, metavar="SECONDS",
                     help="after the cells, measure sizes between the ends of each bracket "
                          "where going parallel starts to pay, until every bracket is within a "
                          "factor of 2 or SECONDS are spent (default: as long as the cells took)")
    where.add_argument("--bin-dir", type=path, metavar="DIR",
                       help="take the programs from DIR instead of building the release preset")
    if fleet:
        return
    where.add_argument("--dry-run", action="store_true",
                       help="list the cells and their commands without running anything")


def add_judging_arguments(parser: argparse.ArgumentParser) -> None:
    """How a comparison tells a change from noise (`compare`, `fleet compare`)."""
    parser.add_argument("--noise-floor", type=percentage, default=compare.NOISE_FLOOR * 100,
                        metavar="PERCENT",
                        help=f"changes within this are never clear (default "
                             f"{compare.NOISE_FLOOR * 100:g})")
    parser.add_argument("--resamples", type=whole(100, compare.MAX_RESAMPLES),
                        default=compare.RESAMPLES, metavar="N",
                        help=f"bootstrap resamples per interval, 100 to "
                             f"{compare.MAX_RESAMPLES} (default {compare.RESAMPLES})")
