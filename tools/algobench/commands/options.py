"""The small pieces the commands share: argparse's value types (each refusing a
value in argparse's own one line), the measurement options' defaults, the
results store a command reads or fills, the command line a run records, and
how a command line reaches argparse (a negative number as an option's value,
the (sub)command whose parser refuses what it does not take).
"""

from __future__ import annotations

import argparse
import math
import pathlib
import re
import sys
import threading

from ..plan import build
from ..record import store

# The measurement options' defaults; None in the parsed options means "not given".
DEFAULT_SAMPLES = 5
DEFAULT_MIN_TIME = 0.05
# `run --quick`: a smoke check that everything builds, runs and is checked,
# in seconds; its figures are not worth keeping.
QUICK_SIZES = [100_000]
QUICK_SAMPLES = 2
QUICK_MIN_TIME = 0.01


def comma_list(text: str) -> list[str]:
    items = [item.strip() for item in text.split(",") if item.strip()]
    if not items:
        raise argparse.ArgumentTypeError(f"no names in {text!r}")
    return items


def _read(text: str, convert, what: str):
    try:
        return convert(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a {what}") from None


def finite(text: str) -> float:
    value = _read(text, float, "number")
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def positive_float(text: str) -> float:
    value = finite(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def seconds(text: str) -> float:
    """A positive duration the runner can wait for (threading's longest timeout)."""
    value = positive_float(text)
    if value > threading.TIMEOUT_MAX:
        raise argparse.ArgumentTypeError(f"must be at most {threading.TIMEOUT_MAX:g} seconds, "
                                         f"got {text}")
    return value


def percentage(text: str) -> float:
    value = finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a percentage of 0 or more, got {text}")
    return value


def positive_int(text: str) -> int:
    value = _read(text, int, "whole number")
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {text}")
    return value


def whole(low: int, high: int):
    """A type for a whole number from `low` to `high`, refused in one short line."""
    def convert(text: str) -> int:
        value = _read(text, int, "whole number")
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {low} to {high}, got {text}")
        return value
    return convert


def text(value: str) -> str:
    """A build, a run or a revision named on the command line: never empty."""
    if not value.strip():
        raise argparse.ArgumentTypeError("an empty name")
    return value


def int_list(parse):
    """A type for a list of sizes or thread counts that `parse` reads."""
    def convert(text: str) -> list[int]:
        try:
            return parse(text)
        except OverflowError:
            raise argparse.ArgumentTypeError(f"{text!r} holds a number too large to be "
                                             "a size or a thread count") from None
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return convert


def path(text: str) -> pathlib.Path:
    """A file or folder named on the command line: an empty one, which would mean
    the current folder, is refused."""
    if not text.strip():
        raise argparse.ArgumentTypeError("an empty path (it would mean the current folder)")
    return pathlib.Path(text)


def add_store_argument(parser, what: str) -> None:
    parser.add_argument("--store", type=path, metavar="PATH",
                        help=f"the results store to {what} (default ${store.STORE_ENV}, else "
                             f"{store.STORE_FILE} in the repository)")


def store_path(arguments: argparse.Namespace) -> pathlib.Path:
    return arguments.store or store.default_path(build.ROOT)


def command_line(command: str, argv: list[str]) -> list[str]:
    """The command line a run records, as the user typed it."""
    return [sys.argv[0] if sys.argv and sys.argv[0] else "suite", command, *argv]


# A value that argparse would take for an option: a negative number ("-1e4", "-.5", "-inf").
_NEGATIVE = re.compile(r"^-(\.?\d|inf|nan)", re.IGNORECASE)


def _subcommands(parser: argparse.ArgumentParser):
    """The subcommands' parsers of `parser`, by the attribute that names the one chosen."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            yield action.dest, action.choices


def chosen_parser(parser: argparse.ArgumentParser,
            arguments: argparse.Namespace) -> argparse.ArgumentParser:
    """The innermost parser of the (sub)command that `arguments` chose."""
    for dest, choices in _subcommands(parser):
        name = getattr(arguments, dest, None)
        if name in choices:
            return chosen_parser(choices[name], arguments)
    return parser


def _valued_options(parser: argparse.ArgumentParser) -> set[str]:
    """Every option of `parser` and its subcommands that takes exactly one value."""
    found = {option for action in parser._actions if action.nargs is None
             and not isinstance(action, argparse._SubParsersAction)
             for option in action.option_strings}
    for _, choices in _subcommands(parser):
        for sub in choices.values():
            found |= _valued_options(sub)
    return found


def negative_values_joined(parser: argparse.ArgumentParser, args: list[str]) -> list[str]:
    """`--sizes -1e4` as `--sizes=-1e4`: argparse would take the value for an option."""
    valued = _valued_options(parser)
    joined: list[str] = []
    index = 0
    while index < len(args):
        token = args[index]
        if token == "--":
            joined += args[index:]
            break
        if (token in valued and index + 1 < len(args) and _NEGATIVE.match(args[index + 1])):
            joined.append(f"{token}={args[index + 1]}")
            index += 2
            continue
        joined.append(token)
        index += 1
    return joined
