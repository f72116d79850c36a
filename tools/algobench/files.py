"""Writing the files of a results folder: whole files replaced atomically, strict JSON."""

from __future__ import annotations

import json
import pathlib


def replace_file(path: pathlib.Path, text: str) -> None:
    """Writes a whole file so that an interruption leaves the old or the new one."""
    path = pathlib.Path(path)
    temporary = path.with_name(path.name + ".tmp")
    try:
        temporary.write_text(text, encoding="utf-8")
        temporary.replace(path)
    except BaseException:  # a full disk, Ctrl-C: no half-written file stays behind
        temporary.unlink(missing_ok=True)
        raise


def dump_json(data: object) -> str:
    """JSON as the suite writes it: indented, and refusing NaN and infinity."""
    return json.dumps(data, indent=1, allow_nan=False) + "\n"
