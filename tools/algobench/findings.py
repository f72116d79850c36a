"""What a run's context and figures say about how far its figures can be trusted.

The warning policy lives here, apart from whoever shows the warnings: the
sweep emits them as events, the terminal prints them, results.json keeps them.
"""

from __future__ import annotations

from .model import Context, Run

DEFAULT_CV_THRESHOLD = 0.05
# Above this share of a calibrated cell's figure, the first call's extra cost
# is worth a warning.
FIRST_CALL_SHARE_THRESHOLD = 0.1


def machine_warnings(context: Context, thread_counts: list[int]) -> list[str]:
    """Warnings about the build and the machine, known before any cell runs."""
    warnings = []
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
    """What the measured (and derived) cells say about the quality of their own figures."""
    warnings = []
    sequential_despite_threads = set()
    for cell in run.cells:
        workload = cell.workload
        if not cell.ok or workload is None:
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
                f"{cell.name}: no speedup ({cell.speedup:.2f}x the 1-thread median) "
                f"although libstdc++'s parallel mode runs {cell.program} on the OpenMP team "
                f"from n = {workload.parallel_min_n}: at this size {cell.threads} threads are "
                "no faster than one")
    for program in sorted(sequential_despite_threads):
        warnings.append(f"{program}: libstdc++'s parallel mode has no parallel {program}; every "
                        "thread count runs the same sequential call, so no speedup is expected")
    return warnings
