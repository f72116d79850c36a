"""What the runner's tests share: the package on the path, the build under
test and a way to run its programs, stand-in programs, the `suite` command
(in this process or as a person runs it), strict JSON, and results built by
hand.

Every test file imports this first, so it runs alone (`python3
tests/runner_test.py`) as well as through CTest; outside CTest the
programs come from build/release/bin when that build exists.
"""

import atexit
import contextlib
import io
import json
import os
import pathlib
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

TESTS = pathlib.Path(__file__).resolve().parent
ROOT = TESTS.parent
FIXTURES = TESTS / "fixtures" / "runner"
REPORT_FIXTURES = TESTS / "fixtures" / "report"
# Recorded machines (a few of their /sys files and lscpu's output), to plan for.
MACHINES = TESTS / "fixtures" / "machines"


def on_machine(name: str, usable: str | None = None):
    """The runner planning for a recorded machine, on the usable CPUs given."""
    return mock.patch.dict(os.environ, {"ALGOBENCH_SYS_ROOT": str(MACHINES / name),
                                        **({"ALGOBENCH_USABLE_CPUS": usable} if usable else {})})
sys.path.insert(0, str(ROOT / "tools"))

from algobench import cli  # noqa: E402
from algobench.record import store  # noqa: E402
from algobench.model.contention import Contention  # noqa: E402
from algobench.plan.matrix import cell_name  # noqa: E402
from algobench.model import CellResult, Context, Run, Sample  # noqa: E402
from algobench.plan.workload import PARALLEL_MODE, WORKLOADS  # noqa: E402

# The suite's command as a person runs it, in a process of its own.
SUITE = [sys.executable, str(ROOT / "suite")]
# A tiny sweep: two rounds of a millisecond's loop, no bandwidth probe, no plots.
TINY = ["--samples", "2", "--min-time", "0.001", "--no-bandwidth", "--no-plots"]


# The stand-ins (`#!/usr/bin/env python3`) run on the tests' own Python, found
# directly: a version manager's shim first on PATH costs a second a process.
os.environ["PATH"] = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])

# Every run a test makes registers itself in a store: never the one a person
# keeps in results/, nor one named in the environment, but one of this process.
_STORE_DIR = tempfile.mkdtemp(prefix="algobench-test-store-")
atexit.register(shutil.rmtree, _STORE_DIR, ignore_errors=True)
os.environ[store.STORE_ENV] = str(pathlib.Path(_STORE_DIR) / "store.sqlite")


def _built_bin() -> str | None:
    if os.environ.get("ALGOBENCH_BIN"):
        return os.environ["ALGOBENCH_BIN"]
    default = ROOT / "build" / "release" / "bin"
    return str(default) if (default / "bench_count_if").exists() else None


# The programs under test: CTest's build, or the release build when run alone.
BIN = _built_bin()
BUILD = pathlib.Path(os.environ.get("ALGOBENCH_BUILD") or (pathlib.Path(BIN).parent if BIN else ""))
# What CMake wrote of the build: its programs, variants, backends and flags.
BUILD_INFO = json.loads((BUILD / "build-info.json").read_text()) \
    if BIN and (BUILD / "build-info.json").exists() else {}
SANITIZED = "-fsanitize=address" in BUILD_INFO.get("cxx_flags", "")
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
# What AddressSanitizer says when it refuses an allocation it was told to refuse.
ASAN_REFUSAL = re.compile(r"^==\d+==WARNING: AddressSanitizer failed to allocate .*\n", re.M)


def require_build() -> None:
    """Skips the calling module's tests when no built programs are at hand."""
    if BIN is None:
        raise unittest.SkipTest("no built programs: run through CTest or build the release preset")


def run_program(executable: str, *args: object, starved: bool = False,
                limit_stack: int | None = None, timeout: int = 300) -> subprocess.CompletedProcess:
    """Runs one program of the build; fails the test on any sanitizer report.

    `starved`: the program cannot have a few hundred megabytes. Under
    AddressSanitizer its allocator refuses them itself (and the warning it
    prints for that is taken out of stderr); elsewhere an address-space limit
    makes the request impossible. `limit_stack`: a hard limit on its stack."""
    env, limits = None, []
    if starved and SANITIZED:
        env = {**os.environ, "ASAN_OPTIONS": "allocator_may_return_null=1:max_allocation_size_mb=64"}
    elif starved:
        limits.append((resource.RLIMIT_AS, 256 << 20))
    if limit_stack:
        limits.append((resource.RLIMIT_STACK, limit_stack))

    def limit():
        for kind, value in limits:
            resource.setrlimit(kind, (value, value))

    completed = subprocess.run(
        [str(pathlib.Path(BIN) / executable), *map(str, args)], capture_output=True, text=True,
        timeout=timeout, env=env, preexec_fn=limit if limits else None)
    for mark in SANITIZER_MARKS:
        if mark in completed.stderr:
            raise AssertionError(f"sanitizer report from {executable} {args}:\n{completed.stderr}")
    if starved:
        completed.stderr = ASAN_REFUSAL.sub("", completed.stderr)
    return completed


def strict_json(text: str):
    """JSON that refuses NaN and infinity, as every results file must."""
    def refuse(constant):
        raise ValueError(f"non-standard JSON constant {constant}")
    return json.loads(text, parse_constant=refuse)


def load(out: pathlib.Path) -> dict:
    """The results.json of a results folder, strictly read."""
    return strict_json((pathlib.Path(out) / "results.json").read_text())


def standin_bin(directory: pathlib.Path, name: str = "bin",
                backends: tuple[str, ...] = ("parallel-mode",)) -> pathlib.Path:
    """A folder `name` whose programs of `backends` (bench_<name> for the
    parallel mode, bench_<name>_par ... for the others) are all the stand-in."""
    bin_dir = pathlib.Path(directory) / name
    bin_dir.mkdir()
    for workload in WORKLOADS.values():
        for backend in backends:
            if backend in workload.backends:
                (bin_dir / workload.executable_for(backend)).symlink_to(FIXTURES / "standin.py")
    return bin_dir


def suite_process(*argv, **options) -> subprocess.CompletedProcess:
    """`./suite <argv>` in a process of its own, as a person runs it; `options`
    go to subprocess.run."""
    return subprocess.run([*SUITE, *map(str, argv)], **{
        "capture_output": True, "text": True, "timeout": 120, "env": dict(os.environ), **options})


def run_suite(argv: list[str]) -> tuple[int, str, str]:
    """`suite <argv>` in this process: (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = cli.main(argv)
        except SystemExit as exit:  # argparse's refusals
            status = exit.code
    return status, out.getvalue(), err.getvalue()


class StandinSweep:
    """A temporary directory with stand-in programs (of `backends`) and a place for results."""

    def __init__(self, backends: tuple[str, ...] = ("parallel-mode",)) -> None:
        self.backends = backends

    def __enter__(self):
        self._temporary = tempfile.TemporaryDirectory()
        root = pathlib.Path(self._temporary.name)
        self.bin_dir = standin_bin(root, backends=self.backends)
        self.out = root / "out"
        return self

    def __exit__(self, *exc):
        self._temporary.cleanup()

    def run(self, *options: str, fault: str = "", env: dict | None = None, contention=None):
        """`suite run` on the stand-ins, small and quick, in the rounds asked for (no
        extra rounds unless `options` ask for them); returns (status, stdout, stderr).

        What the runner sees of the machine around each process comes from
        `contention` (runner._contention's arguments in, a Contention out):
        by default a quiet machine, so that a busy test machine changes
        neither the processes a test sees nor the warnings it reads."""
        with mock.patch.dict(os.environ, {"STANDIN_FAULT": fault, **(env or {})}), \
                mock.patch("algobench.measure.runner._contention", side_effect=contention or quiet):
            return run_suite(["run", "--bin-dir", str(self.bin_dir), "--out", str(self.out),
                              *TINY, "--extra-rounds", "0", *options])


def quiet(before, after, wall, usage, hz=None) -> Contention:
    """What a quiet machine would have shown around a process."""
    return Contention(wall_seconds=wall, cpu_seconds=usage.ru_utime + usage.ru_stime,
                      involuntary_switches=usage.ru_nivcsw, steal_share=0.0, others_share=0.0,
                      others_seconds=0.0, runnable_others=0, load_avg=0.0)


def cell(program: str, n: int, threads: int, samples: list[float], status: str = "ok",
         repetitions: int = 1, fourth: int | str | None = None, failure: str | None = None,
         backend: str = PARALLEL_MODE, name: str | None = None,
         rounds: bool | list[int] = False) -> CellResult:
    """A cell as a run would record it, before the derive step. `fourth="sweep"`
    gives it the fourth argument the sweep passes for n; `rounds` the rounds
    its samples ran in (True: the i-th sample in round i)."""
    if fourth == "sweep":
        fourth = WORKLOADS[program].fourth(n)
    if rounds is True:
        rounds = list(range(len(samples)))
    return CellResult(name=name or cell_name(program, n, threads, backend), program=program, n=n,
                      threads=threads, backend=backend, repetitions=repetitions, fourth=fourth,
                      status=status, failure=failure or (None if status == "ok" else "exit status 1"),
                      samples=[Sample(s, round=r) for s, r in
                               zip(samples, rounds or [None] * len(samples))])


def run_of(cells: list[CellResult], bandwidth: dict | None = None, **context) -> Run:
    """A run of these cells on a made-up machine."""
    base = {"host": "h", "cpu_model": "c", "compiler": "g++", "compiler_version": "12.2.0",
            "libstdcxx_version": "20230707", "date": "2024-05-01T00:00:00+00:00"}
    base.update(context)
    return Run(Context(**base), cells, bandwidth)
