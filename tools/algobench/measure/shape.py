"""The machine's shape: which CPUs share a core, which cores a socket, which
CPUs and memory a NUMA node, which CPUs are online and which of them this
process may use, and the caches of the first usable CPU.

Read from the kernel's /sys files (any root, so that a recorded machine's
files read like this one's); where /sys does not say which core, socket or
node a CPU belongs to, from `lscpu --parse` (run on this machine, or its
output recorded as lscpu.txt beside a recorded machine's sys/). A CPU
neither describes counts as a core and socket of its own, and a machine
without node files as one node: what cannot be read never merges CPUs that
may not share anything.

The runner plans its thread ladder for `described()`: this machine, or the
recorded one that ALGOBENCH_SYS_ROOT names (its usable CPUs: the
Cpus_allowed_list of its proc/self/status, else every online CPU), with
ALGOBENCH_USABLE_CPUS, a CPU list, standing for the usable set. A sweep
refuses to measure with either set: only a dry run plans for another machine.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib
import subprocess


def parse_cpu_list(text: str) -> list[int]:
    """The kernel's CPU list format, "0-3,8,10-11", as sorted CPU numbers."""
    cpus: set[int] = set()
    for part in text.strip().split(","):
        part = part.strip()
        if not part:
            continue
        first, _, last = part.partition("-")
        start, stop = int(first), int(last or first)
        cpus.update(range(start, stop + 1))
    return sorted(cpus)


def format_cpu_list(cpus) -> str:
    """Sorted CPU numbers in the kernel's list format: [0, 1, 2, 5] -> "0-2,5"."""
    parts, run = [], []
    for cpu in sorted(set(cpus)):
        if run and cpu == run[-1] + 1:
            run.append(cpu)
            continue
        if run:
            parts.append(f"{run[0]}-{run[-1]}" if len(run) > 1 else str(run[0]))
        run = [cpu]
    if run:
        parts.append(f"{run[0]}-{run[-1]}" if len(run) > 1 else str(run[0]))
    return ",".join(parts)


@dataclasses.dataclass
class Node:
    """A NUMA node: its CPUs (all of them, usable or not) and memory in bytes."""

    node: int
    cpus: list[int]
    memory: int | None = None


@dataclasses.dataclass
class Shape:
    """`cores` lists the usable CPUs of each physical core (hardware threads of
    one core together), ordered by socket, then core, then CPU number;
    `sockets` maps each socket to its usable cores' indexes in `cores`;
    `online` the CPUs the kernel runs (empty: not known); `caches` those of
    the first usable CPU (type, level, size in bytes, CPUs sharing it);
    `source` what said which core and socket each CPU is on."""

    usable: list[int]
    cores: list[list[int]]
    sockets: dict[int, list[int]]
    nodes: list[Node]
    online: list[int] = dataclasses.field(default_factory=list)
    caches: list[dict] = dataclasses.field(default_factory=list)
    source: str = "/sys"

    @property
    def threads_per_core(self) -> int:
        return max((len(core) for core in self.cores), default=1)

    def node_of(self, cpu: int) -> int | None:
        for node in self.nodes:
            if cpu in node.cpus:
                return node.node
        return None

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)

    def record(self) -> dict:
        """The shape as a run's context keeps it (Context.shape): the counts, the
        CPU sets in the kernel's list format, and the line that says it all."""
        return {
            "summary": self.summary(), "sockets": len(self.sockets), "cores": len(self.cores),
            "threads_per_core": self.threads_per_core, "hardware_threads": len(self.usable),
            "usable": format_cpu_list(self.usable), "online": format_cpu_list(self.online),
            "socket_cpus": {str(socket): format_cpu_list(cpu for i in indexes
                                                         for cpu in self.cores[i])
                            for socket, indexes in self.sockets.items()},
            "nodes": [{"node": n.node, "cpus": format_cpu_list(n.cpus), "memory": n.memory}
                      for n in self.nodes],
            "source": self.source}

    def summary(self) -> str:
        """"32 cores on 2 sockets, 2 hardware threads per core: 64 usable CPUs (0-63);
        2 NUMA nodes (node 0: CPUs 0-15,32-47, 64 GiB; node 1: ...)"."""
        each = {len(core) for core in self.cores}
        per_core = (f"{'up to ' if len(each) > 1 else ''}{self.threads_per_core} hardware "
                    f"thread{'s' if self.threads_per_core > 1 else ''} per core")
        usable = format_cpu_list(self.usable)
        part = (f" of {format_cpu_list(self.online)} online"
                if self.online and set(self.usable) < set(self.online) else "")
        nodes = "; ".join(f"node {n.node}: CPUs {format_cpu_list(n.cpus) or 'none'}"
                          + (f", {n.memory / 2**30:.3g} GiB" if n.memory else "")
                          for n in self.nodes)
        return (f"{_count(len(self.cores), 'core')} on {_count(len(self.sockets), 'socket')}, "
                f"{per_core}: {_count(len(self.usable), 'usable CPU')} ({usable}{part}); "
                f"{_count(len(self.nodes), 'NUMA node')} ({nodes})")


def _count(number: int, word: str) -> str:
    return f"{number} {word}{'' if number == 1 else 's'}"


def _text(path: pathlib.Path) -> str | None:
    try:
        return path.read_text()
    except (OSError, UnicodeDecodeError):
        return None


def _number(path: pathlib.Path) -> int | None:
    text = _text(path)
    try:
        return int(text.strip()) if text is not None else None
    except ValueError:
        return None


def _node_memory(meminfo: str | None) -> int | None:
    """MemTotal of a node's meminfo ("Node 0 MemTotal:  32768 kB"), in bytes."""
    for line in (meminfo or "").splitlines():
        fields = line.split()
        if "MemTotal:" in fields:
            at = fields.index("MemTotal:")
            if at + 1 < len(fields) and fields[at + 1].isdigit():
                return int(fields[at + 1]) * 1024
    return None


# What answers for /sys where it lacks a CPU's core, socket or node; a recorded
# machine keeps its output as LSCPU_FILE beside its sys/.
LSCPU = ("lscpu", "--parse=CPU,CORE,SOCKET,NODE")
LSCPU_FILE = "lscpu.txt"


def parse_lscpu(text: str) -> dict[int, dict[str, int | None]]:
    """`lscpu --parse` output as {cpu: {"core": ..., "socket": ..., "node": ...}}
    (a column lscpu leaves empty is None), by the columns its last comment
    line names."""
    columns, rows = [], {}
    for line in text.splitlines():
        if line.startswith("#"):
            columns = [c.strip().lower() for c in line[1:].split(",")]
            continue
        values = [v.strip() for v in line.split(",")]
        if "cpu" not in columns or len(values) < len(columns):
            continue
        row = {c: int(v) if v.isdigit() else None for c, v in zip(columns, values)}
        if row["cpu"] is not None:
            rows[row["cpu"]] = row
    return rows


def _lscpu(root: pathlib.Path) -> dict[int, dict[str, int | None]]:
    if root != pathlib.Path("/"):
        return parse_lscpu(_text(root / LSCPU_FILE) or "")
    try:
        done = subprocess.run(LSCPU, capture_output=True, text=True, timeout=20,
                              env={**os.environ, "LC_ALL": "C"})
    except (OSError, subprocess.TimeoutExpired):
        return {}
    return parse_lscpu(done.stdout) if done.returncode == 0 else {}


def _recorded_affinity(root: pathlib.Path) -> list[int] | None:
    """The Cpus_allowed_list of a recorded machine's proc/self/status."""
    for line in (_text(root / "proc" / "self" / "status") or "").splitlines():
        name, _, value = line.partition(":")
        if name.strip() == "Cpus_allowed_list":
            return parse_cpu_list(value)
    return None


def _size(text: str | None) -> int | None:
    """A cache size as /sys writes it ("48K", "30720K"), in bytes."""
    text = (text or "").strip()
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:], 1)
    digits = text.rstrip("KMG")
    return int(digits) * scale if digits.isdigit() else None


def read_caches(cache_dir: pathlib.Path) -> list[dict]:
    """A CPU's caches as /sys describes them (its cpuN/cache), sizes in bytes."""
    found = []
    for index in sorted(cache_dir.glob("index*")):
        size = _size(_text(index / "size"))
        if size is None:
            continue
        found.append({"type": (_text(index / "type") or "Unknown").strip(),
                      "level": _number(index / "level") or 0, "size": size,
                      "num_sharing": len(parse_cpu_list(_text(index / "shared_cpu_list")
                                                        or "0")) or 1})
    return found


def read(root: str | os.PathLike = "/", usable: list[int] | None = None) -> Shape:
    """The shape of the machine whose /sys is under `root`, for the usable CPUs
    (when not given: this process's affinity, or a recorded machine's)."""
    root = pathlib.Path(root)
    sys_cpu = root / "sys" / "devices" / "system" / "cpu"
    lscpu: dict | None = None

    def described() -> dict:
        nonlocal lscpu
        if lscpu is None:
            lscpu = _lscpu(root)
        return lscpu

    online_text = _text(sys_cpu / "online")
    online = parse_cpu_list(online_text) if online_text else []
    if usable is None:
        usable = (sorted(os.sched_getaffinity(0)) if root == pathlib.Path("/")
                  else _recorded_affinity(root) or online or sorted(described()))
    usable = sorted(set(usable))
    by_core: dict[tuple[int, int], list[int]] = {}
    sources = set()
    for cpu in usable:
        topology = sys_cpu / f"cpu{cpu}" / "topology"
        package = _number(topology / "physical_package_id")
        core = _number(topology / "core_id")
        if package is None or core is None:
            row = described().get(cpu, {})
            package, core = row.get("socket"), row.get("core")
            sources.add("lscpu" if package is not None and core is not None else "unknown")
        else:
            sources.add("/sys")
        # Unknown: a core and socket of its own, apart from every real one.
        key = (package if package is not None else -1 - cpu,
               core if core is not None else -1 - cpu)
        by_core.setdefault(key, []).append(cpu)
    cores, sockets = [], {}
    for (package, _), cpus in sorted(by_core.items(), key=lambda item: (item[0][0], min(item[1]))):
        sockets.setdefault(package, []).append(len(cores))
        cores.append(sorted(cpus))
    nodes = []
    node_dir = root / "sys" / "devices" / "system" / "node"
    for path in sorted(node_dir.glob("node[0-9]*"), key=lambda p: int(p.name[4:])):
        cpulist = _text(path / "cpulist")
        nodes.append(Node(int(path.name[4:]), parse_cpu_list(cpulist) if cpulist else [],
                          _node_memory(_text(path / "meminfo"))))
    if not nodes:
        by_node: dict[int, list[int]] = {}
        for cpu, row in sorted(described().items()):
            if row.get("node") is not None:
                by_node.setdefault(row["node"], []).append(cpu)
        nodes = [Node(node, cpus) for node, cpus in sorted(by_node.items())] \
            or [Node(0, list(online or usable))]
    caches = read_caches(sys_cpu / f"cpu{usable[0]}" / "cache") if usable else []
    return Shape(usable, cores, sockets, nodes, online or sorted(described()), caches,
                 " and ".join(sorted(sources)) or "/sys")


SYS_ROOT = "ALGOBENCH_SYS_ROOT"
USABLE_CPUS = "ALGOBENCH_USABLE_CPUS"


def described() -> Shape:
    """The shape the runner plans for: this machine's, or the recorded machine
    SYS_ROOT names, for the usable CPUs USABLE_CPUS lists (see the module's
    description). ValueError, in one line, for a root or a list it cannot use."""
    root = os.environ.get(SYS_ROOT) or "/"
    if not (pathlib.Path(root) / "sys").is_dir():
        raise ValueError(f"{SYS_ROOT}={root}: no sys/ folder there to read a machine from")
    listed = os.environ.get(USABLE_CPUS) or None
    try:
        usable = parse_cpu_list(listed) if listed is not None else None
    except ValueError:
        raise ValueError(f"{USABLE_CPUS}={listed}: not a CPU list such as 0-3,8") from None
    if usable == []:
        raise ValueError(f"{USABLE_CPUS} is empty: give at least one CPU")
    shape = read(root, usable)
    missing = sorted(set(shape.usable) - set(shape.online)) if shape.online else []
    if missing:
        raise ValueError(f"{USABLE_CPUS}={listed}: CPU {format_cpu_list(missing)} is not "
                         f"online there (online: {format_cpu_list(shape.online)})")
    return shape


def elsewhere() -> str | None:
    """Which of SYS_ROOT and USABLE_CPUS is set, making the plan another machine's."""
    return next((name for name in (SYS_ROOT, USABLE_CPUS) if os.environ.get(name)),
                None)
