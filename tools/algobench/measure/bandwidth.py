"""Memory bandwidth per thread count, from the bandwidth_probe program.

The probe runs three kernels over arrays far larger than the caches (a
read-only sum, a copy and a triad) with an OpenMP team of the given size and
prints the best rate of each in bytes per second. The runner measures it for
every thread count of a sweep, so that a memory-bound program's bytes per
second can be shown as a share of what the machine delivered at the same
thread count. Its output is parsed as strictly as the benchmarks' own.
"""

from __future__ import annotations

import dataclasses
import pathlib
import re
import subprocess
import sys
import types

from . import machine
from .placement import Placement, started_on
from ..plan.workload import PARALLEL_MODE

PROBE = "bandwidth_probe"
KERNELS = ("sum", "copy", "triad")

_LINES = [
    ("threads", re.compile(r"\Athreads: (?P<value>[1-9]\d*)\Z")),
    ("array_bytes", re.compile(r"\Aarray bytes: (?P<value>[1-9]\d*)\Z")),
    ("repetitions", re.compile(r"\Arepetitions: (?P<value>[1-9]\d*)\Z")),
] + [(kernel, re.compile(rf"\A{kernel}: (?P<value>[1-9]\d*)\Z")) for kernel in KERNELS]


@dataclasses.dataclass(frozen=True)
class _ProbeCell:
    """The probe as placement sees it: an OpenMP team of `threads`."""

    threads: int
    backend: str = PARALLEL_MODE
    workload = types.SimpleNamespace(parallel=True)


class ProbeError(RuntimeError):
    """The probe failed, timed out or printed something other than its report."""


@dataclasses.dataclass(frozen=True)
class Probe:
    """One run of the probe."""

    threads: int
    array_bytes: int
    repetitions: int
    rates: dict[str, float]  # kernel -> bytes per second


def parse_output(text: str) -> Probe:
    """Parses the probe's whole standard output; raises ProbeError on any deviation."""
    if not text.endswith("\n"):
        raise ProbeError("probe output does not end with a newline")
    lines = text[:-1].split("\n")
    if len(lines) != len(_LINES):
        raise ProbeError(f"probe output: expected {len(_LINES)} lines, got {len(lines)}")
    values: dict[str, int] = {}
    for number, (line, (field, pattern)) in enumerate(zip(lines, _LINES), start=1):
        match = pattern.match(line)
        if match is None:
            raise ProbeError(f"probe output line {number} is not the {field} line: {line!r}")
        values[field] = int(match["value"])
    return Probe(
        threads=values["threads"],
        array_bytes=values["array_bytes"],
        repetitions=values["repetitions"],
        rates={kernel: float(values[kernel]) for kernel in KERNELS},
    )


def run_probe(
    executable: pathlib.Path,
    threads: int,
    timeout: float = 120.0,
    array_mib: int | None = None,
    repetitions: int | None = None,
    placement: Placement | None = None,
) -> Probe:
    """Runs the probe once with `threads` threads and returns its parsed report;
    under `placement`, on the CPUs and memory policy of a cell of as many threads
    (the probe is an OpenMP program of the parallel mode), so that a cell's share
    of the bandwidth compares like with like."""
    placement = placement or Placement()
    cell = _ProbeCell(threads)
    cpus = placement.cpus(cell)
    command = placement.prefix(cpus) + [str(executable), str(threads)]
    if array_mib is not None or repetitions is not None:
        command.append(str(array_mib if array_mib is not None else 64))
    if repetitions is not None:
        command.append(str(repetitions))
    try:
        with started_on(frozenset(cpus) if cpus is not None else None):
            completed = subprocess.run(command, env=machine.program_environment(
                placement.env(cell, cpus)), capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as error:
        raise ProbeError(f"{PROBE} with {threads} threads took more than {timeout} s") from error
    if completed.returncode != 0:
        detail = completed.stderr.strip() or "no message"
        raise ProbeError(
            f"{PROBE} with {threads} threads exited with status {completed.returncode}: {detail}"
        )
    probe = parse_output(completed.stdout)
    if probe.threads != threads:
        raise ProbeError(
            f"{PROBE} asked for {threads} threads but ran {probe.threads}"
        )
    return probe


def measure(
    bin_dir: pathlib.Path | str,
    thread_counts,
    timeout: float = 120.0,
    array_mib: int | None = None,
    repetitions: int | None = None,
    placement: Placement | None = None,
) -> dict[int, dict[str, float]]:
    """Returns {threads: {"sum": B/s, "copy": B/s, "triad": B/s}}, one probe run per count.

    Without a built probe it says so once on stderr and returns {}. A failing
    probe or malformed output raises ProbeError.
    """
    executable = pathlib.Path(bin_dir) / PROBE
    if not executable.is_file():
        print(
            f"note: {executable} is not built; no bandwidth figures for this run",
            file=sys.stderr,
        )
        return {}
    result: dict[int, dict[str, float]] = {}
    for threads in sorted(set(int(t) for t in thread_counts)):
        probe = run_probe(executable, threads, timeout, array_mib, repetitions, placement)
        result[threads] = dict(probe.rates)
    return result
