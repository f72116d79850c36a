"""What a run's context and figures say about how far its figures can be trusted.

It is a little over 400 lines because every kind of warning and its rule
sit together, so the policy is read in one place.

The warning policy lives here, apart from whoever shows the warnings: the
sweep emits them as events, the terminal prints them, results.json keeps them.

What the cells say is grouped: one Finding per kind of warning, naming every
cell it applies to and giving the advice once, so a sweep of fifty cells with
a noisy machine says so in a few lines instead of fifty. The summary marks
each cell a finding names. What is known before any cell runs (the build,
the governor, thread counts and arrays the machine cannot serve, other
tasks) stays one plain line each.

Where a parallel call is not decided faster than its reference (the
sequential build, else its own 1-thread time, at the run's margin), the
finding names the known limit that explains it, when the run has it: the
memory bandwidth the probe measured at that thread count (MEMORY_BOUND), the
work the threads add (EXTRA_WORK, from the run's counts or those a count run
of the same build gives, passed in by cell key).
"""

from __future__ import annotations

from ..model import contention
from ..model import CellResult, Context, Finding, Run
from ..plan.workload import PARALLEL_MODE, SEQUENTIAL as SEQUENTIAL_BUILD, WORKLOADS
from .verdict import FASTER, margin_of, verdict

DEFAULT_CV_THRESHOLD = 0.05
# Above this share of a calibrated cell's figure, the first call's extra cost
# is worth a warning.
FIRST_CALL_SHARE_THRESHOLD = 0.1
# The machine counts as busy during a run when this share of its kept samples
# were contended, or as many were measured again.
BUSY_SHARE = 0.1
BUSY_PREFIX = "the machine was busy during this run"
# A grouped warning names at most this many cells, then says how many more.
NAMED_CELLS = 6

# The kinds of findings about cells, in the order they are reported.
BUSY = "busy"
NOISY = "noisy"
FIRST_CALL = "first_call"
NO_SPEEDUP = "no_speedup"
NO_TEAM = "no_team"
SEQUENTIAL = "sequential"
EXTRA_WORK = "extra_work"
MEMORY_BOUND = "memory_bound"
CONFINED = "confined"
FIRST_TOUCH = "first_touch"
# A parallel cell whose work ratio leaves it at best this speedup (threads over
# the ratio, were every thread as fast as the one) is worth a warning; so is a
# memory-bound one whose probe reads at best this much faster at its thread count
# than at one thread.
WORK_BOUND = 1.25
# A memory-bound cell that moves this share of the bandwidth the probe measured
# at its thread count runs at the memory's limit.
BANDWIDTH_BOUND = 0.8


def compact_size(n: int) -> str:
    """n as a short label: 100000 -> "1e5", 2500000 -> "2.5e6", 3001 -> "3001"."""
    digits, zeros = str(n), 0
    while n >= 1000 and digits.endswith("0"):
        digits, zeros = digits[:-1], zeros + 1
    if zeros < 3:
        return str(n)
    mantissa = digits[0] + (f".{digits[1:]}" if len(digits) > 1 else "")
    return f"{mantissa}e{zeros + len(digits) - 1}"


def cell_label(cell: CellResult) -> str:
    """A cell as a grouped warning names it: "count_if n=1e5 t=2", and
    "count_if[c++17-par] n=1e5 t=2" for a backend other than the parallel mode."""
    program = cell.program if cell.backend == PARALLEL_MODE else f"{cell.program}[{cell.backend}]"
    return f"{program} n={compact_size(cell.n)} t={cell.threads}"


def name_cells(labels: list[str]) -> str:
    """The labels joined, the list capped with "and N more"."""
    shown = labels[:NAMED_CELLS]
    rest = len(labels) - len(shown)
    return ", ".join(shown) + (f" and {rest} more" if rest else "")


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def _join(words: list[str]) -> str:
    """"a", "a and b", "a, b and c"."""
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " and " + words[-1]


def _bytes(count: float) -> str:
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size:
            return f"{count / size:.3g} {unit}"
    return f"{count:.0f} bytes"


def busy_warning(run: Run) -> str | None:
    """One plain warning, with the numbers, when other processes competed for
    the machine during a good part of the run; None otherwise."""
    kept = [s for c in run.cells for s in c.samples]
    if not kept:
        return None
    contended = [s for s in kept if s.contended]
    replaced = sum(c.replaced for c in run.cells)
    if len(contended) < BUSY_SHARE * len(kept) and replaced < BUSY_SHARE * len(kept):
        return None
    infos = [s.contention for s in kept + contended if s.contention is not None]
    steal = max((i.steal_share or 0.0 for i in infos), default=0.0)
    runnable = max((i.runnable_others or 0 for i in infos), default=0)
    others = max((i.others_share or 0.0 for i in infos), default=0.0)
    return (f"{BUSY_PREFIX}: {replaced} samples were measured again because another "
            f"process competed for the CPUs, and {len(contended)} of the {len(kept)} samples "
            f"kept still were (up to {runnable} other runnable task(s), {steal * 100:.0f}% of "
            f"CPU time stolen by the hypervisor, up to {others * 100:.0f}% of the CPU time "
            "used by other processes during one sample). An OpenMP team waits for every descheduled thread, so the figures "
            "of cells with more than one thread are the least reliable: measure again on a "
            "quiet machine, or compare builds with `./suite ab`, which pairs them in time. "
            f"Rule: {contention.rule_text()}")


def machine_warnings(context: Context, thread_counts: list[int],
                     runnable_others: int | None = None,
                     sizes: dict[str, int] | None = None,
                     memory_available: int | None = None) -> list[str]:
    """Warnings about the build and the machine, known before any cell runs.

    `sizes` maps each planned program to its largest planned n, and
    `memory_available` is what the machine can give a new process (bytes):
    a program whose arrays at that size do not fit is named with the figures.
    """
    warnings = []
    if runnable_others:
        warnings.append(f"{runnable_others} other task(s) are running on this machine as the "
                        "run starts: samples taken while they compete are measured again, "
                        "but a quiet machine gives steadier figures")
    build_type = context.build_type
    if build_type is None:
        warnings.append("the build type is unknown (no build-info.json beside the programs' "
                        "bin/): the times may not come from optimised code")
    elif build_type != "Release":
        warnings.append(f"the programs are a {build_type} build, not Release: their times do "
                        "not represent the optimised code")
    slow = {cpu: g for cpu, g in (context.governors or {}).items() if g != "performance"}
    if slow:
        names = ", ".join(sorted(set(slow.values())))
        warnings.append(
            f"CPU frequency governor is {names} on CPU(s) {', '.join(slow)}, not performance: "
            "clock changes during the sweep add noise (set the governor to performance)")
    cpus = context.usable_cpus or 1
    if context.usable_cpus == 1:
        warnings.append("one usable CPU: no parallel cell can be measured, every thread "
                        "count runs on that CPU")
    over = sorted(t for t in set(thread_counts) if t > cpus)
    if over:
        warnings.append(
            f"thread count(s) {', '.join(map(str, over))} exceed the {cpus} usable CPUs: those "
            "cells oversubscribe the CPUs and measure time-sharing, not parallel speed")
    memory = memory_warning(sizes or {}, memory_available)
    if memory:
        warnings.append(memory)
    return warnings


def memory_warning(sizes: dict[str, int], memory_available: int | None) -> str | None:
    """The programs whose arrays at their largest planned size exceed the
    memory available, with the figures; None when all fit or nothing is known."""
    if memory_available is None:
        return None
    too_large = []
    for program, n in sizes.items():
        workload = WORKLOADS.get(program)
        if workload is None:
            continue
        needed = n * workload.allocated_bytes
        if needed > memory_available:
            too_large.append(f"{program} at n = {compact_size(n)} allocates {_bytes(needed)} "
                             f"({workload.allocated_bytes} bytes per element)")
    if not too_large:
        return None
    return (f"arrays larger than the free memory: {', '.join(too_large)}, against "
            f"{_bytes(memory_available)} available (MemAvailable): those cells will swap, "
            "which the figures then measure, or fail to allocate; use smaller --sizes")


def cell_findings(run: Run, cv_threshold: float = DEFAULT_CV_THRESHOLD,
                  work_ratios: dict[tuple, float] | None = None) -> list[Finding]:
    """What the measured (and derived) cells say about the quality of their own
    figures, one Finding per kind; `work_ratios`, by cell key, are those of a
    count run of the same build for the cells the run did not count.

    When the machine was busy, that finding comes first and stands for the
    symptoms it explains (spread-out samples, parallel cells slower than one
    thread) in the cells that kept contended samples. At n = 0 nothing runs:
    those cells' times are the clock's noise and no finding names them.
    """
    busy = busy_warning(run)
    found = []
    if busy:
        contended = [c.name for c in run.cells if any(s.contended for s in c.samples)]
        found.append(Finding(BUSY, contended, busy))
    noisy, first_call, slow, sequential, extra_work, confined = [], [], [], [], [], []
    no_team = []
    memory_bound: list[tuple[CellResult, str]] = []
    margin = margin_of(run.context)
    for cell in run.cells:
        workload = cell.workload
        if not cell.ok or workload is None or cell.n == 0:
            continue
        if any(s.team_cpus is not None for s in cell.samples):
            confined.append(cell)
        ratio = cell.work_ratio or (work_ratios or {}).get(cell.key)
        paying = cell.threads > 1 and _paying(cell, margin)
        if ratio and cell.threads / ratio < WORK_BOUND and not paying:
            extra_work.append((cell, ratio))
        limit = _memory_limit(run, cell) if cell.threads > 1 and not paying else None
        if limit:
            memory_bound.append((cell, limit))
        if busy and any(s.contended for s in cell.samples):
            continue
        cv = cell.stats.cv if cell.stats is not None else None
        if cv is not None and cv > cv_threshold:
            noisy.append(cell)
        share = cell.first_call_share
        if share is not None and share > FIRST_CALL_SHARE_THRESHOLD \
                and cell.first_call_excess is not None:
            first_call.append(cell)
        # What the parallel mode does with more threads; the other backends'
        # thread counts are read in the table of which backend wins.
        if not workload.parallel or cell.threads < 2 or cell.backend != PARALLEL_MODE:
            continue
        if workload.parallel_min_n is None:
            sequential.append(cell)
        elif cell.n < workload.parallel_min_n:
            # Not faster than its reference by the margin: no team ran.
            speedup = cell.vs_sequential if cell.vs_sequential is not None else cell.speedup
            if speedup is not None and speedup <= 1 + margin:
                no_team.append(cell)
        elif cell.n >= workload.parallel_min_n and cell.speedup is not None \
                and cell.speedup <= 1.0:
            slow.append(cell)
    for cells, make in ((noisy, lambda c: _noisy(c, cv_threshold)), (first_call, _first_call),
                        (slow, _no_speedup), (no_team, _no_team), (sequential, _sequential),
                        (extra_work, _extra_work), (memory_bound, _memory_bound),
                        (confined, _confined)):
        if cells:
            found.append(make(cells))
    return found + _first_touch(run)


def cell_warnings(run: Run, cv_threshold: float = DEFAULT_CV_THRESHOLD) -> list[str]:
    """The cells' findings as lines, the busy machine's first."""
    return [finding.line for finding in cell_findings(run, cv_threshold)]


def _programs(cells: list[CellResult]) -> list[str]:
    return list(dict.fromkeys(c.program for c in cells))


def _noisy(cells: list[CellResult], cv_threshold: float) -> Finding:
    labels = [f"{cell_label(c)} ({c.stats.cv * 100:.1f}%)" for c in cells]
    remedies = ["more samples (--samples)"]
    looping = [c for c in cells if c.workload.calibrated]
    if looping:
        only = "" if len(looping) == len(cells) else f" for {_join(_programs(looping))}"
        remedies.append(f"a longer timed loop{only} (--min-time)")
    teams = [c for c in cells if c.workload.parallel and c.threads > 1]
    if teams:
        only = "" if len(teams) == len(cells) else " for the cells of more than one thread"
        remedies.append(f"pinned threads{only} (--pin)")
    return Finding(
        NOISY, [c.name for c in cells],
        f"samples vary by more than {cv_threshold * 100:g}% (CV) in "
        f"{_count(len(cells), 'cell')}: {name_cells(labels)}",
        f"use {', '.join(remedies)} or a quieter machine")


def _first_call(cells: list[CellResult]) -> Finding:
    labels = [f"{cell_label(c)} ({c.first_call_excess * 1e3:.3g} ms more, "
              f"{c.first_call_share * 100:.0f}% at {c.repetitions} repetition(s))" for c in cells]
    # The --min-time that brings every named cell's first-call share down to the threshold.
    needed = max(c.first_call_excess for c in cells) \
        * (1 - FIRST_CALL_SHARE_THRESHOLD) / FIRST_CALL_SHARE_THRESHOLD
    return Finding(
        FIRST_CALL, [c.name for c in cells],
        "the first call in each process costs more than a later one (memory touched for the "
        "first time, the thread team started), over "
        f"{FIRST_CALL_SHARE_THRESHOLD * 100:g}% of the reported time in "
        f"{_count(len(cells), 'cell')}: {name_cells(labels)}",
        f"use --min-time {needed:.2g} or more, or --hugepages, for a figure of the steady call")


def _no_speedup(cells: list[CellResult]) -> Finding:
    labels = [f"{cell_label(c)} ({c.speedup:.2f}x)" for c in cells]
    engages = [f"{p} from n = {WORKLOADS[p].parallel_min_n}" for p in _programs(cells)]
    return Finding(
        NO_SPEEDUP, [c.name for c in cells],
        f"no speedup in {_count(len(cells), 'cell')} where libstdc++'s parallel mode runs the "
        f"call on the OpenMP team ({', '.join(engages)}): {name_cells(labels)}; a speedup is "
        "the 1-thread time over the cell's time in the same rounds: at these sizes more "
        "threads were no faster than one")


def _no_team(cells: list[CellResult]) -> Finding:
    below = [f"{p} below n = {WORKLOADS[p].parallel_min_n} "
             f"(_Settings::{WORKLOADS[p].parallel_setting})" for p in _programs(cells)]
    return Finding(
        NO_TEAM, [c.name for c in cells],
        f"libstdc++'s parallel mode starts no team for {_join(below)}, so "
        f"{_count(len(cells), 'cell')} ran the sequential call on one thread and cannot be "
        f"faster: {name_cells([cell_label(c) for c in cells])}")


def _sequential(cells: list[CellResult]) -> Finding:
    programs = _programs(cells)
    return Finding(
        SEQUENTIAL, [c.name for c in cells],
        f"libstdc++'s parallel mode has no parallel {_join(programs)}: every thread count "
        "runs the same sequential call, so no speedup is expected")


def _paying(cell: CellResult, margin: float) -> bool:
    """Whether a cell is decided faster than its reference: the sequential build
    where the run measured one, else its own backend at one thread."""
    if cell.backend == SEQUENTIAL_BUILD:
        return False
    figure = ((cell.vs_sequential_low, cell.vs_sequential_high)
              if cell.vs_sequential is not None else (cell.speedup_low, cell.speedup_high))
    return verdict(*figure, margin) == FASTER


def _memory_limit(run: Run, cell: CellResult) -> str | None:
    """What the bandwidth probe says of a memory-bound cell, where it explains
    why more threads do not pay: the probe reads little more (or less) at the
    cell's thread count than at one, or the cell moves most of what it reads."""
    reference = cell.workload.bandwidth_reference
    figures = {t: (f or {}).get(reference) for t, f in (run.bandwidth or {}).items()}
    one, many = figures.get("1"), figures.get(str(cell.threads))
    caches = [c.get("size") for c in run.context.caches or [] if isinstance(c, dict)]
    cache = max((size for size in caches if isinstance(size, int)), default=None)
    # Arrays that fit in the last-level cache (or a cache not known) are no sign of memory.
    if reference is None or not many or cache is None \
            or cell.n * cell.workload.allocated_bytes <= cache:
        return None
    if one and many / one < WORK_BOUND:
        return (f"the probe's {reference} reads {many / 1e9:.3g} GB/s on {cell.threads} "
                f"threads against {one / 1e9:.3g} GB/s on 1")
    share = cell.bandwidth_share
    if share is not None and share >= BANDWIDTH_BOUND:
        return (f"{share * 100:.0f}% of the {many / 1e9:.3g} GB/s the probe read on "
                f"{cell.threads} threads")
    return None


def _memory_bound(cells: list[tuple[CellResult, str]]) -> Finding:
    labels = [f"{cell_label(c)} ({limit})" for c, limit in cells]
    return Finding(
        MEMORY_BOUND, [c.name for c, _ in cells],
        f"the memory bandwidth limits {_count(len(cells), 'cell')} that more threads did not "
        f"make decidedly faster: {name_cells(labels)}; a call that streams its arrays cannot "
        "go faster than the memory can feed it, whatever the threads")


def _extra_work(cells: list[tuple[CellResult, float]]) -> Finding:
    labels = [f"{cell_label(c)} ({ratio:.2f}x the work of one thread, a speedup of at "
              f"most {c.threads / ratio:.2f}x)" for c, ratio in cells]
    return Finding(
        EXTRA_WORK, [c.name for c, _ in cells],
        f"the threads of a parallel call add nearly as much work as they share, or more, in "
        f"{_count(len(cells), 'cell')}: {name_cells(labels)}; no speedup is possible there "
        "(the work ratio is the instruction count at that thread count over the count at one "
        "thread of the same backend)")


def _first_touch(run: Run) -> list[Finding]:
    """On a machine of more than one NUMA node, the parallel cells whose arrays were
    not interleaved: all on the node of the one thread that filled them."""
    placed = run.context.placement or {}
    nodes = placed.get("nodes") or 1
    cells = [c for c in run.cells if c.ok and c.threads > 1 and c.workload is not None
             and c.workload.sweeps_threads(c.backend)]
    if nodes < 2 or placed.get("numa") == "interleave" or not cells:
        return []
    return [Finding(
        FIRST_TOUCH, [c.name for c in cells],
        f"on this machine of {nodes} NUMA nodes the arrays of {_count(len(cells), 'parallel cell')} "
        f"were placed by first touch{' (--numa local)' if placed.get('numa') else ''}: on "
        "the node of the one thread that fills them, so every thread of a parallel call "
        "reads that node's memory and the speedup is capped at its bandwidth: "
        f"{name_cells([cell_label(c) for c in cells])}",
        "use --numa interleave to spread them over the nodes of each cell's CPUs")]


def _confined(cells: list[CellResult]) -> Finding:
    labels = [f"{cell_label(c)} ({c.threads} threads on "
              f"{min(s.team_cpus for s in c.samples if s.team_cpus is not None)} CPU(s))"
              for c in cells]
    return Finding(
        CONFINED, [c.name for c in cells],
        f"the threads of the OpenMP team could run on fewer CPUs than there are threads in "
        f"{_count(len(cells), 'cell')}: {name_cells(labels)}; they take turns on those CPUs, "
        "so the figures measure time-sharing, not parallel speed",
        "unset the affinity setting that confines them (GOMP_CPU_AFFINITY, KMP_AFFINITY, "
        "OMP_PLACES: the run's environment is in its context)")
