"""The commands that run programs: `run` sweeps one build, `ab` two builds in the
same rounds, `test` builds and runs the tests. A run request is checked whole
(request.check) before anything is built or measured.
"""

from __future__ import annotations

import argparse
import os
import sys

from ..measure import ab as ab_run
from ..measure import bandwidth, counting, duet, rounds, sweep
from ..plan import build
from ..judge import compare, gate, thresholds
from ..record import results_folder
from .console import Console, print_plan
from ..export import comparison, gate_report
from ..plan.workload import PARALLEL_MODE
from .request import (Refusal, check, countable, measure, options, prepare_out, built_backends,
                      registered, settle_defaults, terminate_as_interrupt)

# What an A/B run writes beside the two builds' folders A/ and B/.
AB_FILES = ("ab.md", "ab.json", "pairs.csv")
AB_BUILDS = ("A", "B")
# What an A/B run with a gate writes beside them: the verdicts as Markdown and JUnit XML.
GATE_FILES = ("gate.md", "gate.xml")
# Why the gate of an interrupted A/B run fails whatever the cells it measured say.
INTERRUPTED = "the run was interrupted: the gate cannot vouch for the cells it did not measure"


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
                    # One turn at the tree for both, so a second run waits once.
                    with build.tree_lock(build.build_dir("release")):
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
        if arguments.dry_run and arguments.metric == "instructions":
            print("\n".join(counting.plan_lines(cells, run_options)))
            return 0
        if arguments.dry_run:
            print_plan(sweep.plan(cells, run_options), run_options)
            return 0
        claim = prepare_out(arguments, out_dir)
        status, recorder = measure("run", arguments, argv, cells, run_options, claim,
                                   Console(), lambda the_sweep: the_sweep.run(),
                                   policy=round_policy(arguments, ab=False))
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
    limit = gate_limits(arguments, cells)
    needed = tuple(dict.fromkeys(cell.workload.executable for cell in cells))
    try:
        bin_a, name_a = build.resolve_programs(arguments.a, needed=needed)
        bin_b, name_b = build.resolve_programs(arguments.b, needed=needed)
    except build.ProgramsMissing as error:
        raise Refusal(str(error)) from None
    except build.BuildError as error:
        raise Refusal(str(error), 1) from None
    cells = built_backends(cells, [bin_a, bin_b], arguments.backends)
    # The cells whose A and B processes run side by side; None without --duet.
    together = ({_label(cell) for cell in cells if duet.cpu_sets(cell.threads)}
                if arguments.duet else None)
    if arguments.duet and not together:
        print(f"note: --duet: no cell's thread count fits twice into the "
              f"{len(os.sched_getaffinity(0))} usable CPUs; every cell runs interleaved",
              file=sys.stderr)
    countable(arguments, cells, [bin_a, bin_b])
    claim = prepare_out(arguments, out_dir, folders=AB_BUILDS, extra=AB_FILES + GATE_FILES)
    shown_a, shown_b = f"{arguments.a}: {name_a}", f"{arguments.b}: {name_b}"
    if arguments.metric == "instructions":
        return _ab_counts(arguments, argv, cells, bin_a, bin_b, claim, out_dir, limit,
                          shown_a, shown_b)

    def go(the_sweep: sweep.Sweep) -> ab_run.AbOutcome:
        def write_report(result) -> None:
            warnings = next(iter(the_sweep.runs.values())).context.warnings
            comparison.write_ab(out_dir, result, shown_a, shown_b, warnings, together)
        return ab_run.run_ab(the_sweep, arguments.fail_above, write_report, limit)

    outcome, recorder = measure("ab", arguments, argv, cells, options(arguments, bin_a), claim,
                                Console(summary_at_end=False), go,
                                variants=ab_run.variants(bin_a, bin_b),
                                policy=round_policy(arguments, ab=True),
                                duet_sets=arguments.duet)
    sys.stdout.write(comparison.render_ab_text(outcome.comparison, shown_a, shown_b, together))
    status = outcome.status
    if limit is not None:
        verdicts = gate.paired_verdicts(outcome.comparison, outcome.over_limit, limit)
        passed, problems = _write_gate(arguments, out_dir, verdicts,
                                       ([gate.NOTHING_COMPARED] if outcome.no_cell else [])
                                       + ([INTERRUPTED] if outcome.interrupted else []))
        for pair, low in outcome.over_limit:
            print(f"suite ab: {pair.label} is {(pair.ratio - 1) * 100:.1f}% slower in B "
                  f"(limit {limit(pair.label):g}%; the low end of its family-wise interval "
                  f"is {(low - 1) * 100:+.1f}%)", file=sys.stderr)
        for failure in outcome.comparison.failed_b:
            print(f"suite ab: B failed at {failure}", file=sys.stderr)
        for problem in problems:
            print(f"suite ab: {problem}", file=sys.stderr)
        if not passed and status == 0:
            status = 1
    return registered("ab", recorder, status, out_dir)


def round_policy(arguments: argparse.Namespace, ab: bool) -> rounds.Policy | None:
    """How the rounds beyond --samples go to the program sizes still scattering:
    by their B/A ratios in an A/B run, by their speedups otherwise; None for none."""
    extra = arguments.extra_rounds
    if extra is None:
        extra = 0 if ab else rounds.RUN_EXTRA_ROUNDS
    if extra == 0:
        return None
    if ab:
        return rounds.Policy(ab_run.SETTLED_WIDTH, extra, arguments.round_budget,
                             rounds.ratio_series)
    return rounds.Policy(rounds.RUN_WIDTH, extra, arguments.round_budget, rounds.speedup_series)


def gate_limits(arguments: argparse.Namespace, cells):
    """Each cell's gate limit, as a function of its label: from --thresholds (the
    others held to --fail-above), or --fail-above for all; None without a gate."""
    if arguments.thresholds is None:
        if arguments.fail_above is None:
            given = [o for o, v in (("--junit", arguments.junit),
                                    ("--summary", arguments.summary)) if v is not None]
            if given:
                verb = "need" if len(given) > 1 else "needs"
                raise Refusal(f"{' and '.join(given)} {verb} a gate: give --fail-above or "
                              "--thresholds")
            return None
    for option, target in (("--junit", arguments.junit), ("--summary", arguments.summary)):
        why = _unwritable(target) if target is not None else None
        if why:
            raise Refusal(f"{option} {target}: {why}")
    rules = None
    if arguments.thresholds is not None:
        try:
            rules = thresholds.read(arguments.thresholds)
            thresholds.check_cells(rules, [_label(cell) for cell in cells])
        except thresholds.ThresholdError as error:
            raise Refusal(f"--thresholds: {error}") from None
    return gate.limits(rules, arguments.fail_above, arguments.metric)


def _unwritable(path) -> str | None:
    """Why the gate could not write a file at `path` once the run is over, or None."""
    if path.is_dir():
        return "is a folder"
    if path.exists():
        return None if os.access(path, os.W_OK) else "cannot be written"
    folder = path.parent
    if not folder.is_dir():
        return f"its folder {folder} does not exist"
    return None if os.access(folder, os.W_OK | os.X_OK) else f"its folder {folder} is not writable"


def _label(cell) -> str:
    return cell.name + (f"/fourth:{cell.fourth}" if cell.fourth is not None else "")


def _write_gate(arguments, out_dir, verdicts, problems: list[str]) -> tuple[bool, list[str]]:
    """gate.md and gate.xml in the A/B folder, and where --junit and --summary say;
    whether the gate passed, and why it failed beyond its cells' own failures
    (`problems`, and a gate that judged no cell)."""
    passed, problems = gate.decide(verdicts, problems)
    try:
        gate_report.write_gate(out_dir, verdicts, passed, problems)
        if arguments.junit is not None:
            arguments.junit.write_text(gate_report.render_junit(verdicts, problems),
                                       encoding="utf-8")
        if arguments.summary is not None:
            with open(arguments.summary, "a", encoding="utf-8") as summary:
                summary.write(gate_report.render_gate_markdown(verdicts, passed, problems))
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        raise Refusal(f"cannot write the gate's verdicts: {where}{error.strerror or error}",
                      1) from None
    return passed, problems


def _ab_counts(arguments, argv, cells, bin_a, bin_b, claim, out_dir, limit, shown_a,
               shown_b) -> int:
    """`suite ab --metric instructions`: both builds' counts and their exact ratios."""
    def go(the_sweep) -> tuple[int, object]:
        status = the_sweep.run()
        result = compare.compare_runs(the_sweep.runs["A"], the_sweep.runs["B"], limit)
        comparison.write_counts_ab(out_dir, result, shown_a, shown_b)
        return status, result, any(run.interrupted for run in the_sweep.runs.values())

    (status, result, interrupted), recorder = measure("ab", arguments, argv, cells, options(arguments, bin_a),
                                         claim, Console(summary_at_end=False), go,
                                         variants=ab_run.variants(bin_a, bin_b))
    sys.stdout.write(comparison.render_text(result, shown_a, shown_b))
    problems = gate.count_problems(result)
    if limit is not None:
        passed, wide = _write_gate(arguments, out_dir, gate.count_verdicts(result),
                                   gate.count_run_problems(result)
                                   + ([INTERRUPTED] if interrupted else []))
        problems += [problem for problem in wide if problem not in problems]
    for problem in problems:
        print(f"suite ab: {problem}", file=sys.stderr)
    if problems and status == 0:
        status = 1
    return registered("ab", recorder, status, out_dir)


def test(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite test`: builds the preset, then runs CTest."""
    try:
        return build.run_tests(arguments.preset)
    except build.BuildError as error:
        raise Refusal(str(error), 1) from None
