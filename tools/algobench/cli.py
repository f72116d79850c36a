"""Command line of the suite: `run` and `test`."""

from __future__ import annotations

import argparse
import subprocess

from . import build
from .output import PROGRAMS


def _run(arguments: argparse.Namespace) -> int:
    bin_dir = build.ensure_built("release")
    status = 0
    for program in PROGRAMS.values():
        command = [str(bin_dir / program.executable), str(arguments.n)]
        print(f"$ {program.executable} {arguments.n}", flush=True)
        status |= subprocess.run(command).returncode
    return status


def _test(arguments: argparse.Namespace) -> int:
    return build.run_tests(arguments.preset)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="suite", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="build, then run every program once")
    run.add_argument("--n", type=int, default=1_000_000, help="element count (default 1000000)")
    run.set_defaults(handler=_run)
    test = commands.add_parser("test", help="build, then run every test")
    test.add_argument("--preset", default="release", help="CMake preset (default release)")
    test.set_defaults(handler=_test)
    arguments = parser.parse_args(argv)
    return arguments.handler(arguments)
