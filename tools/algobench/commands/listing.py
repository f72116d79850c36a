"""`suite list`: the programs as the workload table describes them, their
arguments and defaults, their parallel mode, what one sample and one count is.
"""

from __future__ import annotations

import argparse
import sys

from ..plan.workload import WORKLOADS

# The arguments every program reads first, with the defaults the programs use.
PROGRAM_ARGUMENTS = (("n", 10000), ("threads", 1), ("repetitions", 1))


def add_parser(commands) -> None:
    """The parser of `list` among the suite's `commands`."""
    listing = commands.add_parser(
        "list", help="list the programs, their arguments and what a sample of each is",
        description="The benchmark programs as the runner knows them: their arguments and "
                    "defaults, whether they run in the parallel mode, what one sample is.")
    listing.set_defaults(handler=list_)


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
    text = (f"yes: the call runs on the OpenMP team from n = {workload.parallel_min_n} "
            f"(__gnu_parallel::_Settings::{workload.parallel_setting})"
            if workload.parallel_min_n is not None else "yes")
    if workload.max_threads is not None:
        text += f"; at most {workload.max_threads} threads"
    return text


def _count_text(workload) -> str:
    """What one instruction count (--metric instructions) of the program is."""
    if workload.calibrated:
        return ("the instructions of one steady call: a process of 1 + k calls less one of a "
                "single call, over k (the first call's one-time work left out; a call of "
                "5 x 10^7 or more: one call less that work as measured at a smaller size)")
    return "the instructions of the one call of a process, its one-time work included"


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
                  f"  one count:     {_count_text(workload)}"]
        if workload.parallel_work:
            lines.append(f"  work ratio:    instructions on p threads over those on one; the "
                         f"parallel mode adds {workload.parallel_work}")
        lines.append("")
    return "\n".join(lines)


def list_(arguments: argparse.Namespace, argv: list[str]) -> int:
    """`suite list`: the programs, their arguments and what a sample of each is."""
    sys.stdout.write(render_list())
    return 0
