"""When a sample shared the machine with someone else, and what follows.

For every measured process the runner records what says another process
competed for the CPUs while it ran:

- steal: the share of all CPU time over the sample that the hypervisor gave
  to other guests (from the host's /proc/stat), on a shared virtual machine
  the usual sign of a busy neighbour;
- runnable: how many other tasks were ready to run when the sample started
  (procs_running of /proc/stat, less the runner itself);
- involuntary context switches of the child (os.wait4): its threads were
  taken off a CPU for someone else; an OpenMP team then waits at its next
  barrier for the thread that lost its CPU;
- the child's CPU time and the load average, recorded for the reader.

A sample is contended when the steal share or the rate of involuntary switches
crosses its threshold: both say what the process itself lost while it ran.
Runnable tasks at the start are only recorded: a one-thread process on a
two-CPU machine loses nothing to one other task, and a task that starts later
shows in the other two. The runner measures a contended sample again (a
bounded number of times); the run's summary says how many samples it replaced
and, when the machine was busy, opens with one warning that says so with the
numbers.
"""

from __future__ import annotations

import dataclasses

# More than this share of the CPUs' time stolen during a sample.
STEAL_SHARE = 0.05
# Involuntary switches per second of the sample's wall time beyond a small
# allowance: a quiet machine gives a handful per process (the kernel's own
# housekeeping), a competing busy process hundreds per second.
SWITCH_ALLOWANCE = 20
SWITCHES_PER_SECOND = 50.0
# How often the runner measures a contended round of a cell group again.
RETRIES = 2


@dataclasses.dataclass
class Contention:
    """What the runner saw of the machine around one sample."""

    wall_seconds: float | None = None
    cpu_seconds: float | None = None
    involuntary_switches: int | None = None
    steal_share: float | None = None
    runnable_others: int | None = None
    load_avg: float | None = None

    def reason(self) -> str | None:
        """Why this sample counts as contended, or None when it does not."""
        reasons = []
        if self.steal_share is not None and self.steal_share > STEAL_SHARE:
            reasons.append(f"{self.steal_share * 100:.0f}% of CPU time stolen")
        switches = self.involuntary_switches
        if switches is not None and self.wall_seconds is not None and switches > SWITCH_ALLOWANCE \
                and switches > SWITCHES_PER_SECOND * self.wall_seconds:
            reasons.append(f"{switches} involuntary context switches in "
                           f"{self.wall_seconds * 1e3:.0f} ms")
        return "; ".join(reasons) or None

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)


def rule_text() -> str:
    """The rule, as the summary states it."""
    return (f"a sample is contended when more than {STEAL_SHARE * 100:g}% of the CPU time was "
            f"stolen during it, or its process was switched out involuntarily more than "
            f"{SWITCHES_PER_SECOND:g} times a second (and more than {SWITCH_ALLOWANCE} times)")
