"""The one way a command refuses.

A handler that cannot go on raises Refusal: `perform` prints it as one line,
"suite <command>: <message>", and returns its exit status (2 for what the
suite cannot use, 1 for a build or a cluster that failed).
"""

from __future__ import annotations

import sys


class Refusal(Exception):
    """What a command cannot do, in one line, and the exit status that says so."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.message = message
        self.status = status


def perform(command: str, action: str | None, handle) -> int:
    """Runs a command's handler (`handle()`): a refusal is one line on standard error."""
    try:
        return handle()
    except Refusal as refusal:
        print(f"suite {' '.join(filter(None, (command, action)))}: {refusal.message}",
              file=sys.stderr)
        return refusal.status
    except KeyboardInterrupt:  # a sweep handles its own; this is a build or a comparison
        print(f"\nsuite {command}: interrupted", file=sys.stderr)
        return 130
