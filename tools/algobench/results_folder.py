"""The results folder a run writes into: its default name, the check that a run
may fill it, and its preparation (with --force, an earlier run's files removed
first). Kept apart from the sweep, which only writes the files, so that what a
results folder is and holds has one home.
"""

from __future__ import annotations

import datetime
import pathlib
import shutil
import tempfile

from . import export

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
    if out_dir.is_dir() and not force:
        try:
            taken = next(out_dir.iterdir(), None) is not None
        except OSError as error:
            raise OutDirError(f"{out_dir} cannot be read: {error.strerror or error}") from None
        if taken:
            raise OutDirError(f"{out_dir} is not empty; --force replaces the results in it "
                              "(and keeps any other file)")


def prepare_out_dir(out_dir: pathlib.Path, force: bool = False, folders: tuple[str, ...] = ("",),
                    extra: tuple[str, ...] = ()) -> None:
    """Makes out_dir (and its `folders`, one per build) ready for a run's files.

    With `force` an earlier run's files are removed first, so that none of
    them (an old plot, an old failure log) passes for this run's: exactly
    those own_files(extra) names, in out_dir and in each of `folders`, and a
    build's folder when nothing else is left in it. Anything else stays.
    Raises OutDirError when the folder cannot be used or written.
    """
    out_dir = pathlib.Path(out_dir)
    check_out_dir(out_dir, force)
    try:
        if force and out_dir.is_dir():
            _remove(out_dir, own_files(extra))
            for name in folders:
                if name and (out_dir / name).is_dir() and not (out_dir / name).is_symlink():
                    _remove(out_dir / name, own_files())
                    if next((out_dir / name).iterdir(), None) is None:
                        (out_dir / name).rmdir()
        for name in folders:
            folder = out_dir / name if name else out_dir
            folder.mkdir(parents=True, exist_ok=True)
            # A folder can exist and still refuse files (read-only, full).
            with tempfile.TemporaryFile(dir=folder):
                pass
    except OSError as error:
        where = error.filename or out_dir
        raise OutDirError(f"{out_dir} cannot be used: {where}: "
                          f"{error.strerror or error}") from None


def _remove(folder: pathlib.Path, names: tuple[str, ...]) -> None:
    """Removes these files and folders of `folder` (with their .tmp leftovers), if present."""
    for name in names:
        for path in (folder / name, folder / (name + ".tmp")):
            if path.is_dir() and not path.is_symlink():
                shutil.rmtree(path)
            elif path.exists() or path.is_symlink():
                path.unlink()
