"""The results store's contents: the runs it holds, for a person (aligned
text) or a script (JSON), and cells followed across runs and machines
(`./suite history`) as text, JSON or an HTML page: the changes found at the
top (cell, machine, when, by how much, the commits between), and a chart of
each cell's median over the runs, one series per machine, its runs labelled
with their commits and its line broken where a run lacks the cell.
"""

from __future__ import annotations

import dataclasses
import datetime
import math
from html import escape
from typing import Any

from ..files import dump_json
from ..plan import metrics
from .chart import Axis, Chart, Point, Series, charts, log_span_wanted
from .text import aligned, interval, plural, printable, with_interval
from .units import format_seconds, page_seconds
from .web import Column, Field, Row, page, sortable_table

COMMIT_DIGITS = 12


def _commit(commit: str | None, dirty: bool | None = None) -> str:
    if not commit:
        return ""
    return commit[:COMMIT_DIGITS] + ("-dirty" if dirty else "")


def _cells(row) -> str:
    planned = "?" if row.planned_cells is None else str(row.planned_cells)
    return f"{row.completed_cells}/{planned}"


RUN_HEADER = ["run", "date", "host", "CPU", "compiler", "libstdc++", "commit", "backends",
              "cells", "status", "A/B"]


def _pair(row) -> str:
    if row.build is None:
        return ""
    other = "B" if row.build == "A" else "A"
    return f"{row.build} ({other}: @{row.paired_with})"


def render_runs(rows: list) -> str:
    """The runs of a store, one line each, in the order given (newest first)."""
    if not rows:
        return "No runs in the store.\n"
    table = [RUN_HEADER] + [
        [f"@{row.id}", row.date or "", row.host or "", row.cpu or "", row.compiler or "",
         row.library or "", _commit(row.commit, row.dirty), ",".join(row.backends),
         _cells(row), row.status + (" (counts)" if _exact(row.metric) else ""),
         _pair(row)]
        for row in rows]
    return "\n".join(aligned(table, right={0, 8})) + "\n"


def runs_json(rows: list, store: str) -> str:
    return dump_json({"store": store, "runs": [dataclasses.asdict(row) for row in rows]})


POINT_HEADER = ["run", "date", "commit", "median", "interval", "change"]


def _change(before: dict | None, point: dict) -> str:
    if before is None or not before["median"] > 0:
        return ""
    text = f"{(point['median'] / before['median'] - 1) * 100:+.1f}%"
    return text + (" *" if point["changed"] else "")


def _exact(metric: str) -> bool:
    """Whether a stored run's metric counts (an exact figure) rather than times."""
    return metrics.REGISTRY.get(metric, metrics.DEFAULT).exact


def render_text(series: list[dict], rule: str, metric: metrics.Metric = metrics.TIME) -> str:
    """Each cell's median time per call over the runs, on each machine, with the
    points marked `*` that changed by more than the noise (`rule` says how); or,
    for a metric of counts, its count per call."""
    out = []
    for entry in series:
        out.append(printable(f"{entry['cell']} on {entry['machine'] or 'an unknown host'}"))
        points = entry["points"]
        header = ["run", "date", "commit", metric.unit, "change"] if metric.exact else POINT_HEADER
        rows = [header] + [
            [f"@{point['run_id']}", point["date"] or "", _commit(point["commit"]),
             *_figure(point, metric), _change(before, point)]
            for before, point in zip([None] + points, points)]
        out += ["  " + line for line in aligned(rows, right=set(range(3, len(header))))]
        out.append("")
    out.append(f"instructions: per steady call, counted under callgrind (counts are not time); "
               f"change: against the machine's previous run of counts; *: {rule}."
               if metric.exact else
               "median: median time per call; interval: the distribution-free interval of "
               "that median (95% where the run's samples allow it, else their smallest to "
               f"largest); change: against the machine's previous run; *: {rule}.")
    return "\n".join(out) + "\n"


def _figure(point: dict, metric: metrics.Metric) -> list[str]:
    """A point's figure: a count, or a median time and its interval."""
    if metric.exact:
        return [f"{point['median']:,.0f}"]
    return [format_seconds(point["median"]),
            interval(point["low"], point["high"], format_seconds, " .. ")]


def render_json(series: list[dict], store: str, pattern: str, machine: str | None,
                rule: str, metric: metrics.Metric = metrics.TIME) -> str:
    return dump_json({"store": store, "pattern": pattern, "machine": machine,
                      "metric": metric.name, "change_rule": rule,
                      "cells": series})


# -- the page


HISTORY_KEYS = ("cell", "program", "backend", "n", "threads", "machine", "points")


def _parse_date(text: Any, where: str) -> float:
    if not isinstance(text, str):
        raise ValueError(f"{where}: date is not text: {text!r}")
    try:
        moment = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise ValueError(f"{where}: date {text!r} is not an ISO 8601 date") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.timestamp()


def _check_series(series: Any) -> None:
    """ValueError naming the first series or point that lacks what the page needs."""
    if not isinstance(series, list):
        raise ValueError("the history is not a list of series")
    for index, item in enumerate(series, start=1):
        if not isinstance(item, dict):
            raise ValueError(f"series {index} is not an object")
        missing = [k for k in HISTORY_KEYS if k not in item]
        if missing:
            raise ValueError(f"series {index} lacks {', '.join(missing)}")
        if not isinstance(item["points"], list):
            raise ValueError(f"series {index} ({item['cell']}): points is not a list")
        for number, point in enumerate(item["points"], start=1):
            where = f"series {index} ({item['cell']}, {item['machine']}) point {number}"
            if not isinstance(point, dict):
                raise ValueError(f"{where} is not an object")
            lacking = [k for k in ("run_id", "date", "median") if k not in point]
            if lacking:
                raise ValueError(f"{where} lacks {', '.join(lacking)}")
            for key in ("median", "low", "high"):
                value = point.get(key)
                if key != "median" and value is None:
                    continue
                if isinstance(value, bool) or not isinstance(value, (int, float)) \
                        or not math.isfinite(value):
                    raise ValueError(f"{where}: {key} is not a finite number: {value!r}")
            _parse_date(point["date"], where)


def _date_label(pattern: str):
    def label(seconds: float) -> str:
        moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
        return moment.strftime(pattern)
    return label


def _short(commit: str | None) -> str:
    return (commit or "")[:7]


def _commit_ticks(members: list[dict], low: float, high: float) -> tuple[list[float], dict]:
    """The runs' dates as ticks, each labelled with its run's commit (its id without
    one), leaving out a tick too close to the one before to be read."""
    labels: dict[float, str] = {}
    for item in members:
        for point in item["points"]:
            at = _parse_date(point["date"], str(item["cell"]))
            labels.setdefault(at, _short(point.get("commit")) or f"@{point['run_id']}")
    closest = (high - low) / 24
    ticks: list[float] = []
    for at in sorted(labels):
        if not ticks or at - ticks[-1] >= closest:
            ticks.append(at)
    return ticks, labels


def history_chart(cell: str, members: list[dict]) -> Chart:
    """One cell's median over the runs, one series per machine: the x axis the runs'
    dates labelled with their commits, the line broken where runs of the machine
    lack the cell, the changes ringed red."""
    series = []
    all_x, all_y = [], []
    for item in members:
        points = []
        gaps = sorted(_parse_date(g["date"], cell) for g in item.get("gaps") or ()
                      if isinstance(g, dict) and isinstance(g.get("date"), str))
        before = None
        for point in sorted(item["points"], key=lambda p: _parse_date(p["date"], cell)):
            x = _parse_date(point["date"], cell)
            median, low, high = point["median"], point.get("low"), point.get("high")
            tip = [f"{item['machine']} · run {point['run_id']}", f"{point['date']}",
                   with_interval(f"median {page_seconds(median)}", low, high,
                                 page_seconds, " to ", "interval")]
            if point.get("commit"):
                tip.insert(2, f"commit {point['commit']}")
            missing = [g for g in gaps if before is not None and before < g < x]
            if missing:
                tip.append(f"{plural(len(missing), 'run')} of this machine before it lack "
                           "the cell")
            if point.get("changed"):
                tip.append("changed against the run before")
            points.append(Point(x, median, "\n".join(map(str, tip)), low, high,
                                f"{item['machine']}#{point['run_id']}", bool(point.get("changed")),
                                gap=bool(missing)))
            before = x
            all_x.append(x)
            all_y += [v for v in (median, low, high) if v is not None]
        series.append(Series(str(item["machine"]), points))
    first_x, last_x = (min(all_x), max(all_x)) if all_x else (0.0, 0.0)
    ticks, labels = _commit_ticks(members, first_x, last_x)
    first = members[0]
    title = (f"{cell}: {first['program']}, {first['backend']}, "
             f"{plural(first['threads'], 'thread')}, n = {first['n']:,}")
    day = _date_label("%Y-%m-%d")
    span = f"runs from {day(first_x)} to {day(last_x)}" if all_x else "no runs"
    return Chart(title, Axis("commit", ticks=ticks,
                             format=lambda at: labels.get(at, "")),
                 Axis("median time per call", log=min(all_y, default=0) > 0
                      and log_span_wanted(all_y), format=page_seconds),
                 series, note=f"{span}, each placed by its date and labelled with its "
                              "commit; bars: the interval each run gives its median; ringed "
                              "red: a change (listed under Changes found); a break in a line: "
                              "runs between that lack the cell",
                 data={"kind": "history", "cell": cell})


def changes(series: list[dict]) -> list[dict]:
    """Every changed point with what it changed from: cell, machine, run, date, the
    ratio of the medians and the commits between, newest first."""
    found = []
    for item in series:
        points = sorted(item["points"], key=lambda p: _parse_date(p["date"], item["cell"]))
        for before, point in zip(points, points[1:]):
            if point.get("changed") and before["median"] > 0:
                found.append({"cell": str(item["cell"]), "machine": str(item["machine"]),
                              "run_id": point["run_id"], "date": str(point["date"]),
                              "ratio": point["median"] / before["median"],
                              "from": before, "to": point})
    return sorted(found, key=lambda c: _parse_date(c["date"], c["cell"]), reverse=True)


def _changes_section(series: list[dict]) -> str:
    found = changes(series)
    parts = ["<section id=\"changes\">", "<h2>Changes found</h2>"]
    if not found:
        parts.append("<p class=\"empty\">No point changed beyond the noise against the run "
                     "before it on its machine.</p>")
    items = []
    for change in found:
        ratio = change["ratio"]
        word, css = ("slower", "up") if ratio > 1 else ("faster", "down")
        commits = " → ".join(_short(change[end].get("commit")) or f"run @{change[end]['run_id']}"
                             for end in ("from", "to"))
        items.append(
            f"<li><code>{escape(change['cell'])}</code> on {escape(change['machine'])}, "
            f"{escape(change['date'])}: <span class=\"{css}\">{abs(ratio - 1) * 100:.1f}% "
            f"{word}</span> ({page_seconds(change['from']['median'])} → "
            f"{page_seconds(change['to']['median'])}), commits {escape(commits)}</li>")
    if items:
        parts.append("<ol class=\"changes\">" + "".join(items) + "</ol>")
    parts.append("</section>")
    return "\n".join(parts)


def render_html(series: list[dict], title: str) -> str:
    """A page charting cells' figures over runs and across machines.

    `series` holds one entry per cell and machine: {"cell", "program", "backend",
    "n", "threads", "machine", "points": [{"run_id", "date" (ISO 8601), "commit",
    "median", "low", "high", "changed"}], "gaps" (optional): [{"run_id", "date",
    "commit"}]}. At the top the changes found; then a table of every series with
    its latest figure; then each cell's chart (a series per machine). Raises
    ValueError naming what is missing from `series`.
    """
    _check_series(series)
    by_cell: dict[str, list[dict]] = {}
    for item in series:
        by_cell.setdefault(str(item["cell"]), []).append(item)
    columns = (Column("cell"), Column("machine"), Column("program"), Column("backend"),
               Column("n", True), Column("threads", True), Column("runs", True),
               Column("last run"), Column("latest median", True), Column("changes", True))
    rows = []
    for item in series:
        points = sorted(item["points"], key=lambda p: _parse_date(p["date"], item["cell"]))
        last = points[-1] if points else None
        count = sum(bool(p.get("changed")) for p in points)
        rows.append(Row([
            Field(str(item["cell"])), Field(str(item["machine"])), Field(str(item["program"])),
            Field(str(item["backend"])), Field(f"{item['n']:,}", item["n"]),
            Field(str(item["threads"]), item["threads"]), Field(str(len(points)), len(points)),
            Field(str(last["date"]) if last else ""),
            Field(page_seconds(last["median"]) if last else "",
                  last["median"] if last else None),
            Field(str(count), count),
        ], ("warned",) if count else (), {"cell": str(item["cell"])}))
    machines = len({str(s["machine"]) for s in series})
    made = [history_chart(cell, members).render() for cell, members in by_cell.items()
            if any(m["points"] for m in members)]
    body = [
        "<header>", f"<h1>{escape(title)}</h1>",
        f"<p class=\"sub\">{plural(len(by_cell), 'cell')} on {plural(machines, 'machine')}</p>",
        "</header>",
        _changes_section(series),
        "<section id=\"series\">", "<h2>Series</h2>",
        sortable_table(columns, rows, table_id="series-table"), "</section>",
        "<section id=\"charts-history\">", "<h2>Over runs and machines</h2>",
        charts(made) if made else "<p class=\"empty\">No points to chart.</p>",
        "</section>",
    ]
    return page(title, "\n".join(body))
