"""What the runner's tests share: the package on the path, the build under
test, stand-in programs, an in-process `suite`, and results built by hand.

Every test file imports this first, so it runs alone (`python3
tests/runner_checks_test.py`) as well as through CTest; outside CTest the
programs come from build/release/bin when that build exists.
"""

import atexit
import contextlib
import io
import os
import pathlib
import shutil
import sys
import tempfile
from unittest import mock

TESTS = pathlib.Path(__file__).resolve().parent
ROOT = TESTS.parent
FIXTURES = TESTS / "fixtures" / "runner"
REPORT_FIXTURES = TESTS / "fixtures" / "report"
sys.path.insert(0, str(ROOT / "tools"))

from algobench import cli, store  # noqa: E402
from algobench.contention import Contention  # noqa: E402
from algobench.model import CellResult, Context, Run, Sample  # noqa: E402
from algobench.workload import WORKLOADS  # noqa: E402


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
    """A temporary directory with stand-in programs and a place for results."""

    def __enter__(self):
        self._temporary = tempfile.TemporaryDirectory()
        root = pathlib.Path(self._temporary.name)
        self.bin_dir = standin_bin(root)
        self.out = root / "out"
        return self

    def __exit__(self, *exc):
        self._temporary.cleanup()

    def run(self, *options: str, fault: str = "", env: dict | None = None, contention=None):
        """`suite run` on the stand-ins, small and quick; returns (status, stdout, stderr).

        What the runner sees of the machine around each process comes from
        `contention` (runner._contention's arguments in, a Contention out):
        by default a quiet machine, so that a busy test machine changes
        neither the processes a test sees nor the warnings it reads."""
        with mock.patch.dict(os.environ, {"STANDIN_FAULT": fault, **(env or {})}), \
                mock.patch("algobench.runner._contention", side_effect=contention or quiet):
            return run_suite(["run", "--bin-dir", str(self.bin_dir), "--out", str(self.out),
                              "--no-bandwidth", "--no-plots", "--samples", "2",
                              "--min-time", "0.001", *options])


def quiet(before, after, wall, usage, hz=None) -> Contention:
    """What a quiet machine would have shown around a process."""
    return Contention(wall_seconds=wall, cpu_seconds=usage.ru_utime + usage.ru_stime,
                      involuntary_switches=usage.ru_nivcsw, steal_share=0.0, others_share=0.0,
                      others_seconds=0.0, runnable_others=0, load_avg=0.0)


def cell(program: str, n: int, threads: int, samples: list[float], status: str = "ok",
         repetitions: int = 1, fourth: int | None = None,
         failure: str | None = None) -> CellResult:
    """A cell as a run would record it, before the derive step."""
    return CellResult(name=f"{program}/n:{n}/threads:{threads}", program=program, n=n,
                      threads=threads, repetitions=repetitions, fourth=fourth, status=status,
                      failure=failure or (None if status == "ok" else "exit status 1"),
                      samples=[Sample(s) for s in samples])


def run_of(cells: list[CellResult], bandwidth: dict | None = None, **context) -> Run:
    """A run of these cells on a made-up machine."""
    base = {"host": "h", "cpu_model": "c", "compiler": "g++", "compiler_version": "12.2.0",
            "libstdcxx_version": "20230707", "date": "2024-05-01T00:00:00+00:00"}
    base.update(context)
    return Run(Context(**base), cells, bandwidth)
