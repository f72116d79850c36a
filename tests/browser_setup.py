"""Installs the browser test's node modules (tests/browser) with `npm ci` when they
are missing or not the versions package-lock.json pins.

CTest runs this before the browser test (a fixture), so `./suite test` sets up
a new machine by itself. Where npm is missing or the install fails, it says so
and leaves it to the browser test to skip, naming the reason; with CI=true
both fail instead.
"""

import fcntl
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

BROWSER = pathlib.Path(__file__).resolve().parent / "browser"
LOCK = BROWSER / "package-lock.json"
INSTALL_TIMEOUT = 300


def in_ci() -> bool:
    return os.environ.get("CI") == "true"


def missing_modules() -> list[str]:
    """The locked packages that node_modules lacks or holds in another version."""
    locked = json.loads(LOCK.read_text(encoding="utf-8"))["packages"]
    missing = []
    for path, entry in locked.items():
        if not path:
            continue
        manifest = BROWSER / path / "package.json"
        try:
            version = json.loads(manifest.read_text(encoding="utf-8")).get("version")
        except (OSError, ValueError):
            version = None
        if version != entry.get("version"):
            missing.append(f"{path.removeprefix('node_modules/')}@{entry.get('version')}")
    return missing


def install() -> str | None:
    """Runs npm ci; returns why it could not, or None."""
    npm = shutil.which("npm")
    if npm is None:
        return "npm is not installed (Debian: apt-get install npm)"
    try:
        completed = subprocess.run(
            [npm, "ci", "--ignore-scripts", "--no-audit", "--no-fund"], cwd=BROWSER,
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=INSTALL_TIMEOUT)
    except subprocess.TimeoutExpired:
        return f"npm ci did not finish within {INSTALL_TIMEOUT} s"
    except OSError as error:
        return f"npm could not start: {error.strerror or error}"
    if completed.returncode != 0:
        return f"npm ci failed (exit status {completed.returncode}): " \
               + _npm_reason(completed.stderr)
    return None


def _npm_reason(stderr: str) -> str:
    """The line of npm's error output that says what went wrong."""
    for line in stderr.splitlines():
        text = line.removeprefix("npm error").removeprefix("npm ERR!").strip()
        if text and not re.match(r"(code|syscall|errno) \S+$|A complete log", text):
            return text
    return "no message"


def main() -> int:
    # Two test runs (release and asan) may start at once: one installs, the other waits.
    with open(LOCK, "rb") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        missing = missing_modules()
        if not missing:
            print("browser test modules: present")
            return 0
        print(f"browser test modules: installing {', '.join(missing)} with npm ci in {BROWSER}")
        problem = install()
        if problem is None and missing_modules():
            problem = f"npm ci left {', '.join(missing_modules())} missing"
    if problem is None:
        print("browser test modules: installed")
        return 0
    print(f"browser test modules: {problem}", file=sys.stderr)
    if in_ci():
        print("CI is true: the browser test cannot run without them", file=sys.stderr)
        return 1
    print("the browser test will be skipped", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
