"""The one step that turns measured samples into every figure a run reports.

Statistics of each cell; speedup and efficiency against the same program and
size at one thread (efficiency over the threads, or over the cores for a
count of hardware threads beyond them, which marks the cell: `on_cores`);
throughput from the workload's bytes per element; the share of the measured
memory bandwidth; and the warnings the figures call
for (findings.py), grouped by kind. Everything that shows a run (summary,
CSV, JSON, plots, compare) reads these fields and computes none of its own.

At n = 0 the programs do no work: a time is the clock's noise around an
empty loop, so a cell of size 0 has no speedup, efficiency or throughput.

A speedup is paired: the thread counts of one program and size run back to
back within each round, so the ratio of the 1-thread sample to the p-thread
sample of the same round sees the machine in one state. The cell's speedup is
the median of those ratios over the rounds, with a distribution-free interval
of that median (stats.median_interval). Results
without rounds (written before rounds existed) fall back to the ratio of the
medians, without an interval.
"""

from __future__ import annotations

from .crossover import crossovers
from .findings import DEFAULT_CV_THRESHOLD, busy_warning, cell_findings
from ..model import CellResult, Context, Run, Winner, load_checked
from .stats import describe, finite, median, median_interval, paired_ratios, ratio
from ..plan.metrics import TIME, Metric
from .verdict import EQUIVALENT, FASTER, UNDECIDED, hint, margin_of, verdict
from ..plan import matrix
from ..plan.workload import PARALLEL_MODE, SEQUENTIAL


def by_round(cell: CellResult) -> dict[int, float] | None:
    """The cell's samples keyed by round, or None when they carry no round."""
    if not cell.samples or any(s.round is None for s in cell.samples):
        return None
    return {s.round: s.seconds for s in cell.samples}


def median_figure(cell: CellResult, metric: Metric) -> tuple[float | None, float | None,
                                                             float | None]:
    """The cell's figure of `metric`: the median of its samples and, for a figure
    that moves from process to process, the distribution-free interval of that
    median (stats.median_interval); Nones for a failed cell or one without
    samples. Worked out from the samples each time it is asked for: the store
    registers a sweep's runs as they go, between the writes that derive them."""
    values = metric.samples(cell) if cell.status != "failed" else []
    interval = None if metric.exact else median_interval(values)
    low, high = interval[:2] if interval is not None else (None, None)
    return median(values), low, high


def median_time(cell: CellResult) -> tuple[float | None, float | None, float | None]:
    """The cell's median time and the interval of that median (median_figure)."""
    return median_figure(cell, TIME)


def median_count(cell: CellResult) -> float | None:
    """The cell's median instruction count; None for a failed cell or one not counted."""
    return median(cell.instruction_samples) if cell.status != "failed" else None


def load_derived(path) -> Run:
    """A results folder's run (or a results.json's), checked, its figures derived."""
    return derive(load_checked(path))


def derive(run: Run, work_ratios: dict[tuple, float] | None = None) -> Run:
    """Fills the derived fields of every cell of `run` in place; returns it.
    `work_ratios`, by cell key: those of a count run of the same build, which
    the findings use for the cells the run did not count."""
    for cell in run.cells:
        cell.stats = describe(cell.times) if cell.samples and cell.status != "failed" else None
    shape = run.context.shape or {}
    baselines = {(c.program, c.backend, c.n, c.fourth): c
                 for c in run.cells if c.threads == 1 and c.median is not None}
    for cell in run.cells:
        base = baselines.get((cell.program, cell.backend, cell.n, cell.fourth))
        cell.speedup = cell.speedup_low = cell.speedup_high = None
        if base is not None and cell.median is not None and cell.n > 0:
            _speedup(cell, base)
        cell.on_cores = matrix.on_cores(cell.threads, shape.get("cores"),
                                        shape.get("hardware_threads"))
        cell.efficiency = (cell.speedup / (cell.on_cores or cell.threads)
                           if cell.speedup is not None else None)
        cell.items_per_second, cell.bytes_per_second = \
            cell.rates(cell.median) if cell.n > 0 else (None, None)
        cell.bandwidth_share = _bandwidth_share(run, cell)
        cell.vs_sequential = cell.vs_sequential_low = cell.vs_sequential_high = None
        baseline = sequential_baseline(run.cells, cell.program, cell.n, cell.fourth)
        if baseline is not None and cell.median is not None and cell.n > 0 and len(
                {c.backend for c in run.cells} - {PARALLEL_MODE}) > 0:
            cell.vs_sequential, cell.vs_sequential_low, cell.vs_sequential_high = \
                paired(baseline, cell)
    _counts(run)
    run.busy = busy_warning(run)
    run.winners = winners(run)
    run.crossovers = crossovers(run)
    threshold = run.context.cv_threshold
    run.findings = cell_findings(run, DEFAULT_CV_THRESHOLD if threshold is None else threshold,
                                 work_ratios)
    return run


def _counts(run: Run) -> None:
    """Each cell's median instruction count and its spread, and the work ratio
    of every cell at more than one thread over the 1-thread cell of its
    program, size and backend."""
    for cell in run.cells:
        counts = cell.instruction_samples if cell.status != "failed" else []
        cell.instructions = median_count(cell)
        cell.instructions_spread = (ratio(max(counts) - min(counts), cell.instructions)
                                    if counts else None)
    single = {(c.program, c.backend, c.n, c.fourth): c.instructions
              for c in run.cells if c.threads == 1 and c.instructions is not None}
    for cell in run.cells:
        base = single.get((cell.program, cell.backend, cell.n, cell.fourth))
        cell.work_ratio = (ratio(cell.instructions, base)
                           if cell.threads > 1 and cell.instructions is not None and base
                           else None)


def _speedup(cell: CellResult, base: CellResult) -> None:
    base_rounds, cell_rounds = by_round(base), by_round(cell)
    if base_rounds is None or cell_rounds is None:
        cell.speedup = ratio(base.median, cell.median)
        return
    ratios = paired_ratios(base_rounds, cell_rounds)
    if not ratios:
        return
    cell.speedup = finite(median(ratios))
    interval = median_interval(ratios)
    if interval is not None:
        cell.speedup_low, cell.speedup_high, _ = interval


def _bandwidth_share(run: Run, cell) -> float | None:
    """The cell's bytes/s over the probe's figure for its thread count and the
    program's reference kernel; None where the program is compute-bound, the
    probe has no such figure, or a rate is missing."""
    workload = cell.workload
    reference = workload.bandwidth_reference if workload is not None else None
    if reference is None or cell.bytes_per_second is None:
        return None
    available = ((run.bandwidth or {}).get(str(cell.threads)) or {}).get(reference)
    if not available:
        return None
    return finite(cell.bytes_per_second / available)


def sequential_baseline(cells: list[CellResult], program: str, n: int,
                        fourth: int | None) -> CellResult | None:
    """The sequential build's 1-thread cell of a program and size: the
    sequential backend's, or, for a program built without the parallel mode,
    its own program's (that is its sequential build)."""
    for cell in cells:
        if (cell.program, cell.n, cell.fourth, cell.threads) == (program, n, fourth, 1) \
                and cell.median is not None:
            if cell.backend == SEQUENTIAL or (
                    cell.backend == PARALLEL_MODE and cell.workload is not None
                    and not cell.workload.parallel):
                return cell
    return None


def round_ratios(numerator: CellResult, denominator: CellResult) -> list[float] | None:
    """numerator/denominator times of each round both cells have; None when
    either's samples carry no rounds."""
    rounds_a, rounds_b = by_round(numerator), by_round(denominator)
    if rounds_a is None or rounds_b is None:
        return None
    return paired_ratios(rounds_a, rounds_b)


def paired(numerator: CellResult, denominator: CellResult
           ) -> tuple[float | None, float | None, float | None]:
    """The median over rounds of numerator/denominator times of the same round,
    with its interval; the ratio of medians, without one, when the samples
    carry no rounds."""
    ratios = round_ratios(numerator, denominator)
    if ratios is None:
        return ratio(numerator.median, denominator.median), None, None
    if not ratios:
        return None, None, None
    interval = median_interval(ratios)
    low, high = (interval[0], interval[1]) if interval is not None else (None, None)
    return finite(median(ratios)), low, high


def winners(run: Run) -> list[Winner]:
    """For each program, size and thread count measured on more than one
    backend, the backend to use and by how much; the thread count is the
    winner's, and a sequential build enters every count with its one cell.

    The winner is chosen by the same paired statistic that states its lead:
    for every candidate, the median over rounds of each rival's time over its
    own in the same round; the candidate whose closest rival is furthest
    behind wins. Each rival's ratio is judged at the run's margin (verdict.py):
    the winner is "faster" where it is faster than every rival, "equivalent"
    where the rest are equivalent to it, "undecided" otherwise; `tied` names
    the winner and every rival it is not faster than, and the runner-up is the
    closest rival judged as the whole is, so its figure says why. Results
    without rounds fall back to the ratio of the medians, without an interval:
    the fastest median wins, undecided."""
    margin = margin_of(run.context)
    result = []
    for (program, n, fourth, threads), cells in _competing(run).items():
        if len({c.backend for c in cells}) < 2:
            continue
        best, leads = None, []
        for candidate in cells:
            rivals = [(paired(rival, candidate), rival) for rival in cells if rival is not candidate]
            rivals.sort(key=lambda item: _lead_order(item[0][0]))
            if best is None or _lead_order(rivals[0][0][0]) > _lead_order(leads[0][0][0]):
                best, leads = candidate, rivals
        baseline = sequential_baseline(run.cells, program, n, fourth)
        winner = Winner(program, n, fourth, threads, best.backend, best.median,
                        baseline.name if baseline is not None else None,
                        backend_threads=best.threads)
        winner.over_sequential, winner.over_sequential_low, winner.over_sequential_high = \
            best.vs_sequential, best.vs_sequential_low, best.vs_sequential_high
        # The sequential build itself is the reference, not a comparison with it.
        if best.vs_sequential is not None and best is not baseline:
            winner.over_sequential_verdict = verdict(best.vs_sequential_low,
                                                     best.vs_sequential_high, margin)
        words = [verdict(low, high, margin) for (_, low, high), _ in leads]
        winner.verdict = (FASTER if set(words) == {FASTER} else
                          EQUIVALENT if set(words) <= {FASTER, EQUIVALENT} else UNDECIDED)
        shown = [item for item, word in zip(leads, words) if word == winner.verdict or (
            winner.verdict == UNDECIDED and word not in (FASTER, EQUIVALENT))]
        (lead, low, high), runner_up = shown[0]
        winner.runner_up, winner.runner_up_threads = runner_up.backend, runner_up.threads
        winner.lead, winner.lead_low, winner.lead_high = lead, low, high
        tied = [rival.backend for (_, rival), word in zip(leads, words) if word != FASTER]
        winner.tied = [best.backend, *tied] if tied else []
        winner.hint = undecided_hint([run], (lead, low, high), [best, runner_up], margin,
                                     ratios=round_ratios(runner_up, best))
        result.append(winner)
    return result


def undecided_hint(runs: list[Run], figure: tuple, cells: list[CellResult], margin: float,
                   clear: float | None = None, ratios: list[float] | None = None) -> str | None:
    """What would decide a comparison of `cells` of `runs` whose figure is
    (ratio, low, high), taken from per-round `ratios` where there are some,
    where it is undecided (verdict.hint): a run's machine was busy, or one of
    the cells contended; an unpinned cell of a team scattered beyond the CV
    threshold, where pinning would move it (pinning_moves)."""
    threshold = runs[0].context.cv_threshold or DEFAULT_CV_THRESHOLD
    busy = any(run.busy for run in runs) or any(s.contended for c in cells for s in c.samples)
    scatters = not all(run.context.pin for run in runs) and any(
        c.threads > 1 and c.stats is not None and (c.stats.cv or 0) > threshold
        and any(pinning_moves(run.context, c.threads) for run in runs) for c in cells)
    return hint(*figure, margin, busy, scatters, clear, ratios)


def pinning_moves(context: Context, threads: int) -> bool:
    """Whether --pin changes where a team of `threads` runs on a run's machine:
    the team leaves usable CPUs it could wander to, or the machine has more
    than one NUMA node (or is not known). A team on every CPU of one node runs
    where it would pinned: on a 2-core VM, 2-thread cells scattered as much
    pinned as not (the median standard deviation of log time over 7 rounds,
    18 cells of each backend in 3 runs side by side: oneTBB 0.12 pinned
    against 0.10, the parallel mode 0.21 against 0.19)."""
    usable, nodes = context.usable_cpus, (context.shape or {}).get("nodes") or []
    return not usable or threads < usable or len(nodes) != 1


def _lead_order(lead: float | None) -> float:
    """A lead as a sort key: a missing one (no common round) counts as no lead."""
    return 0.0 if lead is None else lead


def _competing(run: Run) -> dict[tuple, list[CellResult]]:
    """The measured cells of each (program, n, fourth, threads), a backend that
    runs the call on one thread whatever the count (a sequential build) in
    every count of its program and size with its one cell."""
    measured = [c for c in run.cells if c.median is not None and c.ok and c.n > 0]
    groups: dict[tuple, list[CellResult]] = {}
    for cell in measured:
        groups.setdefault((cell.program, cell.n, cell.fourth, cell.threads), []).append(cell)
    counts: dict[tuple, set[int]] = {}
    for cell in measured:
        counts.setdefault((cell.program, cell.backend, cell.n, cell.fourth), set()).add(cell.threads)
    for cell in measured:
        if counts[(cell.program, cell.backend, cell.n, cell.fourth)] == {1} and (
                cell.workload is None or not cell.workload.sweeps_threads(cell.backend)):
            for (program, n, fourth, threads), members in groups.items():
                if (program, n, fourth) == (cell.program, cell.n, cell.fourth) and threads != 1:
                    members.append(cell)
    return groups
