"""Finding the suite's missing packages, and installing them or saying how, with
apt-get, dpkg and the machine mocked: no test installs anything."""

import contextlib
import io
import subprocess
import sys
import unittest
from unittest import mock

import support  # noqa: F401  (the package on the path)

from algobench.plan import packages

TBB, VALGRIND, CHROMIUM = (packages.Package("libtbb-dev", "run", None, "the C++17 variants"),
                           packages.Package("valgrind", "run", "valgrind", "instruction counts"),
                           packages.Package("chromium", "test", "chromium", "the browser test"))
LIST = [TBB, VALGRIND, CHROMIUM]
ROOT_DEBIAN = packages.Machine(root=True, debian=True, apt=True)


def provide(groups, machine, on_path=(), dpkg=None, run=None, calls=1, **kwargs):
    """provide() `calls` times on a machine with the commands `on_path` and the
    packages `dpkg` (None: no dpkg at all), apt-get doing `run`, which installs
    what it is asked for unless it fails: (results, apt-get commands, stderr)."""
    installed = set() if dpkg is None else set(dpkg)
    commands = []

    def apt(command, **options):
        commands.append(command)
        completed = run(command, **options) if run else subprocess.CompletedProcess(command, 0)
        if completed.returncode == 0 and "install" in command:
            installed.update(command[4:])
        return completed

    def which(name):
        return f"/usr/bin/{name}" if name in on_path or any(
            p.command == name and p.name in installed for p in LIST) else None

    err = io.StringIO()
    with mock.patch.object(packages.shutil, "which", side_effect=which), \
            mock.patch.object(packages, "_dpkg_installed",
                              side_effect=lambda name: None if dpkg is None else name in installed), \
            mock.patch.object(packages.subprocess, "run", side_effect=apt), \
            mock.patch.object(packages, "_recently_failed", return_value=set()), \
            mock.patch.object(packages, "_remember_failure"), \
            mock.patch.object(packages, "_tried", set()), \
            contextlib.redirect_stderr(err):
        results = [packages.provide(groups, "suite run", packages=LIST, machine=machine, **kwargs)
                   for _ in range(calls)]
    return results, commands, err.getvalue()


class DecisionTest(unittest.TestCase):
    def test_what_is_missing_and_what_is_done_about_it(self):
        not_root = packages.Machine(root=False, debian=True, apt=True)
        other_system = packages.Machine(root=True, debian=False, apt=False)
        cases = [
            # groups, machine, commands on PATH, dpkg's packages, missing, installs, says
            (packages.RUN, ROOT_DEBIAN, ["valgrind"], ["libtbb-dev"], [], False, None),
            # A command on PATH stands for its package, installed any other way.
            (packages.TEST, ROOT_DEBIAN, ["valgrind", "chromium"], ["libtbb-dev"], [], False, None),
            (packages.RUN, ROOT_DEBIAN, [], [], [TBB, VALGRIND], True, None),
            (packages.TEST, not_root, ["valgrind"], [], [TBB, CHROMIUM], False,
             "suite run: left out for want of libtbb-dev chromium: the C++17 variants; the browser "
             "test; to include them, run `sudo apt-get install libtbb-dev chromium`"),
            # Without dpkg, a package without a command cannot be judged, and is not named.
            (packages.RUN, other_system, [], None, [VALGRIND], False,
             "suite run: left out for want of valgrind: instruction counts; to include them, "
             "install valgrind with the system's package manager"),
            (packages.RUN, packages.Machine(root=True, debian=True, apt=False), ["valgrind"], [],
             [TBB], False, "suite run: left out for want of libtbb-dev: the C++17 variants; "
             "to include them, run `apt-get install -y libtbb-dev`"),
        ]
        for groups, machine, on_path, dpkg, lacking, installs, says in cases:
            with self.subTest(groups=groups, machine=machine, on_path=on_path, dpkg=dpkg):
                with mock.patch.object(packages.shutil, "which",
                                       side_effect=lambda n: n if n in on_path else None), \
                        mock.patch.object(packages, "_dpkg_installed",
                                          side_effect=lambda n: None if dpkg is None else n in dpkg):
                    self.assertEqual(packages.missing(groups, packages=LIST), lacking)
                results, commands, err = provide(groups, machine, on_path, dpkg)
                self.assertEqual(bool(commands), installs)
                self.assertEqual(results, [[]] if installs else [lacking])
                if says is not None:
                    self.assertEqual(err, says + "\n")
                elif not installs:
                    self.assertEqual(err, "")

    def test_install_says_what_and_why_on_one_line_before_it_starts(self):
        said_before = []

        def run(command, **kwargs):
            said_before.append(sys.stderr.getvalue())
            return subprocess.CompletedProcess(command, 0)

        results, commands, err = provide(packages.RUN, ROOT_DEBIAN, dpkg=[], run=run)
        self.assertEqual(commands, [["apt-get", "update"], ["apt-get", "install", "-y",
                                    "--no-install-recommends", "libtbb-dev", "valgrind"]])
        self.assertEqual(said_before[0], err)
        self.assertEqual(err, f"suite run: installing libtbb-dev valgrind with apt-get (at most "
                              f"{packages.INSTALL_TIMEOUT:g} s), for the C++17 variants; instruction counts\n")

    def test_update_and_install_share_one_time_limit(self):
        clock = iter([1000.0, 1000.0, 1120.0])  # the update takes 120 s
        timeouts = []

        def run(command, **kwargs):
            timeouts.append(kwargs["timeout"])
            self.assertEqual((kwargs["stdin"], kwargs["env"]["DEBIAN_FRONTEND"]),
                             (subprocess.DEVNULL, "noninteractive"))
            return subprocess.CompletedProcess(command, 0)

        with mock.patch.object(packages, "_clock", side_effect=lambda: next(clock)):
            provide(packages.RUN, ROOT_DEBIAN, ["valgrind"], [], run=run)
        self.assertEqual(timeouts, [packages.INSTALL_TIMEOUT, packages.INSTALL_TIMEOUT - 120])

    def test_a_stalled_or_failed_install_says_why_once_and_is_not_tried_again(self):
        def stall(command, **kwargs):
            raise subprocess.TimeoutExpired(command, kwargs["timeout"])

        def fail(command, **kwargs):
            status = 100 if "install" in command else 0
            return subprocess.CompletedProcess(command, status, "", "Reading...\nE: Unable to locate package\n")

        for run, why in ((stall, f"apt-get update had not finished within the "
                                 f"{packages.INSTALL_TIMEOUT:g} s the install may take"),
                         (fail, "apt-get install -y --no-install-recommends libtbb-dev failed "
                                "(exit status 100): E: Unable to locate package")):
            with self.subTest(why):
                results, commands, err = provide(packages.RUN, ROOT_DEBIAN, ["valgrind"], [],
                                                 run=run, calls=2)
                self.assertEqual(results, [[TBB], [TBB]])
                self.assertEqual(len(commands), 1 if run is stall else 2)
                # Said once each: the install, why it stopped, what is left out
                # (the second call only says what is left out).
                self.assertEqual(err.splitlines(), [
                    "suite run: installing libtbb-dev with apt-get (at most "
                    f"{packages.INSTALL_TIMEOUT:g} s), for the C++17 variants",
                    f"suite run: installing stopped: {why}",
                    *["suite run: left out for want of libtbb-dev: the C++17 variants; to include "
                      "them, run `apt-get install -y libtbb-dev`"] * 2])


class ListTest(unittest.TestCase):
    def test_the_list_names_every_group_the_commands_ask_for(self):
        listed = packages.load()
        self.assertEqual({p.group for p in listed}, {"run", "test", "clang"})
        self.assertIn("valgrind", [p.name for p in listed if p.group == "run"])


if __name__ == "__main__":
    unittest.main()
