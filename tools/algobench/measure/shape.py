"""The machine's shape: which CPUs share a core, which cores a socket, which
CPUs and memory a NUMA node, and which CPUs this process may use.

Read from the kernel's /sys files (any root, so that a recorded machine's
files read like this one's). A CPU the kernel does not describe counts as a
core and socket of its own, and a machine without node files as one node:
what cannot be read never merges CPUs that may not share anything.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib


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
    `sockets` maps each socket to its usable cores' indexes in `cores`."""

    usable: list[int]
    cores: list[list[int]]
    sockets: dict[int, list[int]]
    nodes: list[Node]

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


def read(root: str | os.PathLike = "/", usable: list[int] | None = None) -> Shape:
    """The shape of the machine whose /sys is under `root`, for the usable CPUs
    (this process's affinity when not given)."""
    sys_cpu = pathlib.Path(root) / "sys" / "devices" / "system" / "cpu"
    if usable is None:
        usable = sorted(os.sched_getaffinity(0))
    usable = sorted(set(usable))
    by_core: dict[tuple[int, int], list[int]] = {}
    for cpu in usable:
        topology = sys_cpu / f"cpu{cpu}" / "topology"
        package = _number(topology / "physical_package_id")
        core = _number(topology / "core_id")
        # Unknown: a core and socket of its own, apart from every real one.
        key = (package if package is not None else -1 - cpu,
               core if core is not None else -1 - cpu)
        by_core.setdefault(key, []).append(cpu)
    cores, sockets = [], {}
    for (package, _), cpus in sorted(by_core.items(), key=lambda item: (item[0][0], min(item[1]))):
        sockets.setdefault(package, []).append(len(cores))
        cores.append(sorted(cpus))
    nodes = []
    node_dir = pathlib.Path(root) / "sys" / "devices" / "system" / "node"
    for path in sorted(node_dir.glob("node[0-9]*"), key=lambda p: int(p.name[4:])):
        cpulist = _text(path / "cpulist")
        nodes.append(Node(int(path.name[4:]), parse_cpu_list(cpulist) if cpulist else [],
                          _node_memory(_text(path / "meminfo"))))
    if not nodes:
        nodes = [Node(0, list(usable))]
    return Shape(usable, cores, sockets, nodes)
