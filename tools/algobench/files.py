"""Writing the files of a results folder: whole files replaced atomically, strict JSON."""

from __future__ import annotations

import contextlib
import json
import pathlib


def replace_file(path: pathlib.Path, text: str) -> None:
    """Writes a whole file so that an interruption leaves the old or the new one."""
    path = pathlib.Path(path)
    temporary = path.with_name(path.name + ".tmp")
    try:
        temporary.write_text(text, encoding="utf-8")
        temporary.replace(path)
    except BaseException as error:  # a full disk, Ctrl-C: no half-written file stays behind
        with contextlib.suppress(OSError):  # never made, or its folder is gone
            temporary.unlink()
        # A failed write or close names no file, and a failed open names the
        # temporary one: the error names the file the caller asked for.
        if isinstance(error, OSError) and str(error.filename) in ("None", str(temporary)):
            error.filename = str(path)
        raise


def dump_json(data: object) -> str:
    """JSON as the suite writes it: indented, and refusing NaN and infinity."""
    return json.dumps(data, indent=1, allow_nan=False) + "\n"
