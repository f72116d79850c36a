"""The per-cell limits of the A/B gate, read from a threshold file (`ab --thresholds FILE`).

A CI job rarely wants one limit for every cell: a 1-thread instruction count
can be held to half a percent, a 2-thread time only to ten. The file says
which cells, which metric and how much, one rule a line:

    # cells (a glob on cell names)      metric        most % B may exceed A
    count_if/n:1000000/threads:1        instructions  0.5
    */threads:2*                        time          15
    *                                   instructions  2

Blank lines and text after # are ignored. A cell takes the first rule of the
run's metric whose pattern matches its name (fnmatch, so * also crosses /);
a cell no rule of that metric names is held to --fail-above, or not gated
without it. A pattern that matches no cell of the run, a metric the suite
does not have, and a limit that is not a number of 0 or more are
each refused in one line naming the file and line.
"""

from __future__ import annotations

import dataclasses
import fnmatch
import math
import pathlib

from ..plan import metrics


class ThresholdError(ValueError):
    """A threshold file that cannot be used, in one line naming where."""


@dataclasses.dataclass(frozen=True)
class Rule:
    pattern: str
    metric: metrics.Metric
    percent: float
    where: str  # "FILE:LINE"


def read(path: pathlib.Path | str) -> list[Rule]:
    """The rules of a threshold file, in order."""
    path = pathlib.Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise ThresholdError(f"cannot read threshold file {path}: "
                             f"{error.strerror or error}") from None
    except UnicodeDecodeError:
        raise ThresholdError(f"threshold file {path} is not UTF-8 text") from None
    rules = []
    for number, line in enumerate(text.splitlines(), start=1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        where = f"{path}:{number}"
        if len(words) != 3:
            raise ThresholdError(f"{where}: a rule is three words, CELLS METRIC PERCENT; "
                                 f"got {line.strip()!r}")
        pattern, metric, limit = words
        if metric not in metrics.REGISTRY:
            raise ThresholdError(f"{where}: unknown metric {metric!r} (one of "
                                 f"{', '.join(metrics.REGISTRY)})")
        try:
            percent = float(limit.removesuffix("%"))
        except ValueError:
            percent = math.nan
        if not math.isfinite(percent) or percent < 0:
            raise ThresholdError(f"{where}: the limit {limit!r} is not a percentage of 0 or "
                                 "more")
        rules.append(Rule(pattern, metrics.named(metric), percent, where))
    return rules


def _matches(label: str, pattern: str) -> bool:
    """Whether the pattern names the cell: its label as `compare` shows it, or
    its name (the label without the fourth argument's "/fourth:K")."""
    name = label.rsplit("/fourth:", 1)[0]
    return fnmatch.fnmatchcase(label, pattern) or fnmatch.fnmatchcase(name, pattern)


def check_cells(rules: list[Rule], labels: list[str]) -> None:
    """Refuses a rule whose pattern names no cell of the run."""
    for rule in rules:
        if not any(_matches(label, rule.pattern) for label in labels):
            raise ThresholdError(f"{rule.where}: no cell of this run matches {rule.pattern!r} "
                                 "(cell names are like count_if/n:1000000/threads:2)")


def limit(rules: list[Rule], label: str, metric: metrics.Metric, default: float | None
          ) -> float | None:
    """The gate's limit in percent for the cell `label` under `metric`, or None: not gated."""
    for rule in rules:
        if rule.metric is metric and _matches(label, rule.pattern):
            return rule.percent
    return default

