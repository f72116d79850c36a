"""What a run's context and figures say about how far its figures can be trusted.

The warning policy lives here, apart from whoever shows the warnings: the
sweep emits them as events, the terminal prints them, results.json keeps them.
"""

from __future__ import annotations

from . import contention
from .model import Context, Run

DEFAULT_CV_THRESHOLD = 0.05
# Above this share of a calibrated cell's figure, the first call's extra cost
# is worth a warning.
FIRST_CALL_SHARE_THRESHOLD = 0.1
# The machine counts as busy during a run when this share of its kept samples
# were contended, or as many were measured again.
BUSY_SHARE = 0.1
BUSY_PREFIX = "the machine was busy during this run"


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
                     runnable_others: int | None = None) -> list[str]:
    """Warnings about the build and the machine, known before any cell runs."""
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
    over = sorted(t for t in set(thread_counts) if t > cpus)
    if over:
        warnings.append(
            f"thread count(s) {', '.join(map(str, over))} exceed the {cpus} usable CPUs: those "
            "cells oversubscribe the CPUs and measure time-sharing, not parallel speed")
    return warnings


def cell_warnings(run: Run, cv_threshold: float = DEFAULT_CV_THRESHOLD) -> list[str]:
    """What the measured (and derived) cells say about the quality of their own figures.

    When the machine was busy, that one warning comes first and stands for the
    symptoms it explains (spread-out samples, parallel cells slower than one
    thread) in the cells that kept contended samples.
    """
    busy = busy_warning(run)
    warnings = [busy] if busy else []
    sequential_despite_threads = set()
    for cell in run.cells:
        workload = cell.workload
        if not cell.ok or workload is None:
            continue
        if busy and any(s.contended for s in cell.samples):
            continue
        cv = cell.stats.cv if cell.stats is not None else None
        if cv is not None and cv > cv_threshold:
            remedies = "more samples (--samples)"
            if workload.calibrated:
                remedies += ", a longer timed loop (--min-time)"
            if workload.parallel and cell.threads > 1:
                remedies += ", pinned threads (--pin)"
            warnings.append(f"{cell.name}: samples vary by {cv * 100:.1f}% (CV above "
                            f"{cv_threshold * 100:g}%): use {remedies} or a quieter machine")
        share = cell.first_call_share
        if share is not None and share > FIRST_CALL_SHARE_THRESHOLD:
            # min-time that brings the first call's share down to the threshold
            excess = cell.first_call_excess
            needed = excess * (1 - FIRST_CALL_SHARE_THRESHOLD) / FIRST_CALL_SHARE_THRESHOLD
            warnings.append(
                f"{cell.name}: the first call in each process costs {excess * 1e3:.3g} ms more "
                f"than a later one (memory touched for the first time, the thread team started), "
                f"{share * 100:.0f}% of the reported time at {cell.repetitions} "
                f"repetition(s): use --min-time {needed:.2g} or more, or --hugepages, for a "
                "figure of the steady call")
        if not workload.parallel or cell.threads < 2:
            continue
        if workload.parallel_min_n is None:
            sequential_despite_threads.add(cell.program)
        elif cell.n >= workload.parallel_min_n and cell.speedup is not None \
                and cell.speedup <= 1.0:
            warnings.append(
                f"{cell.name}: no speedup ({cell.speedup:.2f}x the 1-thread time of the same rounds) "
                f"although libstdc++'s parallel mode runs {cell.program} on the OpenMP team "
                f"from n = {workload.parallel_min_n}: at this size {cell.threads} threads are "
                "no faster than one")
    for program in sorted(sequential_despite_threads):
        warnings.append(f"{program}: libstdc++'s parallel mode has no parallel {program}; every "
                        "thread count runs the same sequential call, so no speedup is expected")
    return warnings
