"""Command line of the suite: `run` sweeps the programs, `test` runs the tests,
`compare` and `report` work on the results of earlier runs.

The package reads top-down: this module (with console.py, the terminal's
views) calls the orchestration (sweep, redraw), which calls the measurement
(runner, machine, bandwidth, build), which fills the model (workload, model,
derive, findings, compare), which the exporters render. No module imports one
above it.
"""

from __future__ import annotations

import argparse
import pathlib
import random
import re
import sys

from . import ab, bandwidth, build, compare, matrix, model, redraw, sweep
from .console import Console, print_plan
from .export import ab_report, comparison
from .findings import DEFAULT_CV_THRESHOLD
from .runner import Options
from .workload import WORKLOADS


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


def _add_run_arguments(run: argparse.ArgumentParser, ab: bool = False) -> None:
    choose = run.add_argument_group("what to measure")
    choose.add_argument("--programs", type=_comma_list, metavar="LIST",
                        help=f"comma-separated programs (default all: {', '.join(WORKLOADS)})")
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
                     help="rounds, each one measured process of every cell (default 5)")
    how.add_argument("--seed", type=int, metavar="N",
                     help="seed of the rounds' shuffled order (default: a new one, recorded)")
    how.add_argument("--retries", type=int, default=2, metavar="N", choices=range(0, 11),
                     help="how often a round disturbed by other processes is measured again "
                          "(0 to 10, default 2)")
    how.add_argument("--min-time", type=_positive_float, default=0.05, metavar="SECONDS",
                     help="shortest timed loop per process for the programs that repeat their "
                          "call (default 0.05)")
    how.add_argument("--timeout", type=_positive_float, default=120.0, metavar="SECONDS",
                     help="longest a single process may run before its cell fails (default 120)")
    how.add_argument("--pin", action="store_true",
                     help="run the parallel-mode programs with OMP_PROC_BIND=close OMP_PLACES=cores")
    how.add_argument("--hugepages", action="store_true",
                     help="run every program with GLIBC_TUNABLES=glibc.malloc.hugetlb=1")
    how.add_argument("--cv-threshold", type=_positive_float, default=DEFAULT_CV_THRESHOLD,
                     metavar="FRACTION", help="warn about cells whose CV exceeds this (default 0.05)")
    how.add_argument("--no-bandwidth", action="store_true",
                     help="skip the memory bandwidth probe after the cells")
    how.add_argument("--no-plots", action="store_true", help="draw no plots after the cells")
    where = run.add_argument_group("where")
    where.add_argument("--out", type=pathlib.Path, metavar="DIR",
                       help="results directory (default results/<YYYYmmdd-HHMMSS>)")
    if ab:
        return
    where.add_argument("--bin-dir", type=pathlib.Path, metavar="DIR",
                       help="take the programs from DIR instead of building the release preset")
    where.add_argument("--dry-run", action="store_true",
                       help="list the cells and their commands without running anything")


def _cells(arguments: argparse.Namespace, command: str) -> list[matrix.Cell] | None:
    """The matrix the options ask for, or None after saying why there is none."""
    try:
        cells = matrix.build(arguments.programs, arguments.sizes, arguments.threads,
                             arguments.filter)
    except (ValueError, re.error) as error:
        print(f"suite {command}: {error}", file=sys.stderr)
        return None
    if not cells:
        print(f"suite {command}: no cell matches", file=sys.stderr)
        return None
    return cells


def _seed(arguments: argparse.Namespace) -> int:
    if arguments.seed is not None:
        return arguments.seed
    return random.SystemRandom().randrange(2**31)


def _run(arguments: argparse.Namespace, argv: list[str]) -> int:
    cells = _cells(arguments, "run")
    if cells is None:
        return 2
    bin_dir = arguments.bin_dir
    if bin_dir is None:
        targets = build.PROGRAM_TARGETS + (() if arguments.no_bandwidth else (bandwidth.PROBE,))
        bin_dir = (build.build_dir("release") / "bin" if arguments.dry_run
                   else build.ensure_built("release", targets=targets))
    options = Options(bin_dir=bin_dir.resolve(), samples=arguments.samples,
                      min_time=arguments.min_time, timeout=arguments.timeout,
                      pin=arguments.pin, hugepages=arguments.hugepages, seed=_seed(arguments),
                      retries=arguments.retries)
    if arguments.dry_run:
        print_plan(sweep.plan(cells, options), options)
        return 0
    out_dir = arguments.out or sweep.default_out_dir(build.ROOT)
    command_line = [sys.argv[0] if sys.argv and sys.argv[0] else "suite", "run", *argv]
    return sweep.Sweep(cells, options, out_dir, command_line,
                       probe_bandwidth=not arguments.no_bandwidth,
                       draw_plots=not arguments.no_plots,
                       cv_threshold=arguments.cv_threshold,
                       listeners=(Console(),)).run()


def _ab(arguments: argparse.Namespace, argv: list[str]) -> int:
    cells = _cells(arguments, "ab")
    if cells is None:
        return 2
    if arguments.fail_above is not None and not arguments.fail_above >= 0:
        print("suite ab: --fail-above must be a percentage of 0 or more", file=sys.stderr)
        return 2
    try:
        bin_a, name_a = build.resolve_programs(arguments.a)
        bin_b, name_b = build.resolve_programs(arguments.b)
    except build.BuildError as error:
        print(f"suite ab: {error}", file=sys.stderr)
        return 1
    options = Options(bin_dir=bin_a, samples=arguments.samples, min_time=arguments.min_time,
                      timeout=arguments.timeout, pin=arguments.pin,
                      hugepages=arguments.hugepages, seed=_seed(arguments),
                      retries=arguments.retries)
    out_dir = arguments.out or sweep.default_out_dir(build.ROOT).with_name(
        "ab-" + sweep.default_out_dir(build.ROOT).name)
    command_line = [sys.argv[0] if sys.argv and sys.argv[0] else "suite", "ab", *argv]
    the_sweep = sweep.Sweep(cells, options, out_dir, command_line,
                            probe_bandwidth=not arguments.no_bandwidth,
                            draw_plots=not arguments.no_plots,
                            cv_threshold=arguments.cv_threshold,
                            listeners=(Console(summary_at_end=False),),
                            variants=ab.variants(bin_a, bin_b))
    shown_a, shown_b = f"{arguments.a}: {name_a}", f"{arguments.b}: {name_b}"

    def write_report(result) -> None:
        warnings = next(iter(the_sweep.runs.values())).context.warnings
        ab_report.write(out_dir, result, shown_a, shown_b, warnings)

    outcome = ab.run_ab(the_sweep, arguments.fail_above, write_report)
    sys.stdout.write(ab_report.render_text(outcome.comparison, shown_a, shown_b))
    if arguments.fail_above is not None:
        for pair, low in outcome.over_limit:
            print(f"suite ab: {pair.label} is {(pair.ratio - 1) * 100:.1f}% slower in B "
                  f"(limit {arguments.fail_above:g}%; the low end of its family-wise interval "
                  f"is {(low - 1) * 100:+.1f}%)", file=sys.stderr)
        for failure in outcome.comparison.failed_b:
            print(f"suite ab: B failed at {failure}", file=sys.stderr)
        if outcome.no_cell:
            print("suite ab: no cell could be compared", file=sys.stderr)
    return outcome.status


def _test(arguments: argparse.Namespace, argv: list[str]) -> int:
    return build.run_tests(arguments.preset)


def _report(arguments: argparse.Namespace, argv: list[str]) -> int:
    return redraw.report(arguments.folder, plots=not arguments.no_plots)


def _add_compare_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("a", help="the reference run: a results folder or its results.json")
    parser.add_argument("b", help="the run compared with it")
    parser.add_argument("--markdown", action="store_true", help="print Markdown instead of a table")
    parser.add_argument("--out", type=pathlib.Path, help="also write the Markdown report to FILE")
    parser.add_argument("--fail-above", type=float, metavar="PERCENT",
                        help="exit with status 1 when a cell is clearly slower by more than "
                             "PERCENT relative to the run-wide shift (judged on Bonferroni "
                             "intervals: a 5%% chance of a false alarm over all cells), or when "
                             "a cell that ran in A failed or timed out in B")
    parser.add_argument("--noise-floor", type=float, default=compare.NOISE_FLOOR * 100,
                        metavar="PERCENT",
                        help=f"changes within this are never clear (default "
                             f"{compare.NOISE_FLOOR * 100:g})")
    parser.add_argument("--resamples", type=int, default=compare.RESAMPLES,
                        help=f"bootstrap resamples (default {compare.RESAMPLES})")
    parser.add_argument("--no-drift-correction", action="store_true",
                        help="judge each cell's B/A itself instead of its change relative to the "
                             "run-wide shift (for runs known to be interleaved)")


def _compare(arguments: argparse.Namespace, argv: list[str]) -> int:
    parser = arguments.parser
    if arguments.resamples < 100:
        parser.error("--resamples must be at least 100")
    if arguments.noise_floor < 0 or (arguments.fail_above is not None and arguments.fail_above < 0):
        parser.error("percentages must not be negative")
    try:
        a, b = model.load(arguments.a), model.load(arguments.b)
        result = compare.compare(a, b, arguments.noise_floor / 100, arguments.resamples,
                                 drift_correction=not arguments.no_drift_correction,
                                 fail_above=arguments.fail_above)
    except model.ResultsError as error:
        print(f"suite compare: {error}", file=sys.stderr)
        return 2
    name_a = comparison.describe_run(arguments.a, a)
    name_b = comparison.describe_run(arguments.b, b)
    render = comparison.render_markdown if arguments.markdown else comparison.render_text
    sys.stdout.write(render(result, name_a, name_b))
    if arguments.out is not None:
        arguments.out.write_text(comparison.render_markdown(result, name_a, name_b),
                                 encoding="utf-8")
        for warning in result.warnings:
            print(f"warning: {warning}", file=sys.stderr)
    problems = result.problems()
    for problem in problems:
        print(f"suite compare: {problem}", file=sys.stderr)
    return 1 if problems else 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="suite", description=__doc__.split("\n\n")[0])
    commands = top.add_subparsers(dest="command", required=True)
    run = commands.add_parser(
        "run", help="sweep the programs over sizes and thread counts",
        description="Builds the programs, runs every cell of the sweep (a warm-up and "
                    "--samples checked processes each) and writes results/<date>/.")
    _add_run_arguments(run)
    run.set_defaults(handler=_run)
    ab_parser = commands.add_parser(
        "ab", help="compare two builds in one interleaved run",
        description="Runs the cells of two builds (folders of programs or git revisions) in "
                    "the same rounds, each cell's A and B processes next to each other, and "
                    "reports the median per-round ratio B/A of every cell.")
    ab_parser.add_argument("a", help="the reference build: a folder of programs or a git revision")
    ab_parser.add_argument("b", help="the build compared with it")
    ab_parser.add_argument("--fail-above", type=float, metavar="PERCENT",
                           help="exit with status 1 when a cell of B is clearly slower by more "
                                "than PERCENT (family-wise 5%% false alarms), a cell of B "
                                "failed, or no cell could be compared")
    _add_run_arguments(ab_parser, ab=True)
    ab_parser.set_defaults(handler=_ab)
    test = commands.add_parser("test", help="build, then run every test")
    test.add_argument("--preset", default="release", help="CMake preset (default release)")
    test.set_defaults(handler=_test)
    compare_parser = commands.add_parser(
        "compare", help="compare the results of two runs",
        description="Compare two runs' times cell by cell (B against A).")
    _add_compare_arguments(compare_parser)
    compare_parser.set_defaults(handler=_compare, parser=compare_parser)
    report = commands.add_parser(
        "report", help="rewrite a results directory's files and print its summary",
        description="Rewrite a results folder's summary, exports and plots from its results.json.")
    report.add_argument("folder", type=pathlib.Path, help="a results folder (results/<date-time>)")
    report.add_argument("--no-plots", action="store_true", help="redraw the files, not the plots")
    report.set_defaults(handler=_report)
    return top


def main(argv: list[str]) -> int:
    arguments = parser().parse_args(argv)
    return arguments.handler(arguments, argv[1:])
