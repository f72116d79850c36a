"""results.json: the whole run, as the results model saves it; every other file
and every later command (report, compare) is drawn from it."""

from __future__ import annotations

import pathlib


def write(folder: pathlib.Path, run) -> list[pathlib.Path]:
    return [run.save(folder)]
