"""When a sample shared the machine with someone else, and what follows.

For every measured process the runner records what says another process
competed for the CPUs while it ran:

- steal: the share of all CPU time over the sample that the hypervisor gave
  to other guests (from the host's /proc/stat), on a shared virtual machine
  the usual sign of a busy neighbour;
- others: the CPU time that other processes of this machine used while the
  sample ran: the machine's busy time over the sample (/proc/stat) less the
  child's own CPU time (os.wait4), as a share of all CPU time; a competing
  busy process shows as half of a two-CPU machine;
- the child's CPU time and involuntary context switches, the load average and
  the runnable tasks when it started, recorded for the reader (switches alone
  say little: on a two-CPU machine a two-thread team is switched out a
  hundred times a second for the kernel's own threads, quiet or not).

A sample is contended when the steal share or the others' share crosses its
threshold. The runner measures a contended sample again (a bounded number of
times); the run's summary says how many samples it replaced and, when the
machine was busy, opens with one warning that says so with the numbers.
"""

from __future__ import annotations

import dataclasses

# More than this share of the CPUs' time stolen during a sample.
STEAL_SHARE = 0.05
# More than this share of all CPU time used by other processes of the
# machine, and at least OTHERS_SECONDS of it (the kernel counts CPU time in
# ticks of 10 ms, so a short sample's share is coarse).
OTHERS_SHARE = 0.15
OTHERS_SECONDS = 0.03
# How often the runner measures a contended round of a cell group again.
RETRIES = 2


@dataclasses.dataclass
class Contention:
    """What the runner saw of the machine around one sample."""

    wall_seconds: float | None = None
    cpu_seconds: float | None = None
    involuntary_switches: int | None = None
    steal_share: float | None = None
    others_share: float | None = None
    others_seconds: float | None = None
    runnable_others: int | None = None
    load_avg: float | None = None

    def reason(self) -> str | None:
        """Why this sample counts as contended, or None when it does not."""
        reasons = []
        if self.steal_share is not None and self.steal_share > STEAL_SHARE:
            reasons.append(f"{self.steal_share * 100:.0f}% of CPU time stolen")
        if self.others_share is not None and self.others_seconds is not None \
                and self.others_share > OTHERS_SHARE and self.others_seconds >= OTHERS_SECONDS:
            reasons.append(f"other processes used {self.others_share * 100:.0f}% of the CPU time")
        return "; ".join(reasons) or None

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)


def rule_text() -> str:
    """The rule, as the summary states it."""
    return (f"a sample is contended when more than {STEAL_SHARE * 100:g}% of the CPU time was "
            f"stolen during it by the hypervisor, or other processes of this machine used more "
            f"than {OTHERS_SHARE * 100:g}% of it (and at least {OTHERS_SECONDS * 1e3:g} ms)")
