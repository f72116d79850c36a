"""A request to measure (`run`, `ab`, `fleet submit`): every option of a sweep
in one RunRequest, its defaults settled, checked before anything runs.

A handler that cannot go on raises Refusal (refusal.py). The checks of a
run request are the same for every command that measures: the matrix the
options ask for, the backends each build holds, the programs of --bin-dir and
the results folder; `check` does them in that order.
"""

from __future__ import annotations

import contextlib
import dataclasses
import pathlib
import random
import re
import signal
import sys
import threading

from ..plan import build, matrix
from ..measure import callgrind, machine, placement, rounds, sweep
from ..record import results_folder, store
from ..record.recorder import Recorder
from ..measure.runner import Options
from ..judge.findings import DEFAULT_CV_THRESHOLD
from ..judge.verdict import DEFAULT_MARGIN
from ..model.contention import RETRIES
from ..plan import metrics
from ..plan.metrics import Metric
from ..plan.workload import BACKENDS
from .options import (DEFAULT_MIN_TIME, DEFAULT_SAMPLES, QUICK_MIN_TIME, QUICK_SAMPLES,
                      QUICK_SIZES, command_line, store_path, typed)
from .planning import check_length, fit_budget, planned_for
from .refusal import Refusal, perform


@dataclasses.dataclass
class RunRequest:
    """Every option of a sweep (`run`, and what `ab` and `fleet submit` share with
    it), with the defaults of those not given settled: `of` makes one from a
    command's parsed options. None for the matrix's lists: every one of them."""
    programs: list[str] | None = None
    sizes: list[int] | None = None
    threads: list[int] | None = None
    backends: list[str] | None = None
    filter: str | None = None
    samples: int | None = None
    seed: int | None = None  # None: a new one
    retries: int = RETRIES
    extra_rounds: int | None = None
    round_budget: float | None = None
    # --refine: the seconds sizes added between a crossover's ends may take
    # (0: as long as the cells took); None: none are added.
    refine: float | None = None
    min_time: float | None = None
    timeout: float = 120.0
    pin: str | None = None  # "close" or "spread"
    numa: str | None = None  # "local" or "interleave"
    hugepages: bool = False
    cv_threshold: float = DEFAULT_CV_THRESHOLD
    margin: float = DEFAULT_MARGIN * 100  # percent
    long: bool = False
    no_bandwidth: bool = False
    no_plots: bool = False
    metric: Metric = metrics.DEFAULT
    quick: bool = False
    out: pathlib.Path | None = None
    force: bool = False
    store: pathlib.Path | None = None
    bin_dir: pathlib.Path | None = None
    dry_run: bool = False
    budget: float | None = None  # minutes
    # With --budget, what it kept and left out (as the run's context records it).
    fitted: dict | None = dataclasses.field(default=None, init=False)
    # The store's costs of this machine's cells, once read (estimate.known_costs).
    known: dict | None = dataclasses.field(default=None, init=False)
    # What a quick run says of the defaults it chose; None for any other run.
    note: str | None = dataclasses.field(default=None, init=False)

    @classmethod
    def of(cls, arguments, extra_rounds: int = rounds.RUN_EXTRA_ROUNDS, **given):
        """The request of a command's parsed options (`given` over them), the options
        not given settled, with --quick's values when asked; `extra_rounds` is the
        command's own default."""
        request = typed(cls, arguments, **given)
        if isinstance(request.metric, str):
            request.metric = metrics.named(request.metric)
        quick, chosen = request.quick, []
        if quick and request.sizes is None:
            request.sizes = list(QUICK_SIZES)
            chosen.append(f"n = {QUICK_SIZES[0]}")
        if request.samples is None:
            request.samples = QUICK_SAMPLES if quick else DEFAULT_SAMPLES
            if quick:
                chosen.append(f"{QUICK_SAMPLES} rounds")
        if request.min_time is None:
            request.min_time = QUICK_MIN_TIME if quick else DEFAULT_MIN_TIME
            if quick:
                chosen.append(f"--min-time {QUICK_MIN_TIME:g}")
        if quick and not request.no_bandwidth:
            request.no_bandwidth = True
            chosen.append("no bandwidth probe")
        if request.extra_rounds is None:
            request.extra_rounds = 0 if quick else extra_rounds
            if quick and hasattr(arguments, "extra_rounds"):
                chosen.append("no extra rounds")
        if quick:
            request.note = ("quick run" + (f" ({', '.join(chosen)})" if chosen else "")
                            + ": a smoke check that the programs build, run and pass their "
                            "checks; its figures are not for comparing or keeping")
        return request


def check(request: RunRequest, out_dir: pathlib.Path | None = None,
          cpus: int | None = None, note: str | None = None, builds: int = 1) -> list[matrix.Cell]:
    """The cells a run request asks for, or a Refusal saying why there are none: the
    matrix (default thread counts up to `cpus`, by default the cores and usable CPUs of
    this machine or the one it plans for: planning.planned_for) and how
    long it would take (for `builds` builds) without --long, then
    with --bin-dir the backends and programs it holds, then the results folder
    `out_dir` (when given). `note` is said once the matrix stands."""
    _check_repeats(request)
    refused = placement.refusal(request.pin, request.numa)
    if refused:
        raise Refusal(refused)
    cores = None
    if cpus is None:
        cpus, cores = planned_for(request)
    try:
        cells = matrix.build(request.programs, request.sizes, request.threads,
                             request.filter, cpus=cpus, cores=cores,
                             backends=_backends_or_all(request.backends))
    except ValueError as error:
        raise Refusal(str(error)) from None
    except re.error as error:
        raise Refusal(f"--filter {request.filter!r}: not a regular expression: {error}") \
            from None
    if not cells:
        raise Refusal("no cell matches")
    try:
        matrix.check_limits(cells)
    except ValueError as error:
        raise Refusal(str(error)) from None
    cells = fit_budget(request, cells, builds)
    check_length(request, cells, builds)
    if note is not None:
        print(note, file=sys.stderr)
    bin_dir = request.bin_dir
    if bin_dir is not None:
        if bin_dir.is_dir():
            cells = built_backends(cells, [bin_dir], request.backends)
        _check_programs(bin_dir, cells)
    if out_dir is not None:
        prepare_out(request, out_dir, prepare=False)
    return cells


def _check_repeats(request: RunRequest) -> None:
    """Refuses a list option that names an item twice: the two cells of one name
    would make a run that no comparison, report or store could read."""
    for option in ("programs", "sizes", "threads", "backends"):
        seen: set = set()
        for item in getattr(request, option) or ():
            if item in seen:
                raise Refusal(f"--{option} names {item} twice")
            seen.add(item)


def _backends_or_all(requested: list[str] | None) -> list[str]:
    """The backends named, or every one for none given or "all", which stands alone."""
    if requested and "all" in requested and set(requested) != {"all"}:
        raise Refusal(f"--backends {','.join(requested)}: all stands alone (every backend); "
                      "give all, or the backends by name")
    return list(BACKENDS) if not requested or "all" in requested else requested


def built_backends(cells: list[matrix.Cell], bin_dirs: list[pathlib.Path],
                   requested: list[str] | None) -> list[matrix.Cell]:
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
    if requested and "all" not in requested:
        refused = [b for b in dict.fromkeys(requested) if b in lacking]
        if refused:
            raise Refusal("--backends: " + "; ".join(f"{b} is not built: {lacking[b]}"
                                                     for b in refused))
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
        raise Refusal("no cell of a built backend matches")
    return kept


def _check_programs(bin_dir: pathlib.Path, cells: list[matrix.Cell]) -> None:
    """Refuses a --bin-dir that lacks a program the cells run."""
    if not bin_dir.is_dir():
        raise Refusal(f"--bin-dir {bin_dir} "
                      + ("is not a folder" if bin_dir.exists() else "does not exist"))
    needed = list(dict.fromkeys(cell.executable for cell in cells))
    missing = build.missing_programs(bin_dir, needed)
    if missing:
        raise Refusal(f"--bin-dir {bin_dir} lacks {', '.join(missing)} (no such executable "
                      "file there)")


def prepare_out(request: RunRequest, out_dir: pathlib.Path, prepare: bool = True,
                **layout) -> results_folder.Claim | None:
    """Claims the results folder for the run (or, without `prepare`, checks that it
    can be), or refuses it."""
    try:
        if prepare:
            return results_folder.Claim(out_dir, request.force, **layout).take()
        results_folder.check_out_dir(out_dir, request.force)
        return None
    except results_folder.OutDirError as error:
        raise Refusal(f"{'--out ' if request.out else ''}{error}") from None


def options(request: RunRequest, bin_dir: pathlib.Path) -> Options:
    """How the programs of `bin_dir` are run, from the measurement options."""
    seed = request.seed if request.seed is not None else \
        random.SystemRandom().randrange(2**31)
    placed = {"pin": request.pin, "numa": request.numa}
    if request.metric.sampler == "callgrind" and any(placed.values()):
        # Valgrind runs a process's threads one at a time, on whatever CPU.
        print("note: --pin and --numa do not apply to instruction counts: where the threads "
              "and arrays are changes no count", file=sys.stderr)
        placed = {}
    return Options(bin_dir=bin_dir, samples=request.samples, min_time=request.min_time,
                   timeout=request.timeout, hugepages=request.hugepages,
                   seed=seed, retries=request.retries, **placed)


def measure(command: str, request: RunRequest, argv: list[str],
            cells: list[matrix.Cell], run_options: Options, claim: results_folder.Claim,
            console, go, **sweep_options):
    """Runs `go` on the sweep of `cells` into the claimed folder, heard by `console`
    and by the store's recorder; returns what `go` returns and the recorder. A file
    of the results that cannot be written is a Refusal, and the run that was in
    the folder before stays; an interrupted sweep is marked so in the store."""
    for name, value in machine.team_variables_set().items():
        print(f"note: {name}={value} is not passed to the programs: it would give them another "
              "thread team than the one each cell names", file=sys.stderr)
    recorder = Recorder(store_path(request.store))
    the_sweep = None
    try:
        the_sweep = sweep.Sweep(cells, run_options, claim.out_dir, command_line(command, argv),
                                metric=request.metric,
                                probe_bandwidth=not request.no_bandwidth,
                                draw_plots=not request.no_plots,
                                cv_threshold=request.cv_threshold,
                                margin=request.margin / 100,
                                listeners=(console, recorder), **sweep_options)
        for run in the_sweep.runs.values():
            run.context.budget = request.fitted
        result = go(the_sweep)
    except OSError as error:
        recorder.abandon()
        claim.end(stands=False)
        where = f"{error.filename}: " if error.filename else ""
        raise Refusal(f"cannot write the results: {where}{error.strerror or error}") from None
    except KeyboardInterrupt:  # Ctrl-C after the sweep's own handling
        recorder.abandon(store.INTERRUPTED)
        claim.end(stands=_measured(the_sweep))
        raise
    except BaseException:  # a fault of ours: the run was not measured to its end ...
        # ... unless the sweep had written its last files: its status is then theirs.
        finished = _measured(the_sweep) and not any(
            run.in_progress for run in the_sweep.runs.values())
        recorder.abandon(None if finished else store.FAILED)
        claim.end(stands=finished)
        raise
    claim.end(stands=_measured(the_sweep))
    return result, recorder


def _measured(the_sweep) -> bool:
    """Whether a sweep has any sample to show: a run cut short before its first
    round does not replace the run that was in its folder."""
    return the_sweep is not None and any(
        run.measured(cell) for run in the_sweep.runs.values() for cell in run.cells)


def countable(request: RunRequest, cells: list[matrix.Cell],
              bin_dirs: list[pathlib.Path]) -> None:
    """Refuses --metric instructions where the programs cannot be counted."""
    if request.metric.sampler != "callgrind":
        return
    executables = list(dict.fromkeys(cell.executable for cell in cells))
    for bin_dir in bin_dirs:
        reason = callgrind.unavailable(bin_dir, executables)
        if reason is not None:
            raise Refusal(f"--metric instructions: {reason}")


def registered(command: str, recorder: Recorder, status: int,
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


@contextlib.contextmanager
def terminate_as_interrupt():
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
