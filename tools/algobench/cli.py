"""Command line of the suite: `run` sweeps the programs, `test` runs the tests,
`compare` and `report` work on the results of earlier runs, `ab` measures two
builds against each other, `list` shows the programs, `import` and `history`
fill and read the results store, `fleet` runs a sweep on every node of a Slurm cluster.

Whatever the suite cannot use (an option, a results folder, a results file) is
refused before anything runs, in one line on standard error naming it, with
exit status 2; a build that fails ends with one line naming the CMake step,
with exit status 1.

The package reads top-down: this module (with console.py, the terminal's
views) calls the orchestration (sweep, redraw, store), which calls the measurement
(runner, machine, bandwidth, build), which fills the model (workload, model,
derive, findings, compare), which the exporters render. No module imports one
above it.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import importlib
import math
import pathlib
import random
import re
import shlex
import signal
import sys
import tempfile
import threading

from . import (ab, bandwidth, build, compare, fleet, machine, machines, matrix, model, redraw,
               slurm, store, sweep)
from .console import Console, print_plan
from .export import ab_report, comparison, html, history
from .export import machines as machines_view
from .files import replace_file
from .findings import DEFAULT_CV_THRESHOLD
from .runner import Options
from .workload import BACKENDS, PARALLEL_MODE, WORKLOADS

# The measurement options' defaults; None in the parsed options means "not given".
DEFAULT_SAMPLES = 5
DEFAULT_MIN_TIME = 0.05
# `run --quick`: a smoke check that everything builds, runs and is checked,
# in seconds; its figures are not worth keeping.
QUICK_SIZES = [100_000]
QUICK_SAMPLES = 2
QUICK_MIN_TIME = 0.01
# What an A/B run writes beside the two builds' folders A/ and B/.
AB_FILES = ("ab.md", "ab.json", "pairs.csv")
AB_BUILDS = ("A", "B")


class _Parser(argparse.ArgumentParser):
    """Refuses an option in one line on standard error (exit status 2), without
    the usage block; --help shows that."""

    def error(self, message: str):
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _comma_list(text: str) -> list[str]:
    items = [item.strip() for item in text.split(",") if item.strip()]
    if not items:
        raise argparse.ArgumentTypeError(f"no names in {text!r}")
    return items


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def _positive_float(text: str) -> float:
    value = _finite(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def _seconds(text: str) -> float:
    """A positive duration the runner can wait for (threading's longest timeout)."""
    value = _positive_float(text)
    if value > threading.TIMEOUT_MAX:
        raise argparse.ArgumentTypeError(f"must be at most {threading.TIMEOUT_MAX:g} seconds, "
                                         f"got {text}")
    return value


def _percentage(text: str) -> float:
    value = _finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a percentage of 0 or more, got {text}")
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {text}")
    return value


def _int_list(parse):
    def convert(text: str) -> list[int]:
        try:
            return parse(text)
        except OverflowError:
            raise argparse.ArgumentTypeError(f"{text!r} holds a number too large to be "
                                             "a size or a thread count") from None
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return convert


def _add_run_arguments(run: argparse.ArgumentParser, ab: bool = False,
                       fleet: bool = False) -> None:
    """The options of a sweep; `ab` leaves out what an A/B run has no use for, and
    `fleet` what a fleet decides itself (where each task writes, what a dry run is)."""
    choose = run.add_argument_group("what to measure")
    choose.add_argument("--programs", type=_comma_list, metavar="LIST",
                        help=f"comma-separated programs (default all: {', '.join(WORKLOADS)})")
    choose.add_argument("--sizes", type=_int_list(matrix.parse_sizes), metavar="LIST",
                        help="comma-separated n (1e6 allowed), or a ladder LOW:HIGH:STEPS_PER_DECADE "
                             "(default 1e4:1e7:1)")
    choose.add_argument("--threads", type=_int_list(matrix.parse_int_list), metavar="LIST",
                        help="thread counts of the parallel-mode programs (default 1, 2, 4 ... up "
                             "to the usable CPUs, and their number); sequential ones run at 1")
    choose.add_argument("--backends", type=_comma_list, metavar="LIST",
                        help=f"comma-separated backends, or all: every one built ("
                             f"{', '.join(BACKENDS)}; default all for run, {PARALLEL_MODE} "
                             "for ab)")
    choose.add_argument("--filter", metavar="REGEX",
                        help="keep only cells whose name (program/n:N/threads:T, and "
                             "/backend:NAME for the backends other than the parallel mode) "
                             "matches")
    how = run.add_argument_group("how to measure")
    how.add_argument("--samples", type=_positive_int,
                     help=f"rounds, each one measured process of every cell (default "
                          f"{DEFAULT_SAMPLES})")
    how.add_argument("--seed", type=int, metavar="N",
                     help="seed of the rounds' shuffled order (default: a new one, recorded)")
    how.add_argument("--retries", type=int, default=2, metavar="N", choices=range(0, 11),
                     help="how often a round disturbed by other processes is measured again "
                          "(0 to 10, default 2)")
    how.add_argument("--min-time", type=_seconds, metavar="SECONDS",
                     help="shortest timed loop per process for the programs that repeat their "
                          f"call (default {DEFAULT_MIN_TIME:g})")
    how.add_argument("--timeout", type=_seconds, default=120.0, metavar="SECONDS",
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
    if not fleet:
        where.add_argument("--out", type=pathlib.Path, metavar="DIR",
                           help="results directory (default results/<YYYYmmdd-HHMMSS>); it must "
                                "be new or empty unless --force is given")
        where.add_argument("--force", action="store_true",
                           help="use a --out folder that holds files: an earlier run's results "
                                "there are removed first, anything else is kept")
        _add_store_argument(where, "register the run in")
    if ab:
        return
    how.add_argument("--quick", action="store_true",
                     help=f"a smoke check, not figures: n = {QUICK_SIZES[0]}, {QUICK_SAMPLES} "
                          f"rounds, --min-time {QUICK_MIN_TIME:g}, no bandwidth probe (options "
                          "given explicitly still apply)")
    where.add_argument("--bin-dir", type=pathlib.Path, metavar="DIR",
                       help="take the programs from DIR instead of building the release preset")
    if fleet:
        return
    where.add_argument("--dry-run", action="store_true",
                       help="list the cells and their commands without running anything")


def _add_store_argument(parser, what: str) -> None:
    parser.add_argument("--store", type=pathlib.Path, metavar="PATH",
                        help=f"the results store to {what} (default ${store.STORE_ENV}, else "
                             f"{store.STORE_FILE} in the repository)")


def _store_path(arguments: argparse.Namespace) -> pathlib.Path:
    return arguments.store or store.default_path(build.ROOT)


def _registered(command: str, recorder: store.Recorder, status: int,
                out_dir: pathlib.Path) -> int:
    """Says where the sweep's runs went in the store, or, in one line, that they
    could not go there: the exit status is then 1 unless it already says worse."""
    if recorder.error is not None:
        print(f"suite {command}: the results were not registered: {recorder.error}; they are "
              f"complete in {out_dir}, and `./suite import {out_dir}` registers them once the "
              "store can be used", file=sys.stderr)
        return status or 1
    ids = ", ".join(f"@{run_id}" + (f" ({name})" if name else "")
                    for name, run_id in recorder.ids.items())
    if ids:
        print(f"stored as {ids} in {recorder.path}", file=sys.stderr)
    return status


def _cells(arguments: argparse.Namespace, command: str,
           cpus: int | None = None) -> list[matrix.Cell] | None:
    """The matrix the options ask for (default thread counts up to `cpus`, by default
    this machine's), or None after saying why there is none."""
    try:
        cells = matrix.build(arguments.programs, arguments.sizes, arguments.threads,
                             arguments.filter, cpus=cpus,
                             backends=_backends_or_all(arguments.backends))
    except (ValueError, re.error) as error:
        print(f"suite {command}: {error}", file=sys.stderr)
        return None
    if not cells:
        print(f"suite {command}: no cell matches", file=sys.stderr)
        return None
    try:
        matrix.check_limits(cells)
    except ValueError as error:
        print(f"suite {command}: {error}", file=sys.stderr)
        return None
    return cells


def _backends_or_all(requested: list[str] | None) -> list[str]:
    """The backends named, or every one for none given or "all"."""
    return list(BACKENDS) if not requested or requested == ["all"] else requested


def _swept_backends(cells: list[matrix.Cell], bin_dirs: list[pathlib.Path],
                    requested: list[str] | None, command: str) -> list[matrix.Cell] | None:
    """The cells of the backends every build in `bin_dirs` holds. A backend asked
    for by --backends that a build lacks is refused with the reason (a C++17
    variant built without oneTBB would run sequentially, so it is never built);
    without --backends, the ones a build lacks are left out with a note."""
    programs = {c.program for c in cells}
    lacking: dict[str, str] = {}
    said: set[str] = set()  # the ones a build tree says it left out, with the reason
    for bin_dir in bin_dirs:
        status, declared = build.backends_built(bin_dir, programs)
        for backend, reason in status.items():
            if reason is not None:
                lacking.setdefault(backend, reason)
                if declared:
                    said.add(backend)
    if requested and requested != ["all"]:
        refused = [b for b in dict.fromkeys(requested) if b in lacking]
        if refused:
            print(f"suite {command}: --backends: "
                  + "; ".join(f"{b} is not built: {lacking[b]}" for b in refused),
                  file=sys.stderr)
            return None
        return cells
    swept = {c.backend for c in cells}
    left_out = {b: r for b, r in lacking.items() if b in swept}
    kept = [c for c in cells if c.backend not in left_out]
    # A folder of programs without the variants (one built before they
    # existed) simply has the parallel mode; a build tree that could not
    # build a backend says why.
    for backend, reason in left_out.items():
        if backend in said:
            print(f"note: {backend} not swept: {reason}", file=sys.stderr)
    if not kept:
        print(f"suite {command}: no cell of a built backend matches", file=sys.stderr)
        return None
    return kept


def _settle_defaults(arguments: argparse.Namespace, quick: bool = False) -> str | None:
    """Fills the measurement options not given, with --quick's values when asked;
    returns the note a quick run prints, naming what it chose."""
    chosen = []
    if quick and arguments.sizes is None:
        arguments.sizes = list(QUICK_SIZES)
        chosen.append(f"n = {QUICK_SIZES[0]}")
    if arguments.samples is None:
        arguments.samples = QUICK_SAMPLES if quick else DEFAULT_SAMPLES
        if quick:
            chosen.append(f"{QUICK_SAMPLES} rounds")
    if arguments.min_time is None:
        arguments.min_time = QUICK_MIN_TIME if quick else DEFAULT_MIN_TIME
        if quick:
            chosen.append(f"--min-time {QUICK_MIN_TIME:g}")
    if quick and not arguments.no_bandwidth:
        arguments.no_bandwidth = True
        chosen.append("no bandwidth probe")
    if not quick:
        return None
    return ("quick run" + (f" ({', '.join(chosen)})" if chosen else "") + ": a smoke check that "
            "the programs build, run and pass their checks; its figures are not for comparing "
            "or keeping")


def _seed(arguments: argparse.Namespace) -> int:
    if arguments.seed is not None:
        return arguments.seed
    return random.SystemRandom().randrange(2**31)


def _command_line(command: str, argv: list[str]) -> list[str]:
    return [sys.argv[0] if sys.argv and sys.argv[0] else "suite", command, *argv]


def _programs_present(bin_dir: pathlib.Path, cells: list[matrix.Cell], command: str) -> bool:
    """Whether --bin-dir holds every program the cells run; says what is missing if not."""
    if not bin_dir.is_dir():
        what = "is not a folder" if bin_dir.exists() else "does not exist"
        print(f"suite {command}: --bin-dir {bin_dir} {what}", file=sys.stderr)
        return False
    needed = list(dict.fromkeys(cell.executable for cell in cells))
    missing = build.missing_programs(bin_dir, needed)
    if missing:
        print(f"suite {command}: --bin-dir {bin_dir} lacks {', '.join(missing)} (no such "
              "executable file there)", file=sys.stderr)
        return False
    return True


def _out_refused(command: str, arguments: argparse.Namespace, out_dir: pathlib.Path,
                 prepare: bool, **layout) -> bool:
    """Checks (or, with `prepare`, makes ready) the results folder; says why it cannot be
    used and returns True when it cannot."""
    try:
        if prepare:
            sweep.prepare_out_dir(out_dir, arguments.force, **layout)
        else:
            sweep.check_out_dir(out_dir, arguments.force)
    except sweep.OutDirError as error:
        print(f"suite {command}: {'--out ' if arguments.out else ''}{error}", file=sys.stderr)
        return True
    return False


def _stopped(command: str, error: OSError) -> int:
    """A file or folder of the results that could not be written, in one line."""
    where = f"{error.filename}: " if error.filename else ""
    print(f"suite {command}: cannot write the results: {where}{error.strerror or error}",
          file=sys.stderr)
    return 2


@contextlib.contextmanager
def _terminate_as_interrupt():
    """SIGTERM, which a batch system sends before it kills a job that is cancelled or
    out of time, ends a sweep as Ctrl-C does: what was measured is written, the run
    marked interrupted."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _run(arguments: argparse.Namespace, argv: list[str]) -> int:
    with _terminate_as_interrupt():
        return _run_sweep(arguments, argv)


def _run_sweep(arguments: argparse.Namespace, argv: list[str]) -> int:
    note = _settle_defaults(arguments, quick=arguments.quick)
    cells = _cells(arguments, "run")
    if cells is None:
        return 2
    if note is not None:
        print(note, file=sys.stderr)
    bin_dir = arguments.bin_dir
    if bin_dir is not None:
        cells = _swept_backends(cells, [bin_dir], arguments.backends, "run") \
            if bin_dir.is_dir() else cells
        if cells is None or not _programs_present(bin_dir, cells, "run"):
            return 2
    out_dir = arguments.out or sweep.default_out_dir(build.ROOT)
    if not arguments.dry_run and _out_refused("run", arguments, out_dir, prepare=False):
        return 2
    if bin_dir is None:
        if arguments.dry_run:
            bin_dir = build.build_dir("release") / "bin"
        else:
            try:
                targets = build.program_targets("release") + (
                    () if arguments.no_bandwidth else (bandwidth.PROBE,))
                bin_dir = build.ensure_built("release", targets=targets)
            except build.BuildError as error:
                print(f"suite run: {error}", file=sys.stderr)
                return 1
    if bin_dir.is_dir() and arguments.bin_dir is None:
        # A dry run before the first build shows every backend asked for.
        cells = _swept_backends(cells, [bin_dir], arguments.backends, "run")
        if cells is None:
            return 2
    options = Options(bin_dir=bin_dir.resolve(), samples=arguments.samples,
                      min_time=arguments.min_time, timeout=arguments.timeout,
                      pin=arguments.pin, hugepages=arguments.hugepages, seed=_seed(arguments),
                      retries=arguments.retries)
    if arguments.dry_run:
        print_plan(sweep.plan(cells, options), options)
        return 0
    if _out_refused("run", arguments, out_dir, prepare=True):
        return 2
    recorder = store.Recorder(_store_path(arguments))
    try:
        status = sweep.Sweep(cells, options, out_dir, _command_line("run", argv),
                             probe_bandwidth=not arguments.no_bandwidth,
                             draw_plots=not arguments.no_plots,
                             cv_threshold=arguments.cv_threshold,
                             listeners=(Console(), recorder)).run()
    except OSError as error:
        recorder.abandon()
        return _stopped("run", error)
    except KeyboardInterrupt:
        recorder.abandon(store.INTERRUPTED)
        raise
    return _registered("run", recorder, status, out_dir)


def _ab(arguments: argparse.Namespace, argv: list[str]) -> int:
    _settle_defaults(arguments)
    if arguments.backends is None:
        # Every backend would double the time of an A/B run for each one: the
        # eight programs alone unless --backends asks for more.
        arguments.backends = [PARALLEL_MODE]
    cells = _cells(arguments, "ab")
    if cells is None:
        return 2
    out_dir = arguments.out or sweep.default_out_dir(build.ROOT, prefix="ab-")
    if _out_refused("ab", arguments, out_dir, prepare=False):
        return 2
    try:
        bin_a, name_a = build.resolve_programs(arguments.a)
        bin_b, name_b = build.resolve_programs(arguments.b)
    except build.BuildError as error:
        print(f"suite ab: {error}", file=sys.stderr)
        return 1
    cells = _swept_backends(cells, [bin_a, bin_b], arguments.backends, "ab")
    if cells is None:
        return 2
    if _out_refused("ab", arguments, out_dir, prepare=True, folders=AB_BUILDS, extra=AB_FILES):
        return 2
    options = Options(bin_dir=bin_a, samples=arguments.samples, min_time=arguments.min_time,
                      timeout=arguments.timeout, pin=arguments.pin,
                      hugepages=arguments.hugepages, seed=_seed(arguments),
                      retries=arguments.retries)
    recorder = store.Recorder(_store_path(arguments))
    the_sweep = sweep.Sweep(cells, options, out_dir, _command_line("ab", argv),
                            probe_bandwidth=not arguments.no_bandwidth,
                            draw_plots=not arguments.no_plots,
                            cv_threshold=arguments.cv_threshold,
                            listeners=(Console(summary_at_end=False), recorder),
                            variants=ab.variants(bin_a, bin_b),
                            extra_rounds=arguments.extra_rounds or 0,
                            unsettled=ab.unsettled)
    shown_a, shown_b = f"{arguments.a}: {name_a}", f"{arguments.b}: {name_b}"

    def write_report(result) -> None:
        warnings = next(iter(the_sweep.runs.values())).context.warnings
        ab_report.write(out_dir, result, shown_a, shown_b, warnings)

    try:
        outcome = ab.run_ab(the_sweep, arguments.fail_above, write_report)
    except OSError as error:
        recorder.abandon()
        return _stopped("ab", error)
    except KeyboardInterrupt:
        recorder.abandon(store.INTERRUPTED)
        raise
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
    return _registered("ab", recorder, outcome.status, out_dir)


def _test(arguments: argparse.Namespace, argv: list[str]) -> int:
    try:
        return build.run_tests(arguments.preset)
    except build.BuildError as error:
        print(f"suite test: {error}", file=sys.stderr)
        return 1


def _report(arguments: argparse.Namespace, argv: list[str]) -> int:
    if arguments.store is not None:
        return _history_page(arguments)
    if arguments.folder is None:
        print("suite report: give a results folder, or --html --store for the history page",
              file=sys.stderr)
        return 2
    return redraw.report(arguments.folder, plots=not arguments.no_plots, html_only=arguments.html)


def _history_page(arguments: argparse.Namespace) -> int:
    """`report --html --store [PATH]`: every stored cell (or those --cells picks)
    over the runs and across the machines, as one page."""
    if not arguments.html or arguments.folder is not None:
        print("suite report: --store draws the history page: give --html and no folder",
              file=sys.stderr)
        return 2
    try:
        re.compile(arguments.cells)
    except re.error as error:
        print(f"suite report: --cells {arguments.cells!r} is not a regular expression: {error}",
              file=sys.stderr)
        return 2
    path = pathlib.Path(_store_path(arguments))
    missing = _missing_store("report", path, 1)
    if missing is not None:
        return missing
    try:
        with store.Store.open(path) as the_store:
            series = the_store.history(arguments.cells)
    except store.StoreError as error:
        print(f"suite report: {error}", file=sys.stderr)
        return 1
    if not series:
        print(f"suite report: no stored cell matches {arguments.cells!r}", file=sys.stderr)
        return 1
    out = arguments.out or path.parent / "history.html"
    try:
        replace_file(out, html.render_history(series, f"algobench history: {path.name}"))
    except OSError as error:
        print(f"suite report: cannot write {out}: {error.strerror or error}", file=sys.stderr)
        return 2
    print(out)
    return 0


# The arguments every program reads first, with the defaults the programs use.
PROGRAM_ARGUMENTS = (("n", 10000), ("threads", 1), ("repetitions", 1))


def _fourth_default(workload) -> str:
    """A program's own fourth argument, in words: a constant, or the rule the sweep
    follows when the program's default is that same rule."""
    if workload.fourth_default is None:
        return "none"
    probes = (1000, 10_000, 1_000_000)
    values = [workload.fourth_default(n) for n in probes]
    if len(set(values)) == 1:
        return str(values[0])
    if workload.fourth_of_n is not None and workload.fourth_rule \
            and values == [workload.fourth_of_n(n) for n in probes]:
        return workload.fourth_rule.split("=", 1)[-1].strip()
    return f"{workload.fourth_default(PROGRAM_ARGUMENTS[0][1])} at n = {PROGRAM_ARGUMENTS[0][1]}"


def _parallel_text(workload) -> str:
    if not workload.parallel:
        return "no: sequential, the thread count is only echoed"
    if not workload.has_parallel_call:
        return (f"built in the parallel mode, but libstdc++ has no parallel {workload.name}: "
                "every thread count runs the same sequential call")
    text = (f"yes: the call runs on the OpenMP team from n = {workload.parallel_min_n}"
            if workload.parallel_min_n is not None else "yes")
    if workload.max_threads is not None:
        text += f"; at most {workload.max_threads} threads"
    return text


def render_list() -> str:
    """Every program of the workload table: arguments and defaults, parallel mode, sample."""
    lines = []
    for workload in WORKLOADS.values():
        arguments = [f"{name} (default {default})" for name, default in PROGRAM_ARGUMENTS]
        if workload.fourth_name is not None:
            fourth = f"{workload.fourth_name} (default {_fourth_default(workload)}"
            if workload.fourth_rule:
                fourth += f"; the sweep passes {workload.fourth_rule}"
            arguments.append(fourth + ")")
        lines += [f"{workload.name}  ({workload.executable})",
                  f"  arguments:     {', '.join(arguments)}",
                  f"  parallel mode: {_parallel_text(workload)}",
                  "  backends:      " + ", ".join(f"{b} ({workload.executable_for(b)})"
                                                  for b in workload.backends),
                  f"  one sample:    {workload.sample_meaning}",
                  ""]
    return "\n".join(lines)


def _list(arguments: argparse.Namespace, argv: list[str]) -> int:
    sys.stdout.write(render_list())
    return 0


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
    parser.add_argument("a", help="the reference run: a results folder, its results.json, or "
                                  "@ID, a run of the store (`./suite history` lists them)")
    parser.add_argument("b", help="the run compared with it")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--markdown", action="store_true", help="print Markdown instead of a table")
    shown.add_argument("--json", action="store_true",
                       help="print the comparison as JSON, for scripts")
    parser.add_argument("--out", type=pathlib.Path, metavar="FILE",
                        help="also write the Markdown report to FILE")
    parser.add_argument("--fail-above", type=_percentage, metavar="PERCENT",
                        help="exit with status 1 when a cell is clearly slower by more than "
                             "PERCENT relative to the run-wide shift (judged on Bonferroni "
                             "intervals: a 5%% chance of a false alarm over all cells), or when "
                             "a cell that ran in A failed or timed out in B")
    parser.add_argument("--noise-floor", type=_percentage, default=compare.NOISE_FLOOR * 100,
                        metavar="PERCENT",
                        help=f"changes within this are never clear (default "
                             f"{compare.NOISE_FLOOR * 100:g})")
    parser.add_argument("--resamples", type=_positive_int, default=compare.RESAMPLES,
                        metavar="N",
                        help=f"bootstrap resamples per interval, at least 100 (default "
                             f"{compare.RESAMPLES})")
    parser.add_argument("--no-drift-correction", action="store_true",
                        help="judge each cell's B/A itself instead of its change relative to the "
                             "run-wide shift (for runs known to be interleaved)")
    _add_store_argument(parser, "read @ID runs from")


# A run of the store on the command line: "@12". A folder of that name is "./@12".
STORED_RUN = re.compile(r"@(\d+)")


def _missing_store(command: str, path: pathlib.Path, code: int) -> int | None:
    """A store that is not there yet, said in one line (a command that only reads
    it does not create it); None when it is there."""
    if path.exists():
        return None
    print(f"suite {command}: there is no store at {path} yet: `./suite run`, `./suite ab` "
          "and `./suite import DIR` fill it", file=sys.stderr)
    return code


def _compared_runs(arguments: argparse.Namespace) -> tuple[model.Run, model.Run]:
    """The two runs `compare` reads: results folders (or files), or runs of the store."""
    stored = [STORED_RUN.fullmatch(text) for text in (arguments.a, arguments.b)]
    if not any(stored):
        return redraw.load(arguments.a), redraw.load(arguments.b)
    with store.Store.open(_store_path(arguments)) as the_store:
        a, b = (the_store.load_run(int(match.group(1))) if match else redraw.load(text)
                for match, text in zip(stored, (arguments.a, arguments.b)))
    return a, b


def _compare(arguments: argparse.Namespace, argv: list[str]) -> int:
    parser = arguments.parser
    if arguments.resamples < 100:
        parser.error(f"argument --resamples: must be at least 100, got {arguments.resamples}")
    if any(STORED_RUN.fullmatch(text) for text in (arguments.a, arguments.b)):
        missing = _missing_store("compare", _store_path(arguments), 2)
        if missing is not None:
            return missing
    try:
        a, b = _compared_runs(arguments)
        result = compare.compare(a, b, arguments.noise_floor / 100, arguments.resamples,
                                 drift_correction=not arguments.no_drift_correction,
                                 fail_above=arguments.fail_above)
    except (model.ResultsError, store.StoreError) as error:
        print(f"suite compare: {error}", file=sys.stderr)
        return 2
    name_a = comparison.describe_run(arguments.a, a)
    name_b = comparison.describe_run(arguments.b, b)
    if arguments.out is not None:
        try:
            arguments.out.write_text(comparison.render_markdown(result, name_a, name_b),
                                     encoding="utf-8")
        except OSError as error:
            print(f"suite compare: cannot write --out {arguments.out}: "
                  f"{error.strerror or error}", file=sys.stderr)
            return 2
    if arguments.json:
        sys.stdout.write(comparison.render_json(result, name_a, name_b))
    else:
        render = comparison.render_markdown if arguments.markdown else comparison.render_text
        sys.stdout.write(render(result, name_a, name_b))
    if arguments.out is not None:
        for warning in result.warnings:
            print(f"warning: {warning}", file=sys.stderr)
    problems = result.problems()
    for problem in problems:
        print(f"suite compare: {problem}", file=sys.stderr)
    return 1 if problems else 0


def _import(arguments: argparse.Namespace, argv: list[str]) -> int:
    unreadable = 0
    try:
        with store.Store.open(_store_path(arguments)) as the_store:
            for folder in arguments.folders:
                try:
                    found = the_store.import_results(folder)
                except model.ResultsError as error:
                    print(f"suite import: {error}", file=sys.stderr)
                    unreadable += 1
                    continue
                for run_id, what, run_folder in found:
                    print(f"@{run_id} {what}: {run_folder}")
    except store.StoreError as error:
        print(f"suite import: {error}", file=sys.stderr)
        return 1
    return 2 if unreadable else 0


def _history(arguments: argparse.Namespace, argv: list[str]) -> int:
    pattern = arguments.cells
    if pattern is not None:
        try:
            re.compile(pattern)
        except re.error as error:
            print(f"suite history: CELL-FILTER {pattern!r} is not a regular expression: {error}",
                  file=sys.stderr)
            return 2
    path = _store_path(arguments)
    missing = _missing_store("history", path, 1)
    if missing is not None:
        return missing
    try:
        with store.Store.open(path) as the_store:
            if pattern is None:
                rows = [row for row in the_store.runs()
                        if arguments.machine is None or row.host == arguments.machine]
            else:
                series = the_store.history(pattern, arguments.machine)
    except store.StoreError as error:
        print(f"suite history: {error}", file=sys.stderr)
        return 1
    if pattern is None:
        sys.stdout.write(history.runs_json(rows, str(path)) if arguments.json
                         else history.render_runs(rows))
        return 0
    if arguments.json:
        sys.stdout.write(history.history_json(series, str(path), pattern, arguments.machine,
                                              store.CHANGE_RULE))
    elif series:
        sys.stdout.write(history.render_history(series, store.CHANGE_RULE))
    if not series:
        on = f" on {arguments.machine}" if arguments.machine is not None else ""
        print(f"suite history: no cell of the store{on} matches {pattern!r} (cell names are "
              "like count_if/n:1000000/threads:2)", file=sys.stderr)
        return 1
    return 0


# -- fleet: one sweep per node of a Slurm cluster

# How often `fleet collect --wait` asks Slurm again, by default.
DEFAULT_POLL = 20.0


def _fleet_options(parser: argparse.ArgumentParser) -> None:
    """The options `fleet submit` takes for itself; all others go to each task's `run`."""
    cluster = parser.add_argument_group("cluster")
    cluster.add_argument("--partition", metavar="P", help="Slurm partition (default: Slurm's)")
    nodes = cluster.add_mutually_exclusive_group()
    nodes.add_argument("--nodes", type=_positive_int, metavar="N",
                       help="N tasks, each on a node of its own while they run (default 1)")
    nodes.add_argument("--nodelist", metavar="LIST",
                       help="one task on each of these nodes (a Slurm node list: node[1-4],gpu1)")
    cluster.add_argument("--time", metavar="LIMIT",
                         help="time limit of each task (minutes, HH:MM:SS, D-HH:MM ...; default "
                              f"{fleet.TIME_RULE})")
    cluster.add_argument("--build-per-node", action="store_true",
                         help="build the programs on each node (default: once, at submit time, "
                              "for nodes that share the architecture and toolchain)")
    cluster.add_argument("--fleet", type=pathlib.Path, metavar="DIR",
                         help="the fleet folder, new or empty (default results/fleet-<date-time>)")
    cluster.add_argument("--dry-run", action="store_true",
                         help="print the tasks, the time limit, the sbatch command and the batch "
                              "script; build and submit nothing")


def _split_fleet_argv(argv: list[str]) -> list[str]:
    """The run options among `fleet submit`'s arguments: everything that is not the
    fleet's own, nor --bin-dir, which each task is given resolved."""
    own = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    _fleet_options(own)
    own.add_argument("--bin-dir")
    _, rest = own.parse_known_args(argv)
    return rest


def _fleet_folder(arguments: argparse.Namespace, command: str) -> fleet.Fleet | None:
    try:
        folder = arguments.fleet or fleet.latest(build.ROOT / "results")
        return fleet.Fleet.load(folder)
    except fleet.FleetError as error:
        print(f"suite fleet {command}: {error}", file=sys.stderr)
        return None


def _fleet_submit(arguments: argparse.Namespace, argv: list[str]) -> int:
    def refuse(message: str, status: int = 2) -> int:
        print(f"suite fleet submit: {message}", file=sys.stderr)
        return status

    run_options = _split_fleet_argv(argv[1:])
    try:  # each task's `run` gets exactly these: its parser must take them now
        parser().parse_args(["run", *run_options])
    except SystemExit:
        return 2
    settled = copy.copy(arguments)
    _settle_defaults(settled, quick=settled.quick)
    time_given = None
    if arguments.time is not None:
        try:
            time_minutes = fleet.parse_time_limit(arguments.time)
        except ValueError as error:
            return refuse(f"--time: {error}")
        time_given = arguments.time
    if arguments.fleet is not None and arguments.fleet.exists():
        if not arguments.fleet.is_dir():
            return refuse(f"--fleet {arguments.fleet} exists and is not a folder")
        if next(arguments.fleet.iterdir(), None) is not None:
            return refuse(f"--fleet {arguments.fleet} is not empty: a fleet needs a new or "
                          "empty folder")
    folder = arguments.fleet or sweep.default_out_dir(build.ROOT, prefix="fleet-")
    bin_dir = arguments.bin_dir
    # What can be refused without the cluster is refused before asking Slurm.
    cells = _cells(copy.copy(settled), "fleet submit")
    if cells is not None and bin_dir is not None:
        cells = _swept_backends(cells, [bin_dir], settled.backends, "fleet submit") \
            if bin_dir.is_dir() else cells
        if cells is not None and not _programs_present(bin_dir, cells, "fleet submit"):
            return 2
    if cells is None:
        return 2
    try:
        nodelist = slurm.hostnames(arguments.nodelist) if arguments.nodelist else None
    except slurm.SlurmError as error:
        return refuse(str(error))
    try:
        cpus = slurm.node_cpus(arguments.partition, nodelist)
    except slurm.SlurmError as error:
        return refuse(str(error), 1)
    where = f" in partition {arguments.partition}" if arguments.partition else ""
    if nodelist:
        unknown = [node for node in nodelist if node not in cpus]
        if unknown:
            return refuse(f"--nodelist: Slurm lists no node {', '.join(unknown)}{where}")
    elif not cpus:
        return refuse(f"Slurm lists no node{where}")
    tasks = len(nodelist) if nodelist else (arguments.nodes or 1)
    # Without --threads each node sweeps its own CPU counts: plan for the largest.
    cells = _cells(settled, "fleet submit", cpus=max(cpus.values()))
    if cells is None:
        return 2
    if bin_dir is not None:
        cells = _swept_backends(cells, [bin_dir], settled.backends, "fleet submit") \
            if bin_dir.is_dir() else cells
        if cells is None or not _programs_present(bin_dir, cells, "fleet submit"):
            return 2
        bin_dir = bin_dir.resolve()
    estimate = fleet.estimate_seconds(cells, settled.samples, settled.min_time)
    if time_given is None:
        time_minutes = fleet.time_limit_minutes(estimate, arguments.build_per_node)
    targets = build.PROGRAM_TARGETS + (() if settled.no_bandwidth else (bandwidth.PROBE,))
    request = fleet.Request(
        folder=folder, run_options=run_options, tasks=tasks, nodelist=nodelist,
        partition=arguments.partition, time_minutes=time_minutes, time_given=time_given,
        estimate_seconds=estimate, cells=len(cells),
        build="given" if bin_dir is not None else
        ("per-node" if arguments.build_per_node else "shared"),
        bin_dir=bin_dir, targets=targets, suite=build.ROOT / "suite",
        command_line=_command_line("fleet", argv))
    limit = (f"{fleet.format_minutes(time_minutes)} (given)" if time_given else
             f"{fleet.format_minutes(time_minutes)} ({fleet.TIME_RULE}; estimate "
             f"{estimate / 60:.1f} min for {len(cells)} cells)")
    if tasks > len(cpus) and not nodelist:
        print(f"note: {tasks} tasks but {len(cpus)} node(s): some tasks will run one after "
              "another on the same node", file=sys.stderr)
    if arguments.dry_run:
        placed = ", ".join(nodelist) if nodelist else "any node of the partition, one each"
        sbatch = ["sbatch", *request.sbatch_options(), str(folder / fleet.JOB_SCRIPT)]
        built = f"{request.build} ({bin_dir})" if bin_dir else request.build
        print(f"fleet folder: {folder}", f"tasks: {tasks} ({placed})", f"time limit: {limit}",
              f"build: {built}", f"run options: {shlex.join(run_options) or '(none)'}",
              f"sbatch: {shlex.join(sbatch)}", "", sep="\n")
        sys.stdout.write(fleet.job_script(folder, request.suite))
        return 0

    def build_programs(tree: pathlib.Path) -> pathlib.Path:
        return build.build_tree(tree, targets)

    try:
        submitted = fleet.submit(request, build_programs,
                                 say=lambda text: print(text, file=sys.stderr))
    except fleet.FleetError as error:
        return refuse(str(error))
    except (slurm.SlurmError, build.BuildError) as error:
        return refuse(str(error), 1)
    print(f"submitted Slurm job {submitted.job_id}: {tasks} task{'s' if tasks != 1 else ''}, "
          f"time limit {limit}", f"fleet folder: {submitted.folder}",
          f"follow it with `suite fleet status --fleet {submitted.folder}`, gather it with "
          f"`suite fleet collect --wait --fleet {submitted.folder}`", sep="\n")
    return 0


def _fleet_status(arguments: argparse.Namespace, argv: list[str]) -> int:
    found_fleet = _fleet_folder(arguments, "status")
    if found_fleet is None:
        return 2
    sys.stdout.write(fleet.render_status(found_fleet, fleet.statuses(found_fleet)))
    return 0


def _fleet_collect(arguments: argparse.Namespace, argv: list[str]) -> int:
    found_fleet = _fleet_folder(arguments, "collect")
    if found_fleet is None:
        return 2
    if arguments.wait:
        last: list[str] = []

        def progress(found) -> None:
            counts: dict[str, int] = {}
            for status in found:
                counts[status.state] = counts.get(status.state, 0) + 1
            line = ", ".join(f"{count} {state}" for state, count in counts.items())
            unknown = [s.detail for s in found if s.state == fleet.UNKNOWN]
            line += f" ({unknown[0]})" if unknown else ""
            if line != (last[0] if last else None):
                print(f"fleet {found_fleet.folder.name}: {line}", file=sys.stderr)
                last[:] = [line]

        found = fleet.wait_until_finished(found_fleet, arguments.poll, progress)
    else:
        found = fleet.statuses(found_fleet)
    try:
        collected = fleet.collect(found_fleet, found, _store_path(arguments))
    except fleet.FleetError as error:
        print(f"suite fleet collect: {error}", file=sys.stderr)
        return 2
    report, problems = fleet.render_collected(found_fleet, collected)
    sys.stdout.write(report)
    for problem in problems:
        print(f"suite fleet collect: {problem}", file=sys.stderr)
    return 1 if problems else 0


def _fleet_compare(arguments: argparse.Namespace, argv: list[str]) -> int:
    def refuse(message: str) -> int:
        print(f"suite fleet compare: {message}", file=sys.stderr)
        return 2

    if arguments.resamples < 100:
        return refuse(f"--resamples must be at least 100, got {arguments.resamples}")
    if arguments.folders and arguments.fleet:
        return refuse("give either --fleet or results folders, not both")
    if arguments.folders:
        named = [(str(folder), folder) for folder in arguments.folders]
    else:
        found_fleet = _fleet_folder(arguments, "compare")
        if found_fleet is None:
            return 2
        named = fleet.results_folders(found_fleet)
        if not named:
            return refuse(f"no task of {found_fleet.folder} has left results yet")
    try:
        runs = [(name, redraw.load(folder)) for name, folder in named]
    except model.ResultsError as error:
        return refuse(str(error))
    if arguments.folders:
        runs = _machine_names(runs)
    if arguments.reference is not None:
        chosen = [item for item in runs if item[0] == arguments.reference]
        if not chosen:
            return refuse(f"--reference {arguments.reference} is none of "
                          f"{', '.join(name for name, _ in runs)}")
        runs = chosen + [item for item in runs if item[0] != arguments.reference]
    try:
        view = machines.compare_machines(runs, arguments.noise_floor / 100, arguments.resamples,
                                         relative=arguments.relative)
    except (ValueError, model.ResultsError) as error:
        return refuse(str(error))
    if arguments.html is not None:
        out = arguments.html or (pathlib.Path(named[0][1]).parent / "machines.html")
        try:
            replace_file(out, html.render_machines(view, dict(runs), "algobench: machines"))
        except OSError as error:
            print(f"suite fleet compare: cannot write {out}: {error.strerror or error}",
                  file=sys.stderr)
            return 2
        print(out, file=sys.stderr)
    render = machines_view.render_json if arguments.json else machines_view.render_text
    sys.stdout.write(render(view))
    return 0


def _machine_names(runs: list[tuple[str, model.Run]]) -> list[tuple[str, model.Run]]:
    """Results folders named by their host where that tells them apart, else by path."""
    hosts = [run.context.get("host") for _, run in runs]
    if all(hosts) and len(set(hosts)) == len(hosts):
        return [(host, run) for host, (_, run) in zip(hosts, runs)]
    return runs


def _fleet_task(arguments: argparse.Namespace, argv: list[str]) -> int:
    with _terminate_as_interrupt():
        try:
            found_fleet = fleet.Fleet.load(arguments.fleet)
            task = found_fleet.task(arguments.task)
        except fleet.FleetError as error:
            print(f"suite fleet task: {error}", file=sys.stderr)
            return 2
        name = task.folder_name(arguments.node)
        manifest = found_fleet.manifest
        if manifest["build"] == "per-node":
            tree = found_fleet.folder / fleet.BUILDS / name
            print(f"task {task.index} on {arguments.node}: building the programs into {tree}",
                  file=sys.stderr)
            try:
                bin_dir = build.build_tree(tree, tuple(manifest["build_targets"]))
            except build.BuildError as error:
                print(f"suite fleet task: {error}", file=sys.stderr)
                return 1
        else:
            bin_dir = pathlib.Path(manifest["bin_dir"])
        run_argv = [*found_fleet.run_options, "--bin-dir", str(bin_dir),
                    "--out", str(found_fleet.folder / name)]
        print(f"task {task.index} of job {found_fleet.job_id} on {arguments.node}: "
              f"suite run {shlex.join(run_argv)}", file=sys.stderr, flush=True)
        # A run registers itself in the results store as it goes: here in a scratch
        # store on the node, never in a SQLite file on the shared filesystem that
        # other nodes write too. `fleet collect` imports the folder afterwards.
        with tempfile.TemporaryDirectory(prefix="algobench-task-") as scratch:
            status = main(["run", *run_argv, "--store", str(pathlib.Path(scratch) / "s.sqlite")])
        print(f"task {task.index}: this node's scratch store is removed; `suite fleet collect` "
              "imports the results folder into the results store", file=sys.stderr)
        return status


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
    _fleet_options(submit)
    _add_run_arguments(submit, fleet=True)
    submit.set_defaults(handler=_fleet_submit)
    status = actions.add_parser("status", help="the state of each task of a fleet")
    status.add_argument("--fleet", type=pathlib.Path, metavar="DIR",
                        help="the fleet folder (default: the last one under results/)")
    status.set_defaults(handler=_fleet_status)
    collect = actions.add_parser(
        "collect", help="import the finished tasks' results into the results store",
        description="Imports every finished task's results folder into the results store and "
                    "reports the tasks that failed, were cancelled or ran out of time, with "
                    "the end of their logs. Exit status 0 when every task is done and imported.")
    collect.add_argument("--fleet", type=pathlib.Path, metavar="DIR",
                         help="the fleet folder (default: the last one under results/)")
    collect.add_argument("--wait", action="store_true",
                         help="wait until no task is pending or running")
    collect.add_argument("--poll", type=_seconds, default=DEFAULT_POLL, metavar="SECONDS",
                         help=f"with --wait, how often to ask Slurm (default {DEFAULT_POLL:g})")
    _add_store_argument(collect, "import the runs into")
    collect.set_defaults(handler=_fleet_collect)
    compare_parser = actions.add_parser(
        "compare", help="the cells of a fleet's machines side by side",
        description="Every cell's median time on each machine, and each machine's verdict "
                    "against the first (or --reference) by the rules of `suite compare`.")
    compare_parser.add_argument("folders", nargs="*", type=pathlib.Path, metavar="FOLDER",
                                help="results folders to compare instead of a fleet's")
    compare_parser.add_argument("--fleet", type=pathlib.Path, metavar="DIR",
                                help="the fleet folder (default: the last one under results/)")
    compare_parser.add_argument("--reference", metavar="MACHINE",
                                help="the machine the others are judged against (default the "
                                     "first)")
    compare_parser.add_argument("--relative", action="store_true",
                                help="remove each machine's run-wide shift: show the cells that "
                                     "differ more or less than the machine as a whole")
    compare_parser.add_argument("--json", action="store_true", help="print the table as JSON")
    compare_parser.add_argument("--html", nargs="?", const="", type=pathlib.Path, metavar="FILE",
                                help="also write the table as a page, each machine's context a "
                                     "click away (default FILE: machines.html in the fleet "
                                     "folder)")
    compare_parser.add_argument("--noise-floor", type=_percentage,
                                default=compare.NOISE_FLOOR * 100, metavar="PERCENT",
                                help=f"changes within this are never clear (default "
                                     f"{compare.NOISE_FLOOR * 100:g})")
    compare_parser.add_argument("--resamples", type=_positive_int, default=compare.RESAMPLES,
                                metavar="N", help=f"bootstrap resamples per interval, at least "
                                                  f"100 (default {compare.RESAMPLES})")
    compare_parser.set_defaults(handler=_fleet_compare)
    task = actions.add_parser(
        "task", help="run one task of a fleet (what each Slurm task runs)",
        description="Runs the sweep of one task of a fleet on this node: builds first with "
                    "--build-per-node, then `suite run` into <task>-<node>/.")
    task.add_argument("--fleet", type=pathlib.Path, required=True, metavar="DIR")
    task.add_argument("--task", type=int, required=True, metavar="N")
    task.add_argument("--node", required=True, metavar="NAME")
    task.set_defaults(handler=_fleet_task)


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
    run.set_defaults(handler=_run)
    ab_parser = commands.add_parser(
        "ab", help="compare two builds in one interleaved run",
        description="Runs the cells of two builds (folders of programs or git revisions) in "
                    "the same rounds, each cell's A and B processes next to each other, and "
                    "reports the median per-round ratio B/A of every cell.")
    ab_parser.add_argument("a", help="the reference build: a folder of programs or a git revision")
    ab_parser.add_argument("b", help="the build compared with it")
    ab_parser.add_argument("--fail-above", type=_percentage, metavar="PERCENT",
                           help="exit with status 1 when a cell of B is clearly slower by more "
                                "than PERCENT (family-wise 5%% false alarms), a cell of B "
                                "failed, or no cell could be compared")
    ab_parser.add_argument("--extra-rounds", type=int, metavar="N", choices=range(0, 101),
                           help="up to N more rounds, after --samples, for the programs and "
                                "sizes whose B/A ratios still scatter by more than "
                                f"{ab.SETTLED_WIDTH * 100:.0f}%% of their median (0 to 100; "
                                "default 0)")
    _add_run_arguments(ab_parser, ab=True)
    ab_parser.set_defaults(handler=_ab)
    test = commands.add_parser("test", help="build, then run every test")
    test.add_argument("--preset", default="release",
                      help="CMake preset: release (default), asan (AddressSanitizer and "
                           "UndefinedBehaviorSanitizer) or clang (built with clang++)")
    test.set_defaults(handler=_test)
    compare_parser = commands.add_parser(
        "compare", help="compare the results of two runs",
        description="Compare two runs' times cell by cell (B against A).")
    _add_compare_arguments(compare_parser)
    compare_parser.set_defaults(handler=_compare, parser=compare_parser)
    report = commands.add_parser(
        "report", help="rewrite a results directory's files and print its summary",
        description="Rewrite a results folder's summary, exports, HTML report and plots from its "
                    "results.json.")
    report.add_argument("folder", type=pathlib.Path, nargs="?",
                        help="a results folder (results/<date-time>)")
    report.add_argument("--no-plots", action="store_true", help="redraw the files, not the plots")
    report.add_argument("--html", action="store_true",
                        help="write only the HTML report (report.html) and print its path")
    report.add_argument("--store", nargs="?", const="", metavar="PATH",
                        help="with --html and no folder: the history page of the store (default "
                             "results/store.sqlite): each cell's figure over the runs, one "
                             "curve per machine, written to history.html beside the store")
    report.add_argument("--cells", default=".", metavar="REGEX",
                        help="with --store: the cells the history page shows (default all)")
    report.add_argument("--out", type=pathlib.Path, metavar="FILE",
                        help="with --store: where the history page goes")
    report.set_defaults(handler=_report)
    listing = commands.add_parser(
        "list", help="list the programs, their arguments and what a sample of each is",
        description="The benchmark programs as the runner knows them: their arguments and "
                    "defaults, whether they run in the parallel mode, what one sample is.")
    listing.set_defaults(handler=_list)
    importing = commands.add_parser(
        "import", help="register results folders in the results store",
        description="Registers the runs of results folders (a run's folder with results.json, "
                    "or an A/B folder with A/ and B/) in the store; a run already there stays "
                    "one run.")
    importing.add_argument("folders", nargs="+", type=pathlib.Path, metavar="DIR",
                           help="a results folder")
    _add_store_argument(importing, "register the runs in")
    importing.set_defaults(handler=_import)
    past = commands.add_parser(
        "history", help="list the stored runs, or follow cells across them",
        description="Without CELL-FILTER: every run of the store, newest first. With it: each "
                    "matching cell's median time per call over the runs of each machine, in "
                    "date order, with the changes beyond the noise marked.")
    past.add_argument("cells", nargs="?", metavar="CELL-FILTER",
                      help="a regular expression over cell names "
                           "(count_if/n:1000000/threads:2)")
    past.add_argument("--machine", metavar="HOST", help="only the runs of this host")
    past.add_argument("--json", action="store_true", help="print JSON, for scripts")
    _add_store_argument(past, "read")
    past.set_defaults(handler=_history)
    _add_fleet_parsers(commands)
    return top


def main(argv: list[str]) -> int:
    arguments = parser().parse_args(argv)
    try:
        return arguments.handler(arguments, argv[1:])
    except KeyboardInterrupt:  # a sweep handles its own; this is a build or a comparison
        print(f"\nsuite {arguments.command}: interrupted", file=sys.stderr)
        return 130
