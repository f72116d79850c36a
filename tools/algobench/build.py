"""Configures and builds the programs through the CMake presets."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

from .workload import WORKLOADS

ROOT = pathlib.Path(__file__).resolve().parents[2]

# The benchmark programs alone, without the tests.
PROGRAM_TARGETS = tuple(workload.executable for workload in WORKLOADS.values())


def build_dir(preset: str = "release") -> pathlib.Path:
    return ROOT / "build" / preset


def ensure_built(preset: str = "release", targets: tuple[str, ...] = ()) -> pathlib.Path:
    """Configures the preset if needed, builds what is out of date (only `targets`
    when given), returns bin/."""
    directory = build_dir(preset)
    if not (directory / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "--preset", preset], cwd=ROOT, check=True, stdout=sys.stderr,
                       env=dict(os.environ))
    jobs = str(os.cpu_count() or 2)
    subprocess.run(
        ["cmake", "--build", "--preset", preset, "--parallel", jobs]
        + (["--target", *targets] if targets else []),
        cwd=ROOT,
        check=True,
        stdout=sys.stderr,
        env=dict(os.environ),
    )
    return directory / "bin"


def run_tests(preset: str = "release") -> int:
    """Builds the preset and runs every test through CTest."""
    ensure_built(preset)
    return subprocess.run(["ctest", "--preset", preset], cwd=ROOT, env=dict(os.environ)).returncode
