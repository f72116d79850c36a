"""The commands that run programs: `run` sweeps one build, `ab` two builds in the
same rounds, `check-machine` compares placements of one cell, `test` builds and
runs the tests. A run request is checked whole
(request.check) before anything is built or measured.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import pathlib
import sys

from ..measure import ab as ab_run
from ..measure import bandwidth, duet, machine_check, rounds, sweep
from ..files import dump_json, replace_file
from ..plan import build, matrix
from ..judge import gate, thresholds
from ..record import results_folder
from .console import Console
from ..export import gate_report
from ..plan.workload import PARALLEL_MODE, WORKLOADS
from .options import (Parser, add_run_arguments, int_list, path, percentage, positive_int,
                      seconds, text)
from .planning import estimate_line, estimated
from .request import (Refusal, RunRequest, check, countable, measure,
                      options, prepare_out, built_backends, registered, terminate_as_interrupt)

# What an A/B run writes beside the two builds' folders A/ and B/.
AB_FILES = ("ab.md", "ab.json", "pairs.csv")
AB_BUILDS = ("A", "B")
# What an A/B run with a gate writes beside them: the verdicts as Markdown and JUnit XML.
GATE_FILES = ("gate.md", "gate.xml")
# Why the gate of an interrupted A/B run fails whatever the cells it measured say.
INTERRUPTED = "the run was interrupted: the gate cannot vouch for the cells it did not measure"


@dataclasses.dataclass
class AbRequest(RunRequest):
    """`ab`'s options: the two builds, the gate's, and those of the sweep."""
    a: str = ""
    b: str = ""
    fail_above: float | None = None
    duet: bool = False
    thresholds: pathlib.Path | None = None
    junit: pathlib.Path | None = None
    summary: pathlib.Path | None = None


def add_parsers(commands) -> None:
    """The parsers of `run`, `ab` and `test` among the suite's `commands`."""
    running = commands.add_parser(
        "run", help="sweep the programs over sizes and thread counts",
        description="Builds the programs, runs every cell of the sweep (a warm-up and "
                    "--samples checked processes each) and writes results/<date>/.")
    add_run_arguments(running)
    running.set_defaults(handler=run)
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
    add_run_arguments(ab_parser, ab_command=True)
    ab_parser.set_defaults(handler=ab)
    checking = commands.add_parser(
        "check-machine", help="check that pinning, the thread ladder and NUMA placement work here",
        description="Measures one program (count_if, parallel mode and c++17-par) at one large "
                    "size over the default thread ladder, unpinned, pinned close, pinned spread "
                    "and, with numactl, with local and interleaved memory, side by side in the "
                    "same rounds; prints a short table (and writes it with the machine's shape "
                    "to check.md and check.json) to send us: a few minutes on 16 cores.")
    checking.add_argument("--size", type=int_list(matrix.parse_sizes), metavar="N",
                          help=f"the array size n, 1e6 allowed (default {machine_check.SIZE:,})")
    checking.add_argument("--samples", type=positive_int, default=5,
                          help="rounds (default 5)")
    checking.add_argument("--min-time", type=seconds, default=0.1, metavar="SECONDS",
                          help="shortest timed loop per process (default 0.1)")
    checking.add_argument("--bin-dir", type=path, metavar="DIR",
                          help="take the programs from DIR instead of building the release preset")
    checking.add_argument("--out", type=path, metavar="DIR",
                          help="where check.md and check.json go (default results/check-<date>); "
                               "a new or empty folder")
    checking.set_defaults(handler=check_machine)
    testing = commands.add_parser("test", help="build, then run every test")
    testing.add_argument("--preset", default="release",
                      help="CMake preset: release (default), asan (AddressSanitizer and "
                           "UndefinedBehaviorSanitizer) or clang (built with clang++)")
    testing.set_defaults(handler=test)


def run_parser() -> Parser:
    """`run`'s parser alone, for the `run` a fleet's task makes of its options."""
    parser = Parser(prog="suite run")
    add_run_arguments(parser)
    return parser


def run(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite run`: builds the release programs (unless --bin-dir), then sweeps them."""
    request = RunRequest.of(arguments)
    with terminate_as_interrupt():
        out_dir = request.out or results_folder.default_out_dir(build.ROOT)
        cells = check(request, out_dir=None if request.dry_run else out_dir, note=request.note)
        bin_dir = request.bin_dir
        if bin_dir is None:
            if request.dry_run:
                bin_dir = build.build_dir("release") / "bin"
            else:
                try:
                    # One turn at the tree for both, so a second run waits once.
                    with build.tree_lock(build.build_dir("release")):
                        targets = build.program_targets("release") + (
                            () if request.no_bandwidth else (bandwidth.PROBE,))
                        bin_dir = build.ensure_built("release", targets=targets)
                except build.BuildError as error:
                    raise Refusal(str(error), 1) from None
            if bin_dir.is_dir():
                # A dry run before the first build shows every backend asked for.
                cells = built_backends(cells, [bin_dir], request.backends)
        run_options = options(request, bin_dir.resolve())
        if not request.dry_run:
            countable(request, cells, [bin_dir])
        if request.dry_run:
            print("\n".join(sweep.plan_lines(cells, run_options, request.metric)), flush=True)
            print(estimate_line(request, cells), file=sys.stderr)
            return 0
        claim = prepare_out(request, out_dir)
        status, recorder = measure("run", request, argv, cells, run_options, claim,
                                   Console(estimate=estimated(request, cells)),
                                   lambda the_sweep: the_sweep.run(),
                                   policy=round_policy(request, ab=False),
                                   refine=request.refine)
        return registered("run", recorder, status, out_dir)


def ab(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite ab`: the cells of two builds in the same rounds, and their ratios B/A."""
    request = AbRequest.of(arguments, extra_rounds=0)
    if request.backends is None:
        # Every backend would double the time of an A/B run for each one: the
        # eight programs alone unless --backends asks for more.
        request.backends = [PARALLEL_MODE]
    out_dir = request.out or results_folder.default_out_dir(build.ROOT, prefix="ab-")
    cells = check(request, out_dir=out_dir, builds=len(AB_BUILDS))
    limit = gate_limits(request, cells)
    needed = tuple(dict.fromkeys(cell.workload.executable for cell in cells))
    try:
        bin_a, name_a = build.resolve_programs(request.a, needed=needed)
        bin_b, name_b = build.resolve_programs(request.b, needed=needed)
    except build.ProgramsMissing as error:
        raise Refusal(str(error)) from None
    except build.BuildError as error:
        raise Refusal(str(error), 1) from None
    cells = built_backends(cells, [bin_a, bin_b], request.backends)
    # The cells whose A and B processes run side by side; None without --duet.
    together = ({_label(cell) for cell in cells if duet.cpu_sets(cell.threads)}
                if request.duet else None)
    if request.duet and not together:
        print(f"note: --duet: no cell's thread count fits twice into the "
              f"{len(os.sched_getaffinity(0))} usable CPUs; every cell runs interleaved",
              file=sys.stderr)
    countable(request, cells, [bin_a, bin_b])
    claim = prepare_out(request, out_dir, folders=AB_BUILDS, extra=AB_FILES + GATE_FILES)
    report = ab_run.Report(out_dir, f"{request.a}: {name_a}", f"{request.b}: {name_b}",
                           together)
    outcome, recorder = measure("ab", request, argv, cells, options(request, bin_a), claim,
                                Console(summary_at_end=False,
                                        estimate=estimated(request, cells, len(AB_BUILDS))),
                                lambda the_sweep: ab_run.run_ab(the_sweep, limit, report),
                                variants=ab_run.variants(bin_a, bin_b),
                                policy=round_policy(request, ab=True),
                                duet_sets=request.duet)
    sys.stdout.write(outcome.text)
    status, said = outcome.status, outcome.said
    if limit is not None:
        passed, problems = _write_gate(request, out_dir, outcome.verdicts, outcome.problems
                                       + ([INTERRUPTED] if outcome.interrupted else []))
        said += [problem for problem in problems if problem not in said]
        if not passed and status == 0:
            status = 1
    for line in said:
        print(f"suite ab: {line}", file=sys.stderr)
    return registered("ab", recorder, status, out_dir)


def round_policy(request: RunRequest, ab: bool) -> rounds.Policy | None:
    """How the rounds beyond --samples go to the program sizes with an answer
    still open: by the width of their B/A ratios in an A/B run, by the
    verdicts of their comparisons otherwise; None for none."""
    extra = request.extra_rounds
    if extra == 0:
        return None
    if ab:
        return rounds.Policy(extra, request.round_budget, rounds.width_rule(ab_run.SETTLED_WIDTH),
                             f"B/A intervals narrower than {ab_run.SETTLED_WIDTH * 100:g}%")
    return rounds.Policy(extra, request.round_budget, rounds.judge_answers,
                         "faster, slower or equivalent at the margin")


def gate_limits(request: AbRequest, cells):
    """Each cell's gate limit, as a function of its label: from --thresholds (the
    others held to --fail-above), or --fail-above for all; None without a gate."""
    if request.thresholds is None:
        if request.fail_above is None:
            given = [o for o, v in (("--junit", request.junit),
                                    ("--summary", request.summary)) if v is not None]
            if given:
                verb = "need" if len(given) > 1 else "needs"
                raise Refusal(f"{' and '.join(given)} {verb} a gate: give --fail-above or "
                              "--thresholds")
            return None
    for option, target in (("--junit", request.junit), ("--summary", request.summary)):
        why = _unwritable(target) if target is not None else None
        if why:
            raise Refusal(f"{option} {target}: {why}")
    rules = None
    if request.thresholds is not None:
        try:
            rules = thresholds.read(request.thresholds)
            thresholds.check_cells(rules, [_label(cell) for cell in cells])
        except thresholds.ThresholdError as error:
            raise Refusal(f"--thresholds: {error}") from None
    return gate.limits(rules, request.fail_above, request.metric)


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


def _write_gate(request: AbRequest, out_dir, verdicts,
                problems: list[str]) -> tuple[bool, list[str]]:
    """gate.md and gate.xml in the A/B folder, and where --junit and --summary say;
    whether the gate passed, and why it failed beyond its cells' own failures
    (`problems`, and a gate that judged no cell)."""
    passed, problems = gate.decide(verdicts, problems)
    try:
        gate_report.write_gate(out_dir, verdicts, passed, problems)
        if request.junit is not None:
            request.junit.write_text(gate_report.render_junit(verdicts, problems),
                                       encoding="utf-8")
        if request.summary is not None:
            with open(request.summary, "a", encoding="utf-8") as summary:
                summary.write(gate_report.render_gate_markdown(verdicts, passed, problems))
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        raise Refusal(f"cannot write the gate's verdicts: {where}{error.strerror or error}",
                      1) from None
    return passed, problems


def check_machine(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite check-machine`: one cell in every placement, side by side."""
    sizes = arguments.size or [machine_check.SIZE]
    if len(sizes) != 1:
        raise Refusal("--size takes one size")
    out = arguments.out or results_folder.default_out_dir(build.ROOT, prefix="check-")
    if out.exists() and (not out.is_dir() or any(out.iterdir())):
        raise Refusal(f"--out {out}: " + ("not a folder" if not out.is_dir() else
                                          "not empty: give a new or empty folder"))
    bin_dir = arguments.bin_dir
    if bin_dir is None:
        try:
            with build.tree_lock(build.build_dir("release")):
                bin_dir = build.ensure_built("release", targets=build.program_targets("release"))
        except build.BuildError as error:
            raise Refusal(str(error), 1) from None
    if not bin_dir.is_dir():
        raise Refusal(f"--bin-dir {bin_dir} is not a folder")
    # A build without oneTBB has no c++17-par variant: the parallel mode alone is checked.
    workload = WORKLOADS[machine_check.PROGRAM]
    backends = [b for b in machine_check.BACKENDS
                if not build.missing_programs(bin_dir, [workload.executable_for(b)])]
    if PARALLEL_MODE not in backends:
        raise Refusal(f"--bin-dir {bin_dir} lacks {workload.executable}")
    result = machine_check.check(bin_dir.resolve(), backends=backends, n=sizes[0],
                                 samples=arguments.samples,
                                 min_time=arguments.min_time,
                                 progress=lambda line: print(line, file=sys.stderr, flush=True))
    text = machine_check.table(result)
    sys.stdout.write(text)
    try:
        out.mkdir(parents=True, exist_ok=True)
        replace_file(out / "check.md", text)
        replace_file(out / "check.json", dump_json(result))
    except OSError as error:
        raise Refusal(f"cannot write {out}: {error.strerror or error}") from None
    print(f"written to {out}/check.md and check.json", file=sys.stderr)
    return 0


def test(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite test`: builds the preset, then runs CTest."""
    try:
        return build.run_tests(arguments.preset)
    except build.BuildError as error:
        raise Refusal(str(error), 1) from None
