"""The system packages the suite uses, and what to do when some are missing.

packages.txt at the top of the repository lists them (.ci/run reads it too).
`./suite run` and `./suite test` ask `provide` for the groups they need
before they build: as root on a Debian-family system the missing packages are
installed with one apt-get, after one line saying which and what for;
anywhere else one line names what is left out and the exact command that
would install it, and the command carries on without those parts (the build
and the tests already leave out what their packages would have given).

An install is tried once per process, and a failed one is not tried again
for a day (build/packages-failed remembers it), so that a machine without a
mirror does not wait for it on every run.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[3]
LIST = ROOT / "packages.txt"
FAILED = ROOT / "build" / "packages-failed"

# apt-get update and the install together; a mirror that stalls must not hold
# up a command for longer than this.
INSTALL_TIMEOUT = 300.0
# How long a failed install keeps a later command from trying it again.
RETRY_AFTER = 24 * 3600.0

# Who needs which groups of the list.
RUN = ("run",)
TEST = ("run", "test")

_clock = time.monotonic  # what the install's time limit is measured with
_tried: set[str] = set()  # packages this process has tried to install


@dataclasses.dataclass(frozen=True)
class Package:
    """One line of packages.txt."""
    name: str
    group: str
    command: str | None  # on PATH, it stands for the package (installed another way)
    purpose: str


@dataclasses.dataclass(frozen=True)
class Machine:
    """What decides between installing and saying how: root, Debian, apt-get."""
    root: bool
    debian: bool
    apt: bool

    @classmethod
    def this(cls) -> "Machine":
        return cls(root=hasattr(os, "geteuid") and os.geteuid() == 0,
                   debian=pathlib.Path("/etc/debian_version").exists(),
                   apt=shutil.which("apt-get") is not None)


def load(path: pathlib.Path = LIST) -> list[Package]:
    """The packages of the list, in its order."""
    packages = []
    for line in pathlib.Path(path).read_text().splitlines():
        if line.strip() and not line.lstrip().startswith("#"):
            name, group, command, purpose = line.split(None, 3)
            packages.append(Package(name, group, None if command == "-" else command, purpose))
    return packages


def _dpkg_installed(name: str) -> bool | None:
    """Whether dpkg holds the package installed; None without dpkg-query."""
    try:
        completed = subprocess.run(["dpkg-query", "-W", "-f=${Status}", name],
                                   capture_output=True, text=True, env=dict(os.environ))
    except OSError:
        return None
    return completed.returncode == 0 and completed.stdout.endswith("install ok installed")


def missing(groups, names=None, packages=None) -> list[Package]:
    """Those packages of `groups` (only `names` of them when given) this machine
    lacks. A package whose command is on PATH counts as present; one without a
    command is judged by dpkg, and left out of the answer where there is no
    dpkg to ask."""
    found = []
    for package in load() if packages is None else packages:
        if package.group not in groups or (names is not None and package.name not in names):
            continue
        if package.command is not None and shutil.which(package.command) is not None:
            continue
        installed = _dpkg_installed(package.name)
        if installed is None and package.command is None:
            continue
        if not installed:
            found.append(package)
    return found


def purposes(packages) -> str:
    """What the packages are for, each purpose once, in order."""
    return "; ".join(dict.fromkeys(p.purpose for p in packages))


def install_command(packages, machine: Machine) -> list[str]:
    """The command that installs the packages on this machine."""
    names = [p.name for p in packages]
    return (["apt-get", "install", "-y", *names] if machine.root
            else ["sudo", "apt-get", "install", *names])


def decide(lacking, machine: Machine, tried=frozenset()) -> str:
    """What to do about the missing packages: "nothing", "install" or "say"
    (also when every one of them was `tried` already and failed)."""
    if not lacking:
        return "nothing"
    if (machine.root and machine.debian and machine.apt
            and not {p.name for p in lacking} <= set(tried)):
        return "install"
    return "say"


def _recently_failed() -> set[str]:
    try:
        if time.time() - FAILED.stat().st_mtime < RETRY_AFTER:
            return set(FAILED.read_text().split())
    except OSError:
        pass
    return set()


def _remember_failure(packages) -> None:
    try:
        FAILED.parent.mkdir(parents=True, exist_ok=True)
        FAILED.write_text("".join(f"{p.name}\n" for p in packages))
    except OSError:
        pass


def _apt(packages) -> str | None:
    """apt-get update, then the install, within INSTALL_TIMEOUT in all; None
    when it worked, else why it stopped."""
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    deadline = _clock() + INSTALL_TIMEOUT
    for command in (["apt-get", "update"],
                    ["apt-get", "install", "-y", "--no-install-recommends",
                     *(p.name for p in packages)]):
        shown = shlex.join(command)
        try:
            left = deadline - _clock()
            if left <= 0:
                raise subprocess.TimeoutExpired(command, 0)
            completed = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                                       capture_output=True, text=True, timeout=left)
        except subprocess.TimeoutExpired:
            return f"{shown} had not finished within the {INSTALL_TIMEOUT:g} s the install may take"
        except OSError as error:
            return f"{shown} could not start: {error.strerror or error}"
        if completed.returncode != 0:
            lines = [line.strip() for line in (completed.stderr or "").splitlines() if line.strip()]
            return (f"{shown} failed (exit status {completed.returncode}): "
                    f"{lines[-1] if lines else 'no message'}")
    return None


def provide(groups, who: str, names=None, say: bool = True, packages=None,
            machine: Machine | None = None) -> list[Package]:
    """Makes sure the packages of `groups` (only `names` of them when given) are
    there for `who` (e.g. "suite run"): installs the missing ones as root on
    Debian, else, when `say`, says what is left out and how to install it.
    Returns the packages still missing; one line on standard error for each
    thing done."""
    lacking = missing(groups, names, packages)
    machine = machine or Machine.this()
    action = decide(lacking, machine, (_recently_failed() | _tried) if lacking else ())
    if action == "install":
        _tried.update(p.name for p in lacking)
        print(f"{who}: installing {' '.join(p.name for p in lacking)} with apt-get "
              f"(at most {INSTALL_TIMEOUT:g} s), for {purposes(lacking)}", file=sys.stderr)
        stopped = _apt(lacking)
        if stopped is not None:
            print(f"{who}: installing stopped: {stopped}", file=sys.stderr)
        lacking = missing(groups, names, packages)
        if lacking:
            _remember_failure(lacking)
        elif FAILED.exists():
            FAILED.unlink(missing_ok=True)
    if lacking and say:
        how = (f"run `{shlex.join(install_command(lacking, machine))}`" if machine.debian
               else f"install {' '.join(p.name for p in lacking)} with the system's package manager")
        print(f"{who}: left out for want of {' '.join(p.name for p in lacking)}: "
              f"{purposes(lacking)}; to include them, {how}", file=sys.stderr)
    return lacking
