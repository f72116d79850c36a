"""What the runner records about the machine and the build it measures with."""

from __future__ import annotations

import dataclasses
import datetime
import json
import os
import pathlib
import platform
import re
import socket
import subprocess
import time

from ..plan.build import ROOT
from ..model import Context
from ..plan.workload import WORKLOADS
from . import shape


def _read(path: str | pathlib.Path) -> str | None:
    try:
        return pathlib.Path(path).read_text(encoding="utf-8", errors="replace").strip()
    except OSError:
        return None


def _command(argv: list[str], **kwargs) -> str | None:
    try:
        completed = subprocess.run(argv, env=dict(os.environ), capture_output=True, text=True,
                                   timeout=20, **kwargs)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return completed.stdout if completed.returncode == 0 else None


def cpuinfo_field(field: str) -> str | None:
    text = _read("/proc/cpuinfo") or ""
    match = re.search(rf"^{re.escape(field)}\s*:\s*(.*)$", text, re.MULTILINE)
    return match.group(1).strip() if match else None


def build_info(bin_dir: pathlib.Path) -> dict:
    """The build-info.json CMake writes next to bin/, or {} when there is none."""
    text = _read(pathlib.Path(bin_dir).parent / "build-info.json")
    try:
        return json.loads(text) if text else {}
    except json.JSONDecodeError:
        return {}


def governors() -> dict[int, str]:
    """The frequency governor of every usable CPU that /sys reports one for."""
    found = {}
    for cpu in sorted(os.sched_getaffinity(0)):
        governor = _read(f"/sys/devices/system/cpu/cpu{cpu}/cpufreq/scaling_governor")
        if governor:
            found[cpu] = governor
    return found


def libstdcxx_version(bin_dir: pathlib.Path, compiler: str | None) -> str | None:
    """The libstdc++ the programs load (its file name) and the headers' release date."""
    parts = []
    # Any parallel-mode program links the same libstdc++ as the others.
    probe = next(w.executable for w in WORKLOADS.values() if w.parallel)
    ldd = _command(["ldd", str(pathlib.Path(bin_dir) / probe)])
    match = re.search(r"libstdc\+\+\.so\S*\s+=>\s+(\S+)", ldd or "")
    if match:
        parts.append(pathlib.Path(os.path.realpath(match.group(1))).name)
    if compiler:
        macros = _command([compiler, "-dM", "-E", "-x", "c++", "-"],
                          input="#include <bits/c++config.h>\n")
        date = re.search(r"#define __GLIBCXX__ (\d+)", macros or "")
        release = re.search(r"#define _GLIBCXX_RELEASE (\d+)", macros or "")
        if date:
            parts.append(f"__GLIBCXX__ {date.group(1)}"
                         + (f", release {release.group(1)}" if release else ""))
    return "; ".join(parts) or None


def git_commit() -> tuple[str | None, bool | None]:
    commit = _command(["git", "rev-parse", "HEAD"], cwd=ROOT)
    status = _command(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT)
    return (commit.strip() if commit else None), (bool(status.strip()) if status is not None else None)


# Variables by which the OpenMP runtimes would run a team other than the one a
# program is given (and reports): libgomp's and LLVM's caps and dynamic
# adjustment. The programs run without them, so a cell's thread count is the
# team it ran on. (oneTBB reads none: its variants set their own limit.)
TEAM_VARIABLES = ("OMP_THREAD_LIMIT", "OMP_DYNAMIC", "KMP_ALL_THREADS",
                  "KMP_DEVICE_THREAD_LIMIT", "KMP_TEAMS_THREAD_LIMIT", "KMP_DYNAMIC_MODE")


def team_variables_set() -> dict[str, str]:
    """The TEAM_VARIABLES this environment sets, which the programs run without."""
    return {name: os.environ[name] for name in TEAM_VARIABLES if name in os.environ}


def program_environment(changes: dict[str, str]) -> dict[str, str]:
    """A program's environment: the runner's own, less TEAM_VARIABLES, plus `changes`."""
    env = {k: v for k, v in os.environ.items() if k not in TEAM_VARIABLES}
    env.update(changes)
    return env


# What else changes what the runtimes under the programs do, beside OMP_*:
# libgomp's GOMP_* (GOMP_CPU_AFFINITY, GOMP_SPINCOUNT ...), LLVM libomp's KMP_*
# and LIBOMP_*, oneTBB's TBB_* (its allocator's huge pages among them), glibc's
# allocator (MALLOC_*, GLIBC_TUNABLES) and the loader's choice of libraries
# (LD_PRELOAD, LD_LIBRARY_PATH, LD_BIND_NOW: an allocator or libgomp of another
# build, the first call's symbol binding).
RUNTIME_PREFIXES = ("GOMP_", "KMP_", "LIBOMP_", "TBB_", "MALLOC_")
RUNTIME_NAMES = ("GLIBC_TUNABLES", "LD_PRELOAD", "LD_LIBRARY_PATH", "LD_BIND_NOW")


def runtime_environment(pin: bool) -> tuple[dict[str, str], dict[str, str]]:
    """The variables the programs run with that change what their runtimes do:
    (the OMP_* ones, the others); the runner keeps TEAM_VARIABLES from them."""
    omp, others = {}, {}
    for name, value in os.environ.items():
        if name in TEAM_VARIABLES:
            continue
        if name.startswith("OMP_"):
            omp[name] = value
        elif name.startswith(RUNTIME_PREFIXES) or name in RUNTIME_NAMES:
            others[name] = value
    if pin:  # each OpenMP cell's places are its own CPUs, one a place
        omp.update(OMP_PROC_BIND="close", OMP_PLACES="{each CPU of the cell's pinned.cpus}")
    return dict(sorted(omp.items())), dict(sorted(others.items()))


def collect(bin_dir: pathlib.Path, command_line: list[str], pin: bool, hugepages: bool,
            samples: int, min_time: float) -> Context:
    info = build_info(bin_dir)
    uname = platform.uname()
    commit, dirty = git_commit()
    flags = " ".join(f for f in (info.get("cxx_flags"), info.get("cxx_flags_build_type"),
                                 info.get("openmp_flags")) if f)
    omp_env, runtime_env = runtime_environment(pin)
    machine = shape.read()
    return Context(**{
        "host": socket.gethostname(),
        "cpu_model": cpuinfo_field("model name"),
        "usable_cpus": len(os.sched_getaffinity(0)),
        "kernel": f"{uname.system} {uname.release} {uname.version}",
        "compiler": info.get("cxx_compiler_id"),
        "compiler_path": info.get("cxx_compiler"),
        "compiler_version": info.get("cxx_compiler_version"),
        "build_type": info.get("build_type"),
        "build_flags": flags,
        "libstdcxx_version": libstdcxx_version(bin_dir, info.get("cxx_compiler")),
        "omp_env": omp_env,
        "runtime_env": runtime_env,
        "git_commit": commit,
        "git_dirty": dirty,
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "command_line": list(command_line),
        "pin": bool(pin),
        "hugepages": hugepages,
        "samples": samples,
        "min_time": float(min_time),
        "bin_dir": str(bin_dir),
        "mhz_per_cpu": _mhz(),
        "governors": {str(cpu): g for cpu, g in governors().items()},
        "caches": machine.caches,
        "shape": machine.record(),
        "load_avg": list(os.getloadavg()),
    })


@dataclasses.dataclass(frozen=True)
class CpuTimes:
    """The host-wide CPU counters of /proc/stat at one moment."""

    steal: int  # clock ticks given to other guests by the hypervisor
    total: int  # clock ticks of every kind, summed over the CPUs
    busy: int  # clock ticks the CPUs ran something (all but idle, iowait and steal)
    procs_running: int  # tasks runnable at that moment, the reader included
    load_avg: float  # one-minute load average


def cpu_times() -> CpuTimes | None:
    """The machine's CPU counters now, or None where /proc does not give them."""
    text = _read("/proc/stat")
    return parse_proc_stat(text, os.getloadavg()[0]) if text else None


def parse_proc_stat(text: str, load_avg: float) -> CpuTimes | None:
    """The counters of a /proc/stat text; None when it lacks them."""
    steal = total = busy = running = None
    for line in text.splitlines():
        fields = line.split()
        if fields and fields[0] == "cpu":
            ticks = [int(f) for f in fields[1:]]
            # user nice system idle iowait irq softirq steal guest guest_nice;
            # guest time is already counted in user and nice.
            total = sum(ticks[:8])
            steal = ticks[7] if len(ticks) > 7 else 0
            busy = total - ticks[3] - (ticks[4] if len(ticks) > 4 else 0) - steal
        elif fields and fields[0] == "procs_running":
            running = int(fields[1])
    if total is None or running is None:
        return None
    return CpuTimes(steal, total, busy, running, load_avg)


def runnable_others(readings: int = 5, interval: float = 0.05) -> int | None:
    """How many other tasks keep the CPUs busy now: the fewest runnable tasks
    (less this one) over a few readings, so a task that only passes by (a
    kernel thread waking up) is not counted."""
    counts = []
    for index in range(readings):
        if index:
            time.sleep(interval)
        now = cpu_times()
        if now is None:
            return None
        counts.append(max(now.procs_running - 1, 0))
    return min(counts)


def clock_ticks_per_second() -> int:
    """The unit of /proc/stat's counters."""
    try:
        return os.sysconf("SC_CLK_TCK")
    except (ValueError, OSError):
        return 100


def memory_available() -> int | None:
    """Bytes of memory the kernel estimates a new process can have without
    swapping (MemAvailable of /proc/meminfo), or None where it does not say."""
    text = _read("/proc/meminfo")
    return parse_meminfo(text) if text else None


def parse_meminfo(text: str) -> int | None:
    """MemAvailable of a /proc/meminfo text, in bytes; None when it lacks it."""
    match = re.search(r"^MemAvailable:\s*(\d+)\s*kB\s*$", text, re.MULTILINE)
    return int(match.group(1)) * 1024 if match else None


def _mhz() -> int | None:
    mhz = cpuinfo_field("cpu MHz")
    try:
        return round(float(mhz)) if mhz else None
    except ValueError:
        return None
