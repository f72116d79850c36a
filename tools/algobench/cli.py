"""Command line of the suite: `run` sweeps the programs, `test` runs the tests,
`compare` and `report` work on the results of earlier runs."""

from __future__ import annotations

import argparse
import importlib
import pathlib
import re
import sys

from . import bandwidth, build, matrix, sweep
from .output import PROGRAMS
from .runner import Options

# Subcommands whose arguments go untouched to another module's main(argv).
FORWARDED = {
    "compare": ("algobench.compare", "compare the results of two runs"),
    "report": ("algobench.redraw", "redraw the summary and plots of a results directory"),
}


def _comma_list(text: str) -> list[str]:
    return [item.strip() for item in text.split(",") if item.strip()]


def _positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {text}")
    return value


def _int_list(parse):
    def convert(text: str) -> list[int]:
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return convert


def _add_run_arguments(run: argparse.ArgumentParser) -> None:
    choose = run.add_argument_group("what to measure")
    choose.add_argument("--programs", type=_comma_list, metavar="LIST",
                        help=f"comma-separated programs (default all: {', '.join(PROGRAMS)})")
    choose.add_argument("--sizes", type=_int_list(matrix.parse_sizes), metavar="LIST",
                        help="comma-separated n (1e6 allowed), or a ladder LOW:HIGH:STEPS_PER_DECADE "
                             "(default 1e4:1e7:1)")
    choose.add_argument("--threads", type=_int_list(matrix.parse_int_list), metavar="LIST",
                        help="thread counts of the parallel-mode programs (default 1, 2, 4 ... up "
                             "to the usable CPUs, and their number); sequential ones run at 1")
    choose.add_argument("--filter", metavar="REGEX",
                        help="keep only cells whose name (program/n:N/threads:T) matches")
    how = run.add_argument_group("how to measure")
    how.add_argument("--samples", type=_positive_int, default=5,
                     help="measured processes per cell after the warm-up (default 5)")
    how.add_argument("--min-time", type=_positive_float, default=0.05, metavar="SECONDS",
                     help="shortest timed loop per process for the programs that repeat their "
                          "call (default 0.05)")
    how.add_argument("--timeout", type=_positive_float, default=120.0, metavar="SECONDS",
                     help="longest a single process may run before its cell fails (default 120)")
    how.add_argument("--pin", action="store_true",
                     help="run the parallel-mode programs with OMP_PROC_BIND=close OMP_PLACES=cores")
    how.add_argument("--hugepages", action="store_true",
                     help="run every program with GLIBC_TUNABLES=glibc.malloc.hugetlb=1")
    how.add_argument("--cv-threshold", type=_positive_float, default=sweep.DEFAULT_CV_THRESHOLD,
                     metavar="FRACTION", help="warn about cells whose CV exceeds this (default 0.05)")
    how.add_argument("--no-bandwidth", action="store_true",
                     help="skip the memory bandwidth probe after the cells")
    how.add_argument("--no-plots", action="store_true", help="draw no plots after the cells")
    where = run.add_argument_group("where")
    where.add_argument("--out", type=pathlib.Path, metavar="DIR",
                       help="results directory (default results/<YYYYmmdd-HHMMSS>)")
    where.add_argument("--bin-dir", type=pathlib.Path, metavar="DIR",
                       help="take the programs from DIR instead of building the release preset")
    where.add_argument("--dry-run", action="store_true",
                       help="list the cells and their commands without running anything")


def _run(arguments: argparse.Namespace, argv: list[str]) -> int:
    try:
        cells = matrix.build(arguments.programs, arguments.sizes, arguments.threads,
                             arguments.filter)
    except (ValueError, re.error) as error:
        print(f"suite run: {error}", file=sys.stderr)
        return 2
    if not cells:
        print("suite run: no cell matches", file=sys.stderr)
        return 2
    bin_dir = arguments.bin_dir
    if bin_dir is None:
        targets = build.PROGRAM_TARGETS + (() if arguments.no_bandwidth else (bandwidth.PROBE,))
        bin_dir = (build.build_dir("release") / "bin" if arguments.dry_run
                   else build.ensure_built("release", targets=targets))
    options = Options(bin_dir=bin_dir.resolve(), samples=arguments.samples,
                      min_time=arguments.min_time, timeout=arguments.timeout,
                      pin=arguments.pin, hugepages=arguments.hugepages)
    if arguments.dry_run:
        return sweep.dry_run(cells, options)
    out_dir = arguments.out or sweep.default_out_dir(build.ROOT)
    command_line = [sys.argv[0] if sys.argv and sys.argv[0] else "suite", "run", *argv]
    return sweep.Sweep(cells, options, out_dir, command_line,
                       probe_bandwidth=not arguments.no_bandwidth,
                       draw_plots=not arguments.no_plots,
                       cv_threshold=arguments.cv_threshold).run()


def _test(arguments: argparse.Namespace, argv: list[str]) -> int:
    return build.run_tests(arguments.preset)


def _forward(command: str, argv: list[str]) -> int:
    module = importlib.import_module(FORWARDED[command][0])
    return module.main(argv)


def main(argv: list[str]) -> int:
    # compare and report take their arguments verbatim, options included,
    # which argparse cannot pass through (REMAINDER drops a leading option).
    if argv and argv[0] in FORWARDED:
        return _forward(argv[0], argv[1:])
    parser = argparse.ArgumentParser(prog="suite", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser(
        "run", help="sweep the programs over sizes and thread counts",
        description="Builds the programs, runs every cell of the sweep (a warm-up and "
                    "--samples checked processes each) and writes results/<date>/.")
    _add_run_arguments(run)
    run.set_defaults(handler=_run)
    test = commands.add_parser("test", help="build, then run every test")
    test.add_argument("--preset", default="release", help="CMake preset (default release)")
    test.set_defaults(handler=_test)
    for name, (_, help_text) in FORWARDED.items():
        forwarded = commands.add_parser(name, help=help_text, add_help=False)
        forwarded.add_argument("arguments", nargs=argparse.REMAINDER)
    arguments = parser.parse_args(argv)
    return arguments.handler(arguments, argv[1:])
