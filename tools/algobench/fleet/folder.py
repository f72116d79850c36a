"""A fleet folder as submitted: its layout, its manifest and its tasks, and
the error a fleet folder or request that cannot be used raises.
"""

from __future__ import annotations

import dataclasses
import json
import pathlib

# The files and folders of a fleet folder, as the package's docstring lays them out.
MANIFEST = "manifest.json"
JOB_SCRIPT = "job.sh"
LOGS = "logs"
BUILD = "build"
BUILDS = "builds"
MANIFEST_FORMAT = 1


class FleetError(Exception):
    """A fleet folder or request that cannot be used, said in one line."""


@dataclasses.dataclass
class Task:
    """One task of the array: its number, its node once known, its files."""

    index: int
    node: str | None  # placed there with --nodelist; else known when it starts
    log: pathlib.Path
    state_file: pathlib.Path

    def folder_name(self, node: str) -> str:
        return f"{self.index}-{node}"


class Fleet:
    """A fleet folder and its manifest."""

    def __init__(self, folder: pathlib.Path, manifest: dict) -> None:
        self.folder = pathlib.Path(folder)
        self.manifest = manifest

    @classmethod
    def load(cls, folder: pathlib.Path) -> "Fleet":
        folder = pathlib.Path(folder)
        path = folder / MANIFEST
        if not folder.is_dir():
            raise FleetError(f"{folder} is not a fleet folder: "
                             f"{'not a folder' if folder.exists() else 'no such folder'}")
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            raise FleetError(f"{folder} is not a fleet folder: it has no {MANIFEST}") from None
        except OSError as error:
            raise FleetError(f"cannot read {path}: {error.strerror or error}") from None
        except (json.JSONDecodeError, UnicodeDecodeError) as error:
            raise FleetError(f"{path} is not JSON: {error}") from None
        problem = _manifest_problem(data)
        if problem:
            raise FleetError(f"{path}: {problem}")
        return cls(folder, data)

    @property
    def job_id(self) -> str:
        return self.manifest["job_id"]

    @property
    def run_options(self) -> list[str]:
        return list(self.manifest["run_options"])

    @property
    def tasks(self) -> list[Task]:
        return [Task(item["task"], item.get("node"), self.folder / item["log"],
                     self.folder / item["state"]) for item in self.manifest["tasks"]]

    def task(self, index: int) -> Task:
        for task in self.tasks:
            if task.index == index:
                return task
        raise FleetError(f"{self.folder} has no task {index} (tasks 0 to "
                         f"{len(self.manifest['tasks']) - 1})")


def _manifest_problem(data) -> str | None:
    if not isinstance(data, dict) or data.get("format") != MANIFEST_FORMAT:
        return f"not a fleet manifest of format {MANIFEST_FORMAT}"
    if not isinstance(data.get("job_id"), str) or not data["job_id"].isdigit():
        return "its job_id is not a Slurm job id"
    if not isinstance(data.get("run_options"), list) \
            or not all(isinstance(o, str) for o in data["run_options"]):
        return "its run_options are not a list of strings"
    tasks = data.get("tasks")
    if not isinstance(tasks, list) or not tasks:
        return "it lists no tasks"
    for item in tasks:
        if not isinstance(item, dict) or not isinstance(item.get("task"), int) \
                or isinstance(item.get("task"), bool) \
                or not all(isinstance(item.get(k), str) for k in ("log", "state")) \
                or not isinstance(item.get("node"), (str, type(None))):
            return f"task entry {item!r} lacks its number, log or state file"
    if data.get("build") not in ("shared", "per-node", "given"):
        return "its build is none of shared, per-node, given"
    return None


def latest(results: pathlib.Path) -> pathlib.Path:
    """The fleet folder under `results` submitted last."""
    found = []
    for manifest in pathlib.Path(results).glob(f"fleet-*/{MANIFEST}"):
        try:
            created = str(json.loads(manifest.read_text(encoding="utf-8")).get("created", ""))
        except (OSError, ValueError, AttributeError):
            continue
        found.append((created, manifest.parent.name, manifest.parent))
    if not found:
        raise FleetError(f"no fleet folder (fleet-*/{MANIFEST}) under {results}; "
                         "name one with --fleet DIR")
    return max(found)[2]


