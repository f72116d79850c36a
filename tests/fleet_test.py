"""Fleets on a real Slurm: a one-node cluster of this machine, started for these
tests and removed after them.

munged, slurmctld and slurmd (Debian's munge and slurm-wlm) run in the
foreground as children of this process, each in a process group of its own,
configured in a temporary folder and listening on 127.0.0.1 only; every Slurm
command finds the cluster through SLURM_CONF. The fleets sweep stand-in
programs, so nothing is built or timed: a fleet that finishes, then one whose
tasks finish, fail, are cancelled and run out of time.

Without root or the daemons the tests are skipped with the reason, unless CI
is "true": then they fail.
"""

import ctypes
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from unittest import mock

from support import TINY, run_suite, standin_bin

from algobench import fleet
from algobench.fleet import slurm

DAEMONS = ("munged", "slurmctld", "slurmd")
CLIENTS = ("sbatch", "scontrol", "sinfo", "scancel", "squeue")
# What each fleet sweeps: two stand-in programs at one size, in a few seconds.
SMALL = ["--programs", "count_if,find_if", "--sizes", "1000", "--threads", "1", *TINY,
         "--timeout", "300"]
CLUSTER = None


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _die_with_this_process() -> None:
    """In a daemon's child before exec: SIGTERM when the test process dies, so that
    a test killed from outside (a CTest timeout) leaves no daemon behind."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _missing() -> str | None:
    """Why a cluster cannot be started here, or None."""
    if os.geteuid() != 0:
        return "the test cluster runs its daemons as root"
    for name in DAEMONS + CLIENTS:
        if shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin") is None:
            return f"{name} is not installed (Debian packages munge, slurm-wlm, slurm-client)"
    return None


class Cluster:
    """A one-node Slurm of this machine in a temporary folder."""

    def __init__(self) -> None:
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="algobench-slurm-"))
        self.node = socket.gethostname().split(".")[0]
        self.conf = self.folder / "slurm.conf"
        self.env = {**os.environ, "SLURM_CONF": str(self.conf),
                    "PATH": os.environ.get("PATH", "") + ":/usr/sbin:/sbin"}
        self.daemons: list[subprocess.Popen] = []

    def _daemon(self, name: str, *arguments: str) -> None:
        log = open(self.folder / f"{name}.out", "w")
        self.daemons.append(subprocess.Popen([shutil.which(name, path=self.env["PATH"]),
                                              *arguments], env=self.env, stdout=log,
                                             stderr=subprocess.STDOUT, start_new_session=True,
                                             preexec_fn=_die_with_this_process))
        log.close()

    def start(self) -> None:
        f = self.folder
        for name in ("state", "spool"):
            (f / name).mkdir()
        key = f / "munge.key"
        key.write_bytes(os.urandom(1024))
        key.chmod(0o600)
        (f / "plugstack.conf").write_text("")
        socket_path = f / "munge.socket"
        self._daemon("munged", "--foreground", "--force", f"--socket={socket_path}",
                     f"--key-file={key}", f"--pid-file={f / 'munged.pid'}",
                     f"--log-file={f / 'munged.log'}", f"--seed-file={f / 'munged.seed'}")
        self._wait(lambda: socket_path.exists(), "munged made no socket")
        self.conf.write_text(f"""\
ClusterName=algobench-test
SlurmctldHost={self.node}(127.0.0.1)
SlurmctldPort={_free_port()}
SlurmdPort={_free_port()}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={socket_path}
StateSaveLocation={f / 'state'}
SlurmdSpoolDir={f / 'spool'}
SlurmctldPidFile={f / 'slurmctld.pid'}
SlurmdPidFile={f / 'slurmd.pid'}
SlurmctldLogFile={f / 'slurmctld.log'}
SlurmdLogFile={f / 'slurmd.log'}
PlugStackConfig={f / 'plugstack.conf'}
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SchedulerType=sched/backfill
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SwitchType=switch/none
MailProg=/bin/true
ReturnToService=2
MinJobAge=5
KillWait=2
OverTimeLimit=0
InactiveLimit=0
NodeName={self.node} NodeAddr=127.0.0.1 CPUs={os.cpu_count()} RealMemory=500 State=UNKNOWN
PartitionName=test Nodes={self.node} Default=YES MaxTime=INFINITE State=UP
""")
        self._daemon("slurmctld", "-D", "-i", "-f", str(self.conf))
        self._wait(lambda: self.command("scontrol", "ping").returncode == 0
                   and "UP" in self.command("scontrol", "ping").stdout, "slurmctld is not up")
        self._daemon("slurmd", "-D", "-N", self.node, "-f", str(self.conf))
        self._wait(lambda: self.command("sinfo", "--noheader", "--format=%T").stdout.strip()
                   == "idle", "the node did not come up idle")

    def _wait(self, ready, what: str, seconds: float = 30) -> None:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if ready():
                return
            for daemon in self.daemons:
                if daemon.poll() is not None:
                    raise RuntimeError(f"{what}: {daemon.args[0]} exited ({self.logs()})")
            time.sleep(0.2)
        raise RuntimeError(f"{what} within {seconds:g} s ({self.logs()})")

    def logs(self) -> str:
        return "; ".join(f"{path.name}: {path.read_text(errors='replace').strip()[-300:]}"
                         for path in sorted(self.folder.glob("*.out")))

    def command(self, *arguments: str) -> subprocess.CompletedProcess:
        return subprocess.run(arguments, env=self.env, capture_output=True, text=True, timeout=30)

    def stop(self) -> None:
        """Cancels every job, stops the daemons and whatever they started (each
        process whose environment names this cluster's configuration), removes
        the folder."""
        if self.conf.exists():
            try:
                self.command("scancel", "--full", "--user", "root")
            except (OSError, subprocess.SubprocessError):
                pass
        for daemon in reversed(self.daemons):
            _end_group(daemon.pid)
            try:
                daemon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        marker = f"SLURM_CONF={self.conf}".encode()
        for entry in pathlib.Path("/proc").iterdir():
            if entry.name.isdigit() and int(entry.name) != os.getpid():
                try:
                    if marker in (entry / "environ").read_bytes().split(b"\0"):
                        os.kill(int(entry.name), signal.SIGKILL)
                except OSError:
                    pass
        shutil.rmtree(self.folder, ignore_errors=True)


def _end_group(pid: int) -> None:
    for sig, pause in ((signal.SIGTERM, 2.0), (signal.SIGKILL, 0.0)):
        try:
            os.killpg(pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + pause
        while time.monotonic() < deadline:
            try:
                os.killpg(pid, 0)
            except ProcessLookupError:
                return
            time.sleep(0.1)


def setUpModule():
    global CLUSTER
    reason = _missing()
    if reason is None:
        CLUSTER = Cluster()
        try:
            CLUSTER.start()
        except (OSError, RuntimeError, subprocess.SubprocessError) as error:
            CLUSTER.stop()
            CLUSTER = None
            reason = f"the test cluster did not start: {error}"
    if reason is not None:
        if os.environ.get("CI") == "true":
            raise RuntimeError(f"CI needs the Slurm tests, but {reason}")
        raise unittest.SkipTest(reason)


def tearDownModule():
    if CLUSTER is not None:
        CLUSTER.stop()


class FleetTest(unittest.TestCase):
    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.root = pathlib.Path(directory.name)
        self.bin_dir = standin_bin(self.root)
        self.store = self.root / "store.sqlite"
        patch = mock.patch.dict(os.environ, {"SLURM_CONF": str(CLUSTER.conf),
                                             "PATH": CLUSTER.env["PATH"], "STANDIN_FAULT": ""})
        patch.start()
        self.addCleanup(patch.stop)

    def suite(self, *argv):
        status, out, err = run_suite([*map(str, argv)])
        self.assertNotIn("Traceback", err)
        return status, out, err

    def submit(self, name: str, *options: str) -> fleet.Fleet:
        folder = self.root / name
        status, out, err = self.suite("fleet", "submit", "--fleet", folder, "--bin-dir",
                                      self.bin_dir, *options, *SMALL)
        self.assertEqual(status, 0, err)
        self.assertIn("submitted Slurm job", out)
        return fleet.Fleet.load(folder)

    def collect(self, found: fleet.Fleet):
        return self.suite("fleet", "collect", "--wait", "--poll", "0.5", "--fleet",
                          found.folder, "--store", self.store)

    def stored(self, run_ids):
        from algobench.record.store import Store
        with Store.open(self.store) as store:
            return [store.load_run(run_id) for run_id in run_ids]

    def test_a_fleet_placed_on_named_nodes_is_collected_and_compared(self):
        found = self.submit("fleet", "--nodelist", f"{CLUSTER.node},{CLUSTER.node}")
        self.assertEqual(found.manifest["array_size"], 2)
        status, out, err = self.collect(found)
        self.assertEqual(status, 0, out + err)
        self.assertIn("2 of 2 tasks done and imported", out)
        folders = [found.folder / f"{index}-{CLUSTER.node}" for index in (0, 1)]
        self.assertTrue(all((folder / "results.json").exists() for folder in folders))
        run_ids = [int(line.split("imported as run ")[1].split()[0])
                   for line in out.splitlines() if "imported as run " in line]
        self.assertEqual(len(set(run_ids)), 2, out)
        for run in self.stored(run_ids):
            self.assertEqual(sorted(c.name for c in run.cells),
                             ["count_if/n:1000/threads:1", "find_if/n:1000/threads:1"])
            self.assertTrue(all(c.ok and len(c.samples) == 2 for c in run.cells))
        # A second collect imports nothing twice.
        again_status, again, _ = self.collect(found)
        self.assertEqual(again_status, 0)
        self.assertEqual(sorted(int(line.split("imported as run ")[1].split()[0])
                                for line in again.splitlines() if "imported as run " in line),
                         sorted(run_ids))
        status, out, err = self.suite("fleet", "status", "--fleet", found.folder)
        self.assertEqual(status, 0, err)
        self.assertEqual([line.split()[2] for line in out.splitlines()[2:4]], ["done", "done"],
                         out)
        status, out, err = self.suite("fleet", "compare", "--fleet", found.folder)
        self.assertEqual(status, 0, err)
        self.assertIn(f"0-{CLUSTER.node} (reference)", out)
        self.assertIn(f"1-{CLUSTER.node}", out)

    def test_failed_cancelled_and_timed_out_tasks_are_told_apart(self):
        # The node runs one task at a time: 0 finishes, 1 fails a cell, 2 hangs
        # until it is cancelled, 3 hangs until its minute is up.
        with mock.patch.dict(os.environ, {"STANDIN_FAULT": "count_if:exit_3#1 count_if:hang#2 "
                                                           "count_if:hang#3"}):
            found = self.submit("mixed", "--nodes", "4", "--time", "1")
        self.assertEqual(found.manifest["time_limit_minutes"], 1)
        started = found.folder / f"2-{CLUSTER.node}" / "results.json"
        deadline = time.monotonic() + 120
        while not started.exists() and time.monotonic() < deadline:
            time.sleep(0.5)
        states = [s.state for s in fleet.statuses(found)]
        self.assertEqual(states, [fleet.DONE, fleet.FAILED, fleet.RUNNING, fleet.PENDING])
        slurm.cancel(f"{found.job_id}_2")
        status, out, err = self.collect(found)
        self.assertEqual(status, 1, out + err)
        lines = {int(line.split()[1]): line for line in out.splitlines()
                 if line.startswith("task ")}
        self.assertIn(": done", lines[0])
        self.assertIn("imported as run", lines[0])
        self.assertRegex(lines[1], r": failed \((Slurm: FAILED, )?exit status 1\)")
        self.assertIn("imported as run", lines[1])  # its sweep ran to the end
        self.assertIn(": cancelled", lines[2])
        self.assertIn(": timed out", lines[3])
        for index in (2, 3):
            self.assertIn("not imported: interrupted", lines[index])
        # The log tails: a failed cell, and Slurm's own words for the others.
        self.assertIn("FAILED count_if", out)
        self.assertRegex(out, r"\*\*\* JOB \d+ ON \S+ CANCELLED AT \S+ \*\*\*")
        self.assertIn("DUE TO TIME LIMIT", out)
        problems = [line for line in err.splitlines() if line.startswith("suite fleet collect:")]
        self.assertEqual([int(line.split()[4]) for line in problems], [1, 2, 3], err)
        # What the interrupted tasks measured stays in their folders.
        for index in (2, 3):
            self.assertTrue((found.folder / f"{index}-{CLUSTER.node}" / "results.json").exists())
        run_ids = [int(lines[index].split("imported as run ")[1].split()[0]) for index in (0, 1)]
        done, failed = self.stored(run_ids)
        self.assertTrue(all(c.ok for c in done.cells))
        self.assertEqual({c.name: c.status for c in failed.cells},
                         {"count_if/n:1000/threads:1": "failed",
                          "find_if/n:1000/threads:1": "ok"})


if __name__ == "__main__":
    unittest.main()
