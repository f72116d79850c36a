"""The results folder a run writes into: its default name, the check that a run
may fill it, and the run's claim on it: locked while the run uses it, the
earlier run's files (with --force) set aside until the new run stands, and a
record of the files each run wrote, so that --force removes those and nothing
else. Kept apart from the sweep, which only writes the files, so that what a
results folder is and holds has one home.
"""

from __future__ import annotations

import datetime
import fcntl
import json
import os
import pathlib
import shutil
import tempfile

from .. import export
from ..files import dump_json, replace_file

# Where a sweep logs its cells' failures, beside the exporters' files.
FAILURES_LOG = "failures.log"


def default_out_dir(root: pathlib.Path, prefix: str = "") -> pathlib.Path:
    """results/<prefix><YYYYmmdd-HHMMSS>, with -2, -3 ... when a run of the same
    second already has that folder."""
    base = root / "results" / (prefix + datetime.datetime.now().strftime("%Y%m%d-%H%M%S"))
    folder, number = base, 1
    while folder.exists():
        number += 1
        folder = base.with_name(f"{base.name}-{number}")
    return folder


class OutDirError(Exception):
    """A results folder a run cannot use, said in one line."""


def own_files(extra: tuple[str, ...] = ()) -> tuple[str, ...]:
    """What a run writes into a results folder (or into each build's folder):
    every exporter's file or folder, the failure log and `extra`."""
    return tuple(exporter.name for exporter in export.EXPORTERS) + (FAILURES_LOG,) + extra


def check_out_dir(out_dir: pathlib.Path, force: bool = False) -> None:
    """Raises OutDirError unless out_dir is a folder a run may fill: one that
    does not exist yet (and can, as far as can be told without creating it),
    an empty one, or with `force` one that holds anything."""
    out_dir = pathlib.Path(out_dir)
    if out_dir.exists() and not out_dir.is_dir():
        raise OutDirError(f"{out_dir} exists and is not a folder")
    for parent in out_dir.parents:
        if parent.exists() or parent.is_symlink():
            if not parent.is_dir():
                raise OutDirError(f"{out_dir} cannot be created: {parent} is not a folder")
            break
    pid = holder(out_dir)
    if pid is not None:
        raise _in_use(out_dir, pid)
    if out_dir.is_dir() and not force:
        try:
            taken = any(path.name != LOCK for path in out_dir.iterdir())
        except OSError as error:
            raise OutDirError(f"{out_dir} cannot be read: {error.strerror or error}") from None
        if taken:
            raise OutDirError(f"{out_dir} is not empty; --force replaces the results in it "
                              "(and keeps any other file)")


# Hidden beside a run's files: the lock a run holds while the folder is its own,
# the record of the files it wrote, and the files of the run it replaces, set
# aside until the new one stands.
LOCK = ".algobench.lock"
RECORD = ".algobench-files.json"
EARLIER = ".algobench-earlier"
_HIDDEN = (LOCK, RECORD, EARLIER)


def holder(out_dir: pathlib.Path) -> int | None:
    """The process of the run that holds out_dir (0 when it does not say), or None."""
    try:
        fd = os.open(pathlib.Path(out_dir) / LOCK, os.O_RDONLY)
    except OSError:
        return None
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        text = os.read(fd, 32).decode(errors="replace").strip()
        return int(text) if text.isdigit() else 0
    finally:
        os.close(fd)
    return None


def _in_use(out_dir: pathlib.Path, pid: int) -> OutDirError:
    return OutDirError(f"{out_dir} is in use by another run (process {pid or 'unknown'}); "
                       "wait for it to end, or give another folder")


def _files(folder: pathlib.Path) -> set[str]:
    """Every file and link below folder, as relative paths, the hidden ones aside."""
    found = set()
    for path in folder.rglob("*"):
        relative = path.relative_to(folder)
        if relative.parts[0] in _HIDDEN or (path.is_dir() and not path.is_symlink()):
            continue
        found.add(relative.as_posix())
    return found


def _prune(folder: pathlib.Path, moved: set[str]) -> None:
    """Removes the folders that moving `moved` out of folder left empty."""
    parents = {parent for relative in moved
               for parent in pathlib.PurePosixPath(relative).parents if parent.parts}
    for parent in sorted(parents, key=lambda p: len(p.parts), reverse=True):
        path = folder / parent
        if path.is_dir() and not path.is_symlink() and next(path.iterdir(), None) is None:
            path.rmdir()


class Claim:
    """A run's hold on its results folder, from its preparation to its end.

    The folder is locked (flock, so a killed run leaves it free) while the run
    uses it. With `force`, the files of the run that was there, as it recorded
    them, are set aside rather than removed, and removed only when the new run
    stands: a run that could not write its files (a full disk) puts them back.
    Any other file stays where it is. The files a run wrote are recorded when it
    ends; while it runs the record names what was there before it, so that what
    a killed run left is known as its own too.
    """

    def __init__(self, out_dir: pathlib.Path, force: bool = False,
                 folders: tuple[str, ...] = ("",), extra: tuple[str, ...] = ()) -> None:
        self.out_dir = pathlib.Path(out_dir)
        self.force, self.folders, self.extra = force, folders, extra
        self._fd: int | None = None
        self._kept: set[str] = set()

    def take(self) -> Claim:
        """Locks the folder and makes it ready for the run, or raises OutDirError."""
        check_out_dir(self.out_dir, self.force)
        try:
            self.out_dir.mkdir(parents=True, exist_ok=True)
            self._lock()
            earlier = self._earlier_files() if self.force else set()
            self._kept = _files(self.out_dir) - earlier
            if earlier:
                self._set_aside(earlier)
            replace_file(self.out_dir / RECORD, dump_json({"before_the_run": sorted(self._kept)}))
            for name in self.folders:
                folder = self.out_dir / name if name else self.out_dir
                folder.mkdir(parents=True, exist_ok=True)
                # A folder can exist and still refuse files (read-only, full).
                with tempfile.TemporaryFile(dir=folder):
                    pass
        except OSError as error:
            self.end(stands=False)
            where = error.filename or self.out_dir
            raise OutDirError(f"{self.out_dir} cannot be used: {where}: "
                              f"{error.strerror or error}") from None
        except OutDirError:
            self.end(stands=False)
            raise
        return self

    def _lock(self) -> None:
        path = self.out_dir / LOCK
        while True:
            fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                text = os.read(fd, 32).decode(errors="replace").strip()
                os.close(fd)
                raise _in_use(self.out_dir, int(text) if text.isdigit() else 0) from None
            try:
                same = os.fstat(fd).st_ino == os.stat(path).st_ino
            except FileNotFoundError:  # the run before let go of it just now
                same = False
            if same:
                break
            os.close(fd)
        self._fd = fd
        try:  # who holds it, for the refusal another run prints
            os.ftruncate(fd, 0)
            os.write(fd, f"{os.getpid()}\n".encode())
        except OSError:
            pass  # a full disk: the lock holds all the same

    def _earlier_files(self) -> set[str]:
        """The files of the run that is in the folder, as it recorded them."""
        present = _files(self.out_dir)
        try:
            record = json.loads((self.out_dir / RECORD).read_text(encoding="utf-8"))
        except (OSError, ValueError):
            record = None
        if isinstance(record, dict) and isinstance(record.get("files"), list):
            return present & set(map(str, record["files"]))
        if isinstance(record, dict) and isinstance(record.get("before_the_run"), list):
            return present - set(map(str, record["before_the_run"]))  # a run that never ended
        # Written before runs kept a record: the names a run writes, and in its
        # folder of plots the plots alone.
        earlier = set()
        for relative in present:
            parts, own = relative.split("/"), set(own_files(self.extra))
            if len(parts) > 1 and parts[0] in self.folders:  # a build's folder, A/ or B/
                parts, own = parts[1:], set(own_files())
            if parts[0].removesuffix(".tmp") in own and (
                    len(parts) == 1 or parts[-1].endswith((".svg", ".tmp"))):
                earlier.add(relative)
        return earlier

    def _set_aside(self, earlier: set[str]) -> None:
        aside = self.out_dir / EARLIER
        # Files of a run whose replacement never ended stay set aside: that run
        # is the last one that stood, and what its replacement left goes.
        keep_aside = aside.exists()
        for relative in sorted(earlier):
            source = self.out_dir / relative
            if keep_aside:
                source.unlink()
                continue
            target = aside / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            os.replace(source, target)
        _prune(self.out_dir, earlier)

    def end(self, stands: bool) -> None:
        """Ends the claim: the run's files recorded and the earlier run's removed when
        the run stands, else the earlier run's put back. Then the lock is let go."""
        aside = self.out_dir / EARLIER
        try:
            if self._fd is not None:
                written = _files(self.out_dir) - self._kept
                if not stands and aside.exists():
                    for relative in sorted(written):
                        (self.out_dir / relative).unlink()
                    _prune(self.out_dir, written)
                    for path in sorted(p for p in aside.rglob("*") if not p.is_dir()):
                        target = self.out_dir / path.relative_to(aside)
                        target.parent.mkdir(parents=True, exist_ok=True)
                        os.replace(path, target)
                    written = set()
                if aside.exists():
                    shutil.rmtree(aside)
                if written or stands:
                    try:
                        replace_file(self.out_dir / RECORD, dump_json({"files": sorted(written)}))
                    except OSError:
                        pass  # the record of what was there before the run still tells them
        finally:
            self.release()

    def release(self) -> None:
        if self._fd is not None:
            try:
                (self.out_dir / LOCK).unlink()
            except OSError:
                pass
            os.close(self._fd)
            self._fd = None
