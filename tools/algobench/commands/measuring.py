"""The commands that run programs: `run` sweeps one build, `ab` two builds in the
same rounds, `test` builds and runs the tests. A run request is checked whole
(request.check) before anything is built or measured.
"""

from __future__ import annotations

import argparse
import sys

from .. import ab as ab_run
from .. import bandwidth, build, results_folder, sweep
from ..console import Console, print_plan
from ..export import comparison
from ..workload import PARALLEL_MODE
from .request import (Refusal, check, countable, measure, options, prepare_out, built_backends,
                      registered, settle_defaults, terminate_as_interrupt)

# What an A/B run writes beside the two builds' folders A/ and B/.
AB_FILES = ("ab.md", "ab.json", "pairs.csv")
AB_BUILDS = ("A", "B")


def run(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite run`: builds the release programs (unless --bin-dir), then sweeps them."""
    with terminate_as_interrupt():
        note = settle_defaults(arguments, quick=arguments.quick)
        out_dir = arguments.out or results_folder.default_out_dir(build.ROOT)
        cells = check(arguments, out_dir=None if arguments.dry_run else out_dir, note=note)
        bin_dir = arguments.bin_dir
        if bin_dir is None:
            if arguments.dry_run:
                bin_dir = build.build_dir("release") / "bin"
            else:
                try:
                    targets = build.program_targets("release") + (
                        () if arguments.no_bandwidth else (bandwidth.PROBE,))
                    bin_dir = build.ensure_built("release", targets=targets)
                except build.BuildError as error:
                    raise Refusal(str(error), 1) from None
            if bin_dir.is_dir():
                # A dry run before the first build shows every backend asked for.
                cells = built_backends(cells, [bin_dir], arguments.backends)
        run_options = options(arguments, bin_dir.resolve())
        if not arguments.dry_run:
            countable(arguments, cells, [bin_dir])
        if arguments.dry_run:
            print_plan(sweep.plan(cells, run_options), run_options)
            return 0
        claim = prepare_out(arguments, out_dir)
        status, recorder = measure("run", arguments, argv, cells, run_options, claim,
                                   Console(), lambda the_sweep: the_sweep.run())
        return registered("run", recorder, status, out_dir)


def ab(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite ab`: the cells of two builds in the same rounds, and their ratios B/A."""
    settle_defaults(arguments)
    if arguments.backends is None:
        # Every backend would double the time of an A/B run for each one: the
        # eight programs alone unless --backends asks for more.
        arguments.backends = [PARALLEL_MODE]
    out_dir = arguments.out or results_folder.default_out_dir(build.ROOT, prefix="ab-")
    cells = check(arguments, out_dir=out_dir, builds=len(AB_BUILDS))
    needed = tuple(dict.fromkeys(cell.workload.executable for cell in cells))
    try:
        bin_a, name_a = build.resolve_programs(arguments.a, needed=needed)
        bin_b, name_b = build.resolve_programs(arguments.b, needed=needed)
    except build.ProgramsMissing as error:
        raise Refusal(str(error)) from None
    except build.BuildError as error:
        raise Refusal(str(error), 1) from None
    cells = built_backends(cells, [bin_a, bin_b], arguments.backends)
    claim = prepare_out(arguments, out_dir, folders=AB_BUILDS, extra=AB_FILES)
    shown_a, shown_b = f"{arguments.a}: {name_a}", f"{arguments.b}: {name_b}"

    def go(the_sweep: sweep.Sweep) -> ab_run.AbOutcome:
        def write_report(result) -> None:
            warnings = next(iter(the_sweep.runs.values())).context.warnings
            comparison.write_ab(out_dir, result, shown_a, shown_b, warnings)
        return ab_run.run_ab(the_sweep, arguments.fail_above, write_report)

    outcome, recorder = measure("ab", arguments, argv, cells, options(arguments, bin_a), claim,
                                Console(summary_at_end=False), go,
                                variants=ab_run.variants(bin_a, bin_b),
                                extra_rounds=arguments.extra_rounds or 0,
                                unsettled=ab_run.unsettled)
    sys.stdout.write(comparison.render_ab_text(outcome.comparison, shown_a, shown_b))
    if arguments.fail_above is not None:
        for pair, low in outcome.over_limit:
            print(f"suite ab: {pair.label} is {(pair.ratio - 1) * 100:.1f}% slower in B "
                  f"(limit {arguments.fail_above:g}%; the low end of its family-wise interval "
                  f"is {(low - 1) * 100:+.1f}%)", file=sys.stderr)
        for failure in outcome.comparison.failed_b:
            print(f"suite ab: B failed at {failure}", file=sys.stderr)
        if outcome.no_cell:
            print("suite ab: no cell could be compared", file=sys.stderr)
    return registered("ab", recorder, outcome.status, out_dir)


def test(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite test`: builds the preset, then runs CTest."""
    try:
        return build.run_tests(arguments.preset)
    except build.BuildError as error:
        raise Refusal(str(error), 1) from None
