"""What the runner's tests share: stand-in programs and an in-process `suite run`."""

import contextlib
import io
import os
import pathlib
import sys
import tempfile

TESTS = pathlib.Path(__file__).resolve().parent
FIXTURES = TESTS / "fixtures" / "runner"
sys.path.insert(0, str(TESTS.parent / "tools"))

from algobench import cli  # noqa: E402
from algobench.output import PROGRAMS  # noqa: E402


def standin_bin(directory: pathlib.Path) -> pathlib.Path:
    """A bin/ directory whose bench_<name> are all the stand-in script."""
    bin_dir = pathlib.Path(directory) / "bin"
    bin_dir.mkdir()
    for program in PROGRAMS.values():
        (bin_dir / program.executable).symlink_to(FIXTURES / "standin.py")
    return bin_dir


def run_suite(argv: list[str]) -> tuple[int, str, str]:
    """`suite <argv>` in this process: (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(argv)
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

    def run(self, *options: str, fault: str = "") -> tuple[int, str, str]:
        env = {"STANDIN_FAULT": fault}
        saved = {k: os.environ.get(k) for k in env}
        os.environ.update(env)
        try:
            return run_suite(["run", "--bin-dir", str(self.bin_dir), "--out", str(self.out),
                              "--no-bandwidth", "--no-plots", "--samples", "2",
                              "--min-time", "0.001", *options])
        finally:
            for key, value in saved.items():
                if value is None:
                    os.environ.pop(key, None)
                else:
                    os.environ[key] = value
