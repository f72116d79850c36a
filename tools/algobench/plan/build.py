"""Configures and builds the programs through the CMake presets."""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import pathlib
import re
import shlex
import signal
import subprocess
import sys

from . import packages
from .workload import BACKENDS, PARALLEL_MODE, WORKLOADS

ROOT = pathlib.Path(__file__).resolve().parents[3]

# The benchmark programs alone, without the tests.
PROGRAM_TARGETS = tuple(workload.executable for workload in WORKLOADS.values())


def build_dir(preset: str = "release") -> pathlib.Path:
    return ROOT / "build" / preset


# How long a build interrupted by the runner has to end before it is killed.
STOP_GRACE_SECONDS = 5.0


# The file in a build tree that one suite at a time holds while it configures or
# builds there: a second waits, then finds the tree up to date.
LOCK_FILE = ".algobench-build.lock"
_locked: set[pathlib.Path] = set()  # the trees this process holds


@contextlib.contextmanager
def tree_lock(tree: pathlib.Path):
    """Holds `tree`'s lock (fcntl.flock; the kernel drops it if the holder dies),
    waiting for another suite that holds it, and saying so. A tree the lock
    cannot be made in is built unlocked: CMake then says what is wrong there."""
    tree = pathlib.Path(tree).resolve()
    if tree in _locked:
        yield
        return
    try:
        tree.mkdir(parents=True, exist_ok=True)
        handle = open(tree / LOCK_FILE, "a")
    except OSError:
        yield
        return
    with handle:  # closing it releases the lock
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(f"note: another suite is building {tree}; waiting for it to finish",
                  file=sys.stderr, flush=True)
            fcntl.flock(handle, fcntl.LOCK_EX)
        _locked.add(tree)
        try:
            yield
        finally:
            _locked.discard(tree)


class BuildError(RuntimeError):
    """A build the runner asked for that could not be made or found."""


# What `cmake --build` prints about a target it had nothing to do for.
_IDLE = re.compile(r"^(\[\s*\d+%\] Built target \S+|Consolidate compiler generated dependencies "
                   r"of target \S+)$")


class ProgramsMissing(BuildError):
    """A folder of programs that lacks some of those asked for."""


def run_group(command: list[str], lines=None, **kwargs) -> int:
    """Runs `command` in a process group of its own and returns its exit status. When
    the runner is interrupted (Ctrl-C, or a SIGINT sent to the runner alone), the
    whole group is terminated, compilers and all, and waited for before the
    interrupt goes on. With `lines`, its output (standard output and error
    together) is handed to that function line by line."""
    if lines is not None:
        kwargs.update(stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                      errors="replace")
    child = subprocess.Popen(command, start_new_session=True, **kwargs)
    try:
        for line in child.stdout if lines is not None else ():
            lines(line)
        return child.wait()
    except BaseException:
        _stop_group(child)
        raise
    finally:
        if child.stdout is not None:
            child.stdout.close()


def _stop_group(child: subprocess.Popen) -> None:
    """Terminates the process group of `child` and waits for its leader; the group
    is killed when it outlives the grace time."""
    for sent in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(child.pid, sent)
        except ProcessLookupError:
            pass
        try:
            child.wait(timeout=STOP_GRACE_SECONDS)
            return
        except subprocess.TimeoutExpired:
            continue
    child.wait()


def _step(name: str, command: list[str], quiet_when_idle: bool = False) -> None:
    """Runs one CMake step, its output on standard error; BuildError when it fails.
    With `quiet_when_idle`, the lines of targets that were already up to date are
    held back until the step does something (or fails), so that a build with
    nothing to do prints nothing."""
    held: list[str] | None = []

    def show(line: str) -> None:
        nonlocal held
        if quiet_when_idle and held is not None and _IDLE.match(line.rstrip("\n")):
            held.append(line)
            return
        if held:
            sys.stderr.write("".join(held))
        held = None if quiet_when_idle else []
        sys.stderr.write(line)
        sys.stderr.flush()

    try:
        returncode = run_group(command, lines=show, cwd=ROOT, env=dict(os.environ))
    except OSError as error:
        raise BuildError(f"{name} failed: cannot run {command[0]}: "
                         f"{error.strerror or error}") from None
    if returncode != 0:
        sys.stderr.write("".join(held or ()))
        raise BuildError(f"{name} failed: `{shlex.join(command)}` exited with status "
                         f"{returncode}")


def build_info(bin_dir: pathlib.Path) -> dict:
    """The build-info.json CMake writes beside a build tree's bin/; {} when there is none."""
    try:
        info = json.loads((pathlib.Path(bin_dir).parent / "build-info.json").read_text())
    except (OSError, ValueError):
        return {}
    return info if isinstance(info, dict) else {}


def backends_built(bin_dir: pathlib.Path, programs=None) -> tuple[dict[str, str | None], bool]:
    """Each backend but the parallel mode, with None when `bin_dir` holds its
    programs (of `programs`, default all), or why not; and whether the build
    declared its backends.

    A build tree says it in build-info.json (CMake leaves out a backend it
    cannot build and records the reason: the C++17 variants without oneTBB);
    a bare folder of programs holds a backend when it has those programs of it.
    """
    bin_dir = pathlib.Path(bin_dir)
    declared = build_info(bin_dir).get("backends")
    status: dict[str, str | None] = {}
    for name in BACKENDS:
        if name == PARALLEL_MODE:
            continue
        executables = [w.executable_for(name) for w in WORKLOADS.values()
                       if name in w.backends and (programs is None or w.name in programs)]
        if isinstance(declared, dict):
            entry = declared.get(name)
            if not isinstance(entry, dict):
                status[name] = "this build does not know the backend (built before it existed)"
                continue
            if not entry.get("built"):
                status[name] = str(entry.get("reason") or "not built")
                continue
        missing = missing_programs(bin_dir, executables)
        status[name] = (None if not missing else
                        f"{bin_dir} lacks {', '.join(missing[:2])}{', ...' if len(missing) > 2 else ''}")
    return status, isinstance(declared, dict)


# The package groups this process has provided for, and whether a package
# arrived since the last configure (CMake must then look for it again).
_provided: set[str] = set()
_reconfigure = False


def _provide(groups, who: str) -> None:
    """Provides the packages of `groups` (see packages.py), once per process."""
    global _reconfigure
    groups = tuple(g for g in groups if g not in _provided)
    _provided.update(groups)
    lacking = packages.missing(groups) if groups else []
    if lacking and len(packages.provide(groups, who)) < len(lacking):
        _reconfigure = True


def _configure(preset: str) -> None:
    """Configures the preset when it has no tree yet, or a package has just arrived."""
    global _reconfigure
    with tree_lock(build_dir(preset)):
        if _reconfigure or not (build_dir(preset) / "CMakeCache.txt").exists():
            _step("configuring", ["cmake", "--preset", preset])
            _reconfigure = False


def program_targets(preset: str = "release", who: str = "suite run") -> tuple[str, ...]:
    """The eight programs and every backend variant the preset's configuration
    builds (providing the packages and configuring first if needed)."""
    _provide(packages.RUN, who)
    _configure(preset)
    variants = build_info(build_dir(preset) / "bin").get("variants") or []
    return PROGRAM_TARGETS + tuple(v for v in variants if isinstance(v, str))


def ensure_built(preset: str = "release", targets: tuple[str, ...] = (),
                 who: str = "suite run", groups=packages.RUN) -> pathlib.Path:
    """Provides the packages of `groups` (see packages.py), configures the preset
    if needed (again when a package was just installed, so that CMake finds it),
    builds what is out of date (only `targets` when given), returns bin/. Raises
    BuildError, naming the step, when CMake fails."""
    _provide(groups, who)
    jobs = str(os.cpu_count() or 2)
    with tree_lock(build_dir(preset)):
        _configure(preset)
        _step("building", ["cmake", "--build", "--preset", preset, "--parallel", jobs]
              + (["--target", *targets] if targets else []), quiet_when_idle=True)
    return build_dir(preset) / "bin"


def run_tests(preset: str = "release") -> int:
    """Builds the preset and runs every test through CTest; CTest's exit status."""
    groups = packages.TEST + (("clang",) if preset == "clang" else ())
    ensure_built(preset, who="suite test", groups=groups)
    # The tests are independent but for those tests/CMakeLists.txt locks or
    # runs alone; CTEST_PARALLEL_LEVEL, when set, says how many at once.
    jobs = [] if os.environ.get("CTEST_PARALLEL_LEVEL") else ["--parallel", str(os.cpu_count() or 2)]
    try:
        return run_group(["ctest", "--preset", preset, *jobs], cwd=ROOT, env=dict(os.environ))
    except OSError as error:
        raise BuildError(f"testing failed: cannot run ctest: {error.strerror or error}") from None


def missing_programs(directory: pathlib.Path, executables) -> list[str]:
    """Those of `executables` that `directory` does not hold as runnable files."""
    return [name for name in executables
            if not (directory / name).is_file() or not os.access(directory / name, os.X_OK)]


def _has_programs(directory: pathlib.Path) -> bool:
    return all((directory / target).is_file() for target in PROGRAM_TARGETS)


def resolve_programs(spec: str, preset: str = "release",
                     needed: tuple[str, ...] = PROGRAM_TARGETS) -> tuple[pathlib.Path, str]:
    """The bin/ directory that `spec` names, and how it was found.

    `spec` is a directory holding the programs `needed` (a bin/ directory or a
    build tree with bin/ inside), or a git revision of this repository, which is
    checked out into build/ab/<commit>/src and built there with the preset's
    build type (once: a later call reuses the build). A folder holding some
    programs but not all of `needed` is ProgramsMissing, naming those it lacks.
    """
    path = pathlib.Path(spec)
    for candidate in (path, path / "bin"):
        if candidate.is_dir() and not missing_programs(candidate, needed):
            return candidate.resolve(), f"programs in {candidate}"
    for candidate in (path, path / "bin"):
        if candidate.is_dir() and len(missing_programs(candidate, PROGRAM_TARGETS)) < len(
                PROGRAM_TARGETS):
            raise ProgramsMissing(f"{spec} lacks {', '.join(missing_programs(candidate, needed))} "
                                  f"(no such executable file in {candidate})")
    if path.exists():
        raise BuildError(f"{spec} holds no built programs (looked for "
                         f"{', '.join(PROGRAM_TARGETS[:2])}, ... there and in {spec}/bin)")
    commit = _git(["rev-parse", "--verify", "--quiet", f"{spec}^{{commit}}"])
    if commit is None:
        raise BuildError(f"{spec} is neither a folder of built programs nor a git revision "
                         "of this repository")
    return build_revision(commit.strip(), preset), f"git {spec} ({commit.strip()[:12]})"


def _git(arguments: list[str]) -> str | None:
    try:
        completed = subprocess.run(["git", *arguments], cwd=ROOT, capture_output=True, text=True,
                                   env=dict(os.environ))
    except OSError:
        return None
    return completed.stdout if completed.returncode == 0 else None


def _check_out(commit: str, source: pathlib.Path) -> None:
    """The tree of one commit, unpacked into `source`."""
    try:
        source.mkdir(parents=True, exist_ok=True)
        archive = subprocess.run(["git", "archive", "--format=tar", commit], cwd=ROOT,
                                 capture_output=True, env=dict(os.environ))
        if archive.returncode != 0:
            raise BuildError(f"cannot export commit {commit[:12]}: "
                             f"{archive.stderr.decode(errors='replace').strip()}")
        unpack = subprocess.run(["tar", "-x", "-C", str(source)], input=archive.stdout,
                                capture_output=True, env=dict(os.environ))
    except OSError as error:
        raise BuildError(f"cannot check out commit {commit[:12]} into {source}: "
                         f"{error.strerror or error}") from None
    if unpack.returncode != 0:
        raise BuildError(f"cannot unpack commit {commit[:12]} into {source}")


def build_revision(commit: str, preset: str = "release") -> pathlib.Path:
    """Builds the programs of one commit into a tree of their own; returns its bin/."""
    home = ROOT / "build" / "ab" / commit[:12]
    source, tree = home / "src", home / preset
    bin_dir = tree / "bin"
    if _has_programs(bin_dir):
        return bin_dir
    with tree_lock(tree):  # a second `ab` of the commit waits, then finds it built
        if not _has_programs(bin_dir):
            if not (source / "CMakeLists.txt").exists():
                _check_out(commit, source)
            build_tree(tree, PROGRAM_TARGETS, source=source,
                       what=f"building commit {commit[:12]}")
    if not _has_programs(bin_dir):
        raise BuildError(f"commit {commit[:12]} built, but its programs are not in {bin_dir}")
    return bin_dir


def build_tree(tree: pathlib.Path, targets: tuple[str, ...], source: pathlib.Path = ROOT,
               what: str = "building") -> pathlib.Path:
    """Configures `source` with the release build type into a tree of its own, then
    builds `targets` and every backend variant the configuration declares; returns
    its bin/. Raises BuildError, naming the step, when CMake fails."""
    tree = pathlib.Path(tree)
    jobs = str(os.cpu_count() or 2)
    with tree_lock(tree):
        _step(what, ["cmake", "-S", str(source), "-B", str(tree), "-DCMAKE_BUILD_TYPE=Release",
                     "-DBUILD_TESTING=OFF"])
        variants = [v for v in build_info(tree / "bin").get("variants") or []
                    if isinstance(v, str)]
        _step(what, ["cmake", "--build", str(tree), "--parallel", jobs, "--target", *targets,
                     *variants])
    return tree / "bin"
